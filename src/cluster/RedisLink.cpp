// The link over each Redis layout: one connection, the Sentinels' master, or a Redis Cluster's
// shards routed by slot.
#include "RedisLink.hpp"

#include "text/Text.hpp"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <tuple>

namespace tnlrelay::cluster {

namespace {

constexpr std::uint16_t kNoOwner = 0xffff;
constexpr auto kMaxBackoff = std::chrono::milliseconds(1000);
constexpr auto kTlsRetry = std::chrono::seconds(1);

/// A Redis Cluster's layout as CLUSTER SLOTS gives it.
struct Slots {
    std::vector<RedisEndpoint> masters;
    std::vector<std::uint16_t> owner; ///< slot -> index into `masters`
    std::vector<RedisEndpoint> nodes; ///< masters and replicas: where to ask next time
};

std::optional<RedisEndpoint> nodeOf(const redisReply& r, const std::string& askedHost) {
    if (r.type != REDIS_REPLY_ARRAY || r.elements < 2 || r.element[1]->type != REDIS_REPLY_INTEGER)
        return std::nullopt;
    std::string host(replyText(*r.element[0]));
    if (host.empty()) host = askedHost; // the node does not know its own address: as asked
    const long long port = r.element[1]->integer;
    if (host == "?" || port < 1 || port > 65535) return std::nullopt;
    return RedisEndpoint{host, static_cast<int>(port)};
}

/// Each entry: start slot, end slot, the master, then its replicas.
std::optional<Slots> parseSlots(const redisReply* r, const std::string& askedHost) {
    if (isError(r) || r->type != REDIS_REPLY_ARRAY) return std::nullopt;
    Slots slots;
    slots.owner.assign(kRedisSlots, kNoOwner);
    for (std::size_t i = 0; i < r->elements; ++i) {
        const redisReply& e = *r->element[i];
        if (e.type != REDIS_REPLY_ARRAY || e.elements < 3 ||
            e.element[0]->type != REDIS_REPLY_INTEGER || e.element[1]->type != REDIS_REPLY_INTEGER)
            continue;
        auto master = nodeOf(*e.element[2], askedHost);
        if (!master) continue;
        auto at = std::find(slots.masters.begin(), slots.masters.end(), *master);
        if (at == slots.masters.end()) at = slots.masters.insert(at, *master);
        const auto index = static_cast<std::uint16_t>(at - slots.masters.begin());
        const long long first = std::max(0LL, e.element[0]->integer);
        const long long last = std::min<long long>(kRedisSlots - 1, e.element[1]->integer);
        for (long long s = first; s <= last; ++s)
            slots.owner[static_cast<std::size_t>(s)] = index;
        for (std::size_t j = 2; j < e.elements; ++j)
            if (auto node = nodeOf(*e.element[j], askedHost)) slots.nodes.push_back(*node);
    }
    if (slots.masters.empty()) return std::nullopt;
    // In a fixed order, so that slots moved among the same masters compare as the same masters.
    std::vector<std::uint16_t> order(slots.masters.size());
    for (std::uint16_t i = 0; i < order.size(); ++i)
        order[i] = i;
    const auto less = [&](std::uint16_t x, std::uint16_t y) {
        const RedisEndpoint &a = slots.masters[x], &b = slots.masters[y];
        return std::tie(a.host, a.port) < std::tie(b.host, b.port);
    };
    std::sort(order.begin(), order.end(), less);
    std::vector<std::uint16_t> rank(order.size());
    std::vector<RedisEndpoint> sorted;
    for (std::uint16_t i = 0; i < order.size(); ++i) {
        rank[order[i]] = i;
        sorted.push_back(slots.masters[order[i]]);
    }
    for (std::uint16_t& owner : slots.owner)
        if (owner != kNoOwner) owner = rank[owner];
    slots.masters = std::move(sorted);
    return slots;
}

bool redirection(std::string_view text) {
    return text.starts_with("MOVED ") || text.starts_with("ASK ");
}

} // namespace

RedisLink::RedisLink(net::Loop& loop, RedisAddress address)
    : loop_(loop), address_(std::move(address)) {
    if (address_.tls) tls_.load(address_.caFile, tlsError_);
    switch (address_.layout) {
    case RedisAddress::Layout::single:
        conns_.push_back(makeConnection(address_.servers.front()));
        conns_[0]->onState([this](bool up, const std::string& reason) {
            if (state_) state_(up, reason);
        });
        break;
    case RedisAddress::Layout::sentinel:
        conns_.push_back(makeConnection({})); // where, the Sentinels say
        sentinel_ = std::make_unique<RedisSentinel>(loop, address_, address_.tls ? &tls_ : nullptr);
        sentinel_->onMaster(
            [this](const RedisEndpoint& master) { conns_[0]->retarget(master, true); });
        sentinel_->onTrouble([this](const std::string& reason) {
            if (!conns_[0]->up() && state_) state_(false, reason);
        });
        conns_[0]->onState([this](bool up, const std::string& reason) {
            if (!up) sentinel_->askAgain(Clock::now());
            if (state_) state_(up, reason);
        });
        // A master demoted by a fail-over refuses writes: the Sentinels know the new one.
        conns_[0]->onError([this](std::string_view text) {
            if (text.starts_with("READONLY"))
                conns_[0]->fail(conns_[0]->target().text() + " is no longer the master");
        });
        break;
    case RedisAddress::Layout::cluster:
        seeds_ = address_.servers;
        break;
    }
    if (!conns_.empty())
        conns_[0]->onPush([this](const redisReply& r) {
            if (push_) push_(r);
        });
}

RedisLink::~RedisLink() {
    close();
}

RedisLink::Connection RedisLink::makeConnection(RedisEndpoint target) {
    return std::make_unique<RedisConnection>(loop_, std::move(target), address_,
                                             address_.tls ? &tls_ : nullptr);
}

bool RedisLink::up() const {
    if (address_.layout == RedisAddress::Layout::cluster) return clusterUp_;
    return conns_[0]->up();
}

std::string RedisLink::where() const {
    switch (address_.layout) {
    case RedisAddress::Layout::single:
        return address_.host + ":" + std::to_string(address_.port);
    case RedisAddress::Layout::sentinel: {
        const RedisEndpoint& master = conns_[0]->target();
        return address_.master +
               (master.host.empty() ? " (from the Sentinels)" : " at " + master.text());
    }
    case RedisAddress::Layout::cluster:
        return masters_.empty() ? "cluster"
                                : "cluster of " + std::to_string(masters_.size()) +
                                      (masters_.size() == 1 ? " shard" : " shards");
    }
    return {};
}

bool RedisLink::command(const std::vector<std::string_view>& args, ReplyHandler reply) {
    if (address_.layout != RedisAddress::Layout::cluster)
        return conns_[0]->command(args, std::move(reply));
    if (!clusterUp_) return false;
    const auto key = routingKey(args);
    RedisConnection* to = key ? shardOf(*key) : conns_[0].get();
    if (!to) return false;
    // A message needs no redirection: publishing is at most once, and its payload is not
    // copied for a slot that moves rarely. Everything else (the registry) is kept for one.
    if (!reply && equalsNoCase(args[0], "SPUBLISH")) return to->command(args);
    auto copy = std::make_shared<const std::vector<std::string>>(args.begin(), args.end());
    return to->command(args, [this, copy, reply = std::move(reply)](const redisReply* r) {
        if (r && r->type == REDIS_REPLY_ERROR && redirect({r->str, r->len}, *copy, reply)) return;
        if (reply) reply(r);
    });
}

bool RedisLink::send(const std::vector<std::string_view>& args) {
    if (address_.layout != RedisAddress::Layout::cluster) return conns_[0]->send(args);
    if (!clusterUp_) return false;
    const auto key = routingKey(args);
    if (!key) {
        for (const Connection& c : conns_)
            c->send(args);
        return true;
    }
    RedisConnection* to = shardOf(*key);
    if (!to) return false;
    if (equalsNoCase(args[0], "SSUBSCRIBE")) {
        subscribed_.emplace(*key);
    } else if (equalsNoCase(args[0], "SUNSUBSCRIBE")) {
        subscribed_.erase(std::string(*key));
        moved_.erase(std::string(*key));
        unsubscribing_.emplace(*key);
    }
    return to->send(args);
}

RedisConnection* RedisLink::shardOf(std::string_view key) const {
    const std::uint16_t index = owner_[keySlot(key)];
    return index == kNoOwner ? nullptr : conns_[index].get();
}

void RedisLink::tick(Clock::time_point now) {
    retired_.clear();
    if (address_.tls && !tls_.active()) {
        // A CA file that cannot be read now may be fixed later: tried again, said each time.
        if (now < tlsRetry_) return;
        tlsRetry_ = now + kTlsRetry;
        if (!tls_.load(address_.caFile, tlsError_)) {
            if (state_) state_(false, "TLS: " + tlsError_);
            return;
        }
    }
    if (sentinel_) sentinel_->tick(now);
    // By index: a connection's failure may retire every connection of a Redis Cluster.
    for (std::size_t i = 0; i < conns_.size(); ++i)
        conns_[i]->tick(now);
    if (address_.layout != RedisAddress::Layout::cluster) return;
    if (control_) control_->tick(now);
    if (probe_) {
        probe_->tick(now);
    } else if (conns_.empty()) {
        if (now >= nextAttempt_) startMapping(now);
    } else if (clusterUp_ && now >= nextCheck_) {
        nextCheck_ = now + kSlotsCheck;
        checkSlots();
    }
}

void RedisLink::fail(const std::string& reason) {
    if (address_.layout != RedisAddress::Layout::cluster)
        conns_[0]->fail(reason);
    else if (!conns_.empty() || probe_)
        teardown(reason);
}

void RedisLink::close() {
    for (const Connection& c : conns_)
        c->close();
    if (address_.layout == RedisAddress::Layout::cluster) {
        retired_.insert(retired_.end(), std::make_move_iterator(conns_.begin()),
                        std::make_move_iterator(conns_.end()));
        conns_.clear();
        clusterUp_ = false;
        nextAttempt_ = Clock::time_point::max(); // closed for good
    }
    if (probe_) probe_->close();
    if (control_) control_->close();
    if (sentinel_) sentinel_->close();
}

void RedisLink::flushBlocking(std::chrono::milliseconds limit) {
    // The limit is shared: a goodbye never waits longer because there are several shards.
    for (const Connection& c : conns_)
        c->flushBlocking(limit / static_cast<long>(std::max<std::size_t>(1, conns_.size())));
}

void RedisLink::startMapping(Clock::time_point now) {
    const RedisEndpoint seed = seeds_[nextSeed_++ % seeds_.size()];
    probe_ = makeConnection(seed);
    probe_->onState([this, seed](bool up, const std::string& reason) {
        if (!up) {
            retired_.push_back(std::move(probe_));
            // The next node at once, until each was tried; then after the growing delay.
            if (++seedsFailed_ < seeds_.size()) {
                nextAttempt_ = Clock::now();
            } else {
                seedsFailed_ = 0;
                nextAttempt_ = Clock::now() + backoff_;
                backoff_ = std::min(kMaxBackoff, backoff_ * 2);
            }
            if (state_) state_(false, "Redis Cluster node " + seed.text() + ": " + reason);
            return;
        }
        seedsFailed_ = 0;
        probe_->command({"CLUSTER", "SLOTS"}, [this, seed](const redisReply* r) {
            if (r == nullptr || !probe_) return;
            auto slots = parseSlots(r, seed.host);
            if (!slots) {
                probe_->fail(isError(r) ? errorText(r) : "it serves no slots");
                return;
            }
            // The probe stays, to read the slots again: a subscribing connection cannot.
            control_ = std::move(probe_);
            control_->onState([this](bool up, const std::string&) { onControlState(up); });
            masters_ = std::move(slots->masters);
            owner_ = std::move(slots->owner);
            // Next time, any node this one named may be asked too.
            seeds_ = address_.servers;
            for (const RedisEndpoint& node : masters_)
                if (std::find(seeds_.begin(), seeds_.end(), node) == seeds_.end())
                    seeds_.push_back(node);
            for (const RedisEndpoint& node : slots->nodes)
                if (std::find(seeds_.begin(), seeds_.end(), node) == seeds_.end())
                    seeds_.push_back(node);
            for (const RedisEndpoint& master : masters_) {
                Connection c = makeConnection(master);
                c->onState([this, master](bool up, const std::string& reason) {
                    onShardState(up, up ? reason
                                        : "Redis Cluster node " + master.text() + ": " + reason);
                });
                c->onPush([this](const redisReply& reply) { onShardPush(reply); });
                c->onError([this](std::string_view text) {
                    if (text.starts_with("MOVED ")) checkSlots();
                });
                conns_.push_back(std::move(c));
            }
            const auto now = Clock::now();
            for (std::size_t i = 0; i < conns_.size(); ++i)
                conns_[i]->tick(now);
        });
    });
    probe_->tick(now);
}

void RedisLink::onShardState(bool up, const std::string& reason) {
    if (tearing_) return;
    if (!up) {
        teardown(reason);
        return;
    }
    for (const Connection& c : conns_)
        if (!c->up()) return;
    clusterUp_ = true;
    backoff_ = std::chrono::milliseconds(100);
    nextCheck_ = Clock::now() + kSlotsCheck;
    if (state_) state_(true, {});
}

void RedisLink::onShardPush(const redisReply& r) {
    // A shard channel whose slot moved away loses its subscription there (sunsubscribe): it is
    // subscribed again on the slot's new owner once the slots are read again.
    if (r.type == REDIS_REPLY_ARRAY && r.elements >= 2) {
        const std::string_view kind = replyText(*r.element[0]);
        const std::string channel(replyText(*r.element[1]));
        if (kind == "sunsubscribe") {
            const auto it = unsubscribing_.find(channel);
            if (it != unsubscribing_.end()) {
                unsubscribing_.erase(it);
            } else if (subscribed_.count(channel)) {
                moved_.insert(channel);
                checkSlots();
                return; // not ended by the node: nobody else needs to know
            }
        } else if (kind == "ssubscribe") {
            if (moved_.erase(channel) != 0) return; // subscribed again
        }
    }
    if (push_) push_(r);
}

void RedisLink::onControlState(bool up) {
    if (!up) {
        // Not a shard's link: only asked again later, through a new one.
        if (control_) retired_.push_back(std::move(control_));
        checking_ = false;
        return;
    }
    if (checkWanted_) checkSlots();
}

void RedisLink::checkSlots() {
    if (!clusterUp_ || checking_) return;
    checkWanted_ = true;
    if (!control_) {
        control_ = makeConnection(masters_.front());
        control_->onState([this](bool up, const std::string&) { onControlState(up); });
        control_->tick(Clock::now());
        return;
    }
    if (!control_->up()) return;
    checkWanted_ = false;
    checking_ = true;
    const std::string asked = control_->target().host;
    control_->command({"CLUSTER", "SLOTS"}, [this, asked](const redisReply* r) {
        checking_ = false;
        if (r == nullptr || !clusterUp_) return;
        auto slots = parseSlots(r, asked);
        if (!slots) return;
        // Another set of masters (a fail-over, a shard added or removed): set up anew. Slots
        // moved among the same masters: routed anew from now on.
        if (slots->masters != masters_) {
            teardown("the Redis Cluster's shards changed");
            return;
        }
        owner_ = std::move(slots->owner);
        for (const std::string& channel : moved_)
            if (RedisConnection* to = shardOf(channel)) to->send({"SSUBSCRIBE", channel});
    });
}

bool RedisLink::redirect(std::string_view error, const std::vector<std::string>& args,
                         const ReplyHandler& reply) {
    if (!redirection(error)) return false;
    // "MOVED <slot> <host:port>" or "ASK <slot> <host:port>"
    const auto space = error.rfind(' ');
    auto to = parseRedisEndpoint(error.substr(space + 1));
    if (!to) return false;
    const auto at = std::find(masters_.begin(), masters_.end(), *to);
    if (at == masters_.end()) return false;
    RedisConnection& c = *conns_[static_cast<std::size_t>(at - masters_.begin())];
    if (!c.up()) return false;
    // Asked once: an answer that redirects again goes to whoever asked.
    if (error.starts_with("ASK ")) c.command({"ASKING"});
    const std::vector<std::string_view> again(args.begin(), args.end());
    return c.command(again, reply);
}

void RedisLink::teardown(const std::string& reason) {
    if (tearing_) return;
    tearing_ = true;
    clusterUp_ = false;
    checking_ = false;
    unsubscribing_.clear();
    subscribed_.clear();
    moved_.clear();
    // Every shard's waiting commands learn that no answer will come, then the node does.
    for (const Connection& c : conns_)
        c->fail(reason);
    retired_.insert(retired_.end(), std::make_move_iterator(conns_.begin()),
                    std::make_move_iterator(conns_.end()));
    conns_.clear();
    if (probe_) retired_.push_back(std::move(probe_));
    if (control_) retired_.push_back(std::move(control_));
    checkWanted_ = false;
    tearing_ = false;
    nextAttempt_ = Clock::now() + backoff_;
    backoff_ = std::min(kMaxBackoff, backoff_ * 2);
    if (state_) state_(false, reason);
}

} // namespace tnlrelay::cluster
