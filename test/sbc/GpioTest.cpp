#include <gtest/gtest.h>

#include "SimBoardTest.h"
#include "BoardTestSupport.h"
#include "Golden.h"
#include "NorvaneI2CNode.h"

namespace {

using Step = void (*)(SBC&);
const Step configure = [](SBC& board) { board.configureGpio(false); };
const Step setHigh = [](SBC& board) { board.setGpio(true); };
const Step release = [](SBC& board) { board.releaseResources(); };

class GpioLine : public sim::SimBoardTest {
  protected:
    // What each step and a closing release wrote, the code each left, what the board holds and
    // what reached the line, on a fresh board and chip arranged as the row says.
    std::string outcomeOf(const char* name, void (*arrange)(sim::SimGpioChip&), std::vector<Step> steps,
                          Step arrangeBoard = [](SBC&) {}) {
        simBoard().reset();
        clock().useFake();
        gpio().setPresent(true);
        arrange(gpio());
        BoardPtr board = idleBoard();
        captureConsole([&] { arrangeBoard(*board); });
        simBoard().clearEvents();
        std::string text = std::string("== ") + name + "\n";
        steps.push_back(release);
        for (const Step step : steps) {
            const Console console = captureConsole([&] { step(*board); });
            text += console.out + console.err + board->getErrorString() + " chip " +
                    (board->_chip ? "held" : "none") + " line " + (board->_line ? "held" : "none") + " buses " +
                    std::to_string(board->_nodes.size()) + " open " + std::to_string(simBoard().openDescriptors()) +
                    (gpio().requested(7) ? " requested by " + gpio().consumer(7) + " at " +
                                               std::to_string(gpio().value(7))
                                         : "");
            text += "\n" + hardwareTrace({sim::EventKind::GpioRequest, sim::EventKind::GpioSet,
                                          sim::EventKind::GpioRelease, sim::EventKind::Sleep});
        }
        return text;
    }
};

TEST_F(GpioLine, ConfiguresSetsAndReleasesTheLineReportingEachFault) {
    const auto asIs = [](sim::SimGpioChip&) {};
    const auto failSet = [](sim::SimGpioChip& chip) { chip.failNextSet(EIO); };
    std::string outcomes = outcomeOf("set, set, release, release", asIs,
                                     {configure, [](SBC& board) { board.setGpio(false); }, setHigh, release});
    outcomes += outcomeOf("flag true", asIs, {[](SBC& board) { board.configureGpio(true); }});
    outcomes += outcomeOf("missing chip", [](sim::SimGpioChip& chip) { chip.setPresent(false); },
                          {configure, setHigh});
    outcomes += outcomeOf("line held by another program",
                          [](sim::SimGpioChip& chip) { chip.holdLine(7, "other-program"); }, {configure});
    outcomes += outcomeOf("request refused", [](sim::SimGpioChip& chip) { chip.failRequest(EINVAL); }, {configure});
    outcomes += outcomeOf("line info fails", [](sim::SimGpioChip& chip) { chip.failLineInfo(EIO); }, {configure});
    outcomes += outcomeOf("failed set", failSet, {configure, setHigh});
    outcomes += outcomeOf("failed set at release", failSet, {configure});
    outcomes += outcomeOf("release deletes every node on every bus once", asIs, {configure, release}, [](SBC& board) {
        sim::SimBoard::instance().addBus("/dev/i2c-1");
        sim::SimBoard::instance().addBus("/dev/i2c-3");
        for (const auto& [bus, address] :
             {std::pair{"/dev/i2c-3", 0x10}, {"/dev/i2c-3", 0x11}, {"/dev/i2c-1", 0x20}}) {
            board._nodes[bus][std::to_string(address)] = new NorvaneI2CNode(address, bus);
        }
        board._nodes["/dev/i2c-1"]["gone"] = nullptr;
    });
    expectGolden("gpio.txt", outcomes);
}

}  // namespace
