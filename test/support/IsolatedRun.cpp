#include "IsolatedRun.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace {

// Exit status of a child in which a GoogleTest expectation failed.
constexpr int kChildExpectationFailed = 97;

}  // namespace

ChildOutcome runIsolated(const std::function<void()>& scenario, const std::string& input) {
    MemFile in, out, err;
    if (pwrite(in.fd(), input.data(), input.size(), 0) != static_cast<ssize_t>(input.size())) {
        throw std::system_error(errno, std::generic_category(), "pwrite");
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        throw std::system_error(errno, std::generic_category(), "fork");
    }
    if (child == 0) {
        dup2(in.fd(), STDIN_FILENO);
        dup2(out.fd(), STDOUT_FILENO);
        dup2(err.fd(), STDERR_FILENO);
        scenario();
        std::fflush(nullptr);
        _exit(testing::Test::HasFailure() ? kChildExpectationFailed : 0);
    }
    int raw = 0;
    waitpid(child, &raw, 0);
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), out.contents(),
            err.contents()};
}

ChildOutcome runProgram(const std::vector<std::string>& words, const std::string& input) {
    return runIsolated(
        [&] {
            std::vector<char*> argv;
            for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        },
        input);
}

pid_t startProgram(const std::vector<std::string>& words, const std::string& out,
                   const std::string& err, const std::vector<std::string>& environment) {
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    for (const std::string& entry : environment) {
        putenv(const_cast<char*>(entry.c_str()));
    }
    if (std::freopen(out.c_str(), "w", stdout) == nullptr ||
        std::freopen(err.c_str(), err == out ? "a" : "w", stderr) == nullptr) {
        _exit(126);
    }
    std::vector<char*> argv;
    for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

ChildOutcome runWithPrivateLogDirectory(const TempDir& logDir,
                                        const std::vector<std::string>& command) {
    std::vector<std::string> words = {"unshare", "--mount", "--propagation", "private"};
    if (geteuid() != 0) {
        words.push_back("--map-root-user");
    }
    words.insert(words.end(), {"/bin/sh", "-c", "mount --bind \"$0\" /var/log && exec \"$@\"",
                               logDir.path().string()});
    words.insert(words.end(), command.begin(), command.end());
    return runProgram(words);
}
