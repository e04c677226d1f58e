#include "CurlTrust.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include "TestAuthority.h"

namespace {

std::string& trustedFile() {
    static std::string path;
    return path;
}

using Perform = CURLcode (*)(CURL*);

Perform realPerform() {
    static const auto perform = reinterpret_cast<Perform>(dlsym(RTLD_NEXT, "curl_easy_perform"));
    return perform;
}

}  // namespace

void trustCertificateFile(const std::string& path) {
    trustedFile() = path;
}

// The code under test sets no trust options of its own, so the test's authority is added here,
// just before the transfer, with verification left on.
extern "C" CURLcode curl_easy_perform(CURL* handle) {
    if (!trustedFile().empty()) {
        curl_easy_setopt(handle, CURLOPT_CAINFO, trustedFile().c_str());
        curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    }
    return realPerform()(handle);
}

namespace {

struct RegisteredAuthority {
    TestAuthority authority{"kestro test authority"};
    RegisteredAuthority() { trustCertificateFile(authority.certificateFile()); }
};

}  // namespace

const TestAuthority& trustedTestAuthority() {
    static const RegisteredAuthority registered;
    return registered.authority;
}
