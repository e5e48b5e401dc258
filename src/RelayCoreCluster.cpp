// The relay's side of a cluster of nodes on one Redis: starting the link, joins placed by Redis
// and answered when it has, messages to and from the other nodes, bans shared with them, and the
// cluster's part of the room list and the state document. Without `clusterRedis` none of it runs.
#include "RelayCore.hpp"
#include "Text.hpp"

#ifdef TNLRELAY_CLUSTER
#include "cluster/Cluster.hpp"
#include "platform/Platform.hpp"
#endif

namespace tnlrelay {

using detail::logValue;

bool RelayCore::ban(const std::string& ip, const std::string& name) {
    const bool saved = banHere(ip, name);
#ifdef TNLRELAY_CLUSTER
    if (cluster_ && !ip.empty()) cluster_->shareBan(ip, store.config().bans[ip]);
#endif
    return saved;
}

bool RelayCore::unban(const std::string& ip) {
    const bool saved = unbanHere(ip);
#ifdef TNLRELAY_CLUSTER
    if (cluster_) cluster_->shareUnban(ip);
#endif
    return saved;
}

#ifdef TNLRELAY_CLUSTER

void RelayCore::ClusterDeleter::operator()(cluster::Cluster* c) const {
    delete c;
}

namespace {

RelayCore* coreOf(void* user) {
    return static_cast<RelayCore*>(user);
}

std::string hostName() {
    std::string name = platform::hostName();
    return name.empty() ? "relay" : name;
}

} // namespace

void RelayCore::startCluster() {
    const auto redisText = store.config().value<std::string>("clusterRedis");
    if (!redisText) {
        if (store.config().find("clusterRedis"))
            log.error("clusterRedis must be a \"host:port\" text; running as a single node");
        return;
    }
    auto redis = cluster::parseRedisAddress(*redisText);
    if (!redis) {
        log.error("clusterRedis " + logValue(*redisText) +
                  " is not host:port; running as a single node");
        return;
    }
    // The secret is never written anywhere: not in a line, not in the state document.
    if (auto password = store.config().value<std::string>("clusterRedisPassword"))
        redis->password = *password;
    else if (store.config().find("clusterRedisPassword"))
        log.error("clusterRedisPassword must be a text; connecting without a login");
    if (auto user = store.config().value<std::string>("clusterRedisUser")) {
        if (redis->password.empty())
            log.error("clusterRedisUser is ignored without clusterRedisPassword");
        else
            redis->user = *user;
    }
    std::string node = hostName() + ":" + std::to_string(listenGamePort);
    if (auto named = store.config().value<std::string>("nodeName")) {
        if (cluster::validNodeName(*named))
            node = *named;
        else
            log.error("nodeName " + logValue(*named) +
                      " is not usable (1 to 255 bytes, no "
                      "control characters); using " +
                      logValue(node));
    }
    std::string clusterName;
    if (auto named = store.config().value<std::string>("clusterName")) {
        if (cluster::validNodeName(*named))
            clusterName = *named;
        else
            log.error("clusterName " + logValue(*named) +
                      " is not usable (1 to 255 bytes, no control characters); using none");
    }
    cluster::Cluster::Hooks hooks;
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
    hooks.log = [](void* u, bool error, const std::string& line) {
        if (error)
            coreOf(u)->log.error(line);
        else
            coreOf(u)->log.info(line);
    };
    log.info("cluster: node " + logValue(node) + " joins through Redis " + logValue(*redisText));
    cluster_.reset(new cluster::Cluster(*loop, *redis, node, cluster::keysFor(clusterName), hooks));
    cluster_->tick(std::chrono::steady_clock::now());
}

bool RelayCore::clusterPlaces() const {
    return cluster_ && cluster_->placing();
}

void RelayCore::deferJoin(net::Conn* c, const net::HttpMessage& hm, const std::string& ip,
                          const std::string& room, int max) {
    const std::uint64_t ticket = cluster_->place(room, max);
    abuse.noteJoin(ip);
    if (ticket == 0) {
        finishJoin(c, hm.query, ip, allocateRoom(room, max), hm, false);
        return;
    }
    // Answered when Redis has placed it; the connection reads nothing more until then.
    net::deferReply(c);
    PendingJoin& p = pendingJoins[ticket];
    p.conn = c;
    p.query = hm.query;
    p.ip = ip;
    p.room = room;
    if (const auto* key = hm.header("Sec-WebSocket-Key")) p.key = *key;
    if (const auto* protocol = hm.header("Sec-WebSocket-Protocol")) {
        p.protocol = *protocol;
        p.hasProtocol = true;
    }
    p.max = max;
    pendingByConn[net::connId(c)] = ticket;
}

void RelayCore::onPlaced(std::uint64_t ticket, const std::string* instance) {
    auto it = pendingJoins.find(ticket);
    if (it == pendingJoins.end()) return;
    PendingJoin p = std::move(it->second);
    pendingJoins.erase(it);
    pendingByConn.erase(net::connId(p.conn));
    // The upgrade answer needs only these two headers of the request.
    net::HttpMessage upgrade;
    upgrade.headers.emplace_back("Sec-WebSocket-Key", p.key);
    if (p.hasProtocol) upgrade.headers.emplace_back("Sec-WebSocket-Protocol", p.protocol);
    const bool counted = instance != nullptr;
    std::string room = counted ? *instance : allocateRoom(p.room, p.max);
    finishJoin(p.conn, p.query, p.ip, std::move(room), upgrade, counted);
}

void RelayCore::forgetPendingJoin(net::ConnId id) {
    auto it = pendingByConn.find(id);
    if (it == pendingByConn.end()) return;
    auto p = pendingJoins.find(it->second);
    if (p != pendingJoins.end()) {
        abuse.noteLeave(p->second.ip);
        pendingJoins.erase(p);
    }
    if (cluster_) cluster_->cancel(it->second);
    pendingByConn.erase(it);
}

const cluster::Room* RelayCore::clusterJoined(const std::string& instance, bool counted) {
    return cluster_->addMember(instance, counted);
}

void RelayCore::clusterLeft(const std::string& instance) {
    if (cluster_) cluster_->removeMember(instance);
}

void RelayCore::clusterPublish(const cluster::Room& room, int opcode, const net::Payload& payload) {
    cluster_->publish(room, opcode, std::string_view(payload.data(), payload.size()));
}

bool RelayCore::clusterRoomTotals(std::map<std::string, std::int64_t>& totals) const {
    return cluster_ && cluster_->roomTotals(totals);
}

nlohmann::json RelayCore::clusterState() const {
    return cluster_ ? cluster_->state() : nlohmann::json();
}

void RelayCore::deliverFromCluster(const std::string& instance, int opcode,
                                   std::string_view bytes) {
    const MemberList* members = rooms.find(instance);
    if (!members) return;
    const net::Payload payload(bytes.data(), bytes.size(), nullptr);
    for (const Member& m : *members)
        if (m.conn) net::wsSend(m.conn, payload, opcode);
}

#else // no cluster in this build

void RelayCore::ClusterDeleter::operator()(cluster::Cluster*) const {}

void RelayCore::startCluster() {
    if (store.config().find("clusterRedis"))
        log.error("clusterRedis is ignored: this build of the relay has no cluster support "
                  "(hiredis); it runs as a single node");
}

bool RelayCore::clusterPlaces() const {
    return false;
}
void RelayCore::deferJoin(net::Conn*, const net::HttpMessage&, const std::string&,
                          const std::string&, int) {}
void RelayCore::onPlaced(std::uint64_t, const std::string*) {}
void RelayCore::forgetPendingJoin(net::ConnId) {}
const cluster::Room* RelayCore::clusterJoined(const std::string&, bool) {
    return nullptr;
}
void RelayCore::clusterLeft(const std::string&) {}
void RelayCore::clusterPublish(const cluster::Room&, int, const net::Payload&) {}
void RelayCore::deliverFromCluster(const std::string&, int, std::string_view) {}
bool RelayCore::clusterRoomTotals(std::map<std::string, std::int64_t>&) const {
    return false;
}
nlohmann::json RelayCore::clusterState() const {
    return nlohmann::json();
}

#endif

} // namespace tnlrelay
