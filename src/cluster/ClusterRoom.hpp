// What the relay's message path asks of the cluster about one room instance held on this node,
// without seeing the cluster's link (which the Windows build leaves out).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tnlrelay::cluster {

struct Room {
    std::string instance;
    std::string channel;     ///< where its messages travel between nodes
    std::int64_t local = 0;  ///< members on this node
    bool subscribed = false; ///< Redis confirmed the subscription to `channel`
    /// Another node holds members too: each message is published once. Otherwise the room
    /// costs no Redis traffic per message.
    bool remote = false;
    /// Other nodes holding members: as the registry showed them, or as they announced.
    std::map<std::string, std::chrono::steady_clock::time_point> holders;

    // Joins placed here and held until no message sent after their answer can miss them: the
    // subscription is confirmed and every node that held members when Redis placed them has
    // heard of this node (it answered this node's announcement, so it publishes).
    bool subscribeSent = false;
    std::vector<std::uint64_t> joining; ///< their tickets
    std::set<std::string> awaited;      ///< nodes whose answer is still missing
    std::set<std::string> answered;     ///< nodes that answered this node's announcement
    std::chrono::steady_clock::time_point joinDeadline{}; ///< answered at the latest then
};

} // namespace tnlrelay::cluster
