#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "BusTestSupport.h"
#include "NorvaneI2CNode.h"

using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

namespace {

using Lines = std::vector<std::string>;
using Ids = std::vector<std::string>;

const char* const kBoardBus = "/dev/i2c-3";
const Ids kAllBuses{"/dev/i2c-1", "/dev/i2c-2", "/dev/i2c-3", "/dev/i2c-4"};

class Discovery : public bed::BedTest {
  protected:
    void SetUp() override {
        BedTest::SetUp();
        addBus();
        board = idleBoard();
    }

    void TearDown() override {
        board.reset();
        BedTest::TearDown();
    }

    json_object* expectDevice(const std::string& id, int address) {
        json_object* document = deviceDocument(id, address);
        board->_devices[id] = document;
        return document;
    }

    bed::SimNode& nodeAnswering(uint8_t address, const std::string& id,
                                const std::string& bus = kBoardBus) {
        bed::SimNode& node = addNode(address, bus);
        node.state().identity[3] = id;
        return node;
    }

    Console discover() {
        return captureConsole([&] { board->discoverNodes(); });
    }

    static Lines reportLines(const Console& console) {
        return linesStartingWith(console.out, {"founded ", "found "});
    }

    Ids devices() const { return keysOf(board->_devices); }
    Ids nodesOn(const std::string& bus) const { return keysOf(board->_nodes.at(bus)); }
    NorvaneI2CNode* node(const std::string& id) const { return board->_nodes.at(kBoardBus).at(id); }

    BoardPtr board;
};

TEST_F(Discovery, CreatesANodeForEveryDeviceThatAnswersWithItsOwnId) {
    json_object* alpha = expectDevice("alpha", 0x10);
    json_object* bravo = expectDevice("bravo", 0x11);
    nodeAnswering(0x10, "alpha");
    nodeAnswering(0x11, "bravo");

    const Console console = discover();

    EXPECT_THAT(reportLines(console),
                ElementsAre("founded devices on bus /dev/i2c-3 n = 2",
                            "found alpha on bus /dev/i2c-3", "found bravo on bus /dev/i2c-3"));
    EXPECT_EQ(console.err, "");
    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_EQ(keysOf(board->_nodes), Ids{kBoardBus});
    EXPECT_EQ(nodesOn(kBoardBus), (Ids{"alpha", "bravo"}));
    EXPECT_EQ(node("alpha")->addr, 0x10);
    EXPECT_EQ(node("alpha")->bus, kBoardBus);
    EXPECT_EQ(node("bravo")->addr, 0x11);
    EXPECT_EQ(devices(), (Ids{"alpha", "bravo"}));
    EXPECT_EQ(board->_devices["alpha"], alpha);
    EXPECT_EQ(board->_devices["bravo"], bravo);
}

TEST_F(Discovery, ProbesWithOneIdentityQueryAndClosesTheProbeBeforeCreatingTheNode) {
    expectDevice("alpha", 0x10);
    bed::SimNode& sim = nodeAnswering(0x10, "alpha");

    const Console console = discover();

    EXPECT_THAT(bed().trace({bed::EventKind::Open, bed::EventKind::Close, bed::EventKind::Write,
                             bed::EventKind::Sleep}),
                ElementsAre("open /dev/i2c-3", "write 0x10 7", "usleep 100000", "close /dev/i2c-3",
                            "open /dev/i2c-3"));
    EXPECT_EQ(bed::hex(sim.lastRequest().payload), "E2");
    EXPECT_THAT(linesStartingWith(console.out, {"NorvaneI2CNode("}),
                ElementsAre("NorvaneI2CNode(uint8_t addr, const char *bus)16 /dev/i2c-3",
                            "NorvaneI2CNode(uint8_t addr, const char *bus)16 /dev/i2c-3"));
}

TEST_F(Discovery, EmptyDeviceListPrintsCountZeroAndTouchesNoBus) {
    const Console console = discover();

    EXPECT_EQ(console.out, "founded devices on bus /dev/i2c-3 n = 0\n");
    EXPECT_THAT(board->_nodes, IsEmpty());
    EXPECT_THAT(board->_devices, IsEmpty());
    EXPECT_THAT(bed().events(), IsEmpty());
}

TEST_F(Discovery, DroppedDevicesAreReleasedAndLeaveEveryKnownBusInTheNodeMap) {
    json_object* stranger = expectDevice("stranger", 0x12);
    json_object_get(stranger);
    nodeAnswering(0x12, "someone-else");

    const Console console = discover();

    EXPECT_THAT(reportLines(console), ElementsAre("founded devices on bus /dev/i2c-3 n = 0"));
    EXPECT_THAT(board->_devices, IsEmpty());
    EXPECT_EQ(keysOf(board->_nodes), kAllBuses);
    EXPECT_THAT(nodesOn(kBoardBus), IsEmpty());
    EXPECT_EQ(json_object_put(stranger), 1) << "the board still held the dropped document";
}

TEST_F(Discovery, SilentDeviceIsNotFound) {
    expectDevice("quiet", 0x13);

    const Console console = discover();

    EXPECT_THAT(reportLines(console), ElementsAre("founded devices on bus /dev/i2c-3 n = 0"));
    EXPECT_THAT(board->_devices, IsEmpty());
}

TEST_F(Discovery, FourthTextMustEqualTheWholeId) {
    expectDevice("node-1", 0x10);
    expectDevice("node-2", 0x11);
    nodeAnswering(0x10, "node-1x");
    nodeAnswering(0x11, "node-");

    const Console console = discover();

    EXPECT_THAT(reportLines(console), ElementsAre("founded devices on bus /dev/i2c-3 n = 0"));
}

TEST_F(Discovery, OfTwoDevicesAtOneAddressOnlyTheOneNamedByTheNodeIsFound) {
    expectDevice("echo", 0x14);
    expectDevice("foxtrot", 0x14);
    nodeAnswering(0x14, "foxtrot");

    const Console console = discover();

    EXPECT_THAT(reportLines(console), ElementsAre("founded devices on bus /dev/i2c-3 n = 1",
                                                  "found foxtrot on bus /dev/i2c-3"));
    EXPECT_EQ(devices(), Ids{"foxtrot"});
}

TEST_F(Discovery, ConfiguredAddressCountsOnlyItsLowEightBits) {
    expectDevice("wide", 0x150);
    nodeAnswering(0x50, "wide");

    discover();

    EXPECT_EQ(nodesOn(kBoardBus), Ids{"wide"});
    EXPECT_EQ(node("wide")->addr, 0x50);
    EXPECT_THAT(bed().trace({bed::EventKind::Select}), ElementsAre("select 0x50", "select 0x50"));
}

TEST_F(Discovery, NodeThatCannotOpenItsBusIsNotFound) {
    bed().removeBus(kBoardBus);
    expectDevice("alpha", 0x10);

    const Console console = discover();

    EXPECT_THAT(console.out, HasSubstr("Error creating master\n"));
    EXPECT_THAT(reportLines(console), ElementsAre("founded devices on bus /dev/i2c-3 n = 0"));
    EXPECT_THAT(board->_devices, IsEmpty());
}

TEST_F(Discovery, NodeThatAnsweredButCannotBeOpenedForGoodIsNeitherStoredNorFound) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own under the tight limit";
#endif
    expectDevice("alpha", 0x10);
    expectDevice("bravo", 0x11);
    nodeAnswering(0x10, "alpha");
    nodeAnswering(0x11, "bravo");
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    FoundDevices found;

    const Console console = captureConsole([&] {
        // Room for two more descriptors, which one simulated open needs for a moment and of
        // which it keeps one: each probe opens and closes its channel, so both devices are
        // heard, but only the first node made for good gets one.
        const int first = ::open("/dev/null", O_RDONLY);
        const int second = ::open("/dev/null", O_RDONLY);
        ::close(first);
        ::close(second);
        const rlimit tight{.rlim_cur = static_cast<rlim_t>(second) + 1, .rlim_max = saved.rlim_max};
        setrlimit(RLIMIT_NOFILE, &tight);
        board->discoverNodesOnBus(found, kBoardBus);
        setrlimit(RLIMIT_NOFILE, &saved);
    });

    EXPECT_THAT(nodesOn(kBoardBus), ElementsAre("alpha"));
    EXPECT_THAT(found[kBoardBus], ElementsAre("alpha"));
    EXPECT_THAT(reportLines(console), ElementsAre("founded devices on bus /dev/i2c-3 n = 2",
                                                  "found alpha on bus /dev/i2c-3"));
    EXPECT_EQ(console.err,
              "Error: the node of bravo answered at address 17 on bus /dev/i2c-3 but cannot be "
              "opened again (Too many open files); it is not stored\n");
}

TEST_F(Discovery, ControlBytesOfADeviceIdArePrintedEscaped) {
    expectDevice("a\x1b[2J\nfound x", 0x10);
    nodeAnswering(0x10, "a\x1b[2J\nfound x");

    const Console console = discover();

    EXPECT_THAT(reportLines(console), Contains("found a\\x1b[2J\\x0afound x on bus /dev/i2c-3"));
}

TEST_F(Discovery, DeviceWithANodeOnAnotherKnownBusIsKept) {
    expectDevice("remote", 0x30);
    board->_nodes["/dev/i2c-2"]["remote"] = new NorvaneI2CNode();

    discover();

    EXPECT_EQ(devices(), Ids{"remote"});
    EXPECT_EQ(keysOf(board->_nodes), (Ids{"/dev/i2c-1", "/dev/i2c-2", "/dev/i2c-3"}))
        << "the search stops at the first bus holding the id";
}

TEST_F(Discovery, DocumentWithoutConfigStopsThePassAfterTheGoodOnes) {
    expectDevice("alpha", 0x10);
    expectDevice("bravo", 0x11);
    board->_devices["charlie"] = json_tokener_parse(R"({"id": "charlie", "addr": 18})");
    bed::SimNode& alpha = nodeAnswering(0x10, "alpha");
    nodeAnswering(0x11, "bravo");

    const Console console = discover();

    EXPECT_EQ(console.err, "Error: device config json does not contain config key\n");
    EXPECT_THAT(reportLines(console), IsEmpty());
    EXPECT_EQ(board->getError(), UNSOLVED_ADDR_CONFLIC);
    EXPECT_EQ(alpha.requests().size(), 1U) << "the good devices are probed first";
    EXPECT_THAT(board->_devices, IsEmpty());
    EXPECT_THAT(nodesOn(kBoardBus), IsEmpty());
}

TEST_F(Discovery, DocumentWithoutAddrStopsThePassButDevicesWithNodesStay) {
    expectDevice("alpha", 0x10);
    nodeAnswering(0x10, "alpha");
    discover();
    NorvaneI2CNode* first = node("alpha");
    board->_devices["bravo"] = json_tokener_parse(R"({"id": "bravo", "config": {"address": 17}})");

    const Console console = discover();

    EXPECT_EQ(console.err, "Error: device config key does not contain addr key\n");
    EXPECT_EQ(board->getError(), UNSOLVED_ADDR_CONFLIC);
    EXPECT_EQ(devices(), Ids{"alpha"});
    EXPECT_EQ(node("alpha"), first);
}

TEST_F(Discovery, BadDocumentFirstInOrderStopsBeforeAnyProbe) {
    board->_devices["aaa"] = json_tokener_parse(R"({"config": 5})");
    expectDevice("bravo", 0x11);

    const Console console = discover();

    EXPECT_EQ(console.err, "Error: device config key does not contain addr key\n");
    EXPECT_THAT(bed().trace({bed::EventKind::Open}), IsEmpty());
}

TEST_F(Discovery, SecondRunIsRefusedByTheAddressRegistryAndKeepsTheDevice) {
    expectDevice("alpha", 0x10);
    bed::SimNode& sim = nodeAnswering(0x10, "alpha");
    discover();
    NorvaneI2CNode* first = node("alpha");

    const Console console = discover();

    EXPECT_THAT(console.out, HasSubstr("Error addr alredy iun use 16\n"));
    EXPECT_THAT(reportLines(console), ElementsAre("founded devices on bus /dev/i2c-3 n = 0"));
    EXPECT_EQ(node("alpha"), first);
    EXPECT_EQ(devices(), Ids{"alpha"});
    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_EQ(sim.requests().size(), 1U) << "the refused probe sends nothing";
    EXPECT_EQ(bed().openDescriptors(), 1U);
}

TEST_F(Discovery, SilentDeviceIsNotJudgedByTheAnswerOfTheDeviceBeforeIt) {
    expectDevice("X", 0x10);
    expectDevice("Y", 0x11);
    nodeAnswering(0x10, "Y");

    const Console console = discover();

    EXPECT_THAT(reportLines(console), ElementsAre("founded devices on bus /dev/i2c-3 n = 0"));
    EXPECT_THAT(board->_devices, IsEmpty());
    EXPECT_EQ(bed().openDescriptors(), 0U);
}

TEST_F(Discovery, SilentDeviceWithAnEmptyIdIsNotFound) {
    expectDevice("", 0x11);

    const Console console = discover();

    EXPECT_THAT(reportLines(console), ElementsAre("founded devices on bus /dev/i2c-3 n = 0"));
}

TEST_F(Discovery, NodeFoundAtANewAddressReplacesTheEarlierNodeAndFreesItsAddress) {
    json_object* alpha = expectDevice("alpha", 0x10);
    nodeAnswering(0x10, "alpha");
    nodeAnswering(0x11, "alpha");
    discover();
    json_object_object_add(json_object_object_get(alpha, "config"), "addr",
                           json_object_new_int(0x11));

    const Console console = discover();

    EXPECT_THAT(reportLines(console), ElementsAre("founded devices on bus /dev/i2c-3 n = 1",
                                                  "found alpha on bus /dev/i2c-3"));
    EXPECT_EQ(node("alpha")->addr, 0x11);
    EXPECT_THAT(console.out, HasSubstr("Close Master, bus /dev/i2c-3 addr 16\n"));
    EXPECT_EQ(bed().openDescriptors(), 1U);
    EXPECT_EQ(NorvaneI2cMaster::__addrs.at(kBoardBus)[0x10], 0);
}

TEST_F(Discovery, RecordReusedByTheCallerRecreatesTheNodeAfterClosingTheEarlierOne) {
    expectDevice("alpha", 0x10);
    nodeAnswering(0x10, "alpha");
    FoundDevices found;
    captureConsole([&] { board->discoverNodesOnBus(found, kBoardBus); });

    const Console console = captureConsole([&] { board->discoverNodesOnBus(found, kBoardBus); });

    EXPECT_THAT(reportLines(console), ElementsAre("founded devices on bus /dev/i2c-3 n = 1",
                                                  "found alpha on bus /dev/i2c-3"));
    const std::string creation = console.out.substr(console.out.find("founded "));
    EXPECT_THAT(creation, Not(HasSubstr("Error creating master")));
    EXPECT_EQ(node("alpha")->bus, kBoardBus) << "the new node could not claim the address";
    EXPECT_EQ(bed().openDescriptors(), 1U);
}

TEST_F(Discovery, OnAnotherBusRecordsAndStoresUnderThatBus) {
    expectDevice("alpha", 0x10);
    nodeAnswering(0x10, "alpha", "/dev/i2c-1");
    FoundDevices found{{"/dev/i2c-9", {"earlier"}}};

    const Console console = captureConsole([&] { board->discoverNodesOnBus(found, "/dev/i2c-1"); });

    EXPECT_THAT(reportLines(console), ElementsAre("founded devices on bus /dev/i2c-1 n = 1",
                                                  "found alpha on bus /dev/i2c-1"));
    EXPECT_EQ(found, (FoundDevices{{"/dev/i2c-1", {"alpha"}}, {"/dev/i2c-9", {"earlier"}}}));
    EXPECT_EQ(keysOf(board->_nodes), Ids{"/dev/i2c-1"});
    EXPECT_EQ(board->_nodes["/dev/i2c-1"]["alpha"]->bus, "/dev/i2c-1");
    EXPECT_EQ(devices(), Ids{"alpha"}) << "discovery on one bus prunes nothing";
}

TEST_F(Discovery, FoundRecordNamingAnUnknownDeviceCreatesNothingForIt) {
    FoundDevices found{{kBoardBus, {"ghost"}}};

    const Console console = captureConsole([&] { board->discoverNodesOnBus(found, kBoardBus); });

    EXPECT_THAT(reportLines(console), ElementsAre("founded devices on bus /dev/i2c-3 n = 1"));
    EXPECT_THAT(board->_nodes, IsEmpty());
}

}  // namespace
