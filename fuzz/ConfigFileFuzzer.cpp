// Hands arbitrary bytes to the board controller as its configuration file and
// checks the outcome: code 0 or CONFIG_FILE only, texts and networks no larger
// than the file, and a second parse of a good file appending the same
// networks again.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "SBC.h"

namespace {

// The smallest network entry, {"ssid":"","pass":""}, is 21 bytes.
constexpr size_t kSmallestWifi = 21;

// A path through a file that is not a folder can never exist.
constexpr const char* kAbsentConfigFile = "/dev/null/absent.json";

// The input lives in an anonymous memory file, reached by path like any file.
class InputFile {
public:
    InputFile() : fd_(memfd_create("config.json", 0)) {
        require(fd_ >= 0, "a memory file can be made");
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }

    void hold(const uint8_t* data, size_t size) {
        require(ftruncate(fd_, 0) == 0, "the memory file can be emptied");
        require(pwrite(fd_, data, size, 0) == static_cast<ssize_t>(size),
                "the memory file takes the input");
    }

    const std::string& path() const { return path_; }

private:
    int fd_;
    std::string path_;
};

void checkBounded(const SBC& board, size_t size) {
    require(board._endpoint.size() <= size, "the endpoint is no longer than the file");
    require(board._api_key.size() <= size, "the key is no longer than the file");
    require(board._wifis.size() <= size / kSmallestWifi, "no more networks than the file holds");
    for (const Wifi& wifi : board._wifis) {
        require(wifi.ssid.size() + wifi.pass.size() <= size, "a network is no larger than the file");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static InputFile file;
    file.hold(data, size);

    SBC board(kAbsentConfigFile);
    board._error = OKEY;
    board.parseConfigFile(file.path());
    require(board._error == OKEY || board._error == CONFIG_FILE,
            "a configuration yields success or CONFIG_FILE");
    checkBounded(board, size);

    if (board._error == OKEY) {
        const std::vector<Wifi> first = board._wifis;
        board.parseConfigFile(file.path().c_str());
        require(board._error == OKEY, "a good file parses again");
        require(board._wifis.size() == 2 * first.size(), "a second parse appends the networks");
        for (size_t i = 0; i < first.size(); ++i) {
            require(board._wifis[first.size() + i].ssid == first[i].ssid &&
                        board._wifis[first.size() + i].pass == first[i].pass,
                    "the appended networks are the file's, in order");
        }
    }
    return 0;
}
