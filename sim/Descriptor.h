#pragma once
// What the bed keeps per simulated descriptor. Internal to the bed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Bed.h"

namespace bed {

struct Bed::Descriptor {
    // GpioHandle: a line handle of uAPI v1; GpioLineRequest: a line request of uAPI v2.
    enum class Kind { I2c, GpioChip, GpioHandle, GpioLineRequest, SysfsDev, Stale };

    Kind kind = Kind::Stale;
    std::string path;
    uint8_t address = 0;          // I2c: selected by I2C_SLAVE
    std::vector<unsigned> lines;  // GpioHandle, GpioLineRequest: requested offsets
    std::size_t offset = 0;       // SysfsDev: read position
};

// The bed when one exists, without creating it: the interposer must not
// build a bed for a process that never asked for one.
Bed* existingBed();

}  // namespace bed
