#pragma once

#include <string_view>

namespace agent {

// The library writes its protocol lines on standard output. The agent keeps standard output
// for its own lines (the journal's), so from here on the library's go to standard error with
// `verbose`, nowhere otherwise.
void separateLibraryOutput(bool verbose);

// One line of the agent's own on its standard output.
void logLine(std::string_view text);

}  // namespace agent
