#include "RealLibc.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern "C" ssize_t __read_chk(int fd, void* buffer, size_t count, size_t bufferSize);

namespace sim::real {

namespace {

void* lookup(const char* name) {
    void* function = dlsym(RTLD_NEXT, name);
    if (function == nullptr) {
        std::fprintf(stderr, "kestro-sim: the C library has no %s\n", name);
        std::abort();
    }
    return function;
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(lookup(name));
}

}  // namespace

int open(const char* path, int flags, mode_t mode) {
    static auto const function = next<int (*)(const char*, int, ...)>("open");
    return function(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, mode_t mode) {
    static auto const function = next<int (*)(int, const char*, int, ...)>("openat");
    return function(dirfd, path, flags, mode);
}

int close(int fd) {
    static auto const function = next<int (*)(int)>("close");
    return function(fd);
}

ssize_t read(int fd, void* buffer, std::size_t count) {
    static auto const function = next<ssize_t (*)(int, void*, std::size_t)>("read");
    return function(fd, buffer, count);
}

ssize_t readChecked(int fd, void* buffer, std::size_t count, std::size_t bufferSize) {
    static auto const function = next<decltype(&__read_chk)>("__read_chk");
    return function(fd, buffer, count, bufferSize);
}

ssize_t write(int fd, const void* buffer, std::size_t count) {
    static auto const function = next<ssize_t (*)(int, const void*, std::size_t)>("write");
    return function(fd, buffer, count);
}

int ioctl(int fd, unsigned long request, void* argument) {
    static auto const function = next<int (*)(int, unsigned long, ...)>("ioctl");
    return function(fd, request, argument);
}

int stat(const char* path, struct stat* buffer) {
    static auto const function = next<int (*)(const char*, struct stat*)>("stat");
    return function(path, buffer);
}

int lstat(const char* path, struct stat* buffer) {
    static auto const function = next<int (*)(const char*, struct stat*)>("lstat");
    return function(path, buffer);
}

int fstat(int fd, struct stat* buffer) {
    static auto const function = next<int (*)(int, struct stat*)>("fstat");
    return function(fd, buffer);
}

int fstatat(int dirfd, const char* path, struct stat* buffer, int flags) {
    static auto const function = next<int (*)(int, const char*, struct stat*, int)>("fstatat");
    return function(dirfd, path, buffer, flags);
}

int statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* buffer) {
    static auto const function =
        next<int (*)(int, const char*, int, unsigned, struct statx*)>("statx");
    return function(dirfd, path, flags, mask, buffer);
}

int access(const char* path, int mode) {
    static auto const function = next<int (*)(const char*, int)>("access");
    return function(path, mode);
}

int faccessat(int dirfd, const char* path, int mode, int flags) {
    static auto const function = next<int (*)(int, const char*, int, int)>("faccessat");
    return function(dirfd, path, mode, flags);
}

char* realpath(const char* path, char* resolved) {
    static auto const function = next<char* (*)(const char*, char*)>("realpath");
    return function(path, resolved);
}

ssize_t getxattr(const char* path, const char* name, void* value, std::size_t size) {
    static auto const function = next<ssize_t (*)(const char*, const char*, void*, std::size_t)>("getxattr");
    return function(path, name, value, size);
}

ssize_t lgetxattr(const char* path, const char* name, void* value, std::size_t size) {
    static auto const function = next<ssize_t (*)(const char*, const char*, void*, std::size_t)>("lgetxattr");
    return function(path, name, value, size);
}

DIR* opendir(const char* path) {
    static auto const function = next<DIR* (*)(const char*)>("opendir");
    return function(path);
}

dirent* readdir(DIR* stream) {
    static auto const function = next<dirent* (*)(DIR*)>("readdir");
    return function(stream);
}

int closedir(DIR* stream) {
    static auto const function = next<int (*)(DIR*)>("closedir");
    return function(stream);
}

int dirfd(DIR* stream) {
    static auto const function = next<int (*)(DIR*)>("dirfd");
    return function(stream);
}

void rewinddir(DIR* stream) {
    static auto const function = next<void (*)(DIR*)>("rewinddir");
    function(stream);
}

long telldir(DIR* stream) {
    static auto const function = next<long (*)(DIR*)>("telldir");
    return function(stream);
}

void seekdir(DIR* stream, long position) {
    static auto const function = next<void (*)(DIR*, long)>("seekdir");
    function(stream, position);
}

int scandir(const char* path, dirent*** list, DirentFilter filter, DirentOrder order) {
    static auto const function =
        next<int (*)(const char*, dirent***, DirentFilter, DirentOrder)>("scandir");
    return function(path, list, filter, order);
}

FILE* fopen(const char* path, const char* mode) {
    static auto const function = next<FILE* (*)(const char*, const char*)>("fopen");
    return function(path, mode);
}

int usleep(useconds_t microseconds) {
    static auto const function = next<int (*)(useconds_t)>("usleep");
    return function(microseconds);
}

unsigned sleep(unsigned seconds) {
    static auto const function = next<unsigned (*)(unsigned)>("sleep");
    return function(seconds);
}

int nanosleep(const timespec* request, timespec* remaining) {
    static auto const function = next<int (*)(const timespec*, timespec*)>("nanosleep");
    return function(request, remaining);
}

int clockNanosleep(clockid_t clock, int flags, const timespec* request, timespec* remaining) {
    static auto const function =
        next<int (*)(clockid_t, int, const timespec*, timespec*)>("clock_nanosleep");
    return function(clock, flags, request, remaining);
}

int gettimeofday(struct timeval* tv, void* tz) {
    static auto const function = next<int (*)(struct timeval*, void*)>("gettimeofday");
    return function(tv, tz);
}

time_t time(time_t* out) {
    static auto const function = next<time_t (*)(time_t*)>("time");
    return function(out);
}

int clockGettime(clockid_t clock, timespec* out) {
    static auto const function = next<int (*)(clockid_t, timespec*)>("clock_gettime");
    return function(clock, out);
}

int poll(pollfd* fds, nfds_t count, int timeoutMs) {
    static auto const function = next<int (*)(pollfd*, nfds_t, int)>("poll");
    return function(fds, count, timeoutMs);
}

int ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
    static auto const function =
        next<int (*)(pollfd*, nfds_t, const timespec*, const sigset_t*)>("ppoll");
    return function(fds, count, timeout, mask);
}

int epollPwait(int epfd, epoll_event* events, int most, int timeoutMs, const sigset_t* mask) {
    static auto const function =
        next<int (*)(int, epoll_event*, int, int, const sigset_t*)>("epoll_pwait");
    return function(epfd, events, most, timeoutMs, mask);
}

int epollPwait2(int epfd, epoll_event* events, int most, const timespec* timeout,
                const sigset_t* mask) {
    static auto const function =
        next<int (*)(int, epoll_event*, int, const timespec*, const sigset_t*)>("epoll_pwait2");
    return function(epfd, events, most, timeout, mask);
}

int select(int count, fd_set* readable, fd_set* writable, fd_set* exceptional, timeval* timeout) {
    static auto const function = next<int (*)(int, fd_set*, fd_set*, fd_set*, timeval*)>("select");
    return function(count, readable, writable, exceptional, timeout);
}

int pselect(int count, fd_set* readable, fd_set* writable, fd_set* exceptional,
            const timespec* timeout, const sigset_t* mask) {
    static auto const function =
        next<int (*)(int, fd_set*, fd_set*, fd_set*, const timespec*, const sigset_t*)>("pselect");
    return function(count, readable, writable, exceptional, timeout, mask);
}

uint64_t wallClockUs() {
    timespec now{};
    clockGettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000ULL +
           static_cast<uint64_t>(now.tv_nsec) / 1000ULL;
}

}  // namespace sim::real
