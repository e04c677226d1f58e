#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

extern "C" {
#include <i2c/smbus.h>
}

#include "BedTest.h"
#include "BusIo.h"

namespace bed::selftest {
namespace {

using ::testing::ElementsAre;

class BedPathTest : public BedTest {};

TEST_F(BedPathTest, AnUnconfiguredBusIsAbsentWhateverTheHostHas) {
    struct stat info {};
    EXPECT_EQ(::open("/dev/i2c-0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(::stat("/dev/i2c-1", &info), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(::access("/dev/i2c-2", F_OK), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(BedPathTest, AConfiguredBusIsACharacterDeviceOfI2cDev) {
    addBus("/dev/i2c-3");
    struct stat byPath {};
    ASSERT_EQ(::stat("/dev/i2c-3", &byPath), 0);
    EXPECT_TRUE(S_ISCHR(byPath.st_mode));
    EXPECT_EQ(major(byPath.st_rdev), 89u);
    EXPECT_EQ(minor(byPath.st_rdev), 3u);
    Fd fd(::open("/dev/i2c-3", O_RDWR));
    struct stat byFd {};
    ASSERT_EQ(::fstat(fd.get(), &byFd), 0);
    EXPECT_EQ(byFd.st_rdev, byPath.st_rdev);
}

TEST_F(BedPathTest, OtherPathsReachTheRealSystem) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ASSERT_EQ(::write(pipeFds[1], "x", 1), 1);
    char c = 0;
    EXPECT_EQ(::read(pipeFds[0], &c, 1), 1);
    EXPECT_EQ(c, 'x');
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    Fd devNull(::open("/dev/null", O_RDONLY));
    EXPECT_GE(devNull.get(), 0);
}

TEST_F(BedPathTest, ADescriptorUsedBehindTheBedsBackFailsLoudly) {
    addNode(0x10);
    Fd fd(openAt("/dev/i2c-3", 0x10));
    uint8_t byte = 0;
    EXPECT_EQ(::syscall(SYS_read, fd.get(), &byte, 1), -1);
    EXPECT_EQ(errno, EBADF);
}

class BedDescriptorTest : public BedTest {};

TEST_F(BedDescriptorTest, OpensAndClosesAreCountedPerBus) {
    SimBus& bus = addBus();
    const int first = ::open("/dev/i2c-3", O_RDWR);
    const int second = ::open("/dev/i2c-3", O_RDWR);
    EXPECT_NE(first, second);
    EXPECT_EQ(bus.openDescriptors(), 2u);
    EXPECT_THAT(bed().openDescriptorPaths(), ElementsAre("/dev/i2c-3", "/dev/i2c-3"));
    ::close(first);
    ::close(second);
    EXPECT_EQ(bus.openDescriptors(), 0u);
    EXPECT_EQ(bus.openCount(), 2u);
}

TEST_F(BedDescriptorTest, ADescriptorLeftOpenAcrossAResetTurnsStale) {
    addBus();
    const int fd = ::open("/dev/i2c-3", O_RDWR);
    bed().reset();
    EXPECT_EQ(bed().openDescriptors(), 0u);
    EXPECT_EQ(::ioctl(fd, I2C_SLAVE, 0x10), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(::close(fd), 0);
}

TEST_F(BedDescriptorTest, AFailedOpenGivesTheConfiguredError) {
    addBus().failOpen(EACCES);
    EXPECT_EQ(::open("/dev/i2c-3", O_RDWR), -1);
    EXPECT_EQ(errno, EACCES);
}

class BedAdapterTest : public BedTest {};

TEST_F(BedAdapterTest, AnAddressHeldByAKernelDriverCannotBeSelected) {
    addBus().holdByDriver(0x48);
    Fd fd(::open("/dev/i2c-3", O_RDWR));
    EXPECT_EQ(::ioctl(fd.get(), I2C_SLAVE, 0x48), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(::ioctl(fd.get(), I2C_SLAVE_FORCE, 0x48), 0);
    EXPECT_THAT(bed().trace({EventKind::Select}), ElementsAre("select 0x48 EBUSY", "select 0x48"));
}

TEST_F(BedAdapterTest, FunctionalityIsReportedOrRefused) {
    SimBus& bus = addBus();
    bus.setFuncs(0x1234);
    Fd fd(::open("/dev/i2c-3", O_RDWR));
    unsigned long funcs = 0;
    ASSERT_EQ(::ioctl(fd.get(), I2C_FUNCS, &funcs), 0);
    EXPECT_EQ(funcs, 0x1234u);
    bus.failFuncs(EIO);
    EXPECT_EQ(::ioctl(fd.get(), I2C_FUNCS, &funcs), -1);
    EXPECT_EQ(errno, EIO);
}

TEST_F(BedAdapterTest, TheSendByteProbeSeesOnlyDevicesThatTakeTheDataByte) {
    SimBus& bus = addBus();
    bus.addDevice(0x10);
    bus.addDevice(0x11, Probe::AddressOnly);
    bus.addDevice(0x12, Probe::Nack);
    Fd fd(::open("/dev/i2c-3", O_RDWR));
    std::vector<int> results;
    for (int address : {0x10, 0x11, 0x12, 0x13}) {
        ASSERT_EQ(::ioctl(fd.get(), I2C_SLAVE, address), 0);
        results.push_back(i2c_smbus_write_byte(fd.get(), 0));
    }
    EXPECT_THAT(results, ElementsAre(0, -EIO, -ENXIO, -ENXIO));
}

TEST_F(BedAdapterTest, ATransactionNobodyAnswersFailsWithTheNoAnswerError) {
    SimBus& bus = addBus();
    Fd fd(openAt("/dev/i2c-3", 0x20));
    const uint8_t byte = 0;
    EXPECT_EQ(::write(fd.get(), &byte, 1), -1);
    EXPECT_EQ(errno, ENXIO);
    bus.setNoAnswerErrno(EIO);
    uint8_t in = 0;
    EXPECT_EQ(::read(fd.get(), &in, 1), -1);
    EXPECT_EQ(errno, EIO);
}

TEST_F(BedAdapterTest, EachDescriptorTalksToTheAddressItSelected) {
    SimNode& first = addNode(0x20);
    SimNode& second = addNode(0x21);
    Fd a(openAt("/dev/i2c-3", 0x20));
    Fd b(openAt("/dev/i2c-3", 0x21));
    sendFrame(b.get(), {0xC1});
    sendFrame(a.get(), {0xC0});
    ASSERT_EQ(first.requests().size(), 1u);
    ASSERT_EQ(second.requests().size(), 1u);
    EXPECT_EQ(first.lastRequest().opcode(), 0xC0);
    EXPECT_EQ(second.lastRequest().opcode(), 0xC1);
}

TEST_F(BedAdapterTest, AFortifiedReadReachesTheSimulatedNode) {
    addNode(0x10);
    Fd fd(openAt("/dev/i2c-3", 0x10));
    sendFrame(fd.get(), {0xC0});
    uint8_t header[3];
    ASSERT_EQ(::read(fd.get(), header, sizeof header), 3);
    EXPECT_EQ(hex(Bytes(header, header + 3)), "02 00 02");
}

}  // namespace
}  // namespace bed::selftest
