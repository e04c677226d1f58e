#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ranges>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "NodeStatus.h"
#include "NorvaneI2CNode.h"

using testing::ElementsAre;
using testing::IsEmpty;
using Lines = std::vector<std::string>;

namespace {

const char* const kBoardBus = "/dev/i2c-3";
constexpr uint64_t kStartMs = bed::FakeClock::kDefaultStartUs / 1000;
constexpr uint64_t kCommandMs = 100;
constexpr uint8_t kSetTime = 0xF0;
constexpr uint8_t kGetTime = 0xE0;

// The time the node was asked to set, as its 8 little-endian argument bytes say.
uint64_t sentTime(const bed::SimNode& sim) {
    const std::vector<bed::Request> sets = sim.requestsFor(kSetTime);
    if (sets.size() != 1) {
        ADD_FAILURE() << sets.size() << " clock sets";
        return 0;
    }
    const bed::Bytes value = sets[0].arguments();
    uint64_t time = 0;
    for (const uint8_t byte : std::views::reverse(value)) {
        time = (time << 8) | byte;
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

    std::string headerOf(const std::string& id, const std::string& bus = kBoardBus) {
        return syncHeaderOf(*board, bus, id);
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
    board->_nodes["/dev/i2c-1"];
    board->_nodes[kBoardBus]["none"] = nullptr;

    EXPECT_THAT(sync(), IsEmpty());
    EXPECT_THAT(bed().events(), IsEmpty());
}

TEST_F(ClockSync, SetsTheBoardTimeAndReportsTheTimeReadBack) {
    bed::SimNode& sim = placeNode("alpha", 0x10);
    board->_nodes[kBoardBus]["beta-none"] = nullptr;

    const Lines lines = sync();

    EXPECT_THAT(lines, ElementsAre(headerOf("alpha"),
                                   "Time set to alpha " + std::to_string(kStartMs) + "ms"));
    EXPECT_EQ(sentTime(sim), kStartMs);
    EXPECT_EQ(bed().trace({bed::EventKind::Write, bed::EventKind::Sleep}),
              (Lines{"write 0x10 15", "usleep 100000", "write 0x10 7", "usleep 100000"}));
}

TEST_F(ClockSync, PrintsTheNodesClockNotTheTimeItWasSent) {
    bed::SimNode& sim = placeNode("alpha", 0x10);
    bed::Bytes reply = bed::bytesOf("OK");
    bed::putLe64(reply, 258);
    sim.replyPayload(reply, kGetTime);

    EXPECT_THAT(sync(), ElementsAre(headerOf("alpha"), "Time set to alpha 258ms"));
}

TEST_F(ClockSync, VisitsBusesAndIdsInAscendingOrderWithAFreshTimeForEach) {
    bed::SimNode& zulu = placeNode("zulu", 0x10);
    bed::SimNode& alpha = placeNode("alpha", 7);
    bed::SimNode& mike = placeNode("mike", 0x12, "/dev/i2c-1");

    const Lines lines = sync();

    ASSERT_EQ(lines.size(), 6U);
    EXPECT_THAT((Lines{lines[0], lines[2], lines[4]}),
                ElementsAre(headerOf("mike", "/dev/i2c-1"), headerOf("alpha"), headerOf("zulu")));
    EXPECT_THAT(lines[2], testing::MatchesRegex("timesync for bus /dev/i2c-3 id alpha "
                                                "NorvaneI2CNode memAddr 0x[0-9a-f]+ addr 7"));
    EXPECT_THAT(lines[4], testing::EndsWith(" addr 16"));
    EXPECT_EQ(sentTime(mike), kStartMs);
    EXPECT_EQ(sentTime(alpha), kStartMs + 2 * kCommandMs);
    EXPECT_EQ(sentTime(zulu), kStartMs + 4 * kCommandMs);
}

// A node step that fails: the report names the step and the node's status, and the next node
// is still visited without the board's error changing.
struct StepFault {
    const char* name;
    bed::Fault fault;
    uint8_t opcode;
    const char* says;
    NodeStatus status;
};

void PrintTo(const StepFault& row, std::ostream* out) {
    *out << row.name;
}

class ClockSyncFault : public ClockSync, public testing::WithParamInterface<StepFault> {};

TEST_P(ClockSyncFault, IsReportedWithTheNodeStatusAndTheNextNodeIsStillSet) {
    bed::SimNode& alpha = placeNode("alpha", 0x10);
    alpha.failNext(GetParam().fault, GetParam().opcode);
    placeNode("bravo", 0x11);

    const Lines lines = sync();

    ASSERT_EQ(lines.size(), 5U);
    EXPECT_THAT((Lines{lines.begin(), lines.begin() + 3}),
                ElementsAre(headerOf("alpha"), GetParam().says + std::string(" alpha"),
                            "Error: " + std::to_string(GetParam().status)));
    EXPECT_EQ(lines[4].rfind("Time set to bravo ", 0), 0U);
    EXPECT_EQ(board->getError(), OKEY);
    if (GetParam().opcode == kSetTime) {
        EXPECT_THAT(alpha.requestsFor(kGetTime), IsEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ClockSyncFault,
    testing::Values(
        StepFault{"SetRefused", bed::Fault::NotOk, kSetTime, "Error setting time to",
                  NODE_REPLY_NOT_OK},
        StepFault{"SetUnanswered", bed::Fault::NoAnswer, kSetTime, "Error setting time to",
                  NODE_TRANSPORT_FAILURE},
        StepFault{"ReadBackShort", bed::Fault::WrongLength, kGetTime, "Error getting time from",
                  NODE_WRONG_REPLY_LENGTH},
        StepFault{"ReadBackRefused", bed::Fault::NotOk, kGetTime, "Error getting time from",
                  NODE_REPLY_NOT_OK},
        StepFault{"ReadBackCorrupted", bed::Fault::BadCrc, kGetTime, "Error getting time from",
                  NODE_TRANSPORT_FAILURE}),
    [](const testing::TestParamInfo<StepFault>& info) { return std::string(info.param.name); });

TEST_F(ClockSync, NodeThatNeverOpenedReportsATransportFailureWithoutWaiting) {
    captureConsole([&] { board->_nodes[kBoardBus]["lost"] = new NorvaneI2CNode(0x10, kBoardBus); });

    EXPECT_THAT(sync(), ElementsAre(headerOf("lost"), "Error setting time to lost",
                                    "Error: " + std::to_string(NODE_TRANSPORT_FAILURE)));
    EXPECT_THAT(clock().sleeps(), IsEmpty());
}

}  // namespace
