// The master's address registries and its framed transfers on the simulated bus.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include "BedTest.h"
#include "Console.h"
#include "Golden.h"
#include "NorvaneI2cMaster.h"

namespace {

using bed::Fault;
using Lines = std::vector<std::string>;
using M = NorvaneI2cMaster;

const char* const kBus = "/dev/i2c-1";
const bed::Bytes kRequest = bed::encodeFrame({0xE1});

// Every case must leave the program-wide registries as it found them: empty.
class Master : public bed::BedTest {
  protected:
    void TearDown() override {
        EXPECT_TRUE(M::__addrs.empty() && M::__addrsFds.empty()) << "a bus is still registered";
        bed::BedTest::TearDown();
    }
    static bool inUse(const std::string& bus, uint8_t addr) {
        auto entry = M::__addrs.find(bus);
        return entry != M::__addrs.end() && entry->second[addr] == 1;
    }
    static int32_t fdOf(uint8_t addr, const std::string& bus = kBus) {
        return M::__addrsFds.at(bus)[addr];
    }
    static std::string sendLine(int fd) {
        return "NorvaneI2cMaster::send to fd " + std::to_string(fd) + "\n";
    }
    size_t busDescriptors() { return bed().busAt(kBus).openDescriptors(); }
};

int32_t send(M& master, const bed::Bytes& frame) {
    return master.send(frame.data(), static_cast<uint16_t>(frame.size()));
}

std::string addressOf(const void* table) {
    std::ostringstream text;
    text << table;
    return text.str();
}

TEST_F(Master, OpeningBindsADescriptorToTheAddressAndPrintsTheHereLines) {
    addNode(0x20, kBus);
    M master;
    const std::string out = stdoutOf([&] { master = M(0x20, kBus); });
    EXPECT_EQ(master.getError(), 0);
    ASSERT_TRUE(inUse(kBus, 0x20));
    expectGolden("opening.txt", out,
                 {{"_fd: " + std::to_string(fdOf(0x20)) + "\n", "_fd: <descriptor>\n"},
                  {addressOf(&M::__addrs), "<address of __addrs>"},
                  {addressOf(&M::__addrsFds), "<address of __addrsFds>"}});
    EXPECT_EQ(bed().trace(), (Lines{"open /dev/i2c-1", "select 0x20"}));
    master.close();
}

TEST_F(Master, TwoAddressesOnOneBusUseTwoDescriptorsAndShareTheBusTables) {
    addBus(kBus);
    M low(0x20, kBus);
    const std::string out = stdoutOf([&] {
        M high(0x21, kBus);
        EXPECT_NE(fdOf(0x20), fdOf(0x21));
        EXPECT_EQ(busDescriptors(), 2u);
        low.close();
        EXPECT_EQ(M::__addrs.count(kBus), 1u) << "0x21 still uses the bus";
        EXPECT_TRUE(!inUse(kBus, 0x20) && fdOf(0x20) == -1 && inUse(kBus, 0x21));
        high.close();
    });
    EXPECT_NE(out.find("HERE NorvaneI2cMaster::__addrs.find(_bus) 0\n"), std::string::npos)
        << "the second address did not find the bus already registered";
    EXPECT_EQ(busDescriptors(), 0u);
}

// An open that fails prints why, opens or keeps nothing, and its master's close only prints.
struct OpenFailure {
    const char* name;
    bool driverHolds;
    const char* bus;
    std::string printed;
    uint8_t error;
};

class MasterOpenFailure : public Master, public testing::WithParamInterface<OpenFailure> {};

TEST_P(MasterOpenFailure, PrintsWhyAndLeavesEveryOtherChannelAsItWas) {
    bed::SimBus& bus = addBus(kBus);
    if (GetParam().driverHolds) bus.holdByDriver(0x20);
    const bool taken = GetParam().error == MASTER_ADDR_IN_USE;
    M first = taken ? M(0x20, kBus) : M();
    M master;
    EXPECT_EQ(stdoutOf([&] { master = M(0x20, GetParam().bus); }), GetParam().printed);
    EXPECT_EQ(master.getError(), GetParam().error);
    EXPECT_EQ(bus.openDescriptors(), taken ? 1u : 0u);
    EXPECT_EQ(stdoutOf([&] { master.close(); }), "Close Master, bus  addr 0\n");
    EXPECT_EQ(inUse(kBus, 0x20), taken) << "closing the refused master freed the first one's";
    stdoutOf([&] { first.close(); });
}

INSTANTIATE_TEST_SUITE_P(
    Failures, MasterOpenFailure,
    testing::Values(OpenFailure{"AddressTaken", false, kBus, "Error addr alredy iun use 32\n",
                                MASTER_ADDR_IN_USE},
                    OpenFailure{"NoSuchBus", false, "/dev/i2c-9",
                                "Error NorvaneI2cMaster error open fd for bus\n",
                                MASTER_OPEN_FAILED},
                    OpenFailure{"AddressHeldByADriver", true, kBus, "Failed to set I2C address\n",
                                MASTER_BIND_FAILED}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Master, CloseAllClosesEveryDescriptorButKeepsTheBusEntries) {
    addBus(kBus);
    addBus("/dev/i2c-2");
    M a(0x20, kBus), b(0x21, kBus), c(0x30, "/dev/i2c-2");
    M::closeAll();
    EXPECT_EQ(bed().openDescriptors(), 0u);
    ASSERT_EQ(M::__addrs.size() + M::__addrsFds.size(), 4u);
    for (const auto& [bus, flags] : M::__addrs) {
        for (int addr = 0; addr < 256; ++addr) {
            EXPECT_TRUE(flags[addr] == 0 && fdOf(addr, bus) == -1) << bus << " " << addr;
        }
    }
    // Opening and closing a spare address on each bus frees the tables that outlived them.
    for (const char* bus : {kBus, "/dev/i2c-2"}) M(0x77, bus).close();
}

TEST_F(Master, ACopySharesTheDescriptorAndClosingOneCopyFreesTheAddress) {
    addNode(0x20, kBus);
    M original(0x20, kBus);
    M copy = original;
    EXPECT_EQ(stdoutOf([&] { send(copy, kRequest); }), sendLine(fdOf(0x20)));
    EXPECT_EQ(bed().busAt(kBus).nodeAt(0x20).lastRequest().raw, kRequest);
    stdoutOf([&] { copy.close(); });
    EXPECT_FALSE(inUse(kBus, 0x20));
    EXPECT_EQ(busDescriptors(), 0u);
}

TEST_F(Master, AtAddressZeroReleasesItsDescriptorAndAddressOnClose) {
    addBus(kBus);
    M master(0x00, kBus);
    ASSERT_TRUE(inUse(kBus, 0x00));
    EXPECT_EQ(stdoutOf([&] { master.close(); }), "Close Master, bus /dev/i2c-1 addr 0\n");
    EXPECT_EQ(busDescriptors(), 0u);
}

// A master whose channel was released elsewhere (by closeAll or a copy's close) meets a new
// master or file that took the same descriptor number. The stale master must leave it alone.
class StaleMaster : public Master, public testing::WithParamInterface<bool> {
  protected:
    // Opens 0x20 and releases it through a copy or closeAll; returns the stale master.
    M released(int& number) {
        M original(0x20, kBus);
        M copy = original;
        number = fdOf(0x20);
        stdoutOf([&] { GetParam() ? M::closeAll() : copy.close(); });
        return original;
    }
};

TEST_P(StaleMaster, NeitherClosesNorWritesToTheChannelThatReusedItsAddressAndNumber) {
    addNode(0x20, kBus);
    int number = -1;
    M stale = released(number);
    M fresh(0x20, kBus);
    ASSERT_EQ(fdOf(0x20), number);
    stdoutOf([&] {
        EXPECT_EQ(send(stale, kRequest), 8);
        stale.close();
    });
    EXPECT_TRUE(inUse(kBus, 0x20));
    EXPECT_TRUE(bed().busAt(kBus).nodeAt(0x20).requests().empty());
    EXPECT_EQ(busDescriptors(), 1u);
    stdoutOf([&] { fresh.close(); });
}

TEST_P(StaleMaster, LeavesAFileThatReusedTheNumberOpen) {
    addBus(kBus);
    int number = -1;
    M stale = released(number);
    const int file = ::open("/dev/null", O_RDONLY);
    ASSERT_EQ(::dup2(file, number), number);
    stdoutOf([&] { stale.close(); });
    EXPECT_NE(::fcntl(number, F_GETFD), -1) << "the reused descriptor was closed";
    ::close(number);
    ::close(file);
}

INSTANTIATE_TEST_SUITE_P(ReleasedByCloseAllOrByACopy, StaleMaster, testing::Bool());

// --- Transfers with the node at 0x20 of an open master.

class MasterTransfer : public Master {
  protected:
    void SetUp() override {
        Master::SetUp();
        node_ = &addNode(0x20, kBus);
        master_ = M(0x20, kBus);
        bed().clearEvents();
    }
    void TearDown() override {
        master_.close();
        Master::TearDown();
    }
    // Puts a reply in the node by sending it a request it answers.
    void requestReply() {
        ASSERT_EQ(stdoutOf([&] { send(master_, kRequest); }), sendLine(fdOf(0x20)));
        bed().clearEvents();
    }
    // The receive's result and print; a payload handed out goes to payload_ with its zero byte.
    std::pair<int32_t, std::string> receive() {
        uint8_t* block = nullptr;
        uint16_t length = 0;
        int32_t result = -1;
        const std::string out = stdoutOf([&] { result = master_.receive(block, length); });
        if (block != nullptr) payload_.assign(block, block + length + 1);
        std::free(block);
        return {result, out};
    }
    Lines reads() { return bed().trace({bed::EventKind::Read}); }

    bed::SimNode* node_ = nullptr;
    M master_;
    bed::Bytes payload_;
};

TEST_F(MasterTransfer, SendWritesTheWholeFrameInOneTransactionOrNamesWhyItFailed) {
    const bed::Bytes frame = bed::encodeFrame(bed::bytesOf("abc"));
    int32_t result = -1;
    EXPECT_EQ(stdoutOf([&] { result = send(master_, frame); }), sendLine(fdOf(0x20)));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bed().trace(), Lines{"write 0x20 9"});
    EXPECT_EQ(bed::hex(node_->lastRequest().raw), "02 00 03 61 62 63 06 0A 04");
    node_->failNext(Fault::RefuseWrite);
    EXPECT_EQ(
        stdoutOf([&] { result = send(master_, frame); }),
        sendLine(fdOf(0x20)) + "Error sending buffLen 9 error -1, " + std::strerror(EIO) + "\n");
    EXPECT_EQ(result, 4);
    node_->failNext(Fault::ShortWrite);
    EXPECT_NE(stdoutOf([&] { result = send(master_, frame); }).find("buffLen 9 error 8, "),
              std::string::npos);
    EXPECT_EQ(result, 4) << "a short write is a failed send";
    M closed;
    EXPECT_EQ(stdoutOf([&] { result = send(closed, frame); }), sendLine(-1));
    EXPECT_EQ(result, 8) << "sent by a master that is not open";
}

TEST_F(MasterTransfer, ReceiveReadsTheHeaderThenTheRestHandsOutTheTerminatedPayloadPrintingInHex) {
    node_->replyPayload(bed::bytesOf("abc"));
    requestReply();
    EXPECT_EQ(receive(), std::make_pair(0, std::string("3 master recived 0x2 0x0 0x3\n")));
    EXPECT_EQ(payload_, (bed::Bytes{'a', 'b', 'c', 0}));
    EXPECT_EQ(reads(), (Lines{"read 0x20 3", "read 0x20 6"}));
    EXPECT_EQ(std::cout.flags() & std::ios::basefield, std::ios::dec) << "left in hexadecimal";
}

struct BrokenReply {
    const char* name;
    Fault fault;
    const char* printed;  // by the receive, that fails with 3 and hands out nothing
    Lines reads;
};

class MasterBrokenReply : public MasterTransfer, public testing::WithParamInterface<BrokenReply> {};

// A header the parser refuses ends the receive before a second read. A failed header read
// shows zeros for the bytes it did not deliver, not those of the reply before.
TEST_P(MasterBrokenReply, FailsWith3AndHandsOutNothing) {
    requestReply();
    ASSERT_EQ(receive().first, 0);
    payload_.clear();
    node_->failNext(GetParam().fault);
    requestReply();
    EXPECT_EQ(receive(), std::make_pair(3, std::string(GetParam().printed) + "\n"));
    EXPECT_TRUE(payload_.empty());
    EXPECT_EQ(reads(), GetParam().reads);
}

INSTANTIATE_TEST_SUITE_P(Faults, MasterBrokenReply,
                         testing::Values(BrokenReply{"BadStartByte",
                                                     Fault::BadStartByte,
                                                     "3 master recived 0xff 0x0 0x5",
                                                     {"read 0x20 3"}},
                                         BrokenReply{"LengthTooLarge",
                                                     Fault::LengthTooLarge,
                                                     "3 master recived 0x2 0x1f 0xfb",
                                                     {"read 0x20 3"}},
                                         BrokenReply{"BadCrc",
                                                     Fault::BadCrc,
                                                     "3 master recived 0x2 0x0 0x5",
                                                     {"read 0x20 3", "read 0x20 8"}},
                                         BrokenReply{"BadEndByte",
                                                     Fault::BadEndByte,
                                                     "3 master recived 0x2 0x0 0x5",
                                                     {"read 0x20 3", "read 0x20 8"}},
                                         BrokenReply{"ShortSecondRead",
                                                     Fault::ShortSecondRead,
                                                     "3 master recived 0x2 0x0 0x5",
                                                     {"read 0x20 3", "read 0x20 8 -> 7"}},
                                         BrokenReply{"NoAnswer",
                                                     Fault::NoAnswer,
                                                     "-1 master recived 0x0 0x0 0x0",
                                                     {"read 0x20 3 ENXIO"}}),
                         [](const auto& info) { return std::string(info.param.name); });

// Why the last system call of a channel failed, as the caller reads it afterwards.
struct ErrnoCase {
    const char* name;
    void (*arrange)(bed::SimBus& bus, bed::SimNode& node);
    int expected;
};

class MasterLastErrno : public Master, public testing::WithParamInterface<ErrnoCase> {};

TEST_P(MasterLastErrno, KeepsTheErrnoOfTheLastFailedCall) {
    bed::SimNode& node = addNode(0x20, kBus);
    GetParam().arrange(bed().busAt(kBus), node);
    M master(0x20, kBus);
    stdoutOf([&] {
        uint8_t* payload = nullptr;
        uint16_t length = 0;
        if (send(master, kRequest) == 0) master.receive(payload, length);
        std::free(payload);
    });
    EXPECT_EQ(master.lastErrno(), GetParam().expected) << std::strerror(master.lastErrno());
    master.close();
}

INSTANTIATE_TEST_SUITE_P(
    Calls, MasterLastErrno,
    testing::Values(
        ErrnoCase{"NoneFailed", [](bed::SimBus&, bed::SimNode&) {}, 0},
        ErrnoCase{"OpenRefused", [](bed::SimBus& bus, bed::SimNode&) { bus.failOpen(EACCES); },
                  EACCES},
        ErrnoCase{"AddressHeldByADriver",
                  [](bed::SimBus& bus, bed::SimNode&) { bus.holdByDriver(0x20); }, EBUSY},
        ErrnoCase{"WriteRefused",
                  [](bed::SimBus&, bed::SimNode& node) { node.failNext(Fault::RefuseWrite); }, EIO},
        ErrnoCase{"NoAnswer",
                  [](bed::SimBus&, bed::SimNode& node) { node.failNext(Fault::NoAnswer); }, ENXIO}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
