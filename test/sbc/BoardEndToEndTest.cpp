// A board's life from its configuration file on a fresh simulated board: the device list from the local
// HTTPS device API, GPIO chip 0 and /dev/i2c-3 simulated by the simulated board, then, once started, clock
// sync and a bus scan, and the teardown.
#include <gtest/gtest.h>

#include "SimBoardTest.h"
#include "BoardTestSupport.h"
#include "DeviceApiServer.h"
#include "Golden.h"
#include "NorvaneI2cMaster.h"

namespace {

class BoardEndToEnd : public sim::SimBoardTest {
  protected:
    // What each stage wrote, the code, the device API's requests, devices and buses after the
    // start-up, what reached the hardware, and what the teardown left.
    std::string lifeOf(const char* name, const std::string& endpoint, const char* body,
                       void (*arrange)(sim::SimBoard&) = [](sim::SimBoard&) {}) {
        simBoard().reset();
        clock().useFake();
        gpio().setPresent(true);
        arrange(simBoard());
        server.respondWith(200, body);
        const size_t before = server.requests().size();
        const TempDir folder;
        writeFile(folder.path() / "config.json",
                  endpoint.empty() ? "{}" : R"({"endpoint": ")" + endpoint + R"(", "api_key": "k", "wifis": []})");
        BoardPtr board;
        Console console = captureConsole([&] { board.reset(new SBC((folder.path() / "config.json").string())); });
        // libcurl's reason varies with its version and the port: only its presence counts.
        std::string text = std::string("== ") + name + "\n" +
                           (console.err.starts_with("Runtime error: ") ? "Runtime error: (reason)\n" : console.err) +
                           linesStartingWith(console.out, {"found"}) + board->getErrorString() + ", requests " +
                           std::to_string(server.requests().size() - before) + ", devices" + keysOf(board->_devices) +
                           ", buses" + keysOf(board->_nodes) + "\n" + hardwareTrace();
        if (board->getError() == OKEY) {
            console = captureConsole([&] { board->syncNodeClocks(); });
            text += "-- clock sync\n" + linesStartingWith(console.out, {"timesync ", "Time set", "Error"}) +
                    hardwareTrace();
            console = captureConsole([&] { board->scanI2cBuses(); });
            text += "-- scan\n" + console.out + hardwareTrace();
        }
        console = captureConsole([&] { delete board.release(); });
        text += "-- teardown\n" + console.out + "\n" + hardwareTrace();
        return text + "open " + std::to_string(simBoard().openDescriptors()) + ", registries " +
               std::to_string(NorvaneI2cMaster::__addrs.size() + NorvaneI2cMaster::__addrsFds.size()) + "\n";
    }

    DeviceApiServer server;
};

TEST_F(BoardEndToEnd, StartsUpToTheFirstFailingStepThenSyncsScansAndTearsDown) {
    const RefusingPort refusing;
    const std::string endpoint = server.endpoint();
    const char* list = R"([{"id": "n1", "config": {"addr": 16}}])";
    std::string lives = lifeOf("configuration file", "", list);
    lives += lifeOf("GPIO chip", endpoint, list, [](sim::SimBoard& simBoard) { simBoard.gpio().setPresent(false); });
    lives += lifeOf("GPIO line", endpoint, list, [](sim::SimBoard& simBoard) { simBoard.gpio().holdLine(7, "other-program"); });
    lives += lifeOf("unreachable device API", refusing.endpoint(), list);
    lives += lifeOf("not a device list", endpoint, "{}");
    lives += lifeOf("device without config", endpoint, R"([{"id": "n1", "config": {"addr": 16}}, {"id": "x"}])",
                    [](sim::SimBoard& simBoard) { simBoard.addBus("/dev/i2c-3").addNode(16).state().identity[3] = "n1"; });
    // alpha and foxtrot answer with their ids; charlie's node says another id; delta's address
    // is silent; echo and foxtrot share one address, whose node says foxtrot and refuses its clock.
    lives += lifeOf("whole board", endpoint, R"([{"id": "alpha", "config": {"addr": 16}},
        {"id": "charlie", "config": {"addr": 18}}, {"id": "delta", "config": {"addr": 19}},
        {"id": "echo", "config": {"addr": 20}}, {"id": "foxtrot", "config": {"addr": 20}}])",
                    [](sim::SimBoard& simBoard) {
                        sim::SimBus& bus = simBoard.addBus("/dev/i2c-3");
                        bus.addNode(0x10).state().identity[3] = "alpha";
                        bus.addNode(0x12).state().identity[3] = "someone-else";
                        bus.addNode(0x14).state().identity[3] = "foxtrot";
                        bus.nodeAt(0x14).failNext(sim::Fault::NotOk, 0xF0);
                        bus.addDevice(0x30);
                        bus.addDevice(0x48);
                    });
    expectGolden("board-life.txt", lives);
}

}  // namespace
