#pragma once
// The C library's own functions behind the ones the simulated board interposes, found
// with dlsym(RTLD_NEXT) on first use (so they work before any constructor).

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

struct statx;

namespace sim::real {

int open(const char* path, int flags, mode_t mode);
int openat(int dirfd, const char* path, int flags, mode_t mode);
int close(int fd);
ssize_t read(int fd, void* buffer, std::size_t count);
ssize_t readChecked(int fd, void* buffer, std::size_t count, std::size_t bufferSize);
ssize_t write(int fd, const void* buffer, std::size_t count);
int ioctl(int fd, unsigned long request, void* argument);
int stat(const char* path, struct stat* buffer);
int lstat(const char* path, struct stat* buffer);
int fstat(int fd, struct stat* buffer);
int fstatat(int dirfd, const char* path, struct stat* buffer, int flags);
int statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* buffer);
int access(const char* path, int mode);
int faccessat(int dirfd, const char* path, int mode, int flags);
char* realpath(const char* path, char* resolved);
ssize_t getxattr(const char* path, const char* name, void* value, std::size_t size);
ssize_t lgetxattr(const char* path, const char* name, void* value, std::size_t size);
DIR* opendir(const char* path);
dirent* readdir(DIR* stream);
int closedir(DIR* stream);
int dirfd(DIR* stream);
void rewinddir(DIR* stream);
long telldir(DIR* stream);
void seekdir(DIR* stream, long position);
using DirentFilter = int (*)(const dirent*);
using DirentOrder = int (*)(const dirent**, const dirent**);
int scandir(const char* path, dirent*** list, DirentFilter filter, DirentOrder order);
FILE* fopen(const char* path, const char* mode);
int usleep(useconds_t microseconds);
unsigned sleep(unsigned seconds);
int nanosleep(const timespec* request, timespec* remaining);
int clockNanosleep(clockid_t clock, int flags, const timespec* request, timespec* remaining);
int poll(pollfd* fds, nfds_t count, int timeoutMs);
int ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask);
int epollPwait(int epfd, epoll_event* events, int most, int timeoutMs, const sigset_t* mask);
int epollPwait2(int epfd, epoll_event* events, int most, const timespec* timeout,
                const sigset_t* mask);
int select(int count, fd_set* readable, fd_set* writable, fd_set* exceptional, timeval* timeout);
int pselect(int count, fd_set* readable, fd_set* writable, fd_set* exceptional,
            const timespec* timeout, const sigset_t* mask);
int gettimeofday(struct timeval* tv, void* tz);
time_t time(time_t* out);
int clockGettime(clockid_t clock, timespec* out);

// Host wall clock in microseconds since the epoch.
uint64_t wallClockUs();

}  // namespace sim::real
