#include "BoardState.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
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

// The length of the valid UTF-8 sequence at `at`, or 0 when the byte there
// does not start one (overlong forms, surrogates and values past U+10FFFF
// included).
std::size_t utf8SequenceAt(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    }
    const unsigned char second = byte(at + 1);
    const bool outOfRange = (lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
                            (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F);
    return outOfRange ? 0 : length;
}

json_object* newText(const std::string& text) {
    return json_object_new_string(jsonText(text).c_str());
}

void addMember(json_object* object, const std::string& key, json_object* value) {
    json_object_object_add(object, jsonText(key).c_str(), value);
}

json_object* textArray(const auto& texts) {
    json_object* array = json_object_new_array();
    for (const auto& text : texts) json_object_array_add(array, newText(text));
    return array;
}

json_object* filesOf(const NodeState& state) {
    json_object* files = json_object_new_object();
    for (const auto& [name, file] : state.files) {
        json_object* entry = json_object_new_object();
        json_object_object_add(entry, "size", json_object_new_int64(static_cast<int64_t>(file.content.size())));
        json_object_object_add(entry, "extra", json_object_new_int64(file.extra));
        json_object_object_add(entry, "sha256", json_object_new_string(hexDigest(file.content).c_str()));
        addMember(files, name, entry);
    }
    return files;
}

// A node that runs a firmware keeps its state there: the report names the firmware.
json_object* nodeReport(const SimNode& node, uint64_t nowUs) {
    const NodeState& state = node.state();
    json_object* report = json_object_new_object();
    static const char* const kProbes[] = {"ack", "nack", "address-only"};
    json_object_object_add(report, "probe", json_object_new_string(kProbes[static_cast<int>(node.probe())]));
    if (node.firmware() != nullptr) {
        json_object_object_add(report, "firmware", newText(node.firmware()->path()));
        return report;
    }
    json_object_object_add(report, "identity", textArray(state.identity));
    json_object_object_add(report, "clock_ms", json_object_new_int64(static_cast<int64_t>(node.clockAt(nowUs))));
    json_object* texts = json_object_new_object();
    const std::pair<const char*, const std::string*> slots[] = {
        {"e1", &state.textE1}, {"e3", &state.textE3}, {"e4", &state.textE4}, {"e5", &state.textE5},
        {"f1_first", &state.pairF1First}, {"f1_second", &state.pairF1Second}, {"f2", &state.textF2}};
    for (const auto& [key, text] : slots) json_object_object_add(texts, key, newText(*text));
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
        json_object_object_add(line, "consumer", newText(chip.consumer(offset)));
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

fs::path nodeFolderOf(const std::string& folder, const std::string& busPath, uint8_t address) {
    return fs::path(folder) / busFolder(busPath) / addressName(address);
}

// Writes all of `content` to `fd`; false on an error.
bool writeAll(int fd, const Bytes& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t written = ::write(fd, content.data() + done, content.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// A temporary file beside `target` (0600, named with a leading dot, which no
// node file's name has there), renamed over it once complete: a reader sees
// the old file or the new one, never a part.
void replaceAtomically(const fs::path& target, const Bytes& content) {
    std::string temporary = (target.parent_path() / ".saving-XXXXXX").string();
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return;
    const bool written = writeAll(fd, content);
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
    }
}

// Removes what the folder holds beyond the node's files (files sent in an
// earlier run and replaced by the scenario's, temporaries of a run cut short).
void removeOthers(const fs::path& nodeFolder, const NodeState& state) {
    std::error_code error;
    std::vector<fs::path> others;
    for (const fs::directory_entry& entry : fs::directory_iterator(nodeFolder, error)) {
        const std::string file = entry.path().filename().string();
        if (file.starts_with(".") || !state.files.contains(decodedName(file)))
            others.push_back(entry.path());
    }
    for (const fs::path& other : others) fs::remove_all(other, error);
}

}  // namespace

std::string jsonText(const std::string& text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8SequenceAt(text, at);
        if (length == 0) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[at]));
            out += escaped;
            ++at;
        } else {
            out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

std::string boardReport(const SimBoard& simBoard) {
    json_object* report = json_object_new_object();
    json_object* buses = json_object_new_object();
    const uint64_t nowUs = simBoard.clock().nowUs();
    for (const auto& [path, bus] : simBoard.buses()) {
        json_object* nodes = json_object_new_object();
        for (const auto& [address, node] : bus->nodes()) {
            json_object_object_add(nodes, addressName(address).c_str(), nodeReport(*node, nowUs));
        }
        addMember(buses, path, nodes);
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
            const fs::path nodeFolder = nodeFolderOf(folder, path, address);
            std::error_code error;
            if (node->firmware() != nullptr || !fs::is_directory(nodeFolder, error)) continue;
            node->state().files.clear();
            for (const fs::directory_entry& entry : fs::directory_iterator(nodeFolder, error)) {
                const std::string file = entry.path().filename().string();
                if (!entry.is_regular_file() || file.starts_with(".")) continue;
                node->putFile(decodedName(file), contentOf(entry.path()));
            }
        }
    }
}

void saveNodeFile(const std::string& folder, const std::string& busPath, uint8_t address,
                  const std::string& name, const StoredFile& file) {
    const fs::path nodeFolder = nodeFolderOf(folder, busPath, address);
    std::error_code error;
    fs::create_directories(nodeFolder, error);
    replaceAtomically(nodeFolder / stateFileName(name), file.content);
}

void saveNodeFiles(const std::string& folder, const SimBoard& simBoard) {
    for (const auto& [path, bus] : simBoard.buses()) {
        for (const auto& [address, node] : bus->nodes()) {
            if (node->firmware() != nullptr) continue;
            std::error_code error;
            fs::create_directories(nodeFolderOf(folder, path, address), error);
            removeOthers(nodeFolderOf(folder, path, address), node->state());
            for (const auto& [name, file] : node->state().files)
                saveNodeFile(folder, path, address, name, file);
        }
    }
}

}  // namespace sim
