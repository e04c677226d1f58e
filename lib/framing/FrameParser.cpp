#include "FrameParser.h"

#include <cstdlib>
#include <cstring>

#include "Crc16.h"

namespace {
constexpr uint8_t kStartByte = 0x02;
constexpr uint8_t kEndByte = 0x04;
constexpr uint16_t kHeaderSize = 3;
constexpr uint16_t kCrcSize = 2;
}  // namespace

FrameParser::FrameParser() {
    reset();
}

void FrameParser::reset() {
    std::memset(buffer, 0, sizeof buffer);
    count = 0;
    length = 0;
    receivedCrc = 0;
    error_ = FRAME_OK;
    state = FrameState::WaitStart;
}

int32_t FrameParser::feedChecked(uint8_t b) {
    if (error_ != FRAME_OK) {
        return error_;
    }
    return step(b);
}

int32_t FrameParser::feedBytes(const uint8_t* data, uint16_t byteCount) {
    for (uint16_t i = 0; i < byteCount; ++i) {
        if (error_ != FRAME_OK) {
            return error_;
        }
        if (step(data[i]) != FRAME_OK) {
            return error_;
        }
        if (state == FrameState::Complete) {
            return FRAME_OK;
        }
    }
    return FRAME_OK;
}

int32_t FrameParser::takePayload(uint8_t*& out, uint16_t& outLength) const {
    if (state != FrameState::Complete) {
        return FRAME_NOT_COMPLETE;
    }
    auto* block = static_cast<uint8_t*>(std::malloc(length + 1u));
    if (block == nullptr) {
        return FRAME_NO_MEMORY;
    }
    if (length != 0) {
        std::memcpy(block, buffer + kHeaderSize, length);
    }
    block[length] = 0;
    out = block;
    outLength = length;
    return FRAME_OK;
}

int32_t FrameParser::step(uint8_t b) {
    switch (state) {
        case FrameState::WaitStart:
            return stepWaitStart(b);
        case FrameState::Length:
            return stepLength(b);
        case FrameState::Payload:
            return stepPayload(b);
        case FrameState::Crc:
            return stepCrc(b);
        case FrameState::WaitEnd:
            return stepWaitEnd(b);
        case FrameState::Complete:
            break;
    }
    return FRAME_ALREADY_COMPLETE;
}

int32_t FrameParser::stepWaitStart(uint8_t b) {
    if (b != kStartByte) {
        return record(FRAME_BAD_START);
    }
    store(b);
    state = FrameState::Length;
    return FRAME_OK;
}

// An empty payload has no Payload bytes to wait for, so its CRC follows the length field
// directly.
int32_t FrameParser::stepLength(uint8_t b) {
    store(b);
    if (count < kHeaderSize) {
        return FRAME_OK;
    }
    length = static_cast<uint16_t>((buffer[1] << 8) | buffer[2]);
    state = length == 0 ? FrameState::Crc : FrameState::Payload;
    if (length > kMaxPayload) {
        return record(FRAME_LENGTH_TOO_LARGE);
    }
    return FRAME_OK;
}

int32_t FrameParser::stepPayload(uint8_t b) {
    store(b);
    if (count == kHeaderSize + length) {
        state = FrameState::Crc;
    }
    return FRAME_OK;
}

int32_t FrameParser::stepCrc(uint8_t b) {
    store(b);
    if (count < kHeaderSize + length + kCrcSize) {
        return FRAME_OK;
    }
    receivedCrc = static_cast<uint16_t>((buffer[kHeaderSize + length] << 8) |
                                        buffer[kHeaderSize + length + 1]);
    uint16_t computed = 0;
    crc16(computed, buffer + 1, static_cast<uint16_t>(length + 2));
    if (computed != receivedCrc) {
        return record(FRAME_CRC_MISMATCH);
    }
    state = FrameState::WaitEnd;
    return FRAME_OK;
}

int32_t FrameParser::stepWaitEnd(uint8_t b) {
    if (b != kEndByte) {
        return record(FRAME_BAD_END);
    }
    store(b);
    state = FrameState::Complete;
    return FRAME_OK;
}
