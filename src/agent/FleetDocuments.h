#pragma once

// The documents the board publishes to the fleet (docs/fleet.md): its status, each node's,
// job results and events, as JSON texts.

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "Supervisor.h"

namespace agent {

class MqttLink;

// "2026-12-08T21:00:00Z" for milliseconds since the epoch.
std::string isoTime(uint64_t ms);

std::string onlineDocument(const std::string& board, const std::string& started, size_t nodes,
                           size_t online, uint64_t dropped);
std::string offlineDocument(const std::string& board);
// An event line of the agent's log, with its kind and the address it names.
std::string eventDocument(const std::string& text);
// How far a rollout's put to one node is (kind "rollout").
std::string rolloutProgressDocument(const std::string& rollout, unsigned address, int64_t done,
                                    int64_t total);

// Hands the link what changed in the supervisor's view since the last round: the status
// counts, each node's document, and every job result not yet published.
class FleetPublisher {
  public:
    void publish(const Supervisor& supervisor, MqttLink& link);

  private:
    std::map<std::string, std::string> _nodes;  // address -> document without last_seen
    std::map<std::pair<std::string, std::string>, uint64_t> _jobs;  // (address, job) -> its time
};

}  // namespace agent
