// For tests: ports that are free now, chosen below the range the kernel hands out for outgoing
// connections (a busy machine takes ports in that range at any moment), checked on the exact
// address the relay or the test server will bind.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <string>

namespace tnlrelay::test {

/// The first port of the kernel's range for outgoing connections (32768 when unreadable).
inline int ephemeralPortLow() {
    std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
    int low = 0;
    if (!(in >> low) || low <= 1025) low = 32768;
    return low;
}

/// Whether a listening socket can be bound on address:port now, with the address reuse the
/// relay's listeners use (so a port whose old connections linger still counts as free).
inline bool portFree(const char* address, int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return false;
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::inet_pton(AF_INET, address, &a.sin_addr) == 1 &&
                    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    ::listen(s, 1) == 0;
    ::close(s);
    return ok;
}

/// The first of `count` consecutive ports, free now: the first on `firstAddress`, the others on
/// `otherAddress`. Starts at a random place in 1024..(ephemeral low - 1) so that tests running
/// side by side rarely meet; 0 when nothing is free.
inline int freePorts(int count = 1, const char* firstAddress = "127.0.0.1",
                     const char* otherAddress = "127.0.0.1") {
    const int low = 1024, high = ephemeralPortLow() - count; // last usable first port
    const int span = high - low;
    if (span <= 0) return 0;
    std::mt19937 random{std::random_device{}()};
    const int start = std::uniform_int_distribution<int>(0, span - 1)(random);
    for (int i = 0; i < span; ++i) {
        const int port = low + (start + i) % span;
        bool free = portFree(firstAddress, port);
        for (int k = 1; free && k < count; ++k)
            free = portFree(otherAddress, port + k);
        if (free) return port;
    }
    return 0;
}

/// One port free on `address`.
inline int freePort(const char* address = "127.0.0.1") {
    return freePorts(1, address);
}

/// A game port free on every address and the admin port after it free on loopback.
inline int freeRelayPorts() {
    return freePorts(2, "0.0.0.0", "127.0.0.1");
}

} // namespace tnlrelay::test
