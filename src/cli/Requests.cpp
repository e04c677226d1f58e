#include "Requests.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "ExitStatus.h"
#include "NodeCommands.h"
#include "Parse.h"
#include "PrintableText.h"
#include "Transfer.h"

namespace cli {

namespace {

// A value quoted in a complaint is cut here, so the answer stays one short line.
constexpr size_t kQuotedLength = 64;

constexpr std::array<std::string_view, 14> kKeys = {
    "id",     "command", "nodes",  "name",    "args", "local", "local_fd",
    "remote", "retries", "resume", "poll_ms", "json", "quiet", "verbose"};

// Why the request cannot be served, as the one line the reply carries.
struct Refusal {
    std::string text;
};

std::string quoted(std::string_view text) {
    const bool cut = text.size() > kQuotedLength;
    return printableText(text.substr(0, kQuotedLength)) + (cut ? "..." : "");
}

json_object* member(json_object* request, const char* key) {
    json_object* value = nullptr;
    return json_object_object_get_ex(request, key, &value) ? value : nullptr;
}

// A text without NUL bytes, which no command line can carry either.
std::string textOf(json_object* value, const std::string& key) {
    if (!json_object_is_type(value, json_type_string)) {
        throw Refusal{key + ": not a string"};
    }
    const std::string text(json_object_get_string(value),
                           static_cast<size_t>(json_object_get_string_len(value)));
    if (text.find('\0') != std::string::npos) {
        throw Refusal{key + ": holds a NUL byte"};
    }
    return text;
}

std::optional<std::string> optionalText(json_object* request, const char* key) {
    json_object* value = member(request, key);
    return value == nullptr ? std::nullopt : std::optional(textOf(value, key));
}

std::string requiredText(json_object* request, const char* key) {
    const std::optional<std::string> text = optionalText(request, key);
    if (!text) {
        throw Refusal{std::string("missing \"") + key + "\""};
    }
    return *text;
}

bool flag(json_object* request, const char* key) {
    json_object* value = member(request, key);
    if (value != nullptr && !json_object_is_type(value, json_type_boolean)) {
        throw Refusal{std::string(key) + ": not true or false"};
    }
    return value != nullptr && json_object_get_boolean(value) != 0;
}

int64_t number(json_object* request, const char* key, int64_t fallback, int64_t max) {
    json_object* value = member(request, key);
    if (value == nullptr) {
        return fallback;
    }
    if (!json_object_is_type(value, json_type_int) || json_object_get_int64(value) < 0 ||
        json_object_get_int64(value) > max) {
        throw Refusal{std::string(key) + ": not a whole number from 0 to " + std::to_string(max)};
    }
    return json_object_get_int64(value);
}

void refuseUnknownKeys(json_object* request) {
    json_object_object_foreach(request, key, value) {
        (void)value;
        if (std::ranges::find(kKeys, std::string_view(key)) == kKeys.end()) {
            throw Refusal{"unknown key \"" + quoted(key) + "\""};
        }
    }
}

Settings settingsOf(json_object* request, const std::string& bus) {
    Settings settings;
    settings.bus = bus;
    settings.json = flag(request, "json");
    settings.quiet = flag(request, "quiet");
    settings.verbose = flag(request, "verbose");
    settings.yes = true;
    settings.replyPollUs =
        static_cast<uint32_t>(number(request, "poll_ms", 0, kMaxPollMs)) * kMicrosecondsPerMs;
    return settings;
}

AddressList addressesOf(json_object* request) {
    const std::string nodes = requiredText(request, "nodes");
    AddressList list = parseAddressList(nodes);
    if (!list.fault.empty()) {
        throw Refusal{"nodes: " + quoted(list.fault)};
    }
    return list;
}

const NodeCommand& commandNamed(const std::string& name) {
    const std::vector<NodeCommand>& commands = nodeCommands();
    const auto found = std::ranges::find_if(
        commands, [&name](const NodeCommand& command) { return name == command.name; });
    if (found == commands.end()) {
        throw Refusal{"name: no node command " + quoted(name)};
    }
    return *found;
}

// The arguments as the tool's command line takes them: a last optional one has its default.
std::vector<std::string> argumentsOf(json_object* request, const NodeCommand& command) {
    json_object* given = member(request, "args");
    if (given != nullptr && !json_object_is_type(given, json_type_array)) {
        throw Refusal{"args: not an array of strings"};
    }
    const size_t count = given == nullptr ? 0 : json_object_array_length(given);
    const size_t required = static_cast<size_t>(std::ranges::count_if(
        command.params, [](const ParamSpec& param) { return !param.optional; }));
    if (count < required || count > command.params.size()) {
        throw Refusal{"args: " + std::string(command.name) + " takes " + std::to_string(required) +
                      (required == command.params.size()
                           ? ""
                           : " to " + std::to_string(command.params.size())) +
                      (command.params.size() == 1 ? " argument" : " arguments") + ", not " +
                      std::to_string(count)};
    }
    std::vector<std::string> arguments;
    for (size_t index = 0; index < command.params.size(); ++index) {
        const std::string key = "args[" + std::to_string(index) + "]";
        if (index >= count) {
            arguments.emplace_back(command.params[index].example);
            continue;
        }
        arguments.push_back(textOf(json_object_array_get_idx(given, index), key));
        const std::string fault = checkArgument(command.params[index].kind, arguments.back());
        if (!fault.empty()) {
            throw Refusal{key + ": " + quoted(fault)};
        }
    }
    return arguments;
}

// The agent's working folder is not the client's: local paths come absolute.
std::string localPath(json_object* request) {
    const std::string local = requiredText(request, "local");
    if (!local.starts_with('/')) {
        throw Refusal{"local: not an absolute path: " + quoted(local)};
    }
    return local;
}

// What a request about one local file brings: its name, and the file itself when handed over.
struct LocalSide {
    std::string name;
    std::shared_ptr<const HandedFile> handed;
};

// A new file of the agent's own in its spool folder, made when missing.
std::pair<OwnedFd, std::string> spoolFile(const std::string& spool, const char* kind) {
    if (::mkdir(spool.c_str(), 0700) != 0 && errno != EEXIST) {
        throw Refusal{"local_fd: cannot make " + quoted(spool) + ": " + std::strerror(errno)};
    }
    std::string path = spool + "/" + kind + "-XXXXXX";
    OwnedFd fd(::mkostemp(path.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        throw Refusal{"local_fd: cannot make a file in " + quoted(spool) + ": " +
                      std::strerror(errno)};
    }
    return {std::move(fd), path};
}

// put reads the handed file from its start into a copy of the agent's own, which the transfer
// and the digest then read as they read a named file.
void copyInto(int from, int to, const std::string& name) {
    char buffer[65536];
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(from, buffer, sizeof buffer, offset);
        if (got < 0) {
            throw Refusal{"local_fd: cannot read " + quoted(name) + ": " + std::strerror(errno)};
        }
        if (got == 0) {
            return;
        }
        if (::write(to, buffer, static_cast<size_t>(got)) != got) {
            throw Refusal{"local_fd: cannot copy " + quoted(name) + ": " + std::strerror(errno)};
        }
        offset += got;
    }
}

// A descriptor a put reads from, or a get writes into, opened so, on a regular file.
void checkHanded(int fd, Direction direction) {
    struct stat info {};
    const int flags = ::fcntl(fd, F_GETFL);
    const bool put = direction == Direction::Put;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || flags < 0 ||
        (flags & O_ACCMODE) == (put ? O_WRONLY : O_RDONLY)) {
        throw Refusal{std::string("local_fd: the descriptor is not a regular file open for ") +
                      (put ? "reading" : "writing")};
    }
}

std::shared_ptr<const HandedFile> handedFile(std::vector<OwnedFd>& files, Direction direction,
                                             const std::string& name, const std::string& spool) {
    if (files.size() != 1) {
        throw Refusal{"local_fd: one descriptor comes with the request, not " +
                      std::to_string(files.size())};
    }
    checkHanded(files.front().get(), direction);
    auto [copy, path] = spoolFile(spool, direction == Direction::Put ? "put" : "get");
    auto handed = std::make_shared<HandedFile>(std::move(files.front()), path);
    if (direction == Direction::Put) {
        copyInto(handed->fd.get(), copy.get(), name);
    }
    return handed;
}

// "local" names the file; with "local_fd" it is only the name printed, the file itself came
// with the request.
LocalSide localFileOf(json_object* request, Direction direction, std::vector<OwnedFd>& files,
                      const std::string& spool) {
    if (!flag(request, "local_fd")) {
        return {localPath(request), nullptr};
    }
    const std::string name = requiredText(request, "local");
    if (flag(request, "resume")) {
        throw Refusal{"resume: not served with \"local_fd\"; give --direct"};
    }
    return {name, handedFile(files, direction, name, spool)};
}

TransferRequest transferOf(json_object* request, Direction direction, bool several,
                           std::vector<OwnedFd>& files, const std::string& spool) {
    TransferRequest transfer;
    transfer.direction = direction;
    transfer.retries = static_cast<uint32_t>(number(request, "retries", 3, kMaxRetries));
    transfer.resume = flag(request, "resume");
    if (direction == Direction::Get && several && flag(request, "local_fd")) {
        throw Refusal{
            "local_fd: get on several nodes writes a folder, not one file; give --direct"};
    }
    if (direction == Direction::Put) {
        const LocalSide local = localFileOf(request, direction, files, spool);
        transfer.source = local.name;
        transfer.handed = local.handed;
        transfer.destination = optionalText(request, "remote").value_or("");
        return transfer;
    }
    transfer.source = requiredText(request, "remote");
    const LocalSide local = localFileOf(request, direction, files, spool);
    transfer.destination = local.name;
    transfer.handed = local.handed;
    if (several && transfer.source.find('/') != std::string::npos) {
        throw Refusal{"remote: a name with '/' cannot be fetched from several nodes: " +
                      quoted(transfer.source)};
    }
    return transfer;
}

// The command as the tool names it in its documents: the node command's name, put or get.
std::string commandNameOf(json_object* request) {
    const std::string command = requiredText(request, "command");
    if (command != "node" && command != "put" && command != "get") {
        throw Refusal{"command: not node, put or get: " + quoted(command)};
    }
    return command == "node" ? requiredText(request, "name") : command;
}

// The call a request makes on the addresses it ends up with: known at once, or once "all" has
// swept the bus. Everything the request says is checked before either.
using CallMaker = std::function<std::unique_ptr<CallOnNodes>(const std::vector<uint8_t>& addresses,
                                                             bool several)>;

CallMaker callMakerOf(json_object* request, const Settings& settings, const AddressList& list,
                      std::vector<OwnedFd>& files, const std::string& spool) {
    const std::string command = requiredText(request, "command");
    if (command == "node") {
        const NodeCommand& nodeCommand = commandNamed(requiredText(request, "name"));
        return [settings, &nodeCommand, arguments = argumentsOf(request, nodeCommand)](
                   const std::vector<uint8_t>& addresses, bool several) {
            return nodeCommandCall(settings, addresses, several, nodeCommand, arguments);
        };
    }
    const Direction direction = command == "put" ? Direction::Put : Direction::Get;
    return [settings, transfer = transferOf(request, direction, list.several, files, spool)](
               const std::vector<uint8_t>& addresses, bool several) {
        return transferCall(settings, addresses, several, transfer,
                            [](size_t, uint64_t, uint64_t) {});
    };
}

std::string contentOf(int fd) {
    std::string text;
    char buffer[4096];
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
        if (got <= 0) {
            return text;
        }
        text.append(buffer, static_cast<size_t>(got));
        offset += got;
    }
}

// The tool's console writes into two memory files, read back once it is gone.
Reply replyOf(const Settings& settings, const std::function<int(Console&)>& print) {
    Reply reply;
    const int out = ::memfd_create("reply-out", MFD_CLOEXEC);
    const int err = ::memfd_create("reply-err", MFD_CLOEXEC);
    {
        Console console(settings, out, err);
        reply.status = print(console);
        reply.result.reset(json_object_get(console.document()));
    }
    reply.out = contentOf(out);
    reply.err = contentOf(err);
    ::close(out);
    ::close(err);
    return reply;
}

class QueuedRequest : public PendingRequest {
  public:
    QueuedRequest(const Settings& settings, std::unique_ptr<CallOnNodes> call,
                  BusSchedule& schedule)
        : _settings(settings), _call(std::move(call)), _schedule(schedule) {}
    ~QueuedRequest() override { _call->releaseResults(_schedule); }
    QueuedRequest(const QueuedRequest&) = delete;
    QueuedRequest& operator=(const QueuedRequest&) = delete;

    bool done() override { return _call->ended(_schedule); }

    Reply finish() override {
        return replyOf(_settings,
                       [this](Console& console) { return _call->report(console, _schedule); });
    }

    void cancel() override { _call->cancel(); }

    JsonDocument progress() const override { return _call->progress(); }

  private:
    const Settings _settings;
    std::unique_ptr<CallOnNodes> _call;
    BusSchedule& _schedule;
};

// "all": first the tool's sweep, on the agent's schedule and nodes, then the call on the nodes
// that answered.
class SweepingRequest : public PendingRequest {
  public:
    SweepingRequest(const Settings& settings, std::string command, CallMaker makeCall,
                    BusSchedule& schedule, const NodeProvider& nodes)
        : _settings(settings),
          _command(std::move(command)),
          _makeCall(std::move(makeCall)),
          _schedule(schedule),
          _nodes(nodes),
          _sweep(schedule, nodes, settings.replyPollUs) {}
    ~SweepingRequest() override {
        if (_call) {
            _call->releaseResults(_schedule);
        }
    }
    SweepingRequest(const SweepingRequest&) = delete;
    SweepingRequest& operator=(const SweepingRequest&) = delete;

    bool done() override {
        if (!_swept && _sweep.ended(_schedule)) {
            startCall();
        }
        return _swept && (!_call || _call->ended(_schedule));
    }

    Reply finish() override {
        return replyOf(_settings, [this](Console& console) {
            console.libraryLines(_sweepLines);
            if (!_call) {
                return failCall(console, _settings, _command.c_str(), kBusUnusable,
                                _sweep.fault().empty() ? "no node on " + _settings.bus +
                                                             " answers the identity command"
                                                       : _sweep.fault());
            }
            return _call->report(console, _schedule);
        });
    }

    void cancel() override {
        _cancelled = true;
        if (_call) {
            _call->cancel();
        }
    }

    JsonDocument progress() const override {
        return _call ? _call->progress() : JsonDocument(json_object_new_array());
    }

  private:
    void startCall() {
        _swept = true;
        const std::vector<uint8_t> answered = _sweep.answered(_schedule, _sweepLines);
        if (!answered.empty() && !_cancelled) {
            _call = _makeCall(answered, true);
            _call->queue(_schedule, _nodes);
        }
    }

    const Settings _settings;
    const std::string _command;
    CallMaker _makeCall;
    BusSchedule& _schedule;
    NodeProvider _nodes;
    IdentitySweep _sweep;
    std::string _sweepLines;
    bool _swept = false;
    bool _cancelled = false;
    std::unique_ptr<CallOnNodes> _call;
};

}  // namespace

std::variant<Reply, std::unique_ptr<PendingRequest>> startRequest(json_object* request,
                                                                  BusSchedule& schedule,
                                                                  const NodeProvider& nodes,
                                                                  const Workplace& workplace,
                                                                  std::vector<OwnedFd> files) {
    try {
        if (!json_object_is_type(request, json_type_object)) {
            throw Refusal{"the request is not a JSON object"};
        }
        refuseUnknownKeys(request);
        const Settings settings = settingsOf(request, workplace.bus);
        const std::string command = commandNameOf(request);
        const AddressList list = addressesOf(request);
        CallMaker makeCall = callMakerOf(request, settings, list, files, workplace.spool);
        if (list.all) {
            return std::make_unique<SweepingRequest>(settings, command, std::move(makeCall),
                                                     schedule, nodes);
        }
        std::unique_ptr<CallOnNodes> call = makeCall(list.addresses, list.several);
        call->queue(schedule, nodes);
        return std::make_unique<QueuedRequest>(settings, std::move(call), schedule);
    } catch (const Refusal& refusal) {
        Reply reply;
        reply.status = kUsageError;
        reply.err = refusal.text + "\n";
        return reply;
    }
}

}  // namespace cli
