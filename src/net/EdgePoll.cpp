// The raw calls of the Linux edge-triggered path; errors travel as Asio's system error codes,
// so that the loop tells "would block" from a failed peer the same way on both paths.
#include "EdgePoll.hpp"

#if defined(__linux__)

#include <boost/asio/error.hpp>

#include <cerrno>
#include <climits>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tnlrelay::net::edge {

namespace {

error_code lastError() {
    return error_code(errno, boost::asio::error::get_system_category());
}

// A read or write call, again when a signal interrupted it: the bytes it moved, or 0 and `ec`.
template <class Call> std::size_t retried(Call call, error_code& ec) {
    for (;;) {
        const ssize_t n = call();
        if (n >= 0) {
            ec = {};
            return std::size_t(n);
        }
        if (errno == EINTR) continue;
        ec = lastError();
        return 0;
    }
}

} // namespace

int createSet(error_code& ec) {
    const int set = ::epoll_create1(EPOLL_CLOEXEC);
    ec = set < 0 ? lastError() : error_code();
    return set;
}

bool add(int set, int fd, std::uint64_t tag, error_code& ec) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.u64 = tag;
    if (::epoll_ctl(set, EPOLL_CTL_ADD, fd, &ev) == 0) return true;
    ec = lastError();
    return false;
}

void preciseTimers() {
    ::prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
}

int wait(int set, epoll_event* events, int max, std::chrono::nanoseconds timeout,
         bool& interrupted) {
    using namespace std::chrono;
    // A flush interval may be half a millisecond: epoll_wait alone would round it up to one.
    static bool fineTimeout = true;
    int n = -1;
    if (fineTimeout) {
        const auto secs = duration_cast<seconds>(timeout);
        const timespec ts{static_cast<time_t>(secs.count()),
                          static_cast<long>((timeout - secs).count())};
        n = ::epoll_pwait2(set, events, max, &ts, nullptr);
        if (n < 0 && errno == ENOSYS) fineTimeout = false; // an older kernel
    }
    if (!fineTimeout) {
        const auto ms = duration_cast<milliseconds>(timeout + nanoseconds(999999)).count();
        n = ::epoll_wait(set, events, max, ms > INT_MAX ? INT_MAX : int(ms));
    }
    if (n >= 0) return n;
    interrupted = errno == EINTR;
    return 0;
}

std::size_t read(int fd, char* data, std::size_t len, error_code& ec) {
    return retried([&] { return ::recv(fd, data, len, 0); }, ec);
}

std::size_t write(int fd, const iovec* pieces, std::size_t count, error_code& ec) {
    msghdr msg{};
    msg.msg_iov = const_cast<iovec*>(pieces);
    msg.msg_iovlen = count < IOV_MAX ? count : IOV_MAX;
    return retried([&] { return ::sendmsg(fd, &msg, MSG_NOSIGNAL); }, ec);
}

int accept(int listener, sockaddr_storage& peer, error_code& ec) {
    for (;;) {
        socklen_t len = sizeof peer;
        const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            ec = {};
            return fd;
        }
        if (errno == EINTR) continue;
        ec = lastError();
        return -1;
    }
}

bool noDelay(int fd) {
    const int one = 1;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

void shutdownSend(int fd) {
    ::shutdown(fd, SHUT_WR);
}

void close(int fd) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

} // namespace tnlrelay::net::edge

#endif
