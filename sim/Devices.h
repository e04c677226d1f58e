#pragma once
// The simulated side of each interposed call. The interposer asks
// `simulatedPath`/`simulatedFd` first and only then hands the call here;
// every function returns what the system call would, setting errno.

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

#include "FakeClock.h"

struct statx;

namespace sim::devices {

bool simulatedPath(const char* path);
bool simulatedFd(int fd);

int open(const char* path, int flags);
int close(int fd);
ssize_t read(int fd, void* buffer, std::size_t count);
ssize_t write(int fd, const void* buffer, std::size_t count);
int ioctl(int fd, unsigned long request, void* argument);
int statPath(const char* path, struct stat* buffer);
int statFd(int fd, struct stat* buffer);
int statxPath(const char* path, struct statx* buffer);
int statxFd(int fd, struct statx* buffer);
int access(const char* path, int mode);
// getxattr and lgetxattr: the simulated paths have no extended attributes.
ssize_t extendedAttribute(const char* path);

// Records a sleep; true when the caller must really sleep (real clock).
bool sleep(SleepCall call, uint64_t durationUs);
// Fake wall-clock time, or nothing when the clock is real.
bool fakeWallClock(uint64_t& nowUs);
// How far waits have moved the fake clock since the run began, or nothing when it is real.
bool fakeClockAdvance(uint64_t& advancedUs);

// A program's wait in poll() and its kin on a run's fast clock (see
// BoardClient.h); false when this process has no such clock.
bool fastRun();
bool beginWait(uint64_t durationUs, uint64_t& untilUs, int& bell);
bool waitOver(uint64_t untilUs);
void endWait(uint64_t untilUs);

}  // namespace sim::devices
