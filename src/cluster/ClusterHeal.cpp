// How a node keeps the registry true when Redis loses part of it (a restart without persistence,
// FLUSHALL, eviction under maxmemory, a key deleted or overwritten by hand): after every link
// return and every few seconds it writes again what it holds, in one script whose size follows
// what the node holds, and says in one ERROR line what had to be repaired. Also here: the
// connection ids the node takes from Redis in blocks, and kicks asked of the other nodes.
#include "Cluster.hpp"
#include "ClusterScripts.hpp"

#include <hiredis/hiredis.h>

#include <algorithm>

namespace tnlrelay::cluster {

std::map<std::string, std::map<std::uint64_t, std::int64_t>> Cluster::claim() {
    // The counts about to be sent replace this node's own: a placement answered after they
    // were sent is not among them.
    ++claims_;
    claimed_.clear();
    std::map<std::string, std::int64_t> members;
    for (const auto& [name, room] : rooms_) {
        const auto n = room.local + static_cast<std::int64_t>(room.joining.size());
        if (n > 0) {
            members[name] = n;
            claimed_[name] = claims_;
        }
    }
    return seatsToClaim(members);
}

bool Cluster::claimedSince(const std::string& instance, std::uint64_t claims) const {
    if (cleared_ > claims) return true;
    auto it = claimed_.find(instance);
    return it != claimed_.end() && it->second > claims;
}

void Cluster::reassert() {
    nextAssert_ = Clock::now() + kReassert;
    if (!placing()) return;
    const auto claimed = claim();
    std::vector<std::string> keys = {keys_.nodes(), keys_.bases(), keys_.banned(), keys_.connIds(),
                                     keys_.node(node_)};
    std::vector<std::string> args = {node_, summary(), std::to_string(kNodeTtlMillis),
                                     std::to_string(idsIssued_)};
    for (const auto& [base, counts] : claimed) {
        keys.push_back(keys_.seats(base));
        args.push_back(base);
        args.push_back(std::to_string(counts.size()));
        for (const auto& [n, count] : counts) {
            args.push_back(std::to_string(n));
            args.push_back(std::to_string(count));
        }
    }
    const std::string keyCount = std::to_string(keys.size());
    std::vector<std::string_view> command = {"EVAL", scripts::kAssert, keyCount};
    command.insert(command.end(), keys.begin(), keys.end());
    command.insert(command.end(), args.begin(), args.end());
    cmd_.command(command, [this](const redisReply* r) {
        if (r == nullptr) return; // the link dropped: the node registers again
        if (isError(r) || r->type != REDIS_REPLY_ARRAY || r->elements != 2 ||
            r->element[0]->type != REDIS_REPLY_ARRAY ||
            r->element[1]->type != REDIS_REPLY_INTEGER) {
            logFailure(assertFailure_,
                       "cluster: Redis refused to take this node's registry entries again (" +
                           errorText(r) + "); trying again every few seconds");
            return;
        }
        assertFailure_.clear();
        std::vector<std::string> repaired;
        for (std::size_t i = 0; i < r->element[0]->elements; ++i)
            repaired.emplace_back(replyText(*r->element[0]->element[i]));
        // Every address this node knows, but those whose change Redis has not taken yet, is
        // one Redis held: fewer there means some were lost.
        const auto held = static_cast<std::size_t>(std::max<long long>(0, r->element[1]->integer));
        const std::size_t stored = bans_.size() - std::min(bans_.size(), unsent_.size());
        if (held < stored) {
            repaired.push_back(keys_.banned() + " (lacked " + std::to_string(stored - held) +
                               " of " + std::to_string(bans_.size()) +
                               " bans and unbans; stored again)");
            storeAllBans();
        } else {
            const std::set<std::string> unsent = unsent_;
            for (const std::string& ip : unsent)
                storeBan(ip);
        }
        reportRepairs(repaired);
    });
}

void Cluster::reportRepairs(const std::vector<std::string>& repaired) {
    if (repaired.empty()) return;
    constexpr std::size_t kNamed = 6;
    std::string line = "cluster: repaired the registry in Redis, which had lost part of it: ";
    for (std::size_t i = 0; i < repaired.size() && i < kNamed; ++i)
        line += (i ? ", " : "") + repaired[i];
    if (repaired.size() > kNamed)
        line += " and " + std::to_string(repaired.size() - kNamed) + " other keys";
    log(true, line);
}

void Cluster::noticeWrongType(const redisReply* r) {
    if (r == nullptr || r->type != REDIS_REPLY_ERROR) return;
    // Repaired at the next turn of the loop rather than of the re-assertion; its line names
    // what was repaired.
    if (errorText(r).find("WRONGTYPE") != std::string::npos) nextAssert_ = Clock::now();
}

void Cluster::logFailure(std::string& last, const std::string& line) {
    if (line == last) return;
    last = line;
    log(true, line);
}

std::uint32_t Cluster::takeConnId() {
    for (;;) {
        if (idNext_ == 0 || idNext_ > idEnd_) {
            idNext_ = spareNext_;
            idEnd_ = spareEnd_;
            spareNext_ = spareEnd_ = 0;
            askIdBlock();
            if (idNext_ == 0) return 0;
        }
        // The counter runs past 32 bits after four billion ids; the low 32 bits, 0 skipped,
        // are the ids (the relay skips one still in use).
        const auto id = static_cast<std::uint32_t>(idNext_++);
        if (id != 0) return id;
    }
}

void Cluster::askIdBlock() {
    if (idBlockAsked_ || spareNext_ != 0 || !placing()) return;
    idBlockAsked_ = true;
    cmd_.command({"INCRBY", keys_.connIds(), std::to_string(kIdBlock)},
                 [this](const redisReply* r) {
                     idBlockAsked_ = false;
                     if (r == nullptr) return;
                     if (r->type != REDIS_REPLY_INTEGER || r->integer < kIdBlock) {
                         noticeWrongType(r);
                         return;
                     }
                     const auto end = static_cast<std::uint64_t>(r->integer);
                     idsIssued_ = std::max(idsIssued_, end);
                     if (idNext_ == 0 || idNext_ > idEnd_) {
                         idNext_ = end - kIdBlock + 1, idEnd_ = end;
                         askIdBlock(); // and a spare
                     } else {
                         spareNext_ = end - kIdBlock + 1, spareEnd_ = end;
                     }
                 });
}

void Cluster::kick(std::uint32_t connId, std::function<void(KickResult)> done) {
    if (!placing()) {
        done(KickResult::unreachable);
        return;
    }
    const std::uint64_t seq = ++nextKick_;
    kicks_[seq] = KickWait{std::move(done), {}, {}, false, Clock::now() + kKickWait};
    // The nodes as Redis has them now (the view may be a second old), then the question; an
    // answer may come before the list.
    cmd_.command({"SMEMBERS", keys_.nodes()}, [this, seq](const redisReply* r) {
        auto it = kicks_.find(seq);
        if (it == kicks_.end()) return;
        KickWait& wait = it->second;
        wait.listed = true;
        if (r != nullptr && r->type == REDIS_REPLY_ARRAY)
            for (std::size_t i = 0; i < r->elements; ++i)
                if (std::string node(replyText(*r->element[i]));
                    node != node_ && !wait.answered.count(node))
                    wait.awaited.insert(std::move(node));
        if (wait.awaited.empty()) endKick(seq, KickResult::heldNowhere);
    });
    cmd_.command({"SPUBLISH", keys_.bansChannel(), encodeKick(node_, connId, seq)},
                 [this, seq](const redisReply* r) {
                     if (isError(r)) endKick(seq, KickResult::unreachable);
                 });
}

void Cluster::onKick(const WireMessage& m) {
    const bool found = hooks_.kick && hooks_.kick(hooks_.user, m.connId);
    cmd_.command({"SPUBLISH", keys_.bansChannel(), encodeKickAnswer(node_, m.node, m.seq, found)});
}

void Cluster::onKickAnswer(const WireMessage& m) {
    if (m.to != node_) return;
    auto it = kicks_.find(m.seq);
    if (it == kicks_.end()) return;
    if (m.found) {
        endKick(m.seq, KickResult::kicked);
        return;
    }
    it->second.answered.insert(m.node);
    it->second.awaited.erase(m.node);
    if (it->second.listed && it->second.awaited.empty()) endKick(m.seq, KickResult::heldNowhere);
}

void Cluster::endKick(std::uint64_t seq, KickResult result) {
    auto it = kicks_.find(seq);
    if (it == kicks_.end()) return;
    auto done = std::move(it->second.done);
    kicks_.erase(it);
    if (done) done(result);
}

} // namespace tnlrelay::cluster
