#include "NorvaneI2cMaster.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <set>

#include "FrameParser.h"

std::map<std::string, uint8_t*> NorvaneI2cMaster::__addrs;
std::map<std::string, int32_t*> NorvaneI2cMaster::__addrsFds;

namespace {

std::atomic<uint64_t> transactionCount{0};
std::atomic<uint64_t> failureCount{0};

void countTransaction(bool failed) {
    transactionCount.fetch_add(1, std::memory_order_relaxed);
    if (failed) {
        failureCount.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace

namespace {

constexpr int kTableSize = 256;
constexpr size_t kHeaderSize = 3;
// What a bus reads where no node drives it, and what a node answers before its reply is ready.
constexpr uint8_t kIdle = 0xFF;
constexpr size_t kReceiveBufferSize = 8192;
// Whatever follows the payload in a frame: two CRC bytes and the end byte.
constexpr size_t kTrailerSize = 3;

// Channels opened and not yet released, by their numbers; 0 is never one.
std::set<uint64_t>& liveChannels() {
    static std::set<uint64_t> channels;
    return channels;
}

uint64_t newChannel() {
    static uint64_t last = 0;
    liveChannels().insert(++last);
    return last;
}

bool addressInUse(const std::string& bus, uint8_t addr) {
    auto entry = NorvaneI2cMaster::__addrs.find(bus);
    return entry != NorvaneI2cMaster::__addrs.end() && entry->second[addr] != 0;
}

bool anyAddressInUse(const uint8_t* flags) {
    return std::any_of(flags, flags + kTableSize, [](uint8_t flag) { return flag != 0; });
}

void printLine(const char* text) {
    std::cout << text << std::flush;
}

// A header byte the read did not deliver shows as 0 rather than stale stack contents.
unsigned headerByte(const uint8_t* header, ssize_t received, size_t index) {
    return static_cast<ssize_t>(index) < received ? header[index] : 0u;
}

void printHeader(const uint8_t* header, ssize_t received) {
    std::cout << received << " master recived 0x" << std::hex << headerByte(header, received, 0)
              << " 0x" << headerByte(header, received, 1) << " 0x"
              << headerByte(header, received, 2) << std::dec << std::endl;
}

}  // namespace

NorvaneI2cMaster::NorvaneI2cMaster(uint8_t addr, const char* bus) {
    if (addressInUse(bus, addr)) {
        std::printf("Error addr alredy iun use %d\n", addr);
        std::fflush(stdout);
        _error = MASTER_ADDR_IN_USE;
        return;
    }
    if (!openAndBind(addr, bus)) {
        return;
    }
    bool busIsNew = __addrs.find(_bus) == __addrs.end();
    printOpened(busIsNew);
    registerAddress();
}

bool NorvaneI2cMaster::openAndBind(uint8_t addr, const char* bus) {
    int fd = ::open(bus, O_RDWR);
    if (fd < 0) {
        _lastErrno = errno;
        printLine("Error NorvaneI2cMaster error open fd for bus\n");
        _error = MASTER_OPEN_FAILED;
        return false;
    }
    if (::ioctl(fd, I2C_SLAVE, static_cast<unsigned long>(addr)) < 0) {
        _lastErrno = errno;
        printLine("Failed to set I2C address\n");
        ::close(fd);
        _error = MASTER_BIND_FAILED;
        return false;
    }
    _fd = fd;
    _addr = addr;
    _bus = bus;
    _channel = newChannel();
    return true;
}

// One read transaction; a stale master reads nothing, as from a closed descriptor.
ssize_t NorvaneI2cMaster::readChannel(uint8_t* buffer, size_t count) {
    ssize_t result = -1;
    if (ownsChannel()) {
        result = ::read(_fd, buffer, count);
        countTransaction(result < 0);
    } else {
        errno = EBADF;
    }
    noteFailure(result);
    return result;
}

void NorvaneI2cMaster::noteFailure(ssize_t result) {
    if (result < 0) {
        _lastErrno = errno;
    }
}

void NorvaneI2cMaster::printOpened(bool busIsNew) const {
    std::cout << "HERE _fd: " << _fd << std::endl;
    std::cout << "HERE _bus: " << _bus << std::endl;
    std::cout << "HERE _addr: " << static_cast<int>(_addr) << std::endl;
    std::cout << "HERE NorvaneI2cMaster::__addrs: " << static_cast<const void*>(&__addrs)
              << std::endl;
    std::cout << "HERE NorvaneI2cMaster::__addrsFds: " << static_cast<const void*>(&__addrsFds)
              << std::endl;
    std::cout << "HERE NorvaneI2cMaster::__addrs.find(_bus) " << (busIsNew ? 1 : 0) << std::endl;
}

void NorvaneI2cMaster::registerAddress() {
    if (__addrs.find(_bus) == __addrs.end()) {
        uint8_t* flags = new uint8_t[kTableSize];
        int32_t* fds = new int32_t[kTableSize];
        std::fill(flags, flags + kTableSize, 0);
        std::fill(fds, fds + kTableSize, -1);
        __addrs[_bus] = flags;
        __addrsFds[_bus] = fds;
    }
    __addrs[_bus][_addr] = 1;
    __addrsFds[_bus][_addr] = _fd;
}

bool NorvaneI2cMaster::ownsChannel() const {
    return isOpen() && liveChannels().count(_channel) != 0;
}

void NorvaneI2cMaster::close() {
    std::cout << "Close Master, bus " << _bus << " addr " << static_cast<int>(_addr) << std::endl;
    if (!isOpen()) {
        return;
    }
    releaseAddress();
    _fd = -1;
    _addr = 0;
    _bus.clear();
    _channel = 0;
}

// A stale master's descriptor number and address may already belong to another file or another
// master: it releases nothing but bus tables that nobody uses any longer.
void NorvaneI2cMaster::releaseAddress() {
    auto flags = __addrs.find(_bus);
    auto fds = __addrsFds.find(_bus);
    if (liveChannels().erase(_channel) != 0) {
        if (flags != __addrs.end()) {
            fds->second[_addr] = -1;
            flags->second[_addr] = 0;
        }
        ::close(_fd);
    }
    if (flags != __addrs.end() && !anyAddressInUse(flags->second)) {
        delete[] flags->second;
        delete[] fds->second;
        __addrsFds.erase(fds);
        __addrs.erase(flags);
    }
}

void NorvaneI2cMaster::closeAll() {
    for (auto& [bus, fds] : __addrsFds) {
        uint8_t* flags = __addrs[bus];
        for (int addr = 0; addr < kTableSize; ++addr) {
            // Every recorded descriptor is a bus of ours, 0 too: a program started with
            // standard input closed gets 0 for its first bus.
            if (fds[addr] >= 0) {
                ::close(fds[addr]);
                fds[addr] = -1;
                flags[addr] = 0;
            }
        }
    }
    liveChannels().clear();
}

NorvaneI2cMaster::Traffic NorvaneI2cMaster::traffic() {
    return {transactionCount.load(std::memory_order_relaxed),
            failureCount.load(std::memory_order_relaxed)};
}

int32_t NorvaneI2cMaster::send(const uint8_t* buffer, uint16_t length) {
    std::cout << "NorvaneI2cMaster::send to fd " << _fd << std::endl;
    _error = MASTER_OK;
    if (_addr == 0 || !ownsChannel()) {
        return MASTER_NOT_OPEN;
    }
    _headerPolled = false;
    ssize_t written = ::write(_fd, buffer, length);
    countTransaction(written != static_cast<ssize_t>(length));
    if (written == static_cast<ssize_t>(length)) {
        return MASTER_TRANSFER_OK;
    }
    noteFailure(written);
    const char* why = std::strerror(errno);
    std::cout << "Error sending buffLen " << length << " error " << written << ", " << why
              << std::endl;
    return MASTER_SEND_FAILED;
}

bool NorvaneI2cMaster::pollHeader() {
    _headerPolled = false;
    if (!ownsChannel()) {
        return false;
    }
    const int savedErrno = errno;
    const ssize_t received = ::read(_fd, _polledHeader, kHeaderSize);
    countTransaction(received < 0);
    errno = savedErrno;
    _headerPolled = received == static_cast<ssize_t>(kHeaderSize) && _polledHeader[0] != kIdle;
    return _headerPolled;
}

// The header that a poll read, or a fresh read of it.
ssize_t NorvaneI2cMaster::readHeader(uint8_t* header) {
    if (!_headerPolled) {
        return readChannel(header, kHeaderSize);
    }
    _headerPolled = false;
    std::copy(_polledHeader, _polledHeader + kHeaderSize, header);
    return static_cast<ssize_t>(kHeaderSize);
}

int32_t NorvaneI2cMaster::receive(uint8_t*& payload, uint16_t& payloadLength) {
    FrameParser parser;
    _error = MASTER_OK;
    uint8_t buffer[kReceiveBufferSize];
    ssize_t received = readHeader(buffer);
    printHeader(buffer, received);
    if (received != static_cast<ssize_t>(kHeaderSize)) {
        return MASTER_RECEIVE_FAILED;
    }
    parser.feedBytes(buffer, static_cast<uint16_t>(kHeaderSize));
    if (parser.error() != 0) {
        return MASTER_RECEIVE_FAILED;
    }
    size_t rest = ((static_cast<size_t>(buffer[1]) << 8) | buffer[2]) + kTrailerSize;
    ssize_t restReceived = readChannel(buffer, rest);
    if (restReceived > 0) {
        parser.feedBytes(buffer, static_cast<uint16_t>(restReceived));
    }
    if (parser.error() != 0 || !parser.isComplete()) {
        return MASTER_RECEIVE_FAILED;
    }
    return parser.takePayload(payload, payloadLength) == 0 ? MASTER_TRANSFER_OK
                                                           : MASTER_RECEIVE_FAILED;
}
