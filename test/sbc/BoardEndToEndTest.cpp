// A whole board's life from its configuration file: the device list from the local HTTPS
// device API, GPIO chip 0 and /dev/i2c-3 simulated by the bed, then clock sync, a bus scan and
// the teardown.
#include <gtest/gtest.h>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "DeviceApiServer.h"
#include "Golden.h"
#include "NorvaneI2cMaster.h"

namespace {

class BoardEndToEnd : public bed::BedTest {};

// alpha and foxtrot answer with their ids; charlie's node says another id; delta's address is
// silent; echo and foxtrot share one address, whose node says foxtrot and refuses its clock.
TEST_F(BoardEndToEnd, StartsSyncsScansAndTearsDownTheWholeBoard) {
    DeviceApiServer server;
    server.respondWith(200, R"([{"id": "alpha", "config": {"addr": 16}},
        {"id": "charlie", "config": {"addr": 18}}, {"id": "delta", "config": {"addr": 19}},
        {"id": "echo", "config": {"addr": 20}}, {"id": "foxtrot", "config": {"addr": 20}}])");
    gpio().setPresent(true);
    addNode(0x10).state().identity[3] = "alpha";
    addNode(0x12).state().identity[3] = "someone-else";
    addNode(0x14).state().identity[3] = "foxtrot";
    bed().busAt("/dev/i2c-3").nodeAt(0x14).failNext(bed::Fault::NotOk, 0xF0);
    bed().busAt("/dev/i2c-3").addDevice(0x30);
    bed().busAt("/dev/i2c-3").addDevice(0x48);
    const auto trace = [&] {
        std::string text;
        for (const std::string& line : bed().trace({bed::EventKind::GpioRequest, bed::EventKind::GpioSet,
                                                    bed::EventKind::GpioRelease, bed::EventKind::Sleep,
                                                    bed::EventKind::Open, bed::EventKind::Close})) {
            // Only libgpiod 1 looks the chip up in sysfs.
            text += line.find(" /sys/") == std::string::npos ? "  " + line + "\n" : "";
        }
        bed().clearEvents();
        return text;
    };

    Console console;
    BoardPtr board = bootedBoard(R"({"endpoint": ")" + server.endpoint() +
                                     R"(", "api_key": "key-9", "wifis": []})",
                                 console);
    std::string life = "== start-up\n" + console.err + linesStartingWith(console.out, {"found"}) +
                       board->getErrorString() + ", devices" + keysOf(board->_devices) +
                       ", nodes" + keysOf(board->_nodes.at("/dev/i2c-3")) + "\n" + trace();
    console = captureConsole([&] { board->syncNodeClocks(); });
    life += "== clock sync\n" + linesStartingWith(console.out, {"timesync ", "Time set", "Error"}) + trace() +
            "alpha's clock " + std::to_string(bed().busAt("/dev/i2c-3").nodeAt(0x10).state().clockMs) + "\n";
    console = captureConsole([&] { board->scanI2cBuses(); });
    life += "== scan\n" + console.out + trace();
    console = destroyed(board);
    life += "== teardown\n" + console.out + "\n" + trace() + "open " +
            std::to_string(bed().openDescriptors()) + ", registries " +
            std::to_string(NorvaneI2cMaster::__addrs.size() + NorvaneI2cMaster::__addrsFds.size()) + "\n";
    expectGolden("board-life.txt", life);
}

}  // namespace
