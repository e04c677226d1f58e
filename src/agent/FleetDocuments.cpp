#include "FleetDocuments.h"

#include <ctime>
#include <regex>

#include "Json.h"
#include "MqttLink.h"
#include "Parse.h"
#include "TimeUtils.h"

namespace agent {

namespace {

std::string plain(json_object* document) {
    return json_object_to_json_string_ext(document,
                                          JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

void setBoolean(json_object* object, const char* key, bool value) {
    cli::setValue(object, key, json_object_new_boolean(value ? 1 : 0));
}

// A job's last run as published: its time, status, and the tool's --json document.
JsonDocument jobDocument(const JobResult& kept) {
    JsonDocument job = cli::newObject();
    cli::setText(job.get(), "time", isoTime(kept.atMs));
    cli::setNumber(job.get(), "status", kept.status);
    cli::setValue(job.get(), "result", kept.result ? json_object_get(kept.result.get()) : nullptr);
    return job;
}

JsonDocument nodeDocument(const NodeState& node) {
    JsonDocument document = cli::newObject();
    cli::setText(document.get(), "address", cli::addressText(node.address));
    setBoolean(document.get(), "online", node.online);
    cli::setText(document.get(), "identity", node.id);
    cli::setValue(document.get(), "clock_offset_ms",
                  node.clockOffsetMs ? json_object_new_int64(*node.clockOffsetMs) : nullptr);
    JsonDocument jobs = cli::newObject();
    for (const auto& [name, kept] : node.jobs) {
        cli::setValue(jobs.get(), name.c_str(), jobDocument(kept).release());
    }
    cli::setValue(document.get(), "jobs", jobs.release());
    return document;
}

// "offline (2 polls missed)" is an offline event; a line that names no node is the agent's.
std::string eventKind(const std::string& text) {
    static const std::regex nodeEvent("^\\S+ at 0x[0-9a-f]{2}: (online|offline|clock)");
    std::smatch found;
    if (std::regex_search(text, found, nodeEvent)) {
        return found[1];
    }
    if (text.starts_with("rollout ")) {
        return "rollout";
    }
    if (text.find("was under way when the agent last stopped") != std::string::npos) {
        return "transfer";
    }
    return text.find(" at 0x") != std::string::npos ? "node" : "agent";
}

}  // namespace

std::string isoTime(uint64_t ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string onlineDocument(const std::string& board, const std::string& started, size_t nodes,
                           size_t online, uint64_t dropped) {
    JsonDocument document = cli::newObject();
    setBoolean(document.get(), "online", true);
    cli::setText(document.get(), "board", board);
    cli::setText(document.get(), "version", KESTRO_VERSION);
    cli::setText(document.get(), "started", started);
    cli::setNumber(document.get(), "nodes", static_cast<int64_t>(nodes));
    cli::setNumber(document.get(), "nodes_online", static_cast<int64_t>(online));
    cli::setText(document.get(), "time", isoTime(millis()));
    if (dropped > 0) {
        cli::setNumber(document.get(), "dropped", static_cast<int64_t>(dropped));
    }
    return plain(document.get());
}

std::string offlineDocument(const std::string& board) {
    JsonDocument document = cli::newObject();
    setBoolean(document.get(), "online", false);
    cli::setText(document.get(), "board", board);
    return plain(document.get());
}

std::string eventDocument(const std::string& text) {
    JsonDocument document = cli::newObject();
    cli::setText(document.get(), "time", isoTime(millis()));
    cli::setText(document.get(), "kind", eventKind(text));
    static const std::regex address("0x[0-9a-f]{2}");
    std::smatch found;
    if (std::regex_search(text, found, address)) {
        cli::setText(document.get(), "address", found.str());
    }
    cli::setText(document.get(), "text", text);
    return plain(document.get());
}

// A node's document is published again when anything but its last_seen changed: a poll alone
// does not make the fleet's traffic.
void FleetPublisher::publish(const Supervisor& supervisor, MqttLink& link) {
    link.setCounts(supervisor.deviceCount(), supervisor.onlineCount());
    for (const auto& [id, node] : supervisor.nodes()) {
        const std::string address = cli::addressText(node.address);
        for (const auto& [name, kept] : node.jobs) {
            uint64_t& sent = _jobs[{address, name}];
            if (kept.atMs != sent) {
                sent = kept.atMs;
                link.jobResult(address, name, plain(jobDocument(kept).get()));
            }
        }
        JsonDocument document = nodeDocument(node);
        const std::string withoutLastSeen = plain(document.get());
        if (_nodes[address] != withoutLastSeen) {
            _nodes[address] = withoutLastSeen;
            cli::setValue(document.get(), "last_seen",
                          node.lastSeenMs ? cli::newText(isoTime(*node.lastSeenMs)) : nullptr);
            link.nodeDocument(address, plain(document.get()));
        }
    }
}

std::string rolloutProgressDocument(const std::string& rollout, unsigned address, int64_t done,
                                    int64_t total) {
    JsonDocument document = cli::newObject();
    cli::setText(document.get(), "time", isoTime(millis()));
    cli::setText(document.get(), "kind", "rollout");
    cli::setText(document.get(), "rollout", rollout);
    cli::setText(document.get(), "address", cli::addressText(address));
    cli::setNumber(document.get(), "done", done);
    cli::setNumber(document.get(), "total", total);
    cli::setText(document.get(), "text",
                 "rollout " + rollout + " at " + cli::addressText(address) + ": " +
                     std::to_string(done) + " of " + std::to_string(total) + " bytes");
    return plain(document.get());
}

}  // namespace agent
