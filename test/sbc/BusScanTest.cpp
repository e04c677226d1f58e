#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "Golden.h"
#include "NorvaneI2cMaster.h"

using testing::IsEmpty;

namespace {

class BusScan : public bed::BedTest {
  protected:
    void SetUp() override {
        BedTest::SetUp();
        board = idleBoard();
    }

    void TearDown() override {
        board.reset();
        BedTest::TearDown();
    }

    // The report, the addresses found and the bus's opens and closes, on a fresh bed.
    std::string outcomeOf(const char* name, const std::function<void(bed::Bed&)>& arrange) {
        bed().reset();
        arrange(bed());
        ActiveAddresses result;
        const Console console = captureConsole([&] { result = board->scanI2cBuses(); });
        std::string text = std::string("== ") + name + "\n" + console.out + console.err;
        for (const auto& [bus, addresses] : result) {
            text += "found on " + bus + ":";
            for (const uint16_t address : addresses) {
                text += " " + std::to_string(address);
            }
        }
        for (const std::string& line : bed().trace({bed::EventKind::Open, bed::EventKind::Funcs,
                                                    bed::EventKind::Close})) {
            text += "\n  " + line;
        }
        return text + "\n";
    }

    BoardPtr board;
};

void devices(bed::Bed& bed, std::initializer_list<uint8_t> addresses) {
    bed::SimBus& bus = bed.addBus("/dev/i2c-3");
    for (const uint8_t address : addresses) {
        bus.addDevice(address);
    }
}

TEST_F(BusScan, ReportsTheAnsweringAddressesAfterTheReservedTable) {
    std::string outcomes = outcomeOf("both ends, upper-case hex without leading zeros",
                                     [](bed::Bed& bed) { devices(bed, {0x03, 0x0A, 0x2B, 0x7C}); });
    outcomes += outcomeOf("reserved addresses only as reserved",
                          [](bed::Bed& bed) { devices(bed, {0x48, 0x4F}); });
    outcomes += outcomeOf("no address held by a kernel driver", [](bed::Bed& bed) {
        devices(bed, {0x50, 0x51});
        bed.busAt("/dev/i2c-3").holdByDriver(0x50);
    });
    outcomes += outcomeOf("no device refusing the data byte", [](bed::Bed& bed) {
        bed.addBus("/dev/i2c-3").addDevice(0x30, bed::Probe::AddressOnly);
    });
    outcomes += outcomeOf("protocol nodes unless they hide from the probe", [](bed::Bed& bed) {
        bed.addBus("/dev/i2c-3").addNode(0x20);
        bed.busAt("/dev/i2c-3").addNode(0x21).setProbe(bed::Probe::Nack);
    });
    outcomes += outcomeOf("whatever the adapter says it can do", [](bed::Bed& bed) {
        devices(bed, {0x10});
        bed.busAt("/dev/i2c-3").setFuncs(0);
    });
    outcomes += outcomeOf("missing bus", [](bed::Bed&) {});
    outcomes += outcomeOf("bus refusing the open", [](bed::Bed& bed) {
        devices(bed, {0x10});
        bed.busAt("/dev/i2c-3").failOpen(EACCES);
    });
    outcomes += outcomeOf("bus failing the functionality query", [](bed::Bed& bed) {
        devices(bed, {0x10});
        bed.busAt("/dev/i2c-3").failFuncs(EIO);
    });
    expectGolden("scan.txt", outcomes);
}

TEST_F(BusScan, ProbesEveryAddressOnceWithAZeroByteAndKeepsNothing) {
    bed::SimBus& bus = addBus();
    bus.addDevice(0x10);
    captureConsole([&] { board->scanI2cBuses(); });
    bus.removeNode(0x10);
    bed().clearEvents();

    ActiveAddresses result;
    captureConsole([&] { result = board->scanI2cBuses(); });

    std::vector<std::string> expected;
    for (int address = 0x00; address <= 0x7F; ++address) {
        char select[16];
        char probe[24];
        std::snprintf(select, sizeof select, "select 0x%02X", address);
        std::snprintf(probe, sizeof probe, "probe 0x%02X nack", address);
        expected.insert(expected.end(), {select, probe});
    }
    EXPECT_EQ(bed().trace({bed::EventKind::Select, bed::EventKind::Probe}), expected);
    for (const bed::Event& event : bed().events()) {
        if (event.kind == bed::EventKind::Probe) {
            ASSERT_EQ(event.value, 0) << "probe of " << event.address;
        }
    }
    EXPECT_THAT(result.at("/dev/i2c-3"), IsEmpty());
    EXPECT_THAT(clock().sleeps(), IsEmpty());
    EXPECT_THAT(NorvaneI2cMaster::__addrs, IsEmpty());
}

}  // namespace
