// The node's part in the cluster. What Redis holds (every name begins with "tnlrelay:", followed
// by "<clusterName>:" for a cluster that has a name of its own):
//
//   nodes              set    names of registered nodes
//   node:<node>        string the node's summary (JSON); expires 5 s after its last heartbeat
//   bases              set    base names that have seats somewhere
//   seats:<base>       hash   "<node>\n<n>" -> members that node holds in instance n of base
//                             (instance 1 is the base itself, n >= 2 is "<base>#<n>")
//   banlist            hash   ip -> the latest ban or unban of the address (see BanEntry)
//   room:<instance>    shard channel: messages and presence of one instance
//   bans               shard channel: bans and unbans as they are made
//
// Bans converge by their time: a node applies an entry that is newer than the one it knows, on
// the channel as it is made and from the hash when it registers (what it missed while cut off);
// an entry made here while Redis was away is stored when the link is back unless the hash holds
// a newer one. Unbans stay in the hash, so that they win over an older ban a node still holds.
//
// A join is placed by one script that reads the seat hashes and takes the seat in the same step,
// so two nodes never fill the same last seat. Counts change by one per join and leave; after the
// link was down a node clears its fields and claims what it really holds. Every node reads the
// registry once a second with a script that also removes the fields of nodes whose heartbeat
// expired, so a dead node's seats are free within its expiry plus that second.
//
// Messages: a node publishes a member's message on the instance channel only while another node
// holds members of that instance (from the registry, or announced by presence on the channel);
// receivers deliver to their local members and skip what they published themselves. Publish and
// subscribe deliver at most once: what is published while a link is down is lost.
//
// The scripts touch keys they are not given (node and seat keys found by name), so the registry
// wants one Redis (or one shard); the instance channels are sharded and spread over a cluster.
#include "Cluster.hpp"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <random>

namespace tnlrelay::cluster {

namespace {

/// KEYS: seats of the requested name, seats of its first instance's base, bases.
/// ARGV: node, max, the first instance's number, the requested name, the first instance's base.
/// Returns {1 when the first instance was taken else 0, n, other nodes holding that instance}.
constexpr const char* kPlaceScript = R"(
local node, max, n0 = ARGV[1], tonumber(ARGV[2]), ARGV[3]
local function totals(key)
  local t = {}
  local h = redis.call('HGETALL', key)
  for i = 1, #h, 2 do
    local p = string.find(h[i], '\n[^\n]*$')
    local c = tonumber(h[i + 1])
    if p and c then
      local n = string.sub(h[i], p + 1)
      t[n] = (t[n] or 0) + c
    end
  end
  return t
end
local key, base, n, first = KEYS[2], ARGV[5], n0, 1
if (totals(KEYS[2])[n0] or 0) >= max then
  local t = totals(KEYS[1])
  local m = 2
  while (t[tostring(m)] or 0) >= max do m = m + 1 end
  key, base, n, first = KEYS[1], ARGV[4], tostring(m), 0
end
redis.call('HINCRBY', key, node .. '\n' .. n, 1)
redis.call('SADD', KEYS[3], base)
local others = {}
local h = redis.call('HGETALL', key)
for i = 1, #h, 2 do
  local p = string.find(h[i], '\n[^\n]*$')
  if p and string.sub(h[i], p + 1) == n then
    local who = string.sub(h[i], 1, p - 1)
    if who ~= node and (tonumber(h[i + 1]) or 0) > 0 then others[#others + 1] = who end
  end
end
return {first, n, others}
)";

/// KEYS: the ban hash. ARGV: address, entry. Stores the entry unless the one held is newer, in
/// the order of `supersedes`; returns the entry held afterwards.
constexpr const char* kStoreBanScript = R"(
local function parse(v)
  local t, s, n, name = string.match(v, '^(%d+)\n([BU])\n([^\n]*)\n(.*)$')
  if not t then return nil end
  return {tonumber(t), s == 'B' and 1 or 0, n, name}
end
local function less(a, b)
  for i = 1, math.min(#a, #b) do
    local x, y = string.byte(a, i), string.byte(b, i)
    if x ~= y then return x < y end
  end
  return #a < #b
end
local new = parse(ARGV[2])
local old = redis.call('HGET', KEYS[1], ARGV[1])
if not new then return old end
local held = old and parse(old)
local wins = true
if held then
  if new[1] ~= held[1] then wins = new[1] > held[1]
  elseif new[2] ~= held[2] then wins = new[2] > held[2]
  elseif new[3] ~= held[3] then wins = less(held[3], new[3])
  else wins = less(held[4], new[4]) end
end
if wins then
  redis.call('HSET', KEYS[1], ARGV[1], ARGV[2])
  return ARGV[2]
end
return old
)";

/// KEYS: seats of the base, bases. ARGV: node, n, base.
constexpr const char* kLeaveScript = R"(
local f = ARGV[1] .. '\n' .. ARGV[2]
local c = redis.call('HINCRBY', KEYS[1], f, -1)
if c <= 0 then redis.call('HDEL', KEYS[1], f) end
if redis.call('EXISTS', KEYS[1]) == 0 then redis.call('SREM', KEYS[2], ARGV[3]) end
return c
)";

/// KEYS: bases. ARGV: node, key prefix. Removes every seat field of the node.
constexpr const char* kClearScript = R"(
local gone = 0
for _, b in ipairs(redis.call('SMEMBERS', KEYS[1])) do
  local key = ARGV[2] .. 'seats:' .. b
  for _, f in ipairs(redis.call('HKEYS', key)) do
    local p = string.find(f, '\n[^\n]*$')
    if p and string.sub(f, 1, p - 1) == ARGV[1] then
      redis.call('HDEL', key, f)
      gone = gone + 1
    end
  end
  if redis.call('EXISTS', key) == 0 then redis.call('SREM', KEYS[1], b) end
end
return gone
)";

/// KEYS: nodes, bases. ARGV: key prefix, this node. Returns {{node, summary, ...},
/// {base, node, n, count, ...}} after removing the nodes whose heartbeat expired and their seats.
constexpr const char* kViewScript = R"(
local prefix = ARGV[1]
local alive, infos, seats = {}, {}, {}
alive[ARGV[2]] = true
for _, nd in ipairs(redis.call('SMEMBERS', KEYS[1])) do
  local info = redis.call('GET', prefix .. 'node:' .. nd)
  if info then
    alive[nd] = true
    infos[#infos + 1] = nd
    infos[#infos + 1] = info
  else
    redis.call('SREM', KEYS[1], nd)
  end
end
for _, b in ipairs(redis.call('SMEMBERS', KEYS[2])) do
  local key = prefix .. 'seats:' .. b
  local h = redis.call('HGETALL', key)
  for i = 1, #h, 2 do
    local p = string.find(h[i], '\n[^\n]*$')
    local nd = p and string.sub(h[i], 1, p - 1)
    if not nd or not alive[nd] then
      redis.call('HDEL', key, h[i])
    else
      seats[#seats + 1] = b
      seats[#seats + 1] = nd
      seats[#seats + 1] = string.sub(h[i], p + 1)
      seats[#seats + 1] = h[i + 1]
    end
  end
  if redis.call('EXISTS', key) == 0 then redis.call('SREM', KEYS[2], b) end
end
return {infos, seats}
)";

std::string_view text(const redisReply& r) {
    if (r.type != REDIS_REPLY_STRING && r.type != REDIS_REPLY_STATUS) return {};
    return {r.str, r.len};
}

bool isError(const redisReply* r) {
    return r == nullptr || r->type == REDIS_REPLY_ERROR;
}

std::string errorText(const redisReply* r) {
    if (r == nullptr) return "no answer";
    return std::string(r->str, r->len);
}

} // namespace

Cluster::Cluster(net::Loop& loop, RedisAddress redis, std::string node, Keys keys, Hooks hooks)
    : loop_(loop), redis_(std::move(redis)), node_(std::move(node)), keys_(std::move(keys)),
      hooks_(hooks), cmd_(loop, redis_), sub_(loop, redis_) {
    std::random_device random;
    incarnation_ = std::to_string(random()) + "-" + std::to_string(random());
    cmd_.onState([this](bool up, const std::string& reason) { onCommandLink(up, reason); });
    sub_.onState([this](bool up, const std::string& reason) { onSubscriberLink(up, reason); });
    sub_.onPush([this](const redisReply& r) { onPush(r); });
}

Cluster::~Cluster() {
    cmd_.close();
    sub_.close();
}

void Cluster::log(bool error, const std::string& line) {
    if (hooks_.log) hooks_.log(hooks_.user, error, line);
}

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
    const std::string where = redis_.host + ":" + std::to_string(redis_.port);
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
    reportLink();
}

void Cluster::onSubscriberLink(bool up, const std::string& reason) {
    if (stopped_) return;
    if (!up) {
        lastError_ = reason;
        for (auto& [name, room] : rooms_)
            room.subscribed = false;
        reportLink();
        return;
    }
    subHeard_ = Clock::now();
    const std::string bans = keys_.bansChannel();
    sub_.send({"SSUBSCRIBE", bans});
    for (auto& [name, room] : rooms_)
        sub_.send({"SSUBSCRIBE", room.channel});
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
    cmd_.command({"SADD", nodes, node_});
    cmd_.command({"EVAL", kClearScript, "1", bases, node_, prefix});
    std::map<std::string, std::int64_t> members;
    for (const auto& [name, room] : rooms_)
        members[name] = room.local;
    for (const auto& [base, counts] : seatsToClaim(members)) {
        const std::string seats = keys_.seats(base);
        std::vector<std::string> fields;
        for (const auto& [n, count] : counts) {
            fields.push_back(seatField(node_, n));
            fields.push_back(std::to_string(count));
        }
        std::vector<std::string_view> args = {"HSET", seats};
        for (const std::string& f : fields)
            args.push_back(f);
        cmd_.command(args);
        cmd_.command({"SADD", bases, base});
    }
    // This node's bans and unbans made while cut off, and those it held before it joined, then
    // whatever is newer in the cluster: it was missed while this node was away.
    offerLocalBans();
    const std::set<std::string> unsent = unsent_;
    for (const std::string& ip : unsent)
        storeBan(ip);
    cmd_.command({"HGETALL", keys_.banned()}, [this](const redisReply* r) {
        if (isError(r) || r->type != REDIS_REPLY_ARRAY) return;
        for (std::size_t i = 0; i + 1 < r->elements; i += 2) {
            const std::string ip(text(*r->element[i]));
            auto entry = decodeBanEntry(text(*r->element[i + 1]));
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
    refreshView();
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
    cmd_.command({"EVAL", kStoreBanScript, "1", keys_.banned(), ip, encodeBanEntry(entry)},
                 [this, ip, entry](const redisReply* r) {
                     if (r == nullptr) return; // sent again when the node registers again
                     auto it = bans_.find(ip);
                     if (it != bans_.end() && it->second == entry) unsent_.erase(ip);
                     if (isError(r)) return;
                     auto held = decodeBanEntry(text(*r));
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

void Cluster::heartbeat() {
    cmd_.command({"SET", keys_.node(node_), summary(), "PX", std::to_string(kNodeTtlMillis), "GET"},
                 [this](const redisReply* r) {
                     if (r == nullptr || !registered_) return;
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
                     const auto before = nlohmann::json::parse(text(*r), nullptr, false);
                     if (!nameClash_ && before.is_object() && before.contains("incarnation") &&
                         before["incarnation"] != incarnation_) {
                         nameClash_ = true;
                         log(true, "cluster: another relay also runs as node " + node_ +
                                       "; give every node its own nodeName, or messages "
                                       "between the two are lost and their seats mixed");
                     }
                 });
    cmd_.command({"SADD", keys_.nodes(), node_});
}

void Cluster::refreshView() {
    const std::string nodes = keys_.nodes(), bases = keys_.bases();
    const std::string prefix = keys_.prefix;
    cmd_.command(
        {"EVAL", kViewScript, "2", nodes, bases, prefix, node_}, [this](const redisReply* r) {
            if (isError(r) || r->type != REDIS_REPLY_ARRAY || r->elements != 2) return;
            const redisReply& infos = *r->element[0];
            const redisReply& flat = *r->element[1];
            if (infos.type != REDIS_REPLY_ARRAY || flat.type != REDIS_REPLY_ARRAY) return;
            nodes_.clear();
            for (std::size_t i = 0; i + 1 < infos.elements; i += 2) {
                auto info = nlohmann::json::parse(text(*infos.element[i + 1]), nullptr, false);
                if (!info.is_object()) info = nlohmann::json::object();
                nodes_[std::string(text(*infos.element[i]))] = std::move(info);
            }
            std::vector<std::string> values;
            values.reserve(flat.elements);
            for (std::size_t i = 0; i < flat.elements; ++i)
                values.emplace_back(text(*flat.element[i]));
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

std::uint64_t Cluster::place(const std::string& room, int max) {
    const std::uint64_t ticket = ++nextTicket_;
    const InstanceRef first = splitInstance(room);
    const std::string requested = keys_.seats(room), firstKey = keys_.seats(first.base);
    const std::string bases = keys_.bases(), maxText = std::to_string(max),
                      n0 = std::to_string(first.n);
    waiting_.insert(ticket);
    const bool sent = cmd_.command(
        {"EVAL", kPlaceScript, "3", requested, firstKey, bases, node_, maxText, n0, room,
         first.base},
        [this, ticket, room](const redisReply* r) {
            if (r == nullptr) return; // the link dropped: every waiting join was placed here
            if (waiting_.erase(ticket) == 0) return;
            const bool cancelled = cancelled_.erase(ticket) != 0;
            if (isError(r) || r->type != REDIS_REPLY_ARRAY || r->elements != 3 ||
                r->element[0]->type != REDIS_REPLY_INTEGER) {
                if (!cancelled && hooks_.placed) hooks_.placed(hooks_.user, ticket, nullptr);
                return;
            }
            std::string nText(text(*r->element[1]));
            std::string instance = r->element[0]->integer == 1 ? room : room + "#" + nText;
            if (cancelled) {
                // Gone before the answer: the seat goes back.
                const InstanceRef ref = splitInstance(instance);
                cmd_.command({"EVAL", kLeaveScript, "2", keys_.seats(ref.base), keys_.bases(),
                              node_, std::to_string(ref.n), ref.base});
                return;
            }
            const redisReply& others = *r->element[2];
            if (others.type == REDIS_REPLY_ARRAY) {
                auto [it, fresh] = rooms_.try_emplace(instance);
                if (fresh) {
                    it->second.instance = instance;
                    it->second.channel = keys_.roomChannel(instance);
                }
                for (std::size_t i = 0; i < others.elements; ++i)
                    it->second.holders[std::string(text(*others.element[i]))] = Clock::now();
                it->second.remote = !it->second.holders.empty();
            }
            if (hooks_.placed) hooks_.placed(hooks_.user, ticket, &instance);
        });
    if (!sent) {
        waiting_.erase(ticket);
        return 0;
    }
    return ticket;
}

void Cluster::cancel(std::uint64_t ticket) {
    if (waiting_.count(ticket)) cancelled_.insert(ticket);
}

const Room* Cluster::joined(const std::string& instance, bool counted) {
    (void)counted; // a seat placed here alone is claimed when the node registers again
    auto [it, fresh] = rooms_.try_emplace(instance);
    Room& room = it->second;
    if (fresh) {
        room.instance = instance;
        room.channel = keys_.roomChannel(instance);
    }
    if (room.local++ == 0) sub_.send({"SSUBSCRIBE", room.channel});
    return &room;
}

void Cluster::left(const std::string& instance) {
    auto it = rooms_.find(instance);
    if (it == rooms_.end()) return;
    Room& room = it->second;
    if (placing()) {
        const InstanceRef ref = splitInstance(instance);
        cmd_.command({"EVAL", kLeaveScript, "2", keys_.seats(ref.base), keys_.bases(), node_,
                      std::to_string(ref.n), ref.base});
    }
    if (--room.local > 0) return;
    if (room.subscribed) announce(room, false);
    sub_.send({"SUNSUBSCRIBE", room.channel});
    rooms_.erase(it);
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

void Cluster::banned(const std::string& ip, const std::string& name) {
    madeHere(ip, true, name);
}

void Cluster::unbanned(const std::string& ip) {
    madeHere(ip, false, {});
}

void Cluster::madeHere(const std::string& ip, bool banned, const std::string& name) {
    if (ip.empty() || ip.size() > kMaxIpText) return;
    bans_[ip] = BanEntry{banned, stamp(ip), node_, name};
    unsent_.insert(ip);
    if (placing()) storeBan(ip);
}

void Cluster::onPush(const redisReply& r) {
    // Any answer proves the subscribing connection alive, the pong of its ping included.
    subHeard_ = Clock::now();
    if (r.type != REDIS_REPLY_ARRAY || r.elements < 3) return;
    for (std::size_t i = 0; i < 3; ++i)
        if (r.element[i]->type != REDIS_REPLY_STRING && r.element[i]->type != REDIS_REPLY_INTEGER)
            return;
    const std::string_view kind = text(*r.element[0]);
    const std::string_view channel = text(*r.element[1]);
    if (kind == "smessage") {
        onChannelMessage(channel, text(*r.element[2]));
    } else if (kind == "ssubscribe") {
        auto it = rooms_.find(
            std::string(channel.substr(std::min(channel.size(), keys_.roomChannel("").size()))));
        if (it != rooms_.end() && it->second.channel == channel && !it->second.subscribed) {
            it->second.subscribed = true;
            announce(it->second, true);
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
    case WireMessage::Kind::presence:
        if (m->present)
            room.holders[m->node] = Clock::now();
        else
            room.holders.erase(m->node);
        room.remote = !room.holders.empty();
        break;
    default:
        ++ignored_;
    }
}

void Cluster::shutdown() {
    if (stopped_) return;
    if (placing()) {
        // Seats go back now rather than when the heartbeat expires.
        cmd_.command({"EVAL", kClearScript, "1", keys_.bases(), node_, keys_.prefix});
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

nlohmann::json Cluster::state() const {
    nlohmann::json s = nlohmann::json::object();
    s["node"] = node_;
    s["redis"] = redis_.host + ":" + std::to_string(redis_.port);
    s["link"] = reportedUp_ ? "up" : "down";
    if (!reportedUp_ && !lastError_.empty()) s["linkError"] = lastError_;
    s["ignoredMessages"] = ignored_;
    auto nodes = nlohmann::json::array();
    for (const auto& [name, info] : nodes_) {
        nlohmann::json entry = {{"node", name}, {"players", 0}, {"rooms", 0}};
        if (info.contains("players") && info["players"].is_number_integer())
            entry["players"] = info["players"];
        if (info.contains("rooms") && info["rooms"].is_number_integer())
            entry["rooms"] = info["rooms"];
        if (name == node_) entry["players"] = localPlayers(), entry["rooms"] = rooms_.size();
        nodes.push_back(std::move(entry));
    }
    s["nodes"] = std::move(nodes);
    auto rooms = nlohmann::json::array();
    for (const auto& [name, room] : rooms_) {
        auto holders = nlohmann::json::array();
        for (const auto& [node, seen] : room.holders)
            holders.push_back(node);
        rooms.push_back({{"room", name}, {"local", room.local}, {"otherNodes", holders}});
    }
    s["localRooms"] = std::move(rooms);
    return s;
}

} // namespace tnlrelay::cluster
