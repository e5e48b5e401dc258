// The node's part in the cluster: its two links to Redis and its view for the state document;
// registration, placement and bans have files of their own. What Redis holds (every name begins
// with "tnlrelay:", followed by "<clusterName>:" for a cluster that has a name of its own):
//
//   nodes              set    names of registered nodes
//   node:<node>        string the node's summary (JSON); expires 5 s after its last heartbeat
//   bases              set    base names that have seats somewhere
//   seats:<base>       hash   "<node>\n<n>" -> members that node holds in instance n of base
//                             (instance 1 is the base itself, n >= 2 is "<base>#<n>")
//   banlist            hash   ip -> the latest ban or unban of the address (see BanEntry)
//   connids            string the last connection id handed out, in blocks, to a node
//   room:<instance>    shard channel: messages and presence of one instance
//   bans               shard channel: bans and unbans as they are made
//
// On a Redis Cluster the keys (not the channels) have "{registry}:" after "tnlrelay:"
// (kRegistryTag), which keeps them in one slot for the scripts.
#include "Cluster.hpp"

#include <random>

namespace tnlrelay::cluster {

Cluster::Cluster(net::Loop& loop, RedisAddress redis, std::string node, Keys keys, Hooks hooks)
    : loop_(loop), redis_(std::move(redis)), node_(std::move(node)), keys_(std::move(keys)),
      hooks_(hooks), cmd_(loop, redis_), sub_(loop, redis_) {
    std::random_device random;
    incarnation_ = std::to_string(random()) + "-" + std::to_string(random());
    cmd_.onState([this](bool up, const std::string& reason) { onCommandLink(up, reason); });
    sub_.onState([this](bool up, const std::string& reason) { onSubscriberLink(up, reason); });
    sub_.onPush([this](const redisReply& r) { onPush(r); });
}

Cluster::~Cluster() {
    cmd_.close();
    sub_.close();
}

void Cluster::log(bool error, const std::string& line) {
    if (hooks_.log) hooks_.log(hooks_.user, error, line);
}

nlohmann::json Cluster::state() const {
    nlohmann::json s = nlohmann::json::object();
    s["node"] = node_;
    s["redis"] = cmd_.where();
    s["link"] = reportedUp_ ? "up" : "down";
    if (!reportedUp_ && !lastError_.empty()) s["linkError"] = lastError_;
    s["ignoredMessages"] = ignored_;
    s["unsharedBans"] = unsent_.size();
    auto nodes = nlohmann::json::array();
    for (const auto& [name, info] : nodes_) {
        nlohmann::json entry = {{"node", name}, {"players", 0}, {"rooms", 0}};
        if (info.contains("players") && info["players"].is_number_integer())
            entry["players"] = info["players"];
        if (info.contains("rooms") && info["rooms"].is_number_integer())
            entry["rooms"] = info["rooms"];
        if (name == node_) entry["players"] = localPlayers(), entry["rooms"] = rooms_.size();
        nodes.push_back(std::move(entry));
    }
    s["nodes"] = std::move(nodes);
    auto rooms = nlohmann::json::array();
    for (const auto& [name, room] : rooms_) {
        auto holders = nlohmann::json::array();
        for (const auto& [node, seen] : room.holders)
            holders.push_back(node);
        rooms.push_back({{"room", name}, {"local", room.local}, {"otherNodes", holders}});
    }
    s["localRooms"] = std::move(rooms);
    return s;
}

} // namespace tnlrelay::cluster
