#include "SimBus.h"

#include <stdexcept>

namespace sim {

namespace {

unsigned minorOf(const std::string& path) {
    const auto dash = path.rfind('-');
    return dash == std::string::npos ? 0 : static_cast<unsigned>(std::stoul(path.substr(dash + 1)));
}

}  // namespace

SimBus::SimBus(std::string path) : path_(std::move(path)), minor_(minorOf(path_)) {}

SimNode& SimBus::addNode(uint8_t address) {
    auto& slot = nodes_[address];
    slot = std::make_unique<SimNode>(address);
    return *slot;
}

SimNode& SimBus::addDevice(uint8_t address, Probe probe) {
    SimNode& node = addNode(address);
    node.setProbe(probe);
    node.makePlainDevice();
    return node;
}

void SimBus::removeNode(uint8_t address) {
    nodes_.erase(address);
}

SimNode* SimBus::node(uint8_t address) {
    if (silent_.count(address) != 0) return nullptr;
    auto it = nodes_.find(address);
    return it == nodes_.end() ? nullptr : it->second.get();
}

SimNode& SimBus::nodeAt(uint8_t address) {
    SimNode* found = node(address);
    if (found == nullptr) throw std::out_of_range("no simulated node at that address on " + path_);
    return *found;
}

}  // namespace sim
