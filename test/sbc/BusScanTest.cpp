#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "NorvaneI2cMaster.h"

using testing::ElementsAre;
using testing::IsEmpty;
using Addresses = std::set<uint16_t>;

namespace {

const std::string kRule = "-------------------------------------------------\n";

// The whole report for a scan of the board's bus that found these address lines.
std::string reportWith(const std::string& activeLines) {
    return kRule + "Reserved devices on /dev/i2c-3\n0x1A\n0x21\n0x40\n0x48\n0x49\n0x4F\n0x57\n" +
           kRule + kRule + "Active devices on /dev/i2c-3\n" + activeLines + kRule;
}

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

    Console scan() {
        return captureConsole([&] { result = board->scanI2cBuses(); });
    }

    BoardPtr board;
    ActiveAddresses result;
};

// What answers on the board's bus, and the addresses and report lines the scan finds there.
struct Answering {
    const char* name;
    void (*arrange)(bed::SimBus&);
    Addresses active;
    const char* lines;
};

void PrintTo(const Answering& row, std::ostream* out) {
    *out << row.name;
}

class BusScanFinds : public BusScan, public testing::WithParamInterface<Answering> {};

TEST_P(BusScanFinds, TheAnsweringAddressesAfterTheReservedTable) {
    GetParam().arrange(addBus());

    const Console console = scan();

    EXPECT_EQ(console.out, reportWith(GetParam().lines));
    EXPECT_EQ(console.err, "");
    EXPECT_THAT(result, ElementsAre(std::pair{std::string("/dev/i2c-3"), GetParam().active}));
}

INSTANTIATE_TEST_SUITE_P(
    Buses, BusScanFinds,
    testing::Values(
        Answering{"BothEndsOfTheRangeInUpperCaseHexWithoutLeadingZeros",
                  [](bed::SimBus& bus) {
                      for (const uint8_t address : {0x03, 0x0A, 0x2B, 0x4A, 0x7C}) {
                          bus.addDevice(address);
                      }
                  },
                  {0x03, 0x0A, 0x2B, 0x4A, 0x7C}, "0x3\n0xA\n0x2B\n0x4A\n0x7C\n"},
        Answering{"ReservedAddressesOnlyAsReserved",
                  [](bed::SimBus& bus) {
                      bus.addDevice(0x48);
                      bus.addDevice(0x4F);
                  },
                  {}, ""},
        Answering{"NoAddressHeldByAKernelDriver",
                  [](bed::SimBus& bus) {
                      bus.addDevice(0x50);
                      bus.addDevice(0x51);
                      bus.holdByDriver(0x50);
                  },
                  {0x51}, "0x51\n"},
        Answering{"NoDeviceRefusingTheDataByte",
                  [](bed::SimBus& bus) {
                      bus.addDevice(0x30, bed::Probe::AddressOnly);
                      bus.addDevice(0x31);
                  },
                  {0x31}, "0x31\n"},
        Answering{"ProtocolNodesUnlessTheyHideFromTheProbe",
                  [](bed::SimBus& bus) {
                      bus.addNode(0x20);
                      bus.addNode(0x21).setProbe(bed::Probe::Nack);
                  },
                  {0x20}, "0x20\n"},
        Answering{"WhateverTheAdapterSaysItCanDo",
                  [](bed::SimBus& bus) {
                      bus.setFuncs(0);
                      bus.addDevice(0x10);
                  },
                  {0x10}, "0x10\n"}),
    [](const testing::TestParamInfo<Answering>& info) { return std::string(info.param.name); });

// A bus that cannot be used: an empty entry, the whole report, and the reason on the console.
struct Unusable {
    const char* name;
    void (*arrange)(bed::Bed&);
    const char* why;
    std::vector<std::string> trace;
};

void PrintTo(const Unusable& row, std::ostream* out) {
    *out << row.name;
}

class BusScanUnusable : public BusScan, public testing::WithParamInterface<Unusable> {};

TEST_P(BusScanUnusable, GetsAnEmptyEntryAndTheWholeReport) {
    GetParam().arrange(bed());

    const Console console = scan();

    EXPECT_EQ(console.err, std::string(GetParam().why) + "Failed to open I2C bus /dev/i2c-3\n");
    EXPECT_EQ(console.out, reportWith(""));
    EXPECT_THAT(result, ElementsAre(std::pair{std::string("/dev/i2c-3"), Addresses{}}));
    EXPECT_EQ(bed().trace({bed::EventKind::Open, bed::EventKind::Funcs, bed::EventKind::Probe,
                           bed::EventKind::Close}),
              GetParam().trace);
}

INSTANTIATE_TEST_SUITE_P(
    Buses, BusScanUnusable,
    testing::Values(
        Unusable{"Missing", [](bed::Bed&) {}, "Error: Could not open file /dev/i2c-3\n",
                 {"open /dev/i2c-3 ENOENT"}},
        Unusable{"RefusingTheOpen",
                 [](bed::Bed& bed) {
                     bed.addBus("/dev/i2c-3").addDevice(0x10);
                     bed.busAt("/dev/i2c-3").failOpen(EACCES);
                 },
                 "Error: Could not open file /dev/i2c-3\n", {"open /dev/i2c-3 EACCES"}},
        Unusable{"FailingTheFunctionalityQuery",
                 [](bed::Bed& bed) {
                     bed.addBus("/dev/i2c-3").addDevice(0x10);
                     bed.busAt("/dev/i2c-3").failFuncs(EIO);
                 },
                 "Error: Could not get the adapter functionality matrix: Input/output error\n",
                 {"open /dev/i2c-3", "funcs EIO", "close /dev/i2c-3"}}),
    [](const testing::TestParamInfo<Unusable>& info) { return std::string(info.param.name); });

TEST_F(BusScan, ProbesEveryAddressOnceWithAZeroByteAndClosesTheBus) {
    addBus();

    scan();

    std::vector<std::string> expected{"open /dev/i2c-3"};
    for (int address = 0x00; address <= 0x7F; ++address) {
        char probe[24];
        std::snprintf(probe, sizeof probe, "probe 0x%02X nack", address);
        expected.push_back(probe);
    }
    expected.push_back("close /dev/i2c-3");
    EXPECT_EQ(bed().trace({bed::EventKind::Open, bed::EventKind::Probe, bed::EventKind::Close}),
              expected);
    for (const bed::Event& event : bed().events()) {
        if (event.kind == bed::EventKind::Probe) {
            ASSERT_EQ(event.value, 0) << "probe of " << event.address;
        }
    }
    EXPECT_THAT(clock().sleeps(), IsEmpty());
    EXPECT_THAT(NorvaneI2cMaster::__addrs, IsEmpty());
}

TEST_F(BusScan, KeepsNothingFromOneScanToTheNext) {
    bed::SimBus& bus = addBus();
    bus.addDevice(0x10);
    scan();
    bus.removeNode(0x10);
    bus.addDevice(0x11);

    EXPECT_EQ(scan().out, reportWith("0x11\n"));
}

}  // namespace
