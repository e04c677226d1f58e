#pragma once

#include <cstdint>
#include <string>

#include "Console.h"

namespace cli {

struct BoardOptions {
    std::string config = "/etc/i2c-kestro/config.json";
    bool syncClocks = false;
    bool scan = false;
};

// Brings the board up with its start-up sequence, reports each step, the devices the API
// lists and the nodes found, optionally syncs the clocks and scans, and releases the board.
// Returns the board's error code.
int runBoard(Console& console, const Settings& settings, const BoardOptions& options);

// What to check when the board's start-up ends with `error`.
std::string boardErrorHint(int32_t error);

}  // namespace cli
