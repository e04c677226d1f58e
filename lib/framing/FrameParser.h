#pragma once

#include <cstdint>

// What the parser waits for next.
enum class FrameState : int32_t {
    WaitStart = 0,
    Length = 1,
    Payload = 2,
    Crc = 3,
    WaitEnd = 4,
    Complete = 5,  // the frame is whole and its CRC matched
};

// Parser results; the recorded ones stop the parser until reset().
enum FrameError : int32_t {
    FRAME_OK = 0,
    FRAME_CRC_MISMATCH = 1,      // recorded
    FRAME_LENGTH_TOO_LARGE = 2,  // recorded: length field above 8186
    FRAME_NOT_COMPLETE = 3,      // takePayload before the frame is whole
    FRAME_ALREADY_COMPLETE = 4,  // byte fed to a parser holding a whole frame
    FRAME_NO_MEMORY = 5,         // takePayload could not allocate its copy
    FRAME_BAD_START = 6,         // recorded: first byte is not 0x02
    FRAME_BAD_END = 7,           // recorded: byte after the CRC is not 0x04
};

// Checks one incoming frame byte by byte (layout as built by FrameBuilder) and hands out
// its payload. Lives on the caller's stack; the only heap block is takePayload's copy.
class FrameParser {
  public:
    static constexpr uint16_t kBufferSize = 8192;
    static constexpr uint16_t kMaxPayload = 8186;

    FrameParser();

    // Forgets everything, including a recorded error.
    void reset();

    // The recorded error if there is one (the byte is refused); otherwise the code of one
    // state machine step.
    int32_t feedChecked(uint8_t b);

    // Feeds bytes in order. 0 when they ran out or the frame became Complete (the bytes
    // after the end byte are then left alone); otherwise the recorded error.
    int32_t feedBytes(const uint8_t* data, uint16_t byteCount);

    // Hands out a malloc'd copy of the payload followed by one zero byte, which the caller
    // frees. 0 done, 3 frame not Complete, 5 out of memory (out and outLength untouched).
    int32_t takePayload(uint8_t*& out, uint16_t& outLength) const;

    int32_t error() const { return error_; }
    bool isComplete() const { return state == FrameState::Complete; }

  private:
    int32_t step(uint8_t b);
    int32_t stepWaitStart(uint8_t b);
    int32_t stepLength(uint8_t b);
    int32_t stepPayload(uint8_t b);
    int32_t stepCrc(uint8_t b);
    int32_t stepWaitEnd(uint8_t b);
    void store(uint8_t b) { buffer[count++] = b; }
    int32_t record(int32_t code) { return error_ = code; }

    uint8_t buffer[kBufferSize];
    uint16_t count;
    uint16_t length;
    uint16_t receivedCrc;
    int32_t error_;
    FrameState state;
};
