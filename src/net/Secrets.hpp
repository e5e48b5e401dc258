// Secrets through the TLS library: random bytes, the memory-hard scrypt function that turns a
// password into a key, and the comparison of secrets in constant time. Plain types only; a
// build without the library has no random bytes and no scrypt (false), and compares in a loop
// of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tnlrelay::net {

/// Fills `out` from the library's cryptographic generator; false when it cannot.
bool randomBytes(unsigned char* out, std::size_t size);

/// scrypt's cost: N (a power of two above 1), r and p.
struct ScryptCost {
    std::uint64_t n = 0;
    std::uint32_t r = 0;
    std::uint32_t p = 0;
};

/// The memory scrypt needs with this cost, in bytes (128 * N * r, plus its small rest).
std::uint64_t scryptMemory(ScryptCost cost);

/// Derives `size` bytes from the password and salt; false when the library refuses the cost or
/// is missing.
bool scrypt(std::string_view password, std::string_view salt, ScryptCost cost, unsigned char* out,
            std::size_t size);

/// True when `a` and `b` are equal, taking a time that depends on their length only, never on
/// where they differ. Every secret the admin endpoint compares goes through here.
bool secretsEqual(std::string_view a, std::string_view b);

/// How many comparisons `secretsEqual` has made in this process: for tests that check that a
/// secret was compared through it.
std::uint64_t secretComparisons();

} // namespace tnlrelay::net
