#pragma once

#include <cstddef>
#include <cstdint>

class NorvaneI2cMaster;

/// A reply's fields start after its leading "OK".
constexpr size_t kReplyFieldsOffset = 2;

/// The payload block of one reply, freed when the reply step that received it ends.
///
/// The block holds `size()` payload bytes followed by one NUL, so a text that runs to the
/// end of the payload is still terminated.
class ReplyPayload {
  public:
    ReplyPayload() = default;
    ~ReplyPayload();
    ReplyPayload(const ReplyPayload&) = delete;
    ReplyPayload& operator=(const ReplyPayload&) = delete;

    /// The master's receive result (0 on success); replaces any block held before.
    int32_t receive(NorvaneI2cMaster& master);

    /// Only the first two bytes are tested: "OKAY" is accepted, "ok" and "KO" are not.
    bool beginsWithOk() const;

    const uint8_t* data() const { return data_; }
    uint16_t size() const { return size_; }

  private:
    uint8_t* data_ = nullptr;
    uint16_t size_ = 0;
};
