#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "SimBoardTest.h"
#include "BoardTestSupport.h"
#include "Golden.h"
#include "NorvaneI2CNode.h"
#include "NorvaneI2cMaster.h"

namespace {

const char* const kBoardBus = "/dev/i2c-3";

json_object* deviceDocument(int address) {
    return json_tokener_parse(("{\"config\": {\"addr\": " + std::to_string(address) + "}}").c_str());
}

// `before`, then one pass of discoverNodes.
template <auto before = [](SBC&) {}>
void once(SBC& board, FoundDevices&) {
    before(board);
    board.discoverNodes();
}
// Two passes, with `between` run before the second.
template <auto between = [](SBC&) {}>
void twice(SBC& board, FoundDevices& found) {
    once(board, found);
    std::cout << "-- again" << std::endl;
    once<between>(board, found);
}

// Devices on the board's bus, as the device API listed them, the nodes answering there (at an
// address, with an id), and how discovery is run.
struct Scenario {
    const char* name;
    std::vector<std::pair<std::string, int>> devices;
    std::vector<std::pair<uint8_t, std::string>> nodes;
    const char* badDocument = nullptr;
    std::function<void(SBC&, FoundDevices&)> run = once<>;
};

// What discovery wrote and left, on a fresh simulated board and board: its code, the devices kept, the nodes
// made (id@address, "?" when on another bus), the record of found devices, the addresses the
// master's registry holds, how many dropped documents the board still holds, the payloads each
// simulated node got, the channels left open, and the bus traffic.
std::string outcomeOf(const Scenario& scenario) {
    sim::SimBoard& simBoard = sim::SimBoard::instance();
    simBoard.reset();
    simBoard.clock().useFake();
    sim::SimBus& bus = simBoard.addBus(kBoardBus);
    BoardPtr board = idleBoard();
    std::vector<json_object*> documents;
    for (const auto& [id, address] : scenario.devices) {
        documents.push_back(json_object_get(board->_devices[id] = deviceDocument(address)));
    }
    if (scenario.badDocument != nullptr) {
        board->_devices["bad"] = json_tokener_parse(scenario.badDocument);
    }
    for (const auto& [address, id] : scenario.nodes) {
        bus.addNode(address).state().identity[3] = id;
    }
    FoundDevices found;
    const Console console = captureConsole([&] { scenario.run(*board, found); });
    std::string text = std::string("== ") + scenario.name + "\n" + console.err +
                       linesStartingWith(console.out, {"found", "--"}) +
                       board->getErrorString() + ", devices" + keysOf(board->_devices) + ", nodes";
    for (const auto& [busPath, nodes] : board->_nodes) {
        text += " " + busPath + ":";
        for (const auto& [id, node] : nodes) {
            text += " " + id + "@" + std::to_string(node->addr) + (node->bus == busPath ? "" : "?");
        }
    }
    text += ", found";
    for (const auto& [busPath, ids] : found) {
        text += " " + busPath + ":" + keysOf(ids);
    }
    text += "\nregistry";
    for (const auto& [busPath, flags] : NorvaneI2cMaster::__addrs) {
        for (int address = 0; address < 256; ++address) {
            text += flags[address] != 0 ? " " + busPath + "@" + std::to_string(address) : "";
        }
    }
    const auto held = std::count_if(documents.begin(), documents.end(),
                                    [](json_object* document) { return json_object_put(document) != 1; });
    text += ", held documents " + std::to_string(held) + ", queries";
    for (const auto& [address, id] : scenario.nodes) {
        text += " ";
        for (const sim::Request& request : bus.nodeAt(address).requests()) {
            text += sim::hex(request.payload);
        }
    }
    return text + ", open " + std::to_string(simBoard.openDescriptors()) + "\n" +
           hardwareTrace({sim::EventKind::Open, sim::EventKind::Select, sim::EventKind::Write, sim::EventKind::Sleep,
                          sim::EventKind::Close});
}

class Discovery : public sim::SimBoardTest {};

TEST_F(Discovery, KeepsAndMakesANodeForExactlyTheDevicesThatAnswerWithTheirOwnId) {
    const std::vector<std::pair<std::string, int>> alphaZulu{{"alpha", 0x10}, {"zulu", 0x11}};
    const std::vector<std::pair<uint8_t, std::string>> bothAnswer{{0x10, "alpha"}, {0x11, "zulu"}};
    const Scenario scenarios[] = {
        {"empty device list", {}, {}},
        {"answering, two at one address, an address past eight bits",
         {{"alpha", 0x10}, {"echo", 0x14}, {"foxtrot", 0x14}, {"wide", 0x150}},
         {{0x10, "alpha"}, {0x14, "foxtrot"}, {0x50, "wide"}}},
        {"control bytes of a device id printed escaped",
         {{"a\x1b[2J\nfound x", 0x10}}, {{0x10, "a\x1b[2J\nfound x"}}},
        {"silent devices, one with an empty id", {{"quiet", 0x13}, {"", 0x11}}, {}},
        {"silent device is not judged by the answer of the device before it",
         {{"X", 0x10}, {"Y", 0x11}}, {{0x10, "Y"}}},
        {"nodes saying another id; the fourth text must equal the whole id",
         {{"stranger", 0x12}, {"node-1", 0x10}, {"node-2", 0x11}},
         {{0x12, "someone-else"}, {0x10, "node-1x"}, {0x11, "node-"}}},
        {"node that cannot open its bus", {{"alpha", 0x10}}, {}, nullptr,
         once<[](SBC&) { sim::SimBoard::instance().removeBus(kBoardBus); }>},
        {"document without config stops the pass in id order", alphaZulu, bothAnswer,
         R"({"id": "bad", "addr": 18})"},
        {"config not an object", alphaZulu, bothAnswer, R"({"config": 5})"},
        {"config without addr", alphaZulu, bothAnswer, R"({"config": {"address": 17}})"},
        {"second run is refused by the address registry and sends nothing", {{"alpha", 0x10}},
         {{0x10, "alpha"}}, nullptr, twice<>},
        {"second run past a bad document keeps the device", {{"alpha", 0x10}}, {{0x10, "alpha"}}, nullptr,
         twice<[](SBC& board) { board._devices["bravo"] = json_tokener_parse(R"({"config": {}})"); }>},
        {"node found at a new address replaces the earlier node and frees its address", {{"alpha", 0x10}},
         {{0x10, "alpha"}, {0x11, "alpha"}}, nullptr, twice<[](SBC& board) {
             json_object_object_add(json_object_object_get(board._devices["alpha"], "config"), "addr",
                                    json_object_new_int(0x11));
         }>},
        {"record reused by the caller recreates the node after closing the earlier one",
         {{"alpha", 0x10}}, {{0x10, "alpha"}}, nullptr,
         [](SBC& board, FoundDevices& found) {
             board.discoverNodesOnBus(found, kBoardBus);
             std::cout << "-- again" << std::endl;
             board.discoverNodesOnBus(found, kBoardBus);
         }},
        {"on another bus: recorded and stored there, an unknown recorded id makes nothing, "
         "nothing pruned",
         {{"alpha", 0x10}, {"bravo", 0x11}}, {}, nullptr,
         [](SBC& board, FoundDevices& found) {
             sim::SimBoard::instance().addBus("/dev/i2c-1").addNode(0x10).state().identity[3] = "alpha";
             found = {{"/dev/i2c-9", {"earlier"}}, {"/dev/i2c-1", {"ghost"}}};
             board.discoverNodesOnBus(found, "/dev/i2c-1");
         }},
        {"device with a node on another known bus is kept, the search stops at that bus",
         {{"remote", 0x30}}, {}, nullptr,
         once<[](SBC& board) { board._nodes["/dev/i2c-2"]["remote"] = new NorvaneI2CNode(); }>},
    };
    std::string outcomes;
    for (const Scenario& scenario : scenarios) {
        outcomes += outcomeOf(scenario);
    }
    expectGolden("discovery.txt", outcomes);
}

// Room for two more descriptors, which one simulated open needs for a moment and of which it
// keeps one: each probe opens and closes its channel, so both devices are heard, but only the
// first node made for good gets one.
TEST_F(Discovery, NodeThatAnsweredButCannotBeOpenedForGoodIsNeitherStoredNorFound) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own under the tight limit";
#endif
    const Scenario scenario{"", {{"alpha", 0x10}, {"bravo", 0x11}}, {{0x10, "alpha"}, {0x11, "bravo"}}, nullptr,
                            [](SBC& board, FoundDevices& found) {
                                rlimit saved{};
                                getrlimit(RLIMIT_NOFILE, &saved);
                                const int first = ::dup(0), second = ::dup(0);
                                ::close(first);
                                ::close(second);
                                const rlimit tight{.rlim_cur = rlim_t(second) + 1, .rlim_max = saved.rlim_max};
                                setrlimit(RLIMIT_NOFILE, &tight);
                                board.discoverNodesOnBus(found, kBoardBus);
                                setrlimit(RLIMIT_NOFILE, &saved);
                            }};
    expectGolden("discovery-descriptor-limit.txt", outcomeOf(scenario));
}

}  // namespace
