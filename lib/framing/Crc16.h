#pragma once

#include <cstdint>

// CRC-16/XMODEM (polynomial 0x1021, initial value 0, no reflection, no final XOR), one
// 256-entry table lookup per byte, most significant bit first.

// Starts from 0, runs over count bytes, stores the result in crc and returns it.
uint16_t crc16(uint16_t& crc, const uint8_t* data, uint16_t count);

// Continues from the value already held in crc, stores the result in crc and returns it.
uint16_t crc16Update(uint16_t& crc, const uint8_t* data, uint16_t count);
