#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BusSchedule.h"
#include "Console.h"
#include "JsonDocument.h"
#include "NodeCommands.h"
#include "NorvaneI2CNode.h"

namespace cli {

// One node's part of a call: what a call on its address alone would have written and ended
// with.
struct NodePart {
    uint8_t address = 0;
    JsonDocument document;
    int exitStatus = 0;
    std::string text;   // its result for a person, or why it failed; whole lines
    std::string fault;  // why it failed, as a call on its address alone says it
    std::optional<BusSchedule::JobId> job;  // its operation, once its node could be opened
};

void failPart(NodePart& part, int code, const std::string& text);

// The node a call uses at an address, open, whose operations may be queued; nullptr with
// `fault` set to why its channel could not be made.
using NodeProvider = std::function<NorvaneI2CNode*(uint8_t address, std::string& fault)>;
// Opens each node asked for into `nodes`, which outlive the schedule the call uses.
NodeProvider ownNodes(const std::string& bus, std::deque<NorvaneI2CNode>& nodes);

// node, put or get on one address or several: an operation per node queued on a bus
// schedule, then, once all have ended, what the tool prints, byte for byte the same whoever
// ran the schedule. Its operations refer to it: it must outlive them.
class CallOnNodes {
  public:
    // `several`: the addresses were written as a list, a range or all, so results are
    // labelled with their addresses and gathered in one document.
    CallOnNodes(const Settings& settings, const std::vector<uint8_t>& addresses, bool several,
                const char* command);
    virtual ~CallOnNodes() = default;
    CallOnNodes(const CallOnNodes&) = delete;
    CallOnNodes& operator=(const CallOnNodes&) = delete;

    // Queues each part's operation, with the call's reply polling, on the node `nodes` gives.
    void queue(BusSchedule& schedule, const NodeProvider& nodes);
    bool ended(const BusSchedule& schedule) const;
    bool succeeded(const BusSchedule& schedule) const;
    // Once ended: the library's console lines, then the document or each part's lines, and
    // the failed addresses; returns the exit status (the first failed part's).
    int report(Console& console, const BusSchedule& schedule);
    // [{address, direction, remote, done, total}] of the transfers under way.
    virtual JsonDocument progress() const;
    // Transfers stop after the step under way and end on their nodes.
    virtual void cancel() {}
    // Lets the schedule forget the results of the operations that ended.
    void releaseResults(BusSchedule& schedule) const;
    const std::string& bus() const { return _settings.bus; }

  protected:
    // The part's operation; nothing, with the part failed, when it cannot start.
    virtual std::optional<BusSchedule::Operation> operation(size_t index, NodePart& part) = 0;
    // What the ended operation adds to its part.
    virtual void note(size_t index, NodePart& part, const BusSchedule::Result& result) = 0;

    const Settings _settings;
    std::vector<NodePart> _parts;

  private:
    int reportOne(Console& console);
    int reportSeveral(Console& console);

    bool _several;
    const char* _command;
};

// Runs the call on a schedule of its own with nodes of its own; returns the exit status.
int runCall(Console& console, CallOnNodes& call);

// The call ends before any node was asked: `code` and `text` in a document of its own.
int failCall(Console& console, const Settings& settings, const char* command, int code,
             const std::string& text);

// The nodes of "all": the addresses of the scan's range (0x08-0x77) whose node answers the
// identity command, each asked once in one interleaved sweep on the schedule given. An address
// without a channel is left out, as a silent one is.
class IdentitySweep {
  public:
    IdentitySweep(BusSchedule& schedule, const NodeProvider& nodes, uint32_t replyPollUs);
    bool ended(const BusSchedule& schedule) const;
    // Once ended: the addresses that answered, and the library's lines of the sweep, labelled.
    // The sweep's results are released.
    std::vector<uint8_t> answered(BusSchedule& schedule, std::string& lines);
    // Why no address could be asked at all (the bus cannot be opened); empty when one was.
    const std::string& fault() const { return _fault; }

  private:
    std::vector<std::pair<uint8_t, BusSchedule::JobId>> _jobs;
    std::string _fault;
};

// The tool's sweep, on a schedule and nodes of its own; or why the bus cannot be used.
struct NodeSweep {
    std::vector<uint8_t> addresses;
    std::optional<std::string> fault;
};
NodeSweep sweepForNodes(Console& console, const Settings& settings);
// Every line of `text` begins with the address, so that the lines of several nodes can be told
// apart, and grepped.
std::string labelled(uint8_t address, const std::string& text);
// The question asked before the sweep unless -y.
std::string sweepQuestion(const std::string& bus);

// node ADDRESSES COMMAND: the command once on each node.
std::unique_ptr<CallOnNodes> nodeCommandCall(const Settings& settings,
                                             const std::vector<uint8_t>& addresses, bool several,
                                             const NodeCommand& command,
                                             const std::vector<std::string>& arguments);

}  // namespace cli
