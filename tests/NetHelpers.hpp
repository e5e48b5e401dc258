// For tests of the network adapter: running a loop until a condition holds, and the bytes a
// client sends (requests, the WebSocket upgrade, frames in any shape, masked by default).
#pragma once

#include "net/Net.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace tnlrelay::test {

/// Polls the loop until `done` holds; false after the deadline.
inline bool pumpUntil(net::Loop& loop, const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        loop.poll(std::chrono::milliseconds(5));
    }
    return true;
}

/// A GET request with extra header lines (each ending in CRLF).
inline std::string getRequest(const std::string& target, const std::string& extra = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

/// A WebSocket upgrade request with its key and extra header lines.
inline std::string upgradeRequest(const std::string& target = "/", const std::string& key = "abc",
                                  const std::string& extra = "") {
    return getRequest(target, "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " +
                                  key + "\r\n" + extra);
}

/// How a frame is built: final and masked, as clients send them, unless told otherwise.
struct FrameShape {
    bool fin = true;
    bool masked = true;
    std::uint8_t rsv = 0; ///< reserved bits, in place (0x40, 0x20, 0x10)
    std::array<std::uint8_t, 4> mask = {0x37, 0xFA, 0x21, 0x3D};
};

/// One frame, its length in the shortest form that holds it.
inline std::string clientFrame(int opcode, const std::string& payload, FrameShape shape = {}) {
    std::string f;
    f.push_back(char((shape.fin ? 0x80 : 0) | shape.rsv | opcode));
    const std::uint8_t maskBit = shape.masked ? 0x80 : 0;
    if (payload.size() < 126) {
        f.push_back(char(maskBit | payload.size()));
    } else if (payload.size() <= 0xFFFF) {
        f.push_back(char(maskBit | 126));
        f.push_back(char(payload.size() >> 8));
        f.push_back(char(payload.size()));
    } else {
        f.push_back(char(maskBit | 127));
        for (int i = 7; i >= 0; --i)
            f.push_back(char(std::uint64_t(payload.size()) >> (8 * i)));
    }
    if (shape.masked) f.append(reinterpret_cast<const char*>(shape.mask.data()), 4);
    for (std::size_t i = 0; i < payload.size(); ++i)
        f.push_back(shape.masked ? char(payload[i] ^ shape.mask[i % 4]) : payload[i]);
    return f;
}

} // namespace tnlrelay::test
