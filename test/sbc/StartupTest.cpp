#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "DeviceApiServer.h"

using testing::ElementsAre;
using testing::IsEmpty;
using testing::MatchesRegex;
using Trace = std::vector<std::string>;

namespace {

std::string configFor(const std::string& endpoint) {
    return R"({"endpoint": ")" + endpoint +
           R"(", "api_key": "key-7", "wifis": [{"ssid": "home", "pass": "pw"}]})";
}

class BoardStartup : public bed::BedTest {
  protected:
    void SetUp() override {
        BedTest::SetUp();
        gpio().setPresent(true);
    }

    void TearDown() override {
        board.reset();
        BedTest::TearDown();
    }

    DeviceApiServer server;
    BoardPtr board;
    Console console;
};

// A start-up that stops at one step: what it wrote, its code, whether the device API was asked,
// and what reached the GPIO line before it stopped.
struct Stop {
    const char* name;
    void (*arrange)(bed::Bed&, DeviceApiServer&);
    bool configured;
    bool unreachable;
    const char* message;
    SbcError code;
    size_t requests;
    Trace trace;
};

void PrintTo(const Stop& row, std::ostream* out) {
    *out << row.name;
}

class BoardStartupStop : public BoardStartup, public testing::WithParamInterface<Stop> {};

TEST_P(BoardStartupStop, EndsAtTheFirstFailingStepAndTearsDownWhatItHolds) {
    const Stop& row = GetParam();
    row.arrange(bed(), server);
    const RefusingPort refusing;
    const std::string config =
        configFor(row.unreachable ? refusing.endpoint() : server.endpoint());

    board = bootedBoard(row.configured ? config : "{}", &console);

    EXPECT_THAT(console.err, MatchesRegex(row.message));
    EXPECT_EQ(board->getError(), row.code);
    EXPECT_EQ(server.requests().size(), row.requests);
    EXPECT_EQ(lineTrace(), row.trace);
    EXPECT_THAT(board->_devices, IsEmpty());
    for (const auto& [bus, nodes] : board->_nodes) {
        EXPECT_THAT(nodes, IsEmpty()) << bus;
    }
    EXPECT_EQ(destroyed(board).out, "shold i free this ");
}

void nothing(bed::Bed&, DeviceApiServer&) {}

INSTANTIATE_TEST_SUITE_P(
    Steps, BoardStartupStop,
    testing::Values(
        Stop{"ConfigurationFile", nothing, false, false, "Missing \"endpoint\" key.*\n",
             CONFIG_FILE, 0, {}},
        Stop{"GpioChip", [](bed::Bed& bed, DeviceApiServer&) { bed.gpio().setPresent(false); },
             true, false, "Error configuring chip gpio: 2-No such file or directory\n", GPIOD_CHIP,
             0, {}},
        Stop{"GpioLine",
             [](bed::Bed& bed, DeviceApiServer&) { bed.gpio().holdLine(7, "other-program"); },
             true, false, "Error configuring output gpio: 16-.*\n.*\n", GPIOD_LINE_REQUEST, 0,
             {"gpio request 7 EBUSY"}},
        Stop{"UnreachableDeviceApi", nothing, true, true, "Runtime error: [^\n]+\n",
             SERVER_RESPONSE, 0, {"gpio request 7 1"}},
        Stop{"NotADeviceList",
             [](bed::Bed&, DeviceApiServer& server) { server.respondWith(200, "{}"); }, true,
             false, "", NODES_CONFIG_PARSE, 1, {"gpio request 7 1"}},
        Stop{"DeviceWithoutConfig",
             [](bed::Bed& bed, DeviceApiServer& server) {
                 bed.addBus("/dev/i2c-3").addNode(16).state().identity[3] = "n1";
                 server.respondWith(200, R"([{"id": "n1", "config": {"addr": 16}}, {"id": "x"}])");
             },
             true, false, "Error: device config json does not contain config key\n",
             UNSOLVED_ADDR_CONFLIC, 1,
             {"gpio request 7 1", "gpio set 7 1", "sleep 1000000", "usleep 100000"}}),
    [](const testing::TestParamInfo<Stop>& info) { return std::string(info.param.name); });

TEST_F(BoardStartup, MissingConfigurationOpensNothing) {
    console = captureConsole([&] { board.reset(new SBC(kMissingPath)); });

    EXPECT_EQ(console.err, "Error parsing file, dont exist, wrong permisions or bad json\n");
    EXPECT_EQ(board->getError(), CONFIG_FILE);
    EXPECT_THAT(bed().trace({bed::EventKind::Open}), IsEmpty());
    EXPECT_THAT(server.requests(), IsEmpty());
    captureConsole([&] { board->releaseResources(); });
    EXPECT_EQ(board->getError(), GPIOD_LINE);
    EXPECT_THAT(clock().sleeps(), IsEmpty());
}

}  // namespace
