#pragma once

// How the tests run the tool on its simulated board: the one place that knows the simulator.

#include <string>
#include <vector>

struct ToolRun {
    int status;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// The path of a scenario file of the simulated board, by name.
std::string scenarioPath(const std::string& name);

// Runs i2c-kestro-cli `arguments` on the board of `scenario`, with `input` on standard input.
ToolRun runTool(const std::string& scenario, const std::vector<std::string>& arguments,
                const std::string& input = "");

// As runTool, with all three standard streams on a pseudo-terminal; `out` holds what the
// terminal showed.
ToolRun runToolOnTerminal(const std::string& scenario, const std::vector<std::string>& arguments);
