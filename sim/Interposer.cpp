// The C library entry points the simulated board takes over. Each one hands a simulated
// path or descriptor to the simulated board and everything else to the C library. This
// file is built without _FORTIFY_SOURCE so that the definitions below are the
// plain functions and not the fortified inline wrappers.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "BoardClient.h"
#include "Devices.h"
#include "GpioV2.h"
#include "Listings.h"
#include "RealLibc.h"
#include "Waits.h"

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

extern "C" [[noreturn]] void __chk_fail(void);

namespace {

namespace devices = sim::devices;
namespace listings = sim::listings;

// The 64-bit variants below are the same functions, as the C library's are
// where off_t is 64 bits wide.
static_assert(sizeof(off_t) == sizeof(off64_t) && sizeof(dirent) == sizeof(dirent64));
using sim::SleepCall;

bool takesMode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

mode_t modeArgument(int flags, va_list arguments) {
    return takesMode(flags) ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

int openPath(const char* path, int flags, mode_t mode) {
    if (devices::simulatedPath(path)) return devices::open(path, flags);
    return sim::real::open(path, flags, mode);
}

int openPathAt(int dirfd, const char* path, int flags, mode_t mode) {
    if (devices::simulatedPath(path)) return devices::open(path, flags);
    return sim::real::openat(dirfd, path, flags, mode);
}

uint64_t microsecondsOf(const timespec& ts) {
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000ULL +
           (static_cast<uint64_t>(ts.tv_nsec) + 999ULL) / 1000ULL;
}

bool validInterval(const timespec* ts) {
    return ts != nullptr && ts->tv_sec >= 0 && ts->tv_nsec >= 0 && ts->tv_nsec < 1'000'000'000L;
}

bool isWallClock(clockid_t clock) {
    return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE;
}

bool isMonotonicClock(clockid_t clock) {
    return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW || clock == CLOCK_MONOTONIC_COARSE ||
           clock == CLOCK_BOOTTIME;
}

// With the fake clock, monotonic clocks are simulated too: they start at kMonotonicStartUs
// and move only as the fake clock does, so that a deadline a program set on one is met, on
// the board's clock, exactly when its wait returns.
constexpr uint64_t kMonotonicStartUs = 1'000'000'000ULL;

int fakeMonotonic(clockid_t clock, timespec* out) {
    uint64_t advancedUs = 0;
    if (out == nullptr || !devices::fakeClockAdvance(advancedUs)) return sim::real::clockGettime(clock, out);
    const uint64_t nowUs = kMonotonicStartUs + advancedUs;
    out->tv_sec = static_cast<time_t>(nowUs / 1'000'000ULL);
    out->tv_nsec = static_cast<long>(nowUs % 1'000'000ULL) * 1000L;
    return 0;
}

uint64_t clockNowUs(clockid_t clock) {
    uint64_t now = 0;
    if (isWallClock(clock) && devices::fakeWallClock(now)) return now;
    timespec ts{};
    if (isMonotonicClock(clock)) {
        fakeMonotonic(clock, &ts);
    } else {
        sim::real::clockGettime(clock, &ts);
    }
    return microsecondsOf(ts);
}

uint64_t microsecondsOf(int timeoutMs) {
    return timeoutMs > 0 ? static_cast<uint64_t>(timeoutMs) * 1000ULL : 0;
}

// A wait without a timeout (nullptr), or with an invalid one, is no wait on the run's clock.
uint64_t microsecondsOf(const timespec* timeout) {
    return validInterval(timeout) ? microsecondsOf(*timeout) : 0;
}

uint64_t microsecondsOf(const timeval* timeout) {
    if (timeout == nullptr || timeout->tv_sec < 0 || timeout->tv_usec < 0 ||
        timeout->tv_usec >= 1'000'000L) {
        return 0;
    }
    return static_cast<uint64_t>(timeout->tv_sec) * 1'000'000ULL +
           static_cast<uint64_t>(timeout->tv_usec);
}

int waitInPoll(pollfd* fds, nfds_t count, uint64_t durationUs, const sigset_t* mask) {
    const timespec none{};
    const std::optional<int> outcome =
        sim::waits::wait(std::vector<pollfd>(fds, fds + count), durationUs, mask,
                         [&] { return sim::real::ppoll(fds, count, &none, mask); });
    return outcome.value_or(-2);
}

// select() and pselect() with no time to wait, on the sets as the program gave them.
class SetsLook {
  public:
    SetsLook(int count, fd_set* readable, fd_set* writable, fd_set* exceptional)
        : count_(count), sets_{readable, writable, exceptional} {
        for (int i = 0; i < 3; ++i) {
            if (sets_[i] != nullptr) asked_[i] = *sets_[i];
        }
    }

    int operator()(const sigset_t* mask) {
        for (int i = 0; i < 3; ++i) {
            if (sets_[i] != nullptr) *sets_[i] = asked_[i];
        }
        const timespec none{};
        return sim::real::pselect(count_, sets_[0], sets_[1], sets_[2], &none, mask);
    }

    std::vector<pollfd> watched() const {
        static constexpr short kEvents[3] = {POLLIN, POLLOUT, POLLPRI};
        std::vector<pollfd> watched;
        for (int fd = 0; fd < count_; ++fd) {
            short events = 0;
            for (int i = 0; i < 3; ++i) {
                if (sets_[i] != nullptr && FD_ISSET(fd, &asked_[i])) events |= kEvents[i];
            }
            if (events != 0) watched.push_back({fd, events, 0});
        }
        return watched;
    }

  private:
    int count_;
    fd_set* sets_[3];
    fd_set asked_[3]{};
};

// -2 when the wait is no wait on the run's clock.
int waitInSelect(int count, fd_set* readable, fd_set* writable, fd_set* exceptional,
                 uint64_t durationUs, const sigset_t* mask) {
    if (count < 0 || count > FD_SETSIZE) return -2;
    SetsLook look(count, readable, writable, exceptional);
    return sim::waits::wait(look.watched(), durationUs, mask, [&] { return look(mask); })
        .value_or(-2);
}

int waitInEpoll(int epfd, epoll_event* events, int most, uint64_t durationUs,
                const sigset_t* mask) {
    return sim::waits::wait({{epfd, POLLIN, 0}}, durationUs, mask,
                            [&] { return sim::real::epollPwait(epfd, events, most, 0, mask); })
        .value_or(-2);
}

}  // namespace

SIM_EXPORT int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openPath(path, flags, mode);
}

SIM_EXPORT int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openPath(path, flags, mode);
}

SIM_EXPORT int openat(int dirfd, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openPathAt(dirfd, path, flags, mode);
}

SIM_EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openPathAt(dirfd, path, flags, mode);
}

SIM_EXPORT int __open_2(const char* path, int flags) {
    return openPath(path, flags, 0);
}
SIM_EXPORT int __open64_2(const char* path, int flags) {
    return openPath(path, flags, 0);
}
SIM_EXPORT int __openat_2(int dirfd, const char* path, int flags) {
    return openPathAt(dirfd, path, flags, 0);
}
SIM_EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
    return openPathAt(dirfd, path, flags, 0);
}

SIM_EXPORT int close(int fd) {
    // The board link stays open whatever the program closes.
    if (sim::client::ownsDescriptor(fd)) return 0;
    if (devices::simulatedFd(fd)) return devices::close(fd);
    return sim::real::close(fd);
}

SIM_EXPORT ssize_t read(int fd, void* buffer, size_t count) {
    if (devices::simulatedFd(fd)) return devices::read(fd, buffer, count);
    return sim::real::read(fd, buffer, count);
}

SIM_EXPORT ssize_t __read_chk(int fd, void* buffer, size_t count, size_t bufferSize) {
    if (!devices::simulatedFd(fd)) return sim::real::readChecked(fd, buffer, count, bufferSize);
    if (count > bufferSize) __chk_fail();
    return devices::read(fd, buffer, count);
}

SIM_EXPORT ssize_t write(int fd, const void* buffer, size_t count) {
    if (devices::simulatedFd(fd)) return devices::write(fd, buffer, count);
    return sim::real::write(fd, buffer, count);
}

SIM_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    // The kernel takes the request as 32 bits, so a caller that sign-extends it (libgpiod 2
    // does) still names the same command.
    if (devices::simulatedFd(fd)) return devices::ioctl(fd, static_cast<unsigned>(request), argument);
    return sim::real::ioctl(fd, request, argument);
}

SIM_EXPORT int stat(const char* path, struct stat* buffer) noexcept {
    if (devices::simulatedPath(path)) return devices::statPath(path, buffer);
    return sim::real::stat(path, buffer);
}

SIM_EXPORT int stat64(const char* path, struct stat64* buffer) noexcept {
    return stat(path, reinterpret_cast<struct stat*>(buffer));
}

SIM_EXPORT int lstat(const char* path, struct stat* buffer) noexcept {
    if (devices::simulatedPath(path)) return devices::statPath(path, buffer);
    return sim::real::lstat(path, buffer);
}

SIM_EXPORT int lstat64(const char* path, struct stat64* buffer) noexcept {
    return lstat(path, reinterpret_cast<struct stat*>(buffer));
}

SIM_EXPORT int fstat(int fd, struct stat* buffer) noexcept {
    if (devices::simulatedFd(fd)) return devices::statFd(fd, buffer);
    return sim::real::fstat(fd, buffer);
}

SIM_EXPORT int fstat64(int fd, struct stat64* buffer) noexcept {
    return fstat(fd, reinterpret_cast<struct stat*>(buffer));
}

SIM_EXPORT int fstatat(int dirfd, const char* path, struct stat* buffer, int flags) noexcept {
    if (devices::simulatedPath(path)) return devices::statPath(path, buffer);
    if ((flags & AT_EMPTY_PATH) != 0 && path[0] == '\0' && devices::simulatedFd(dirfd)) {
        return devices::statFd(dirfd, buffer);
    }
    return sim::real::fstatat(dirfd, path, buffer, flags);
}

SIM_EXPORT int fstatat64(int dirfd, const char* path, struct stat64* buffer, int flags) noexcept {
    return fstatat(dirfd, path, reinterpret_cast<struct stat*>(buffer), flags);
}

SIM_EXPORT int statx(int dirfd, const char* path, int flags, unsigned mask,
                     struct statx* buffer) noexcept {
    if (devices::simulatedPath(path)) return devices::statxPath(path, buffer);
    if ((flags & AT_EMPTY_PATH) != 0 && path[0] == '\0' && devices::simulatedFd(dirfd)) {
        return devices::statxFd(dirfd, buffer);
    }
    return sim::real::statx(dirfd, path, flags, mask, buffer);
}

SIM_EXPORT int access(const char* path, int mode) noexcept {
    if (devices::simulatedPath(path)) return devices::access(path, mode);
    return sim::real::access(path, mode);
}

SIM_EXPORT int faccessat(int dirfd, const char* path, int mode, int flags) noexcept {
    if (devices::simulatedPath(path)) return devices::access(path, mode);
    return sim::real::faccessat(dirfd, path, mode, flags);
}

SIM_EXPORT ssize_t getxattr(const char* path, const char* name, void* value, size_t size) noexcept {
    if (devices::simulatedPath(path)) return devices::extendedAttribute(path);
    return sim::real::getxattr(path, name, value, size);
}

SIM_EXPORT ssize_t lgetxattr(const char* path, const char* name, void* value, size_t size) noexcept {
    if (devices::simulatedPath(path)) return devices::extendedAttribute(path);
    return sim::real::lgetxattr(path, name, value, size);
}

SIM_EXPORT char* realpath(const char* path, char* resolved) noexcept {
    if (sim::gpiov2::isSubsystemLink(path)) return sim::gpiov2::resolveSubsystemLink(resolved);
    return sim::real::realpath(path, resolved);
}

SIM_EXPORT FILE* fopen(const char* path, const char* mode) {
    if (devices::simulatedPath(path) && listings::attributePath(path)) {
        return listings::openAttribute(path, mode);
    }
    return sim::real::fopen(path, mode);
}

SIM_EXPORT FILE* fopen64(const char* path, const char* mode) {
    return fopen(path, mode);
}

SIM_EXPORT DIR* opendir(const char* path) {
    if (listings::listedPath(path)) return listings::open(path);
    return sim::real::opendir(path);
}

SIM_EXPORT dirent* readdir(DIR* stream) {
    if (listings::ownStream(stream)) return listings::next(stream);
    return sim::real::readdir(stream);
}

SIM_EXPORT dirent64* readdir64(DIR* stream) {
    return reinterpret_cast<dirent64*>(readdir(stream));
}

SIM_EXPORT int closedir(DIR* stream) {
    if (listings::ownStream(stream)) return listings::close(stream);
    return sim::real::closedir(stream);
}

SIM_EXPORT int dirfd(DIR* stream) noexcept {
    if (listings::ownStream(stream)) return listings::descriptor(stream);
    return sim::real::dirfd(stream);
}

SIM_EXPORT void rewinddir(DIR* stream) noexcept {
    if (listings::ownStream(stream)) return listings::rewind(stream);
    sim::real::rewinddir(stream);
}

SIM_EXPORT long telldir(DIR* stream) noexcept {
    if (listings::ownStream(stream)) return listings::position(stream);
    return sim::real::telldir(stream);
}

SIM_EXPORT void seekdir(DIR* stream, long position) noexcept {
    if (listings::ownStream(stream)) return listings::seek(stream, position);
    sim::real::seekdir(stream, position);
}

SIM_EXPORT int scandir(const char* path, dirent*** list, int (*filter)(const dirent*),
                       int (*order)(const dirent**, const dirent**)) {
    if (listings::listedPath(path)) return listings::scan(path, list, filter, order);
    return sim::real::scandir(path, list, filter, order);
}

SIM_EXPORT int scandir64(const char* path, dirent64*** list, int (*filter)(const dirent64*),
                         int (*order)(const dirent64**, const dirent64**)) {
    return scandir(path, reinterpret_cast<dirent***>(list),
                   reinterpret_cast<int (*)(const dirent*)>(filter),
                   reinterpret_cast<int (*)(const dirent**, const dirent**)>(order));
}

SIM_EXPORT int usleep(useconds_t microseconds) {
    if (!devices::sleep(SleepCall::Usleep, microseconds)) return 0;
    return sim::real::usleep(microseconds);
}

SIM_EXPORT unsigned sleep(unsigned seconds) {
    if (!devices::sleep(SleepCall::Sleep, uint64_t{seconds} * 1'000'000ULL)) return 0;
    return sim::real::sleep(seconds);
}

SIM_EXPORT int nanosleep(const timespec* request, timespec* remaining) {
    if (!validInterval(request)) return sim::real::nanosleep(request, remaining);
    if (!devices::sleep(SleepCall::Nanosleep, microsecondsOf(*request))) {
        if (remaining != nullptr) *remaining = timespec{};
        return 0;
    }
    return sim::real::nanosleep(request, remaining);
}

SIM_EXPORT int clock_nanosleep(clockid_t clock, int flags, const timespec* request,
                               timespec* remaining) {
    if (!validInterval(request)) return sim::real::clockNanosleep(clock, flags, request, remaining);
    uint64_t duration = microsecondsOf(*request);
    if ((flags & TIMER_ABSTIME) != 0) {
        const uint64_t now = clockNowUs(clock);
        duration = duration > now ? duration - now : 0;
    }
    if (!devices::sleep(SleepCall::ClockNanosleep, duration)) {
        if (remaining != nullptr) *remaining = timespec{};
        return 0;
    }
    return sim::real::clockNanosleep(clock, flags, request, remaining);
}

SIM_EXPORT int gettimeofday(struct timeval* tv, void* tz) noexcept {
    uint64_t now = 0;
    if (!devices::fakeWallClock(now)) return sim::real::gettimeofday(tv, tz);
    tv->tv_sec = static_cast<time_t>(now / 1'000'000ULL);
    tv->tv_usec = static_cast<suseconds_t>(now % 1'000'000ULL);
    return 0;
}

SIM_EXPORT time_t time(time_t* out) noexcept {
    uint64_t now = 0;
    if (!devices::fakeWallClock(now)) return sim::real::time(out);
    const auto seconds = static_cast<time_t>(now / 1'000'000ULL);
    if (out != nullptr) *out = seconds;
    return seconds;
}

SIM_EXPORT int clock_gettime(clockid_t clock, timespec* out) noexcept {
    if (isMonotonicClock(clock)) return fakeMonotonic(clock, out);
    uint64_t now = 0;
    if (!isWallClock(clock) || !devices::fakeWallClock(now)) {
        return sim::real::clockGettime(clock, out);
    }
    out->tv_sec = static_cast<time_t>(now / 1'000'000ULL);
    out->tv_nsec = static_cast<long>(now % 1'000'000ULL) * 1000L;
    return 0;
}

// Waits in poll() and its kin: on a fast run's clock when they have a timeout
// (see Waits.h), as they stand otherwise. -2 is what no such call returns.

SIM_EXPORT int poll(pollfd* fds, nfds_t count, int timeoutMs) {
    const int outcome = waitInPoll(fds, count, microsecondsOf(timeoutMs), nullptr);
    return outcome != -2 ? outcome : sim::real::poll(fds, count, timeoutMs);
}

SIM_EXPORT int __poll_chk(pollfd* fds, nfds_t count, int timeoutMs, size_t size) {
    if (size / sizeof(pollfd) < count) __chk_fail();
    return poll(fds, count, timeoutMs);
}

SIM_EXPORT int ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
    const int outcome = waitInPoll(fds, count, microsecondsOf(timeout), mask);
    return outcome != -2 ? outcome : sim::real::ppoll(fds, count, timeout, mask);
}

SIM_EXPORT int __ppoll_chk(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask,
                           size_t size) {
    if (size / sizeof(pollfd) < count) __chk_fail();
    return ppoll(fds, count, timeout, mask);
}

SIM_EXPORT int epoll_wait(int epfd, epoll_event* events, int most, int timeoutMs) {
    const int outcome = waitInEpoll(epfd, events, most, microsecondsOf(timeoutMs), nullptr);
    return outcome != -2 ? outcome : sim::real::epollPwait(epfd, events, most, timeoutMs, nullptr);
}

SIM_EXPORT int epoll_pwait(int epfd, epoll_event* events, int most, int timeoutMs,
                           const sigset_t* mask) {
    const int outcome = waitInEpoll(epfd, events, most, microsecondsOf(timeoutMs), mask);
    return outcome != -2 ? outcome : sim::real::epollPwait(epfd, events, most, timeoutMs, mask);
}

SIM_EXPORT int epoll_pwait2(int epfd, epoll_event* events, int most, const timespec* timeout,
                            const sigset_t* mask) {
    const int outcome = waitInEpoll(epfd, events, most, microsecondsOf(timeout), mask);
    return outcome != -2 ? outcome : sim::real::epollPwait2(epfd, events, most, timeout, mask);
}

SIM_EXPORT int select(int count, fd_set* readable, fd_set* writable, fd_set* exceptional,
                      timeval* timeout) {
    const int outcome =
        waitInSelect(count, readable, writable, exceptional, microsecondsOf(timeout), nullptr);
    if (outcome == -2) return sim::real::select(count, readable, writable, exceptional, timeout);
    // Linux leaves the time not waited in the timeout: none when it ran out.
    if (outcome == 0) *timeout = timeval{};
    return outcome;
}

SIM_EXPORT int pselect(int count, fd_set* readable, fd_set* writable, fd_set* exceptional,
                       const timespec* timeout, const sigset_t* mask) {
    const int outcome =
        waitInSelect(count, readable, writable, exceptional, microsecondsOf(timeout), mask);
    return outcome != -2
               ? outcome
               : sim::real::pselect(count, readable, writable, exceptional, timeout, mask);
}
