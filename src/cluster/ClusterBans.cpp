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

#include "text/Text.hpp"

#include <algorithm>

namespace tnlrelay::cluster {

void Cluster::shareBan(const std::string& ip, const std::string& name, Done done) {
    recordLocalBan(ip, true, name, std::move(done));
}

void Cluster::shareUnban(const std::string& ip, Done done) {
    recordLocalBan(ip, false, {}, std::move(done));
}

void Cluster::recordLocalBan(const std::string& ip, bool banned, const std::string& name,
                             Done done) {
    if (ip.empty() || ip.size() > kMaxIpText) {
        if (done) done(true);
        return;
    }
    bans_[ip] = BanEntry{banned, stamp(ip), node_, name};
    unsent_.insert(ip);
    if (done) banWaiting_[ip].push_back(std::move(done));
    if (placing()) {
        storeBan(ip);
    } else {
        retrying_.insert(ip); // said when Redis has it
        settleBan(ip, false);
    }
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

void Cluster::storeAllBans() {
    for (const auto& [ip, entry] : bans_)
        storeBan(ip);
}

void Cluster::storeBan(const std::string& ip) {
    const BanEntry entry = bans_.at(ip);
    cmd_.command(
        {"EVAL", scripts::kStoreBan, "1", keys_.banned(), ip, encodeBanEntry(entry)},
        [this, ip, entry](const redisReply* r) {
            auto it = bans_.find(ip);
            const bool current = it != bans_.end() && it->second == entry;
            if (isError(r)) {
                // Kept in `unsent_`: stored again with the next re-assertion, or
                // when the node registers again.
                noticeWrongType(r);
                if (current && r != nullptr && retrying_.insert(ip).second)
                    log(true, "cluster: Redis could not store the " +
                                  std::string(entry.banned ? "ban" : "unban") +
                                  " of ip=" + detail::logValue(ip) + " (" + errorText(r) +
                                  "); it holds on this node and is stored again "
                                  "every few seconds until Redis takes it");
                if (current) settleBan(ip, false);
                return;
            }
            if (current) unsent_.erase(ip);
            if (current && retrying_.erase(ip))
                log(false, "cluster: the " + std::string(entry.banned ? "ban" : "unban") +
                               " of ip=" + detail::logValue(ip) + " is stored in Redis now");
            if (current) settleBan(ip, true);
            if (r->type != REDIS_REPLY_ARRAY || r->elements != 2 ||
                r->element[1]->type != REDIS_REPLY_INTEGER)
                return;
            auto held = decodeBanEntry(replyText(*r->element[0]));
            if (!held) return;
            if (*held == entry) {
                if (r->element[1]->integer == 0) return; // Redis had it already
                // Stored: the nodes that are linked learn it now, the others when they
                // register.
                // Under the name of the node that made it, which may be another
                // one (this node stores again what Redis lost).
                cmd_.command({"SPUBLISH", keys_.bansChannel(),
                              entry.banned ? encodeBan(entry.node, ip, entry.time, entry.name)
                                           : encodeUnban(entry.node, ip, entry.time)});
                return;
            }
            mergeBan(ip, *held);
        });
}

void Cluster::settleBan(const std::string& ip, bool stored) {
    auto it = banWaiting_.find(ip);
    if (it == banWaiting_.end()) return;
    std::vector<Done> waiting = std::move(it->second);
    banWaiting_.erase(it);
    for (Done& done : waiting)
        done(stored);
}

void Cluster::mergeBan(const std::string& ip, const BanEntry& entry) {
    auto it = bans_.find(ip);
    if (!supersedes(entry, it == bans_.end() ? nullptr : &it->second)) return;
    bans_[ip] = entry;
    unsent_.erase(ip);
    settleBan(ip, true); // a newer change from elsewhere decides the address
    if (entry.banned) {
        if (hooks_.ban) hooks_.ban(hooks_.user, ip, entry.name);
    } else if (hooks_.unban) {
        hooks_.unban(hooks_.user, ip);
    }
}

} // namespace tnlrelay::cluster
