#include <algorithm>
#include <map>
#include <sstream>

#include "Golden.h"
#include "NodeTestSupport.h"

// Each decoder runs on outputs that already hold something and shows them as text afterwards,
// so that one golden file states what every reply shape leaves behind, with its status.
namespace {

enum Decoder { C0, Time, Values, Text, Identity, TextMap, Records, Lines, FileInfo };

template <typename... Values>
std::string joined(const Values&... values) {
    std::ostringstream text;
    ((text << values << '|'), ...);
    return text.str();
}

std::string decode(Decoder decoder, NorvaneI2CNode& node, int32_t& status) {
    uint64_t time = 42;
    uint32_t v[5] = {7, 7, 7, 7, 7};
    std::string t[4] = {"old1", "old2", "old3", "old4"};
    std::map<uint32_t, std::string> map{{99, "stale"}};
    RecordList records;
    records.push_back(NodeRecord{1, nullptr, 0});
    std::list<std::string> lines{"before"};
    uint8_t digest[32] = {};
    std::ostringstream text;
    switch (decoder) {
        case C0: {
            const std::string out = stdoutOf([&] { status = node.commandC0(); });
            return out.substr(std::min(out.find("Error"), out.size()));
        }
        case Time:
            status = node.getTime(time);
            return std::to_string(time);
        case Values:
            status = node.getValuesA0(v[0], v[1], v[2], v[3], v[4]);
            return joined(v[0], v[1], v[2], v[3], v[4]);
        case Text:
            status = node.getTextE4(t[0]);
            return t[0];
        case Identity:
            status = node.getIdentity(t[0], t[1], t[2], t[3]);
            return joined(t[0], t[1], t[2], t[3]);
        case TextMap:
            status = node.getTextMap(map);
            for (const auto& [key, value] : map) {
                text << key << '=' << value << ' ';
            }
            break;
        case Records:
            status = node.getRecordsA2(0, records);
            for (const NodeRecord& record : records) {
                text << record.tag << '/' << record.length << '/'
                     << (record.data != nullptr ? reinterpret_cast<const char*>(record.data) : "")
                     << ' ';
            }
            break;
        case Lines:
            status = node.getLines("log", lines);
            for (const std::string& line : lines) {
                text << '[' << line << ']';
            }
            break;
        case FileInfo:
            status = node.getFileInfo("data.bin", v[0], v[1], digest);
            return joined(v[0], v[1], bed::hex(Bytes(digest, digest + 32)));
    }
    return text.str();
}

}  // namespace

class NodeReply : public NodeTest {};

TEST_F(NodeReply, EveryShapeLeavesTheStatusAndOutputsOfTheGoldenFile) {
    const Bytes ko = bed::bytesOf("KO");
    const std::tuple<const char*, Decoder, Bytes> rows[] = {
        // A refusal of 0xC0 is printed up to its first NUL, control bytes escaped.
        {"C0Accepted", C0, ok()},
        {"C0RefusedUpToItsFirstNul", C0, ko + text0("busy") + bed::bytesOf("zz")},
        {"C0RefusedWithControlBytesPrintedEscaped", C0, bed::bytesOf("KO\x1b[2J\r\nfound x")},
        // The clock: exactly 8 little-endian bytes, the length tested before the OK.
        {"Time", Time, ok(bed::fromHex("08 07 06 05 04 03 02 01"))},
        {"TimeShortAndRefused", Time, ko + Bytes(7, 1)},
        {"TimeTooLong", Time, ok(Bytes(9, 1))},
        {"TimeRefused", Time, ko + Bytes(8, 1)},
        // Five full 32-bit slots, the OK tested before the length.
        {"Values", Values,
         ok(bed::fromHex("05 01 00 00 05 00 00 00 78 56 34 12 00 00 00 00 FF FF FF FF"))},
        {"ValuesShortAndRefused", Values, ko + Bytes(19, 1)},
        {"ValuesShort", Values, ok(Bytes(19, 1))},
        {"ValuesTooLong", Values, ok(Bytes(21, 1))},
        // Only the first two bytes are tested for OK; a text ends at its NUL or the payload's end.
        {"TextToItsNul", Text, ok(text0("first") + bed::bytesOf("second"))},
        {"TextToThePayloadEnd", Text, bed::bytesOf("OKAY")},
        {"TextEmpty", Text, ok()},
        {"TextLowerCaseOk", Text, bed::bytesOf("okay")},
        {"TextOneByte", Text, bed::bytesOf("O")},
        {"TextSecondByteWrong", Text, bed::bytesOf("OO")},
        {"Identity", Identity, ok(text0("a") + text0("b") + text0("c") + bed::bytesOf("d"))},
        {"IdentityRunsOut", Identity, ok(text0("a") + bed::bytesOf("b"))},
        {"IdentityRefused", Identity, bed::bytesOf("NO")},
        // Keyed texts; a repeated key keeps its last text.
        {"TextMap", TextMap,
         ok(le32(3) + le32(0x01000000) + text0("big") + le32(7) + text0("x") + le32(7) +
            text0("y"))},
        {"TextMapEmpty", TextMap, ok(le32(0))},
        {"TextMapRefused", TextMap, bed::bytesOf("NO")},
        {"TextMapCountBeyondItsEntries", TextMap,
         ok(le32(5) + le32(1) + text0("one") + le32(2) + bed::bytesOf("two"))},
        {"TextMapKeyCutShort", TextMap,
         ok(le32(2) + le32(1) + text0("one") + bed::fromHex("02 00"))},
        {"TextMapWithoutCount", TextMap, ok(bed::fromHex("01 00"))},
        // Records are appended as terminated copies, every field a full 32 bits.
        {"Records", Records,
         ok(le32(2) + le32(0x0A0B0C0D) + le32(3) + bed::bytesOf("abc") + le32(5) + le32(0))},
        {"RecordLongerThan255Bytes", Records,
         ok(le32(2) + le32(1) + le32(300) + Bytes(300, 'L') + le32(2) + le32(1) +
            bed::bytesOf("z"))},
        {"RecordCountAbove255", Records, ok(le32(256) + Bytes(256 * 8, 0))},
        {"RecordsNone", Records, ok(le32(0))},
        {"RecordsRunPastThePayload", Records,
         ok(le32(3) + le32(4) + le32(1) + bed::bytesOf("a") + le32(2) + le32(1000) +
            bed::bytesOf("short"))},
        {"RecordsWithoutCount", Records, ok(bed::fromHex("01"))},
        // Only the lines ended by a newline are appended.
        {"Lines", Lines, ok(text0("a\nb\n"))},
        {"LinesLastUnended", Lines, ok(text0("a\nb"))},
        {"LinesEmpty", Lines, ok(text0("\n\n"))},
        {"LinesNone", Lines, ok()},
        // File information: at least 42 bytes, nothing written from a shorter reply.
        {"FileInfo", FileInfo, ok(le32(3) + le32(77) + Bytes(32, 0xAB))},
        {"FileInfoShort", FileInfo, ok(le32(3) + le32(77) + Bytes(31, 0xAB))},
        {"FileInfoRefused", FileInfo, bed::bytesOf("NO") + Bytes(40, 1)},
    };
    std::string shown;
    for (const auto& [name, decoder, payload] : rows) {
        reply(payload);
        int32_t status = -1;
        const std::string outputs = decode(decoder, node(), status);
        EXPECT_EQ(node().getStatus(), status) << name;
        shown += std::string(name) + " " + std::to_string(status) + " " + outputs + "\n";
    }
    expectGolden("replies.txt", shown);
}
