// The combined transfer (I2C_RDWR) through plain ioctls, as i2ctransfer and
// smbus2 send it, with the checks and errno values of the kernel's i2c-dev.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "SimBoardTest.h"

namespace sim {
namespace {

constexpr uint8_t kUntouched = 0xAA;

class I2cTransfer : public SimBoardTest {
  protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        node_ = &addNode(0x10);
        bus_ = ::open("/dev/i2c-3", O_RDWR);
        ASSERT_GE(bus_, 0) << std::strerror(errno);
    }
    void TearDown() override {
        ::close(bus_);
        SimBoardTest::TearDown();
    }

    // The messages as one I2C_RDWR: its result, or the name of its errno.
    std::string transfer(std::vector<i2c_msg> messages) {
        i2c_rdwr_ioctl_data data{messages.data(), static_cast<__u32>(messages.size())};
        const int result = ::ioctl(bus_, I2C_RDWR, &data);
        return result < 0 ? strerrorname_np(errno) : std::to_string(result);
    }
    static i2c_msg message(uint16_t address, uint16_t flags, Bytes& buffer) {
        return i2c_msg{address, flags, static_cast<uint16_t>(buffer.size()), buffer.data()};
    }

    SimNode* node_ = nullptr;
    int bus_ = -1;
};

TEST_F(I2cTransfer, AReplyIsReadAfterARepeatedStartOrInACallOfItsOwn) {
    Bytes request = encodeFrame({0xE2});
    for (const bool oneCall : {true, false}) {
        SCOPED_TRACE(oneCall ? "one call" : "two calls");
        Bytes reply(64, kUntouched);
        const i2c_msg write = message(0x10, 0, request), read = message(0x10, I2C_M_RD, reply);
        if (oneCall) {
            EXPECT_EQ(transfer({write, read}), "2");
        } else {
            EXPECT_EQ(transfer({write}), "1");
            EXPECT_EQ(transfer({read}), "1");
        }
        const Bytes& prepared = node_->lastRequest().reply;
        ASSERT_FALSE(prepared.empty());
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + static_cast<long>(prepared.size())), prepared);
        EXPECT_EQ(reply.back(), 0xFF) << "past the frame, the idle bus";
    }
    EXPECT_EQ(simBoard().events().back().str(), "read 0x10 64");
}

// At 100 kHz: a write of 7 bytes and a read of 41 after a repeated start are (1 + 72) +
// (1 + 378) + 1 bits; the read comes before the node's reply is ready and gets the idle
// level, and the reply waits for a read of its own (1 + 585 + 1 bits), after it is ready.
TEST_F(I2cTransfer, OnABusWithASpeedMovesTheFastClockByItsBitsAndANodeNotReadyGivesIdleBytes) {
    simBoard().busAt("/dev/i2c-3").setSpeedHz(100'000);
    node_->setReadyDelays({.defaultUs = 1000});
    Bytes request = encodeFrame({0xE2}), early(41, kUntouched), reply(64, kUntouched);
    const uint64_t startUs = clock().nowUs();

    EXPECT_EQ(transfer({message(0x10, 0, request), message(0x10, I2C_M_RD, early)}), "2");
    EXPECT_EQ(clock().nowUs() - startUs, 4530U);
    EXPECT_EQ(early, Bytes(41, 0xFF));
    EXPECT_EQ(transfer({message(0x10, I2C_M_RD, reply)}), "1");
    EXPECT_EQ(clock().nowUs() - startUs, 4530U + 5870U);
    const Bytes& prepared = node_->lastRequest().reply;
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + static_cast<long>(prepared.size())), prepared);
}

TEST_F(I2cTransfer, IsRefusedWithTheKernelsErrnoAndLeavesTheReadBuffersAlone) {
    Bytes byte{kUntouched}, tooLong(8193), block(33), request = encodeFrame({0xE2});
    block[0] = 1;  // room for the length byte and one more
    const i2c_msg readOne = message(0x10, I2C_M_RD, byte);
    struct Row {
        const char* what;
        std::vector<i2c_msg> messages;
        const char* expected;
    };
    const Row rows[] = {
        {"no message", {}, "EINVAL"},
        {"43 messages", std::vector<i2c_msg>(43, readOne), "EINVAL"},
        {"over 8192 bytes", {message(0x10, 0, tooLong)}, "EINVAL"},
        {"length from the device, no room", {message(0x10, I2C_M_RD | I2C_M_RECV_LEN, byte)}, "EINVAL"},
        {"length from the device", {message(0x10, I2C_M_RD | I2C_M_RECV_LEN, block)}, "EOPNOTSUPP"},
        {"ten-bit address", {message(0x10, I2C_M_TEN, byte)}, "EOPNOTSUPP"},
        {"ignore a NAK", {message(0x10, I2C_M_RD | I2C_M_IGNORE_NAK, byte)}, "EOPNOTSUPP"},
        {"address over 0x7F", {message(0x80, 0, byte)}, "EINVAL"},
        {"nothing at the address", {message(0x11, I2C_M_RD, byte)}, "ENXIO"},
        {"no reply prepared", {readOne}, "ENXIO"},
        {"read from nothing after a request", {message(0x10, 0, request), message(0x11, I2C_M_RD, byte)},
         "ENXIO"}};
    for (const Row& row : rows) {
        EXPECT_EQ(transfer(row.messages), row.expected) << row.what;
        EXPECT_EQ(byte[0], kUntouched) << row.what;
    }
    EXPECT_EQ(node_->requests().size(), 1U) << "the request before the failed read was sent";

    simBoard().busAt("/dev/i2c-3").setNoAnswerErrno(EREMOTEIO);
    EXPECT_EQ(transfer({message(0x11, 0, request)}), "EREMOTEIO");
    EXPECT_EQ(::ioctl(bus_, I2C_RDWR, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
}

}  // namespace
}  // namespace sim
