#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FrameBuilder.h"
#include "FrameParser.h"
#include "kestro_node.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& text) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

std::string hex(const Bytes& bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        if (!text.empty()) text += ' ';
        text += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 0xF]};
    }
    return text;
}

void appendLe32(Bytes& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t le32(const Bytes& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
}

Bytes digestOf(const Bytes& data) {
    kn_sha256 sha;
    kn_sha256_init(&sha);
    kn_sha256_update(&sha, data.data(), data.size());
    Bytes digest(KN_SHA256_SIZE);
    kn_sha256_final(&sha, digest.data());
    return digest;
}

// The request frame around `payload`, as the board builds it.
Bytes frameOf(const Bytes& payload) {
    FrameBuilder builder;
    builder.putBytes(payload.data(), payload.size());
    builder.finish();
    uint8_t* frame = nullptr;
    uint16_t length = 0;
    builder.take(frame, length);
    Bytes bytes(frame, frame + length);
    std::free(frame);
    return bytes;
}

// One node of the reference firmware in memory of its own, as the simulator makes it.
class ReferenceNode {
  public:
    ReferenceNode() : memory_(kn_firmware_context_size() / sizeof(std::max_align_t) + 1) {
        kn_firmware_init(memory_.data(), 0x08);
    }
    kn_node* node() { return reinterpret_cast<kn_node*>(memory_.data()); }

    void write(const Bytes& bytes) { kn_on_receive(node(), bytes.data(), bytes.size()); }
    Bytes read(size_t count) {
        kn_on_read_start(node());
        Bytes bytes(count);
        for (uint8_t& b : bytes) b = kn_next_tx_byte(node());
        return bytes;
    }
    // The reply as the board reads it: the 3-byte header, then the rest.
    Bytes readReply() {
        Bytes frame = read(3);
        if (frame[0] != 0x02) return frame;
        const Bytes rest = read(((frame[1] << 8) | frame[2]) + 3u);
        frame.insert(frame.end(), rest.begin(), rest.end());
        return frame;
    }
    // The reply payload to a request payload, decoded by the board's parser;
    // "no answer" when the node gives no frame.
    std::string ask(const Bytes& payload) {
        write(frameOf(payload));
        kn_poll(node());
        return payloadOf(readReply());
    }
    Bytes askBytes(const Bytes& payload) { return fromHex(ask(payload)); }

    static std::string payloadOf(const Bytes& frame) {
        FrameParser parser;
        parser.feedBytes(frame.data(), static_cast<uint16_t>(frame.size()));
        uint8_t* payload = nullptr;
        uint16_t length = 0;
        if (parser.takePayload(payload, length) != 0) return "no answer";
        const Bytes bytes(payload, payload + length);
        std::free(payload);
        return hex(bytes);
    }

  private:
    std::vector<std::max_align_t> memory_;
};

const std::string kOk = "4F 4B";
const std::string kRefused = "4E 4F";

}  // namespace

TEST(NodeSdkSha256, GivesTheStandardDigestsInAnyPieces) {
    const std::pair<std::string, const char*> vectors[] = {
        {"", "E3 B0 C4 42 98 FC 1C 14 9A FB F4 C8 99 6F B9 24 27 AE 41 E4 64 9B 93 4C A4 95 99 1B 78 52 B8 55"},
        {"abc", "BA 78 16 BF 8F 01 CF EA 41 41 40 DE 5D AE 22 23 B0 03 61 A3 96 17 7A 9C B4 10 FF 61 F2 00 15 AD"},
        {std::string(55, 'a'), "9F 43 90 F8 D3 0C 2D D9 2E C9 F0 95 B6 5E 2B 9A E9 B0 A9 25 A5 25 8E 24 1C 9F 1E 91 0F 73 43 18"},
        {std::string(56, 'a'), "B3 54 39 A4 AC 6F 09 48 B6 D6 F9 E3 C6 AF 0F 5F 59 0C E2 0F 1B DE 70 90 EF 79 70 68 6E C6 73 8A"},
        {std::string(64, 'a'), "FF E0 54 FE 7A E0 CB 6D C6 5C 3A F9 B6 1D 52 09 F4 39 85 1D B4 3D 0B A5 99 73 37 DF 15 46 68 EB"},
        {std::string(1000000, 'a'), "CD C7 6E 5C 99 14 FB 92 81 A1 C7 E2 84 D7 3E 67 F1 80 9A 48 A4 97 20 0E 04 6D 39 CC C7 11 2C D0"},
    };
    for (const auto& [message, digest] : vectors) {
        EXPECT_EQ(hex(digestOf(Bytes(message.begin(), message.end()))), digest)
            << message.size() << " bytes";
    }
    Bytes text(300);
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<uint8_t>(i * 7 + i / 251);
    for (size_t piece : {1u, 55u, 56u, 63u, 64u, 65u, 200u}) {
        kn_sha256 sha;
        kn_sha256_init(&sha);
        for (size_t at = 0; at < text.size(); at += piece) {
            kn_sha256_update(&sha, text.data() + at, std::min(piece, text.size() - at));
        }
        Bytes digest(KN_SHA256_SIZE);
        kn_sha256_final(&sha, digest.data());
        EXPECT_EQ(digest, digestOf(text)) << "pieces of " << piece;
    }
}

struct Exchange {
    const char* name;
    std::vector<std::string> requests;  // payloads in hex, sent in order
    std::string reply;                   // the last one's reply payload
};

class NodeSdkCommands : public testing::TestWithParam<Exchange> {};

TEST_P(NodeSdkCommands, AnswerInTheLayoutTheBoardDecodes) {
    ReferenceNode node;
    std::string reply;
    for (const std::string& request : GetParam().requests) reply = node.ask(fromHex(request));
    EXPECT_EQ(reply, GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NodeSdkCommands,
    testing::Values(
        Exchange{"IdentityGivesFourTexts", {"E2"},
                 kOk + " 6B 65 73 74 72 6F 2D 73 69 6D 00 31 2E 30 00 73 69 6D 2D 62 6F 61 72 64"
                       " 00 73 69 6D 2D 6E 6F 64 65 00"},
        Exchange{"TextQueryGivesItsText", {"E4"}, kOk + " 65 34 00"},
        Exchange{"TextSetterReplacesItsQuerysText", {"F3 61 62", "E3"}, kOk + " 61 62 00"},
        Exchange{"ClockSetterWithSevenBytesIsRefused", {"F0 02 01 00 00 00 00 00"}, kRefused},
        Exchange{"ValueSetGivesBackWhatWasSet",
                 {"B0 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 01 00 00", "A0"},
                 kOk + " 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 01 00 00"},
        Exchange{"ValueSetterOfWrongLengthIsRefused", {"B0 01 00 00 00"}, kRefused},
        Exchange{"TextMapCountsNoEntry", {"E6"}, kOk + " 00 00 00 00"},
        Exchange{"RecordsCountNoRecord", {"A3 07 00 00 00"}, kOk + " 00 00 00 00"},
        Exchange{"RecordsWithoutTheirArgumentAreRefused", {"A1 07 00 00"}, kRefused},
        Exchange{"LinesOfAnUnknownNameAreTheEmptyText", {"90 6C 6F 67"}, kOk + " 00"},
        Exchange{"TextAndByteSetterTakesBoth", {"F2 61 00 07"}, kOk},
        Exchange{"TextAndByteSetterWithoutTheByteIsRefused", {"F2 61 00"}, kRefused},
        Exchange{"TextPairCommandIsAccepted", {"97 61 62 00 63"}, kOk},
        Exchange{"BareCommandIsAccepted", {"C2 78"}, kOk},
        Exchange{"InformationOnAMissingFileIsRefused", {"93 78"}, kRefused},
        Exchange{"TransferStepWithoutATransferIsRefused", {"95 CC 00 10 00 00"}, kRefused},
        Exchange{"UnknownOpcodeIsRefused", {"55"}, kRefused},
        Exchange{"EmptyPayloadIsRefused", {""}, kRefused}),
    [](const testing::TestParamInfo<Exchange>& info) { return info.param.name; });

struct LinkCase {
    const char* name;
    std::string written;  // the write transaction, in hex
    std::string reply;    // the reply payload, or "no answer"
};

class NodeSdkLink : public testing::TestWithParam<LinkCase> {};

TEST_P(NodeSdkLink, AnswersOnlyWholeCorrectFrames) {
    ReferenceNode node;
    node.write(fromHex(GetParam().written));
    kn_poll(node.node());
    EXPECT_EQ(ReferenceNode::payloadOf(node.readReply()), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NodeSdkLink,
    testing::Values(LinkCase{"WholeFrameIsAnswered", "02 00 01 E4 8E 9B 04",
                             kOk + " 65 34 00"},
                    LinkCase{"CrcMismatchIsNotAnswered", "02 00 01 E4 8E 9C 04", "no answer"},
                    LinkCase{"WrongStartByteIsNotAnswered", "03 00 01 E4 8E 9B 04", "no answer"},
                    LinkCase{"WrongEndByteIsNotAnswered", "02 00 01 E4 8E 9B 05", "no answer"},
                    LinkCase{"BytesAfterTheFrameAreNotAnswered", "02 00 01 E4 8E 9B 04 00",
                             "no answer"},
                    LinkCase{"CutFrameIsNotAnswered", "02 00 01 E4 8E", "no answer"},
                    LinkCase{"LengthAboveTheFrameLimitIsNotAnswered", "02 1F FB 00", "no answer"},
                    LinkCase{"NoWriteIsNotAnswered", "", "no answer"}),
    [](const testing::TestParamInfo<LinkCase>& info) { return info.param.name; });

// The reference node's clock runs on from the value set, in milliseconds.
TEST(NodeSdkClock, RunsOnFromTheValueSet) {
    ReferenceNode node;
    EXPECT_EQ(node.ask(fromHex("F0 00 00 00 00 00 01 00 00")), kOk);
    const Bytes reply = node.askBytes(fromHex("E0"));
    ASSERT_EQ(reply.size(), 10u);
    const uint64_t ms = le32(reply, 2) | uint64_t{le32(reply, 6)} << 32;
    EXPECT_GE(ms, uint64_t{1} << 40);
    EXPECT_LT(ms, (uint64_t{1} << 40) + 3600000u);
}

TEST(NodeSdkLinkFrames, CarryTheCrcOfLengthAndPayload) {
    EXPECT_EQ(kn_crc16(0, reinterpret_cast<const uint8_t*>("123456789"), 9), 0x31C3);
    ReferenceNode node;
    node.write(fromHex("02 00 01 E4 8E 9B 04"));
    kn_poll(node.node());
    EXPECT_EQ(hex(node.readReply()), "02 00 05 4F 4B 65 34 00 FE D9 04");
}

TEST(NodeSdkLinkFrames, ACorrectRequestTooLongForTheNodeIsRefused) {
    ReferenceNode node;
    Bytes payload{0xF3};
    payload.resize(KN_REQUEST_PAYLOAD_MAX + 1, 'x');
    EXPECT_EQ(node.ask(payload), kRefused);
    payload.resize(KN_REQUEST_PAYLOAD_MAX);
    EXPECT_EQ(node.ask(payload), kOk);
}

// The ready-polling contract: idle bytes until the reply is whole, without
// moving past its start; a read that began idle stays idle to its end.
TEST(NodeSdkLinkFrames, ReadsAreIdleUntilTheReplyIsWhole) {
    ReferenceNode node;
    node.write(frameOf(fromHex("E1")));
    EXPECT_EQ(hex(node.read(3)), "FF FF FF");
    kn_on_read_start(node.node());
    kn_poll(node.node());
    EXPECT_EQ(kn_next_tx_byte(node.node()), 0xFF);
    EXPECT_EQ(ReferenceNode::payloadOf(node.readReply()), kOk + " 65 31 00");
    EXPECT_EQ(hex(node.read(2)), "FF FF");
}

// A write while the main loop has not yet answered loses the request, and the
// answer to the earlier one is withdrawn: the board never takes it for the new one's.
TEST(NodeSdkLinkFrames, AWriteBeforeTheAnswerWithdrawsIt) {
    ReferenceNode node;
    node.write(frameOf(fromHex("E1")));
    node.write(frameOf(fromHex("E3")));
    kn_poll(node.node());
    EXPECT_EQ(ReferenceNode::payloadOf(node.readReply()), "no answer");
    EXPECT_EQ(node.ask(fromHex("E3")), kOk + " 65 33 00");
}

namespace {

Bytes sendStart(uint32_t size, const Bytes& digest, const std::string& name) {
    Bytes payload{0x94, 0xAA};
    appendLe32(payload, size);
    payload.insert(payload.end(), digest.begin(), digest.end());
    payload.insert(payload.end(), name.begin(), name.end());
    return payload;
}

Bytes chunkRequest(uint8_t opcode, uint32_t handle, uint32_t offset, const Bytes& data) {
    Bytes payload{opcode, 0xCC};
    appendLe32(payload, handle);
    appendLe32(payload, offset);
    appendLe32(payload, opcode == 0x94 ? static_cast<uint32_t>(data.size()) : KN_CHUNK_SIZE);
    payload.insert(payload.end(), data.begin(), data.end());
    return payload;
}

// Sends `file` as the board does: 800-byte chunks, the last one filled up.
std::string sendFile(ReferenceNode& node, const Bytes& file, const Bytes& digest,
                     const std::string& name) {
    const Bytes start = node.askBytes(sendStart(static_cast<uint32_t>(file.size()), digest, name));
    if (start.size() != 6) return "start " + hex(start);
    for (uint32_t offset = 0; offset < file.size(); offset += KN_CHUNK_SIZE) {
        Bytes chunk(KN_CHUNK_SIZE, 0);
        std::copy(file.begin() + offset,
                  file.begin() + std::min<size_t>(file.size(), offset + KN_CHUNK_SIZE), chunk.begin());
        const std::string reply = node.ask(chunkRequest(0x94, le32(start, 2), offset, chunk));
        if (reply != kOk) return "chunk " + reply;
    }
    return node.ask(fromHex("94 EE"));
}

Bytes getFile(ReferenceNode& node, const std::string& name) {
    Bytes request{0x95, 0xAA};
    request.insert(request.end(), name.begin(), name.end());
    const Bytes start = node.askBytes(request);
    Bytes file;
    // Chunks until one comes back empty.
    for (bool more = start.size() == 6; more;) {
        const Bytes chunk = node.askBytes(
            chunkRequest(0x95, le32(start, 2), static_cast<uint32_t>(file.size()), {}));
        file.insert(file.end(), chunk.begin() + 2, chunk.end());
        more = chunk.size() > 2;
    }
    EXPECT_EQ(node.ask(fromHex("95 EE")), kOk);
    return file;
}

}  // namespace

TEST(NodeSdkTransfer, FileSentComesBackWithItsSizeAndDigest) {
    for (size_t size : {0u, 800u, 801u, 2000u}) {
        ReferenceNode node;
        Bytes file(size);
        for (size_t i = 0; i < size; ++i) file[i] = static_cast<uint8_t>(i * 13 + 5);
        ASSERT_EQ(sendFile(node, file, digestOf(file), "data.bin"), kOk) << size;
        const Bytes info = node.askBytes(fromHex("93 " + hex(Bytes{'d', 'a', 't', 'a', '.', 'b', 'i', 'n'})));
        ASSERT_EQ(info.size(), 42u) << size;
        EXPECT_EQ(le32(info, 2), size);
        EXPECT_EQ(Bytes(info.begin() + 10, info.end()), digestOf(file));
        EXPECT_EQ(getFile(node, "data.bin"), file) << size;
    }
}

TEST(NodeSdkTransfer, FileNotMatchingItsDigestIsRefusedAndNotKept) {
    ReferenceNode node;
    const Bytes file(1000, 0x5A);
    Bytes wrong = digestOf(file);
    wrong[31] ^= 1;
    EXPECT_EQ(sendFile(node, file, wrong, "f"), kRefused);
    EXPECT_EQ(node.ask(fromHex("93 66")), kRefused);
}

TEST(NodeSdkTransfer, RepeatedChunkCountsOnceAndStrayHandleIsRefused) {
    ReferenceNode node;
    const Bytes file(900, 0x11);
    const Bytes start = node.askBytes(sendStart(900, digestOf(file), "f"));
    ASSERT_EQ(hex(start), kOk + " 00 10 00 00");
    const Bytes first(file.begin(), file.begin() + 800);
    Bytes second(file.begin() + 800, file.end());
    second.resize(KN_CHUNK_SIZE, 0);
    EXPECT_EQ(node.ask(chunkRequest(0x94, 0x1000, 0, first)), kOk);
    EXPECT_EQ(node.ask(chunkRequest(0x94, 0x1000, 0, first)), kOk);
    EXPECT_EQ(node.ask(chunkRequest(0x94, 0x1001, 800, second)), kRefused);
    EXPECT_EQ(node.ask(chunkRequest(0x94, 0x1000, 800, second)), kOk);
    EXPECT_EQ(node.ask(fromHex("94 EE")), kOk);
}
