#pragma once

// The time limits the code under test put on its libcurl transfers, in the units it set them
// (seconds, and bytes per second for the low-speed limit); 0 when not set.
struct CurlTimeLimits {
    long connect = 0;
    long lowSpeedBytes = 0;
    long lowSpeedTime = 0;
    long total = 0;

    bool operator==(const CurlTimeLimits&) const = default;
};

// What was set since the last reset.
CurlTimeLimits recordedCurlTimeLimits();
void resetCurlTimeLimits();

// From now on the time limits reach libcurl divided by `divisor` (the low-speed time is whole
// seconds, at least 1), so that a test can meet a limit of the code under test in about a
// second; 1 passes them unchanged.
void shortenCurlTimeLimits(long divisor);
