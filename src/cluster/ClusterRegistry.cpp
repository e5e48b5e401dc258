// The node's entry in the registry: registering when the link comes up (seats and bans this node
// holds included), the heartbeat that keeps the entry alive, reading the registry back, telling
// the log when the link comes and goes, and leaving at a clean stop.
//
// After the link was down a node clears its seat fields and claims what it really holds. Every
// node reads the registry once a second with a script that also removes the fields of nodes whose
// heartbeat expired, so a dead node's seats are free within its expiry plus that second.
#include "Cluster.hpp"
#include "ClusterScripts.hpp"

#include <hiredis/hiredis.h>

namespace tnlrelay::cluster {

std::string Cluster::summary() const {
    nlohmann::json s = {
        {"incarnation", incarnation_}, {"players", localPlayers()}, {"rooms", rooms_.size()}};
    return s.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::int64_t Cluster::localPlayers() const {
    std::int64_t n = 0;
    for (const auto& [name, room] : rooms_)
        n += room.local;
    return n;
}

void Cluster::reportLink() {
    // One INFO line when the node is linked, one ERROR line when it stops being (or, at start,
    // when Redis cannot be reached): not one per failed attempt.
    const bool up = registered_ && confirmed_ && cmd_.up() && sub_.up();
    const std::string where = cmd_.where();
    if (up && !reportedUp_) {
        reportedUp_ = true;
        reportedDown_ = false;
        log(false, "cluster: linked to Redis " + where + " as node " + node_ + " (" +
                       std::to_string(localPlayers()) + " players here)");
    } else if (!up && !reportedDown_ && !lastError_.empty()) {
        reportedDown_ = true;
        log(true, std::string(reportedUp_ ? "cluster: lost the link to Redis "
                                          : "cluster: cannot reach Redis ") +
                      where + " (" + lastError_ +
                      "); relaying and placing joins on this node alone until it answers");
        reportedUp_ = false;
    }
}

void Cluster::onCommandLink(bool up, const std::string& reason) {
    if (stopped_) return;
    if (up) {
        registerNode();
        return;
    }
    lastError_ = reason;
    registered_ = false;
    confirmed_ = false;
    // Joins waiting for Redis are placed here now; a seat Redis took for them meanwhile is
    // cleared when the node registers again.
    std::set<std::uint64_t> waiting;
    waiting.swap(waiting_);
    cancelled_.clear();
    for (std::uint64_t ticket : waiting)
        if (hooks_.placed) hooks_.placed(hooks_.user, ticket, nullptr);
    // Joins held for the other nodes go ahead: nothing crosses until the link is back.
    const std::set<std::string> holding = joiningRooms_;
    for (const std::string& name : holding)
        if (auto it = rooms_.find(name); it != rooms_.end()) releaseJoins(it->second, true);
    std::vector<std::uint64_t> kicks;
    for (const auto& [seq, wait] : kicks_)
        kicks.push_back(seq);
    for (std::uint64_t seq : kicks)
        endKick(seq, KickResult::unreachable);
    reportLink();
}

void Cluster::onSubscriberLink(bool up, const std::string& reason) {
    if (stopped_) return;
    if (!up) {
        lastError_ = reason;
        for (auto& [name, room] : rooms_) {
            room.subscribed = room.subscribeSent = false;
            room.answered.clear();
        }
        const std::set<std::string> holding = joiningRooms_;
        for (const std::string& name : holding)
            if (auto it = rooms_.find(name); it != rooms_.end()) releaseJoins(it->second, true);
        reportLink();
        return;
    }
    subHeard_ = Clock::now();
    const std::string bans = keys_.bansChannel();
    sub_.send({"SSUBSCRIBE", bans});
    for (auto& [name, room] : rooms_) {
        sub_.send({"SSUBSCRIBE", room.channel});
        room.subscribeSent = true;
    }
    reportLink();
}

void Cluster::registerNode() {
    // Everything below is one pipeline, executed in order before any join sent after it.
    const std::string key = keys_.node(node_);
    const std::string info = summary();
    const std::string ttl = std::to_string(kNodeTtlMillis);
    cmd_.command({"SET", key, info, "PX", ttl}, [this](const redisReply* r) {
        if (isError(r)) {
            if (r) cmd_.fail("Redis refused to register the node: " + errorText(r));
            return;
        }
        confirmed_ = true;
        reportLink();
    });
    const std::string nodes = keys_.nodes(), bases = keys_.bases();
    std::string prefix = keys_.prefix;
    cmd_.command({"SADD", nodes, node_}, [this](const redisReply* r) { noticeWrongType(r); });
    cmd_.command({"EVAL", scripts::kClear, "1", bases, node_, prefix});
    const auto claimed = claim();
    cleared_ = claims_;
    for (const auto& [base, counts] : claimed) {
        const std::string seats = keys_.seats(base);
        std::vector<std::string> fields;
        for (const auto& [n, count] : counts) {
            fields.push_back(seatField(node_, n));
            fields.push_back(std::to_string(count));
        }
        std::vector<std::string_view> args = {"HSET", seats};
        for (const std::string& f : fields)
            args.push_back(f);
        cmd_.command(args, [this](const redisReply* r) { noticeWrongType(r); });
        cmd_.command({"SADD", bases, base}, [this](const redisReply* r) { noticeWrongType(r); });
    }
    // Every ban and unban this node knows (a Redis that restarted has lost them), those made
    // while cut off and those it held before it joined among them, then whatever is newer in
    // the cluster: it was missed while this node was away.
    offerLocalBans();
    storeAllBans();
    cmd_.command({"HGETALL", keys_.banned()}, [this](const redisReply* r) {
        noticeWrongType(r);
        if (isError(r) || r->type != REDIS_REPLY_ARRAY) return;
        for (std::size_t i = 0; i + 1 < r->elements; i += 2) {
            const std::string ip(replyText(*r->element[i]));
            auto entry = decodeBanEntry(replyText(*r->element[i + 1]));
            if (ip.empty() || ip.size() > kMaxIpText || !entry) {
                ++ignored_;
                continue;
            }
            mergeBan(ip, *entry);
        }
    });
    registered_ = true;
    for (auto& [name, room] : rooms_)
        if (room.subscribed) announce(room, true);
    nextHeartbeat_ = Clock::now() + kHeartbeat;
    nextAssert_ = Clock::now() + kReassert;
    refreshView();
    askIdBlock();
}

void Cluster::heartbeat() {
    cmd_.command({"SET", keys_.node(node_), summary(), "PX", std::to_string(kNodeTtlMillis), "GET"},
                 [this](const redisReply* r) {
                     if (r == nullptr || !registered_) return;
                     if (r->type == REDIS_REPLY_ERROR) {
                         noticeWrongType(r);
                         return;
                     }
                     // Expired and cleared by the others (a stall, or Redis lost its data
                     // without closing the link): register again from what this node holds.
                     if (r->type == REDIS_REPLY_NIL) {
                         log(true, "cluster: this node's registration had expired; "
                                   "registering again");
                         registerNode();
                         return;
                     }
                     // Another process heartbeating under the same name: the two would skip
                     // each other's messages and mix their seats.
                     const auto before = nlohmann::json::parse(replyText(*r), nullptr, false);
                     if (!nameClash_ && before.is_object() && before.contains("incarnation") &&
                         before["incarnation"] != incarnation_) {
                         nameClash_ = true;
                         log(true, "cluster: another relay also runs as node " + node_ +
                                       "; give every node its own nodeName, or messages "
                                       "between the two are lost and their seats mixed");
                     }
                 });
}

void Cluster::refreshView() {
    const std::string nodes = keys_.nodes(), bases = keys_.bases();
    const std::string prefix = keys_.prefix;
    cmd_.command(
        {"EVAL", scripts::kView, "2", nodes, bases, prefix, node_}, [this](const redisReply* r) {
            if (isError(r) || r->type != REDIS_REPLY_ARRAY || r->elements != 3) {
                if (r && r->type == REDIS_REPLY_ERROR)
                    logFailure(viewFailure_,
                               "cluster: Redis could not read the registry (" + errorText(r) + ")");
                return;
            }
            viewFailure_.clear();
            const redisReply& infos = *r->element[0];
            const redisReply& flat = *r->element[1];
            const redisReply& removed = *r->element[2];
            if (infos.type != REDIS_REPLY_ARRAY || flat.type != REDIS_REPLY_ARRAY ||
                removed.type != REDIS_REPLY_ARRAY)
                return;
            if (removed.elements > 0) {
                // Keys of the wrong type: gone now, and written again by their owners.
                std::vector<std::string> repaired;
                for (std::size_t i = 0; i < removed.elements; ++i)
                    repaired.push_back(std::string(replyText(*removed.element[i])) +
                                       " (wrong type, removed)");
                reportRepairs(repaired);
                reassert();
            }
            nodes_.clear();
            for (std::size_t i = 0; i + 1 < infos.elements; i += 2) {
                auto info = nlohmann::json::parse(replyText(*infos.element[i + 1]), nullptr, false);
                if (!info.is_object()) info = nlohmann::json::object();
                nodes_[std::string(replyText(*infos.element[i]))] = std::move(info);
            }
            std::vector<std::string> values;
            values.reserve(flat.elements);
            for (std::size_t i = 0; i < flat.elements; ++i)
                values.emplace_back(replyText(*flat.element[i]));
            seats_ = seatsFromView(values);
            // Holders from the registry, plus those that announced themselves lately
            // (the view may have been read just before their join).
            const auto now = Clock::now();
            for (auto& [name, room] : rooms_) {
                for (auto it = room.holders.begin(); it != room.holders.end();)
                    it = now - it->second > kAnnouncedHolderKept ? room.holders.erase(it)
                                                                 : std::next(it);
                for (const std::string& other : holdersOf(seats_, name, node_))
                    room.holders.emplace(other, now - kAnnouncedHolderKept / 2);
                room.remote = !room.holders.empty();
            }
        });
}

void Cluster::tick(Clock::time_point now) {
    if (stopped_) return;
    cmd_.tick(now);
    sub_.tick(now);
    if (!joiningRooms_.empty()) {
        const std::set<std::string> waiting = joiningRooms_;
        for (const std::string& name : waiting)
            if (auto it = rooms_.find(name); it != rooms_.end()) releaseJoins(it->second, false);
    }
    for (auto it = views_.begin(); it != views_.end();) {
        const std::uint64_t seq = it->first;
        const bool late = now >= it->second.deadline;
        ++it;
        if (!late) continue;
        if (views_[seq].counted)
            endView(seq);
        else
            askViewParts(seq);
    }
    for (auto it = kicks_.begin(); it != kicks_.end();) {
        const std::uint64_t seq = it->first;
        const bool late = now >= it->second.deadline;
        ++it;
        if (late) endKick(seq, KickResult::heldNowhere);
    }
    if (placing() && now >= nextAssert_) reassert();
    if (placing() && now >= nextHeartbeat_) {
        nextHeartbeat_ = now + kHeartbeat;
        heartbeat();
        refreshView();
        // The subscribing connection has no answers to wait for, so it is pinged: after a
        // fail-over its old connection may hang without ever being closed.
        if (sub_.up()) {
            if (now - subHeard_ > kSubscriberSilence)
                sub_.fail("Redis does not answer on the subscribing connection");
            else
                sub_.send({"PING"});
        }
    }
}

void Cluster::shutdown() {
    if (stopped_) return;
    if (placing()) {
        // Seats go back now rather than when the heartbeat expires.
        cmd_.command({"EVAL", scripts::kClear, "1", keys_.bases(), node_, keys_.prefix});
        cmd_.command({"DEL", keys_.node(node_)});
        cmd_.command({"SREM", keys_.nodes(), node_});
        for (auto& [name, room] : rooms_)
            if (room.subscribed) announce(room, false);
        cmd_.flushBlocking(std::chrono::milliseconds(500));
    }
    stopped_ = true;
    cmd_.close();
    sub_.close();
}

} // namespace tnlrelay::cluster
