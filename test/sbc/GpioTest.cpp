#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "Golden.h"
#include "NorvaneI2CNode.h"

using testing::IsEmpty;

namespace {

void configure(SBC& board) {
    board.configureGpio(false);
}
void setLow(SBC& board) {
    board.setGpio(false);
}
void setHigh(SBC& board) {
    board.setGpio(true);
}
void release(SBC& board) {
    board.releaseResources();
}
void asIs(bed::SimGpioChip&) {}

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

    // What each step and a closing release wrote, the code each left and what reached the line,
    // on a fresh board and chip arranged as the scenario says; then the descriptors left open.
    std::string outcomeOf(const char* name, void (*arrange)(bed::SimGpioChip&),
                          const std::vector<std::function<void(SBC&)>>& steps) {
        board.reset();
        bed().reset();
        clock().useFake();
        gpio().setPresent(true);
        arrange(gpio());
        board = idleBoard();
        std::string text = std::string("== ") + name + "\n";
        std::vector<std::function<void(SBC&)>> all = steps;
        all.push_back(release);
        for (const auto& step : all) {
            bed().clearEvents();
            const Console console = captureConsole([&] { step(*board); });
            text += console.out + console.err + board->getErrorString() + " chip " +
                    (board->_chip ? "held" : "none") + " line " + (board->_line ? "held" : "none");
            if (gpio().requested(7)) {
                text += " requested by " + gpio().consumer(7) + " at " +
                        std::to_string(gpio().value(7));
            }
            for (const std::string& line : lineTrace()) {
                text += "\n  " + line;
            }
            text += "\n";
        }
        return text + "open descriptors " + std::to_string(bed().openDescriptors()) + "\n";
    }

    BoardPtr board;
};

TEST_F(GpioLine, ConfiguresSetsAndReleasesTheLineReportingEachFault) {
    std::string outcomes = outcomeOf("set, set, release, release", asIs,
                                     {configure, setLow, setHigh, release});
    outcomes += outcomeOf("flag true", asIs, {[](SBC& board) { board.configureGpio(true); }});
    outcomes += outcomeOf("missing chip", [](bed::SimGpioChip& chip) { chip.setPresent(false); },
                          {configure, setHigh});
    outcomes += outcomeOf("line held by another program",
                          [](bed::SimGpioChip& chip) { chip.holdLine(7, "other-program"); },
                          {configure});
    outcomes += outcomeOf("request refused",
                          [](bed::SimGpioChip& chip) { chip.failRequest(EINVAL); }, {configure});
    outcomes += outcomeOf("line info fails",
                          [](bed::SimGpioChip& chip) { chip.failLineInfo(EIO); }, {configure});
    outcomes += outcomeOf("failed set", [](bed::SimGpioChip& chip) { chip.failNextSet(EIO); },
                          {configure, setHigh});
    outcomes += outcomeOf("failed set at release",
                          [](bed::SimGpioChip& chip) { chip.failNextSet(EIO); }, {configure});
    expectGolden("gpio.txt", outcomes);
}

TEST_F(GpioLine, ReleaseWaitsOneSecondWithTheLineLowAndDeletesEveryNodeOnEveryBusOnce) {
    captureConsole([&] {
        board->configureGpio(false);
        for (const uint8_t address : {0x10, 0x11}) {
            addNode(address, "/dev/i2c-3");
            board->_nodes["/dev/i2c-3"][std::to_string(address)] =
                new NorvaneI2CNode(address, "/dev/i2c-3");
        }
        addNode(0x20, "/dev/i2c-1");
        board->_nodes["/dev/i2c-1"] = {{"d", new NorvaneI2CNode(0x20, "/dev/i2c-1")},
                                       {"gone", nullptr}};
    });
    ASSERT_EQ(bed().openDescriptors(), 5U);

    captureConsole([&] {
        board->releaseResources();
        board->releaseResources();
    });

    const std::vector<bed::LineEvent> history = gpio().history(7);
    ASSERT_EQ(history.size(), 3U);
    EXPECT_EQ(history[2].timeUs - history[1].timeUs, 1'000'000U);
    EXPECT_EQ(bed().openDescriptors(), 0U);
    EXPECT_THAT(board->_nodes, IsEmpty());
}

}  // namespace
