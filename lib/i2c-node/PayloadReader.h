#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ReplyPayload.h"

/// A cursor over a reply payload that never reads past the payload and its terminator.
///
/// Every read either succeeds, writes its output and advances, or fails and leaves both the
/// output and the cursor untouched. Integers are little-endian and must lie wholly inside
/// the payload; a text may end on the terminator that follows the payload.
class PayloadReader {
  public:
    PayloadReader(const ReplyPayload& payload, size_t offset);

    bool readU32(uint32_t& value);
    bool readU64(uint64_t& value);
    bool readBytes(uint8_t* out, size_t count);
    /// The bytes up to the next NUL; the cursor moves past that NUL.
    bool readText(std::string& text);

    size_t position() const { return position_; }
    /// Payload bytes left after the cursor, the terminator not counted.
    size_t remaining() const { return position_ < size_ ? size_ - position_ : 0; }

  private:
    template <typename Value>
    bool readLittleEndian(Value& value);

    const uint8_t* data_;
    size_t size_;
    size_t position_;
};
