// Helpers shared by the parts of RelayCore: reading query variables, making remote values safe
// for a log line, and writing JSON text the way every document of the relay needs it.
#pragma once

#include <nlohmann/json.hpp>

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

} // namespace tnlrelay::detail
