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

// put (local file to the node) or get (node file to a local file); returns the exit status.
int runTransfer(Console& console, const Settings& settings, uint8_t address, Direction direction,
                const std::string& source, const std::string& destination);

}  // namespace cli
