#pragma once
// A program's waits in poll(), ppoll(), epoll_wait(), select() and their kin
// on a run's fast clock. A wait with a timeout that nothing ends at once
// (its descriptors are looked at first) waits on the run's clock as a
// sleep does, so that a program's event loop lives through simulated hours
// in seconds; its descriptors are watched for real meanwhile, in the same
// poll() as the board's bell, and one that becomes ready ends the wait at
// the clock's time then. Waits without a timeout, waits of a thread in a
// libcurl transfer, and every wait while a transfer of libcurl's multi
// interface is under way (their peers are real servers, whose time-outs
// libcurl counts on the program's clock), take real time.

#include <poll.h>
#include <signal.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace sim::waits {

// While one lives, the calling thread's waits take real time.
class RealTime {
  public:
    RealTime();
    ~RealTime();
    RealTime(const RealTime&) = delete;
    RealTime& operator=(const RealTime&) = delete;
};

// The call `look` (the program's call without a timeout: what it returns,
// and the program's descriptors' readiness where it leaves it) until it
// finds something or `durationUs` have passed on the run's clock, while
// `watched` (those descriptors as poll() takes them) are watched under
// `mask` (ppoll's). Nothing when the wait is no wait on a fast clock: the
// caller makes its call as it stands.
// A transfer of libcurl's multi interface began or ended in this process.
void transferStarted();
void transferEnded();

std::optional<int> wait(std::vector<pollfd> watched, uint64_t durationUs, const sigset_t* mask,
                        const std::function<int()>& look);

}  // namespace sim::waits
