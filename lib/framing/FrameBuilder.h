#pragma once

#include <cstddef>
#include <cstdint>

// Assembles one outgoing frame in place:
//   0x02, payload length (16-bit big-endian), payload, CRC-16 of length and payload
//   (big-endian), 0x04.
// Lives on the caller's stack; the only heap block is the copy handed out by take().
class FrameBuilder {
  public:
    static constexpr uint16_t kBufferSize = 8192;
    static constexpr uint16_t kMaxPayload = 8186;

    FrameBuilder();

    // Empties the frame and opens it for a new payload.
    void reset();

    // 0 stored, 1 frame already finished, 2 payload already full.
    int32_t putByte(uint8_t b);

    // The count's low 16 bits when stored, 1 frame already finished, 2 payload would grow
    // past kMaxPayload (nothing is stored).
    int32_t putBytes(const uint8_t* data, size_t count);
    // The count when stored, 1 frame already finished, 2 payload would grow past
    // kMaxPayload (nothing is stored).
    int32_t putBytes(const uint8_t* data, uint16_t count);

    // Writes the length field, the CRC and the end byte; later calls change nothing.
    void finish();

    // Hands out a malloc'd copy of the finished frame, which the caller frees.
    // 0 done, -1 frame not finished, 3 out of memory (out and outLength untouched).
    int32_t take(uint8_t*& out, uint16_t& outLength) const;

  private:
    uint8_t buffer[kBufferSize];
    uint16_t position;
    uint8_t open;
};
