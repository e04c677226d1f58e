#include <gtest/gtest.h>

#include "SimBoardTest.h"
#include "BoardTestSupport.h"
#include "Golden.h"

namespace {

class BusScan : public sim::SimBoardTest {
  protected:
    // The report, the addresses found, the selects and probes, and the bus's opens and closes,
    // on a fresh simulated board holding /dev/i2c-3 with these devices, arranged as the row says.
    std::string outcomeOf(const char* name, std::initializer_list<uint8_t> devices,
                          const std::function<void(sim::SimBus&)>& arrange = [](sim::SimBus&) {}) {
        simBoard().reset();
        sim::SimBus& bus = addBus();
        for (const uint8_t address : devices) {
            bus.addDevice(address);
        }
        arrange(bus);
        ActiveAddresses result;
        const Console console = captureConsole([&] { result = board->scanI2cBuses(); });
        std::string text = std::string("== ") + name + "\n" + console.out + console.err + "found:";
        for (const uint16_t address : result.at("/dev/i2c-3")) {
            text += " " + std::to_string(address);
        }
        // Each address selected, in order, then "p" when probed with 0x00, "!" with another byte.
        text += "\nselected";
        for (const sim::Event& event : simBoard().events()) {
            text += event.kind == sim::EventKind::Select ? " " + std::to_string(event.address) : "";
            text += event.kind == sim::EventKind::Probe ? (event.value == 0 ? "p" : "!") : "";
        }
        return text + "\n" + hardwareTrace({sim::EventKind::Open, sim::EventKind::Funcs, sim::EventKind::Close});
    }

    BoardPtr board = idleBoard();
};

TEST_F(BusScan, ReportsTheAnsweringAddressesAfterTheReservedTable) {
    std::string outcomes = outcomeOf("both ends, upper-case hex without leading zeros", {0x03, 0x0A, 0x2B, 0x7C});
    outcomes += outcomeOf("reserved addresses only as reserved", {0x48, 0x4F});
    outcomes += outcomeOf("no address held by a kernel driver", {0x50, 0x51},
                          [](sim::SimBus& bus) { bus.holdByDriver(0x50); });
    outcomes += outcomeOf("no device refusing the data byte", {},
                          [](sim::SimBus& bus) { bus.addDevice(0x30, sim::Probe::AddressOnly); });
    outcomes += outcomeOf("protocol nodes unless they hide from the probe", {}, [](sim::SimBus& bus) {
        bus.addNode(0x20);
        bus.addNode(0x21).setProbe(sim::Probe::Nack);
    });
    outcomes += outcomeOf("whatever the adapter says it can do", {0x10}, [](sim::SimBus& bus) { bus.setFuncs(0); });
    outcomes += outcomeOf("missing bus", {}, [](sim::SimBus&) { sim::SimBoard::instance().removeBus("/dev/i2c-3"); });
    outcomes += outcomeOf("bus refusing the open", {0x10}, [](sim::SimBus& bus) { bus.failOpen(EACCES); });
    outcomes += outcomeOf("bus failing the functionality query", {0x10},
                          [](sim::SimBus& bus) { bus.failFuncs(EIO); });
    expectGolden("scan.txt", outcomes);
}

}  // namespace
