#include <gtest/gtest.h>

#include "SimBoardTest.h"
#include "BoardTestSupport.h"
#include "Golden.h"
#include "NorvaneI2CNode.h"

namespace {

constexpr uint8_t kSetTime = 0xF0;
constexpr uint8_t kGetTime = 0xE0;

// A node's id, address and bus.
using Placed = std::tuple<std::string, uint8_t, std::string>;
const char* const kBus = "/dev/i2c-3";

class ClockSync : public sim::SimBoardTest {
  protected:
    // What the sync printed for nodes placed as discovery would store them, the first arranged
    // as the row says, on a fresh simulated board and board; then the times each node was sent (8 bytes,
    // little-endian ms), the read-backs it got, and the waits.
    std::string outcomeOf(const char* name, const std::vector<Placed>& placed,
                          const std::function<void(sim::SimNode&)>& arrangeFirst = [](sim::SimNode&) {}) {
        simBoard().reset();
        clock().useFake();
        BoardPtr board = idleBoard();
        std::vector<sim::SimNode*> sims;
        for (const auto& [id, address, bus] : placed) {
            sims.push_back(&addNode(address, bus));
            captureConsole([&] { board->_nodes[bus][id] = new NorvaneI2CNode(address, bus.c_str()); });
        }
        board->_nodes[kBus]["none"] = nullptr;
        if (!sims.empty()) arrangeFirst(*sims[0]);
        const Console console = captureConsole([&] { board->syncNodeClocks(); });
        std::string text = std::string("== ") + name + "\n" + console.err + board->getErrorString() + "\n" +
                           linesStartingWith(console.out, {"timesync ", "Time set to ", "Error setting ",
                                                           "Error getting ", "Error: "});
        for (size_t i = 0; i < sims.size(); ++i) {
            // A bus the arrangement removed took its nodes with it: nothing reached them.
            const bool present = simBoard().bus(std::get<2>(placed[i])) != nullptr;
            text += std::get<0>(placed[i]) + " sent";
            for (const sim::Request& set : present ? sims[i]->requestsFor(kSetTime) : std::vector<sim::Request>{}) {
                text += " " + sim::hex(set.arguments());
            }
            text += ", read-backs " + std::to_string(present ? sims[i]->requestsFor(kGetTime).size() : 0) + "\n";
        }
        return text + "waits " + std::to_string(clock().sleeps().size()) + "\n";
    }
};

TEST_F(ClockSync, SetsEveryNodesClockToAFreshBoardTimeAndReportsEachOutcome) {
    const std::vector<Placed> two{{"alpha", 0x10, kBus}, {"bravo", 0x11, kBus}};
    std::string outcomes = outcomeOf("no nodes", {});
    outcomes += outcomeOf("buses and ids in ascending order",
                          {{"zulu", 0x10, kBus}, {"alpha", 7, kBus}, {"mike", 0x12, "/dev/i2c-1"}});
    outcomes += outcomeOf("the node's clock is printed", two, [](sim::SimNode& sim) {
        sim::Bytes reply = sim::bytesOf("OK");
        sim::putLe64(reply, 258);
        sim.replyPayload(reply, kGetTime);
    });
    const std::pair<const char*, std::pair<sim::Fault, uint8_t>> faults[] = {
        {"set refused", {sim::Fault::NotOk, kSetTime}},
        {"set unanswered", {sim::Fault::NoAnswer, kSetTime}},
        {"read-back short", {sim::Fault::WrongLength, kGetTime}},
        {"read-back refused", {sim::Fault::NotOk, kGetTime}},
        {"read-back corrupted", {sim::Fault::BadCrc, kGetTime}},
    };
    for (const auto& [name, fault] : faults) {
        outcomes += outcomeOf(name, two, [fault](sim::SimNode& sim) { sim.failNext(fault.first, fault.second); });
    }
    outcomes += outcomeOf("node that never opened", {{"lost", 0x10, kBus}},
                          [](sim::SimNode&) { sim::SimBoard::instance().removeBus(kBus); });
    expectGolden("clock-sync.txt", outcomes);
}

}  // namespace
