#pragma once
// The simulated hardware test bed: one per process, reached through
// bed::Bed::instance(). Linking the shared library `kestro-sim` into a test
// binary makes open/ioctl/read/write/close/stat/access/... on the simulated
// device paths go to the bed instead of the kernel:
//
//   /dev/i2c-N                               a bus added with addBus()
//   /dev/gpiochipN, /sys/bus/gpio/devices/gpiochipN/dev
//                                            chip 0 when gpio().setPresent(true)
//
// A simulated path that is not configured answers ENOENT whatever the host
// has. Every other path and descriptor goes to the C library unchanged.
// Each simulated descriptor is backed by a real O_PATH descriptor, so its
// number is unique and any call that bypasses the bed fails with EBADF.
// The bed is single-threaded, like the code it serves.

#include <cstddef>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Event.h"
#include "FakeClock.h"
#include "SimBus.h"
#include "SimGpioChip.h"
#include "SimNode.h"

namespace bed {

class Bed {
  public:
    static Bed& instance();

    // Back to a fresh bed: no buses, GPIO chip absent, real clock, empty
    // event log. Descriptors still open become stale: every call on them
    // fails with EBADF except close, so their numbers are never reused
    // behind the code that holds them.
    void reset();

    SimBus& addBus(const std::string& path);
    SimBus* bus(const std::string& path);
    SimBus& busAt(const std::string& path);  // throws std::out_of_range when absent
    void removeBus(const std::string& path);

    SimGpioChip& gpio() { return gpio_; }
    FakeClock& clock() { return clock_; }

    const std::vector<Event>& events() const { return events_; }
    // Events as their one-line form, optionally only some kinds.
    std::vector<std::string> trace() const;
    std::vector<std::string> trace(std::initializer_list<EventKind> kinds) const;
    void clearEvents() { events_.clear(); }

    // Off: no event, sleep or request frame is kept (fake time still moves),
    // so a benchmark can run millions of round trips in bounded memory.
    void setRecording(bool on) { recording_ = on; }
    bool recording() const { return recording_; }

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
    std::size_t eventCount() const { return events_.size(); }

    ~Bed();

  private:
    Bed();
    std::map<std::string, std::unique_ptr<SimBus>> buses_;
    SimGpioChip gpio_;
    FakeClock clock_;
    std::vector<Event> events_;
    std::map<int, std::unique_ptr<Descriptor>> descriptors_;
    bool recording_ = true;
};

}  // namespace bed
