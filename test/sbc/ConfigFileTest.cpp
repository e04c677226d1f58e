#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>
#include <sstream>

#include "BoardTestSupport.h"
#include "Golden.h"

namespace {

const std::string kData = KESTRO_TEST_SOURCE_DIR "/data/config/";

class ConfigFile : public testing::Test {
  protected:
    // What parsing one path on a board holding earlier values wrote and left stored.
    std::string outcomeOf(const std::string& name, const std::string& path) {
        board->_error = OKEY;
        board->_endpoint = "old-endpoint";
        board->_api_key = "old-key";
        board->_wifis = {Wifi{"old-ssid", "old-pass"}};
        const Console console = captureConsole([&] { board->parseConfigFile(path); });
        std::string text = "== " + name + "\n" + (console.out.empty() ? "" : "stdout: ") + console.out + console.err +
                           board->getErrorString() + " " + board->_endpoint + " " + board->_api_key + "\n";
        for (const Wifi& wifi : board->_wifis) {
            text += "  " + wifi.ssid + ":" + wifi.pass + "\n";
        }
        return text;
    }

    TempDir folder;
    BoardPtr board = idleBoard();
};

TEST_F(ConfigFile, EachFileStoresWhatPrecedesItsFirstFaultInCheckOrder) {
    std::set<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(kData)) {
        files.insert(entry.path());
    }
    std::string outcomes;
    for (const std::filesystem::path& file : files) {
        outcomes += outcomeOf(file.filename(), file);
    }
    expectGolden("config-files.txt", outcomes);
}

// Anything but a regular file of at most 1 MiB would hang the start-up or grow without bound.
TEST_F(ConfigFile, IsRefusedWithAMessageAndChangesNothingUnlessASmallRegularFile) {
    const std::string dir = folder.path().string();
    const std::string good = readFile(kData + "good.json");
    mkfifo((dir + "/fifo").c_str(), 0600);
    writeFile(dir + "/1MiB", good + std::string((1 << 20) - good.size(), ' '));
    writeFile(dir + "/1MiB+1", good + std::string((1 << 20) + 1 - good.size(), ' '));
    std::string outcomes;
    for (const std::string& path : {std::string("/nonexistent/kestro/config.json"), dir + "/fifo", std::string("/dev/zero"), dir,
                                    dir + "/1MiB", dir + "/1MiB+1"}) {
        outcomes += outcomeOf(path, path);
    }
    expectGolden("config-paths.txt", outcomes, {{dir, "FOLDER"}});
}

TEST_F(ConfigFile, ParsingTwiceAppendsTheNetworksAgainAndKeepsAnEarlierFault) {
    outcomeOf("", kData + "empty.json");
    captureConsole([&] {
        board->parseConfigFile((kData + "good.json").c_str());
        board->parseConfigFile(kData + "good.json");
    });
    EXPECT_EQ(board->getErrorString() + " " + board->_endpoint + " " + std::to_string(board->_wifis.size()) + " " +
                  board->_wifis.at(3).ssid,
              "CONFIG_FILE api.example.test 5 home");
    board->_error = OKEY;
    EXPECT_EQ(captureConsole([&] { board->parseConfigFile(nullptr); }).err, "Null config file\n");
    EXPECT_EQ(board->getError(), CONFIG_FILE);
}

TEST(BoardDump, WritesNetworksAndDevicesInClearAndInKeyOrder) {
    BoardPtr board = idleBoard();
    std::ostringstream out;
    board->_endpoint = "api.example.test";
    board->_api_key = "key-1";
    (out << *board) << "(chained)\n";
    board->_wifis = {Wifi{"home", "secret"}, Wifi{"", ""}};
    board->_devices["b"] = json_tokener_parse(R"({"id": "b", "config": {"addr": 80}})");
    board->_devices["a"] = nullptr;
    out << *board;

    expectGolden("board-dump.txt", out.str());
}

// Each value printed alone, as "json indent indentFirst title" then what printJson wrote.
TEST(JsonDump, PrintsEveryKindOfValueAsAnIndentedTree) {
    const std::tuple<const char*, int, bool, const char*> calls[] = {
        {R"({"a":1,"b":[true,"x",[[2]],{"k":"v"}],"c":{"d":null},"e":3.14159265,"f":4294967296})", 0, false, "cfg"},
        {"[[1],[]]", 0, false, ""}, {"[1]", 2, true, "t"}, {"5", 4, true, ""}, {"\"x\"", 4, false, ""},
        {"false", 0, false, "t"}, {"null", 1, true, ""},
    };
    std::string printed;
    for (const auto& [json, indent, indentFirst, title] : calls) {
        json_object* value = json_tokener_parse(json);
        printed += "== " + std::string(json) + " " + std::to_string(indent) + " " + std::to_string(indentFirst) +
                   " " + title + "\n" + stdoutOf([&] { printJson(value, indent, indentFirst, title); }) + "\n";
        json_object_put(value);
    }
    expectGolden("print-json.txt", printed);
}

}  // namespace
