#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "BusSchedule.h"
#include "Console.h"
#include "JsonDocument.h"
#include "NodeCommands.h"
#include "NorvaneI2CNode.h"

namespace cli {

// One node's part of a call on several addresses: what a call on its address alone would have
// written and ended with.
struct NodePart {
    uint8_t address = 0;
    JsonDocument document;
    int exitStatus = 0;
    std::string text;  // its result for a person, or why it failed; whole lines
    std::optional<BusSchedule::JobId> job;  // its operation, once its node could be opened
};

// A part per address, each with the document a call on it alone starts with.
std::vector<NodePart> nodeParts(const Settings& settings, const std::vector<uint8_t>& addresses,
                                const char* command);
// Opens the part's node among `nodes` with the call's reply polling; nothing, with the part
// failed, when its channel could not be made.
NorvaneI2CNode* openNode(const Settings& settings, NodePart& part,
                         std::deque<NorvaneI2CNode>& nodes);
void failPart(NodePart& part, int code, const std::string& text);
// The library's console lines of an operation on std::cout (standard error under --verbose,
// nowhere otherwise), each labelled with the node's address.
void echoConsole(uint8_t address, const BusSchedule::Result& result);
// The one document, or each part's lines labelled with its address in the order given and
// the failed addresses on standard error; returns the exit status of the first failed part.
int reportParts(Console& console, const Settings& settings, const char* command,
                std::vector<NodePart>& parts);
// Calls `use(index, part, result)` for each part whose operation ran, in the order given,
// after echoing its console lines.
template <typename Use>
void eachResult(std::vector<NodePart>& parts, const BusSchedule& schedule, Use use) {
    for (size_t index = 0; index < parts.size(); ++index) {
        NodePart& part = parts[index];
        if (!part.job) {
            continue;
        }
        const BusSchedule::Result& result = schedule.result(*part.job);
        echoConsole(part.address, result);
        use(index, part, result);
    }
}

// The call ends before any node was asked: `code` and `text` in a document of its own.
int failCall(Console& console, const Settings& settings, const char* command, int code,
             const std::string& text);

// The nodes of "all": the addresses of the scan's range (0x08-0x77) whose node answers the
// identity command, each asked once in one interleaved sweep; or why the bus cannot be used.
struct NodeSweep {
    std::vector<uint8_t> addresses;
    std::optional<std::string> fault;
};
NodeSweep sweepForNodes(const Settings& settings);
// The question asked before the sweep unless -y.
std::string sweepQuestion(const std::string& bus);

// node ADDRESSES COMMAND: the command once on each node, all through one bus schedule.
int runNodeCommandOnEach(Console& console, const Settings& settings,
                         const std::vector<uint8_t>& addresses, const NodeCommand& command,
                         const std::vector<std::string>& arguments);

}  // namespace cli
