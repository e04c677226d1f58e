#include "MqttLink.h"

#include <json-c/json.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <stdexcept>

#include "FleetDocuments.h"
#include "JsonDocument.h"
#include "Json.h"
#include "Log.h"

namespace agent {

namespace {

constexpr auto kLongestBackOff = std::chrono::seconds(60);
// A clean stop waits this long at most for its last words to leave.
constexpr int kGoodbyeRounds = 20;

std::string firstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        throw std::runtime_error("mqtt.password_file: " + path + " cannot be read");
    }
    return line;
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

std::string unhex(const std::string& text) {
    std::string bytes;
    for (size_t index = 0; index + 1 < text.size(); index += 2) {
        bytes += static_cast<char>(std::stoi(text.substr(index, 2), nullptr, 16));
    }
    return bytes;
}

std::string textMember(json_object* object, const char* key) {
    json_object* value = nullptr;
    return json_object_object_get_ex(object, key, &value) && json_object_is_type(value, json_type_string)
               ? json_object_get_string(value)
               : "";
}

// A share of the wait, so that boards cut off together do not all come back at one instant.
std::chrono::milliseconds withJitter(std::chrono::seconds wait) {
    static std::mt19937 random{std::random_device{}()};
    const auto base = std::chrono::duration_cast<std::chrono::milliseconds>(wait);
    std::uniform_int_distribution<int64_t> share(0, base.count() / 4);
    return base + std::chrono::milliseconds(share(random));
}

std::string correlationOf(const mosquitto_property* properties) {
    void* data = nullptr;
    uint16_t length = 0;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length,
                                       false) == nullptr) {
        return "";
    }
    std::string bytes(static_cast<const char*>(data), length);
    std::free(data);
    return bytes;
}

std::string responseTopicOf(const mosquitto_property* properties) {
    char* topic = nullptr;
    if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &topic, false) ==
        nullptr) {
        return "";
    }
    std::string text(topic);
    std::free(topic);
    return text;
}

// A libmosquitto result as text; `error` is errno as the call left it.
std::string resultText(int rc, int error) {
    return rc == MOSQ_ERR_ERRNO ? std::strerror(error) : mosquitto_strerror(rc);
}

// Why a connection in the making ended.
std::string connectionError(int fd) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
        return std::strerror(error);
    }
    return "the connection was refused or closed";
}

}  // namespace

MqttLink::MqttLink(const MqttSettings& settings, const std::string& stateDir,
                   const std::string& started, RequestSink requests)
    : _settings(settings),
      _queueFile(stateDir + "/mqtt-queue"),
      _started(started),
      _requests(std::move(requests)) {
    mosquitto_lib_init();
    _client = mosquitto_new(_settings.boardId.c_str(), true, this);
    if (_client == nullptr) {
        throw std::runtime_error("mqtt: no client could be made");
    }
    mosquitto_int_option(_client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // A reply follows its request's acknowledgement at once: with Nagle's delay it would wait
    // for the broker's delayed ACK (40 ms on Linux).
    mosquitto_int_option(_client, MOSQ_OPT_TCP_NODELAY, 1);
    const std::string password =
        _settings.passwordFile.empty() ? "" : firstLine(_settings.passwordFile);
    mosquitto_username_pw_set(_client, _settings.username.c_str(),
                              _settings.passwordFile.empty() ? nullptr : password.c_str());
    if (_settings.tls) {
        if (_settings.caFile.empty()) {
            mosquitto_int_option(_client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        }
        const auto orNull = [](const std::string& text) { return text.empty() ? nullptr : text.c_str(); };
        if (mosquitto_tls_set(_client, orNull(_settings.caFile), nullptr, orNull(_settings.certFile),
                              orNull(_settings.keyFile), nullptr) != MOSQ_ERR_SUCCESS) {
            throw std::runtime_error("mqtt: the TLS files cannot be used");
        }
    }
    const std::string will = offlineDocument(_settings.boardId);
    mosquitto_will_set_v5(_client, topic("status").c_str(), static_cast<int>(will.size()),
                          will.data(), 1, true, nullptr);
    mosquitto_connect_v5_callback_set(_client, onConnect);
    mosquitto_disconnect_v5_callback_set(_client, onDisconnect);
    mosquitto_message_v5_callback_set(_client, onMessage);
    mosquitto_log_callback_set(_client, onLog);
    loadQueue();
}

MqttLink::~MqttLink() {
    mosquitto_destroy(_client);
    mosquitto_lib_cleanup();
}

std::string MqttLink::topic(const std::string& rest) const {
    return "kestro/v1/" + _settings.boardId + "/" + rest;
}

// ---------------------------------------------------------------------------------------------
// The loop's part

void MqttLink::addPollFds(std::vector<pollfd>& fds) const {
    const int fd = mosquitto_socket(_client);
    if (_socketOpen && fd >= 0) {
        const short writing = mosquitto_want_write(_client) ? POLLOUT : 0;
        fds.push_back({fd, static_cast<short>(POLLIN | writing), 0});
    }
}

void MqttLink::handle(const std::vector<pollfd>& fds) {
    const int fd = mosquitto_socket(_client);
    for (const pollfd& entry : fds) {
        if (!_socketOpen || entry.fd != fd || entry.revents == 0) {
            continue;
        }
        // libmosquitto retries a TLS handshake on a connection that failed or was refused for
        // ever: a connection that ends before the broker took the board is seen to here.
        if (!_connected && (entry.revents & (POLLHUP | POLLERR)) != 0) {
            lost(connectionError(fd), true);
            continue;
        }
        int rc = MOSQ_ERR_SUCCESS;
        if ((entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            rc = mosquitto_loop_read(_client, 1);
        }
        if (rc == MOSQ_ERR_SUCCESS && _socketOpen && (entry.revents & POLLOUT) != 0) {
            rc = mosquitto_loop_write(_client, 1);
        }
        if (rc != MOSQ_ERR_SUCCESS && _socketOpen) {
            disconnected(rc);
        }
    }
}

MqttLink::Clock::time_point MqttLink::service(Clock::time_point now) {
    if (_socketOpen) {
        if (mosquitto_loop_misc(_client) != MOSQ_ERR_SUCCESS && _socketOpen) {
            disconnected(MOSQ_ERR_NO_CONN);
        }
        return now + std::chrono::seconds(1);
    }
    if (now >= _nextAttempt) {
        connect();
    }
    return _socketOpen ? now + std::chrono::seconds(1) : _nextAttempt;
}

// The connection is made from the loop: the TCP connect and the TLS handshake go on while the
// agent serves its clients, and libmosquitto gives up a broker that does not answer (a
// firewall dropping the packets) after a keepalive. Only the broker's name is resolved in the
// call.
void MqttLink::connect() {
    _lastError.clear();
    const int rc = mosquitto_connect_bind_async(_client, _settings.host.c_str(), _settings.port,
                                                static_cast<int>(_settings.keepaliveS), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        // On loopback or a fast network the handshake may end inside the call.
        const int error = errno;
        const bool handshakeEnded =
            rc == MOSQ_ERR_TLS || (rc == MOSQ_ERR_ERRNO && (error == EPROTO || error == ECONNRESET));
        lost(resultText(rc, error), handshakeEnded);
        return;
    }
    _socketOpen = true;
}

void MqttLink::scheduleAttempt(const std::string& why) {
    const auto wait = withJitter(_backOff);
    _nextAttempt = Clock::now() + wait;
    std::cerr << "i2c-kestro-agent: mqtt: no link to " << (_settings.tls ? "mqtts://" : "mqtt://")
              << _settings.host << ":" << _settings.port << " (" << why
              << (_lastError.empty() ? "" : "; " + _lastError) << "); trying again in "
              << (wait.count() + 999) / 1000 << " s" << std::endl;
    _backOff = std::min(_backOff * 2, kLongestBackOff);
}

void MqttLink::onConnect(mosquitto*, void* self, int code, int, const mqtt5__property*) {
    static_cast<MqttLink*>(self)->connected(code);
}

void MqttLink::onDisconnect(mosquitto*, void* self, int code, const mqtt5__property*) {
    auto* link = static_cast<MqttLink*>(self);
    if (link->_socketOpen) {
        link->disconnected(code);
    }
}

void MqttLink::onMessage(mosquitto*, void* self, const mosquitto_message* message,
                         const mqtt5__property* properties) {
    static_cast<MqttLink*>(self)->received(*message, properties);
}

void MqttLink::onLog(mosquitto*, void* self, int level, const char* text) {
    if (level == MOSQ_LOG_ERR) {
        static_cast<MqttLink*>(self)->_lastError = text;
    }
}

// The broker took the board: its cmd topic (and no other), then what it should know at once.
void MqttLink::connected(int code) {
    if (code != 0) {
        _lastError = std::string("the broker refused the board: ") + mosquitto_reason_string(code);
        return;
    }
    _connected = true;
    _backOff = std::chrono::seconds(1);
    logLine("i2c-kestro-agent: mqtt: connected to " + _settings.host + ":" +
            std::to_string(_settings.port) + " as " + _settings.boardId);
    mosquitto_subscribe_v5(_client, nullptr, topic("cmd").c_str(), _settings.qos, 0, nullptr);
    publishStatus();
    for (const auto& [address, document] : _nodeDocuments) {
        publishNow({topic("node/" + address), document, ""}, true);
    }
    flushQueue();
}

void MqttLink::disconnected(int code) {
    if (code == MOSQ_ERR_SUCCESS) {
        lost("the broker closed the link", false);
    } else if (code == MOSQ_ERR_KEEPALIVE) {
        lost("the broker did not answer within " + std::to_string(_settings.keepaliveS) + " s", false);
    } else {
        lost(resultText(code, errno), true);
    }
}

// The link went down, or did not come up: another attempt, after the back-off. A TLS
// connection the broker ends before it took the board, for no reason it gave, is most often a
// client certificate it wanted or did not trust.
void MqttLink::lost(std::string why, bool mayBeTheCertificate) {
    const bool wasConnected = _connected;
    _connected = false;
    _socketOpen = false;
    if (_closing) {
        return;
    }
    if (wasConnected) {
        _backOff = std::chrono::seconds(1);
    } else if (mayBeTheCertificate && _settings.tls && _lastError.empty()) {
        why += " before the broker took the board: if it is up, it may " +
               (_settings.certFile.empty() ? "want a client certificate (cert_file, key_file)"
                                           : "not trust the board's certificate " + _settings.certFile);
    }
    scheduleAttempt(why);
}

// A request is answered only on a topic under the board's reply/: the board publishes nowhere
// else, whatever a client asks.
void MqttLink::received(const mosquitto_message& message, const mqtt5__property* properties) {
    std::string request(static_cast<const char*>(message.payload),
                        static_cast<size_t>(message.payloadlen));
    MqttReplyRoute route{responseTopicOf(properties), correlationOf(properties)};
    JsonDocument parsed(json_tokener_parse(request.c_str()));
    if (json_object_is_type(parsed.get(), json_type_object) &&
        json_object_object_get_ex(parsed.get(), "reply_to", nullptr)) {
        if (route.topic.empty()) {
            route.topic = textMember(parsed.get(), "reply_to");
        }
        json_object_object_del(parsed.get(), "reply_to");
        request = json_object_to_json_string_ext(parsed.get(), JSON_C_TO_STRING_PLAIN);
    }
    const std::string replies = topic("reply/");
    if (!route.topic.starts_with(replies) || route.topic.size() == replies.size() ||
        route.topic.find_first_of("+#") != std::string::npos) {
        std::cerr << "i2c-kestro-agent: mqtt: a request with "
                  << (route.topic.empty() ? "no response topic"
                                          : "the response topic \"" + route.topic + "\"")
                  << " was not answered: answers go under " << replies << std::endl;
        return;
    }
    _requests(request, route);
}

// ---------------------------------------------------------------------------------------------
// Publications

void MqttLink::setCounts(size_t nodes, size_t online) {
    if (nodes != _nodes || online != _online) {
        _nodes = nodes;
        _online = online;
        publishStatus();
    }
}

void MqttLink::publishStatus() {
    if (_connected) {
        publishNow({topic("status"),
                    onlineDocument(_settings.boardId, _started, _nodes, _online, _dropped), ""},
                   true);
    }
}

void MqttLink::nodeDocument(const std::string& address, const std::string& document) {
    std::string& kept = _nodeDocuments[address];
    if (kept != document) {
        kept = document;
        if (_connected) {
            publishNow({topic("node/" + address), document, ""}, true);
        }
    }
}

void MqttLink::jobResult(const std::string& address, const std::string& name,
                         const std::string& document) {
    send({topic("job/" + address + "/" + name), document, ""});
}

void MqttLink::event(const std::string& document) { send({topic("event"), document, ""}); }

void MqttLink::reply(const MqttReplyRoute& route, const std::string& line) {
    send({route.topic, line, route.correlation});
}

void MqttLink::send(Message message) {
    if (!_connected || !publishNow(message, false)) {
        queue(std::move(message));
    }
}

bool MqttLink::publishNow(const Message& message, bool retain) {
    mosquitto_property* properties = nullptr;
    if (!message.correlation.empty()) {
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA,
                                      message.correlation.data(),
                                      static_cast<uint16_t>(message.correlation.size()));
    }
    const int rc = mosquitto_publish_v5(_client, nullptr, message.topic.c_str(),
                                        static_cast<int>(message.payload.size()),
                                        message.payload.data(), _settings.qos, retain, properties);
    mosquitto_property_free_all(&properties);
    return rc == MOSQ_ERR_SUCCESS;
}

void MqttLink::close() {
    _closing = true;
    if (!_connected) {
        return;
    }
    publishNow({topic("status"), offlineDocument(_settings.boardId), ""}, true);
    mosquitto_disconnect_v5(_client, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    for (int round = 0; round < kGoodbyeRounds && mosquitto_want_write(_client); ++round) {
        pollfd fd{mosquitto_socket(_client), POLLOUT, 0};
        if (fd.fd < 0 || ::poll(&fd, 1, 100) < 0 || mosquitto_loop_write(_client, 1) != MOSQ_ERR_SUCCESS) {
            break;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The offline queue: one JSON line per publication, oldest first

void MqttLink::queue(Message message) {
    _queuedBytes += message.topic.size() + message.payload.size() + message.correlation.size();
    _queue.push_back(std::move(message));
    if (_queuedBytes <= _settings.queueMaxBytes) {
        appendToQueueFile(_queue.back());
        return;
    }
    // Over the bound: the oldest go, down to three quarters of it, so that the file is not
    // written whole again for every publication that follows.
    while (!_queue.empty() && _queuedBytes > _settings.queueMaxBytes / 4 * 3) {
        const Message& oldest = _queue.front();
        _queuedBytes -= oldest.topic.size() + oldest.payload.size() + oldest.correlation.size();
        _queue.pop_front();
        ++_dropped;
    }
    saveQueue();
}

namespace {

std::string queueLine(const std::string& topic, const std::string& payload,
                      const std::string& correlation) {
    JsonDocument line = cli::newObject();
    cli::setText(line.get(), "topic", topic);
    cli::setText(line.get(), "payload", payload);
    if (!correlation.empty()) {
        cli::setText(line.get(), "correlation", hex(correlation));
    }
    return std::string(json_object_to_json_string_ext(line.get(), JSON_C_TO_STRING_PLAIN)) + "\n";
}

}  // namespace

void MqttLink::appendToQueueFile(const Message& message) const {
    std::ofstream(_queueFile, std::ios::app | std::ios::binary)
        << queueLine(message.topic, message.payload, message.correlation);
}

void MqttLink::saveQueue() const {
    const std::string partial = _queueFile + ".new";
    {
        std::ofstream out(partial, std::ios::trunc | std::ios::binary);
        for (const Message& message : _queue) {
            out << queueLine(message.topic, message.payload, message.correlation);
        }
    }
    std::rename(partial.c_str(), _queueFile.c_str());
}

void MqttLink::loadQueue() {
    std::ifstream in(_queueFile, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        JsonDocument entry(json_tokener_parse(line.c_str()));
        const std::string topic = textMember(entry.get(), "topic");
        if (!topic.empty()) {
            Message message{topic, textMember(entry.get(), "payload"),
                            unhex(textMember(entry.get(), "correlation"))};
            _queuedBytes += message.topic.size() + message.payload.size() + message.correlation.size();
            _queue.push_back(std::move(message));
        }
    }
}

// In order, once connected; what the library does not take stays queued.
void MqttLink::flushQueue() {
    while (!_queue.empty() && publishNow(_queue.front(), false)) {
        const Message& sent = _queue.front();
        _queuedBytes -= sent.topic.size() + sent.payload.size() + sent.correlation.size();
        _queue.pop_front();
    }
    saveQueue();
}

}  // namespace agent
