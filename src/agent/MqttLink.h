#pragma once

#include <poll.h>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "AgentConfig.h"

struct mosquitto;
struct mqtt5__property;
struct mosquitto_message;

namespace agent {

// Where the answer to a request that came over MQTT goes: its response topic, with the
// correlation data it came with (MQTT 5; empty for the 3.1.1 form, whose "id" is echoed).
struct MqttReplyRoute {
    std::string topic;
    std::string correlation;
};

// The board's link to the fleet's broker, driven from the agent's own loop (no thread): the
// status document with its will, the node documents, job results, events, and the requests of
// the board's cmd topic. While the broker cannot be reached, what would be published waits in
// a queue on disk, sent in order once connected again.
class MqttLink {
  public:
    using Clock = std::chrono::steady_clock;
    // A request that came on the cmd topic, and where its answer goes.
    using RequestSink = std::function<void(const std::string& request, const MqttReplyRoute& route)>;

    MqttLink(const MqttSettings& settings, const std::string& stateDir, const std::string& started,
             RequestSink requests);
    ~MqttLink();
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    // The loop's part: the broker's socket to poll, what came on it, and the link's timers
    // (keep-alive, reconnection); service() answers when it wants to come back.
    void addPollFds(std::vector<pollfd>& fds) const;
    void handle(const std::vector<pollfd>& fds);
    Clock::time_point service(Clock::time_point now);

    // The counts of the status document; it is published again when they change.
    void setCounts(size_t nodes, size_t online);
    // The retained document of a node (`address` as "0x10"), published when it changed.
    void nodeDocument(const std::string& address, const std::string& document);
    void jobResult(const std::string& address, const std::string& name, const std::string& document);
    void event(const std::string& document);
    // One line of an answer to a request: a progress line, or its last line.
    void reply(const MqttReplyRoute& route, const std::string& line);

    // A clean stop: the offline document, then the goodbye.
    void close();

  private:
    struct Message {
        std::string topic;
        std::string payload;
        std::string correlation;
    };

    static void onConnect(mosquitto*, void* self, int code, int, const mqtt5__property*);
    static void onDisconnect(mosquitto*, void* self, int code, const mqtt5__property*);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message,
                          const mqtt5__property* properties);
    static void onLog(mosquitto*, void* self, int level, const char* text);
    void connected(int code);
    void disconnected(int code);
    void lost(std::string why, bool mayBeTheCertificate);
    void received(const mosquitto_message& message, const mqtt5__property* properties);
    void connect();
    void scheduleAttempt(const std::string& why);
    bool publishNow(const Message& message, bool retain);
    void publishStatus();
    void send(Message message);
    void queue(Message message);
    void appendToQueueFile(const Message& message) const;
    void saveQueue() const;
    void loadQueue();
    void flushQueue();
    std::string topic(const std::string& rest) const;

    MqttSettings _settings;
    std::string _queueFile;
    std::string _started;
    RequestSink _requests;
    mosquitto* _client = nullptr;
    bool _connected = false;
    bool _socketOpen = false;
    Clock::time_point _nextAttempt{};
    std::chrono::seconds _backOff{1};
    size_t _nodes = 0;
    size_t _online = 0;
    bool _closing = false;
    std::string _lastError;  // the library's last complaint, for the log
    std::map<std::string, std::string> _nodeDocuments;  // address -> retained document
    std::deque<Message> _queue;
    size_t _queuedBytes = 0;
    uint64_t _dropped = 0;
};

}  // namespace agent
