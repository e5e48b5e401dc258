// Descriptor watches: another protocol's client socket (the cluster's link to Redis) waited on by
// the loop's own context, so that its handler runs on the loop's thread between other events.
#include "Net.hpp"

#ifndef _WIN32

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

namespace tnlrelay::net {

namespace asio = boost::asio;
using boost::system::error_code;

asio::io_context& loopContext(Loop::Impl& m);
void afterWatchHandler(Loop::Impl& m);

/// Waits are re-armed after each wake-up; the state lives as long as a wait that points at it,
/// so that a handler completing after `unwatchFd` finds it still there, marked stopped.
struct FdWatchState {
    FdWatchState(Loop::Impl& m, int fd) : loop(m), sd(loopContext(m), fd) {}
    Loop::Impl& loop;
    asio::posix::stream_descriptor sd;
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

void arm(const std::shared_ptr<FdWatchState>& s) {
    if (!s->readWaiting) {
        s->readWaiting = true;
        s->sd.async_wait(asio::posix::descriptor_base::wait_read, [s](error_code ec) {
            s->readWaiting = false;
            if (!ec) fire(s, true, false);
        });
    }
    if (s->wantWrite && !s->writeWaiting) {
        s->writeWaiting = true;
        s->sd.async_wait(asio::posix::descriptor_base::wait_write, [s](error_code ec) {
            s->writeWaiting = false;
            if (!ec) fire(s, false, true);
        });
    }
}

} // namespace

FdWatch* watchFd(Loop& loop, int fd, WatchHandler handler, void* userData) {
    if (fd < 0 || handler == nullptr) return nullptr;
    auto* w = new FdWatch;
    w->state = std::make_shared<FdWatchState>(loop.impl(), fd);
    w->state->handler = handler;
    w->state->user = userData;
    arm(w->state);
    return w;
}

void watchWrite(FdWatch* w, bool on) {
    if (w == nullptr || w->state->stopped) return;
    w->state->wantWrite = on;
    if (on) arm(w->state);
}

void unwatchFd(FdWatch* w) {
    if (w == nullptr) return;
    FdWatchState& s = *w->state;
    s.stopped = true;
    error_code ec;
    s.sd.cancel(ec);
    s.sd.release(); // the descriptor is the caller's to close
    delete w;
}

} // namespace tnlrelay::net

#endif
