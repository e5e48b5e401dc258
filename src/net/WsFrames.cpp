// Outgoing frame headers and the handshake's accept key (SHA-1 and base64, small enough to own).
#include "WsFrames.hpp"

#include <array>
#include <cstring>

namespace tnlrelay::net {

std::size_t writeFrameHeader(char* out, int opcode, std::uint64_t payloadLen) {
    out[0] = char(0x80 | (opcode & 0x0F));
    if (payloadLen < 126) {
        out[1] = char(payloadLen);
        return 2;
    }
    if (payloadLen <= 0xFFFF) {
        out[1] = char(126);
        out[2] = char(payloadLen >> 8);
        out[3] = char(payloadLen);
        return 4;
    }
    out[1] = char(127);
    for (int i = 0; i < 8; ++i)
        out[2 + i] = char(payloadLen >> (56 - 8 * i));
    return 10;
}

namespace {

std::uint32_t rol(std::uint32_t v, int n) {
    return (v << n) | (v >> (32 - n));
}

std::array<std::uint8_t, 20> sha1(std::string_view text) {
    std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::string m(text);
    const std::uint64_t bits = std::uint64_t(text.size()) * 8;
    m.push_back(char(0x80));
    while (m.size() % 64 != 56)
        m.push_back('\0');
    for (int i = 7; i >= 0; --i)
        m.push_back(char(bits >> (8 * i)));
    for (std::size_t off = 0; off < m.size(); off += 64) {
        std::uint32_t w[80];
        for (int i = 0; i < 16; ++i)
            w[i] = std::uint32_t(std::uint8_t(m[off + 4 * i])) << 24 |
                   std::uint32_t(std::uint8_t(m[off + 4 * i + 1])) << 16 |
                   std::uint32_t(std::uint8_t(m[off + 4 * i + 2])) << 8 |
                   std::uint32_t(std::uint8_t(m[off + 4 * i + 3]));
        for (int i = 16; i < 80; ++i)
            w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int i = 0; i < 80; ++i) {
            std::uint32_t f, k;
            if (i < 20) {
                f = (b & c) | (~b & d);
                k = 0x5A827999;
            } else if (i < 40) {
                f = b ^ c ^ d;
                k = 0x6ED9EBA1;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8F1BBCDC;
            } else {
                f = b ^ c ^ d;
                k = 0xCA62C1D6;
            }
            std::uint32_t t = rol(a, 5) + f + e + k + w[i];
            e = d;
            d = c;
            c = rol(b, 30);
            b = a;
            a = t;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
    }
    std::array<std::uint8_t, 20> out;
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j)
            out[4 * i + j] = std::uint8_t(h[i] >> (24 - 8 * j));
    return out;
}

std::string base64(const std::uint8_t* data, std::size_t len) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < len; i += 3) {
        std::uint32_t v = std::uint32_t(data[i]) << 16;
        if (i + 1 < len) v |= std::uint32_t(data[i + 1]) << 8;
        if (i + 2 < len) v |= data[i + 2];
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(i + 1 < len ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back(i + 2 < len ? kAlphabet[v & 63] : '=');
    }
    return out;
}

} // namespace

std::string wsAcceptKey(std::string_view key) {
    std::string text(key);
    text += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    const auto digest = sha1(text);
    return base64(digest.data(), digest.size());
}

} // namespace tnlrelay::net
