#include "Program.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Launch.h"

extern char** environ;

namespace sim {

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

volatile sig_atomic_t runningChild = 0;

void passOn(int signal) {
    if (runningChild > 0) kill(static_cast<pid_t>(runningChild), signal);
}

// While the program runs, the launcher stays to report and clean up after it:
// like system(), it leaves a Ctrl-C at the terminal to the program, which
// decides, and it passes a termination request on to the program.
class SignalsForTheProgram {
  public:
    SignalsForTheProgram() {
        struct sigaction ignore {}, forward{};
        ignore.sa_handler = SIG_IGN;
        forward.sa_handler = passOn;
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            sigaction(kSignals[i], i < 2 ? &ignore : &forward, &old_[i]);
        }
    }
    ~SignalsForTheProgram() {
        for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &old_[i], nullptr);
    }
    SignalsForTheProgram(const SignalsForTheProgram&) = delete;
    SignalsForTheProgram& operator=(const SignalsForTheProgram&) = delete;

  private:
    static constexpr std::array<int, 4> kSignals = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
    std::array<struct sigaction, 4> old_{};
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
    const SignalsForTheProgram signals;
    pid_t child = -1;
    if (const int error = spawn(child, argv, envp); error != 0) {
        std::fprintf(stderr, "i2c-kestro-sim: cannot run %s: %s\n", argv[0], std::strerror(error));
        return launch::kCannotRun;
    }
    runningChild = child;
    int waitStatus = 0;
    while (waitpid(child, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    runningChild = 0;
    return statusOf(waitStatus);
}

}  // namespace sim
