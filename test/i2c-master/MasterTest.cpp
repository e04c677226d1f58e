// The master's address registries and its framed transfers on the simulated bus.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>

#include "SimBoardTest.h"
#include "Console.h"
#include "Golden.h"
#include "NorvaneI2cMaster.h"

namespace {

using sim::Fault;
using M = NorvaneI2cMaster;

const char* const kBus = "/dev/i2c-1";
const sim::Bytes kRequest = sim::encodeFrame({0xE1});

// Every case must leave the program-wide registries as it found them: empty.
class Master : public sim::SimBoardTest {
  protected:
    void TearDown() override {
        EXPECT_TRUE(M::__addrs.empty() && M::__addrsFds.empty()) << "a bus is still registered";
        sim::SimBoardTest::TearDown();
    }
    static bool inUse(const std::string& bus, uint8_t addr) {
        auto entry = M::__addrs.find(bus);
        return entry != M::__addrs.end() && entry->second[addr] == 1;
    }
    static int32_t fdOf(uint8_t addr, const std::string& bus = kBus) {
        return M::__addrsFds.at(bus)[addr];
    }
    size_t busDescriptors() { return simBoard().busAt(kBus).openDescriptors(); }
};

int32_t send(M& master, const sim::Bytes& frame) {
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
    EXPECT_EQ(simBoard().trace(), (std::vector<std::string>{"open /dev/i2c-1", "select 0x20"}));
    master.close();
}

// Closing one of two addresses keeps the bus registered; closeAll closes every descriptor but
// keeps the bus entries, which opening and closing a spare address on each bus then frees.
TEST_F(Master, AddressesOfABusShareItsTablesWhichCloseAllEmptiesButKeeps) {
    addBus(kBus);
    addBus("/dev/i2c-2");
    M low(0x20, kBus), other(0x30, "/dev/i2c-2"), high;
    EXPECT_NE(stdoutOf([&] {
                  high = M(0x21, kBus);
              }).find("HERE NorvaneI2cMaster::__addrs.find(_bus) 0\n"),
              std::string::npos)
        << "the second address did not find the bus already registered";
    EXPECT_NE(fdOf(0x20), fdOf(0x21));
    EXPECT_EQ(busDescriptors(), 2u);
    stdoutOf([&] { low.close(); });
    EXPECT_TRUE(!inUse(kBus, 0x20) && fdOf(0x20) == -1 && inUse(kBus, 0x21));
    M::closeAll();
    EXPECT_EQ(simBoard().openDescriptors(), 0u);
    ASSERT_EQ(M::__addrs.size() + M::__addrsFds.size(), 4u);
    for (const auto& [bus, flags] : M::__addrs) {
        for (int addr = 0; addr < 256; ++addr) {
            EXPECT_TRUE(flags[addr] == 0 && fdOf(addr, bus) == -1) << bus << " " << addr;
        }
    }
    for (const char* bus : {kBus, "/dev/i2c-2"}) M(0x77, bus).close();
}

// An open that fails prints why, opens or keeps nothing, keeps the errno of the call that
// failed, and its master's close only prints.
struct OpenFailure {
    const char* name;
    int openErrno;  // set on the bus's open, or 0
    bool driverHolds;
    const char* bus;
    std::string printed;
    uint8_t error;
    int lastErrno;
};

class MasterOpenFailure : public Master, public testing::WithParamInterface<OpenFailure> {};

TEST_P(MasterOpenFailure, PrintsWhyAndLeavesEveryOtherChannelAsItWas) {
    sim::SimBus& bus = addBus(kBus);
    const bool taken = GetParam().error == MASTER_ADDR_IN_USE;
    M first = taken ? M(0x20, kBus) : M();
    bus.failOpen(GetParam().openErrno);
    if (GetParam().driverHolds) bus.holdByDriver(0x20);
    M master;
    EXPECT_EQ(stdoutOf([&] { master = M(0x20, GetParam().bus); }), GetParam().printed);
    EXPECT_EQ(master.getError(), GetParam().error);
    EXPECT_EQ(master.lastErrno(), GetParam().lastErrno);
    EXPECT_EQ(bus.openDescriptors(), taken ? 1u : 0u);
    EXPECT_EQ(stdoutOf([&] { master.close(); }), "Close Master, bus  addr 0\n");
    EXPECT_EQ(inUse(kBus, 0x20), taken) << "closing the refused master freed the first one's";
    stdoutOf([&] { first.close(); });
}

const std::string kOpenFailed = "Error NorvaneI2cMaster error open fd for bus\n";

INSTANTIATE_TEST_SUITE_P(
    Failures, MasterOpenFailure,
    testing::Values(
        OpenFailure{"AddressTaken", 0, false, kBus, "Error addr alredy iun use 32\n",
                    MASTER_ADDR_IN_USE, 0},
        OpenFailure{"NoSuchBus", 0, false, "/dev/i2c-9", kOpenFailed, MASTER_OPEN_FAILED, ENOENT},
        OpenFailure{"OpenRefused", EACCES, false, kBus, kOpenFailed, MASTER_OPEN_FAILED, EACCES},
        OpenFailure{"AddressHeldByADriver", 0, true, kBus, "Failed to set I2C address\n",
                    MASTER_BIND_FAILED, EBUSY}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Master, ACopySharesTheDescriptorAndClosingOneCopyFreesTheAddress) {
    addNode(0x20, kBus);
    M original(0x20, kBus);
    M copy = original;
    stdoutOf([&] { EXPECT_EQ(send(copy, kRequest), 0); });
    EXPECT_EQ(simBoard().busAt(kBus).nodeAt(0x20).lastRequest().raw, kRequest);
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

// A program started with standard input closed gets descriptor 0 for its first bus. The
// simulator never hands out 0 (its own memfd takes the lowest number first), so a stand-in file
// on 0 is recorded as the master's descriptor.
TEST_F(Master, CloseAllClosesDescriptorZeroToo) {
    addBus(kBus);
    const int input = ::dup(STDIN_FILENO);
    M master;
    stdoutOf([&] { master = M(0x20, kBus); });
    const int bus = fdOf(0x20);
    const int standIn = ::open("/dev/null", O_RDONLY);
    ::dup2(standIn, STDIN_FILENO);
    ::close(standIn);
    M::__addrsFds.at(kBus)[0x20] = 0;
    M::closeAll();
    EXPECT_EQ(::fcntl(STDIN_FILENO, F_GETFD), -1) << "descriptor 0 was left open";
    EXPECT_FALSE(inUse(kBus, 0x20));
    ::close(bus);
    ::dup2(input, STDIN_FILENO);
    ::close(input);
    stdoutOf([&] { M(0x77, kBus).close(); });
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

TEST_P(StaleMaster, NeitherClosesNorWritesToTheChannelOrFileThatReusedItsNumber) {
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
    EXPECT_TRUE(simBoard().busAt(kBus).nodeAt(0x20).requests().empty());
    EXPECT_EQ(busDescriptors(), 1u);
    stdoutOf([&] { fresh.close(); });
    const int file = ::open("/dev/null", O_RDONLY);
    ASSERT_EQ(::dup2(file, number), number);
    stdoutOf([&] { stale.close(); });
    EXPECT_NE(::fcntl(number, F_GETFD), -1) << "the reused descriptor was closed";
    ::close(number);
    ::close(file);
}

INSTANTIATE_TEST_SUITE_P(Released, StaleMaster, testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "ByCloseAll" : "ByACopy");
});

// Each send and receive of a master at the node's address, after the node's fault: what it
// printed and returned, the errno it keeps, the wire trace and the payload handed out (with its
// zero byte). A header the parser refuses ends the receive before a second read; a failed
// header read shows zeros for the bytes it did not deliver, not those of the reply before.
TEST_F(Master, TransfersAsTheGoldenTranscriptShows) {
    sim::SimNode& node = addNode(0x20, kBus);
    M master(0x20, kBus), closed;
    const sim::Bytes abc = sim::encodeFrame(sim::bytesOf("abc"));
    std::string transcript, payload;
    const auto run = [&](const std::string& what, std::optional<Fault> fault, auto transfer) {
        if (fault) node.failNext(*fault);
        simBoard().clearEvents();
        int32_t result = -1;
        const std::string out = stdoutOf([&] { result = transfer(); });
        transcript += "== " + what + (fault ? " after " + sim::faultName(*fault) : "") + "\n" +
                      out + "-> " + std::to_string(result) + ", last errno " +
                      std::to_string(master.lastErrno()) + "\n" + payload;
        for (const std::string& line : simBoard().trace()) transcript += "  " + line + "\n";
        payload.clear();
    };
    for (auto fault : {std::optional<Fault>{}, {Fault::RefuseWrite}, {Fault::ShortWrite}}) {
        run("send abc", fault, [&] { return send(master, abc); });
    }
    run("send by a master that is not open", {}, [&] { return send(closed, abc); });
    node.replyPayload(sim::bytesOf("abc"));  // to the first request; the rest get the default
    for (auto fault : {std::optional<Fault>{},
                       {Fault::BadStartByte},
                       {Fault::LengthTooLarge},
                       {Fault::BadCrc},
                       {Fault::BadEndByte},
                       {Fault::ShortSecondRead},
                       {Fault::NoAnswer}}) {
        run("request, receive", fault, [&] {
            uint8_t* block = nullptr;
            uint16_t length = 0;
            send(master, kRequest);
            const int32_t result = master.receive(block, length);
            if (block != nullptr)
                payload = "payload " + sim::hex({block, block + length + 1}) + "\n";
            std::free(block);
            return result;
        });
    }
    expectGolden("transfers.txt", transcript,
                 {{"fd " + std::to_string(fdOf(0x20)), "fd <descriptor>"}});
    EXPECT_EQ(std::cout.flags() & std::ios::basefield, std::ios::dec) << "left in hexadecimal";
    master.close();
}

}  // namespace
