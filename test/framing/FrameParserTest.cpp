#include <gtest/gtest.h>

#include "FrameBytes.h"
#include "FrameParser.h"

namespace {

using frametest::Bytes;
using frametest::feed;
using frametest::kAbcFrame;
using frametest::takePayloadWithTerminator;

Bytes withByte(Bytes bytes, size_t index, uint8_t value) {
    bytes[index] = value;
    return bytes;
}

// Feeds bytes one by one and returns each step's result.
std::vector<int32_t> feedEach(FrameParser& parser, const Bytes& bytes) {
    std::vector<int32_t> results;
    for (uint8_t b : bytes) {
        results.push_back(parser.feedChecked(b));
    }
    return results;
}

TEST(FrameParserValidFrame, OfAbcCompletesAndYieldsItsPayloadWithAZeroAfterIt) {
    FrameParser parser;
    EXPECT_EQ(feed(parser, kAbcFrame), 0);
    EXPECT_TRUE(parser.isComplete());
    EXPECT_EQ(parser.error(), 0);
    uint8_t* out = nullptr;
    uint16_t length = 0;
    ASSERT_EQ(parser.takePayload(out, length), 0);
    frametest::Block owned(out);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{'a', 'b', 'c', 0}));
}

TEST(FrameParserValidFrame, FedByteByByteAcceptsEveryByte) {
    FrameParser parser;
    EXPECT_EQ(feedEach(parser, kAbcFrame), std::vector<int32_t>(9, 0));
    EXPECT_TRUE(parser.isComplete());
}

TEST(FrameParserValidFrame, IsNotCompleteUntilItsEndByte) {
    FrameParser parser;
    feed(parser, Bytes(kAbcFrame.begin(), kAbcFrame.end() - 1));
    EXPECT_FALSE(parser.isComplete());
    EXPECT_EQ(parser.error(), 0);
}

TEST(FrameParserValidFrame, WithAnEmptyPayloadCompletesWithPayloadLengthZero) {
    FrameParser parser;
    EXPECT_EQ(feed(parser, {0x02, 0x00, 0x00, 0x00, 0x00, 0x04}), 0);
    ASSERT_TRUE(parser.isComplete());
    uint8_t* out = nullptr;
    uint16_t length = 99;
    ASSERT_EQ(parser.takePayload(out, length), 0);
    frametest::Block owned(out);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(out[0], 0);
}

TEST(FrameParserValidFrame, WithAnEmptyPayloadChecksItsCrc) {
    FrameParser parser;
    EXPECT_EQ(feed(parser, {0x02, 0x00, 0x00, 0x00, 0x01, 0x04}), 1);
    EXPECT_EQ(parser.error(), 1);
}

TEST(FrameParserValidFrame, FollowedByExtraBytesStopsAfterTheEndByte) {
    Bytes bytes = kAbcFrame;
    const Bytes second = frametest::buildFrame({'x', 'y'});
    bytes.insert(bytes.end(), second.begin(), second.end());
    FrameParser parser;
    EXPECT_EQ(feed(parser, bytes), 0);
    EXPECT_TRUE(parser.isComplete());
    EXPECT_EQ(parser.error(), 0);
    EXPECT_EQ(takePayloadWithTerminator(parser), (Bytes{'a', 'b', 'c', 0}));
}

TEST(FrameParserCompleteFrame, RefusesAFedByteWithFour) {
    FrameParser parser;
    feed(parser, kAbcFrame);
    EXPECT_EQ(parser.feedChecked(0x02), 4);
    EXPECT_EQ(parser.error(), 0);
    EXPECT_TRUE(parser.isComplete());
}

TEST(FrameParserCompleteFrame, IgnoresFeedBytesAndKeepsItsPayload) {
    FrameParser parser;
    feed(parser, kAbcFrame);
    EXPECT_EQ(feed(parser, frametest::buildFrame({'z'})), 0);
    EXPECT_EQ(parser.error(), 0);
    EXPECT_EQ(takePayloadWithTerminator(parser), (Bytes{'a', 'b', 'c', 0}));
}

TEST(FrameParserTakePayload, BeforeCompleteReturnsThreeAndHandsOutNothing) {
    FrameParser parser;
    feed(parser, Bytes(kAbcFrame.begin(), kAbcFrame.begin() + 5));
    uint8_t sentinel = 0;
    uint8_t* out = &sentinel;
    uint16_t length = 42;
    EXPECT_EQ(parser.takePayload(out, length), 3);
    EXPECT_EQ(out, &sentinel);
    EXPECT_EQ(length, 42);
    EXPECT_EQ(parser.error(), 0);
}

TEST(FrameParserTakePayload, OnAFreshParserReturnsThree) {
    FrameParser parser;
    uint8_t* out = nullptr;
    uint16_t length = 0;
    EXPECT_EQ(parser.takePayload(out, length), 3);
}

TEST(FrameParserCrcMismatch, IsRecordedAtTheSecondCrcByte) {
    FrameParser parser;
    const std::vector<int32_t> results = feedEach(parser, withByte(kAbcFrame, 7, 0x0B));
    EXPECT_EQ(results, (std::vector<int32_t>{0, 0, 0, 0, 0, 0, 0, 1, 1}));
    EXPECT_EQ(parser.error(), 1);
    EXPECT_FALSE(parser.isComplete());
}

TEST(FrameParserCrcMismatch, IsReturnedByFeedBytes) {
    FrameParser parser;
    EXPECT_EQ(feed(parser, withByte(kAbcFrame, 7, 0x0B)), 1);
}

TEST(FrameParserCrcMismatch, FromACorruptedPayloadIsDetected) {
    FrameParser parser;
    EXPECT_EQ(feed(parser, withByte(kAbcFrame, 4, 'B')), 1);
}

TEST(FrameParserRecordedError, RefusesLaterBytesUntilReset) {
    FrameParser parser;
    feed(parser, withByte(kAbcFrame, 7, 0x0B));
    EXPECT_EQ(feed(parser, kAbcFrame), 1);
    EXPECT_EQ(parser.feedChecked(0x02), 1);
    EXPECT_FALSE(parser.isComplete());
    parser.reset();
    EXPECT_EQ(parser.error(), 0);
    EXPECT_EQ(feed(parser, kAbcFrame), 0);
    EXPECT_TRUE(parser.isComplete());
}

TEST(FrameParserRecordedError, IsNotReturnedByFeedBytesOfNoBytes) {
    FrameParser parser;
    parser.feedChecked(0x55);
    EXPECT_EQ(parser.feedBytes(kAbcFrame.data(), 0), 0);
    EXPECT_EQ(parser.error(), 6);
}

TEST(FrameParserBadStart, IsRecordedAtTheFirstByte) {
    FrameParser parser;
    EXPECT_EQ(parser.feedChecked(0x03), 6);
    EXPECT_EQ(parser.error(), 6);
    EXPECT_EQ(parser.feedChecked(0x02), 6);
}

TEST(FrameParserBadStart, IsReturnedByFeedBytes) {
    FrameParser parser;
    EXPECT_EQ(feed(parser, withByte(kAbcFrame, 0, 0x00)), 6);
}

TEST(FrameParserBadEnd, IsRecordedAfterTheCrcMatched) {
    FrameParser parser;
    const std::vector<int32_t> results = feedEach(parser, withByte(kAbcFrame, 8, 0x03));
    EXPECT_EQ(results, (std::vector<int32_t>{0, 0, 0, 0, 0, 0, 0, 0, 7}));
    EXPECT_EQ(parser.error(), 7);
    EXPECT_FALSE(parser.isComplete());
}

TEST(FrameParserLengthField, AboveTheLargestPayloadIsRecordedAtTheThirdByte) {
    FrameParser parser;
    EXPECT_EQ(feedEach(parser, {0x02, 0x1F, 0xFB}), (std::vector<int32_t>{0, 0, 2}));
    EXPECT_EQ(parser.error(), 2);
    EXPECT_EQ(parser.feedChecked(0x00), 2);
}

TEST(FrameParserLengthField, OfAllOnesIsRecordedAsTooLarge) {
    FrameParser parser;
    EXPECT_EQ(feed(parser, {0x02, 0xFF, 0xFF, 0x00}), 2);
}

TEST(FrameParserLengthField, OfTheLargestPayloadIsAccepted) {
    FrameParser parser;
    EXPECT_EQ(feedEach(parser, {0x02, 0x1F, 0xFA}), (std::vector<int32_t>{0, 0, 0}));
    EXPECT_EQ(parser.error(), 0);
}

}  // namespace
