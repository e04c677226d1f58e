#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>

#include "BoardTestSupport.h"
#include "Golden.h"
#include "TempFiles.h"

static_assert(!std::is_copy_constructible_v<SBC> && !std::is_copy_assignable_v<SBC>);
static_assert(!std::is_move_constructible_v<SBC> && !std::is_move_assignable_v<SBC>);

namespace {

const std::string kGoodConfig = readFile(KESTRO_TEST_SOURCE_DIR "/data/config/good.json");

class ConfigFile : public testing::Test {
  protected:
    void SetUp() override { board = idleBoard(); }

    // What parsing one path on a board holding earlier values wrote and left stored.
    std::string outcomeOf(const std::string& name, const std::string& path) {
        board->_error = OKEY;
        board->_endpoint = "old-endpoint";
        board->_api_key = "old-key";
        board->_wifis = {Wifi{"old-ssid", "old-pass"}};
        const Console console = captureConsole([&] { board->parseConfigFile(path); });
        std::string text = "== " + name + "\n" + (console.out.empty() ? "" : "stdout: ") + console.out + console.err + board->getErrorString() +
                           " " + board->_endpoint + " " + board->_api_key + "\n";
        for (const Wifi& wifi : board->_wifis) {
            text += "  " + wifi.ssid + ":" + wifi.pass + "\n";
        }
        return text;
    }

    TempDir folder;
    BoardPtr board;
};

TEST_F(ConfigFile, EachFileStoresWhatPrecedesItsFirstFaultInCheckOrder) {
    std::set<std::filesystem::path> files;
    for (const auto& entry :
         std::filesystem::directory_iterator(KESTRO_TEST_SOURCE_DIR "/data/config")) {
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
    mkfifo((dir + "/fifo").c_str(), 0600);
    writeFile(dir + "/1MiB", kGoodConfig + std::string((1 << 20) - kGoodConfig.size(), ' '));
    writeFile(dir + "/1MiB+1", kGoodConfig + std::string((1 << 20) + 1 - kGoodConfig.size(), ' '));
    std::string outcomes;
    for (const std::string& path : {std::string(kMissingPath), dir + "/fifo", std::string("/dev/zero"),
                                    dir, dir + "/1MiB", dir + "/1MiB+1"}) {
        outcomes += outcomeOf(path, path);
    }
    expectGolden("config-paths.txt", outcomes, {{dir, "FOLDER"}});
}

TEST_F(ConfigFile, ParsingTwiceAppendsTheNetworksAgainAndKeepsAnEarlierFault) {
    outcomeOf("", KESTRO_TEST_SOURCE_DIR "/data/config/empty.json");
    captureConsole([&] {
        board->parseConfigFile(KESTRO_TEST_SOURCE_DIR "/data/config/good.json");
        board->parseConfigFile(std::string(KESTRO_TEST_SOURCE_DIR "/data/config/good.json"));
    });

    EXPECT_EQ(board->getError(), CONFIG_FILE);
    EXPECT_EQ(board->_endpoint, "api.example.test");
    EXPECT_EQ(board->_wifis.size(), 5U);
    EXPECT_EQ(board->_wifis[3].ssid, "home");
}

TEST_F(ConfigFile, NullPathIsRefusedWithItsOwnMessage) {
    EXPECT_EQ(captureConsole([&] { board->parseConfigFile(nullptr); }).err, "Null config file\n");
    EXPECT_EQ(board->getError(), CONFIG_FILE);
}

TEST(ErrorText, EveryCodeReadsItsNameAndOthersReadDefaultUnknown) {
    BoardPtr board = idleBoard();
    std::string texts;
    for (const int32_t code : {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 1000}) {
        board->_error = code;
        texts += std::to_string(board->getError()) + " " + board->getErrorString() + "\n";
    }
    expectGolden("error-texts.txt", texts);
}

}  // namespace
