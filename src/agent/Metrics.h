#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace httplib {
class Server;
}

namespace agent {

class Supervisor;

// What the agent counts as it works, for its metrics.
struct Counters {
    // Operations by the tool's command name ("get-identity", "put") and node status.
    std::map<std::pair<std::string, int32_t>, uint64_t> commands;
    uint64_t bytesSent = 0;
    uint64_t bytesReceived = 0;
    // The poll's round trip (the identity command, its reply wait included), in seconds.
    static constexpr std::array<double, 8> kBounds = {0.1, 0.105, 0.11, 0.125, 0.15, 0.2, 0.5, 1.0};
    std::array<uint64_t, kBounds.size()> pollBuckets{};  // cumulative, as exposed
    uint64_t pollCount = 0;
    double pollSum = 0;

    void countCommand(const std::string& command, int32_t status) { ++commands[{command, status}]; }
    void countPoll(double seconds);
};

// The Prometheus text exposition of the agent's state and counters.
std::string exposition(const Supervisor& supervisor, const Counters& counters);

// Serves the latest exposition at http://LISTEN/metrics from a thread of its own; the agent's
// loop publishes a fresh text now and then, so the server never touches the agent's state.
class MetricsServer {
  public:
    // `listen` is HOST:PORT; throws std::runtime_error when it cannot listen there.
    explicit MetricsServer(const std::string& listen);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    void publish(std::string text);

  private:
    std::unique_ptr<httplib::Server> _server;
    std::mutex _lock;
    std::string _text;
    std::thread _thread;
};

// HOST and PORT of HOST:PORT; nothing when it is not one.
std::optional<std::pair<std::string, int>> splitListen(const std::string& listen);

}  // namespace agent
