#include "AgentConfig.h"

#include <json-c/json.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>

#include "JsonDocument.h"
#include "Metrics.h"
#include "NodeCommands.h"
#include "Parse.h"

namespace agent {

namespace {

constexpr uint32_t kLongestPeriodS = 7 * 24 * 3600;

// A value of the file and the key path that leads to it, so that every complaint names it.
class Setting {
  public:
    Setting(const std::string& file, json_object* value, std::string path)
        : _file(file), _value(value), _path(std::move(path)) {}

    [[noreturn]] void fail(const std::string& what) const {
        throw ConfigError(_file + ": " + _path + ": " + what);
    }

    void allowOnly(std::initializer_list<const char*> known) const {
        expect(json_type_object, "an object");
        json_object_object_foreach(_value, key, child) {
            (void)child;
            if (std::none_of(known.begin(), known.end(),
                             [&](const char* name) { return std::strcmp(name, key) == 0; })) {
                at(key).fail("unknown key");
            }
        }
    }

    // Calls `read` with the value at `key` when the object has one.
    void with(const char* key, const std::function<void(const Setting&)>& read) const {
        json_object* child = nullptr;
        if (json_object_object_get_ex(_value, key, &child)) {
            read(at(key));
        }
    }

    void forEach(const std::function<void(const Setting&)>& visit) const {
        expect(json_type_array, "an array");
        for (size_t index = 0; index < json_object_array_length(_value); ++index) {
            visit(Setting(_file, json_object_array_get_idx(_value, index),
                          _path + "[" + std::to_string(index) + "]"));
        }
    }

    std::string text() const {
        expect(json_type_string, "a text");
        return {json_object_get_string(_value),
                static_cast<size_t>(json_object_get_string_len(_value))};
    }
    std::string nonEmptyText() const {
        std::string value = text();
        if (value.empty()) {
            fail("must not be empty");
        }
        return value;
    }
    bool boolean() const {
        expect(json_type_boolean, "true or false");
        return json_object_get_boolean(_value) != 0;
    }
    uint32_t whole(uint32_t least, uint32_t most) const {
        if (!json_object_is_type(_value, json_type_int)) {
            fail("must be a whole number from " + std::to_string(least) + " to " +
                 std::to_string(most));
        }
        const int64_t value = json_object_get_int64(_value);
        if (value < least || value > most) {
            fail(std::to_string(value) + " is outside " + std::to_string(least) + " to " +
                 std::to_string(most));
        }
        return static_cast<uint32_t>(value);
    }

  private:
    Setting at(const char* key) const {
        json_object* child = nullptr;
        json_object_object_get_ex(_value, key, &child);
        return {_file, child, _path.empty() ? key : _path + "." + key};
    }
    void expect(json_type type, const char* what) const {
        if (!json_object_is_type(_value, type)) {
            fail(std::string("must be ") + what);
        }
    }

    const std::string& _file;
    json_object* _value;
    std::string _path;
};

JsonDocument parseFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ConfigError(path + ": cannot be read (" + std::strerror(errno) + ")");
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    json_tokener* tokener = json_tokener_new();
    JsonDocument root(
        json_tokener_parse_ex(tokener, text.c_str(), static_cast<int>(text.size() + 1)));
    const json_tokener_error error = json_tokener_get_error(tokener);
    const size_t end = json_tokener_get_parse_end(tokener);
    json_tokener_free(tokener);
    if (root == nullptr || error != json_tokener_success) {
        const auto line = 1 + std::count(text.begin(),
                                         text.begin() + static_cast<long>(std::min(end, text.size())),
                                         '\n');
        throw ConfigError(path + ":" + std::to_string(line) + ": not valid JSON (" +
                          json_tokener_error_desc(error) + ")");
    }
    return root;
}

std::vector<uint8_t> readAddresses(const Setting& setting) {
    const std::string text = setting.text();
    const cli::AddressList list = cli::parseAddressList(text);
    if (!list.fault.empty()) {
        setting.fail(list.fault);
    }
    return list.addresses;
}

const cli::NodeCommand& findCommand(const Setting& setting, const std::string& name) {
    for (const cli::NodeCommand& command : cli::nodeCommands()) {
        if (name == command.name) {
            return command;
        }
    }
    setting.fail("\"" + name + "\" is not a node command (i2c-kestro-cli node --help lists them)");
}

// The arguments must fit the command's parameters as on the tool's command line.
void checkArguments(const Setting& setting, const cli::NodeCommand& command,
                    const std::vector<std::string>& args) {
    size_t least = 0;
    for (const cli::ParamSpec& param : command.params) {
        least += param.optional ? 0 : 1;
    }
    if (args.size() < least || args.size() > command.params.size()) {
        setting.fail(std::string(command.name) + " takes " + std::to_string(command.params.size()) +
                     " arguments, " + std::to_string(args.size()) + " given");
    }
    for (size_t index = 0; index < args.size(); ++index) {
        const std::string fault = cli::checkArgument(command.params[index].kind, args[index]);
        if (!fault.empty()) {
            setting.fail(fault);
        }
    }
}

Job readJob(const Setting& entry) {
    entry.allowOnly({"name", "command", "args", "period_s", "nodes"});
    Job job;
    const cli::NodeCommand* command = nullptr;
    entry.with("command", [&](const Setting& value) {
        job.command = value.text();
        command = &findCommand(value, job.command);
    });
    if (command == nullptr) {
        entry.fail("missing key \"command\"");
    }
    job.name = job.command;
    entry.with("name", [&](const Setting& value) { job.name = value.nonEmptyText(); });
    bool argsGiven = false;
    entry.with("args", [&](const Setting& value) {
        value.forEach([&](const Setting& arg) { job.args.push_back(arg.text()); });
        checkArguments(value, *command, job.args);
        argsGiven = true;
    });
    if (!argsGiven) {
        checkArguments(entry, *command, job.args);
    }
    entry.with("period_s", [&](const Setting& value) { job.periodS = value.whole(1, kLongestPeriodS); });
    entry.with("nodes", [&](const Setting& value) { job.addresses = readAddresses(value); });
    return job;
}

uint32_t readMode(const Setting& setting) {
    const std::string text = setting.text();
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 8);
    if (text.empty() || *end != '\0' || value > 0777) {
        setting.fail("must be an octal mode such as \"0660\"");
    }
    return static_cast<uint32_t>(value);
}

void readSocket(const Setting& socket, AgentConfig& config) {
    socket.allowOnly({"path", "group", "mode"});
    socket.with("path", [&](const Setting& value) { config.socketPath = value.nonEmptyText(); });
    socket.with("group", [&](const Setting& value) { config.socketGroup = value.text(); });
    socket.with("mode", [&](const Setting& value) { config.socketMode = readMode(value); });
}

void readMetrics(const Setting& metrics, AgentConfig& config) {
    metrics.allowOnly({"enabled", "listen"});
    metrics.with("enabled", [&](const Setting& value) { config.metrics = value.boolean(); });
    metrics.with("listen", [&](const Setting& value) {
        config.metricsListen = value.text();
        if (!splitListen(config.metricsListen)) {
            value.fail("must be HOST:PORT, such as \"127.0.0.1:9464\"");
        }
    });
}

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT].
void readBrokerUrl(const Setting& setting, MqttSettings& mqtt) {
    const std::string url = setting.text();
    const bool tls = url.starts_with("mqtts://");
    if (!tls && !url.starts_with("mqtt://")) {
        setting.fail("must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    }
    const std::string rest = url.substr(tls ? 8 : 7);
    const size_t colon = rest.rfind(':');
    mqtt.tls = tls;
    mqtt.host = rest.substr(0, colon);
    mqtt.port = tls ? 8883 : 1883;
    if (colon != std::string::npos) {
        char* end = nullptr;
        const unsigned long port = std::strtoul(rest.c_str() + colon + 1, &end, 10);
        if (colon + 1 == rest.size() || *end != '\0' || port == 0 || port > 65535) {
            setting.fail("the port must be a number from 1 to 65535");
        }
        mqtt.port = static_cast<int>(port);
    }
    if (mqtt.host.empty() || mqtt.host.find_first_of("/@?#") != std::string::npos) {
        setting.fail("must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    }
}

bool validBoardId(const std::string& id) {
    return !id.empty() && id.size() <= 64 && std::ranges::all_of(id, [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '.' || c == '-';
    });
}

std::string hostName() {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    return name;
}

MqttSettings readMqtt(const Setting& setting) {
    setting.allowOnly({"url", "board_id", "username", "password_file", "ca_file", "cert_file",
                       "key_file", "keepalive_s", "qos", "queue_max_bytes", "rollout_ca_file"});
    MqttSettings mqtt;
    bool hasUrl = false;
    setting.with("url", [&](const Setting& value) {
        readBrokerUrl(value, mqtt);
        hasUrl = true;
    });
    if (!hasUrl) {
        setting.fail("missing key \"url\"");
    }
    mqtt.boardId = hostName();
    setting.with("board_id", [&](const Setting& value) {
        mqtt.boardId = value.text();
        if (!validBoardId(mqtt.boardId)) {
            value.fail("must be 1 to 64 of A-Z a-z 0-9 _ . -");
        }
    });
    mqtt.username = mqtt.boardId;
    setting.with("username", [&](const Setting& value) { mqtt.username = value.nonEmptyText(); });
    setting.with("password_file", [&](const Setting& value) { mqtt.passwordFile = value.nonEmptyText(); });
    setting.with("ca_file", [&](const Setting& value) { mqtt.caFile = value.nonEmptyText(); });
    setting.with("cert_file", [&](const Setting& value) { mqtt.certFile = value.nonEmptyText(); });
    setting.with("key_file", [&](const Setting& value) { mqtt.keyFile = value.nonEmptyText(); });
    setting.with("rollout_ca_file",
                 [&](const Setting& value) { mqtt.rolloutCaFile = value.nonEmptyText(); });
    if (mqtt.certFile.empty() != mqtt.keyFile.empty()) {
        setting.fail("cert_file and key_file go together");
    }
    setting.with("keepalive_s", [&](const Setting& value) { mqtt.keepaliveS = value.whole(5, 3600); });
    setting.with("qos", [&](const Setting& value) { mqtt.qos = static_cast<int>(value.whole(0, 2)); });
    setting.with("queue_max_bytes", [&](const Setting& value) {
        mqtt.queueMaxBytes = value.whole(0, 1024 * 1024 * 1024);
    });
    return mqtt;
}

}  // namespace

AgentConfig readAgentConfig(const std::string& path) {
    const JsonDocument root = parseFile(path);
    const Setting top(path, root.get(), "");
    top.allowOnly({"bus", "poll_period_s", "offline_after", "probe_period_s",
                   "clock_sync_period_s", "device_refresh_period_s", "jobs", "socket",
                   "state_dir", "metrics", "mqtt"});
    AgentConfig config;
    top.with("bus", [&](const Setting& value) {
        const std::optional<std::string> bus = cli::parseBus(value.text());
        if (!bus) {
            value.fail("must be a bus such as \"/dev/i2c-3\" or \"3\"");
        }
        config.bus = *bus;
    });
    top.with("poll_period_s", [&](const Setting& value) { config.pollPeriodS = value.whole(1, kLongestPeriodS); });
    top.with("offline_after", [&](const Setting& value) { config.offlineAfter = value.whole(1, 100); });
    top.with("probe_period_s", [&](const Setting& value) { config.probePeriodS = value.whole(1, kLongestPeriodS); });
    top.with("clock_sync_period_s", [&](const Setting& value) { config.clockSyncPeriodS = value.whole(60, kLongestPeriodS); });
    top.with("device_refresh_period_s", [&](const Setting& value) { config.deviceRefreshPeriodS = value.whole(60, kLongestPeriodS); });
    top.with("jobs", [&](const Setting& value) {
        value.forEach([&](const Setting& entry) {
            Job job = readJob(entry);
            if (std::ranges::any_of(config.jobs, [&](const Job& other) { return other.name == job.name; })) {
                entry.fail("a second job named \"" + job.name + "\" (give each a \"name\")");
            }
            config.jobs.push_back(std::move(job));
        });
    });
    top.with("socket", [&](const Setting& value) { readSocket(value, config); });
    top.with("state_dir", [&](const Setting& value) { config.stateDir = value.nonEmptyText(); });
    top.with("metrics", [&](const Setting& value) { readMetrics(value, config); });
    top.with("mqtt", [&](const Setting& value) { config.mqtt = readMqtt(value); });
    return config;
}

}  // namespace agent
