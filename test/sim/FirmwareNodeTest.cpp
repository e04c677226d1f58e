// The node library's reference firmware against the simulator's own node: the operator tool
// runs the same commands on a board of the simulator's nodes and on the same board whose nodes
// run the firmware, and every node sees the same bus traffic and the tool prints the same.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <vector>

#include "IsolatedRun.h"
#include "TargetCommand.h"
#include "TempFiles.h"

namespace {

namespace fs = std::filesystem;

// Four nodes on a bus with a speed; 0x11 is slow to answer its file-transfer steps (so polling
// reads find it not ready) and damages the CRC of its second text E1 reply; 0x12 does not
// answer its first get-time. `FIRMWARE` is where each node names its firmware, or nothing.
const char* const kBoard = R"({"version": 1, "buses": {"/dev/i2c-3": {"speed_hz": 400000, "nodes": [
    {"address": "0x10"FIRMWARE},
    {"address": "0x11"FIRMWARE, "ready_us": {"0x94": 3000, "0x95 chunk": 2500},
     "faults": [{"kind": "bad-crc", "opcode": "0xE1", "skip": 1}]},
    {"address": "0x12"FIRMWARE, "faults": [{"kind": "no-answer", "opcode": "0xE0"}]},
    {"address": "0x13"FIRMWARE}]}}})";

// Every node command of the tool, then files both ways, one node and many at once.
const char* const kCommands[] = {
    "node 0x10 get-identity",
    "node 0x10 get-time",
    "node 0x10 set-time 1700000000000",
    "node 0x10 sync-clock",
    "node 0x10 get-text-e1",
    "node 0x10 set-text-f3 kelvin",
    "node 0x10 get-text-e3",
    "node 0x10 set-text-f4 \"\"",
    "node 0x10 get-text-e4",
    "node 0x10 set-text-f5 five",
    "node 0x10 get-text-e5",
    "node 0x10 set-text-pair-f1 left right",
    "node 0x10 set-text-byte-f2 hi 0x07",
    "node 0x10 get-text-map",
    "node 0x10 set-values-b0 1 2 3 4294967295 5",
    "node 0x10 get-values-a0",
    "node 0x10 get-records-a1 1",
    "node 0x10 get-records-a2 2",
    "node 0x10 get-records-a3 3",
    "node 0x10 get-records-a4 4",
    "node 0x10 get-records-a5 5",
    "node 0x10 get-lines boot",
    "node 0x10 get-file-info missing.txt",
    "node 0x10 command-c0",
    "node 0x10 command-c1",
    "node 0x10 command-c2 go",
    "node 0x10 command-c3",
    "node 0x10 text-command-91 n91",
    "node 0x10 text-command-92 n92",
    "node 0x10 text-command-96 n96",
    "node 0x10 text-pair-command-97 a b",
    "node 0x10 text-pair-command-98 c d",
    "put 0x10 put.bin",
    "node 0x10 get-file-info put.bin",
    "get 0x10 put.bin fetched.bin",
    "get 0x10 missing.txt missing.txt",
    "node 0x10-0x13 get-text-e1",
    "node 0x10-0x13 get-text-e1",
    "node --poll=1 0x10-0x13 get-time",
    "put --poll=2 0x10-0x13 many.bin",
    "get 0x10-0x13 many.bin fetched",
    "node 0x10-0x13 get-file-info many.bin",
};

// What changes from run to run: clock readings in milliseconds and durations.
std::string steady(const std::string& text) {
    static const std::regex varying(R"(\b1\d{12}\b|\d+\.\d+ s\b)");
    return std::regex_replace(text, varying, "#");
}

struct ToolRuns {
    std::string output;                        // each command, its status and what it printed
    std::map<std::string, std::string> trace;  // the trace's lines by the node they name
};

// The trace's lines that name a node ("... write 0x10 ...", "... read 0x11 3"), by that node.
std::map<std::string, std::string> linesByNode(const std::string& trace) {
    static const std::regex node(R"( (?:write|read|select) (0x[0-9A-F]{2}))");
    std::map<std::string, std::string> lines;
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        if (std::regex_search(line, match, node)) lines[match[1]] += line + "\n";
    }
    return lines;
}

// The commands, one tool process each, in one run of the launcher on `board`, from the host's
// shell (which a cross build's emulator cannot start).
ToolRuns runCommands(const fs::path& folder, const std::string& board,
                     const std::vector<std::string>& commands) {
    writeFile(folder / "board.json", board);
    std::string script = "cd '" + folder.string() + "'\n";
    for (const std::string& command : commands) {
        script += std::string("echo '$ ") + command + "'; '" KESTRO_CLI_PATH "' " + command +
                  " 2>&1; echo status $?\n";
    }
    writeFile(folder / "commands.sh", script);
    const ChildOutcome outcome = runProgram(kestro::test::simCommand(
        {"--fast", "--scenario", (folder / "board.json").string(), "--trace",
         (folder / "trace.txt").string(), "--report", (folder / "report.json").string()},
        {"/bin/sh", (folder / "commands.sh").string()}));
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    return ToolRuns{steady(outcome.out), linesByNode(readFile(folder / "trace.txt"))};
}

const char* const kReference = ", \"firmware\": \"" KESTRO_REFERENCE_NODE "\"";

std::string boardWith(const std::string& firmware) {
    return std::regex_replace(kBoard, std::regex("FIRMWARE"), firmware);
}

TEST(FirmwareNode, ReferenceFirmwareSeesTheSameBusTrafficAsTheSimulatorsNodeAndTheToolPrintsTheSame) {
    if (!std::string(KESTRO_TARGET_EMULATOR).empty()) GTEST_SKIP() << "the host's shell is not the target's";
    const TempDir own, firmware;
    for (const fs::path& folder : {own.path(), firmware.path()}) {
        writeFile(folder / "put.bin", std::string(1700, 'p'));
        writeFile(folder / "many.bin", std::string(2500, 'm'));
        fs::create_directory(folder / "fetched");
    }
    const std::vector<std::string> commands(std::begin(kCommands), std::end(kCommands));
    const ToolRuns expected = runCommands(own.path(), boardWith(""), commands);
    const ToolRuns actual = runCommands(firmware.path(), boardWith(kReference), commands);
    EXPECT_EQ(actual.output, expected.output);
    ASSERT_EQ(expected.trace.size(), 4u);
    for (const auto& [node, lines] : expected.trace) {
        EXPECT_EQ(actual.trace.at(node), lines) << "node " << node;
    }
    EXPECT_NE(readFile(firmware.path() / "report.json").find(KESTRO_REFERENCE_NODE), std::string::npos);
    EXPECT_EQ(readFile(firmware.path() / "fetched.bin"), readFile(firmware.path() / "put.bin"));
}

// The reference firmware keeps eight files: a ninth is refused at its start, and the eight stay.
TEST(FirmwareNode, ReferenceFirmwareRefusesAtItsStartAFileItsFullStoreCouldNotKeep) {
    if (!std::string(KESTRO_TARGET_EMULATOR).empty()) GTEST_SKIP() << "the host's shell is not the target's";
    const TempDir folder;
    writeFile(folder.path() / "put.bin", "p");
    std::vector<std::string> commands;
    for (char name = '1'; name <= '9'; ++name) commands.push_back(std::string("put 0x10 put.bin f") + name);
    commands.push_back("node 0x10 get-file-info f8");
    const std::string output = runCommands(folder.path(), boardWith(kReference), commands).output;
    EXPECT_NE(output.find("$ put 0x10 put.bin f9\nthe node refused the command (its reply does not "
                          "begin with OK)\nstatus 11\n$ node 0x10 get-file-info f8\nsize: 1\n"),
              std::string::npos)
        << output;
}

}  // namespace
