// SHA-256 throughput of ours against OpenSSL's, both accelerated and scalar.
//
// libcrypto picks its SHA-256 code path (SHA extensions, AVX2, SSSE3 or plain integer) once,
// when it is loaded, from the CPU and the OPENSSL_ia32cap variable, so the copy linked
// into this program runs the fastest path the machine offers (unless OPENSSL_ia32cap was
// already set when the benchmark started). For the scalar figure a second,
// independent copy of libcrypto is loaded with dlmopen into a fresh link-map namespace
// while OPENSSL_ia32cap is "0:0" (every capability bit cleared), so that copy probes
// again and settles on its plain integer code. Both OpenSSL variants then run through
// the same SHA256_Init/Update/Final loop as ours, in the same process and run.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <openssl/sha.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "Sha256.h"

namespace {

constexpr size_t kMessageSize = size_t{64} * 1024;

const std::vector<uint8_t>& message() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> b(kMessageSize);
        for (size_t i = 0; i < b.size(); ++i) {
            b[i] = static_cast<uint8_t>(i * 131 + 7);
        }
        return b;
    }();
    return bytes;
}

void BM_Sha256Ours(benchmark::State& state) {
    const auto& data = message();
    uint8_t digest[32];
    for (auto _ : state) {
        Sha256Context ctx;
        sha256Init(ctx);
        sha256Update(ctx, data.data(), data.size());
        sha256Final(ctx, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Sha256Ours);

struct OpenSslSha256 {
    int (*init)(SHA256_CTX*);
    int (*update)(SHA256_CTX*, const void*, size_t);
    int (*final)(unsigned char*, SHA256_CTX*);
};

void runOpenSsl(benchmark::State& state, const OpenSslSha256& sha) {
    const auto& data = message();
    unsigned char digest[32];
    for (auto _ : state) {
        SHA256_CTX ctx;
        sha.init(&ctx);
        sha.update(&ctx, data.data(), data.size());
        sha.final(digest, &ctx);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_Sha256OpenSslAccelerated(benchmark::State& state) {
    runOpenSsl(state, {SHA256_Init, SHA256_Update, SHA256_Final});
}
BENCHMARK(BM_Sha256OpenSslAccelerated);

// Restores the caller's OPENSSL_ia32cap once the scalar copy has been loaded.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        setenv(name, value, 1);
    }
    ~ScopedVariable() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

std::optional<OpenSslSha256> loadScalarOpenSsl() {
    ScopedVariable noCapabilities("OPENSSL_ia32cap", "0:0");
    void* copy = dlmopen(LM_ID_NEWLM, "libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
    if (copy == nullptr) {
        return std::nullopt;
    }
    OpenSslSha256 sha{};
    sha.init = reinterpret_cast<decltype(sha.init)>(dlsym(copy, "SHA256_Init"));
    sha.update = reinterpret_cast<decltype(sha.update)>(dlsym(copy, "SHA256_Update"));
    sha.final = reinterpret_cast<decltype(sha.final)>(dlsym(copy, "SHA256_Final"));
    if (!sha.init || !sha.update || !sha.final) {
        return std::nullopt;
    }
    return sha;
}

void BM_Sha256OpenSslScalar(benchmark::State& state) {
    static const std::optional<OpenSslSha256> scalar = loadScalarOpenSsl();
    if (!scalar) {
        state.SkipWithError("could not load a second copy of libcrypto");
        return;
    }
    runOpenSsl(state, *scalar);
}
BENCHMARK(BM_Sha256OpenSslScalar);

}  // namespace
