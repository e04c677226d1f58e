// i2c-kestro-cli run as a process on a simulated board: its JSON documents and exit statuses
// across the subcommands, its grid and node output against golden files, its progress bar on
// a terminal, and its usage errors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "TempFiles.h"
#include "ToolRunner.h"

namespace {

using testing::HasSubstr;

struct JsonRelease {
    void operator()(json_object* document) const { json_object_put(document); }
};
using Json = std::unique_ptr<json_object, JsonRelease>;

// The value at a dotted path ("result.texts.3"), numbers indexing arrays; null when absent.
json_object* at(json_object* document, const std::string& path) {
    std::istringstream steps(path);
    json_object* value = document;
    for (std::string step; value != nullptr && std::getline(steps, step, '.');) {
        if (json_object_is_type(value, json_type_array)) {
            value = json_object_array_get_idx(value, std::stoul(step));
        } else if (!json_object_object_get_ex(value, step.c_str(), &value)) {
            value = nullptr;
        }
    }
    return value;
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Files a run may name in its arguments: {file} a local file of 1600 bytes, {copy} a path
// in a private folder, {config} a board configuration whose device API is not served,
// {example-config} the example configuration, whose device API the simulator serves.
class RunFiles {
  public:
    RunFiles() { std::ofstream(file(), std::ios::binary) << std::string(1600, 'k'); }
    std::filesystem::path file() const { return _folder.path() / "put.bin"; }
    std::filesystem::path copy() const { return _folder.path() / "copy.bin"; }
    std::vector<std::string> substitute(std::vector<std::string> words) const {
        for (std::string& word : words) {
            if (word == "{file}") word = file().string();
            if (word == "{copy}") word = copy().string();
            if (word == "{config}") word = KESTRO_CLI_BOARD_CONFIG;
            if (word == "{example-config}") word = KESTRO_EXAMPLE_CONFIG;
        }
        return words;
    }

  private:
    TempDir _folder;
};

const std::string kAbsent = "(absent)";

struct JsonCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* scenario;
    int status;
    std::vector<std::pair<std::string, std::string>> fields;  // path -> value as text, or kAbsent
    const char* input = "";
};

void PrintTo(const JsonCase& c, std::ostream* os) {
    *os << c.name;
}

class ToolJson : public testing::TestWithParam<JsonCase> {};

TEST_P(ToolJson, ExitsWithItsStatusAndPrintsOneDocumentWithTheExpectedFields) {
    const JsonCase& c = GetParam();
    const RunFiles files;
    std::vector<std::string> arguments = files.substitute(c.arguments);
    arguments.insert(arguments.begin(), "--json");
    const ToolRun run = runTool(c.scenario, arguments, c.input);

    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    json_tokener* tokener = json_tokener_new();
    const Json document(
        json_tokener_parse_ex(tokener, run.out.c_str(), static_cast<int>(run.out.size())));
    const size_t used = json_tokener_get_parse_end(tokener);
    json_tokener_free(tokener);
    ASSERT_NE(document, nullptr) << "not one JSON document:\n" << run.out << run.err;
    EXPECT_EQ(run.out.find_first_not_of(" \n", used), std::string::npos)
        << "only the document on standard output";
    for (const auto& [path, expected] : c.fields) {
        json_object* value = at(document.get(), path);
        if (expected == kAbsent) {
            EXPECT_EQ(value, nullptr) << path << " in " << run.out;
            continue;
        }
        ASSERT_NE(value, nullptr) << path << " missing in " << run.out;
        EXPECT_EQ(json_object_get_string(value), expected) << path;
    }
}

// The file big.bin of the lossy-fetch scenario.
const std::string kBigSha256 = "aaf1aa63bb264cea10d553651f749ff57d5a977cc1bf713862b7db636f8e61c4";

const std::string kNoAnswer =
    "no answer from the node (check the address with 'i2c-kestro-cli scan' and the wiring)";

INSTANTIATE_TEST_SUITE_P(
    Subcommands, ToolJson,
    testing::Values(
        JsonCase{"ScanListsAnsweringAndDriverHeldAddresses",
                 {"scan", "-y"},
                 "one-node",
                 0,
                 {{"bus", "/dev/i2c-3"},
                  {"addresses.0", "32"},
                  {"addresses.1", "72"},
                  {"busy.0", "80"},
                  {"status", "0"}}},
        JsonCase{"ScanOfAMissingBusNamesTheBusesThatExist",
                 {"scan", "-y", "--all", "-b", "9"},
                 "one-node",
                 10,
                 {{"status", "10"},
                  {"error_text", "no bus /dev/i2c-9 (buses here: /dev/i2c-1 /dev/i2c-3)"}}},
        JsonCase{
            "ScanNotConfirmedProbesNothing", {"scan"}, "one-node", 75, {{"status", "75"}}, "n\n"},
        JsonCase{"ScanConfirmedByAnEmptyAnswer",
                 {"scan", "--bus", "/dev/i2c-3"},
                 "one-node",
                 0,
                 {{"addresses.0", "32"}},
                 "\n"},
        JsonCase{"IdentityKeepsTheNodesBytes",
                 {"node", "0x20", "get-identity"},
                 "one-node",
                 0,
                 {{"bus", "/dev/i2c-3"},
                  {"address", "32"},
                  {"command", "get-identity"},
                  {"status", "0"},
                  {"result.texts.0", "\x1b[31m"},
                  {"result.texts.3", "alpha"}}},
        JsonCase{"NodeThatIsNotThereExitsTen",
                 {"node", "33", "get-identity"},
                 "one-node",
                 10,
                 {{"status", "10"}, {"error_text", kNoAnswer}}},
        JsonCase{"NodeOnAMissingBus",
                 {"-b", "7", "node", "0x20", "get-time"},
                 "one-node",
                 10,
                 {{"error_text", "no bus /dev/i2c-7 (buses here: /dev/i2c-1 /dev/i2c-3)"}}},
        JsonCase{"RefusedCommandExitsEleven",
                 {"node", "0x20", "get-values-a0"},
                 "refusing-node",
                 11,
                 {{"status", "11"}}},
        JsonCase{"ClockReplyOfTheWrongLengthExitsEight",
                 {"node", "0x20", "get-time"},
                 "short-clock",
                 8,
                 {{"status", "8"}}},
        JsonCase{"SetTimeSendsTheGivenValue",
                 {"node", "0x20", "set-time", "258"},
                 "one-node",
                 0,
                 {{"result.value", "258"}}},
        JsonCase{"SyncClockReadsTheClockBack",
                 {"node", "0x20", "sync-clock"},
                 "one-node",
                 0,
                 {{"status", "0"}, {"command", "sync-clock"}}},
        JsonCase{"ValuesComeAsFiveNumbers",
                 {"node", "0x20", "get-values-a0"},
                 "one-node",
                 0,
                 {{"result.values.4", "5"}}},
        JsonCase{"TextByteCommand",
                 {"node", "0x20", "set-text-byte-f2", "hi", "0x07"},
                 "one-node",
                 0,
                 {{"status", "0"}}},
        JsonCase{"RecordsComeAsAList",
                 {"node", "0x20", "get-records-a3", "1"},
                 "one-node",
                 0,
                 {{"result.records.0.tag", "7"}, {"result.records.0.data", "boot"}}},
        JsonCase{"FileInfoGivesSizeAndExtra",
                 {"node", "0x20", "get-file-info", "log.txt"},
                 "one-node",
                 0,
                 {{"result.size", "23"}, {"result.extra", "9"}}},
        JsonCase{"FileInfoOfAnUnknownFileIsRefused",
                 {"node", "0x20", "get-file-info", "x"},
                 "one-node",
                 11,
                 {{"status", "11"}}},
        JsonCase{"PutSendsTheWholeFile",
                 {"put", "0x20", "{file}", "k.bin"},
                 "one-node",
                 0,
                 {{"status", "0"},
                  {"bytes", "1600"},
                  {"command", "put"},
                  {"sha256", "0aff98c243eb6f5fe43123c7641f41960bfb7074d172c50427594ab3b4ef4e62"}}},
        JsonCase{"PutOfAMissingFileExitsOne",
                 {"put", "0x20", "/nonexistent/file"},
                 "one-node",
                 1,
                 {{"status", "1"}}},
        JsonCase{"GetFetchesTheWholeFile",
                 {"get", "0x20", "log.txt", "{copy}"},
                 "one-node",
                 0,
                 {{"status", "0"},
                  {"bytes", "23"},
                  {"command", "get"},
                  {"sha256", "76c1f200847b84a877e7cbf832fee637b3a1332d9d997012d2103fa2169a5fea"}}},
        JsonCase{"GetRepeatsAnUnansweredChunk",
                 {"get", "0x20", "big.bin", "{copy}"},
                 "lossy-fetch",
                 0,
                 {{"bytes", "1200"}, {"sha256", kBigSha256}}},
        JsonCase{"GetWithoutRetriesStopsAtAnUnansweredChunk",
                 {"get", "--retries", "0", "0x20", "big.bin", "{copy}"},
                 "lossy-fetch",
                 10,
                 {{"status", "10"}, {"error_text", kNoAnswer}}},
        JsonCase{"BoardWithoutItsConfigurationStopsAtTheFirstStep",
                 {"board", "--config", "/nonexistent.json"},
                 "one-node",
                 1,
                 {{"error", "1"},
                  {"steps.0.result", "failed"},
                  {"steps.1.result", "skipped"},
                  {"error_text",
                   "CONFIG_FILE: Error parsing file, dont exist, wrong permisions or bad json"}}},
        JsonCase{"BoardWithoutGpioChipStopsAtTheSecondStep",
                 {"board", "--config", "{config}"},
                 "no-gpio",
                 4,
                 {{"error", "4"},
                  {"steps.0.result", "done"},
                  {"steps.1.result", "failed"},
                  {"steps.2.result", "skipped"}}},
        JsonCase{"BoardStopsWhenTheApiCannotBeReached",
                 {"board", "--config", "{config}", "--sync-clocks", "--scan", "-y"},
                 "unreachable-api",
                 2,
                 {{"error", "2"},
                  {"steps.1.result", "done"},
                  {"steps.2.result", "failed"},
                  {"steps.3.result", "skipped"}}},
        JsonCase{"BoardListsServedDevicesAndTheNodesFound",
                 {"board", "--config", "{example-config}", "--sync-clocks", "--scan", "-y"},
                 "served-board",
                 0,
                 {{"error", "0"},
                  {"devices.0.id", "node-a"},
                  {"devices.0.address", "32"},
                  {"devices.1.id", "node-b"},
                  {"devices.1.address", "33"},
                  {"nodes.0.bus", "/dev/i2c-3"},
                  {"nodes.0.address", "32"},
                  {"nodes.0.id", "node-a"},
                  {"nodes.1", kAbsent},
                  {"clocks.0.status", "0"},
                  {"scan.addresses.0", "32"}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct GoldenCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* golden;
};

void PrintTo(const GoldenCase& c, std::ostream* os) {
    *os << c.name;
}

class ToolText : public testing::TestWithParam<GoldenCase> {};

TEST_P(ToolText, PrintsWhatTheGoldenFileHolds) {
    const ToolRun run = runTool("one-node", GetParam().arguments);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, readText(std::filesystem::path(KESTRO_CLI_GOLDEN) / GetParam().golden));
}

INSTANTIATE_TEST_SUITE_P(
    Output, ToolText,
    testing::Values(GoldenCase{"ScanGrid", {"scan", "-y"}, "scan-grid.txt"},
                    GoldenCase{"WholeRangeGrid", {"scan", "-y", "--all"}, "scan-grid-all.txt"},
                    GoldenCase{"IdentityWithControlBytesEscaped",
                               {"node", "0x20", "get-identity"},
                               "identity.txt"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ToolOnTerminal, DrawsAProgressBarAndEndsWithOneSummaryLine) {
    const RunFiles files;
    const ToolRun run =
        runToolOnTerminal("one-node", files.substitute({"put", "0x20", "{file}", "k.bin"}));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_THAT(run.out, HasSubstr("\r  0%  0/1600 B"));
    EXPECT_THAT(run.out, HasSubstr("\r100%  1600/1600 B"));
    EXPECT_THAT(run.out, HasSubstr(" as k.bin: 1600 bytes in "));
}

TEST(ToolResume, ContinuesAFetchFromThePartialFileAnEarlierRunKept) {
    const RunFiles files;
    const std::vector<std::string> get =
        files.substitute({"get", "--retries", "0", "--resume", "0x20", "big.bin", "{copy}"});
    const std::filesystem::path part = files.copy().string() + ".part";

    const ToolRun interrupted = runTool("lossy-fetch", get);
    ASSERT_EQ(interrupted.status, 10) << interrupted.err;
    EXPECT_EQ(std::filesystem::file_size(part), 800u);
    // The scenario starts afresh, so the chunk at 800 is the first one asked for this time.
    const ToolRun resumed = runTool("lossy-fetch", get);
    EXPECT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(std::filesystem::file_size(files.copy()), 1200u);
    EXPECT_FALSE(std::filesystem::exists(part));
}

struct UsageCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* message;
};

void PrintTo(const UsageCase& c, std::ostream* os) {
    *os << c.name;
}

class ToolUsage : public testing::TestWithParam<UsageCase> {};

TEST_P(ToolUsage, ExitsSixtyFourWithOneLineAndAHintToHelp) {
    const ToolRun run = runTool("one-node", GetParam().arguments);
    EXPECT_EQ(run.status, 64);
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, HasSubstr(GetParam().message));
    EXPECT_THAT(run.err, testing::EndsWith(" (see 'i2c-kestro-cli --help')\n"));
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ToolUsage,
    testing::Values(UsageCase{"NoSubcommand", {"--json"}, "subcommand"},
                    UsageCase{"UnknownOption", {"scan", "--frobnicate"}, "--frobnicate"},
                    UsageCase{"AddressAboveSevenBits", {"node", "0x80", "get-identity"}, "0x80"},
                    UsageCase{"AddressNotANumber", {"put", "twenty", "f"}, "twenty"},
                    UsageCase{"MissingNodeCommand", {"node", "0x20"}, "subcommand"},
                    UsageCase{"MissingArgument", {"node", "0x20", "set-text-f3"}, "TEXT"},
                    UsageCase{
                        "ByteOutOfRange", {"node", "0x20", "set-text-byte-f2", "x", "256"}, "256"},
                    UsageCase{"NotABus", {"-b", "spi0", "scan"}, "spi0"},
                    UsageCase{"RetriesNotACount", {"get", "--retries", "-1", "0x20", "f"}, "-1"}),
    [](const auto& info) { return std::string(info.param.name); });

struct HelpCase {
    std::vector<std::string> arguments;
    const char* shows;
};

void PrintTo(const HelpCase& c, std::ostream* os) {
    for (const std::string& word : c.arguments) *os << word << ' ';
}

class ToolHelp : public testing::TestWithParam<HelpCase> {};

TEST_P(ToolHelp, ExitsZeroWithTheTextOnStandardOutput) {
    const ToolRun run = runTool("one-node", GetParam().arguments);
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.out, HasSubstr(GetParam().shows));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ToolHelp,
    testing::Values(HelpCase{{"--help"}, "  64     usage error"},
                    HelpCase{{"--version"}, "i2c-kestro-cli " KESTRO_VERSION " (built "},
                    HelpCase{{"scan", "--help"}, "Example:\n  i2c-kestro-cli scan -y"},
                    HelpCase{{"node", "0x20", "set-values-b0", "--help"},
                             "Example:\n  i2c-kestro-cli node 0x20 set-values-b0 1 2 3 4 5"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
