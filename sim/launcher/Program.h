#pragma once
// Starting PROGRAM with the simulator's preload library and settings in its
// environment, and waiting for it.

#include <string>
#include <utility>
#include <vector>

namespace sim {

struct ProgramRun {
    std::vector<std::string> command;  // PROGRAM and its arguments
    // Added to PROGRAM's environment only (LD_PRELOAD and the settings).
    std::vector<std::pair<std::string, std::string>> environment;
    // A user-mode emulator (qemu-user) and its arguments; empty: run directly.
    // The settings then reach the program through the emulator's -E.
    std::vector<std::string> emulator;
};

// Runs the program and returns its exit status (128 + N after signal N), or
// 127 with a message on standard error when it cannot be started.
int runProgram(const ProgramRun& run);

}  // namespace sim
