// Whose request is this: the address the relay shows, bans and logs for a game request. Only
// a peer in the trusted proxy list may name another client, through X-Forwarded-For or, when
// that is absent, Forwarded; everyone else is what the socket (or the PROXY header it was
// allowed to send) says.
#pragma once

#include "net/Address.hpp"
#include "net/Net.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace tnlrelay {

/// Which header a trusted proxy names the client in. A proxy that sets one header and passes
/// the other through from the client lets the client choose its own address unless the relay
/// reads only the header the proxy sets.
enum class ForwardedHeader {
    either,        ///< X-Forwarded-For, or Forwarded when there is none
    xForwardedFor, ///< X-Forwarded-For only
    forwarded,     ///< Forwarded only
};
/// The setting named by a header's name ("X-Forwarded-For", "Forwarded", any case); nothing
/// for any other text.
std::optional<ForwardedHeader> forwardedHeaderNamed(std::string_view name);

/// The client behind a request from `peer` (address text as the adapter gives it). Proxies
/// append the address they saw to the right, so the list is walked from the right and the
/// first address that is not itself a trusted proxy is the client. A malformed or hidden
/// entry ends the walk at the nearest proxy that could be believed.
std::string clientAddress(std::string_view peer, const net::HttpMessage& request,
                          const net::AddressList& trusted,
                          ForwardedHeader which = ForwardedHeader::either);

namespace detail {
/// The node text of one Forwarded `for=` value without quotes, brackets or port, or empty.
std::string_view forwardedNode(std::string_view value);
/// The address part of one X-Forwarded-For entry (brackets and port removed), or empty.
std::string_view forwardedForEntry(std::string_view entry);
} // namespace detail

} // namespace tnlrelay
