// The chip's uAPI v2 through plain ioctls, whichever libgpiod the build uses.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>

#include "BedTest.h"

namespace bed::selftest {

// Closes a line request when a check leaves the test early.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};
namespace {

using ::testing::ElementsAre;

class BedGpioV2Test : public BedTest {
  protected:
    void SetUp() override {
        BedTest::SetUp();
        gpio().setPresent(true);
        chip_ = ::open(kGpioChipPath, O_RDWR | O_CLOEXEC);
        ASSERT_GE(chip_, 0) << std::strerror(errno);
    }

    void TearDown() override {
        ::close(chip_);
        BedTest::TearDown();
    }

    static gpio_v2_line_request outputRequest(unsigned offset, bool high, const char* consumer) {
        gpio_v2_line_request request{};
        request.offsets[0] = offset;
        request.num_lines = 1;
        std::strncpy(request.consumer, consumer, sizeof request.consumer - 1);
        request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
        request.config.num_attrs = 1;
        request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
        request.config.attrs[0].attr.values = high ? 1 : 0;
        request.config.attrs[0].mask = 1;
        return request;
    }

    gpio_v2_line_info lineInfo(unsigned offset) {
        gpio_v2_line_info info{};
        info.offset = offset;
        EXPECT_EQ(::ioctl(chip_, GPIO_V2_GET_LINEINFO_IOCTL, &info), 0);
        return info;
    }

    int request(gpio_v2_line_request& request) {
        return ::ioctl(chip_, GPIO_V2_GET_LINE_IOCTL, &request);
    }

    int chip_ = -1;
};

TEST_F(BedGpioV2Test, LineInfoOfAHeldLineShowsItUsedWithItsConsumer) {
    gpio().holdLine(7, "other-program");

    const gpio_v2_line_info info = lineInfo(7);

    EXPECT_STREQ(info.consumer, "other-program");
    EXPECT_STREQ(info.name, "GPIO7");
    EXPECT_EQ(info.offset, 7U);
    EXPECT_EQ(info.flags, GPIO_V2_LINE_FLAG_USED | GPIO_V2_LINE_FLAG_INPUT);
}

TEST_F(BedGpioV2Test, ARequestNumberSignExtendedByTheCallerNamesTheSameCommand) {
    const auto extended = static_cast<unsigned long>(static_cast<int>(GPIO_V2_GET_LINEINFO_IOCTL));
    gpio_v2_line_info info{};
    info.offset = 7;

    EXPECT_EQ(::ioctl(chip_, extended, &info), 0);
    EXPECT_STREQ(info.name, "GPIO7");
}

TEST_F(BedGpioV2Test, ARequestedOutputStartsAtItsValueAndFollowsSetsByMask) {
    gpio_v2_line_request wanted = outputRequest(7, true, "i2c-kestro-cli");
    ASSERT_EQ(request(wanted), 0) << std::strerror(errno);
    Fd line(wanted.fd);
    EXPECT_EQ(lineInfo(7).flags, GPIO_V2_LINE_FLAG_USED | GPIO_V2_LINE_FLAG_OUTPUT);
    EXPECT_EQ(gpio().consumer(7), "i2c-kestro-cli");

    gpio_v2_line_values values{.bits = 0, .mask = 1};
    EXPECT_EQ(::ioctl(line.get(), GPIO_V2_LINE_SET_VALUES_IOCTL, &values), 0);
    values = {.bits = 1, .mask = 0};
    EXPECT_EQ(::ioctl(line.get(), GPIO_V2_LINE_SET_VALUES_IOCTL, &values), -1);
    EXPECT_EQ(errno, EINVAL);
    values = {.bits = 1, .mask = 1};
    EXPECT_EQ(::ioctl(line.get(), GPIO_V2_LINE_GET_VALUES_IOCTL, &values), 0);
    EXPECT_EQ(values.bits, 0U);
    EXPECT_EQ(::ioctl(line.get(), GPIOHANDLE_GET_LINE_VALUES_IOCTL, &values), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST_F(BedGpioV2Test, ClosingTheRequestReleasesTheLine) {
    gpio_v2_line_request wanted = outputRequest(7, false, "x");
    ASSERT_EQ(request(wanted), 0);
    ::close(wanted.fd);

    EXPECT_FALSE(gpio().requested(7));
    EXPECT_EQ(lineInfo(7).flags, GPIO_V2_LINE_FLAG_OUTPUT);
    EXPECT_THAT(bed().trace({EventKind::GpioRequest, EventKind::GpioRelease}),
                ElementsAre("gpio request 7 0", "gpio release 7"));
}

TEST_F(BedGpioV2Test, ABusyLineIsRefusedAndLogged) {
    gpio().holdLine(7, "other-program");
    gpio_v2_line_request wanted = outputRequest(7, true, "x");

    EXPECT_EQ(request(wanted), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_THAT(bed().trace({EventKind::GpioRequest}), ElementsAre("gpio request 7 EBUSY"));
}

struct Malformed {
    const char* name;
    std::function<void(gpio_v2_line_request&)> spoil;
};

class BedGpioV2MalformedTest : public BedGpioV2Test,
                               public ::testing::WithParamInterface<Malformed> {};

TEST_P(BedGpioV2MalformedTest, IsRefusedWithEinval) {
    gpio_v2_line_request wanted = outputRequest(7, true, "x");
    GetParam().spoil(wanted);

    EXPECT_EQ(request(wanted), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(gpio().requested(7));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BedGpioV2MalformedTest,
    ::testing::Values(
        Malformed{"NoLines", [](auto& r) { r.num_lines = 0; }},
        Malformed{"TooManyLines", [](auto& r) { r.num_lines = GPIO_V2_LINES_MAX + 1; }},
        Malformed{"TooManyAttributes",
                  [](auto& r) { r.config.num_attrs = GPIO_V2_LINE_NUM_ATTRS_MAX + 1; }},
        Malformed{"PaddingSet", [](auto& r) { r.padding[2] = 1; }},
        Malformed{"LineBeyondTheChip", [](auto& r) { r.offsets[0] = 32; }},
        Malformed{"InputAndOutput",
                  [](auto& r) { r.config.flags |= GPIO_V2_LINE_FLAG_INPUT; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BedGpioV2Test, TheChipsSubsystemLinkLeadsToTheGpioBusWhileItIsPresent) {
    const std::string link = "/sys/dev/char/" + std::to_string(kGpioMajor) + ":" +
                             std::to_string(kGpioMinor) + "/subsystem";
    char* resolved = ::realpath(link.c_str(), nullptr);
    ASSERT_NE(resolved, nullptr);
    EXPECT_STREQ(resolved, "/sys/bus/gpio");
    std::free(resolved);

    gpio().setPresent(false);
    EXPECT_EQ(::realpath(link.c_str(), nullptr), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
}  // namespace bed::selftest
