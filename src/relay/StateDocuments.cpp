// The documents that describe the running relay: the room list that games fetch, the state
// document, built anew from the tables for every request, and the admin page's summary, whose
// size does not depend on the number of players.
#include "AdminPages.hpp"
#include "RelayCore.hpp"
#include "RoomList.hpp"
#include "platform/Platform.hpp"
#include "text/JsonText.hpp"

#include <algorithm>

namespace tnlrelay {

namespace {
/// A seat count where the room list expects a member list.
struct Seats {
    std::int64_t n = 0;
    std::size_t size() const { return static_cast<std::size_t>(n); }
};
} // namespace

std::string RelayCore::roomsJson(const std::string& game) const {
    // In a cluster every node answers the seats of all nodes (while its link to Redis works).
    if (std::map<std::string, std::int64_t> totals; cluster.roomTotals(totals)) {
        std::map<std::string, Seats> seats;
        for (const auto& [room, n] : totals)
            seats[room].n = n;
        return detail::jsonText(detail::buildRoomList(seats, game));
    }
    return detail::jsonText(detail::buildRoomList(rooms.map(), game));
}

std::string RelayCore::playersPage(std::size_t offset, std::size_t limit) const {
    std::vector<const ConnInfo*> joined;
    joined.reserve(connections.size());
    for (const auto& [id, info] : connections)
        joined.push_back(&info);
    offset = std::min(offset, joined.size());
    const std::size_t end = std::min(joined.size(), offset + std::min(limit, joined.size()));
    const auto byId = [](const ConnInfo* a, const ConnInfo* b) { return a->connId < b->connId; };
    std::partial_sort(joined.begin(), joined.begin() + static_cast<std::ptrdiff_t>(end),
                      joined.end(), byId);
    auto players = nlohmann::json::array();
    for (std::size_t i = offset; i < end; ++i)
        players.push_back(detail::playerJson(*joined[i]));
    return detail::jsonText(players);
}

void RelayCore::clusterView(std::size_t offset, std::size_t limit, std::size_t roomOffset,
                            std::size_t roomLimit, std::function<void(std::string)> done) {
    cluster.view(offset, limit, roomOffset, roomLimit,
                 [done = std::move(done)](nlohmann::json page) {
                     done(page.is_null() ? std::string() : detail::jsonText(page));
                 });
}

nlohmann::json RelayCore::stateBasics() const {
    nlohmann::json state = nlohmann::json::object();
    state["configSaved"] = store.saved();
    state["gamePort"] = listenGamePort;
    state["limitRefusals"] = {{"connectionsPerAddress", abuse.counts().connectionsPerAddress},
                              {"joinsPerMinute", abuse.counts().joinsPerMinute},
                              {"messageRate", abuse.counts().messageRate},
                              {"messageSize", abuse.counts().messageSize},
                              {"origin", abuse.counts().origin}};
    state["logPath"] = platform::pathUtf8(log.filePath());
    auto bans = nlohmann::json::array();
    for (const auto& [ip, name] : store.config().bans) {
        bans.push_back({{"ip", ip}, {"name", name}});
    }
    state["bans"] = std::move(bans);
    if (cluster.active()) state["cluster"] = cluster.state();
    if (const net::TlsCertInfo* cert = loop->tlsCertificate()) {
        const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        state["tls"] = {{"expiresSoon", cert->notAfter - now < 14 * 86400},
                        {"notAfter", cert->notAfter},
                        {"subject", cert->subject}};
    }
    return state;
}

std::string RelayCore::stateJson() const {
    nlohmann::json state = stateBasics();
    state["rooms"] = detail::buildRoomList(rooms.map(), "");
    auto players = nlohmann::json::array();
    for (const auto& [id, info] : connections)
        players.push_back(detail::playerJson(info));
    state["players"] = std::move(players);
    return detail::jsonText(state);
}

std::string RelayCore::summaryJson() const {
    nlohmann::json summary = stateBasics();
    // The cluster's list of this node's instances grows with the rooms: the summary keeps the
    // link and the nodes only.
    if (auto it = summary.find("cluster"); it != summary.end() && it->is_object())
        it->erase("localRooms");
    const net::LoopGauges gauges = loop->gauges();
    summary["busiestRooms"] = detail::busiestRooms(rooms.counts());
    summary["connections"] = gauges.httpConnections + gauges.webSockets;
    summary["instances"] = rooms.size();
    summary["players"] = connections.size();
    summary["rooms"] = rooms.counts().size();
    summary["uptimeSeconds"] =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
            .count();
    return detail::jsonText(summary);
}

std::string RelayCore::playersJson(const detail::PageRequest& request) const {
    return detail::jsonText(detail::playersPage(connections, request));
}

std::string RelayCore::roomPageJson(const detail::PageRequest& request) const {
    return detail::jsonText(detail::roomsPage(rooms.counts(), request));
}

} // namespace tnlrelay
