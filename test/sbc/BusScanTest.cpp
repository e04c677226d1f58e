#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BedTest.h"
#include "BoardTestSupport.h"
#include "NorvaneI2cMaster.h"

using testing::Contains;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::Not;

namespace {

const std::string kRule = "-------------------------------------------------\n";
const std::string kReservedBlock =
    "Reserved devices on /dev/i2c-3\n0x1A\n0x21\n0x40\n0x48\n0x49\n0x4F\n0x57\n";

// The whole report for a scan of the board's bus that found these address lines.
std::string reportWith(const std::string& activeLines) {
    return kRule + kReservedBlock + kRule + kRule + "Active devices on /dev/i2c-3\n" + activeLines +
           kRule;
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

    std::set<uint16_t> activeOnBoardBus() const { return result.at("/dev/i2c-3"); }

    BoardPtr board;
    ActiveAddresses result;
};

TEST_F(BusScan, ReportsTheAnsweringAddressesAfterTheReservedTable) {
    addBus().addDevice(0x10);
    bed().busAt("/dev/i2c-3").addDevice(0x4A);

    const Console console = scan();

    EXPECT_EQ(console.out, reportWith("0x10\n0x4A\n"));
    EXPECT_EQ(console.err, "");
    EXPECT_THAT(result,
                ElementsAre(std::pair{std::string("/dev/i2c-3"), std::set<uint16_t>{0x10, 0x4A}}));
}

TEST_F(BusScan, ProbesEveryAddressFrom0x00To0x7FWithOneZeroByte) {
    addBus();

    scan();

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
    EXPECT_THAT(clock().sleeps(), IsEmpty());
}

TEST_F(BusScan, FindsDevicesAtBothEndsOfTheRange) {
    bed::SimBus& bus = addBus();
    bus.addDevice(0x03);
    bus.addDevice(0x7C);

    const Console console = scan();

    EXPECT_EQ(activeOnBoardBus(), (std::set<uint16_t>{0x03, 0x7C}));
    EXPECT_EQ(console.out, reportWith("0x3\n0x7C\n"));
}

TEST_F(BusScan, PrintsAddressesInUpperCaseHexWithoutLeadingZeros) {
    bed::SimBus& bus = addBus();
    bus.addDevice(0x0A);
    bus.addDevice(0x2B);

    const Console console = scan();

    EXPECT_EQ(console.out, reportWith("0xA\n0x2B\n"));
}

TEST_F(BusScan, DeviceAtAReservedAddressIsListedOnlyAsReserved) {
    bed::SimBus& bus = addBus();
    bus.addDevice(0x48);
    bus.addDevice(0x4F);

    const Console console = scan();

    EXPECT_THAT(activeOnBoardBus(), IsEmpty());
    EXPECT_EQ(console.out, reportWith(""));
}

TEST_F(BusScan, AddressHeldByAKernelDriverIsSkippedSilently) {
    bed::SimBus& bus = addBus();
    bus.addDevice(0x50);
    bus.addDevice(0x51);
    bus.holdByDriver(0x50);

    const Console console = scan();

    EXPECT_EQ(activeOnBoardBus(), std::set<uint16_t>{0x51});
    EXPECT_EQ(console.err, "");
    EXPECT_THAT(bed().trace({bed::EventKind::Select}), Contains("select 0x50 EBUSY"));
    EXPECT_THAT(bed().trace({bed::EventKind::Probe}), Not(Contains("probe 0x50 ack")));
}

TEST_F(BusScan, DeviceThatRefusesTheDataByteIsNotReported) {
    bed::SimBus& bus = addBus();
    bus.addDevice(0x30, bed::Probe::AddressOnly);
    bus.addDevice(0x31);

    scan();

    EXPECT_EQ(activeOnBoardBus(), std::set<uint16_t>{0x31});
}

TEST_F(BusScan, ProtocolNodesAnswerTheProbeUnlessTheyHideFromIt) {
    addNode(0x20);
    addNode(0x21).setProbe(bed::Probe::Nack);
    addNode(0x22);

    scan();

    EXPECT_EQ(activeOnBoardBus(), (std::set<uint16_t>{0x20, 0x22}));
}

TEST_F(BusScan, ProbesWhateverTheAdapterSaysItCanDo) {
    bed::SimBus& bus = addBus();
    bus.setFuncs(0);
    bus.addDevice(0x10);

    scan();

    EXPECT_EQ(activeOnBoardBus(), std::set<uint16_t>{0x10});
}

TEST_F(BusScan, BusThatCannotBeOpenedGetsAnEmptyEntryAndTheWholeReport) {
    const Console console = scan();

    EXPECT_EQ(console.err,
              "Error: Could not open file /dev/i2c-3\nFailed to open I2C bus /dev/i2c-3\n");
    EXPECT_EQ(console.out, reportWith(""));
    EXPECT_THAT(result, ElementsAre(std::pair{std::string("/dev/i2c-3"), std::set<uint16_t>{}}));
}

TEST_F(BusScan, RefusedOpenOfAnExistingBusIsReportedTheSameWay) {
    bed::SimBus& bus = addBus();
    bus.addDevice(0x10);
    bus.failOpen(EACCES);

    const Console console = scan();

    EXPECT_EQ(console.err,
              "Error: Could not open file /dev/i2c-3\nFailed to open I2C bus /dev/i2c-3\n");
    EXPECT_THAT(activeOnBoardBus(), IsEmpty());
}

TEST_F(BusScan, FailedFunctionalityQueryClosesTheBusWithoutProbing) {
    bed::SimBus& bus = addBus();
    bus.addDevice(0x10);
    bus.failFuncs(EIO);

    const Console console = scan();

    EXPECT_EQ(console.err,
              "Error: Could not get the adapter functionality matrix: Input/output error\n"
              "Failed to open I2C bus /dev/i2c-3\n");
    EXPECT_EQ(console.out, reportWith(""));
    EXPECT_THAT(activeOnBoardBus(), IsEmpty());
    EXPECT_THAT(bed().trace({bed::EventKind::Open, bed::EventKind::Funcs, bed::EventKind::Probe,
                             bed::EventKind::Close}),
                ElementsAre("open /dev/i2c-3", "funcs EIO", "close /dev/i2c-3"));
}

TEST_F(BusScan, ClosesItsDescriptorAndRegistersNothingWithTheMaster) {
    addBus().addDevice(0x10);

    scan();

    EXPECT_THAT(bed().trace({bed::EventKind::Open, bed::EventKind::Close}),
                ElementsAre("open /dev/i2c-3", "close /dev/i2c-3"));
    EXPECT_THAT(NorvaneI2cMaster::__addrs, IsEmpty());
}

TEST_F(BusScan, KeepsNothingFromOneScanToTheNext) {
    bed::SimBus& bus = addBus();
    bus.addDevice(0x10);
    scan();
    bus.removeNode(0x10);
    bus.addDevice(0x11);

    const Console console = scan();

    EXPECT_EQ(activeOnBoardBus(), std::set<uint16_t>{0x11});
    EXPECT_EQ(console.out, reportWith("0x11\n"));
}

}  // namespace
