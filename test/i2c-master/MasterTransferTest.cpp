#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "MasterTestSupport.h"

using bed::EventKind;
using bed::Fault;

namespace {

const char* const kBus = "/dev/i2c-3";
constexpr uint8_t kAddr = 0x20;

}  // namespace

class MasterTransfer : public MasterTest {
  protected:
    void SetUp() override {
        MasterTest::SetUp();
        node_ = &addNode(kAddr, kBus);
        master_ = NorvaneI2cMaster(kAddr, kBus);
        fd_ = descriptorOf(kBus, kAddr);
        bed().clearEvents();
    }

    void TearDown() override {
        master_.close();
        MasterTest::TearDown();
    }

    int32_t send(const bed::Bytes& frame) {
        return master_.send(frame.data(), static_cast<uint16_t>(frame.size()));
    }

    // Puts a reply in the node by sending it a request it answers.
    void requestReply() {
        ASSERT_EQ(send(bed::encodeFrame({0xE1})), 0);
        bed().clearEvents();
    }

    // The receive result; the payload, when one is handed out, goes to payload_.
    int32_t receive() {
        uint8_t* block = nullptr;
        uint16_t length = 0;
        int32_t result = master_.receive(block, length);
        if (block != nullptr) {
            payload_.assign(block, block + length + 1);
            std::free(block);
        }
        return result;
    }

    std::vector<std::string> reads() { return bed().trace({EventKind::Read}); }

    bed::SimNode* node_ = nullptr;
    NorvaneI2cMaster master_;
    int fd_ = -1;
    bed::Bytes payload_;
};

TEST_F(MasterTransfer, SendWritesTheWholeFrameInOneTransactionAndReturns0) {
    bed::Bytes frame = bed::encodeFrame(bed::bytesOf("abc"));
    int32_t result = 0;
    std::string out = stdoutOf([&] { result = send(frame); });

    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "NorvaneI2cMaster::send to fd " + std::to_string(fd_) + "\n");
    EXPECT_EQ(bed().trace(), std::vector<std::string>{"write 0x20 9"});
    EXPECT_EQ(bed::hex(node_->lastRequest().raw), "02 00 03 61 62 63 06 0A 04");
}

TEST_F(MasterTransfer, SendOnAMasterThatIsNotOpenReturns8AndWritesNothing) {
    NorvaneI2cMaster closed;
    bed::Bytes frame = bed::encodeFrame(bed::bytesOf("abc"));
    int32_t result = 0;
    std::string out =
        stdoutOf([&] { result = closed.send(frame.data(), static_cast<uint16_t>(frame.size())); });

    EXPECT_EQ(result, 8);
    EXPECT_EQ(out, "NorvaneI2cMaster::send to fd -1\n");
    EXPECT_EQ(bed().events().size(), 0u);
}

TEST_F(MasterTransfer, SendRefusedByTheDeviceNamesTheLengthTheResultAndTheErrorAndReturns4) {
    node_->failNext(Fault::RefuseWrite);
    int32_t result = 0;
    std::string out = stdoutOf([&] { result = send(bed::encodeFrame(bed::bytesOf("abc"))); });

    EXPECT_EQ(result, 4);
    EXPECT_EQ(out, "NorvaneI2cMaster::send to fd " + std::to_string(fd_) + "\n" +
                       "Error sending buffLen 9 error -1, " + std::strerror(EIO) + "\n");
}

TEST_F(MasterTransfer, AShortWriteCountsAsAFailedSend) {
    node_->failNext(Fault::ShortWrite);
    int32_t result = 0;
    std::string out = stdoutOf([&] { result = send(bed::encodeFrame(bed::bytesOf("abc"))); });

    EXPECT_EQ(result, 4);
    EXPECT_NE(out.find("Error sending buffLen 9 error 8, "), std::string::npos) << out;
}

TEST_F(MasterTransfer, ReceiveReadsTheHeaderThenTheRestAndHandsOutTheTerminatedPayload) {
    node_->replyPayload(bed::bytesOf("abc"));
    requestReply();
    int32_t result = -1;
    std::string out = stdoutOf([&] { result = receive(); });

    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "3 master recived 0x2 0x0 0x3\n");
    EXPECT_EQ(payload_, (bed::Bytes{'a', 'b', 'c', 0}));
    EXPECT_EQ(reads(), (std::vector<std::string>{"read 0x20 3", "read 0x20 6"}));
}

struct BrokenReply {
    const char* name;
    Fault fault;
    const char* header;  // as the receive prints it
    std::vector<std::string> reads;
};

class MasterBrokenReply : public MasterTransfer, public testing::WithParamInterface<BrokenReply> {};

TEST_P(MasterBrokenReply, FailsWith3AndHandsOutNothing) {
    node_->failNext(GetParam().fault);
    requestReply();
    int32_t result = -1;
    std::string out = stdoutOf([&] { result = receive(); });

    EXPECT_EQ(result, 3);
    EXPECT_TRUE(payload_.empty());
    EXPECT_EQ(out, std::string("3 master recived ") + GetParam().header + "\n");
    EXPECT_EQ(reads(), GetParam().reads);
}

// A header the parser refuses ends the receive before a second read.
INSTANTIATE_TEST_SUITE_P(
    Faults, MasterBrokenReply,
    testing::Values(
        BrokenReply{"BadStartByte", Fault::BadStartByte, "0xff 0x0 0x5", {"read 0x20 3"}},
        BrokenReply{"LengthTooLarge", Fault::LengthTooLarge, "0x2 0x1f 0xfb", {"read 0x20 3"}},
        BrokenReply{"BadCrc", Fault::BadCrc, "0x2 0x0 0x5", {"read 0x20 3", "read 0x20 8"}},
        BrokenReply{"BadEndByte", Fault::BadEndByte, "0x2 0x0 0x5", {"read 0x20 3", "read 0x20 8"}},
        BrokenReply{"ShortSecondRead",
                    Fault::ShortSecondRead,
                    "0x2 0x0 0x5",
                    {"read 0x20 3", "read 0x20 8 -> 7"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MasterTransfer, AFailedHeaderReadShowsZerosForTheBytesItDidNotDeliver) {
    node_->replyPayload(bed::bytesOf("abc"));
    requestReply();
    testing::internal::CaptureStdout();
    ASSERT_EQ(receive(), 0);
    testing::internal::GetCapturedStdout();

    node_->failNext(Fault::NoAnswer);
    requestReply();
    int32_t result = -1;
    std::string out = stdoutOf([&] { result = receive(); });

    EXPECT_EQ(result, 3);
    EXPECT_EQ(out, "-1 master recived 0x0 0x0 0x0\n");
    EXPECT_EQ(reads(), std::vector<std::string>{"read 0x20 3 ENXIO"});
}

TEST_F(MasterTransfer, TheOutputStreamIsBackInDecimalAfterTheHeaderLine) {
    node_->replyPayload(bed::bytesOf("abc"));
    requestReply();
    testing::internal::CaptureStdout();
    receive();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::cout.flags() & std::ios::basefield, std::ios::dec);
}

// Why the last system call of a channel failed, as the caller reads it afterwards.
struct ErrnoCase {
    const char* name;
    void (*arrange)(bed::Bed& bed, bed::SimNode& node);
    int expected;
};

void PrintTo(const ErrnoCase& row, std::ostream* out) {
    *out << row.name;
}

class MasterLastErrno : public MasterTest, public testing::WithParamInterface<ErrnoCase> {};

TEST_P(MasterLastErrno, KeepsTheErrnoOfTheLastFailedCall) {
    bed::SimNode& node = addNode(kAddr, kBus);
    GetParam().arrange(bed(), node);
    NorvaneI2cMaster master(kAddr, kBus);
    const bed::Bytes request = bed::encodeFrame({0xE1});
    stdoutOf([&] {
        if (master.send(request.data(), static_cast<uint16_t>(request.size())) == 0) {
            uint8_t* payload = nullptr;
            uint16_t length = 0;
            master.receive(payload, length);
            std::free(payload);
        }
    });
    EXPECT_EQ(master.lastErrno(), GetParam().expected) << std::strerror(master.lastErrno());
    master.close();
}

INSTANTIATE_TEST_SUITE_P(
    Calls, MasterLastErrno,
    testing::Values(
        ErrnoCase{"NoneFailed", [](bed::Bed&, bed::SimNode&) {}, 0},
        ErrnoCase{"OpenRefused",
                  [](bed::Bed& bed, bed::SimNode&) { bed.busAt(kBus).failOpen(EACCES); }, EACCES},
        ErrnoCase{"AddressHeldByADriver",
                  [](bed::Bed& bed, bed::SimNode&) { bed.busAt(kBus).holdByDriver(kAddr); }, EBUSY},
        ErrnoCase{"WriteRefused",
                  [](bed::Bed&, bed::SimNode& node) { node.failNext(Fault::RefuseWrite); }, EIO},
        ErrnoCase{"NoAnswer", [](bed::Bed&, bed::SimNode& node) { node.failNext(Fault::NoAnswer); },
                  ENXIO}),
    [](const testing::TestParamInfo<ErrnoCase>& info) { return std::string(info.param.name); });
