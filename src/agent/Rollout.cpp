#include "Rollout.h"

#include <sys/stat.h>
#include <sys/select.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "Json.h"
#include "Parse.h"
#include "Sha256.h"

namespace agent {

namespace {

// A server that goes quiet this long, or cannot be reached this long, ends the fetch.
constexpr long kConnectTimeoutS = 30;
constexpr long kStalledS = 60;
constexpr size_t kMaxRemoteName = 255;

json_object* member(json_object* request, const char* key) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(request, key, &value)) {
        throw std::invalid_argument(std::string("missing \"") + key + "\"");
    }
    return value;
}

std::string text(json_object* request, const char* key) {
    json_object* value = member(request, key);
    if (!json_object_is_type(value, json_type_string)) {
        throw std::invalid_argument(std::string(key) + ": not a string");
    }
    const std::string found(json_object_get_string(value),
                            static_cast<size_t>(json_object_get_string_len(value)));
    if (found.find('\0') != std::string::npos) {
        throw std::invalid_argument(std::string(key) + ": holds a NUL byte");
    }
    return found;
}

std::string digestOf(const std::string& given) {
    std::string digest = given;
    std::ranges::transform(digest, digest.begin(), [](unsigned char c) { return std::tolower(c); });
    if (digest.size() != 64 || digest.find_first_not_of("0123456789abcdef") != std::string::npos) {
        throw std::invalid_argument("sha256: not 64 hex digits");
    }
    return digest;
}

uint64_t sizeOf(json_object* request) {
    json_object* value = member(request, "size");
    if (!json_object_is_type(value, json_type_int) || json_object_get_int64(value) < 1 ||
        static_cast<uint64_t>(json_object_get_int64(value)) > kRolloutMaxBytes) {
        throw std::invalid_argument("size: not a whole number from 1 to " +
                                    std::to_string(kRolloutMaxBytes));
    }
    return static_cast<uint64_t>(json_object_get_int64(value));
}

void refuseUnknownKeys(json_object* request) {
    static const std::vector<std::string> known = {"id",   "command", "url",   "sha256",
                                                   "size", "nodes",   "remote"};
    json_object_object_foreach(request, key, value) {
        (void)value;
        if (std::ranges::find(known, key) == known.end()) {
            throw std::invalid_argument("unknown key \"" + std::string(key).substr(0, 64) + "\"");
        }
    }
}

std::string hexDigestOfFile(const std::string& path) {
    uint8_t digest[kSha256DigestSize];
    if (fileDigest(path.c_str(), digest) != 0) {
        return "";
    }
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const uint8_t byte : digest) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

}  // namespace

RolloutOrder rolloutOrderOf(json_object* request) {
    refuseUnknownKeys(request);
    RolloutOrder order;
    order.id = text(request, "id");
    order.url = text(request, "url");
    if (!order.url.starts_with("https://") || order.url.size() == 8) {
        throw std::invalid_argument("url: not an https:// address");
    }
    order.sha256 = digestOf(text(request, "sha256"));
    order.size = sizeOf(request);
    order.nodes = text(request, "nodes");
    const cli::AddressList list = cli::parseAddressList(order.nodes);
    if (!list.fault.empty()) {
        throw std::invalid_argument("nodes: " + list.fault);
    }
    order.remote = text(request, "remote");
    if (order.remote.empty() || order.remote.size() > kMaxRemoteName ||
        order.remote.find('/') != std::string::npos) {
        throw std::invalid_argument("remote: not a node file name (1 to 255 bytes, no '/')");
    }
    return order;
}

// ---------------------------------------------------------------------------------------------

Download::Download(const RolloutOrder& order, const std::string& folder, const std::string& caFile)
    : _order(order), _path(folder + "/" + order.sha256), _partial(_path + ".part") {
    if (hexDigestOfFile(_path) == _order.sha256) {
        _done = true;
        return;
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        fail(kRolloutBadFile, "cannot make " + folder + ": " + std::strerror(errno));
        return;
    }
    _file = std::fopen(_partial.c_str(), "wb");
    if (_file == nullptr) {
        fail(kRolloutBadFile, "cannot write " + _partial + ": " + std::strerror(errno));
        return;
    }
    start(caFile);
}

Download::~Download() {
    if (_easy != nullptr) {
        curl_multi_remove_handle(_multi, _easy);
        curl_easy_cleanup(_easy);
    }
    if (_multi != nullptr) {
        curl_multi_cleanup(_multi);
    }
    if (_file != nullptr) {
        std::fclose(_file);
        std::remove(_partial.c_str());
    }
}

// Only https, also after a redirection; the peer and its name verified (libcurl's default).
void Download::start(const std::string& caFile) {
    _multi = curl_multi_init();
    _easy = curl_easy_init();
    curl_easy_setopt(_easy, CURLOPT_URL, _order.url.c_str());
    curl_easy_setopt(_easy, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(_easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(_easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(_easy, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(_easy, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(_easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(_easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
    curl_easy_setopt(_easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(_easy, CURLOPT_LOW_SPEED_TIME, kStalledS);
    curl_easy_setopt(_easy, CURLOPT_ERRORBUFFER, _error);
    curl_easy_setopt(_easy, CURLOPT_WRITEFUNCTION, onData);
    curl_easy_setopt(_easy, CURLOPT_WRITEDATA, this);
    if (!caFile.empty()) {
        curl_easy_setopt(_easy, CURLOPT_CAINFO, caFile.c_str());
    }
    curl_multi_add_handle(_multi, _easy);
}

size_t Download::onData(char* data, size_t size, size_t count, void* self) {
    return static_cast<Download*>(self)->take(data, size * count);
}

// More than was asked for ends the fetch: the rest is never written.
size_t Download::take(const char* data, size_t length) {
    if (_received + length > _order.size) {
        _oversized = true;
        return 0;
    }
    _received += length;
    return std::fwrite(data, 1, length, _file);
}

void Download::addPollFds(std::vector<pollfd>& fds) const {
    if (_done) {
        return;
    }
    fd_set reading;
    fd_set writing;
    fd_set failing;
    FD_ZERO(&reading);
    FD_ZERO(&writing);
    FD_ZERO(&failing);
    int highest = -1;
    curl_multi_fdset(_multi, &reading, &writing, &failing, &highest);
    for (int fd = 0; fd <= highest; ++fd) {
        const short events = static_cast<short>((FD_ISSET(fd, &reading) ? POLLIN : 0) |
                                                (FD_ISSET(fd, &writing) ? POLLOUT : 0));
        if (events != 0) {
            fds.push_back({fd, events, 0});
        }
    }
}

Download::Clock::time_point Download::service(Clock::time_point now) {
    if (_done) {
        return now;
    }
    int running = 0;
    curl_multi_perform(_multi, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(_multi, &left)) {
        if (message->msg == CURLMSG_DONE) {
            finish(message->data.result);
            return now;
        }
    }
    long waitMs = -1;
    curl_multi_timeout(_multi, &waitMs);
    // No timer of its own (-1): it still wants a look now and then, as its sockets may change.
    waitMs = waitMs < 0 ? 100 : std::min(waitMs, 1000L);
    return now + std::chrono::milliseconds(waitMs);
}

void Download::finish(CURLcode code) {
    _done = true;
    const bool written = std::fclose(_file) == 0;
    _file = nullptr;
    const std::string size = std::to_string(_order.size);
    if (_oversized || code == CURLE_FILESIZE_EXCEEDED) {
        return fail(kRolloutBadFile, _order.url + " holds more than the " + size + " bytes asked for");
    }
    if (code != CURLE_OK) {
        return fail(kRolloutUnavailable, _order.url + " cannot be fetched: " +
                                             (_error[0] != 0 ? _error : curl_easy_strerror(code)));
    }
    if (!written) {
        return fail(kRolloutBadFile, "cannot write " + _partial);
    }
    if (_received != _order.size) {
        return fail(kRolloutBadFile, _order.url + " holds " + std::to_string(_received) +
                                         " bytes, not the " + size + " asked for");
    }
    const std::string digest = hexDigestOfFile(_partial);
    if (digest != _order.sha256) {
        return fail(kRolloutBadFile, _order.url + " has the sha256 " + digest + ", not " + _order.sha256);
    }
    if (std::rename(_partial.c_str(), _path.c_str()) != 0) {
        return fail(kRolloutBadFile, "cannot keep " + _path + ": " + std::strerror(errno));
    }
    _fetched = true;
}

void Download::fail(int status, const std::string& why) {
    _done = true;
    _status = status;
    _fault = why;
    std::remove(_partial.c_str());
}

// ---------------------------------------------------------------------------------------------

RolloutJournal::RolloutJournal(const std::string& stateDir) : _file(stateDir + "/rollouts.json") {
    JsonDocument journal(json_object_from_file(_file.c_str()));
    json_object* rollouts = nullptr;
    if (json_object_object_get_ex(journal.get(), "rollouts", &rollouts) &&
        json_object_is_type(rollouts, json_type_array)) {
        for (size_t index = 0; index < json_object_array_length(rollouts); ++index) {
            json_object* entry = json_object_array_get_idx(rollouts, index);
            json_object* id = nullptr;
            json_object* url = nullptr;
            if (json_object_object_get_ex(entry, "id", &id) &&
                json_object_object_get_ex(entry, "url", &url)) {
                _entries[json_object_get_string(id)] = json_object_get_string(url);
            }
        }
    }
}

std::vector<std::string> RolloutJournal::takeInterrupted() {
    std::vector<std::string> ids;
    for (const auto& [id, url] : _entries) {
        ids.push_back(id);
    }
    _entries.clear();
    save();
    return ids;
}

void RolloutJournal::add(const RolloutOrder& order) {
    _entries[order.id] = order.url;
    save();
}

void RolloutJournal::remove(const std::string& id) {
    if (_entries.erase(id) != 0) {
        save();
    }
}

void RolloutJournal::save() const {
    if (_entries.empty()) {
        std::remove(_file.c_str());
        return;
    }
    JsonDocument rollouts(json_object_new_array());
    for (const auto& [id, url] : _entries) {
        JsonDocument entry = cli::newObject();
        cli::setText(entry.get(), "id", id);
        cli::setText(entry.get(), "url", url);
        json_object_array_add(rollouts.get(), entry.release());
    }
    JsonDocument journal = cli::newObject();
    cli::setValue(journal.get(), "rollouts", rollouts.release());
    const std::string partial = _file + ".new";
    {
        std::ofstream out(partial, std::ios::trunc);
        out << json_object_to_json_string_ext(journal.get(), JSON_C_TO_STRING_PLAIN) << "\n";
    }
    std::rename(partial.c_str(), _file.c_str());
}

}  // namespace agent
