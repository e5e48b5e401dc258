// Address text in and out, and range matching, written out by hand so that every platform
// shows the same text for the same client (ban entries are compared as text).
#include "Address.hpp"
#include "text/Text.hpp"

#include <cstring>

namespace tnlrelay::net {

namespace {

std::optional<std::uint32_t> parseV4(std::string_view s) {
    std::uint32_t value = 0;
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
        std::size_t start = i;
        unsigned part = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - start < 3)
            part = part * 10 + unsigned(s[i++] - '0');
        const std::size_t digits = i - start;
        if (digits == 0 || part > 255 || (digits > 1 && s[start] == '0')) return std::nullopt;
        value = (value << 8) | part;
        if (++parts < 4) {
            if (i >= s.size() || s[i] != '.') return std::nullopt;
            ++i;
        }
    }
    if (i != s.size()) return std::nullopt;
    return value;
}

std::optional<std::array<std::uint8_t, 16>> parseV6(std::string_view s) {
    std::uint16_t groups[8] = {};
    int count = 0;
    int gap = -1; // where "::" stands, in groups
    std::size_t i = 0;
    if (s.size() >= 2 && s[0] == ':' && s[1] == ':') {
        gap = 0;
        i = 2;
    } else if (!s.empty() && s[0] == ':') {
        return std::nullopt;
    }
    while (i < s.size()) {
        if (count == 8) return std::nullopt;
        // An embedded IPv4 tail takes the last two groups.
        const std::size_t end = s.find(':', i);
        const std::string_view piece =
            s.substr(i, end == std::string_view::npos ? s.npos : end - i);
        if (end == std::string_view::npos && piece.find('.') != std::string_view::npos) {
            const auto v4 = parseV4(piece);
            if (!v4 || count > 6) return std::nullopt;
            groups[count++] = std::uint16_t(*v4 >> 16);
            groups[count++] = std::uint16_t(*v4 & 0xFFFF);
            i = s.size();
            break;
        }
        if (piece.empty() || piece.size() > 4) return std::nullopt;
        unsigned value = 0;
        for (char ch : piece) {
            const int d = hexDigit(ch);
            if (d < 0) return std::nullopt;
            value = value * 16 + unsigned(d);
        }
        groups[count++] = std::uint16_t(value);
        i += piece.size();
        if (i == s.size()) break;
        ++i; // the ':'
        if (i < s.size() && s[i] == ':') {
            if (gap >= 0) return std::nullopt;
            gap = count;
            ++i;
        } else if (i == s.size()) {
            return std::nullopt; // a single trailing ':'
        }
    }
    if (gap < 0 ? count != 8 : count > 7) return std::nullopt;
    std::array<std::uint8_t, 16> out{};
    const int zeros = 8 - count;
    int at = 0;
    for (int g = 0; g < count; ++g) {
        if (g == gap) at += zeros;
        out[2 * at] = std::uint8_t(groups[g] >> 8);
        out[2 * at + 1] = std::uint8_t(groups[g] & 0xFF);
        ++at;
    }
    return out;
}

} // namespace

IpAddress IpAddress::v4(std::uint32_t hostOrder) {
    IpAddress a;
    a.bytes[0] = std::uint8_t(hostOrder >> 24);
    a.bytes[1] = std::uint8_t(hostOrder >> 16);
    a.bytes[2] = std::uint8_t(hostOrder >> 8);
    a.bytes[3] = std::uint8_t(hostOrder);
    return a;
}

IpAddress IpAddress::fromV6Bytes(const std::uint8_t* b) {
    static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    IpAddress a;
    if (std::memcmp(b, kMapped, 12) == 0) {
        std::memcpy(a.bytes.data(), b + 12, 4);
        return a;
    }
    a.v6 = true;
    std::memcpy(a.bytes.data(), b, 16);
    return a;
}

std::optional<IpAddress> parseIp(std::string_view text) {
    if (text.find(':') == std::string_view::npos) {
        const auto v4 = parseV4(text);
        if (!v4) return std::nullopt;
        return IpAddress::v4(*v4);
    }
    const auto v6 = parseV6(text);
    if (!v6) return std::nullopt;
    return IpAddress::fromV6Bytes(v6->data());
}

std::string formatIp(const IpAddress& a) {
    std::string out;
    if (!a.v6) {
        for (int i = 0; i < 4; ++i) {
            if (i) out += '.';
            out += std::to_string(a.bytes[i]);
        }
        return out;
    }
    unsigned groups[8];
    for (int g = 0; g < 8; ++g)
        groups[g] = unsigned(a.bytes[2 * g]) << 8 | a.bytes[2 * g + 1];
    int bestAt = -1, bestLen = 1; // a single zero group is written as 0
    for (int g = 0; g < 8;) {
        if (groups[g] != 0) {
            ++g;
            continue;
        }
        int end = g;
        while (end < 8 && groups[end] == 0)
            ++end;
        if (end - g > bestLen) bestAt = g, bestLen = end - g;
        g = end;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    for (int g = 0; g < 8; ++g) {
        if (g == bestAt) {
            out += "::";
            g += bestLen - 1;
            continue;
        }
        if (!out.empty() && out.back() != ':') out += ':';
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned d = (groups[g] >> shift) & 0xF;
            if (d || started || shift == 0) out += kHex[d], started = true;
        }
    }
    return out;
}

bool CidrRange::contains(const IpAddress& a) const {
    if (a.v6 != base.v6) return false;
    int bits = prefix;
    for (int i = 0; bits > 0; ++i, bits -= 8) {
        const std::uint8_t mask = bits >= 8 ? 0xFF : std::uint8_t(0xFF << (8 - bits));
        if ((a.bytes[i] & mask) != (base.bytes[i] & mask)) return false;
    }
    return true;
}

std::optional<CidrRange> parseCidr(std::string_view text) {
    const std::size_t slash = text.find('/');
    const auto address = parseIp(text.substr(0, slash));
    if (!address) return std::nullopt;
    // A mapped IPv4 range written in IPv6 would have its prefix counted over 128 bits.
    const bool writtenV6 = text.substr(0, slash).find(':') != std::string_view::npos;
    const int width = address->v6 ? 128 : 32;
    CidrRange range{*address, width};
    if (slash == std::string_view::npos) return range;
    const std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return std::nullopt;
    int prefix = 0;
    for (char ch : digits) {
        if (ch < '0' || ch > '9') return std::nullopt;
        prefix = prefix * 10 + (ch - '0');
    }
    if (writtenV6 && !address->v6) {
        if (prefix < 96 || prefix > 128) return std::nullopt;
        prefix -= 96;
    }
    if (prefix > width) return std::nullopt;
    range.prefix = prefix;
    return range;
}

bool AddressList::add(std::string_view text) {
    const auto range = parseCidr(text);
    if (!range) return false;
    ranges_.push_back(*range);
    return true;
}

bool AddressList::contains(const IpAddress& a) const {
    for (const CidrRange& r : ranges_)
        if (r.contains(a)) return true;
    return false;
}

bool AddressList::contains(std::string_view addressText) const {
    const auto a = parseIp(addressText);
    return a && contains(*a);
}

} // namespace tnlrelay::net
