#pragma once

#include <cstdint>

// Wall-clock helpers. Times are milliseconds since the Unix epoch.

// Reads the wall clock: seconds * 1000 + microseconds / 1000.
uint64_t millis();

// Busy-waits in 100-microsecond naps until the clock reaches now + ms and
// returns the reading that reached it.
uint64_t waitMs(uint64_t ms);

// Minute within the hour (0..59) of a timestamp.
uint32_t minuteOfHour(uint64_t timestamp);

// Hour within the UTC day (0..23) of a timestamp.
uint32_t hourOfDay(uint64_t timestamp);

// The current local time as "Mon_2025_06_23_10_32_13", as a malloc'd text
// that the caller releases with free().
char* timestampNow();

// As timestampNow, for the local time of a timestamp.
char* timestampOf(uint64_t timestamp);
