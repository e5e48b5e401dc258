// Descriptor watches: another protocol's client socket (the cluster's link to Redis) waited on by
// the loop, so that its handler runs on the loop's thread between other events. How the
// descriptor is waited on is the poller's.
#include "LoopInternals.hpp"

#ifndef _WIN32

namespace tnlrelay::net {

struct FdWatch {
    WatchPtr state;
};

void fireWatch(FdWatchState& s, bool readable, bool writable) {
    if (s.stopped) return;
    s.handler(readable, writable, s.user);
    // What the handler sent from is gone now, as after any event.
    s.loop.dropFrameCache();
}

FdWatch* watchFd(Loop& loop, int fd, WatchHandler handler, void* userData) {
    if (fd < 0 || handler == nullptr) return nullptr;
    Loop::Impl& m = *loop.impl_;
    auto* w = new FdWatch;
    w->state = std::make_shared<FdWatchState>(m, fd);
    w->state->handler = handler;
    w->state->user = userData;
    if (!m.poller->watchStart(w->state)) {
        delete w;
        return nullptr;
    }
    return w;
}

void watchWrite(FdWatch* w, bool on) {
    if (w == nullptr || w->state->stopped) return;
    w->state->loop.poller->watchWrite(w->state, on);
}

void unwatchFd(FdWatch* w) {
    if (w == nullptr) return;
    FdWatchState& s = *w->state;
    s.stopped = true;
    s.loop.poller->watchStop(std::move(w->state));
    delete w;
}

} // namespace tnlrelay::net

#endif
