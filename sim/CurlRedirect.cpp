// The device API of the simulated board, as PROGRAM sees it: every libcurl
// transfer to the configured endpoint connects to the launcher's server on
// the loopback and trusts the launcher's per-run authority, with peer and
// host-name verification left on. Transfers to other hosts are untouched.
// The waits of a transfer are for a real server, the launcher's or another
// host's: they take real time even on a fast run's clock.

#include <curl/curl.h>
#include <dlfcn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "Launch.h"
#include "RealLibc.h"
#include "Waits.h"

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using Perform = CURLcode (*)(CURL*);
using SetOption = CURLcode (*)(CURL*, CURLoption, ...);
using Append = curl_slist* (*)(curl_slist*, const char*);

// Where the launcher's device API is: its authority file and the CURLOPT_CONNECT_TO list.
struct Redirect {
    std::string authority;
    curl_slist* connectTo = nullptr;
};

// Everything the launcher sends on `fd` until it closes the connection.
std::string answerOn(int fd) {
    std::string answer;
    char buffer[512];
    for (ssize_t count; (count = recv(fd, buffer, sizeof buffer, 0)) != 0;) {
        if (count < 0 && errno != EINTR) break;
        if (count > 0) answer.append(buffer, static_cast<std::size_t>(count));
    }
    return answer;
}

// Asks the launcher (see Launch.h), which starts the device API at the first request.
std::string askLauncher(const char* socketName) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t size = std::min(std::strlen(socketName), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, socketName, size);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + size);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    const std::string answer = connected ? answerOn(fd) : "";
    sim::real::close(fd);
    return answer;
}

// Asked once and kept for the process: libcurl reads the list during each transfer.
const std::optional<Redirect>& redirect(Append append) {
    static const std::optional<Redirect> kept = [append]() -> std::optional<Redirect> {
        const char* socketName = std::getenv(sim::launch::kDeviceApi);
        const std::string answer = socketName == nullptr ? "" : askLauncher(socketName);
        const std::size_t first = answer.find('\n');
        const std::size_t second = first == std::string::npos ? first : answer.find('\n', first + 1);
        if (second == std::string::npos) return std::nullopt;
        const std::string connectTo = answer.substr(first + 1, second - first - 1);
        return Redirect{answer.substr(0, first), append(nullptr, connectTo.c_str())};
    }();
    return kept;
}

// The host of a URL ("api.example" of "https://user@api.example:443/x").
std::string hostOf(const std::string& url) {
    const std::size_t scheme = url.find("://");
    const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
    authority = authority.substr(authority.find('@') + 1);
    return authority.substr(0, authority.find(':'));
}

// Only transfers to the simulated endpoint trust the simulator's authority.
bool toSimulatedEndpoint(CURL* handle, const char* endpoint) {
    using GetInfo = CURLcode (*)(CURL*, CURLINFO, ...);
    static const auto getInfo = reinterpret_cast<GetInfo>(dlsym(RTLD_NEXT, "curl_easy_getinfo"));
    char* url = nullptr;
    if (getInfo == nullptr || getInfo(handle, CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK || url == nullptr) {
        return false;
    }
    const std::string endpointHost = std::string(endpoint).substr(0, std::string(endpoint).find(':'));
    return strcasecmp(hostOf(url).c_str(), endpointHost.c_str()) == 0;
}

}  // namespace

SIM_EXPORT CURLcode curl_easy_perform(CURL* handle) {
    static const auto perform = reinterpret_cast<Perform>(dlsym(RTLD_NEXT, "curl_easy_perform"));
    static const auto setOption = reinterpret_cast<SetOption>(dlsym(RTLD_NEXT, "curl_easy_setopt"));
    static const auto append = reinterpret_cast<Append>(dlsym(RTLD_NEXT, "curl_slist_append"));
    const char* endpoint = std::getenv(sim::launch::kEndpoint);
    if (endpoint != nullptr && setOption != nullptr && append != nullptr &&
        toSimulatedEndpoint(handle, endpoint) && redirect(append)) {
        setOption(handle, CURLOPT_CAINFO, redirect(append)->authority.c_str());
        setOption(handle, CURLOPT_CONNECT_TO, redirect(append)->connectTo);
    }
    const sim::waits::RealTime realTime;
    return perform(handle);
}

// The multi interface's transfers run from the program's own loop: while one is under way the
// program's waits take real time, as its server's do.
namespace {

std::mutex transfersLock;
std::set<CURL*> transfers;

}  // namespace

SIM_EXPORT CURLMcode curl_multi_add_handle(CURLM* multi, CURL* handle) {
    using Add = CURLMcode (*)(CURLM*, CURL*);
    static const auto add = reinterpret_cast<Add>(dlsym(RTLD_NEXT, "curl_multi_add_handle"));
    const CURLMcode code = add(multi, handle);
    const std::lock_guard<std::mutex> hold(transfersLock);
    if (code == CURLM_OK && transfers.insert(handle).second) {
        sim::waits::transferStarted();
    }
    return code;
}

SIM_EXPORT CURLMcode curl_multi_remove_handle(CURLM* multi, CURL* handle) {
    using Remove = CURLMcode (*)(CURLM*, CURL*);
    static const auto remove = reinterpret_cast<Remove>(dlsym(RTLD_NEXT, "curl_multi_remove_handle"));
    {
        const std::lock_guard<std::mutex> hold(transfersLock);
        if (transfers.erase(handle) != 0) {
            sim::waits::transferEnded();
        }
    }
    return remove(multi, handle);
}

