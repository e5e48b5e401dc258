// The event loop's insides, shared by the adapter's own sources only: the connection and listener
// types, the poller seam (a table of operations each backend fills in a file of its own), and
// the loop's state. Nothing outside src/net includes this.
#pragma once

#include "HttpParse.hpp"
#include "Net.hpp"
#include "NetAssert.hpp"
#include "WsFrames.hpp"
#ifdef TNLRELAY_TLS
#include "Tls.hpp"
#endif

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#ifndef _WIN32
#include <boost/asio/posix/stream_descriptor.hpp>
#endif

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace tnlrelay::net {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

constexpr std::size_t kScratchBytes = 64 * 1024;
constexpr std::size_t kFrameHeaderRoom = 10;    // the longest header of an outgoing frame
constexpr std::size_t kMaxReadBytes = 4 << 20;  // per read call into a large message
constexpr std::size_t kMaxWriteBytes = 8 << 20; // per write call; the socket takes what fits
constexpr std::size_t kTlsAhead = 256 * 1024;   // ciphertext made ready ahead of the socket
constexpr std::size_t kPortableGather = 64;     // Asio's write_some sends at most 64 pieces
constexpr int kReadRounds = 8;                  // reads per wake-up, for fairness
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

// A concrete executor: smaller sockets and smaller pending operations than the type-erased one.
using Executor = asio::io_context::executor_type;
using Socket = asio::basic_stream_socket<tcp, Executor>;
using Acceptor = asio::basic_socket_acceptor<tcp, Executor>;
using Timer = asio::basic_waitable_timer<Clock, asio::wait_traits<Clock>, Executor>;

/// An accept that failed because the process (or the system) has no descriptor left.
inline bool outOfDescriptors(const boost::system::error_code& ec) {
    return ec == asio::error::no_descriptors
#ifdef ENFILE
           || ec == boost::system::error_code(ENFILE, boost::system::system_category())
#endif
        ;
}

enum class Kind : std::uint8_t { http, ws };

struct Listener {
    Listener(asio::io_context& io) : acceptor(io.get_executor()), retry(io.get_executor()) {}
    Acceptor acceptor;
    Timer retry;                              ///< the Asio poller's accept retry
    std::optional<Clock::time_point> retryAt; ///< the epoll poller's accept retry
    Handler handler = nullptr;
    void* user = nullptr;
    ConnId id = 0;
    ListenOptions options;
};

struct Conn {
    /// `s` null with the epoll poller, where `fd` is the socket.
    Conn(Loop::Impl* l, std::unique_ptr<Socket> s) : loop(l), sock(std::move(s)) {}
    Loop::Impl* loop;
    std::unique_ptr<Socket> sock; ///< the Asio poller's socket (apart: idle connections are many)
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
    bool proxied : 1 = false;   ///< its one PROXY header has come: no second one is believed
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
    bool peerLeft : 1 = false;  ///< its close frame came: the owner hears the close at the flush
    bool released : 1 = false;  ///< the close event has been delivered; the socket drains on
    bool cutSlow : 1 = false;   ///< cut off for unsent output past the limit
#if defined(__linux__)
    // The epoll poller's own: it alone reads and writes these.
    bool readReady : 1 = false;  ///< an edge came and no read has run dry since: input may wait
    bool readQueued : 1 = false; ///< in the poller's list of sockets to read again
    bool hangup : 1 = false;     ///< the peer's end or an error was signalled: read until it shows
    int fd = -1;                 ///< the socket with the epoll poller (`sock` is null)
#endif

    Clock::time_point lastHeard; ///< HTTP: connect or last reply; WebSocket: last byte in
    /// When the pending ping was sent (pingSent), or, once draining, when it was set draining:
    /// a draining connection is never pinged, and its ping no longer matters.
    Clock::time_point pingedOrDraining;
    Clock::time_point shutAt;   ///< when its sending side was shut
    Clock::time_point flushDue; ///< with a flush interval: when its queued data frames leave
    /// The sweep's turn at which it next looks at this connection (Impl::checkLater), or
    /// kNoCheck.
    std::uint32_t checkTick = kNoCheck;
    static constexpr std::uint32_t kNoCheck = UINT32_MAX;

    std::unique_ptr<HttpRequestReader> http; ///< until the upgrade
    std::optional<FrameParser> frames;       ///< after the upgrade
    OutQueue out;                            ///< plain bytes; with TLS encrypted when flushed
#ifdef TNLRELAY_TLS
    std::unique_ptr<TlsSession> tls;
#endif
};

#ifndef _WIN32
/// A descriptor watch. Its state lives as long as a wait or an event that points at it, so that
/// a handler completing after `unwatchFd` finds it still there, stopped.
struct FdWatchState {
    FdWatchState(Loop::Impl& m, int f) : loop(m), fd(f) {}
    Loop::Impl& loop;
    int fd;
    std::optional<asio::posix::stream_descriptor> sd; ///< the Asio poller's wait
    WatchHandler handler = nullptr;
    void* user = nullptr;
    bool stopped = false;
    bool readWaiting = false, writeWaiting = false; ///< the Asio poller's waits in flight
    bool wantWrite = false;
};
using WatchPtr = std::shared_ptr<FdWatchState>;

/// Calls a watch's handler, unless it was stopped (FdWatch.cpp).
void fireWatch(FdWatchState& s, bool readable, bool writable);
#endif

/// The seam between the loop and what waits for its sockets: one table of operations, filled by
/// each backend in a file of its own (PollEpoll.cpp on Linux, PollAsio.cpp everywhere). The
/// rest of the loop calls through it and never names a backend.
struct Poller {
    /// Makes the backend's state; false when it cannot run here.
    bool (*init)(Loop::Impl& m);
    /// The loop ends: lets go of every connection the backend still holds, frees its state.
    void (*done)(Loop::Impl& m);
    /// Runs ready handlers for at most `timeout`.
    void (*poll)(Loop::Impl& m, std::chrono::milliseconds timeout);
    /// Runs turns until every connection has settled (`Impl::stopSettled`) or the deadline.
    void (*drain)(Loop::Impl& m, Clock::time_point deadline);
    /// Stops the sweep, the flush timer and accept retries.
    void (*stopTimers)(Loop::Impl& m);
    void (*armSweep)(Loop::Impl& m);
    /// The flush timer's due time has been set in `flushTimerAt`.
    void (*armFlushTimer)(Loop::Impl& m, Clock::time_point due);
    /// Has `flushDirty` run at the end of the current batch of ready events.
    void (*postFlush)(Loop::Impl& m);
    /// From any thread: the `poll` under way returns soon, or else the next one does.
    void (*wake)(Loop::Impl& m);

    /// A new listener: false when it cannot be watched.
    bool (*addListener)(Loop::Impl& m, Listener& l);
    /// Takes pending connections and goes on accepting.
    void (*accept)(Loop::Impl& m, Listener* l);
    /// `readArmed` has just been set: `readAvailable` runs once input is there.
    void (*waitReadable)(Loop::Impl& m, Conn* c);
    /// `writeArmed` has just been set: the connection is flushed once the socket takes more.
    void (*waitWritable)(Loop::Impl& m, Conn* c);
    /// A read came back short or failed: input is not known to wait any more.
    void (*ranDry)(Conn* c);
    /// After a short read: whether to read on all the same (the peer's end may be due).
    bool (*readOnAfterShortRead)(const Conn* c);

    /// One non-blocking read; `eof` when the peer has ended.
    std::size_t (*read)(Conn* c, char* data, std::size_t len, error_code& ec);
    /// One non-blocking write of one piece.
    std::size_t (*write)(Conn* c, const char* data, std::size_t len, error_code& ec);
    /// One gathered write from the connection's queue; `offered` is what it tried to send.
    std::size_t (*writeQueue)(Loop::Impl& m, Conn* c, std::size_t& offered, error_code& ec);
    void (*shutdownSend)(Conn* c);
    /// Closes the socket; no wait of the backend stays armed on it.
    void (*closeSocket)(Conn* c);

#ifndef _WIN32
    /// Starts waiting on a watch's descriptor; false when it cannot be watched.
    bool (*watchStart)(const WatchPtr& w);
    /// `on`: the handler also hears when the descriptor can be written.
    void (*watchWrite)(const WatchPtr& w, bool on);
    /// Stops waiting; the state is kept until no event may point at it.
    void (*watchStop)(WatchPtr w);
#endif
};

extern const Poller kAsioPoller;
/// The epoll poller where this system has one, else null.
extern const Poller* const kEpollPoller;

struct AsioPoll;  ///< the Asio poller's state (PollAsio.cpp)
struct EpollPoll; ///< the epoll poller's state (PollEpoll.cpp)

struct Loop::Impl {
    explicit Impl(Limits l);

    Limits limits;
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work;
    const Poller* poller = nullptr;
    AsioPoll* asioPoll = nullptr;
    EpollPoll* epollPoll = nullptr;
    bool flushTimerArmed = false;
    Clock::time_point flushTimerAt;
    /// How long the flush timer's last turn took: the timer fires that much early (at most half
    /// the interval), so that the last of its writes still leaves within the interval.
    Clock::duration flushLead{};
    std::vector<std::unique_ptr<Listener>> listeners;
    std::unordered_map<ConnId, Conn*> conns;
    /// Kept as connections change, so that the gauges never walk the table: WebSockets among
    /// `conns`, and the output queued for all of them.
    std::size_t webSockets = 0;
    std::uint64_t queuedBytes = 0;
    /// Connections by the sweep's turn at which something about them may fall due (an idle
    /// limit, a ping's answer, a drain's end): each turn visits only the connections of its own
    /// bucket, so that the cost of a quiet crowd does not grow with its size. A deadline that
    /// moves later (new input) leaves its entry where it is; the entry finds it not yet due and
    /// files it again. Entries for closed connections, or superseded by an earlier one, are
    /// skipped.
    std::map<std::uint32_t, std::vector<ConnId>> checks;
    Clock::time_point sweepEpoch = Clock::now(); ///< turn 0 of the sweep
    std::uint32_t nextTurn = 0;                  ///< the first turn not swept yet
    ConnId lastId = 0;
    std::size_t liveConns = 0; ///< connections made and not yet freed
    std::vector<Conn*> dirty, flushing;
    bool flushPosted = false;
    bool stopping = false; ///< the loop is being destroyed: no events but the closes
    std::vector<char> scratch;
    InboundBudget budget;
    LoopStats stats;
    bool turnOpen = false; ///< a turn has begun and its flush has not run yet
    Clock::time_point turnStart;
    Clock::time_point now = Clock::now();
    // A payload delivered where it lies in the input, copied once for every receiver to share.
    // The copy starts with room for the frame header, which is written there once, so that each
    // receiver's queue takes the whole frame as one piece.
    const char* inputCopySrc = nullptr;
    SharedBuf* inputCopy = nullptr;
    int inputCopyOpcode = -1; ///< the header written in front of the copy is for this opcode
    std::size_t inputCopyHeaderLen = 0;
    // The last small frame built, header and payload, copied as a whole into each receiver.
    const char* smallFrameSrc = nullptr;
    std::size_t smallFrameSrcLen = 0;
    int smallFrameOpcode = -1;
    /// Sends of that frame not counted in `stats` yet: the common send adds one to this alone,
    /// and the count is settled when the frame is dropped or the counts are read.
    std::uint64_t smallFrameSends = 0;
    std::size_t smallFrameLen = 0;
    char smallFrame[OutQueue::kCopyMax + 10 + OutQueue::kSlack];
    AddressList trustedProxies;
#ifdef TNLRELAY_TLS
    TlsContext tlsContext;
    std::vector<char> tlsPlain, tlsRecord; ///< decrypted input; a record joined for the library
    std::string tlsCipher;                 ///< records made in one flush, before they are written
#endif

    // Loop.cpp: ids and the hand-kept counts.
    ConnId nextId();
    void hold(Conn* c);
    void letGo(Conn* c);
    void checkConn(const Conn* c) const;
    void dispatch(Conn* c, Event ev, const void* data);
    // LoopAccept.cpp
    void addConnection(Listener* l, Conn* c, const IpAddress& peer);
    // LoopRead.cpp
    void armRead(Conn* c);
    void readAvailable(Conn* c);
    void routeInput(Conn* c, char* data, std::size_t n);
    void handlePlaintext(Conn* c, char* data, std::size_t n);
    void feedFrames(Conn* c, char* data, std::size_t n);
    // ConnOpening.cpp
    void readOpening(Conn* c);
#ifdef TNLRELAY_TLS
    void decrypt(Conn* c, char* data, std::size_t n);
#endif
    // ConnHttp.cpp
    void processHttp(Conn* c);
    bool canReadRequest(const Conn* c) const;
    void refuseRequest(Conn* c, HttpParse outcome);
    bool deliverRequest(Conn* c);
    // LoopFlush.cpp
    void markDirty(Conn* c, bool urgent = true);
    void armFlushTimer(Clock::time_point due);
    void beginTurn();
    void endTurn();
    void flushDirty(bool timerTurn = false);
    void flushConn(Conn* c);
    void armWrite(Conn* c);
    // LoopWrite.cpp
    bool writePlain(Conn* c);
    bool writeStopped(Conn* c, const error_code& ec);
#ifdef TNLRELAY_TLS
    bool writeTls(Conn* c);
#endif
    // LoopClose.cpp
    void closeNow(Conn* c);
    void release(Conn* c);
    void peerGone(Conn* c);
    void shutSending(Conn* c);
    void stopConnections();
    bool stopSettled() const;
    void sweep();
    /// Files `c` to be looked at by the first sweep at or after `at`, unless it already is by
    /// then.
    void checkLater(Conn* c, Clock::time_point at);
    /// When the sweep must next look at `c`: its idle, ping or drain deadline.
    Clock::time_point nextCheck(const Conn* c) const;
    // WsSend.cpp
    void sendClose(Conn* c, std::uint16_t code);
    void sendFrame(Conn* c, int opcode, const char* data, std::size_t len);
    SharedBuf* shareInputPayload(const Payload& p, int opcode, std::size_t& frameLen);
    void dropFrameCache();
    void settleFrameSends();
};

/// Receives what the frame parser finds on one connection (LoopRead.cpp).
struct FrameSink {
    Loop::Impl* loop;
    Conn* c;

    // A draining connection's messages still arrive (a kicked player's are relayed until it
    // closes); after a close frame, or while the loop stops, nothing does.
    bool delivers() const {
        return !c->closed && !c->released && !c->peerLeft && !c->closeSent && !loop->stopping;
    }

    void onMessage(const char* data, std::size_t len, SharedBuf* owner, int opcode);
    void onControl(int opcode, const char* data, std::size_t len);
    void onProtocolError(std::uint16_t code);
};

} // namespace tnlrelay::net
