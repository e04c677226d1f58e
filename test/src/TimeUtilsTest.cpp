// The wall-clock helpers, read against the bed's fake clock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "BedTest.h"
#include "TimeUtils.h"

namespace {

// Mon 23 Jun 2025 10:32:13 UTC.
constexpr uint64_t kMondaySeconds = 1750674733;
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

// Each case starts in UTC; no case of this program depends on the zone it was started in.
class Clock : public bed::BedTest {
  protected:
    void SetUp() override {
        bed::BedTest::SetUp();
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

TEST_F(Clock, MillisIsWholeSecondsTimesAThousandPlusWholeMilliseconds) {
    setMicros(kMondaySeconds * 1000000 + 999999);
    EXPECT_EQ(millis(), kMondaySeconds * 1000 + 999);
    setMicros(1000999);
    EXPECT_EQ(millis(), 1000U);
}

struct Wait {
    uint64_t startMicros;
    uint64_t ms;
    uint64_t returned;  // the first reading at or past the target
    std::size_t naps;   // of 100 us each
};

class WaitMs : public Clock, public testing::WithParamInterface<Wait> {};

TEST_P(WaitMs, NapsAHundredMicrosecondsAtATimeUntilTheTargetIsReached) {
    setMicros(GetParam().startMicros);
    EXPECT_EQ(waitMs(GetParam().ms), GetParam().returned);
    EXPECT_EQ(clock().sleepDurationsUs(), std::vector<uint64_t>(GetParam().naps, 100));
}

INSTANTIATE_TEST_SUITE_P(Waits, WaitMs,
                         testing::Values(Wait{7000000, 0, 7000, 0}, Wait{5000000, 3, 5003, 30},
                                         Wait{5000050, 2, 5002, 20}));

struct Field {
    uint32_t (*of)(uint64_t);
    uint64_t timestamp;
    uint32_t expected;
};

class ClockField : public Clock, public testing::WithParamInterface<Field> {};

// The central European zone shows that hourOfDay is UTC whatever the local zone.
TEST_P(ClockField, OfATimestampIsItsMinuteOrUtcHour) {
    useZone(kCentralEurope);
    EXPECT_EQ(GetParam().of(GetParam().timestamp), GetParam().expected) << GetParam().timestamp;
}

INSTANTIATE_TEST_SUITE_P(MinutesAndHours, ClockField,
                         testing::Values(Field{minuteOfHour, 3600000, 0},
                                         Field{minuteOfHour, 59 * 60000ULL, 59},
                                         Field{minuteOfHour, 3600000 - 1, 59},
                                         Field{minuteOfHour, kMondaySeconds * 1000, 32},
                                         Field{hourOfDay, 86400000, 0},
                                         Field{hourOfDay, 86400000 - 1, 23},
                                         Field{hourOfDay, kMondaySeconds * 1000, 10}));

std::string taken(char* text) {
    const std::string copy = text;
    std::free(text);
    return copy;
}

// The central European zone and a west zone show the local time; the whole seconds count.
TEST_F(Clock, TimestampsAreTheLocalTimeJoinedWithUnderscoresPaddedToTwoDigits) {
    setMicros(kMondaySeconds * 1000000 + 999999);
    EXPECT_EQ(taken(timestampNow()), "Mon_2025_06_23_10_32_13");
    EXPECT_EQ(taken(timestampOf(kMondaySeconds * 1000 + 999)), "Mon_2025_06_23_10_32_13");
    EXPECT_EQ(taken(timestampOf(1735787045000)), "Thu_2025_01_02_03_04_05");
    useZone(kCentralEurope);
    EXPECT_EQ(taken(timestampNow()), "Mon_2025_06_23_12_32_13");
    useZone("EST5");
    EXPECT_EQ(taken(timestampOf(0)), "Wed_1969_12_31_19_00_00");
}

}  // namespace
