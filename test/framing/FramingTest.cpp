// CRC-16 values, the builder's exact bytes and refusals, the parser's exact result codes.
// Building any payload and parsing it back, and any bytes fed whole, in chunks or one by one,
// are carried by the frame_roundtrip and frame_parser fuzz targets' corpus replays.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "Crc16.h"
#include "FrameBuilder.h"
#include "FrameParser.h"

namespace {

using Bytes = std::vector<uint8_t>;

// "02 00 03" -> {0x02, 0x00, 0x03}.
Bytes fromHex(const std::string& text) {
    Bytes bytes;
    std::istringstream in(text);
    for (unsigned value = 0; in >> std::hex >> value;) bytes.push_back(static_cast<uint8_t>(value));
    return bytes;
}

// Copies and frees a malloc'd block the frame classes handed out.
Bytes owned(uint8_t* block, std::size_t length) {
    Bytes bytes(block, block + length);
    std::free(block);
    return bytes;
}

const std::string kAbcHex = "02 00 03 61 62 63 06 0A 04";  // start, length, payload, CRC, end
const Bytes kAbcFrame = fromHex(kAbcHex);
const Bytes kEmptyFrame = fromHex("02 00 00 00 00 04");
const uint8_t kAbc[] = {'a', 'b', 'c'};
const uint8_t kDigits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

// Values of the bit-at-a-time definition: the nine digits' check value, the bytes 0 to 255,
// and the longest count of a pattern.
TEST(Crc16, GivesTheDefinitionsValuesWhateverWasStoredAndUpdateContinuesFromTheStoredOne) {
    uint16_t crc = 0x1234;
    EXPECT_EQ(crc16(crc, kDigits, 9), 0x31C3);
    EXPECT_EQ(crc16(crc, kDigits, 0), 0) << "no bytes";
    crc16(crc, kDigits, 4);
    EXPECT_EQ(crc16Update(crc, kDigits + 4, 5), 0x31C3);
    EXPECT_EQ(crc16Update(crc, kDigits, 0), 0x31C3) << "no bytes";
    EXPECT_EQ(crc, 0x31C3);
    Bytes data(65535);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i < 256 ? i : i * 31 + (i >> 8));
    EXPECT_EQ(crc16(crc, data.data(), 256), 0x7E55);
    for (size_t i = 0; i < 256; ++i) data[i] = static_cast<uint8_t>(i * 31);
    EXPECT_EQ(crc16(crc, data.data(), 65535), 0xE963);
}

Bytes takeFrame(const FrameBuilder& builder) {
    uint8_t* out = nullptr;
    uint16_t length = 0;
    return builder.take(out, length) == 0 ? owned(out, length) : Bytes{};
}

// Narrowed to 16 bits, a count of 65536 + 3 would look like 3 and be accepted.
TEST(FrameBuilder, FramesWhatItWasGivenToTheExactBytesOnceHoweverOftenFinishedOrTaken) {
    FrameBuilder narrow, wide, byByte, none, zeros, tooMuch;
    EXPECT_EQ(narrow.putBytes(kAbc, uint16_t{3}) + wide.putBytes(kAbc, size_t{3}), 6);
    for (uint8_t c : kAbc) EXPECT_EQ(byByte.putByte(c), 0);
    EXPECT_EQ(zeros.putBytes(nullptr, size_t{0}) + zeros.putBytes(nullptr, uint16_t{0}), 0);
    const Bytes big(65539);
    EXPECT_EQ(tooMuch.putBytes(big.data(), big.size()), 2);
    EXPECT_EQ(tooMuch.putBytes(big.data(), size_t{65536}), 2);
    std::vector<Bytes> frames;
    for (FrameBuilder* builder : {&narrow, &wide, &byByte, &none, &zeros, &tooMuch}) {
        builder->finish();
        builder->finish();
        EXPECT_EQ(takeFrame(*builder), takeFrame(*builder));
        frames.push_back(takeFrame(*builder));
    }
    EXPECT_EQ(frames, (std::vector<Bytes>{kAbcFrame, kAbcFrame, kAbcFrame, kEmptyFrame, kEmptyFrame,
                                          kEmptyFrame}));
}

TEST(FrameBuilder, HandsOutNothingBeforeFinishAndRefusesEveryPutAfterItUntilReset) {
    FrameBuilder builder;
    builder.putByte(0x55);
    uint8_t* out = nullptr;
    uint16_t length = 0;
    EXPECT_EQ(builder.take(out, length), -1);
    builder.finish();
    EXPECT_EQ(builder.putByte(1) + builder.putBytes(kAbc, size_t{3}) +
                  builder.putBytes(kAbc, uint16_t{3}),
              3);
    EXPECT_EQ(takeFrame(builder), fromHex("02 00 01 55 39 61 04"));
    builder.reset();
    ASSERT_EQ(builder.putBytes(kAbc, uint16_t{3}), 3);
    builder.finish();
    EXPECT_EQ(takeFrame(builder), kAbcFrame);
}

TEST(FrameBuilder, AcceptsPutByteUpToTheLargestPayloadThenReturnsTwo) {
    FrameBuilder builder;
    for (int i = 0; i < FrameBuilder::kMaxPayload; ++i) {
        ASSERT_EQ(builder.putByte(static_cast<uint8_t>(i)), 0) << "byte " << i;
    }
    EXPECT_EQ(builder.putByte(0xFF), 2);
    builder.finish();
    EXPECT_EQ(takeFrame(builder).size(), 8192u);
}

struct Feeding {
    const char* name;
    std::string bytes;    // hex
    std::string results;  // feedChecked's code for each byte, one digit each
    std::string payload;  // hex, or "-" when the frame is not complete
};

const Feeding kFeedings[] = {
    {"OfAValidFrameAcceptsEveryByte", kAbcHex, "000000000", "61 62 63"},
    {"WithAnEmptyPayloadCompletesWithPayloadLengthZero", "02 00 00 00 00 04", "000000", ""},
    {"WithAnEmptyPayloadChecksItsCrc", "02 00 00 00 01 04", "000011", "-"},
    {"IsNotCompleteUntilItsEndByte", "02 00 03 61 62 63 06 0A", "00000000", "-"},
    {"RecordsACrcMismatchAtTheSecondCrcByte", "02 00 03 61 62 63 06 0B 04", "000000011", "-"},
    {"RecordsABadStartAtTheFirstByte", "03 00 03 61 62 63 06 0A 04", "666666666", "-"},
    {"RecordsABadEndAfterTheCrcMatched", "02 00 03 61 62 63 06 0A 03", "000000007", "-"},
    {"RecordsALengthAboveTheLargestPayloadAtTheThirdByte", "02 1F FB 00", "0022", "-"},
    {"AcceptsTheLengthOfTheLargestPayload", "02 1F FA", "000", "-"},
    {"RefusesBytesAfterACompleteFrameWithFourAndKeepsItsPayload",
     kAbcHex + " 02 00 02 78 79 00 2E 04", "00000000044444444", "61 62 63"},
};

class FrameParserFeeding : public testing::TestWithParam<Feeding> {};

// The code a parser records and feedBytes returns is the first that is not 0 or 4.
TEST_P(FrameParserFeeding, GivesTheExpectedCodesFedByteByByteOrWhole) {
    const Bytes bytes = fromHex(GetParam().bytes);
    const bool complete = GetParam().payload != "-";
    FrameParser single;
    std::string results;
    for (uint8_t b : bytes) results += std::to_string(single.feedChecked(b));
    EXPECT_EQ(results, GetParam().results);
    const std::size_t at = results.find_first_not_of("04");
    const int32_t recorded = at == std::string::npos ? 0 : results[at] - '0';

    FrameParser whole;
    EXPECT_EQ(whole.feedBytes(bytes.data(), static_cast<uint16_t>(bytes.size())), recorded);
    EXPECT_EQ(whole.isComplete(), complete);
    uint8_t* out = nullptr;
    uint16_t length = 0;
    ASSERT_EQ(whole.takePayload(out, length), complete ? 0 : 3);
    if (complete) {
        EXPECT_EQ(owned(out, length + 1), fromHex(GetParam().payload + " 00"));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, FrameParserFeeding, testing::ValuesIn(kFeedings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FrameParser, WithARecordedErrorRefusesLaterBytesUntilResetButNotAFeedOfNoBytes) {
    FrameParser parser;
    parser.feedChecked(0x55);
    EXPECT_EQ(parser.feedBytes(kAbcFrame.data(), 0), 0);
    EXPECT_EQ(parser.feedBytes(kAbcFrame.data(), 9), 6);
    EXPECT_FALSE(parser.isComplete());
    parser.reset();
    EXPECT_EQ(parser.error(), 0);
    EXPECT_EQ(parser.feedBytes(kAbcFrame.data(), 9), 0);
    EXPECT_TRUE(parser.isComplete());
}

}  // namespace
