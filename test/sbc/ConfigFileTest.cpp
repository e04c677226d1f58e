#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "BoardTestSupport.h"

using testing::ElementsAre;
using testing::FieldsAre;

namespace {

const std::string kGoodConfig = R"({
    "endpoint": "api.example.test",
    "api_key": "key-1",
    "wifis": [{"ssid": "home", "pass": "secret"}, {"ssid": "", "pass": ""}]
})";

class ConfigFile : public testing::Test {
  protected:
    void SetUp() override {
        board = idleBoard();
        board->_endpoint = "old-endpoint";
        board->_api_key = "old-key";
        board->_wifis = {Wifi{"old-ssid", "old-pass"}};
    }

    Console parse(const std::string& content) {
        const TempFile file(content);
        return captureConsole([&] { board->parseConfigFile(file.path()); });
    }

    BoardPtr board;
};

TEST_F(ConfigFile, GoodFileStoresEndpointKeyAndNetworksInFileOrder) {
    const Console console = parse(kGoodConfig);

    EXPECT_EQ(console.err, "");
    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_EQ(board->_endpoint, "api.example.test");
    EXPECT_EQ(board->_api_key, "key-1");
    EXPECT_THAT(board->_wifis, ElementsAre(FieldsAre("old-ssid", "old-pass"),
                                           FieldsAre("home", "secret"), FieldsAre("", "")));
}

TEST_F(ConfigFile, UnlistedKeysAreIgnoredAtTopLevelAndInNetworks) {
    parse(R"({"extra": [1], "endpoint": "e", "api_key": "k",
              "wifis": [{"pass": "p", "hidden": true, "ssid": "s"}]})");

    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_THAT(board->_wifis.back(), FieldsAre("s", "p"));
}

TEST_F(ConfigFile, EmptyNetworkListSucceedsWithNothingAppended) {
    board->_wifis.clear();
    parse(R"({"endpoint": "e", "api_key": "k", "wifis": []})");

    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_TRUE(board->_wifis.empty());
    EXPECT_EQ(board->_endpoint, "e");
}

TEST_F(ConfigFile, ParsingTheSameFileTwiceHoldsEveryNetworkTwice) {
    board->_wifis.clear();
    const TempFile file(kGoodConfig);
    captureConsole([&] {
        board->parseConfigFile(file.path());
        board->parseConfigFile(file.path());
    });

    EXPECT_THAT(board->_wifis, ElementsAre(FieldsAre("home", "secret"), FieldsAre("", ""),
                                           FieldsAre("home", "secret"), FieldsAre("", "")));
}

TEST_F(ConfigFile, NullPathIsRefusedWithItsOwnMessage) {
    const Console console = captureConsole([&] { board->parseConfigFile(nullptr); });

    EXPECT_EQ(console.err, "Null config file\n");
    EXPECT_EQ(board->getError(), CONFIG_FILE);
}

TEST_F(ConfigFile, CStringPathIsReadLikeAString) {
    const TempFile file(kGoodConfig);
    captureConsole([&] { board->parseConfigFile(file.path().c_str()); });

    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_EQ(board->_endpoint, "api.example.test");
}

TEST_F(ConfigFile, LaterGoodParseLeavesAnEarlierFaultCode) {
    parse("{");
    parse(kGoodConfig);

    EXPECT_EQ(board->getError(), CONFIG_FILE);
    EXPECT_EQ(board->_endpoint, "api.example.test");
}

TEST_F(ConfigFile, MissingFileIsReportedAndChangesNothing) {
    const Console console =
        captureConsole([&] { board->parseConfigFile(std::string(missingPath())); });

    EXPECT_EQ(console.err, "Error parsing file, dont exist, wrong permisions or bad json\n");
    EXPECT_EQ(board->getError(), CONFIG_FILE);
    EXPECT_EQ(board->_endpoint, "old-endpoint");
    EXPECT_EQ(board->_api_key, "old-key");
    EXPECT_EQ(board->_wifis.size(), 1U);
}

// One bad file, the single message it must produce, and what must be stored afterwards.
struct Fault {
    const char* name;
    const char* content;
    const char* message;
    const char* endpoint;
    const char* apiKey;
    size_t networks;
};

class ConfigFault : public ConfigFile, public testing::WithParamInterface<Fault> {};

TEST_P(ConfigFault, FirstFaultInCheckOrderIsReportedAndEarlierValuesStay) {
    const Fault& fault = GetParam();

    const Console console = parse(fault.content);

    EXPECT_EQ(console.err, std::string(fault.message) + "\n");
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(board->getError(), CONFIG_FILE);
    EXPECT_EQ(board->_endpoint, fault.endpoint);
    EXPECT_EQ(board->_api_key, fault.apiKey);
    EXPECT_EQ(board->_wifis.size(), fault.networks);
}

constexpr const char* kBadFile = "Error parsing file, dont exist, wrong permisions or bad json";

INSTANTIATE_TEST_SUITE_P(
    EveryCheck, ConfigFault,
    testing::Values(
        Fault{"SyntaxError", R"({"endpoint": "e",)", kBadFile, "old-endpoint", "old-key", 1},
        Fault{"EmptyFile", "", kBadFile, "old-endpoint", "old-key", 1},
        Fault{"TopLevelArray", R"([{"endpoint": "e"}])",
              "Missing \"endpoint\" key in json configFile", "old-endpoint", "old-key", 1},
        Fault{"EndpointMissing", R"({"api_key": 5})", "Missing \"endpoint\" key in json configFile",
              "old-endpoint", "old-key", 1},
        Fault{"EndpointNull", R"({"endpoint": null})",
              "Wrong type in key \"endpoint\", must be type string", "old-endpoint", "old-key", 1},
        Fault{"EndpointNumber", R"({"endpoint": 5, "api_key": 5})",
              "Wrong type in key \"endpoint\", must be type string", "old-endpoint", "old-key", 1},
        Fault{"ApiKeyMissing", R"({"endpoint": "new", "wifis": 1})",
              "Missing \"api_key\" key in json configFile", "new", "old-key", 1},
        Fault{"ApiKeyObject", R"({"endpoint": "new", "api_key": {}})",
              "Wrong type in key \"api_key\", must be type string", "new", "old-key", 1},
        Fault{"WifisMissing", R"({"endpoint": "", "api_key": ""})",
              "Missing \"wifis\" key in json configFile", "", "", 1},
        Fault{"WifisObject", R"({"endpoint": "e", "api_key": "k", "wifis": {}})",
              "Wrong type in key \"wifis\", must be type array", "e", "k", 1},
        Fault{"WifisNull", R"({"endpoint": "e", "api_key": "k", "wifis": null})",
              "Wrong type in key \"wifis\", must be type array", "e", "k", 1},
        Fault{"NetworkIsString", R"({"endpoint": "e", "api_key": "k", "wifis": ["home"]})",
              "Missing \"ssid\" key in element of wifis json_array of json configFile", "e", "k",
              1},
        Fault{"SsidMissing", R"({"endpoint": "e", "api_key": "k", "wifis": [{"pass": 1}]})",
              "Missing \"ssid\" key in element of wifis json_array of json configFile", "e", "k",
              1},
        Fault{"SsidNumber", R"({"endpoint": "e", "api_key": "k", "wifis": [{"ssid": 1}]})",
              "Wrong type in key \"ssid\" in element of wifis json_array, must be type string", "e",
              "k", 1},
        Fault{"PassMissing", R"({"endpoint": "e", "api_key": "k", "wifis": [{"ssid": "s"}]})",
              "Missing \"pass\" key in element of wifis json_array of json configFile", "e", "k",
              1},
        Fault{"PassNull",
              R"({"endpoint": "e", "api_key": "k", "wifis": [{"ssid": "s", "pass": null}]})",
              "Wrong type in key \"pass\" in element of wifis json_array, must be type string", "e",
              "k", 1},
        Fault{"ThirdNetworkPassNumber",
              R"({"endpoint": "e", "api_key": "k", "wifis": [
                   {"ssid": "a", "pass": "1"}, {"ssid": "b", "pass": "2"},
                   {"ssid": "c", "pass": 3}, {"ssid": 4}]})",
              "Wrong type in key \"pass\" in element of wifis json_array, must be type string", "e",
              "k", 3}),
    [](const testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

TEST_F(ConfigFile, NetworksBeforeAFaultyOneAreKeptInOrder) {
    board->_wifis.clear();
    parse(R"({"endpoint": "e", "api_key": "k", "wifis": [
               {"ssid": "a", "pass": "1"}, {"ssid": "b", "pass": "2"}, {"ssid": "c", "pass": 3}]})");

    EXPECT_THAT(board->_wifis, ElementsAre(FieldsAre("a", "1"), FieldsAre("b", "2")));
}

TEST(ErrorText, EveryCodeHasItsText) {
    const std::vector<std::string> texts = {"OKEY",
                                            "CONFIG_FILE",
                                            "SERVER_RESPONSE",
                                            "UNSOLVED_ADDR_CONFLIC",
                                            "GPIOD_CHIP",
                                            "GPIOD_LINE",
                                            "GPIOD_LINE_REQUEST",
                                            "GPIOD_SET",
                                            "NODES_CONFIG_PARSE"};
    BoardPtr board = idleBoard();
    for (int32_t code = 0; code < static_cast<int32_t>(texts.size()); ++code) {
        board->_error = code;
        EXPECT_EQ(board->getError(), code);
        EXPECT_EQ(board->getErrorString(), texts[static_cast<size_t>(code)]);
    }
}

TEST(ErrorText, CodesOutsideTheTableReadDefaultUnknown) {
    BoardPtr board = idleBoard();
    for (const int32_t code : {9, -1, 1000}) {
        board->_error = code;
        EXPECT_EQ(board->getErrorString(), "DEFAULT UNKOWN") << code;
    }
}

TEST(BoardOwnership, BoardCanNeitherBeCopiedNorMoved) {
    EXPECT_FALSE(std::is_copy_constructible_v<SBC>);
    EXPECT_FALSE(std::is_copy_assignable_v<SBC>);
    EXPECT_FALSE(std::is_move_constructible_v<SBC>);
    EXPECT_FALSE(std::is_move_assignable_v<SBC>);
}

// A configuration path that names something other than a small regular file: each would hang
// the start-up or grow without bound if it were read.
struct ConfigKind {
    const char* name;
    std::string (*make)(const std::string& dir);
    const char* says;
};

void PrintTo(const ConfigKind& kind, std::ostream* out) {
    *out << kind.name;
}

class ConfigFileKind : public ConfigFile, public testing::WithParamInterface<ConfigKind> {};

TEST_P(ConfigFileKind, IsRefusedWithAMessageAndChangesNothing) {
    const TempFile scratch("");
    const std::string path = GetParam().make(std::filesystem::path(scratch.path()).parent_path());

    const Console console = captureConsole([&] { board->parseConfigFile(path); });

    EXPECT_EQ(console.err, "Config file " + path + GetParam().says +
                               ": give the path of the board's JSON file\n");
    EXPECT_EQ(board->getError(), CONFIG_FILE);
    EXPECT_EQ(board->_endpoint, "old-endpoint");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ConfigFileKind,
    testing::Values(
        ConfigKind{"Fifo",
                   [](const std::string& dir) {
                       const std::string fifo = dir + "/fifo";
                       mkfifo(fifo.c_str(), 0600);
                       return fifo;
                   },
                   " is not a regular file"},
        ConfigKind{"CharacterDevice", [](const std::string&) { return std::string("/dev/zero"); },
                   " is not a regular file"},
        ConfigKind{"Directory", [](const std::string& dir) { return dir; },
                   " is not a regular file"},
        ConfigKind{"OneByteOverOneMebibyte",
                   [](const std::string& dir) {
                       const std::string big = dir + "/big.json";
                       std::ofstream(big) << kGoodConfig
                                          << std::string((1 << 20) + 1 - kGoodConfig.size(), ' ');
                       return big;
                   },
                   " is larger than 1048576 bytes (1 MiB)"}),
    [](const testing::TestParamInfo<ConfigKind>& info) { return std::string(info.param.name); });

TEST_F(ConfigFile, AFileOfExactlyOneMebibyteIsRead) {
    const Console console = parse(kGoodConfig + std::string((1 << 20) - kGoodConfig.size(), ' '));

    EXPECT_EQ(console.err, "");
    EXPECT_EQ(board->getError(), OKEY);
}

}  // namespace
