#pragma once

// How a test starts a program of this build. A native build runs it directly;
// a cross build runs it through the build's emulator, because the host kernel
// cannot run the target's programs itself. Host programs (a shell, unshare,
// /bin/true) are always started directly.

#include <sstream>
#include <string>
#include <vector>

namespace kestro::test {

// The command words that run `program` with `environment` (NAME=value entries)
// added to its environment only: under the emulator they go through qemu's -E,
// so LD_PRELOAD reaches the target's loader and never the emulator's own.
inline std::vector<std::string> targetCommand(const std::string& program,
                                              const std::vector<std::string>& environment = {}) {
    // The emulator and its arguments, separated by spaces; none on a native build.
    std::vector<std::string> words;
    std::istringstream emulator(KESTRO_TARGET_EMULATOR);
    for (std::string word; emulator >> word;) {
        words.push_back(word);
    }
    if (words.empty()) {
        words.push_back("env");
        words.insert(words.end(), environment.begin(), environment.end());
    } else {
        for (const std::string& entry : environment) {
            words.push_back("-E");
            words.push_back(entry);
        }
    }
    words.push_back(program);
    return words;
}

// The command words that run `program` (with its arguments) under the
// simulator's launcher with `options`. Under a cross build's emulator the
// launcher is emulated too, and starts the program through the same emulator.
inline std::vector<std::string> simCommand(const std::vector<std::string>& options,
                                           const std::vector<std::string>& program) {
    std::vector<std::string> words = targetCommand(KESTRO_SIM_LAUNCHER);
    const std::string emulator = KESTRO_TARGET_EMULATOR;
    if (!emulator.empty()) {
        words.push_back("--emulator");
        words.push_back(emulator);
    }
    words.insert(words.end(), options.begin(), options.end());
    words.push_back("--");
    words.insert(words.end(), program.begin(), program.end());
    return words;
}

// The words as one shell command line, each single-quoted.
inline std::string shellCommandLine(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        line += line.empty() ? "'" : " '";
        for (const char c : word) {
            line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        line += '\'';
    }
    return line;
}

}  // namespace kestro::test
