// tnlrelay-admin-bench [--out FILE] [player counts...]: what the admin documents cost as the
// players grow, built in process from synthetic player and room tables with the relay's own
// functions. For each player count it prints a table row and appends one JSON line to FILE: the
// state document's players and rooms (time and bytes, per player), and the summary's busiest
// rooms and the player pages the admin page asks for (time and bytes).
#include "relay/AdminPages.hpp"
#include "relay/RoomList.hpp"
#include "relay/Rooms.hpp"
#include "text/JsonText.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

using namespace tnlrelay;

namespace {

using Clock = std::chrono::steady_clock;
using Players = std::unordered_map<net::ConnId, ConnInfo>;

/// Players as a game fills a relay: 16 a room instance over 50 room names, values of the
/// lengths games send (a 36-character identity, a short name, an IPv4 address).
void fill(std::size_t n, Players& players, RoomTable& rooms) {
    char guid[64];
    for (std::size_t i = 0; i < n; ++i) {
        const auto id = static_cast<net::ConnId>(i + 1);
        ConnInfo info;
        info.connId = id;
        const std::string name = "Game_room" + std::to_string(i % 50);
        info.room = rooms.firstWithRoom(name, 16);
        std::snprintf(guid, sizeof guid, "%08zx-1c2d-4e5f-8a9b-%012zx",
                      (i * 2654435761u) & 0xffffffffu, i & 0xffffffffffffu);
        info.guid = guid;
        info.name = "player" + std::to_string(i);
        info.ip = "10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." +
                  std::to_string(i & 255);
        info.game = "Game";
        info.pid = "1234";
        rooms.add(info.room, Member{id, nullptr});
        players.emplace(id, std::move(info));
    }
}

/// The median time of `reps` runs of `make` in microseconds, and the size of what it made.
template <class F> std::pair<double, std::size_t> measure(int reps, F make) {
    std::vector<double> times;
    std::size_t bytes = 0;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = Clock::now();
        bytes = make().size();
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], bytes};
}

detail::PageRequest page(std::string_view query) {
    detail::PageRequest r;
    detail::readPageRequest(query, r);
    return r;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> counts;
    std::FILE* out = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--out" && i + 1 < argc) {
            out = std::fopen(argv[++i], "a");
            if (!out) {
                std::perror(argv[i]);
                return 1;
            }
        } else {
            counts.push_back(std::strtoull(argv[i], nullptr, 10));
        }
    }
    if (counts.empty()) counts = {1000, 10000, 25000, 50000, 100000, 200000};
    std::printf("| players | /api/state (players and rooms) | per player | summary's busiest rooms "
                "| first page of 50 | page of 200 at the middle | search | one room's players "
                "|\n|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (std::size_t n : counts) {
        Players players;
        RoomTable rooms;
        fill(n, players, rooms);
        const int reps = n >= 100000 ? 5 : 11;
        // The part of /api/state that grows: every player and the folded room list.
        const auto state = measure(reps, [&] {
            nlohmann::json doc = nlohmann::json::object();
            doc["rooms"] = detail::buildRoomList(rooms.map(), "");
            auto list = nlohmann::json::array();
            for (const auto& [id, info] : players)
                list.push_back(detail::playerJson(info));
            doc["players"] = std::move(list);
            return detail::jsonText(doc);
        });
        const auto busiest =
            measure(reps, [&] { return detail::jsonText(detail::busiestRooms(rooms.counts())); });
        const auto first = measure(
            reps, [&] { return detail::jsonText(detail::playersPage(players, page("limit=50"))); });
        const auto deep = measure(reps, [&] {
            return detail::jsonText(
                detail::playersPage(players, page("limit=200&offset=" + std::to_string(n / 2))));
        });
        const auto search = measure(reps, [&] {
            return detail::jsonText(detail::playersPage(players, page("q=player77")));
        });
        const auto room = measure(reps, [&] {
            return detail::jsonText(detail::playersPage(players, page("room=Game_room7")));
        });
        const auto ms = [](double micros) { return micros / 1000; };
        std::printf("| %zu | %.1f ms, %.2f MB | %.2f µs, %.0f B | %.3f ms, %zu B | %.2f ms, %zu B "
                    "| %.2f ms, %zu B | %.2f ms, %zu B | %.2f ms, %zu B |\n",
                    n, ms(state.first), double(state.second) / 1e6, state.first / double(n),
                    double(state.second) / double(n), ms(busiest.first), busiest.second,
                    ms(first.first), first.second, ms(deep.first), deep.second, ms(search.first),
                    search.second, ms(room.first), room.second);
        if (out) {
            std::fprintf(out,
                         "{\"scenario\":\"admin\",\"players\":%zu,\"instances\":%zu,"
                         "\"stateMicros\":%.0f,\"stateBytes\":%zu,\"busiestMicros\":%.1f,"
                         "\"busiestBytes\":%zu,\"firstPageMicros\":%.0f,\"firstPageBytes\":%zu,"
                         "\"deepPageMicros\":%.0f,\"deepPageBytes\":%zu,\"searchMicros\":%.0f,"
                         "\"searchBytes\":%zu,\"roomMicros\":%.0f,\"roomBytes\":%zu}\n",
                         n, rooms.size(), state.first, state.second, busiest.first, busiest.second,
                         first.first, first.second, deep.first, deep.second, search.first,
                         search.second, room.first, room.second);
            std::fflush(out);
        }
        std::fflush(stdout);
    }
    if (out) std::fclose(out);
    return 0;
}
