// Ending connections: closing at once, draining (send what is queued, shut the sending side,
// wait for the peer's end), the idle sweep that closes the silent ones, and the stop of every
// connection when the loop ends.
#include "LoopInternals.hpp"

#include <algorithm>

namespace tnlrelay::net {

void Loop::Impl::closeNow(Conn* c) {
    if (c->closed) return;
    checkConn(c);
    c->closed = true;
    c->sendable = false;
    conns.erase(c->id);
    if (c->kind == Kind::ws) --webSockets;
    c->frames.reset();
    c->http.reset();
    if (!c->released) dispatch(c, Event::close, nullptr);
    c->out.clear();
    poller->closeSocket(c);
}

// A WebSocket whose close frame has come has left, whatever its socket still does: its owner
// hears the close event now, once, and the socket drains and lingers on without an owner. Run
// from the turn's flush, never from inside a handler (an upgrade feeds early frames there).
void Loop::Impl::release(Conn* c) {
    TNLRELAY_ASSERT(c->peerLeft && !c->released && !c->closed);
    c->released = true;
    c->sendable = false;
    dispatch(c, Event::close, nullptr);
}

// The peer's end or a read error: the connection closes, unless the loop is stopping, where
// closes wait for their turn in id order.
void Loop::Impl::peerGone(Conn* c) {
    if (stopping || (c->draining && !c->sendShut && !c->out.empty())) {
        c->peerEnded = true; // what is queued still goes out (or fails) first
        return;
    }
    closeNow(c);
}

// Everything queued has been sent: shut the sending side, so the peer sees the end after the
// last byte, and keep reading until its end arrives (or the linger passes). Closing with its
// input unread would make the kernel reset the connection and drop what it has not read.
void Loop::Impl::shutSending(Conn* c) {
    if (c->sendShut) return;
    c->sendShut = true;
    c->sendable = false;
    c->shutAt = now;
    checkLater(c, nextCheck(c));
    poller->shutdownSend(c);
    c->paused = false; // no request is read any more
    if (c->peerEnded && !stopping)
        closeNow(c);
    else
        armRead(c);
}

// Closes the WebSocket and every connection still open when the loop is destroyed: a close
// frame with 1001 for each WebSocket, then as much of every queue as can be flushed within
// the stop drain, each peer's end awaited there as in a normal close. The close events follow
// in id order, from the destructor.
void Loop::Impl::stopConnections() {
    stopping = true;
    error_code ec;
    for (auto& l : listeners)
        l->acceptor.close(ec);
    poller->stopTimers(*this);
    now = Clock::now();
    for (auto& [id, c] : conns) {
        if (c->sendable) sendClose(c, kCloseGoingAway);
        c->draining = true;
        c->sendable = false;
        markDirty(c);
        armRead(c);
    }
    poller->drain(*this, Clock::now() + limits.stopDrain);
}

// While the loop stops: whether every connection has seen its peer's end or is cut off.
bool Loop::Impl::stopSettled() const {
    for (auto& [id, c] : conns)
        if (!c->peerEnded && !c->hardClose) return false;
    return true;
}

void Loop::Impl::sweep() {
    now = Clock::now();
    releaseIdleBuffers(now);
    const auto turn = static_cast<std::uint32_t>((now - sweepEpoch) / limits.sweepInterval);
    nextTurn = turn + 1; // what falls due again from here is filed for a later turn
    std::vector<Conn*> expired;
    while (!checks.empty() && checks.begin()->first <= turn) {
        const std::uint32_t tick = checks.begin()->first;
        const std::vector<ConnId> ids = std::move(checks.begin()->second);
        checks.erase(checks.begin());
        for (const ConnId id : ids) {
            const auto found = conns.find(id);
            if (found == conns.end() || found->second->checkTick != tick) continue;
            Conn* c = found->second;
            c->checkTick = Conn::kNoCheck;
            ++stats.sweepVisits;
            if (c->draining) {
                if (now - c->pingedOrDraining >= limits.drainTimeout ||
                    (c->sendShut && now - c->shutAt >= limits.linger)) {
                    expired.push_back(c);
                    continue;
                }
            } else if (c->kind == Kind::http) {
                if (now - c->lastHeard >= limits.httpIdle) {
                    expired.push_back(c);
                    continue;
                }
            } else if (!c->pingSent) {
                if (now - c->lastHeard >= limits.wsIdle) {
                    c->pingSent = true;
                    c->pingedOrDraining = now;
                    sendFrame(c, kOpPing, "", 0);
                }
            } else if (now - c->pingedOrDraining >= limits.wsIdle) {
                ++stats.silentPeersClosed;
                expired.push_back(c);
                continue;
            }
            checkLater(c, nextCheck(c));
        }
    }
    for (Conn* c : expired) {
        hold(c);
        c->out.clear();
        closeNow(c);
        letGo(c);
    }
}

Clock::time_point Loop::Impl::nextCheck(const Conn* c) const {
    if (c->draining) {
        const Clock::time_point drained = c->pingedOrDraining + limits.drainTimeout;
        return c->sendShut ? std::min(drained, c->shutAt + limits.linger) : drained;
    }
    if (c->kind == Kind::http) return c->lastHeard + limits.httpIdle;
    return (c->pingSent ? c->pingedOrDraining : c->lastHeard) + limits.wsIdle;
}

void Loop::Impl::checkLater(Conn* c, Clock::time_point at) {
    // The turn whose interval holds `at`; one found not yet due there is filed again for the
    // next turn. A turn already swept is never filed for.
    const auto since = std::max(at - sweepEpoch, Clock::duration::zero());
    const auto tick = static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(since / limits.sweepInterval, nextTurn, Conn::kNoCheck - 1));
    if (tick >= c->checkTick) return; // an earlier look is filed already
    c->checkTick = tick;
    checks[tick].push_back(c->id);
}

void wsClose(Conn* c, std::uint16_t code) {
    if (c->closed || c->closeSent) return;
    if (c->sendable) c->loop->sendClose(c, code);
    setDraining(c);
}

void setDraining(Conn* c) {
    if (c->closed || c->draining) return;
    c->draining = true;
    c->pingedOrDraining = c->loop->now = Clock::now();
    c->loop->checkLater(c, c->loop->nextCheck(c));
    c->loop->markDirty(c);
}

} // namespace tnlrelay::net
