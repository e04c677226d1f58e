#include "WireFrame.h"

#include <array>
#include <stdexcept>

namespace sim {

namespace {

// The table is derived here from the polynomial, bit by bit, rather than
// copied: a second, independent computation of the same CRC.
constexpr uint16_t crcOfByte(uint8_t byte) {
    uint16_t crc = static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
        crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                  : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

constexpr std::array<uint16_t, 256> makeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (int i = 0; i < 256; ++i)
        table[static_cast<std::size_t>(i)] = crcOfByte(static_cast<uint8_t>(i));
    return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = makeCrcTable();

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

DecodedFrame failure(const char* reason) {
    DecodedFrame frame;
    frame.error = reason;
    return frame;
}

}  // namespace

uint16_t crc16Xmodem(const uint8_t* data, std::size_t count) {
    uint16_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ data[i]) & 0xFF]);
    }
    return crc;
}

Bytes encodeFrame(const Bytes& payload) {
    Bytes frame;
    frame.reserve(payload.size() + 6);
    frame.push_back(kFrameStart);
    frame.push_back(static_cast<uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<uint8_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    const uint16_t crc = crc16Xmodem(frame.data() + 1, payload.size() + 2);
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(kFrameEnd);
    return frame;
}

DecodedFrame decodeFrame(const Bytes& frame) {
    if (frame.size() < 3) return failure("short header");
    if (frame[0] != kFrameStart) return failure("bad start byte");
    const std::size_t length = (std::size_t{frame[1]} << 8) | frame[2];
    if (length > kMaxPayload) return failure("length above 8186");
    if (frame.size() < length + 6) return failure("short frame");
    if (frame.size() > length + 6) return failure("bytes after the frame");
    const uint16_t carried = static_cast<uint16_t>((frame[length + 3] << 8) | frame[length + 4]);
    if (carried != crc16Xmodem(frame.data() + 1, length + 2)) return failure("bad crc");
    if (frame[length + 5] != kFrameEnd) return failure("bad end byte");
    DecodedFrame decoded;
    decoded.ok = true;
    decoded.payload.assign(frame.begin() + 3, frame.begin() + 3 + static_cast<long>(length));
    return decoded;
}

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

std::string hex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        if (!text.empty()) text += ' ';
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

Bytes fromHex(std::string_view text) {
    Bytes bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ') continue;
        const int digit = hexDigit(c);
        if (digit < 0) throw std::invalid_argument("not a hex digit in: " + std::string(text));
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>((high << 4) | digit));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits: " + std::string(text));
    return bytes;
}

void putLe32(Bytes& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void putLe64(Bytes& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t le32At(const Bytes& bytes, std::size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | bytes.at(offset + static_cast<std::size_t>(i));
    return value;
}

uint64_t le64At(const Bytes& bytes, std::size_t offset) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | bytes.at(offset + static_cast<std::size_t>(i));
    return value;
}

}  // namespace sim
