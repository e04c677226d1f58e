#include "Sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace sim {

std::array<uint8_t, 32> sha256(const Bytes& data) {
    std::array<uint8_t, 32> digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("libcrypto could not compute SHA-256");
    }
    return digest;
}

}  // namespace sim
