#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>

#include "BoardTestSupport.h"
#include "Golden.h"

static_assert(!std::is_copy_constructible_v<SBC> && !std::is_copy_assignable_v<SBC>);
static_assert(!std::is_move_constructible_v<SBC> && !std::is_move_assignable_v<SBC>);

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
    for (const std::string& path : {std::string(kMissingPath), dir + "/fifo", std::string("/dev/zero"), dir,
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
    EXPECT_EQ(captureConsole([&] { board->parseConfigFile(nullptr); }).err + board->getErrorString(),
              "Null config file\nCONFIG_FILE");
}

}  // namespace
