// The operator tool, a real program that knows nothing of the simulator, under
// i2c-kestro-sim as a user runs it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <chrono>

#include "Golden.h"
#include "IsolatedRun.h"
#include "TargetCommand.h"

namespace {

const std::string kExampleConfig = KESTRO_EXAMPLES "/config.json";

class Launcher : public testing::Test {
  protected:
    ChildOutcome tool(const std::vector<std::string>& options, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), KESTRO_CLI_PATH);
        return runProgram(kestro::test::simCommand(options, arguments));
    }
    std::string scratch(const char* name) const { return (scratch_.path() / name).string(); }

    // The value at a JSON pointer of the report, as text.
    std::string reported(const char* pointer) const {
        json_object* report = json_object_from_file(scratch("report.json").c_str());
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

TEST_F(Launcher, PassesTheProgramsExitStatusOnAndRefusesABadCommandLineOrScenarioWith64) {
    writeFile(scratch("bad.json"), R"({"version": 1, "buses": {"/dev/i2c-3": {"held": [300]}}})");
    const std::vector<std::string> options[] = {
        {"--fast"}, {"--fsat"}, {"--scenario", scratch("bad.json")}};
    std::string outcomes;
    for (const std::vector<std::string>& chosen : options) {
        const ChildOutcome run = tool(chosen, {"node", "0x13", "get-identity"});
        outcomes += std::to_string(run.status) + " " + run.out + run.err;
    }
    expectGolden("exit-statuses.txt", outcomes);
}

TEST_F(Launcher, TracesEachCommandLikeAProtocolAnalyserWithTheClockMovedByEachWait) {
    EXPECT_EQ(
        tool({"--fast", "--trace", scratch("trace")}, {"node", "0x10", "get-identity"}).status, 0);
    expectGolden("get-identity.trace", readFile(scratch("trace")));
}

TEST_F(Launcher, WithoutFastEveryWaitReallyElapses) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tool({}, {"node", "0x10", "get-identity"}).status, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100))
        << "the node's 100 ms wait";
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
}

}  // namespace
