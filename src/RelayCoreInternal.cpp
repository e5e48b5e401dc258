// Helpers shared by the parts of RelayCore: query variables, log-safe values, JSON text, and the
// pieces of an admin request (body members, the log offset, the loopback check).
#include "RelayCoreInternal.hpp"
#include "Text.hpp"

#include <cmath>
#include <cstdlib>

namespace tnlrelay::detail {

namespace {

/// Query values are read into a buffer of this size with its terminating zero, so a decoded
/// value of this many bytes or more is refused.
constexpr std::size_t kQueryValueLimit = 256;

int hexDigit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

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

bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char ch : s) {
        if (ch < '0' || ch > '9') return false;
    }
    return true;
}

/// A decimal number from 0 to 255 without a sign.
bool isOctet(std::string_view s) {
    if (!allDigits(s) || s.size() > 3) return false;
    return std::atoi(std::string(s).c_str()) <= 255;
}

bool isLoopbackName(std::string_view name) {
    if (name == "[::1]" || equalsNoCase(name, "localhost")) return true;
    // 127.x.x.x in dotted decimal
    std::string_view rest = name;
    for (int part = 0; part < 4; ++part) {
        auto dot = rest.find('.');
        auto piece = part < 3 ? rest.substr(0, dot) : rest;
        if ((part < 3 && dot == std::string_view::npos) || !isOctet(piece)) return false;
        if (part == 0 && piece != "127") return false;
        if (part < 3) rest.remove_prefix(dot + 1);
    }
    return true;
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

std::string logValue(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (char ch : value) {
        auto byte = static_cast<unsigned char>(ch);
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

std::string jsonText(const nlohmann::json& value) {
    try {
        return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception&) {
        // Unreachable with replacement of invalid UTF-8; an empty document is the safe answer.
        return {};
    }
}

std::string_view roomBase(std::string_view key) {
    auto hash = key.rfind('#');
    if (hash == std::string_view::npos) return key;
    if (!allDigits(key.substr(hash + 1))) return key;
    return key.substr(0, hash);
}

nlohmann::json parseBody(std::string_view body) {
    if (body.empty()) return nlohmann::json::object();
    auto value = nlohmann::json::parse(body.begin(), body.end(), nullptr, false, false);
    if (value.is_discarded()) return nlohmann::json::object();
    return value;
}

std::optional<std::uint32_t> connIdMember(const nlohmann::json& body) {
    auto it = body.find("connId");
    if (it == body.end()) return 0u;
    const auto& v = *it;
    if (v.is_boolean()) return v.get<bool>() ? 1u : 0u;
    if (v.is_number_unsigned()) return static_cast<std::uint32_t>(v.get<std::uint64_t>());
    if (v.is_number_integer()) {
        return static_cast<std::uint32_t>(static_cast<std::uint64_t>(v.get<std::int64_t>()));
    }
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (!std::isfinite(d)) return 0u;
        // fmod is exact, so huge values keep their true low 32 bits without an overflowing cast.
        constexpr double kTwo32 = 4294967296.0;
        double low = std::fmod(std::trunc(d), kTwo32);
        if (low < 0) low += kTwo32;
        return static_cast<std::uint32_t>(low);
    }
    return std::nullopt;
}

std::optional<std::string> stringMember(const nlohmann::json& body, const char* key) {
    auto it = body.find(key);
    if (it == body.end()) return std::string();
    if (!it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::uint64_t sinceOffset(const std::string& text) {
    if (text.empty()) return 0;
    return std::strtoull(text.c_str(), nullptr, 10);
}

bool isLoopbackHost(std::string_view host) {
    std::string_view name = host;
    if (!host.empty() && host.front() == '[') {
        auto close = host.find(']');
        if (close == std::string_view::npos) return false;
        name = host.substr(0, close + 1);
        auto rest = host.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !allDigits(rest.substr(1)))) return false;
    } else if (auto colon = host.rfind(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        if (!allDigits(host.substr(colon + 1))) return false;
    }
    return isLoopbackName(name);
}

bool adminRequestAllowed(const std::string_view* host, const std::string_view* origin) {
    if (host != nullptr && !isLoopbackHost(*host)) return false;
    if (origin == nullptr) return true;
    if (host == nullptr) return false;
    constexpr std::string_view kScheme = "http://";
    return origin->size() == kScheme.size() + host->size() &&
           equalsNoCase(origin->substr(0, kScheme.size()), kScheme) &&
           equalsNoCase(origin->substr(kScheme.size()), *host);
}

} // namespace tnlrelay::detail
