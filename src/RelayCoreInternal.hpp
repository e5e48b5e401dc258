// Helpers shared by the parts of RelayCore: reading query variables, making remote values safe
// for a log line, writing JSON text the way every document of the relay needs it, and reading
// the requests of the admin endpoint.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tnlrelay::detail {

/// One URL-decoded query variable ("+" reads as a blank; the name is matched without regard to
/// case; the first occurrence wins). Empty when absent, empty, undecodable or 256 bytes or more.
std::string queryVar(std::string_view query, std::string_view name);

/// A value from a player or the admin API made safe for a log line: CR, LF and the other control
/// bytes are written as \xHH, so that no value can begin a false line.
std::string logValue(std::string_view value);

/// Compact JSON text, keys in ascending order, invalid UTF-8 replaced by U+FFFD.
std::string jsonText(const nlohmann::json& value);

/// The JSON headers of every JSON reply.
inline constexpr std::string_view kJsonHeaders =
    "Content-Type: application/json\r\nAccess-Control-Allow-Origin: *\r\n";

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

/// An admin request body as JSON: an empty object when the body is empty or is not exactly one
/// JSON text; otherwise whatever the text holds (which need not be an object).
nlohmann::json parseBody(std::string_view body);

/// "connId" of a kick body: 0 when absent; numbers truncated toward zero and reduced to their
/// low 32 bits, false and true as 0 and 1. Nothing when present with another type.
std::optional<std::uint32_t> connIdMember(const nlohmann::json& body);

/// A string member of a body: empty when absent, nothing when present with another type.
std::optional<std::string> stringMember(const nlohmann::json& body, const char* key);

/// The "since" offset of a log request, read as strtoull reads base 10 (blanks skipped, a sign
/// allowed, overflow saturating). 0 for an empty text.
std::uint64_t sinceOffset(const std::string& text);

/// `localhost`, `127.x.x.x` or `[::1]`, each with or without a port.
bool isLoopbackHost(std::string_view host);

/// Whether a request may use the admin endpoint: its Host, when present, names the loopback
/// interface, and its Origin, when present, is "http://" followed by that Host. This keeps
/// other web pages in the operator's browser (and DNS rebinding) away from the API.
bool adminRequestAllowed(const std::string_view* host, const std::string_view* origin);

} // namespace tnlrelay::detail
