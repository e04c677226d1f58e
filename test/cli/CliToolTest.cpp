// i2c-kestro-cli run as a process on simulated boards: every run's exit status, standard
// output and error, and the files it leaves, written to one golden transcript; and its
// progress bar on a terminal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>
#include <regex>
#include <set>

#include "Golden.h"
#include "IsolatedRun.h"
#include "TargetCommand.h"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;

std::vector<std::string> onBoard(const std::string& scenario,
                                 const std::vector<std::string>& arguments) {
    std::vector<std::string> program{KESTRO_CLI_PATH};
    program.insert(program.end(), arguments.begin(), arguments.end());
    const std::string path = std::string(KESTRO_CLI_SCENARIOS) + "/" + scenario + ".json";
    return kestro::test::simCommand({"--fast", "--scenario", path}, program);
}

struct ToolRun {
    const char* scenario;
    std::vector<std::string> arguments;
    const char* input = "";
};

// The runs share one working folder, which starts with put.bin (1600 bytes) and two
// configurations: board.json, whose device API is not served, and example.json, whose is.
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
    {"one-node", {"--json", "node", "0x20", "get-file-info", "log.txt"}},
    {"one-node", {"node", "0x20", "get-file-info", "log.txt"}},
    {"one-node", {"--json", "node", "0x20", "get-file-info", "x"}},
    {"one-node", {"--json", "put", "0x20", "put.bin", "k.bin"}},
    {"one-node", {"put", "0x20", "put.bin"}},
    {"one-node", {"--json", "put", "0x20", "/nonexistent/file"}},
    {"one-node", {"--json", "get", "0x20", "log.txt", "log.txt"}},
    {"lossy-fetch", {"--json", "get", "0x20", "big.bin", "big.bin"}},
    {"lossy-fetch", {"--json", "get", "--retries", "0", "0x20", "big.bin", "lost.bin"}},
    // The scenario starts afresh, so the chunk at 800 is the first one the second run asks for.
    {"lossy-fetch", {"get", "--retries", "0", "--resume", "0x20", "big.bin", "resumed.bin"}},
    {"lossy-fetch", {"get", "--retries", "0", "--resume", "0x20", "big.bin", "resumed.bin"}},
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
    {"one-node", {"node", "0x20"}},
    {"one-node", {"node", "0x20", "set-text-f3"}},
    {"one-node", {"node", "0x20", "set-text-byte-f2", "x", "256"}},
    {"one-node", {"-b", "spi0", "scan"}},
    {"one-node", {"get", "--retries", "-1", "0x20", "f"}},
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
    for (const fs::directory_entry& file : fs::directory_iterator(folder)) {
        files.insert(" " + file.path().filename().string() + " " +
                     std::to_string(file.file_size()));
    }
    return std::accumulate(files.begin(), files.end(), std::string("files:")) + "\n";
}

TEST(Tool, EachRunExitsAndPrintsWhatTheTranscriptHolds) {
    const TempDir folder;
    writeFile(folder.path() / "put.bin", std::string(1600, 'k'));
    fs::copy_file(KESTRO_CLI_BOARD_CONFIG, folder.path() / "board.json");
    fs::copy_file(KESTRO_EXAMPLE_CONFIG, folder.path() / "example.json");
    const fs::path home = fs::current_path();
    fs::current_path(folder.path());
    std::string transcript, files;
    for (const ToolRun& run : kRuns) {
        const ChildOutcome outcome = runProgram(onBoard(run.scenario, run.arguments), run.input);
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

TEST(Tool, DrawsAProgressBarOnATerminalAndEndsWithOneSummaryLine) {
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
}

}  // namespace
