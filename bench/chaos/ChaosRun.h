#pragma once

#include <cstdint>
#include <map>
#include <string>

// A chaos run: node commands and file transfers in random order, with bus faults of every kind
// on a share of the exchanges, each result checked against what the simulated node holds. Then
// batches: several nodes on one bus served at once by one BusSchedule, faults on some of them,
// where the nodes without faults must all succeed.
struct ChaosSettings {
    uint64_t operations = 3000;
    uint64_t batches = 300;
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
    uint64_t batches = 0;
    uint64_t batchOperations = 0;
    uint64_t faultFreeBatchOperations = 0;
    // Operations of a batch's nodes without faults that failed or were wrong: disturbed by
    // another node's fault.
    uint64_t disturbed = 0;
    long rssAfterWarmUpKiB = 0;
    long rssAtEndKiB = 0;
};

ChaosReport runChaos(const ChaosSettings& settings);
