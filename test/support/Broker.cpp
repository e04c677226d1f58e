#include "Broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace {

constexpr auto kPatience = std::chrono::seconds(60);

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

// Runs `words` to the end, its output into `log`; its exit status.
int runTool(const std::vector<std::string>& words, const std::string& log) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (std::freopen(log.c_str(), "a", stdout) == nullptr ||
            std::freopen(log.c_str(), "a", stderr) == nullptr) {
            ::_exit(126);
        }
        std::vector<char*> argv;
        for (const std::string& word : words) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

std::string accessList(const std::vector<BrokerUser>& users) {
    std::string list;
    for (const BrokerUser& user : users) {
        if (user.operatorAccess) {
            list += "user " + user.name + "\ntopic readwrite kestro/v1/#\n";
        }
    }
    return list + "pattern readwrite kestro/v1/%u/#\n";
}

}  // namespace

// A loopback port nothing listens on now.
int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

Broker::Broker(const std::vector<BrokerUser>& users, ClientCertificates certificates)
    : _tlsPort(freeLoopbackPort()), _plainPort(freeLoopbackPort()) {
    writeConfiguration(users, certificates);
    start();
}

Broker::~Broker() { stop(); }

void Broker::writeConfiguration(const std::vector<BrokerUser>& users,
                                ClientCertificates certificates) const {
    const std::string dir = _dir.path().string();
    TestAuthority::writeIdentity(_authority.issueServerIdentity(), dir + "/server");
    writeFile(_dir.path() / "passwords", "");
    for (const BrokerUser& user : users) {
        if (runTool({"mosquitto_passwd", "-b", dir + "/passwords", user.name, user.password},
                    dir + "/log") != 0) {
            throw std::runtime_error("mosquitto_passwd failed: " + log());
        }
    }
    writeFile(_dir.path() / "acl", accessList(users));
    const std::string required =
        certificates == ClientCertificates::Required ? "true" : "false";
    // Run as root (a container's test), the broker would take another user's identity and
    // lose the temporary folder; it keeps the test's.
    writeFile(_dir.path() / "mosquitto.conf",
              "user root\n"
              "per_listener_settings false\n"
              "allow_anonymous false\n"
              "password_file " + dir + "/passwords\n"
              "acl_file " + dir + "/acl\n"
              "persistence true\n"
              "persistence_location " + dir + "/\n"
              "autosave_interval 0\n"
              "set_tcp_nodelay true\n"
              "log_dest stderr\n"
              "log_type all\n"
              "listener " + std::to_string(_tlsPort) + " 127.0.0.1\n"
              "cafile " + caFile() + "\n"
              "certfile " + dir + "/server.crt\n"
              "keyfile " + dir + "/server.key\n"
              "require_certificate " + required + "\n"
              "listener " + std::to_string(_plainPort) + " 127.0.0.1\n");
}

void Broker::start() {
    const std::string dir = _dir.path().string();
    _pid = ::fork();
    if (_pid == 0) {
        if (std::freopen((dir + "/log").c_str(), "a", stdout) == nullptr ||
            std::freopen((dir + "/log").c_str(), "a", stderr) == nullptr) {
            ::_exit(126);
        }
        ::execlp("mosquitto", "mosquitto", "-c", (dir + "/mosquitto.conf").c_str(), nullptr);
        ::_exit(127);
    }
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (!listening()) {
        int status = 0;
        if (::waitpid(_pid, &status, WNOHANG) == _pid || std::chrono::steady_clock::now() > until) {
            _pid = -1;
            throw std::runtime_error("mosquitto did not start: " + log());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool Broker::listening() const { return accepts(_tlsPort) && accepts(_plainPort); }

void Broker::stop() {
    if (_pid > 0) {
        ::kill(_pid, SIGTERM);
        ::waitpid(_pid, nullptr, 0);
        _pid = -1;
    }
}

void Broker::restart() {
    stop();
    start();
}

std::string Broker::issueClientCertificate(const std::string& name) const {
    const std::string stem = (_dir.path() / name).string();
    TestAuthority::writeIdentity(_authority.issueClientIdentity(name), stem);
    return stem;
}

std::string Broker::log() const { return readFile(_dir.path() / "log"); }

// ---------------------------------------------------------------------------------------------

BrokerClient::BrokerClient(const Broker& broker, const Options& options) {
    mosquitto_lib_init();
    _client = mosquitto_new(options.clientId.empty() ? nullptr : options.clientId.c_str(),
                            options.cleanSession, this);
    mosquitto_int_option(_client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_username_pw_set(_client, options.username.c_str(), options.password.c_str());
    mosquitto_connect_v5_callback_set(_client, onConnect);
    mosquitto_disconnect_v5_callback_set(_client, onDisconnect);
    mosquitto_subscribe_v5_callback_set(_client, onSubscribe);
    mosquitto_message_v5_callback_set(_client, onMessage);
    mosquitto_reconnect_delay_set(_client, 1, 1, false);
    int port = broker.plainPort();
    if (!options.caFile.empty()) {
        mosquitto_tls_set(_client, options.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        port = broker.tlsPort();
    }
    // An MQTT 5 session outlives its connection only with an expiry interval.
    mosquitto_property* properties = nullptr;
    if (!options.cleanSession) {
        mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 3600);
    }
    mosquitto_connect_bind_v5(_client, "localhost", port, 60, nullptr, properties);
    mosquitto_property_free_all(&properties);
    mosquitto_loop_start(_client);
    std::unique_lock lock(_mutex);
    _changed.wait_for(lock, kPatience, [this] { return _connected; });
}

BrokerClient::~BrokerClient() {
    mosquitto_disconnect(_client);
    mosquitto_loop_stop(_client, false);
    mosquitto_destroy(_client);
    mosquitto_lib_cleanup();
}

void BrokerClient::onConnect(mosquitto*, void* self, int code, int, const mosquitto_property*) {
    auto* client = static_cast<BrokerClient*>(self);
    std::lock_guard lock(client->_mutex);
    client->_connected = code == 0;
    client->_changed.notify_all();
}

void BrokerClient::onDisconnect(mosquitto*, void* self, int, const mosquitto_property*) {
    auto* client = static_cast<BrokerClient*>(self);
    std::lock_guard lock(client->_mutex);
    client->_connected = false;
    client->_changed.notify_all();
}

void BrokerClient::onSubscribe(mosquitto*, void* self, int, int count, const int* granted,
                               const mosquitto_property*) {
    auto* client = static_cast<BrokerClient*>(self);
    std::lock_guard lock(client->_mutex);
    client->_granted.insert(client->_granted.end(), granted, granted + count);
    ++client->_subscriptions;
    client->_changed.notify_all();
}

void BrokerClient::onMessage(mosquitto*, void* self, const mosquitto_message* message,
                             const mosquitto_property* properties) {
    auto* client = static_cast<BrokerClient*>(self);
    void* data = nullptr;
    uint16_t length = 0;
    std::string correlation;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length,
                                       false) != nullptr) {
        correlation.assign(static_cast<const char*>(data), length);
        std::free(data);
    }
    std::lock_guard lock(client->_mutex);
    client->_messages.push_back(
        {message->topic,
         std::string(static_cast<const char*>(message->payload),
                     static_cast<size_t>(message->payloadlen)),
         message->retain, correlation});
    client->_changed.notify_all();
}

bool BrokerClient::subscribe(const std::string& pattern) {
    std::unique_lock lock(_mutex);
    const int before = _subscriptions;
    lock.unlock();
    if (mosquitto_subscribe_v5(_client, nullptr, pattern.c_str(), 1, 0, nullptr) !=
        MOSQ_ERR_SUCCESS) {
        return false;
    }
    lock.lock();
    return _changed.wait_for(lock, kPatience, [&] { return _subscriptions > before; }) &&
           _granted.back() <= 2;
}

void BrokerClient::publish(const std::string& topic, const std::string& payload,
                           const std::string& responseTopic, const std::string& correlation) {
    mosquitto_property* properties = nullptr;
    if (!responseTopic.empty()) {
        mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC, responseTopic.c_str());
    }
    if (!correlation.empty()) {
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<uint16_t>(correlation.size()));
    }
    mosquitto_publish_v5(_client, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                         payload.data(), 1, false, properties);
    mosquitto_property_free_all(&properties);
}

bool BrokerClient::await(const std::function<bool(const MqttMessage&)>& wanted) {
    std::unique_lock lock(_mutex);
    size_t seen = 0;
    return _changed.wait_for(lock, kPatience, [&] {
        for (; seen < _messages.size(); ++seen) {
            if (wanted(_messages[seen])) {
                return true;
            }
        }
        return false;
    });
}

std::string BrokerClient::awaitOn(const std::string& topic, const std::string& part) {
    std::string payload;
    await([&](const MqttMessage& message) {
        if (message.topic == topic && message.payload.find(part) != std::string::npos) {
            payload = message.payload;
            return true;
        }
        return false;
    });
    return payload;
}

std::vector<MqttMessage> BrokerClient::messages() const {
    std::lock_guard lock(_mutex);
    return _messages;
}

bool BrokerClient::connected() const {
    std::lock_guard lock(_mutex);
    return _connected;
}
