// What a build without a TLS library says about TLS: nothing is in use; no random bytes and
// no scrypt either.
#ifndef TNLRELAY_TLS
#include "Net.hpp"
#include "Secrets.hpp"

#include <atomic>

namespace tnlrelay::net {

void setTlsOwnRecords(bool) {}
bool tlsOwnRecordsInUse() {
    return false;
}
bool tlsVectorAesGcm() {
    return false;
}
std::string tlsLibraryVersion() {
    return {};
}
const char* tlsDeclineName(TlsDecline) {
    return "";
}
std::uint64_t tlsDeclined(TlsDecline) {
    return 0;
}

namespace {
std::atomic<std::uint64_t> g_secretComparisons{0};
} // namespace

bool randomBytes(unsigned char*, std::size_t) {
    return false;
}
std::uint64_t scryptMemory(ScryptCost cost) {
    return 128ull * cost.r * (cost.n + cost.p + 2);
}
bool scrypt(std::string_view, std::string_view, ScryptCost, unsigned char*, std::size_t) {
    return false;
}
bool secretsEqual(std::string_view a, std::string_view b) {
    g_secretComparisons.fetch_add(1, std::memory_order_relaxed);
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}
std::uint64_t secretComparisons() {
    return g_secretComparisons.load(std::memory_order_relaxed);
}

} // namespace tnlrelay::net
#endif
