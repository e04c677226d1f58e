#pragma once
// The scenario's timeline played on the run's board: each event applies
// once its time (from the launcher's start, on the run's clock: simulated
// with --fast) has come, in order, checked whenever the board handles a
// request of a program or the device API answers one.

#include <chrono>
#include <cstddef>
#include <vector>

#include "Scenario.h"

namespace sim {

class Timeline {
  public:
    Timeline(std::vector<TimelineEvent> events, LiveDeviceApi& api, bool fast);

    // Applies the events whose time has come.
    void catchUp();

  private:
    uint64_t elapsedUs() const;
    void apply(const TimelineEvent& event);

    std::vector<TimelineEvent> events_;
    std::size_t next_ = 0;
    LiveDeviceApi& api_;
    bool fast_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace sim
