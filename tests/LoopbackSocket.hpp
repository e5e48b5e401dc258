// A non-blocking TCP client socket connected to a port on 127.0.0.1, for tests that talk to the
// adapter byte by byte.
#pragma once

#include "net/Net.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>

namespace tnlrelay::test {

/// `receiveBuffer` (bytes, 0 for the default) is set before connecting, so that it holds.
inline int connectLoopback(int port, int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

/// A client connection that never blocks the test: it sends and reads what the socket takes.
struct LoopbackClient {
    int fd = -1;
    explicit LoopbackClient(int port, int receiveBuffer = 0)
        : fd(connectLoopback(port, receiveBuffer)) {}
    ~LoopbackClient() {
        if (fd >= 0) ::close(fd);
    }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    /// Sends everything, running the loop while the socket is full.
    void send(const std::string& s, net::Loop* loop = nullptr) {
        std::size_t off = 0;
        while (off < s.size()) {
            ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n > 0)
                off += std::size_t(n);
            else if (loop)
                loop->poll(std::chrono::milliseconds(1));
        }
    }
    /// Shuts the sending side: the server reads the end.
    void end() { ::shutdown(fd, SHUT_WR); }
    /// Reads what is there; false once the peer has closed.
    bool pull(std::string& into) {
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n > 0) {
                into.append(buf, std::size_t(n));
                continue;
            }
            return !(n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK));
        }
    }
};

} // namespace tnlrelay::test
