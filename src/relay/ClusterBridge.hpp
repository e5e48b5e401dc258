// The relay core's bridge to a cluster of nodes on one Redis: the one place that knows whether
// this build has a cluster (the Windows build has none). Until `start` links a node, and in a
// build without a cluster, every call is a no-op and the relay runs as a single node.
#pragma once

#include "RelayConfig.hpp"
#include "RelayLog.hpp"
#include "cluster/ClusterHooks.hpp"
#include "cluster/ClusterRoom.hpp"
#include "net/Net.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace tnlrelay {

namespace cluster {
class Cluster;
} // namespace cluster

class ClusterBridge {
public:
    /// Starts the link when config.json names a Redis; a line says why not when it cannot.
    void start(net::Loop& loop, const RelayConfig& config, std::int32_t gamePort, RelayLog& log,
               cluster::Hooks hooks);
    /// This node is one of a cluster (whether its link works or not).
    bool active() const { return cluster_ != nullptr; }
    /// The cluster link is up (as the state document's "link" says); false without a cluster.
    bool linkUp() const;
    /// Joins are placed by Redis now, not by this node alone.
    bool placing() const;
    /// Asks Redis to place a join; the answer comes through `Hooks::placed` with the returned
    /// ticket. 0: place it here.
    std::uint64_t place(const std::string& room, int max);
    /// The joining connection went away before the answer.
    void cancel(std::uint64_t ticket);
    /// A member joined or left an instance on this node; null without a cluster.
    const cluster::Room* addMember(const std::string& instance, bool counted);
    void removeMember(const std::string& instance);
    /// One member's message to the members of `room` on the other nodes.
    void publish(const cluster::Room& room, int opcode, const net::Payload& payload);
    /// `done`, when given, learns whether Redis stored the change (false: not yet; the node
    /// keeps trying). Without a cluster it is called with true at once.
    void shareBan(const std::string& ip, const std::string& name,
                  std::function<void(bool stored)> done = {});
    void shareUnban(const std::string& ip, std::function<void(bool stored)> done = {});
    /// A connection id unique in the cluster; 0 without one (the relay numbers it itself).
    std::uint32_t takeConnId();
    /// How a kick asked of the other nodes ended.
    enum class KickResult { kicked, heldNowhere, unreachable };
    /// Asks the other nodes to kick `connId`, which this node does not hold; without a cluster
    /// `done(heldNowhere)` at once.
    void kick(std::uint32_t connId, std::function<void(KickResult)> done);
    /// One page of the whole cluster (see `Cluster::view`); without a cluster `done` gets null.
    void view(std::size_t offset, std::size_t limit, std::size_t roomOffset, std::size_t roomLimit,
              std::function<void(nlohmann::json)> done);
    /// Seats per instance over the cluster; false without a working link.
    bool roomTotals(std::map<std::string, std::int64_t>& totals) const;
    /// The cluster view of the state document; null without a cluster.
    nlohmann::json state() const;

    /// Reconnecting, heartbeat and registry view; every loop turn.
    void tick(std::chrono::steady_clock::time_point now);
    /// Leaves the cluster at once (the other nodes get this node's seats back); the link ends.
    void shutdown();

private:
    /// Out of line, where the build knows whether a cluster exists.
    struct Deleter {
        void operator()(cluster::Cluster* c) const;
    };
    std::unique_ptr<cluster::Cluster, Deleter> cluster_; ///< null for a single node
};

} // namespace tnlrelay
