#include "FleetLink.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace cli {

namespace {

constexpr int kPlainPort = 1883;
constexpr int kTlsPort = 8883;
constexpr int kKeepaliveSeconds = 30;
constexpr int kQos = 1;
// The longest single wait of the loop: a signal or a deadline is noticed within it.
constexpr int kLoopSliceMs = 100;
// MQTT 5 reason codes from this one on are failures (a refused subscription, 0x80).
constexpr int kFirstFailureCode = 0x80;
// Debian's system authorities, trusted on mqtts:// without --ca.
constexpr const char* kSystemAuthorities = "/etc/ssl/certs";
constexpr size_t kMaxClientId = 64;

std::optional<int> portOf(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const int port = std::atoi(text.c_str());
    return port >= 1 && port <= 65535 ? std::optional<int>(port) : std::nullopt;
}

// A topic level: no '/', '+' or '#', only what a board id may hold too.
std::string topicLevel(std::string text) {
    for (char& c : text) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')) {
            c = '_';
        }
    }
    text.resize(std::min(text.size(), kMaxClientId));
    return text;
}

std::string newClientId() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return topicLevel("kestro-cli-" + std::to_string(::getpid()) + "-" + host);
}

std::string failureText(int code) {
    return code == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(code);
}

}  // namespace

std::optional<BrokerUrl> parseBrokerUrl(const std::string& text) {
    BrokerUrl url;
    std::string rest;
    if (text.rfind("mqtt://", 0) == 0) {
        rest = text.substr(7);
    } else if (text.rfind("mqtts://", 0) == 0) {
        rest = text.substr(8);
        url.tls = true;
    } else {
        return std::nullopt;
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    const size_t colon = rest.rfind(':');
    url.host = rest.substr(0, colon);
    url.port = url.tls ? kTlsPort : kPlainPort;
    if (colon != std::string::npos) {
        const std::optional<int> port = portOf(rest.substr(colon + 1));
        if (!port) {
            return std::nullopt;
        }
        url.port = *port;
    }
    if (url.host.empty() || url.host.find_first_of("/@ ") != std::string::npos) {
        return std::nullopt;
    }
    return url;
}

FleetLink::FleetLink(const BrokerUrl& url, const FleetCredentials& credentials)
    : _url(url), _clientId(newClientId()) {
    mosquitto_lib_init();
    _client = mosquitto_new(_clientId.c_str(), true, this);
    if (_client == nullptr) {
        _setupFault = std::strerror(errno);
        return;
    }
    mosquitto_int_option(_client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // A request is one small packet right after the acknowledgement of the previous reply;
    // Nagle's algorithm would hold it until the broker's delayed ACK of that one.
    mosquitto_int_option(_client, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(_client, connected);
    mosquitto_disconnect_v5_callback_set(_client, disconnected);
    mosquitto_subscribe_v5_callback_set(_client, subscribed);
    mosquitto_message_v5_callback_set(_client, received);
    if (!credentials.user.empty()) {
        mosquitto_username_pw_set(_client, credentials.user.c_str(),
                                  credentials.password.empty() ? nullptr
                                                               : credentials.password.c_str());
    }
    if (url.tls) {
        const bool ownAuthority = !credentials.caFile.empty();
        const int code = mosquitto_tls_set(
            _client, ownAuthority ? credentials.caFile.c_str() : nullptr,
            ownAuthority ? nullptr : kSystemAuthorities,
            credentials.certFile.empty() ? nullptr : credentials.certFile.c_str(),
            credentials.keyFile.empty() ? nullptr : credentials.keyFile.c_str(), nullptr);
        if (code != MOSQ_ERR_SUCCESS) {
            _setupFault = "TLS set-up: " + failureText(code);
        }
    }
}

FleetLink::~FleetLink() {
    if (_client != nullptr) {
        if (_connectCode == 0 && !_lost) {
            mosquitto_disconnect(_client);
        }
        mosquitto_destroy(_client);
    }
    mosquitto_lib_cleanup();
}

std::string FleetLink::where() const {
    return "the broker at " + _url.host + ":" + std::to_string(_url.port);
}

std::string FleetLink::open(const std::vector<std::string>& topics,
                            FleetClock::time_point deadline) {
    if (!_setupFault.empty()) {
        return "cannot reach " + where() + ": " + _setupFault;
    }
    _topics = topics;
    const int code =
        mosquitto_connect_async(_client, _url.host.c_str(), _url.port, kKeepaliveSeconds);
    if (code != MOSQ_ERR_SUCCESS) {
        return "cannot reach " + where() + ": " + failureText(code);
    }
    run(deadline, [this] {
        return _lost || !_refusedTopic.empty() || (_connectCode == 0 && _granted == _topics.size()) ||
               _connectCode > 0;
    });
    if (_connectCode > 0) {
        return where() + " refused the connection: " + mosquitto_reason_string(_connectCode);
    }
    if (_lost || _connectCode < 0) {
        return _lost ? where() + " closed the connection (" +
                           (_url.tls ? "a TLS handshake that failed? " : "") + "see its log)"
                     : where() + " did not answer in time";
    }
    if (!_refusedTopic.empty()) {
        return where() + " refused the subscription to " + _refusedTopic +
               " (is the user allowed to read it?)";
    }
    return _granted == _topics.size() ? "" : where() + " did not confirm the subscriptions in time";
}

bool FleetLink::publish(const std::string& topic, const std::string& payload,
                        const std::string& responseTopic, const std::string& correlation) {
    mosquitto_property* properties = nullptr;
    if (!responseTopic.empty()) {
        mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC,
                                      responseTopic.c_str());
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<uint16_t>(correlation.size()));
    }
    const int code =
        mosquitto_publish_v5(_client, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), kQos, false, properties);
    mosquitto_property_free_all(&properties);
    return code == MOSQ_ERR_SUCCESS;
}

bool FleetLink::run(FleetClock::time_point until, const std::function<bool()>& done) {
    while (!done()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - FleetClock::now());
        if (left.count() <= 0) {
            break;
        }
        const int code = mosquitto_loop(
            _client, static_cast<int>(std::min<int64_t>(left.count(), kLoopSliceMs)), 1);
        // A signal ends the wait; the caller's `done` looks at it.
        if (code != MOSQ_ERR_SUCCESS && !(code == MOSQ_ERR_ERRNO && errno == EINTR)) {
            _lost = true;
        }
        if (_lost) {
            return false;
        }
    }
    return true;
}

void FleetLink::reconnect() {
    _lost = false;
    _granted = 0;
    if (mosquitto_reconnect_async(_client) != MOSQ_ERR_SUCCESS) {
        _lost = true;
    }
}

void FleetLink::connected(mosquitto* client, void* self, int code, int,
                          const mosquitto_property*) {
    FleetLink& link = *static_cast<FleetLink*>(self);
    link._connectCode = code;
    for (const std::string& topic : code == 0 ? link._topics : std::vector<std::string>{}) {
        mosquitto_subscribe_v5(client, nullptr, topic.c_str(), kQos, 0, nullptr);
    }
}

void FleetLink::disconnected(mosquitto*, void* self, int, const mosquitto_property*) {
    static_cast<FleetLink*>(self)->_lost = true;
}

// Each subscription is asked for alone, so each answer carries one code.
void FleetLink::subscribed(mosquitto*, void* self, int, int count, const int* granted,
                           const mosquitto_property*) {
    FleetLink& link = *static_cast<FleetLink*>(self);
    if (count >= 1 && granted[0] >= kFirstFailureCode && link._granted < link._topics.size()) {
        link._refusedTopic = link._topics[link._granted];
    }
    ++link._granted;
}

void FleetLink::received(mosquitto*, void* self, const mosquitto_message* message,
                         const mosquitto_property* properties) {
    FleetLink& link = *static_cast<FleetLink*>(self);
    FleetMessage got;
    got.topic = message->topic;
    got.payload.assign(static_cast<const char*>(message->payload),
                       static_cast<size_t>(std::max(message->payloadlen, 0)));
    got.retained = message->retain;
    void* data = nullptr;
    uint16_t length = 0;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length,
                                       false) != nullptr) {
        got.correlation.assign(static_cast<const char*>(data), length);
        std::free(data);
    }
    if (link._handler) {
        link._handler(got);
    }
}

}  // namespace cli
