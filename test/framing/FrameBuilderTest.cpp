#include <gtest/gtest.h>

#include "FrameBuilder.h"
#include "FrameBytes.h"

namespace {

using frametest::Bytes;
using frametest::takeFrame;

const uint8_t kAbc[] = {'a', 'b', 'c'};

TEST(FrameBuilderFinishedFrame, OfAbcIsTheNineExpectedBytes) {
    FrameBuilder builder;
    ASSERT_EQ(builder.putBytes(kAbc, uint16_t{3}), 3);
    builder.finish();
    uint8_t* out = nullptr;
    uint16_t length = 0;
    ASSERT_EQ(builder.take(out, length), 0);
    frametest::Block owned(out);
    EXPECT_EQ(length, 9);
    EXPECT_EQ(Bytes(out, out + length), frametest::kAbcFrame);
}

TEST(FrameBuilderFinishedFrame, IsTheSameWhetherBytesArePutOneByOneOrTogether) {
    FrameBuilder builder;
    for (uint8_t b : kAbc) {
        ASSERT_EQ(builder.putByte(b), 0);
    }
    builder.finish();
    EXPECT_EQ(takeFrame(builder), frametest::kAbcFrame);
}

TEST(FrameBuilderFinishedFrame, OfAnEmptyPayloadIsSixBytes) {
    FrameBuilder builder;
    builder.finish();
    EXPECT_EQ(takeFrame(builder), (Bytes{0x02, 0x00, 0x00, 0x00, 0x00, 0x04}));
}

TEST(FrameBuilderFinishedFrame, CanBeTakenMoreThanOnce) {
    FrameBuilder builder;
    builder.putBytes(kAbc, size_t{3});
    builder.finish();
    EXPECT_EQ(takeFrame(builder), frametest::kAbcFrame);
    EXPECT_EQ(takeFrame(builder), frametest::kAbcFrame);
}

TEST(FrameBuilderFinishedFrame, IsUnchangedByASecondFinish) {
    FrameBuilder builder;
    builder.putBytes(kAbc, size_t{3});
    builder.finish();
    builder.finish();
    EXPECT_EQ(takeFrame(builder), frametest::kAbcFrame);
}

TEST(FrameBuilderTake, BeforeFinishReturnsMinusOneAndHandsOutNothing) {
    FrameBuilder builder;
    builder.putByte(0xE2);
    uint8_t sentinel = 0;
    uint8_t* out = &sentinel;
    uint16_t length = 77;
    EXPECT_EQ(builder.take(out, length), -1);
    EXPECT_EQ(out, &sentinel);
    EXPECT_EQ(length, 77);
}

TEST(FrameBuilderAfterFinish, RefusesPutByteWithOne) {
    FrameBuilder builder;
    builder.finish();
    EXPECT_EQ(builder.putByte(0x01), 1);
}

TEST(FrameBuilderAfterFinish, RefusesBothPutBytesOverloadsWithOne) {
    FrameBuilder builder;
    builder.finish();
    EXPECT_EQ(builder.putBytes(kAbc, size_t{3}), 1);
    EXPECT_EQ(builder.putBytes(kAbc, uint16_t{3}), 1);
    EXPECT_EQ(takeFrame(builder), (Bytes{0x02, 0x00, 0x00, 0x00, 0x00, 0x04}));
}

TEST(FrameBuilderAfterFinish, ReopensOnReset) {
    FrameBuilder builder;
    builder.putByte(0x55);
    builder.finish();
    builder.reset();
    ASSERT_EQ(builder.putBytes(kAbc, uint16_t{3}), 3);
    builder.finish();
    EXPECT_EQ(takeFrame(builder), frametest::kAbcFrame);
}

TEST(FrameBuilderCapacity, AcceptsPutByteUpToTheLargestPayloadThenReturnsTwo) {
    FrameBuilder builder;
    for (int i = 0; i < FrameBuilder::kMaxPayload; ++i) {
        ASSERT_EQ(builder.putByte(static_cast<uint8_t>(i)), 0) << "byte " << i;
    }
    EXPECT_EQ(builder.putByte(0xFF), 2);
    builder.finish();
    EXPECT_EQ(takeFrame(builder).size(), 8192u);
}

TEST(FrameBuilderCapacity, PutBytesOfTheLargestPayloadReturnsItsCount) {
    const Bytes payload = frametest::patternedPayload(8186);
    FrameBuilder wide;
    EXPECT_EQ(wide.putBytes(payload.data(), size_t{8186}), 8186);
    FrameBuilder narrow;
    EXPECT_EQ(narrow.putBytes(payload.data(), uint16_t{8186}), 8186);
}

TEST(FrameBuilderCapacity, PutBytesThatWouldOverflowReturnsTwoAndStoresNothing) {
    const Bytes payload = frametest::patternedPayload(8187);
    FrameBuilder builder;
    builder.putBytes(kAbc, uint16_t{3});
    EXPECT_EQ(builder.putBytes(payload.data(), size_t{8184}), 2);
    EXPECT_EQ(builder.putBytes(payload.data(), uint16_t{8184}), 2);
    EXPECT_EQ(builder.putBytes(payload.data(), size_t{8183}), 8183);
    EXPECT_EQ(builder.putByte(0x00), 2);
}

TEST(FrameBuilderCapacity, PutBytesRefusesACountJustPastSixtyFourKibibytes) {
    // Narrowed to 16 bits, 65536 + 3 would look like 3 and be accepted.
    const Bytes payload(65536 + 3, 0x11);
    FrameBuilder builder;
    EXPECT_EQ(builder.putBytes(payload.data(), payload.size()), 2);
    EXPECT_EQ(builder.putBytes(payload.data(), size_t{65536}), 2);
    builder.finish();
    EXPECT_EQ(takeFrame(builder), (Bytes{0x02, 0x00, 0x00, 0x00, 0x00, 0x04}));
}

TEST(FrameBuilderCapacity, PutBytesOfNothingStoresNothing) {
    FrameBuilder builder;
    EXPECT_EQ(builder.putBytes(nullptr, size_t{0}), 0);
    EXPECT_EQ(builder.putBytes(nullptr, uint16_t{0}), 0);
    builder.finish();
    EXPECT_EQ(takeFrame(builder).size(), 6u);
}

}  // namespace
