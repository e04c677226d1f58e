#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "AgentConfig.h"
#include "Metrics.h"
#include "BusSchedule.h"
#include "JsonDocument.h"
#include "NorvaneI2CNode.h"

namespace agent {

using Clock = std::chrono::steady_clock;

// The latest result of a collection job on one node.
struct JobResult {
    int32_t status = 0;
    uint64_t atMs = 0;
    JsonDocument result;  // the command's result document; none when it failed
};

// What the agent knows of one device the API lists.
struct NodeState {
    std::string id;
    uint8_t address = 0;
    bool online = false;
    uint32_t missed = 0;
    std::optional<uint64_t> lastSeenMs;
    std::optional<int64_t> clockOffsetMs;
    std::map<std::string, JobResult> jobs;
    bool asked = false;  // a poll or probe of it is queued or under way
};

// Keeps the listed devices' nodes supervised, in time and collected: every bus exchange it
// starts is an operation on the agent's one bus schedule, so none of them waits for another
// node's work.
class Supervisor {
  public:
    using EventSink = std::function<void(const std::string&)>;

    Supervisor(const AgentConfig& config, BusSchedule& schedule, Counters& counters,
               EventSink events);
    ~Supervisor();
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;

    // New settings (a reload): periods and jobs hold from now on.
    void configure(const AgentConfig& config);

    // The devices the API lists (id -> address). New ones are probed at once, removed ones
    // forgotten. `found` are those whose node answered at start-up with its own id: their
    // channels, which the board opened, are handed over.
    void setDevices(const std::map<std::string, uint8_t>& devices);
    void adoptFound(const std::string& id, uint8_t address, std::unique_ptr<NorvaneI2CNode> channel);
    // Restores what the last run knew (last seen, clock offset) of a device still listed.
    void restore(const std::string& id, std::optional<uint64_t> lastSeenMs,
                 std::optional<int64_t> clockOffsetMs);

    // Queues the polls, probes, clock syncs and jobs that are due; answers when to come back.
    Clock::time_point startDue(Clock::time_point now);
    // Probes every device that is not online at once (rescan).
    void probeNow();
    // The schedule's report of an ended operation; one this supervisor did not start is left
    // to its owner.
    bool takeResult(BusSchedule::JobId id, const BusSchedule::Result& result);

    // The agent's one channel to an address, opened when it has none; nullptr with `fault`.
    NorvaneI2CNode* channel(uint8_t address, std::string& fault);

    size_t onlineCount() const;
    size_t deviceCount() const { return _nodes.size(); }
    // The "nodes" array of the status document, by address.
    JsonDocument nodesDocument() const;
    const std::map<std::string, NodeState>& nodes() const { return _nodes; }
    // Job name -> its last run, in milliseconds since the epoch.
    const std::map<std::string, uint64_t>& jobRuns() const { return _jobRuns; }
    void restoreJobRun(const std::string& name, uint64_t atMs);

  private:
    using Completion = std::function<void(const BusSchedule::Result&)>;

    void queue(NorvaneI2CNode& node, BusSchedule::Operation operation, Completion completion);
    void pollOnline();
    void probeOffline();
    void syncClocks();
    void runJob(const Job& job);
    void ask(NodeState& node, bool fresh);
    void noteAnswer(const std::string& id, bool rightIdentity);
    void noteSeen(NodeState& node);
    void noteMissed(NodeState& node);
    void syncClock(NodeState& node);
    void collect(NodeState& node, const Job& job);
    NorvaneI2CNode* freshChannel(uint8_t address);
    void event(const NodeState& node, const std::string& what);

    AgentConfig _config;
    BusSchedule& _schedule;
    Counters& _counters;
    EventSink _events;
    std::map<std::string, NodeState> _nodes;
    std::map<uint8_t, std::unique_ptr<NorvaneI2CNode>> _channels;
    std::unordered_map<BusSchedule::JobId, Completion> _completions;
    Clock::time_point _nextPoll{};
    Clock::time_point _nextProbe{};
    Clock::time_point _nextSync{};
    std::map<std::string, Clock::time_point> _nextJob;
    std::map<std::string, uint64_t> _jobRuns;
};

}  // namespace agent
