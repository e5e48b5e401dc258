// Reading the variables of a request's query string the way a form reader does: URL decoding,
// "+" as a blank, names matched without regard to case, a limit on the decoded length.
#pragma once

#include <string>
#include <string_view>

namespace tnlrelay::detail {

/// One URL-decoded query variable ("+" reads as a blank; the name is matched without regard to
/// case; the first occurrence wins). Empty when absent, empty, undecodable or 256 bytes or more.
std::string queryVar(std::string_view query, std::string_view name);

} // namespace tnlrelay::detail
