#include "PayloadReader.h"

#include <cstring>

PayloadReader::PayloadReader(const ReplyPayload& payload, size_t offset)
    : data_(payload.data()), size_(payload.size()), position_(offset) {}

template <typename Value>
bool PayloadReader::readLittleEndian(Value& value) {
    if (data_ == nullptr || position_ > size_ || size_ - position_ < sizeof(Value)) {
        return false;
    }
    Value decoded = 0;
    for (size_t i = 0; i < sizeof(Value); ++i) {
        decoded |= static_cast<Value>(data_[position_ + i]) << (8 * i);
    }
    value = decoded;
    position_ += sizeof(Value);
    return true;
}

bool PayloadReader::readU32(uint32_t& value) {
    return readLittleEndian(value);
}

bool PayloadReader::readU64(uint64_t& value) {
    return readLittleEndian(value);
}

bool PayloadReader::readBytes(uint8_t* out, size_t count) {
    if (data_ == nullptr || position_ > size_ || size_ - position_ < count) {
        return false;
    }
    std::memcpy(out, data_ + position_, count);
    position_ += count;
    return true;
}

bool PayloadReader::readText(std::string& text) {
    if (data_ == nullptr || position_ > size_) {
        return false;
    }
    // The terminator after the payload bounds the search.
    const auto* start = data_ + position_;
    const auto* end = static_cast<const uint8_t*>(std::memchr(start, 0, size_ - position_ + 1));
    text.assign(reinterpret_cast<const char*>(start), static_cast<size_t>(end - start));
    position_ = static_cast<size_t>(end - data_) + 1;
    return true;
}
