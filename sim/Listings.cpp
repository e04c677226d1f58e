#include "Listings.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include "Descriptor.h"
#include "RealLibc.h"
#include "SimBus.h"
#include "SimGpioChip.h"

namespace sim::listings {

namespace {

constexpr std::string_view kDevFolder = "/dev";
constexpr std::string_view kI2cDevFolder = "/sys/class/i2c-dev";
constexpr std::string_view kGpioFolder = "/sys/bus/gpio/devices";
constexpr std::string_view kI2cDevice = "i2c-";
constexpr std::string_view kGpioDevice = "gpiochip";

struct Entry {
    std::string name;
    unsigned char type = DT_UNKNOWN;
};

// One open listing: its entries as the stream hands them out.
struct Stream {
    std::vector<dirent> entries;
    std::size_t next = 0;
    int fd = -1;  // the host's directory, when it has one
};

bool allDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "i2c-3" for ("i2c-", "i2c-3"); the number after the prefix must be all digits.
bool numbered(std::string_view prefix, std::string_view name) {
    return name.starts_with(prefix) && allDigits(name.substr(prefix.size()));
}

// The path without trailing slashes ("/dev/" is "/dev").
std::string_view folderOf(std::string_view path) {
    while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
    return path;
}

// "i2c-3" of "/sys/class/i2c-dev/i2c-3/name" when `path` is FOLDER/NAME/LEAF
// with NAME numbered after `prefix`; else empty.
std::string_view memberOf(std::string_view path, std::string_view folder, std::string_view prefix,
                          std::string_view leaf) {
    if (!path.starts_with(folder) || path.size() <= folder.size() || path[folder.size()] != '/') return {};
    std::string_view rest = path.substr(folder.size() + 1);
    if (!leaf.empty()) {
        if (!rest.ends_with(leaf) || rest.size() <= leaf.size() + 1) return {};
        rest.remove_suffix(leaf.size());
        if (!rest.ends_with('/')) return {};
        rest.remove_suffix(1);
    }
    return numbered(prefix, rest) ? rest : std::string_view();
}

std::string busPath(std::string_view member) {
    return std::string(kDevFolder) + "/" + std::string(member);
}

bool busExists(std::string_view member) {
    return SimBoard::instance().bus(busPath(member)) != nullptr;
}

bool chipExists(std::string_view member) {
    return member == "gpiochip0" && SimBoard::instance().gpio().present();
}

std::vector<Entry> busEntries(unsigned char type) {
    std::vector<Entry> entries;
    for (const auto& [path, bus] : SimBoard::instance().buses()) {
        const std::string_view name = memberOf(path, kDevFolder, kI2cDevice, {});
        if (!name.empty()) entries.push_back({std::string(name), type});
    }
    return entries;
}

std::vector<Entry> chipEntries(unsigned char type) {
    if (!SimBoard::instance().gpio().present()) return {};
    return {{"gpiochip0", type}};
}

// The host's /dev without its buses and chips, then the simulated board's.
std::vector<Entry> devEntries() {
    std::vector<Entry> entries;
    if (DIR* host = real::opendir(std::string(kDevFolder).c_str())) {
        while (const dirent* entry = real::readdir(host)) {
            const std::string_view name = entry->d_name;
            if (numbered(kI2cDevice, name) || numbered(kGpioDevice, name)) continue;
            entries.push_back({std::string(name), entry->d_type});
        }
        real::closedir(host);
    }
    for (std::vector<Entry> simulated : {busEntries(DT_CHR), chipEntries(DT_CHR)}) {
        entries.insert(entries.end(), simulated.begin(), simulated.end());
    }
    return entries;
}

// The folder's entries; nothing when the folder does not exist on this board.
std::optional<std::vector<Entry>> entriesOf(std::string_view folder) {
    if (folder == kDevFolder) return devEntries();
    // In sysfs, each bus or chip of these folders is a link to its device.
    if (folder == kI2cDevFolder) return busEntries(DT_LNK);
    if (folder == kGpioFolder) return chipEntries(DT_LNK);
    if (const std::string_view bus = memberOf(folder, kI2cDevFolder, kI2cDevice, {}); !bus.empty()) {
        if (!busExists(bus)) return std::nullopt;
        return std::vector<Entry>{{"dev", DT_REG}, {"name", DT_REG}};
    }
    const std::string_view chip = memberOf(folder, kGpioFolder, kGpioDevice, {});
    if (!chipExists(chip)) return std::nullopt;
    return std::vector<Entry>{{"dev", DT_REG}};
}

dirent direntOf(const Entry& entry, std::size_t index) {
    dirent out{};
    // Readers skip entries whose inode number is 0.
    out.d_ino = static_cast<ino_t>(std::hash<std::string>{}(entry.name) | 1U);
    out.d_off = static_cast<off_t>(index + 1);
    out.d_reclen = sizeof out;
    out.d_type = entry.type;
    std::strncpy(out.d_name, entry.name.c_str(), sizeof out.d_name - 1);
    return out;
}

std::optional<std::vector<dirent>> direntsOf(const char* path) {
    const auto guard = SimBoard::lock();
    const std::optional<std::vector<Entry>> entries = entriesOf(folderOf(path));
    if (!entries) return std::nullopt;
    std::vector<dirent> out;
    for (std::size_t i = 0; i < entries->size(); ++i) out.push_back(direntOf((*entries)[i], i));
    return out;
}

// The streams open now. Never destroyed: a stream may be used until the very end.
std::set<const void*>& streams() {
    static auto* const open = new std::set<const void*>();
    return *open;
}
std::atomic<std::size_t> streamCount{0};

Stream& streamOf(DIR* stream) {
    return *reinterpret_cast<Stream*>(stream);
}

int fail(int error) {
    errno = error;
    return -1;
}

}  // namespace

bool listedPath(const char* path) {
    if (path == nullptr || existingBoard() == nullptr) return false;
    return folderOf(path) == kDevFolder || sysfsFolder(path);
}

bool sysfsFolder(std::string_view path) {
    const std::string_view folder = folderOf(path);
    return folder == kI2cDevFolder || folder == kGpioFolder ||
           !memberOf(folder, kI2cDevFolder, kI2cDevice, {}).empty() ||
           !memberOf(folder, kGpioFolder, kGpioDevice, {}).empty();
}

bool folderExists(std::string_view path) {
    return entriesOf(folderOf(path)).has_value();
}

bool attributePath(std::string_view path) {
    return !memberOf(path, kI2cDevFolder, kI2cDevice, "name").empty() ||
           !memberOf(path, kI2cDevFolder, kI2cDevice, "dev").empty() ||
           !memberOf(path, kGpioFolder, kGpioDevice, "dev").empty();
}

std::optional<std::string> attribute(std::string_view path) {
    if (const std::string_view bus = memberOf(path, kI2cDevFolder, kI2cDevice, "name"); !bus.empty()) {
        if (!busExists(bus)) return std::nullopt;
        return std::string(kI2cAdapterName) + "\n";
    }
    if (const std::string_view bus = memberOf(path, kI2cDevFolder, kI2cDevice, "dev"); !bus.empty()) {
        if (!busExists(bus)) return std::nullopt;
        return std::to_string(kI2cMajor) + ":" + std::string(bus.substr(kI2cDevice.size())) + "\n";
    }
    if (!chipExists(memberOf(path, kGpioFolder, kGpioDevice, "dev"))) return std::nullopt;
    return std::to_string(kGpioMajor) + ":" + std::to_string(kGpioMinor) + "\n";
}

FILE* openAttribute(const char* path, const char* mode) {
    std::optional<std::string> content;
    {
        const auto guard = SimBoard::lock();
        content = attribute(path);
    }
    if (!content) return errno = ENOENT, nullptr;
    if (mode[0] != 'r' || std::strchr(mode, '+') != nullptr) return errno = EACCES, nullptr;
    FILE* file = fmemopen(nullptr, content->size(), "w+");
    if (file == nullptr) return nullptr;
    std::fwrite(content->data(), 1, content->size(), file);
    std::rewind(file);
    return file;
}

DIR* open(const char* path) {
    std::optional<std::vector<dirent>> entries = direntsOf(path);
    if (!entries) return errno = ENOENT, nullptr;
    auto* stream = new Stream{.entries = std::move(*entries), .next = 0,
                              .fd = real::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0)};
    const auto guard = SimBoard::lock();
    streams().insert(stream);
    ++streamCount;
    return reinterpret_cast<DIR*>(stream);
}

bool ownStream(DIR* stream) {
    if (streamCount == 0) return false;
    const auto guard = SimBoard::lock();
    return streams().count(stream) != 0;
}

dirent* next(DIR* stream) {
    Stream& own = streamOf(stream);
    return own.next < own.entries.size() ? &own.entries[own.next++] : nullptr;
}

int close(DIR* stream) {
    {
        const auto guard = SimBoard::lock();
        streams().erase(stream);
        --streamCount;
    }
    const Stream* own = &streamOf(stream);
    if (own->fd >= 0) real::close(own->fd);
    delete own;
    return 0;
}

int descriptor(DIR* stream) {
    const int fd = streamOf(stream).fd;
    return fd >= 0 ? fd : fail(ENOTSUP);
}

void rewind(DIR* stream) {
    streamOf(stream).next = 0;
}

long position(DIR* stream) {
    return static_cast<long>(streamOf(stream).next);
}

void seek(DIR* stream, long position) {
    streamOf(stream).next = static_cast<std::size_t>(std::max(position, 0L));
}

int scan(const char* path, dirent*** list, int (*filter)(const dirent*),
         int (*order)(const dirent**, const dirent**)) {
    const std::optional<std::vector<dirent>> entries = direntsOf(path);
    if (!entries) return fail(ENOENT);
    std::vector<dirent*> chosen;
    for (const dirent& entry : *entries) {
        if (filter != nullptr && filter(&entry) == 0) continue;
        chosen.push_back(static_cast<dirent*>(std::malloc(sizeof entry)));
        std::memcpy(chosen.back(), &entry, sizeof entry);
    }
    if (order != nullptr) {
        std::sort(chosen.begin(), chosen.end(), [order](const dirent* a, const dirent* b) {
            return order(&a, &b) < 0;
        });
    }
    *list = static_cast<dirent**>(std::malloc(std::max<std::size_t>(chosen.size(), 1) * sizeof(dirent*)));
    std::copy(chosen.begin(), chosen.end(), *list);
    return static_cast<int>(chosen.size());
}

}  // namespace sim::listings
