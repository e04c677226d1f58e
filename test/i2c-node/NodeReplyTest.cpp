#include <functional>
#include <sstream>

#include "NodeTestSupport.h"

// Each decoder runs on outputs that already hold something, and shows them as text afterwards,
// so one table states what every reply shape leaves behind.
using Decoder = std::function<std::string(NorvaneI2CNode&, int32_t& status)>;

namespace {

template <typename... Values>
std::string joined(const Values&... values) {
    std::ostringstream text;
    ((text << values << '|'), ...);
    return text.str();
}

std::string shown(const std::list<NodeRecord>& records) {
    std::ostringstream text;
    for (const NodeRecord& record : records) {
        text << record.tag << '/' << record.length << '/'
             << (record.data != nullptr ? reinterpret_cast<const char*>(record.data) : "") << ' ';
    }
    return text.str();
}

const Decoder kTime = [](NorvaneI2CNode& node, int32_t& status) {
    uint64_t value = 42;
    status = node.getTime(value);
    return std::to_string(value);
};
const Decoder kValues = [](NorvaneI2CNode& node, int32_t& status) {
    uint32_t v[5] = {7, 7, 7, 7, 7};
    status = node.getValuesA0(v[0], v[1], v[2], v[3], v[4]);
    return joined(v[0], v[1], v[2], v[3], v[4]);
};
const Decoder kText = [](NorvaneI2CNode& node, int32_t& status) {
    std::string text = "old";
    status = node.getTextE4(text);
    return text;
};
const Decoder kIdentity = [](NorvaneI2CNode& node, int32_t& status) {
    std::string t1 = "old1", t2 = "old2", t3 = "old3", t4 = "old4";
    status = node.getIdentity(t1, t2, t3, t4);
    return joined(t1, t2, t3, t4);
};
const Decoder kTextMap = [](NorvaneI2CNode& node, int32_t& status) {
    std::map<uint32_t, std::string> map{{99, "stale"}};
    status = node.getTextMap(map);
    std::ostringstream text;
    for (const auto& [key, value] : map) {
        text << key << '=' << value << ' ';
    }
    return text.str();
};
const Decoder kRecords = [](NorvaneI2CNode& node, int32_t& status) {
    RecordList list;
    list.records.push_back(NodeRecord{1, nullptr, 0});
    status = node.getRecordsA2(0, list.records);
    return shown(list.records);
};
const Decoder kLines = [](NorvaneI2CNode& node, int32_t& status) {
    std::list<std::string> lines{"before"};
    status = node.getLines("log", lines);
    std::ostringstream text;
    for (const std::string& line : lines) {
        text << '[' << line << ']';
    }
    return text.str();
};
const Decoder kFileInfo = [](NorvaneI2CNode& node, int32_t& status) {
    uint32_t size = 1, extra = 2;
    uint8_t digest[32] = {};
    status = node.getFileInfo("data.bin", size, extra, digest);
    return joined(size, extra, bed::hex(bed::Bytes(digest, digest + 32)));
};

}  // namespace

struct ReplyCase {
    const char* name;
    const Decoder* decoder;
    bed::Bytes payload;
    int32_t status;
    std::string outputs;
};

void PrintTo(const ReplyCase& row, std::ostream* out) {
    *out << row.name;
}

class NodeReply : public NodeTest, public testing::WithParamInterface<ReplyCase> {};

TEST_P(NodeReply, LeavesTheStatusAndOutputsOfTheTable) {
    const ReplyCase& row = GetParam();
    reply(row.payload);
    int32_t status = -1;
    std::string outputs;
    stdoutOf([&] { outputs = (*row.decoder)(node(), status); });
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(node().getStatus(), row.status);
    EXPECT_EQ(outputs, row.outputs);
}

std::string repeatedHex(const char* byte, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += (i == 0 ? "" : " ") + std::string(byte);
    }
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, NodeReply,
    testing::Values(
        // The clock: exactly 8 little-endian bytes, the length tested before the OK.
        ReplyCase{"Time", &kTime, ok(bed::fromHex("08 07 06 05 04 03 02 01")), NODE_SUCCESS,
                  "72623859790382856"},
        ReplyCase{"TimeShortAndRefused", &kTime, bed::bytesOf("KO") + bed::Bytes(7, 1),
                  NODE_WRONG_REPLY_LENGTH, "42"},
        ReplyCase{"TimeTooLong", &kTime, ok(bed::Bytes(9, 1)), NODE_WRONG_REPLY_LENGTH, "42"},
        ReplyCase{"TimeRefused", &kTime, bed::bytesOf("KO") + bed::Bytes(8, 1), NODE_REPLY_NOT_OK,
                  "42"},
        // Five full 32-bit slots, the OK tested before the length.
        ReplyCase{"Values", &kValues,
                  ok(bed::fromHex("05 01 00 00 05 00 00 00 78 56 34 12 00 00 00 00 FF FF FF FF")),
                  NODE_SUCCESS, "261|5|305419896|0|4294967295|"},
        ReplyCase{"ValuesShortAndRefused", &kValues, bed::bytesOf("KO") + bed::Bytes(19, 1),
                  NODE_REPLY_NOT_OK, "7|7|7|7|7|"},
        ReplyCase{"ValuesShort", &kValues, ok(bed::Bytes(19, 1)), NODE_WRONG_REPLY_LENGTH,
                  "7|7|7|7|7|"},
        ReplyCase{"ValuesTooLong", &kValues, ok(bed::Bytes(21, 1)), NODE_WRONG_REPLY_LENGTH,
                  "7|7|7|7|7|"},
        // Only the first two bytes are tested for OK; a text ends at its NUL or the payload's end.
        ReplyCase{"TextToItsNul", &kText, ok(text0("first") + bed::bytesOf("second")), NODE_SUCCESS,
                  "first"},
        ReplyCase{"TextToThePayloadEnd", &kText, bed::bytesOf("OKAY"), NODE_SUCCESS, "AY"},
        ReplyCase{"TextEmpty", &kText, ok(), NODE_SUCCESS, ""},
        ReplyCase{"TextLowerCaseOk", &kText, bed::bytesOf("okay"), NODE_REPLY_NOT_OK, "old"},
        ReplyCase{"TextOneByte", &kText, bed::bytesOf("O"), NODE_REPLY_NOT_OK, "old"},
        ReplyCase{"Identity", &kIdentity,
                  ok(text0("a") + text0("b") + text0("c") + bed::bytesOf("d")), NODE_SUCCESS,
                  "a|b|c|d|"},
        ReplyCase{"IdentityRunsOut", &kIdentity, ok(text0("a") + bed::bytesOf("b")),
                  NODE_REPLY_NOT_OK, "a|b|old3|old4|"},
        ReplyCase{"IdentityRefused", &kIdentity, bed::bytesOf("NO"), NODE_REPLY_NOT_OK,
                  "old1|old2|old3|old4|"},
        // Keyed texts; a repeated key keeps its last text.
        ReplyCase{"TextMap", &kTextMap,
                  ok(le32(3) + le32(0x01000000) + text0("big") + le32(7) + text0("x") + le32(7) +
                     text0("y")),
                  NODE_SUCCESS, "7=y 16777216=big "},
        ReplyCase{"TextMapEmpty", &kTextMap, ok(le32(0)), NODE_SUCCESS, ""},
        ReplyCase{"TextMapRefused", &kTextMap, bed::bytesOf("NO"), NODE_REPLY_NOT_OK, "99=stale "},
        ReplyCase{"TextMapCountBeyondItsEntries", &kTextMap,
                  ok(le32(5) + le32(1) + text0("one") + le32(2) + bed::bytesOf("two")),
                  NODE_REPLY_NOT_OK, "1=one 2=two "},
        ReplyCase{"TextMapKeyCutShort", &kTextMap,
                  ok(le32(2) + le32(1) + text0("one") + bed::fromHex("02 00")), NODE_REPLY_NOT_OK,
                  "1=one "},
        ReplyCase{"TextMapWithoutCount", &kTextMap, ok(bed::fromHex("01 00")), NODE_REPLY_NOT_OK,
                  ""},
        // Records are appended as terminated copies, every field a full 32 bits.
        ReplyCase{
            "Records", &kRecords,
            ok(le32(2) + le32(0x0A0B0C0D) + le32(3) + bed::bytesOf("abc") + le32(5) + le32(0)),
            NODE_SUCCESS, "1/0/ 168496141/3/abc 5/0/ "},
        ReplyCase{"RecordLongerThan255Bytes", &kRecords,
                  ok(le32(2) + le32(1) + le32(300) + bed::Bytes(300, 'L') + le32(2) + le32(1) +
                     bed::bytesOf("z")),
                  NODE_SUCCESS, "1/0/ 1/300/" + std::string(300, 'L') + " 2/1/z "},
        ReplyCase{"RecordsNone", &kRecords, ok(le32(0)), NODE_SUCCESS, "1/0/ "},
        ReplyCase{"RecordsRunPastThePayload", &kRecords,
                  ok(le32(3) + le32(4) + le32(1) + bed::bytesOf("a") + le32(2) + le32(1000) +
                     bed::bytesOf("short")),
                  NODE_REPLY_NOT_OK, "1/0/ 4/1/a "},
        ReplyCase{"RecordsWithoutCount", &kRecords, ok(bed::fromHex("01")), NODE_REPLY_NOT_OK,
                  "1/0/ "},
        // Only the lines ended by a newline are appended.
        ReplyCase{"Lines", &kLines, ok(text0("a\nb\n")), NODE_SUCCESS, "[before][a][b]"},
        ReplyCase{"LinesLastUnended", &kLines, ok(text0("a\nb")), NODE_SUCCESS, "[before][a]"},
        ReplyCase{"LinesEmpty", &kLines, ok(text0("\n\n")), NODE_SUCCESS, "[before][][]"},
        ReplyCase{"LinesNone", &kLines, ok(), NODE_SUCCESS, "[before]"},
        // File information: at least 42 bytes, nothing written from a shorter reply.
        ReplyCase{"FileInfo", &kFileInfo, ok(le32(3) + le32(77) + bed::Bytes(32, 0xAB)),
                  NODE_SUCCESS, "3|77|" + repeatedHex("AB", 32) + "|"},
        ReplyCase{"FileInfoShort", &kFileInfo, ok(le32(3) + le32(77) + bed::Bytes(31, 0xAB)),
                  NODE_WRONG_REPLY_LENGTH, "1|2|" + repeatedHex("00", 32) + "|"},
        ReplyCase{"FileInfoRefused", &kFileInfo, bed::bytesOf("NO") + bed::Bytes(40, 1),
                  NODE_REPLY_NOT_OK, "1|2|" + repeatedHex("00", 32) + "|"}),
    [](const auto& info) { return std::string(info.param.name); });

class NodeRecords : public NodeTest {};

TEST_F(NodeRecords, ACountAbove255IsReadInFull) {
    bed::Bytes fields = le32(256);
    for (uint32_t tag = 0; tag < 256; ++tag) {
        fields = fields + le32(tag) + le32(0);
    }
    reply(ok(fields));
    RecordList list;
    EXPECT_EQ(node().getRecordsA3(0, list.records), NODE_SUCCESS);
    EXPECT_EQ(list.records.size(), 256u);
}

TEST_F(NodeRecords, TheArgumentReachesTheNodeOfTheRecordsOpcode) {
    sim().state().records[0xA3] = {{7, bed::bytesOf("seven")}};
    RecordList list;
    EXPECT_EQ(node().getRecordsA3(0xCAFE, list.records), NODE_SUCCESS);
    EXPECT_EQ(shown(list.records), "7/5/seven ");
    EXPECT_EQ(sim().state().recordArguments.at(0xA3), 0xCAFEu);
}
