// The Asio poller: every wait goes through Asio's reactor (async_wait, async_accept, timers, and
// a posted handler to end the turn). It runs everywhere, and is the one Windows uses.
#include "LoopInternals.hpp"

#include <boost/asio/post.hpp>

namespace tnlrelay::net {

struct AsioPoll {
    explicit AsioPoll(asio::io_context& io)
        : sweepTimer(io.get_executor()), flushTimer(io.get_executor()) {
        gather.reserve(kPortableGather);
    }
    Timer sweepTimer;
    Timer flushTimer; ///< flushes connections whose data frames waited the flush interval
    std::vector<asio::const_buffer> gather;
};

namespace {

bool init(Loop::Impl& m) {
    m.asioPoll = new AsioPoll(m.io);
    return true;
}

void done(Loop::Impl& m) {
    delete m.asioPoll;
    m.asioPoll = nullptr;
}

void poll(Loop::Impl& m, std::chrono::milliseconds timeout) {
    m.io.run_for(timeout);
    if (m.io.stopped()) m.io.restart();
}

void drain(Loop::Impl& m, Clock::time_point deadline) {
    m.io.restart();
    while (!m.stopSettled() && Clock::now() < deadline)
        m.io.run_one_until(deadline);
}

void stopTimers(Loop::Impl& m) {
    for (auto& l : m.listeners)
        l->retry.cancel();
    m.asioPoll->sweepTimer.cancel();
    m.asioPoll->flushTimer.cancel();
}

void armSweep(Loop::Impl& m) {
    Timer& timer = m.asioPoll->sweepTimer;
    timer.expires_after(m.limits.sweepInterval);
    timer.async_wait([&m](error_code ec) {
        if (ec) return;
        m.sweep();
        armSweep(m);
    });
}

void armFlushTimer(Loop::Impl& m, Clock::time_point due) {
    Timer& timer = m.asioPoll->flushTimer;
    timer.expires_at(due);
    timer.async_wait([&m](error_code ec) {
        if (ec) return; // moved earlier (a newer wait is pending), or the loop stops
        m.flushTimerArmed = false;
        m.flushDirty(true);
    });
}

// Asio has no end-of-turn hook: a handler posted now runs after the batch of ready handlers.
void postFlush(Loop::Impl& m) {
    if (!m.flushPosted) {
        m.flushPosted = true;
        asio::post(m.io, [&m] { m.flushDirty(); });
    }
}

// Thread-safe by Asio's word; `poll` restarts the context after a stop.
void wake(Loop::Impl& m) {
    m.io.stop();
}

bool addListener(Loop::Impl&, Listener&) {
    return true;
}

void accept(Loop::Impl& m, Listener* l);

void onAccept(Loop::Impl& m, Listener* l, error_code ec, Socket sock) {
    if (ec == asio::error::operation_aborted || !l->acceptor.is_open()) return;
    if (ec == asio::error::connection_aborted) {
        accept(m, l); // the peer gave up before we took it: nothing to wait for
        return;
    }
    if (ec) {
        // Out of descriptors or memory: pause briefly instead of spinning, then go on accepting.
        if (outOfDescriptors(ec)) ++m.stats.acceptOutOfDescriptors;
        l->retry.expires_after(kAcceptRetry);
        l->retry.async_wait([&m, l](error_code wec) {
            if (!wec) accept(m, l);
        });
        return;
    }
    error_code e;
    const auto remote = sock.remote_endpoint(e);
    if (!e) sock.non_blocking(true, e);
    if (!e) sock.set_option(tcp::no_delay(true), e);
    if (e) {
        sock.close(e);
        accept(m, l);
        return;
    }
    auto* c = new Conn(&m, std::make_unique<Socket>(std::move(sock)));
    const auto address = remote.address();
    m.addConnection(l, c,
                    address.is_v4() ? IpAddress::v4(address.to_v4().to_uint())
                                    : IpAddress::fromV6Bytes(address.to_v6().to_bytes().data()));
    accept(m, l);
}

void accept(Loop::Impl& m, Listener* l) {
    l->acceptor.async_accept(
        [&m, l](error_code ec, Socket sock) { onAccept(m, l, ec, std::move(sock)); });
}

void onReadable(Loop::Impl& m, Conn* c, error_code ec) {
    TNLRELAY_ASSERT(c->readArmed);
    c->readArmed = false;
    if (c->closed) {
        m.letGo(c);
        return;
    }
    if (ec) {
        m.peerGone(c);
        m.letGo(c);
        return;
    }
    m.readAvailable(c);
    m.letGo(c);
}

void waitReadable(Loop::Impl& m, Conn* c) {
    m.hold(c);
    c->sock->async_wait(Socket::wait_read, [&m, c](error_code ec) { onReadable(m, c, ec); });
}

void onWritable(Loop::Impl& m, Conn* c, error_code ec) {
    m.now = Clock::now();
    if (c->closed) return;
    if (ec) {
        c->out.clear();
        m.peerGone(c);
    } else {
        m.flushConn(c);
    }
}

void waitWritable(Loop::Impl& m, Conn* c) {
    m.hold(c);
    c->sock->async_wait(Socket::wait_write, [&m, c](error_code ec) {
        TNLRELAY_ASSERT(c->writeArmed);
        c->writeArmed = false;
        onWritable(m, c, ec);
        m.letGo(c);
    });
}

void ranDry(Conn*) {}

bool readOnAfterShortRead(const Conn*) {
    return false;
}

std::size_t read(Conn* c, char* data, std::size_t len, error_code& ec) {
    return c->sock->read_some(asio::buffer(data, len), ec);
}

std::size_t write(Conn* c, const char* data, std::size_t len, error_code& ec) {
    return c->sock->write_some(asio::buffer(data, len), ec);
}

std::size_t writeQueue(Loop::Impl& m, Conn* c, std::size_t& offered, error_code& ec) {
    std::vector<asio::const_buffer>& bufs = m.asioPoll->gather;
    bufs.resize(kPortableGather);
    const std::size_t n = c->out.gather(bufs.data(), kPortableGather, kMaxWriteBytes);
    bufs.resize(n);
    offered = asio::buffer_size(bufs);
    return c->sock->write_some(bufs, ec);
}

void shutdownSend(Conn* c) {
    error_code ec;
    c->sock->shutdown(Socket::shutdown_send, ec);
}

void closeSocket(Conn* c) {
    error_code ec;
    c->sock->shutdown(Socket::shutdown_both, ec);
    c->sock->close(ec);
}

#ifndef _WIN32
// A watch waits for reading always and for writing when asked, one wait of each at a time;
// each wake-up re-arms what the handler left wanted.
void armWatch(const WatchPtr& s) {
    if (!s->readWaiting) {
        s->readWaiting = true;
        s->sd->async_wait(asio::posix::descriptor_base::wait_read, [s](error_code ec) {
            s->readWaiting = false;
            if (ec) return;
            fireWatch(*s, true, false);
            if (!s->stopped) armWatch(s);
        });
    }
    if (s->wantWrite && !s->writeWaiting) {
        s->writeWaiting = true;
        s->sd->async_wait(asio::posix::descriptor_base::wait_write, [s](error_code ec) {
            s->writeWaiting = false;
            if (ec) return;
            fireWatch(*s, false, true);
            if (!s->stopped) armWatch(s);
        });
    }
}

bool watchStart(const WatchPtr& s) {
    s->sd.emplace(s->loop.io, s->fd);
    armWatch(s);
    return true;
}

void watchWrite(const WatchPtr& s, bool on) {
    s->wantWrite = on;
    if (on) armWatch(s);
}

void watchStop(WatchPtr s) {
    error_code ec;
    s->sd->cancel(ec);
    s->sd->release(); // the descriptor is the caller's to close
}
#endif

} // namespace

const Poller kAsioPoller = {
    .init = init,
    .done = done,
    .poll = poll,
    .drain = drain,
    .stopTimers = stopTimers,
    .armSweep = armSweep,
    .armFlushTimer = armFlushTimer,
    .postFlush = postFlush,
    .wake = wake,
    .addListener = addListener,
    .accept = accept,
    .waitReadable = waitReadable,
    .waitWritable = waitWritable,
    .ranDry = ranDry,
    .readOnAfterShortRead = readOnAfterShortRead,
    .read = read,
    .write = write,
    .writeQueue = writeQueue,
    .shutdownSend = shutdownSend,
    .closeSocket = closeSocket,
#ifndef _WIN32
    .watchStart = watchStart,
    .watchWrite = watchWrite,
    .watchStop = watchStop,
#endif
};

} // namespace tnlrelay::net
