#include "RequestFrame.h"

namespace {

template <typename Value>
void putLittleEndian(RequestFrame& frame, Value value) {
    uint8_t bytes[sizeof(Value)];
    for (size_t i = 0; i < sizeof(Value); ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    frame.putBytes(bytes, sizeof bytes);
}

}  // namespace

RequestFrame::RequestFrame(uint8_t opcode) {
    putByte(opcode);
}

bool RequestFrame::hasRoomFor(size_t count) {
    fits_ = fits_ && count <= FrameBuilder::kMaxPayload - payloadSize_;
    return fits_;
}

void RequestFrame::store(const uint8_t* data, size_t count) {
    if (count > 0) {
        builder_.putBytes(data, count);
        payloadSize_ += count;
    }
}

RequestFrame& RequestFrame::putByte(uint8_t value) {
    return putBytes(&value, 1);
}

RequestFrame& RequestFrame::putU32(uint32_t value) {
    putLittleEndian(*this, value);
    return *this;
}

RequestFrame& RequestFrame::putU64(uint64_t value) {
    putLittleEndian(*this, value);
    return *this;
}

RequestFrame& RequestFrame::putBytes(const uint8_t* data, size_t count) {
    if (hasRoomFor(count)) {
        store(data, count);
    }
    return *this;
}

RequestFrame& RequestFrame::putText(const std::string& text) {
    return putBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

RequestFrame& RequestFrame::putTerminatedText(const std::string& text) {
    if (hasRoomFor(text.size() + 1)) {
        putText(text);
        putByte(0);
    }
    return *this;
}

bool RequestFrame::take(uint8_t*& frame, uint16_t& length) {
    if (!fits_) {
        return false;
    }
    builder_.finish();
    return builder_.take(frame, length) == 0;
}
