// The parser's exact result codes, byte by byte. That any bytes, fed whole, in
// chunks or one by one, agree and never reach past the frame is carried by the
// frame_parser fuzz target's corpus replay.
#include <gtest/gtest.h>

#include <string>

#include "FrameBytes.h"
#include "FrameParser.h"

namespace {

using frametest::Bytes;
using frametest::fromHex;
using frametest::kAbcFrame;

struct Feeding {
    const char* name;
    std::string bytes;    // hex
    std::string results;  // feedChecked's code for each byte, one digit each
    bool complete;
    std::string payload;  // hex, when complete
};

const std::string kAbc = "02 00 03 61 62 63 06 0A 04";

const Feeding kFeedings[] = {
    {"OfAValidFrameAcceptsEveryByte", kAbc, "000000000", true, "61 62 63"},
    {"WithAnEmptyPayloadCompletesWithPayloadLengthZero", "02 00 00 00 00 04", "000000", true, ""},
    {"WithAnEmptyPayloadChecksItsCrc", "02 00 00 00 01 04", "000011", false, ""},
    {"IsNotCompleteUntilItsEndByte", "02 00 03 61 62 63 06 0A", "00000000", false, ""},
    {"RecordsACrcMismatchAtTheSecondCrcByte", "02 00 03 61 62 63 06 0B 04", "000000011", false, ""},
    {"RecordsACorruptedPayloadAsACrcMismatch", "02 00 03 61 42 63 06 0A 04", "000000011", false,
     ""},
    {"RecordsABadStartAtTheFirstByte", "03 00 03 61 62 63 06 0A 04", "666666666", false, ""},
    {"RecordsABadEndAfterTheCrcMatched", "02 00 03 61 62 63 06 0A 03", "000000007", false, ""},
    {"RecordsALengthAboveTheLargestPayloadAtTheThirdByte", "02 1F FB 00", "0022", false, ""},
    {"RecordsALengthOfAllOnesAsTooLarge", "02 FF FF 00", "0022", false, ""},
    {"AcceptsTheLengthOfTheLargestPayload", "02 1F FA", "000", false, ""},
    {"RefusesBytesAfterACompleteFrameWithFourAndKeepsItsPayload", kAbc + " 02 00 02 78 79 00 2E 04",
     "00000000044444444", true, "61 62 63"},
};

// The code a parser records and feedBytes returns: the first that is not 0 or 4.
int32_t recordedCode(const std::string& results) {
    const std::size_t at = results.find_first_not_of("04");
    return at == std::string::npos ? 0 : results[at] - '0';
}

class FrameParserFeeding : public testing::TestWithParam<Feeding> {};

TEST_P(FrameParserFeeding, GivesTheExpectedCodesFedByteByByteOrWhole) {
    const Bytes bytes = fromHex(GetParam().bytes);
    FrameParser single;
    std::string results;
    for (uint8_t b : bytes) {
        results += std::to_string(single.feedChecked(b));
    }
    EXPECT_EQ(results, GetParam().results);
    EXPECT_EQ(single.error(), recordedCode(results));
    EXPECT_EQ(single.isComplete(), GetParam().complete);

    FrameParser whole;
    EXPECT_EQ(whole.feedBytes(bytes.data(), static_cast<uint16_t>(bytes.size())),
              recordedCode(results));
    EXPECT_EQ(whole.isComplete(), GetParam().complete);
    uint8_t sentinel = 0;
    uint8_t* out = &sentinel;
    uint16_t length = 9999;
    const int32_t taken = whole.takePayload(out, length);
    frametest::Block owned(taken == 0 ? out : nullptr);
    if (GetParam().complete) {
        ASSERT_EQ(taken, 0);
        Bytes payload = fromHex(GetParam().payload);
        EXPECT_EQ(length, payload.size());
        payload.push_back(0);
        EXPECT_EQ(Bytes(out, out + length + 1), payload) << "the payload, then a zero byte";
    } else {
        EXPECT_EQ(taken, 3);
        EXPECT_EQ(out, &sentinel);
        EXPECT_EQ(length, 9999);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, FrameParserFeeding, testing::ValuesIn(kFeedings),
                         [](const auto& info) { return std::string(info.param.name); });

int32_t feed(FrameParser& parser, const Bytes& bytes) {
    return parser.feedBytes(bytes.data(), static_cast<uint16_t>(bytes.size()));
}

TEST(FrameParserRecordedError, RefusesLaterBytesUntilReset) {
    FrameParser parser;
    feed(parser, fromHex("02 00 03 61 62 63 06 0B 04"));
    EXPECT_EQ(feed(parser, kAbcFrame), 1);
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

}  // namespace
