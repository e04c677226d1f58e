#include <iostream>

#include "NorvaneI2CNode.h"
#include "PrintableText.h"
#include "SBC.h"
#include "TimeUtils.h"

void SBC::syncNodeClocks() {
    for (const auto& [bus, nodes] : _nodes) {
        for (const auto& [id, node] : nodes) {
            if (node != nullptr) {
                syncNodeClock(bus, id, *node);
            }
        }
    }
}

// The time is read for each node just before its set, so a long run does not hand later nodes
// a stale clock. Wire: 0xF0 with 8 bytes LE, 100 ms, "OK"; then 0xE0, 100 ms, "OK" and 8 bytes.
void SBC::syncNodeClock(const std::string& bus, const std::string& deviceId, NorvaneI2CNode& node) {
    const std::string id = printableText(deviceId);
    std::cout << "timesync for bus " << bus << " id " << id << " NorvaneI2CNode memAddr " << &node
              << " addr " << static_cast<unsigned>(node.addr) << std::endl;
    node.setTime(millis());
    if (node.getStatus() != NODE_SUCCESS) {
        std::cout << "Error setting time to " << id << std::endl;
        std::cout << "Error: " << node.getStatus() << std::endl;
        return;
    }
    uint64_t nodeTime = 0;
    node.getTime(nodeTime);
    if (node.getStatus() != NODE_SUCCESS) {
        std::cout << "Error getting time from " << id << std::endl;
        std::cout << "Error: " << node.getStatus() << std::endl;
        return;
    }
    std::cout << "Time set to " << id << " " << nodeTime << "ms" << std::endl;
}
