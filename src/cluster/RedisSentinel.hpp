// Finding the master through Redis Sentinels: one connection to one Sentinel at a time (the next
// one when it fails), which asks for the master's address and then listens for fail-overs
// (+switch-master). The link to the master asks again when the master stops answering, in case a
// fail-over's announcement was missed.
#pragma once

#include "RedisConnection.hpp"

#include <functional>
#include <string>

namespace tnlrelay::cluster {

class RedisSentinel {
public:
    using Clock = RedisConnection::Clock;
    /// Where the master is now (said again after every answer, changed or not).
    using MasterHandler = std::function<void(const RedisEndpoint& master)>;
    /// Why no Sentinel could say.
    using TroubleHandler = std::function<void(const std::string& reason)>;

    RedisSentinel(net::Loop& loop, const RedisAddress& address, const net::TlsClientContext* tls);

    void onMaster(MasterHandler h) { master_ = std::move(h); }
    void onTrouble(TroubleHandler h) { trouble_ = std::move(h); }
    void tick(Clock::time_point now) { link_.tick(now); }
    /// The master did not answer: asks a Sentinel again, at most once a second.
    void askAgain(Clock::time_point now);
    void close() { link_.close(); }

    static constexpr auto kAskInterval = std::chrono::seconds(1);

private:
    void onLink(bool up, const std::string& reason);
    void onPush(const redisReply& r);
    void found(std::string_view host, std::string_view port);

    std::vector<RedisEndpoint> sentinels_;
    std::size_t current_ = 0;
    std::string name_;
    RedisConnection link_;
    Clock::time_point asked_{};
    bool quiet_ = false; ///< the next drop is ours, to ask again: not trouble
    MasterHandler master_;
    TroubleHandler trouble_;
};

} // namespace tnlrelay::cluster
