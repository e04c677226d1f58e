#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

// Test helpers: bytes written as hex, and ownership of the malloc'd blocks that
// the frame classes hand out.
namespace frametest {

using Bytes = std::vector<uint8_t>;

struct FreeBlock {
    void operator()(uint8_t* p) const { std::free(p); }
};
using Block = std::unique_ptr<uint8_t, FreeBlock>;

// "02 00 03" -> {0x02, 0x00, 0x03}.
inline Bytes fromHex(const std::string& text) {
    Bytes bytes;
    std::istringstream in(text);
    for (unsigned value = 0; in >> std::hex >> value;) {
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

// The "abc" frame: 02, length 00 03, payload, CRC 06 0A, 04.
inline const Bytes kAbcFrame = fromHex("02 00 03 61 62 63 06 0A 04");
inline const Bytes kEmptyFrame = fromHex("02 00 00 00 00 04");

}  // namespace frametest
