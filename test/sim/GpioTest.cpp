#include <fcntl.h>
#include <gmock/gmock.h>
#include <gpiod.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "BedTest.h"

namespace bed::selftest {
namespace {

using ::testing::ElementsAre;

class BedGpioChipTest : public BedTest {};

TEST_F(BedGpioChipTest, AnAbsentChipCannotBeOpenedWhateverTheHostHas) {
    struct stat info {};
    errno = 0;
    EXPECT_EQ(gpiod_chip_open_by_number(0), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(::stat("/dev/gpiochip1", &info), -1);
    EXPECT_EQ(::access(kGpioSysfsDevPath, R_OK), -1);
}

TEST_F(BedGpioChipTest, LibgpiodDrivesLineSevenAndEveryChangeIsTimeStamped) {
    gpio().setPresent(true);
    gpiod_chip* chip = gpiod_chip_open_by_number(0);
    ASSERT_NE(chip, nullptr) << std::strerror(errno);
    gpiod_line* line = gpiod_chip_get_line(chip, 7);
    ASSERT_NE(line, nullptr);
    ASSERT_EQ(gpiod_line_request_output(line, "i2c-kestro-cli", 2), 0);
    EXPECT_STREQ(gpiod_line_consumer(line), "i2c-kestro-cli");
    EXPECT_EQ(gpio().value(7), 1);
    ::sleep(1);
    EXPECT_EQ(gpiod_line_set_value(line, 0), 0);
    EXPECT_EQ(gpiod_line_get_value(line), 0);
    gpiod_line_close_chip(line);

    const std::vector<LineEvent> history = gpio().history(7);
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[0].change, LineChange::Request);
    EXPECT_EQ(history[0].value, 1);
    EXPECT_EQ(history[1].change, LineChange::Set);
    EXPECT_EQ(history[1].value, 0);
    EXPECT_EQ(history[1].timeUs - history[0].timeUs, 1'000'000u);
    EXPECT_EQ(history[2].change, LineChange::Release);
    EXPECT_FALSE(gpio().requested(7));
    EXPECT_THAT(bed().trace({EventKind::GpioRequest, EventKind::GpioSet, EventKind::Sleep,
                             EventKind::GpioRelease}),
                ElementsAre("gpio request 7 1", "sleep 1000000", "gpio set 7 0", "gpio release 7"));
}

TEST_F(BedGpioChipTest, ALineHeldByAnotherProgramIsBusyAndNamesItsConsumer) {
    gpio().setPresent(true);
    gpio().holdLine(7, "other-program");
    gpiod_chip* chip = gpiod_chip_open_by_number(0);
    ASSERT_NE(chip, nullptr);
    gpiod_line* line = gpiod_chip_get_line(chip, 7);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(gpiod_line_request_output(line, "i2c-kestro-cli", 1), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_STREQ(gpiod_line_consumer(line), "other-program");
    gpiod_chip_close(chip);
}

TEST_F(BedGpioChipTest, AFailedSetLeavesTheLineAsItWas) {
    gpio().setPresent(true);
    gpio().failNextSet(EIO);
    gpiod_chip* chip = gpiod_chip_open_by_number(0);
    ASSERT_NE(chip, nullptr);
    gpiod_line* line = gpiod_chip_get_line(chip, 7);
    ASSERT_EQ(gpiod_line_request_output(line, "x", 1), 0);
    EXPECT_EQ(gpiod_line_set_value(line, 0), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(gpio().value(7), 1);
    EXPECT_EQ(gpiod_line_set_value(line, 0), 0);
    EXPECT_EQ(gpio().value(7), 0);
    gpiod_line_close_chip(line);
}

TEST_F(BedGpioChipTest, AFailingLineLookupGivesNoLine) {
    gpio().setPresent(true);
    gpio().failLineInfo(EIO);
    gpiod_chip* chip = gpiod_chip_open_by_number(0);
    ASSERT_NE(chip, nullptr);
    EXPECT_EQ(gpiod_chip_get_line(chip, 7), nullptr);
    gpiod_chip_close(chip);
}

}  // namespace
}  // namespace bed::selftest
