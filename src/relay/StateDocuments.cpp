// The documents that describe the running relay: the room list that games fetch and the state
// document of the admin page. Both are built anew from the tables for every request.
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

namespace {

/// A player as the state document and the cluster view show it.
nlohmann::json playerJson(const ConnInfo& info) {
    return {
        {"category", info.category},
        {"connId", info.connId},
        {"game", info.game},
        {"guid", info.guid},
        {"ip", info.ip},
        {"listed", info.listed},
        {"name", info.name},
        {"owner", info.owner},
        {"pid", info.pid},
        {"room", info.room},
        {"thumbnail", info.thumbnail},
    };
}

} // namespace

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
        players.push_back(playerJson(*joined[i]));
    return detail::jsonText(players);
}

void RelayCore::clusterView(std::size_t offset, std::size_t limit, std::size_t roomOffset,
                            std::size_t roomLimit, std::function<void(std::string)> done) {
    cluster.view(offset, limit, roomOffset, roomLimit,
                 [done = std::move(done)](nlohmann::json page) {
                     done(page.is_null() ? std::string() : detail::jsonText(page));
                 });
}

std::string RelayCore::stateJson() const {
    nlohmann::json state = nlohmann::json::object();
    state["configSaved"] = store.saved();
    state["gamePort"] = listenGamePort;
    state["limitRefusals"] = {{"connectionsPerAddress", abuse.counts().connectionsPerAddress},
                              {"joinsPerMinute", abuse.counts().joinsPerMinute},
                              {"messageRate", abuse.counts().messageRate},
                              {"messageSize", abuse.counts().messageSize},
                              {"origin", abuse.counts().origin}};
    state["logPath"] = platform::pathUtf8(log.filePath());
    state["rooms"] = detail::buildRoomList(rooms.map(), "");

    auto players = nlohmann::json::array();
    for (const auto& [id, info] : connections)
        players.push_back(playerJson(info));
    state["players"] = std::move(players);

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
    return detail::jsonText(state);
}

} // namespace tnlrelay
