#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace agent {

// A collection job: one node command, run on its nodes every period; the latest result of each
// node is kept.
struct Job {
    std::string name;
    std::string command;  // the tool's name of a node command, "get-values-a0"
    std::vector<std::string> args;
    uint32_t periodS = 60;
    std::vector<uint8_t> addresses;  // empty: every online node
};

// The link to the fleet's MQTT broker (agent.json "mqtt"; the link is on when it is there).
struct MqttSettings {
    std::string host;
    int port = 8883;
    bool tls = true;
    std::string boardId;   // default: the host name
    std::string username;  // default: the board id
    std::string passwordFile;
    std::string caFile;  // TLS: empty trusts the system's authorities
    std::string certFile;
    std::string keyFile;
    std::string rolloutCaFile;  // the rollouts' HTTPS downloads: empty trusts the system's
    uint32_t keepaliveS = 60;
    int qos = 1;
    uint32_t queueMaxBytes = 16 * 1024 * 1024;

    bool operator==(const MqttSettings&) const = default;
};

// The agent's own settings (agent.json); every key has a default.
struct AgentConfig {
    std::string bus = "/dev/i2c-3";
    uint32_t pollPeriodS = 10;
    uint32_t offlineAfter = 2;
    uint32_t probePeriodS = 60;
    uint32_t clockSyncPeriodS = 6 * 3600;
    uint32_t deviceRefreshPeriodS = 3600;
    std::vector<Job> jobs;
    std::string socketPath = "/run/i2c-kestro/agent.sock";
    std::string socketGroup = "i2c";
    uint32_t socketMode = 0660;
    std::string stateDir = "/var/lib/i2c-kestro";
    bool metrics = false;
    std::string metricsListen = "127.0.0.1:9464";
    std::optional<MqttSettings> mqtt;
};

// A setting that cannot be used: the file's name and the key that is wrong, on one line.
class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

AgentConfig readAgentConfig(const std::string& path);

}  // namespace agent
