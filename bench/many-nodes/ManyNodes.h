#pragma once
// The many-nodes benchmark: several nodes on one bus served through one BusSchedule, under
// `i2c-kestro-sim --fast`, so that the simulated clock measures the protocol's waits and the
// wire's time.

#include <cstdint>
#include <string>

namespace many_nodes {

constexpr uint64_t kFileSize = 256 * 1024;
// The file every node of the board holds, fetched by the fetch cases.
inline const char* const kNodeFile = "file.bin";
inline const char* const kBoardFile = "board.json";
constexpr uint8_t kFirstAddress = 0x10;
constexpr int kMostNodes = 40;
// The node on the polling bus has its replies ready this long after each request.
constexpr uint32_t kReadyUs = 5000;

struct Bus {
    const char* path;
    uint64_t hz;
    const char* label;
    int nodes;
    // 0: replies ready at once.
    uint32_t readyUs;
};

inline constexpr Bus kBus100k{"/dev/i2c-1", 100000, "100 kHz", kMostNodes, 0};
inline constexpr Bus kBus400k{"/dev/i2c-2", 400000, "400 kHz", kMostNodes, 0};
inline constexpr Bus kBusLate{"/dev/i2c-3", 400000, "400 kHz, replies ready after 5 ms", 1,
                              kReadyUs};
inline constexpr Bus kBuses[] = {kBus100k, kBus400k, kBusLate};

// Writes the scenario and the file of the nodes into `folder`.
bool writeBoard(const std::string& folder);

// Runs every case on the board of `writeBoard` (under the simulator) and prints the figures;
// 1 when an operation failed or a fetched copy differs, else 0.
int measure(const std::string& folder);

}  // namespace many_nodes
