#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "NorvaneI2CNode.h"
#include "NorvaneI2cMaster.h"

using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;
using Lines = std::vector<std::string>;
using Ids = std::vector<std::string>;

namespace {

const char* const kBoardBus = "/dev/i2c-3";
const Lines kNoneFound{"founded devices on bus /dev/i2c-3 n = 0"};

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
        return board->_devices[id] = deviceDocument(id, address);
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

    Console discoverOn(FoundDevices& found, const char* bus = kBoardBus) {
        return captureConsole([&] { board->discoverNodesOnBus(found, bus); });
    }

    static Lines reportLines(const Console& console) {
        return linesStartingWith(console.out, {"founded ", "found "});
    }

    Ids devices() const { return keysOf(board->_devices); }
    Ids nodesOn(const std::string& bus) const { return keysOf(board->_nodes.at(bus)); }
    NorvaneI2CNode* node(const std::string& id) const { return board->_nodes.at(kBoardBus).at(id); }

    BoardPtr board;
};

TEST_F(Discovery, CreatesANodeForEveryDeviceThatAnswersWithItsOwnIdAtItsLowEightBits) {
    json_object* alpha = expectDevice("alpha", 0x10);
    expectDevice("echo", 0x14);
    expectDevice("foxtrot", 0x14);
    expectDevice("wide", 0x150);
    nodeAnswering(0x10, "alpha");
    nodeAnswering(0x14, "foxtrot");
    nodeAnswering(0x50, "wide");

    const Console console = discover();

    EXPECT_THAT(reportLines(console),
                ElementsAre("founded devices on bus /dev/i2c-3 n = 3",
                            "found alpha on bus /dev/i2c-3", "found foxtrot on bus /dev/i2c-3",
                            "found wide on bus /dev/i2c-3"));
    EXPECT_EQ(console.err, "");
    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_EQ(keysOf(board->_nodes), (Ids{"/dev/i2c-1", "/dev/i2c-2", kBoardBus, "/dev/i2c-4"}));
    EXPECT_EQ(nodesOn(kBoardBus), (Ids{"alpha", "foxtrot", "wide"}));
    EXPECT_EQ(node("alpha")->addr, 0x10);
    EXPECT_EQ(node("alpha")->bus, kBoardBus);
    EXPECT_EQ(node("foxtrot")->addr, 0x14);
    EXPECT_EQ(node("wide")->addr, 0x50);
    EXPECT_EQ(devices(), (Ids{"alpha", "foxtrot", "wide"}));
    EXPECT_EQ(board->_devices["alpha"], alpha);
}

TEST_F(Discovery, ProbesWithOneIdentityQueryAndClosesTheProbeBeforeCreatingTheNode) {
    expectDevice("alpha", 0x10);
    bed::SimNode& sim = nodeAnswering(0x10, "alpha");

    discover();

    EXPECT_THAT(bed().trace({bed::EventKind::Open, bed::EventKind::Select, bed::EventKind::Close,
                             bed::EventKind::Write, bed::EventKind::Sleep}),
                ElementsAre("open /dev/i2c-3", "select 0x10", "write 0x10 7", "usleep 100000",
                            "close /dev/i2c-3", "open /dev/i2c-3", "select 0x10"));
    EXPECT_EQ(bed::hex(sim.lastRequest().payload), "E2");
}

TEST_F(Discovery, EmptyDeviceListPrintsCountZeroAndTouchesNoBus) {
    EXPECT_EQ(discover().out, kNoneFound[0] + "\n");
    EXPECT_THAT(board->_nodes, IsEmpty());
    EXPECT_THAT(bed().events(), IsEmpty());
}

// Devices whose node is silent, says another id or cannot be reached: none is found, each is
// dropped and released, and no channel stays open.
struct NotFound {
    const char* name;
    std::vector<std::pair<std::string, int>> devices;
    std::vector<std::pair<uint8_t, std::string>> nodes;
    bool busMissing;
};

void PrintTo(const NotFound& row, std::ostream* out) {
    *out << row.name;
}

class DiscoveryNotFound : public Discovery, public testing::WithParamInterface<NotFound> {};

TEST_P(DiscoveryNotFound, DropsAndReleasesTheDevice) {
    std::vector<json_object*> documents;
    for (const auto& [id, address] : GetParam().devices) {
        documents.push_back(json_object_get(expectDevice(id, address)));
    }
    for (const auto& [address, id] : GetParam().nodes) {
        nodeAnswering(address, id);
    }
    if (GetParam().busMissing) {
        bed().removeBus(kBoardBus);
    }

    const Console console = discover();

    EXPECT_EQ(reportLines(console), kNoneFound);
    EXPECT_THAT(board->_devices, IsEmpty());
    EXPECT_THAT(nodesOn(kBoardBus), IsEmpty());
    for (json_object* document : documents) {
        EXPECT_EQ(json_object_put(document), 1) << "the board still held a dropped document";
    }
    EXPECT_EQ(bed().openDescriptors(), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, DiscoveryNotFound,
    testing::Values(
        NotFound{"SilentDevice", {{"quiet", 0x13}}, {}, false},
        NotFound{"SilentDeviceWithAnEmptyIdIsNotFound", {{"", 0x11}}, {}, false},
        NotFound{"SilentDeviceIsNotJudgedByTheAnswerOfTheDeviceBeforeIt",
                 {{"X", 0x10}, {"Y", 0x11}}, {{0x10, "Y"}}, false},
        NotFound{"NodeSayingAnotherId", {{"stranger", 0x12}}, {{0x12, "someone-else"}}, false},
        NotFound{"FourthTextMustEqualTheWholeId",
                 {{"node-1", 0x10}, {"node-2", 0x11}},
                 {{0x10, "node-1x"}, {0x11, "node-"}},
                 false},
        NotFound{"NodeThatCannotOpenItsBus", {{"alpha", 0x10}}, {}, true}),
    [](const testing::TestParamInfo<NotFound>& info) { return std::string(info.param.name); });

TEST_F(Discovery, NodeThatAnsweredButCannotBeOpenedForGoodIsNeitherStoredNorFound) {
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

    EXPECT_THAT(reportLines(discover()),
                testing::Contains("found a\\x1b[2J\\x0afound x on bus /dev/i2c-3"));
}

TEST_F(Discovery, DeviceWithANodeOnAnotherKnownBusIsKept) {
    expectDevice("remote", 0x30);
    board->_nodes["/dev/i2c-2"]["remote"] = new NorvaneI2CNode();

    discover();

    EXPECT_EQ(devices(), Ids{"remote"});
    EXPECT_EQ(keysOf(board->_nodes), (Ids{"/dev/i2c-1", "/dev/i2c-2", kBoardBus}))
        << "the search stops at the first bus holding the id";
}

// A document without an address stops the pass where it stands in id order: the devices
// before it were probed, none after it, and only devices with a node stay.
struct BadDocument {
    const char* name;
    const char* json;
    const char* message;
};

void PrintTo(const BadDocument& row, std::ostream* out) {
    *out << row.name;
}

class DiscoveryBadDocument : public Discovery, public testing::WithParamInterface<BadDocument> {};

TEST_P(DiscoveryBadDocument, StopsThePassAndKeepsOnlyDevicesWithNodes) {
    expectDevice("alpha", 0x10);
    expectDevice("zulu", 0x11);
    bed::SimNode& alpha = nodeAnswering(0x10, "alpha");
    bed::SimNode& zulu = nodeAnswering(0x11, "zulu");
    board->_devices["bad"] = json_tokener_parse(GetParam().json);

    const Console console = discover();

    EXPECT_EQ(console.err, GetParam().message);
    EXPECT_THAT(reportLines(console), IsEmpty());
    EXPECT_EQ(board->getError(), UNSOLVED_ADDR_CONFLIC);
    EXPECT_EQ(alpha.requests().size(), 1U);
    EXPECT_THAT(zulu.requests(), IsEmpty());
    EXPECT_THAT(board->_devices, IsEmpty());
    EXPECT_THAT(nodesOn(kBoardBus), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Documents, DiscoveryBadDocument,
    testing::Values(BadDocument{"WithoutConfig", R"({"id": "bad", "addr": 18})",
                                "Error: device config json does not contain config key\n"},
                    BadDocument{"ConfigNotAnObject", R"({"config": 5})",
                                "Error: device config key does not contain addr key\n"},
                    BadDocument{"ConfigWithoutAddr", R"({"config": {"address": 17}})",
                                "Error: device config key does not contain addr key\n"}),
    [](const testing::TestParamInfo<BadDocument>& info) { return std::string(info.param.name); });

TEST_F(Discovery, SecondRunIsRefusedByTheAddressRegistryAndKeepsTheDeviceEvenPastABadDocument) {
    expectDevice("alpha", 0x10);
    bed::SimNode& sim = nodeAnswering(0x10, "alpha");
    discover();
    NorvaneI2CNode* first = node("alpha");

    const Console console = discover();

    EXPECT_THAT(console.out, HasSubstr("Error addr alredy iun use 16\n"));
    EXPECT_EQ(reportLines(console), kNoneFound);
    EXPECT_EQ(node("alpha"), first);
    EXPECT_EQ(devices(), Ids{"alpha"});
    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_EQ(sim.requests().size(), 1U) << "the refused probe sends nothing";
    EXPECT_EQ(bed().openDescriptors(), 1U);

    board->_devices["bravo"] = json_tokener_parse(R"({"config": {}})");
    discover();
    EXPECT_EQ(board->getError(), UNSOLVED_ADDR_CONFLIC);
    EXPECT_EQ(devices(), Ids{"alpha"});
    EXPECT_EQ(node("alpha"), first);
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
    discoverOn(found);

    const Console console = discoverOn(found);

    EXPECT_THAT(reportLines(console), ElementsAre("founded devices on bus /dev/i2c-3 n = 1",
                                                  "found alpha on bus /dev/i2c-3"));
    EXPECT_THAT(console.out.substr(console.out.find("founded ")),
                Not(HasSubstr("Error creating master")));
    EXPECT_EQ(node("alpha")->bus, kBoardBus) << "the new node could not claim the address";
    EXPECT_EQ(bed().openDescriptors(), 1U);
}

TEST_F(Discovery, OnAnotherBusRecordsAndStoresUnderThatBusAndPrunesNothing) {
    expectDevice("alpha", 0x10);
    expectDevice("bravo", 0x11);
    nodeAnswering(0x10, "alpha", "/dev/i2c-1");
    FoundDevices found{{"/dev/i2c-9", {"earlier"}}, {"/dev/i2c-1", {"ghost"}}};

    const Console console = discoverOn(found, "/dev/i2c-1");

    EXPECT_THAT(reportLines(console), ElementsAre("founded devices on bus /dev/i2c-1 n = 2",
                                                  "found alpha on bus /dev/i2c-1"));
    EXPECT_EQ(found, (FoundDevices{{"/dev/i2c-1", {"alpha", "ghost"}}, {"/dev/i2c-9", {"earlier"}}}));
    EXPECT_EQ(keysOf(board->_nodes), Ids{"/dev/i2c-1"});
    EXPECT_EQ(nodesOn("/dev/i2c-1"), Ids{"alpha"}) << "an unknown recorded id creates nothing";
    EXPECT_EQ(board->_nodes["/dev/i2c-1"]["alpha"]->bus, "/dev/i2c-1");
    EXPECT_EQ(devices(), (Ids{"alpha", "bravo"}));
}

}  // namespace
