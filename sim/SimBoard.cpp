#include "SimBoard.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "Descriptor.h"
#include "RealLibc.h"

namespace sim {

namespace {

// Never destroyed: the interposer may still be called while other static
// objects of the process are being destroyed.
SimBoard* theBoard = nullptr;

// A real descriptor that no read, write or ioctl accepts (EBADF), named after
// the simulated path in /proc/self/fd for whoever debugs a leak.
int backingDescriptor(const std::string& path) {
    const std::string name = "kestro-sim:" + path;
    const int memory = memfd_create(name.c_str(), MFD_CLOEXEC);
    if (memory < 0) return real::open("/dev/null", O_PATH | O_CLOEXEC, 0);
    const std::string self = "/proc/self/fd/" + std::to_string(memory);
    int fd = real::open(self.c_str(), O_PATH | O_CLOEXEC, 0);
    if (fd < 0) fd = real::open("/dev/null", O_PATH | O_CLOEXEC, 0);
    const int saved = errno;
    real::close(memory);
    errno = saved;
    return fd;
}

}  // namespace

SimBoard* existingBoard() {
    return theBoard;
}

SimBoard& SimBoard::instance() {
    if (theBoard == nullptr) theBoard = new SimBoard();
    return *theBoard;
}

SimBoard::SimBoard() = default;
SimBoard::~SimBoard() = default;

void SimBoard::reset() {
    buses_.clear();
    gpio_ = SimGpioChip();
    clock_ = FakeClock();
    events_.clear();
    recording_ = true;
    observer_ = nullptr;
    counters_ = Counters();
    wireDueUs_ = 0;
    staleDescriptors();
}

void SimBoard::staleDescriptors() {
    for (auto& [fd, descriptor] : descriptors_) descriptor->kind = Descriptor::Kind::Stale;
}

SimBus& SimBoard::addBus(const std::string& path) {
    auto& slot = buses_[path];
    slot = std::make_unique<SimBus>(path);
    return *slot;
}

SimBus* SimBoard::bus(const std::string& path) {
    auto it = buses_.find(path);
    return it == buses_.end() ? nullptr : it->second.get();
}

SimBus& SimBoard::busAt(const std::string& path) {
    SimBus* found = bus(path);
    if (found == nullptr) throw std::out_of_range("no simulated bus " + path);
    return *found;
}

void SimBoard::removeBus(const std::string& path) {
    buses_.erase(path);
}

std::vector<std::string> SimBoard::trace() const {
    std::vector<std::string> lines;
    for (const Event& event : events_) lines.push_back(event.str());
    return lines;
}

std::vector<std::string> SimBoard::trace(std::initializer_list<EventKind> kinds) const {
    std::vector<std::string> lines;
    for (const Event& event : events_) {
        for (EventKind kind : kinds) {
            if (event.kind == kind) lines.push_back(event.str());
        }
    }
    return lines;
}

std::vector<std::string> SimBoard::openDescriptorPaths() const {
    std::vector<std::string> paths;
    for (const auto& [fd, descriptor] : descriptors_) {
        if (descriptor->kind != Descriptor::Kind::Stale) paths.push_back(descriptor->path);
    }
    return paths;
}

SimBoard::Descriptor* SimBoard::descriptor(int fd) {
    if (descriptors_.empty()) return nullptr;
    auto it = descriptors_.find(fd);
    return it == descriptors_.end() ? nullptr : it->second.get();
}

int SimBoard::addDescriptor(std::unique_ptr<Descriptor> descriptor) {
    const int fd = backingDescriptor(descriptor->path);
    if (fd >= 0) descriptors_[fd] = std::move(descriptor);
    return fd;
}

std::unique_ptr<SimBoard::Descriptor> SimBoard::removeDescriptor(int fd) {
    auto it = descriptors_.find(fd);
    if (it == descriptors_.end()) return nullptr;
    std::unique_ptr<Descriptor> removed = std::move(it->second);
    descriptors_.erase(it);
    return removed;
}

std::unique_lock<std::recursive_mutex> SimBoard::lock() {
    static std::recursive_mutex mutex;
    return std::unique_lock<std::recursive_mutex>(mutex);
}

void SimBoard::count(const Event& event) {
    const uint64_t moved = event.result > 0 ? static_cast<uint64_t>(event.result) : 0;
    switch (event.kind) {
        case EventKind::Write:
            counters_.frames += moved > 0 ? 1 : 0;
            counters_.bytesWritten += moved;
            counters_.faults += event.fault.empty() ? 0 : 1;
            return;
        case EventKind::Read:
            counters_.reads += moved > 0 ? 1 : 0;
            counters_.bytesRead += moved;
            return;
        case EventKind::Open:
            ++counters_.opens;
            return;
        case EventKind::Probe:
            ++counters_.probes;
            return;
        case EventKind::Sleep:
            ++counters_.sleeps;
            counters_.sleptUs += event.requested;
            return;
        default:
            return;
    }
}

std::size_t SimBoard::logSleep(SleepCall call, uint64_t durationUs) {
    Event event;
    event.kind = EventKind::Sleep;
    event.path = sleepCallName(call);
    event.requested = durationUs;
    return log(std::move(event));
}

std::size_t SimBoard::log(Event event) {
    if (!recording_ && observer_ == nullptr) {
        count(event);
        return events_.size();
    }
    // A message later in a transaction than the clock is stamped ahead, when it is on the wire.
    event.timeUs = std::max(event.timeUs, clock_.nowUs());
    count(event);
    if (observer_ != nullptr) observer_(event);
    if (!recording_) return events_.size();
    events_.push_back(std::move(event));
    return events_.size() - 1;
}

}  // namespace sim
