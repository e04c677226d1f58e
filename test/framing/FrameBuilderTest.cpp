// The builder's exact bytes and refusals. Building any payload and parsing it
// back, and the payload limit for both putBytes overloads, are carried by the
// frame_roundtrip fuzz target's corpus replay.
#include <gtest/gtest.h>

#include "FrameBuilder.h"
#include "FrameBytes.h"

namespace {

using frametest::Bytes;
using frametest::kAbcFrame;
using frametest::kEmptyFrame;

const uint8_t kAbc[] = {'a', 'b', 'c'};

Bytes takeFrame(const FrameBuilder& builder) {
    uint8_t* out = nullptr;
    uint16_t length = 0;
    if (builder.take(out, length) != 0) {
        return {};
    }
    frametest::Block owned(out);
    return Bytes(out, out + length);
}

struct Filling {
    const char* name;
    void (*put)(FrameBuilder&);
    Bytes frame;
};

const Filling kFillings[] = {
    {"AbcPutWithACount", [](FrameBuilder& b) { EXPECT_EQ(b.putBytes(kAbc, uint16_t{3}), 3); },
     kAbcFrame},
    {"AbcPutWithAWideCount", [](FrameBuilder& b) { EXPECT_EQ(b.putBytes(kAbc, size_t{3}), 3); },
     kAbcFrame},
    {"AbcPutByteByByte",
     [](FrameBuilder& b) {
         for (uint8_t c : kAbc) {
             EXPECT_EQ(b.putByte(c), 0);
         }
     },
     kAbcFrame},
    {"NothingPut", [](FrameBuilder&) {}, kEmptyFrame},
    {"NothingPutWithZeroCounts",
     [](FrameBuilder& b) {
         EXPECT_EQ(b.putBytes(nullptr, size_t{0}), 0);
         EXPECT_EQ(b.putBytes(nullptr, uint16_t{0}), 0);
     },
     kEmptyFrame},
};

class FrameBuilderFinishedFrame : public testing::TestWithParam<Filling> {};

TEST_P(FrameBuilderFinishedFrame, IsTheExpectedBytesAndCanBeTakenTwice) {
    FrameBuilder builder;
    GetParam().put(builder);
    builder.finish();
    EXPECT_EQ(takeFrame(builder), GetParam().frame);
    EXPECT_EQ(takeFrame(builder), GetParam().frame);
}

INSTANTIATE_TEST_SUITE_P(Fillings, FrameBuilderFinishedFrame, testing::ValuesIn(kFillings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FrameBuilderFinishedFrameOnce, IsUnchangedByASecondFinish) {
    FrameBuilder builder;
    builder.putBytes(kAbc, size_t{3});
    builder.finish();
    builder.finish();
    EXPECT_EQ(takeFrame(builder), kAbcFrame);
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

TEST(FrameBuilderAfterFinish, RefusesEveryPutWithOneUntilReset) {
    FrameBuilder builder;
    builder.putByte(0x55);
    builder.finish();
    EXPECT_EQ(builder.putByte(0x01), 1);
    EXPECT_EQ(builder.putBytes(kAbc, size_t{3}), 1);
    EXPECT_EQ(builder.putBytes(kAbc, uint16_t{3}), 1);
    EXPECT_EQ(takeFrame(builder), frametest::fromHex("02 00 01 55 39 61 04"));
    builder.reset();
    ASSERT_EQ(builder.putBytes(kAbc, uint16_t{3}), 3);
    builder.finish();
    EXPECT_EQ(takeFrame(builder), kAbcFrame);
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

TEST(FrameBuilderCapacity, PutBytesRefusesACountJustPastSixtyFourKibibytes) {
    // Narrowed to 16 bits, 65536 + 3 would look like 3 and be accepted.
    const Bytes payload(65536 + 3, 0x11);
    FrameBuilder builder;
    EXPECT_EQ(builder.putBytes(payload.data(), payload.size()), 2);
    EXPECT_EQ(builder.putBytes(payload.data(), size_t{65536}), 2);
    builder.finish();
    EXPECT_EQ(takeFrame(builder), kEmptyFrame);
}

}  // namespace
