#pragma once

#include <cstdint>

/// One record of a record query. `data` is a malloc'd block of `length` bytes plus a NUL,
/// owned by whoever holds the record and released with `free`.
struct NodeRecord {
    uint32_t tag;
    uint8_t* data;
    uint32_t length;
};
