#include "Waits.h"

#include <atomic>
#include <cerrno>

#include "BoardLink.h"
#include "Devices.h"
#include "RealLibc.h"
#include "SharedArea.h"

namespace sim::waits {

namespace {

thread_local int realTimeScopes = 0;
std::atomic<int> transfersUnderWay{0};

bool onTheRunsClock(uint64_t durationUs) {
    return durationUs > 0 && realTimeScopes == 0 && transfersUnderWay == 0 && devices::fastRun();
}

bool anyReady(const std::vector<pollfd>& watched, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (watched[i].revents != 0) return true;
    }
    return false;
}

// Ends the wait early with the call's own outcome, errno included.
int endEarly(uint64_t untilUs, int outcome) {
    const int error = errno;
    devices::endWait(untilUs);
    errno = error;
    return outcome;
}

}  // namespace

RealTime::RealTime() {
    ++realTimeScopes;
}

RealTime::~RealTime() {
    --realTimeScopes;
}

void transferStarted() {
    ++transfersUnderWay;
}

void transferEnded() {
    --transfersUnderWay;
}

std::optional<int> wait(std::vector<pollfd> watched, uint64_t durationUs, const sigset_t* mask,
                        const std::function<int()>& look) {
    if (!onTheRunsClock(durationUs)) return std::nullopt;
    if (const int found = look(); found != 0) return found;
    uint64_t untilUs = 0;
    int bell = -1;
    if (!devices::beginWait(durationUs, untilUs, bell)) return std::nullopt;
    const std::size_t own = watched.size();
    watched.push_back({bell, POLLIN, 0});
    // A bell lost to another thread of the process costs a slice, never the wait's end.
    const timespec slice{0, link::kWaitSliceMs * 1'000'000L};
    for (;;) {
        if (real::ppoll(watched.data(), watched.size(), &slice, mask) < 0)
            return endEarly(untilUs, -1);
        if (anyReady(watched, own)) {
            if (const int found = look(); found != 0) return endEarly(untilUs, found);
        }
        const short rung = watched.back().revents;
        // The board gone, or the link cut by the program: the wait is over as far as it goes.
        if ((rung & (POLLHUP | POLLERR | POLLNVAL)) != 0 ||
            ((rung & POLLIN) != 0 && !link::takeBells(bell))) {
            return look();
        }
        if (devices::waitOver(untilUs)) return look();
    }
}

}  // namespace sim::waits
