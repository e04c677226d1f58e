#pragma once

// One MQTT 5 connection of the tool to the fleet's broker, driven by its own blocking loop with a
// deadline, so that no step of the tool can wait longer than it was given.

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace cli {

using FleetClock = std::chrono::steady_clock;

// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883).
struct BrokerUrl {
    std::string host;
    int port = 0;
    bool tls = false;
};
std::optional<BrokerUrl> parseBrokerUrl(const std::string& text);

struct FleetMessage {
    std::string topic;
    std::string payload;
    std::string correlation;  // MQTT 5 correlation data; empty without
    bool retained = false;
};

struct FleetCredentials {
    std::string caFile;        // mqtts: empty: the system's authorities
    std::string certFile;      // with keyFile: a client certificate
    std::string keyFile;
    std::string user;          // empty: none
    std::string password;
};

class FleetLink {
  public:
    FleetLink(const BrokerUrl& url, const FleetCredentials& credentials);
    ~FleetLink();
    FleetLink(const FleetLink&) = delete;
    FleetLink& operator=(const FleetLink&) = delete;

    // Connects and subscribes to `topics` (QoS 1), again after every reconnect; why that did not
    // happen by `deadline` (empty when it did).
    std::string open(const std::vector<std::string>& topics, FleetClock::time_point deadline);
    // Publishes at QoS 1, with a response topic and correlation data when given.
    bool publish(const std::string& topic, const std::string& payload,
                 const std::string& responseTopic = "", const std::string& correlation = "");
    // Runs the connection until `done` says so or `until` passes; false when it was lost.
    bool run(FleetClock::time_point until, const std::function<bool()>& done);
    // After a loss: one attempt to connect again (subscriptions follow once connected).
    void reconnect();

    void onMessage(std::function<void(const FleetMessage&)> handler) {
        _handler = std::move(handler);
    }
    // Unique per run, and usable as a topic level.
    const std::string& clientId() const { return _clientId; }

  private:
    static void connected(mosquitto*, void* self, int code, int, const mosquitto_property*);
    static void disconnected(mosquitto*, void* self, int, const mosquitto_property*);
    static void subscribed(mosquitto*, void* self, int, int count, const int* granted,
                           const mosquitto_property*);
    static void received(mosquitto*, void* self, const mosquitto_message* message,
                         const mosquitto_property* properties);
    std::string where() const;

    BrokerUrl _url;
    std::string _clientId;
    mosquitto* _client = nullptr;
    std::string _setupFault;
    std::vector<std::string> _topics;
    int _connectCode = -1;  // CONNACK's reason code; -1 until it came
    bool _lost = false;
    size_t _granted = 0;
    std::string _refusedTopic;
    std::function<void(const FleetMessage&)> _handler;
};

}  // namespace cli
