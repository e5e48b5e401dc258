// The network adapter: an event loop with HTTP listeners, HTTP requests and replies, the
// WebSocket upgrade and WebSocket frames. It is built on Asio and Beast, but this header shows
// only plain types, so that the rest of the program neither sees nor compiles them.
#pragma once

#include "Address.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tnlrelay::net {

/// One connection, a listener or an accepted socket. Opaque: the core holds pointers to it as
/// non-owning handles, valid until the connection's close event has been delivered.
struct Conn;

/// Connection ids: from 1, increasing, one counter for listeners and accepted connections.
using ConnId = std::uint32_t;

/// What a handler is called for.
enum class Event {
    /// The connection is closing, or a WebSocket's close frame has come (its socket then
    /// drains and lingers on unseen); exactly once, and the handle is invalid once the handler
    /// returns.
    close,
    httpMsg, ///< one complete HTTP request; event data is a `const HttpMessage*`
    wsMsg,   ///< one complete WebSocket data message; event data is a `const WsMessage*`
};

/// Why a connection's close event comes, for its owner's record; read during that event.
enum class CloseCause : std::uint8_t {
    other,        ///< the peer's end, an error, a timeout, a drain or the loop's end
    peerClosed,   ///< its close frame came: its socket still drains and lingers, without owner
    unsentOutput, ///< cut off: its unsent output passed `Limits::maxQueuedBytes`
};

/// Event callback of a listener and of every connection it accepts: the connection, the event,
/// the event data and the user data given to `Loop::listen`.
using Handler = void (*)(Conn* c, Event ev, const void* eventData, void* userData);

/// One parsed HTTP request. Every view is valid only during the handler call.
struct HttpMessage {
    std::string_view method;
    std::string_view uri;   ///< the path, without the query string
    std::string_view query; ///< the text after the first "?", empty when there is none
    std::string_view body;
    std::vector<std::pair<std::string_view, std::string_view>> headers;

    /// The first header of that name (compared without regard to case), or null.
    const std::string_view* header(std::string_view name) const;
};

/// WebSocket opcodes of data messages.
constexpr int kOpText = 1;
constexpr int kOpBinary = 2;

/// A message payload that can be queued on many connections without being copied: large
/// payloads are reference-counted and shared by every receiver, small ones are copied into the
/// receivers' output buffers. Cheap to copy; valid to send only during the handler call that
/// delivered it (after that, hold nothing).
class Payload {
public:
    Payload() = default;
    Payload(const char* data, std::size_t size, void* owner)
        : data_(data), size_(size), owner_(owner) {}
    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    void* owner() const { return owner_; } ///< adapter-internal shared buffer, or null

private:
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    void* owner_ = nullptr;
};

/// One complete WebSocket data message (fragments already joined).
struct WsMessage {
    Payload payload;
    int opcode = kOpBinary; ///< kOpText or kOpBinary
};

/// Limits and timeouts of the adapter. The defaults are the relay's; tests shrink them.
struct Limits {
    std::size_t maxHeaderBytes = 16 * 1024;     ///< larger request headers get 431
    std::size_t maxBodyBytes = 1024 * 1024;     ///< larger request bodies get 413
    std::uint64_t maxMessageBytes = 268435456;  ///< a larger WebSocket message closes with 1009
    std::uint64_t maxInboundBytes = 1ull << 30; ///< all incomplete messages together; past it 1009
    std::uint64_t maxQueuedBytes = 268435456;   ///< unsent output beyond the frame being written
    std::chrono::milliseconds httpIdle{30000};  ///< no complete request within this: closed
    std::chrono::milliseconds wsIdle{60000};    ///< silent WebSocket: pinged, then closed
    std::chrono::milliseconds drainTimeout{5000}; ///< a draining connection is closed hard after it
    std::chrono::milliseconds linger{2000}; ///< sent all, waiting for the peer's end at most this
    std::chrono::milliseconds stopDrain{2000}; ///< destroying the loop flushes for at most this
    std::chrono::milliseconds sweepInterval{1000};
    /// Data frames queued for a connection leave together at most this long after the first
    /// of them (one write per interval, not one per turn); 0: every turn flushes. Replies,
    /// control frames and closes never wait.
    std::chrono::microseconds flushInterval{0};
    ConnId lastId = 0; ///< ids are given from lastId + 1 on (tests start near the wrap)
};

/// Upper bounds, in microseconds, of the buckets of the loop's turn times; one more bucket
/// takes the longer turns.
inline constexpr std::uint32_t kTurnBucketMicros[] = {
    50, 100, 250, 500, 1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 1000000};
inline constexpr std::size_t kTurnBucketCount = std::size(kTurnBucketMicros) + 1;

/// What the loop has counted since it was made. Plain integers, written and read on the loop's
/// thread only. A turn is one batch of ready events handled, up to the flush that ends it.
struct LoopStats {
    std::uint64_t messagesIn = 0;        ///< complete WebSocket data messages received
    std::uint64_t bytesIn = 0;           ///< their payload bytes
    std::uint64_t messagesOut = 0;       ///< data messages queued for a receiver
    std::uint64_t bytesOut = 0;          ///< their payload bytes
    std::uint64_t slowReadersCut = 0;    ///< receivers dropped for too much unsent output
    std::uint64_t silentPeersClosed = 0; ///< WebSockets closed for silence after a ping
    std::uint64_t sweepVisits = 0;       ///< connections the idle sweep looked at (only those due)
    std::uint64_t protocolErrorCloses = 0; ///< closes sent with 1002
    std::uint64_t tooBigCloses = 0;        ///< closes sent with 1009
    std::uint64_t refusedNoKey = 0;        ///< upgrade requests without a key (426)
    std::uint64_t refusedLimits = 0;       ///< requests over the header or body limit (431, 413)
    std::uint64_t acceptOutOfDescriptors =
        0; ///< accepts paused: no descriptor left (EMFILE, ENFILE)
    std::uint64_t turns[kTurnBucketCount] = {}; ///< turns by duration, per bucket
    std::uint64_t turnNanos = 0;                ///< all turns together
    std::uint64_t longestTurnNanos = 0;         ///< since the owner last set it to 0
};

/// The loop's state now.
struct LoopGauges {
    std::uint64_t httpConnections = 0; ///< accepted connections not (yet) upgraded
    std::uint64_t webSockets = 0;
    std::uint64_t queuedBytes = 0; ///< output queued and not yet written, over all connections
};

/// What a listener offers beyond plain HTTP.
struct ListenOptions {
    bool tls = false;         ///< a connection that starts with a TLS handshake gets TLS
    bool tlsOnly = false;     ///< with a certificate loaded, any other connection is refused
    bool proxyHeader = false; ///< trusted proxies may start a connection with a PROXY header
};

/// What the loaded certificate says.
struct TlsCertInfo {
    std::string subject;       ///< one line, e.g. "CN = example.org"
    std::int64_t notAfter = 0; ///< expiry, seconds since 1970 (UTC)
    std::string serial;        ///< upper-case hex
};

enum class TlsCheck { unchanged, loaded, failed };

/// Whether TLS 1.3 sessions may take their records over from the library after the handshake
/// (on by default). Process-wide; read when a session starts.
void setTlsOwnRecords(bool on);
/// True when they do: switched on, and the library is a version the relay was tested with.
bool tlsOwnRecordsInUse();
/// True when the records sessions seal themselves use AES-GCM on the processor's vector
/// instructions rather than the library's (TNLRELAY_AES_GCM=library at start says no).
bool tlsVectorAesGcm();
/// The TLS library's version as it says at run time; empty in a build without TLS.
std::string tlsLibraryVersion();

/// Why a TLS 1.3 connection stayed on the library's own record path: something the hand-over
/// relies on did not hold.
enum class TlsDecline : std::uint8_t {
    keyLog,          ///< the key log did not report the traffic secrets
    cipher,          ///< a suite the relay does not seal itself
    recordSize,      ///< the client limited the record size
    keyUpdate,       ///< the library did not write the hand-over's key update
    keyUpdateRecord, ///< it wrote something other than one record for it
    keyGeneration,   ///< its key generation did not move by exactly one
    readRecords,     ///< the records it read do not match those it was given
};
constexpr std::size_t kTlsDeclineReasons = 7;
/// The reason as a metric label, e.g. "key_update_record".
const char* tlsDeclineName(TlsDecline why);
/// Connections declined for that reason since the process started.
std::uint64_t tlsDeclined(TlsDecline why);

struct FdWatch; ///< a descriptor watch, below
using WatchHandler = void (*)(bool readable, bool writable, void* userData);

/// The event loop. Single-threaded: every handler runs inside `poll` on the calling thread.
class Loop {
public:
    explicit Loop(Limits limits = {});
    /// Closes every connection and listener, delivering each close event synchronously, in
    /// ascending id order. Before that, WebSockets are sent a close frame with 1001 (going away)
    /// and what is queued is flushed, for at most `Limits::stopDrain`.
    ~Loop();
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    /// Opens an HTTP listener on a host (IPv4 or IPv6 text; "::" takes IPv4 as well) and port.
    /// False on any failure, ports outside 1..65535 included.
    bool listen(const std::string& host, int port, Handler handler, void* userData,
                ListenOptions options = {});

    /// Loads the certificate chain and private key (PEM) that TLS listeners serve. False, with
    /// the reason, when they do not load (or this build has no TLS): no TLS then.
    bool setTlsFiles(const std::filesystem::path& cert, const std::filesystem::path& key,
                     std::string& error);
    /// Takes a replaced pair for new handshakes once the files stopped changing; a pair that
    /// does not load keeps the old one and is reported once.
    TlsCheck checkTlsFiles(std::string& error);
    /// The certificate served, or null without TLS.
    const TlsCertInfo* tlsCertificate() const;
    /// Peers whose PROXY header is believed. Anyone else sending one is refused.
    void setTrustedProxies(AddressList list);

    /// Runs ready handlers for at most `timeout`.
    void poll(std::chrono::milliseconds timeout);
    /// Makes the `poll` under way, or else the next one, return soon. The one call that any
    /// thread may make: work done elsewhere hands its results to the loop's owner, who takes
    /// them after `poll` on the loop's thread.
    void wake();

    /// The counts so far; the owner may reset `longestTurnNanos`.
    LoopStats& stats();
    /// Walks every connection: for a scrape, not for every event.
    LoopGauges gauges() const;

    struct Impl; ///< the adapter's own (LoopInternals.hpp)

private:
    friend FdWatch* watchFd(Loop& loop, int fd, WatchHandler handler, void* userData);
    std::unique_ptr<Impl> impl_;
};

ConnId connId(const Conn* c);

/// Why the close event being delivered comes.
CloseCause closeCause(const Conn* c);

/// The client's address without port: dotted IPv4 (also for IPv4 on a dual-stack socket) or
/// compressed IPv6; for a trusted proxy that sent a PROXY header, the client it names.
std::string_view peerAddress(const Conn* c);

/// Whether the connection speaks TLS (its first bytes were a TLS handshake).
bool isTls(const Conn* c);

/// Sends an HTTP reply: the status line, `extraHeaders` as given, Content-Length and the body.
void reply(Conn* c, int status, std::string_view extraHeaders, std::string_view body);

/// Leaves an HTTP request unanswered when its handler returns, to be answered (`reply`,
/// `wsUpgrade`) from a later event: until then the connection reads nothing more.
void deferReply(Conn* c);

/// Answers a WebSocket upgrade request. Without a Sec-WebSocket-Key it answers 426 and the
/// connection closes; otherwise it answers 101 and the connection carries frames from now on.
void wsUpgrade(Conn* c, const HttpMessage& request);

/// Queues one complete, unmasked data frame. Frames queued during one turn of the loop leave
/// together in as few system calls as possible.
void wsSend(Conn* c, const Payload& payload, int opcode);

/// Sends what is queued, then closes the connection (no close frame). Until it closes, it goes on
/// being read: a WebSocket's data messages still arrive as events, and it stays sendable until
/// its queue has been flushed once; what an HTTP connection sends is discarded. After the last
/// byte it shuts its sending side and closes at the peer's end or after `Limits::linger`, so
/// that unread input never makes the kernel reset away what was sent. Closed hard after
/// `Limits::drainTimeout` in any case.
void setDraining(Conn* c);

/// Closes a WebSocket with a status code: queues a close frame with `code` behind what is
/// queued, then drains like `setDraining`, except that nothing more is sent or delivered after
/// the close frame. On a connection that is not an open WebSocket it is `setDraining`.
void wsClose(Conn* c, std::uint16_t code);

/// A descriptor of some other protocol's client (POSIX only) that the loop watches, so that its
/// reads and writes run on the loop's thread like every other event. The descriptor stays the
/// caller's: never closed here. The handler gets the descriptor's readiness; what it sends to
/// connections leaves with the turn's flush, like a reply to any event.
/// Starts watching `fd` for reading (always) and writing (when asked); null on failure.
FdWatch* watchFd(Loop& loop, int fd, WatchHandler handler, void* userData);
/// Whether the handler is also called when the descriptor can be written.
void watchWrite(FdWatch* w, bool on);
/// Stops watching and frees the watch: the handler is not called again. Before the loop ends.
void unwatchFd(FdWatch* w);

} // namespace tnlrelay::net
