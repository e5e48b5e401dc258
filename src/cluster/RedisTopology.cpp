// Parsing `clusterRedis`, and the slots of a Redis Cluster.
#include "RedisTopology.hpp"

#include "text/Text.hpp"

#include <charconv>

namespace tnlrelay::cluster {

std::string RedisEndpoint::text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<RedisEndpoint> parseRedisEndpoint(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string_view portText = text.substr(colon + 1);
    unsigned port = 0;
    auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (host.empty() || portText.empty() || portText[0] == '0' || ec != std::errc() ||
        end != portText.data() + portText.size() || port > 65535)
        return std::nullopt;
    if (host.find_first_of(",/ ") != std::string_view::npos) return std::nullopt;
    return RedisEndpoint{std::string(host), static_cast<int>(port)};
}

namespace {

/// "host:port,host:port": at least one, each valid.
bool parseList(std::string_view text, std::vector<RedisEndpoint>& out) {
    while (true) {
        const auto comma = text.find(',');
        auto one = parseRedisEndpoint(text.substr(0, comma));
        if (!one) return false;
        out.push_back(std::move(*one));
        if (comma == std::string_view::npos) return true;
        text.remove_prefix(comma + 1);
    }
}

} // namespace

std::optional<RedisAddress> parseRedisAddress(std::string_view text) {
    RedisAddress address;
    constexpr std::string_view sentinel = "sentinel://", cluster = "cluster://";
    if (text.starts_with(sentinel)) {
        text.remove_prefix(sentinel.size());
        const auto slash = text.find('/');
        if (slash == std::string_view::npos) return std::nullopt;
        address.layout = RedisAddress::Layout::sentinel;
        address.master = std::string(text.substr(slash + 1));
        text = text.substr(0, slash);
        // A master name is one word of printable ASCII (Sentinel's configuration is split on
        // blanks).
        if (address.master.empty() || address.master.size() > 255) return std::nullopt;
        for (unsigned char c : address.master)
            if (c <= 0x20 || c >= 0x7f) return std::nullopt;
    } else if (text.starts_with(cluster)) {
        text.remove_prefix(cluster.size());
        address.layout = RedisAddress::Layout::cluster;
    }
    if (!parseList(text, address.servers)) return std::nullopt;
    if (address.layout == RedisAddress::Layout::single && address.servers.size() != 1)
        return std::nullopt;
    address.host = address.servers.front().host;
    address.port = address.servers.front().port;
    return address;
}

namespace {

/// CRC-16/XMODEM (polynomial 0x1021, no reflection, initial 0), as Redis Cluster hashes keys.
std::uint16_t crc16(std::string_view data) {
    std::uint16_t crc = 0;
    for (unsigned char byte : data) {
        crc ^= static_cast<std::uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<std::uint16_t>(crc << 1);
    }
    return crc;
}

} // namespace

unsigned keySlot(std::string_view key) {
    const auto open = key.find('{');
    if (open != std::string_view::npos) {
        const auto close = key.find('}', open + 1);
        if (close != std::string_view::npos && close > open + 1)
            key = key.substr(open + 1, close - open - 1);
    }
    return crc16(key) % kRedisSlots;
}

std::optional<std::string_view> routingKey(const std::vector<std::string_view>& args) {
    if (args.size() < 2) return std::nullopt;
    const std::string_view name = args[0];
    if (equalsNoCase(name, "EVAL") || equalsNoCase(name, "EVALSHA") ||
        equalsNoCase(name, "FCALL")) {
        if (args.size() < 4 || args[2].empty() || args[2] == "0") return std::nullopt;
        return args[3];
    }
    if (equalsNoCase(name, "PING")) return std::nullopt;
    return args[1];
}

} // namespace tnlrelay::cluster
