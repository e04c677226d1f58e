#pragma once
// What outlives one simulated run: the board's state as a JSON report, and
// the node files kept in a folder between runs (`i2c-kestro-sim --state`).

#include <string>

#include "SimBoard.h"

namespace sim {

// The board after the run: per bus and node the texts, clock, values and
// files (size and SHA-256), the GPIO lines, and the run's counters.
// Pretty-printed JSON.
std::string boardReport(const SimBoard& simBoard);

// Node files from `folder` replace those of the scenario: one sub-folder per
// bus ("i2c-3") and node ("0x10"), one file per node file.
void loadNodeFiles(const std::string& folder, SimBoard& simBoard);
// Writes every node's files to `folder` in that layout, replacing what was there.
void saveNodeFiles(const std::string& folder, const SimBoard& simBoard);
// Writes one node file there (private to the user: 0600), replacing the
// previous one at once.
void saveNodeFile(const std::string& folder, const std::string& busPath, uint8_t address,
                  const std::string& name, const StoredFile& file);

// `text` as a JSON string may carry it: every byte that is not part of valid
// UTF-8 becomes the four characters \xNN (json-c would pass it on raw).
std::string jsonText(const std::string& text);

}  // namespace sim
