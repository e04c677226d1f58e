// The real i2c-kestro-cli run as a process, with /var/log replaced by a
// private directory inside a mount namespace of its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "IsolatedRun.h"
#include "TargetCommand.h"

namespace {

using kestro::test::targetCommand;

// The banner around the build stamp, then init's first record and its copy report.
const std::regex kOutput(
    "-{49}\nCOMPILED AT (Mon|Tue|Wed|Thu|Fri|Sat|Sun) "
    "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-3][0-9] "
    "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n-{49}\n"
    "(\\[info\\],[0-9]+,[^,]*NorvaneLogger\\.cpp,[0-9]+,[^\n]*init[^\n]*,"
    "NorvaneLogger inited succesfully hello 10\n)"
    "8192avalilableSpaceFile\n0NorvaneLogger::bufferFileLen\n0NorvaneLogger::bufferFileLen\n");

// Whether the log file exists; the program never creates it.
class Cli : public testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        const ChildOutcome probe = runWithPrivateLogDirectory(_logDir, {"/bin/true"});
        if (probe.status != 0) {
            GTEST_SKIP() << "no private mount namespace covers /var/log here: " << probe.err;
        }
    }
    TempDir _logDir;
    const std::filesystem::path logFile = _logDir.path() / "NorvaneLogger.logs";
};

TEST_P(Cli, WhateverTheLogFileIsPrintsTheBannerAndTheFirstRecordAndEndsWithStatusOne) {
    if (GetParam()) writeFile(logFile, "an earlier run\n");
    const ChildOutcome run = runWithPrivateLogDirectory(_logDir, targetCommand(KESTRO_CLI_PATH));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "");
    std::smatch output;
    ASSERT_TRUE(std::regex_match(run.out, output, kOutput)) << run.out;
    const std::string record = output[3];
    EXPECT_EQ(std::filesystem::exists(logFile) ? readFile(logFile) : "<missing>",
              GetParam() ? "an earlier run\n" + record + "\n" : "<missing>");
}

INSTANTIATE_TEST_SUITE_P(LogFile, Cli, testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "Writable" : "Missing");
});

// A copy of the program with no board module where it looks (beside itself, or in its installed
// layout's library folder) still runs, and only `board` fails, naming the module.
TEST(CliBoardModule, WhenMissingOnlyTheBoardSubcommandFailsWithStatus69) {
    TempDir dir;
    const std::filesystem::path copy = dir.path() / "bin" / "i2c-kestro-cli";
    std::filesystem::create_directory(copy.parent_path());
    std::filesystem::copy_file(KESTRO_CLI_PATH, copy);
    std::vector<std::string> words = targetCommand(copy.string());
    words.push_back("--version");
    EXPECT_EQ(runProgram(words).status, 0);
    words.back() = "board";
    const ChildOutcome board = runProgram(words);
    EXPECT_EQ(board.status, 69);
    EXPECT_TRUE(board.err.starts_with("cannot load the board module: ") &&
                board.err.find("/lib/") != std::string::npos &&
                board.err.find("/i2c-kestro/i2c-kestro-cli-board.so") != std::string::npos)
        << board.err;
}

}  // namespace
