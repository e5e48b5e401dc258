// PROXY header parsing. Version 1: "PROXY TCP4|TCP6|UNKNOWN src dst sport dport\r\n", at most
// 107 bytes. Version 2: a 12-byte signature, version and command, family, a 16-bit length,
// then the addresses and optional extensions.
#include "ProxyHeader.hpp"

#include <cstring>

namespace tnlrelay::net {

namespace {

constexpr char kV1Prefix[] = "PROXY ";
constexpr std::size_t kV1Max = 107;
constexpr std::uint8_t kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                           0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};

using Status = ProxyHeader::Status;

ProxyHeader fail() {
    return {Status::invalid, 0, std::nullopt};
}

bool parsePort(std::string_view s) {
    if (s.empty() || s.size() > 5 || (s.size() > 1 && s[0] == '0')) return false;
    unsigned value = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9') return false;
        value = value * 10 + unsigned(ch - '0');
    }
    return value <= 65535;
}

ProxyHeader parseV1(std::string_view data) {
    const std::size_t end = data.find("\r\n");
    if (end == std::string_view::npos) {
        // Only printable text may come before the line end.
        for (char ch : data)
            if (ch != '\r' && (ch < 0x20 || ch > 0x7E)) return fail();
        return data.size() >= kV1Max ? fail() : ProxyHeader{};
    }
    if (end + 2 > kV1Max) return fail();
    std::string_view fields[5];
    int count = 0;
    std::string_view line = data.substr(6, end - 6);
    while (!line.empty() && count < 5) {
        const std::size_t space = line.find(' ');
        fields[count++] = line.substr(0, space);
        line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    }
    if (count == 0) return fail();
    ProxyHeader h{Status::done, end + 2, std::nullopt};
    // UNKNOWN: the proxy does not know the client (or it is its own check); the rest is ignored.
    if (fields[0] == "UNKNOWN") return h;
    if (!line.empty() || count != 5) return fail();
    const bool v6 = fields[0] == "TCP6";
    if (!v6 && fields[0] != "TCP4") return fail();
    const auto src = parseIp(fields[1]);
    const auto dst = parseIp(fields[2]);
    // An IPv4 address written as mapped IPv6 in a TCP6 line is still the same client.
    const bool srcV6Text = fields[1].find(':') != std::string_view::npos;
    const bool dstV6Text = fields[2].find(':') != std::string_view::npos;
    if (!src || !dst || srcV6Text != v6 || dstV6Text != v6) return fail();
    if (!parsePort(fields[3]) || !parsePort(fields[4])) return fail();
    h.source = src;
    return h;
}

ProxyHeader parseV2(std::string_view data) {
    if (data.size() < 16) return {};
    const auto* b = reinterpret_cast<const std::uint8_t*>(data.data());
    const std::uint8_t version = b[12] >> 4, command = b[12] & 0x0F;
    if (version != 2 || command > 1) return fail();
    const std::size_t length = std::size_t(b[14]) << 8 | b[15];
    if (16 + length > kMaxProxyHeader) return fail();
    const std::uint8_t family = b[13] >> 4, transport = b[13] & 0x0F;
    // The address block must fit in the announced length, whatever the command.
    std::size_t need = 0;
    if (family == 1)
        need = 12; // IPv4: two addresses, two ports
    else if (family == 2)
        need = 36; // IPv6
    else if (family == 3)
        need = 216; // UNIX: two paths
    else if (family != 0)
        return fail();
    if (transport > 2) return fail();
    if (length < need) return fail();
    if (data.size() < 16 + length) return {};
    ProxyHeader h{Status::done, 16 + length, std::nullopt};
    if (command == 0 || transport == 0) return h; // LOCAL, or an unspecified transport
    if (family == 1)
        h.source = IpAddress::v4(std::uint32_t(b[16]) << 24 | std::uint32_t(b[17]) << 16 |
                                 std::uint32_t(b[18]) << 8 | b[19]);
    else if (family == 2)
        h.source = IpAddress::fromV6Bytes(b + 16);
    return h;
}

} // namespace

bool mayBeProxyHeader(std::string_view first) {
    const std::size_t n = first.size() < 12 ? first.size() : 12;
    if (n == 0) return false;
    if (std::memcmp(first.data(), kV2Signature, n) == 0) return true;
    const std::size_t v1 = n < 6 ? n : 6;
    return first.substr(0, v1) == std::string_view(kV1Prefix, v1);
}

ProxyHeader parseProxyHeader(std::string_view data) {
    if (data.size() >= 12 && std::memcmp(data.data(), kV2Signature, 12) == 0) return parseV2(data);
    if (data.size() >= 6 && data.substr(0, 6) == kV1Prefix) return parseV1(data);
    return mayBeProxyHeader(data) ? ProxyHeader{} : fail();
}

} // namespace tnlrelay::net
