#pragma once

// The tool as a client of the fleet: the boards' agents on an MQTT broker, their retained
// status and node documents, their events, and requests of docs/commands.md sent to a board.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "Console.h"

namespace cli {

// How long a board has to answer a request when --timeout is not given.
constexpr unsigned kFleetTimeoutSeconds = 10;
// The broker cannot be reached or refused us, or a board did not answer in time.
constexpr int kFleetUnavailable = 69;

struct FleetOptions {
    std::string broker;
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    std::string user;
    std::string passwordFile;
    unsigned timeoutS = kFleetTimeoutSeconds;
    // put's rollout.
    std::string sha256;
    uint64_t size = 0;
    std::string remote;
    // ls | watch [BOARD] | BOARD node ADDRESSES COMMAND [ARGS...] | BOARD put ADDRESSES URL
    std::vector<std::string> words;
};

// Adds the `fleet` subcommand; `chosen` runs when the command line chose it.
void addFleet(CLI::App& app, FleetOptions& options, const std::function<void()>& chosen);

// Runs what the command line chose; the exit status.
int runFleet(Console& console, const Settings& settings, const FleetOptions& options);

}  // namespace cli
