// The PROXY protocol header (text version 1 and binary version 2) that load balancers put in
// front of a connection to say whose it is. A pure parser over the bytes received so far: it
// never reads past the header and never trusts a length beyond what the version allows.
#pragma once

#include "Address.hpp"

#include <cstddef>
#include <optional>
#include <string_view>

namespace tnlrelay::net {

struct ProxyHeader {
    enum class Status {
        needMore, ///< a header may be complete with more bytes
        invalid,  ///< not a well-formed header: the connection is refused
        done,     ///< `length` bytes form the header
    };
    Status status = Status::needMore;
    std::size_t length = 0;
    /// The client's address; empty for a health check of the proxy itself (v2 LOCAL, v1
    /// UNKNOWN) or an address family other than TCP/UDP over IPv4 and IPv6.
    std::optional<IpAddress> source;
};

/// The longest header this parser accepts: v1 is at most 107 bytes, and v2 is limited to the
/// addresses and a modest amount of extensions (TLVs) that it skips.
constexpr std::size_t kMaxProxyHeader = 16 + 1024;

/// True when `first` (at least one byte) could begin a PROXY header of either version.
bool mayBeProxyHeader(std::string_view first);

/// Parses the header at the start of `data`.
ProxyHeader parseProxyHeader(std::string_view data);

} // namespace tnlrelay::net
