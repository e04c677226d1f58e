#include "Tool.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "Board.h"
#include "BuildStamp.h"
#include "Console.h"
#include "ExitStatus.h"
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
    "         cannot be used, 11 refused)\n"
    "  1-8    board: the board's error code\n"
    "  64     usage error\n"
    "  69     the board module cannot be loaded (an incomplete installation)\n"
    "  75     a scan was not confirmed\n"
    "  129 130 143\n"
    "         put or get stopped by SIGHUP, SIGINT or SIGTERM: the step under way finished,\n"
    "         the transfer ended on the node, the temporary file removed (--resume keeps\n"
    "         LOCAL.part)\n"
    "\n"
    "JSON: bytes of node texts, records, ids or paths that belong to no UTF-8 character\n"
    "appear as the text \\xNN; everything else as it came.\n"
    "\n"
    "Examples:\n"
    "  i2c-kestro-cli scan -y\n"
    "  i2c-kestro-cli board --config /etc/i2c-kestro/config.json --sync-clocks\n"
    "  i2c-kestro-cli --json node 0x20 get-identity\n"
    "  i2c-kestro-cli put 0x20 firmware.bin\n";

// Each repeat waits a second more: more than 100 is no longer a transfer but a hang.
constexpr uint32_t kMaxRetries = 100;

enum class Kind { Scan, Board, Node, Put, Get };

// Everything the command line chose.
struct Invocation {
    Settings settings;
    std::string busText = "3";
    Kind kind = Kind::Scan;
    bool scanAll = false;
    BoardOptions board;
    std::string address;
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
    return CLI::Validator(
        [](std::string& text) {
            return parseAddress(text) ? "" : "not a 7-bit address (0x00-0x7f): " + text;
        },
        "ADDRESS");
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
    CLI::App* node =
        app.add_subcommand("node", "run one node command: node ADDRESS COMMAND [ARGS]");
    node->add_option("ADDRESS", run.address, "7-bit address, hex (0x20) or decimal")
        ->required()
        ->check(addressCheck());
    node->require_subcommand(1);
    const std::vector<NodeCommand>& commands = nodeCommands();
    run.nodeArguments.resize(commands.size());
    for (size_t index = 0; index < commands.size(); ++index) {
        addNodeCommand(*node, run, commands[index], run.nodeArguments[index]);
    }
    node->footer(example("node 0x20 get-identity"));
    node->final_callback([&run] { run.kind = Kind::Node; });
}

void addTransfer(CLI::App& app, Invocation& run, Kind kind) {
    const bool put = kind == Kind::Put;
    CLI::App* sub =
        app.add_subcommand(put ? "put" : "get", put ? "send a local file to a node, with progress"
                                                    : "fetch a file from a node, with progress");
    sub->add_option("ADDRESS", run.address, "7-bit address")->required()->check(addressCheck());
    sub->add_option(put ? "LOCAL" : "REMOTE", run.transfer.source, "file to copy")->required();
    sub->add_option(put ? "REMOTE" : "LOCAL", run.transfer.destination,
                    "name of the copy (default: the source's file name)");
    sub->add_option("--retries", run.transfer.retries,
                    "repeat a chunk that went unanswered up to N times (0-100)")
        ->type_name("N")
        ->check(CLI::Range(0u, kMaxRetries))
        ->capture_default_str();
    if (!put) {
        sub->add_flag("--resume", run.transfer.resume,
                      "keep a partial LOCAL.part on failure and continue from it next time");
    }
    sub->footer(example(put ? "put 0x20 ./firmware.bin fw.bin"
                            : "get --resume 0x20 log.txt ./log.txt"));
    sub->final_callback([&run, kind] {
        run.kind = kind;
        run.transfer.direction = kind == Kind::Put ? Direction::Put : Direction::Get;
    });
}

std::vector<std::string> chosenArguments(const Invocation& run) {
    const std::vector<NodeCommand>& commands = nodeCommands();
    return run.nodeArguments[static_cast<size_t>(run.nodeCommand - commands.data())];
}

int dispatch(const Invocation& run) {
    Console console(run.settings);
    const uint8_t address = parseAddress(run.address).value_or(0);
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
    return dispatch(run);
}

}  // namespace cli
