#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "FrameBuilder.h"

/// One node request payload on its way into a frame: little-endian integers and texts
/// appended after the opcode.
///
/// Keeps its own payload count so that an argument that does not fit is refused whole
/// and remembered, instead of being silently dropped from the frame.
class RequestFrame {
  public:
    explicit RequestFrame(uint8_t opcode);

    RequestFrame& putByte(uint8_t value);
    RequestFrame& putU32(uint32_t value);
    RequestFrame& putU64(uint64_t value);
    RequestFrame& putBytes(const uint8_t* data, size_t count);
    /// The text's bytes, without a terminator.
    RequestFrame& putText(const std::string& text);
    /// The text's bytes followed by a NUL.
    RequestFrame& putTerminatedText(const std::string& text);

    /// False once an argument could not be added.
    bool fits() const { return fits_; }

    /// Closes the frame and hands out a malloc'd copy that the caller frees; false when no
    /// copy could be made or an argument did not fit.
    bool take(uint8_t*& frame, uint16_t& length);

  private:
    bool hasRoomFor(size_t count);
    void store(const uint8_t* data, size_t count);

    FrameBuilder builder_;
    size_t payloadSize_ = 0;
    bool fits_ = true;
};
