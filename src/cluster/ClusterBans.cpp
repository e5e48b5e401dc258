// Bans shared by the nodes: those made here, stored in Redis and published to the others, and
// those made elsewhere, merged into this node's list.
//
// Bans converge by their time: a node applies an entry that is newer than the one it knows, on
// the channel as it is made and from the hash when it registers (what it missed while cut off);
// an entry made here while Redis was away is stored when the link is back unless the hash holds
// a newer one. Unbans stay in the hash, so that they win over an older ban a node still holds.
#include "Cluster.hpp"
#include "ClusterScripts.hpp"

#include <hiredis/hiredis.h>

#include <algorithm>

namespace tnlrelay::cluster {

void Cluster::shareBan(const std::string& ip, const std::string& name) {
    recordLocalBan(ip, true, name);
}

void Cluster::shareUnban(const std::string& ip) {
    recordLocalBan(ip, false, {});
}

void Cluster::recordLocalBan(const std::string& ip, bool banned, const std::string& name) {
    if (ip.empty() || ip.size() > kMaxIpText) return;
    bans_[ip] = BanEntry{banned, stamp(ip), node_, name};
    unsent_.insert(ip);
    if (placing()) storeBan(ip);
}

std::int64_t Cluster::stamp(const std::string& ip) {
    // Later than anything this node made or knows of the address, so that what an operator does
    // here always replaces what they saw, even when another node's clock runs ahead.
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    std::int64_t t = std::max(now, lastStamp_ + 1);
    if (auto it = bans_.find(ip); it != bans_.end()) t = std::max(t, it->second.time + 1);
    lastStamp_ = t;
    return t;
}

void Cluster::offerLocalBans() {
    if (!hooks_.localBans) return;
    const std::map<std::string, std::string>* local = hooks_.localBans(hooks_.user);
    if (!local) return;
    for (const auto& [ip, name] : *local) {
        if (ip.empty() || ip.size() > kMaxIpText || bans_.count(ip)) continue;
        bans_[ip] = BanEntry{true, 0, node_, name};
        unsent_.insert(ip);
    }
}

void Cluster::storeBan(const std::string& ip) {
    const BanEntry entry = bans_.at(ip);
    cmd_.command({"EVAL", scripts::kStoreBan, "1", keys_.banned(), ip, encodeBanEntry(entry)},
                 [this, ip, entry](const redisReply* r) {
                     if (r == nullptr) return; // sent again when the node registers again
                     auto it = bans_.find(ip);
                     if (it != bans_.end() && it->second == entry) unsent_.erase(ip);
                     if (isError(r)) return;
                     auto held = decodeBanEntry(replyText(*r));
                     if (!held) return;
                     if (*held == entry) {
                         // Stored: the nodes that are linked learn it now, the others when they
                         // register.
                         cmd_.command({"SPUBLISH", keys_.bansChannel(),
                                       entry.banned ? encodeBan(node_, ip, entry.time, entry.name)
                                                    : encodeUnban(node_, ip, entry.time)});
                         return;
                     }
                     mergeBan(ip, *held);
                 });
}

void Cluster::mergeBan(const std::string& ip, const BanEntry& entry) {
    auto it = bans_.find(ip);
    if (!supersedes(entry, it == bans_.end() ? nullptr : &it->second)) return;
    bans_[ip] = entry;
    unsent_.erase(ip);
    if (entry.banned) {
        if (hooks_.ban) hooks_.ban(hooks_.user, ip, entry.name);
    } else if (hooks_.unban) {
        hooks_.unban(hooks_.user, ip);
    }
}

} // namespace tnlrelay::cluster
