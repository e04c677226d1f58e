#include "NodeCommands.h"

#include <cstdlib>
#include <limits>

#include "ErrorTexts.h"
#include "ExitStatus.h"
#include "Json.h"
#include "NodeOutputText.h"
#include "Parse.h"
#include "TimeUtils.h"

namespace cli {

namespace {

constexpr uint64_t kMaxNumber = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kMaxByte = std::numeric_limits<uint8_t>::max();
constexpr uint64_t kMaxTime = std::numeric_limits<uint64_t>::max();
constexpr const char* kNow = "now";

const ParamSpec kText{"TEXT", ParamKind::Text, "hello"};
const ParamSpec kName{"NAME", ParamKind::Text, "log.txt"};
const ParamSpec kFirst{"A", ParamKind::Text, "alpha"};
const ParamSpec kSecond{"B", ParamKind::Text, "beta"};
const ParamSpec kArgument{"ARG", ParamKind::Number, "0"};

std::vector<ParamSpec> fiveValues() {
    return {{"V1", ParamKind::Number, "1"},
            {"V2", ParamKind::Number, "2"},
            {"V3", ParamKind::Number, "3"},
            {"V4", ParamKind::Number, "4"},
            {"V5", ParamKind::Number, "5"}};
}

int32_t readRecords(NorvaneI2CNode& node, uint32_t argument, uint8_t opcode, NodeOutput& out) {
    std::list<NodeRecord> records;
    const int32_t status = node.getRecords(argument, records, opcode);
    for (NodeRecord& record : records) {
        out.records.emplace_back(
            record.tag, std::string(reinterpret_cast<const char*>(record.data), record.length));
        std::free(record.data);
    }
    return status;
}

int32_t readText(NorvaneI2CNode& node, int32_t (NorvaneI2CNode::*query)(std::string&),
                 NodeOutput& out) {
    out.texts.resize(1);
    return (node.*query)(out.texts[0]);
}

template <uint8_t Opcode>
NodeCommand recordQuery(const char* name) {
    return {name,
            "records of the query with one argument",
            {kArgument},
            kRecords,
            [](NorvaneI2CNode& node, const Arguments& a, NodeOutput& out) {
                return readRecords(node, a.number(0), Opcode, out);
            }};
}

std::vector<NodeCommand> buildCommands() {
    using A = const Arguments&;
    using N = NorvaneI2CNode&;
    using O = NodeOutput&;
    return {
        {"get-identity",
         "the node's four identity texts (the fourth is its device id)",
         {},
         kTexts,
         [](N node, A, O out) {
             out.texts.resize(4);
             return node.getIdentity(out.texts[0], out.texts[1], out.texts[2], out.texts[3]);
         }},
        {"get-time",
         "the node's clock (milliseconds)",
         {},
         kValue,
         [](N node, A, O out) { return node.getTime(out.value); }},
        {"set-time",
         "sets the node's clock (milliseconds since the epoch, default now)",
         {{"MS|now", ParamKind::Time, "now", true}},
         kValue,
         [](N node, A a, O out) {
             out.value = a.time(0);
             return node.setTime(out.value);
         }},
        {"sync-clock",
         "sets the node's clock to the board's time and reads it back",
         {},
         kValue,
         [](N node, A, O out) { return syncClock(node, out.value); }},
        {"get-text-e1",
         "text E1",
         {},
         kTexts,
         [](N node, A, O out) { return readText(node, &NorvaneI2CNode::getTextE1, out); }},
        {"get-text-e3",
         "text E3",
         {},
         kTexts,
         [](N node, A, O out) { return readText(node, &NorvaneI2CNode::getTextE3, out); }},
        {"get-text-e4",
         "text E4",
         {},
         kTexts,
         [](N node, A, O out) { return readText(node, &NorvaneI2CNode::getTextE4, out); }},
        {"get-text-e5",
         "text E5",
         {},
         kTexts,
         [](N node, A, O out) { return readText(node, &NorvaneI2CNode::getTextE5, out); }},
        {"set-text-f3",
         "sets text E3",
         {kText},
         0,
         [](N node, A a, O) { return node.setTextF3(a.text(0)); }},
        {"set-text-f4",
         "sets text E4",
         {kText},
         0,
         [](N node, A a, O) { return node.setTextF4(a.text(0)); }},
        {"set-text-f5",
         "sets text E5",
         {kText},
         0,
         [](N node, A a, O) { return node.setTextF5(a.text(0)); }},
        {"set-text-pair-f1",
         "sets the text pair F1",
         {kFirst, kSecond},
         0,
         [](N node, A a, O) { return node.setTextPairF1(a.text(0), a.text(1)); }},
        {"set-text-byte-f2",
         "sets the text and byte F2",
         {kText, {"N", ParamKind::Byte, "7"}},
         0,
         [](N node, A a, O) {
             return node.setTextByteF2(a.text(0), static_cast<uint8_t>(a.number(1)));
         }},
        {"get-text-map",
         "the node's numbered texts",
         {},
         kMap,
         [](N node, A, O out) { return node.getTextMap(out.map); }},
        {"get-values-a0",
         "the five values A0",
         {},
         kValues,
         [](N node, A, O out) {
             out.values.resize(5);
             uint32_t* v = out.values.data();
             return node.getValuesA0(v[0], v[1], v[2], v[3], v[4]);
         }},
        {"set-values-b0", "sets the five values", fiveValues(), 0,
         [](N node, A a, O) {
             return node.setValuesB0(a.number(0), a.number(1), a.number(2), a.number(3),
                                     a.number(4));
         }},
        recordQuery<0xA1>("get-records-a1"),
        recordQuery<0xA2>("get-records-a2"),
        recordQuery<0xA3>("get-records-a3"),
        recordQuery<0xA4>("get-records-a4"),
        recordQuery<0xA5>("get-records-a5"),
        {"get-lines",
         "the lines of a named text",
         {kName},
         kLines,
         [](N node, A a, O out) {
             std::list<std::string> lines;
             const int32_t status = node.getLines(a.text(0), lines);
             out.lines.assign(lines.begin(), lines.end());
             return status;
         }},
        {"get-file-info",
         "size, extra value and SHA-256 of a file on the node",
         {kName},
         kFileInfo,
         [](N node, A a, O out) {
             return node.getFileInfo(a.text(0), out.size, out.extra, out.sha256);
         }},
        {"command-c0", "bare command C0", {}, 0, [](N node, A, O) { return node.commandC0(); }},
        {"command-c1", "bare command C1", {}, 0, [](N node, A, O) { return node.commandC1(); }},
        {"command-c2",
         "command C2 with a text",
         {kText},
         0,
         [](N node, A a, O) { return node.commandC2(a.text(0)); }},
        {"command-c3", "bare command C3", {}, 0, [](N node, A, O) { return node.commandC3(); }},
        {"text-command-91",
         "command 91 with a name",
         {kName},
         0,
         [](N node, A a, O) { return node.textCommand91(a.text(0)); }},
        {"text-command-92",
         "command 92 with a name",
         {kName},
         0,
         [](N node, A a, O) { return node.textCommand92(a.text(0)); }},
        {"text-command-96",
         "command 96 with a name",
         {kName},
         0,
         [](N node, A a, O) { return node.textCommand96(a.text(0)); }},
        {"text-pair-command-97",
         "command 97 with two texts",
         {kFirst, kSecond},
         0,
         [](N node, A a, O) { return node.textPairCommand97(a.text(0), a.text(1)); }},
        {"text-pair-command-98",
         "command 98 with two texts",
         {kFirst, kSecond},
         0,
         [](N node, A a, O) { return node.textPairCommand98(a.text(0), a.text(1)); }},
    };
}

}  // namespace

uint32_t Arguments::number(size_t index) const {
    return static_cast<uint32_t>(parseNumber(text(index), kMaxNumber).value_or(0));
}

uint64_t Arguments::time(size_t index) const {
    if (index >= _values.size() || text(index) == kNow) {
        return millis();
    }
    return parseNumber(text(index), kMaxTime).value_or(0);
}

const std::vector<NodeCommand>& nodeCommands() {
    static const std::vector<NodeCommand> commands = buildCommands();
    return commands;
}

std::string checkArgument(ParamKind kind, const std::string& text) {
    switch (kind) {
        case ParamKind::Number:
            return parseNumber(text, kMaxNumber) ? "" : "not a 32-bit number: " + text;
        case ParamKind::Byte:
            return parseNumber(text, kMaxByte) ? "" : "not a number from 0 to 255: " + text;
        case ParamKind::Time:
            return text == kNow || parseNumber(text, kMaxTime)
                       ? ""
                       : "not a time in milliseconds or \"now\": " + text;
        case ParamKind::Text:
            break;
    }
    return "";
}

int32_t syncClock(NorvaneI2CNode& node, uint64_t& readBack) {
    if (node.setTime(millis()) != NODE_SUCCESS) {
        return node.getStatus();
    }
    return node.getTime(readBack);
}

std::optional<std::string> channelFault(const NorvaneI2CNode& node, const std::string& bus,
                                        uint8_t address) {
    switch (node.master.getError()) {
        case MASTER_OK:
            return std::nullopt;
        case MASTER_OPEN_FAILED:
            return busOpenText(bus, node.master.lastErrno());
        case MASTER_BIND_FAILED:
            return addressSelectText(bus, address, node.master.lastErrno());
        default:
            return "address " + addressText(address) + " on " + bus + " is already in use";
    }
}

JsonDocument nodeDocument(const std::string& bus, uint8_t address, const char* command) {
    JsonDocument document = newObject();
    setText(document.get(), "bus", bus);
    setNumber(document.get(), "address", address);
    setText(document.get(), "command", command);
    return document;
}

}  // namespace cli
