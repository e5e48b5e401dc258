// The admin page's bounded documents over a synthetic player table: pages that cover every
// player once and never grow with the table, the room and search filters, the busiest rooms,
// and the refusal of unusable paging parameters.
#include "relay/AdminPages.hpp"
#include "relay/RoomList.hpp"
#include "relay/Rooms.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace tnlrelay {
namespace {

using detail::PageRequest;
using Players = std::unordered_map<net::ConnId, ConnInfo>;

/// `n` players with ids from 1 in rooms "r0".."r9" (instances r3#2 and r3#3 among them).
Players makePlayers(std::size_t n, RoomTable* rooms = nullptr) {
    Players players;
    for (std::size_t i = 0; i < n; ++i) {
        const auto id = static_cast<net::ConnId>(i + 1);
        ConnInfo info;
        info.connId = id;
        info.room = "r" + std::to_string(i % 10) + (i % 30 == 3 ? "#2" : i % 30 == 13 ? "#3" : "");
        info.name = "Player" + std::to_string(i);
        info.guid = "guid-" + std::to_string(i * 7);
        info.ip = "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250);
        if (rooms) rooms->add(info.room, Member{id, nullptr});
        players.emplace(id, std::move(info));
    }
    return players;
}

PageRequest request(std::string_view query) {
    PageRequest r;
    EXPECT_EQ(detail::readPageRequest(query, r), nullptr) << query;
    return r;
}

/// Every id the pages of `base` hold, walking nextOffset; each page checked against the cap.
std::vector<net::ConnId> allPages(const Players& players, PageRequest base) {
    std::vector<net::ConnId> ids;
    for (int pages = 0; pages < 10000; ++pages) {
        const nlohmann::json page = detail::playersPage(players, base);
        EXPECT_LE(page["players"].size(), detail::kMaxPageLimit);
        EXPECT_EQ(page["limit"], base.limit);
        for (const auto& p : page["players"])
            ids.push_back(p["connId"].get<net::ConnId>());
        if (page["nextOffset"].is_null()) return ids;
        base.offset = page["nextOffset"].get<std::uint64_t>();
    }
    ADD_FAILURE() << "the pages never end";
    return ids;
}

TEST(AdminPages, PagesCoverEveryPlayerOnceInIdOrderAndStayBounded) {
    const Players players = makePlayers(1234);
    const auto ids = allPages(players, request("limit=100000"));
    ASSERT_EQ(ids.size(), players.size());
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    EXPECT_EQ(std::set<net::ConnId>(ids.begin(), ids.end()).size(), players.size());

    const nlohmann::json first = detail::playersPage(players, request("limit=7&offset=1230"));
    EXPECT_EQ(first["total"], 1234);
    EXPECT_EQ(first["players"].size(), 4u);
    EXPECT_EQ(first["players"][0]["connId"], 1231);
    EXPECT_TRUE(first["nextOffset"].is_null());
    EXPECT_EQ(detail::playersPage(players, request("offset=5000"))["players"].size(), 0u);

    // A page of 200,000 players is the size of a page of 2,000: only the total grows.
    const Players many = makePlayers(200000);
    const Players few = makePlayers(2000);
    const auto size = [](const Players& p) {
        return detail::playersPage(p, request("limit=200&offset=1000")).dump().size();
    };
    EXPECT_LE(size(many), size(few) + 16);
}

TEST(AdminPages, RoomAndSearchFiltersMatchWhatTheyPromise) {
    Players players = makePlayers(300);
    for (net::ConnId id : {1000, 1001, 1002})
        players[id].connId = id;
    players[1000].room = "r3x";        // another name, not an instance of r3
    players[1001].room = "r3#b";       // not a numbered instance either
    players[1002].name = "MiXeD Case"; // found without regard to case
    players[1002].room = "r0";
    const auto filtered = [&](const std::string& query, auto keep) {
        std::vector<net::ConnId> want;
        for (const auto& [id, info] : players)
            if (keep(id, info)) want.push_back(id);
        std::sort(want.begin(), want.end());
        EXPECT_EQ(allPages(players, request(query)), want) << query;
        EXPECT_FALSE(want.empty()) << query;
    };
    filtered("room=r3", [](net::ConnId, const ConnInfo& i) {
        return i.room == "r3" || i.room == "r3#2" || i.room == "r3#3";
    });
    filtered("room=r3%232", [](net::ConnId, const ConnInfo& i) { return i.room == "r3#2"; });
    filtered("room=r3x", [](net::ConnId id, const ConnInfo&) { return id == 1000; });
    filtered("q=mixed+CASE", [](net::ConnId id, const ConnInfo&) { return id == 1002; });
    filtered("q=GUID-21",
             [](net::ConnId, const ConnInfo& i) { return i.guid.view().starts_with("guid-21"); });
    filtered("q=10.0.1.",
             [](net::ConnId, const ConnInfo& i) { return i.ip.view().starts_with("10.0.1."); });
    filtered("q=299", [](net::ConnId id, const ConnInfo& i) {
        return id == 299 || i.name.view().find("299") != std::string_view::npos;
    });
    filtered("room=r5&q=player1", [](net::ConnId, const ConnInfo& i) {
        return i.room == "r5" && i.name.view().starts_with("Player1");
    });
    EXPECT_EQ(detail::playersPage(players, request("room=nowhere"))["total"], 0);
}

TEST(AdminPages, UnusableParametersAreRefusedAndLargeLimitsCut) {
    PageRequest r;
    for (const char* bad : {"offset=-1", "offset=x", "offset=1.5", "offset=99999999999999999999",
                            "limit=0", "limit=-5", "limit=ten", "limit=%201"})
        EXPECT_NE(detail::readPageRequest(bad, r), nullptr) << bad;
    EXPECT_EQ(request("").limit, detail::kDefaultPageLimit);
    EXPECT_EQ(request("limit=1000000").limit, detail::kMaxPageLimit);
    EXPECT_EQ(request("limit=3&offset=12").offset, 12u);
}

TEST(AdminPages, RoomCountsFoldInstancesAndRankTheBusiest) {
    RoomTable rooms;
    const Players players = makePlayers(600, &rooms);
    const nlohmann::json folded = detail::buildRoomList(rooms.map(), "");
    const nlohmann::json paged = detail::roomsPage(rooms.counts(), request("limit=200"));
    EXPECT_EQ(paged["rooms"], folded);
    EXPECT_EQ(paged["total"], 10);
    EXPECT_EQ(detail::roomsPage(rooms.counts(), request("q=R7"))["rooms"],
              nlohmann::json::parse(R"([{"count":60,"room":"r7"}])"));

    // Many rooms: the busiest list keeps its length, most members first, ties by name.
    for (net::ConnId id = 10000; id < 12000; ++id)
        rooms.add("solo" + std::to_string(id), Member{id, nullptr});
    for (net::ConnId id = 20000; id < 20070; ++id)
        rooms.add("big#" + std::to_string(2 + id % 3), Member{id, nullptr});
    const nlohmann::json busiest = detail::busiestRooms(rooms.counts());
    ASSERT_EQ(busiest.size(), detail::kBusiestRooms);
    EXPECT_EQ(busiest[0], nlohmann::json::parse(R"({"count":70,"room":"big"})"));
    EXPECT_EQ(busiest[1], nlohmann::json::parse(R"({"count":60,"room":"r0"})"));
    EXPECT_EQ(busiest[9], nlohmann::json::parse(R"({"count":60,"room":"r8"})"));
    EXPECT_EQ(rooms.counts().size(), 2011u);
    for (net::ConnId id = 20000; id < 20070; ++id)
        rooms.remove("big#" + std::to_string(2 + id % 3), id);
    EXPECT_EQ(detail::busiestRooms(rooms.counts())[0]["room"], "r0");
    EXPECT_EQ(rooms.counts().byName().count("big"), 0u) << "a name leaves with its last member";
}

} // namespace
} // namespace tnlrelay
