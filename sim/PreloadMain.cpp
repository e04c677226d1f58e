// Entry of the LD_PRELOAD variant: configures the bed from the file named by
// KESTRO_BED_CONFIG when the library is loaded, and writes the report when
// the process ends.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "Bed.h"
#include "PreloadConfig.h"

namespace {

constexpr int kConfigFailure = 97;

std::string* reportPath = nullptr;

[[noreturn]] void refuse(const std::string& why) {
    std::fprintf(stderr, "kestro-sim-preload: %s\n", why.c_str());
    std::fflush(stderr);
    _exit(kConfigFailure);
}

__attribute__((constructor)) void configureBed() {
    const char* path = std::getenv("KESTRO_BED_CONFIG");
    if (path == nullptr) return;
    std::ifstream config(path);
    if (!config) refuse(std::string("cannot read the configuration ") + path);
    try {
        const bed::PreloadSettings settings = bed::applyConfig(config, bed::Bed::instance());
        if (!settings.reportPath.empty()) reportPath = new std::string(settings.reportPath);
    } catch (const bed::ConfigError& e) {
        refuse(std::string(path) + ": " + e.what());
    }
}

// A shell that only runs the program also loads this library; it logs
// nothing and so leaves the program's report alone.
__attribute__((destructor)) void writeReport() {
    bed::Bed* bed = reportPath != nullptr ? &bed::Bed::instance() : nullptr;
    if (bed == nullptr || bed->events().empty()) return;
    std::ofstream out(*reportPath, std::ios::trunc);
    out << bed::report(*bed);
}

}  // namespace
