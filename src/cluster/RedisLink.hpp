// The node's link to its Redis, whatever the layout, behind one interface: commands with answers
// in order, pushes (subscriptions), a state that goes up and down. For one Redis it is one
// connection; for Sentinels, one connection to the master they name, moved when they fail over;
// for a Redis Cluster, one connection per shard's master, each command sent to the shard that owns
// its key's slot (redirections followed, subscriptions moved with their slot), and the whole link
// down (and set up anew) whenever a shard's master is lost or replaced, so that the node
// registers again as after any outage.
#pragma once

#include "RedisConnection.hpp"
#include "RedisSentinel.hpp"

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace tnlrelay::cluster {

class RedisLink {
public:
    using Clock = RedisConnection::Clock;
    using ReplyHandler = RedisConnection::ReplyHandler;
    using PushHandler = RedisConnection::PushHandler;
    using StateHandler = RedisConnection::StateHandler;

    RedisLink(net::Loop& loop, RedisAddress address);
    ~RedisLink();
    RedisLink(const RedisLink&) = delete;
    RedisLink& operator=(const RedisLink&) = delete;

    void onPush(PushHandler h) { push_ = std::move(h); }
    void onState(StateHandler h) { state_ = std::move(h); }

    bool up() const;
    /// Queues a command; false (and no call of `reply`) when the link is not up.
    bool command(const std::vector<std::string_view>& args, ReplyHandler reply = {});
    /// Queues a command whose answers arrive as pushes (subscribing); one without a key (PING)
    /// goes to every shard.
    bool send(const std::vector<std::string_view>& args);
    /// Reconnects when its delay has passed; drops a link whose oldest command has gone
    /// unanswered for too long.
    void tick(Clock::time_point now);
    /// Drops the link as failed: pending commands get null, then the state handler.
    void fail(const std::string& reason);
    /// Ends the link now (the state handler is not called).
    void close();
    /// Writes what is queued with a short blocking wait: for the goodbye at shutdown.
    void flushBlocking(std::chrono::milliseconds limit);
    /// Where the link goes, for the log and the state document: "host:port", "<master> at
    /// host:port", or "cluster of N shards".
    std::string where() const;

    static constexpr auto kAnswerTimeout = RedisConnection::kAnswerTimeout;
    /// How often a Redis Cluster's slots are read again while the link is up.
    static constexpr auto kSlotsCheck = std::chrono::seconds(5);

private:
    using Connection = std::unique_ptr<RedisConnection>;
    Connection makeConnection(RedisEndpoint target);
    // A Redis Cluster (RedisLink.cpp).
    void startMapping(Clock::time_point now);
    void onSlots(const redisReply* r);
    void onShardState(bool up, const std::string& reason);
    void onShardPush(const redisReply& r);
    void onControlState(bool up);
    /// A redirection or moved slots: the slots are read again; other masters mean a link set up
    /// anew, slots moved among the same ones are routed anew.
    void checkSlots();
    /// Sends a command that was answered MOVED or ASK to the shard named; false when there is
    /// no connection to it.
    bool redirect(std::string_view error, const std::vector<std::string>& args,
                  const ReplyHandler& reply);
    void teardown(const std::string& reason);
    RedisConnection* shardOf(std::string_view key) const;

    net::Loop& loop_;
    RedisAddress address_;
    net::TlsClientContext tls_;
    std::string tlsError_;
    Clock::time_point tlsRetry_{};
    /// One Redis or the Sentinels' master: the one connection. A Redis Cluster: one per master,
    /// in the order of `masters_`.
    std::vector<Connection> conns_;
    std::vector<Connection> retired_; ///< dropped during a callback: destroyed at the next tick
    std::unique_ptr<RedisSentinel> sentinel_;
    PushHandler push_;
    StateHandler state_;

    // A Redis Cluster.
    Connection probe_;   ///< asks a known node for the slots
    Connection control_; ///< the probe once it answered: asks again when they may have moved
    std::vector<RedisEndpoint> seeds_;
    std::size_t nextSeed_ = 0;
    std::size_t seedsFailed_ = 0; ///< nodes in a row that could not be asked
    std::vector<RedisEndpoint> masters_;
    std::vector<std::uint16_t> owner_; ///< slot -> index into `masters_`, kNoOwner if none
    bool clusterUp_ = false;
    bool tearing_ = false;
    bool checking_ = false;
    bool checkWanted_ = false; ///< a check waits for the control connection
    Clock::time_point nextAttempt_{};
    Clock::time_point nextCheck_{};
    std::chrono::milliseconds backoff_{100};
    std::unordered_multiset<std::string> unsubscribing_; ///< SUNSUBSCRIBEs not yet confirmed
    std::unordered_set<std::string> subscribed_;         ///< shard channels asked for
    std::unordered_set<std::string> moved_; ///< of those, the ones whose slot moved: re-sent
};

} // namespace tnlrelay::cluster
