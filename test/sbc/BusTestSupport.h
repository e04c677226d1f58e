#pragma once

#include <json-c/json.h>

#include <initializer_list>
#include <string>
#include <vector>

// The lines of a text that begin with one of the prefixes, in order: the board's own report
// lines, picked out from among the progress lines of the node and its master.
std::vector<std::string> linesStartingWith(const std::string& text,
                                           std::initializer_list<const char*> prefixes);

// The keys of a map, in its order.
template <typename Map>
std::vector<typename Map::key_type> keysOf(const Map& map) {
    std::vector<typename Map::key_type> keys;
    for (const auto& entry : map) {
        keys.push_back(entry.first);
    }
    return keys;
}

// A device document as the device API delivers it: {"id": ..., "config": {"addr": address}}.
json_object* deviceDocument(const std::string& id, int address);

// The pointer as the output stream prints it.
std::string streamed(const void* pointer);
