#include "BoardTestSupport.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

Console captureConsole(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    action();
    Console console;
    console.err = testing::internal::GetCapturedStderr();
    console.out = testing::internal::GetCapturedStdout();
    return console;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

TempFile::TempFile(const std::string& content) {
    char pattern[] = "/tmp/kestro-sbc-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("no temporary directory");
    }
    _directory = pattern;
    _path = _directory + "/config.json";
    std::ofstream(_path, std::ios::binary) << content;
}

TempFile::~TempFile() {
    unlink(_path.c_str());
    rmdir(_directory.c_str());
}

std::string missingPath() {
    return "/nonexistent/kestro/config.json";
}

void QuietBoardRelease::operator()(SBC* board) const {
    captureConsole([board] { delete board; });
}

BoardPtr idleBoard() {
    BoardPtr board;
    captureConsole([&board] { board.reset(new SBC(missingPath())); });
    board->_error = OKEY;
    return board;
}

BoardPtr bootedBoard(const std::string& configJson, Console* console) {
    const TempFile config(configJson);
    BoardPtr board;
    const Console written = captureConsole([&] { board.reset(new SBC(config.path())); });
    if (console != nullptr) {
        *console = written;
    }
    return board;
}
