// i2c-kestro-sim: runs a program against a simulated board described by a
// scenario file (see docs/simulator.md).

#include <fcntl.h>
#include <json-c/json.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "ApiOnDemand.h"
#include "BoardState.h"
#include "Launch.h"
#include "Program.h"
#include "RealLibc.h"
#include "Scenario.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kPreloadName = "libkestro-sim-preload.so";
constexpr const char* kApiModuleName = "libkestro-sim-api.so";
constexpr const char* kScenarioName = "board.json";

struct Options {
    std::string scenario;
    bool fast = false;
    std::string trace;
    std::string report;
    std::string state;
    std::string emulator;
    std::vector<std::string> command;
};

const char* const kDescription =
    "i2c-kestro-sim [OPTIONS] -- PROGRAM [ARGS...]\n\n"
    "Runs PROGRAM with a simulated board answering /dev/i2c-N, /dev/gpiochip0 and the device API\n"
    "named in the scenario; every other file, device and host is the real one.";

const char* const kExamples =
    "Examples:\n"
    "  i2c-kestro-sim --fast -- ./my-board-app\n"
    "  i2c-kestro-sim --scenario lab.json --trace - -- i2c-kestro-cli\n"
    "  i2c-kestro-sim --fast --state sim-files --report run.json -- ./my-board-app --once\n"
    "\n"
    "Exit status: PROGRAM's (128+N when signal N ended it); 64 for a bad command line or\n"
    "scenario, or a statically linked PROGRAM; 127 when PROGRAM cannot be started.";

// Where the launcher finds its companions: beside it in the build tree, or in
// the installed layout relative to its own folder.
fs::path companion(const std::string& name, const fs::path& installed) {
    const fs::path self = fs::read_symlink("/proc/self/exe").parent_path();
    if (fs::exists(self / name)) return self / name;
    return (self / installed / name).lexically_normal();
}

void addOptions(CLI::App& app, Options& options) {
    app.add_option("--scenario", options.scenario, "scenario file (default: the example board)")
        ->check(CLI::ExistingFile)
        ->type_name("FILE");
    app.add_flag("--fast", options.fast, "waits return at once; PROGRAM's wall clock moves by them");
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

// The report: PROGRAM's exit status, the board (as PROGRAM left it, or as
// the scenario set it up when PROGRAM never used it) and the device API.
void writeReport(const Options& options, const fs::path& boardFile, const sim::ApiOnDemand& server,
                 int status) {
    json_object* board = json_object_from_file(boardFile.c_str());
    if (board == nullptr) board = json_tokener_parse(sim::boardReport(sim::SimBoard::instance()).c_str());
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
    std::ofstream(options.report, std::ios::trunc)
        << json_object_to_json_string_ext(report, JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE)
        << "\n";
    json_object_put(report);
}

std::string preloadList(const fs::path& preload) {
    const std::string sanitizer = KESTRO_ASAN_RUNTIME;
    const char* existing = std::getenv("LD_PRELOAD");
    std::string list = sanitizer.empty() ? preload.string() : sanitizer + ":" + preload.string();
    return existing == nullptr || *existing == '\0' ? list : list + ":" + existing;
}

sim::ProgramRun programRun(const Options& options, const fs::path& runFolder, const sim::DeviceApi& api,
                           const sim::ApiOnDemand& server) {
    namespace launch = sim::launch;
    sim::ProgramRun run{.command = options.command, .environment = {}, .emulator = words(options.emulator)};
    run.environment = {
        {"LD_PRELOAD", preloadList(companion(kPreloadName, KESTRO_SIM_LIBDIR))},
        {launch::kScenario, options.scenario},
        {launch::kReport, (runFolder / "board.json").string()},
        {launch::kEndpoint, api.endpoint},
        {launch::kDeviceApi, server.socketName()}};
    const std::pair<const char*, std::string> optional[] = {
        {launch::kFast, options.fast ? "1" : ""}, {launch::kTrace, options.trace}, {launch::kState, options.state}};
    for (const auto& [name, value] : optional) {
        if (!value.empty()) run.environment.emplace_back(name, value);
    }
    return run;
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

int launch(Options& options) {
    const sim::Scenario scenario = prepare(options);
    stopIfRequested();
    const RunFolder runFolder;
    stopIfRequested();
    const sim::ApiOnDemand server(scenario.deviceApi,
                                  runFolder.path().filename().string() + "-" + std::to_string(getpid()),
                                  companion(kApiModuleName, KESTRO_SIM_LIBDIR).string());
    stopIfRequested();
    const int status = sim::runProgram(programRun(options, runFolder.path(), scenario.deviceApi, server));
    if (!options.report.empty())
        writeReport(options, runFolder.path() / "board.json", server, status);
    return status;
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
        if (options.command.empty()) throw CLI::RequiredError("PROGRAM");
        // Without "--", what CLI11 leaves over may be a mistyped option.
        if (!separated && options.command.front().starts_with("-")) {
            throw CLI::ExtrasError({options.command.front()});
        }
    } catch (const CLI::ParseError& e) {
        return refuseCommandLine(app, e);
    }
    try {
        return launch(options);
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
