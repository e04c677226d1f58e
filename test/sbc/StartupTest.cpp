#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "DeviceApiServer.h"

using testing::ElementsAre;
using testing::IsEmpty;
using testing::StartsWith;

namespace {

using Trace = std::vector<std::string>;

std::string configFor(const std::string& endpoint) {
    return R"({"endpoint": ")" + endpoint +
           R"(", "api_key": "key-7", "wifis": [{"ssid": "home", "pass": "pw"}]})";
}

class BoardStartup : public bed::BedTest {
  protected:
    void SetUp() override {
        BedTest::SetUp();
        gpio().setPresent(true);
        server.respondWith(200, R"([{"id": "n1", "config": {"addr": 16}}])");
    }

    void TearDown() override {
        board.reset();
        BedTest::TearDown();
    }

    void start(const std::string& config) { board = bootedBoard(config, &startConsole); }
    void start() { start(configFor(server.endpoint())); }

    // Destroys the board and returns what its teardown wrote.
    Console destroy() {
        SBC* raw = board.release();
        return captureConsole([raw] { delete raw; });
    }

    Trace lineTrace() {
        return bed().trace({bed::EventKind::GpioRequest, bed::EventKind::GpioSet,
                            bed::EventKind::GpioRelease, bed::EventKind::Sleep});
    }

    DeviceApiServer server;
    BoardPtr board;
    Console startConsole;
};

TEST_F(BoardStartup, CompleteStartUpConfiguresFetchesAndDrivesTheLineHigh) {
    addNode(16).state().identity[3] = "n1";

    start();

    EXPECT_EQ(startConsole.err, "");
    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_EQ(board->_endpoint, server.endpoint());
    EXPECT_EQ(board->_wifis.size(), 1U);
    const std::vector<RecordedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_THAT(requests[0].headerValues("x-api-key"), ElementsAre("key-7"));
    EXPECT_EQ(board->_devices.count("n1"), 1U);
    EXPECT_THAT(lineTrace(),
                ElementsAre("gpio request 7 1", "gpio set 7 1", "sleep 1000000", "usleep 100000"));
    EXPECT_EQ(gpio().consumer(7), "i2c-kestro-cli");
}

TEST_F(BoardStartup, MissingConfigurationStopsBeforeTheGpioChipAndTheRequest) {
    startConsole = captureConsole([&] { board.reset(new SBC(missingPath())); });

    EXPECT_EQ(startConsole.err, "Error parsing file, dont exist, wrong permisions or bad json\n");
    EXPECT_EQ(board->getError(), CONFIG_FILE);
    EXPECT_THAT(bed().trace({bed::EventKind::Open}), IsEmpty());
    EXPECT_THAT(server.requests(), IsEmpty());
    EXPECT_THAT(board->_nodes, IsEmpty());
}

TEST_F(BoardStartup, MissingChipStopsBeforeTheRequest) {
    gpio().setPresent(false);

    start();

    EXPECT_EQ(startConsole.err, "Error configuring chip gpio: 2-No such file or directory\n");
    EXPECT_EQ(board->getError(), GPIOD_CHIP);
    EXPECT_THAT(server.requests(), IsEmpty());
}

TEST_F(BoardStartup, BusyLineStopsBeforeTheRequest) {
    gpio().holdLine(7, "other-program");

    start();

    EXPECT_EQ(board->getError(), GPIOD_LINE_REQUEST);
    EXPECT_THAT(server.requests(), IsEmpty());
}

TEST_F(BoardStartup, AnswerThatIsNotADeviceListStopsWithTheLineLeftHigh) {
    server.respondWith(200, R"({"devices": []})");

    start();

    EXPECT_EQ(board->getError(), NODES_CONFIG_PARSE);
    EXPECT_EQ(gpio().value(7), 1);
    EXPECT_TRUE(gpio().requested(7));
    EXPECT_THAT(lineTrace(), ElementsAre("gpio request 7 1"));
}

TEST_F(BoardStartup, UnreachableDeviceApiStopsAfterTheFetch) {
    const RefusingPort refusing;

    start(configFor(refusing.endpoint()));

    const Trace lines = linesOf(startConsole.err);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_THAT(lines[0], StartsWith("Runtime error: "));
    EXPECT_EQ(board->getError(), SERVER_RESPONSE);
    EXPECT_THAT(board->_devices, IsEmpty());
    EXPECT_THAT(lineTrace(), ElementsAre("gpio request 7 1"));
}

TEST_F(BoardStartup, TeardownDrivesLowWaitsAndClosesTheChip) {
    start();
    bed().clearEvents();

    const Console console = destroy();

    EXPECT_EQ(console.out, "shold i free this ");
    EXPECT_EQ(console.err, "");
    EXPECT_THAT(lineTrace(), ElementsAre("gpio set 7 0", "sleep 1000000", "gpio release 7"));
    EXPECT_EQ(bed().openDescriptors(), 0U);
}

TEST_F(BoardStartup, TeardownOfABoardWithoutConfigurationNeitherWritesGpioNorWaits) {
    start("{}");

    const Console console = destroy();

    EXPECT_EQ(console.out, "shold i free this ");
    EXPECT_EQ(console.err, "");
    EXPECT_THAT(clock().sleeps(), IsEmpty());
    EXPECT_THAT(lineTrace(), IsEmpty());
}

TEST_F(BoardStartup, ReleaseOfABoardWithoutConfigurationSetsCode5) {
    start("{}");

    captureConsole([&] { board->releaseResources(); });

    EXPECT_EQ(board->getError(), GPIOD_LINE);
}

}  // namespace
