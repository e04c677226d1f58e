#pragma once
// What the simulated board keeps per simulated descriptor. Internal to the simulated board.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "SimBoard.h"

namespace sim {

struct SimBoard::Descriptor {
    // GpioHandle: a line handle of uAPI v1; GpioLineRequest: a line request of uAPI v2;
    // SysfsAttribute: a read-only attribute file of a bus or the chip.
    enum class Kind { I2c, GpioChip, GpioHandle, GpioLineRequest, SysfsAttribute, Stale };

    Kind kind = Kind::Stale;
    std::string path;
    uint8_t address = 0;          // I2c: selected by I2C_SLAVE
    std::vector<unsigned> lines;  // GpioHandle, GpioLineRequest: requested offsets
    std::size_t offset = 0;       // SysfsAttribute: read position
    int remote = -1;              // a program's descriptor: the board's one behind it (BoardClient.h)
};

// The simulated board when one exists, without creating it: the interposer must not
// build a simulated board for a process that never asked for one.
SimBoard* existingBoard();

}  // namespace sim
