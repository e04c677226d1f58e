#include "FrameBuilder.h"

#include <cstdlib>
#include <cstring>

#include "Crc16.h"

namespace {
constexpr uint8_t kStartByte = 0x02;
constexpr uint8_t kEndByte = 0x04;
constexpr uint16_t kHeaderSize = 3;
}  // namespace

FrameBuilder::FrameBuilder() {
    reset();
}

void FrameBuilder::reset() {
    std::memset(buffer, 0, sizeof buffer);
    buffer[0] = kStartByte;
    position = kHeaderSize;
    open = 1;
}

int32_t FrameBuilder::putByte(uint8_t b) {
    if (!open) {
        return 1;
    }
    if (position - kHeaderSize >= kMaxPayload) {
        return 2;
    }
    buffer[position++] = b;
    return 0;
}

// The whole count is checked before anything is narrowed, so a count just past a multiple
// of 65536 is refused rather than taken for its low 16 bits.
int32_t FrameBuilder::putBytes(const uint8_t* data, size_t count) {
    if (!open) {
        return 1;
    }
    if (count > static_cast<size_t>(kMaxPayload - (position - kHeaderSize))) {
        return 2;
    }
    if (count != 0) {
        std::memcpy(buffer + position, data, count);
        position = static_cast<uint16_t>(position + count);
    }
    return static_cast<uint16_t>(count);
}

int32_t FrameBuilder::putBytes(const uint8_t* data, uint16_t count) {
    return putBytes(data, static_cast<size_t>(count));
}

void FrameBuilder::finish() {
    if (!open) {
        return;
    }
    open = 0;
    const uint16_t p = position;
    const uint16_t payloadLength = p - kHeaderSize;
    buffer[1] = static_cast<uint8_t>(payloadLength >> 8);
    buffer[2] = static_cast<uint8_t>(payloadLength & 0xFF);
    uint16_t crc = 0;
    crc16(crc, buffer + 1, static_cast<uint16_t>(p - 1));
    buffer[p] = static_cast<uint8_t>(crc >> 8);
    buffer[p + 1] = static_cast<uint8_t>(crc & 0xFF);
    buffer[p + 2] = kEndByte;
    position = static_cast<uint16_t>(p + 3);
}

int32_t FrameBuilder::take(uint8_t*& out, uint16_t& outLength) const {
    if (open) {
        return -1;
    }
    auto* block = static_cast<uint8_t*>(std::malloc(position));
    if (block == nullptr) {
        return 3;
    }
    std::memcpy(block, buffer, position);
    out = block;
    outLength = position;
    return 0;
}
