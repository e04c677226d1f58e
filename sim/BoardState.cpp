#include "BoardState.h"

#include <json-c/json.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "Sha256.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

std::string addressName(uint8_t address) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", address);
    return text;
}

std::string hexDigest(const Bytes& content) {
    std::string text;
    for (uint8_t byte : sha256(content)) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

json_object* textArray(const auto& texts) {
    json_object* array = json_object_new_array();
    for (const auto& text : texts) json_object_array_add(array, json_object_new_string(text.c_str()));
    return array;
}

json_object* filesOf(const NodeState& state) {
    json_object* files = json_object_new_object();
    for (const auto& [name, file] : state.files) {
        json_object* entry = json_object_new_object();
        json_object_object_add(entry, "size", json_object_new_int64(static_cast<int64_t>(file.content.size())));
        json_object_object_add(entry, "extra", json_object_new_int64(file.extra));
        json_object_object_add(entry, "sha256", json_object_new_string(hexDigest(file.content).c_str()));
        json_object_object_add(files, name.c_str(), entry);
    }
    return files;
}

json_object* nodeReport(const SimNode& node, uint64_t nowUs) {
    const NodeState& state = node.state();
    json_object* report = json_object_new_object();
    static const char* const kProbes[] = {"ack", "nack", "address-only"};
    json_object_object_add(report, "probe", json_object_new_string(kProbes[static_cast<int>(node.probe())]));
    json_object_object_add(report, "identity", textArray(state.identity));
    json_object_object_add(report, "clock_ms", json_object_new_int64(static_cast<int64_t>(node.clockAt(nowUs))));
    json_object* texts = json_object_new_object();
    const std::pair<const char*, const std::string*> slots[] = {
        {"e1", &state.textE1}, {"e3", &state.textE3}, {"e4", &state.textE4}, {"e5", &state.textE5},
        {"f1_first", &state.pairF1First}, {"f1_second", &state.pairF1Second}, {"f2", &state.textF2}};
    for (const auto& [key, text] : slots) json_object_object_add(texts, key, json_object_new_string(text->c_str()));
    json_object_object_add(report, "texts", texts);
    json_object_object_add(report, "f2_byte", json_object_new_int(state.byteF2));
    json_object* values = json_object_new_array();
    for (uint32_t value : state.valuesA0) json_object_array_add(values, json_object_new_int64(value));
    json_object_object_add(report, "values", values);
    json_object_object_add(report, "files", filesOf(state));
    return report;
}

json_object* gpioReport(const SimGpioChip& chip) {
    json_object* report = json_object_new_object();
    json_object_object_add(report, "present", json_object_new_boolean(chip.present()));
    json_object* lines = json_object_new_object();
    for (unsigned offset = 0; offset < chip.lineCount(); ++offset) {
        if (chip.value(offset) < 0 && chip.consumer(offset).empty()) continue;
        json_object* line = json_object_new_object();
        json_object_object_add(line, "value", json_object_new_int(chip.value(offset)));
        json_object_object_add(line, "consumer", json_object_new_string(chip.consumer(offset).c_str()));
        json_object_object_add(lines, std::to_string(offset).c_str(), line);
    }
    json_object_object_add(report, "lines", lines);
    return report;
}

json_object* countersReport(const SimBoard::Counters& counters) {
    json_object* report = json_object_new_object();
    const std::pair<const char*, uint64_t> entries[] = {
        {"opens", counters.opens},         {"frames", counters.frames},
        {"reads", counters.reads},         {"bytes_written", counters.bytesWritten},
        {"bytes_read", counters.bytesRead}, {"probes", counters.probes},
        {"faults", counters.faults},       {"sleeps", counters.sleeps},
        {"slept_us", counters.sleptUs}};
    for (const auto& [key, value] : entries) {
        json_object_object_add(report, key, json_object_new_int64(static_cast<int64_t>(value)));
    }
    return report;
}

// "i2c-3" for "/dev/i2c-3".
std::string busFolder(const std::string& path) {
    return fs::path(path).filename().string();
}

// Node file names are free text; each byte outside [A-Za-z0-9._-] (and a
// leading dot) is kept as %XX so that any name is one plain file.
std::string encodedName(const std::string& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        const bool plain = std::isalnum(c) || c == '_' || c == '-' || (c == '.' && i > 0);
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", c);
        out += plain ? std::string(1, static_cast<char>(c)) : std::string(escaped);
    }
    return out;
}

std::string decodedName(const std::string& file) {
    std::string out;
    for (std::size_t i = 0; i < file.size(); ++i) {
        const bool escaped = file[i] == '%' && i + 2 < file.size() &&
                             std::isxdigit(static_cast<unsigned char>(file[i + 1])) &&
                             std::isxdigit(static_cast<unsigned char>(file[i + 2]));
        if (escaped) {
            out += static_cast<char>(std::strtol(file.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += file[i];
        }
    }
    return out;
}

Bytes contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::string boardReport(const SimBoard& simBoard) {
    json_object* report = json_object_new_object();
    json_object* buses = json_object_new_object();
    const uint64_t nowUs = simBoard.clock().nowUs();
    for (const auto& [path, bus] : simBoard.buses()) {
        json_object* nodes = json_object_new_object();
        for (const auto& [address, node] : bus->nodes()) {
            json_object_object_add(nodes, addressName(address).c_str(), nodeReport(*node, nowUs));
        }
        json_object_object_add(buses, path.c_str(), nodes);
    }
    json_object_object_add(report, "buses", buses);
    json_object_object_add(report, "gpio", gpioReport(simBoard.gpio()));
    json_object_object_add(report, "counters", countersReport(simBoard.counters()));
    std::string text = json_object_to_json_string_ext(report, JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE);
    json_object_put(report);
    return text + "\n";
}

void loadNodeFiles(const std::string& folder, SimBoard& simBoard) {
    for (const auto& [path, bus] : simBoard.buses()) {
        for (const auto& [address, node] : bus->nodes()) {
            const fs::path nodeFolder = fs::path(folder) / busFolder(path) / addressName(address);
            std::error_code error;
            if (!fs::is_directory(nodeFolder, error)) continue;
            node->state().files.clear();
            for (const fs::directory_entry& entry : fs::directory_iterator(nodeFolder, error)) {
                if (!entry.is_regular_file()) continue;
                node->putFile(decodedName(entry.path().filename().string()), contentOf(entry.path()));
            }
        }
    }
}

void saveNodeFiles(const std::string& folder, const SimBoard& simBoard) {
    for (const auto& [path, bus] : simBoard.buses()) {
        for (const auto& [address, node] : bus->nodes()) {
            const fs::path nodeFolder = fs::path(folder) / busFolder(path) / addressName(address);
            std::error_code error;
            fs::remove_all(nodeFolder, error);
            fs::create_directories(nodeFolder, error);
            for (const auto& [name, file] : node->state().files) {
                std::ofstream out(nodeFolder / encodedName(name), std::ios::binary | std::ios::trunc);
                out.write(reinterpret_cast<const char*>(file.content.data()),
                          static_cast<std::streamsize>(file.content.size()));
            }
        }
    }
}

}  // namespace sim
