// JSON as the relay writes and reads it everywhere: one way to write a document's text, the
// headers of every JSON reply, and one way to read a number as its low 32 bits.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tnlrelay::detail {

/// Compact JSON text, keys in ascending order, invalid UTF-8 replaced by U+FFFD.
std::string jsonText(const nlohmann::json& value);

/// The JSON headers of every JSON reply.
inline constexpr std::string_view kJsonHeaders =
    "Content-Type: application/json\r\nAccess-Control-Allow-Origin: *\r\n";

/// A number truncated toward zero and reduced to its low 32 bits, whatever its magnitude or sign;
/// false and true as 0 and 1. Nothing for infinities, NaN and any other type.
std::optional<std::uint32_t> low32Bits(const nlohmann::json& value);

} // namespace tnlrelay::detail
