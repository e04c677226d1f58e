#include <gtest/gtest.h>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "DeviceApiServer.h"
#include "Golden.h"

namespace {

class BoardStartup : public bed::BedTest {
  protected:
    // A start-up on a fresh bed from this configuration ("{}" without an endpoint), arranged as
    // the row says: what it wrote, its code, the requests the device API got, what it kept, what
    // reached the GPIO line, and what its teardown wrote.
    std::string outcomeOf(const char* name, const std::string& endpoint, const char* body,
                          void (*arrange)(bed::Bed&) = [](bed::Bed&) {}) {
        bed().reset();
        clock().useFake();
        gpio().setPresent(true);
        arrange(bed());
        server.respondWith(200, body);
        const size_t before = server.requests().size();
        Console console;
        BoardPtr board = bootedBoard(
            endpoint.empty() ? "{}" : R"({"endpoint": ")" + endpoint + R"(", "api_key": "k", "wifis": []})",
            console);
        // libcurl's reason varies with its version and the port: only its presence counts.
        const std::string text = std::string("== ") + name + "\n" +
               (console.err.starts_with("Runtime error: ") ? "Runtime error: (reason)\n" : console.err) +
               board->getErrorString() + ", requests " + std::to_string(server.requests().size() - before) +
               ", devices" + keysOf(board->_devices) + ", buses" + keysOf(board->_nodes) + lineTrace();
        return text + "\nteardown: " + destroyed(board).out + "\n";
    }

    DeviceApiServer server;
};

TEST_F(BoardStartup, EndsAtTheFirstFailingStepAndTearsDownWhatItHolds) {
    const RefusingPort refusing;
    const std::string endpoint = server.endpoint();
    const char* list = R"([{"id": "n1", "config": {"addr": 16}}])";
    std::string outcomes = outcomeOf("configuration file", "", list);
    outcomes += outcomeOf("GPIO chip", endpoint, list, [](bed::Bed& bed) { bed.gpio().setPresent(false); });
    outcomes += outcomeOf("GPIO line", endpoint, list,
                          [](bed::Bed& bed) { bed.gpio().holdLine(7, "other-program"); });
    outcomes += outcomeOf("unreachable device API", refusing.endpoint(), list);
    outcomes += outcomeOf("not a device list", endpoint, "{}");
    outcomes += outcomeOf("device without config", endpoint,
                          R"([{"id": "n1", "config": {"addr": 16}}, {"id": "x"}])", [](bed::Bed& bed) {
                              bed.addBus("/dev/i2c-3").addNode(16).state().identity[3] = "n1";
                          });
    expectGolden("startup.txt", outcomes);
}

}  // namespace
