// Abuse limits of the game port: joined connections and joins per address, the origins a browser
// may join from, and the rate and size of each member's messages. Every refusal is counted and
// logged with its reason; none of it applies unless config.json asks for it.
#include "ClientAddress.hpp"
#include "RelayCore.hpp"
#include "Text.hpp"

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

std::string RelayCore::clientAddress(net::Conn* c, const net::HttpMessage& hm) const {
    return tnlrelay::clientAddress(net::peerAddress(c), hm, gamePortSettings.trustedProxies,
                                   gamePortSettings.forwardedHeader);
}

bool RelayCore::refuseJoin(net::Conn* c, const net::HttpMessage& hm, const std::string& ip) {
    if (abuse.allowedOrigins) {
        const std::string_view* origin = hm.header("Origin");
        // Native games send no Origin; only browsers can be held to a list of pages.
        if (origin != nullptr && !originAllowed(*abuse.allowedOrigins, *origin)) {
            ++limitCounts_.origin;
            ++counters.refusedLimits;
            log.info("REJECT origin not allowed ip=" + logValue(ip) +
                     " origin=" + logValue(*origin));
            refuse(c, 403, "origin not allowed\n");
            return true;
        }
    }
    if (abuse.maxConnectionsPerAddress == 0 && abuse.joinsPerAddressPerMinute == 0) return false;

    auto it = addresses.find(ip);
    if (it == addresses.end()) return false;
    AddressUse& use = it->second;
    if (abuse.maxConnectionsPerAddress != 0 && use.joined >= abuse.maxConnectionsPerAddress) {
        ++limitCounts_.connectionsPerAddress;
        ++counters.refusedLimits;
        log.info("REJECT too many connections ip=" + logValue(ip) + " (limit " +
                 std::to_string(abuse.maxConnectionsPerAddress) + ")");
        refuse(c, 429, "too many connections\n");
        return true;
    }
    if (abuse.joinsPerAddressPerMinute != 0) {
        const auto now = std::chrono::steady_clock::now();
        while (!use.recentJoins.empty() && now - use.recentJoins.front() >= kJoinWindow)
            use.recentJoins.pop_front();
        if (use.recentJoins.size() >= abuse.joinsPerAddressPerMinute) {
            ++limitCounts_.joinsPerMinute;
            ++counters.refusedLimits;
            log.info("REJECT too many joins ip=" + logValue(ip) + " (limit " +
                     std::to_string(abuse.joinsPerAddressPerMinute) + " a minute)");
            refuse(c, 429, "too many joins\n");
            return true;
        }
    }
    return false;
}

void RelayCore::noteJoin(const std::string& ip) {
    AddressUse& use = addresses[ip];
    ++use.joined;
    if (abuse.joinsPerAddressPerMinute != 0) {
        use.recentJoins.push_back(std::chrono::steady_clock::now());
        // Only the newest ones can matter: the limit may have been lowered since.
        while (use.recentJoins.size() > abuse.joinsPerAddressPerMinute)
            use.recentJoins.pop_front();
    }
}

void RelayCore::noteLeave(const std::string& ip) {
    auto it = addresses.find(ip);
    if (it == addresses.end() || it->second.joined == 0) return;
    if (--it->second.joined == 0 && it->second.recentJoins.empty()) addresses.erase(it);
}

void RelayCore::sweepAddresses(std::chrono::steady_clock::time_point now) {
    if (now < nextAddressSweep) return;
    nextAddressSweep = now + kAddressSweepInterval;
    const auto steadyNow = std::chrono::steady_clock::now();
    for (auto it = addresses.begin(); it != addresses.end();) {
        auto& joins = it->second.recentJoins;
        while (!joins.empty() && steadyNow - joins.front() >= kJoinWindow)
            joins.pop_front();
        if (it->second.joined == 0 && joins.empty())
            it = addresses.erase(it);
        else
            ++it;
    }
}

bool RelayCore::admitMessage(ConnInfo& info, const net::WsMessage& wm) {
    if (info.closedFor != nullptr) return false; // closing: what it still sends goes nowhere
    if (wm.payload.size() > abuse.maxMessageBytes) {
        ++limitCounts_.messageSize;
        info.closedFor = kOverSize;
        net::wsClose(info.conn, kCloseTooBig);
        return false;
    }
    if (abuse.messagesPerSecond <= 0) return true;
    const double burst = abuse.burst > 0 ? abuse.burst : std::max(1.0, abuse.messagesPerSecond);
    const auto now = std::chrono::steady_clock::now();
    if (info.refilled == std::chrono::steady_clock::time_point{}) {
        info.tokens = burst; // a new member starts with a full bucket
    } else {
        const double seconds = std::chrono::duration<double>(now - info.refilled).count();
        info.tokens = std::min(burst, info.tokens + seconds * abuse.messagesPerSecond);
    }
    info.refilled = now;
    if (info.tokens >= 1) {
        info.tokens -= 1;
        return true;
    }
    ++limitCounts_.messageRate;
    info.closedFor = kOverRate;
    net::wsClose(info.conn, kClosePolicy);
    return false;
}

} // namespace tnlrelay
