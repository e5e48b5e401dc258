// The admin endpoint's Host and Origin check.
#include "AdminAccess.hpp"
#include "text/Text.hpp"

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

bool adminRequestAllowed(const std::string_view* host, const std::string_view* origin) {
    if (host != nullptr && !isLoopbackHost(*host)) return false;
    if (origin == nullptr) return true;
    if (host == nullptr) return false;
    constexpr std::string_view kScheme = "http://";
    return origin->size() == kScheme.size() + host->size() &&
           equalsNoCase(origin->substr(0, kScheme.size()), kScheme) &&
           equalsNoCase(origin->substr(kScheme.size()), *host);
}

} // namespace tnlrelay::detail
