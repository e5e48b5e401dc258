// The room list that games fetch: room instances folded under their base name and counted,
// optionally only those of one game, in ascending byte order.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace tnlrelay::detail {

/// The name a room key is listed under: the key less a trailing "#" followed by digits only.
std::string_view roomBase(std::string_view key);

/// The room list: one {"count","room"} object per base name, in ascending byte order. With a
/// non-empty `game` only keys beginning with game + "_" count, listed without that prefix.
/// `rooms` maps room keys to member containers (anything with `size()`).
template <class Rooms> nlohmann::json buildRoomList(const Rooms& rooms, std::string_view game) {
    std::string prefix;
    if (!game.empty()) {
        prefix.assign(game);
        prefix += '_';
    }
    std::map<std::string, std::int64_t, std::less<>> totals;
    for (const auto& [key, members] : rooms) {
        std::string_view name(key);
        if (!prefix.empty()) {
            if (!name.starts_with(prefix)) continue;
            name.remove_prefix(prefix.size());
        }
        auto base = roomBase(name);
        auto it = totals.find(base);
        if (it == totals.end()) it = totals.emplace(std::string(base), 0).first;
        it->second += static_cast<std::int64_t>(members.size());
    }
    auto list = nlohmann::json::array();
    for (const auto& [base, count] : totals) {
        list.push_back({{"count", count}, {"room", base}});
    }
    return list;
}

} // namespace tnlrelay::detail
