// The epoll poller (Linux): the loop blocks in an epoll set of its own (EdgePoll.hpp) that holds
// the listeners, the accepted sockets and the descriptor watches, registered once and
// edge-triggered, and keeps its few timers itself, so that a wake-up costs one system call;
// Asio then only owns the sockets' setup.
#include "LoopInternals.hpp"

#if defined(__linux__)

#include "EdgePoll.hpp"

#include <cerrno>
#include <climits>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace tnlrelay::net {

struct EpollPoll {
    int set = -1;        ///< the epoll set
    int wakeFd = -1;     ///< an eventfd in the set that other threads write to wake the loop
    bool woken = false;  ///< the run saw it: `poll` returns
    bool runDue = false; ///< a run over the set is due without waiting (sockets to read on)
    bool inRun = false;  ///< the run flushes at its end: nothing needs posting
    Clock::time_point sweepAt = Clock::time_point::max(); ///< the sweep's next turn
    /// Descriptor watches let go during a run, kept until its events have been handled.
    std::vector<std::shared_ptr<void>> retiredWatches;
    std::vector<Conn*> readAgain, readingAgain; ///< read to their round limit: read on next run
    std::vector<iovec> iovs;
};

namespace {

// Tags of the set's events: a connection as it is, a listener with the low bit set, a
// descriptor watch with the next bit; both bits alone, the wake-up descriptor.
constexpr std::uint64_t kListenerTag = 1, kWatchTag = 2, kTagBits = 3, kWakeTag = 3;

bool init(Loop::Impl& m) {
    error_code ec;
    const int set = edge::createSet(ec);
    if (set < 0) return false; // the Asio poller serves
    const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0 || !edge::add(set, wakeFd, kWakeTag, ec)) {
        if (wakeFd >= 0) ::close(wakeFd);
        ::close(set);
        return false;
    }
    m.epollPoll = new EpollPoll;
    m.epollPoll->set = set;
    m.epollPoll->wakeFd = wakeFd;
    m.epollPoll->iovs.resize(IOV_MAX);
    if (m.limits.flushInterval.count() > 0) edge::preciseTimers();
    return true;
}

// Lets go of the connections still queued to be read again: closed by now, they are freed.
void done(Loop::Impl& m) {
    EpollPoll& p = *m.epollPoll;
    if (p.set >= 0) ::close(p.set);
    if (p.wakeFd >= 0) ::close(p.wakeFd);
    p.set = -1;
    p.retiredWatches.clear();
    for (Conn* c : p.readAgain) {
        c->readQueued = false;
        m.letGo(c);
    }
    p.readAgain.clear();
    delete m.epollPoll;
    m.epollPoll = nullptr;
}

void queueRead(Loop::Impl& m, Conn* c) {
    if (c->readQueued) return;
    c->readQueued = true;
    m.hold(c);
    m.epollPoll->readAgain.push_back(c);
    if (!m.epollPoll->inRun) m.epollPoll->runDue = true;
}

void accept(Loop::Impl& m, Listener* l) {
    if (!l->acceptor.is_open()) return;
    for (;;) {
        sockaddr_storage peer{};
        error_code ec;
        const int fd = edge::accept(l->acceptor.native_handle(), peer, ec);
        if (fd < 0) {
            if (ec == asio::error::would_block || ec == asio::error::try_again) return;
            if (ec == asio::error::connection_aborted || ec.value() == EPROTO) continue;
            // Out of descriptors or memory: pause briefly instead of spinning.
            if (outOfDescriptors(ec)) ++m.stats.acceptOutOfDescriptors;
            l->retryAt = Clock::now() + kAcceptRetry;
            return;
        }
        auto* c = new Conn(&m, nullptr);
        c->fd = fd;
        if (!edge::noDelay(fd) ||
            !edge::add(m.epollPoll->set, fd, reinterpret_cast<std::uintptr_t>(c), ec)) {
            edge::close(fd);
            delete c;
            continue;
        }
        if (peer.ss_family == AF_INET6) {
            m.addConnection(l, c,
                            IpAddress::fromV6Bytes(
                                reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr.s6_addr));
        } else {
            m.addConnection(
                l, c,
                IpAddress::v4(ntohl(reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr)));
        }
    }
}

// A connection's event: input (or its end) is read, and a socket that can take more is written
// in the run's one flush, after every read of the run has queued what it brings, not at once
// with only what was queued before.
void connEvent(Loop::Impl& m, Conn* c, std::uint32_t what) {
    if (c->closed) return;
    if (what & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) c->hangup = true;
    if (what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        c->readReady = true;
        if (c->readArmed) {
            c->readArmed = false;
            m.readAvailable(c);
        }
    }
    if (!c->closed && c->writeArmed && (what & (EPOLLOUT | EPOLLHUP | EPOLLERR))) {
        c->writeArmed = false;
        m.markDirty(c, true);
    }
}

// A watch's event; its state outlives `unwatchFd` until the run that may still report it is
// over.
void watchEvent(void* watch, std::uint32_t events) {
    auto& s = *static_cast<FdWatchState*>(watch);
    const bool readable = (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0;
    const bool writable = s.wantWrite && (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0;
    if (!readable && !writable) return;
    fireWatch(s, readable, writable);
}

// The wake-up descriptor was written: reset it; the poll under way returns after this run.
void takeWake(EpollPoll& p) {
    std::uint64_t count = 0;
    if (::read(p.wakeFd, &count, sizeof count) == sizeof count) p.woken = true;
}

// One run over the set's events: the sockets that were read to their round limit last time,
// then every socket the set reported ready, then one flush for all of them.
void run(Loop::Impl& m, const epoll_event* events, int n) {
    EpollPoll& p = *m.epollPoll;
    p.inRun = true;
    m.now = Clock::now();
    // A handler may close any connection; none is freed before the run is over.
    for (int i = 0; i < n; ++i)
        if (!(events[i].data.u64 & kTagBits)) m.hold(reinterpret_cast<Conn*>(events[i].data.u64));
    p.readingAgain.swap(p.readAgain);
    for (Conn* c : p.readingAgain) {
        c->readQueued = false;
        if (!c->closed && c->readArmed && c->readReady) {
            c->readArmed = false;
            m.readAvailable(c);
        }
        m.letGo(c);
    }
    p.readingAgain.clear();
    for (int i = 0; i < n; ++i) {
        const std::uint64_t tag = events[i].data.u64;
        if (tag == kWakeTag)
            takeWake(p);
        else if (tag & kListenerTag)
            accept(m, reinterpret_cast<Listener*>(tag & ~kTagBits));
        else if (tag & kWatchTag)
            watchEvent(reinterpret_cast<void*>(tag & ~kTagBits), events[i].events);
        else
            connEvent(m, reinterpret_cast<Conn*>(tag), events[i].events);
    }
    for (int i = 0; i < n; ++i)
        if (!(events[i].data.u64 & kTagBits)) m.letGo(reinterpret_cast<Conn*>(events[i].data.u64));
    p.retiredWatches.clear();
    p.inRun = false;
    if (!m.dirty.empty() || m.turnOpen) m.flushDirty();
    if (!p.readAgain.empty()) p.runDue = true;
}

void armSweep(Loop::Impl& m) {
    m.epollPoll->sweepAt = Clock::now() + m.limits.sweepInterval;
}

// The timers of our own loop: the sweep, the flush interval's timer, accept retries.
void runTimers(Loop::Impl& m) {
    m.now = Clock::now();
    if (m.now >= m.epollPoll->sweepAt) {
        m.sweep();
        armSweep(m);
    }
    if (m.flushTimerArmed && m.now >= m.flushTimerAt) {
        m.flushTimerArmed = false;
        m.flushDirty(true);
    }
    for (auto& l : m.listeners) {
        if (l->retryAt && m.now >= *l->retryAt) {
            l->retryAt.reset();
            accept(m, l.get());
        }
    }
}

// One turn of our own loop: what earlier calls queued leaves, timers that are due run, then one
// wait on the set (none when sockets wait to be read on), at most until `until` or the next
// timer, and one run over what it reports. False when a signal cut the wait short.
bool turn(Loop::Impl& m, Clock::time_point until) {
    EpollPoll& p = *m.epollPoll;
    if (m.flushPosted) m.flushDirty();
    runTimers(m);
    if (m.flushPosted) m.flushDirty();
    auto wake = std::min(until, p.sweepAt);
    if (m.flushTimerArmed) wake = std::min(wake, m.flushTimerAt);
    for (auto& l : m.listeners)
        if (l->retryAt) wake = std::min(wake, *l->retryAt);
    std::chrono::nanoseconds wait{0};
    if (!p.runDue) wait = std::max(std::chrono::nanoseconds(0), wake - Clock::now());
    p.runDue = false;
    epoll_event events[edge::kMaxEvents];
    bool interrupted = false;
    const int n = edge::wait(p.set, events, edge::kMaxEvents, wait, interrupted);
    run(m, events, n);
    const bool woken = p.woken;
    p.woken = false;
    return !interrupted && !woken;
}

void poll(Loop::Impl& m, std::chrono::milliseconds timeout) {
    // Until the time is up, or a signal came (its handler has set something to look at).
    const auto deadline = Clock::now() + timeout;
    while (turn(m, deadline) && Clock::now() < deadline) {
    }
}

void drain(Loop::Impl& m, Clock::time_point deadline) {
    while (!m.stopSettled() && Clock::now() < deadline)
        turn(m, deadline);
}

void stopTimers(Loop::Impl& m) {
    m.epollPoll->sweepAt = Clock::time_point::max();
    m.flushTimerArmed = false;
    for (auto& l : m.listeners)
        l->retryAt.reset();
}

// Our own loop keeps the time: `turn` looks at `flushTimerAt`.
void armFlushTimer(Loop::Impl&, Clock::time_point) {}

// Our own loop flushes before it waits again, and a run flushes at its end by itself.
void postFlush(Loop::Impl& m) {
    if (m.epollPoll->inRun) return;
    m.flushPosted = true;
}

// Any thread: an eventfd takes concurrent writes; a full counter still leaves it readable.
void wake(Loop::Impl& m) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(m.epollPoll->wakeFd, &one, sizeof one);
}

bool addListener(Loop::Impl& m, Listener& l) {
    error_code ec;
    return edge::add(m.epollPoll->set, l.acceptor.native_handle(),
                     reinterpret_cast<std::uintptr_t>(&l) | kListenerTag, ec);
}

// The set reports new input by itself; only input an earlier read left waits for a run.
void waitReadable(Loop::Impl& m, Conn* c) {
    if (c->readReady) queueRead(m, c);
}

// The set reports room by itself once a write has found none.
void waitWritable(Loop::Impl&, Conn*) {}

void ranDry(Conn* c) {
    c->readReady = false;
}

// A short read emptied the socket; new bytes bring a new edge. Its end may have come with the
// last bytes, though, and brings none: then read on until it shows.
bool readOnAfterShortRead(const Conn* c) {
    return c->hangup;
}

std::size_t read(Conn* c, char* data, std::size_t len, error_code& ec) {
    const std::size_t n = edge::read(c->fd, data, len, ec);
    if (!ec && n == 0 && len > 0) ec = asio::error::eof;
    return n;
}

std::size_t write(Conn* c, const char* data, std::size_t len, error_code& ec) {
    const iovec piece{const_cast<char*>(data), len};
    return edge::write(c->fd, &piece, 1, ec);
}

std::size_t writeQueue(Loop::Impl& m, Conn* c, std::size_t& offered, error_code& ec) {
    std::vector<iovec>& iovs = m.epollPoll->iovs;
    const std::size_t n = c->out.gather(iovs.data(), iovs.size(), kMaxWriteBytes);
    for (std::size_t i = 0; i < n; ++i)
        offered += iovs[i].iov_len;
    return edge::write(c->fd, iovs.data(), n, ec);
}

void shutdownSend(Conn* c) {
    edge::shutdownSend(c->fd);
}

void closeSocket(Conn* c) {
    if (c->fd >= 0) edge::close(c->fd);
    c->fd = -1;
    // No operation is pending here: the set forgets the socket as it closes.
    c->readArmed = c->writeArmed = false;
}

// Watches sit in the set level-triggered, as Asio's waits behave.
bool watchInterest(FdWatchState& s, int op) {
    epoll_event ev{};
    ev.events = EPOLLIN | (s.wantWrite ? EPOLLOUT : 0u);
    ev.data.u64 = reinterpret_cast<std::uintptr_t>(&s) | kWatchTag;
    return ::epoll_ctl(s.loop.epollPoll->set, op, s.fd, &ev) == 0;
}

bool watchStart(const WatchPtr& s) {
    return watchInterest(*s, EPOLL_CTL_ADD);
}

void watchWrite(const WatchPtr& s, bool on) {
    if (s->wantWrite == on) return;
    s->wantWrite = on;
    // Should the set refuse, the descriptor has gone bad: its reads report that.
    watchInterest(*s, EPOLL_CTL_MOD);
}

void watchStop(WatchPtr s) {
    ::epoll_ctl(s->loop.epollPoll->set, EPOLL_CTL_DEL, s->fd, nullptr);
    s->loop.epollPoll->retiredWatches.push_back(std::move(s));
}

const Poller kTable = {
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
    .watchStart = watchStart,
    .watchWrite = watchWrite,
    .watchStop = watchStop,
};

} // namespace

const Poller* const kEpollPoller = &kTable;

} // namespace tnlrelay::net

#else

namespace tnlrelay::net {

const Poller* const kEpollPoller = nullptr;

} // namespace tnlrelay::net

#endif
