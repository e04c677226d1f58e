// The device API of the simulated board, as PROGRAM sees it: every libcurl
// transfer to the configured endpoint connects to the launcher's server on
// the loopback and trusts the launcher's per-run authority, with peer and
// host-name verification left on. Transfers to other hosts are untouched.

#include <curl/curl.h>
#include <dlfcn.h>

#include <strings.h>

#include <cstdlib>
#include <string>

#include "Launch.h"

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using Perform = CURLcode (*)(CURL*);
using SetOption = CURLcode (*)(CURL*, CURLoption, ...);
using Append = curl_slist* (*)(curl_slist*, const char*);

// Made once and kept for the process: libcurl reads it during each transfer.
curl_slist* connectTo(Append append) {
    static curl_slist* const list = append(nullptr, std::getenv(sim::launch::kConnectTo));
    return list;
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
bool toSimulatedEndpoint(CURL* handle, const char* target) {
    using GetInfo = CURLcode (*)(CURL*, CURLINFO, ...);
    static const auto getInfo = reinterpret_cast<GetInfo>(dlsym(RTLD_NEXT, "curl_easy_getinfo"));
    char* url = nullptr;
    if (getInfo == nullptr || getInfo(handle, CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK || url == nullptr) {
        return false;
    }
    const std::string endpointHost = std::string(target).substr(0, std::string(target).find(':'));
    return strcasecmp(hostOf(url).c_str(), endpointHost.c_str()) == 0;
}

}  // namespace

SIM_EXPORT CURLcode curl_easy_perform(CURL* handle) {
    static const auto perform = reinterpret_cast<Perform>(dlsym(RTLD_NEXT, "curl_easy_perform"));
    static const auto setOption = reinterpret_cast<SetOption>(dlsym(RTLD_NEXT, "curl_easy_setopt"));
    static const auto append = reinterpret_cast<Append>(dlsym(RTLD_NEXT, "curl_slist_append"));
    const char* authority = std::getenv(sim::launch::kAuthority);
    const char* target = std::getenv(sim::launch::kConnectTo);
    if (authority != nullptr && target != nullptr && setOption != nullptr && append != nullptr &&
        toSimulatedEndpoint(handle, target)) {
        setOption(handle, CURLOPT_CAINFO, authority);
        setOption(handle, CURLOPT_CONNECT_TO, connectTo(append));
    }
    return perform(handle);
}
