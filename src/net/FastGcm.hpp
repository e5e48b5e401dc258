// AES-GCM on the vector AES and carry-less multiply instructions (VAES and VPCLMULQDQ with
// AVX-512), for the records TLS sessions seal and open themselves. It comes from the
// multi-buffer crypto library where the build found it (Linux on x86-64), and is used only on
// processors that have those instructions, where it is several times as fast as OpenSSL 3.0's
// (docs/performance.md has the figures). Elsewhere sessions keep OpenSSL's AES-GCM, which on
// AES-NI alone is as fast.
#pragma once

#include <cstddef>
#include <memory>

namespace tnlrelay::net::fastgcm {

/// True when this build has the library and this processor the instructions.
bool available();
/// Whether keys made from now on use it (when available). On by default; tests switch it off
/// to run OpenSSL's path on the same processor. Returns the previous setting.
bool enable(bool on);
/// available() and enabled.
bool inUse();

/// One direction's expanded key and hash key powers.
struct Key;
struct KeyFree {
    void operator()(Key* k) const;
};
using KeyPtr = std::unique_ptr<Key, KeyFree>;
/// A 16- or 32-byte AES key, for sealing or for opening; null when not in use.
KeyPtr makeKey(const unsigned char* key, std::size_t len, bool sealing);

/// One record's running state.
struct alignas(16) Context {
    unsigned char bytes[128];
};
/// Starts a record: its 12-byte nonce and its additional data (the record's header).
void start(const Key& key, Context& ctx, const unsigned char* iv12, const unsigned char* aad,
           std::size_t aadLen);
/// Seals or opens the next `n` bytes, in place or not, of any length.
void update(const Key& key, Context& ctx, unsigned char* out, const unsigned char* in,
            std::size_t n);
/// The record's 16-byte tag.
void finish(const Key& key, Context& ctx, unsigned char* tag16);

} // namespace tnlrelay::net::fastgcm
