// Linux only: an epoll set of our own in which accepted sockets and listeners are registered
// once, edge-triggered, and the raw socket calls made on them. Asio's reactor registers a
// socket anew for every wait, and waiting through it on this set would cost two more calls per
// wake-up; the loop blocks in this set itself, one call per wake-up.
#pragma once

#if defined(__linux__)

#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>

namespace tnlrelay::net::edge {

using boost::system::error_code;

/// Events of one wake-up, at most this many per call; the rest wait for the next call. Every
/// socket read in one run adds its frames to the same flush, so a run over a thousand busy
/// sockets gives each receiver one write for what all of them sent it.
constexpr int kMaxEvents = 1024;

/// A new epoll set, or -1 with `ec` set.
int createSet(error_code& ec);

/// Registers a socket for input, output and the peer's end, edge-triggered, with a tag.
bool add(int set, int fd, std::uint64_t tag, error_code& ec);

/// The events ready within `timeout` (to the nanosecond where the kernel can, else rounded up
/// to the millisecond); 0 when none, or on failure. `interrupted` is set when a signal ended
/// the wait.
/// Asks the kernel to wake the calling thread on time (within a microsecond) rather than with
/// the default slack of 50 µs, for a flush interval measured in hundreds of microseconds.
void preciseTimers();
int wait(int set, epoll_event* events, int max, std::chrono::nanoseconds timeout,
         bool& interrupted);

/// One non-blocking read; 0 with `ec` clear means the peer's end.
std::size_t read(int fd, char* data, std::size_t len, error_code& ec);

/// One gathered non-blocking write of up to `count` pieces (at most IOV_MAX), no SIGPIPE.
std::size_t write(int fd, const iovec* pieces, std::size_t count, error_code& ec);

/// Takes one pending connection, non-blocking and close-on-exec; -1 with `ec` set when none
/// is waiting (would_block) or accepting failed. The peer's address goes to `peer`.
int accept(int listener, sockaddr_storage& peer, error_code& ec);

/// Turns Nagle's delay off; false when the socket refuses.
bool noDelay(int fd);

void shutdownSend(int fd);
/// Shuts both sides, then closes (which also takes it out of every epoll set).
void close(int fd);

} // namespace tnlrelay::net::edge

#endif
