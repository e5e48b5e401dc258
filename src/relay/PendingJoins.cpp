// The table of joins waiting for their placement, kept by ticket and by connection in step.
#include "PendingJoins.hpp"

namespace tnlrelay {

void PendingJoins::hold(std::uint64_t ticket, net::Conn* c, const net::HttpMessage& hm,
                        const std::string& ip, const std::string& room, int max) {
    Join& p = byTicket_[ticket];
    p.ticket = ticket;
    p.conn = c;
    p.query = hm.query;
    p.ip = ip;
    p.room = room;
    if (const auto* key = hm.header("Sec-WebSocket-Key")) p.key = *key;
    if (const auto* protocol = hm.header("Sec-WebSocket-Protocol")) {
        p.protocol = *protocol;
        p.hasProtocol = true;
    }
    p.max = max;
    byConn_[net::connId(c)] = ticket;
}

std::optional<PendingJoins::Join> PendingJoins::take(std::uint64_t ticket) {
    auto it = byTicket_.find(ticket);
    if (it == byTicket_.end()) return std::nullopt;
    Join p = std::move(it->second);
    byTicket_.erase(it);
    byConn_.erase(net::connId(p.conn));
    return p;
}

std::optional<PendingJoins::Join> PendingJoins::release(net::ConnId id) {
    auto it = byConn_.find(id);
    if (it == byConn_.end()) return std::nullopt;
    auto p = byTicket_.find(it->second);
    byConn_.erase(it);
    if (p == byTicket_.end()) return std::nullopt;
    Join join = std::move(p->second);
    byTicket_.erase(p);
    return join;
}

} // namespace tnlrelay
