// Joins held while Redis places them: what answering each one later needs, found by its
// placement ticket when the answer comes and by its connection when that closes first.
#pragma once

#include "net/Net.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace tnlrelay {

class PendingJoins {
public:
    struct Join {
        std::uint64_t ticket = 0;
        net::Conn* conn = nullptr;
        std::string query, ip, room, key, protocol;
        bool hasProtocol = false;
        int max = 0;
    };

    bool empty() const { return byConn_.empty(); }
    /// Holds the join request `hm` of `c` until the answer for `ticket` comes.
    void hold(std::uint64_t ticket, net::Conn* c, const net::HttpMessage& hm, const std::string& ip,
              const std::string& room, int max);
    /// The join Redis answered, no longer held; none when its connection closed meanwhile.
    std::optional<Join> take(std::uint64_t ticket);
    /// The join of a connection that closed, no longer held; none when it had none.
    std::optional<Join> release(net::ConnId id);

private:
    std::unordered_map<std::uint64_t, Join> byTicket_;
    std::unordered_map<net::ConnId, std::uint64_t> byConn_;
};

} // namespace tnlrelay
