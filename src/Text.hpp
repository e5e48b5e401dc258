// Small text helpers that several parts need: ASCII case-insensitive comparison (the adapter's,
// which sits below everything), hex digits and digit runs, `atoi` without its undefined behaviour
// on overflow, and remote values made safe for a log line.
#pragma once

#include "net/NetText.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace tnlrelay {

using net::equalsNoCase;
using net::hexDigit;

/// One or more ASCII digits and nothing else.
inline bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char ch : s)
        if (ch < '0' || ch > '9') return false;
    return true;
}

/// What `atoi` reads (leading white space, a sign, digits), saturated to the 32-bit range.
inline std::int32_t atoiSaturating(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT32_MAX) {
            value = std::int64_t(INT32_MAX) + 1;
            break;
        }
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<std::int32_t>(value);
}

namespace detail {

/// A value from a player or the admin API made safe for a log line: CR, LF and the other control
/// bytes are written as \xHH, so that no value can begin a false line.
inline std::string logValue(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (char ch : value) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += ch;
        }
    }
    return out;
}

} // namespace detail

} // namespace tnlrelay
