// Moderation: kicking a player, and bans and unbans, each saved to config.json before its line
// is written; those made on this node are shared with the other nodes of a cluster.
#include "RelayCore.hpp"
#include "text/Text.hpp"

namespace tnlrelay {

bool RelayCore::kick(std::uint32_t connId) {
    auto it = connections.find(connId);
    if (it == connections.end() || it->second.conn == nullptr) return false;
    // The entry stays until the close event: that is where the room and the tables let go.
    net::setDraining(it->second.conn);
    ++counters.kicks;
    log.info("KICK connId=" + std::to_string(connId) + " ip=" + detail::logValue(it->second.ip));
    return true;
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
