#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "JsonDocument.h"
#include "SBC.h"

namespace {

constexpr const char* kUnparsable = "Error parsing file, dont exist, wrong permisions or bad json";

// A configuration is a few hundred bytes; a larger file is not one.
constexpr off_t kMaxConfigBytes = 1024 * 1024;

enum class ConfigOpen { Opened, Unreadable, NotRegular, TooLarge };

// Opened without blocking, so that a FIFO cannot hold the start-up, and checked before a byte
// is read: a device or a FIFO could deliver bytes without end.
ConfigOpen openConfig(const std::string& path, int& fd) {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return ConfigOpen::Unreadable;
    }
    struct stat info {};
    const ConfigOpen result = ::fstat(fd, &info) != 0    ? ConfigOpen::Unreadable
                              : !S_ISREG(info.st_mode)    ? ConfigOpen::NotRegular
                              : info.st_size > kMaxConfigBytes ? ConfigOpen::TooLarge
                                                               : ConfigOpen::Opened;
    if (result != ConfigOpen::Opened) {
        ::close(fd);
    }
    return result;
}

bool isString(json_object* value) {
    return json_object_is_type(value, json_type_string);
}

std::string textOf(json_object* value) {
    return std::string(json_object_get_string(value), json_object_get_string_len(value));
}

}  // namespace

void SBC::parseConfigFile(const char* path) {
    if (path == nullptr) {
        rejectConfig("Null config file");
        return;
    }
    parseConfigFile(std::string(path));
}

void SBC::parseConfigFile(std::string path) {
    JsonDocument config(readConfigDocument(path));
    if (!config) {
        return;
    }
    if (!readConfigString(config.get(), "endpoint", _endpoint) ||
        !readConfigString(config.get(), "api_key", _api_key)) {
        return;
    }
    readWifis(config.get());
}

json_object* SBC::readConfigDocument(const std::string& path) {
    int fd = -1;
    switch (openConfig(path, fd)) {
        case ConfigOpen::Opened:
            break;
        case ConfigOpen::Unreadable:
            rejectConfig(kUnparsable);
            return nullptr;
        case ConfigOpen::NotRegular:
            rejectConfig(("Config file " + path +
                          " is not a regular file: give the path of the board's JSON file")
                             .c_str());
            return nullptr;
        case ConfigOpen::TooLarge:
            rejectConfig(("Config file " + path +
                          " is larger than 1048576 bytes (1 MiB): give the path of the board's "
                          "JSON file")
                             .c_str());
            return nullptr;
    }
    json_object* document = json_object_from_fd(fd);
    ::close(fd);
    if (document == nullptr) {
        rejectConfig(kUnparsable);
    }
    return document;
}

// A value that passes its checks is stored at once, so a later fault leaves it in place.
bool SBC::readConfigString(json_object* config, const char* key, std::string& target) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(config, key, &value)) {
        rejectConfig(("Missing \"" + std::string(key) + "\" key in json configFile").c_str());
        return false;
    }
    if (!isString(value)) {
        rejectConfig(
            ("Wrong type in key \"" + std::string(key) + "\", must be type string").c_str());
        return false;
    }
    target = textOf(value);
    return true;
}

bool SBC::readWifis(json_object* config) {
    json_object* wifis = nullptr;
    if (!json_object_object_get_ex(config, "wifis", &wifis)) {
        rejectConfig("Missing \"wifis\" key in json configFile");
        return false;
    }
    if (!json_object_is_type(wifis, json_type_array)) {
        rejectConfig("Wrong type in key \"wifis\", must be type array");
        return false;
    }
    const size_t count = json_object_array_length(wifis);
    for (size_t i = 0; i < count; ++i) {
        if (!readWifi(json_object_array_get_idx(wifis, i))) {
            return false;
        }
    }
    return true;
}

bool SBC::readWifi(json_object* entry) {
    json_object* ssid = nullptr;
    if (!json_object_object_get_ex(entry, "ssid", &ssid)) {
        rejectConfig("Missing \"ssid\" key in element of wifis json_array of json configFile");
        return false;
    }
    if (!isString(ssid)) {
        rejectConfig(
            "Wrong type in key \"ssid\" in element of wifis json_array, must be type string");
        return false;
    }
    json_object* pass = nullptr;
    if (!json_object_object_get_ex(entry, "pass", &pass)) {
        rejectConfig("Missing \"pass\" key in element of wifis json_array of json configFile");
        return false;
    }
    if (!isString(pass)) {
        rejectConfig(
            "Wrong type in key \"pass\" in element of wifis json_array, must be type string");
        return false;
    }
    _wifis.push_back(Wifi{textOf(ssid), textOf(pass)});
    return true;
}

void SBC::rejectConfig(const char* message) {
    std::cerr << message << std::endl;
    _error = CONFIG_FILE;
}
