// A whole board built from its configuration file: the device list from the local HTTPS
// device API, GPIO chip 0 and /dev/i2c-3 simulated by the bed, then clock sync, a bus scan and
// the teardown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "BusTestSupport.h"
#include "DeviceApiServer.h"
#include "NorvaneI2CNode.h"

using testing::ElementsAre;
using testing::EndsWith;
using testing::HasSubstr;
using testing::IsEmpty;

namespace {

using Lines = std::vector<std::string>;
using Ids = std::vector<std::string>;

const char* const kBoardBus = "/dev/i2c-3";
constexpr uint64_t kStartMs = bed::FakeClock::kDefaultStartUs / 1000;

// alpha, bravo, foxtrot and golf answer with their ids; charlie's node says another id; delta's
// address is silent; echo and foxtrot share one address, whose node says foxtrot.
const char* const kDeviceList = R"([
    {"id": "alpha", "config": {"addr": 16}},
    {"id": "bravo", "config": {"addr": 17}},
    {"id": "charlie", "config": {"addr": 18}},
    {"id": "delta", "config": {"addr": 19}},
    {"id": "echo", "config": {"addr": 20}},
    {"id": "foxtrot", "config": {"addr": 20}},
    {"id": "golf", "config": {"addr": 21}}
])";

std::string configFor(const std::string& endpoint) {
    return R"({"endpoint": ")" + endpoint + R"(", "api_key": "key-9", "wifis": []})";
}

std::size_t indexOf(const Lines& trace, const std::string& line) {
    return static_cast<std::size_t>(std::find(trace.begin(), trace.end(), line) - trace.begin());
}

class BoardEndToEnd : public bed::BedTest {
  protected:
    void SetUp() override {
        BedTest::SetUp();
        gpio().setPresent(true);
        server.respondWith(200, kDeviceList);
        for (const auto& [address, id] : std::map<uint8_t, std::string>{{0x10, "alpha"},
                                                                        {0x11, "bravo"},
                                                                        {0x12, "someone-else"},
                                                                        {0x14, "foxtrot"},
                                                                        {0x15, "golf"}}) {
            addNode(address).state().identity[3] = id;
        }
        bed::SimBus& bus = bed().busAt(kBoardBus);
        bus.addDevice(0x30);
        bus.addDevice(0x48);
    }

    void TearDown() override {
        board.reset();
        BedTest::TearDown();
    }

    void start() { board = bootedBoard(configFor(server.endpoint()), &startConsole); }

    Ids nodesOn(const std::string& bus) const { return keysOf(board->_nodes.at(bus)); }
    NorvaneI2CNode* node(const std::string& id) const { return board->_nodes.at(kBoardBus).at(id); }

    std::string headerOf(const std::string& id) const {
        return "timesync for bus /dev/i2c-3 id " + id + " NorvaneI2CNode memAddr " +
               streamed(node(id)) + " addr " + std::to_string(node(id)->addr);
    }

    Console destroy() {
        SBC* raw = board.release();
        return captureConsole([raw] { delete raw; });
    }

    DeviceApiServer server;
    BoardPtr board;
    Console startConsole;
};

TEST_F(BoardEndToEnd, StartUpKeepsExactlyTheDevicesThatAnsweredWithTheirIds) {
    start();

    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_EQ(board->getErrorString(), "OKEY");
    EXPECT_EQ(startConsole.err, "");
    EXPECT_THAT(linesStartingWith(startConsole.out, {"founded ", "found "}),
                ElementsAre("founded devices on bus /dev/i2c-3 n = 4",
                            "found alpha on bus /dev/i2c-3", "found bravo on bus /dev/i2c-3",
                            "found foxtrot on bus /dev/i2c-3", "found golf on bus /dev/i2c-3"));
    EXPECT_EQ(keysOf(board->_nodes), (Ids{"/dev/i2c-1", "/dev/i2c-2", "/dev/i2c-3", "/dev/i2c-4"}));
    EXPECT_EQ(nodesOn(kBoardBus), (Ids{"alpha", "bravo", "foxtrot", "golf"}));
    EXPECT_THAT(nodesOn("/dev/i2c-1"), IsEmpty());
    EXPECT_EQ(node("alpha")->addr, 0x10);
    EXPECT_EQ(node("foxtrot")->addr, 0x14);
    EXPECT_EQ(node("golf")->bus, kBoardBus);
    EXPECT_EQ(keysOf(board->_devices), (Ids{"alpha", "bravo", "foxtrot", "golf"}));
    EXPECT_EQ(bed().busAt(kBoardBus).openDescriptors(), 4U);
}

TEST_F(BoardEndToEnd, DiscoveryRunsOnlyAfterTheLineWentHighAndItsWait) {
    start();

    const Lines trace = bed().trace();
    const std::size_t settled = indexOf(trace, "sleep 1000000");
    ASSERT_LT(settled, trace.size());
    EXPECT_EQ(indexOf(trace, "gpio set 7 1") + 1, settled);
    EXPECT_LT(settled, indexOf(trace, "open /dev/i2c-3"));
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "usleep 100000"), 6)
        << "one identity query per device at an address that acknowledges its writes";
}

TEST_F(BoardEndToEnd, DeviceListWithABadDocumentEndsWithCode3AndNoDevices) {
    server.respondWith(200, R"([{"id": "alpha", "config": {"addr": 16}}, {"id": "bad"}])");

    start();

    EXPECT_EQ(board->getError(), UNSOLVED_ADDR_CONFLIC);
    EXPECT_EQ(board->getErrorString(), "UNSOLVED_ADDR_CONFLIC");
    EXPECT_EQ(startConsole.err, "Error: device config json does not contain config key\n");
    EXPECT_THAT(board->_devices, IsEmpty());
    EXPECT_THAT(nodesOn(kBoardBus), IsEmpty());
}

TEST_F(BoardEndToEnd, FailedFetchLeavesTheBusUntouched) {
    server.respondWith(200, R"({"not": "a list"})");

    start();

    EXPECT_EQ(board->getError(), NODES_CONFIG_PARSE);
    EXPECT_EQ(bed().busAt(kBoardBus).openCount(), 0U);
    EXPECT_THAT(board->_nodes, IsEmpty());
}

TEST_F(BoardEndToEnd, ClockSyncReportsEveryNodeWithItsOwnOutcome) {
    start();
    bed::Bed& simulated = bed();
    simulated.busAt(kBoardBus).nodeAt(0x11).failNext(bed::Fault::NotOk, 0xF0);
    simulated.busAt(kBoardBus).nodeAt(0x14).failNext(bed::Fault::WrongLength, 0xE0);
    simulated.busAt(kBoardBus).nodeAt(0x15).failNext(bed::Fault::NoAnswer, 0xF0);
    const uint64_t syncStartMs = clock().nowMs();

    const Console console = captureConsole([&] { board->syncNodeClocks(); });

    EXPECT_EQ(console.err, "");
    EXPECT_THAT(
        linesStartingWith(console.out, {"timesync ", "Time set to ", "Error setting ",
                                        "Error getting ", "Error: "}),
        ElementsAre(headerOf("alpha"), "Time set to alpha " + std::to_string(syncStartMs) + "ms",
                    headerOf("bravo"), "Error setting time to bravo", "Error: 11",
                    headerOf("foxtrot"), "Error getting time from foxtrot", "Error: 8",
                    headerOf("golf"), "Error setting time to golf", "Error: 10"));
    EXPECT_EQ(simulated.busAt(kBoardBus).nodeAt(0x10).state().clockMs, syncStartMs);
    EXPECT_EQ(simulated.busAt(kBoardBus).nodeAt(0x14).state().clockMs, syncStartMs + 300);
    EXPECT_GT(syncStartMs, kStartMs);
    EXPECT_EQ(board->getError(), OKEY);
}

TEST_F(BoardEndToEnd, ScanListsTheNodesAndTheProbeOnlyDeviceButNotTheReservedOne) {
    start();

    ActiveAddresses active;
    const Console console = captureConsole([&] { active = board->scanI2cBuses(); });

    EXPECT_EQ(active.at(kBoardBus), (std::set<uint16_t>{0x10, 0x11, 0x12, 0x14, 0x15, 0x30}));
    EXPECT_THAT(console.out,
                HasSubstr("Active devices on /dev/i2c-3\n0x10\n0x11\n0x12\n0x14\n"
                          "0x15\n0x30\n-------------------------------------------------\n"));
    EXPECT_EQ(console.err, "");
    EXPECT_EQ(bed().busAt(kBoardBus).openDescriptors(), 4U) << "the scan closes its own descriptor";
}

TEST_F(BoardEndToEnd, TeardownWaitsWithTheLineLowThenClosesEveryNode) {
    start();
    bed().clearEvents();

    const Console console = destroy();

    EXPECT_THAT(console.out, EndsWith("shold i free this "));
    for (const char* address : {"16", "17", "20", "21"}) {
        EXPECT_THAT(console.out,
                    HasSubstr(std::string("Close Master, bus /dev/i2c-3 addr ") + address + "\n"));
    }
    EXPECT_EQ(console.err, "");
    EXPECT_EQ(bed().trace({bed::EventKind::GpioSet, bed::EventKind::Sleep,
                           bed::EventKind::GpioRelease, bed::EventKind::Close}),
              (Lines{"gpio set 7 0", "sleep 1000000", "gpio release 7",
                     "close anon_inode:gpio-linehandle", "close /dev/gpiochip0", "close /dev/i2c-3",
                     "close /dev/i2c-3", "close /dev/i2c-3", "close /dev/i2c-3"}));
    EXPECT_EQ(gpio().value(7), 0);
    EXPECT_EQ(bed().openDescriptors(), 0U);
    EXPECT_THAT(NorvaneI2cMaster::__addrs, IsEmpty());
    EXPECT_THAT(NorvaneI2cMaster::__addrsFds, IsEmpty());
}

}  // namespace
