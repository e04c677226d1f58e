#include "TimeUtils.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

namespace {

constexpr uint64_t kMsPerMinute = 60000;
constexpr uint64_t kMsPerHour = 3600000;
constexpr uint64_t kMsPerDay = 86400000;
constexpr useconds_t kWaitNapUs = 100;

char* formatLocalTime(std::time_t seconds) {
    char text[80] = {};
    std::strftime(text, sizeof text, "%a_%Y_%m_%d_%H_%M_%S", std::localtime(&seconds));
    return strdup(text);
}

}  // namespace

uint64_t millis() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

uint64_t waitMs(uint64_t ms) {
    const uint64_t target = millis() + ms;
    for (uint64_t now = millis();; now = millis()) {
        if (now >= target) {
            return now;
        }
        usleep(kWaitNapUs);
    }
}

uint32_t minuteOfHour(uint64_t timestamp) {
    return static_cast<uint32_t>(timestamp / kMsPerMinute - (timestamp / kMsPerHour) * 60);
}

uint32_t hourOfDay(uint64_t timestamp) {
    return static_cast<uint32_t>(timestamp / kMsPerHour - (timestamp / kMsPerDay) * 24);
}

char* timestampNow() {
    return formatLocalTime(std::time(nullptr));
}

char* timestampOf(uint64_t timestamp) {
    return formatLocalTime(static_cast<std::time_t>(timestamp / 1000));
}
