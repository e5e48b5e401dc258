// Flush scheduling: output queued while a turn's events are handled leaves once per connection
// at the turn's end (or, with a flush interval, once per interval), and each turn is timed for
// the loop's statistics.
#include "LoopInternals.hpp"

#include <algorithm>
#include <iterator>

namespace tnlrelay::net {

// Queues the connection for the turn's flush. Only data frames (`urgent` false) may wait for
// the flush interval, counted from the turn that queued the first of them.
void Loop::Impl::markDirty(Conn* c, bool urgent) {
    if (urgent) c->urgent = true;
    if (c->dirty) return;
    TNLRELAY_ASSERT(!c->closed);
    c->dirty = true;
    hold(c);
    dirty.push_back(c);
    if (limits.flushInterval.count() > 0)
        c->flushDue = (turnOpen ? turnStart : Clock::now()) + limits.flushInterval;
    poller->postFlush(*this);
}

// A turn runs from the first read handler after the last flush to the flush that ends its batch
// of ready events; its flush is posted at once, so that every turn is measured.
void Loop::Impl::beginTurn() {
    if (turnOpen) return;
    turnOpen = true;
    turnStart = now;
    poller->postFlush(*this);
}

void Loop::Impl::endTurn() {
    if (!turnOpen) return;
    turnOpen = false;
    const auto nanos = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - turnStart).count());
    std::size_t bucket = 0;
    while (bucket < std::size(kTurnBucketMicros) && nanos > kTurnBucketMicros[bucket] * 1000ull)
        ++bucket;
    ++stats.turns[bucket];
    stats.turnNanos += nanos;
    stats.longestTurnNanos = std::max(stats.longestTurnNanos, nanos);
}

// `timerTurn`: the flush timer's turn. Every waiting connection leaves then, not only those
// due: none has waited longer than the interval, and one wake-up per interval serves them all.
void Loop::Impl::flushDirty(bool timerTurn) {
    flushPosted = false;
    flushing.swap(dirty);
    now = Clock::now();
    const bool interval = limits.flushInterval.count() > 0 && !timerTurn;
    std::optional<Clock::time_point> earliest;
    for (Conn* c : flushing) {
        TNLRELAY_ASSERT(c->dirty);
        if (interval && !c->urgent && !c->closed && now < c->flushDue) {
            dirty.push_back(c); // its frames wait for company, still held
            if (!earliest || c->flushDue < *earliest) earliest = c->flushDue;
            continue;
        }
        c->dirty = false;
        c->urgent = false;
        if (c->peerLeft && !c->released && !c->closed) release(c);
        if (!c->closed) flushConn(c);
        letGo(c);
    }
    flushing.clear();
    if (timerTurn)
        flushLead = std::min<Clock::duration>(Clock::now() - now, limits.flushInterval / 2);
    endTurn();
    // Whatever was queued by the flushes themselves has a flush posted for it.
    if (earliest) armFlushTimer(*earliest - flushLead);
}

void Loop::Impl::armFlushTimer(Clock::time_point due) {
    if (flushTimerArmed && flushTimerAt <= due) return;
    flushTimerArmed = true;
    flushTimerAt = due;
    poller->armFlushTimer(*this, due);
}

void Loop::Impl::flushConn(Conn* c) {
    checkConn(c);
    if (c->hardClose) {
        c->out.clear();
        peerGone(c);
        return;
    }
    if (c->writeArmed) return;
#ifdef TNLRELAY_TLS
    if (c->tls ? !writeTls(c) : !writePlain(c)) return;
#else
    if (!writePlain(c)) return;
#endif
    if (c->draining) {
        shutSending(c);
        return;
    }
    if (c->paused) {
        c->paused = false;
        processHttp(c);
        armRead(c);
    }
}

void Loop::Impl::armWrite(Conn* c) {
    TNLRELAY_ASSERT(!c->writeArmed && !c->closed);
    c->writeArmed = true;
    poller->waitWritable(*this, c);
}

} // namespace tnlrelay::net
