// IP addresses as plain values: parsing IPv4 and IPv6 text, the one text form the relay shows
// (dotted IPv4, compressed lower-case IPv6, IPv4-mapped IPv6 as dotted IPv4), and lists of
// address ranges (CIDR) such as the trusted proxies. No sockets here: safe for any input.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tnlrelay::net {

/// An IPv4 or IPv6 address. IPv4-mapped IPv6 addresses are kept as IPv4, so that one client
/// has one address whichever socket family carried it.
struct IpAddress {
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{}; ///< IPv4 uses the first 4

    static IpAddress v4(std::uint32_t hostOrder);
    /// 16 network-order bytes; IPv4-mapped ones become IPv4.
    static IpAddress fromV6Bytes(const std::uint8_t* b);

    bool operator==(const IpAddress&) const = default;
};

/// Parses dotted IPv4 (four decimal parts, no leading zeros beyond a single 0) or IPv6 text
/// (with "::" and an embedded dotted IPv4 tail). No brackets, zone ids or ports.
std::optional<IpAddress> parseIp(std::string_view text);

/// Dotted IPv4, or the compressed lower-case IPv6 form: the longest run of two or more zero
/// groups (the first of equal runs) becomes "::", leading zeros of groups are dropped.
std::string formatIp(const IpAddress& a);

/// One address range: an address and the number of leading bits that must match.
struct CidrRange {
    IpAddress base;
    int prefix = 0;
    bool contains(const IpAddress& a) const;
};

/// "a.b.c.d", "a.b.c.d/n", "x::y", "x::y/n". A bare address is a range of one.
std::optional<CidrRange> parseCidr(std::string_view text);

/// A list of ranges, such as the proxies whose word about a client's address is believed.
class AddressList {
public:
    /// Adds one range written as text; false (and nothing added) when it does not parse.
    bool add(std::string_view text);
    bool contains(const IpAddress& a) const;
    bool contains(std::string_view addressText) const;
    bool empty() const { return ranges_.empty(); }

private:
    std::vector<CidrRange> ranges_;
};

} // namespace tnlrelay::net
