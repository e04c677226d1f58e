#include "Fleet.h"

#include <signal.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>

#include "AgentClient.h"
#include "ExitStatus.h"
#include "FleetLink.h"
#include "Json.h"
#include "NodeCommands.h"
#include "Parse.h"
#include "PrintableText.h"

namespace cli {

namespace {

constexpr const char* kTopicRoot = "kestro/v1/";
// The retained documents come in one burst after the subscription; ls has them all once the
// broker has sent nothing for this long.
constexpr auto kRetainedQuiet = std::chrono::milliseconds(300);
constexpr int64_t kSecondsPerMinute = 60;
constexpr int64_t kSecondsPerHour = 3600;
constexpr int64_t kSecondsPerDay = 86400;
constexpr size_t kSha256HexLength = 64;

const std::regex& boardIdPattern() {
    static const std::regex pattern("[A-Za-z0-9_.-]{1,64}");
    return pattern;
}

std::string topic(const std::string& board, const std::string& rest) {
    return kTopicRoot + board + "/" + rest;
}

// kestro/v1/BOARD/REST...: BOARD and REST, or nothing for another topic.
std::optional<std::pair<std::string, std::string>> splitTopic(const std::string& name) {
    if (name.rfind(kTopicRoot, 0) != 0) {
        return std::nullopt;
    }
    const size_t boardStart = std::strlen(kTopicRoot);
    const size_t slash = name.find('/', boardStart);
    if (slash == std::string::npos) {
        return std::nullopt;
    }
    return std::make_pair(name.substr(boardStart, slash - boardStart), name.substr(slash + 1));
}

json_object* member(json_object* object, const char* key) {
    json_object* value = nullptr;
    return json_object_object_get_ex(object, key, &value) ? value : nullptr;
}

std::string textOf(json_object* object, const char* key) {
    json_object* value = member(object, key);
    return json_object_is_type(value, json_type_string)
               ? std::string(json_object_get_string(value),
                             static_cast<size_t>(json_object_get_string_len(value)))
               : "";
}

bool isTrue(json_object* object, const char* key) {
    return json_object_get_boolean(member(object, key)) != 0;
}

// "2026-12-08T21:00:00Z", with or without fractions of a second: seconds since the epoch.
std::optional<int64_t> isoSeconds(const std::string& text) {
    std::tm parts{};
    char zone = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &parts.tm_year, &parts.tm_mon,
                    &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6 ||
        std::sscanf(text.c_str() + text.size() - 1, "%c", &zone) != 1 || zone != 'Z') {
        return std::nullopt;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return static_cast<int64_t>(::timegm(&parts));
}

std::string agoText(const std::string& iso) {
    const std::optional<int64_t> then = isoSeconds(iso);
    if (!then) {
        return "never";
    }
    const int64_t seconds = std::max<int64_t>(std::time(nullptr) - *then, 0);
    if (seconds < kSecondsPerMinute) {
        return std::to_string(seconds) + " s ago";
    }
    if (seconds < kSecondsPerHour) {
        return std::to_string(seconds / kSecondsPerMinute) + " min ago";
    }
    return seconds < kSecondsPerDay ? std::to_string(seconds / kSecondsPerHour) + " h ago"
                                    : std::to_string(seconds / kSecondsPerDay) + " d ago";
}

std::string column(std::string text, size_t width) {
    text.resize(std::max(text.size() + 2, width), ' ');
    return text;
}

// A row without the padding of an empty last column.
std::string tableLine(std::string row) {
    row.erase(row.find_last_not_of(' ') + 1);
    return row + "\n";
}

// What the broker holds of one board: its status and its nodes' documents.
struct BoardView {
    JsonDocument status;
    std::map<std::string, JsonDocument> nodes;  // by "0x10"

    // The status's time; an offline board's will carries none, so then its nodes' newest.
    std::string lastSeen() const {
        const std::string time = textOf(status.get(), "time");
        if (!time.empty()) {
            return time;
        }
        std::string newest;
        for (const auto& [address, node] : nodes) {
            newest = std::max(newest, textOf(node.get(), "last_seen"));
        }
        return newest;
    }
};

using FleetView = std::map<std::string, BoardView>;

// Keeps a retained status or node document; false for any other message.
bool keepDocument(FleetView& view, const FleetMessage& message) {
    const auto parts = splitTopic(message.topic);
    if (!parts || message.payload.empty()) {
        return false;
    }
    JsonDocument document(json_tokener_parse(message.payload.c_str()));
    if (!json_object_is_type(document.get(), json_type_object)) {
        return false;
    }
    BoardView& board = view[parts->first];
    if (parts->second == "status") {
        board.status = std::move(document);
    } else if (parts->second.rfind("node/", 0) == 0) {
        board.nodes[parts->second.substr(5)] = std::move(document);
    } else {
        return false;
    }
    return true;
}

std::string readPassword(const std::string& path, std::string& fault) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) {
        fault = "cannot read the password file " + printableText(path) +
                (errno != 0 ? std::string(": ") + std::strerror(errno) : "");
    }
    return line;
}

FleetCredentials credentialsOf(const FleetOptions& options, std::string& fault) {
    FleetCredentials credentials{options.caFile, options.certFile, options.keyFile, options.user,
                                 ""};
    if (!options.passwordFile.empty()) {
        credentials.password = readPassword(options.passwordFile, fault);
    }
    return credentials;
}

// ------------------------------------------------------------------------- the command line

const NodeCommand* nodeCommandNamed(const std::string& name) {
    for (const NodeCommand& command : nodeCommands()) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

std::string nodeWordsFault(const std::vector<std::string>& words) {
    if (words.size() < 4) {
        return "node needs ADDRESSES and COMMAND: fleet BOARD node ADDRESSES COMMAND [ARGS...]";
    }
    const NodeCommand* command = nodeCommandNamed(words[3]);
    if (command == nullptr) {
        return "no node command " + words[3] + " (see 'i2c-kestro-cli node --help')";
    }
    const size_t given = words.size() - 4;
    const size_t needed = static_cast<size_t>(std::count_if(
        command->params.begin(), command->params.end(), [](const ParamSpec& p) { return !p.optional; }));
    if (given < needed || given > command->params.size()) {
        return words[3] + " takes " + std::to_string(needed) +
               (needed == command->params.size() ? "" : " or " + std::to_string(command->params.size())) +
               " argument" + (command->params.size() == 1 ? "" : "s") + ", not " +
               std::to_string(given);
    }
    for (size_t index = 0; index < given; ++index) {
        const std::string fault = checkArgument(command->params[index].kind, words[4 + index]);
        if (!fault.empty()) {
            return std::string(command->params[index].name) + ": " + fault;
        }
    }
    return "";
}

std::string putWordsFault(const std::vector<std::string>& words, const FleetOptions& options) {
    if (words.size() != 4) {
        return "put takes ADDRESSES and URL: fleet BOARD put ADDRESSES URL --sha256 HEX --size N";
    }
    if (words[3].rfind("https://", 0) != 0) {
        return "URL: the boards fetch over HTTPS only: " + words[3];
    }
    if (options.sha256.size() != kSha256HexLength ||
        options.sha256.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return "--sha256: not 64 hexadecimal digits: " + options.sha256;
    }
    if (options.size == 0) {
        return "--size: put needs the file's size in bytes";
    }
    return options.remote.find('/') == std::string::npos
               ? ""
               : "--name: a node's file name holds no '/': " + options.remote;
}

std::string boardWordsFault(const std::vector<std::string>& words, const FleetOptions& options) {
    if (!std::regex_match(words[0], boardIdPattern())) {
        return "not a board id ([A-Za-z0-9_.-], 1 to 64): " + words[0];
    }
    if (words.size() < 2 || (words[1] != "node" && words[1] != "put")) {
        return "after the board comes node or put: " + (words.size() < 2 ? "" : words[1]);
    }
    if (words.size() >= 3) {
        const AddressList list = parseAddressList(words[2]);
        if (!list.fault.empty() && !(words[1] == "put" && words[2] == "all")) {
            return "ADDRESSES: " + list.fault;
        }
    }
    return words[1] == "node" ? nodeWordsFault(words) : putWordsFault(words, options);
}

std::string wordsFault(const FleetOptions& options) {
    const std::vector<std::string>& words = options.words;
    const bool put = words.size() >= 2 && words[1] == "put";
    if (!put && (!options.sha256.empty() || options.size != 0 || !options.remote.empty())) {
        return "--sha256, --size and --name belong to put";
    }
    if (words[0] == "ls") {
        return words.size() == 1 ? "" : "ls takes nothing more: " + words[1];
    }
    if (words[0] == "watch") {
        return words.size() == 1 || (words.size() == 2 && std::regex_match(words[1], boardIdPattern()))
                   ? ""
                   : "watch takes one board id at most";
    }
    return boardWordsFault(words, options);
}

// A run that ends before the board answered: its document names the command, not a bus.
int failFleet(Console& console, const char* command, int code, const std::string& text) {
    JsonDocument document = newObject();
    setText(document.get(), "command", command);
    return console.fail(document.get(), "status", code, text);
}

// ------------------------------------------------------------------------- fleet ls

std::string boardRow(const std::string& name, const BoardView& board) {
    json_object* status = board.status.get();
    std::string detail;
    if (member(status, "nodes") != nullptr) {
        detail = std::to_string(json_object_get_int(member(status, "nodes_online"))) + " of " +
                 std::to_string(json_object_get_int(member(status, "nodes"))) + " nodes online";
    }
    if (!textOf(status, "version").empty()) {
        detail += (detail.empty() ? "" : ", ") + std::string("version ") +
                  printableText(textOf(status, "version"));
    }
    return tableLine(column(printableText(name), 18) +
           column(status == nullptr ? "?" : isTrue(status, "online") ? "yes" : "no", 8) +
           column(agoText(board.lastSeen()), 14) + detail);
}

std::string nodeRow(const std::string& address, json_object* node) {
    return tableLine(column("  " + printableText(address), 18) +
                     column(isTrue(node, "online") ? "yes" : "no", 8) +
                     column(agoText(textOf(node, "last_seen")), 14) +
                     printableText(textOf(node, "identity")));
}

json_object* boardDocument(const std::string& name, const BoardView& board) {
    json_object* document = json_object_new_object();
    setText(document, "board", name);
    setValue(document, "online", json_object_new_boolean(isTrue(board.status.get(), "online")));
    const std::string seen = board.lastSeen();
    setValue(document, "last_seen", seen.empty() ? nullptr : newText(seen));
    setValue(document, "status", json_object_get(board.status.get()));
    json_object* nodes = json_object_new_array();
    for (const auto& [address, node] : board.nodes) {
        json_object_array_add(nodes, json_object_get(node.get()));
    }
    setValue(document, "nodes", nodes);
    return document;
}

void printView(Console& console, const FleetView& view) {
    JsonDocument document = newObject();
    setText(document.get(), "command", "fleet ls");
    setNumber(document.get(), "status", 0);
    json_object* boards = json_object_new_array();
    std::string text = column("BOARD / NODE", 18) + column("ONLINE", 8) + column("LAST SEEN", 14) +
                       "DETAIL\n";
    for (const auto& [name, board] : view) {
        json_object_array_add(boards, boardDocument(name, board));
        text += boardRow(name, board);
        for (const auto& [address, node] : board.nodes) {
            text += nodeRow(address, node.get());
        }
    }
    setValue(document.get(), "boards", boards);
    console.printDocument(document.get());
    console.print(view.empty() ? "no board has a status on the broker\n" : text);
}

int runList(Console& console, FleetLink& link,
            FleetClock::time_point deadline) {
    FleetView view;
    FleetClock::time_point lastMessage = FleetClock::now();
    link.onMessage([&](const FleetMessage& message) {
        keepDocument(view, message);
        lastMessage = FleetClock::now();
    });
    const std::string fault = link.open({topic("+", "status"), topic("+", "node/+")}, deadline);
    if (!fault.empty()) {
        return failFleet(console, "fleet ls", kFleetUnavailable, fault);
    }
    lastMessage = FleetClock::now();
    link.run(deadline, [&] { return FleetClock::now() - lastMessage >= kRetainedQuiet; });
    printView(console, view);
    return 0;
}

// ------------------------------------------------------------------------- requests

// A request sent to one board and the lines that answer it.
class BoardRequest {
  public:
    BoardRequest(Console& console, const Settings& settings, const FleetOptions& options)
        : _console(console),
          _settings(settings),
          _options(options),
          _board(options.words[0]),
          _put(options.words[1] == "put"),
          _progress(console, _put && (parseAddressList(options.words[2]).several ||
                                      options.words[2] == "all")) {}

    int run(FleetLink& link) {
        const auto started = FleetClock::now();
        _deadline = started + std::chrono::seconds(_options.timeoutS);
        _correlation = link.clientId() + "-1";
        const std::string replyTopic = topic(_board, "reply/" + link.clientId());
        link.onMessage([this](const FleetMessage& message) { take(message); });
        std::vector<std::string> topics = {replyTopic, topic(_board, "status")};
        if (_put) {
            topics.push_back(topic(_board, "event"));
            topics.push_back(topic(_board, "node/+"));
        }
        const std::string fault = link.open(topics, _deadline);
        if (!fault.empty()) {
            return failFleet(_console, commandName(), kFleetUnavailable, fault);
        }
        link.publish(topic(_board, "cmd"), serialise(request().get()), replyTopic, _correlation);
        bool connected = true;
        while (!_reply && connected && FleetClock::now() < _deadline) {
            connected = link.run(_deadline, [this] { return _reply != nullptr; });
        }
        _progress.finish();
        if (!_reply && !connected) {
            return failFleet(_console, commandName(), kFleetUnavailable,
                            "the broker closed the connection before board " + _board +
                                " answered");
        }
        return _reply ? passOnReply() : timedOut(started);
    }

  private:
    const char* commandName() const { return _put ? "fleet put" : "fleet node"; }

    JsonDocument request() const {
        JsonDocument request = newObject();
        setText(request.get(), "id", _correlation);
        const std::vector<std::string>& words = _options.words;
        if (_put) {
            setText(request.get(), "command", "rollout");
            setText(request.get(), "url", words[3]);
            setText(request.get(), "sha256", _options.sha256);
            setNumber(request.get(), "size", static_cast<int64_t>(_options.size));
            setText(request.get(), "nodes", words[2]);
            setText(request.get(), "remote", remoteName());
            return request;
        }
        setText(request.get(), "command", "node");
        setText(request.get(), "nodes", words[2]);
        setText(request.get(), "name", words[3]);
        json_object* arguments = json_object_new_array();
        for (size_t index = 4; index < words.size(); ++index) {
            json_object_array_add(arguments, newText(words[index]));
        }
        setValue(request.get(), "args", arguments);
        setValue(request.get(), "json", json_object_new_boolean(_settings.json));
        setValue(request.get(), "quiet", json_object_new_boolean(_settings.quiet));
        setValue(request.get(), "verbose", json_object_new_boolean(_settings.verbose));
        return request;
    }

    // --name, else the URL's last part.
    std::string remoteName() const {
        if (!_options.remote.empty()) {
            return _options.remote;
        }
        const std::string& url = _options.words[3];
        return url.substr(url.rfind('/') + 1);
    }

    void take(const FleetMessage& message) {
        const auto parts = splitTopic(message.topic);
        JsonDocument document(json_tokener_parse(message.payload.c_str()));
        if (!parts || !json_object_is_type(document.get(), json_type_object)) {
            return;
        }
        if (parts->second == "status" || parts->second.rfind("node/", 0) == 0) {
            keepDocument(_view, message);
        } else if (parts->second == "event") {
            takeEvent(document.get());
        } else if (message.correlation == _correlation || textOf(document.get(), "id") == _correlation) {
            takeReplyLine(std::move(document));
        }
    }

    void takeReplyLine(JsonDocument line) {
        json_object* rows = member(line.get(), "progress");
        if (json_object_is_type(rows, json_type_array)) {
            keepWaiting();
            _progress.update(rows);
        } else if (json_object_is_type(member(line.get(), "status"), json_type_int)) {
            _reply = std::move(line);
        }
    }

    // A rollout's progress, one node at a time, drawn as one row per node of the request.
    void takeEvent(json_object* event) {
        if (textOf(event, "kind") != "rollout" ||
            (member(event, "rollout") != nullptr && textOf(event, "rollout") != _correlation) ||
            member(event, "done") == nullptr) {
            return;
        }
        keepWaiting();
        const std::optional<uint64_t> address = addressOf(event);
        if (!address) {
            return;
        }
        _done[*address] = {json_object_get_int64(member(event, "done")),
                           json_object_get_int64(member(event, "total"))};
        JsonDocument rows(json_object_new_array());
        for (const uint8_t each : rolloutAddresses()) {
            const auto [done, total] = _done[each];
            json_object* row = json_object_new_object();
            setNumber(row, "address", each);
            setNumber(row, "done", done);
            setNumber(row, "total", total);
            json_object_array_add(rows.get(), row);
        }
        _progress.update(rows.get());
    }

    static std::optional<uint64_t> addressOf(json_object* event) {
        json_object* value = member(event, "address");
        if (json_object_is_type(value, json_type_int)) {
            return static_cast<uint64_t>(json_object_get_int64(value));
        }
        const AddressList list = parseAddressList(textOf(event, "address"));
        return list.fault.empty() && list.addresses.size() == 1
                   ? std::optional<uint64_t>(list.addresses[0])
                   : std::nullopt;
    }

    // The request's addresses; for "all" the board's nodes that its documents say are online.
    std::vector<uint8_t> rolloutAddresses() const {
        if (_options.words[2] != "all") {
            return parseAddressList(_options.words[2]).addresses;
        }
        std::vector<uint8_t> addresses;
        const auto board = _view.find(_board);
        if (board != _view.end()) {
            for (const auto& [text, node] : board->second.nodes) {
                const AddressList list = parseAddressList(text);
                if (isTrue(node.get(), "online") && list.addresses.size() == 1) {
                    addresses.push_back(list.addresses[0]);
                }
            }
        }
        return addresses;
    }

    // A board that reports keeps its request alive: a rollout to many nodes takes long.
    void keepWaiting() {
        _deadline = std::max(_deadline, FleetClock::now() + std::chrono::seconds(_options.timeoutS));
    }

    int passOnReply() {
        json_object* reply = _reply.get();
        const std::string out = textOf(reply, "stdout");
        json_object* result = member(reply, "result");
        if (out.empty() && _settings.json && result != nullptr) {
            _console.passOn(serialise(result) + "\n", textOf(reply, "stderr"));
        } else {
            _console.passOn(out, textOf(reply, "stderr"));
        }
        return json_object_get_int(member(reply, "status"));
    }

    int timedOut(FleetClock::time_point started) {
        const auto waited =
            std::chrono::duration_cast<std::chrono::seconds>(FleetClock::now() - started).count();
        const auto board = _view.find(_board);
        std::string seen = "; the broker holds no status of it (has it ever connected?)";
        if (board != _view.end() && board->second.status) {
            const std::string last = board->second.lastSeen();
            seen = std::string(isTrue(board->second.status.get(), "online") ? "" : "; offline") +
                   "; last seen " + (last.empty() ? "never" : agoText(last));
        }
        return failFleet(_console, commandName(), kFleetUnavailable,
                    "board " + _board + " did not answer within " + std::to_string(waited) + " s" +
                        seen);
    }

    Console& _console;
    const Settings& _settings;
    const FleetOptions& _options;
    std::string _board;
    bool _put;
    AgentProgress _progress;
    std::string _correlation;
    FleetClock::time_point _deadline;
    FleetView _view;
    std::map<uint64_t, std::pair<int64_t, int64_t>> _done;
    JsonDocument _reply;
};

// ------------------------------------------------------------------------- fleet watch

volatile sig_atomic_t stopWatching = 0;

void askToStop(int) {
    stopWatching = 1;
}

// The last known online state of each board, so that a status republished for its nodes'
// count is no event.
class Watcher {
  public:
    explicit Watcher(Console& console) : _console(console) {}

    void take(const FleetMessage& message) {
        const auto parts = splitTopic(message.topic);
        JsonDocument document(json_tokener_parse(message.payload.c_str()));
        if (!parts || !json_object_is_type(document.get(), json_type_object)) {
            return;
        }
        if (parts->second == "status") {
            takeStatus(parts->first, document.get(), message.retained);
        } else if (parts->second == "event") {
            show(parts->first, document.get(), textOf(document.get(), "address"),
                 textOf(document.get(), "kind"), textOf(document.get(), "text"));
        }
    }

  private:
    void takeStatus(const std::string& board, json_object* status, bool retained) {
        const bool online = isTrue(status, "online");
        const auto known = _online.find(board);
        const bool changed = known == _online.end() ? !retained : known->second != online;
        _online[board] = online;
        if (changed) {
            JsonDocument event = newObject();
            setText(event.get(), "kind", online ? "board-online" : "board-offline");
            show(board, event.get(), "-", online ? "online" : "offline",
                 online ? "the board's agent connected" : "the board's agent went away");
        }
    }

    void show(const std::string& board, json_object* event, const std::string& address,
              const std::string& kind, const std::string& text) {
        if (_console.json()) {
            setText(event, "board", board);
            _console.passOn(serialise(event) + "\n", "");
            return;
        }
        _console.passOn(printableText(board) + " " + printableText(address.empty() ? "-" : address) +
                            " " + printableText(kind) + " " + printableText(text) + "\n",
                        "");
    }

    Console& _console;
    std::map<std::string, bool> _online;
};

int runWatch(Console& console, FleetLink& link,
             FleetClock::time_point deadline, const std::string& board) {
    Watcher watcher(console);
    link.onMessage([&watcher](const FleetMessage& message) { watcher.take(message); });
    struct sigaction action {};
    action.sa_handler = askToStop;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    const std::string fault = link.open({topic(board, "status"), topic(board, "event")}, deadline);
    if (!fault.empty()) {
        return failFleet(console, "fleet watch", kFleetUnavailable, fault);
    }
    const auto stopAsked = [] { return stopWatching != 0; };
    while (!stopAsked()) {
        if (!link.run(FleetClock::time_point::max(), stopAsked)) {
            // The broker went away: ask again every second until it is back.
            console.error("fleet watch: the broker closed the connection; connecting again");
            link.run(FleetClock::now() + std::chrono::seconds(1), stopAsked);
            link.reconnect();
        }
    }
    return 0;
}

}  // namespace

void addFleet(CLI::App& app, FleetOptions& options, const std::function<void()>& chosen) {
    CLI::App* fleet = app.add_subcommand(
        "fleet", "the boards on an MQTT broker: list them, ask one, roll a file out, watch them");
    fleet->add_option("--broker", options.broker,
                      "the broker: mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883); "
                      "default $I2C_KESTRO_BROKER")
        ->envname("I2C_KESTRO_BROKER")
        ->required()
        ->check(CLI::Validator(
            [](std::string& text) {
                return parseBrokerUrl(text) ? "" : "not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]: " + text;
            },
            "URL"));
    fleet->add_option("--ca", options.caFile, "mqtts: the authority that signed the broker's "
                                              "certificate (default: the system's)")
        ->check(CLI::ExistingFile)
        ->type_name("FILE");
    CLI::Option* cert = fleet->add_option("--cert", options.certFile, "mqtts: client certificate")
                            ->check(CLI::ExistingFile)
                            ->type_name("FILE");
    CLI::Option* key = fleet->add_option("--key", options.keyFile, "mqtts: its private key")
                           ->check(CLI::ExistingFile)
                           ->type_name("FILE");
    cert->needs(key);
    key->needs(cert);
    CLI::Option* user = fleet->add_option("--user", options.user, "user name at the broker")
                            ->type_name("NAME");
    fleet->add_option("--password-file", options.passwordFile,
                      "the password: the file's first line")
        ->check(CLI::ExistingFile)
        ->needs(user)
        ->type_name("FILE");
    fleet->add_option("--timeout", options.timeoutS,
                      "seconds for the broker and the board to answer (1-3600)")
        ->check(CLI::Range(1u, 3600u))
        ->capture_default_str()
        ->type_name("S");
    fleet->add_option("--sha256", options.sha256, "put: the file's SHA-256, 64 hex digits")
        ->type_name("HEX");
    fleet->add_option("--size", options.size, "put: the file's size in bytes")->type_name("N");
    fleet->add_option("--name", options.remote, "put: the nodes' file name (default: the URL's last part)")
        ->type_name("REMOTE");
    fleet->add_option("WORDS", options.words,
                      "ls | watch [BOARD] | BOARD node ADDRESSES COMMAND [ARGS...] | BOARD put "
                      "ADDRESSES|all URL")
        ->required();
    fleet->footer(
        "ls lists the boards and their nodes from the documents the broker keeps for them\n"
        "(online or not, last seen). BOARD node runs a node command on the board's nodes as\n"
        "`node` does on the board, with the same output and exit status. BOARD put rolls a\n"
        "file out: the board fetches URL (HTTPS, checked against --sha256 and --size) and\n"
        "sends it to the nodes (all: its online ones), with progress. watch prints the boards'\n"
        "events as lines (BOARD ADDRESS KIND TEXT; --json: JSON lines) until SIGINT.\n"
        "\n"
        "Exit status: as node and put on the board; 64 usage error; 69 the broker cannot be\n"
        "reached or refused the connection, or the board did not answer within --timeout\n"
        "(the text says when it was last seen).\n"
        "\n"
        "Examples:\n"
        "  i2c-kestro-cli fleet --broker mqtts://broker.example --user op --password-file ~/.mqtt ls\n"
        "  i2c-kestro-cli fleet --broker mqtt://localhost pump-3 node 0x10-0x13 get-time\n"
        "  i2c-kestro-cli --json fleet --broker mqtt://localhost pump-3 node 0x10 get-identity\n"
        "  i2c-kestro-cli fleet --broker mqtt://localhost pump-3 put all https://files.example/fw.bin \\\n"
        "      --sha256 9f86d0...0a08 --size 65536 --name fw.bin\n"
        "  i2c-kestro-cli fleet --broker mqtt://localhost watch pump-3\n");
    fleet->final_callback([&options, chosen] {
        const std::string fault = wordsFault(options);
        if (!fault.empty()) {
            throw CLI::ValidationError("fleet", fault);
        }
        chosen();
    });
}

int runFleet(Console& console, const Settings& settings, const FleetOptions& options) {
    std::string fault;
    const FleetCredentials credentials = credentialsOf(options, fault);
    if (!fault.empty()) {
        return failFleet(console, "fleet", kUsageError, fault);
    }
    FleetLink link(*parseBrokerUrl(options.broker), credentials);
    const auto deadline = FleetClock::now() + std::chrono::seconds(options.timeoutS);
    const std::string& first = options.words[0];
    if (first == "ls") {
        return runList(console, link, deadline);
    }
    if (first == "watch") {
        return runWatch(console, link, deadline,
                        options.words.size() == 2 ? options.words[1] : "+");
    }
    return BoardRequest(console, settings, options).run(link);
}

}  // namespace cli
