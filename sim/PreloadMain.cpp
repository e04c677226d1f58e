// Entry of the preload library that `i2c-kestro-sim` puts into PROGRAM: sets
// the simulated board up from the launcher's settings when the library is
// loaded, and leaves the report and the node files behind when the process
// ends. The settings come in the environment (see Launch.h).

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "BoardState.h"
#include "Launch.h"
#include "RealLibc.h"
#include "Scenario.h"
#include "SimBoard.h"
#include "Trace.h"

namespace {

struct Run {
    std::string reportPath;
    std::string stateFolder;
    std::FILE* trace = nullptr;
    uint64_t startUs = 0;
};

// Never destroyed: the interposer serves calls until the very end.
Run* run = nullptr;

std::string setting(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : value;
}

[[noreturn]] void refuse(const std::string& why) {
    std::fprintf(stderr, "i2c-kestro-sim: %s\n", why.c_str());
    std::fflush(stderr);
    _exit(sim::launch::kBadScenario);
}

void startTrace(const std::string& target, sim::SimBoard& simBoard) {
    run->trace = target == "-" ? stderr : std::fopen(target.c_str(), "a");
    if (run->trace == nullptr) refuse("cannot write the trace " + target);
    simBoard.setObserver([](const sim::Event& event) {
        const std::string line = sim::traceLine(event, run->startUs) + "\n";
        std::fputs(line.c_str(), run->trace);
        std::fflush(run->trace);
    });
}

// The report appears whole or not at all (renamed into place).
void writeReport(const std::string& path, const sim::SimBoard& simBoard) {
    const std::string partial = path + ".partial";
    if (std::ofstream(partial, std::ios::trunc) << sim::boardReport(simBoard)) {
        std::rename(partial.c_str(), path.c_str());
    }
}

// A shell that only starts the program loads this library too; it opens no
// simulated device and so leaves the program's report and files alone.
void keepBoard() {
    static bool kept = false;
    if (run == nullptr || kept) return;
    const auto guard = sim::SimBoard::lock();
    const sim::SimBoard& simBoard = sim::SimBoard::instance();
    if (simBoard.counters().opens == 0) return;
    kept = true;
    if (!run->stateFolder.empty()) sim::saveNodeFiles(run->stateFolder, simBoard);
    if (!run->reportPath.empty()) writeReport(run->reportPath, simBoard);
}

// A file the node acknowledged is in the state folder at once, whatever
// ends the program later.
void saveFilesAsStored(sim::SimBoard& simBoard, const std::string& folder) {
    for (const auto& [path, bus] : simBoard.buses()) {
        for (const auto& [address, node] : bus->nodes()) {
            node->onFileStored(
                [folder, path, address](const std::string& name, const sim::StoredFile& file) {
                    sim::saveNodeFile(folder, path, address, name, file);
                });
        }
    }
}

// A program ended by a termination signal it leaves at its default still
// leaves the report and the node files behind, then ends by that signal.
// Writing them takes the allocator and the board's lock, which the signal may
// have interrupted on this very thread, so the handler never writes them
// itself: it asks the keeper thread and waits for it at most kKeepWaitMs,
// then ends the program whatever came of it. Only the signals that end a
// program from outside, or from a write to a closed pipe, are caught (never
// those of a crash), and only while the program leaves them alone.
constexpr int kKeepWaitMs = 2000;

struct Keeper {
    pid_t process = 0;
    int asked[2] = {-1, -1};
    int done[2] = {-1, -1};
};

Keeper* keeper = nullptr;

void* keepWhenAsked(void*) {
    char signal = 0;
    while (sim::real::read(keeper->asked[0], &signal, 1) != 1) {
    }
    keepBoard();
    sim::real::write(keeper->done[1], &signal, 1);
    return nullptr;
}

// The thread takes no signal, so every signal reaches the program's own threads.
bool startKeeper() {
    keeper = new Keeper{.process = getpid()};
    if (pipe2(keeper->asked, O_CLOEXEC) != 0 || pipe2(keeper->done, O_CLOEXEC) != 0) return false;
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    const bool started = pthread_create(&thread, nullptr, keepWhenAsked, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (started) pthread_detach(thread);
    return started;
}

// A child forked by the program has no keeper thread; it ends at once.
void endBySignal(int signal) {
    if (keeper->process == getpid()) {
        const char asked = static_cast<char>(signal);
        sim::real::write(keeper->asked[1], &asked, 1);
        pollfd answer{.fd = keeper->done[0], .events = POLLIN, .revents = 0};
        poll(&answer, 1, kKeepWaitMs);
    }
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void keepBoardOnTermination() {
    if (!startKeeper()) return;
    for (int signal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2}) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction keep {};
        keep.sa_handler = endBySignal;
        keep.sa_flags = SA_RESTART;
        sigaction(signal, &keep, nullptr);
    }
}

__attribute__((constructor)) void setUpBoard() {
    const std::string scenario = setting(sim::launch::kScenario);
    if (scenario.empty()) return;
    sim::SimBoard& simBoard = sim::SimBoard::instance();
    const uint64_t hostNowUs = sim::real::wallClockUs();
    try {
        sim::loadScenario(scenario, simBoard, hostNowUs);
    } catch (const sim::ScenarioError& e) {
        refuse(e.what());
    }
    simBoard.setRecording(false);
    if (!setting(sim::launch::kFast).empty()) simBoard.clock().useFake(hostNowUs);
    run = new Run{.reportPath = setting(sim::launch::kReport),
                  .stateFolder = setting(sim::launch::kState),
                  .startUs = hostNowUs};
    if (!run->stateFolder.empty()) {
        sim::loadNodeFiles(run->stateFolder, simBoard);
        saveFilesAsStored(simBoard, run->stateFolder);
    }
    const std::string trace = setting(sim::launch::kTrace);
    if (!trace.empty()) startTrace(trace, simBoard);
    std::atexit(keepBoard);
    if (!run->reportPath.empty() || !run->stateFolder.empty()) keepBoardOnTermination();
}

}  // namespace
