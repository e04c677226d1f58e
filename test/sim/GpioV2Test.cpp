// The chip's uAPI v2 through plain ioctls, whichever libgpiod the build uses.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "SimBoardTest.h"

namespace sim {
namespace {

using ::testing::ElementsAre;

class GpioV2 : public SimBoardTest {
  protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        gpio().setPresent(true);
        chip_ = ::open(kGpioChipPath, O_RDWR | O_CLOEXEC);
        ASSERT_GE(chip_, 0) << std::strerror(errno);
    }
    void TearDown() override {
        ::close(chip_);
        SimBoardTest::TearDown();
    }

    // Line 7 as an output that starts high.
    static gpio_v2_line_request outputRequest() {
        gpio_v2_line_request request{};
        request.offsets[0] = 7;
        request.num_lines = 1;
        std::strcpy(request.consumer, "i2c-kestro-cli");
        request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
        request.config.num_attrs = 1;
        request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
        request.config.attrs[0].attr.values = 1;
        request.config.attrs[0].mask = 1;
        return request;
    }
    gpio_v2_line_info lineInfo(unsigned long command = GPIO_V2_GET_LINEINFO_IOCTL) {
        gpio_v2_line_info info{};
        info.offset = 7;
        EXPECT_EQ(::ioctl(chip_, command, &info), 0);
        return info;
    }
    int request(gpio_v2_line_request& wanted) {
        return ::ioctl(chip_, GPIO_V2_GET_LINE_IOCTL, &wanted);
    }

    int chip_ = -1;
};

TEST_F(GpioV2, AHeldLineShowsItsConsumerAndIsRefusedWithEbusyAndLogged) {
    gpio().holdLine(7, "other-program");
    const gpio_v2_line_info info = lineInfo();
    EXPECT_STREQ(info.consumer, "other-program");
    EXPECT_STREQ(info.name, "GPIO7");
    EXPECT_EQ(info.offset, 7U);
    EXPECT_EQ(info.flags, GPIO_V2_LINE_FLAG_USED | GPIO_V2_LINE_FLAG_INPUT);

    gpio_v2_line_request wanted = outputRequest();
    EXPECT_EQ(request(wanted), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_THAT(simBoard().trace({EventKind::GpioRequest}), ElementsAre("gpio request 7 EBUSY"));
}

TEST_F(GpioV2, ARequestNumberSignExtendedByTheCallerNamesTheSameCommand) {
    EXPECT_STREQ(
        lineInfo(static_cast<unsigned long>(static_cast<int>(GPIO_V2_GET_LINEINFO_IOCTL))).name,
        "GPIO7");
}

TEST_F(GpioV2, ARequestedOutputStartsAtItsValueFollowsSetsByMaskAndIsReleasedByClosing) {
    gpio_v2_line_request wanted = outputRequest();
    ASSERT_EQ(request(wanted), 0) << std::strerror(errno);
    EXPECT_EQ(lineInfo().flags, GPIO_V2_LINE_FLAG_USED | GPIO_V2_LINE_FLAG_OUTPUT);
    EXPECT_EQ(gpio().consumer(7), "i2c-kestro-cli");

    gpio_v2_line_values values{.bits = 0, .mask = 1};
    EXPECT_EQ(::ioctl(wanted.fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values), 0);
    values = {.bits = 1, .mask = 0};
    EXPECT_EQ(::ioctl(wanted.fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values), -1);
    EXPECT_EQ(errno, EINVAL);
    values = {.bits = 1, .mask = 1};
    EXPECT_EQ(::ioctl(wanted.fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values), 0);
    EXPECT_EQ(values.bits, 0U);
    EXPECT_EQ(::ioctl(wanted.fd, GPIOHANDLE_GET_LINE_VALUES_IOCTL, &values), -1);
    EXPECT_EQ(errno, ENOTTY);

    ::close(wanted.fd);
    EXPECT_FALSE(gpio().requested(7));
    EXPECT_EQ(lineInfo().flags, GPIO_V2_LINE_FLAG_OUTPUT);
    EXPECT_THAT(simBoard().trace({EventKind::GpioRequest, EventKind::GpioSet, EventKind::GpioRelease}),
                ElementsAre("gpio request 7 1", "gpio set 7 0", "gpio release 7"));
}

TEST_F(GpioV2, AMalformedRequestIsRefusedWithEinval) {
    using Spoil = void (*)(gpio_v2_line_request&);
    const Spoil spoils[] = {
        [](auto& r) { r.num_lines = 0; },                      // no lines
        [](auto& r) { r.num_lines = GPIO_V2_LINES_MAX + 1; },  // too many lines
        [](auto& r) {
            r.config.num_attrs = GPIO_V2_LINE_NUM_ATTRS_MAX + 1;
        },                                                            // too many attributes
        [](auto& r) { r.padding[2] = 1; },                            // padding set
        [](auto& r) { r.offsets[0] = 32; },                           // beyond the chip
        [](auto& r) { r.config.flags |= GPIO_V2_LINE_FLAG_INPUT; }};  // input and output
    for (const Spoil spoil : spoils) {
        gpio_v2_line_request wanted = outputRequest();
        spoil(wanted);
        EXPECT_EQ(request(wanted), -1);
        EXPECT_EQ(errno, EINVAL) << "request " << &spoil - spoils;
    }
    EXPECT_FALSE(gpio().requested(7));
}

TEST_F(GpioV2, TheChipsSubsystemLinkLeadsToTheGpioBusWhileItIsPresent) {
    const std::string link = "/sys/dev/char/" + std::to_string(kGpioMajor) + ":" +
                             std::to_string(kGpioMinor) + "/subsystem";
    char* resolved = ::realpath(link.c_str(), nullptr);
    EXPECT_STREQ(resolved, "/sys/bus/gpio");
    std::free(resolved);
    gpio().setPresent(false);
    EXPECT_EQ(::realpath(link.c_str(), nullptr), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
}  // namespace sim
