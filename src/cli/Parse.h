#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// A number in decimal or, with a 0x prefix, hexadecimal, no larger than `max`.
std::optional<uint64_t> parseNumber(std::string_view text, uint64_t max);
// A 7-bit I2C address.
std::optional<uint8_t> parseAddress(std::string_view text);
// The addresses one argument names: one address, a list "0x10,0x11,0x14", ranges "0x10-0x17",
// mixes of both, or "all" (the nodes that answer, found when the call runs). An address named
// twice is kept once, where it came first.
struct AddressList {
    std::vector<uint8_t> addresses;  // in the order given; empty for "all"
    bool all = false;
    bool several = false;  // more than a single address was written, even if it names one
    std::string fault;     // why the text is not a list, naming the bad part; empty when it is
};
AddressList parseAddressList(std::string_view text);
// "3" or "/dev/i2c-3" (decimal, 0..1048575, leading zeros allowed) as the bus device path.
std::optional<std::string> parseBus(std::string_view text);
// "0x20".
std::string addressText(unsigned address);

}  // namespace cli
