// The running relay: joined connections and rooms, the game endpoint (room list, join, relay,
// leave), moderation and documents, over owned parts (configuration, abuse limits, admin endpoint,
// cluster bridge, event loop). Everything but `stopRequested` is used by the loop thread only.
#pragma once

#include "AbuseGuard.hpp"
#include "AdminEndpoint.hpp"
#include "AdminPages.hpp"
#include "ClusterBridge.hpp"
#include "ConfigStore.hpp"
#include "ConnInfo.hpp"
#include "EventLoop.hpp"
#include "GamePortSettings.hpp"
#include "Metrics.hpp"
#include "PendingJoins.hpp"
#include "RelayConfig.hpp"
#include "RelayLog.hpp"
#include "Rooms.hpp"
#include "net/Net.hpp"
#include "platform/Platform.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <unordered_map>

namespace tnlrelay {

static_assert(std::is_same_v<MemberId, net::ConnId>, "room members are connections");

class RelayCore {
public:
    using ConnInfo = tnlrelay::ConnInfo;
    using LimitCounts = tnlrelay::LimitCounts;

    explicit RelayCore(RelayConfig config, net::Limits limits = {});
    /// Leaves the cluster, then closes every connection (one LEAVE line per joined player) and
    /// both listeners.
    /// The members end in reverse order: the loop closes every connection, whose LEAVE lines
    /// the log holds and writes in batches, then the log itself.
    ~RelayCore() { log.holdLines(); }
    RelayCore(const RelayCore&) = delete;
    RelayCore& operator=(const RelayCore&) = delete;

    /// Opens both listeners; true when both are open. Writes the start or the failure line.
    bool start();
    /// Runs the event loop until `stopRequested` is true and then for the stop grace, with
    /// health checks answering 503, then writes "relay stopped".
    void runLoop();
    /// The loop's periodic work outside of events: picking up hand edits of config.json and
    /// retrying a save that failed.
    void housekeeping(std::chrono::steady_clock::time_point now);
    /// Reads config.json again when someone else changed it since it was last read or written,
    /// and uses its bans and settings from then on (the listeners keep their ports).
    void pickUpConfigChanges();
    /// Reads config.json at once, as an operator's reload asks (SIGHUP under a service
    /// manager), with one line saying what came of it.
    void reloadNow();

    /// Set to true from any thread to end `runLoop` within one poll interval.
    std::atomic<bool> stopRequested{false};

    // Documents.
    std::string roomsJson(const std::string& game) const;
    std::string stateJson() const;
    /// The admin page's summary: counts, the busiest rooms, bans, link and certificate; its size
    /// does not grow with the players.
    std::string summaryJson() const;
    /// One page of players, or of room names, as `request` asks (AdminPages.hpp).
    std::string playersJson(const detail::PageRequest& request) const;
    std::string roomPageJson(const detail::PageRequest& request) const;

    /// This node's players from the `offset`th in the order of their ids, at most `limit`: a
    /// JSON array of the state document's player objects.
    std::string playersPage(std::size_t offset, std::size_t limit) const;
    /// One page of the whole cluster (nodes, rooms and every node's players); `done` gets its
    /// JSON text, or an empty text for a relay that is no node of a cluster.
    void clusterView(std::size_t offset, std::size_t limit, std::size_t roomOffset,
                     std::size_t roomLimit, std::function<void(std::string)> done);

    // Moderation.
    void kick(std::uint32_t connId);
    /// A kick through the admin API: a connection this node does not hold is asked of the other
    /// nodes of a cluster; `done(false)` when they could not be asked (no link to Redis). True
    /// when the player was here and is kicked.
    bool kickAnywhere(std::uint32_t connId, std::function<void(bool asked)> done);
    /// Whether this relay is a node of a cluster.
    bool clusterActive() const { return cluster.active(); }
    /// Ban and unban through the admin API: `done(saved, shared)` says whether config.json was
    /// written and whether Redis took the change for the other nodes (true without a cluster).
    using Shared = std::function<void(bool saved, bool shared)>;
    void banAnywhere(const std::string& ip, const std::string& name, Shared done);
    void unbanAnywhere(const std::string& ip, Shared done);
    /// An admin request answered after its handler returned: held by its connection's id until
    /// `takeAdminReply`, and forgotten if the connection closes first.
    void holdAdminReply(net::Conn* c) { heldAdminReplies[net::connId(c)] = c; }
    net::Conn* takeAdminReply(net::ConnId id);
    /// Ban and unban take effect at once; false when config.json could not be written (the
    /// change holds in memory and the save is retried by `housekeeping` until it succeeds).
    bool ban(const std::string& ip, const std::string& name);
    bool unban(const std::string& ip);
    bool isBanned(const std::string& ip) const;

    /// The instance a player asking for `name` with capacity `max` is placed in.
    std::string allocateRoom(const std::string& name, int max) const;

    // Monitoring.
    std::string metricsText();
    std::string statsJson() const;
    /// The admin port's health document; `*draining`, when given, is set to whether it says
    /// the relay is stopping (answered with 503).
    std::string healthJson(bool* draining = nullptr) const;
    /// Adds the sample of the second that just ended to the history.
    void sampleStats();
    const RelayCounters& relayCounters() const { return counters; }

    // Read access for tests and documents.
    const std::unordered_map<net::ConnId, ConnInfo>& connectionTable() const { return connections; }
    const RoomTable& roomTable() const { return rooms; }
    const RelayConfig& configuration() const { return store.config(); }
    const LimitCounts& limitCounts() const { return abuse.counts(); }
    const AdminEndpoint& adminEndpoint() const { return admin; }

private:
    /// What the state document and the summary share: ports, log path, bans, saving, limits,
    /// cluster link and certificate.
    nlohmann::json stateBasics() const;

    static void gameHandler(net::Conn* c, net::Event ev, const void* eventData, void* userData);
    static void adminHandler(net::Conn* c, net::Event ev, const void* eventData, void* userData);

    /// One poll of the loop and the periodic work after it.
    void turn();
    void onGameHttp(net::Conn* c, const net::HttpMessage& hm);
    void onGameMessage(net::Conn* c, const net::WsMessage& wm);
    void onClose(net::Conn* c);
    /// Loads the TLS pair at start and writes the TLS start line.
    void startTls();
    /// The address the admin listener binds: `adminHost` when other machines may use it (a
    /// certificate and an account are there), else 127.0.0.1, with a line saying why.
    std::string adminListenHost();
    /// The running configuration was replaced: the parts that read it take it again.
    void reconfigure();
    /// Every few seconds: takes a renewed certificate; once a day: warns of a near expiry.
    void checkTls();
    void reportTlsDeclines();
    void checkDescriptors(std::chrono::steady_clock::time_point now);

    // Several nodes on one Redis.
    /// Starts the link when config.json names a Redis (the Windows build says it has none).
    void startCluster();
    /// Admits a join into `instance`: the table entry, the room, the upgrade and the JOIN line.
    void finishJoin(net::Conn* c, std::string_view query, const std::string& ip,
                    std::string instance, const net::HttpMessage& upgrade, bool counted);
    /// Holds a join until Redis has placed it.
    void deferJoin(net::Conn* c, const net::HttpMessage& hm, const std::string& ip,
                   const std::string& room, int max);
    void onPlaced(std::uint64_t ticket, const std::string* instance);
    /// A pending join's connection closed: its seat goes back.
    void forgetPendingJoin(net::ConnId id);
    /// Delivers another node's message to this node's members of an instance.
    void deliverFromCluster(const std::string& instance, int opcode, std::string_view bytes);
    /// Kicks a connection this node holds; false when it holds none of that id.
    bool kickHere(std::uint32_t connId);
    /// The ban itself, here; `ban` and `unban` also tell the other nodes.
    bool banHere(const std::string& ip, const std::string& name);
    bool unbanHere(const std::string& ip);

    /// The address a game request comes from, for bans and limits: the one place that decides
    /// whose address a request carries.
    std::string clientAddress(net::Conn* c, const net::HttpMessage& hm) const;

    // Members end in the reverse of this order. The log outlives every part that writes to it;
    // the loop ends first, and its close events reach every part above it.
    RelayLog log;
    ConfigStore store;           ///< the running configuration and config.json
    std::int32_t listenGamePort; ///< the ports the listeners use, whatever the file says later
    std::int32_t listenAdminPort;
    GamePortSettings gamePortSettings;
    std::chrono::steady_clock::time_point nextTlsCheck{};
    std::chrono::steady_clock::time_point nextExpiryNotice{};
    platform::DescriptorLimits descriptors; ///< as raised at start
    std::uint64_t acceptPausesSeen = 0;     ///< accepts paused for descriptors, when last said
    std::chrono::steady_clock::time_point nextDescriptorError{};
    AdminEndpoint admin;
    AbuseGuard abuse; ///< with the limits of the running configuration
    std::unordered_map<net::ConnId, ConnInfo> connections;
    /// On a node of a cluster: the connection of each id handed out by the cluster.
    std::unordered_map<std::uint32_t, net::ConnId> clusterConnIds;
    std::unordered_map<net::ConnId, net::Conn*> heldAdminReplies;
    RoomTable rooms; ///< room instance -> members, with an index for the instance search

    // Monitoring.
    RelayCounters counters;
    StatsRing history{kStatsHistorySeconds};
    net::LoopStats lastSampled; ///< the adapter's counts at the last sample
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point nextSample = started + std::chrono::seconds(1);
    bool listening = false; ///< both listeners are open

    // Several nodes on one Redis.
    PendingJoins pendingJoins;
    ClusterBridge cluster;

    EventLoop loop; ///< both listeners and every connection
    /// Checks admin passwords on a thread of its own, which wakes the loop: it ends before the
    /// loop does.
    PasswordChecker passwordChecker{[this] { loop->wake(); }};
};

} // namespace tnlrelay
