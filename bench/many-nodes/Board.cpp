// The simulated board of the many-nodes benchmark: a bus of 40 nodes at 100 kHz, one at
// 400 kHz and a single slow node at 400 kHz, every node holding the same 256 KiB file.

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ManyNodes.h"

namespace many_nodes {

namespace {

std::string hexAddress(int address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(address));
    return text;
}

std::string nodeJson(int address, uint32_t readyUs) {
    std::ostringstream json;
    json << R"({"address": ")" << hexAddress(address) << R"(", "files": {")" << kNodeFile
         << R"(": {"path": ")" << kNodeFile << R"("}})";
    if (readyUs != 0) {
        json << R"(, "ready_us": {"default": )" << readyUs << "}";
    }
    json << "}";
    return json.str();
}

std::string busJson(const Bus& bus) {
    std::ostringstream json;
    json << '"' << bus.path << R"(": {"speed_hz": )" << bus.hz << R"(, "nodes": [)";
    for (int i = 0; i < bus.nodes; ++i) {
        json << (i == 0 ? "\n    " : ",\n    ") << nodeJson(kFirstAddress + i, bus.readyUs);
    }
    json << "]}";
    return json.str();
}

std::string boardJson() {
    std::ostringstream json;
    json << R"({"version": 1, "buses": {)";
    bool first = true;
    for (const Bus& bus : kBuses) {
        json << (first ? "\n  " : ",\n  ") << busJson(bus);
        first = false;
    }
    json << "}}\n";
    return json.str();
}

// Bytes that no run of zeros or repeats could pass for.
std::vector<char> fileContent() {
    std::vector<char> content(kFileSize);
    uint32_t state = 0x9E3779B9u;
    for (char& byte : content) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return content;
}

bool writeText(const std::string& path, const char* data, size_t size) {
    std::ofstream out(path, std::ios::binary);
    out.write(data, static_cast<std::streamsize>(size));
    return static_cast<bool>(out.flush());
}

}  // namespace

bool writeBoard(const std::string& folder) {
    const std::vector<char> content = fileContent();
    const std::string board = boardJson();
    return writeText(folder + "/" + kNodeFile, content.data(), content.size()) &&
           writeText(folder + "/" + kBoardFile, board.data(), board.size());
}

}  // namespace many_nodes
