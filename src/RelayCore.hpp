// The running relay: the event loop with its two listeners, the joined connections and the
// rooms, the game endpoint (room list, join, relay, leave), the state documents, moderation and
// the admin endpoint. Everything but `stopRequested` is used by the loop thread only.
#pragma once

#include "Bytes.hpp"
#include "GamePortSettings.hpp"
#include "Metrics.hpp"
#include "RelayConfig.hpp"
#include "RelayLog.hpp"
#include "Rooms.hpp"
#include "net/Net.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace tnlrelay {

namespace cluster {
class Cluster;
struct Room;
} // namespace cluster

static_assert(std::is_same_v<MemberId, net::ConnId>, "room members are connections");

class RelayCore {
public:
    /// One joined player.
    struct ConnInfo {
        Bytes room; ///< the room instance: the requested name, or name#n
        Bytes guid; ///< "player"
        Bytes name; ///< "name"
        Bytes ip;   ///< peer address text
        Bytes pid;
        Bytes game;
        bool listed = false; ///< "listed" was exactly "1"
        Bytes owner;
        Bytes category;            ///< "cat"
        Bytes thumbnail;           ///< "thumb"
        net::Conn* conn = nullptr; ///< valid until this connection's close event
        /// The members of `room`, which exists as long as this player is one of them.
        const MemberList* members = nullptr;
        /// Messages it may still send at once (the token bucket of the message rate limit).
        double tokens = 0;
        std::chrono::steady_clock::time_point refilled{};
        /// Set when the relay closes it for breaking a limit; its LEAVE line says which.
        const char* closedFor = nullptr;
        /// Its instance as the cluster knows it; null without a cluster.
        const cluster::Room* clusterRoom = nullptr;
    };

    /// Refusals and closes by an abuse limit, for the state document.
    struct LimitCounts {
        std::uint64_t connectionsPerAddress = 0;
        std::uint64_t joinsPerMinute = 0;
        std::uint64_t origin = 0;
        std::uint64_t messageRate = 0;
        std::uint64_t messageSize = 0;
    };

    explicit RelayCore(RelayConfig config, net::Limits limits = {});
    /// Closes every connection (one LEAVE line per joined player) and both listeners.
    ~RelayCore();
    RelayCore(const RelayCore&) = delete;
    RelayCore& operator=(const RelayCore&) = delete;

    /// Opens both listeners; true when both are open. Writes the start or the failure line.
    bool start();
    /// Runs the event loop until `stopRequested` is true, then writes "relay stopped".
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

    // Moderation.
    void kick(std::uint32_t connId);
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
    std::string healthJson() const;
    /// Adds the sample of the second that just ended to the history.
    void sampleStats();
    const RelayCounters& relayCounters() const { return counters; }

    // Read access for tests and documents.
    const std::unordered_map<net::ConnId, ConnInfo>& connectionTable() const { return connections; }
    const RoomTable& roomTable() const { return rooms; }
    const RelayConfig& configuration() const { return config; }
    const LimitCounts& limitCounts() const { return limitCounts_; }

private:
    static void gameHandler(net::Conn* c, net::Event ev, const void* eventData, void* userData);
    static void adminHandler(net::Conn* c, net::Event ev, const void* eventData, void* userData);

    void onGameHttp(net::Conn* c, const net::HttpMessage& hm);
    void onGameMessage(net::Conn* c, const net::WsMessage& wm);
    void onClose(net::Conn* c);
    void onAdminHttp(net::Conn* c, const net::HttpMessage& hm);
    /// Uses config.json's current content; false, with one ERROR line that begins with
    /// `failure`, when it cannot be used.
    bool readConfigAgain(const char* failure);
    /// Writes config.json from `config` and notes the version written and whether it worked.
    bool saveConfig();
    /// The ERROR line for a moderation change that config.json does not hold yet.
    void logUnsaved(const std::string& change);
    /// Loads the TLS pair at start and writes the TLS start line.
    void startTls();
    /// Every few seconds: takes a renewed certificate; once a day: warns of a near expiry.
    void checkTls();
    void reportTlsDeclines();

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
    bool clusterPlaces() const;
    const cluster::Room* clusterJoined(const std::string& instance, bool counted);
    void clusterLeft(const std::string& instance);
    void clusterPublish(const cluster::Room& room, int opcode, const net::Payload& payload);
    /// Seats per instance over the cluster; false without a working cluster link.
    bool clusterRoomTotals(std::map<std::string, std::int64_t>& totals) const;
    /// The cluster view of the state document; null without a cluster.
    nlohmann::json clusterState() const;
    /// Delivers another node's message to this node's members of an instance.
    void deliverFromCluster(const std::string& instance, int opcode, std::string_view bytes);
    /// The ban itself, here; `ban` and `unban` also tell the other nodes.
    bool banHere(const std::string& ip, const std::string& name);
    bool unbanHere(const std::string& ip);

    // Abuse limits.
    /// The address a game request comes from, for bans and limits: the one place that decides
    /// whose address a request carries.
    std::string clientAddress(net::Conn* c, const net::HttpMessage& hm) const;
    /// Answers and logs a join that a limit refuses, and says so; false lets the join go on.
    bool refuseJoin(net::Conn* c, const net::HttpMessage& hm, const std::string& ip);
    /// Records an accepted join, and a joined connection's close, from that address.
    void noteJoin(const std::string& ip);
    void noteLeave(const std::string& ip);
    /// Whether a member may send this message; if not, it is closed with the reason.
    bool admitMessage(ConnInfo& info, const net::WsMessage& wm);
    /// Forgets addresses with nothing joined and no join within the last minute.
    void sweepAddresses(std::chrono::steady_clock::time_point now);

    std::unique_ptr<net::Loop> loop; ///< the event loop with both listeners and every connection
    RelayConfig config;              ///< as config.json holds it, or will once saved
    std::int32_t listenGamePort;     ///< the ports the listeners use, whatever the file says later
    std::int32_t listenAdminPort;
    FileStamp configFile; ///< the version of config.json that `config` was read from or written to
    std::chrono::steady_clock::time_point nextConfigCheck{};
    bool configSaved = true; ///< false while config.json lags behind a ban or unban
    std::chrono::steady_clock::time_point nextSaveRetry{};
    RelayLog log;
    std::string adminHtml;
    std::unordered_map<net::ConnId, ConnInfo> connections;
    RoomTable rooms; ///< room instance -> members, with an index for the instance search

    // Abuse limits.
    struct AddressUse {
        std::uint32_t joined = 0;                                      ///< joined connections now
        std::deque<std::chrono::steady_clock::time_point> recentJoins; ///< within the minute
    };
    AbuseLimits abuse; ///< from config, read again with it
    LimitCounts limitCounts_;
    std::unordered_map<std::string, AddressUse> addresses;
    std::chrono::steady_clock::time_point nextAddressSweep{};

    // Monitoring.
    RelayCounters counters;
    StatsRing history{kStatsHistorySeconds};
    net::LoopStats lastSampled; ///< the adapter's counts at the last sample
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point nextSample = started + std::chrono::seconds(1);
    bool listening = false; ///< both listeners are open
    GamePortSettings gamePortSettings;
    std::chrono::steady_clock::time_point nextTlsCheck{};
    std::chrono::steady_clock::time_point nextExpiryNotice{};

    // Several nodes on one Redis.
    struct ClusterDeleter {
        void operator()(cluster::Cluster* c) const;
    };
    std::unique_ptr<cluster::Cluster, ClusterDeleter> cluster_; ///< null for a single node
    /// A join waiting for Redis to place it: what answering it later needs.
    struct PendingJoin {
        net::Conn* conn = nullptr;
        std::string query, ip, room, key, protocol;
        bool hasProtocol = false;
        int max = 0;
    };
    std::unordered_map<std::uint64_t, PendingJoin> pendingJoins; ///< by placement ticket
    std::unordered_map<net::ConnId, std::uint64_t> pendingByConn;
};

/// The admin page: AdminPage.html beside the executable, else in ../share/tnlrelay, else a
/// built-in fallback page.
std::string loadAdminHtml();

} // namespace tnlrelay
