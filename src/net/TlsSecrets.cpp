// Random bytes, scrypt and constant-time comparison, on the TLS library's own functions.
#include "Secrets.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <atomic>
#include <climits>

namespace tnlrelay::net {

namespace {
std::atomic<std::uint64_t> g_secretComparisons{0};
} // namespace

bool randomBytes(unsigned char* out, std::size_t size) {
    return size <= INT_MAX && RAND_bytes(out, static_cast<int>(size)) == 1;
}

std::uint64_t scryptMemory(ScryptCost cost) {
    // The library's own reckoning: the block array of N * r and the working space of p * r.
    return 128ull * cost.r * (cost.n + cost.p + 2);
}

bool scrypt(std::string_view password, std::string_view salt, ScryptCost cost, unsigned char* out,
            std::size_t size) {
    // The library refuses a cost above its default memory limit (32 MiB) unless told the limit.
    const std::uint64_t maxMemory = scryptMemory(cost) + 1024 * 1024;
    return EVP_PBE_scrypt(password.data(), password.size(),
                          reinterpret_cast<const unsigned char*>(salt.data()), salt.size(), cost.n,
                          cost.r, cost.p, maxMemory, out, size) == 1;
}

bool secretsEqual(std::string_view a, std::string_view b) {
    g_secretComparisons.fetch_add(1, std::memory_order_relaxed);
    // Lengths are not secret here: every secret compared has a fixed length.
    if (a.size() != b.size()) return false;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::uint64_t secretComparisons() {
    return g_secretComparisons.load(std::memory_order_relaxed);
}

} // namespace tnlrelay::net
