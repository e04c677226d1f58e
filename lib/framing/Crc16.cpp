#include "Crc16.h"

#include <array>

namespace {

constexpr uint16_t kPolynomial = 0x1021;

constexpr uint16_t tableEntry(uint16_t index) {
    uint16_t value = static_cast<uint16_t>(index << 8);
    for (int bit = 0; bit < 8; ++bit) {
        value = (value & 0x8000) ? static_cast<uint16_t>((value << 1) ^ kPolynomial)
                                 : static_cast<uint16_t>(value << 1);
    }
    return value;
}

constexpr std::array<uint16_t, 256> makeTable() {
    std::array<uint16_t, 256> table{};
    for (uint16_t i = 0; i < 256; ++i) {
        table[i] = tableEntry(i);
    }
    return table;
}

constexpr std::array<uint16_t, 256> kTable = makeTable();

// Kept in a 32-bit register so no byte of the loop spends time on a 16-bit truncation; only
// the low 16 bits are ever meaningful.
uint16_t run(uint32_t crc, const uint8_t* data, uint16_t count) {
    const uint8_t* const end = data + count;
    while (data != end) {
        crc = kTable[((crc >> 8) ^ *data++) & 0xFF] ^ (crc << 8);
    }
    return static_cast<uint16_t>(crc);
}

}  // namespace

uint16_t crc16(uint16_t& crc, const uint8_t* data, uint16_t count) {
    crc = run(0, data, count);
    return crc;
}

uint16_t crc16Update(uint16_t& crc, const uint8_t* data, uint16_t count) {
    crc = run(crc, data, count);
    return crc;
}
