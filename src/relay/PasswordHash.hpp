// Admin passwords as config.json stores them: never the password, only a salted scrypt hash with
// its cost written beside it, "scrypt$N$r$p$salt$hash" (salt and hash in base64), so that a
// later version can raise the cost for new hashes while old ones still verify.
#pragma once

#include "net/Secrets.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace tnlrelay {

/// The cost of new hashes: 32 MiB and a few tens of milliseconds each. Memory-hard, so that a
/// stolen config.json is costly to guess at on graphics cards, and bounded, so that one hash
/// never holds the relay's memory or its one hashing thread for long.
inline constexpr net::ScryptCost kPasswordCost{1u << 15, 8, 1};
/// The most a stored hash may ask for (a hand-edited cost above it is refused, not run):
/// 256 MiB.
inline constexpr std::uint64_t kPasswordMemoryLimit = 256ull << 20;

/// A new hash of the password with a fresh random salt; nothing when the build has no random
/// bytes or no scrypt.
std::optional<std::string> makePasswordHash(std::string_view password);

/// Whether a stored text is a hash this version can verify, within the cost limit.
bool passwordHashUsable(std::string_view encoded);

/// True when the password gives the stored hash; the hashes are compared in constant time. False
/// for a text that is not a usable hash. Takes the hash's whole cost: run it off the loop.
bool verifyPassword(std::string_view password, std::string_view encoded);

} // namespace tnlrelay
