#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kSha256DigestSize = 32;

// Incremental SHA-256 state. Each field holds 32-bit quantities in 64-bit slots.
struct Sha256Context {
    uint64_t total[2];   // bytes absorbed: low 32 bits, then high 32 bits
    uint64_t state[8];   // chaining words
    uint8_t buffer[64];  // bytes of the incomplete block (total[0] % 64 of them)
};

void sha256Init(Sha256Context& ctx);
// A length of 0 changes nothing.
void sha256Update(Sha256Context& ctx, const uint8_t* data, size_t length);
// Writes the eight chaining words, most significant byte first.
void sha256Final(Sha256Context& ctx, uint8_t digest[32]);

// SHA-256 of the file's content as 32 raw bytes.
// 0 digest written; 1 the file cannot be opened (digest untouched) or a read failed
// (digest unspecified).
int32_t fileDigest(const char* path, uint8_t digest[32]);
