// SHA-1 and base64, just enough for the accept key, and the join request text.
#include "Handshake.hpp"

#include <array>
#include <cctype>
#include <cstring>

namespace tnlrelay::bench {

namespace {

constexpr std::string_view kWsGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

std::uint32_t rotl(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

std::array<unsigned char, 20> sha1(std::string_view text) {
    std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::string msg(text);
    const std::uint64_t bits = std::uint64_t(text.size()) * 8;
    msg.push_back(static_cast<char>(0x80));
    while (msg.size() % 64 != 56)
        msg.push_back(0);
    for (int i = 7; i >= 0; --i)
        msg.push_back(static_cast<char>(bits >> (8 * i)));
    for (std::size_t block = 0; block < msg.size(); block += 64) {
        std::uint32_t w[80];
        for (int i = 0; i < 16; ++i) {
            const auto* p = reinterpret_cast<const unsigned char*>(msg.data() + block + 4 * i);
            w[i] = std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 |
                   std::uint32_t(p[2]) << 8 | p[3];
        }
        for (int i = 16; i < 80; ++i)
            w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int i = 0; i < 80; ++i) {
            std::uint32_t f, k;
            if (i < 20) {
                f = (b & c) | (~b & d), k = 0x5A827999;
            } else if (i < 40) {
                f = b ^ c ^ d, k = 0x6ED9EBA1;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
            } else {
                f = b ^ c ^ d, k = 0xCA62C1D6;
            }
            const std::uint32_t t = rotl(a, 5) + f + e + k + w[i];
            e = d, d = c, c = rotl(b, 30), b = a, a = t;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
    }
    std::array<unsigned char, 20> out{};
    for (int i = 0; i < 20; ++i)
        out[i] = static_cast<unsigned char>(h[i / 4] >> (24 - 8 * (i % 4)));
    return out;
}

std::string base64(const unsigned char* p, std::size_t n) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < n; i += 3) {
        std::uint32_t v = std::uint32_t(p[i]) << 16;
        if (i + 1 < n) v |= std::uint32_t(p[i + 1]) << 8;
        if (i + 2 < n) v |= p[i + 2];
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back(i + 2 < n ? kAlphabet[v & 63] : '=');
    }
    return out;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

} // namespace

std::string makeKey(std::uint64_t seed) {
    unsigned char bytes[16];
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
    for (int i = 0; i < 16; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        bytes[i] = static_cast<unsigned char>(x >> 24);
    }
    return base64(bytes, sizeof bytes);
}

std::string acceptFor(std::string_view key) {
    std::string text(key);
    text += kWsGuid;
    const auto digest = sha1(text);
    return base64(digest.data(), digest.size());
}

std::string joinRequest(std::string_view hostPort, std::string_view room, std::string_view player,
                        unsigned max, std::string_view key) {
    std::string r;
    r.reserve(256);
    r += "GET /?room=";
    r += room;
    r += "&player=";
    r += player;
    r += "&max=";
    r += std::to_string(max);
    r += " HTTP/1.1\r\nHost: ";
    r += hostPort;
    r += "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: ";
    r += key;
    r += "\r\nSec-WebSocket-Version: 13\r\n\r\n";
    return r;
}

HandshakeStatus checkAnswer(std::string_view received, std::string_view key,
                            std::size_t& headerEnd) {
    const std::size_t end = received.find("\r\n\r\n");
    if (end == std::string_view::npos) return HandshakeStatus::incomplete;
    headerEnd = end + 4;
    const std::string_view head = received.substr(0, end);
    const std::size_t firstLine = head.find("\r\n");
    const std::string_view status = head.substr(0, firstLine);
    if (status.size() < 12 || status.substr(0, 5) != "HTTP/" || status.substr(9, 3) != "101")
        return HandshakeStatus::refused;
    const std::string expected = acceptFor(key);
    std::size_t pos = firstLine;
    while (pos != std::string_view::npos && pos < head.size()) {
        const std::size_t lineStart = pos + 2;
        const std::size_t lineEnd = head.find("\r\n", lineStart);
        const std::string_view line = head.substr(lineStart, lineEnd - lineStart);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos &&
            equalsNoCase(trim(line.substr(0, colon)), "Sec-WebSocket-Accept"))
            return trim(line.substr(colon + 1)) == expected ? HandshakeStatus::accepted
                                                            : HandshakeStatus::refused;
        pos = lineEnd;
    }
    return HandshakeStatus::refused;
}

} // namespace tnlrelay::bench
