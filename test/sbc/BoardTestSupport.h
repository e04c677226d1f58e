#pragma once

// Helpers of the board's suites: boards built and destroyed quietly, and the board's own
// report lines picked out of a console.

#include <memory>
#include <regex>
#include <sstream>

#include "SimBoard.h"
#include "Console.h"
#include "SBC.h"
#include "TempFiles.h"

// Destroys a board quietly: its teardown writes on the console.
struct QuietBoardRelease {
    void operator()(SBC* board) const { captureConsole([board] { delete board; }); }
};
using BoardPtr = std::unique_ptr<SBC, QuietBoardRelease>;

// A board whose start-up stopped at its configuration file, so it holds no GPIO line, then with
// its error code cleared: the operations under test run on it one by one.
inline BoardPtr idleBoard() {
    BoardPtr board;
    captureConsole([&board] { board.reset(new SBC("/nonexistent/kestro/config.json")); });
    board->_error = OKEY;
    return board;
}

// The lines of a text that begin with one of the prefixes, in order: the board's own report
// lines, picked out from among the progress lines of the node and its master. A node's address
// in memory changes from run to run and reads "(pointer)".
inline std::string linesStartingWith(const std::string& text,
                                     std::initializer_list<const char*> prefixes) {
    std::istringstream stream(text);
    std::string picked;
    for (std::string line; std::getline(stream, line);) {
        for (const char* prefix : prefixes) {
            if (line.starts_with(prefix)) {
                picked += line + "\n";
                break;
            }
        }
    }
    return std::regex_replace(picked, std::regex("memAddr 0x[0-9a-f]+ "), "memAddr (pointer) ");
}

// The keys of a map, or the texts of a set or list, each after a blank.
template <typename Range>
std::string keysOf(const Range& range) {
    std::string keys;
    for (const auto& entry : range) {
        if constexpr (requires { entry.first; }) {
            keys += " " + entry.first;
        } else {
            keys += " " + entry;
        }
    }
    return keys;
}

// What reached the hardware since the last look, one indented line each: by default GPIO
// requests, sets and releases, waits, opens and closes. Left out is how libgpiod looks for the
// chip, which differs between its versions: version 1 reads sysfs and tries to open an absent
// chip, version 2 stops at its stat.
inline std::string hardwareTrace(
    std::initializer_list<sim::EventKind> kinds = {sim::EventKind::GpioRequest, sim::EventKind::GpioSet,
                                                   sim::EventKind::GpioRelease, sim::EventKind::Sleep,
                                                   sim::EventKind::Open, sim::EventKind::Close}) {
    std::string text;
    for (const std::string& line : sim::SimBoard::instance().trace(kinds)) {
        const bool lookup =
            line.find(" /sys/") != std::string::npos || line == "open /dev/gpiochip0 ENOENT";
        text += lookup ? "" : "  " + line + "\n";
    }
    sim::SimBoard::instance().clearEvents();
    return text;
}
