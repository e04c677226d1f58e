#pragma once

#include <cstdint>
#include <map>
#include <string>

// A chaos run: node commands and file transfers in random order, with bus faults of every kind
// on a share of the exchanges, each result checked against what the simulated node holds.
struct ChaosSettings {
    uint64_t operations = 3000;
    uint64_t seed = 0;
    double faultShare = 0.05;
    // Scratch folder for the local files of the transfers.
    std::string folder;
};

struct ChaosReport {
    uint64_t operations = 0;
    std::map<std::string, uint64_t> byKind;
    std::map<int32_t, uint64_t> byStatus;
    uint64_t faultsMet = 0;
    // Success with data that differs from the node's, or a failed fetch that changed the
    // destination.
    uint64_t wrongSuccesses = 0;
    std::map<std::string, uint64_t> wrongByKind;
    uint64_t descriptorsLeftOpen = 0;
    long rssAfterWarmUpKiB = 0;
    long rssAtEndKiB = 0;
};

ChaosReport runChaos(const ChaosSettings& settings);
