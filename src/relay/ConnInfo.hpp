// What the relay keeps about one joined player: the values of its join request, its connection
// and room, and the state of its message rate limit.
#pragma once

#include "Rooms.hpp"
#include "net/Net.hpp"
#include "text/Bytes.hpp"

#include <chrono>

namespace tnlrelay {

namespace cluster {
struct Room;
} // namespace cluster

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
    /// The id the admin API shows and kicks by: the connection's own id, or on a node of a
    /// cluster one unique across the nodes.
    std::uint32_t connId = 0;
    /// Its instance as the cluster knows it; null without a cluster.
    const cluster::Room* clusterRoom = nullptr;
};

} // namespace tnlrelay
