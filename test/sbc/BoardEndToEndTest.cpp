// A whole board's life from its configuration file: the device list from the local HTTPS
// device API, GPIO chip 0 and /dev/i2c-3 simulated by the bed, then clock sync, a bus scan and
// the teardown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "DeviceApiServer.h"
#include "NorvaneI2cMaster.h"

using testing::ElementsAre;
using testing::HasSubstr;
using Lines = std::vector<std::string>;

namespace {

const char* const kBoardBus = "/dev/i2c-3";

// alpha and foxtrot answer with their ids; charlie's node says another id; delta's address is
// silent; echo and foxtrot share one address, whose node says foxtrot.
const char* const kDeviceList = R"([
    {"id": "alpha", "config": {"addr": 16}},
    {"id": "charlie", "config": {"addr": 18}},
    {"id": "delta", "config": {"addr": 19}},
    {"id": "echo", "config": {"addr": 20}},
    {"id": "foxtrot", "config": {"addr": 20}}
])";

class BoardEndToEnd : public bed::BedTest {
  protected:
    void SetUp() override {
        BedTest::SetUp();
        gpio().setPresent(true);
        server.respondWith(200, kDeviceList);
        addNode(0x10).state().identity[3] = "alpha";
        addNode(0x12).state().identity[3] = "someone-else";
        addNode(0x14).state().identity[3] = "foxtrot";
        bed().busAt(kBoardBus).addDevice(0x30);
        bed().busAt(kBoardBus).addDevice(0x48);
    }

    void TearDown() override {
        board.reset();
        BedTest::TearDown();
    }

    DeviceApiServer server;
    BoardPtr board;
};

TEST_F(BoardEndToEnd, StartsSyncsScansAndTearsDownTheWholeBoard) {
    Console console;
    board = bootedBoard(R"({"endpoint": ")" + server.endpoint() +
                            R"(", "api_key": "key-9", "wifis": []})",
                        &console);

    EXPECT_EQ(board->getErrorString(), "OKEY");
    EXPECT_EQ(console.err, "");
    EXPECT_THAT(server.requests().at(0).headerValues("x-api-key"), ElementsAre("key-9"));
    EXPECT_THAT(linesStartingWith(console.out, {"founded ", "found "}),
                ElementsAre("founded devices on bus /dev/i2c-3 n = 2",
                            "found alpha on bus /dev/i2c-3", "found foxtrot on bus /dev/i2c-3"));
    EXPECT_EQ(keysOf(board->_devices), (Lines{"alpha", "foxtrot"}));
    EXPECT_EQ(keysOf(board->_nodes.at(kBoardBus)), (Lines{"alpha", "foxtrot"}));
    const Lines trace = bed().trace();
    const auto settled = std::find(trace.begin(), trace.end(), "sleep 1000000");
    ASSERT_NE(settled, trace.end());
    EXPECT_EQ(*(settled - 1), "gpio set 7 1");
    EXPECT_LT(settled, std::find(trace.begin(), trace.end(), "open /dev/i2c-3"))
        << "discovery runs once the line went high and settled";

    bed().busAt(kBoardBus).nodeAt(0x14).failNext(bed::Fault::NotOk, 0xF0);
    const uint64_t syncStartMs = clock().nowMs();
    console = captureConsole([&] { board->syncNodeClocks(); });
    EXPECT_THAT(linesStartingWith(console.out, {"timesync ", "Time set to ", "Error"}),
                ElementsAre(syncHeaderOf(*board, kBoardBus, "alpha"),
                            "Time set to alpha " + std::to_string(syncStartMs) + "ms",
                            syncHeaderOf(*board, kBoardBus, "foxtrot"),
                            "Error setting time to foxtrot", "Error: 11"));
    EXPECT_EQ(bed().busAt(kBoardBus).nodeAt(0x10).state().clockMs, syncStartMs);

    ActiveAddresses active;
    console = captureConsole([&] { active = board->scanI2cBuses(); });
    EXPECT_EQ(active.at(kBoardBus), (std::set<uint16_t>{0x10, 0x12, 0x14, 0x30}));
    EXPECT_THAT(console.out, HasSubstr("Active devices on /dev/i2c-3\n0x10\n0x12\n0x14\n0x30\n"));
    EXPECT_EQ(bed().busAt(kBoardBus).openDescriptors(), 2U) << "the scan closes its own";

    bed().clearEvents();
    console = destroyed(board);
    EXPECT_THAT(console.out, testing::EndsWith("shold i free this "));
    EXPECT_THAT(console.out, HasSubstr("Close Master, bus /dev/i2c-3 addr 16\n"));
    EXPECT_THAT(console.out, HasSubstr("Close Master, bus /dev/i2c-3 addr 20\n"));
    EXPECT_EQ(bed().trace({bed::EventKind::GpioSet, bed::EventKind::Sleep,
                           bed::EventKind::GpioRelease, bed::EventKind::Close}),
              (Lines{"gpio set 7 0", "sleep 1000000", "gpio release 7",
                     "close anon_inode:gpio-linehandle", "close /dev/gpiochip0", "close /dev/i2c-3",
                     "close /dev/i2c-3"}));
    EXPECT_EQ(bed().openDescriptors(), 0U);
    EXPECT_TRUE(NorvaneI2cMaster::__addrs.empty());
    EXPECT_TRUE(NorvaneI2cMaster::__addrsFds.empty());
}

}  // namespace
