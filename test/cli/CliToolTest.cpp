// i2c-kestro-cli run as a process on simulated boards: every run's exit status, standard
// output and error, and the files it leaves, written to one golden transcript; and its
// progress bar on a terminal.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <regex>
#include <atomic>
#include <set>
#include <thread>
#include <utility>

#include "Golden.h"
#include "IsolatedRun.h"
#include "TargetCommand.h"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;

// How the tool is started besides its arguments.
enum class Start {
    Plain,
    // As a user other than root (nobody, when the test runs as root).
    AsAnotherUser,
    // With standard output closed.
    OutputClosed,
};

std::vector<std::string> joined(std::vector<std::string> words,
                                const std::vector<std::string>& more) {
    words.insert(words.end(), more.begin(), more.end());
    return words;
}

// A shell closes standard output and starts the rest of the words.
const std::vector<std::string> kOutputClosed = {"/bin/sh", "-c", "exec \"$@\" >&-", "sh"};

// The tool with `arguments` under the simulator's launcher with `simulator` options.
std::vector<std::string> launched(const std::vector<std::string>& simulator,
                                  const std::vector<std::string>& arguments, Start start) {
    std::vector<std::string> program = joined({KESTRO_CLI_PATH}, arguments);
    // A host shell cannot start an emulated tool through the launcher: it closes the
    // launcher's output then, which the tool inherits.
    const bool emulated = !std::string(KESTRO_TARGET_EMULATOR).empty();
    if (start == Start::OutputClosed && !emulated) {
        program = joined(kOutputClosed, program);
    }
    const std::vector<std::string> command = kestro::test::simCommand(simulator, program);
    if (start == Start::OutputClosed && emulated) {
        return joined(kOutputClosed, command);
    }
    if (start == Start::AsAnotherUser && ::geteuid() == 0) {
        return joined({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"}, command);
    }
    return command;
}

std::string scenarioPath(const std::string& scenario) {
    return std::string(KESTRO_CLI_SCENARIOS) + "/" + scenario + ".json";
}

std::vector<std::string> onBoard(const std::string& scenario,
                                 const std::vector<std::string>& arguments,
                                 Start start = Start::Plain) {
    return launched({"--fast", "--scenario", scenarioPath(scenario)}, arguments, start);
}

// A JSON document as strictly as a parser reads it: its texts well-formed UTF-8 too.
bool isJson(const std::string& text) {
    json_tokener* tokener = json_tokener_new();
    json_tokener_set_flags(tokener, JSON_TOKENER_STRICT | JSON_TOKENER_VALIDATE_UTF8);
    json_object* document =
        json_tokener_parse_ex(tokener, text.c_str(), static_cast<int>(text.size()));
    const bool parsed =
        document != nullptr && json_tokener_get_error(tokener) == json_tokener_success;
    json_object_put(document);
    json_tokener_free(tokener);
    return parsed;
}

struct ToolRun {
    const char* scenario;
    std::vector<std::string> arguments;
    const char* input = "";
    Start start = Start::Plain;
};

// The runs share one working folder, open to every user, which starts with put.bin (1600
// bytes), read-only.txt (0444, root's when the test runs as root) and two configurations:
// board.json, whose device API is not served, and example.json, whose is.
const ToolRun kRuns[] = {
    {"one-node", {"scan", "-y"}},
    {"one-node", {"scan", "-y", "--all"}},
    {"one-node", {"--json", "scan", "-y"}},
    {"one-node", {"--json", "scan", "-y", "--all", "-b", "9"}},
    {"one-node", {"--json", "scan"}, "n\n"},
    {"one-node", {"--json", "scan", "--bus", "/dev/i2c-3"}, "\n"},
    {"one-node", {"-b", "2", "scan", "-y"}},
    {"one-node", {"node", "0x20", "get-identity"}},
    {"one-node", {"--json", "node", "0x20", "get-identity"}},
    {"one-node", {"--json", "node", "33", "get-identity"}},
    {"one-node", {"--json", "-b", "7", "node", "0x20", "get-time"}},
    {"refusing-node", {"--json", "node", "0x20", "get-values-a0"}},
    {"short-clock", {"--json", "node", "0x20", "get-time"}},
    {"one-node", {"--json", "node", "0x20", "set-time", "258"}},
    {"one-node", {"node", "0x20", "set-time", "now"}},
    {"one-node", {"node", "0x20", "sync-clock"}},
    {"one-node", {"--json", "node", "0x20", "get-values-a0"}},
    {"one-node", {"--json", "node", "0x20", "set-text-byte-f2", "hi", "0x07"}},
    {"one-node", {"--json", "node", "0x20", "get-records-a3", "1"}},
    // C1 controls and a byte outside UTF-8, as data and in a path.
    {"one-node", {"--json", "node", "0x20", "get-records-a4", "1"}},
    {"one-node", {"node", "0x20", "get-records-a4", "1"}},
    {"one-node", {"--json", "board", "--config", "/nonexistent\xff\xc2\x9b.json"}},
    {"one-node", {"--json", "node", "0x20", "get-file-info", "log.txt"}},
    {"one-node", {"node", "0x20", "get-file-info", "log.txt"}},
    {"one-node", {"--json", "node", "0x20", "get-file-info", "x"}},
    {"one-node", {"--json", "put", "0x20", "put.bin", "k.bin"}},
    {"one-node", {"put", "0x20", "put.bin"}},
    {"one-node", {"--json", "put", "0x20", "/nonexistent/file"}},
    {"one-node", {"--json", "get", "0x20", "log.txt", "log.txt"}},
    // Destinations that could not be written in place: nothing reaches the node.
    {"one-node", {"--json", "get", "0x20", "log.txt", "no-such-dir/log.txt"}},
    {"one-node", {"get", "0x20", "log.txt", "put.bin/log.txt"}},
    {"one-node", {"get", "0x20", "log.txt", "read-only.txt"}, "", Start::AsAnotherUser},
    {"one-node", {"get", "0x20", "log.txt", "nobodys.txt"}, "", Start::AsAnotherUser},
    {"lossy-fetch", {"--json", "get", "0x20", "big.bin", "big.bin"}},
    {"lossy-fetch", {"--json", "get", "--retries", "0", "0x20", "big.bin", "lost.bin"}},
    // The scenario starts afresh, so the chunk at 800 is the first one the second run asks for.
    {"lossy-fetch", {"get", "--retries", "0", "--resume", "0x20", "big.bin", "resumed.bin"}},
    {"lossy-fetch", {"get", "--retries", "0", "--resume", "0x20", "big.bin", "resumed.bin"}},
    // Several nodes: results in the order given, the exit status of the first that failed.
    {"several-nodes", {"node", "0x10,0x11", "get-identity"}},
    {"several-nodes", {"--json", "node", "0x11-0x13", "get-text-e1"}},
    {"several-nodes", {"node", "--poll", "0x14,0x12,0x10-0x11", "get-time"}},
    {"several-nodes", {"--json", "node", "0x12,0x14", "get-time"}},
    {"several-nodes", {"put", "--poll=5", "0x10-0x11", "put.bin"}},
    {"several-nodes", {"get", "0x10,0x11,0x10", "log.txt", "fetched"}},
    {"several-nodes", {"--json", "-y", "node", "all", "get-identity"}},
    {"several-nodes", {"node", "all", "get-identity"}, "n\n"},
    {"one-node", {"--json", "-y", "-b", "1", "node", "all", "get-time"}},
    {"one-node", {"--json", "board", "--config", "/nonexistent.json"}},
    {"no-gpio", {"--json", "board", "--config", "board.json"}},
    {"unreachable-api",
     {"--json", "board", "--config", "board.json", "--sync-clocks", "--scan", "-y"}},
    {"served-board",
     {"--json", "board", "--config", "example.json", "--sync-clocks", "--scan", "-y"}},
    {"served-board", {"board", "--config", "example.json", "--sync-clocks", "--scan", "-y"}},
    {"one-node", {"--json"}},
    {"one-node", {"scan", "--frobnicate"}},
    {"one-node", {"node", "0x80", "get-identity"}},
    {"one-node", {"put", "twenty", "f"}},
    {"one-node", {"node", "0x10,,0x11", "get-time"}},
    {"one-node", {"node", "0x10-0x80,0x20", "get-time"}},
    {"one-node", {"put", "0x12-0x10", "f"}},
    {"one-node", {"node", "all,0x20", "get-time"}},
    {"one-node", {"get", "0x10,0x11", "logs/log.txt"}},
    {"one-node", {"node", "--poll=0", "0x20", "get-time"}},
    {"one-node", {"node", "0x20"}},
    {"one-node", {"node", "0x20", "set-text-f3"}},
    {"one-node", {"node", "0x20", "set-text-byte-f2", "x", "256"}},
    {"one-node", {"-b", "spi0", "scan"}},
    {"one-node", {"get", "--retries", "-1", "0x20", "f"}},
    {"one-node", {"get", "--retries", "101", "0x20", "f"}},
    {"one-node", {"--json", "-b", "00003", "scan", "-y"}},
    {"one-node", {"-b", "/dev/i2c-1048576", "scan"}},
    {"one-node", {"--help"}},
    {"one-node", {"--version"}},
    {"one-node", {"scan", "--help"}},
    {"one-node", {"node", "0x20", "set-values-b0", "--help"}},
};

// What changes from run to run: durations, clock readings in milliseconds, the build stamp.
std::string steady(const std::string& text) {
    static const std::regex varying(
        R"(\d+\.\d+ s\b|"seconds": [0-9.e-]+|after \d+ ms|\b1\d{12}\b|built [^)]*)");
    return std::regex_replace(text, varying, "#");
}

std::string filesIn(const fs::path& folder) {
    std::set<std::string> files;
    for (const fs::directory_entry& file : fs::recursive_directory_iterator(folder)) {
        if (file.is_regular_file()) {
            files.insert(" " + fs::relative(file.path(), folder).string() + " " +
                         std::to_string(file.file_size()));
        }
    }
    return std::accumulate(files.begin(), files.end(), std::string("files:")) + "\n";
}

TEST(Tool, EachRunExitsAndPrintsWhatTheTranscriptHolds) {
    const TempDir folder;
    writeFile(folder.path() / "put.bin", std::string(1600, 'k'));
    writeFile(folder.path() / "read-only.txt", "old\n");
    ASSERT_EQ(::chmod((folder.path() / "read-only.txt").c_str(), 0444), 0);
    ASSERT_EQ(::chmod(folder.path().c_str(), 0777), 0);
    fs::copy_file(KESTRO_CLI_BOARD_CONFIG, folder.path() / "board.json");
    fs::copy_file(KESTRO_EXAMPLE_CONFIG, folder.path() / "example.json");
    const fs::path home = fs::current_path();
    fs::current_path(folder.path());
    std::string transcript, files;
    for (const ToolRun& run : kRuns) {
        const ChildOutcome outcome =
            runProgram(onBoard(run.scenario, run.arguments, run.start), run.input);
        if (std::ranges::count(run.arguments, "--json") != 0 && !outcome.out.empty()) {
            EXPECT_TRUE(isJson(outcome.out)) << outcome.out;
        }
        transcript += "$";
        for (const std::string& word : run.arguments) transcript += " " + word;
        transcript += std::string(" (") + run.scenario + ")\nstatus " +
                      std::to_string(outcome.status) + "\n" + steady(outcome.out) + "stderr:\n" +
                      steady(outcome.err);
        // The folder's files, when the run changed them.
        transcript += (filesIn(".") == files ? "" : (files = filesIn("."))) + "\n";
    }
    fs::current_path(home);
    expectGolden("transcript.txt", transcript, {{"cli " KESTRO_VERSION " (", "cli <version> ("}});
}

// A transfer of five chunks, in real time, that a signal reaches during its first chunk's wait:
// the tool finishes that step, ends the transfer on the node, removes its temporary file (keeps
// the partial file with --resume) and exits as the signal asks. Started with standard output
// closed, the tool holds descriptor 1 on /dev/null, so that no file it opens (a bus, the
// temporary file) takes that number and the library's console lines with it.
struct SignalRun {
    const char* name;
    int signal;
    std::vector<std::string> arguments;
    int status;
    const char* endStep;
    const char* files;  // a regular expression: whichever chunk the signal came in
    Start start = Start::Plain;
};

// Beside the folder, so that it is not one of the files the run leaves.
std::string traceOf(const fs::path& folder) {
    return folder.string() + ".trace";
}

// Starts `words` in `folder`, in a process group of its own, with standard error (where the
// trace goes) into `trace` and the other streams on /dev/null. The trace shares the tool's
// standard error: a trace file of its own would take the number of a closed descriptor.
pid_t startIn(const fs::path& folder, const std::vector<std::string>& words,
              const std::string& trace) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        const int sink = ::open("/dev/null", O_RDWR);
        ::dup2(sink, STDIN_FILENO);
        ::dup2(sink, STDOUT_FILENO);
        ::dup2(::open(trace.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        if (::chdir(folder.c_str()) == 0) ::execvp(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

// What descriptor 1 of the program the launcher `child` started names.
std::string descriptor1Of(pid_t child) {
    const std::string launcher = std::to_string(child);
    std::ifstream children("/proc/" + launcher + "/task/" + launcher + "/children");
    pid_t tool = 0;
    children >> tool;
    std::error_code error;
    return fs::read_symlink("/proc/" + std::to_string(tool) + "/fd/1", error).string();
}

// Once the trace shows a chunk exchange, sends `signal` to the program's process group, as a
// terminal sends Ctrl-C; returns what the tool's descriptor 1 named just before.
std::string signalDuringAChunk(pid_t child, const fs::path& trace, int signal) {
    while (readFile(trace).find(" chunk ") == std::string::npos &&
           ::waitpid(child, nullptr, WNOHANG) == 0) {
        ::usleep(10000);
    }
    const std::string descriptor1 = descriptor1Of(child);
    ::kill(-child, signal);
    return descriptor1;
}

int exitStatus(pid_t child) {
    int raw = 0;
    ::waitpid(child, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

TEST(Tool, ASignalDuringATransferEndsItOnTheNodeAndRemovesItsTemporaryFile) {
    // clang-format off
    const SignalRun runs[] = {
        {"GetInterrupted", SIGINT, {"get", "0x20", "long.txt"}, 130, "getFile (0x95) end",
         "files:"},
        {"ResumableGetTerminated", SIGTERM, {"get", "--resume", "0x20", "long.txt"}, 143,
         "getFile (0x95) end", "files: long\\.txt\\.part (800|1600|2400|3200)"},
        {"PutHungUp", SIGHUP, {"put", "0x20", "put.bin"}, 129, "sendFile (0x94) end",
         "files: put\\.bin 4000"},
        {"GetWithOutputClosedInterrupted", SIGINT, {"get", "0x20", "long.txt"}, 130,
         "getFile (0x95) end", "files:", Start::OutputClosed},
    };
    // clang-format on
    std::vector<std::unique_ptr<TempDir>> folders;
    std::vector<pid_t> children;
    for (const SignalRun& run : runs) {
        folders.push_back(std::make_unique<TempDir>());
        const fs::path& folder = folders.back()->path();
        if (run.arguments.front() == "put") writeFile(folder / "put.bin", std::string(4000, 'p'));
        children.push_back(
            startIn(folder,
                    launched({"--scenario", scenarioPath("one-node"), "--trace", "-"},
                             run.arguments, run.start),
                    traceOf(folder)));
    }
    for (size_t index = 0; index < children.size(); ++index) {
        const SignalRun& run = runs[index];
        const std::string descriptor1 =
            signalDuringAChunk(children[index], traceOf(folders[index]->path()), run.signal);
        if (run.start == Start::OutputClosed) {
            EXPECT_EQ(descriptor1, "/dev/null") << run.name;
        }
    }
    for (size_t index = 0; index < children.size(); ++index) {
        const SignalRun& run = runs[index];
        SCOPED_TRACE(run.name);
        const fs::path& folder = folders[index]->path();
        const std::string trace = traceOf(folder);
        EXPECT_EQ(exitStatus(children[index]), run.status);
        EXPECT_THAT(readFile(trace), HasSubstr(run.endStep));
        EXPECT_THAT(filesIn(folder), testing::MatchesRegex(std::string(run.files) + "\n"));
        fs::remove(trace);
    }
}

TEST(Tool, DrawsProgressOnATerminalAndEndsWithTheSummaryLines) {
    const TempDir folder;
    writeFile(folder.path() / "put.bin", std::string(1600, 'k'));
    const std::vector<std::string> put =
        onBoard("one-node", {"put", "0x20", (folder.path() / "put.bin").string(), "k.bin"});
    // script(1) runs the tool with its streams on a pseudo-terminal and copies out what it shows.
    const ChildOutcome run =
        runProgram({"script", "-qec", kestro::test::shellCommandLine(put), "/dev/null"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_THAT(run.out, HasSubstr("\r  0%  0/1600 B"));
    EXPECT_THAT(run.out, HasSubstr("\r100%  1600/1600 B"));
    EXPECT_THAT(run.out, HasSubstr(" as k.bin: 1600 bytes in "));
    // Several nodes: a line each and the total's, the block cleared once the transfers ended.
    const std::vector<std::string> putOnTwo = onBoard(
        "several-nodes", {"put", "0x10-0x11", (folder.path() / "put.bin").string(), "k.bin"});
    const ChildOutcome several =
        runProgram({"script", "-qec", kestro::test::shellCommandLine(putOnTwo), "/dev/null"});
    EXPECT_EQ(several.status, 0) << several.out;
    EXPECT_THAT(several.out, testing::ContainsRegex("\r0x1[01]    0%  0/1600 B"));
    EXPECT_THAT(several.out, HasSubstr("\rtotal "));
    EXPECT_THAT(several.out, HasSubstr("\x1b[3A\r\x1b[J0x10: sent "));
}

// A stand-in for the board agent, for the tool's own side of the socket: it takes one
// connection, keeps the request line and answers with canned lines (none: it stays silent),
// then waits for the tool to hang up.
class CannedAgent {
  public:
    explicit CannedAgent(const fs::path& path) : _listener(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(::bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(_listener, 4), 0);
    }
    ~CannedAgent() { ::close(_listener); }

    void answer(const std::vector<std::string>& lines) {
        _thread = std::thread([this, lines] {
            const int fd = ::accept(_listener, nullptr, nullptr);
            char byte = 0;
            while (::read(fd, &byte, 1) == 1 && byte != '\n') _request += byte;
            heard = true;
            for (const std::string& line : lines) {
                EXPECT_GT(::write(fd, (line + "\n").data(), line.size() + 1), 0);
            }
            while (::read(fd, &byte, 1) == 1) {
            }
            ::close(fd);
        });
    }

    // What the tool sent, once it hung up.
    std::string request() {
        _thread.join();
        return std::exchange(_request, "");
    }

  private:
  public:
    std::atomic<bool> heard = false;  // the request has come

  private:
    int _listener;
    std::thread _thread;
    std::string _request;
};

struct AgentRun {
    std::vector<std::string> arguments;
    std::vector<std::string> lines;  // the agent's answer; none: silent; "-": no agent asked
};

const char* const kStatusReply =
    R"({"id": 1, "status": 0, "stdout": "", "stderr": "", "result": {"command": "status",)"
    R"( "status": 0, "version": "1.2.3", "started_ms": 1000, "bus": "/dev/i2c-3", "online": 1,)"
    R"( "total": 2, "nodes": [{"id": "node-1", "address": 16, "online": true, "last_seen_ms":)"
    R"( null, "clock_offset_ms": -12, "jobs": {"values": {"status": 0, "at_ms": 5}}},)"
    R"( {"id": "node-2", "address": 17, "online": false, "last_seen_ms": null,)"
    R"( "clock_offset_ms": null, "jobs": {}}], "transfers": [{"address": 16, "direction":)"
    R"( "put", "remote": "fw.bin", "done": 800, "total": 8192}]}})";

// The tool through a canned agent (named by I2C_KESTRO_AGENT_SOCKET): what the agent sends is
// what it prints and ends with; put's file and a single get's destination go as descriptors,
// other local paths absolute; a silent agent, a broken reply and a
// missing agent are said plainly; without an agent, or with --direct, it opens the bus.
TEST(Tool, GoesThroughTheAgentWhenOneListensAndOpensTheBusOtherwise) {
    const TempDir folder;
    const fs::path socket = folder.path() / "agent.sock";
    CannedAgent agent(socket);
    ::setenv("I2C_KESTRO_AGENT_SOCKET", socket.c_str(), 1);
    const std::string noAgent = (folder.path() / "none.sock").string();
    const std::string reply =
        R"({"id": 1, "status": 11, "stdout": "0x20: out\n", "stderr": "why\n"})";
    const AgentRun runs[] = {
        {{"node", "0x20,0x21", "get-time"},
         {R"({"id": 1, "progress": [{"address": 32, "done": 1, "total": 2}]})", reply}},
        {{"-q", "put", "--poll", "0x20", "put.bin"}, {reply}},
        {{"put", "0x20", "gone.bin"}, {reply}},
        {{"--json", "get", "0x20", "log.txt"}, {reply}},
        {{"get", "0x20", "log.txt", "ok.txt"},
         {R"({"id": 1, "status": 0, "stdout": "fetched\n", "stderr": ""})"}},
        {{"get", "0x20,0x21", "log.txt"}, {"hello"}},
        {{"--json", "node", "0x20", "get-time"}, {}},
        {{"status"}, {kStatusReply}},
        {{"--json", "status"}, {kStatusReply}},
        {{"--agent-socket", noAgent, "status"}, {"-"}},
        {{"--agent-socket", noAgent, "node", "0x20", "get-identity"}, {"-"}},
        {{"--direct", "node", "0x20", "get-identity"}, {"-"}},
    };
    writeFile(folder.path() / "put.bin", "k");
    const fs::path home = fs::current_path();
    fs::current_path(folder.path());
    std::string transcript;
    for (const AgentRun& run : runs) {
        const bool asked = run.lines.empty() || run.lines.front() != "-";
        if (asked) agent.answer(run.lines);
        // The canned agent is outside the run: on the fast clock a tool waiting for it could
        // see its whole timeout pass while the agent is slow to be scheduled. Only the silent
        // agent's row runs on it, so that its timeout passes at once.
        const bool silent = asked && run.lines.empty();
        const ChildOutcome outcome = runProgram(
            silent ? onBoard("one-node", run.arguments)
                   : launched({"--scenario", scenarioPath("one-node")}, run.arguments,
                              Start::Plain));
        transcript += "$";
        for (const std::string& word : run.arguments) transcript += " " + word;
        transcript += "\nsent: " + (asked ? agent.request() : "") + "\nstatus " +
                      std::to_string(outcome.status) + "\n" + outcome.out + "stderr:\n" +
                      outcome.err + "\n";
    }
    fs::current_path(home);
    ::unsetenv("I2C_KESTRO_AGENT_SOCKET");
    // A fetch the agent finished is in place; a failed one left nothing.
    expectGolden("agent-client.txt", transcript + filesIn(folder.path()), {{folder.path().string(), "<folder>"}});
}

}  // namespace

namespace {

// Ended by a signal while the agent fetches, the tool removes the hidden file it handed over,
// as a direct fetch removes its own, and ends as the signal asks.
TEST(Tool, ASignalWhileTheAgentFetchesRemovesTheHandedOverFile) {
    const TempDir sockets;
    const TempDir folder;
    CannedAgent agent(sockets.path() / "agent.sock");
    agent.answer({});
    std::vector<std::string> words = kestro::test::targetCommand(KESTRO_CLI_PATH);
    words.insert(words.end(), {"--agent-socket", (sockets.path() / "agent.sock").string(), "get",
                               "0x20", "log.txt"});
    const pid_t child = startIn(folder.path(), words, traceOf(folder.path()));
    while (!agent.heard && ::waitpid(child, nullptr, WNOHANG) == 0) ::usleep(10000);
    EXPECT_THAT(filesIn(folder.path()), testing::MatchesRegex("files: \\.log\\.txt\\.\\w+ 0\n"));
    ::kill(-child, SIGINT);
    EXPECT_EQ(exitStatus(child), 130);
    EXPECT_EQ(filesIn(folder.path()), "files:\n");
    agent.request();
    fs::remove(traceOf(folder.path()));
}

}  // namespace
