#pragma once
// Sets up the bed from a small text file, for the LD_PRELOAD variant (the
// format is in test/README.md).

#include <istream>
#include <stdexcept>
#include <string>

#include "Bed.h"

namespace bed {

class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct PreloadSettings {
    std::string reportPath;  // empty: no report
};

// Applies every directive to `bed`; throws ConfigError naming the line.
PreloadSettings applyConfig(std::istream& config, Bed& bed);

// The event log as trace lines, then one "left open PATH" per descriptor.
std::string report(const Bed& bed);

}  // namespace bed
