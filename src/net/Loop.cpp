// The event loop on Asio: listeners, accepted connections, HTTP requests parsed by Beast, and
// the WebSocket data path of our own. Reads wait for readability and drain the socket without
// blocking; output queued during a turn is flushed once per connection at the turn's end, in
// gathered writes. Close events are never delivered from inside another handler call.
// On Linux, the loop blocks in an epoll set of our own (EdgePoll.hpp) that holds the listeners,
// the accepted sockets and the descriptor watches, and keeps its few timers itself, so that a
// wake-up costs one system call; Asio then only owns the sockets' setup. The portable path waits
// through Asio and is the one Windows uses (TNLRELAY_PORTABLE_IO=1 in the environment selects it
// on Linux too, which is how it is tested there).
#include "ConnIds.hpp"
#include "EdgePoll.hpp"
#include "HttpParse.hpp"
#include "Net.hpp"
#include "NetAssert.hpp"
#include "NetText.hpp"
#include "ProxyHeader.hpp"
#include "WsFrames.hpp"
#ifdef TNLRELAY_TLS
#include "Tls.hpp"
#endif

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http/status.hpp>
#if defined(__linux__)
#define TNLRELAY_EDGE_POLL 1
#include <climits>
#include <cstdlib>
#include <netinet/in.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cstring>
#include <optional>
#include <unordered_map>

namespace tnlrelay::net {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

namespace {

constexpr std::size_t kScratchBytes = 64 * 1024;
constexpr std::size_t kFrameHeaderRoom = 10;    // the longest header of an outgoing frame
constexpr std::size_t kMaxReadBytes = 4 << 20;  // per read call into a large message
constexpr std::size_t kMaxWriteBytes = 8 << 20; // per write call; the socket takes what fits
constexpr std::size_t kTlsAhead = 256 * 1024;   // ciphertext made ready ahead of the socket
constexpr std::size_t kPortableGather = 64;     // Asio's write_some sends at most 64 pieces
constexpr int kReadRounds = 8;                  // reads per wake-up, for fairness
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

} // namespace

// A concrete executor: smaller sockets and smaller pending operations than the type-erased one.
using Executor = asio::io_context::executor_type;
using Socket = asio::basic_stream_socket<tcp, Executor>;
using Acceptor = asio::basic_socket_acceptor<tcp, Executor>;
using Timer = asio::basic_waitable_timer<Clock, asio::wait_traits<Clock>, Executor>;

enum class Kind : std::uint8_t { http, ws };

struct Listener {
    Listener(asio::io_context& io) : acceptor(io.get_executor()), retry(io.get_executor()) {}
    Acceptor acceptor;
    Timer retry;
    std::optional<Clock::time_point> retryAt; ///< the edge-triggered path's accept retry
    Handler handler = nullptr;
    void* user = nullptr;
    ConnId id = 0;
    ListenOptions options;
};

#ifdef TNLRELAY_EDGE_POLL
/// A descriptor watch's readiness reported by our own set (Watch.cpp).
void fireWatch(void* watch, std::uint32_t events);
#endif

struct Conn {
    /// `s` null on the edge-triggered path, where `fd` is the socket.
    Conn(Loop::Impl* l, std::unique_ptr<Socket> s) : loop(l), sock(std::move(s)) {}
    Loop::Impl* loop;
    std::unique_ptr<Socket> sock; ///< the portable path's socket (apart: idle connections are many)
    ConnId id = 0;
    /// Holds: pending operations, the flush list, and calls in progress that may close it. The
    /// last hold let go on a closed connection frees it; nothing else does.
    std::uint32_t refs = 0;
    Listener* listener = nullptr; ///< whose handler and user data this connection uses
    char peer[40] = {};           ///< dotted IPv4 or compressed IPv6 text
    std::uint8_t peerLen = 0;
    Kind kind = Kind::http;

    // One bit each: thousands of idle connections carry them.
    bool opening : 1 = true;    ///< PROXY header and TLS not decided yet: bytes wait in `http`
    bool sendable : 1 = false;  ///< a WebSocket that takes frames: open, or draining until flushed
    bool closed : 1 = false;    ///< the close event has been delivered
    bool draining : 1 = false;  ///< send what is queued, then close
    bool hardClose : 1 = false; ///< close at the end of the turn, dropping the queue
    bool dirty : 1 = false;     ///< in the loop's list of connections to flush
    bool readArmed : 1 = false;
    bool writeArmed : 1 = false;
    bool paused : 1 = false;   ///< a reply is being written; the next request waits for it
    bool keepAlive : 1 = true; ///< of the request being answered
    bool pingSent : 1 = false;
    bool closeSent : 1 = false; ///< a close frame is queued: no frame may follow it
    bool sendShut : 1 = false;  ///< all sent and the sending side shut: waiting for the peer's end
    bool peerEnded : 1 = false; ///< the peer's end (or an error) was read while the loop stops
    bool urgent : 1 = false;    ///< dirty with more than data frames: flushed at the turn's end
#ifdef TNLRELAY_EDGE_POLL
    bool readReady : 1 = false;  ///< an edge came and no read has run dry since: input may wait
    bool readQueued : 1 = false; ///< in the loop's list of sockets to read again
    bool hangup : 1 = false;     ///< the peer's end or an error was signalled: read until it shows
    int fd = -1;                 ///< the socket on the edge-triggered path (`sock` is null)
#endif

    Clock::time_point lastHeard; ///< HTTP: connect or last reply; WebSocket: last byte in
    /// When the pending ping was sent (pingSent), or, once draining, when it was set draining:
    /// a draining connection is never pinged, and its ping no longer matters.
    Clock::time_point pingedOrDraining;
    Clock::time_point shutAt;   ///< when its sending side was shut
    Clock::time_point flushDue; ///< with a flush interval: when its queued data frames leave

    std::unique_ptr<HttpRequestReader> http; ///< until the upgrade
    std::optional<FrameParser> frames;       ///< after the upgrade
    OutQueue out;                            ///< plain bytes; with TLS encrypted when flushed
#ifdef TNLRELAY_TLS
    std::unique_ptr<TlsSession> tls;
#endif
};

struct Loop::Impl {
    explicit Impl(Limits l)
        : limits(l), io(1), work(asio::make_work_guard(io)), sweepTimer(io.get_executor()),
          flushTimer(io.get_executor()), scratch(kScratchBytes) {
        budget.limit = limits.maxInboundBytes;
        budget.maxMessage = limits.maxMessageBytes;
        lastId = limits.lastId;
        gatherBufs.reserve(kPortableGather);
#if defined(__GLIBC__)
        // Relaying frees and takes back megabytes a second at the top of the heap; by default
        // glibc hands them to the kernel and faults them in again (a brk call every few frees).
        mallopt(M_TRIM_THRESHOLD, 64 << 20);
        mallopt(M_MMAP_THRESHOLD, 32 << 20);
#endif
#ifdef TNLRELAY_EDGE_POLL
        const char* portable = std::getenv("TNLRELAY_PORTABLE_IO");
        if (!portable || !*portable || std::string_view(portable) == "0") startEdge();
#endif
    }

    Limits limits;
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work;
    Timer sweepTimer;
    Timer flushTimer; ///< flushes connections whose data frames waited the flush interval
    bool flushTimerArmed = false;
    Clock::time_point flushTimerAt;
    /// How long the flush timer's last turn took: the timer fires that much early (at most half
    /// the interval), so that the last of its writes still leaves within the interval.
    Clock::duration flushLead{};
    std::vector<std::unique_ptr<Listener>> listeners;
    std::unordered_map<ConnId, Conn*> conns;
    ConnId lastId = 0;
    std::vector<Conn*> dirty, flushing;
    bool flushPosted = false;
    bool stopping = false; ///< the loop is being destroyed: no events but the closes
    std::vector<char> scratch;
    std::vector<asio::const_buffer> gatherBufs;
#ifdef TNLRELAY_EDGE_POLL
    bool edge = false;      ///< the loop waits in our own epoll set, not through Asio
    int edgeSet = -1;       ///< that set
    bool edgeDue = false;   ///< a run over the set is due without waiting (sockets to read on)
    bool inEdgeRun = false; ///< the run flushes at its end: nothing needs posting
    Clock::time_point sweepAt = Clock::time_point::max(); ///< the sweep's next turn
    /// Descriptor watches let go during a run, kept until its events have been handled.
    std::vector<std::shared_ptr<void>> retiredWatches;
    std::vector<Conn*> readAgain, readingAgain; ///< read to their round limit: read on next run
    std::vector<iovec> iovs;
#endif
    InboundBudget budget;
    LoopStats stats;
    bool turnOpen = false; ///< a turn has begun and its flush has not run yet
    Clock::time_point turnStart;
    Clock::time_point now = Clock::now();
    // A payload delivered where it lies in the input, copied once for every receiver to share.
    // The copy starts with room for the frame header, which is written there once, so that each
    // receiver's queue takes the whole frame as one piece.
    const char* promotedSrc = nullptr;
    SharedBuf* promoted = nullptr;
    int promotedOpcode = -1; ///< the header written in front of the copy is for this opcode
    std::size_t promotedHeaderLen = 0;
    // The last small frame built, header and payload, copied as a whole into each receiver.
    const char* frameSrc = nullptr;
    std::size_t frameSrcLen = 0;
    int frameOpcode = -1;
    /// Sends of that frame not counted in `stats` yet: the common send adds one to this alone,
    /// and the count is settled when the frame is dropped or the counts are read.
    std::uint64_t frameSends = 0;
    std::size_t frameLen = 0;
    char frame[OutQueue::kCopyMax + 10 + OutQueue::kSlack];
    AddressList trustedProxies;
#ifdef TNLRELAY_TLS
    TlsContext tlsContext;
    std::vector<char> tlsPlain, tlsRecord; ///< decrypted input; a record joined for the library
    std::string tlsCipher;                 ///< records made in one flush, before they are written
#endif

    ConnId nextId();
    void accept(Listener* l);
    void onAccept(Listener* l, error_code ec, Socket sock);
    void adopt(Listener* l, Conn* c, const IpAddress& peer);
    void armRead(Conn* c);
    void onReadable(Conn* c, error_code ec);
    void readRounds(Conn* c);
    std::size_t readSome(Conn* c, char* data, std::size_t len, error_code& ec);
    std::size_t writeSome(Conn* c, const char* data, std::size_t len, error_code& ec);
    void onWritable(Conn* c, error_code ec);
    void closeSocket(Conn* c);
#ifdef TNLRELAY_EDGE_POLL
    void startEdge();
    void postEdgeRun();
    bool edgeTurn(Clock::time_point until);
    void runEdgeTimers();
    void edgeRun(const epoll_event* events, int n);
    void acceptEdge(Listener* l);
    void queueRead(Conn* c);
#endif
    void receive(Conn* c, char* data, std::size_t n);
    void open(Conn* c);
    void consume(Conn* c, char* data, std::size_t n);
    bool writePlain(Conn* c);
    bool writeStopped(Conn* c, const error_code& ec);
#ifdef TNLRELAY_TLS
    void decrypt(Conn* c, char* data, std::size_t n);
    bool writeTls(Conn* c);
#endif
    void processHttp(Conn* c);
    bool canReadRequest(const Conn* c) const;
    void refuseRequest(Conn* c, HttpParse outcome);
    bool deliverRequest(Conn* c);
    void feedFrames(Conn* c, char* data, std::size_t n);
    void armWrite(Conn* c);
    void markDirty(Conn* c, bool urgent = true);
    void postFlush();
    void armFlushTimer(Clock::time_point due);
    void beginTurn();
    void endTurn();
    void peerGone(Conn* c);
    void flushAll(bool all = false);
    void flushConn(Conn* c);
    void closeNow(Conn* c);
    void shutSending(Conn* c);
    void sendClose(Conn* c, std::uint16_t code);
    void stopConnections();
    void hold(Conn* c);
    void letGo(Conn* c);
    void checkConn(const Conn* c) const;
    void dispatch(Conn* c, Event ev, const void* data);
    void sendFrame(Conn* c, int opcode, const char* data, std::size_t len);
    SharedBuf* promote(const Payload& p, int opcode, std::size_t& frameLen);
    void dropPromoted();
    void settleFrameSends();
    void armSweep();
    void sweep();
};

/// Receives what the frame parser finds on one connection.
struct FrameSink {
    Loop::Impl* loop;
    Conn* c;

    // A draining connection's messages still arrive (a kicked player's are relayed until it
    // closes); after a close frame, or while the loop stops, nothing does.
    bool delivers() const { return !c->closed && !c->closeSent && !loop->stopping; }

    void onMessage(const char* data, std::size_t len, SharedBuf* owner, int opcode) {
        if (!delivers()) return;
        ++loop->stats.messagesIn;
        loop->stats.bytesIn += len;
        WsMessage wm{Payload(data, len, owner), opcode};
        loop->dispatch(c, Event::wsMsg, &wm);
    }
    void onControl(int opcode, const char* data, std::size_t len) {
        if (!delivers() || c->sendShut) return;
        if (opcode == kOpPing) {
            if (c->sendable) loop->sendFrame(c, kOpPong, data, len);
        } else if (opcode == kOpClose) {
            // Answer with the peer's status code when it is one that may be sent, then close.
            if (len == 0) { // no code to echo: an empty close
                loop->sendFrame(c, kOpClose, data, 0);
                c->closeSent = true;
                c->sendable = false;
                setDraining(c);
                return;
            }
            const std::uint16_t code =
                len >= 2 ? std::uint16_t(std::uint8_t(data[0]) << 8 | std::uint8_t(data[1])) : 0;
            wsClose(c, closeCodeMaySend(code) ? code : kCloseProtocolError);
        }
    }
    void onProtocolError(std::uint16_t code) {
        if (!delivers() || c->sendShut) return;
        ++(code == kCloseTooBig ? loop->stats.tooBigCloses : loop->stats.protocolErrorCloses);
        wsClose(c, code);
    }
};

// ---- the loop ----

Loop::Loop(Limits limits) : impl_(std::make_unique<Impl>(limits)) {
    impl_->armSweep();
}

Loop::~Loop() {
    Impl& m = *impl_;
    m.stopConnections();
    // Every connection closes with its owner's tables still intact, in ascending id order.
    std::vector<Conn*> open;
    for (auto& entry : m.conns)
        open.push_back(entry.second);
    std::sort(open.begin(), open.end(), [](Conn* a, Conn* b) { return a->id < b->id; });
    for (Conn* c : open) {
        m.hold(c);
        m.closeNow(c);
        m.letGo(c);
    }
    error_code ec;
    for (auto& l : m.listeners) {
        l->acceptor.close(ec);
        l->retry.cancel();
    }
    m.sweepTimer.cancel();
    m.flushTimer.cancel();
#ifdef TNLRELAY_EDGE_POLL
    if (m.edgeSet >= 0) ::close(m.edgeSet);
    m.edgeSet = -1;
    m.retiredWatches.clear();
#endif
    m.dropPromoted();
    // Let the cancelled operations finish so that every connection is released normally.
    m.io.restart();
    m.io.poll();
}

bool Loop::listen(const std::string& host, int port, Handler handler, void* userData,
                  ListenOptions options) {
    if (port < 1 || port > 65535) return false;
    Impl& m = *impl_;
    error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (ec) return false;
    auto l = std::make_unique<Listener>(m.io);
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
    l->acceptor.open(endpoint.protocol(), ec);
    if (ec) return false;
    // "::" serves IPv4 too, whatever the system's default for IPv6 sockets.
    if (address.is_v6() && address.to_v6().is_unspecified())
        l->acceptor.set_option(asio::ip::v6_only(false), ec);
#ifdef _WIN32
    // A second relay must not be able to take over a port in use.
    using ExclusiveAddressUse =
        asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
    l->acceptor.set_option(ExclusiveAddressUse(true), ec);
#else
    l->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
    l->acceptor.bind(endpoint, ec);
    if (ec) return false;
    l->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return false;
    l->acceptor.non_blocking(true, ec);
    l->handler = handler;
    l->user = userData;
    l->options = options;
    l->id = m.nextId();
#ifdef TNLRELAY_EDGE_POLL
    // Tagged with the low bit: connections and listeners share the set.
    if (m.edge && !edge::add(m.edgeSet, l->acceptor.native_handle(),
                             reinterpret_cast<std::uintptr_t>(l.get()) | 1u, ec))
        return false;
#endif
    m.accept(l.get());
    m.listeners.push_back(std::move(l));
    return true;
}

bool Loop::setTlsFiles(const std::filesystem::path& cert, const std::filesystem::path& key,
                       std::string& error) {
#ifdef TNLRELAY_TLS
    return impl_->tlsContext.load(cert, key, error);
#else
    (void)cert, (void)key;
    error = "this build has no TLS";
    return false;
#endif
}

TlsCheck Loop::checkTlsFiles(std::string& error) {
#ifdef TNLRELAY_TLS
    return impl_->tlsContext.check(error);
#else
    (void)error;
    return TlsCheck::unchanged;
#endif
}

const TlsCertInfo* Loop::tlsCertificate() const {
#ifdef TNLRELAY_TLS
    if (impl_->tlsContext.active()) return &impl_->tlsContext.info();
#endif
    return nullptr;
}

void Loop::setTrustedProxies(AddressList list) {
    impl_->trustedProxies = std::move(list);
}

void Loop::poll(std::chrono::milliseconds timeout) {
#ifdef TNLRELAY_EDGE_POLL
    if (impl_->edge) {
        // Until the time is up, or a signal came (its handler has set something to look at).
        const auto deadline = Clock::now() + timeout;
        while (impl_->edgeTurn(deadline) && Clock::now() < deadline) {
        }
        return;
    }
#endif
    impl_->io.run_for(timeout);
    if (impl_->io.stopped()) impl_->io.restart();
}

LoopStats& Loop::stats() {
    impl_->settleFrameSends();
    return impl_->stats;
}

LoopGauges Loop::gauges() const {
    LoopGauges g;
    for (const auto& [id, c] : impl_->conns) {
        if (c->kind == Kind::ws)
            ++g.webSockets;
        else
            ++g.httpConnections;
        g.queuedBytes += c->out.bytes();
    }
    return g;
}

ConnId Loop::Impl::nextId() {
    lastId = nextFreeId(lastId, [this](ConnId id) {
        if (conns.count(id)) return true;
        for (auto& l : listeners)
            if (l->id == id) return true;
        return false;
    });
    return lastId;
}

void Loop::Impl::accept(Listener* l) {
#ifdef TNLRELAY_EDGE_POLL
    if (edge) {
        acceptEdge(l);
        return;
    }
#endif
    l->acceptor.async_accept(
        [this, l](error_code ec, Socket sock) { onAccept(l, ec, std::move(sock)); });
}

void Loop::Impl::onAccept(Listener* l, error_code ec, Socket sock) {
    if (ec == asio::error::operation_aborted || !l->acceptor.is_open()) return;
    if (ec == asio::error::connection_aborted) {
        accept(l); // the peer gave up before we took it: nothing to wait for
        return;
    }
    if (ec) {
        // Out of descriptors or memory: pause briefly instead of spinning, then go on accepting.
        l->retry.expires_after(kAcceptRetry);
        l->retry.async_wait([this, l](error_code wec) {
            if (!wec) accept(l);
        });
        return;
    }
    error_code e;
    const auto remote = sock.remote_endpoint(e);
    if (!e) sock.non_blocking(true, e);
    if (!e) sock.set_option(tcp::no_delay(true), e);
    if (e) {
        sock.close(e);
        accept(l);
        return;
    }
    auto* c = new Conn(this, std::make_unique<Socket>(std::move(sock)));
    const auto address = remote.address();
    adopt(l, c,
          address.is_v4() ? IpAddress::v4(address.to_v4().to_uint())
                          : IpAddress::fromV6Bytes(address.to_v6().to_bytes().data()));
    accept(l);
}

// A new connection joins the table and waits for its first bytes.
void Loop::Impl::adopt(Listener* l, Conn* c, const IpAddress& peer) {
    const std::string text = formatIp(peer);
    c->peerLen = static_cast<std::uint8_t>(std::min(text.size(), sizeof c->peer));
    std::memcpy(c->peer, text.data(), c->peerLen);
    c->listener = l;
    c->http = std::make_unique<HttpRequestReader>(limits.maxHeaderBytes, limits.maxBodyBytes);
    c->id = nextId();
    c->lastHeard = now = Clock::now();
    conns.emplace(c->id, c);
    armRead(c);
}

void Loop::Impl::armRead(Conn* c) {
    if (c->readArmed || c->closed || c->paused || c->peerEnded) return;
    c->readArmed = true;
#ifdef TNLRELAY_EDGE_POLL
    // The set reports new input by itself; only input an earlier read left waits for a run.
    if (edge) {
        if (c->readReady) queueRead(c);
        return;
    }
#endif
    hold(c);
    c->sock->async_wait(Socket::wait_read, [this, c](error_code ec) { onReadable(c, ec); });
}

void Loop::Impl::onReadable(Conn* c, error_code ec) {
    TNLRELAY_ASSERT(c->readArmed);
    c->readArmed = false;
    if (c->closed) {
        letGo(c);
        return;
    }
    if (ec) {
        peerGone(c);
        letGo(c);
        return;
    }
    readRounds(c);
    letGo(c);
}

// Reads what has arrived, a few calls at most (others wait too), then waits for more. The
// caller holds the connection.
void Loop::Impl::readRounds(Conn* c) {
    now = Clock::now();
    beginTurn();
    for (int round = 0; round < kReadRounds; ++round) {
        char* target = scratch.data();
        std::size_t room = scratch.size();
        bool direct = false;
        if (c->frames && !c->opening
#ifdef TNLRELAY_TLS
            && !c->tls
#endif
        ) {
            std::size_t len = 0;
            if (char* p = c->frames->directTarget(kMaxReadBytes, len)) {
                target = p;
                room = len;
                direct = true;
            }
        }
        error_code rec;
        const std::size_t n = readSome(c, target, room, rec);
        if (rec) {
#ifdef TNLRELAY_EDGE_POLL
            c->readReady = false; // ran dry, or nothing more will come
#endif
            if (rec != asio::error::would_block && rec != asio::error::try_again)
                peerGone(c); // the peer's end, or a reset
            break;
        }
        if (c->kind == Kind::ws) {
            c->lastHeard = now;
            c->pingSent = false;
        }
        if (direct) {
            FrameSink sink{this, c};
            c->frames->directDone(sink, n);
        } else {
            receive(c, target, n);
        }
        if (c->closed || c->paused) break;
        if (n < room) {
#ifdef TNLRELAY_EDGE_POLL
            // A short read emptied the socket; new bytes bring a new edge. Its end may have come
            // with the last bytes, though, and brings none: then read on until it shows.
            if (c->hangup) continue;
            c->readReady = false;
#endif
            break;
        }
    }
    armRead(c);
}

std::size_t Loop::Impl::readSome(Conn* c, char* data, std::size_t len, error_code& ec) {
#ifdef TNLRELAY_EDGE_POLL
    if (edge) {
        const std::size_t n = edge::read(c->fd, data, len, ec);
        if (!ec && n == 0 && len > 0) ec = asio::error::eof;
        return n;
    }
#endif
    return c->sock->read_some(asio::buffer(data, len), ec);
}

std::size_t Loop::Impl::writeSome(Conn* c, const char* data, std::size_t len, error_code& ec) {
#ifdef TNLRELAY_EDGE_POLL
    if (edge) {
        const iovec piece{const_cast<char*>(data), len};
        return edge::write(c->fd, &piece, 1, ec);
    }
#endif
    return c->sock->write_some(asio::buffer(data, len), ec);
}

void Loop::Impl::closeSocket(Conn* c) {
#ifdef TNLRELAY_EDGE_POLL
    if (edge) {
        if (c->fd >= 0) edge::close(c->fd);
        c->fd = -1;
        // No operation is pending on this path: the set forgets the socket as it closes.
        c->readArmed = c->writeArmed = false;
        return;
    }
#endif
    error_code ec;
    c->sock->shutdown(Socket::shutdown_both, ec);
    c->sock->close(ec);
}

void Loop::Impl::receive(Conn* c, char* data, std::size_t n) {
    if (c->opening) {
        c->http->append(data, n);
        open(c);
        return;
    }
#ifdef TNLRELAY_TLS
    if (c->tls) {
        decrypt(c, data, n);
        return;
    }
#endif
    consume(c, data, n);
}

// The first bytes of a connection: a PROXY header from a trusted proxy, then either a TLS
// handshake or plain HTTP.
void Loop::Impl::open(Conn* c) {
    std::string& in = c->http->input();
    const ListenOptions& options = c->listener->options;
    if (options.proxyHeader && mayBeProxyHeader(in)) {
        const ProxyHeader h = parseProxyHeader(in);
        if (h.status == ProxyHeader::Status::needMore) {
            // A prefix such as "P" may still be an ordinary "POST": wait, but never for long.
            if (in.size() < 12) return;
        }
        // Only a trusted proxy may say whose connection this is; anyone else trying is refused.
        if (h.status == ProxyHeader::Status::invalid || !trustedProxies.contains(peerAddress(c))) {
            closeNow(c);
            return;
        }
        if (h.status == ProxyHeader::Status::needMore) return;
        if (h.source) {
            const std::string text = formatIp(*h.source);
            c->peerLen = static_cast<std::uint8_t>(std::min(text.size(), sizeof c->peer));
            std::memcpy(c->peer, text.data(), c->peerLen);
        }
        in.erase(0, h.length);
        if (in.empty()) return; // the next bytes decide the rest; no second header
    }
    if (in.empty()) return;
    c->opening = false;
#ifdef TNLRELAY_TLS
    if (options.tls && tlsContext.active()) {
        if (static_cast<unsigned char>(in[0]) == 0x16) {
            c->tls = std::make_unique<TlsSession>(tlsContext.get());
            if (!c->tls->valid()) {
                closeNow(c);
                return;
            }
            std::string first = std::move(in);
            in.clear();
            decrypt(c, first.data(), first.size());
            return;
        }
        if (options.tlsOnly) {
            c->keepAlive = false;
            reply(c, 400, "", "this port speaks TLS only: use https:// or wss://\n");
            return;
        }
    }
#endif
    processHttp(c);
}

#ifdef TNLRELAY_TLS
void Loop::Impl::decrypt(Conn* c, char* data, std::size_t n) {
    if (tlsPlain.empty()) tlsPlain.resize(kTlsRecord);
    const bool ok = c->tls->decrypt(data, n, tlsPlain.data(), tlsPlain.size(),
                                    [this, c](const char* plain, std::size_t len) {
                                        consume(c, const_cast<char*>(plain), len);
                                        return !c->closed;
                                    });
    if (c->closed) return;
    if (!ok) {
        // A broken handshake or record, or the peer's closing alert: send any alert, then close.
        c->out.clear();
        c->keepAlive = false;
        setDraining(c);
        return;
    }
    if (c->tls->pendingCipher()) markDirty(c);
}
#endif

void Loop::Impl::consume(Conn* c, char* data, std::size_t n) {
    if (c->kind == Kind::ws) {
        feedFrames(c, data, n);
        return;
    }
    if (c->draining || stopping) return; // a refused or closing HTTP peer: read and dropped
    c->http->append(data, n);
    processHttp(c);
}

void Loop::Impl::feedFrames(Conn* c, char* data, std::size_t n) {
    FrameSink sink{this, c};
    c->frames->feed(sink, data, n);
}

// Reads and answers the requests that have arrived, one at a time: a pipelined request waits
// until the reply before it has been written.
void Loop::Impl::processHttp(Conn* c) {
    while (canReadRequest(c)) {
        const HttpParse outcome = c->http->parse();
        if (outcome == HttpParse::needMore) return;
        if (outcome != HttpParse::complete) {
            refuseRequest(c, outcome);
            return;
        }
        if (!deliverRequest(c)) return;
    }
}

bool Loop::Impl::canReadRequest(const Conn* c) const {
    return !c->closed && !c->draining && !stopping && !c->paused && c->kind == Kind::http &&
           c->http->hasInput();
}

// A request that cannot be read is answered with its status, and the connection ends.
void Loop::Impl::refuseRequest(Conn* c, HttpParse outcome) {
    if (outcome == HttpParse::headerTooLarge || outcome == HttpParse::bodyTooLarge)
        ++stats.refusedLimits;
    c->keepAlive = false;
    reply(c, refusalStatus(outcome), "", refusalBody(outcome));
    setDraining(c);
}

// Hands a complete request to the handler; false when the connection reads no more requests
// (it upgraded, closes, or waits for its reply to be written).
bool Loop::Impl::deliverRequest(Conn* c) {
    c->keepAlive = c->http->keepAlive();
    // The handler may upgrade the connection, which ends its HTTP state: keep the request and
    // the bytes after it alive until the handler returns.
    std::unique_ptr<HttpRequestReader> reader = std::move(c->http);
    dispatch(c, Event::httpMsg, &reader->request());
    if (c->closed || c->draining) return false;
    if (c->kind == Kind::ws) {
        // Bytes that followed the upgrade request are the first frames.
        std::string& early = reader->input();
        if (!early.empty()) feedFrames(c, early.data(), early.size());
        return false;
    }
    c->http = std::move(reader);
    if (!c->out.empty()) c->paused = true;
    return !c->paused;
}

// The caller holds the connection: a handler may close it, but it is freed only afterwards.
void Loop::Impl::dispatch(Conn* c, Event ev, const void* data) {
    TNLRELAY_ASSERT(c->refs > 0);
    TNLRELAY_ASSERT((ev == Event::close) == c->closed);
    c->listener->handler(c, ev, data, c->listener->user);
    dropPromoted(); // what the handler was given is gone now
}

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
    postFlush();
}

// Asio has no end-of-turn hook: a handler posted now runs after the batch of ready handlers.
// A run over our own set flushes at its end by itself.
void Loop::Impl::postFlush() {
#ifdef TNLRELAY_EDGE_POLL
    if (inEdgeRun) return;
    if (edge) { // our own loop flushes before it waits again
        flushPosted = true;
        return;
    }
#endif
    if (!flushPosted) {
        flushPosted = true;
        asio::post(io, [this] { flushAll(); });
    }
}

// A turn runs from the first read handler after the last flush to the flush that ends its batch
// of ready events; its flush is posted at once, so that every turn is measured.
void Loop::Impl::beginTurn() {
    if (turnOpen) return;
    turnOpen = true;
    turnStart = now;
    postFlush();
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

// `all`: the flush timer's turn. Every waiting connection leaves then, not only those due: none
// has waited longer than the interval, and one wake-up per interval serves them all.
void Loop::Impl::flushAll(bool all) {
    flushPosted = false;
    flushing.swap(dirty);
    now = Clock::now();
    const bool interval = limits.flushInterval.count() > 0 && !all;
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
        if (!c->closed) flushConn(c);
        letGo(c);
    }
    flushing.clear();
    if (all) flushLead = std::min<Clock::duration>(Clock::now() - now, limits.flushInterval / 2);
    endTurn();
    // Whatever was queued by the flushes themselves has a flush posted for it.
    if (earliest) armFlushTimer(*earliest - flushLead);
}

void Loop::Impl::armFlushTimer(Clock::time_point due) {
    if (flushTimerArmed && flushTimerAt <= due) return;
    flushTimerArmed = true;
    flushTimerAt = due;
#ifdef TNLRELAY_EDGE_POLL
    if (edge) return; // our own loop keeps the time
#endif
    flushTimer.expires_at(due);
    flushTimer.async_wait([this](error_code ec) {
        if (ec) return; // moved earlier (a newer wait is pending), or the loop stops
        flushTimerArmed = false;
        flushAll(true);
    });
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

// After a write call: true when writing stops, either to wait for writability or because the
// peer is gone (the queue is dropped and the connection ends).
bool Loop::Impl::writeStopped(Conn* c, const error_code& ec) {
    if (!ec) return false;
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        armWrite(c);
    } else {
        c->out.clear();
        peerGone(c);
    }
    return true;
}

// Writes the queue; false when the rest waits for writability or the connection closed.
bool Loop::Impl::writePlain(Conn* c) {
    while (!c->out.empty()) {
        error_code ec;
        std::size_t written = 0, offered = 0;
#ifdef TNLRELAY_EDGE_POLL
        if (edge) {
            const std::size_t n = c->out.gather(iovs.data(), iovs.size(), kMaxWriteBytes);
            for (std::size_t i = 0; i < n; ++i)
                offered += iovs[i].iov_len;
            written = edge::write(c->fd, iovs.data(), n, ec);
        } else
#endif
        {
            gatherBufs.resize(kPortableGather);
            const std::size_t n = c->out.gather(gatherBufs.data(), kPortableGather, kMaxWriteBytes);
            gatherBufs.resize(n);
            offered = asio::buffer_size(gatherBufs);
            written = c->sock->write_some(gatherBufs, ec);
        }
        if (writeStopped(c, ec)) return false;
        c->out.consume(written);
        if (written < offered) { // the socket is full: another call would only say so
            armWrite(c);
            return false;
        }
    }
    return true;
}

#ifdef TNLRELAY_TLS
// Encrypts the queue in full records (one per 16 KiB of gathered frames, not one per frame),
// sealed from the queue's chunks where they lie, into the loop's shared buffer and writes
// that, at most one write's worth at a time. Only ciphertext the socket did not take is kept,
// in the session, and it leaves before any more.
bool Loop::Impl::writeTls(Conn* c) {
    TlsSession& tls = *c->tls;
    if (tlsRecord.empty()) {
        tlsRecord.resize(kTlsRecord);
        tlsCipher.reserve(kTlsAhead + 2 * kTlsRecord);
    }
    while (true) {
        if (const std::size_t pending = std::min(tls.pendingCipher(), kTlsAhead)) {
            error_code ec;
            const std::size_t written =
                writeSome(c, tls.cipherOut.data() + tls.cipherAt, pending, ec);
            if (writeStopped(c, ec)) return false;
            tls.consumeCipher(written);
            if (written < pending) { // the socket is full
                armWrite(c);
                return false;
            }
            continue;
        }
        tlsCipher.clear();
        while (!c->out.empty() && tlsCipher.size() < kTlsAhead) {
            TlsSession::Piece pieces[kPortableGather];
            const std::size_t n = c->out.gather(pieces, kPortableGather, kTlsRecord);
            std::size_t len = 0;
            for (std::size_t i = 0; i < n; ++i)
                len += pieces[i].len;
            if (!tls.encrypt(pieces, n, tlsCipher, tlsRecord.data())) {
                c->out.clear();
                closeNow(c);
                return false;
            }
            c->out.consume(len);
        }
        if (c->out.empty() && c->draining) tls.shutdown(tlsCipher);
        if (tlsCipher.empty()) return true;
        error_code ec;
        const std::size_t written = writeSome(c, tlsCipher.data(), tlsCipher.size(), ec);
        const bool full = ec == asio::error::would_block || ec == asio::error::try_again;
        if (full || (!ec && written < tlsCipher.size())) {
            tls.cipherOut.assign(tlsCipher, full ? 0 : written);
            armWrite(c);
            return false;
        }
        if (writeStopped(c, ec)) return false;
    }
}
#endif

void Loop::Impl::armWrite(Conn* c) {
    TNLRELAY_ASSERT(!c->writeArmed && !c->closed);
    c->writeArmed = true;
#ifdef TNLRELAY_EDGE_POLL
    if (edge) return; // the set reports room by itself once a write has found none
#endif
    hold(c);
    c->sock->async_wait(Socket::wait_write, [this, c](error_code ec) {
        TNLRELAY_ASSERT(c->writeArmed);
        c->writeArmed = false;
        onWritable(c, ec);
        letGo(c);
    });
}

void Loop::Impl::onWritable(Conn* c, error_code ec) {
    now = Clock::now();
    if (c->closed) return;
    if (ec) {
        c->out.clear();
        peerGone(c);
    } else {
        flushConn(c);
    }
}

void Loop::Impl::closeNow(Conn* c) {
    if (c->closed) return;
    checkConn(c);
    c->closed = true;
    c->sendable = false;
    conns.erase(c->id);
    c->frames.reset();
    c->http.reset();
    dispatch(c, Event::close, nullptr);
    c->out.clear();
    closeSocket(c);
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
#ifdef TNLRELAY_EDGE_POLL
    if (edge) {
        edge::shutdownSend(c->fd);
    } else
#endif
    {
        error_code ec;
        c->sock->shutdown(Socket::shutdown_send, ec);
    }
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
    for (auto& l : listeners) {
        l->acceptor.close(ec);
        l->retry.cancel();
    }
    sweepTimer.cancel();
    flushTimer.cancel();
#ifdef TNLRELAY_EDGE_POLL
    sweepAt = Clock::time_point::max();
    flushTimerArmed = false;
    for (auto& l : listeners)
        l->retryAt.reset();
#endif
    now = Clock::now();
    for (auto& [id, c] : conns) {
        if (c->sendable) sendClose(c, kCloseGoingAway);
        c->draining = true;
        c->sendable = false;
        markDirty(c);
        armRead(c);
    }
    const auto deadline = Clock::now() + limits.stopDrain;
    const auto settled = [this] {
        for (auto& [id, c] : conns)
            if (!c->peerEnded && !c->hardClose) return false;
        return true;
    };
#ifdef TNLRELAY_EDGE_POLL
    if (edge) {
        while (!settled() && Clock::now() < deadline)
            edgeTurn(deadline);
        return;
    }
#endif
    io.restart();
    while (!settled() && Clock::now() < deadline)
        io.run_one_until(deadline);
}

void Loop::Impl::hold(Conn* c) {
    ++c->refs;
    TNLRELAY_ASSERT(c->refs != 0);
}

void Loop::Impl::letGo(Conn* c) {
    TNLRELAY_ASSERT(c->refs > 0);
    if (--c->refs != 0 || !c->closed) return;
    // Nothing points at it any more: no pending operation, not in the flush list or the table.
    TNLRELAY_ASSERT(!c->readArmed && !c->writeArmed && !c->dirty);
    TNLRELAY_ASSERT(conns.find(c->id) == conns.end() || conns.find(c->id)->second != c);
    delete c;
}

// The states an open connection may be in, checked where it changes state.
void Loop::Impl::checkConn([[maybe_unused]] const Conn* c) const {
    TNLRELAY_ASSERT(c->refs > 0);
    TNLRELAY_ASSERT(!c->closed);
    TNLRELAY_ASSERT(!c->sendable ||
                    (c->kind == Kind::ws && !c->closeSent && !c->sendShut && !c->hardClose));
    TNLRELAY_ASSERT(!c->sendShut || c->draining);
    TNLRELAY_ASSERT((c->kind == Kind::http) == (c->http != nullptr) || c->draining);
    TNLRELAY_ASSERT((c->kind == Kind::ws) == c->frames.has_value());
    TNLRELAY_ASSERT(!c->paused || c->kind == Kind::http);
    TNLRELAY_ASSERT(conns.count(c->id) == 1 && conns.find(c->id)->second == c);
}

// Queues a close frame with a status code; nothing may be sent after it.
void Loop::Impl::sendClose(Conn* c, std::uint16_t code) {
    const char status[2] = {char(code >> 8), char(code & 0xFF)};
    sendFrame(c, kOpClose, status, 2);
    c->closeSent = true;
    c->sendable = false;
}

void Loop::Impl::sendFrame(Conn* c, int opcode, const char* data, std::size_t len) {
    char header[10];
    c->out.append(header, writeFrameHeader(header, opcode, len));
    c->out.append(data, len);
    markDirty(c);
}

// The shared copy of a payload delivered where it lies in the input, and the length of the
// frame that starts at its data (header and payload), or 0 when the header written there is
// another opcode's.
SharedBuf* Loop::Impl::promote(const Payload& p, int opcode, std::size_t& frameLen) {
    if (!promoted || promotedSrc != p.data() || promoted->size != kFrameHeaderRoom + p.size()) {
        dropPromoted();
        promoted = SharedBuf::create(kFrameHeaderRoom + p.size());
        std::memcpy(promoted->data() + kFrameHeaderRoom, p.data(), p.size());
        promoted->size = kFrameHeaderRoom + p.size();
        promotedSrc = p.data();
        char header[kFrameHeaderRoom];
        promotedHeaderLen = writeFrameHeader(header, opcode, p.size());
        std::memcpy(promoted->data() + kFrameHeaderRoom - promotedHeaderLen, header,
                    promotedHeaderLen);
        promotedOpcode = opcode;
    }
    frameLen = opcode == promotedOpcode ? promotedHeaderLen + p.size() : 0;
    return promoted;
}

void Loop::Impl::settleFrameSends() {
    stats.messagesOut += frameSends;
    stats.bytesOut += frameSends * frameSrcLen;
    frameSends = 0;
}

void Loop::Impl::dropPromoted() {
    settleFrameSends();
    frameOpcode = -1;
    if (promoted) {
        SharedBuf::release(promoted);
        promoted = nullptr;
        promotedSrc = nullptr;
        promotedOpcode = -1;
    }
}

void Loop::Impl::armSweep() {
#ifdef TNLRELAY_EDGE_POLL
    if (edge) {
        sweepAt = Clock::now() + limits.sweepInterval;
        return;
    }
#endif
    sweepTimer.expires_after(limits.sweepInterval);
    sweepTimer.async_wait([this](error_code ec) {
        if (ec) return;
        sweep();
        armSweep();
    });
}

void Loop::Impl::sweep() {
    now = Clock::now();
    std::vector<Conn*> expired;
    for (auto& [id, c] : conns) {
        if (c->draining) {
            if (now - c->pingedOrDraining >= limits.drainTimeout ||
                (c->sendShut && now - c->shutAt >= limits.linger))
                expired.push_back(c);
        } else if (c->kind == Kind::http) {
            if (now - c->lastHeard >= limits.httpIdle) expired.push_back(c);
        } else if (!c->pingSent) {
            if (now - c->lastHeard >= limits.wsIdle) {
                c->pingSent = true;
                c->pingedOrDraining = now;
                sendFrame(c, kOpPing, "", 0);
            }
        } else if (now - c->pingedOrDraining >= limits.wsIdle) {
            ++stats.silentPeersClosed;
            expired.push_back(c);
        }
    }
    for (Conn* c : expired) {
        hold(c);
        c->out.clear();
        closeNow(c);
        letGo(c);
    }
}

#ifdef TNLRELAY_EDGE_POLL
// ---- the edge-triggered path (Linux) ----

void Loop::Impl::startEdge() {
    error_code ec;
    const int set = edge::createSet(ec);
    if (set < 0) return; // the portable path serves
    edgeSet = set;
    edge = true;
    iovs.resize(IOV_MAX);
    if (limits.flushInterval.count() > 0) edge::preciseTimers();
}

void Loop::Impl::postEdgeRun() {
    edgeDue = true;
}

// One turn of our own loop: what earlier calls queued leaves, timers that are due run, then one
// wait on the set (none when sockets wait to be read on), at most until `until` or the next
// timer, and one run over what it reports. False when a signal cut the wait short.
bool Loop::Impl::edgeTurn(Clock::time_point until) {
    if (flushPosted) flushAll();
    runEdgeTimers();
    if (flushPosted) flushAll();
    auto wake = std::min(until, sweepAt);
    if (flushTimerArmed) wake = std::min(wake, flushTimerAt);
    for (auto& l : listeners)
        if (l->retryAt) wake = std::min(wake, *l->retryAt);
    std::chrono::nanoseconds wait{0};
    if (!edgeDue) wait = std::max(std::chrono::nanoseconds(0), wake - Clock::now());
    edgeDue = false;
    epoll_event events[edge::kMaxEvents];
    bool interrupted = false;
    const int n = edge::wait(edgeSet, events, edge::kMaxEvents, wait, interrupted);
    edgeRun(events, n);
    return !interrupted;
}

// The timers of our own loop: the sweep, the flush interval's timer, accept retries.
void Loop::Impl::runEdgeTimers() {
    now = Clock::now();
    if (now >= sweepAt) {
        sweep();
        armSweep();
    }
    if (flushTimerArmed && now >= flushTimerAt) {
        flushTimerArmed = false;
        flushAll(true);
    }
    for (auto& l : listeners) {
        if (l->retryAt && now >= *l->retryAt) {
            l->retryAt.reset();
            acceptEdge(l.get());
        }
    }
}

// One run over the set's events: the sockets that were read to their round limit last time,
// then every socket the set reported ready, then one flush for all of them. Tags: a connection
// as it is, a listener with the low bit set, a descriptor watch with the next bit.
void Loop::Impl::edgeRun(const epoll_event* events, int n) {
    inEdgeRun = true;
    now = Clock::now();
    // A handler may close any connection; none is freed before the run is over.
    for (int i = 0; i < n; ++i)
        if (!(events[i].data.u64 & 3u)) hold(reinterpret_cast<Conn*>(events[i].data.u64));
    readingAgain.swap(readAgain);
    for (Conn* c : readingAgain) {
        c->readQueued = false;
        if (!c->closed && c->readArmed && c->readReady) {
            c->readArmed = false;
            readRounds(c);
        }
        letGo(c);
    }
    readingAgain.clear();
    for (int i = 0; i < n; ++i) {
        const std::uint64_t tag = events[i].data.u64;
        if (tag & 1u) {
            acceptEdge(reinterpret_cast<Listener*>(tag & ~std::uint64_t(3)));
            continue;
        }
        if (tag & 2u) {
            fireWatch(reinterpret_cast<void*>(tag & ~std::uint64_t(3)), events[i].events);
            continue;
        }
        Conn* c = reinterpret_cast<Conn*>(tag);
        const std::uint32_t what = events[i].events;
        if (c->closed) continue;
        if (what & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) c->hangup = true;
        if (what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            c->readReady = true;
            if (c->readArmed) {
                c->readArmed = false;
                readRounds(c);
            }
        }
        // A socket that can take more is written in the run's one flush, after every read of
        // the run has queued what it brings, not at once with only what was queued before.
        if (!c->closed && c->writeArmed && (what & (EPOLLOUT | EPOLLHUP | EPOLLERR))) {
            c->writeArmed = false;
            markDirty(c, true);
        }
    }
    for (int i = 0; i < n; ++i)
        if (!(events[i].data.u64 & 3u)) letGo(reinterpret_cast<Conn*>(events[i].data.u64));
    retiredWatches.clear();
    inEdgeRun = false;
    if (!dirty.empty() || turnOpen) flushAll();
    if (!readAgain.empty()) postEdgeRun();
}

void Loop::Impl::acceptEdge(Listener* l) {
    if (!l->acceptor.is_open()) return;
    for (;;) {
        sockaddr_storage peer{};
        error_code ec;
        const int fd = edge::accept(l->acceptor.native_handle(), peer, ec);
        if (fd < 0) {
            if (ec == asio::error::would_block || ec == asio::error::try_again) return;
            if (ec == asio::error::connection_aborted || ec.value() == EPROTO) continue;
            // Out of descriptors or memory: pause briefly instead of spinning.
            l->retryAt = Clock::now() + kAcceptRetry;
            return;
        }
        auto* c = new Conn(this, nullptr);
        c->fd = fd;
        if (!edge::noDelay(fd) ||
            !edge::add(edgeSet, fd, reinterpret_cast<std::uintptr_t>(c), ec)) {
            edge::close(fd);
            delete c;
            continue;
        }
        if (peer.ss_family == AF_INET6) {
            adopt(l, c,
                  IpAddress::fromV6Bytes(
                      reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr.s6_addr));
        } else {
            adopt(l, c,
                  IpAddress::v4(ntohl(reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr)));
        }
    }
}

void Loop::Impl::queueRead(Conn* c) {
    if (c->readQueued) return;
    c->readQueued = true;
    hold(c);
    readAgain.push_back(c);
    if (!inEdgeRun) postEdgeRun();
}
#endif

// ---- operations on one connection ----

ConnId connId(const Conn* c) {
    return c->id;
}

std::string_view peerAddress(const Conn* c) {
    return {c->peer, c->peerLen};
}

void reply(Conn* c, int status, std::string_view extraHeaders, std::string_view body) {
    if (c->closed || c->sendShut) return;
    Loop::Impl& m = *c->loop;
    const auto reason = http::obsolete_reason(http::int_to_status(static_cast<unsigned>(status)));
    std::string head;
    head.reserve(64 + extraHeaders.size());
    head += "HTTP/1.1 ";
    head += std::to_string(status);
    head += ' ';
    head.append(reason.data(), reason.size());
    head += "\r\n";
    head.append(extraHeaders.data(), extraHeaders.size());
    head += "Content-Length: ";
    head += std::to_string(body.size());
    head += "\r\n\r\n";
    c->out.append(head.data(), head.size());
    c->out.append(body.data(), body.size());
    c->lastHeard = m.now = Clock::now(); // the next request has its own time from now
    m.markDirty(c);
    if (!c->keepAlive) setDraining(c);
}

void deferReply(Conn* c) {
    // Like a reply being written: the next request waits, and so does reading.
    if (!c->closed && c->kind == Kind::http && !c->draining) c->paused = true;
}

void wsUpgrade(Conn* c, const HttpMessage& request) {
    if (c->closed || c->kind != Kind::http) return;
    Loop::Impl& m = *c->loop;
    // Answered after the handler that got the request (see deferReply): the reader holds the
    // bytes that followed the request, the first frames.
    std::unique_ptr<HttpRequestReader> deferred = std::move(c->http);
    if (deferred) c->paused = false;
    const std::string_view* key = request.header("Sec-WebSocket-Key");
    if (!key || trimBlanks(*key).empty()) {
        if (deferred) c->http = std::move(deferred);
        ++m.stats.refusedNoKey;
        c->keepAlive = false;
        reply(c, 426, "", "expected websocket\n");
        setDraining(c);
        return;
    }
    std::string answer =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: ";
    answer += wsAcceptKey(trimBlanks(*key));
    answer += "\r\n";
    if (const std::string_view* offered = request.header("Sec-WebSocket-Protocol")) {
        const std::string_view first = trimBlanks(offered->substr(0, offered->find(',')));
        if (!first.empty()) {
            answer += "Sec-WebSocket-Protocol: ";
            answer.append(first.data(), first.size());
            answer += "\r\n";
        }
    }
    answer += "\r\n";
    c->out.append(answer.data(), answer.size());
    c->kind = Kind::ws;
    c->sendable = true;
    c->frames.emplace(&m.budget);
    c->lastHeard = m.now;
    m.markDirty(c);
    if (deferred) {
        std::string& early = deferred->input();
        if (!early.empty()) m.feedFrames(c, early.data(), early.size());
        m.armRead(c);
    }
}

namespace {

/// The rarer sends: a frame not built yet, a large payload, a queue that passed its limit.
[[gnu::noinline]] void wsSendSlow(Conn* c, const Payload& payload, int opcode) {
    Loop::Impl& m = *c->loop;
    const std::size_t size = payload.size();
    ++m.stats.messagesOut;
    m.stats.bytesOut += size;
    if (size <= OutQueue::kCopyMax) {
        // One message usually goes to many receivers: its frame is built once.
        m.settleFrameSends();
        const std::size_t headerLen = writeFrameHeader(m.frame, opcode, size);
        if (size) std::memcpy(m.frame + headerLen, payload.data(), size);
        m.frameLen = headerLen + size;
        m.frameSrc = payload.data();
        m.frameSrcLen = size;
        m.frameOpcode = opcode;
        c->out.appendFrame(m.frame, m.frameLen);
    } else {
        SharedBuf* owner = static_cast<SharedBuf*>(payload.owner());
        const char* data = payload.data();
        if (!owner) {
            std::size_t frameLen = 0;
            owner = m.promote(payload, opcode, frameLen);
            data = owner->data() + kFrameHeaderRoom;
            if (frameLen) { // header and payload in one piece
                c->out.appendShared(owner, data + size - frameLen, frameLen);
                data = nullptr;
            }
        }
        if (data) {
            char header[kFrameHeaderRoom];
            c->out.appendSmall(header, writeFrameHeader(header, opcode, size));
            c->out.appendShared(owner, data, size);
        }
    }
    // A receiver that does not read is cut off before its queue can exhaust memory.
    if (c->out.bytes() > m.limits.maxQueuedBytes &&
        c->out.bytesBehindFirst() > m.limits.maxQueuedBytes)
        c->hardClose = true, c->sendable = false, ++m.stats.slowReadersCut;
    if (!c->dirty || c->hardClose) m.markDirty(c, c->hardClose);
}

} // namespace

void wsSend(Conn* c, const Payload& payload, int opcode) {
    if (!c->sendable) return;
    Loop::Impl& m = *c->loop;
    if (m.frameSrc == payload.data() && m.frameSrcLen == payload.size() &&
        m.frameOpcode == opcode && c->out.bytes() < m.limits.maxQueuedBytes) {
        ++m.frameSends;
        c->out.appendFrame(m.frame, m.frameLen);
        if (!c->dirty) m.markDirty(c, false);
        return;
    }
    wsSendSlow(c, payload, opcode);
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
    c->loop->markDirty(c);
}

// For the descriptor watches (Watch.cpp): the loop's context, and the end of a watch handler,
// after which what it sent from is gone, as after any event.
asio::io_context& loopContext(Loop::Impl& m) {
    return m.io;
}
#ifdef TNLRELAY_EDGE_POLL
int loopEdgeSet(Loop::Impl& m) {
    return m.edge ? m.edgeSet : -1;
}
void retireWatch(Loop::Impl& m, std::shared_ptr<void> state) {
    m.retiredWatches.push_back(std::move(state));
}
#endif
void afterWatchHandler(Loop::Impl& m) {
    m.dropPromoted();
}

} // namespace tnlrelay::net
