#include <gtest/gtest.h>

#include <algorithm>

#include "FrameBuilder.h"
#include "FrameBytes.h"
#include "FrameParser.h"

namespace {

using frametest::Bytes;

class FrameRoundTrip : public testing::TestWithParam<size_t> {};

TEST_P(FrameRoundTrip, ParsesTheBuiltFrameBackToItsPayload) {
    const Bytes payload = frametest::patternedPayload(GetParam());
    const Bytes frame = frametest::buildFrame(payload);
    ASSERT_EQ(frame.size(), payload.size() + 6);

    FrameParser parser;
    ASSERT_EQ(frametest::feed(parser, frame), 0);
    ASSERT_TRUE(parser.isComplete());
    uint8_t* out = nullptr;
    uint16_t length = 0;
    ASSERT_EQ(parser.takePayload(out, length), 0);
    frametest::Block owned(out);
    EXPECT_EQ(length, payload.size());
    EXPECT_EQ(Bytes(out, out + length), payload);
    EXPECT_EQ(out[length], 0);
}

TEST_P(FrameRoundTrip, SurvivesBeingFedInThreeByteReads) {
    const Bytes frame = frametest::buildFrame(frametest::patternedPayload(GetParam()));
    FrameParser parser;
    for (size_t at = 0; at < frame.size(); at += 3) {
        const size_t n = std::min<size_t>(3, frame.size() - at);
        ASSERT_EQ(parser.feedBytes(frame.data() + at, static_cast<uint16_t>(n)), 0);
    }
    EXPECT_TRUE(parser.isComplete());
}

INSTANTIATE_TEST_SUITE_P(PayloadSizes, FrameRoundTrip,
                         testing::Values(size_t{0}, size_t{1}, size_t{2}, size_t{255}, size_t{256},
                                         size_t{8185}, size_t{8186}));

}  // namespace
