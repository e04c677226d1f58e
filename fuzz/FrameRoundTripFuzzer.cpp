// Builds a frame around arbitrary payload bytes and parses it back: the
// parser must hand out exactly the payload that went in, and the builder must
// refuse anything past the largest payload without storing it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "FrameBuilder.h"
#include "FrameParser.h"
#include "FuzzCheck.h"

namespace {

// The first byte goes in through putByte, the rest through one of the two
// putBytes overloads, so every way of adding payload is exercised.
size_t addPayload(FrameBuilder& builder, const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    require(builder.putByte(data[0]) == 0, "an open, empty frame takes a byte");
    const size_t rest = size - 1;
    const bool fits = rest <= FrameBuilder::kMaxPayload - 1u;
    const int32_t result = (data[0] & 1)
                               ? builder.putBytes(data + 1, rest)
                               : builder.putBytes(data + 1, static_cast<uint16_t>(rest));
    if (!fits) {
        require(result == 2, "a payload past 8186 bytes is refused");
        return 1;
    }
    require(result == static_cast<int32_t>(rest), "putBytes returns the count it stored");
    return size;
}

void checkFinished(FrameBuilder& builder) {
    require(builder.putByte(0) == 1, "a finished frame takes no more bytes");
    require(builder.putBytes(nullptr, size_t{0}) == 1, "a finished frame takes no more bytes");
}

void checkParsesBack(const uint8_t* frame, uint16_t frameLength, const uint8_t* data,
                     size_t stored) {
    FrameParser parser;
    require(parser.feedBytes(frame, frameLength) == 0, "a built frame parses without error");
    require(parser.isComplete(), "a built frame parses to completion");
    uint8_t* payload = nullptr;
    uint16_t length = 0;
    require(parser.takePayload(payload, length) == 0, "a parsed frame yields its payload");
    require(length == stored, "the payload comes back with its length");
    require(std::memcmp(payload, data, stored) == 0, "the payload comes back unchanged");
    require(payload[length] == 0, "the payload copy ends in a zero byte");
    std::free(payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FrameBuilder builder;
    uint8_t* frame = nullptr;
    uint16_t frameLength = 0;
    require(builder.take(frame, frameLength) == -1, "an open frame cannot be taken");
    const size_t stored = addPayload(builder, data, size);
    builder.finish();
    checkFinished(builder);
    require(builder.take(frame, frameLength) == 0, "a finished frame can be taken");
    require(frameLength == stored + 6, "a frame is its payload and six bytes");
    checkParsesBack(frame, frameLength, data, stored);
    std::free(frame);
    return 0;
}
