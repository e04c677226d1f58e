#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "BusTestSupport.h"
#include "NorvaneI2CNode.h"

using testing::ElementsAre;
using testing::IsEmpty;

namespace {

using Lines = std::vector<std::string>;

const char* const kBoardBus = "/dev/i2c-3";
constexpr uint64_t kStartMs = bed::FakeClock::kDefaultStartUs / 1000;
constexpr uint64_t kCommandMs = 100;

uint64_t sentTime(const bed::SimNode& sim) {
    const std::vector<bed::Request> sets = sim.requestsFor(0xF0);
    if (sets.size() != 1) {
        ADD_FAILURE() << sets.size() << " clock sets";
        return 0;
    }
    const bed::Bytes value = sets[0].arguments();
    uint64_t time = 0;
    for (size_t i = value.size(); i > 0; --i) {
        time = (time << 8) | value[i - 1];
    }
    return time;
}

class ClockSync : public bed::BedTest {
  protected:
    void SetUp() override {
        BedTest::SetUp();
        board = idleBoard();
    }

    void TearDown() override {
        board.reset();
        BedTest::TearDown();
    }

    // A node on the simulated bus and the board's node for it, stored as discovery would.
    bed::SimNode& placeNode(const std::string& id, uint8_t address,
                            const std::string& bus = kBoardBus) {
        bed::SimNode& sim = addNode(address, bus);
        captureConsole([&] { board->_nodes[bus][id] = new NorvaneI2CNode(address, bus.c_str()); });
        return sim;
    }

    // The pointer line that opens the report of one node.
    std::string headerOf(const std::string& bus, const std::string& id) {
        NorvaneI2CNode* node = board->_nodes.at(bus).at(id);
        return "timesync for bus " + bus + " id " + id + " NorvaneI2CNode memAddr " +
               streamed(node) + " addr " + std::to_string(node->addr);
    }

    Lines sync() {
        const Console console = captureConsole([&] { board->syncNodeClocks(); });
        EXPECT_EQ(console.err, "");
        return linesStartingWith(console.out,
                                 {"timesync ", "Time set to ", "Error setting time to ",
                                  "Error getting time from ", "Error: "});
    }

    BoardPtr board;
};

TEST_F(ClockSync, WritesNothingWithoutNodes) {
    EXPECT_THAT(sync(), IsEmpty());
    board->_nodes["/dev/i2c-1"];
    board->_nodes["/dev/i2c-4"];
    EXPECT_THAT(sync(), IsEmpty());
    EXPECT_THAT(bed().events(), IsEmpty());
}

TEST_F(ClockSync, SetsTheBoardTimeAndReportsTheTimeReadBack) {
    bed::SimNode& sim = placeNode("alpha", 0x10);

    const Lines lines = sync();

    EXPECT_THAT(lines, ElementsAre(headerOf(kBoardBus, "alpha"),
                                   "Time set to alpha " + std::to_string(kStartMs) + "ms"));
    EXPECT_EQ(sentTime(sim), kStartMs);
    EXPECT_EQ(bed().trace({bed::EventKind::Write, bed::EventKind::Sleep}),
              (Lines{"write 0x10 15", "usleep 100000", "write 0x10 7", "usleep 100000"}));
}

TEST_F(ClockSync, PrintsTheNodesClockNotTheTimeItWasSent) {
    bed::SimNode& sim = placeNode("alpha", 0x10);
    bed::Bytes reply = bed::bytesOf("OK");
    bed::putLe64(reply, 258);
    sim.replyPayload(reply, 0xE0);

    EXPECT_THAT(sync(), ElementsAre(headerOf(kBoardBus, "alpha"), "Time set to alpha 258ms"));
}

TEST_F(ClockSync, TakesAFreshTimeForEveryNode) {
    bed::SimNode& alpha = placeNode("alpha", 0x10);
    bed::SimNode& bravo = placeNode("bravo", 0x11);
    bed::SimNode& remote = placeNode("remote", 0x12, "/dev/i2c-1");

    sync();

    EXPECT_EQ(sentTime(remote), kStartMs) << "/dev/i2c-1 comes first";
    EXPECT_EQ(sentTime(alpha), kStartMs + 2 * kCommandMs);
    EXPECT_EQ(sentTime(bravo), kStartMs + 4 * kCommandMs);
}

TEST_F(ClockSync, VisitsBusesAndIdsInAscendingOrder) {
    placeNode("zulu", 0x10);
    placeNode("alpha", 0x11);
    placeNode("mike", 0x12, "/dev/i2c-1");

    const Lines headers =
        linesStartingWith(captureConsole([&] { board->syncNodeClocks(); }).out, {"timesync "});

    EXPECT_THAT(headers, ElementsAre(headerOf("/dev/i2c-1", "mike"), headerOf(kBoardBus, "alpha"),
                                     headerOf(kBoardBus, "zulu")));
}

TEST_F(ClockSync, HeaderEndsWithTheAddressInDecimal) {
    placeNode("seven", 7);
    placeNode("eighty", 0x50);

    const Lines lines = sync();

    ASSERT_EQ(lines.size(), 4U);
    EXPECT_THAT(lines[0], testing::EndsWith(" addr 80"));
    EXPECT_THAT(lines[2], testing::EndsWith(" addr 7"));
    EXPECT_THAT(lines[0], testing::MatchesRegex(
                              "timesync for bus /dev/i2c-3 id eighty NorvaneI2CNode memAddr "
                              "0x[0-9a-f]+ addr 80"));
}

TEST_F(ClockSync, RefusedSetReportsStatus11AndSkipsTheReadBack) {
    bed::SimNode& sim = placeNode("alpha", 0x10);
    sim.failNext(bed::Fault::NotOk, 0xF0);

    EXPECT_THAT(sync(), ElementsAre(headerOf(kBoardBus, "alpha"), "Error setting time to alpha",
                                    "Error: 11"));
    EXPECT_THAT(sim.requestsFor(0xE0), IsEmpty());
}

TEST_F(ClockSync, SetWithoutAnAnswerReportsStatus10) {
    placeNode("alpha", 0x10).failNext(bed::Fault::NoAnswer, 0xF0);

    EXPECT_THAT(sync(), ElementsAre(headerOf(kBoardBus, "alpha"), "Error setting time to alpha",
                                    "Error: 10"));
}

TEST_F(ClockSync, ShortClockReplyReportsStatus8) {
    placeNode("alpha", 0x10).failNext(bed::Fault::WrongLength, 0xE0);

    EXPECT_THAT(sync(), ElementsAre(headerOf(kBoardBus, "alpha"), "Error getting time from alpha",
                                    "Error: 8"));
}

TEST_F(ClockSync, RefusedReadBackReportsStatus11) {
    placeNode("alpha", 0x10).failNext(bed::Fault::NotOk, 0xE0);

    EXPECT_THAT(sync(), ElementsAre(headerOf(kBoardBus, "alpha"), "Error getting time from alpha",
                                    "Error: 11"));
}

TEST_F(ClockSync, ReadBackWithoutAnAnswerReportsStatus10) {
    placeNode("alpha", 0x10).failNext(bed::Fault::BadCrc, 0xE0);

    EXPECT_THAT(sync(), ElementsAre(headerOf(kBoardBus, "alpha"), "Error getting time from alpha",
                                    "Error: 10"));
}

TEST_F(ClockSync, AFailingNodeDoesNotStopTheRunNorTouchTheBoardError) {
    placeNode("alpha", 0x10).failNext(bed::Fault::NotOk, 0xF0);
    placeNode("bravo", 0x11);

    const Lines lines = sync();

    EXPECT_THAT(
        lines, ElementsAre(headerOf(kBoardBus, "alpha"), "Error setting time to alpha", "Error: 11",
                           headerOf(kBoardBus, "bravo"),
                           "Time set to bravo " + std::to_string(kStartMs + kCommandMs) + "ms"));
    EXPECT_EQ(board->getError(), OKEY);
}

TEST_F(ClockSync, NodeThatNeverOpenedReportsStatus10WithoutWaiting) {
    captureConsole([&] { board->_nodes[kBoardBus]["lost"] = new NorvaneI2CNode(0x10, kBoardBus); });

    EXPECT_THAT(sync(), ElementsAre(headerOf(kBoardBus, "lost"), "Error setting time to lost",
                                    "Error: 10"));
    EXPECT_THAT(clock().sleeps(), IsEmpty());
}

TEST_F(ClockSync, EmptyNodeEntryIsSkipped) {
    board->_nodes[kBoardBus]["none"] = nullptr;
    placeNode("some", 0x10);

    const Lines lines = sync();

    EXPECT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0], headerOf(kBoardBus, "some"));
}

}  // namespace
