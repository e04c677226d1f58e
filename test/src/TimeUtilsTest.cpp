// The wall-clock helpers, read against the bed's fake clock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "BedTest.h"
#include "TimeUtils.h"

namespace {

// Mon 23 Jun 2025 10:32:13 UTC.
constexpr uint64_t kMondaySeconds = 1750674733;
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

class Clock : public bed::BedTest {
  protected:
    // Sets the fake wall clock and forgets earlier sleeps.
    void setMicros(uint64_t microsSinceEpoch) {
        clock().setNowUs(microsSinceEpoch);
        clock().clearSleeps();
    }
};

// Runs each case in a chosen time zone and puts the original one back.
class TimeZone : public Clock {
  protected:
    void SetUp() override {
        Clock::SetUp();
        if (const char* tz = std::getenv("TZ")) {
            _saved = tz;
        }
        use("UTC0");
    }
    void TearDown() override {
        if (_saved) {
            setenv("TZ", _saved->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
        Clock::TearDown();
    }
    static void use(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    static std::string taken(char* text) {
        std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
        return owned.get();
    }

  private:
    std::optional<std::string> _saved;
};

TEST_F(Clock, MillisIsWholeSecondsTimesAThousandPlusWholeMilliseconds) {
    setMicros(kMondaySeconds * 1000000 + 999999);
    EXPECT_EQ(millis(), kMondaySeconds * 1000 + 999);
}

TEST_F(Clock, MillisDropsTheMicrosecondsBelowAMillisecond) {
    setMicros(1000999);
    EXPECT_EQ(millis(), 1000U);
}

TEST_F(Clock, WaitMsOfZeroReturnsAtOnceWithTheCurrentReading) {
    setMicros(7000000);
    EXPECT_EQ(waitMs(0), 7000U);
    EXPECT_TRUE(clock().sleeps().empty());
}

TEST_F(Clock, WaitMsNapsAHundredMicrosecondsAtATimeUntilTheTargetIsReached) {
    setMicros(5000000);
    EXPECT_EQ(waitMs(3), 5003U);
    EXPECT_EQ(clock().sleepDurationsUs(), std::vector<uint64_t>(30, 100));
}

TEST_F(Clock, WaitMsReturnsTheFirstReadingAtOrPastTheTarget) {
    setMicros(5000050);
    EXPECT_EQ(waitMs(2), 5002U);
    EXPECT_EQ(clock().sleeps().size(), 20U);
}

TEST_F(Clock, MinuteOfHourOfAWholeHourIsZero) {
    EXPECT_EQ(minuteOfHour(3600000), 0U);
}

TEST_F(Clock, MinuteOfHourOfTheLastMinuteIsFiftyNine) {
    EXPECT_EQ(minuteOfHour(59 * 60000ULL), 59U);
    EXPECT_EQ(minuteOfHour(3600000 - 1), 59U);
}

TEST_F(Clock, MinuteOfHourOfARealMomentIsItsMinute) {
    EXPECT_EQ(minuteOfHour(kMondaySeconds * 1000), 32U);
}

TEST_F(Clock, HourOfDayOfAWholeDayIsZero) {
    EXPECT_EQ(hourOfDay(86400000), 0U);
}

TEST_F(Clock, HourOfDayOfTheLastHourIsTwentyThree) {
    EXPECT_EQ(hourOfDay(86400000 - 1), 23U);
}

TEST_F(TimeZone, HourOfDayIsInUtcWhateverTheLocalZone) {
    use(kCentralEurope);
    EXPECT_EQ(hourOfDay(kMondaySeconds * 1000), 10U);
}

TEST_F(TimeZone, TimestampNowJoinsWeekdayDateAndTimeWithUnderscores) {
    setMicros(kMondaySeconds * 1000000);
    EXPECT_EQ(taken(timestampNow()), "Mon_2025_06_23_10_32_13");
}

TEST_F(TimeZone, TimestampNowIsInLocalTime) {
    use(kCentralEurope);
    setMicros(kMondaySeconds * 1000000 + 999999);
    EXPECT_EQ(taken(timestampNow()), "Mon_2025_06_23_12_32_13");
}

TEST_F(TimeZone, TimestampOfUsesTheWholeSecondsOfTheTimestamp) {
    EXPECT_EQ(taken(timestampOf(kMondaySeconds * 1000 + 999)), "Mon_2025_06_23_10_32_13");
}

TEST_F(TimeZone, TimestampOfPadsMonthDayAndTimeToTwoDigits) {
    EXPECT_EQ(taken(timestampOf(1735787045000)), "Thu_2025_01_02_03_04_05");
}

TEST_F(TimeZone, TimestampOfTheEpochInAWestZoneIsTheDayBefore) {
    use("EST5");
    EXPECT_EQ(taken(timestampOf(0)), "Wed_1969_12_31_19_00_00");
}

}  // namespace
