// One connection to Redis on the relay's loop: a non-blocking socket watched by the loop, commands
// pipelined (everything asked for during one turn leaves in one write), replies parsed by
// hiredis's reader and handed out in order. It reconnects by itself with a growing delay. A host
// name is looked up on a thread of its own, so that a slow name server never holds the loop.
#pragma once

#include "ClusterWire.hpp"
#include "net/Net.hpp"

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

class RedisLink {
public:
    using Clock = std::chrono::steady_clock;
    /// A command's answer; null when the link dropped before it came.
    using ReplyHandler = std::function<void(const redisReply*)>;
    /// Replies no command asked for (the messages of a subscribing connection).
    using PushHandler = std::function<void(const redisReply&)>;
    /// The link came up (true) or went down (false, with the reason).
    using StateHandler = std::function<void(bool up, const std::string& reason)>;

    RedisLink(net::Loop& loop, RedisAddress address);
    ~RedisLink();
    RedisLink(const RedisLink&) = delete;
    RedisLink& operator=(const RedisLink&) = delete;

    void onPush(PushHandler h) { push_ = std::move(h); }
    void onState(StateHandler h) { state_ = std::move(h); }

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
    void onConnected();
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
    RedisAddress address_;
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
};

} // namespace tnlrelay::cluster
