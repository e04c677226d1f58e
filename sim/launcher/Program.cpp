#include "Program.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Launch.h"

extern char** environ;

namespace bed {

namespace {

std::vector<std::string> commandWords(const ProgramRun& run) {
    if (run.emulator.empty()) return run.command;
    std::vector<std::string> words = run.emulator;
    for (const auto& [name, value] : run.environment) {
        words.push_back("-E");
        words.push_back(name + "=" + value);
    }
    words.insert(words.end(), run.command.begin(), run.command.end());
    return words;
}

// The launcher's environment, with the settings added or replaced when the
// program runs directly (an emulator gets them as arguments instead).
std::vector<std::string> environmentOf(const ProgramRun& run) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const auto& [name, value] : run.environment) {
            replaced = replaced || (run.emulator.empty() && text.rfind(name + "=", 0) == 0);
        }
        if (!replaced) entries.push_back(text);
    }
    if (run.emulator.empty()) {
        for (const auto& [name, value] : run.environment) entries.push_back(name + "=" + value);
    }
    return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

int statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    return 128 + WTERMSIG(waitStatus);
}

// Like system(): while the program runs, a Ctrl-C at the terminal is for the
// program, which decides; the launcher still reports and cleans up after it.
class InterruptsIgnored {
  public:
    InterruptsIgnored() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGINT, &ignore, &oldInt_);
        sigaction(SIGQUIT, &ignore, &oldQuit_);
    }
    ~InterruptsIgnored() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGQUIT, &oldQuit_, nullptr);
    }
    InterruptsIgnored(const InterruptsIgnored&) = delete;
    InterruptsIgnored& operator=(const InterruptsIgnored&) = delete;

  private:
    struct sigaction oldInt_ {}, oldQuit_{};
};

// Starts the program with the interrupt signals back at their defaults; the
// error number of a failed start, else 0.
int spawn(pid_t& child, std::vector<char*>& argv, std::vector<char*>& envp) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    const int error = posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    return error;
}

}  // namespace

int runProgram(const ProgramRun& run) {
    std::vector<std::string> words = commandWords(run);
    std::vector<std::string> entries = environmentOf(run);
    std::vector<char*> argv = pointersTo(words);
    std::vector<char*> envp = pointersTo(entries);
    const InterruptsIgnored interrupts;
    pid_t child = -1;
    if (const int error = spawn(child, argv, envp); error != 0) {
        std::fprintf(stderr, "i2c-kestro-sim: cannot run %s: %s\n", argv[0], std::strerror(error));
        return launch::kCannotRun;
    }
    int waitStatus = 0;
    while (waitpid(child, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    return statusOf(waitStatus);
}

}  // namespace bed
