// The game endpoint: the room list, the WebSocket join with its refusals, the fan-out of every
// message to the other members of the sender's room instance, and leaving.
#include "ClientAddress.hpp"
#include "RelayCore.hpp"
#include "cluster/ClusterRoom.hpp"
#include "text/JsonText.hpp"
#include "text/Text.hpp"
#include "text/UrlQuery.hpp"

#include <cstdlib>
#include <string>

namespace tnlrelay {

using detail::logValue;
using detail::queryVar;

namespace {

constexpr int kDefaultCapacity = 16;
constexpr std::string_view kPlainHeaders = "Content-Type: text/plain; charset=utf-8\r\n";
/// The LEAVE line's reason for a member the adapter cut off, worded like the abuse limits'.
constexpr const char* kUnsentOutput = "closed: not reading, unsent output over the limit";

/// The room capacity a joining player asks for: `atoi` of "max", with 16 for anything below 1.
int capacity(const std::string& text) {
    if (text.empty()) return kDefaultCapacity;
    const std::int32_t value = atoiSaturating(text);
    return value < 1 ? kDefaultCapacity : value;
}

} // namespace

std::string RelayCore::clientAddress(net::Conn* c, const net::HttpMessage& hm) const {
    return tnlrelay::clientAddress(net::peerAddress(c), hm, gamePortSettings.trustedProxies,
                                   gamePortSettings.forwardedHeader);
}

void RelayCore::onGameHttp(net::Conn* c, const net::HttpMessage& hm) {
    if (hm.uri == "/rooms") {
        net::reply(c, 200, detail::kJsonHeaders, roomsJson(queryVar(hm.query, "project")));
        return;
    }
    if (hm.uri == "/healthz" && !hm.header("Upgrade")) {
        // For load balancers: the loop answered, so it turns; no other information. A stop
        // says so from its first moment, so that players are sent elsewhere before the port
        // closes. The cluster link does not count: local relaying works without it.
        if (stopRequested.load())
            net::reply(c, 503, kPlainHeaders, "draining\n");
        else if (listening)
            net::reply(c, 200, kPlainHeaders, "ok\n");
        else
            net::reply(c, 503, kPlainHeaders, "unavailable\n");
        return;
    }
    if (!hm.header("Upgrade")) {
        ++counters.refusedNotWebSocket;
        net::reply(c, 426, "", "expected websocket\n");
        net::setDraining(c);
        return;
    }

    const std::string ip = clientAddress(c, hm);
    if (isBanned(ip)) {
        ++counters.refusedBanned;
        log.info("REJECT banned ip=" + logValue(ip));
        net::reply(c, 403, "", "banned\n");
        net::setDraining(c);
        return;
    }
    std::string room = queryVar(hm.query, "room");
    if (room.empty()) {
        ++counters.refusedMissingRoom;
        net::reply(c, 400, "", "missing room\n");
        net::setDraining(c);
        return;
    }

    if (abuse.refuseJoin(c, hm, ip, log, counters)) return;

    const int max = capacity(queryVar(hm.query, "max"));
    if (cluster.placing()) {
        deferJoin(c, hm, ip, room, max);
        return;
    }
    abuse.noteJoin(ip);
    finishJoin(c, hm.query, ip, allocateRoom(room, max), hm, false);
}

void RelayCore::finishJoin(net::Conn* c, std::string_view query, const std::string& ip,
                           std::string instance, const net::HttpMessage& upgrade, bool counted) {
    ConnInfo info;
    info.guid = queryVar(query, "player");
    info.name = queryVar(query, "name");
    info.room = std::move(instance);
    info.ip = ip;
    info.pid = queryVar(query, "pid");
    info.game = queryVar(query, "game");
    info.listed = queryVar(query, "listed") == "1";
    info.owner = queryVar(query, "owner");
    info.category = queryVar(query, "cat");
    info.thumbnail = queryVar(query, "thumb");
    info.conn = c;

    const net::ConnId id = net::connId(c);
    info.connId = id;
    if (cluster.active()) {
        // Unique across the nodes, so that a kick through any node finds it.
        for (std::uint32_t taken; (taken = cluster.takeConnId()) != 0;) {
            if (clusterConnIds.count(taken) || connections.count(taken)) continue;
            info.connId = taken;
            clusterConnIds[taken] = id;
            break;
        }
    }
    const std::string_view display = info.name.empty() ? info.guid : info.name;
    std::string line =
        "JOIN room=" + logValue(info.room) + " player=" + logValue(display) + " ip=" + logValue(ip);
    auto& entry = connections[id];
    if (!entry.room.empty()) {
        rooms.remove(entry.room, id);
        abuse.noteLeave(entry.ip.str());
        if (entry.connId != id) clusterConnIds.erase(entry.connId);
    }
    entry = std::move(info);
    const std::size_t members = rooms.add(entry.room, Member{id, c});
    entry.members = rooms.find(entry.room);
    entry.clusterRoom = cluster.addMember(entry.room.str(), counted);

    net::wsUpgrade(c, upgrade);
    ++counters.joins;
    log.info(line + " (" + std::to_string(members) + " in room)");
}

std::string RelayCore::allocateRoom(const std::string& name, int max) const {
    return rooms.firstWithRoom(name, max);
}

void RelayCore::onGameMessage(net::Conn* c, const net::WsMessage& wm) {
    const net::ConnId sender = net::connId(c);
    auto it = connections.find(sender);
    if (it == connections.end()) return;
    const MemberList* members = it->second.members; // the room's entry, without hashing its name
    if (!members) return;
    if (!abuse.admitMessage(it->second, wm)) return;
    const int opcode = wm.opcode & 0x0F;
    for (const Member& m : *members) {
        if (m.id == sender || !m.conn) continue;
        net::wsSend(m.conn, wm.payload, opcode);
    }
    // Only an instance with members on another node costs a publish.
    if (const cluster::Room* shared = it->second.clusterRoom; shared && shared->remote)
        cluster.publish(*shared, opcode, wm.payload);
}

void RelayCore::onClose(net::Conn* c) {
    const net::ConnId id = net::connId(c);
    if (!pendingJoins.empty()) forgetPendingJoin(id);
    auto it = connections.find(id);
    if (it == connections.end()) return;
    const Bytes room = std::move(it->second.room);
    const Bytes guid = std::move(it->second.guid);
    const char* closedFor = it->second.closedFor;
    if (closedFor == nullptr && net::closeCause(c) == net::CloseCause::unsentOutput)
        closedFor = kUnsentOutput;
    abuse.noteLeave(it->second.ip.str());
    rooms.remove(room, id);
    if (it->second.clusterRoom) cluster.removeMember(room.str());
    if (it->second.connId != id) clusterConnIds.erase(it->second.connId);
    connections.erase(it);
    ++counters.leaves;
    std::string line = "LEAVE room=" + logValue(room) + " player=" + logValue(guid);
    if (closedFor != nullptr) {
        line += " (";
        line += closedFor;
        line += ')';
    }
    log.info(line);
}

} // namespace tnlrelay
