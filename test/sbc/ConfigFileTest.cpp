#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>
#include <sstream>

#include "BoardTestSupport.h"
#include "Golden.h"
#include "TempFiles.h"

static_assert(!std::is_copy_constructible_v<SBC> && !std::is_copy_assignable_v<SBC>);
static_assert(!std::is_move_constructible_v<SBC> && !std::is_move_assignable_v<SBC>);

namespace {

const std::string kGoodConfig = R"({
    "endpoint": "api.example.test",
    "api_key": "key-1",
    "wifis": [{"ssid": "home", "pass": "secret"}, {"ssid": "", "pass": ""}]
})";
constexpr const char* kBadFile = "Error parsing file, dont exist, wrong permisions or bad json";
constexpr const char* kOld = "old-ssid:old-pass ";

class ConfigFile : public testing::Test {
  protected:
    void SetUp() override {
        board = idleBoard();
        board->_endpoint = "old-endpoint";
        board->_api_key = "old-key";
        board->_wifis = {Wifi{"old-ssid", "old-pass"}};
    }

    Console parse(const std::string& content) {
        writeFile(file(), content);
        return captureConsole([&] { board->parseConfigFile(file()); });
    }

    std::string file() const { return (folder.path() / "config.json").string(); }

    // Every stored network as "ssid:pass ", in order.
    std::string networks() const {
        std::string text;
        for (const Wifi& wifi : board->_wifis) {
            text += wifi.ssid + ":" + wifi.pass + " ";
        }
        return text;
    }

    TempDir folder;
    BoardPtr board;
};

// One file (none when absent), the message it produces, and what is stored afterwards.
struct Content {
    const char* name;
    std::optional<std::string> content;
    std::string message;
    std::string endpoint;
    std::string apiKey;
    std::string networks;
};

void PrintTo(const Content& row, std::ostream* out) {
    *out << row.name;
}

class ConfigFileContent : public ConfigFile, public testing::WithParamInterface<Content> {};

TEST_P(ConfigFileContent, StoresWhatPrecedesTheFirstFaultInCheckOrder) {
    const Content& row = GetParam();

    const Console console = row.content ? parse(*row.content)
                                        : captureConsole([&] { board->parseConfigFile(kMissingPath); });

    EXPECT_EQ(console.err, row.message.empty() ? "" : row.message + "\n");
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(board->getError(), row.message.empty() ? OKEY : CONFIG_FILE);
    EXPECT_EQ(board->_endpoint, row.endpoint);
    EXPECT_EQ(board->_api_key, row.apiKey);
    EXPECT_EQ(networks(), row.networks);
}

std::string wifis(const char* elements) {
    return std::string(R"({"endpoint": "e", "api_key": "k", "wifis": )") + elements + "}";
}

const std::string kMissing = "Missing \"";
const std::string kWrong = "Wrong type in key \"";
const std::string kInWifis = " key in element of wifis json_array of json configFile";
const std::string kWrongInWifis = "\" in element of wifis json_array, must be type string";

INSTANTIATE_TEST_SUITE_P(
    Files, ConfigFileContent,
    testing::Values(
        Content{"GoodFileAppendsItsNetworksInFileOrder", kGoodConfig, "", "api.example.test",
                "key-1", std::string(kOld) + "home:secret : "},
        Content{"UnlistedKeysAreIgnored",
                R"({"x": [1], "endpoint": "e", "api_key": "k",
                    "wifis": [{"pass": "p", "hidden": true, "ssid": "s"}]})",
                "", "e", "k", std::string(kOld) + "s:p "},
        Content{"EmptyNetworkList", wifis("[]"), "", "e", "k", kOld},
        Content{"ExactlyOneMebibyte", kGoodConfig + std::string((1 << 20) - kGoodConfig.size(), ' '),
                "", "api.example.test", "key-1", std::string(kOld) + "home:secret : "},
        Content{"MissingFile", std::nullopt, kBadFile, "old-endpoint", "old-key", kOld},
        Content{"SyntaxError", R"({"endpoint": "e",)", kBadFile, "old-endpoint", "old-key", kOld},
        Content{"EmptyFile", "", kBadFile, "old-endpoint", "old-key", kOld},
        Content{"TopLevelArray", R"([{"endpoint": "e"}])",
                kMissing + "endpoint\" key in json configFile", "old-endpoint", "old-key", kOld},
        Content{"EndpointNull", R"({"endpoint": null})",
                kWrong + "endpoint\", must be type string", "old-endpoint", "old-key", kOld},
        Content{"EndpointNumber", R"({"endpoint": 5, "api_key": 5})",
                kWrong + "endpoint\", must be type string", "old-endpoint", "old-key", kOld},
        Content{"ApiKeyMissing", R"({"endpoint": "new", "wifis": 1})",
                kMissing + "api_key\" key in json configFile", "new", "old-key", kOld},
        Content{"ApiKeyObject", R"({"endpoint": "new", "api_key": {}})",
                kWrong + "api_key\", must be type string", "new", "old-key", kOld},
        Content{"WifisMissing", R"({"endpoint": "", "api_key": ""})",
                kMissing + "wifis\" key in json configFile", "", "", kOld},
        Content{"WifisObject", wifis("{}"), kWrong + "wifis\", must be type array", "e", "k", kOld},
        Content{"WifisNull", wifis("null"), kWrong + "wifis\", must be type array", "e", "k", kOld},
        Content{"NetworkIsString", wifis(R"(["home"])"), kMissing + "ssid\"" + kInWifis, "e", "k",
                kOld},
        Content{"SsidMissing", wifis(R"([{"pass": 1}])"), kMissing + "ssid\"" + kInWifis, "e", "k",
                kOld},
        Content{"SsidNumber", wifis(R"([{"ssid": 1}])"), kWrong + "ssid" + kWrongInWifis, "e",
                "k", kOld},
        Content{"PassMissing", wifis(R"([{"ssid": "s"}])"), kMissing + "pass\"" + kInWifis, "e",
                "k", kOld},
        Content{"PassNull", wifis(R"([{"ssid": "s", "pass": null}])"),
                kWrong + "pass" + kWrongInWifis, "e", "k", kOld},
        Content{"NetworksBeforeAFaultyOneAreKept",
                wifis(R"([{"ssid": "a", "pass": "1"}, {"ssid": "b", "pass": "2"},
                          {"ssid": "c", "pass": 3}, {"ssid": 4}])"),
                kWrong + "pass" + kWrongInWifis, "e", "k", std::string(kOld) + "a:1 b:2 "}),
    [](const testing::TestParamInfo<Content>& info) { return std::string(info.param.name); });

TEST_F(ConfigFile, ParsingTheSameFileTwiceAppendsItsNetworksTwice) {
    parse(kGoodConfig);
    parse(kGoodConfig);

    EXPECT_EQ(networks(), std::string(kOld) + "home:secret : home:secret : ");
}

TEST_F(ConfigFile, LaterGoodParseLeavesAnEarlierFaultCode) {
    parse("{");
    parse(kGoodConfig);

    EXPECT_EQ(board->getError(), CONFIG_FILE);
    EXPECT_EQ(board->_endpoint, "api.example.test");
}

TEST_F(ConfigFile, NullPathIsRefusedWithItsOwnMessageAndACStringPathIsRead) {
    EXPECT_EQ(captureConsole([&] { board->parseConfigFile(nullptr); }).err,
              "Null config file\n");
    EXPECT_EQ(board->getError(), CONFIG_FILE);

    writeFile(file(), kGoodConfig);
    board->_error = OKEY;
    captureConsole([&] { board->parseConfigFile(file().c_str()); });
    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_EQ(board->_endpoint, "api.example.test");
}

// A configuration path that names something other than a small regular file: each would hang
// the start-up or grow without bound if it were read.
struct ConfigKind {
    const char* name;
    std::string (*make)(const std::string& folder);
    const char* says;
};

void PrintTo(const ConfigKind& kind, std::ostream* out) {
    *out << kind.name;
}

class ConfigFileKind : public ConfigFile, public testing::WithParamInterface<ConfigKind> {};

TEST_P(ConfigFileKind, IsRefusedWithAMessageAndChangesNothing) {
    const std::string path = GetParam().make(folder.path().string());

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
                   [](const std::string& folder) {
                       mkfifo((folder + "/fifo").c_str(), 0600);
                       return folder + "/fifo";
                   },
                   " is not a regular file"},
        ConfigKind{"CharacterDevice", [](const std::string&) { return std::string("/dev/zero"); },
                   " is not a regular file"},
        ConfigKind{"Directory", [](const std::string& folder) { return folder; },
                   " is not a regular file"},
        ConfigKind{"OneByteOverOneMebibyte",
                   [](const std::string& folder) {
                       writeFile(folder + "/big.json", std::string((1 << 20) + 1, ' '));
                       return folder + "/big.json";
                   },
                   " is larger than 1048576 bytes (1 MiB)"}),
    [](const testing::TestParamInfo<ConfigKind>& info) { return std::string(info.param.name); });

TEST(ErrorText, EveryCodeReadsItsNameAndOthersReadDefaultUnknown) {
    BoardPtr board = idleBoard();
    std::ostringstream texts;
    for (const int32_t code : {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 1000}) {
        board->_error = code;
        texts << board->getError() << " " << board->getErrorString() << "\n";
    }
    expectGolden("error-texts.txt", texts.str());
}

}  // namespace
