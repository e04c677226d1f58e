#pragma once
// The simulated board's clock. In real mode (the default) sleeps really sleep and the wall
// clock is the host's. In fake mode every usleep/sleep/nanosleep/
// clock_nanosleep returns at once and advances fake time by its duration, and
// gettimeofday, time and clock_gettime(CLOCK_REALTIME*) read fake time. Other
// clocks (CLOCK_MONOTONIC, ...) always pass through. Sleeps are recorded in
// both modes, each also as a Sleep event in the simulated board's event log.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class SleepCall { Usleep, Sleep, Nanosleep, ClockNanosleep };

struct SleepRecord {
    SleepCall call = SleepCall::Usleep;
    uint64_t durationUs = 0;     // requested duration (absolute clock_nanosleep: time left)
    uint64_t startUs = 0;        // wall-clock time when the sleep began
    std::size_t eventIndex = 0;  // index of the Sleep event in the simulated board's log
};

std::string sleepCallName(SleepCall call);

class FakeClock {
  public:
    // 2023-11-14 22:13:20 UTC.
    static constexpr uint64_t kDefaultStartUs = 1'700'000'000'000'000ULL;

    void useFake(uint64_t startUs = kDefaultStartUs);
    void useReal();
    bool isFake() const { return fake_; }

    // Wall-clock microseconds since the epoch (fake or real).
    uint64_t nowUs() const;
    uint64_t nowMs() const { return nowUs() / 1000; }
    // How far waits have moved fake time since it started (0 in real mode).
    uint64_t advancedUs() const { return fake_ && fakeNowUs_ > startUs_ ? fakeNowUs_ - startUs_ : 0; }
    // Fake mode only: move fake time.
    void setNowUs(uint64_t us) { fakeNowUs_ = us; }
    void advanceUs(uint64_t us) { fakeNowUs_ += us; }

    const std::vector<SleepRecord>& sleeps() const { return sleeps_; }
    std::vector<uint64_t> sleepDurationsUs() const;
    uint64_t totalSleptUs() const;
    void clearSleeps() { sleeps_.clear(); }

    // Interposer side: records a sleep (when `keep`), advances fake time in
    // fake mode, and tells whether the caller must really sleep.
    bool noteSleep(SleepCall call, uint64_t durationUs, std::size_t eventIndex, bool keep = true);
    // Records a sleep (when `keep`) and leaves the time alone: the board of a
    // run moves it for all its processes at once.
    void recordSleep(SleepCall call, uint64_t durationUs, std::size_t eventIndex, bool keep);

  private:
    bool fake_ = false;
    uint64_t fakeNowUs_ = kDefaultStartUs;
    uint64_t startUs_ = kDefaultStartUs;
    std::vector<SleepRecord> sleeps_;
};

}  // namespace sim
