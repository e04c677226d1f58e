#include <algorithm>
#include <map>
#include <sstream>

#include "Golden.h"
#include "NodeTestSupport.h"

using enum sim::Fault;

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
            return joined(v[0], v[1], sim::hex(Bytes(digest, digest + 32)));
    }
    return text.str();
}

}  // namespace

// Every test ends checking that the nodes it destroyed closed their channels (SimBoardTest) and
// freed their addresses.
class NodeLifecycle : public sim::SimBoardTest {
  protected:
    void TearDown() override {
        EXPECT_TRUE(NorvaneI2cMaster::__addrs.empty()) << "a bus is still registered";
        sim::SimBoardTest::TearDown();
    }
    static bool inUse(uint8_t addr) { return NorvaneI2cMaster::__addrs.at(kNodeBus)[addr] == 1; }
};

TEST_F(NodeLifecycle, ANodeAnnouncesItsAddressInDecimalAndASecondNodeThereCannotTalk) {
    addNode(120);
    std::optional<NorvaneI2CNode> first, second;
    const std::string out =
        stdoutOf([&] { first.emplace(120, kNodeBus), second.emplace(120, kNodeBus); });
    EXPECT_EQ(
        out.rfind("NorvaneI2CNode(uint8_t addr, const char *bus)120 /dev/i2c-3\nHERE _fd: ", 0), 0u)
        << out;
    EXPECT_NE(out.find("Error addr alredy iun use 120\nError creating master\n"), std::string::npos)
        << out;
    EXPECT_EQ(std::make_tuple(first->addr, first->bus, first->getStatus()),
              std::make_tuple(120, kNodeBus, NODE_SUCCESS));
    EXPECT_EQ(second->setTime(1), NODE_TRANSPORT_FAILURE);
    second.reset();
    EXPECT_TRUE(inUse(120)) << "destroying the refused node freed the first node's address";
}

TEST_F(NodeLifecycle, ANodeWithoutAChannelKeepsItsAddressAndAnswersEveryCommandWithoutWaiting) {
    std::optional<NorvaneI2CNode> node;
    EXPECT_EQ(stdoutOf([&] { node.emplace(0x30, "/dev/i2c-9"); }),
              "NorvaneI2CNode(uint8_t addr, const char *bus)48 /dev/i2c-9\n"
              "Error NorvaneI2cMaster error open fd for bus\nError creating master\n");
    EXPECT_EQ(std::make_tuple(node->addr, node->bus, node->getStatus()),
              std::make_tuple(0x30, "", NODE_SUCCESS));
    EXPECT_EQ(node->setTextF3("x"), NODE_TRANSPORT_FAILURE);
    EXPECT_EQ(NorvaneI2CNode().commandC1(), NODE_TRANSPORT_FAILURE) << "a default node";
    EXPECT_TRUE(clock().sleeps().empty());
}

// A move hands the one channel over; the target of an assignment closes its own first.
TEST_F(NodeLifecycle, AMovedNodeKeepsTheOnlyChannelAndClosesItOnce) {
    addNode(0x10);
    addNode(0x11);
    std::optional<NorvaneI2CNode> source(std::in_place, 0x10, kNodeBus);
    NorvaneI2CNode moved(std::move(*source));
    source.reset();
    EXPECT_EQ(simBoard().trace({sim::EventKind::Close}), Kinds{});
    NorvaneI2CNode replaced(0x11, kNodeBus);
    replaced = std::move(moved);
    EXPECT_EQ(simBoard().busAt(kNodeBus).openDescriptors(), 1u);
    EXPECT_FALSE(inUse(0x11));
    EXPECT_EQ(std::tie(replaced.addr, replaced.bus), std::make_tuple(0x10, kNodeBus));
    EXPECT_EQ(replaced.setTime(5), NODE_SUCCESS);
}

class NodeCommand : public NodeTest {};

// Every command's exact request payload in one frame, and its writes, wait and reads; a failed
// exchange keeps its status, and leaves the output alone, until the next command resets it.
TEST_F(NodeCommand, EverySendsItsPayloadWaitsItsTimeAndReadsItsReplyAsTheGoldenFileShows) {
    sim().putFile("data.bin", sim::bytesOf("abc"));
    std::string text;
    const auto log = [&](const char* name, int32_t status) {
        text += std::string(name) + " " + std::to_string(status) + " " +
                std::to_string(node().getStatus()) + ":";
        for (const sim::Request& request : sim().requests()) {
            EXPECT_EQ(request.raw, sim::encodeFrame(request.payload)) << name;
            text += " [" + sim::hex(request.payload) + "]";
        }
        for (const std::string& transaction : transactions()) {
            text += ", " + transaction;
        }
        text += "\n";
        sim().clearRequests();
        simBoard().clearEvents();
    };
    std::string s;
    RecordList records;
    NorvaneI2CNode& n = node();
    const auto decoded = [&](Decoder decoder) {
        int32_t status = -1;
        decode(decoder, n, status);
        return status;
    };
    for (sim::Fault fault : {RefuseWrite, NoAnswer, BadCrc, NotOk}) {
        sim().failNext(fault);
        log("E0 failing", decoded(Time));
    }
    log("C0", decoded(C0));
    log("C1", n.commandC1());
    log("C2", n.commandC2("ab"));
    log("C3", n.commandC3());
    log("E0", decoded(Time));
    log("F0", n.setTime(258));
    log("E1", n.getTextE1(s));
    log("F1", n.setTextPairF1("ab", "c"));
    log("F1 empty texts keep their terminators", n.setTextPairF1("", ""));
    log("E2", decoded(Identity));
    log("F2", n.setTextByteF2("ab", 0xFE));
    log("E3", n.getTextE3(s));
    log("F3", n.setTextF3("ab"));
    log("E4", decoded(Text));
    log("F4", n.setTextF4("ab"));
    log("E5", n.getTextE5(s));
    log("F5", n.setTextF5("ab"));
    log("E6", decoded(TextMap));
    log("A0", decoded(Values));
    log("B0", n.setValuesB0(1, 2, 3, 4, 5));
    log("A1", n.getRecordsA1(0x01020304, records));
    log("A2", decoded(Records));
    log("A3", n.getRecordsA3(0x01020304, records));
    log("A4", n.getRecordsA4(0x01020304, records));
    log("A5", n.getRecordsA5(0x01020304, records));
    log("90", decoded(Lines));
    log("91", n.textCommand91("ab"));
    log("92", n.textCommand92("ab"));
    log("93", decoded(FileInfo));
    log("96", n.textCommand96("ab"));
    log("97", n.textPairCommand97("ab", "c"));
    log("98", n.textPairCommand98("ab", "c"));
    log("F3 too long for one frame", n.setTextF3(std::string(8186, 'x')));
    EXPECT_EQ(n.setTextF3(std::string(8185, 'x')), NODE_SUCCESS)
        << "opcode and text fill the frame";
    EXPECT_EQ(sim().lastRequest().payload.size(), 8186u);
    expectGolden("commands.txt", text);
}

TEST_F(NodeCommand, EveryReplyShapeLeavesTheStatusAndOutputsOfTheGoldenFile) {
    const Bytes ko = sim::bytesOf("KO");
    const std::tuple<const char*, Decoder, Bytes> rows[] = {
        // A refusal of 0xC0 is printed up to its first NUL, control bytes escaped.
        {"C0RefusedUpToItsFirstNul", C0, ko + text0("busy") + sim::bytesOf("zz")},
        {"C0RefusedWithControlBytesPrintedEscaped", C0, sim::bytesOf("KO\x1b[2J\r\nfound x")},
        // The clock: exactly 8 little-endian bytes, the length tested before the OK.
        {"Time", Time, ok(sim::fromHex("08 07 06 05 04 03 02 01"))},
        {"TimeShortAndRefused", Time, ko + Bytes(7, 1)},
        // Five full 32-bit slots, the OK tested before the length.
        {"Values", Values,
         ok(sim::fromHex("05 01 00 00 05 00 00 00 78 56 34 12 00 00 00 00 FF FF FF FF"))},
        {"ValuesShortAndRefused", Values, ko + Bytes(19, 1)},
        {"ValuesShort", Values, ok(Bytes(19, 1))},
        // Only the first two bytes are tested for OK; a text ends at its NUL or the payload's end.
        {"TextToItsNul", Text, ok(text0("first") + sim::bytesOf("second"))},
        {"TextToThePayloadEnd", Text, sim::bytesOf("OKAY")},
        {"TextEmpty", Text, ok()},
        {"TextLowerCaseOk", Text, sim::bytesOf("okay")},
        {"TextOneByte", Text, sim::bytesOf("O")},
        {"Identity", Identity, ok(text0("a") + text0("b") + text0("c") + sim::bytesOf("d"))},
        {"IdentityRunsOut", Identity, ok(text0("a") + sim::bytesOf("b"))},
        // Keyed texts; a repeated key keeps its last text.
        {"TextMap", TextMap,
         ok(le32(3) + le32(0x01000000) + text0("big") + le32(7) + text0("x") + le32(7) +
            text0("y"))},
        {"TextMapEmpty", TextMap, ok(le32(0))},
        {"TextMapCountBeyondItsEntries", TextMap,
         ok(le32(5) + le32(1) + text0("one") + le32(2) + sim::bytesOf("two"))},
        {"TextMapKeyCutShort", TextMap,
         ok(le32(2) + le32(1) + text0("one") + sim::fromHex("02 00"))},
        {"TextMapWithoutCount", TextMap, ok(sim::fromHex("01 00"))},
        // Records are appended as terminated copies, every field a full 32 bits.
        {"Records", Records,
         ok(le32(2) + le32(0x0A0B0C0D) + le32(3) + sim::bytesOf("abc") + le32(5) + le32(0))},
        {"RecordLongerThan255Bytes", Records,
         ok(le32(2) + le32(1) + le32(300) + Bytes(300, 'L') + le32(2) + le32(1) +
            sim::bytesOf("z"))},
        {"RecordCountAbove255", Records, ok(le32(256) + Bytes(256 * 8, 0))},
        {"RecordsNone", Records, ok(le32(0))},
        {"RecordsRunPastThePayload", Records,
         ok(le32(3) + le32(4) + le32(1) + sim::bytesOf("a") + le32(2) + le32(1000) +
            sim::bytesOf("short"))},
        // Only the lines ended by a newline are appended.
        {"Lines", Lines, ok(text0("a\nb\n"))},
        {"LinesLastUnended", Lines, ok(text0("a\nb"))},
        {"LinesEmpty", Lines, ok(text0("\n\n"))},
        {"LinesNone", Lines, ok()},
        // File information: at least 42 bytes, nothing written from a shorter reply.
        {"FileInfo", FileInfo, ok(le32(3) + le32(77) + Bytes(32, 0xAB))},
        {"FileInfoShort", FileInfo, ok(le32(3) + le32(77) + Bytes(31, 0xAB))},
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
