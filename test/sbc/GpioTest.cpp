#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "NorvaneI2CNode.h"

using testing::ElementsAre;
using testing::IsEmpty;

namespace {

using Trace = std::vector<std::string>;

class GpioLine : public bed::BedTest {
  protected:
    void SetUp() override {
        BedTest::SetUp();
        gpio().setPresent(true);
        board = idleBoard();
    }

    // The board goes before the bed is reset, while its line is still simulated.
    void TearDown() override {
        board.reset();
        BedTest::TearDown();
    }

    Trace lineTrace() {
        return bed().trace({bed::EventKind::GpioRequest, bed::EventKind::GpioSet,
                            bed::EventKind::GpioRelease, bed::EventKind::Sleep});
    }

    Console configure(bool flag) {
        return captureConsole([&] { board->configureGpio(flag); });
    }

    Console configured(std::function<void()> action) {
        configure(false);
        bed().clearEvents();
        clock().clearSleeps();
        return captureConsole(action);
    }

    BoardPtr board;
};

TEST_F(GpioLine, MissingChipIsReportedWithErrnoAndItsText) {
    gpio().setPresent(false);

    const Console console = configure(false);

    EXPECT_EQ(console.err, "Error configuring chip gpio: 2-No such file or directory\n");
    EXPECT_EQ(board->getError(), GPIOD_CHIP);
    EXPECT_EQ(board->_chip, nullptr);
    EXPECT_EQ(board->_line, nullptr);
    EXPECT_THAT(lineTrace(), IsEmpty());
}

TEST_F(GpioLine, LineHeldByAnotherProgramNamesItsConsumer) {
    gpio().holdLine(7, "other-program");

    const Console console = configure(false);

    EXPECT_EQ(console.err,
              "Error configuring output gpio: 16-Device or resource busy\n"
              "Line already used by: other-program\n");
    EXPECT_EQ(board->getError(), GPIOD_LINE_REQUEST);
    EXPECT_NE(board->_chip, nullptr);
    EXPECT_NE(board->_line, nullptr);
    EXPECT_THAT(lineTrace(), ElementsAre("gpio request 7 EBUSY"));
}

TEST_F(GpioLine, RefusedRequestOtherThanBusyWritesOneLine) {
    gpio().failRequest(EINVAL);

    const Console console = configure(false);

    EXPECT_EQ(console.err,
              "Error configuring output gpio: 22-" + std::string(strerror(EINVAL)) + "\n");
    EXPECT_EQ(board->getError(), GPIOD_LINE_REQUEST);
}

TEST_F(GpioLine, LineThatCannotBeObtainedIsCode5AndItsChipIsClosedAtRelease) {
    gpio().failLineInfo(EIO);

    const Console console = configure(false);

    EXPECT_EQ(console.err, "Error configuring line gpio: 5-Input/output error\n");
    EXPECT_EQ(board->getError(), GPIOD_LINE);
    EXPECT_NE(board->_chip, nullptr);
    EXPECT_EQ(board->_line, nullptr);

    captureConsole([&] { board->releaseResources(); });
    EXPECT_EQ(bed().openDescriptors(), 0U);
    EXPECT_EQ(board->_chip, nullptr);
    EXPECT_THAT(clock().sleeps(), IsEmpty());
}

class GpioFlag : public GpioLine, public testing::WithParamInterface<bool> {};

TEST_P(GpioFlag, RequestDrivesTheLineHighUnderTheProgramLabel) {
    const Console console = configure(GetParam());

    EXPECT_EQ(console.err, "");
    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_EQ(gpio().value(7), 1);
    EXPECT_TRUE(gpio().requested(7));
    EXPECT_EQ(gpio().consumer(7), "i2c-kestro-cli");
    EXPECT_THAT(lineTrace(), ElementsAre("gpio request 7 1"));
}

INSTANTIATE_TEST_SUITE_P(EitherFlag, GpioFlag, testing::Bool());

TEST_F(GpioLine, SetDrivesTheValueThenWaitsOneSecond) {
    const Console console = configured([&] {
        board->setGpio(false);
        board->setGpio(true);
    });

    EXPECT_EQ(console.err, "");
    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_THAT(lineTrace(),
                ElementsAre("gpio set 7 0", "sleep 1000000", "gpio set 7 1", "sleep 1000000"));
    EXPECT_EQ(gpio().value(7), 1);
}

TEST_F(GpioLine, FailedSetIsReportedAsGpiodSetAndStillWaits) {
    gpio().failNextSet(EIO);

    const Console console = configured([&] { board->setGpio(true); });

    EXPECT_EQ(console.err, "Error!!!!!!!!!!!!!\n");
    EXPECT_EQ(board->getError(), GPIOD_SET);
    EXPECT_THAT(lineTrace(), ElementsAre("gpio set 7 1 EIO", "sleep 1000000"));
}

TEST_F(GpioLine, SetWithoutALineIsCode5WithoutWaiting) {
    const Console console = captureConsole([&] { board->setGpio(true); });

    EXPECT_EQ(console.err, "");
    EXPECT_EQ(board->getError(), GPIOD_LINE);
    EXPECT_THAT(clock().sleeps(), IsEmpty());
}

TEST_F(GpioLine, ReleaseDrivesLowWaitsThenClosesTheChip) {
    const Console console = configured([&] { board->releaseResources(); });

    EXPECT_EQ(console.err, "");
    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_THAT(lineTrace(), ElementsAre("gpio set 7 0", "sleep 1000000", "gpio release 7"));
    const std::vector<bed::LineEvent> history = gpio().history(7);
    ASSERT_EQ(history.size(), 3U);
    EXPECT_EQ(history[2].timeUs - history[1].timeUs, 1'000'000U);
    EXPECT_FALSE(gpio().requested(7));
    EXPECT_EQ(board->_line, nullptr);
    EXPECT_EQ(board->_chip, nullptr);
    EXPECT_EQ(bed().openDescriptors(), 0U);
}

TEST_F(GpioLine, FailedSetAtReleaseIsReportedAndTheChipStillCloses) {
    gpio().failNextSet(EIO);

    const Console console = configured([&] { board->releaseResources(); });

    EXPECT_EQ(console.err, "Error!!!!!!!!!!!!!\n");
    EXPECT_EQ(board->getError(), GPIOD_SET);
    EXPECT_THAT(lineTrace(), ElementsAre("gpio set 7 0 EIO", "sleep 1000000", "gpio release 7"));
    EXPECT_EQ(bed().openDescriptors(), 0U);
}

TEST_F(GpioLine, SecondReleaseOnlySetsCode5) {
    configured([&] { board->releaseResources(); });
    bed().clearEvents();

    const Console console = captureConsole([&] { board->releaseResources(); });

    EXPECT_EQ(console.err, "");
    EXPECT_EQ(board->getError(), GPIOD_LINE);
    EXPECT_THAT(lineTrace(), IsEmpty());
}

TEST_F(GpioLine, ReleaseOfARefusedLineFailsItsSetButClosesTheChip) {
    gpio().holdLine(7, "other-program");
    configure(false);
    bed().clearEvents();

    const Console console = captureConsole([&] { board->releaseResources(); });

    EXPECT_EQ(console.err, "Error!!!!!!!!!!!!!\n");
    EXPECT_EQ(board->getError(), GPIOD_SET);
    EXPECT_THAT(lineTrace(), ElementsAre("sleep 1000000"));
    EXPECT_EQ(bed().openDescriptors(), 0U);
}

TEST_F(GpioLine, ReleaseDeletesEveryNodeOnEveryBus) {
    for (const uint8_t address : {0x10, 0x11, 0x12}) {
        addNode(address, "/dev/i2c-3");
    }
    for (const uint8_t address : {0x20, 0x21}) {
        addNode(address, "/dev/i2c-1");
    }
    captureConsole([&] {
        board->_nodes["/dev/i2c-3"] = {{"a", new NorvaneI2CNode(0x10, "/dev/i2c-3")},
                                       {"b", new NorvaneI2CNode(0x11, "/dev/i2c-3")},
                                       {"c", new NorvaneI2CNode(0x12, "/dev/i2c-3")},
                                       {"gone", nullptr}};
        board->_nodes["/dev/i2c-1"] = {{"d", new NorvaneI2CNode(0x20, "/dev/i2c-1")},
                                       {"e", new NorvaneI2CNode(0x21, "/dev/i2c-1")}};
    });
    ASSERT_EQ(bed().openDescriptors(), 5U);

    captureConsole([&] {
        board->releaseResources();
        board->releaseResources();
    });

    EXPECT_EQ(bed().busAt("/dev/i2c-3").openDescriptors(), 0U);
    EXPECT_EQ(bed().busAt("/dev/i2c-1").openDescriptors(), 0U);
    EXPECT_THAT(board->_nodes, IsEmpty());
}

}  // namespace
