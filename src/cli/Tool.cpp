#include "Tool.h"

#include <limits.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>

#include "AgentClient.h"
#include "Board.h"
#include "BuildStamp.h"
#include "Console.h"
#include "ExitStatus.h"
#include "Fleet.h"
#include "Json.h"
#include "LocalFile.h"
#include "ManyNodes.h"
#include "NodeCommands.h"
#include "Parse.h"
#include "PrintableText.h"
#include "Scan.h"
#include "Transfer.h"

namespace cli {

namespace {

constexpr const char* kProgram = "i2c-kestro-cli";

constexpr const char* kFooter =
    "Exit status:\n"
    "  0      success\n"
    "  1-11   a node command or transfer failed: the node status (1 local file, 5 no request\n"
    "         or local file not created, 8 reply of the wrong length, 10 no answer or the bus\n"
    "         cannot be used, 11 refused); several nodes: the first failed node's, in the\n"
    "         order given (all: 10 when no node answers)\n"
    "  1-8    board: the board's error code\n"
    "  64     usage error\n"
    "  69     the board module cannot be loaded (an incomplete installation); status: no\n"
    "         agent is running; node, put, get: the agent did not answer within 30 s, or\n"
    "         hung up or sent a broken reply (--direct uses the bus instead); fleet: the\n"
    "         broker cannot be reached or refused us, or the board did not answer within\n"
    "         --timeout (default 10 s)\n"
    "  75     a scan or an all sweep was not confirmed\n"
    "  129 130 143\n"
    "         put or get stopped by SIGHUP, SIGINT or SIGTERM: the step under way finished,\n"
    "         the transfer ended on the node, the temporary file removed (--resume keeps\n"
    "         LOCAL.part)\n"
    "\n"
    "Several nodes: node, put and get take a list (0x10,0x11,0x14), ranges (0x10-0x17),\n"
    "both (0x10-0x12,0x20), or all: the nodes from 0x08 to 0x77 that answer the identity\n"
    "command (0xE2), found by one sweep after a question (-y skips it). An address named\n"
    "twice is used once. The nodes are served at once, through one bus schedule. Results\n"
    "come in the order given, each line labelled with its address, then the failed\n"
    "addresses on standard error; with --json one document, whose \"nodes\" holds each\n"
    "node's document and \"failed\" the failed addresses. get writes each node's file\n"
    "into the folder (default: the current one, made when missing) as ADDRESS-REMOTE.\n"
    "\n"
    "--poll[=MS] (node, put, get; default 2 ms) reads each reply's header every MS ms\n"
    "instead of waiting its whole time. Off by default: a node that does not answer 0xFF\n"
    "until its reply frame is complete could be read mid-reply.\n"
    "\n"
    "Board agent: when i2c-kestro-agent runs (its socket exists and takes the connection),\n"
    "node, put and get go through it, with the same output and exit status; put's file\n"
    "and a single get's destination are handed over open, other local paths appear\n"
    "absolute; all is swept by the agent, between its own work. --direct opens the bus\n"
    "as without an agent. status shows the agent's nodes and transfers.\n"
    "\n"
    "JSON: bytes of node texts, records, ids or paths that belong to no UTF-8 character\n"
    "appear as the text \\xNN; everything else as it came.\n"
    "\n"
    "Examples:\n"
    "  i2c-kestro-cli scan -y\n"
    "  i2c-kestro-cli board --config /etc/i2c-kestro/config.json --sync-clocks\n"
    "  i2c-kestro-cli --json node 0x20 get-identity\n"
    "  i2c-kestro-cli put 0x20 firmware.bin\n"
    "  i2c-kestro-cli node 0x10-0x13,0x20 get-time\n"
    "  i2c-kestro-cli put --poll 0x10-0x13 firmware.bin\n"
    "  i2c-kestro-cli get 0x10,0x11 log.txt ./logs\n"
    "  i2c-kestro-cli -y --json node all get-identity\n"
    "  i2c-kestro-cli status\n"
    "  i2c-kestro-cli --direct node 0x20 get-time\n"
    "  i2c-kestro-cli fleet --broker mqtts://broker.example ls\n"
    "  i2c-kestro-cli fleet --broker mqtts://broker.example pump-3 node 0x10 get-time\n";

// --poll without a value; a poll is a read of three bytes, a few hundred microseconds at
// 100 kHz, so polling every 2 ms keeps the bus mostly free for the other nodes.
constexpr const char* kDefaultPollMs = "2";

enum class Kind { Scan, Board, Node, Put, Get, Status, Fleet };

// Everything the command line chose.
struct Invocation {
    Settings settings;
    std::string busText = "3";
    bool direct = false;
    std::string agentSocket;
    Kind kind = Kind::Scan;
    bool scanAll = false;
    BoardOptions board;
    std::string address;
    uint32_t pollMs = 0;
    const NodeCommand* nodeCommand = nullptr;
    std::vector<std::vector<std::string>> nodeArguments;
    TransferRequest transfer;
    FleetOptions fleet;
};

std::string versionText() {
    return std::string(kProgram) + " " + KESTRO_VERSION + " (built " + kBuildStamp + ")";
}

std::string example(const std::string& words) {
    return "Example:\n  " + std::string(kProgram) + " " + words;
}

CLI::Validator addressCheck() {
    return CLI::Validator([](std::string& text) { return parseAddressList(text).fault; },
                          "ADDRESS");
}

// A flag's value: "true" when it came without one.
CLI::Validator pollCheck() {
    return CLI::Validator(
        [](std::string& text) {
            if (text == "true") {
                text = kDefaultPollMs;
            }
            const std::optional<uint64_t> ms = parseNumber(text, kMaxPollMs);
            return ms && *ms > 0 ? "" : "not a number of milliseconds from 1 to 1000: " + text;
        },
        "");
}

void addAddress(CLI::App& sub, Invocation& run) {
    sub.add_option("ADDRESS", run.address,
                   "7-bit address, hex (0x20) or decimal; or several: a list (0x10,0x14), a "
                   "range (0x10-0x17), both (0x10-0x12,0x20), or all (the nodes that answer)")
        ->required()
        ->check(addressCheck());
}

void addPoll(CLI::App& sub, Invocation& run) {
    sub.add_flag("--poll", run.pollMs,
                 "reply polling: read the reply's header every MS ms (default 2) instead of "
                 "waiting its whole time; off unless given, since a node that does not answer "
                 "0xFF until its reply is complete could be read mid-reply")
        ->type_name("[=MS]")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->transform(pollCheck());
}

CLI::Validator busCheck() {
    return CLI::Validator(
        [](std::string& text) {
            return parseBus(text) ? "" : "not a bus (give 3 or /dev/i2c-3): " + text;
        },
        "BUS");
}

CLI::Validator argumentCheck(ParamKind kind) {
    return CLI::Validator([kind](std::string& text) { return checkArgument(kind, text); }, "");
}

void addGlobalOptions(CLI::App& app, Invocation& run) {
    app.add_option("-b,--bus", run.busText, "I2C bus: 3 or /dev/i2c-3 (default: the board's, 3)")
        ->check(busCheck());
    app.add_flag("--json", run.settings.json,
                 "standard output holds exactly one JSON document (library lines: stderr); "
                 "bytes outside UTF-8 appear as the text \\xNN");
    app.add_flag("-q,--quiet", run.settings.quiet, "no library messages and no progress bar");
    app.add_flag("-v,--verbose", run.settings.verbose,
                 "show the protocol's console lines (on standard error)");
    app.add_flag("-y,--yes", run.settings.yes, "no confirmation questions");
    app.add_flag("--direct", run.direct,
                 "node, put, get: open the bus even when the board agent is running");
    app.add_option("--agent-socket", run.agentSocket,
                   "the board agent's socket (default: $I2C_KESTRO_AGENT_SOCKET, else " +
                       std::string(kDefaultAgentSocket) + ")")
        ->type_name("PATH");
}

void addStatus(CLI::App& app, Invocation& run) {
    CLI::App* status = app.add_subcommand(
        "status", "the board agent's view: its nodes, their jobs, transfers under way");
    status->footer(example("status") + "\n  " + kProgram + " --json status");
    status->final_callback([&run] { run.kind = Kind::Status; });
}

void addScan(CLI::App& app, Invocation& run) {
    CLI::App* scan = app.add_subcommand("scan", "probe every address of the bus, like i2cdetect");
    scan->add_flag("--all", run.scanAll, "probe 0x00-0x7f instead of 0x08-0x77");
    scan->footer(example("scan -y --bus 1"));
    scan->final_callback([&run] { run.kind = Kind::Scan; });
}

void addBoard(CLI::App& app, Invocation& run) {
    CLI::App* board = app.add_subcommand("board", "bring the board up from its configuration");
    board->add_option("--config", run.board.config, "configuration file")->capture_default_str();
    board->add_flag("--sync-clocks", run.board.syncClocks, "set every node's clock afterwards");
    board->add_flag("--scan", run.board.scan, "scan the bus afterwards");
    board->footer(example("board --config ./config.json --sync-clocks --scan -y"));
    board->final_callback([&run] { run.kind = Kind::Board; });
}

std::string nodeExample(const NodeCommand& command) {
    std::string words = "node 0x20 " + std::string(command.name);
    for (const ParamSpec& param : command.params) {
        words += " " + std::string(param.example);
    }
    return example(words);
}

void addNodeCommand(CLI::App& node, Invocation& run, const NodeCommand& command,
                    std::vector<std::string>& values) {
    CLI::App* sub = node.add_subcommand(command.name, command.summary);
    values.resize(command.params.size());
    for (size_t index = 0; index < command.params.size(); ++index) {
        const ParamSpec& param = command.params[index];
        if (param.optional) {
            values[index] = param.example;
        }
        CLI::Option* option =
            sub->add_option(param.name, values[index], "")->check(argumentCheck(param.kind));
        option->required(!param.optional);
    }
    sub->footer(nodeExample(command));
    sub->final_callback([&run, &command] { run.nodeCommand = &command; });
}

void addNode(CLI::App& app, Invocation& run) {
    CLI::App* node = app.add_subcommand(
        "node", "run a node command on one node or several: node ADDRESS COMMAND [ARGS]");
    addAddress(*node, run);
    addPoll(*node, run);
    node->fallthrough();
    node->require_subcommand(1);
    const std::vector<NodeCommand>& commands = nodeCommands();
    run.nodeArguments.resize(commands.size());
    for (size_t index = 0; index < commands.size(); ++index) {
        addNodeCommand(*node, run, commands[index], run.nodeArguments[index]);
    }
    node->footer(
        "Several nodes: each one's result, its lines labelled with its address, in the order\n"
        "given; then, on standard error, the addresses that failed.\n\n"
        "Examples:\n  " +
        std::string(kProgram) + " node 0x20 get-identity\n  " + kProgram +
        " node 0x10-0x13,0x20 get-time\n  " + kProgram + " -y --json node all get-identity");
    node->final_callback([&run] { run.kind = Kind::Node; });
}

// A node's file fetched from several nodes is named after it in the folder, so its name cannot
// lead into another one.
void refuseFolderInName(const Invocation& run) {
    if (run.kind == Kind::Get && parseAddressList(run.address).several &&
        run.transfer.source.find('/') != std::string::npos) {
        throw CLI::ValidationError(
            "REMOTE",
            "a name with '/' cannot be fetched from several nodes: " + run.transfer.source);
    }
}

void addTransfer(CLI::App& app, Invocation& run, Kind kind) {
    const bool put = kind == Kind::Put;
    CLI::App* sub =
        app.add_subcommand(put ? "put" : "get", put ? "send a local file to a node, with progress"
                                                    : "fetch a file from a node, with progress");
    addAddress(*sub, run);
    sub->add_option(put ? "LOCAL" : "REMOTE", run.transfer.source, "file to copy")->required();
    sub->add_option(put ? "REMOTE" : "LOCAL", run.transfer.destination,
                    put ? "name of the copy (default: the source's file name)"
                        : "name of the copy (default: the source's file name); several "
                          "nodes: the folder (default: the current one, made when missing) "
                          "that gets ADDRESS-REMOTE of each (0x10-log.txt)");
    sub->add_option("--retries", run.transfer.retries,
                    "repeat a chunk that went unanswered up to N times (0-100)")
        ->type_name("N")
        ->check(CLI::Range(0u, kMaxRetries))
        ->capture_default_str();
    if (!put) {
        sub->add_flag("--resume", run.transfer.resume,
                      "keep a partial LOCAL.part on failure and continue from it next time");
    }
    addPoll(*sub, run);
    sub->footer(put ? "Several nodes: the same file to each, at once; one progress line per node "
                      "on a terminal.\n\nExamples:\n  " +
                          std::string(kProgram) + " put 0x20 ./firmware.bin fw.bin\n  " + kProgram +
                          " put --poll 0x10-0x13 ./firmware.bin fw.bin"
                    : "Several nodes: each node's file into the folder, at once; one progress "
                      "line per node on a terminal.\n\nExamples:\n  " +
                          std::string(kProgram) + " get --resume 0x20 log.txt ./log.txt\n  " +
                          kProgram + " get 0x10,0x11 log.txt ./logs    # logs/0x10-log.txt ...");
    sub->final_callback([&run, kind] {
        run.kind = kind;
        run.transfer.direction = kind == Kind::Put ? Direction::Put : Direction::Get;
        refuseFolderInName(run);
    });
}

std::vector<std::string> chosenArguments(const Invocation& run) {
    const std::vector<NodeCommand>& commands = nodeCommands();
    return run.nodeArguments[static_cast<size_t>(run.nodeCommand - commands.data())];
}

const char* commandName(const Invocation& run) {
    return run.kind == Kind::Node ? run.nodeCommand->name : run.kind == Kind::Put ? "put" : "get";
}

// node, put or get on its addresses.
int runOnNodes(Console& console, const Invocation& run, const std::vector<uint8_t>& addresses,
               bool several) {
    if (run.kind == Kind::Node) {
        const std::unique_ptr<CallOnNodes> call = nodeCommandCall(
            run.settings, addresses, several, *run.nodeCommand, chosenArguments(run));
        return runCall(console, *call);
    }
    return runTransfer(console, run.settings, addresses, several, run.transfer);
}

// "all" asks the bus first which nodes answer.
int runOnAll(Console& console, const Invocation& run) {
    const NodeSweep sweep = sweepForNodes(console, run.settings);
    if (sweep.fault || sweep.addresses.empty()) {
        return failCall(console, run.settings, commandName(run), kBusUnusable,
                        sweep.fault.value_or("no node on " + run.settings.bus +
                                             " answers the identity command"));
    }
    return runOnNodes(console, run, sweep.addresses, true);
}

// The agent works in a folder of its own.
std::string absolutePath(const std::string& path) {
    return std::filesystem::absolute(path).string();
}

// Where get writes: the file, or the folder of several nodes' files.
std::string fetchDestination(const Invocation& run, const AddressList& list) {
    if (!run.transfer.destination.empty()) {
        return absolutePath(run.transfer.destination);
    }
    return list.several ? std::filesystem::current_path().string()
                        : absolutePath(std::filesystem::path(run.transfer.source).filename());
}

// The file a get on one node writes, named as the tool names it.
std::string fetchTarget(const Invocation& run) {
    return run.transfer.destination.empty()
               ? std::filesystem::path(run.transfer.source).filename().string()
               : run.transfer.destination;
}

// The local file handed to the agent as an open descriptor, so that the agent need not reach
// it by its path (its service may see neither the user's folders nor /tmp): put's source,
// opened for reading; a single get's destination, a new file beside it, renamed into place
// once the agent has written it.
struct HandOver {
    OwnedFd source;
    std::unique_ptr<IncomingFile> incoming;
    int fd() const { return incoming ? ::fileno(incoming->stream()) : source.get(); }
};

// None where the agent gets the path, as before: a source the tool cannot open, a get on
// several nodes or resuming, a destination refused (the agent then says why as the tool would).
HandOver handOverOf(const Invocation& run, const AddressList& list) {
    HandOver handed;
    if (run.kind == Kind::Put) {
        handed.source = OwnedFd(openRegularFile(run.transfer.source));
    } else if (run.kind == Kind::Get && !list.several && !run.transfer.resume) {
        const std::string target = fetchTarget(run);
        if (!IncomingFile::refusesDestination(target) && IncomingFile::unwritable(target) == 0) {
            handed.incoming = std::make_unique<IncomingFile>(target, false);
        }
        if (handed.incoming && !handed.incoming->isOpen()) {
            handed.incoming.reset();
        }
    }
    return handed;
}

// The hidden file a get through the agent receives into, until it is in place.
char incomingPath[PATH_MAX];

void removeIncomingAndStop(int signal) {
    ::unlink(incomingPath);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// While the agent fetches into the hidden file, a signal that ends the tool removes it first,
// as a direct fetch removes its own.
class RemoveIncomingOnSignals {
  public:
    explicit RemoveIncomingOnSignals(const IncomingFile* incoming)
        : _armed(incoming != nullptr && incoming->path().size() < sizeof incomingPath) {
        if (!_armed) {
            return;
        }
        std::memcpy(incomingPath, incoming->path().c_str(), incoming->path().size() + 1);
        struct sigaction action {};
        action.sa_handler = removeIncomingAndStop;
        for (size_t index = 0; index < kSignals.size(); ++index) {
            ::sigaction(kSignals[index], &action, &_saved[index]);
        }
    }
    ~RemoveIncomingOnSignals() {
        for (size_t index = 0; _armed && index < kSignals.size(); ++index) {
            ::sigaction(kSignals[index], &_saved[index], nullptr);
        }
    }
    RemoveIncomingOnSignals(const RemoveIncomingOnSignals&) = delete;
    RemoveIncomingOnSignals& operator=(const RemoveIncomingOnSignals&) = delete;

  private:
    static constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};
    bool _armed;
    std::array<struct sigaction, kSignals.size()> _saved{};
};

void addTransferFields(json_object* request, const Invocation& run, const AddressList& list,
                       bool handed) {
    const bool put = run.kind == Kind::Put;
    if (handed) {
        setText(request, "local", put ? run.transfer.source : fetchTarget(run));
        setValue(request, "local_fd", json_object_new_boolean(1));
    } else {
        setText(request, "local",
                put ? absolutePath(run.transfer.source) : fetchDestination(run, list));
    }
    if (!put || !run.transfer.destination.empty()) {
        setText(request, "remote", put ? run.transfer.destination : run.transfer.source);
    }
    setNumber(request, "retries", run.transfer.retries);
    setValue(request, "resume", json_object_new_boolean(run.transfer.resume));
}

JsonDocument requestOf(const Invocation& run, const AddressList& list, bool handed) {
    JsonDocument request = newObject();
    setNumber(request.get(), "id", 1);
    setText(request.get(), "command", run.kind == Kind::Node ? "node" : commandName(run));
    setText(request.get(), "nodes", run.address);
    if (run.kind == Kind::Node) {
        setText(request.get(), "name", run.nodeCommand->name);
        json_object* arguments = json_object_new_array();
        for (const std::string& argument : chosenArguments(run)) {
            json_object_array_add(arguments, newText(argument));
        }
        setValue(request.get(), "args", arguments);
    } else {
        addTransferFields(request.get(), run, list, handed);
    }
    setNumber(request.get(), "poll_ms", run.pollMs);
    setValue(request.get(), "json", json_object_new_boolean(run.settings.json));
    setValue(request.get(), "quiet", json_object_new_boolean(run.settings.quiet));
    setValue(request.get(), "verbose", json_object_new_boolean(run.settings.verbose));
    return request;
}

int64_t field(json_object* object, const char* key) {
    json_object* value = nullptr;
    json_object_object_get_ex(object, key, &value);
    return json_object_get_int64(value);
}

std::string replyText(json_object* reply, const char* key) {
    json_object* value = nullptr;
    json_object_object_get_ex(reply, key, &value);
    return json_object_is_type(value, json_type_string)
               ? std::string(json_object_get_string(value),
                             static_cast<size_t>(json_object_get_string_len(value)))
               : "";
}

// node, put or get served by the agent: what it sends back is what the tool would print.
int throughAgent(Console& console, const Invocation& run, AgentConnection& agent,
                 const AddressList& list) {
    const HandOver handed = handOverOf(run, list);
    const JsonDocument request = requestOf(run, list, handed.fd() >= 0);
    AgentProgress progress(console, list.several);
    std::optional<RemoveIncomingOnSignals> removing(std::in_place, handed.incoming.get());
    const AgentConnection::Answer answer = agent.ask(
        request.get(), [&progress](json_object* rows) { progress.update(rows); }, handed.fd());
    removing.reset();
    progress.finish();
    if (!answer.reply) {
        return failCall(console, run.settings, commandName(run), kAgentUnavailable, answer.fault);
    }
    // A fetch the agent finished is put in place; a failed one's file goes with `handed`.
    if (handed.incoming && field(answer.reply.get(), "status") == 0 &&
        !(handed.incoming->sync() && handed.incoming->commit())) {
        return failCall(
            console, run.settings, "get", NODE_LOCAL_FILE_FAILURE,
            "cannot write " + printableText(fetchTarget(run)) + ": " + std::strerror(errno));
    }
    console.passOn(replyText(answer.reply.get(), "stdout"),
                   replyText(answer.reply.get(), "stderr"));
    return static_cast<int>(field(answer.reply.get(), "status"));
}

std::string noAgentText(const std::string& path, int reason) {
    return (reason == ENOENT ? "no agent is running (no socket at " + path + ")"
                             : "no agent answers at " + path + " (" + std::strerror(reason) + ")") +
           "; start it with systemctl start i2c-kestro-agent";
}

int runStatus(Console& console, const Invocation& run) {
    const std::string path = agentSocketPath(run.agentSocket);
    AgentConnection agent(path);
    if (!agent.connected()) {
        return failCall(console, run.settings, "status", kAgentUnavailable,
                        noAgentText(path, agent.reason()));
    }
    const JsonDocument request = newObject();
    setNumber(request.get(), "id", 1);
    setText(request.get(), "command", "status");
    const AgentConnection::Answer answer = agent.ask(request.get(), [](json_object*) {});
    json_object* result = nullptr;
    if (!answer.reply || !json_object_object_get_ex(answer.reply.get(), "result", &result) ||
        !json_object_is_type(result, json_type_object)) {
        return failCall(console, run.settings, "status", kAgentUnavailable,
                        answer.reply
                            ? "the agent at " + path + " sent a status without its document"
                            : answer.fault);
    }
    console.printDocument(result);
    console.print(statusText(result));
    console.passOn("", replyText(answer.reply.get(), "stderr"));
    return static_cast<int>(field(answer.reply.get(), "status"));
}

int dispatch(const Invocation& run) {
    Console console(run.settings);
    switch (run.kind) {
        case Kind::Scan:
            return runScan(console, run.settings, run.scanAll);
        case Kind::Board:
            return runBoard(console, run.settings, run.board);
        case Kind::Status:
            return runStatus(console, run);
        case Kind::Fleet:
            return runFleet(console, run.settings, run.fleet);
        case Kind::Node:
        case Kind::Put:
        case Kind::Get:
            break;
    }
    const AddressList list = parseAddressList(run.address);
    if (list.all && !run.settings.yes && !console.confirm(sweepQuestion(run.settings.bus))) {
        return failCall(console, run.settings, commandName(run), kNotConfirmed,
                        kNotConfirmedSweepText);
    }
    if (!run.direct) {
        AgentConnection agent(agentSocketPath(run.agentSocket));
        if (agent.connected()) {
            return throughAgent(console, run, agent, list);
        }
    }
    return list.all ? runOnAll(console, run)
                    : runOnNodes(console, run, list.addresses, list.several);
}

int usageError(const CLI::ParseError& error) {
    std::string message = error.what();
    std::replace(message.begin(), message.end(), '\n', ' ');
    std::cerr << kProgram << ": " << message << " (see '" << kProgram << " --help')" << std::endl;
    return kUsageError;
}

}  // namespace

int runTool(int argc, char** argv) {
    Invocation run;
    CLI::App app(
        "Operator tool for the board's I2C nodes: scan a bus, bring the board up, ask "
        "any node anything, move files.",
        kProgram);
    app.fallthrough();
    app.require_subcommand(1);
    app.set_version_flag("--version", versionText());
    app.footer(kFooter);
    addGlobalOptions(app, run);
    addScan(app, run);
    addBoard(app, run);
    addNode(app, run);
    addTransfer(app, run, Kind::Put);
    addTransfer(app, run, Kind::Get);
    addStatus(app, run);
    addFleet(app, run.fleet, [&run] { run.kind = Kind::Fleet; });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return error.get_exit_code() == 0 ? app.exit(error) : usageError(error);
    }
    run.settings.bus = parseBus(run.busText).value_or(run.busText);
    run.settings.replyPollUs = run.pollMs * kMicrosecondsPerMs;
    return dispatch(run);
}

}  // namespace cli
