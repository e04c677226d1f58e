/* SHA-256 as FIPS 180-4 defines it, small rather than fast: the node hashes
 * at most one chunk per request. */
#include <string.h>

#include "kestro_node.h"

static const uint32_t kRound[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u,
    0xab1c5ed5u, 0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu,
    0x9bdc06a7u, 0xc19bf174u, 0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu,
    0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau, 0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u,
    0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u, 0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu,
    0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u, 0xa2bfe8a1u, 0xa81a664bu,
    0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u, 0x19a4c116u,
    0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u,
    0xc67178f2u};

static const uint32_t kInitial[8] = {0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
                                     0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u};

static uint32_t rotr(uint32_t x, unsigned n) {
    return (x >> n) | (x << (32u - n));
}

static uint32_t be32(const uint8_t *p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

/* The message schedule is kept as a 16-word window to spare the stack. */
static uint32_t schedule(uint32_t w[16], unsigned i) {
    uint32_t s0, s1;
    if (i < 16) return w[i];
    s0 = rotr(w[(i + 1) & 15], 7) ^ rotr(w[(i + 1) & 15], 18) ^ (w[(i + 1) & 15] >> 3);
    s1 = rotr(w[(i + 14) & 15], 17) ^ rotr(w[(i + 14) & 15], 19) ^ (w[(i + 14) & 15] >> 10);
    w[i & 15] += s0 + s1 + w[(i + 9) & 15];
    return w[i & 15];
}

/* The eight working variables one round moves down (h = g, ..., b = a),
 * assigned one by one: a copying loop would become a memmove call. */
static void shift_in(uint32_t v[8], uint32_t t1, uint32_t t2) {
    v[7] = v[6];
    v[6] = v[5];
    v[5] = v[4];
    v[4] = v[3] + t1;
    v[3] = v[2];
    v[2] = v[1];
    v[1] = v[0];
    v[0] = t1 + t2;
}

static void compress(uint32_t state[8], const uint8_t block[64]) {
    uint32_t w[16], v[8];
    unsigned i;
    for (i = 0; i < 16; ++i) w[i] = be32(block + 4 * i);
    memcpy(v, state, sizeof v);
    for (i = 0; i < 64; ++i) {
        uint32_t t1 = v[7] + (rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25)) +
                      ((v[4] & v[5]) ^ (~v[4] & v[6])) + kRound[i] + schedule(w, i);
        uint32_t t2 = (rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22)) +
                      ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
        shift_in(v, t1, t2);
    }
    for (i = 0; i < 8; ++i) state[i] += v[i];
}

void kn_sha256_init(kn_sha256 *sha) {
    memcpy(sha->state, kInitial, sizeof kInitial);
    sha->count = 0;
}

void kn_sha256_update(kn_sha256 *sha, const void *data, size_t n) {
    const uint8_t *bytes = (const uint8_t *)data;
    while (n > 0) {
        size_t used = (size_t)(sha->count & 63u);
        size_t take = 64u - used < n ? 64u - used : n;
        memcpy(sha->block + used, bytes, take);
        sha->count += take;
        bytes += take;
        n -= take;
        if (used + take == 64u) compress(sha->state, sha->block);
    }
}

void kn_sha256_final(kn_sha256 *sha, uint8_t digest[KN_SHA256_SIZE]) {
    static const uint8_t kPad = 0x80, kZero = 0;
    uint64_t bits = sha->count * 8u;
    uint8_t length[8];
    unsigned i;
    for (i = 0; i < 8; ++i) length[i] = (uint8_t)(bits >> (56 - 8 * i));
    kn_sha256_update(sha, &kPad, 1);
    while ((sha->count & 63u) != 56u) kn_sha256_update(sha, &kZero, 1);
    kn_sha256_update(sha, length, sizeof length);
    for (i = 0; i < 32; ++i) digest[i] = (uint8_t)(sha->state[i / 4] >> (24 - 8 * (i % 4)));
}
