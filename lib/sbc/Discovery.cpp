#include <cstring>
#include <iostream>
#include <iterator>

#include "NorvaneI2CNode.h"
#include "PrintableText.h"
#include "SBC.h"

namespace {

constexpr const char* kBoardBus = "/dev/i2c-3";
// Where a device may hold its node, in the order they are searched when pruning.
constexpr const char* kKnownBuses[] = {"/dev/i2c-3", "/dev/i2c-1", "/dev/i2c-2", "/dev/i2c-4"};

enum class AddressLookup { Found, NoConfig, NoAddr };

// "config" -> "addr"; only the low 8 bits of the number count.
AddressLookup lookUpAddress(json_object* document, uint8_t& address) {
    json_object* config = nullptr;
    json_object* addr = nullptr;
    if (!json_object_object_get_ex(document, "config", &config)) {
        return AddressLookup::NoConfig;
    }
    if (!json_object_object_get_ex(config, "addr", &addr)) {
        return AddressLookup::NoAddr;
    }
    address = static_cast<uint8_t>(json_object_get_int(addr));
    return AddressLookup::Found;
}

// Wire: opcode 0xE2, 100 ms, "OK" and four texts. Fresh texts for every probe, and only an
// answer counts: a silent node must never be judged by what another node said before it.
bool answersWithId(uint8_t address, const char* bus, const std::string& id) {
    std::string t1, t2, t3, t4;
    NorvaneI2CNode probe(address, bus);
    return probe.getIdentity(t1, t2, t3, t4) == NODE_SUCCESS && t4 == id;
}

}  // namespace

std::optional<uint8_t> deviceAddress(json_object* document) {
    uint8_t address = 0;
    return lookUpAddress(document, address) == AddressLookup::Found
               ? std::optional<uint8_t>(address)
               : std::nullopt;
}

void SBC::discoverNodesOnBus(FoundDevices& found, const char* bus) {
    for (const auto& [id, document] : _devices) {
        uint8_t address = 0;
        if (!readDeviceAddress(document, address)) {
            return;
        }
        if (answersWithId(address, bus, id)) {
            found[bus].insert(id);
        }
    }
    std::set<std::string>& ids = found[bus];
    std::cout << "founded devices on bus " << bus << " n = " << ids.size() << std::endl;
    createNodes(ids, bus);
}

void SBC::discoverNodes() {
    FoundDevices found;
    discoverNodesOnBus(found, kBoardBus);
    pruneDevices();
}

bool SBC::readDeviceAddress(json_object* document, uint8_t& address) {
    switch (lookUpAddress(document, address)) {
        case AddressLookup::Found:
            return true;
        case AddressLookup::NoConfig:
            std::cerr << "Error: device config json does not contain config key" << std::endl;
            break;
        case AddressLookup::NoAddr:
            std::cerr << "Error: device config key does not contain addr key" << std::endl;
            break;
    }
    _error = UNSOLVED_ADDR_CONFLIC;
    return false;
}

// The ids come from the caller's record, which may name devices the board no longer holds. A
// device whose node cannot be opened is taken out of the record again.
void SBC::createNodes(std::set<std::string>& ids, const char* bus) {
    for (auto id = ids.begin(); id != ids.end();) {
        const auto device = _devices.find(*id);
        if (device == _devices.end()) {
            ++id;
            continue;
        }
        uint8_t address = 0;
        lookUpAddress(device->second, address);
        id = storeNode(bus, *id, address) ? std::next(id) : ids.erase(id);
    }
}

// A node already stored there still holds its address in the master's registry: it goes first,
// so that nothing leaks and the new node can claim the address. A node whose channel did not
// open (no descriptor left, say) would fail every command: it is not stored.
bool SBC::storeNode(const std::string& bus, const std::string& id, uint8_t address) {
    NorvaneI2CNode*& slot = _nodes[bus][id];
    delete slot;
    slot = nullptr;
    slot = new NorvaneI2CNode(address, bus.c_str());
    if (slot->master.getError() != MASTER_OK) {
        std::cerr << "Error: the node of " << printableText(id) << " answered at address "
                  << static_cast<int>(address) << " on bus " << bus
                  << " but cannot be opened again (" << std::strerror(slot->master.lastErrno())
                  << "); it is not stored" << std::endl;
        delete slot;
        _nodes[bus].erase(id);
        return false;
    }
    std::cout << "found " << printableText(id) << " on bus " << bus << std::endl;
    return true;
}

// Looking a bus up enters it into _nodes, so the buses searched are left with (empty) maps.
bool SBC::hasNode(const std::string& id) {
    for (const char* bus : kKnownBuses) {
        if (_nodes[bus].count(id) != 0) {
            return true;
        }
    }
    return false;
}

void SBC::pruneDevices() {
    std::map<std::string, json_object*> kept;
    for (const auto& [id, document] : _devices) {
        if (hasNode(id)) {
            kept.emplace(id, document);
        } else {
            json_object_put(document);
        }
    }
    _devices.swap(kept);
}
