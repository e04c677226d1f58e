#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Console.h"
#include "JsonDocument.h"
#include "NorvaneI2CNode.h"

namespace cli {

// How a command argument is read from the command line.
enum class ParamKind {
    Text,
    Number,  // 32-bit unsigned, decimal or 0x-hex
    Byte,    // 0-255
    Time,    // milliseconds since the epoch, or "now"
};

struct ParamSpec {
    const char* name;
    ParamKind kind;
    const char* example;
    bool optional = false;  // only a last Time parameter is; it defaults to "now"
};

// The outputs a command fills, named as they appear in the JSON result.
enum Field : unsigned {
    kTexts = 1U << 0U,
    kValue = 1U << 1U,
    kValues = 1U << 2U,
    kRecords = 1U << 3U,
    kLines = 1U << 4U,
    kMap = 1U << 5U,
    kFileInfo = 1U << 6U,  // "size", "extra" and "sha256"
};

struct NodeOutput {
    std::vector<std::string> texts;
    uint64_t value = 0;
    std::vector<uint32_t> values;
    std::vector<std::pair<uint32_t, std::string>> records;
    std::vector<std::string> lines;
    std::map<uint32_t, std::string> map;
    uint32_t size = 0;
    uint32_t extra = 0;
    uint8_t sha256[32] = {};
};

// The command line's arguments of one command, already checked against its parameters.
class Arguments {
  public:
    explicit Arguments(std::vector<std::string> values) : _values(std::move(values)) {}
    const std::string& text(size_t index) const { return _values.at(index); }
    uint32_t number(size_t index) const;
    uint64_t time(size_t index) const;

  private:
    std::vector<std::string> _values;
};

using NodeCall = int32_t (*)(NorvaneI2CNode& node, const Arguments& arguments, NodeOutput& out);

// One node command of the tool: its name on the command line, its parameters, what it
// fills, and the library call that does it.
struct NodeCommand {
    const char* name;
    const char* summary;
    std::vector<ParamSpec> params;
    unsigned fields;
    NodeCall call;
};

const std::vector<NodeCommand>& nodeCommands();

// Why an argument does not fit its parameter; empty when it does.
std::string checkArgument(ParamKind kind, const std::string& text);

// Sets the node's clock to the board's time and reads it back into `readBack`.
int32_t syncClock(NorvaneI2CNode& node, uint64_t& readBack);

// Why the node's channel could not be made; nothing when it is open.
std::optional<std::string> channelFault(const NorvaneI2CNode& node, const std::string& bus,
                                        uint8_t address);

// "bus", "address" and "command" of a node document.
JsonDocument nodeDocument(const std::string& bus, uint8_t address, const char* command);

}  // namespace cli
