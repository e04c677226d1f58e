#pragma once

#include <json-c/json.h>

#include <set>
#include <string>

#include "Console.h"

namespace cli {

// The addresses below 0x08 and above 0x77 are reserved by the bus standard; only scan --all
// probes them.
constexpr unsigned kFirstOrdinary = 0x08;
constexpr unsigned kLastOrdinary = 0x77;

// What a probe of every address of a range found on one bus.
struct ScanResult {
    std::string bus;
    bool all = false;
    int openError = 0;             // errno of a failed open of the bus, 0 when it opened
    std::set<unsigned> addresses;  // answered the probe
    std::set<unsigned> busy;       // held by a kernel driver
};

// Probes 0x08-0x77, or 0x00-0x7F with `all`, with one send-byte each.
ScanResult scanBus(const std::string& bus, bool all);
// The address grid: "--" silent, the address when it answered, "UU" when a driver holds it.
std::string scanGrid(const ScanResult& result);
// "bus", "addresses" and "busy" into `document`.
void addScan(json_object* document, const ScanResult& result);
// The question asked before a scan unless -y.
std::string scanQuestion(const std::string& bus, bool all);

// The scan subcommand; returns the exit status.
int runScan(Console& console, const Settings& settings, bool all);

}  // namespace cli
