#include "Supervisor.h"

#include <algorithm>
#include <utility>

#include "Json.h"
#include "NodeCommands.h"
#include "NodeOutputText.h"
#include "NodeStatus.h"
#include "Parse.h"
#include "TimeUtils.h"

namespace agent {

namespace {

std::chrono::seconds seconds(uint32_t count) { return std::chrono::seconds(count); }

const cli::NodeCommand* findCommand(const std::string& name) {
    for (const cli::NodeCommand& command : cli::nodeCommands()) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

struct Identity {
    std::string vendor, version, board, id;
};

}  // namespace

Supervisor::Supervisor(const AgentConfig& config, BusSchedule& schedule, Counters& counters,
                       EventSink events)
    : _config(config), _schedule(schedule), _counters(counters), _events(std::move(events)) {
    const Clock::time_point now = Clock::now();
    _nextPoll = now + seconds(_config.pollPeriodS);
    _nextProbe = now + seconds(_config.probePeriodS);
    _nextSync = now;
}

// Operations still queued hold pointers to the channels: the schedule, which the agent destroys
// after this, never resumes them.
Supervisor::~Supervisor() = default;

void Supervisor::configure(const AgentConfig& config) {
    const Clock::time_point now = Clock::now();
    _config = config;
    _nextPoll = std::min(_nextPoll, now + seconds(_config.pollPeriodS));
    _nextProbe = std::min(_nextProbe, now + seconds(_config.probePeriodS));
    _nextSync = std::min(_nextSync, now + seconds(_config.clockSyncPeriodS));
    std::erase_if(_nextJob, [&](const auto& entry) {
        return std::ranges::none_of(_config.jobs,
                                    [&](const Job& job) { return job.name == entry.first; });
    });
}

void Supervisor::setDevices(const std::map<std::string, uint8_t>& devices) {
    for (auto it = _nodes.begin(); it != _nodes.end();) {
        const auto listed = devices.find(it->first);
        if (listed == devices.end() || listed->second != it->second.address) {
            event(it->second, "no longer listed by the device API; forgotten");
            it = _nodes.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [id, address] : devices) {
        if (_nodes.count(id) != 0) {
            continue;
        }
        NodeState& node = _nodes[id];
        node.id = id;
        node.address = address;
        ask(node, true);
    }
}

void Supervisor::adoptFound(const std::string& id, uint8_t address,
                            std::unique_ptr<NorvaneI2CNode> channel) {
    _channels[address] = std::move(channel);
    NodeState& node = _nodes[id];
    node.id = id;
    node.address = address;
    noteSeen(node);
}

void Supervisor::restore(const std::string& id, std::optional<uint64_t> lastSeenMs,
                         std::optional<int64_t> clockOffsetMs) {
    const auto found = _nodes.find(id);
    if (found == _nodes.end()) {
        return;
    }
    if (!found->second.lastSeenMs) {
        found->second.lastSeenMs = lastSeenMs;
    }
    found->second.clockOffsetMs = clockOffsetMs;
}

void Supervisor::restoreJobRun(const std::string& name, uint64_t atMs) {
    for (const Job& job : _config.jobs) {
        if (job.name != name) {
            continue;
        }
        const uint64_t nowMs = millis();
        const uint64_t periodMs = uint64_t{job.periodS} * 1000;
        const uint64_t sinceMs = nowMs > atMs ? nowMs - atMs : 0;
        const uint64_t leftMs = sinceMs >= periodMs ? 0 : periodMs - sinceMs;
        _nextJob[name] = Clock::now() + std::chrono::milliseconds(leftMs);
        _jobRuns[name] = atMs;
    }
}

Clock::time_point Supervisor::startDue(Clock::time_point now) {
    if (now >= _nextPoll) {
        pollOnline();
        _nextPoll = now + seconds(_config.pollPeriodS);
    }
    if (now >= _nextProbe) {
        probeOffline();
        _nextProbe = now + seconds(_config.probePeriodS);
    }
    if (now >= _nextSync) {
        syncClocks();
        _nextSync = now + seconds(_config.clockSyncPeriodS);
    }
    Clock::time_point next = std::min({_nextPoll, _nextProbe, _nextSync});
    for (const Job& job : _config.jobs) {
        auto [slot, added] = _nextJob.try_emplace(job.name, now);
        if (now >= slot->second) {
            runJob(job);
            slot->second = now + seconds(job.periodS);
        }
        next = std::min(next, slot->second);
    }
    return next;
}

void Supervisor::probeNow() {
    probeOffline();
    _nextProbe = Clock::now() + seconds(_config.probePeriodS);
}

bool Supervisor::takeResult(BusSchedule::JobId id, const BusSchedule::Result& result) {
    const auto found = _completions.find(id);
    if (found == _completions.end()) {
        return false;
    }
    const Completion completion = std::move(found->second);
    _completions.erase(found);
    completion(result);
    _schedule.release(id);
    return true;
}

NorvaneI2CNode* Supervisor::channel(uint8_t address, std::string& fault) {
    std::unique_ptr<NorvaneI2CNode>& slot = _channels[address];
    if (!slot) {
        slot = std::make_unique<NorvaneI2CNode>(address, _config.bus.c_str());
    }
    if (const std::optional<std::string> problem = cli::channelFault(*slot, _config.bus, address)) {
        fault = *problem;
        _channels.erase(address);
        return nullptr;
    }
    return slot.get();
}

size_t Supervisor::onlineCount() const {
    return static_cast<size_t>(std::ranges::count_if(
        _nodes, [](const auto& entry) { return entry.second.online; }));
}

void Supervisor::queue(NorvaneI2CNode& node, BusSchedule::Operation operation,
                       Completion completion) {
    _completions.emplace(_schedule.add(node, std::move(operation)), std::move(completion));
}

void Supervisor::pollOnline() {
    for (auto& [id, node] : _nodes) {
        if (node.online && !node.asked) {
            ask(node, false);
        }
    }
}

void Supervisor::probeOffline() {
    for (auto& [id, node] : _nodes) {
        if (!node.online && !node.asked) {
            ask(node, true);
        }
    }
}

// A poll and a probe are the same light query, the identity command; only an answer with the
// device's own id counts. A probe opens the channel afresh, so a node that was reset or
// replaced starts clean.
void Supervisor::ask(NodeState& node, bool fresh) {
    NorvaneI2CNode* channel = fresh ? freshChannel(node.address) : nullptr;
    std::string fault;
    if (channel == nullptr) {
        channel = this->channel(node.address, fault);
    }
    if (channel == nullptr) {
        noteMissed(node);
        return;
    }
    node.asked = true;
    auto identity = std::make_shared<Identity>();
    queue(
        *channel,
        [identity](NorvaneI2CNode& asked) {
            return asked.getIdentity(identity->vendor, identity->version, identity->board,
                                     identity->id);
        },
        [this, id = node.id, identity, fresh](const BusSchedule::Result& result) {
            _counters.countCommand("get-identity", result.status);
            if (!fresh) {
                _counters.countPoll(std::chrono::duration<double>(result.ended - result.started).count());
            }
            noteAnswer(id, result.status == NODE_SUCCESS && identity->id == id);
        });
}

NorvaneI2CNode* Supervisor::freshChannel(uint8_t address) {
    const auto found = _channels.find(address);
    if (found != _channels.end()) {
        if (_schedule.busy(*found->second)) {
            return found->second.get();
        }
        // The master keeps one channel per address: the old one goes before the new one opens.
        _channels.erase(found);
    }
    std::string fault;
    return channel(address, fault);
}

void Supervisor::noteAnswer(const std::string& id, bool rightIdentity) {
    const auto found = _nodes.find(id);
    if (found == _nodes.end()) {
        return;
    }
    found->second.asked = false;
    if (rightIdentity) {
        noteSeen(found->second);
    } else {
        noteMissed(found->second);
    }
}

void Supervisor::noteSeen(NodeState& node) {
    node.missed = 0;
    node.lastSeenMs = millis();
    if (!node.online) {
        node.online = true;
        event(node, "online");
    }
}

void Supervisor::noteMissed(NodeState& node) {
    ++node.missed;
    if (node.online && node.missed >= _config.offlineAfter) {
        node.online = false;
        event(node, "offline (" + std::to_string(node.missed) + " polls missed)");
    }
}

void Supervisor::syncClocks() {
    for (auto& [id, node] : _nodes) {
        if (node.online) {
            syncClock(node);
        }
    }
}

// The node's offset is read before its clock is set: it says how far the clock drifted.
void Supervisor::syncClock(NodeState& node) {
    std::string fault;
    NorvaneI2CNode* channel = this->channel(node.address, fault);
    if (channel == nullptr) {
        return;
    }
    auto offset = std::make_shared<int64_t>(0);
    queue(
        *channel,
        [offset](NorvaneI2CNode& asked) {
            // The node reads its clock as the request arrives, not when its reply is read a
            // reply's wait later.
            const uint64_t askedMs = millis();
            uint64_t nodeMs = 0;
            if (const int32_t status = asked.getTime(nodeMs); status != NODE_SUCCESS) {
                return status;
            }
            *offset = static_cast<int64_t>(nodeMs) - static_cast<int64_t>(askedMs);
            uint64_t readBack = 0;
            return cli::syncClock(asked, readBack);
        },
        [this, id = node.id, offset](const BusSchedule::Result& result) {
            _counters.countCommand("sync-clock", result.status);
            const auto found = _nodes.find(id);
            if (found == _nodes.end() || result.status != NODE_SUCCESS) {
                return;
            }
            found->second.clockOffsetMs = *offset;
            event(found->second, "clock set; it was " + std::to_string(*offset) + " ms off");
        });
}

void Supervisor::runJob(const Job& job) {
    _jobRuns[job.name] = millis();
    for (auto& [id, node] : _nodes) {
        const bool named = job.addresses.empty() ||
                           std::ranges::find(job.addresses, node.address) != job.addresses.end();
        if (named && node.online) {
            collect(node, job);
        }
    }
}

void Supervisor::collect(NodeState& node, const Job& job) {
    const cli::NodeCommand* command = findCommand(job.command);
    std::string fault;
    NorvaneI2CNode* channel = this->channel(node.address, fault);
    if (command == nullptr || channel == nullptr) {
        return;
    }
    auto out = std::make_shared<cli::NodeOutput>();
    queue(
        *channel,
        [command, out, args = job.args](NorvaneI2CNode& asked) {
            return command->call(asked, cli::Arguments(args), *out);
        },
        [this, id = node.id, name = job.name, command, out](const BusSchedule::Result& result) {
            _counters.countCommand(command->name, result.status);
            const auto found = _nodes.find(id);
            if (found == _nodes.end()) {
                return;
            }
            JobResult& kept = found->second.jobs[name];
            kept.status = result.status;
            kept.atMs = millis();
            kept.result.reset(result.status == NODE_SUCCESS
                                  ? cli::outputObject(command->fields, *out)
                                  : nullptr);
        });
}

void Supervisor::event(const NodeState& node, const std::string& what) {
    _events(node.id + " at " + cli::addressText(node.address) + ": " + what);
}

JsonDocument Supervisor::nodesDocument() const {
    std::vector<const NodeState*> byAddress;
    for (const auto& [id, node] : _nodes) {
        byAddress.push_back(&node);
    }
    std::ranges::stable_sort(byAddress, {}, &NodeState::address);
    JsonDocument array(json_object_new_array());
    for (const NodeState* node : byAddress) {
        JsonDocument entry = cli::newObject();
        cli::setText(entry.get(), "id", node->id);
        cli::setNumber(entry.get(), "address", node->address);
        cli::setValue(entry.get(), "online", json_object_new_boolean(node->online ? 1 : 0));
        cli::setValue(entry.get(), "last_seen_ms",
                      node->lastSeenMs ? json_object_new_int64(static_cast<int64_t>(*node->lastSeenMs)) : nullptr);
        cli::setValue(entry.get(), "clock_offset_ms",
                      node->clockOffsetMs ? json_object_new_int64(*node->clockOffsetMs) : nullptr);
        JsonDocument jobs = cli::newObject();
        for (const auto& [name, kept] : node->jobs) {
            JsonDocument job = cli::newObject();
            cli::setNumber(job.get(), "status", kept.status);
            cli::setNumber(job.get(), "at_ms", static_cast<int64_t>(kept.atMs));
            cli::setValue(job.get(), "result",
                          kept.result ? json_object_get(kept.result.get()) : nullptr);
            cli::setValue(jobs.get(), name.c_str(), job.release());
        }
        cli::setValue(entry.get(), "jobs", jobs.release());
        json_object_array_add(array.get(), entry.release());
    }
    return array;
}

}  // namespace agent
