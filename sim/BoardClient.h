#pragma once
// A program's side of the board link (see BoardLink.h): the preload library of
// a run connects each process to the launcher that holds the run's board, and
// the simulated calls go there. Locally the process keeps only an outline of
// the board (its buses and chip, for listings and stat) and its own
// descriptors, each naming the board's descriptor behind it. A child made by
// fork() gets a connection of its own on first use; the simulated
// descriptors it inherited fail with EBADF there.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FakeClock.h"

namespace sim::client {

// Connects and takes the outline into SimBoard::instance(); false with a
// message on standard error when nobody serves the socket.
bool start(const std::string& socketPath);
bool active();
// The link's own descriptor, which the program's close() leaves open.
bool ownsDescriptor(int fd);

int open(const std::string& path, int flags);
int close(int fd);
ssize_t read(int fd, void* buffer, std::size_t count);
ssize_t write(int fd, const void* buffer, std::size_t count);
int ioctl(int fd, unsigned request, void* argument);
bool sleep(SleepCall call, uint64_t durationUs);
bool fakeWallClock(uint64_t& nowUs);
// The same, and how far waits have moved the board's clock since the run began.
bool fakeClock(uint64_t& nowUs, uint64_t& advancedUs);

// True when the run's clock is fast.
bool fastClock();
// A wait in poll() and its kin on the run's fast clock (see BoardLink.h):
// false when the clock is real or the board gone. `bell` is the socket the
// board rings when the clock reaches `untilUs`.
bool beginWait(uint64_t durationUs, uint64_t& untilUs, int& bell);
// True when the clock has reached `untilUs`, or the board is gone.
bool waitOver(uint64_t untilUs);
// Ends the wait before its time.
void endWait(uint64_t untilUs);

}  // namespace sim::client
