#include "Scan.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

extern "C" {
#include <i2c/smbus.h>
}

#include "ErrorTexts.h"
#include "ExitStatus.h"
#include "Json.h"
#include "Parse.h"

namespace cli {

namespace {

constexpr unsigned kLastAddress = 0x7F;
constexpr unsigned kColumns = 16;
constexpr uint8_t kProbeByte = 0x00;

unsigned firstAddress(bool all) {
    return all ? 0 : kFirstOrdinary;
}
unsigned lastAddress(bool all) {
    return all ? kLastAddress : kLastOrdinary;
}

// Wire: I2C_SLAVE address, then one SMBus send-byte of 0x00.
void probe(int fd, unsigned address, ScanResult& result) {
    if (::ioctl(fd, I2C_SLAVE, static_cast<unsigned long>(address)) < 0) {
        if (errno == EBUSY) {
            result.busy.insert(address);
        }
        return;
    }
    if (i2c_smbus_write_byte(fd, kProbeByte) >= 0) {
        result.addresses.insert(address);
    }
}

std::string cell(const ScanResult& result, unsigned address) {
    if (address < firstAddress(result.all) || address > lastAddress(result.all)) {
        return "  ";
    }
    if (result.busy.count(address) != 0) {
        return "UU";
    }
    if (result.addresses.count(address) != 0) {
        char text[4];
        std::snprintf(text, sizeof text, "%02x", address);
        return text;
    }
    return "--";
}

std::string gridRow(const ScanResult& result, unsigned rowStart) {
    char label[8];
    std::snprintf(label, sizeof label, "%02x:", rowStart);
    std::string row = label;
    for (unsigned column = 0; column < kColumns; ++column) {
        row += " " + cell(result, rowStart + column);
    }
    row.erase(row.find_last_not_of(' ') + 1);
    return row + "\n";
}

json_object* addressArray(const std::set<unsigned>& addresses) {
    json_object* array = json_object_new_array();
    for (unsigned address : addresses) {
        json_object_array_add(array, json_object_new_int(static_cast<int>(address)));
    }
    return array;
}

}  // namespace

ScanResult scanBus(const std::string& bus, bool all) {
    ScanResult result;
    result.bus = bus;
    result.all = all;
    const int fd = ::open(bus.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        result.openError = errno;
        return result;
    }
    for (unsigned address = firstAddress(all); address <= lastAddress(all); ++address) {
        probe(fd, address, result);
    }
    ::close(fd);
    return result;
}

std::string scanGrid(const ScanResult& result) {
    std::string grid = "   ";
    for (unsigned column = 0; column < kColumns; ++column) {
        char heading[4];
        std::snprintf(heading, sizeof heading, "  %x", column);
        grid += heading;
    }
    grid += "\n";
    for (unsigned rowStart = 0; rowStart <= kLastAddress; rowStart += kColumns) {
        grid += gridRow(result, rowStart);
    }
    return grid;
}

void addScan(json_object* document, const ScanResult& result) {
    setText(document, "bus", result.bus);
    setValue(document, "addresses", addressArray(result.addresses));
    setValue(document, "busy", addressArray(result.busy));
}

std::string scanQuestion(const std::string& bus, bool all) {
    return "This probes every address from " + addressText(firstAddress(all)) + " to " +
           addressText(lastAddress(all)) + " on " + bus +
           " with a one-byte write, which some devices take as a command. Continue?";
}

int runScan(Console& console, const Settings& settings, bool all) {
    JsonDocument document = newObject();
    if (!settings.yes && !console.confirm(scanQuestion(settings.bus, all))) {
        return console.fail(document.get(), "status", kNotConfirmed, kNotConfirmedText);
    }
    const ScanResult result = scanBus(settings.bus, all);
    addScan(document.get(), result);
    if (result.openError != 0) {
        return console.fail(document.get(), "status", kBusUnusable,
                            busOpenText(settings.bus, result.openError));
    }
    setNumber(document.get(), "status", 0);
    console.printDocument(document.get());
    console.print(scanGrid(result));
    return 0;
}

}  // namespace cli
