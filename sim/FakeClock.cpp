#include "FakeClock.h"

#include <sys/time.h>

#include <numeric>

#include "RealLibc.h"

namespace sim {

std::string sleepCallName(SleepCall call) {
    switch (call) {
        case SleepCall::Usleep:
            return "usleep";
        case SleepCall::Sleep:
            return "sleep";
        case SleepCall::Nanosleep:
            return "nanosleep";
        default:
            return "clock_nanosleep";
    }
}

void FakeClock::useFake(uint64_t startUs) {
    fake_ = true;
    fakeNowUs_ = startUs;
    startUs_ = startUs;
}

void FakeClock::useReal() {
    fake_ = false;
}

uint64_t FakeClock::nowUs() const {
    if (fake_) return fakeNowUs_;
    return real::wallClockUs();
}

std::vector<uint64_t> FakeClock::sleepDurationsUs() const {
    std::vector<uint64_t> durations;
    for (const SleepRecord& record : sleeps_) durations.push_back(record.durationUs);
    return durations;
}

uint64_t FakeClock::totalSleptUs() const {
    return std::accumulate(sleeps_.begin(), sleeps_.end(), uint64_t{0},
                           [](uint64_t sum, const SleepRecord& r) { return sum + r.durationUs; });
}

void FakeClock::recordSleep(SleepCall call, uint64_t durationUs, std::size_t eventIndex, bool keep) {
    if (!keep) return;
    sleeps_.push_back(
        SleepRecord{.call = call, .durationUs = durationUs, .startUs = nowUs(), .eventIndex = eventIndex});
}

bool FakeClock::noteSleep(SleepCall call, uint64_t durationUs, std::size_t eventIndex, bool keep) {
    recordSleep(call, durationUs, eventIndex, keep);
    if (!fake_) return true;
    fakeNowUs_ += durationUs;
    return false;
}

}  // namespace sim
