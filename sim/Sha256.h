#pragma once
// SHA-256, independent of the product's digest.

#include <array>
#include <cstdint>

#include "WireFrame.h"

namespace sim {

std::array<uint8_t, 32> sha256(const Bytes& data);

}  // namespace sim
