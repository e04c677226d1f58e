#include <gtest/gtest.h>

#include <vector>

#include "Crc16.h"

namespace {

// Bit-at-a-time definition of the same CRC, independent of the table.
uint16_t bitwiseCrc(const uint8_t* data, size_t count) {
    uint16_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

const uint8_t kDigits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

TEST(Crc16, GivesTheCheckValueForTheNineDigitsWhateverWasStoredBefore) {
    uint16_t crc = 0x1234;
    EXPECT_EQ(crc16(crc, kDigits, 9), 0x31C3);
    EXPECT_EQ(crc, 0x31C3);
    EXPECT_EQ(crc16(crc, kDigits, 0), 0) << "no bytes";
    EXPECT_EQ(crc, 0);
}

TEST(Crc16, UpdateContinuesFromTheStoredValue) {
    uint16_t crc = 0;
    crc16(crc, kDigits, 4);
    EXPECT_EQ(crc16Update(crc, kDigits + 4, 5), 0x31C3);
    EXPECT_EQ(crc, 0x31C3);
    EXPECT_EQ(crc16Update(crc, kDigits, 0), 0x31C3) << "no bytes";
}

TEST(Crc16, MatchesTheBitwiseDefinitionForEverySingleByteAndTheLongestCount) {
    for (int b = 0; b < 256; ++b) {
        const uint8_t byte = static_cast<uint8_t>(b);
        uint16_t crc = 0;
        EXPECT_EQ(crc16(crc, &byte, 1), bitwiseCrc(&byte, 1)) << "byte " << b;
    }
    std::vector<uint8_t> data(65535);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
    }
    uint16_t crc = 0;
    EXPECT_EQ(crc16(crc, data.data(), 65535), bitwiseCrc(data.data(), data.size()));
}

}  // namespace
