// One connection to one Redis server on the relay's loop: a non-blocking socket watched by the
// loop, commands pipelined (everything asked for during one turn leaves in one write), replies
// parsed by hiredis's reader and handed out in order, optionally inside TLS. It reconnects by
// itself with a growing delay. A host name is looked up on a thread of its own, so that a slow
// name server never holds the loop. RedisLink puts one or more of these behind one interface.
#pragma once

#include "ClusterWire.hpp"
#include "RedisTopology.hpp"
#include "net/Net.hpp"
#include "net/TlsClient.hpp"

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct redisReader;
struct redisReply;

namespace tnlrelay::cluster {

/// The text of a string or status reply; empty for any other kind.
std::string_view replyText(const redisReply& r);
/// No answer (the link dropped) or an error answer.
bool isError(const redisReply* r);
/// What an error answer says, or "no answer".
std::string errorText(const redisReply* r);

class RedisConnection {
public:
    using Clock = std::chrono::steady_clock;
    /// A command's answer; null when the link dropped before it came.
    using ReplyHandler = std::function<void(const redisReply*)>;
    /// Replies no command asked for (the messages of a subscribing connection).
    using PushHandler = std::function<void(const redisReply&)>;
    /// The link came up (true) or went down (false, with the reason).
    using StateHandler = std::function<void(bool up, const std::string& reason)>;
    /// Sees every error answer's text before whoever asked (or the push handler) gets it.
    using ErrorHandler = std::function<void(std::string_view text)>;

    /// `target` may be left empty until `retarget` names one; with `tls`, the connection speaks
    /// TLS trusting that context (which must outlive the connection).
    RedisConnection(net::Loop& loop, RedisEndpoint target, const RedisAddress& login,
                    const net::TlsClientContext* tls);
    ~RedisConnection();
    RedisConnection(const RedisConnection&) = delete;
    RedisConnection& operator=(const RedisConnection&) = delete;

    void onPush(PushHandler h) { push_ = std::move(h); }
    void onState(StateHandler h) { state_ = std::move(h); }
    void onError(ErrorHandler h) { error_ = std::move(h); }

    const RedisEndpoint& target() const { return target_; }
    /// Connects to another server from now on: a connection to the old one is dropped (its
    /// commands answered with null); the new one is tried `atOnce`, else after the usual delay.
    void retarget(const RedisEndpoint& target, bool atOnce);

    bool up() const { return fd_ >= 0 && connected_ && ready_; }
    /// Queues a command; false (and no call of `reply`) when the link is not up.
    bool command(const std::vector<std::string_view>& args, ReplyHandler reply = {});
    /// Queues a command whose answers arrive as pushes (subscribing).
    bool send(const std::vector<std::string_view>& args);
    /// Reconnects when its delay has passed; drops a link whose oldest command has gone
    /// unanswered for too long.
    void tick(Clock::time_point now);
    /// Drops the connection as failed: pending commands get null, then the state handler.
    void fail(const std::string& reason) { drop(reason); }
    /// Ends the connection now (the state handler is not called).
    void close();
    /// Writes what is queued with a short blocking wait: for the goodbye at shutdown.
    void flushBlocking(std::chrono::milliseconds limit);

    static constexpr auto kAnswerTimeout = std::chrono::seconds(3);

private:
    static void watchHandler(bool readable, bool writable, void* user);
    /// Finds the addresses of the host: at once for a numeric one, else on a thread.
    void startLookup(Clock::time_point now);
    /// Takes the lookup's answer when it has come; drops a lookup that takes too long.
    void pollLookup(Clock::time_point now);
    /// Connects to the next address of the last lookup.
    void startConnect(Clock::time_point now);
    void onWritable();
    void onReadable();
    /// Feeds bytes from the socket to the reader (through TLS when on); false when unreadable.
    bool take(const char* data, std::size_t n);
    /// Writes `buf` from `sent` on; false when the socket failed (and the link was dropped).
    bool writeOut(std::string& buf, std::size_t& sent);
    void onConnected();
    /// TLS (when on) is set up: the login goes first.
    void login();
    /// Logged in, or no login needed: commands may go, and the delay starts small again.
    void onReady();
    void drop(const std::string& reason);
    void reset();

    struct Pending {
        ReplyHandler reply;
        Clock::time_point sent;
    };

public:
    /// One address of the host, as the socket calls take it.
    struct Endpoint {
        std::array<unsigned char, 28> addr{}; ///< a sockaddr_in or sockaddr_in6
        unsigned len = 0;
    };
    struct Lookup;

private:
    net::Loop& loop_;
    RedisEndpoint target_;
    std::string user_, password_;
    const net::TlsClientContext* tlsContext_;
    std::unique_ptr<net::TlsClient> tls_;
    std::string cipher_; ///< TLS records not yet written
    std::size_t cipherSent_ = 0;
    std::vector<Endpoint> endpoints_; ///< the host's addresses, tried in turn
    std::size_t nextEndpoint_ = 0;
    std::shared_ptr<Lookup> lookup_; ///< a lookup running on its thread, shared with it
    Clock::time_point lookupStarted_{};
    int fd_ = -1;
    bool connected_ = false; ///< the connect finished
    bool ready_ = false;     ///< logged in (or no login needed): commands may be sent
    net::FdWatch* watch_ = nullptr;
    redisReader* reader_ = nullptr;
    std::string out_;
    std::size_t outSent_ = 0;
    std::deque<Pending> pending_;
    std::uint64_t generation_ = 0; ///< grows with every drop: replies of an older link are void
    Clock::time_point nextAttempt_{};
    Clock::time_point connectStarted_{};
    std::chrono::milliseconds backoff_{100};
    PushHandler push_;
    StateHandler state_;
    ErrorHandler error_;
};

} // namespace tnlrelay::cluster
