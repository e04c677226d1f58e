#include <fcntl.h>
#include <unistd.h>

#include <sstream>

#include "Golden.h"
#include "MasterTestSupport.h"

namespace {

const char* const kBus = "/dev/i2c-1";

std::string addressOf(const void* table) {
    std::ostringstream text;
    text << table;
    return text.str();
}

// Opening and closing a spare address on a bus whose tables outlived their masters frees them.
void releaseTables(const char* bus) {
    NorvaneI2cMaster spare(0x77, bus);
    spare.close();
}

}  // namespace

class MasterRegistry : public MasterTest {};

TEST_F(MasterRegistry, OpeningBindsADescriptorToTheAddressAndPrintsTheHereLines) {
    addNode(0x20, kBus);
    NorvaneI2cMaster master;
    std::string out = stdoutOf([&] { master = NorvaneI2cMaster(0x20, kBus); });

    EXPECT_EQ(master.getError(), 0);
    ASSERT_TRUE(inUse(kBus, 0x20));
    int fd = descriptorOf(kBus, 0x20);
    EXPECT_GE(fd, 0);
    expectGolden("opening.txt", out,
                 {{"_fd: " + std::to_string(fd) + "\n", "_fd: <descriptor>\n"},
                  {addressOf(&NorvaneI2cMaster::__addrs), "<address of __addrs>"},
                  {addressOf(&NorvaneI2cMaster::__addrsFds), "<address of __addrsFds>"}});
    EXPECT_EQ(bed().trace(), (std::vector<std::string>{"open /dev/i2c-1", "select 0x20"}));
    master.close();
}

TEST_F(MasterRegistry, ASecondOpenOfTheSameAddressIsRefusedAndOpensNothing) {
    addBus(kBus);
    NorvaneI2cMaster first(0x20, kBus);
    NorvaneI2cMaster second;
    std::string out = stdoutOf([&] { second = NorvaneI2cMaster(0x20, kBus); });

    EXPECT_EQ(out, "Error addr alredy iun use 32\n");
    EXPECT_NE(second.getError(), 0);
    EXPECT_EQ(bed().busAt(kBus).openCount(), 1u);
    EXPECT_TRUE(inUse(kBus, 0x20));
    EXPECT_EQ(stdoutOf([&] { second.close(); }), "Close Master, bus  addr 0\n");
    EXPECT_TRUE(inUse(kBus, 0x20)) << "closing the refused master freed the first one's address";
    first.close();
}

TEST_F(MasterRegistry, TwoAddressesOnOneBusUseTwoDescriptorsAndShareTheBusTables) {
    addBus(kBus);
    NorvaneI2cMaster low(0x20, kBus);
    std::string out = stdoutOf([&] {
        NorvaneI2cMaster high(0x21, kBus);
        ASSERT_TRUE(inUse(kBus, 0x21));
        EXPECT_NE(descriptorOf(kBus, 0x20), descriptorOf(kBus, 0x21));
        EXPECT_EQ(bed().busAt(kBus).openDescriptors(), 2u);

        low.close();
        EXPECT_EQ(NorvaneI2cMaster::__addrs.count(kBus), 1u) << "0x21 still uses the bus";
        EXPECT_FALSE(inUse(kBus, 0x20));
        EXPECT_EQ(descriptorOf(kBus, 0x20), -1);
        EXPECT_TRUE(inUse(kBus, 0x21));

        high.close();
    });
    EXPECT_NE(out.find("HERE NorvaneI2cMaster::__addrs.find(_bus) 0\n"), std::string::npos)
        << "the second address did not find the bus already registered";
    EXPECT_EQ(NorvaneI2cMaster::__addrs.count(kBus), 0u);
    EXPECT_EQ(NorvaneI2cMaster::__addrsFds.count(kBus), 0u);
    EXPECT_EQ(bed().busAt(kBus).openDescriptors(), 0u);
}

TEST_F(MasterRegistry, CloseFreesTheAddressSoItCanBeOpenedAgainAsOnANewBus) {
    addBus(kBus);
    NorvaneI2cMaster master(0x20, kBus);
    EXPECT_EQ(stdoutOf([&] { master.close(); }), "Close Master, bus /dev/i2c-1 addr 32\n");
    EXPECT_EQ(bed().busAt(kBus).openDescriptors(), 0u);

    NorvaneI2cMaster again;
    std::string out = stdoutOf([&] { again = NorvaneI2cMaster(0x20, kBus); });
    EXPECT_EQ(again.getError(), 0);
    EXPECT_NE(out.find("HERE NorvaneI2cMaster::__addrs.find(_bus) 1\n"), std::string::npos);
    again.close();
}

TEST_F(MasterRegistry, ABusThatDoesNotExistPrintsTheOpenFailureAndLeavesNothingBehind) {
    NorvaneI2cMaster master;
    std::string out = stdoutOf([&] { master = NorvaneI2cMaster(0x20, "/dev/i2c-9"); });

    EXPECT_EQ(out, "Error NorvaneI2cMaster error open fd for bus\n");
    EXPECT_NE(master.getError(), 0);
    EXPECT_TRUE(NorvaneI2cMaster::__addrs.empty());
    EXPECT_EQ(stdoutOf([&] { master.close(); }), "Close Master, bus  addr 0\n");
    EXPECT_EQ(bed().trace({bed::EventKind::Close}), std::vector<std::string>{});
}

TEST_F(MasterRegistry, AnAddressHeldByADriverPrintsTheBindFailureAndClosesTheDescriptor) {
    addBus(kBus).holdByDriver(0x20);
    NorvaneI2cMaster master;
    std::string out = stdoutOf([&] { master = NorvaneI2cMaster(0x20, kBus); });

    EXPECT_EQ(out, "Failed to set I2C address\n");
    EXPECT_NE(master.getError(), 0);
    EXPECT_EQ(bed().busAt(kBus).openDescriptors(), 0u);
    EXPECT_TRUE(NorvaneI2cMaster::__addrs.empty());
}

TEST_F(MasterRegistry, CloseAllClosesEveryDescriptorButKeepsTheBusEntries) {
    addBus(kBus);
    addBus("/dev/i2c-2");
    NorvaneI2cMaster a(0x20, kBus);
    NorvaneI2cMaster b(0x21, kBus);
    NorvaneI2cMaster c(0x30, "/dev/i2c-2");

    NorvaneI2cMaster::closeAll();

    EXPECT_EQ(bed().openDescriptors(), 0u);
    ASSERT_EQ(NorvaneI2cMaster::__addrs.size(), 2u);
    ASSERT_EQ(NorvaneI2cMaster::__addrsFds.size(), 2u);
    for (const auto& [bus, flags] : NorvaneI2cMaster::__addrs) {
        const int32_t* fds = NorvaneI2cMaster::__addrsFds.at(bus);
        for (int addr = 0; addr < 256; ++addr) {
            EXPECT_EQ(flags[addr], 0) << bus << " " << addr;
            EXPECT_EQ(fds[addr], -1) << bus << " " << addr;
        }
    }
    releaseTables(kBus);
    releaseTables("/dev/i2c-2");
}

TEST_F(MasterRegistry, ADefaultMasterIsNotOpenAndItsCloseOnlyPrints) {
    NorvaneI2cMaster master;
    EXPECT_EQ(master.getError(), 0);
    EXPECT_EQ(stdoutOf([&] { master.close(); }), "Close Master, bus  addr 0\n");
    EXPECT_EQ(bed().events().size(), 0u);
}

TEST_F(MasterRegistry, ACopySharesTheDescriptorAndClosingOneCopyFreesTheAddress) {
    addNode(0x20, kBus);
    NorvaneI2cMaster original(0x20, kBus);
    NorvaneI2cMaster copy = original;
    int fd = descriptorOf(kBus, 0x20);
    std::string expected = "NorvaneI2cMaster::send to fd " + std::to_string(fd) + "\n";
    bed::Bytes frame = bed::encodeFrame({0xE0});

    EXPECT_EQ(stdoutOf([&] { copy.send(frame.data(), static_cast<uint16_t>(frame.size())); }),
              expected);
    EXPECT_EQ(bed().busAt(kBus).nodeAt(0x20).lastRequest().raw, frame);
    copy.close();
    EXPECT_FALSE(inUse(kBus, 0x20));
    EXPECT_EQ(bed().busAt(kBus).openDescriptors(), 0u);
}

TEST_F(MasterRegistry, AMasterAtAddressZeroReleasesItsDescriptorAndAddressOnClose) {
    addBus(kBus);
    NorvaneI2cMaster master(0x00, kBus);
    ASSERT_TRUE(inUse(kBus, 0x00));

    EXPECT_EQ(stdoutOf([&] { master.close(); }), "Close Master, bus /dev/i2c-1 addr 0\n");

    EXPECT_EQ(bed().busAt(kBus).openDescriptors(), 0u);
}

// After closeAll, or once a copy has closed the shared descriptor, its number
// may be handed to another file; a later close must not close that file.
class MasterReleasedElsewhere : public MasterRegistry {
  protected:
    void expectReusedNumberSurvivesClose(NorvaneI2cMaster& master, int number) {
        const int file = ::open("/dev/null", O_RDONLY);
        ASSERT_EQ(::dup2(file, number), number);
        stdoutOf([&] { master.close(); });
        EXPECT_NE(::fcntl(number, F_GETFD), -1) << "the reused descriptor was closed";
        ::close(number);
        ::close(file);
    }
};

TEST_F(MasterReleasedElsewhere, ByCloseAllLeavesAFileThatReusedTheNumberOpen) {
    addBus(kBus);
    NorvaneI2cMaster master(0x20, kBus);
    const int number = descriptorOf(kBus, 0x20);
    NorvaneI2cMaster::closeAll();

    expectReusedNumberSurvivesClose(master, number);
}

TEST_F(MasterReleasedElsewhere, ByACopyLeavesAFileThatReusedTheNumberOpen) {
    addBus(kBus);
    NorvaneI2cMaster original(0x20, kBus);
    NorvaneI2cMaster copy = original;
    const int number = descriptorOf(kBus, 0x20);
    stdoutOf([&] { copy.close(); });

    expectReusedNumberSurvivesClose(original, number);
}

// A master whose channel was released elsewhere meets a new master that took the same address
// and, with it, the same descriptor number. The stale master must leave the new channel alone.
struct Release {
    const char* name;
    void (*release)(NorvaneI2cMaster& original, NorvaneI2cMaster& copy);
};

void PrintTo(const Release& row, std::ostream* out) {
    *out << row.name;
}

class StaleMaster : public MasterRegistry, public testing::WithParamInterface<Release> {};

TEST_P(StaleMaster, NeitherClosesNorWritesToTheChannelThatReusedItsAddressAndNumber) {
    addNode(0x20, kBus);
    NorvaneI2cMaster original(0x20, kBus);
    NorvaneI2cMaster copy = original;
    const int number = descriptorOf(kBus, 0x20);
    stdoutOf([&] { GetParam().release(original, copy); });
    NorvaneI2cMaster fresh(0x20, kBus);
    ASSERT_EQ(descriptorOf(kBus, 0x20), number);
    const bed::Bytes frame = bed::encodeFrame({0xE0});

    stdoutOf([&] {
        EXPECT_EQ(original.send(frame.data(), static_cast<uint16_t>(frame.size())), 8);
        original.close();
    });

    EXPECT_TRUE(inUse(kBus, 0x20));
    EXPECT_TRUE(bed().busAt(kBus).nodeAt(0x20).requests().empty());
    EXPECT_EQ(bed().busAt(kBus).openDescriptors(), 1u);
    stdoutOf([&] { fresh.close(); });
    EXPECT_EQ(bed().busAt(kBus).openDescriptors(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Releases, StaleMaster,
    testing::Values(Release{"ByCloseAll", [](NorvaneI2cMaster&,
                                             NorvaneI2cMaster&) { NorvaneI2cMaster::closeAll(); }},
                    Release{"ByACopy",
                            [](NorvaneI2cMaster&, NorvaneI2cMaster& copy) { copy.close(); }}),
    [](const testing::TestParamInfo<Release>& info) { return std::string(info.param.name); });
