// Moderation: kicking a player, and bans and unbans, each saved to config.json before its line
// is written; those made on this node are shared with the other nodes of a cluster.
#include "RelayCore.hpp"
#include "text/Text.hpp"

namespace tnlrelay {

void RelayCore::kick(std::uint32_t connId) {
    kickHere(connId);
}

bool RelayCore::kickHere(std::uint32_t connId) {
    auto it = connections.end();
    if (auto mapped = clusterConnIds.find(connId); mapped != clusterConnIds.end())
        it = connections.find(mapped->second);
    else if (auto own = connections.find(connId);
             own != connections.end() && own->second.connId == connId)
        it = own;
    if (it == connections.end() || it->second.conn == nullptr) return false;
    // The entry stays until the close event: that is where the room and the tables let go.
    net::setDraining(it->second.conn);
    ++counters.kicks;
    log.info("KICK connId=" + std::to_string(connId) + " ip=" + detail::logValue(it->second.ip));
    return true;
}

bool RelayCore::kickAnywhere(std::uint32_t connId, std::function<void(bool)> done) {
    const bool here = kickHere(connId);
    if (here || !cluster.active()) {
        done(true);
        return here;
    }
    cluster.kick(connId, [done = std::move(done)](ClusterBridge::KickResult r) {
        done(r != ClusterBridge::KickResult::unreachable);
    });
    return false;
}

bool RelayCore::ban(const std::string& ip, const std::string& name) {
    const bool saved = banHere(ip, name);
    if (cluster.active() && !ip.empty()) cluster.shareBan(ip, store.config().bans[ip]);
    return saved;
}

bool RelayCore::unban(const std::string& ip) {
    const bool saved = unbanHere(ip);
    cluster.shareUnban(ip);
    return saved;
}

void RelayCore::banAnywhere(const std::string& ip, const std::string& name, Shared done) {
    const bool saved = banHere(ip, name);
    if (!cluster.active() || ip.empty()) {
        done(saved, true);
        return;
    }
    cluster.shareBan(ip, store.config().bans[ip],
                     [saved, done = std::move(done)](bool shared) { done(saved, shared); });
}

void RelayCore::unbanAnywhere(const std::string& ip, Shared done) {
    const bool saved = unbanHere(ip);
    cluster.shareUnban(ip, [saved, done = std::move(done)](bool shared) { done(saved, shared); });
}

net::Conn* RelayCore::takeAdminReply(net::ConnId id) {
    auto it = heldAdminReplies.find(id);
    if (it == heldAdminReplies.end()) return nullptr;
    net::Conn* c = it->second;
    heldAdminReplies.erase(it);
    return c;
}

bool RelayCore::banHere(const std::string& ip, const std::string& name) {
    if (ip.empty()) return true;
    // The change is made to the newest version of the file, never over a hand edit.
    pickUpConfigChanges();
    std::string stored = name;
    if (stored.empty()) {
        for (const auto& [id, info] : connections) {
            if (info.ip == ip && !info.name.empty()) {
                stored = info.name;
                break;
            }
        }
    }
    store.config().bans[ip] = stored;
    ++counters.bans;
    // The file is written before the line, so a logged ban is one the next start knows unless
    // an ERROR line follows; a failed save keeps the ban for this run and is retried.
    const bool saved = store.save(counters);
    std::string line = "BAN ip=" + detail::logValue(ip);
    if (!stored.empty()) line += " name=" + detail::logValue(stored);
    log.info(line);
    if (!saved) store.logUnsaved(log, line);
    for (const auto& [id, info] : connections) {
        if (info.ip == ip && info.conn != nullptr) net::setDraining(info.conn);
    }
    return saved;
}

bool RelayCore::unbanHere(const std::string& ip) {
    pickUpConfigChanges();
    if (store.config().bans.erase(ip) == 0) return true;
    ++counters.unbans;
    const bool saved = store.save(counters);
    const std::string line = "UNBAN ip=" + detail::logValue(ip);
    log.info(line);
    if (!saved) store.logUnsaved(log, line);
    return saved;
}

bool RelayCore::isBanned(const std::string& ip) const {
    return store.config().bans.count(ip) != 0;
}

} // namespace tnlrelay
