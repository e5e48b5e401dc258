// The client address of a game request, from the socket peer and, for trusted proxies only,
// their forwarding headers.
#include "ClientAddress.hpp"

#include "text/Text.hpp"

#include <vector>

namespace tnlrelay {

namespace {

// Strips "[v6]:port" or "[v6]" to the address, and "v4:port" to the address.
std::string_view stripPort(std::string_view s) {
    if (!s.empty() && s.front() == '[') {
        const std::size_t close = s.find(']');
        if (close == std::string_view::npos) return {};
        const std::string_view rest = s.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') return {};
        return s.substr(1, close - 1);
    }
    const std::size_t colon = s.find(':');
    // One colon: an IPv4 address with a port. More: a bare IPv6 address.
    if (colon != std::string_view::npos && s.find(':', colon + 1) == std::string_view::npos)
        return s.substr(0, colon);
    return s;
}

// Walks `hops` (nearest proxy last) and returns the client text, or the peer.
std::string walk(std::string_view peer, const std::vector<std::string_view>& hops,
                 const net::AddressList& trusted) {
    std::string client(peer);
    for (std::size_t i = hops.size(); i-- > 0;) {
        const auto address = net::parseIp(hops[i]);
        if (!address) break;
        client = net::formatIp(*address);
        if (!trusted.contains(*address)) break;
    }
    return client;
}

} // namespace

namespace detail {

std::string_view forwardedForEntry(std::string_view entry) {
    return stripPort(trimBlanks(entry));
}

std::string_view forwardedNode(std::string_view value) {
    value = trimBlanks(value);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    return stripPort(value);
}

} // namespace detail

std::optional<ForwardedHeader> forwardedHeaderNamed(std::string_view name) {
    if (equalsNoCase(name, "X-Forwarded-For")) return ForwardedHeader::xForwardedFor;
    if (equalsNoCase(name, "Forwarded")) return ForwardedHeader::forwarded;
    return std::nullopt;
}

std::string clientAddress(std::string_view peer, const net::HttpMessage& request,
                          const net::AddressList& trusted, ForwardedHeader which) {
    if (trusted.empty() || !trusted.contains(peer)) return std::string(peer);
    std::vector<std::string_view> hops;
    // Several header lines of one name form one list, in order.
    for (const auto& [name, value] : request.headers) {
        if (which == ForwardedHeader::forwarded || !equalsNoCase(name, "X-Forwarded-For")) continue;
        std::string_view rest = value;
        while (true) {
            const std::size_t comma = rest.find(',');
            hops.push_back(detail::forwardedForEntry(rest.substr(0, comma)));
            if (comma == std::string_view::npos) break;
            rest = rest.substr(comma + 1);
        }
    }
    if (hops.empty() && which != ForwardedHeader::xForwardedFor) {
        // Forwarded: elements separated by commas, pairs by semicolons; one for= per element.
        for (const auto& [name, value] : request.headers) {
            if (!equalsNoCase(name, "Forwarded")) continue;
            std::string_view rest = value;
            while (true) {
                const std::size_t comma = rest.find(',');
                std::string_view element = rest.substr(0, comma);
                std::string_view node;
                bool found = false;
                while (!element.empty()) {
                    const std::size_t semi = element.find(';');
                    const std::string_view pair = trimBlanks(element.substr(0, semi));
                    if (pair.size() > 4 && equalsNoCase(pair.substr(0, 4), "for=")) {
                        node = detail::forwardedNode(pair.substr(4));
                        found = true;
                    }
                    element = semi == std::string_view::npos ? std::string_view()
                                                             : element.substr(semi + 1);
                }
                // An element without for= says nothing about the client: it ends the walk.
                hops.push_back(found ? node : std::string_view());
                if (comma == std::string_view::npos) break;
                rest = rest.substr(comma + 1);
            }
        }
    }
    return walk(peer, hops, trusted);
}

} // namespace tnlrelay
