#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "NorvaneI2CNode.h"

using testing::ElementsAre;
using testing::IsEmpty;
using Trace = std::vector<std::string>;

namespace {

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

    Console configure(bool flag = false) {
        return captureConsole([&] { board->configureGpio(flag); });
    }

    // What an action wrote on a board whose line was requested, with the log cleared before it.
    Console configured(const std::function<void()>& action) {
        configure();
        bed().clearEvents();
        clock().clearSleeps();
        return captureConsole(action);
    }

    void release() { board->releaseResources(); }

    BoardPtr board;
};

// A chip or line that cannot be had: the message, the code, what the board holds, and what
// reached the chip.
struct Refusal {
    const char* name;
    void (*arrange)(bed::SimGpioChip&);
    const char* message;
    SbcError code;
    bool chipHeld;
    bool lineHeld;
    Trace trace;
};

void PrintTo(const Refusal& row, std::ostream* out) {
    *out << row.name;
}

class GpioRefusal : public GpioLine, public testing::WithParamInterface<Refusal> {};

TEST_P(GpioRefusal, IsReportedWithErrnoAndItsTextAndTheChipClosesAtRelease) {
    const Refusal& row = GetParam();
    row.arrange(gpio());

    const Console console = configure();

    EXPECT_EQ(console.err, row.message);
    EXPECT_EQ(board->getError(), row.code);
    EXPECT_EQ(board->_chip != nullptr, row.chipHeld);
    EXPECT_EQ(board->_line != nullptr, row.lineHeld);
    EXPECT_EQ(lineTrace(), row.trace);
    captureConsole([&] { release(); });
    EXPECT_EQ(board->_chip, nullptr);
    EXPECT_EQ(bed().openDescriptors(), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, GpioRefusal,
    testing::Values(
        Refusal{"MissingChip", [](bed::SimGpioChip& chip) { chip.setPresent(false); },
                "Error configuring chip gpio: 2-No such file or directory\n", GPIOD_CHIP, false,
                false, {}},
        Refusal{"LineHeldByAnotherProgram",
                [](bed::SimGpioChip& chip) { chip.holdLine(7, "other-program"); },
                "Error configuring output gpio: 16-Device or resource busy\n"
                "Line already used by: other-program\n",
                GPIOD_LINE_REQUEST, true, true, {"gpio request 7 EBUSY"}},
        Refusal{"RequestRefused", [](bed::SimGpioChip& chip) { chip.failRequest(EINVAL); },
                "Error configuring output gpio: 22-Invalid argument\n", GPIOD_LINE_REQUEST, true,
                true, {"gpio request 7 EINVAL"}},
        Refusal{"LineInfoFails", [](bed::SimGpioChip& chip) { chip.failLineInfo(EIO); },
                "Error configuring line gpio: 5-Input/output error\n", GPIOD_LINE, true, false,
                {}}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

class GpioFlag : public GpioLine, public testing::WithParamInterface<bool> {};

TEST_P(GpioFlag, RequestDrivesTheLineHighUnderTheProgramLabel) {
    EXPECT_EQ(configure(GetParam()).err, "");
    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_EQ(gpio().value(7), 1);
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
}

TEST_F(GpioLine, FailedSetIsReportedAsGpiodSetAndStillWaits) {
    gpio().failNextSet(EIO);

    const Console console = configured([&] { board->setGpio(true); });

    EXPECT_EQ(console.err, "Error!!!!!!!!!!!!!\n");
    EXPECT_EQ(board->getError(), GPIOD_SET);
    EXPECT_THAT(lineTrace(), ElementsAre("gpio set 7 1 EIO", "sleep 1000000"));
}

TEST_F(GpioLine, SetWithoutALineIsCode5WithoutWaiting) {
    EXPECT_EQ(captureConsole([&] { board->setGpio(true); }).err, "");
    EXPECT_EQ(board->getError(), GPIOD_LINE);
    EXPECT_THAT(clock().sleeps(), IsEmpty());
}

TEST_F(GpioLine, ReleaseDrivesLowWaitsThenClosesTheChipAndASecondOnlySetsCode5) {
    const Console console = configured([&] { release(); });

    EXPECT_EQ(console.err, "");
    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_THAT(lineTrace(), ElementsAre("gpio set 7 0", "sleep 1000000", "gpio release 7"));
    EXPECT_FALSE(gpio().requested(7));
    EXPECT_EQ(board->_line, nullptr);
    EXPECT_EQ(board->_chip, nullptr);
    EXPECT_EQ(bed().openDescriptors(), 0U);

    bed().clearEvents();
    EXPECT_EQ(captureConsole([&] { release(); }).err, "");
    EXPECT_EQ(board->getError(), GPIOD_LINE);
    EXPECT_THAT(lineTrace(), IsEmpty());
}

TEST_F(GpioLine, FailedSetAtReleaseIsReportedAndTheChipStillCloses) {
    gpio().failNextSet(EIO);

    const Console console = configured([&] { release(); });

    EXPECT_EQ(console.err, "Error!!!!!!!!!!!!!\n");
    EXPECT_EQ(board->getError(), GPIOD_SET);
    EXPECT_THAT(lineTrace(), ElementsAre("gpio set 7 0 EIO", "sleep 1000000", "gpio release 7"));
    EXPECT_EQ(bed().openDescriptors(), 0U);
}

TEST_F(GpioLine, ReleaseOfARefusedLineFailsItsSetButWaits) {
    gpio().holdLine(7, "other-program");

    const Console console = configured([&] { release(); });

    EXPECT_EQ(console.err, "Error!!!!!!!!!!!!!\n");
    EXPECT_EQ(board->getError(), GPIOD_SET);
    EXPECT_THAT(lineTrace(), ElementsAre("sleep 1000000"));
}

TEST_F(GpioLine, ReleaseDeletesEveryNodeOnEveryBusOnce) {
    captureConsole([&] {
        for (const uint8_t address : {0x10, 0x11}) {
            addNode(address, "/dev/i2c-3");
            board->_nodes["/dev/i2c-3"][std::to_string(address)] =
                new NorvaneI2CNode(address, "/dev/i2c-3");
        }
        addNode(0x20, "/dev/i2c-1");
        board->_nodes["/dev/i2c-1"] = {{"d", new NorvaneI2CNode(0x20, "/dev/i2c-1")},
                                       {"gone", nullptr}};
    });
    ASSERT_EQ(bed().openDescriptors(), 3U);

    captureConsole([&] {
        release();
        release();
    });

    EXPECT_EQ(bed().openDescriptors(), 0U);
    EXPECT_THAT(board->_nodes, IsEmpty());
}

}  // namespace
