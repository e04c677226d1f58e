#pragma once

// Debian's mosquitto broker run for one test: a TLS listener with a certificate from an
// authority made for the run, a plain listener beside it, users from a password file and the
// fleet's access list (a board reads and writes under kestro/v1/ITS-NAME/ only, an operator
// under all of kestro/v1/).

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "TempFiles.h"
#include "TestAuthority.h"

// A loopback port nothing listens on now.
int freeLoopbackPort();

struct BrokerUser {
    std::string name;
    std::string password;
    bool operatorAccess = false;  // all of kestro/v1/, not only kestro/v1/NAME/
};

class Broker {
  public:
    enum class ClientCertificates { NotAsked, Required };

    explicit Broker(const std::vector<BrokerUser>& users,
                    ClientCertificates certificates = ClientCertificates::NotAsked);
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    int tlsPort() const { return _tlsPort; }
    int plainPort() const { return _plainPort; }
    std::string tlsUrl() const { return "mqtts://localhost:" + std::to_string(_tlsPort); }
    std::string plainUrl() const { return "mqtt://127.0.0.1:" + std::to_string(_plainPort); }
    // The authority's certificate, that clients trust the broker's with.
    const std::string& caFile() const { return _authority.certificateFile(); }
    // A client certificate and key from the broker's authority, written as DIR/NAME.crt and
    // DIR/NAME.key; the stem DIR/NAME is returned.
    std::string issueClientCertificate(const std::string& name) const;
    // What the broker logged.
    std::string log() const;

    // Ends the broker (SIGTERM, waited for); it saves its sessions and retained messages.
    void stop();
    // Starts it again on the same ports, with what it saved.
    void restart();

  private:
    void writeConfiguration(const std::vector<BrokerUser>& users,
                            ClientCertificates certificates) const;
    void start();
    bool listening() const;

    TempDir _dir;
    TestAuthority _authority{"kestro test broker authority"};
    int _tlsPort = 0;
    int _plainPort = 0;
    pid_t _pid = -1;
};

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retained = false;
    std::string correlation;  // MQTT 5 correlation data
};

// An MQTT client of the test, run on libmosquitto's own thread: it keeps every message that
// came on its subscriptions, and reconnects by itself after an outage.
class BrokerClient {
  public:
    struct Options {
        std::string username;
        std::string password;
        std::string clientId;      // empty: the library makes one up
        bool cleanSession = true;  // false: the broker keeps what came while it was away
        std::string caFile;        // set: TLS on tlsPort(), else plain
    };
    BrokerClient(const Broker& broker, const Options& options);
    ~BrokerClient();
    BrokerClient(const BrokerClient&) = delete;
    BrokerClient& operator=(const BrokerClient&) = delete;

    // Subscribes at QoS 1; whether the broker granted it.
    bool subscribe(const std::string& pattern);
    // Publishes at QoS 1 (MQTT 5 response topic and correlation data when given).
    void publish(const std::string& topic, const std::string& payload,
                 const std::string& responseTopic = "", const std::string& correlation = "");
    // Waits (up to a minute) for a message that `wanted` accepts; false when none came.
    bool await(const std::function<bool(const MqttMessage&)>& wanted);
    // Waits for a message on `topic` whose payload holds `part`; its payload, or "".
    std::string awaitOn(const std::string& topic, const std::string& part = "");
    std::vector<MqttMessage> messages() const;
    bool connected() const;

  private:
    static void onConnect(mosquitto*, void* self, int code, int, const mosquitto_property*);
    static void onDisconnect(mosquitto*, void* self, int, const mosquitto_property*);
    static void onSubscribe(mosquitto*, void* self, int, int count, const int* granted,
                            const mosquitto_property*);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message,
                          const mosquitto_property*);

    mosquitto* _client = nullptr;
    mutable std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<MqttMessage> _messages;
    std::vector<int> _granted;
    bool _connected = false;
    int _subscriptions = 0;
};
