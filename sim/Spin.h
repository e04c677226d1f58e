#pragma once
// Busy-waiting for the other side of the board link (see SharedArea.h),
// bounded and adaptive: it pays while the two sides run on two cores at
// once, and wastes the very time the other side needs when they share one
// (a loaded machine), so a side that spun in vain spins less next time.

#include <algorithm>
#include <cstdint>

namespace sim::link {

void pauseBriefly();
// The host's monotonic clock, past the simulated clock that a program's own reads see: the
// link serves those reads, so it must not make any itself.
int64_t hostMonotonicUs();

// Busy-waits until `ready()` for at most `budgetUs`.
template <typename Ready>
bool spinFor(Ready ready, int budgetUs) {
    const int64_t end = hostMonotonicUs() + budgetUs;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (ready()) return true;
            pauseBriefly();
        }
        if (hostMonotonicUs() >= end) return ready();
    }
}

// A budget halved by each spin in vain and doubled back by each that paid,
// up to `mostUs`.
class Spinner {
  public:
    explicit Spinner(int mostUs) : mostUs_(mostUs), budgetUs_(mostUs) {}

    template <typename Ready>
    bool spin(Ready ready) {
        const bool caught = spinFor(ready, budgetUs_);
        budgetUs_ = caught ? std::min(mostUs_, budgetUs_ * 2 + 1) : budgetUs_ / 2;
        return caught;
    }

  private:
    int mostUs_;
    int budgetUs_;
};

}  // namespace sim::link
