#pragma once
// An independent encoder/decoder of the node link frame, used by the simulated
// node and offered to tests to build expected bytes. It deliberately shares no
// code with the product's framing library, so a fault there cannot hide itself.
//
// Frame: 0x02, length (2 bytes, big-endian), payload, CRC-16/XMODEM over the
// length field and the payload (2 bytes, big-endian), 0x04.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kFrameStart = 0x02;
inline constexpr uint8_t kFrameEnd = 0x04;
inline constexpr std::size_t kMaxPayload = 8186;

// CRC-16/XMODEM (poly 0x1021, init 0, no reflection, no final xor).
uint16_t crc16Xmodem(const uint8_t* data, std::size_t count);

// The whole frame around `payload`.
Bytes encodeFrame(const Bytes& payload);

struct DecodedFrame {
    bool ok = false;
    std::string error;  // empty when ok, else a short reason ("bad crc", ...)
    Bytes payload;
};

// Checks one complete frame: exactly one frame, nothing before or after it.
DecodedFrame decodeFrame(const Bytes& frame);

// "abc" -> 61 62 63 (no terminator).
Bytes bytesOf(std::string_view text);
// Bytes -> "02 00 03 61" (upper-case hex, single spaces).
std::string hex(const Bytes& bytes);
// "02 00 03 61" or "02000361" -> bytes; spaces are ignored.
Bytes fromHex(std::string_view text);

void putLe32(Bytes& out, uint32_t value);
void putLe64(Bytes& out, uint64_t value);
uint32_t le32At(const Bytes& bytes, std::size_t offset);
uint64_t le64At(const Bytes& bytes, std::size_t offset);

}  // namespace sim
