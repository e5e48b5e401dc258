// This node's part in a relay made of several nodes that share one Redis: the registry of nodes
// and seats, placement of joins, messages between nodes, cluster-wide bans, and what the node does
// while Redis is away. The relay core calls it from its own loop; it calls back through `Hooks`.
#pragma once

#include "ClusterHooks.hpp"
#include "ClusterRoom.hpp"
#include "ClusterWire.hpp"
#include "RedisLink.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tnlrelay::cluster {

class Cluster {
public:
    using Clock = std::chrono::steady_clock;
    using Hooks = cluster::Hooks;
    /// Whether Redis took a change: called once, perhaps before the call that asked returns.
    using Done = std::function<void(bool ok)>;
    /// How a kick asked of the other nodes ended.
    enum class KickResult { kicked, heldNowhere, unreachable };

    Cluster(net::Loop& loop, RedisAddress redis, std::string node, Keys keys, Hooks hooks);
    ~Cluster();
    Cluster(const Cluster&) = delete;
    Cluster& operator=(const Cluster&) = delete;

    const std::string& node() const { return node_; }
    /// Joins are placed by Redis (else on this node, as a single relay would).
    bool placing() const { return registered_ && cmd_.up(); }
    /// Asks Redis for the first instance of `room` with a free seat cluster-wide; the answer
    /// comes through `Hooks::placed` with the returned ticket, never before this returns. 0 when
    /// the link is not up: place it here.
    std::uint64_t place(const std::string& room, int max);
    /// The joining connection went away before the answer: its seat is given back.
    void cancel(std::uint64_t ticket);
    /// A member joined an instance on this node; `counted` when Redis placed (and counted) it.
    /// The room stays valid while it has local members.
    const Room* addMember(const std::string& instance, bool counted);
    /// A member of an instance on this node left.
    void removeMember(const std::string& instance);
    /// One message to the members of `room` on the other nodes.
    void publish(const Room& room, int opcode, std::string_view bytes);
    /// A ban or unban made on this node, for the other nodes and those that join later. `done`
    /// learns whether Redis stored it; one it could not store is stored again every few
    /// seconds until it is.
    void shareBan(const std::string& ip, const std::string& name, Done done = {});
    void shareUnban(const std::string& ip, Done done = {});
    /// Bans and unbans made here that Redis has not stored yet.
    std::size_t unsharedBans() const { return unsent_.size(); }

    /// A connection id no other node hands out, from a block this node took from Redis; 0
    /// while it has none (it never reached Redis): the relay numbers the connection itself.
    std::uint32_t takeConnId();
    /// Asks every other node to kick the connection `connId`, which this node does not hold.
    void kick(std::uint32_t connId, std::function<void(KickResult)> done);
    /// One page of the whole cluster for the admin page: the nodes, the rooms from
    /// `roomOffset` (at most `roomLimit`), and the players of every node from `offset` (at most
    /// `limit`) in the order of node names, then ids; other nodes' players are asked of them.
    void view(std::size_t offset, std::size_t limit, std::size_t roomOffset, std::size_t roomLimit,
              std::function<void(nlohmann::json)> done);

    /// Reconnecting, heartbeat and registry view; call every loop turn.
    void tick(Clock::time_point now);
    /// Leaves the cluster at once (seats given back), for a clean stop.
    void shutdown();

    /// Seats per instance cluster-wide, with this node's own taken live from `localRooms`; null
    /// while the link is down (the room list is then this node's own).
    bool roomTotals(std::map<std::string, std::int64_t>& totals) const;
    nlohmann::json state() const;
    /// The link is up and Redis accepted the node: what the state document calls "up".
    bool linked() const { return reportedUp_; }

    static constexpr auto kHeartbeat = std::chrono::seconds(1);
    static constexpr int kNodeTtlMillis = 5000;
    static constexpr auto kAnnouncedHolderKept = std::chrono::seconds(3);
    static constexpr auto kSubscriberSilence = std::chrono::seconds(4);
    /// How often a node writes again what it holds, repairing what Redis lost meanwhile.
    static constexpr auto kReassert = std::chrono::seconds(2);
    /// The longest a placed join waits for the other nodes to hear of this node.
    static constexpr auto kJoinWait = std::chrono::seconds(2);
    /// The longest a kick waits for the other nodes' answers.
    static constexpr auto kKickWait = std::chrono::seconds(2);
    /// The longest a view waits for the other nodes' players.
    static constexpr auto kViewWait = std::chrono::seconds(2);
    /// Connection ids a node takes from Redis at a time.
    static constexpr std::uint32_t kIdBlock = 4096;

private:
    // Registration and heartbeat (ClusterRegistry.cpp).
    void onCommandLink(bool up, const std::string& reason);
    void onSubscriberLink(bool up, const std::string& reason);
    void registerNode();
    void heartbeat();
    void refreshView();
    /// Writes again this node's registration, seats and instance bases, repairing keys that are
    /// missing or of the wrong type, and stores again the bans Redis lost (ClusterHeal.cpp).
    void reassert();
    /// Seats this node claims: its members and the joins it holds, per base and instance.
    std::map<std::string, std::map<std::uint64_t, std::int64_t>> claim();
    /// A claim sent after `claims` set the seats of `instance` (so it lacks a placement sent
    /// before it and answered after).
    bool claimedSince(const std::string& instance, std::uint64_t claims) const;
    /// An error answer that says a key has the wrong type: repaired at once.
    void noticeWrongType(const redisReply* r);
    /// An ERROR line, unless it says what the last one of its kind said (a failure that lasts
    /// is said once).
    void logFailure(std::string& last, const std::string& line);
    void reportRepairs(const std::vector<std::string>& repaired);
    /// Asks Redis for another block of connection ids.
    void askIdBlock();
    void reportLink();
    std::string summary() const;
    std::int64_t localPlayers() const;
    // Placement and room channels (ClusterPlacement.cpp).
    void onPush(const redisReply& reply);
    void onChannelMessage(std::string_view channel, std::string_view payload);
    void announce(const Room& room, bool present);
    /// Redis's answer to the placement `ticket` of a join asking for `room`, sent when the
    /// claims counter stood at `claims`.
    void onPlacement(std::uint64_t ticket, const std::string& room, std::uint64_t claims,
                     const redisReply* r);
    Room& roomFor(const std::string& instance);
    /// Answers the joins `room` holds once nothing can miss them (or the wait is over).
    void releaseJoins(Room& room, bool now);
    void dropIfUnused(const std::string& instance);
    void onKick(const WireMessage& m);
    void onKickAnswer(const WireMessage& m);
    void endKick(std::uint64_t seq, KickResult result);
    // The cluster view (ClusterView.cpp).
    void onViewRequest(const WireMessage& m);
    void onViewAnswer(const WireMessage& m);
    void endView(std::uint64_t seq);
    void askViewParts(std::uint64_t seq);
    // Bans (ClusterBans.cpp).
    void offerLocalBans();
    void storeBan(const std::string& ip);
    /// Stores every entry this node knows again (Redis lost some).
    void storeAllBans();
    void settleBan(const std::string& ip, bool stored);
    void mergeBan(const std::string& ip, const BanEntry& entry);
    std::int64_t stamp(const std::string& ip);
    /// A ban (with the player's name) or an unban made on this node.
    void recordLocalBan(const std::string& ip, bool banned, const std::string& name, Done done);

    void log(bool error, const std::string& line);

    net::Loop& loop_;
    RedisAddress redis_;
    std::string node_;
    Keys keys_;
    std::string incarnation_; ///< tells this process from another that uses the same name
    bool nameClash_ = false;
    Hooks hooks_;
    RedisLink cmd_; ///< commands, scripts, heartbeat, publishing
    RedisLink sub_; ///< the sharded subscriptions
    bool registered_ = false;
    bool confirmed_ = false; ///< Redis accepted the registration: the node is linked
    bool reportedUp_ = false;
    bool reportedDown_ = false;
    bool stopped_ = false;
    std::string lastError_;
    Clock::time_point nextHeartbeat_{};
    Clock::time_point subHeard_{}; ///< the subscribing connection's last answer
    Clock::time_point nextAssert_{};
    /// Grows with every claim that sets this node's seat counts: a placement sent before one and
    /// answered after it was not counted in it.
    std::uint64_t claims_ = 0;
    std::uint64_t cleared_ = 0; ///< the last claim that cleared every seat of this node first
    /// The instances the last claim set, with its number.
    std::unordered_map<std::string, std::uint64_t> claimed_;
    std::string assertFailure_, placeFailure_, viewFailure_; ///< the last line of each kind

    std::unordered_map<std::string, Room> rooms_; ///< instances with members here
    std::uint64_t nextTicket_ = 0;
    std::set<std::uint64_t> waiting_;   ///< tickets Redis has not answered yet
    std::set<std::uint64_t> cancelled_; ///< of those, the ones whose connection went away
    std::unordered_map<std::uint64_t, std::string> joining_; ///< placed, held: ticket -> instance
    std::set<std::string> joiningRooms_;                     ///< instances holding joins

    // Connection ids: [next, end] of the block in use, and a spare block taken ahead.
    std::uint64_t idNext_ = 0, idEnd_ = 0, spareNext_ = 0, spareEnd_ = 0;
    bool idBlockAsked_ = false;
    std::uint64_t idsIssued_ = 0; ///< the end of the latest block: the counter stays above it

    struct KickWait {
        std::function<void(KickResult)> done;
        std::set<std::string> awaited;  ///< nodes yet to answer
        std::set<std::string> answered; ///< nodes that answered they do not hold it
        bool listed = false;            ///< Redis said which nodes there are
        Clock::time_point deadline;
    };
    std::map<std::uint64_t, KickWait> kicks_;
    std::uint64_t nextKick_ = 0;

    /// A view asks in two rounds: every node's count of players (the registry's is up to a
    /// second old), then the players the page shows of each node.
    struct ViewWait {
        std::function<void(nlohmann::json)> done;
        nlohmann::json page;                         ///< all but the players
        std::size_t offset = 0, limit = 0;           ///< of the players, over all nodes
        bool counted = false;                        ///< in the second round
        std::map<std::string, std::int64_t> totals;  ///< players per node, as answered
        std::vector<std::string> order;              ///< nodes the page shows players of
        std::map<std::string, nlohmann::json> parts; ///< their players, as answered
        std::set<std::string> awaited, unanswered;
        Clock::time_point deadline;
    };
    std::map<std::uint64_t, ViewWait> views_;

    /// The latest ban or unban known per address, made here or anywhere in the cluster.
    std::map<std::string, BanEntry> bans_;
    /// Addresses whose entry made here Redis has not confirmed yet (made while it was away):
    /// stored when the node registers, unless a newer one is found there.
    std::set<std::string> unsent_;
    std::int64_t lastStamp_ = 0; ///< the time of the last ban or unban made here
    std::map<std::string, std::vector<Done>> banWaiting_; ///< answers waiting for Redis, per ip
    std::set<std::string> retrying_;                      ///< made here, not stored yet, said so

    // The registry as last read.
    SeatMap seats_;
    std::map<std::string, nlohmann::json> nodes_;
    std::uint64_t ignored_ = 0; ///< channel payloads that were not ours to read
};

} // namespace tnlrelay::cluster
