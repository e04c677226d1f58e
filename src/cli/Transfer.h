#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Console.h"
#include "ManyNodes.h"
#include "OwnedFd.h"

namespace cli {

enum class Direction { Put, Get };

// Bounds of the command line and of the agent's requests alike. Each repeat waits a second
// more: more than 100 is no longer a transfer but a hang. A poll interval past a second would
// wait longer than any reply takes.
constexpr uint32_t kMaxRetries = 100;
constexpr uint32_t kMaxPollMs = 1000;
constexpr uint32_t kMicrosecondsPerMs = 1000;

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

// One progress line per node and a total line with the aggregate rate below them, on standard
// error when that is a terminal, redrawn in place (the cursor moved back up over the block) at
// most ten times a second.
class ProgressBlock {
  public:
    ProgressBlock(Console& console, const std::vector<std::string>& labels);
    void update(size_t row, uint64_t done, uint64_t total);
    // Clears the block, so the results start where it began.
    void finish();

  private:
    using Clock = std::chrono::steady_clock;
    struct Row {
        std::string label;
        bool started = false;
        uint64_t done = 0;
        uint64_t total = 0;
        double seconds = 0;  // from the block's start to the row's latest report
    };

    std::string text(double seconds) const;

    Console& _console;
    bool _shown;
    std::vector<Row> _rows;
    Clock::time_point _start;
    Clock::time_point _lastDraw;
    bool _drawn = false;
};

// "45%  1200/2664 B  800 B/s  0:02 left"
std::string progressLine(uint64_t done, uint64_t total, double seconds);

// A local file the tool handed over as an open descriptor, because the agent may not reach it
// by its path: the agent moves a copy of its own instead, and removes it when done with it.
struct HandedFile {
    HandedFile(OwnedFd handed, std::string spoolCopy)
        : fd(std::move(handed)), copy(std::move(spoolCopy)) {}
    ~HandedFile();
    HandedFile(const HandedFile&) = delete;
    HandedFile& operator=(const HandedFile&) = delete;

    OwnedFd fd;        // put: read from; get: the finished copy is written into it
    std::string copy;  // the agent's copy
};

// What put or get was asked to do.
struct TransferRequest {
    Direction direction = Direction::Put;
    std::string source;
    // empty: the source's file name; get on several nodes: the folder (empty: the current one)
    std::string destination;
    uint32_t retries = 3;  // repeats of a chunk exchange that went unanswered
    bool resume = false;   // get: continue from, or keep, a partial "<destination>.part"
    // The local file (put's source, a single get's destination) came as a descriptor: its name
    // above is only printed, the transfer moves the handed file's copy.
    std::shared_ptr<const HandedFile> handed;
};

// Each node's progress as its transfer reports it: its row (the index of its address), bytes
// done and total.
using Progress = std::function<void(size_t row, uint64_t done, uint64_t total)>;
// put (a local file to each node) or get (each node's file to a local file; on several
// nodes into the folder as ADDRESS-NAME, 0x10-log.txt).
std::unique_ptr<CallOnNodes> transferCall(const Settings& settings,
                                          const std::vector<uint8_t>& addresses, bool several,
                                          const TransferRequest& request, Progress progress);
// The transfers with a progress bar (one node) or block (several) on a terminal, stopped
// between steps by SIGINT, SIGTERM or SIGHUP; returns the exit status.
int runTransfer(Console& console, const Settings& settings, const std::vector<uint8_t>& addresses,
                bool several, const TransferRequest& request);

}  // namespace cli
