#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "FrameBuilder.h"
#include "FrameParser.h"

// Test helpers: own the malloc'd blocks that the frame classes hand out.
namespace frametest {

using Bytes = std::vector<uint8_t>;

struct FreeBlock {
    void operator()(uint8_t* p) const { std::free(p); }
};
using Block = std::unique_ptr<uint8_t, FreeBlock>;

// The "abc" frame: 02, length 00 03, payload, CRC 06 0A, 04.
inline const Bytes kAbcFrame = {0x02, 0x00, 0x03, 0x61, 0x62, 0x63, 0x06, 0x0A, 0x04};

inline Bytes takeFrame(const FrameBuilder& builder) {
    uint8_t* out = nullptr;
    uint16_t length = 0;
    if (builder.take(out, length) != 0) {
        return {};
    }
    Block owned(out);
    return Bytes(out, out + length);
}

inline Bytes buildFrame(const Bytes& payload) {
    FrameBuilder builder;
    builder.putBytes(payload.data(), payload.size());
    builder.finish();
    return takeFrame(builder);
}

inline int32_t feed(FrameParser& parser, const Bytes& bytes) {
    return parser.feedBytes(bytes.data(), static_cast<uint16_t>(bytes.size()));
}

// The payload block's bytes including the zero byte placed after the payload.
inline Bytes takePayloadWithTerminator(const FrameParser& parser) {
    uint8_t* out = nullptr;
    uint16_t length = 0;
    if (parser.takePayload(out, length) != 0) {
        return {};
    }
    Block owned(out);
    return Bytes(out, out + length + 1);
}

inline Bytes patternedPayload(size_t size) {
    Bytes payload(size);
    uint32_t x = 0x9E3779B9u;
    for (auto& b : payload) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return payload;
}

}  // namespace frametest
