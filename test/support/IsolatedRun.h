#pragma once

// Runs code or a program in a child process whose output the test reads back.

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "RecordText.h"
#include "TempFiles.h"

struct ChildOutcome {
    int status;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs a scenario in a forked child, so that nothing it changes reaches this
// process, with `input` on its standard input, capturing its standard output
// and error. Expectations may be checked inside the scenario: a failed one
// makes the child end with status 97 and its report lands in `out`.
ChildOutcome runIsolated(const std::function<void()>& scenario, const std::string& input = "");

// Runs the program and arguments `words` (found on PATH) the same way.
ChildOutcome runProgram(const std::vector<std::string>& words, const std::string& input = "");

// Runs `command` with `logDir` mounted over /var/log, in a mount namespace that
// dies with it, so the host's /var/log is never touched.
ChildOutcome runWithPrivateLogDirectory(const TempDir& logDir,
                                        const std::vector<std::string>& command);

// Starts the program and arguments `words` in the background, its standard output written to
// `out` and its standard error to `err` (appended to `out` when they are the same file), the
// entries NAME=VALUE of `environment` added to its environment; its process id.
pid_t startProgram(const std::vector<std::string>& words, const std::string& out,
                   const std::string& err, const std::vector<std::string>& environment = {});
