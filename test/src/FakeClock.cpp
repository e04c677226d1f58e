#include "FakeClock.h"

#include <sys/time.h>

#include <ctime>

namespace {

uint64_t nowMicros = 0;
std::vector<useconds_t> recordedNaps;

}  // namespace

namespace fakeclock {

void setMicros(uint64_t microsSinceEpoch) {
    nowMicros = microsSinceEpoch;
    recordedNaps.clear();
}

const std::vector<useconds_t>& naps() {
    return recordedNaps;
}

}  // namespace fakeclock

extern "C" int gettimeofday(struct timeval* __restrict tv, void* __restrict) noexcept {
    tv->tv_sec = static_cast<time_t>(nowMicros / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(nowMicros % 1000000);
    return 0;
}

extern "C" time_t time(time_t* out) noexcept {
    const auto seconds = static_cast<time_t>(nowMicros / 1000000);
    if (out != nullptr) {
        *out = seconds;
    }
    return seconds;
}

extern "C" int usleep(useconds_t micros) {
    recordedNaps.push_back(micros);
    nowMicros += micros;
    return 0;
}
