#include "Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <string>

namespace agent {

namespace {

int ownOutput = STDOUT_FILENO;

}  // namespace

void separateLibraryOutput(bool verbose) {
    std::cout.flush();
    const int kept = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int sink = verbose ? ::dup(STDERR_FILENO) : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (kept < 0 || sink < 0) {
        return;
    }
    ::dup2(sink, STDOUT_FILENO);
    ::close(sink);
    ownOutput = kept;
}

void logLine(std::string_view text) {
    std::string line(text);
    line += '\n';
    size_t written = 0;
    while (written < line.size()) {
        const ssize_t wrote = ::write(ownOutput, line.data() + written, line.size() - written);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return;
        }
        written += static_cast<size_t>(wrote);
    }
}

}  // namespace agent
