// Feeds arbitrary bytes to the frame parser three ways (all at once, in
// chunks, one byte at a time) and checks that they agree, that a complete
// frame is exactly what the bytes say, and that nothing outside the parser's
// buffer or the payload copy is touched.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Crc16.h"
#include "FrameBuilder.h"
#include "FrameParser.h"
#include "FuzzCheck.h"

namespace {

constexpr size_t kMaxFeed = 0xFFFF;

bool isKnownParserError(int32_t code) {
    return code == 0 || code == 1 || code == 2 || code == 6 || code == 7;
}

uint16_t bigEndianAt(const uint8_t* data, size_t offset) {
    return static_cast<uint16_t>((data[offset] << 8) | data[offset + 1]);
}

void feedInChunks(FrameParser& parser, const uint8_t* data, uint16_t size, size_t chunk) {
    for (size_t done = 0; done < size; done += chunk) {
        const size_t left = size - done;
        parser.feedBytes(data + done, static_cast<uint16_t>(left < chunk ? left : chunk));
    }
}

void feedOneByOne(FrameParser& parser, const uint8_t* data, uint16_t size) {
    for (uint16_t i = 0; i < size && !parser.isComplete(); ++i) {
        if (parser.feedChecked(data[i]) != 0) {
            require(parser.feedChecked(data[i]) == parser.error(),
                    "a parser with an error refuses every byte with that error");
            return;
        }
    }
}

void checkSameOutcome(const FrameParser& a, const FrameParser& b) {
    require(a.error() == b.error(), "feeding in chunks records the same error");
    require(a.isComplete() == b.isComplete(), "feeding in chunks completes alike");
}

void checkFrameMatchesBytes(const uint8_t* data, size_t size, const uint8_t* payload,
                            uint16_t length) {
    require(length <= FrameParser::kMaxPayload, "a payload is at most 8186 bytes");
    require(size >= length + 6u, "a complete frame was fed whole");
    require(data[0] == 0x02, "a frame starts with 0x02");
    require(bigEndianAt(data, 1) == length, "the length field is the payload length");
    require(std::memcmp(payload, data + 3, length) == 0, "the payload is the fed bytes");
    require(payload[length] == 0, "the payload copy ends in a zero byte");
    uint16_t crc = 0;
    crc16(crc, data + 1, static_cast<uint16_t>(length + 2));
    require(bigEndianAt(data, 3 + length) == crc, "a complete frame carries its own CRC");
    require(data[5 + length] == 0x04, "a frame ends with 0x04");
}

void checkRebuildsTheSameFrame(const uint8_t* data, const uint8_t* payload, uint16_t length) {
    FrameBuilder builder;
    builder.putBytes(payload, length);
    builder.finish();
    uint8_t* frame = nullptr;
    uint16_t frameLength = 0;
    require(builder.take(frame, frameLength) == 0, "a finished frame can be taken");
    require(frameLength == length + 6u, "the rebuilt frame has the same length");
    require(std::memcmp(frame, data, frameLength) == 0, "the rebuilt frame has the same bytes");
    std::free(frame);
}

void checkComplete(const FrameParser& parser, const uint8_t* data, size_t size) {
    uint8_t* payload = nullptr;
    uint16_t length = 0;
    require(parser.takePayload(payload, length) == 0, "a complete frame yields its payload");
    checkFrameMatchesBytes(data, size, payload, length);
    checkRebuildsTheSameFrame(data, payload, length);
    std::free(payload);
}

void checkIncomplete(const FrameParser& parser) {
    uint8_t* payload = nullptr;
    uint16_t length = 0;
    require(parser.takePayload(payload, length) == 3, "an incomplete frame yields nothing");
    require(payload == nullptr, "an incomplete frame hands out no block");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto fed = static_cast<uint16_t>(size < kMaxFeed ? size : kMaxFeed);

    FrameParser whole;
    const int32_t result = whole.feedBytes(data, fed);
    require(isKnownParserError(result), "feedBytes returns 0 or a recorded error");
    require(result == whole.error(), "feedBytes returns the recorded error");

    FrameParser chunked;
    feedInChunks(chunked, data, fed, size == 0 ? 1 : data[0] % 13 + 1);
    checkSameOutcome(whole, chunked);

    FrameParser single;
    feedOneByOne(single, data, fed);
    checkSameOutcome(whole, single);

    if (whole.isComplete()) {
        require(whole.feedChecked(0x02) == 4, "a complete parser refuses more bytes");
        checkComplete(whole, data, fed);
    } else {
        checkIncomplete(whole);
    }
    return 0;
}
