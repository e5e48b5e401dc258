// Descriptor watches: another protocol's client socket (the cluster's link to Redis) waited on by
// the loop, so that its handler runs on the loop's thread between other events. On Linux's
// edge-triggered path the descriptor sits in the loop's own epoll set (level-triggered, as
// Asio's waits behave); elsewhere Asio waits on it.
#include "Net.hpp"

#ifndef _WIN32

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <optional>
#if defined(__linux__)
#include <sys/epoll.h>
#endif

namespace tnlrelay::net {

namespace asio = boost::asio;
using boost::system::error_code;

asio::io_context& loopContext(Loop::Impl& m);
void afterWatchHandler(Loop::Impl& m);
#if defined(__linux__)
int loopEdgeSet(Loop::Impl& m);
void retireWatch(Loop::Impl& m, std::shared_ptr<void> state);
#endif

/// Waits are re-armed after each wake-up; the state lives as long as a wait or an event that
/// points at it, so that a handler completing after `unwatchFd` finds it still there, stopped.
struct FdWatchState {
    FdWatchState(Loop::Impl& m, int f) : loop(m), fd(f) {}
    Loop::Impl& loop;
    int fd;
    int set = -1;                                     ///< the loop's own epoll set, or -1
    std::optional<asio::posix::stream_descriptor> sd; ///< Asio's wait, without that set
    WatchHandler handler = nullptr;
    void* user = nullptr;
    bool stopped = false;
    bool readWaiting = false, writeWaiting = false;
    bool wantWrite = false;
};

struct FdWatch {
    std::shared_ptr<FdWatchState> state;
};

namespace {

void arm(const std::shared_ptr<FdWatchState>& s);

void fire(const std::shared_ptr<FdWatchState>& s, bool readable, bool writable) {
    if (s->stopped) return;
    s->handler(readable, writable, s->user);
    afterWatchHandler(s->loop);
    if (!s->stopped) arm(s);
}

#if defined(__linux__)
bool setInterest(FdWatchState& s, int op) {
    epoll_event ev{};
    ev.events = EPOLLIN | (s.wantWrite ? EPOLLOUT : 0u);
    ev.data.u64 = reinterpret_cast<std::uintptr_t>(&s) | 2u; // the loop's tag for a watch
    return ::epoll_ctl(s.set, op, s.fd, &ev) == 0;
}
#endif

void arm(const std::shared_ptr<FdWatchState>& s) {
    if (s->set >= 0) return; // the set reports readiness until it is dealt with
    if (!s->readWaiting) {
        s->readWaiting = true;
        s->sd->async_wait(asio::posix::descriptor_base::wait_read, [s](error_code ec) {
            s->readWaiting = false;
            if (!ec) fire(s, true, false);
        });
    }
    if (s->wantWrite && !s->writeWaiting) {
        s->writeWaiting = true;
        s->sd->async_wait(asio::posix::descriptor_base::wait_write, [s](error_code ec) {
            s->writeWaiting = false;
            if (!ec) fire(s, false, true);
        });
    }
}

} // namespace

#if defined(__linux__)
// An event of the loop's own set for a watch; the state outlives `unwatchFd` until the run that
// may still report it is over.
void fireWatch(void* watch, std::uint32_t events) {
    auto& s = *static_cast<FdWatchState*>(watch);
    if (s.stopped) return;
    const bool readable = (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0;
    const bool writable = s.wantWrite && (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0;
    if (!readable && !writable) return;
    s.handler(readable, writable, s.user);
    afterWatchHandler(s.loop);
}
#endif

FdWatch* watchFd(Loop& loop, int fd, WatchHandler handler, void* userData) {
    if (fd < 0 || handler == nullptr) return nullptr;
    auto* w = new FdWatch;
    w->state = std::make_shared<FdWatchState>(loop.impl(), fd);
    FdWatchState& s = *w->state;
    s.handler = handler;
    s.user = userData;
#if defined(__linux__)
    s.set = loopEdgeSet(loop.impl());
    if (s.set >= 0) {
        if (!setInterest(s, EPOLL_CTL_ADD)) {
            delete w;
            return nullptr;
        }
        return w;
    }
#endif
    s.sd.emplace(loopContext(loop.impl()), fd);
    arm(w->state);
    return w;
}

void watchWrite(FdWatch* w, bool on) {
    if (w == nullptr || w->state->stopped) return;
    FdWatchState& s = *w->state;
#if defined(__linux__)
    if (s.set >= 0) {
        if (s.wantWrite == on) return;
        s.wantWrite = on;
        // Should the set refuse, the descriptor has gone bad: its reads report that.
        setInterest(s, EPOLL_CTL_MOD);
        return;
    }
#endif
    s.wantWrite = on;
    if (on) arm(w->state);
}

void unwatchFd(FdWatch* w) {
    if (w == nullptr) return;
    FdWatchState& s = *w->state;
    s.stopped = true;
#if defined(__linux__)
    if (s.set >= 0) {
        ::epoll_ctl(s.set, EPOLL_CTL_DEL, s.fd, nullptr);
        retireWatch(s.loop, std::move(w->state));
        delete w;
        return;
    }
#endif
    error_code ec;
    s.sd->cancel(ec);
    s.sd->release(); // the descriptor is the caller's to close
    delete w;
}

} // namespace tnlrelay::net

#endif
