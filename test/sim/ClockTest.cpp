#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "BedTest.h"
#include "BusIo.h"

namespace bed::selftest {
namespace {

using ::testing::ElementsAre;

uint64_t monotonicUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000ULL +
           static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

class BedFakeClockTest : public BedTest {};

TEST_F(BedFakeClockTest, SleepsReturnAtOnceAndMoveTheWallClock) {
    const uint64_t startedUs = monotonicUs();
    ::usleep(100000);
    ::sleep(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_LT(monotonicUs() - startedUs, 100000u);
    EXPECT_THAT(clock().sleepDurationsUs(), ElementsAre(100000u, 1000000u, 5000u));
    EXPECT_EQ(clock().sleeps()[1].call, SleepCall::Sleep);
    EXPECT_EQ(clock().nowUs(), FakeClock::kDefaultStartUs + 1'105'000u);
}

TEST_F(BedFakeClockTest, EveryWallClockReadsFakeTime) {
    clock().setNowUs(1'700'000'123'456'789ULL);
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    EXPECT_EQ(tv.tv_sec, 1'700'000'123);
    EXPECT_EQ(tv.tv_usec, 456'789);
    EXPECT_EQ(ts.tv_nsec, 456'789'000);
    EXPECT_EQ(::time(nullptr), 1'700'000'123);
    const auto chrono = std::chrono::system_clock::now().time_since_epoch();
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::microseconds>(chrono).count(),
              1'700'000'123'456'789LL);
}

TEST_F(BedFakeClockTest, AnAbsoluteSleepWaitsUntilItsDeadline) {
    timespec deadline{};
    ::clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 2;
    EXPECT_EQ(::clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &deadline, nullptr), 0);
    EXPECT_THAT(clock().sleepDurationsUs(), ElementsAre(2'000'000u));
    EXPECT_EQ(::time(nullptr), deadline.tv_sec);
}

TEST_F(BedFakeClockTest, SleepsTakeTheirPlaceAmongBusTransactions) {
    SimNode& node = addNode(0x10);
    Fd fd(openAt("/dev/i2c-3", 0x10));
    sendFrame(fd.get(), {0xE0});
    ::usleep(100000);
    receiveFrame(fd.get());
    EXPECT_THAT(bed().trace({EventKind::Write, EventKind::Read, EventKind::Sleep}),
                ElementsAre("write 0x10 7", "usleep 100000", "read 0x10 3", "read 0x10 13"));
    EXPECT_EQ(bed().events().back().timeUs, FakeClock::kDefaultStartUs + 100000u);
    EXPECT_EQ(node.lastRequest().timeUs, FakeClock::kDefaultStartUs);
}

TEST_F(BedFakeClockTest, WithRecordingOffOnlyTimeMoves) {
    SimNode& node = addNode(0x10);
    bed().setRecording(false);
    Fd fd(openAt("/dev/i2c-3", 0x10));
    sendFrame(fd.get(), {0xE0});
    ::usleep(100000);
    EXPECT_EQ(decodeFrame(receiveFrame(fd.get())).payload.size(), 10u);
    EXPECT_TRUE(bed().events().empty());
    EXPECT_TRUE(clock().sleeps().empty());
    EXPECT_TRUE(node.requests().empty());
    EXPECT_EQ(clock().nowUs(), FakeClock::kDefaultStartUs + 100000u);
}

class BedRealClockTest : public BedTest {
  protected:
    BedRealClockTest() : BedTest(ClockMode::Real) {}
};

TEST_F(BedRealClockTest, SleepsReallySleepAndAreStillRecorded) {
    const uint64_t startedUs = monotonicUs();
    ::usleep(20000);
    EXPECT_GE(monotonicUs() - startedUs, 20000u);
    EXPECT_THAT(clock().sleepDurationsUs(), ElementsAre(20000u));
    EXPECT_NEAR(static_cast<double>(::time(nullptr)),
                static_cast<double>(clock().nowUs() / 1'000'000), 2.0);
}

}  // namespace
}  // namespace bed::selftest
