#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

extern "C" {
#include <i2c/smbus.h>
}

#include "SBC.h"

const std::set<uint16_t> SBC::reservedI2cAddresses{0x1A, 0x21, 0x40, 0x48, 0x49, 0x4F, 0x57};

namespace {

constexpr const char* kBoardBus = "/dev/i2c-3";
constexpr uint16_t kFirstAddress = 0x00;
constexpr uint16_t kLastAddress = 0x7F;
constexpr uint8_t kProbeByte = 0x00;
constexpr const char* kRule = "-------------------------------------------------";

void reportUnusableBus(const std::string& bus) {
    std::cerr << "Failed to open I2C bus " << bus << std::endl;
}

// A kernel driver holding the address refuses the select; nothing answering refuses the byte.
// Wire: I2C_SLAVE address, then one SMBus send-byte of 0x00.
bool answers(int fd, uint16_t address) {
    return ::ioctl(fd, I2C_SLAVE, static_cast<unsigned long>(address)) >= 0 &&
           i2c_smbus_write_byte(fd, kProbeByte) >= 0;
}

std::set<uint16_t> probeEveryAddress(int fd) {
    std::set<uint16_t> found;
    for (uint16_t address = kFirstAddress; address <= kLastAddress; ++address) {
        if (answers(fd, address)) {
            found.insert(address);
        }
    }
    return found;
}

// The functionality bits are asked for only to learn that the adapter works: the send-byte
// probe is used whatever they say.
std::set<uint16_t> scanBus(const std::string& bus) {
    const int fd = ::open(bus.c_str(), O_RDWR);
    if (fd < 0) {
        std::cerr << "Error: Could not open file " << bus << std::endl;
        reportUnusableBus(bus);
        return {};
    }
    unsigned long funcs = 0;
    if (::ioctl(fd, I2C_FUNCS, &funcs) < 0) {
        std::cerr << "Error: Could not get the adapter functionality matrix: "
                  << std::strerror(errno) << std::endl;
        reportUnusableBus(bus);
        ::close(fd);
        return {};
    }
    std::set<uint16_t> found = probeEveryAddress(fd);
    ::close(fd);
    return found;
}

void printAddresses(const std::set<uint16_t>& addresses) {
    for (uint16_t address : addresses) {
        char line[8];
        std::snprintf(line, sizeof line, "0x%X", static_cast<unsigned>(address));
        std::cout << line << std::endl;
    }
}

void printReport(const ActiveAddresses& plan, const ActiveAddresses& active) {
    std::cout << kRule << std::endl;
    for (const auto& [bus, reserved] : plan) {
        std::cout << "Reserved devices on " << bus << std::endl;
        printAddresses(reserved);
    }
    std::cout << kRule << std::endl;
    std::cout << kRule << std::endl;
    for (const auto& [bus, addresses] : active) {
        std::cout << "Active devices on " << bus << std::endl;
        printAddresses(addresses);
    }
    std::cout << kRule << std::endl;
}

}  // namespace

ActiveAddresses SBC::scanI2cBuses() {
    const ActiveAddresses plan{{kBoardBus, reservedI2cAddresses}};
    ActiveAddresses active;
    for (const auto& entry : plan) {
        const std::set<uint16_t>& reserved = entry.second;
        std::set<uint16_t> found = scanBus(entry.first);
        std::erase_if(found, [&](uint16_t address) { return reserved.count(address) != 0; });
        active[entry.first] = std::move(found);
    }
    printReport(plan, active);
    return active;
}
