// The wall-clock helpers, read against the simulated board's fake clock.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <string>

#include "SimBoardTest.h"
#include "TimeUtils.h"

namespace {

// Mon 23 Jun 2025 10:32:13 UTC.
constexpr uint64_t kMondaySeconds = 1750674733;
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

// Each case starts in UTC; no case of this program depends on the zone it was started in.
class Clock : public sim::SimBoardTest {
  protected:
    void SetUp() override {
        sim::SimBoardTest::SetUp();
        useZone("UTC0");
    }
    static void useZone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    // Sets the fake wall clock and forgets earlier sleeps.
    void setMicros(uint64_t microsSinceEpoch) {
        clock().setNowUs(microsSinceEpoch);
        clock().clearSleeps();
    }
};

// Each row: start, wait, the first reading at or past the target, and the naps of 100 us.
TEST_F(Clock, WaitMsNapsAHundredMicrosecondsAtATimeUntilTheTargetIsReached) {
    for (const auto& [start, ms, returned, naps] : {std::array<uint64_t, 4>{7000000, 0, 7000, 0},
                                                    {5000000, 3, 5003, 30},
                                                    {5000050, 2, 5002, 20}}) {
        setMicros(start);
        EXPECT_EQ(waitMs(ms), returned);
        EXPECT_EQ(clock().sleepDurationsUs(), std::vector<uint64_t>(naps, 100)) << start;
    }
}

// The central European zone shows that hourOfDay is UTC whatever the local zone.
TEST_F(Clock, MinuteOfHourAndHourOfDayAreThoseOfTheTimestampInUtc) {
    useZone(kCentralEurope);
    using Values = std::vector<uint32_t>;
    EXPECT_EQ((Values{minuteOfHour(3600000), minuteOfHour(59 * 60000ULL), minuteOfHour(3600000 - 1),
                      minuteOfHour(kMondaySeconds * 1000)}),
              (Values{0, 59, 59, 32}));
    EXPECT_EQ(
        (Values{hourOfDay(86400000), hourOfDay(86400000 - 1), hourOfDay(kMondaySeconds * 1000)}),
        (Values{0, 23, 10}));
}

std::string taken(char* text) {
    const std::string copy = text;
    std::free(text);
    return copy;
}

// Millis are whole seconds times a thousand plus whole milliseconds. Timestamps count whole
// seconds; the central European zone and a west zone show they are the local time.
TEST_F(Clock, ReadsAsMillisAndAsLocalTimestampsJoinedWithUnderscoresPaddedToTwoDigits) {
    setMicros(kMondaySeconds * 1000000 + 999999);
    EXPECT_EQ(millis(), kMondaySeconds * 1000 + 999);
    EXPECT_EQ(taken(timestampNow()), "Mon_2025_06_23_10_32_13");
    EXPECT_EQ(taken(timestampOf(kMondaySeconds * 1000 + 999)), "Mon_2025_06_23_10_32_13");
    EXPECT_EQ(taken(timestampOf(1735787045000)), "Thu_2025_01_02_03_04_05");
    useZone(kCentralEurope);
    EXPECT_EQ(taken(timestampNow()), "Mon_2025_06_23_12_32_13");
    useZone("EST5");
    EXPECT_EQ(taken(timestampOf(0)), "Wed_1969_12_31_19_00_00");
    setMicros(1000999);
    EXPECT_EQ(millis(), 1000U);
}

}  // namespace
