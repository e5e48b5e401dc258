// The relay's side of a cluster of nodes on one Redis: joins held until Redis has placed them,
// messages from the other nodes, and the hooks through which the cluster reaches the core (bans
// made elsewhere among them). Whether this build has a cluster is the bridge's business alone.
#include "RelayCore.hpp"

namespace tnlrelay {

namespace {

RelayCore* coreOf(void* user) {
    return static_cast<RelayCore*>(user);
}

} // namespace

void RelayCore::startCluster() {
    cluster::Hooks hooks;
    hooks.user = this;
    hooks.deliver = [](void* u, const std::string& instance, int opcode, std::string_view bytes) {
        coreOf(u)->deliverFromCluster(instance, opcode, bytes);
    };
    hooks.placed = [](void* u, std::uint64_t ticket, const std::string* instance) {
        coreOf(u)->onPlaced(ticket, instance);
    };
    hooks.ban = [](void* u, const std::string& ip, const std::string& name) {
        RelayCore& core = *coreOf(u);
        auto it = core.store.config().bans.find(ip);
        if (it == core.store.config().bans.end() || it->second != name) core.banHere(ip, name);
        for (const auto& [id, info] : core.connections)
            if (info.ip == ip && info.conn != nullptr) net::setDraining(info.conn);
    };
    hooks.unban = [](void* u, const std::string& ip) { coreOf(u)->unbanHere(ip); };
    hooks.localBans = [](void* u) -> const std::map<std::string, std::string>* {
        return &coreOf(u)->store.config().bans;
    };
    hooks.kick = [](void* u, std::uint32_t connId) { return coreOf(u)->kickHere(connId); };
    hooks.players = [](void* u, std::size_t offset, std::size_t limit) {
        return coreOf(u)->playersPage(offset, limit);
    };
    hooks.log = [](void* u, bool error, const std::string& line) {
        if (error)
            coreOf(u)->log.error(line);
        else
            coreOf(u)->log.info(line);
    };
    cluster.start(*loop, store.config(), listenGamePort, log, hooks);
}

void RelayCore::deferJoin(net::Conn* c, const net::HttpMessage& hm, const std::string& ip,
                          const std::string& room, int max) {
    const std::uint64_t ticket = cluster.place(room, max);
    abuse.noteJoin(ip);
    if (ticket == 0) {
        finishJoin(c, hm.query, ip, allocateRoom(room, max), hm, false);
        return;
    }
    // Answered when Redis has placed it; the connection reads nothing more until then.
    net::deferReply(c);
    pendingJoins.hold(ticket, c, hm, ip, room, max);
}

void RelayCore::onPlaced(std::uint64_t ticket, const std::string* instance) {
    std::optional<PendingJoins::Join> p = pendingJoins.take(ticket);
    if (!p) return;
    // The upgrade answer needs only these two headers of the request.
    net::HttpMessage upgrade;
    upgrade.headers.emplace_back("Sec-WebSocket-Key", p->key);
    if (p->hasProtocol) upgrade.headers.emplace_back("Sec-WebSocket-Protocol", p->protocol);
    const bool counted = instance != nullptr;
    std::string room = counted ? *instance : allocateRoom(p->room, p->max);
    finishJoin(p->conn, p->query, p->ip, std::move(room), upgrade, counted);
}

void RelayCore::forgetPendingJoin(net::ConnId id) {
    std::optional<PendingJoins::Join> p = pendingJoins.release(id);
    if (!p) return;
    abuse.noteLeave(p->ip);
    cluster.cancel(p->ticket);
}

void RelayCore::deliverFromCluster(const std::string& instance, int opcode,
                                   std::string_view bytes) {
    const MemberList* members = rooms.find(instance);
    if (!members) return;
    const net::Payload payload(bytes.data(), bytes.size(), nullptr);
    for (const Member& m : *members)
        if (m.conn) net::wsSend(m.conn, payload, opcode);
}

} // namespace tnlrelay
