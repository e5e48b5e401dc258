// The client half of the WebSocket opening handshake: the join request the relay expects and
// the check of its answer (status 101 and the accept key derived from our key).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tnlrelay::bench {

/// A fresh Sec-WebSocket-Key: 16 bytes from `seed`, base64-encoded.
std::string makeKey(std::uint64_t seed);

/// The Sec-WebSocket-Accept value a server must answer to `key`.
std::string acceptFor(std::string_view key);

/// The join request: GET /?room=<room>&player=<player>&max=<max> with the upgrade headers.
std::string joinRequest(std::string_view hostPort, std::string_view room, std::string_view player,
                        unsigned max, std::string_view key);

/// Outcome of reading the answer so far.
enum class HandshakeStatus { incomplete, accepted, refused };

/// Looks at the bytes received so far. On `accepted`, `headerEnd` is the offset of the first
/// byte after the header (WebSocket frames may follow in the same read).
HandshakeStatus checkAnswer(std::string_view received, std::string_view key,
                            std::size_t& headerEnd);

} // namespace tnlrelay::bench
