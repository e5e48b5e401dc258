// Abuse limits of the game port: joined connections and joins per address, the origins a browser
// may join from, and the rate and size of each member's messages. Every refusal is counted and
// logged with its reason; none of it applies unless config.json asks for it.
#pragma once

#include "ConnInfo.hpp"
#include "Metrics.hpp"
#include "RelayConfig.hpp"
#include "RelayLog.hpp"
#include "net/Net.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tnlrelay {

/// Refusals and closes by an abuse limit, for the state document.
struct LimitCounts {
    std::uint64_t connectionsPerAddress = 0;
    std::uint64_t joinsPerMinute = 0;
    std::uint64_t origin = 0;
    std::uint64_t messageRate = 0;
    std::uint64_t messageSize = 0;
};

class AbuseGuard {
public:
    using Clock = std::chrono::steady_clock;

    explicit AbuseGuard(AbuseLimits limits) : limits_(limits) {}

    /// The limits of a configuration read again; what each address did so far still counts.
    void reconfigure(AbuseLimits limits) { limits_ = limits; }
    /// Answers and logs a join that a limit refuses, and says so; false lets the join go on.
    bool refuseJoin(net::Conn* c, const net::HttpMessage& hm, const std::string& ip, RelayLog& log,
                    RelayCounters& counters);
    /// Records an accepted join, and a joined connection's close, from that address.
    void noteJoin(const std::string& ip);
    void noteLeave(const std::string& ip);
    /// Whether a member may send this message; if not, it is closed with the reason.
    bool admitMessage(ConnInfo& info, const net::WsMessage& wm);
    /// Forgets addresses with nothing joined and no join within the last minute.
    void sweep(Clock::time_point now);

    const LimitCounts& counts() const { return counts_; }

private:
    /// One for every address with a joined connection: small, since a crowd has an address a
    /// player. The join times are kept only while a joins-a-minute limit is set.
    struct AddressUse {
        std::uint32_t joined = 0;                   ///< joined connections now
        std::vector<Clock::time_point> recentJoins; ///< within the minute, oldest first
    };
    /// Drops the join times that have left the minute.
    static void forgetOldJoins(AddressUse& use, Clock::time_point now);

    AbuseLimits limits_;
    LimitCounts counts_;
    std::unordered_map<std::string, AddressUse> addresses_;
    /// The addresses with join times kept: all the sweep looks at, so that its cost follows the
    /// joins of the last minute, not the players.
    std::unordered_set<std::string> withRecentJoins_;
    Clock::time_point nextSweep_{};
};

} // namespace tnlrelay
