// The admin page's bounded documents: players and rooms a page at a time, found by room or by
// search, and the busiest rooms. Whatever the number of players, an answer holds at most
// `kMaxPageLimit` entries; finding them may walk the table.
#pragma once

#include "ConnInfo.hpp"
#include "RoomCounts.hpp"
#include "net/Net.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tnlrelay::detail {

inline constexpr std::size_t kDefaultPageLimit = 50;
/// The most entries one page holds; a larger `limit` is cut to it.
inline constexpr std::size_t kMaxPageLimit = 200;
/// The busiest rooms the summary names.
inline constexpr std::size_t kBusiestRooms = 10;

/// What a page request asks for: `room` (a room name, all its instances, or one instance),
/// `q` (a piece of text to search for, without regard to ASCII case), and where the page starts.
struct PageRequest {
    std::string room;
    std::string q;
    std::uint64_t offset = 0;
    std::size_t limit = kDefaultPageLimit;
};

/// Reads "room", "q", "offset" and "limit" from a query string. Returns null when they are
/// usable, else why not: offset and limit are decimal digits, and limit is at least 1.
const char* readPageRequest(std::string_view query, PageRequest& out);

/// One player as the state document and the player pages show it.
nlohmann::json playerJson(const ConnInfo& info);

/// Players matching the request in ascending connection id, one page of them:
/// {"limit","nextOffset" (null after the last page),"offset","players","total" (all matching)}.
/// A search matches the name, the identity ("player"), the address or the connection id.
nlohmann::json playersPage(const std::unordered_map<net::ConnId, ConnInfo>& players,
                           const PageRequest& request);

/// Room names (instances folded) matching the search, in ascending byte order, one page of them:
/// {"limit","nextOffset","offset","rooms":[{"count","room"}...],"total"}.
nlohmann::json roomsPage(const RoomCounts& counts, const PageRequest& request);

/// The `kBusiestRooms` room names with the most members: [{"count","room"}...].
nlohmann::json busiestRooms(const RoomCounts& counts);

} // namespace tnlrelay::detail
