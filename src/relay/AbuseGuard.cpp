// Applying the abuse limits: refusing joins by origin and by address, the token bucket of each
// member's messages, and forgetting addresses that went quiet.
#include "AbuseGuard.hpp"

#include "text/Text.hpp"

#include <algorithm>
#include <string>

namespace tnlrelay {

using detail::logValue;

namespace {

constexpr auto kJoinWindow = std::chrono::seconds(60);
constexpr auto kAddressSweepInterval = std::chrono::seconds(10);

// Close codes of RFC 6455.
constexpr std::uint16_t kClosePolicy = 1008;
constexpr std::uint16_t kCloseTooBig = 1009;

constexpr const char* kOverRate = "closed: messages over the rate limit";
constexpr const char* kOverSize = "closed: message over the size limit";

bool originAllowed(const std::vector<std::string>& allowed, std::string_view origin) {
    return std::any_of(allowed.begin(), allowed.end(),
                       [origin](const std::string& entry) { return equalsNoCase(entry, origin); });
}

void refuse(net::Conn* c, int status, std::string_view body) {
    net::reply(c, status, "", body);
    net::setDraining(c);
}

} // namespace

bool AbuseGuard::refuseJoin(net::Conn* c, const net::HttpMessage& hm, const std::string& ip,
                            RelayLog& log, RelayCounters& counters) {
    if (limits_.allowedOrigins) {
        const std::string_view* origin = hm.header("Origin");
        // Native games send no Origin; only browsers can be held to a list of pages.
        if (origin != nullptr && !originAllowed(*limits_.allowedOrigins, *origin)) {
            ++counts_.origin;
            ++counters.refusedLimits;
            log.info("REJECT origin not allowed ip=" + logValue(ip) +
                     " origin=" + logValue(*origin));
            refuse(c, 403, "origin not allowed\n");
            return true;
        }
    }
    if (limits_.maxConnectionsPerAddress == 0 && limits_.joinsPerAddressPerMinute == 0)
        return false;

    auto it = addresses_.find(ip);
    if (it == addresses_.end()) return false;
    AddressUse& use = it->second;
    if (limits_.maxConnectionsPerAddress != 0 && use.joined >= limits_.maxConnectionsPerAddress) {
        ++counts_.connectionsPerAddress;
        ++counters.refusedLimits;
        log.info("REJECT too many connections ip=" + logValue(ip) + " (limit " +
                 std::to_string(limits_.maxConnectionsPerAddress) + ")");
        refuse(c, 429, "too many connections\n");
        return true;
    }
    if (limits_.joinsPerAddressPerMinute != 0) {
        forgetOldJoins(use, Clock::now());
        if (use.recentJoins.size() >= limits_.joinsPerAddressPerMinute) {
            ++counts_.joinsPerMinute;
            ++counters.refusedLimits;
            log.info("REJECT too many joins ip=" + logValue(ip) + " (limit " +
                     std::to_string(limits_.joinsPerAddressPerMinute) + " a minute)");
            refuse(c, 429, "too many joins\n");
            return true;
        }
    }
    return false;
}

void AbuseGuard::noteJoin(const std::string& ip) {
    AddressUse& use = addresses_[ip];
    ++use.joined;
    if (limits_.joinsPerAddressPerMinute != 0) {
        use.recentJoins.push_back(Clock::now());
        // Only the newest ones can matter: the limit may have been lowered since.
        if (use.recentJoins.size() > limits_.joinsPerAddressPerMinute)
            use.recentJoins.erase(use.recentJoins.begin(),
                                  use.recentJoins.end() - limits_.joinsPerAddressPerMinute);
        withRecentJoins_.insert(ip);
    }
}

void AbuseGuard::forgetOldJoins(AddressUse& use, Clock::time_point now) {
    const auto kept = std::find_if(use.recentJoins.begin(), use.recentJoins.end(),
                                   [now](Clock::time_point t) { return now - t < kJoinWindow; });
    use.recentJoins.erase(use.recentJoins.begin(), kept);
}

void AbuseGuard::noteLeave(const std::string& ip) {
    auto it = addresses_.find(ip);
    if (it == addresses_.end() || it->second.joined == 0) return;
    if (--it->second.joined == 0 && it->second.recentJoins.empty()) addresses_.erase(it);
}

void AbuseGuard::sweep(Clock::time_point now) {
    if (now < nextSweep_) return;
    nextSweep_ = now + kAddressSweepInterval;
    const auto steadyNow = Clock::now();
    for (auto ip = withRecentJoins_.begin(); ip != withRecentJoins_.end();) {
        const auto it = addresses_.find(*ip);
        if (it != addresses_.end()) {
            forgetOldJoins(it->second, steadyNow);
            if (!it->second.recentJoins.empty()) {
                ++ip;
                continue;
            }
            it->second.recentJoins.shrink_to_fit();
            if (it->second.joined == 0) addresses_.erase(it);
        }
        ip = withRecentJoins_.erase(ip);
    }
}

bool AbuseGuard::admitMessage(ConnInfo& info, const net::WsMessage& wm) {
    if (info.closedFor != nullptr) return false; // closing: what it still sends goes nowhere
    if (wm.payload.size() > limits_.maxMessageBytes) {
        ++counts_.messageSize;
        info.closedFor = kOverSize;
        net::wsClose(info.conn, kCloseTooBig);
        return false;
    }
    if (limits_.messagesPerSecond <= 0) return true;
    const double burst =
        limits_.burst > 0 ? limits_.burst : std::max(1.0, limits_.messagesPerSecond);
    const auto now = Clock::now();
    if (info.refilled == std::chrono::steady_clock::time_point{}) {
        info.tokens = burst; // a new member starts with a full bucket
    } else {
        const double seconds = std::chrono::duration<double>(now - info.refilled).count();
        info.tokens = std::min(burst, info.tokens + seconds * limits_.messagesPerSecond);
    }
    info.refilled = now;
    if (info.tokens >= 1) {
        info.tokens -= 1;
        return true;
    }
    ++counts_.messageRate;
    info.closedFor = kOverRate;
    net::wsClose(info.conn, kClosePolicy);
    return false;
}

} // namespace tnlrelay
