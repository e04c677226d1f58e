// The operator tool, a real program that knows nothing of the simulator, under
// i2c-kestro-sim as a user runs it.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "BoardLink.h"
#include "Golden.h"
#include "IsolatedRun.h"
#include "SharedArea.h"
#include "TargetCommand.h"

namespace {

const std::string kExampleConfig = KESTRO_EXAMPLES "/config.json";

namespace fs = std::filesystem;

// Starts the launcher running the tool, with standard output `out` (-1: /dev/null) and TMPDIR
// `tmp`, and leaves it running.
pid_t startTool(const std::vector<std::string>& options, std::vector<std::string> arguments,
                int out, const std::string& tmp) {
    arguments.insert(arguments.begin(), KESTRO_CLI_PATH);
    std::vector<std::string> words = kestro::test::simCommand(options, arguments);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out >= 0 ? out : open("/dev/null", O_WRONLY), 1);
        setenv("TMPDIR", tmp.c_str(), 1);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

int statusOf(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Launcher : public testing::Test {
  protected:
    ChildOutcome tool(const std::vector<std::string>& options, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), KESTRO_CLI_PATH);
        return runProgram(kestro::test::simCommand(options, arguments));
    }
    std::string scratch(const char* name) const { return (scratch_.path() / name).string(); }

    // The value at a JSON pointer of the report, as text; the report must be JSON whose texts
    // are all valid UTF-8.
    std::string reported(const char* pointer) const {
        json_tokener* tokener = json_tokener_new();
        json_tokener_set_flags(tokener, JSON_TOKENER_STRICT | JSON_TOKENER_VALIDATE_UTF8);
        const std::string document = readFile(scratch("report.json"));
        json_object* report =
            json_tokener_parse_ex(tokener, document.c_str(), static_cast<int>(document.size()));
        json_tokener_free(tokener);
        if (report == nullptr) return "not valid JSON";
        json_object* value = nullptr;
        const std::string text = json_pointer_get(report, pointer, &value) == 0
                                     ? json_object_get_string(value)
                                     : "absent";
        json_object_put(report);
        return text;
    }

    TempDir scratch_;
};

TEST_F(Launcher, BringsTheExampleBoardUpInFastTimeAndReportsWhatTheProgramLeft) {
    const ChildOutcome board =
        tool({"--fast", "--report", scratch("report.json")}, {"board", "--config", kExampleConfig});

    EXPECT_EQ(board.status, 0) << board.err;
    // Nothing answers at 0x13, and 0x14 answers as someone else.
    expectGolden("example-board.txt", board.out, {{kExampleConfig, "CONFIG"}});
    EXPECT_EQ(reported("/device_api_requests/0/path"), "/api/v1/device");
    EXPECT_EQ(reported("/device_api_requests/0/key_accepted"), "true");
    EXPECT_EQ(reported("/board/gpio/lines/7/value"), "0") << "low after teardown";
    EXPECT_EQ(reported("/board/counters/slept_us"), "2400000")
        << "two GPIO sets of 1 s, and identity queries to the four addresses that answer";
}

// Each run's status and output: the program's own, or the launcher's one-line refusal before
// the program starts; a node that answers every line it holds and refuses a file name it
// could not keep.
TEST_F(Launcher, PassesTheProgramsExitStatusOnAndRefusesABadCommandLineOrScenarioWith64) {
    writeFile(scratch("bad.json"), R"({"version": 1, "buses": {"/dev/i2c-3": {"held": [300]}}})");
    writeFile(scratch("sent.txt"), "x");
    const std::pair<std::vector<std::string>, std::vector<std::string>> runs[] = {
        {{"--fast"}, {"node", "0x13", "get-identity"}},
        {{"--fsat"}, {"node", "0x13", "get-identity"}},
        {{"--scenario", scratch("bad.json")}, {"node", "0x13", "get-identity"}},
        {{"--report", scratch("absent/report.json")}, {"node", "0x13", "get-identity"}},
        {{"--fast"}, {"node", "0x10", "get-lines", "status"}},
        {{"--fast"}, {"put", "0x10", scratch("sent.txt"), std::string(256, 'n')}},
    };
    std::string outcomes;
    for (const auto& [options, arguments] : runs) {
        const ChildOutcome run = tool(options, arguments);
        outcomes += std::to_string(run.status) + " " + run.out + run.err;
    }
    expectGolden("exit-statuses.txt", outcomes, {{scratch(""), "SCRATCH/"}});
}

TEST_F(Launcher, ReportsBytesOfTextsThatAreNotUtf8AsEscapes) {
    writeFile(scratch("latin1.json"),
              "{\"version\": 1, \"buses\": {\"/dev/i2c-3\": {\"nodes\": [{\"address\": 16,"
              "\"identity\": [\"a\", \"b\", \"c\", \"n\xE9\"], \"texts\": {\"e1\": \"\xC3\"},"
              "\"files\": {\"caf\xE9\": {\"text\": \"x\"}}}]}}}");
    EXPECT_EQ(
        tool({"--fast", "--scenario", scratch("latin1.json"), "--report", scratch("report.json")},
             {"node", "0x10", "get-identity"})
            .status,
        0);
    EXPECT_EQ(reported("/board/buses/~1dev~1i2c-3/0x10/identity/3"), "n\\xe9");
    EXPECT_EQ(reported("/board/buses/~1dev~1i2c-3/0x10/texts/e1"), "\\xc3");
    EXPECT_EQ(reported("/board/buses/~1dev~1i2c-3/0x10/files/caf\\xe9/size"), "1");
}

// The tool's output goes into a full pipe, so that it stays blocked on its summary after the
// node acknowledged the file; then the launcher is asked to stop.
TEST_F(Launcher, AProgramEndedBySignalLeavesTheFilesTheNodeAcknowledgedAndTheReport) {
    writeFile(scratch("sent.txt"), "acknowledged\n");
    int output[2];
    ASSERT_EQ(pipe2(output, O_NONBLOCK), 0);
    const std::string filler(4096, 'f');
    while (write(output[1], filler.data(), filler.size()) > 0) {
    }
    fcntl(output[1], F_SETFL, 0);
    const pid_t launcher =
        startTool({"--fast", "--state", scratch("state"), "--report", scratch("report.json")},
                  {"put", "0x10", scratch("sent.txt"), "kept.txt"}, output[1], scratch(""));
    close(output[1]);
    const std::string kept = scratch("state") + "/i2c-3/0x10/kept.txt";
    for (int wait = 0; wait < 3000 && !fs::exists(kept); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(launcher, SIGTERM);
    EXPECT_EQ(statusOf(launcher), 128 + SIGTERM);
    close(output[0]);
    EXPECT_EQ(readFile(kept), "acknowledged\n");
    EXPECT_EQ(reported("/exit_status"), "143");
    EXPECT_EQ(reported("/board/buses/~1dev~1i2c-3/0x10/files/kept.txt/size"), "13");
    EXPECT_EQ(reported("/board/counters/frames"), "3") << "start, chunk, end";
}

// Termination requests at moments spread over the launcher's set-up (the run's certificate
// authority takes a while) and the program's start.
TEST_F(Launcher, ATerminationRequestDuringSetUpLeavesNoTemporaryFolder) {
    fs::create_directory(scratch("tmp"));
    for (int attempt = 0; attempt < 20; ++attempt) {
        const pid_t launcher =
            startTool({"--fast"}, {"node", "0x10", "get-identity"}, -1, scratch("tmp"));
        std::this_thread::sleep_for(std::chrono::milliseconds(3 * attempt));
        kill(launcher, SIGTERM);
        statusOf(launcher);
    }
    EXPECT_TRUE(fs::is_empty(scratch("tmp")));
}

TEST_F(Launcher, GivesAProgramStartedWithoutStandardInputDevNullInstead) {
    if (!std::string(KESTRO_TARGET_EMULATOR).empty()) GTEST_SKIP() << "readlink is a host program";
    const std::string launch = kestro::test::shellCommandLine(
        kestro::test::simCommand({"--fast"}, {"readlink", "/proc/self/fd/0"}));
    const ChildOutcome run = runProgram({"sh", "-c", "exec <&- && exec " + launch});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "/dev/null\n");
}

TEST_F(Launcher, TracesEachCommandLikeAProtocolAnalyserWithTheClockMovedByEachWait) {
    EXPECT_EQ(
        tool({"--fast", "--trace", scratch("trace")}, {"node", "0x10", "get-identity"}).status, 0);
    expectGolden("get-identity.trace", readFile(scratch("trace")));
}

// 0x10 has its identity ready 50 ms after the request, before the tool reads it; 0x11 only
// after 150 ms: the tool's read 100 ms after the request gets idle bytes, as from a node that
// does not answer.
TEST_F(Launcher, TracesTimeOnTheWireAndAReadBeforeTheNodeIsReady) {
    writeFile(scratch("timed.json"),
              R"({"version": 1, "buses": {"/dev/i2c-3": {"speed_hz": 100000, "nodes": [
                  {"address": 16, "ready_us": {"default": 2000, "0xE2": 50000}},
                  {"address": 17, "ready_us": {"0xE2": 150000}}]}}})");
    std::string runs;
    for (const std::string address : {"0x10", "0x11"}) {
        const ChildOutcome run =
            tool({"--fast", "--scenario", scratch("timed.json"), "--trace", scratch("trace")},
                 {"node", address, "get-identity"});
        runs += "$ node " + address + " get-identity\n" + std::to_string(run.status) + "\n" +
                run.out + run.err + readFile(scratch("trace"));
    }
    expectGolden("get-identity-wire.trace", runs);
}

TEST_F(Launcher, WithoutFastEveryWaitReallyElapses) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tool({}, {"node", "0x10", "get-identity"}).status, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100))
        << "the node's 100 ms wait";
}

// A program's waits with a timeout take no real time with --fast and move its clocks as a sleep
// does; a descriptor that becomes ready meanwhile (written by a thread after a sleep of 1 s)
// ends the wait then. The clock moves on once no process has called the board for 2 ms of real
// time, which a thread starved of the processor on a loaded machine may miss: such a run is
// made again, five times at most.
TEST_F(Launcher, WithFastAWaitInPollOrItsKinMovesTheClockAndEndsWhenADescriptorIsReady) {
    std::string outcomes;
    for (const char* written : {"", "written"}) {
        for (const char* call : {"poll", "ppoll", "epoll_wait", "select"}) {
            const std::vector<std::string> command = {KESTRO_WAITING_PROGRAM, call, written};
            ChildOutcome run = runProgram(kestro::test::simCommand({"--fast"}, command));
            for (int again = 0; *written != '\0' && again < 5 &&
                                run.out.find(": 1 after 1000 ms") == std::string::npos;
                 ++again) {
                run = runProgram(kestro::test::simCommand({"--fast"}, command));
            }
            outcomes += std::to_string(run.status) + " " + run.out + run.err;
        }
    }
    expectGolden("waits.txt", outcomes);
}

// Debian's I2C and GPIO tools and a shell's find the example board's bus and
// chip and talk to its nodes; a statically linked program, which the preload
// library cannot reach, is refused before it starts.
TEST_F(Launcher, RunsTheUsersOwnToolsAgainstTheBoardButRefusesAStaticProgram) {
    if (!std::string(KESTRO_TARGET_EMULATOR).empty()) GTEST_SKIP() << "the host's tools are not the target's";
    // getIdentity, framed (02, length 00 01, E2, CRC EE 5D, 04), then its reply
    // read after a repeated start.
    const auto identityFrom = [](const std::string& address) {
        return std::vector<std::string>{"/usr/sbin/i2ctransfer", "-y", "3", "w7@" + address, "0x02", "0x00",
                                        "0x01", "0xE2", "0xEE", "0x5D", "0x04", "r41"};
    };
    const std::vector<std::vector<std::string>> commands = {
        {"/usr/sbin/i2cdetect", "-l"},
        {"gpiodetect"},
        identityFrom("0x10"),
        identityFrom("0x13"),
        // Transfers of more than 64 KiB: nine 8 KiB messages written, then read after a request.
        {"sh", "-c",
         "t=/usr/sbin/i2ctransfer; $t -y 3 $(printf 'w8192@0x10 0x00= %.0s' 1 2 3 4 5 6 7 8 9) && "
         "$t -y 3 w7@0x10 0x02 0x00 0x01 0xE2 0xEE 0x5D 0x04 $(printf 'r8192 %.0s' 1 2 3 4 5 6 7 8 9) | wc -w"},
        {"sh", "-c", "ls /dev | grep -E '^(i2c|gpiochip)'; ls /sys/class/i2c-dev /sys/bus/gpio/devices;"
                     "cat /sys/class/i2c-dev/i2c-3/*"},
        {KESTRO_STATIC_PROGRAM}};
    std::string outcomes;
    for (const std::vector<std::string>& command : commands) {
        const ChildOutcome run = runProgram(kestro::test::simCommand({"--fast"}, command));
        outcomes += "$ " + kestro::test::shellCommandLine(command) + "\n" + std::to_string(run.status) +
                    "\n" + run.out + run.err;
    }
    expectGolden("peer-tools.txt", outcomes, {{KESTRO_STATIC_PROGRAM, "STATIC-PROGRAM"}});
}

TEST_F(Launcher, KeepsNodeFilesFromOneRunToTheNextInTheStateFolder) {
    writeFile(scratch("sent.txt"), "kept between runs\n");
    const std::vector<std::string> options = {"--fast", "--state", scratch("state")};

    EXPECT_EQ(tool(options, {"put", "0x10", scratch("sent.txt"), "kept.txt"}).status, 0);
    EXPECT_EQ(tool(options, {"get", "0x10", "kept.txt", scratch("back.txt")}).status, 0);
    EXPECT_EQ(readFile(scratch("back.txt")), "kept between runs\n");
    EXPECT_EQ(readFile(scratch("state") + "/i2c-3/0x10/kept.txt"), "kept between runs\n");
    EXPECT_EQ(
        fs::status(scratch("state") + "/i2c-3/0x10/kept.txt").permissions() & fs::perms::others_all,
        fs::perms::none);
}

// Several programs of one run, as a shell script or a test rig runs the tool: one board.
class OneBoard : public Launcher {
  protected:
    // The lines of the trace file that match `pattern`, in order.
    std::vector<std::string> traced(const std::string& pattern) const {
        std::istringstream lines(readFile(scratch("trace")));
        std::vector<std::string> found;
        for (std::string line; std::getline(lines, line);) {
            if (std::regex_search(line, std::regex(pattern))) found.push_back(line);
        }
        return found;
    }
    std::string cli() const { return kestro::test::shellCommandLine({KESTRO_CLI_PATH}); }
};

TEST_F(OneBoard, AShellScriptOfToolCallsSeesEachCallsChanges) {
    if (!std::string(KESTRO_TARGET_EMULATOR).empty()) GTEST_SKIP() << "sh is a host program";
    const std::string script =
        cli() + " node 0x10 set-text-f3 hello && " + cli() + " node 0x10 get-text-e3";
    const ChildOutcome run = runProgram(kestro::test::simCommand({"--fast"}, {"sh", "-c", script}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "ok\ntexts:\n  hello\n");
}

// Two transfers at once to two nodes of one bus: the board serves their transactions one at
// a time, in turns as each waits, and each file arrives whole; the run's one clock never
// goes back.
TEST_F(OneBoard, TwoProgramsAtOnceOnOneBusTakeTurnsAndBothSucceed) {
    if (!std::string(KESTRO_TARGET_EMULATOR).empty()) GTEST_SKIP() << "sh is a host program";
    std::string content;
    for (int i = 0; content.size() < 500 * 800; ++i) content += std::to_string(i) + "\n";
    writeFile(scratch("sent.txt"), content);
    const std::string put = " put %s " + kestro::test::shellCommandLine({scratch("sent.txt")}) + " copy.txt";
    const std::string script = cli() + std::regex_replace(put, std::regex("%s"), "0x10") + " & first=$!; " +
                               cli() + std::regex_replace(put, std::regex("%s"), "0x11") +
                               " && wait $first";
    const ChildOutcome run = runProgram(kestro::test::simCommand(
        {"--fast", "--trace", scratch("trace"), "--report", scratch("report.json")}, {"sh", "-c", script}));

    ASSERT_EQ(run.status, 0) << run.err;
    const auto chunks = [&](const char* address) { return traced(" write " + std::string(address) + " sendFile .* chunk "); };
    const std::vector<std::string> first = chunks("0x10"), second = chunks("0x11");
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    const std::vector<std::string> all = traced(" write 0x1[01] sendFile .* chunk ");
    const auto at = [&](const std::string& line) { return std::find(all.begin(), all.end(), line) - all.begin(); };
    EXPECT_LT(at(second.front()), at(first.back())) << "the transfers took turns";
    EXPECT_LT(at(first.front()), at(second.back())) << "the transfers took turns";
    const std::vector<std::string> lines = traced(".");
    EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
        return std::stod(a) < std::stod(b);
    })) << "one clock";
    EXPECT_EQ(reported("/board/buses/~1dev~1i2c-3/0x10/files/copy.txt/size"), std::to_string(content.size()));
    EXPECT_EQ(reported("/board/buses/~1dev~1i2c-3/0x11/files/copy.txt/size"), std::to_string(content.size()));
}

// A scenario's timeline on a fast run: 0x11 falls silent at 120 s and answers again at 300 s,
// when 0x10 takes another identity; the device API fails from 500 s, lists another node from
// 600 s and answers again from 700 s. Each call comes after the script's sleeps.
TEST_F(OneBoard, ATimelineSilencesANodeAndChangesItsIdentityAndTheDeviceApiOnTheRunsClock) {
    if (!std::string(KESTRO_TARGET_EMULATOR).empty()) GTEST_SKIP() << "sh is a host program";
    writeFile(scratch("timeline.json"), R"({"version": 1, "gpio": {},
        "buses": {"/dev/i2c-3": {"nodes": [{"address": 16, "identity": ["kestro", "1.4.2", "sensor", "node-1"]},
                                           {"address": 17, "identity": ["kestro", "1.4.2", "valve", "node-2"]}]}},
        "device_api": {"devices": [{"id": "node-1", "config": {"addr": 16}}]},
        "timeline": [{"at_s": 120, "node": "0x11", "event": "silent"},
                     {"at_s": 300, "bus": "/dev/i2c-3", "node": "0x11", "event": "answers"},
                     {"at_s": 300, "node": 16, "event": "identity", "identity": ["kestro", "2.0", "sensor", "node-1b"]},
                     {"at_s": 500, "event": "device-api-fails"},
                     {"at_s": 700, "event": "device-api-answers"},
                     {"at_s": 600, "event": "device-api-devices", "devices": [{"id": "node-2", "config": {"addr": 17}}]}]})");
    const std::string identities = cli() + " node 0x10,0x11 get-identity; echo \"= $?\"; ";
    const std::string board = cli() + " board --config " +
                              kestro::test::shellCommandLine({kExampleConfig}) +
                              " 2>&1; echo \"= $?\"; ";
    const std::string script = identities + "sleep 200; " + identities + "sleep 200; " +
                               identities + "sleep 150; " + board + "sleep 100; " + board +
                               "sleep 100; " + board;
    const ChildOutcome run = runProgram(kestro::test::simCommand(
        {"--fast", "--scenario", scratch("timeline.json")}, {"sh", "-c", script}));
    expectGolden("timeline.txt", std::to_string(run.status) + "\n" + run.out + run.err,
                 {{kExampleConfig, "CONFIG"}});
}

// Microseconds since the start of the run from a trace line's time, and the line's wire time.
std::pair<uint64_t, uint64_t> wireSpan(const std::string& line) {
    std::smatch found;
    EXPECT_TRUE(
        std::regex_search(line, found, std::regex(R"(^(\d+)\.(\d{6}) .* \[wire (\d+) us\]$)")))
        << line;
    return {std::stoull(found[1]) * 1'000'000 + std::stoull(found[2]), std::stoull(found[3])};
}

// Two transfers at once on a slow bus: while one's chunk is on the wire the other's waits, so
// the clock moves by the sum of their wire times.
TEST_F(OneBoard, TwoProgramsTransactionsOnOneBusNeverOverlapOnTheWire) {
    if (!std::string(KESTRO_TARGET_EMULATOR).empty()) GTEST_SKIP() << "sh is a host program";
    writeFile(
        scratch("slow.json"),
        R"({"version": 1, "buses": {"/dev/i2c-3": {"speed_hz": 10000, "nodes": [{"address": 16}, {"address": 17}]}}})");
    writeFile(scratch("sent.txt"), std::string(8 * 800, 's'));
    const std::string put =
        " put %s " + kestro::test::shellCommandLine({scratch("sent.txt")}) + " copy.txt";
    const std::string script =
        cli() + std::regex_replace(put, std::regex("%s"), "0x10") + " & first=$!; " + cli() +
        std::regex_replace(put, std::regex("%s"), "0x11") + " && wait $first";
    const ChildOutcome run = runProgram(kestro::test::simCommand(
        {"--fast", "--scenario", scratch("slow.json"), "--trace", scratch("trace")},
        {"sh", "-c", script}));

    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> transactions = traced(R"( \[wire \d+ us\]$)");
    ASSERT_FALSE(traced(" write 0x10 sendFile .* chunk ").empty());
    ASSERT_FALSE(traced(" write 0x11 sendFile .* chunk ").empty());
    for (std::size_t i = 1; i < transactions.size(); ++i) {
        const auto [previousUs, previousWireUs] = wireSpan(transactions[i - 1]);
        EXPECT_GE(wireSpan(transactions[i]).first, previousUs + previousWireUs)
            << transactions[i - 1] << "\n"
            << transactions[i];
    }
}

// A board served under a name in a runtime folder of the test's own.
class ServedBoard : public OneBoard {
  protected:
    void SetUp() override { setenv("XDG_RUNTIME_DIR", scratch_.path().c_str(), 1); }
    void TearDown() override {
        if (server_ > 0) kill(server_, SIGKILL), statusOf(server_);
        unsetenv("XDG_RUNTIME_DIR");
    }

    // Starts serving and returns once the board says how to attach.
    void serve(std::vector<std::string> options) {
        std::vector<std::string> words = kestro::test::targetCommand(KESTRO_SIM_LAUNCHER);
        words.insert(words.end(), {"--serve", "--name", "lab"});
        words.insert(words.end(), options.begin(), options.end());
        int output[2];
        ASSERT_EQ(pipe(output), 0);
        server_ = fork();
        if (server_ == 0) {
            dup2(output[1], 1);
            std::vector<char*> argv;
            for (std::string& word : words) argv.push_back(word.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(output[1]);
        std::string said;
        char c = 0;
        while (said.find("Stop it with") == std::string::npos && read(output[0], &c, 1) == 1) said += c;
        close(output[0]);
        ASSERT_THAT(said, testing::HasSubstr("i2c-kestro-sim --attach lab -- PROGRAM"));
    }
    ChildOutcome attached(const std::string& name, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), KESTRO_CLI_PATH);
        std::vector<std::string> words = kestro::test::simCommand({"--attach", name}, arguments);
        return runProgram(words);
    }
    int stopServing() {
        kill(server_, SIGTERM);
        const int status = statusOf(server_);
        server_ = 0;
        return status;
    }
    std::string socketPath() const { return scratch("i2c-kestro-sim/lab.sock"); }

    pid_t server_ = 0;
};

TEST_F(ServedBoard, KeepsTheBoardUpForProgramsThatAttachOneAfterAnother) {
    serve({"--fast", "--report", scratch("report.json")});
    EXPECT_EQ(fs::status(socketPath()).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    EXPECT_EQ(attached("lab", {"node", "0x10", "set-text-f3", "hello"}).status, 0);
    const ChildOutcome second = attached("lab", {"node", "0x10", "get-text-e3"});
    const ChildOutcome elsewhere = attached("nowhere", {"node", "0x10", "get-text-e3"});

    EXPECT_EQ(second.out, "texts:\n  hello\n") << second.err;
    EXPECT_EQ(elsewhere.status, 69);
    EXPECT_THAT(elsewhere.err, testing::HasSubstr("i2c-kestro-sim --serve --name nowhere"));
    EXPECT_EQ(stopServing(), 0);
    EXPECT_EQ(reported("/board/buses/~1dev~1i2c-3/0x10/texts/e3"), "hello");
    EXPECT_FALSE(fs::exists(socketPath()));
}

int connectedTo(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    return connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
}

// A tool killed in the middle of a transfer, a client that sends garbage, one that stops
// halfway through a request and one that scribbles on its shared memory: the board closes what
// each left open and serves the next.
TEST_F(ServedBoard, AProgramKilledMidTransferOrAGarbageClientLeavesTheBoardToTheOthers) {
    serve({"--trace", scratch("trace")});
    writeFile(scratch("sent.txt"), std::string(3 * 800, 'k'));
    const pid_t killed = fork();
    if (killed == 0) {
        setpgid(0, 0);
        const ChildOutcome put = attached("lab", {"put", "0x10", scratch("sent.txt"), "cut.txt"});
        _exit(put.status);
    }
    setpgid(killed, killed);
    for (int wait = 0; wait < 3000 && traced("sendFile .* chunk").empty(); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    killpg(killed, SIGKILL);
    statusOf(killed);
    const int garbage = connectedTo(socketPath());
    const std::string noise(4096, '\xff');
    EXPECT_EQ(write(garbage, noise.data(), noise.size()), static_cast<ssize_t>(noise.size()));
    const int halfway = connectedTo(socketPath());
    const uint32_t header[6] = {100, 2, 0, 0, 0, 0};  // an open whose path never comes
    EXPECT_EQ(write(halfway, header, sizeof header), static_cast<ssize_t>(sizeof header));
    close(halfway);
    sim::link::Channel scribbler;
    ASSERT_TRUE(sim::link::connect(socketPath(), scribbler));
    scribbler.area->request.header = {0xFFFFFFFF, sim::link::Op::Write, 0, 0};  // larger than any slot
    scribbler.area->requestSequence = 1;
    EXPECT_EQ(write(scribbler.fd, "!", 1), 1);
    char ended = 0;
    const ssize_t got = read(scribbler.fd, &ended, 1);
    EXPECT_TRUE(got == 0 || (got < 0 && errno == ECONNRESET)) << "the board ends the connection of a peer that scribbled";
    sim::link::disconnect(scribbler);

    const ChildOutcome next = attached("lab", {"node", "0x10", "get-text-e3"});
    close(garbage);

    EXPECT_EQ(next.out, "texts:\n  celsius\n") << next.err;
    EXPECT_EQ(stopServing(), 0);
    EXPECT_EQ(traced("close /dev/i2c-3").size(), traced("open /dev/i2c-3").size());
    EXPECT_EQ(traced("open /dev/i2c-3").size(), 2U);
}

// The board killed while a tool waits for its answers: the tool says so and ends.
TEST_F(ServedBoard, AToolWhoseBoardIsKilledMidTransferSaysSoAndEnds) {
    serve({"--trace", scratch("trace")});
    writeFile(scratch("sent.txt"), std::string(400 * 800, 'k'));
    const pid_t tool = fork();
    if (tool == 0) {
        const ChildOutcome put = attached("lab", {"put", "0x10", scratch("sent.txt"), "cut.txt"});
        writeFile(scratch("said"), put.err);
        _exit(put.status);
    }
    for (int wait = 0; wait < 3000 && traced("sendFile .* chunk").empty(); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(server_, SIGKILL);
    statusOf(server_);
    server_ = 0;

    EXPECT_NE(statusOf(tool), 0);
    EXPECT_THAT(readFile(scratch("said")), testing::HasSubstr("is gone (its launcher ended)"));
}

}  // namespace
