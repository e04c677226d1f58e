#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "BedTest.h"
#include "BusIo.h"

namespace bed::selftest {
namespace {

using ::testing::ElementsAre;

TEST(BedWireFrameTest, EncodesTheAbcExampleAndTheXmodemCheckValue) {
    EXPECT_EQ(hex(encodeFrame(bytesOf("abc"))), "02 00 03 61 62 63 06 0A 04");
    const Bytes digits = bytesOf("123456789");
    EXPECT_EQ(crc16Xmodem(digits.data(), digits.size()), 0x31C3);
}

TEST(BedWireFrameTest, DecodingNamesWhatIsWrong) {
    EXPECT_EQ(decodeFrame(fromHex("02 00 03 61 62 63 06 0B 04")).error, "bad crc");
    EXPECT_EQ(decodeFrame(fromHex("02 00 03 61 62 63 06 0A 05")).error, "bad end byte");
    EXPECT_EQ(decodeFrame(fromHex("02 1F FB")).error, "length above 8186");
    EXPECT_EQ(hex(decodeFrame(fromHex("02 00 03 61 62 63 06 0A 04")).payload), "61 62 63");
}

class BedNodeTest : public BedTest {
  protected:
    void SetUp() override {
        BedTest::SetUp();
        node_ = &addNode(0x10);
        fd_ = openAt("/dev/i2c-3", 0x10);
    }
    void TearDown() override {
        ::close(fd_);
        BedTest::TearDown();
    }
    SimNode& node() { return *node_; }
    Bytes ask(const Bytes& payload) { return exchange(fd_, payload); }

    SimNode* node_ = nullptr;
    int fd_ = -1;
};

TEST_F(BedNodeTest, RecordsTheRequestBytesAsWrittenAndDecoded) {
    ask(fromHex("F1 61 62 00 63 00"));
    const Request& request = node().lastRequest();
    EXPECT_TRUE(request.valid);
    EXPECT_EQ(hex(request.raw), hex(encodeFrame(fromHex("F1 61 62 00 63 00"))));
    EXPECT_EQ(hex(request.arguments()), "61 62 00 63 00");
    EXPECT_EQ(node().state().pairF1First, "ab");
    EXPECT_EQ(node().state().pairF1Second, "c");
}

TEST_F(BedNodeTest, TheReplyIsReadAsHeaderThenTheRest) {
    node().state().identity = {"a", "b", "c", "d"};
    sendFrame(fd_, {0xE2});
    const Bytes frame = receiveFrame(fd_);
    EXPECT_EQ(hex(frame), hex(encodeFrame(bytesOf(std::string("OKa\0b\0c\0d\0", 10)))));
    EXPECT_THAT(bed().trace({EventKind::Write, EventKind::Read}),
                ElementsAre("write 0x10 7", "read 0x10 3", "read 0x10 13"));
}

TEST_F(BedNodeTest, KeepsTheClockAndTheValuesItIsGiven) {
    ask(fromHex("F0 02 01 00 00 00 00 00 00"));
    EXPECT_EQ(hex(ask({0xE0})), "4F 4B 02 01 00 00 00 00 00 00");
    ask(fromHex("B0 05 01 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00"));
    EXPECT_EQ(hex(ask({0xA0})),
              "4F 4B 05 01 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00");
}

TEST_F(BedNodeTest, AnswersTextMapsRecordsAndLines) {
    node().state().textMap = {{1, "x"}, {2, "yz"}};
    node().state().records[0xA3] = {Record{.tag = 7, .data = bytesOf("hi")}};
    node().state().lines["log"] = "a\nb\n";
    EXPECT_EQ(hex(ask({0xE6})), "4F 4B 02 00 00 00 01 00 00 00 78 00 02 00 00 00 79 7A 00");
    EXPECT_EQ(hex(ask(fromHex("A3 09 00 00 00"))),
              "4F 4B 01 00 00 00 07 00 00 00 02 00 00 00 68 69");
    EXPECT_EQ(node().state().recordArguments.at(0xA3), 9u);
    EXPECT_EQ(ask(fromHex("90 6C 6F 67")), bytesOf(std::string("OKa\nb\n\0", 7)));
}

TEST_F(BedNodeTest, ANextFaultHitsOnlyTheNextMatchingRequest) {
    node().failNext(Fault::NotOk, 0xE1);
    EXPECT_EQ(ask({0xE3}), bytesOf(std::string("OKe3\0", 5)));
    EXPECT_EQ(ask({0xE1}), bytesOf(std::string("NOe1\0", 5)));
    EXPECT_EQ(ask({0xE1}), bytesOf(std::string("OKe1\0", 5)));
}

TEST_F(BedNodeTest, FrameFaultsBreakTheReplyAsNamed) {
    const std::vector<std::pair<Fault, std::string>> cases = {
        {Fault::BadStartByte, "bad start byte"},
        {Fault::LengthTooLarge, "length above 8186"},
        {Fault::BadCrc, "bad crc"},
        {Fault::BadEndByte, "bad end byte"},
        {Fault::ShortSecondRead, "short frame"}};
    for (const auto& [fault, error] : cases) {
        node().failNext(fault);
        sendFrame(fd_, {0xC1});
        EXPECT_EQ(decodeFrame(receiveFrame(fd_)).error, error);
    }
}

TEST_F(BedNodeTest, ANodeThatDoesNotAnswerFailsTheRead) {
    node().failAlways(Fault::NoAnswer, 0xE2);
    sendFrame(fd_, {0xE2});
    uint8_t header[3];
    EXPECT_EQ(::read(fd_, header, 3), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(node().pendingFaults(), 1u);
}

TEST_F(BedNodeTest, ARefusedWriteIsRecordedButNotAnswered) {
    node().failNext(Fault::RefuseWrite);
    EXPECT_EQ(sendFrame(fd_, {0xC0}), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(node().requests().size(), 1u);
    uint8_t header[3];
    EXPECT_EQ(::read(fd_, header, 3), -1);
}

TEST_F(BedNodeTest, RawPayloadsAndRawRepliesReplaceTheAnswer) {
    node().replyPayload(bytesOf("OKAY"));
    EXPECT_EQ(ask({0xC0}), bytesOf("OKAY"));
    node().inject({.fault = Fault::RawReply, .bytes = fromHex("02 00 03 61 62 63 06 0A 04")});
    EXPECT_EQ(ask({0xC0}), bytesOf("abc"));
}

TEST_F(BedNodeTest, AWrongLengthReplyLosesItsLastByte) {
    node().failNext(Fault::WrongLength, 0xE0);
    EXPECT_EQ(ask({0xE0}).size(), 9u);
}

TEST_F(BedNodeTest, AnUndecodableRequestGetsNoReply) {
    const Bytes broken = fromHex("02 00 01 C0 00 00 04");
    ASSERT_EQ(::write(fd_, broken.data(), broken.size()), 7);
    EXPECT_FALSE(node().lastRequest().valid);
    EXPECT_EQ(node().lastRequest().error, "bad crc");
    uint8_t header[3];
    EXPECT_EQ(::read(fd_, header, 3), -1);
}

std::array<uint8_t, 32> digestOf(const Bytes& data) {
    std::array<uint8_t, 32> digest{};
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

Bytes sendStart(uint32_t size, const std::array<uint8_t, 32>& digest, const std::string& name) {
    Bytes payload{0x94, 0xAA};
    putLe32(payload, size);
    payload.insert(payload.end(), digest.begin(), digest.end());
    payload.insert(payload.end(), name.begin(), name.end());
    return payload;
}

Bytes chunkRequest(uint8_t opcode, uint32_t handle, uint32_t offset, const Bytes& data) {
    Bytes payload{opcode, 0xCC};
    putLe32(payload, handle);
    putLe32(payload, offset);
    putLe32(payload, 800);
    payload.insert(payload.end(), data.begin(), data.end());
    return payload;
}

TEST_F(BedNodeTest, ASentFileIsStoredWhenItsDigestMatches) {
    const Bytes content(801, 0x5A);
    const Bytes started = ask(sendStart(801, digestOf(content), "f.bin"));
    ASSERT_EQ(started.size(), 6u);
    const uint32_t handle = le32At(started, 2);
    Bytes second(800, 0);
    second[0] = 0x5A;
    EXPECT_EQ(ask(chunkRequest(0x94, handle, 0, Bytes(800, 0x5A))), bytesOf("OK"));
    EXPECT_EQ(ask(chunkRequest(0x94, handle, 800, second)), bytesOf("OK"));
    EXPECT_EQ(ask({0x94, 0xEE}), bytesOf("OK"));
    ASSERT_NE(node().file("f.bin"), nullptr);
    EXPECT_EQ(node().file("f.bin")->content, content);
    EXPECT_THAT(node().transfers().back().chunkOffsets, ElementsAre(0u, 800u));
}

TEST_F(BedNodeTest, ASentFileWhoseBytesDoNotMatchItsDigestIsRefused) {
    const Bytes started = ask(sendStart(3, digestOf(bytesOf("abc")), "f.bin"));
    Bytes wrong(800, 0);
    wrong[0] = 'x';
    ask(chunkRequest(0x94, le32At(started, 2), 0, wrong));
    EXPECT_EQ(ask({0x94, 0xEE}), bytesOf("NO"));
    EXPECT_EQ(node().file("f.bin"), nullptr);
    EXPECT_FALSE(node().transfers().back().digestMatched);
}

TEST_F(BedNodeTest, AFetchedFileComesInTheConfiguredChunkSizes) {
    Bytes content(1000);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i);
    node().putFile("f.bin", content, 7);
    node().state().chunkSizes = {800, 200};
    const Bytes info = ask(fromHex("93 66 2E 62 69 6E"));
    ASSERT_EQ(info.size(), 42u);
    EXPECT_EQ(le32At(info, 2), 1000u);
    EXPECT_EQ(le32At(info, 6), 7u);
    const auto digest = digestOf(content);
    EXPECT_EQ(Bytes(info.begin() + 10, info.end()), Bytes(digest.begin(), digest.end()));
    const Bytes started = ask(fromHex("95 AA 66 2E 62 69 6E"));
    const uint32_t handle = le32At(started, 2);
    const Bytes first = ask(chunkRequest(0x95, handle, 0, {}));
    const Bytes second = ask(chunkRequest(0x95, handle, 800, {}));
    EXPECT_EQ(first.size(), 802u);
    EXPECT_EQ(Bytes(second.begin() + 2, second.end()), Bytes(content.begin() + 800, content.end()));
    EXPECT_EQ(ask({0x95, 0xEE}), bytesOf("OK"));
}

TEST_F(BedNodeTest, EmptyChunksNeverEnd) {
    node().putFile("f", Bytes(10, 1));
    node().state().chunkMode = ChunkMode::Empty;
    const uint32_t handle = le32At(ask(fromHex("95 AA 66")), 2);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ask(chunkRequest(0x95, handle, 0, {})), bytesOf("OK"));
}

}  // namespace
}  // namespace bed::selftest
