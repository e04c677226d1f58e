// Entry of the preload library that `i2c-kestro-sim` puts into PROGRAM: sets
// the simulated board up from the launcher's settings when the library is
// loaded, and leaves the report and the node files behind when the process
// ends. The settings come in the environment (see Launch.h).

#include <openssl/crypto.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "SimBoard.h"
#include "BoardState.h"
#include "Launch.h"
#include "RealLibc.h"
#include "Scenario.h"
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

// A shell that only starts the program loads this library too; it opens no
// simulated device and so leaves the program's report and files alone.
void keepBoard() {
    if (run == nullptr) return;
    const auto guard = sim::SimBoard::lock();
    const sim::SimBoard& simBoard = sim::SimBoard::instance();
    if (simBoard.counters().opens == 0) return;
    if (!run->stateFolder.empty()) sim::saveNodeFiles(run->stateFolder, simBoard);
    if (!run->reportPath.empty()) std::ofstream(run->reportPath, std::ios::trunc) << sim::boardReport(simBoard);
}

__attribute__((constructor)) void setUpBoard() {
    const std::string scenario = setting(sim::launch::kScenario);
    if (scenario.empty()) return;
    // OpenSSL must not clean itself up at exit before the board's digests
    // are taken; the first initialisation in the process decides that.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
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
    if (!run->stateFolder.empty()) sim::loadNodeFiles(run->stateFolder, simBoard);
    const std::string trace = setting(sim::launch::kTrace);
    if (!trace.empty()) startTrace(trace, simBoard);
    std::atexit(keepBoard);
}

}  // namespace
