#pragma once

#include <unistd.h>

#include <cstdint>
#include <vector>

// A wall clock for this test program only: gettimeofday, time and usleep are
// answered here instead of by the C library. The clock stands still except
// when something naps, which moves it forward by the nap.
namespace fakeclock {

void setMicros(uint64_t microsSinceEpoch);

// The arguments of every usleep since the clock was last set.
const std::vector<useconds_t>& naps();

}  // namespace fakeclock
