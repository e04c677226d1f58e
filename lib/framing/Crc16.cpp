#include "Crc16.h"

#include <array>
#include <bit>
#include <cstddef>

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

// The two bytes of the selected table entry play different parts in the step
// crc = table[(crc >> 8) ^ b] ^ ((crc & 0xFF) << 8): the high byte, mixed with the old low
// byte and the next input byte, picks the next entry; the low byte only waits one step.
// Reading the two halves of the entry as separate bytes keeps the serial chain per input
// byte down to one table load and one XOR.
constexpr int kHighHalf = std::endian::native == std::endian::little ? 1 : 0;
constexpr int kLowHalf = 1 - kHighHalf;

inline uint32_t highByteOf(size_t index) {
    return reinterpret_cast<const uint8_t*>(kTable.data())[2 * index + kHighHalf];
}

inline uint32_t lowByteOf(size_t index) {
    return reinterpret_cast<const uint8_t*>(kTable.data())[2 * index + kLowHalf];
}

uint16_t run(uint16_t crc, const uint8_t* data, uint16_t count) {
    if (count == 0) {
        return crc;
    }
    size_t low = crc & 0xFFu;
    size_t index = (crc >> 8) ^ data[0];
    if (count > 1) {
        // The old low byte and the next input byte are combined one step ahead, off the
        // chain that runs through the table loads.
        size_t mix = low ^ data[1];
        for (uint16_t k = 2; k < count; ++k) {
            low = lowByteOf(index);
            index = highByteOf(index) ^ mix;
            mix = low ^ data[k];
        }
        low = lowByteOf(index);
        index = highByteOf(index) ^ mix;
    }
    return static_cast<uint16_t>(((highByteOf(index) ^ low) << 8) | lowByteOf(index));
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
