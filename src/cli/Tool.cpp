#include "Tool.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "Board.h"
#include "BuildStamp.h"
#include "Console.h"
#include "ExitStatus.h"
#include "ManyNodes.h"
#include "NodeCommands.h"
#include "Parse.h"
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
    "  69     the board module cannot be loaded (an incomplete installation)\n"
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
    "  i2c-kestro-cli -y --json node all get-identity\n";

// Each repeat waits a second more: more than 100 is no longer a transfer but a hang.
constexpr uint32_t kMaxRetries = 100;
// --poll without a value; a poll is a read of three bytes, a few hundred microseconds at
// 100 kHz, so polling every 2 ms keeps the bus mostly free for the other nodes.
constexpr const char* kDefaultPollMs = "2";
// A poll interval past a second would wait longer than any reply takes.
constexpr uint32_t kMaxPollMs = 1000;
constexpr uint32_t kMicrosecondsPerMs = 1000;

enum class Kind { Scan, Board, Node, Put, Get };

// Everything the command line chose.
struct Invocation {
    Settings settings;
    std::string busText = "3";
    Kind kind = Kind::Scan;
    bool scanAll = false;
    BoardOptions board;
    std::string address;
    uint32_t pollMs = 0;
    const NodeCommand* nodeCommand = nullptr;
    std::vector<std::vector<std::string>> nodeArguments;
    TransferRequest transfer;
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
        throw CLI::ValidationError("REMOTE",
                                   "a name with '/' cannot be fetched from several nodes: " +
                                       run.transfer.source);
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
                          std::string(kProgram) + " put 0x20 ./firmware.bin fw.bin\n  " +
                          kProgram + " put --poll 0x10-0x13 ./firmware.bin fw.bin"
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

// node, put or get on several addresses; "all" asks the bus first which nodes answer.
int runOnSeveral(Console& console, const Invocation& run, const AddressList& list) {
    std::vector<uint8_t> addresses = list.addresses;
    if (list.all) {
        if (!run.settings.yes && !console.confirm(sweepQuestion(run.settings.bus))) {
            return failCall(console, run.settings, commandName(run), kNotConfirmed,
                            kNotConfirmedSweepText);
        }
        const NodeSweep sweep = sweepForNodes(run.settings);
        if (sweep.fault || sweep.addresses.empty()) {
            return failCall(console, run.settings, commandName(run), kBusUnusable,
                            sweep.fault.value_or("no node on " + run.settings.bus +
                                                 " answers the identity command"));
        }
        addresses = sweep.addresses;
    }
    if (run.kind == Kind::Node) {
        return runNodeCommandOnEach(console, run.settings, addresses, *run.nodeCommand,
                                    chosenArguments(run));
    }
    return runTransferOnEach(console, run.settings, addresses, run.transfer);
}

int dispatch(const Invocation& run) {
    Console console(run.settings);
    const AddressList list = parseAddressList(run.address);
    if (run.kind != Kind::Scan && run.kind != Kind::Board && list.several) {
        return runOnSeveral(console, run, list);
    }
    const uint8_t address = list.addresses.empty() ? 0 : list.addresses.front();
    switch (run.kind) {
        case Kind::Scan:
            return runScan(console, run.settings, run.scanAll);
        case Kind::Board:
            return runBoard(console, run.settings, run.board);
        case Kind::Node:
            return runNodeCommand(console, run.settings, address, *run.nodeCommand,
                                  chosenArguments(run));
        case Kind::Put:
        case Kind::Get:
            return runTransfer(console, run.settings, address, run.transfer);
    }
    return kUsageError;
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
