#pragma once
// The simulated board's unified event log: every simulated device operation and every
// sleep, in the order they happened, with the fake clock's time stamp. Tests
// assert ordering ("write, usleep 100000, read 3, read 6") through `str()`.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "WireFrame.h"

namespace sim {

enum class EventKind {
    Open,         // a simulated path was opened (also refused opens)
    Close,        // a simulated descriptor was closed
    Select,       // I2C_SLAVE / I2C_SLAVE_FORCE
    Funcs,        // I2C_FUNCS
    Probe,        // I2C_SMBUS send-byte (or any other SMBus transaction)
    Write,        // write() to an i2c descriptor: one I2C write transaction
    Read,         // read() from an i2c descriptor: one I2C read transaction
    Sleep,        // usleep, sleep, nanosleep, clock_nanosleep
    GpioRequest,  // line handle requested (value = initial output value)
    GpioSet,      // GPIOHANDLE_SET_LINE_VALUES
    GpioRelease,  // line handle closed
};

struct Event {
    EventKind kind = EventKind::Open;
    uint64_t timeUs = 0;        // wall-clock microseconds (fake clock when fake)
    std::string path{};         // device path, or the sleep call's name for Sleep
    int address = -1;           // i2c address, or GPIO line offset
    std::size_t requested = 0;  // bytes asked for (read/write), or sleep duration in us
    ssize_t result = 0;         // the call's return value
    int error = 0;              // errno set by the call, 0 on success
    int value = 0;              // GPIO value, probe data byte
    Bytes bytes{};              // bytes written or delivered
    Bytes reply{};              // Write: the reply frame the node prepared
    std::string fault{};        // Write: name of the fault that hit the request
    // Write/Read/Probe: time of its bits on the wire (0: the bus has no speed).
    uint64_t wireUs = 0;
    bool idle = false;  // Read: came before the node's reply was ready, got 0xFF bytes

    // Compact one-line form, fixed per kind:
    //   "open /dev/i2c-3"            "open /dev/i2c-9 ENOENT"
    //   "close /dev/i2c-3"
    //   "select 0x10"                "select 0x48 EBUSY"
    //   "funcs"                      "funcs EIO"
    //   "probe 0x10 ack"             "probe 0x11 nack"
    //   "write 0x10 9"               "write 0x10 9 EIO"   "write 0x10 9 -> 8"
    //   "read 0x10 3"                "read 0x10 6 ENXIO"  "read 0x10 6 -> 5"
    //   "usleep 100000"   "sleep 1000000"   "nanosleep 5000"   "clock_nanosleep 5000"
    //   (Sleep always shows microseconds)
    //   "gpio request 7 1"  "gpio request 7 EBUSY"  "gpio set 7 0"  "gpio set 7 0 EIO"
    //   "gpio release 7"
    // Errors are the errno's symbolic name; "-> n" is a short result.
    std::string str() const;
};

}  // namespace sim
