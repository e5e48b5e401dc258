// A non-blocking TCP client socket connected to a port on 127.0.0.1, for tests that talk to the
// adapter byte by byte.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

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

} // namespace tnlrelay::test
