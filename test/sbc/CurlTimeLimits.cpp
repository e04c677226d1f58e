#include "CurlTimeLimits.h"

#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>

namespace {

CurlTimeLimits recorded;
long shortening = 1;

using SetOpt = CURLcode (*)(CURL*, CURLoption, ...);

SetOpt realSetOpt() {
    static const auto setOpt = reinterpret_cast<SetOpt>(dlsym(RTLD_NEXT, "curl_easy_setopt"));
    return setOpt;
}

constexpr long kMsPerS = 1000;

CURLcode setLong(CURL* handle, CURLoption option, long value) {
    switch (option) {
        case CURLOPT_CONNECTTIMEOUT:
            recorded.connect = value;
            return realSetOpt()(handle, CURLOPT_CONNECTTIMEOUT_MS, value * kMsPerS / shortening);
        case CURLOPT_TIMEOUT:
            recorded.total = value;
            return realSetOpt()(handle, CURLOPT_TIMEOUT_MS, value * kMsPerS / shortening);
        case CURLOPT_LOW_SPEED_TIME:
            recorded.lowSpeedTime = value;
            return realSetOpt()(handle, option, std::max(1L, value / shortening));
        case CURLOPT_LOW_SPEED_LIMIT:
            recorded.lowSpeedBytes = value;
            return realSetOpt()(handle, option, value);
        default:
            return realSetOpt()(handle, option, value);
    }
}

}  // namespace

CurlTimeLimits recordedCurlTimeLimits() {
    return recorded;
}

void resetCurlTimeLimits() {
    recorded = CurlTimeLimits{};
}

void shortenCurlTimeLimits(long divisor) {
    shortening = divisor;
}

// Every option passes through to libcurl with its value of the type its number stands for.
extern "C" CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
    va_list args;
    va_start(args, option);
    CURLcode result;
    if (option < CURLOPTTYPE_OBJECTPOINT) {
        result = setLong(handle, option, va_arg(args, long));
    } else if (option >= CURLOPTTYPE_OFF_T && option < CURLOPTTYPE_BLOB) {
        result = realSetOpt()(handle, option, va_arg(args, curl_off_t));
    } else {
        result = realSetOpt()(handle, option, va_arg(args, void*));
    }
    va_end(args);
    return result;
}
