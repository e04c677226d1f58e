// kestro-chaos: drives a few thousand mixed node commands and file transfers through the
// simulated bus with seeded random faults and checks every result; then batches of them on
// several nodes at once through one BusSchedule, faults on some of the nodes.
//
// Exit status: 0 when no operation succeeded wrongly, none of a batch's nodes without faults
// failed and no descriptor was left open, 1 otherwise, 2 for a bad command line.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "ChaosRun.h"

namespace {

constexpr const char* kUsage =
    "usage: kestro-chaos [--operations N] [--batches B] [--seed S] [--fault-share F]\n"
    "  --operations N   operations to run one at a time (default 3000)\n"
    "  --batches B      batches of operations on 4 nodes at once (default: N / 10)\n"
    "  --seed S         seed of the random choices (default: from the clock; printed)\n"
    "  --fault-share F  share of bus exchanges that get a fault (default 0.05)\n"
    "example: kestro-chaos --operations 500 --seed 42\n"
    "Exit status 0: no wrong success, no batch node without faults failed and no descriptor\n"
    "left open; 1 otherwise; 2: bad usage.\n";

bool parseArguments(int argc, char** argv, ChaosSettings& settings) {
    bool batchesGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help") {
            std::cout << kUsage;
            std::exit(0);
        }
        if (i + 1 >= argc) {
            return false;
        }
        char* end = nullptr;
        const char* value = argv[++i];
        if (flag == "--operations") {
            settings.operations = std::strtoull(value, &end, 10);
        } else if (flag == "--batches") {
            settings.batches = std::strtoull(value, &end, 10);
            batchesGiven = true;
        } else if (flag == "--seed") {
            settings.seed = std::strtoull(value, &end, 10);
        } else if (flag == "--fault-share") {
            settings.faultShare = std::strtod(value, &end);
        } else {
            return false;
        }
        if (end == value || *end != '\0') {
            return false;
        }
    }
    if (!batchesGiven) {
        settings.batches = settings.operations / 10;
    }
    return settings.faultShare >= 0 && settings.faultShare <= 1;
}

void printReport(const ChaosSettings& settings, const ChaosReport& report) {
    std::cout << "seed: " << settings.seed << "\n";
    std::cout << "operations: " << report.operations;
    for (const auto& [kind, count] : report.byKind) {
        std::cout << (kind == report.byKind.begin()->first ? " (" : ", ") << kind << " " << count;
    }
    std::cout << ")\n";
    std::cout << "faults met: " << report.faultsMet << " (" << settings.faultShare * 100
              << "% of exchanges asked for)\n";
    std::cout << "outcomes by status:";
    for (const auto& [status, count] : report.byStatus) {
        std::cout << " " << status << ": " << count << ";";
    }
    std::cout << "\nwrong successes: " << report.wrongSuccesses;
    for (const auto& [kind, count] : report.wrongByKind) {
        std::cout << (kind == report.wrongByKind.begin()->first ? " (" : ", ") << kind << " "
                  << count;
    }
    std::cout << (report.wrongByKind.empty() ? "\n" : ")\n");
    std::cout << "batches: " << report.batches << " of " << report.batchOperations
              << " operations, " << report.faultFreeBatchOperations
              << " of them on nodes without faults; disturbed by another node's fault: "
              << report.disturbed << "\n";
    std::cout << "descriptors left open: " << report.descriptorsLeftOpen << "\n";
    std::cout << "memory growth: " << report.rssAtEndKiB - report.rssAfterWarmUpKiB
              << " KiB (resident " << report.rssAfterWarmUpKiB << " KiB after the first tenth, "
              << report.rssAtEndKiB << " KiB at the end)\n";
}

}  // namespace

int main(int argc, char** argv) {
    ChaosSettings settings;
    settings.seed = static_cast<uint64_t>(
        std::chrono::system_clock::now().time_since_epoch().count() & 0xFFFFFFFF);
    if (!parseArguments(argc, argv, settings)) {
        std::cerr << kUsage;
        return 2;
    }
    std::string folder =
        (std::filesystem::temp_directory_path() / "kestro-chaos-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        std::cerr << "kestro-chaos: cannot make a scratch folder in "
                  << std::filesystem::temp_directory_path() << ": " << std::strerror(errno)
                  << "\n";
        return 1;
    }
    settings.folder = folder;
    const ChaosReport report = runChaos(settings);
    std::filesystem::remove_all(folder);
    printReport(settings, report);
    return report.wrongSuccesses == 0 && report.disturbed == 0 && report.descriptorsLeftOpen == 0
               ? 0
               : 1;
}
