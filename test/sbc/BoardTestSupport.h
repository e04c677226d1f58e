#pragma once

// Helpers of the board's suites: boards built and destroyed quietly, device documents as the
// device API delivers them, and the report lines picked out of a console.

#include <json-c/json.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "Console.h"
#include "SBC.h"

// Destroys a board quietly: its teardown writes on the console.
struct QuietBoardRelease {
    void operator()(SBC* board) const;
};
using BoardPtr = std::unique_ptr<SBC, QuietBoardRelease>;

// A path that names no file.
inline const char* const kMissingPath = "/nonexistent/kestro/config.json";

// A board whose start-up stopped at its configuration file, so it holds no GPIO line, then with
// its error code cleared: the operations under test run on it one by one.
BoardPtr idleBoard();

// A board constructed from a configuration file with this content.
BoardPtr bootedBoard(const std::string& configJson, Console* console = nullptr);

// Destroys the board and returns what its teardown wrote.
Console destroyed(BoardPtr& board);

std::vector<std::string> linesOf(const std::string& text);

// The lines of a text that begin with one of the prefixes, in order: the board's own report
// lines, picked out from among the progress lines of the node and its master.
std::vector<std::string> linesStartingWith(const std::string& text,
                                           std::initializer_list<const char*> prefixes);

template <typename Map>
std::vector<typename Map::key_type> keysOf(const Map& map) {
    std::vector<typename Map::key_type> keys;
    for (const auto& entry : map) {
        keys.push_back(entry.first);
    }
    return keys;
}

// {"id": id, "config": {"addr": address}}
json_object* deviceDocument(const std::string& id, int address);

// The GPIO requests, sets, releases and sleeps of the bed's event log.
std::vector<std::string> lineTrace();

// The "timesync ..." line that opens the clock sync report of one node.
std::string syncHeaderOf(const SBC& board, const std::string& bus, const std::string& id);
