#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cli {

// A number in decimal or, with a 0x prefix, hexadecimal, no larger than `max`.
std::optional<uint64_t> parseNumber(std::string_view text, uint64_t max);
// A 7-bit I2C address.
std::optional<uint8_t> parseAddress(std::string_view text);
// "3" or "/dev/i2c-3" (decimal, 0..1048575, leading zeros allowed) as the bus device path.
std::optional<std::string> parseBus(std::string_view text);
// "0x20".
std::string addressText(unsigned address);

}  // namespace cli
