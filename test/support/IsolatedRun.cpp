#include "IsolatedRun.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

ChildOutcome runIsolated(const std::function<void()>& scenario) {
    MemFile out;
    MemFile err;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        throw std::system_error(errno, std::generic_category(), "fork");
    }
    if (child == 0) {
        dup2(out.fd(), STDOUT_FILENO);
        dup2(err.fd(), STDERR_FILENO);
        scenario();
        std::fflush(nullptr);
        _exit(testing::Test::HasFailure() ? kChildExpectationFailed : 0);
    }
    int raw = 0;
    waitpid(child, &raw, 0);
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return {status, out.contents(), err.contents()};
}

ChildOutcome runWithPrivateLogDirectory(const TempDir& logDir,
                                        const std::vector<std::string>& command) {
    return runIsolated([&] {
        std::vector<const char*> argv = {"unshare", "--mount", "--propagation", "private"};
        if (geteuid() != 0) {
            argv.push_back("--map-root-user");
        }
        for (const char* arg : {"/bin/sh", "-c", "mount --bind \"$0\" /var/log && exec \"$@\"",
                                logDir.path().c_str()}) {
            argv.push_back(arg);
        }
        for (const std::string& word : command) {
            argv.push_back(word.c_str());
        }
        argv.push_back(nullptr);
        execvp(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    });
}
