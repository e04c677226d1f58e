#pragma once

namespace cli {

// The operator tool: parses the command line and runs one subcommand; returns the exit status.
int runTool(int argc, char** argv);

}  // namespace cli
