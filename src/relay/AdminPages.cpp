// Paging and searching the players and rooms for the admin page. A page of players is chosen
// with two selections over the matching ids rather than a sort of them all, so a first page of
// 100,000 players costs one walk of the table and little more.
#include "AdminPages.hpp"

#include "RoomList.hpp"
#include "text/Text.hpp"
#include "text/UrlQuery.hpp"

#include <algorithm>
#include <charconv>
#include <vector>

namespace tnlrelay::detail {

namespace {

/// Decimal digits only, within 64 bits; `fallback` when the variable is absent or empty.
bool readCount(std::string_view query, std::string_view name, std::uint64_t fallback,
               std::uint64_t& out) {
    const std::string text = queryVar(query, name);
    if (text.empty()) {
        out = fallback;
        return true;
    }
    if (!allDigits(text)) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

char lowerAscii(char ch) {
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

/// Whether `hay` holds `needle` (already in lower case), ASCII letters compared without case.
bool containsNoCase(std::string_view hay, std::string_view needle) {
    if (needle.size() > hay.size()) return false;
    for (std::size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        std::size_t j = 0;
        while (j < needle.size() && lowerAscii(hay[i + j]) == needle[j])
            ++j;
        if (j == needle.size()) return true;
    }
    return false;
}

std::string_view decimal(net::ConnId id, char (&buffer)[16]) {
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, id).ptr;
    return {buffer, static_cast<std::size_t>(end - buffer)};
}

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& ch : out)
        ch = lowerAscii(ch);
    return out;
}

/// The page's frame: the limit used, where it started, where the next one starts, the total.
nlohmann::json pageFrame(const PageRequest& request, std::size_t total) {
    const std::uint64_t next = request.offset + request.limit;
    return {{"limit", request.limit},
            {"nextOffset", next < total ? nlohmann::json(next) : nlohmann::json(nullptr)},
            {"offset", request.offset},
            {"total", total}};
}

} // namespace

const char* readPageRequest(std::string_view query, PageRequest& out) {
    out.room = queryVar(query, "room");
    out.q = queryVar(query, "q");
    std::uint64_t limit = 0;
    if (!readCount(query, "offset", 0, out.offset))
        return "offset must be a whole number of 0 or more";
    if (!readCount(query, "limit", kDefaultPageLimit, limit) || limit == 0)
        return "limit must be a whole number of 1 or more";
    out.limit = static_cast<std::size_t>(std::min<std::uint64_t>(limit, kMaxPageLimit));
    return nullptr;
}

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

nlohmann::json playersPage(const std::unordered_map<net::ConnId, ConnInfo>& players,
                           const PageRequest& request) {
    const std::string q = lowered(request.q);
    std::vector<net::ConnId> ids;
    char digits[16];
    for (const auto& [id, info] : players) {
        const std::string_view room = info.room;
        if (!request.room.empty() && room != request.room && roomBase(room) != request.room)
            continue;
        if (!q.empty() && !containsNoCase(info.name, q) && !containsNoCase(info.guid, q) &&
            !containsNoCase(info.ip, q) && !containsNoCase(decimal(info.connId, digits), q))
            continue;
        ids.push_back(id);
    }

    nlohmann::json page = pageFrame(request, ids.size());
    auto list = nlohmann::json::array();
    if (request.offset < ids.size()) {
        const auto first = ids.begin() + static_cast<std::ptrdiff_t>(request.offset);
        const auto last = ids.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(
                                            request.offset + request.limit, ids.size()));
        std::nth_element(ids.begin(), first, ids.end());
        std::nth_element(first, last, ids.end());
        std::sort(first, last);
        for (auto it = first; it != last; ++it)
            list.push_back(playerJson(players.at(*it)));
    }
    page["players"] = std::move(list);
    return page;
}

nlohmann::json roomsPage(const RoomCounts& counts, const PageRequest& request) {
    const std::string q = lowered(request.q);
    auto list = nlohmann::json::array();
    std::size_t total = 0;
    for (const auto& [name, count] : counts.byName()) {
        if (!q.empty() && !containsNoCase(name, q)) continue;
        if (total >= request.offset && list.size() < request.limit)
            list.push_back({{"count", count}, {"room", name}});
        ++total;
    }
    nlohmann::json page = pageFrame(request, total);
    page["rooms"] = std::move(list);
    return page;
}

nlohmann::json busiestRooms(const RoomCounts& counts) {
    auto list = nlohmann::json::array();
    counts.busiest(kBusiestRooms, [&](const std::string& name, std::int64_t count) {
        list.push_back({{"count", count}, {"room", name}});
    });
    return list;
}

} // namespace tnlrelay::detail
