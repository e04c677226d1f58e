#include "Agent.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "AgentConfig.h"
#include "BusSchedule.h"
#include "ControlServer.h"
#include "FleetDocuments.h"
#include "Json.h"
#include "Log.h"
#include "Metrics.h"
#include "MqttLink.h"
#include "Notify.h"
#include "Parse.h"
#include "Requests.h"
#include "Rollout.h"
#include "SBC.h"
#include "StateStore.h"
#include "Supervisor.h"
#include "TimeUtils.h"

namespace agent {

namespace {

// The board's start-up errors after which it cannot be supervised at all; a device list that
// could not be fetched is only retried at the next refresh.
bool fatalBoardError(int32_t error) {
    return error != OKEY && error != SERVER_RESPONSE && error != NODES_CONFIG_PARSE;
}

std::map<std::string, uint8_t> listedDevices(const SBC& board) {
    std::map<std::string, uint8_t> devices;
    for (const auto& [id, document] : board._devices) {
        if (const std::optional<uint8_t> address = deviceAddress(document)) {
            devices.emplace(id, *address);
        }
    }
    return devices;
}

// SIGTERM, SIGINT and SIGHUP arrive through a descriptor the loop polls; SIGPIPE is ignored, a
// client that went away shows as a failed write.
int signalDescriptor() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
}

// One line of JSON: a reply or a progress line of the socket.
std::string plainJson(json_object* document) {
    return json_object_to_json_string_ext(document,
                                          JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

// The name a request's work is counted under: the node command's, or "put" or "get".
std::string commandName(json_object* request) {
    json_object* command = nullptr;
    json_object* name = nullptr;
    json_object_object_get_ex(request, "command", &command);
    const std::string kind = json_object_get_string(command);
    if (kind == "node" && json_object_object_get_ex(request, "name", &name) &&
        json_object_is_type(name, json_type_string)) {
        return json_object_get_string(name);
    }
    return kind;
}

// Where a request came from, and so where its answer goes: a client of the socket, or a
// response topic of the broker.
struct Origin {
    ControlServer::ClientId client = 0;
    std::optional<MqttReplyRoute> route;
};

// A request whose operations are on the schedule.
struct OpenRequest {
    Origin origin;
    JsonDocument id;
    std::string command;
    std::unique_ptr<cli::PendingRequest> request;
    bool cancelled = false;  // its client went away
    std::string lastProgress;
    Clock::time_point progressAt{};
    std::string rollout;  // the rollout it is the put of, if any
    std::map<int64_t, std::pair<int64_t, Clock::time_point>> published;  // address -> done, when
};

// A rollout whose file is being fetched; its put follows.
struct OpenRollout {
    Origin origin;
    JsonDocument id;
    RolloutOrder order;
    std::unique_ptr<Download> download;
};

// A rollout's progress events, per node, at most this often.
constexpr auto kRolloutEventInterval = std::chrono::seconds(1);

// How long the loop may sleep: the watchdog is fed from the loop, so it never sleeps long.
constexpr auto kLongestSleep = std::chrono::seconds(5);
// On SIGTERM the bus work under way may finish for this long.
constexpr auto kWindDown = std::chrono::seconds(30);
// The state is written at most this often while things change, and always on the way out.
constexpr auto kStateInterval = std::chrono::seconds(60);

class Agent {
  public:
    Agent(const AgentOptions& options, AgentConfig config)
        : _options(options),
          _config(std::move(config)),
          _started(Clock::now()),
          _startedMs(millis()),
          _state(_config.stateDir),
          _journal(_config.stateDir) {}

    int run(void (*ready)());

  private:
    bool bringUp();
    void adoptFoundNodes();
    void refreshDevices();
    void loop();
    void waitForWork(Clock::time_point wakeUp);
    bool handleSignals();
    void reload();
    void windDown();
    void onEvent(const std::string& text);
    void onRequest(const Origin& origin, const std::string& line, ControlServer::Files files);
    void startToolRequest(const Origin& origin, json_object* id, json_object* request,
                          ControlServer::Files files);
    void startRollout(const Origin& origin, json_object* id, json_object* request);
    Clock::time_point serveRollouts();
    void putRollout(OpenRollout& rollout);
    std::string rolloutNodes(const std::string& nodes) const;
    void publishRolloutProgress(OpenRequest& open);
    void serveOpenRequests();
    void finishRequest(OpenRequest& open);
    void sendProgress(OpenRequest& open);
    void cancelRequestsOf(ControlServer::ClientId client);
    void answer(const Origin& origin, json_object* id, int status, json_object* result,
                const std::string& out, const std::string& err);
    void deliver(const Origin& origin, const std::string& line, bool last);
    JsonDocument statusDocument() const;
    JsonDocument transfersDocument() const;
    void saveStateSometimes(bool now);
    void publishMetrics();
    std::string onlineText() const;

    AgentOptions _options;
    AgentConfig _config;
    Clock::time_point _started;
    uint64_t _startedMs;
    Notifier _notifier;
    std::unique_ptr<SBC> _board;
    BusSchedule _schedule;
    std::unique_ptr<Supervisor> _supervisor;
    std::unique_ptr<ControlServer> _server;
    std::list<OpenRequest> _open;
    std::list<OpenRollout> _rollouts;
    StateStore _state;
    RolloutJournal _journal;
    Counters _counters;
    std::unique_ptr<MetricsServer> _metrics;
    std::unique_ptr<MqttLink> _link;
    FleetPublisher _fleet;
    Clock::time_point _lastPublished{};
    int _signals = -1;
    bool _stop = false;
    bool _dirty = false;
    bool _stopping = false;  // winding down: a rollout cut short stays in the journal
    Clock::time_point _nextRefresh{};
    Clock::time_point _lastSave{};
    std::string _lastStatus;
};

int Agent::run(void (*ready)()) {
    _signals = signalDescriptor();
    try {
        // Made before the board comes up, so that the events of its start-up reach the fleet.
        if (_config.mqtt) {
            _link = std::make_unique<MqttLink>(
                *_config.mqtt, _config.stateDir, isoTime(_startedMs),
                [this](const std::string& request, const MqttReplyRoute& route) {
                    onRequest(Origin{0, route}, request, {});
                });
        }
    } catch (const std::exception& e) {
        std::cerr << "i2c-kestro-agent: " << e.what() << std::endl;
        return kAgentCannotServe;
    }
    if (!bringUp()) {
        return _board->getError();
    }
    try {
        _server = std::make_unique<ControlServer>(
            _config,
            [this](auto client, const std::string& line, ControlServer::Files files) {
                onRequest(Origin{client, std::nullopt}, line, std::move(files));
            },
            [this](auto client) { cancelRequestsOf(client); });
        if (_config.metrics) {
            _metrics = std::make_unique<MetricsServer>(_config.metricsListen);
        }
    } catch (const std::exception& e) {
        std::cerr << "i2c-kestro-agent: " << e.what() << std::endl;
        return kAgentCannotServe;
    }
    // Copies of handed-over files that an agent which died left behind: no request needs them.
    std::error_code ignored;
    std::filesystem::remove_all(_config.stateDir + "/spool", ignored);
    for (const std::string& transfer : _state.restore(*_supervisor)) {
        onEvent(transfer + " was under way when the agent last stopped; it was interrupted");
    }
    for (const std::string& rollout : _journal.takeInterrupted()) {
        onEvent("rollout " + rollout + " was under way when the agent last stopped; it was interrupted");
    }
    _notifier.ready();
    if (ready != nullptr) {
        ready();
    }
    logLine("i2c-kestro-agent: serving " + _config.socketPath + "; " + onlineText());
    loop();
    windDown();
    return 0;
}

bool Agent::bringUp() {
    _board = std::make_unique<SBC>(_options.config);
    const int32_t error = _board->getError();
    if (fatalBoardError(error)) {
        std::cerr << "i2c-kestro-agent: the board did not come up: " << sbcErrorText(error)
                  << " (i2c-kestro-cli board --config " << _options.config << " shows each step)"
                  << std::endl;
        return false;
    }
    if (error != OKEY) {
        // Start-up stopped before the line went high and the nodes were looked for; the list
        // is fetched again at each refresh.
        std::cerr << "i2c-kestro-agent: no device list yet (" << sbcErrorText(error)
                  << "); trying again every " << _config.deviceRefreshPeriodS << " s" << std::endl;
        _board->_error = OKEY;
        _board->setGpio(true);
    }
    _supervisor = std::make_unique<Supervisor>(_config, _schedule, _counters,
                                               [this](const std::string& text) { onEvent(text); });
    _schedule.onDone = [this](BusSchedule::JobId id, const BusSchedule::Result& result) {
        _supervisor->takeResult(id, result);
    };
    adoptFoundNodes();
    refreshDevices();
    return true;
}

// The nodes the board's discovery found are the agent's now; the board keeps the rest (none).
void Agent::adoptFoundNodes() {
    const std::map<std::string, uint8_t> listed = listedDevices(*_board);
    auto& found = _board->_nodes[_config.bus];
    for (auto it = found.begin(); it != found.end();) {
        const auto device = listed.find(it->first);
        if (device == listed.end()) {
            ++it;
            continue;
        }
        _supervisor->adoptFound(it->first, device->second,
                                std::unique_ptr<NorvaneI2CNode>(it->second));
        it = found.erase(it);
    }
}

// A fetch that fails keeps the list the agent has; the board's discovery pruned its own list
// to the nodes it found, so the first refresh comes right after start-up.
void Agent::refreshDevices() {
    _nextRefresh = Clock::now() + std::chrono::seconds(_config.deviceRefreshPeriodS);
    _board->_error = OKEY;
    _board->fetchDevices();
    if (_board->getError() != OKEY) {
        onEvent("device list not fetched (" + sbcErrorText(_board->getError()) +
                "); the last one is kept");
        _board->_error = OKEY;
        return;
    }
    _supervisor->setDevices(listedDevices(*_board));
}

void Agent::loop() {
    while (!_stop) {
        Clock::time_point wakeUp = _supervisor->startDue(Clock::now());
        if (Clock::now() >= _nextRefresh) {
            refreshDevices();
        }
        wakeUp = std::min(wakeUp, _nextRefresh);
        if (const std::optional<Clock::time_point> bus = _schedule.runDue()) {
            wakeUp = std::min(wakeUp, *bus);
        }
        wakeUp = std::min(wakeUp, serveRollouts());
        serveOpenRequests();
        if (_link) {
            _fleet.publish(*_supervisor, *_link);
            wakeUp = std::min(wakeUp, _link->service(Clock::now()));
        }
        _notifier.keepAlive();
        const std::string status = onlineText();
        if (status != _lastStatus) {
            _notifier.status(status);
            _lastStatus = status;
        }
        saveStateSometimes(false);
        publishMetrics();
        waitForWork(wakeUp);
    }
}

void Agent::waitForWork(Clock::time_point wakeUp) {
    std::vector<pollfd> fds{{_signals, POLLIN, 0}};
    _server->addPollFds(fds);
    if (_link) {
        _link->addPollFds(fds);
    }
    for (const OpenRollout& rollout : _rollouts) {
        rollout.download->addPollFds(fds);
    }
    const Clock::time_point now = Clock::now();
    // With metrics on, the loop comes round at least once a second to publish them.
    const auto longest = _metrics ? std::chrono::seconds(1) : kLongestSleep;
    const auto wait = std::clamp(wakeUp - now, Clock::duration::zero(),
                                 std::chrono::duration_cast<Clock::duration>(longest));
    const auto waitNs = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    const timespec timeout{static_cast<time_t>(waitNs / 1000000000),
                           static_cast<long>(waitNs % 1000000000)};
    if (::ppoll(fds.data(), fds.size(), &timeout, nullptr) <= 0) {
        return;
    }
    if ((fds[0].revents & POLLIN) != 0 && !handleSignals()) {
        _stop = true;
    }
    _server->handle(fds);
    if (_link) {
        _link->handle(fds);
    }
}

// False once the agent is asked to stop.
bool Agent::handleSignals() {
    signalfd_siginfo info{};
    bool keepOn = true;
    while (::read(_signals, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGHUP) {
            reload();
        } else {
            keepOn = false;
        }
    }
    return keepOn;
}

void Agent::reload() {
    try {
        AgentConfig config = readAgentConfig(_options.agentConfig);
        if (config.socketPath != _config.socketPath || config.bus != _config.bus ||
            config.mqtt != _config.mqtt) {
            std::cerr << "i2c-kestro-agent: bus, socket and mqtt changes take effect at the next "
                         "start"
                      << std::endl;
            config.socketPath = _config.socketPath;
            config.bus = _config.bus;
            config.mqtt = _config.mqtt;
        }
        _config = std::move(config);
        _supervisor->configure(_config);
        logLine("i2c-kestro-agent: reloaded " + _options.agentConfig);
    } catch (const ConfigError& e) {
        std::cerr << "i2c-kestro-agent: not reloaded, the settings in use stay: " << e.what()
                  << std::endl;
    }
}

// The exchanges under way finish (a transfer ends its step and then the transfer on its node),
// the state is written, and the board's teardown releases the line.
void Agent::windDown() {
    _stopping = true;
    _notifier.stopping();
    logLine("i2c-kestro-agent: stopping");
    for (OpenRequest& open : _open) {
        open.request->cancel();
    }
    const Clock::time_point until = Clock::now() + kWindDown;
    while (Clock::now() < until) {
        const std::optional<Clock::time_point> next = _schedule.runDue();
        serveOpenRequests();
        if (!next) {
            break;
        }
        std::this_thread::sleep_until(*next);
    }
    // Still under way after the wind-down: what they hold is written to the state first, so the
    // next start reports them as interrupted. A rollout still fetching its file is answered
    // now; it stays in the journal for the same report.
    for (const OpenRollout& rollout : _rollouts) {
        answer(rollout.origin, rollout.id.get(), kRolloutUnavailable, nullptr, "",
               "i2c-kestro-agent: rollout " + rollout.order.id +
                   ": the agent stopped while fetching the file; its next start reports the "
                   "rollout as interrupted\n");
    }
    saveStateSometimes(true);
    _server->flush();
    _server.reset();
    if (_link) {
        _link->close();
    }
}

void Agent::onEvent(const std::string& text) {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - _started).count();
    logLine("[+" + std::to_string(elapsed) + " s] " + text);
    if (_link) {
        _link->event(eventDocument(text));
    }
    _dirty = true;
}

// At most once a second: a scrape sees the state of the last second.
void Agent::publishMetrics() {
    const Clock::time_point now = Clock::now();
    if (_metrics && now - _lastPublished >= std::chrono::seconds(1)) {
        _metrics->publish(exposition(*_supervisor, _counters));
        _lastPublished = now;
    }
}

std::string Agent::onlineText() const {
    return std::to_string(_supervisor->onlineCount()) + " of " +
           std::to_string(_supervisor->deviceCount()) + " nodes online";
}

void Agent::saveStateSometimes(bool now) {
    const Clock::time_point at = Clock::now();
    if (now || (_dirty && at - _lastSave >= kStateInterval)) {
        JsonDocument transfers = transfersDocument();
        _state.save(*_supervisor, transfers.get());
        _lastSave = at;
        _dirty = false;
    }
}

// Descriptors that came with anything but a put or get are closed as the line is done with.
// Over MQTT, put and get are refused: they name the board's own files, which no client of the
// broker may reach.
void Agent::onRequest(const Origin& origin, const std::string& line, ControlServer::Files files) {
    JsonDocument request(json_tokener_parse(line.c_str()));
    json_object* id = nullptr;
    json_object* command = nullptr;
    if (!json_object_is_type(request.get(), json_type_object)) {
        answer(origin, nullptr, kAgentUsageError, nullptr, "",
               "a request is one JSON object on one line\n");
        return;
    }
    json_object_object_get_ex(request.get(), "id", &id);
    if (!json_object_object_get_ex(request.get(), "command", &command) ||
        !json_object_is_type(command, json_type_string)) {
        answer(origin, id, kAgentUsageError, nullptr, "",
               "a request needs \"command\", a text (docs/commands.md lists them)\n");
        return;
    }
    const std::string name = json_object_get_string(command);
    if (name == "status") {
        JsonDocument status = statusDocument();
        answer(origin, id, 0, status.get(), "", "");
    } else if (name == "rescan") {
        _supervisor->probeNow();
        _nextRefresh = Clock::now();
        answer(origin, id, 0, nullptr, "rescan started\n", "");
    } else if (name == "reload") {
        reload();
        answer(origin, id, 0, nullptr, "reloaded\n", "");
    } else if (origin.route && (name == "put" || name == "get")) {
        answer(origin, id, kAgentUsageError, nullptr, "",
               name + " is not served over MQTT: it names the board's own files\n");
    } else if (name == "rollout") {
        startRollout(origin, id, request.get());
    } else if (name == "node" || name == "put" || name == "get") {
        startToolRequest(origin, id, request.get(), std::move(files));
    } else {
        answer(origin, id, kAgentUsageError, nullptr, "",
               "unknown command \"" + name +
                   "\": status, rescan, reload, node, put, get or rollout (docs/commands.md)\n");
    }
}

// node, put and get run as the tool runs them, on the agent's schedule and its nodes; anything
// else is refused there as the tool refuses a bad command line.
void Agent::startToolRequest(const Origin& origin, json_object* id, json_object* request,
                             ControlServer::Files files) {
    const cli::NodeProvider nodes = [this](uint8_t address, std::string& fault) {
        return _supervisor->channel(address, fault);
    };
    const cli::Workplace workplace{_config.bus, _config.stateDir + "/spool"};
    auto started = cli::startRequest(request, _schedule, nodes, workplace, std::move(files));
    if (auto* refused = std::get_if<cli::Reply>(&started)) {
        answer(origin, id, refused->status, refused->result.get(), refused->out, refused->err);
        return;
    }
    OpenRequest open;
    open.origin = origin;
    open.id.reset(json_object_get(id));
    open.command = commandName(request);
    open.request = std::move(std::get<std::unique_ptr<cli::PendingRequest>>(started));
    _open.push_back(std::move(open));
}

// The file is fetched first (from the loop, a step at a time), then put to the nodes.
void Agent::startRollout(const Origin& origin, json_object* id, json_object* request) {
    OpenRollout rollout;
    try {
        rollout.order = rolloutOrderOf(request);
    } catch (const std::invalid_argument& e) {
        answer(origin, id, kAgentUsageError, nullptr, "", std::string(e.what()) + "\n");
        return;
    }
    rollout.origin = origin;
    rollout.id.reset(json_object_get(id));
    rollout.download = std::make_unique<Download>(
        rollout.order, _config.stateDir + "/rollouts", _config.mqtt ? _config.mqtt->rolloutCaFile : "");
    _journal.add(rollout.order);
    logLine("i2c-kestro-agent: rollout " + rollout.order.id + ": " +
            (rollout.download->done() ? "the file is here already" : "fetching " + rollout.order.url));
    _rollouts.push_back(std::move(rollout));
}

Clock::time_point Agent::serveRollouts() {
    Clock::time_point wakeUp = Clock::now() + kLongestSleep;
    for (auto it = _rollouts.begin(); it != _rollouts.end();) {
        wakeUp = std::min(wakeUp, it->download->service(Clock::now()));
        if (!it->download->done()) {
            ++it;
            continue;
        }
        putRollout(*it);
        it = _rollouts.erase(it);
    }
    return wakeUp;
}

// A fetched file goes to the nodes as a put of the agent's own file would; a failed fetch is
// the answer.
void Agent::putRollout(OpenRollout& rollout) {
    const Download& download = *rollout.download;
    const std::string& id = rollout.order.id;
    if (download.status() != 0) {
        logLine("i2c-kestro-agent: rollout " + id + ": " + download.fault());
        _journal.remove(id);
        answer(rollout.origin, rollout.id.get(), download.status(), nullptr, "",
               "i2c-kestro-agent: rollout: " + download.fault() + "\n");
        return;
    }
    const std::string nodes = rolloutNodes(rollout.order.nodes);
    if (nodes.empty()) {
        _journal.remove(id);
        answer(rollout.origin, rollout.id.get(), kRolloutUnavailable, nullptr, "",
               "i2c-kestro-agent: rollout: no node of the board is online\n");
        return;
    }
    JsonDocument put = cli::newObject();
    cli::setText(put.get(), "command", "put");
    cli::setText(put.get(), "nodes", nodes);
    cli::setText(put.get(), "local", download.path());
    cli::setText(put.get(), "remote", rollout.order.remote);
    const size_t before = _open.size();
    startToolRequest(rollout.origin, rollout.id.get(), put.get(), {});
    if (_open.size() == before) {
        _journal.remove(id);
        return;
    }
    _open.back().command = "rollout";
    _open.back().rollout = id;
}

// "all": the nodes online now, as the agent knows them (no sweep of the bus).
std::string Agent::rolloutNodes(const std::string& nodes) const {
    if (nodes != "all") {
        return nodes;
    }
    std::string online;
    for (const auto& [name, node] : _supervisor->nodes()) {
        if (node.online) {
            online += (online.empty() ? "" : ",") + cli::addressText(node.address);
        }
    }
    return online;
}

// Each node's share, as an event of the board, when it moved and at most once a second.
void Agent::publishRolloutProgress(OpenRequest& open) {
    const Clock::time_point now = Clock::now();
    JsonDocument rows = open.request->progress();
    for (size_t index = 0; index < json_object_array_length(rows.get()); ++index) {
        json_object* row = json_object_array_get_idx(rows.get(), index);
        json_object* value = nullptr;
        const auto number = [&](const char* key) {
            return json_object_object_get_ex(row, key, &value) ? json_object_get_int64(value) : 0;
        };
        const int64_t address = number("address");
        const int64_t done = number("done");
        auto& [last, at] = open.published[address];
        if ((done != last || at == Clock::time_point{}) && now - at >= kRolloutEventInterval) {
            _link->event(rolloutProgressDocument(open.rollout, static_cast<unsigned>(address), done,
                                                 number("total")));
            last = done;
            at = now;
        }
    }
}

// Answers the requests whose operations ended, and tells the others' clients how far their
// transfers are, at most ten times a second. A cancelled request is kept until its operations
// have ended, since they refer to it.
void Agent::serveOpenRequests() {
    const Clock::time_point now = Clock::now();
    for (auto it = _open.begin(); it != _open.end();) {
        OpenRequest& open = *it;
        if (!open.rollout.empty() && _link) {
            publishRolloutProgress(open);
        }
        if (open.request->done()) {
            finishRequest(open);
            it = _open.erase(it);
            continue;
        }
        if (!open.cancelled && now - open.progressAt >= std::chrono::milliseconds(100)) {
            sendProgress(open);
            open.progressAt = now;
        }
        ++it;
    }
}

void Agent::finishRequest(OpenRequest& open) {
    const JsonDocument moved = open.request->progress();
    for (size_t index = 0; index < json_object_array_length(moved.get()); ++index) {
        json_object* row = json_object_array_get_idx(moved.get(), index);
        json_object* direction = nullptr;
        json_object* done = nullptr;
        if (json_object_object_get_ex(row, "direction", &direction) &&
            json_object_object_get_ex(row, "done", &done)) {
            const bool put = std::string(json_object_get_string(direction)) == "put";
            (put ? _counters.bytesSent : _counters.bytesReceived) +=
                static_cast<uint64_t>(json_object_get_int64(done));
        }
    }
    cli::Reply reply = open.request->finish();
    // A rollout the stop cut short is reported as interrupted at the next start.
    if (!open.rollout.empty() && !(_stopping && reply.status != 0)) {
        _journal.remove(open.rollout);
    }
    _counters.countCommand(open.command, reply.status);
    if (!open.cancelled) {
        answer(open.origin, open.id.get(), reply.status, reply.result.get(), reply.out, reply.err);
    }
    _dirty = true;
}

void Agent::sendProgress(OpenRequest& open) {
    JsonDocument rows = open.request->progress();
    if (json_object_array_length(rows.get()) == 0) {
        return;
    }
    const std::string text = cli::serialise(rows.get());
    if (text == open.lastProgress) {
        return;
    }
    open.lastProgress = text;
    JsonDocument line = cli::newObject();
    if (open.id) {
        cli::setValue(line.get(), "id", json_object_get(open.id.get()));
    }
    cli::setValue(line.get(), "progress", rows.release());
    deliver(open.origin, plainJson(line.get()), false);
}

void Agent::cancelRequestsOf(ControlServer::ClientId client) {
    for (OpenRequest& open : _open) {
        if (!open.origin.route && open.origin.client == client && !open.cancelled) {
            open.cancelled = true;
            open.request->cancel();
        }
    }
}

void Agent::answer(const Origin& origin, json_object* id, int status, json_object* result,
                   const std::string& out, const std::string& err) {
    JsonDocument reply = cli::newObject();
    if (id != nullptr) {
        cli::setValue(reply.get(), "id", json_object_get(id));
    }
    cli::setNumber(reply.get(), "status", status);
    cli::setText(reply.get(), "stdout", out);
    cli::setText(reply.get(), "stderr", err);
    if (result != nullptr) {
        cli::setValue(reply.get(), "result", json_object_get(result));
    }
    deliver(origin, plainJson(reply.get()), true);
}

void Agent::deliver(const Origin& origin, const std::string& line, bool last) {
    if (origin.route) {
        _link->reply(*origin.route, line);
    } else {
        _server->send(origin.client, line, last);
    }
}

JsonDocument Agent::statusDocument() const {
    JsonDocument status = cli::newObject();
    cli::setText(status.get(), "command", "status");
    cli::setNumber(status.get(), "status", 0);
    cli::setText(status.get(), "version", KESTRO_VERSION);
    cli::setNumber(status.get(), "started_ms", static_cast<int64_t>(_startedMs));
    cli::setNumber(status.get(), "now_ms", static_cast<int64_t>(millis()));
    cli::setText(status.get(), "bus", _config.bus);
    cli::setNumber(status.get(), "online", static_cast<int64_t>(_supervisor->onlineCount()));
    cli::setNumber(status.get(), "total", static_cast<int64_t>(_supervisor->deviceCount()));
    cli::setValue(status.get(), "nodes", _supervisor->nodesDocument().release());
    cli::setValue(status.get(), "transfers", transfersDocument().release());
    return status;
}

JsonDocument Agent::transfersDocument() const {
    JsonDocument transfers(json_object_new_array());
    for (const OpenRequest& open : _open) {
        JsonDocument rows = open.request->progress();
        for (size_t index = 0; index < json_object_array_length(rows.get()); ++index) {
            json_object_array_add(transfers.get(),
                                  json_object_get(json_object_array_get_idx(rows.get(), index)));
        }
    }
    return transfers;
}

}  // namespace

int runAgent(const AgentOptions& options, void (*ready)()) {
    AgentConfig config;
    try {
        config = readAgentConfig(options.agentConfig);
    } catch (const ConfigError& e) {
        std::cerr << "i2c-kestro-agent: " << e.what() << std::endl;
        return kAgentUsageError;
    }
    separateLibraryOutput(options.verbose);
    Agent agent(options, std::move(config));
    return agent.run(ready);
}

}  // namespace agent
