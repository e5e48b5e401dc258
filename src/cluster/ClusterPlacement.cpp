// Placing joins in room instances across the nodes, and the instance channels: this node's
// members per instance, the messages it publishes and receives, and the presence of other nodes.
//
// A join is placed by one script that reads the seat hashes and takes the seat in the same step,
// so two nodes never fill the same last seat. Counts change by one per join and leave.
//
// Messages: a node publishes a member's message on the instance channel only while another node
// holds members of that instance (from the registry, or announced by presence on the channel);
// receivers deliver to their local members and skip what they published themselves. Publish and
// subscribe deliver at most once: what is published while a link is down is lost.
#include "Cluster.hpp"
#include "ClusterScripts.hpp"

#include <hiredis/hiredis.h>

#include <algorithm>

namespace tnlrelay::cluster {

std::uint64_t Cluster::place(const std::string& room, int max) {
    const std::uint64_t ticket = ++nextTicket_;
    const InstanceRef first = splitInstance(room);
    const std::string requested = keys_.seats(room), firstKey = keys_.seats(first.base);
    const std::string bases = keys_.bases(), maxText = std::to_string(max),
                      n0 = std::to_string(first.n);
    waiting_.insert(ticket);
    const std::uint64_t claims = claims_;
    const bool sent = cmd_.command({"EVAL", scripts::kPlace, "3", requested, firstKey, bases, node_,
                                    maxText, n0, room, first.base},
                                   [this, ticket, room, claims](const redisReply* r) {
                                       onPlacement(ticket, room, claims, r);
                                   });
    if (!sent) {
        waiting_.erase(ticket);
        return 0;
    }
    return ticket;
}

void Cluster::onPlacement(std::uint64_t ticket, const std::string& room, std::uint64_t claims,
                          const redisReply* r) {
    if (r == nullptr) return; // the link dropped: every waiting join was placed here
    if (waiting_.erase(ticket) == 0) return;
    const bool cancelled = cancelled_.erase(ticket) != 0;
    if (isError(r) || r->type != REDIS_REPLY_ARRAY || r->elements != 4 ||
        r->element[0]->type != REDIS_REPLY_INTEGER) {
        if (r->type == REDIS_REPLY_ERROR)
            logFailure(placeFailure_, "cluster: Redis could not place joins (" + errorText(r) +
                                          "); placing them on this node alone meanwhile");
        if (!cancelled && hooks_.placed) hooks_.placed(hooks_.user, ticket, nullptr);
        return;
    }
    if (r->element[3]->type == REDIS_REPLY_ARRAY && r->element[3]->elements > 0) {
        std::vector<std::string> repaired;
        for (std::size_t i = 0; i < r->element[3]->elements; ++i)
            repaired.push_back(std::string(replyText(*r->element[3]->element[i])) +
                               " (wrong type, replaced)");
        reportRepairs(repaired);
        reassert();
    }
    placeFailure_.clear();
    std::string nText(replyText(*r->element[1]));
    std::string instance = r->element[0]->integer == 1 ? room : room + "#" + nText;
    const InstanceRef ref = splitInstance(instance);
    // A claim sent after this placement and answered before it set this node's seats
    // without this one: it is taken again, or not given back.
    const bool overwritten = claimedSince(instance, claims);
    if (cancelled) {
        if (!overwritten)
            cmd_.command({"EVAL", scripts::kLeave, "2", keys_.seats(ref.base), keys_.bases(), node_,
                          std::to_string(ref.n), ref.base});
        return;
    }
    if (overwritten) {
        cmd_.command({"HINCRBY", keys_.seats(ref.base), seatField(node_, ref.n), "1"});
        cmd_.command({"SADD", keys_.bases(), ref.base});
    }
    Room& held = roomFor(instance);
    const redisReply& others = *r->element[2];
    if (others.type == REDIS_REPLY_ARRAY) {
        for (std::size_t i = 0; i < others.elements; ++i) {
            std::string other(replyText(*others.element[i]));
            held.holders[other] = Clock::now();
            // It heard of this node only if it answered an announcement since.
            if (!held.answered.count(other)) held.awaited.insert(std::move(other));
        }
        held.remote = !held.holders.empty();
    }
    if (held.joining.empty()) held.joinDeadline = Clock::now() + kJoinWait;
    held.joining.push_back(ticket);
    joining_[ticket] = instance;
    joiningRooms_.insert(instance);
    if (!held.subscribeSent) {
        held.subscribeSent = true;
        sub_.send({"SSUBSCRIBE", held.channel});
    } else if (held.subscribed && !held.awaited.empty()) {
        announce(held, true); // the awaited nodes answer it
    }
    releaseJoins(held, false);
}

Room& Cluster::roomFor(const std::string& instance) {
    auto [it, fresh] = rooms_.try_emplace(instance);
    if (fresh) {
        it->second.instance = instance;
        it->second.channel = keys_.roomChannel(instance);
    }
    return it->second;
}

void Cluster::releaseJoins(Room& room, bool now) {
    if (room.joining.empty()) {
        joiningRooms_.erase(room.instance);
        return;
    }
    const bool ready = room.subscribed && room.awaited.empty();
    if (!now && !ready && placing() && Clock::now() < room.joinDeadline) return;
    std::vector<std::uint64_t> tickets;
    tickets.swap(room.joining);
    room.awaited.clear();
    const std::string instance = room.instance;
    joiningRooms_.erase(instance);
    // Each answer adds the member through `addMember`; the room stays (it has a join).
    for (std::uint64_t ticket : tickets) {
        joining_.erase(ticket);
        if (hooks_.placed) hooks_.placed(hooks_.user, ticket, &instance);
    }
    dropIfUnused(instance);
}

void Cluster::dropIfUnused(const std::string& instance) {
    auto it = rooms_.find(instance);
    if (it == rooms_.end() || it->second.local > 0 || !it->second.joining.empty()) return;
    if (it->second.subscribed) announce(it->second, false);
    if (it->second.subscribeSent) sub_.send({"SUNSUBSCRIBE", it->second.channel});
    rooms_.erase(it);
}

void Cluster::cancel(std::uint64_t ticket) {
    if (waiting_.count(ticket)) {
        cancelled_.insert(ticket);
        return;
    }
    auto j = joining_.find(ticket);
    if (j == joining_.end()) return;
    const std::string instance = j->second;
    joining_.erase(j);
    auto it = rooms_.find(instance);
    if (it == rooms_.end()) return;
    auto& tickets = it->second.joining;
    tickets.erase(std::remove(tickets.begin(), tickets.end(), ticket), tickets.end());
    if (placing()) {
        const InstanceRef ref = splitInstance(instance);
        cmd_.command({"EVAL", scripts::kLeave, "2", keys_.seats(ref.base), keys_.bases(), node_,
                      std::to_string(ref.n), ref.base});
    }
    if (tickets.empty()) joiningRooms_.erase(instance);
    dropIfUnused(instance);
}

const Room* Cluster::addMember(const std::string& instance, bool counted) {
    (void)counted; // a seat placed here alone is claimed when the node registers again
    Room& room = roomFor(instance);
    ++room.local;
    if (!room.subscribeSent) {
        room.subscribeSent = true;
        sub_.send({"SSUBSCRIBE", room.channel});
    }
    return &room;
}

void Cluster::removeMember(const std::string& instance) {
    auto it = rooms_.find(instance);
    if (it == rooms_.end()) return;
    Room& room = it->second;
    if (placing()) {
        const InstanceRef ref = splitInstance(instance);
        cmd_.command({"EVAL", scripts::kLeave, "2", keys_.seats(ref.base), keys_.bases(), node_,
                      std::to_string(ref.n), ref.base},
                     [this](const redisReply* r) { noticeWrongType(r); });
    }
    if (--room.local > 0) return;
    dropIfUnused(instance);
}

void Cluster::announce(const Room& room, bool present) {
    if (!placing()) return;
    cmd_.command({"SPUBLISH", room.channel, encodePresence(node_, present)});
}

void Cluster::publish(const Room& room, int opcode, std::string_view bytes) {
    if (!cmd_.up()) return; // at most once: lost while the link is down
    const std::string payload = encodeMessage(node_, opcode, bytes);
    cmd_.command({"SPUBLISH", room.channel, payload});
}

void Cluster::onPush(const redisReply& r) {
    // Any answer proves the subscribing connection alive, the pong of its ping included.
    subHeard_ = Clock::now();
    if (r.type != REDIS_REPLY_ARRAY || r.elements < 3) return;
    for (std::size_t i = 0; i < 3; ++i)
        if (r.element[i]->type != REDIS_REPLY_STRING && r.element[i]->type != REDIS_REPLY_INTEGER)
            return;
    const std::string_view kind = replyText(*r.element[0]);
    const std::string_view channel = replyText(*r.element[1]);
    if (kind == "smessage") {
        onChannelMessage(channel, replyText(*r.element[2]));
    } else if (kind == "ssubscribe") {
        auto it = rooms_.find(
            std::string(channel.substr(std::min(channel.size(), keys_.roomChannel("").size()))));
        if (it != rooms_.end() && it->second.channel == channel && !it->second.subscribed) {
            it->second.subscribed = true;
            announce(it->second, true);
            releaseJoins(it->second, false);
        }
    }
}

void Cluster::onChannelMessage(std::string_view channel, std::string_view payload) {
    auto m = decode(payload);
    if (!m || !validNodeName(m->node)) {
        ++ignored_;
        return;
    }
    if (m->node == node_) return; // what this node published itself
    if (channel == keys_.bansChannel()) {
        if (m->kind == WireMessage::Kind::ban || m->kind == WireMessage::Kind::unban)
            mergeBan(m->ip, BanEntry{m->kind == WireMessage::Kind::ban, m->time, m->node,
                                     std::string(m->bytes)});
        else if (m->kind == WireMessage::Kind::kick)
            onKick(*m);
        else if (m->kind == WireMessage::Kind::kickAnswer)
            onKickAnswer(*m);
        else if (m->kind == WireMessage::Kind::view)
            onViewRequest(*m);
        else if (m->kind == WireMessage::Kind::viewAnswer)
            onViewAnswer(*m);
        else
            ++ignored_;
        return;
    }
    const std::string prefix = keys_.roomChannel("");
    if (!channel.starts_with(prefix)) {
        ++ignored_;
        return;
    }
    const std::string instance(channel.substr(prefix.size()));
    auto it = rooms_.find(instance);
    if (it == rooms_.end()) return; // left meanwhile
    Room& room = it->second;
    switch (m->kind) {
    case WireMessage::Kind::message:
        if (hooks_.deliver) hooks_.deliver(hooks_.user, instance, m->opcode, m->bytes);
        break;
    case WireMessage::Kind::presence: {
        const bool known = room.holders.count(m->node) != 0;
        if (m->present) {
            room.holders[m->node] = Clock::now();
        } else {
            room.holders.erase(m->node);
            room.answered.erase(m->node);
            room.awaited.erase(m->node);
        }
        room.remote = !room.holders.empty();
        if (!m->present) {
            releaseJoins(room, false);
            break;
        }
        // An announcement is answered, so that the announcing node knows this one publishes
        // to it; so is any presence of a node this one did not know, which may wait for it.
        if (m->to.empty() || !known)
            cmd_.command({"SPUBLISH", room.channel, encodePresenceAnswer(node_, m->node)});
        // A node awaited that announces itself may have missed this node's announcement (it
        // subscribed later): announced again, for it to answer.
        if (m->to.empty() && room.awaited.count(m->node)) announce(room, true);
        if (m->to == node_) {
            // It publishes what its members send from now on: joins waiting for it may go.
            room.answered.insert(m->node);
            room.awaited.erase(m->node);
            releaseJoins(room, false); // last: the room may be gone afterwards
        }
        break;
    }
    default:
        ++ignored_;
    }
}

bool Cluster::roomTotals(std::map<std::string, std::int64_t>& totals) const {
    if (!placing()) return false;
    totals.clear();
    for (const auto& [base, instances] : seats_) {
        for (const auto& [n, holders] : instances) {
            std::int64_t sum = 0;
            for (const auto& [node, count] : holders)
                if (node != node_) sum += count;
            if (sum > 0) totals[instanceName(base, n)] += sum;
        }
    }
    for (const auto& [name, room] : rooms_)
        if (room.local > 0) totals[name] += room.local;
    return true;
}

} // namespace tnlrelay::cluster
