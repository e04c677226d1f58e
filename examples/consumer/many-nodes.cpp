// Sends one file to several nodes of a bus at once: while one node works on a chunk, the bus
// carries the others'. Each node's transfer is exactly the one it would get alone.
//
//   kestro-many-nodes /dev/i2c-3 firmware.bin firmware.bin 0x10 0x11 0x14
#include <i2c-kestro/BusSchedule.h>
#include <i2c-kestro/NorvaneI2CNode.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s BUS LOCAL-FILE REMOTE-NAME ADDRESS...\n", argv[0]);
        return 64;
    }
    const char* bus = argv[1];
    const char* local = argv[2];
    const char* remote = argv[3];

    std::vector<std::unique_ptr<NorvaneI2CNode>> nodes;
    BusSchedule schedule;
    for (int i = 4; i < argc; ++i) {
        const auto address = static_cast<uint8_t>(std::strtoul(argv[i], nullptr, 0));
        nodes.push_back(std::make_unique<NorvaneI2CNode>(address, bus));
        // Progress is reported from inside the schedule, node by node.
        TransferOptions options{.retries = 3, .progress = [address](uint64_t done, uint64_t total) {
                                    std::fprintf(stderr, "0x%02x %llu/%llu\n", address,
                                                 static_cast<unsigned long long>(done),
                                                 static_cast<unsigned long long>(total));
                                }};
        schedule.add(*nodes.back(), [=](NorvaneI2CNode& node) {
            return node.sendFile(local, remote, options);
        });
    }
    // The library's console lines of each node stay in its result.
    schedule.onDone = [&nodes](BusSchedule::JobId id, const BusSchedule::Result& result) {
        std::printf("0x%02x %s (status %d)\n", nodes[id]->addr,
                    result.status == NODE_SUCCESS ? "sent" : "failed", result.status);
    };
    schedule.run();

    int failed = 0;
    for (std::size_t id = 0; id < nodes.size(); ++id) {
        failed += schedule.result(id).status != NODE_SUCCESS ? 1 : 0;
    }
    return failed == 0 ? 0 : 1;
}
