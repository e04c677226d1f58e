#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "Golden.h"
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

// Devices on the board's bus, as the device API listed them, and the nodes answering there.
struct Scenario {
    const char* name;
    std::vector<std::pair<std::string, int>> devices;
    std::vector<std::pair<uint8_t, std::string>> nodes;
    const char* badDocument = nullptr;
    bool busMissing = false;
};

// What discovery wrote and left, on a fresh bed and board: the devices kept, the nodes made
// (id at address), how many dropped documents the board still holds, the identity queries each
// simulated node got, and the channels left open.
std::string outcomeOf(const Scenario& scenario) {
    bed::Bed& bed = bed::Bed::instance();
    bed.reset();
    bed.clock().useFake();
    bed::SimBus& bus = bed.addBus(kBoardBus);
    BoardPtr board = idleBoard();
    std::vector<json_object*> documents;
    for (const auto& [id, address] : scenario.devices) {
        documents.push_back(json_object_get(board->_devices[id] = deviceDocument(id, address)));
    }
    if (scenario.badDocument != nullptr) {
        board->_devices["bad"] = json_tokener_parse(scenario.badDocument);
    }
    for (const auto& [address, id] : scenario.nodes) {
        bus.addNode(address).state().identity[3] = id;
    }
    if (scenario.busMissing) {
        bed.removeBus(kBoardBus);
    }
    const Console console = captureConsole([&] { board->discoverNodes(); });
    std::string text = std::string("== ") + scenario.name + "\n" + console.err;
    for (const std::string& line : linesStartingWith(console.out, {"founded ", "found "})) {
        text += line + "\n";
    }
    text += board->getErrorString() + ", devices:";
    for (const auto& [id, document] : board->_devices) {
        text += " " + id;
    }
    text += ", nodes:";
    for (const auto& [busPath, nodes] : board->_nodes) {
        text += " " + busPath + ":";
        for (const auto& [id, node] : nodes) {
            text += " " + id + "@" + std::to_string(node->addr) + (node->bus == busPath ? "" : "?");
        }
    }
    size_t held = 0;
    for (json_object* document : documents) {
        held += json_object_put(document) == 1 ? 0 : 1;
    }
    text += "\nheld documents " + std::to_string(held) + ", queries";
    for (const auto& [address, id] : scenario.nodes) {
        text += scenario.busMissing ? "" : " " + std::to_string(bus.nodeAt(address).requests().size());
    }
    text += ", open " + std::to_string(bed.openDescriptors()) + "\n";
    board.reset();
    return text;
}

TEST_F(Discovery, KeepsAndMakesANodeForExactlyTheDevicesThatAnswerWithTheirOwnId) {
    const Scenario scenarios[] = {
        {"empty device list", {}, {}},
        {"answering, two at one address, an address past eight bits",
         {{"alpha", 0x10}, {"echo", 0x14}, {"foxtrot", 0x14}, {"wide", 0x150}},
         {{0x10, "alpha"}, {0x14, "foxtrot"}, {0x50, "wide"}}},
        {"control bytes of a device id printed escaped",
         {{"a\x1b[2J\nfound x", 0x10}}, {{0x10, "a\x1b[2J\nfound x"}}},
        {"silent device", {{"quiet", 0x13}}, {}},
        {"SilentDeviceWithAnEmptyIdIsNotFound", {{"", 0x11}}, {}},
        {"SilentDeviceIsNotJudgedByTheAnswerOfTheDeviceBeforeIt",
         {{"X", 0x10}, {"Y", 0x11}}, {{0x10, "Y"}}},
        {"node saying another id", {{"stranger", 0x12}}, {{0x12, "someone-else"}}},
        {"fourth text must equal the whole id",
         {{"node-1", 0x10}, {"node-2", 0x11}}, {{0x10, "node-1x"}, {0x11, "node-"}}},
        {"node that cannot open its bus", {{"alpha", 0x10}}, {}, nullptr, true},
        {"document without config stops the pass in id order",
         {{"alpha", 0x10}, {"zulu", 0x11}}, {{0x10, "alpha"}, {0x11, "zulu"}},
         R"({"id": "bad", "addr": 18})"},
        {"config not an object", {{"alpha", 0x10}, {"zulu", 0x11}},
         {{0x10, "alpha"}, {0x11, "zulu"}}, R"({"config": 5})"},
        {"config without addr", {{"alpha", 0x10}, {"zulu", 0x11}},
         {{0x10, "alpha"}, {0x11, "zulu"}}, R"({"config": {"address": 17}})"},
    };
    std::string outcomes;
    for (const Scenario& scenario : scenarios) {
        outcomes += outcomeOf(scenario);
    }
    expectGolden("discovery.txt", outcomes);
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

TEST_F(Discovery, DeviceWithANodeOnAnotherKnownBusIsKept) {
    expectDevice("remote", 0x30);
    board->_nodes["/dev/i2c-2"]["remote"] = new NorvaneI2CNode();

    discover();

    EXPECT_EQ(devices(), Ids{"remote"});
    EXPECT_EQ(keysOf(board->_nodes), (Ids{"/dev/i2c-1", "/dev/i2c-2", kBoardBus}))
        << "the search stops at the first bus holding the id";
}

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
