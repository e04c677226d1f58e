#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "Console.h"

namespace cli {

enum class Direction { Put, Get };

// A one-line progress bar on standard error, redrawn at most ten times a second.
class ProgressBar {
  public:
    explicit ProgressBar(Console& console);
    void update(uint64_t done, uint64_t total);
    // Clears the bar's line, so the summary starts on a clean one.
    void finish();

  private:
    using Clock = std::chrono::steady_clock;

    Console& _console;
    bool _shown;
    Clock::time_point _start;
    Clock::time_point _lastDraw;
    bool _drawn = false;
};

// "45%  1200/2664 B  800 B/s  0:02 left"
std::string progressLine(uint64_t done, uint64_t total, double seconds);

// What put or get was asked to do.
struct TransferRequest {
    Direction direction = Direction::Put;
    std::string source;
    std::string destination;  // empty: the source's file name
    uint32_t retries = 3;     // repeats of a chunk exchange that went unanswered
    bool resume = false;      // get: continue from, or keep, a partial "<destination>.part"
};

// put (local file to the node) or get (node file to a local file); returns the exit status.
int runTransfer(Console& console, const Settings& settings, uint8_t address,
                const TransferRequest& request);

}  // namespace cli
