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

// A local file for the transfers, named in arguments as {file}.
class TransferFile {
  public:
    TransferFile() : _path(std::filesystem::temp_directory_path() / "cli-tool-test-put.bin") {
        std::ofstream(_path, std::ios::binary) << std::string(1600, 'k');
    }
    ~TransferFile() { std::filesystem::remove(_path); }
    std::vector<std::string> substitute(std::vector<std::string> words) const {
        for (std::string& word : words) {
            if (word == "{file}") word = _path.string();
            if (word == "{config}") word = KESTRO_CLI_BOARD_CONFIG;
        }
        return words;
    }

  private:
    std::filesystem::path _path;
};

struct JsonCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* scenario;
    int status;
    std::vector<std::pair<std::string, std::string>> fields;  // path -> value as text
    const char* input = "";
};

void PrintTo(const JsonCase& c, std::ostream* os) {
    *os << c.name;
}

class ToolJson : public testing::TestWithParam<JsonCase> {};

TEST_P(ToolJson, ExitsWithItsStatusAndPrintsOneDocumentWithTheExpectedFields) {
    const JsonCase& c = GetParam();
    TransferFile file;
    std::vector<std::string> arguments = file.substitute(c.arguments);
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
        ASSERT_NE(value, nullptr) << path << " missing in " << run.out;
        EXPECT_EQ(json_object_get_string(value), expected) << path;
    }
}

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
                 {{"result.values.4", "0"}}},
        JsonCase{"TextByteCommand",
                 {"node", "0x20", "set-text-byte-f2", "hi", "0x07"},
                 "one-node",
                 0,
                 {{"status", "0"}}},
        JsonCase{"RecordsComeAsAList",
                 {"node", "0x20", "get-records-a3", "1"},
                 "one-node",
                 0,
                 {{"result.records", "[ ]"}}},
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
                  {"steps.3.result", "skipped"}}}),
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
    TransferFile file;
    const ToolRun run =
        runToolOnTerminal("one-node", file.substitute({"put", "0x20", "{file}", "k.bin"}));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_THAT(run.out, HasSubstr("\r  0%  0/1600 B"));
    EXPECT_THAT(run.out, HasSubstr("\r100%  1600/1600 B"));
    EXPECT_THAT(run.out, HasSubstr(" as k.bin: 1600 bytes in "));
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
                    UsageCase{"NotABus", {"-b", "spi0", "scan"}, "spi0"}),
    [](const auto& info) { return std::string(info.param.name); });

struct HelpCase {
    std::vector<std::string> arguments;
    const char* shows;
};

class ToolHelp : public testing::TestWithParam<HelpCase> {};

TEST_P(ToolHelp, ExitsZeroWithTheTextOnStandardOutput) {
    const ToolRun run = runTool("one-node", GetParam().arguments);
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.out, HasSubstr(GetParam().shows));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ToolHelp,
    testing::Values(HelpCase{{"--help"}, "  64     usage error"},
                    HelpCase{{"--version"}, "i2c-kestro-cli 0.1.0 (built "},
                    HelpCase{{"scan", "--help"}, "Example:\n  i2c-kestro-cli scan -y"},
                    HelpCase{{"node", "0x20", "set-values-b0", "--help"},
                             "Example:\n  i2c-kestro-cli node 0x20 set-values-b0 1 2 3 4 5"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
