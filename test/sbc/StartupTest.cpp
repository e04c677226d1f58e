#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "DeviceApiServer.h"
#include "Golden.h"

using testing::IsEmpty;

namespace {

class BoardStartup : public bed::BedTest {
  protected:
    // A start-up on a fresh bed from this configuration, arranged as the scenario says: what it
    // wrote, its code, the requests the device API got, what reached the GPIO line, what it
    // kept, and what its teardown wrote.
    std::string outcomeOf(const char* name, const std::string& endpoint, const char* body,
                          void (*arrange)(bed::Bed&) = [](bed::Bed&) {}) {
        bed().reset();
        clock().useFake();
        gpio().setPresent(true);
        arrange(bed());
        server.respondWith(200, body);
        const std::string config = R"({"endpoint": ")" + endpoint + R"(", "api_key": "key-7",
                                       "wifis": [{"ssid": "home", "pass": "pw"}]})";
        const size_t before = server.requests().size();
        Console console;
        BoardPtr board = bootedBoard(endpoint.empty() ? "{}" : config, &console);
        // libcurl's reason varies with its version and the port: only its presence counts.
        const bool curlReason = console.err.starts_with("Runtime error: ") &&
                                linesOf(console.err).size() == 1 && console.err.size() > 17;
        std::string text = std::string("== ") + name + "\n" +
                           (curlReason ? "Runtime error: (reason)\n" : console.err) +
                           board->getErrorString() + ", requests " +
                           std::to_string(server.requests().size() - before) + ", devices " +
                           std::to_string(board->_devices.size()) + ", nodes";
        for (const auto& [bus, nodes] : board->_nodes) {
            text += " " + std::to_string(nodes.size());
        }
        for (const std::string& line : lineTrace()) {
            text += "\n  " + line;
        }
        return text + "\nteardown: " + destroyed(board).out + "\n";
    }

    DeviceApiServer server;
};

TEST_F(BoardStartup, EndsAtTheFirstFailingStepAndTearsDownWhatItHolds) {
    const RefusingPort refusing;
    const std::string endpoint = server.endpoint();
    const char* list = R"([{"id": "n1", "config": {"addr": 16}}])";
    std::string outcomes = outcomeOf("configuration file", "", list);
    outcomes += outcomeOf("GPIO chip", endpoint, list,
                          [](bed::Bed& bed) { bed.gpio().setPresent(false); });
    outcomes += outcomeOf("GPIO line", endpoint, list,
                          [](bed::Bed& bed) { bed.gpio().holdLine(7, "other-program"); });
    outcomes += outcomeOf("unreachable device API", refusing.endpoint(), list);
    outcomes += outcomeOf("not a device list", endpoint, "{}");
    outcomes += outcomeOf("device without config", endpoint,
                          R"([{"id": "n1", "config": {"addr": 16}}, {"id": "x"}])",
                          [](bed::Bed& bed) {
                              bed.addBus("/dev/i2c-3").addNode(16).state().identity[3] = "n1";
                          });
    expectGolden("startup.txt", outcomes);
}

TEST_F(BoardStartup, MissingConfigurationOpensNothing) {
    Console console;
    BoardPtr board;
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
