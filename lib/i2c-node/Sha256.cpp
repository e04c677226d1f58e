#include "Sha256.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "LocalFile.h"

namespace {

constexpr uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr size_t kBlockSize = 64;
constexpr size_t kLengthOffset = 56;
constexpr size_t kReadPiece = 1024;

inline uint32_t rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

inline uint32_t bigSigma0(uint32_t x) {
    return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22);
}
inline uint32_t bigSigma1(uint32_t x) {
    return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25);
}
inline uint32_t smallSigma0(uint32_t x) {
    return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3);
}
inline uint32_t smallSigma1(uint32_t x) {
    return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10);
}
inline uint32_t choose(uint32_t e, uint32_t f, uint32_t g) {
    return g ^ (e & (f ^ g));
}

inline uint32_t loadBigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void storeBigEndian32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Round I of the compression. The eight working variables stay in place and their roles
// rotate: round I treats v[(8 - I) % 8] as a, the next one as b, and so on. Every index is
// a compile-time constant, so the fully unrolled rounds keep v in registers and each round
// constant becomes an immediate operand.
// The message word is expanded inside its round rather than in a pass of its own: that
// pass is one long dependency chain, which here overlaps with the rounds' chain instead of
// adding to it.
// The majority is b ^ ((a ^ b) & (b ^ c)), and this round's b ^ c is the previous round's
// a ^ b, handed over in bc.
template <int I>
inline void mixRound(uint32_t v[8], uint32_t w[64], uint32_t& bc) {
    if constexpr (I >= 16) {
        w[I] = smallSigma1(w[I - 2]) + w[I - 7] + smallSigma0(w[I - 15]) + w[I - 16];
    }
    constexpr int r = (8 - I % 8) % 8;
    const uint32_t a = v[r], b = v[(r + 1) % 8], e = v[(r + 4) % 8];
    const uint32_t f = v[(r + 5) % 8], g = v[(r + 6) % 8];
    uint32_t& d = v[(r + 3) % 8];
    uint32_t& h = v[(r + 7) % 8];
    const uint32_t t1 = h + kRoundConstants[I] + w[I] + bigSigma1(e) + choose(e, f, g);
    const uint32_t ab = a ^ b;
    d += t1;
    h = t1 + bigSigma0(a) + (b ^ (ab & bc));
    bc = ab;
}

template <int... I>
inline void mixRounds(uint32_t v[8], uint32_t w[64], std::integer_sequence<int, I...>) {
    uint32_t bc = v[1] ^ v[2];
    (mixRound<I>(v, w, bc), ...);
}

void compressBlock(uint32_t s[8], const uint8_t* block) {
    uint32_t w[64];
    for (size_t i = 0; i < 16; ++i) {
        w[i] = loadBigEndian32(block + 4 * i);
    }
    uint32_t v[8];
    for (int i = 0; i < 8; ++i) {
        v[i] = s[i];
    }
    mixRounds(v, w, std::make_integer_sequence<int, 64>{});
    for (int i = 0; i < 8; ++i) {
        s[i] += v[i];
    }
}

// The chaining words stay in 32-bit locals across all the blocks of one call.
void compressBlocks(Sha256Context& ctx, const uint8_t* data, size_t blocks) {
    uint32_t s[8];
    for (int i = 0; i < 8; ++i) {
        s[i] = static_cast<uint32_t>(ctx.state[i]);
    }
    for (size_t n = 0; n < blocks; ++n) {
        compressBlock(s, data + n * kBlockSize);
    }
    for (int i = 0; i < 8; ++i) {
        ctx.state[i] = s[i];
    }
}

void addToCount(Sha256Context& ctx, size_t length) {
    const uint64_t low = ctx.total[0] + (length & 0xFFFFFFFFu);
    ctx.total[0] = low & 0xFFFFFFFFu;
    ctx.total[1] = (ctx.total[1] + (low >> 32) + (uint64_t{length} >> 32)) & 0xFFFFFFFFu;
}

// Closes the descriptor whatever path leaves fileDigest.
class ReadOnlyFile {
  public:
    explicit ReadOnlyFile(const char* path) : fd_(openRegularFile(path)) {}
    ~ReadOnlyFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }

    ssize_t readPiece(uint8_t* piece, size_t size) {
        ssize_t got;
        do {
            got = ::read(fd_, piece, size);
        } while (got < 0 && errno == EINTR);
        return got;
    }

  private:
    int fd_;
};

}  // namespace

void sha256Init(Sha256Context& ctx) {
    ctx.total[0] = 0;
    ctx.total[1] = 0;
    for (int i = 0; i < 8; ++i) {
        ctx.state[i] = kInitialState[i];
    }
}

void sha256Update(Sha256Context& ctx, const uint8_t* data, size_t length) {
    if (length == 0) {
        return;
    }
    size_t buffered = ctx.total[0] % kBlockSize;
    addToCount(ctx, length);
    if (buffered != 0 && length >= kBlockSize - buffered) {
        const size_t fill = kBlockSize - buffered;
        std::memcpy(ctx.buffer + buffered, data, fill);
        compressBlocks(ctx, ctx.buffer, 1);
        data += fill;
        length -= fill;
        buffered = 0;
    }
    const size_t blocks = length / kBlockSize;
    compressBlocks(ctx, data, blocks);
    data += blocks * kBlockSize;
    length -= blocks * kBlockSize;
    if (length != 0) {
        std::memcpy(ctx.buffer + buffered, data, length);
    }
}

void sha256Final(Sha256Context& ctx, uint8_t digest[32]) {
    const size_t buffered = ctx.total[0] % kBlockSize;
    const size_t padding =
        buffered < kLengthOffset ? kLengthOffset - buffered : kBlockSize + kLengthOffset - buffered;
    const uint64_t bitCount = ((ctx.total[1] << 32) | ctx.total[0]) << 3;
    uint8_t tail[kBlockSize + 8] = {0x80};
    for (int i = 0; i < 8; ++i) {
        tail[padding + i] = static_cast<uint8_t>(bitCount >> (56 - 8 * i));
    }
    sha256Update(ctx, tail, padding + 8);
    for (size_t i = 0; i < 8; ++i) {
        storeBigEndian32(digest + 4 * i, static_cast<uint32_t>(ctx.state[i]));
    }
}

int32_t fileDigest(const char* path, uint8_t digest[32]) {
    ReadOnlyFile file(path);
    if (!file.isOpen()) {
        return 1;
    }
    Sha256Context ctx;
    sha256Init(ctx);
    uint8_t piece[kReadPiece];
    for (;;) {
        const ssize_t got = file.readPiece(piece, sizeof piece);
        if (got < 0) {
            return 1;
        }
        if (got == 0) {
            break;
        }
        sha256Update(ctx, piece, static_cast<size_t>(got));
    }
    sha256Final(ctx, digest);
    return 0;
}
