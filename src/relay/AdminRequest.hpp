// Reading the parameters of admin requests: the JSON body and its members, and the offset of a
// live log request. Nothing here throws on what a client sends.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tnlrelay::detail {

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

} // namespace tnlrelay::detail
