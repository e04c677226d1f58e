#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SBC.h"

// What one piece of code wrote on standard output and standard error.
struct Console {
    std::string out;
    std::string err;
};

Console captureConsole(const std::function<void()>& action);

// The lines of a text, each without its newline; a last line without newline counts too.
std::vector<std::string> linesOf(const std::string& text);

// A file in a private temporary directory, removed with it.
class TempFile {
  public:
    explicit TempFile(const std::string& content);
    ~TempFile();

    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return _path; }

  private:
    std::string _directory;
    std::string _path;
};

// A path that names no file.
std::string missingPath();

// Destroys a board quietly: its teardown writes on the console.
struct QuietBoardRelease {
    void operator()(SBC* board) const;
};
using BoardPtr = std::unique_ptr<SBC, QuietBoardRelease>;

// A board whose start-up stopped at its configuration file, so it holds no GPIO line, then with
// its error code cleared: the operations under test run on it one by one.
BoardPtr idleBoard();

// A board constructed from a configuration file with this content; console output discarded.
BoardPtr bootedBoard(const std::string& configJson, Console* console = nullptr);
