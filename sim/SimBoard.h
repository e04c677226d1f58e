#pragma once
// The simulated board: one per process, reached through
// sim::SimBoard::instance(). In a run of `i2c-kestro-sim` the launcher's is the
// board of every process of the run (BoardService.h); a program's own keeps
// only the outline it was told (BoardClient.h). Linking the shared library `kestro-sim` into a test
// binary makes open/ioctl/read/write/close/stat/access/... on the simulated
// device paths go to the simulated board instead of the kernel:
//
//   /dev/i2c-N                               a bus added with addBus()
//   /dev/gpiochipN, /sys/bus/gpio/devices/gpiochipN/dev
//                                            chip 0 when gpio().setPresent(true)
//
// A simulated path that is not configured answers ENOENT whatever the host
// has. Every other path and descriptor goes to the C library unchanged.
// Each simulated descriptor is backed by a real O_PATH descriptor, so its
// number is unique and any call that bypasses the simulated board fails with EBADF.
// Calls from several threads are served one at a time (see `lock`).

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Event.h"
#include "FakeClock.h"
#include "SimBus.h"
#include "SimGpioChip.h"
#include "SimNode.h"

namespace sim {

class SimBoard {
  public:
    static SimBoard& instance();

    // Back to a fresh simulated board: no buses, GPIO chip absent, real clock, empty
    // event log. Descriptors still open become stale: every call on them
    // fails with EBADF except close, so their numbers are never reused
    // behind the code that holds them.
    void reset();
    // Every descriptor open now goes stale (as reset() leaves them).
    void staleDescriptors();

    SimBus& addBus(const std::string& path);
    SimBus* bus(const std::string& path);
    SimBus& busAt(const std::string& path);  // throws std::out_of_range when absent
    void removeBus(const std::string& path);
    const std::map<std::string, std::unique_ptr<SimBus>>& buses() const { return buses_; }

    SimGpioChip& gpio() { return gpio_; }
    const SimGpioChip& gpio() const { return gpio_; }
    FakeClock& clock() { return clock_; }
    const FakeClock& clock() const { return clock_; }

    const std::vector<Event>& events() const { return events_; }
    // Events as their one-line form, optionally only some kinds.
    std::vector<std::string> trace() const;
    std::vector<std::string> trace(std::initializer_list<EventKind> kinds) const;
    void clearEvents() { events_.clear(); }

    // Off: no event, sleep or request frame is kept (fake time still moves),
    // so a benchmark can run millions of round trips in bounded memory.
    void setRecording(bool on) { recording_ = on; }
    bool recording() const { return recording_; }
    // Called with every event as it happens, recorded or not (a live trace).
    void setObserver(std::function<void(const Event&)> observer) { observer_ = std::move(observer); }
    // Events carry their bytes when someone keeps or watches them.
    bool keepsBytes() const { return recording_ || observer_ != nullptr; }

    // Totals of the run, kept whether or not events are recorded.
    struct Counters {
        uint64_t opens = 0;   // of simulated paths, refused ones included
        uint64_t frames = 0;  // write transactions that reached a node
        uint64_t reads = 0;   // read transactions that delivered bytes
        uint64_t bytesWritten = 0;
        uint64_t bytesRead = 0;
        uint64_t probes = 0;
        uint64_t faults = 0;  // requests a fault hit
        uint64_t sleeps = 0;
        uint64_t sleptUs = 0;
    };
    const Counters& counters() const { return counters_; }

    // When the bits of the last transaction will have left the wire (board
    // clock), for whoever answers its caller: 0 when it took no time. Taking
    // it clears it.
    void noteWireDue(uint64_t us) { wireDueUs_ = us; }
    uint64_t takeWireDue() { return std::exchange(wireDueUs_, 0); }
    // Set by the board's service (BoardService.h), which defers an answer until
    // its wire time is over; otherwise the caller itself waits for it.
    void setServedOverLink(bool served) { servedOverLink_ = served; }
    bool servedOverLink() const { return servedOverLink_; }

    // Held by every interposed call that reaches the simulated board, so that threads
    // (a program's own, or a resolver thread of libcurl) take turns.
    static std::unique_lock<std::recursive_mutex> lock();

    // Simulated descriptors open now (stale ones excluded), as their paths.
    std::vector<std::string> openDescriptorPaths() const;
    std::size_t openDescriptors() const { return openDescriptorPaths().size(); }

    // Interposer side.
    struct Descriptor;
    Descriptor* descriptor(int fd);
    // Backs the descriptor with a real O_PATH one and returns its number (-1, errno).
    int addDescriptor(std::unique_ptr<Descriptor> descriptor);
    std::unique_ptr<Descriptor> removeDescriptor(int fd);
    std::size_t log(Event event);
    // Logs a Sleep event (the clock records the sleep itself) and returns its index.
    std::size_t logSleep(SleepCall call, uint64_t durationUs);
    std::size_t eventCount() const { return events_.size(); }

    ~SimBoard();

  private:
    SimBoard();
    std::map<std::string, std::unique_ptr<SimBus>> buses_;
    SimGpioChip gpio_;
    FakeClock clock_;
    std::vector<Event> events_;
    std::map<int, std::unique_ptr<Descriptor>> descriptors_;
    bool recording_ = true;
    std::function<void(const Event&)> observer_;
    Counters counters_;
    uint64_t wireDueUs_ = 0;
    bool servedOverLink_ = false;
    void count(const Event& event);
};

}  // namespace sim
