// i2c-kestro-sim: runs a program against a simulated board described by a
// scenario file (see docs/simulator.md).

#include <fcntl.h>
#include <json-c/json.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "ApiOnDemand.h"
#include "BoardLink.h"
#include "BoardServer.h"
#include "BoardState.h"
#include "Launch.h"
#include "Program.h"
#include "RealLibc.h"
#include "Scenario.h"
#include "SimBoard.h"
#include "Timeline.h"
#include "Trace.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kPreloadName = "libkestro-sim-preload.so";
constexpr const char* kApiModuleName = "libkestro-sim-api.so";
constexpr const char* kScenarioName = "board.json";
constexpr const char* kDefaultName = "default";

struct Options {
    bool serve = false;
    std::string name;
    std::string attach;
    std::string scenario;
    bool fast = false;
    std::string trace;
    std::string report;
    std::string state;
    std::string emulator;
    std::vector<std::string> command;
};

const char* const kDescription =
    "i2c-kestro-sim [OPTIONS] -- PROGRAM [ARGS...]\n"
    "i2c-kestro-sim --serve [--name NAME] [OPTIONS]\n"
    "i2c-kestro-sim --attach NAME -- PROGRAM [ARGS...]\n\n"
    "Runs PROGRAM with a simulated board answering /dev/i2c-N, /dev/gpiochip0 and the device API\n"
    "named in the scenario; every other file, device and host is the real one. PROGRAM and every\n"
    "process it starts share the one board: its nodes, files, clock and wires. --serve keeps a\n"
    "board up until Ctrl-C or SIGTERM; --attach runs a program against it.";

const char* const kExamples =
    "Examples:\n"
    "  i2c-kestro-sim --fast -- ./my-board-app\n"
    "  i2c-kestro-sim --scenario lab.json --trace - -- i2c-kestro-cli\n"
    "  i2c-kestro-sim --fast --state sim-files --report run.json -- ./my-board-app --once\n"
    "  i2c-kestro-sim --fast -- sh -c 'i2c-kestro-cli node 0x10 set-text-f3 hi; i2c-kestro-cli node 0x10 get-text-e3'\n"
    "  i2c-kestro-sim --serve --name lab --trace -      (then, in another terminal:)\n"
    "  i2c-kestro-sim --attach lab -- i2c-kestro-cli node 0x10 get-identity\n"
    "\n"
    "Exit status: PROGRAM's (128+N when signal N ended it); 0 when --serve is stopped; 64 for a\n"
    "bad command line or scenario, or a statically linked PROGRAM; 69 when --attach finds no board\n"
    "of that name; 127 when PROGRAM cannot be started.";

// Where the launcher finds its companions: beside it in the build tree, or in
// the installed layout relative to its own folder.
fs::path companion(const std::string& name, const fs::path& installed) {
    const fs::path self = fs::read_symlink("/proc/self/exe").parent_path();
    if (fs::exists(self / name)) return self / name;
    return (self / installed / name).lexically_normal();
}

void addOptions(CLI::App& app, Options& options) {
    app.add_flag("--serve", options.serve, "keep the board up until Ctrl-C or SIGTERM, for --attach");
    app.add_option("--name", options.name, "the served board's name (default: " + std::string(kDefaultName) + ")")
        ->type_name("NAME");
    app.add_option("--attach", options.attach, "run PROGRAM against the board served under NAME")
        ->type_name("NAME");
    app.add_option("--scenario", options.scenario, "scenario file (default: the example board)")
        ->check(CLI::ExistingFile)
        ->type_name("FILE");
    app.add_flag("--fast", options.fast,
                 "simulated clock: waits take no real time, the run's wall clock\n"
                 "moves by them and by transactions on a bus with speed_hz (one clock for all the "
                 "run's processes)");
    app.add_option("--trace", options.trace, "decoded bus trace to FILE, or - for standard error")
        ->type_name("FILE|-");
    app.add_option("--report", options.report, "JSON report of the board and counters at exit")
        ->type_name("FILE");
    app.add_option("--state", options.state, "keep node files in DIR between runs")
        ->type_name("DIR");
    app.add_option("--emulator", options.emulator,
                   "run PROGRAM through this user-mode emulator, e.g. \"qemu-aarch64 -L /\"\n"
                   "(for a launcher that itself runs under it)")
        ->type_name("COMMAND");
    app.set_version_flag("--version", std::string("i2c-kestro-sim ") + KESTRO_VERSION);
    app.prefix_command();
    app.footer(kExamples);
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

std::string absolute(const std::string& path) {
    return path.empty() || path == "-" ? path : fs::absolute(path).string();
}

// The report: PROGRAM's exit status, the board as the run left it and the
// device API's requests.
void writeReport(const Options& options, const sim::ApiOnDemand& server, int status) {
    json_object* board = json_tokener_parse(sim::boardReport(sim::SimBoard::instance()).c_str());
    json_object* report = json_object_new_object();
    json_object_object_add(report, "exit_status", json_object_new_int(status));
    json_object_object_add(report, "board", board);
    json_object* requests = json_object_new_array();
    for (const sim::SeenRequest& seen : server.requests()) {
        json_object* entry = json_object_new_object();
        json_object_object_add(entry, "method",
                               json_object_new_string(sim::jsonText(seen.method).c_str()));
        json_object_object_add(entry, "path",
                               json_object_new_string(sim::jsonText(seen.path).c_str()));
        json_object_object_add(entry, "key_accepted", json_object_new_boolean(seen.keyAccepted));
        json_object_object_add(entry, "status", json_object_new_int(seen.status));
        json_object_array_add(requests, entry);
    }
    json_object_object_add(report, "device_api_requests", requests);
    // Whole or not at all, whatever ends the launcher while it writes.
    const std::string partial = options.report + ".partial";
    if (std::ofstream(partial, std::ios::trunc)
        << json_object_to_json_string_ext(report, JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE) << "\n") {
        std::rename(partial.c_str(), options.report.c_str());
    }
    json_object_put(report);
}

std::string preloadList(const fs::path& preload) {
    const std::string sanitizer = KESTRO_ASAN_RUNTIME;
    const char* existing = std::getenv("LD_PRELOAD");
    std::string list = sanitizer.empty() ? preload.string() : sanitizer + ":" + preload.string();
    return existing == nullptr || *existing == '\0' ? list : list + ":" + existing;
}

sim::ProgramRun programRun(const Options& options, const std::string& boardSocket, const std::string& endpoint,
                           const std::string& deviceApi) {
    namespace launch = sim::launch;
    return sim::ProgramRun{.command = options.command,
                           .environment = {{"LD_PRELOAD", preloadList(companion(kPreloadName, KESTRO_SIM_LIBDIR))},
                                           {launch::kBoard, boardSocket},
                                           {launch::kEndpoint, endpoint},
                                           {launch::kDeviceApi, deviceApi}},
                           .emulator = words(options.emulator)};
}

// A termination request that came during set-up, before the program runs
// (while it runs, the request is passed on to it instead).
volatile sig_atomic_t stopRequest = 0;

void noteStopRequest(int signal) {
    stopRequest = signal;
}

constexpr int kStopSignals[] = {SIGTERM, SIGHUP, SIGINT};

void noteStopRequests() {
    struct sigaction note {};
    note.sa_handler = noteStopRequest;
    for (int signal : kStopSignals) sigaction(signal, &note, nullptr);
}

// --serve: waits for a termination request without missing one that comes
// between the check and the wait.
void waitForStopRequest() {
    sigset_t stops, previous;
    sigemptyset(&stops);
    for (int signal : kStopSignals) sigaddset(&stops, signal);
    sigprocmask(SIG_BLOCK, &stops, &previous);
    while (stopRequest == 0) sigsuspend(&previous);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// Thrown at the next step of the set-up after a termination request, so that
// what the set-up made is removed on the way out.
struct Stopped {
    int signal;
};

void stopIfRequested() {
    if (stopRequest != 0) throw Stopped{stopRequest};
}

// Ends the launcher by the signal that asked it to stop, as it would have
// ended without its handler.
[[noreturn]] void endBy(int signal) {
    ::signal(signal, SIG_DFL);
    raise(signal);
    _exit(128 + signal);
}

// The run's temporary folder, removed however the launcher leaves.
class RunFolder {
  public:
    RunFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/i2c-kestro-sim-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot make a temporary folder");
        path_ = pattern;
    }
    ~RunFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// Opening for writing creates the file (empty) when it is absent.
void requireWritable(const std::string& path, const char* what) {
    if (!path.empty() && path != "-" && !std::ofstream(path, std::ios::trunc)) {
        throw sim::ScenarioError(path + ": cannot write the " + what);
    }
}

// Checks and prepares what PROGRAM's run needs; throws ScenarioError.
sim::Scenario prepare(Options& options) {
    if (options.scenario.empty()) options.scenario = companion(kScenarioName, KESTRO_SIM_DATADIR).string();
    options.scenario = absolute(options.scenario);
    options.trace = absolute(options.trace);
    options.state = absolute(options.state);
    options.report = absolute(options.report);
    sim::SimBoard& board = sim::SimBoard::instance();
    sim::Scenario scenario = sim::loadScenario(options.scenario, board, sim::real::wallClockUs());
    std::error_code error;
    if (!options.state.empty() && !fs::is_directory(options.state) &&
        !fs::create_directories(options.state, error)) {
        throw sim::ScenarioError(options.state + ": cannot make the state folder (" + error.message() + ")");
    }
    if (!options.state.empty()) sim::loadNodeFiles(options.state, board);
    requireWritable(options.trace, "trace");
    requireWritable(options.report, "report");
    return scenario;
}

// The board's trace, node files and clock for the run; trace lines are
// timed from `startUs`.
struct Host {
    std::FILE* trace = nullptr;
    uint64_t startUs = 0;
};

Host* host = nullptr;

void traceTo(const std::string& target) {
    if (target.empty()) return;
    host->trace = target == "-" ? stderr : std::fopen(target.c_str(), "a");
    if (host->trace == nullptr) throw sim::ScenarioError(target + ": cannot write the trace");
    sim::SimBoard::instance().setObserver([](const sim::Event& event) {
        const std::string line = sim::traceLine(event, host->startUs) + "\n";
        std::fputs(line.c_str(), host->trace);
        std::fflush(host->trace);
    });
}

// A file a node acknowledged is in the state folder at once, whatever ends
// the run later.
void saveFilesAsStored(const std::string& folder) {
    for (const auto& [path, bus] : sim::SimBoard::instance().buses()) {
        for (const auto& [address, node] : bus->nodes()) {
            node->onFileStored([folder, path, address](const std::string& name, const sim::StoredFile& file) {
                sim::saveNodeFile(folder, path, address, name, file);
            });
        }
    }
}

void hostBoard(const Options& options) {
    sim::SimBoard& board = sim::SimBoard::instance();
    host = new Host{.trace = nullptr, .startUs = sim::real::wallClockUs()};
    board.setRecording(false);
    if (options.fast) board.clock().useFake(host->startUs);
    if (!options.state.empty()) saveFilesAsStored(options.state);
    traceTo(options.trace);
}

// The device API as the scenario's timeline changes it during the run.
struct Played {
    Played(const sim::Scenario& scenario, bool fast)
        : api(scenario.deviceApi), timeline(scenario.timeline, api, fast) {
        api.catchUpWith([this] { timeline.catchUp(); });
    }
    Played(const Played&) = delete;
    Played& operator=(const Played&) = delete;

    sim::LiveDeviceApi api;
    sim::Timeline timeline;
};

void keepBoard(const Options& options, const sim::ApiOnDemand& api, int status) {
    if (!options.state.empty()) sim::saveNodeFiles(options.state, sim::SimBoard::instance());
    if (!options.report.empty()) writeReport(options, api, status);
}

int launch(Options& options) {
    const sim::Scenario scenario = prepare(options);
    hostBoard(options);
    stopIfRequested();
    Played played(scenario, options.fast);
    const RunFolder runFolder;
    stopIfRequested();
    const sim::ApiOnDemand api(
        played.api, runFolder.path().filename().string() + "-" + std::to_string(getpid()),
        companion(kApiModuleName, KESTRO_SIM_LIBDIR).string());
    int status = 0;
    {
        const sim::BoardServer board(
            (runFolder.path() / "board.sock").string(),
            {options.fast, scenario.deviceApi.endpoint, api.socketName(), &played.timeline});
        stopIfRequested();
        status = sim::runProgram(programRun(options, board.socketPath(), scenario.deviceApi.endpoint,
                                            api.socketName()));
    }
    keepBoard(options, api, status);
    return status;
}

// Where served boards' sockets are: the user's runtime folder, or a folder of
// the user's own under /tmp; either must be private to the user.
fs::path servedBoardsFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const fs::path folder = runtime != nullptr && runtime[0] == '/'
                                ? fs::path(runtime) / "i2c-kestro-sim"
                                : fs::path("/tmp") / ("i2c-kestro-sim-" + std::to_string(geteuid()));
    mkdir(folder.c_str(), 0700);
    struct stat status {};
    if (lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != geteuid() ||
        (status.st_mode & 077) != 0) {
        throw sim::ScenarioError(folder.string() +
                                 ": not a folder private to you (it must be yours, mode 0700); remove it");
    }
    return folder;
}

bool validName(const std::string& name) {
    return !name.empty() && name.size() <= 64 && name.front() != '.' &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
           });
}

fs::path servedSocket(const std::string& name) {
    if (!validName(name)) {
        throw sim::ScenarioError("bad board name \"" + name + "\" (at most 64 letters, digits, '-', '_' and '.', not starting with '.')");
    }
    return servedBoardsFolder() / (name + ".sock");
}

// A socket nobody answers on is left over from a launcher that was killed.
void claimSocket(const fs::path& socket, const std::string& name) {
    const int fd = sim::link::connectTo(socket.string());
    if (fd >= 0) {
        close(fd);
        throw sim::ScenarioError("a board named \"" + name + "\" is already served; stop it or pick another --name");
    }
    unlink(socket.c_str());
}

int serve(Options& options) {
    const std::string name = options.name.empty() ? kDefaultName : options.name;
    const fs::path socket = servedSocket(name);
    const sim::Scenario scenario = prepare(options);
    hostBoard(options);
    claimSocket(socket, name);
    Played played(scenario, options.fast);
    const sim::ApiOnDemand api(played.api,
                               "i2c-kestro-sim-" + name + "-" + std::to_string(getpid()),
                               companion(kApiModuleName, KESTRO_SIM_LIBDIR).string());
    {
        const sim::BoardServer board(socket.string(), {options.fast, scenario.deviceApi.endpoint,
                                                       api.socketName(), &played.timeline});
        std::cout << "i2c-kestro-sim: serving the board \"" << name << "\" of " << options.scenario << "\n"
                  << "Run programs against it with:\n"
                  << "  i2c-kestro-sim --attach " << name << " -- PROGRAM [ARGS...]\n"
                  << "Stop it with Ctrl-C or SIGTERM." << std::endl;
        waitForStopRequest();
    }
    keepBoard(options, api, 0);
    return 0;
}

int attach(const Options& options) {
    const fs::path socket = servedSocket(options.attach);
    sim::link::Channel channel;
    sim::link::Answer answer;
    std::vector<uint8_t> outline;
    const bool served = sim::link::connect(socket.string(), channel) &&
                        sim::link::exchange(channel, {0, sim::link::Op::Hello, 0, 0}, nullptr, answer, outline);
    sim::link::disconnect(channel);
    if (!served) {
        std::cerr << "i2c-kestro-sim: no board named \"" << options.attach
                  << "\" is served; start one with: i2c-kestro-sim --serve --name " << options.attach << std::endl;
        return sim::launch::kNoBoard;
    }
    const sim::link::Outline board = sim::link::parseOutline(std::string(outline.begin(), outline.end()));
    return sim::runProgram(programRun(options, socket.string(), board.endpoint, board.deviceApi));
}

// What each way of running takes, checked before anything starts.
void checkCombination(const CLI::App& app, const Options& options) {
    if (!options.attach.empty()) {
        for (const char* servingSide : {"--serve", "--name", "--scenario", "--fast", "--trace", "--report", "--state"}) {
            if (app.count(servingSide) != 0) {
                throw CLI::ValidationError(std::string(servingSide) + " belongs to the serving side, not to --attach");
            }
        }
    }
    if (options.serve && !options.command.empty()) throw CLI::ValidationError("--serve runs no PROGRAM; use --attach");
    if (options.serve && app.count("--emulator") != 0) {
        throw CLI::ValidationError("--emulator belongs to the programs, not to --serve: give it to --attach");
    }
    if (!options.serve && app.count("--name") != 0) throw CLI::ValidationError("--name needs --serve");
    if (!options.serve && options.command.empty()) throw CLI::RequiredError("PROGRAM");
}

int run(Options& options) {
    if (options.serve) return serve(options);
    if (!options.attach.empty()) return attach(options);
    return launch(options);
}

// A program started with standard input, output or error closed would have
// the launcher's first files take their places: /dev/null fills each gap.
void openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
}

// A bad command line in one line, like a bad scenario; --help and --version
// as CLI11 prints them.
int refuseCommandLine(const CLI::App& app, const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "i2c-kestro-sim: " << e.what() << " (see --help)" << std::endl;
    return sim::launch::kBadScenario;
}

}  // namespace

int main(int argc, char** argv) {
    openStandardDescriptors();
    noteStopRequests();
    CLI::App app(kDescription, "i2c-kestro-sim");
    Options options;
    addOptions(app, options);
    try {
        app.parse(argc, argv);
        options.command = app.remaining();
        const bool separated = !options.command.empty() && options.command.front() == "--";
        if (separated) options.command.erase(options.command.begin());
        checkCombination(app, options);
        // Without "--", what CLI11 leaves over may be a mistyped option.
        if (!separated && !options.command.empty() && options.command.front().starts_with("-")) {
            throw CLI::ExtrasError({options.command.front()});
        }
    } catch (const CLI::ParseError& e) {
        return refuseCommandLine(app, e);
    }
    try {
        return run(options);
    } catch (const Stopped& stopped) {
        endBy(stopped.signal);
    } catch (const sim::ScenarioError& e) {
        std::cerr << "i2c-kestro-sim: " << e.what() << std::endl;
        return sim::launch::kBadScenario;
    } catch (const std::exception& e) {
        std::cerr << "i2c-kestro-sim: " << e.what() << std::endl;
        return sim::launch::kCannotRun;
    }
}
