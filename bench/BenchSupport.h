#pragma once
// Helpers shared by the benchmarks that drive the product on the simulated board.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <iostream>

// CPU time of the whole process, so work done in system calls counts too.
inline double processCpuMicros() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Sends standard output and standard error to /dev/null for its lifetime: the
// product's progress lines would swamp a report, yet they still cost their writes.
class QuietConsole {
  public:
    QuietConsole() : savedOut_(dup(STDOUT_FILENO)), savedErr_(dup(STDERR_FILENO)) {
        flush();
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    ~QuietConsole() {
        flush();
        dup2(savedOut_, STDOUT_FILENO);
        dup2(savedErr_, STDERR_FILENO);
        close(savedOut_);
        close(savedErr_);
    }
    QuietConsole(const QuietConsole&) = delete;
    QuietConsole& operator=(const QuietConsole&) = delete;

  private:
    static void flush() {
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
    }

    int savedOut_;
    int savedErr_;
};
