// The admin endpoint's Host and Origin check, and which peers are this machine.
#include "AdminAccess.hpp"
#include "text/Text.hpp"

#include <cstdlib>

namespace tnlrelay {

LocalPeers::LocalPeers(std::string_view narrowedTo) : narrowed_(net::AddressList{}) {
    while (!narrowedTo.empty()) {
        const auto comma = narrowedTo.find(',');
        narrowed_->add(trimBlanks(narrowedTo.substr(0, comma)));
        narrowedTo.remove_prefix(comma == std::string_view::npos ? narrowedTo.size() : comma + 1);
    }
}

LocalPeers LocalPeers::fromEnvironment() {
    const char* narrowed = std::getenv("TNLRELAY_ADMIN_LOCAL_PEERS");
    return narrowed ? LocalPeers(narrowed) : LocalPeers();
}

bool LocalPeers::isLocal(std::string_view address) const {
    const std::optional<net::IpAddress> ip = net::parseIp(address);
    if (!ip) return false;
    static const net::IpAddress kV6Loopback = *net::parseIp("::1");
    const bool loopback = ip->v6 ? *ip == kV6Loopback : ip->bytes[0] == 127;
    return loopback && (!narrowed_ || narrowed_->contains(*ip));
}

} // namespace tnlrelay

namespace tnlrelay::detail {

namespace {

/// A decimal number from 0 to 255 without a sign.
bool isOctet(std::string_view s) {
    return allDigits(s) && s.size() <= 3 && atoiSaturating(s) <= 255;
}

bool isLoopbackName(std::string_view name) {
    if (name == "[::1]" || equalsNoCase(name, "localhost")) return true;
    // 127.x.x.x in dotted decimal
    std::string_view rest = name;
    for (int part = 0; part < 4; ++part) {
        auto dot = rest.find('.');
        auto piece = part < 3 ? rest.substr(0, dot) : rest;
        if ((part < 3 && dot == std::string_view::npos) || !isOctet(piece)) return false;
        if (part == 0 && piece != "127") return false;
        if (part < 3) rest.remove_prefix(dot + 1);
    }
    return true;
}

} // namespace

bool isLoopbackHost(std::string_view host) {
    std::string_view name = host;
    if (!host.empty() && host.front() == '[') {
        auto close = host.find(']');
        if (close == std::string_view::npos) return false;
        name = host.substr(0, close + 1);
        auto rest = host.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !allDigits(rest.substr(1)))) return false;
    } else if (auto colon = host.rfind(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        if (!allDigits(host.substr(colon + 1))) return false;
    }
    return isLoopbackName(name);
}

bool adminRequestAllowed(const std::string_view* host, const std::string_view* origin, bool tls) {
    if (host != nullptr && !isLoopbackHost(*host)) return false;
    return sameOrigin(host, origin, tls);
}

bool sameOrigin(const std::string_view* host, const std::string_view* origin, bool tls) {
    if (origin == nullptr) return true;
    if (host == nullptr) return false;
    const std::string_view scheme = tls ? "https://" : "http://";
    return origin->size() == scheme.size() + host->size() &&
           equalsNoCase(origin->substr(0, scheme.size()), scheme) &&
           equalsNoCase(origin->substr(scheme.size()), *host);
}

} // namespace tnlrelay::detail
