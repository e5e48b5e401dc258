// Query variables: form URL decoding with the relay's limit on the length of a decoded value.
#include "UrlQuery.hpp"
#include "Text.hpp"

#include <optional>

namespace tnlrelay::detail {

namespace {

/// Query values are read into a buffer of this size with its terminating zero, so a decoded
/// value of this many bytes or more is refused.
constexpr std::size_t kQueryValueLimit = 256;

/// Form URL decoding; nothing when a "%" is not followed by two hex digits or the result would
/// not fit the value limit.
std::optional<std::string> urlDecode(std::string_view in) {
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (out.size() + 1 >= kQueryValueLimit) return std::nullopt;
        char ch = in[i];
        if (ch == '%') {
            if (i + 2 >= in.size()) return std::nullopt;
            int hi = hexDigit(in[i + 1]);
            int lo = hexDigit(in[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (ch == '+') {
            out += ' ';
        } else {
            out += ch;
        }
    }
    return out;
}

} // namespace

std::string queryVar(std::string_view query, std::string_view name) {
    if (name.empty()) return {};
    std::size_t pos = 0;
    while (pos <= query.size()) {
        auto end = query.find('&', pos);
        if (end == std::string_view::npos) end = query.size();
        auto pair = query.substr(pos, end - pos);
        if (pair.size() > name.size() && pair[name.size()] == '=' &&
            equalsNoCase(pair.substr(0, name.size()), name)) {
            // The first occurrence decides, even when its value is empty or unusable.
            return urlDecode(pair.substr(name.size() + 1)).value_or(std::string());
        }
        pos = end + 1;
    }
    return {};
}

} // namespace tnlrelay::detail
