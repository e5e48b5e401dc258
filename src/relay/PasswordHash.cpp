// Making and verifying the scrypt hashes of admin passwords, and their text form.
#include "PasswordHash.hpp"

#include "text/Text.hpp"

#include <array>
#include <cstdint>
#include <vector>

namespace tnlrelay {

namespace {

constexpr std::string_view kScheme = "scrypt";
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const unsigned char* data, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size; i += 3) {
        const std::uint32_t chunk = (std::uint32_t(data[i]) << 16) |
                                    (i + 1 < size ? std::uint32_t(data[i + 1]) << 8 : 0) |
                                    (i + 2 < size ? std::uint32_t(data[i + 2]) : 0);
        out += kAlphabet[(chunk >> 18) & 63];
        out += kAlphabet[(chunk >> 12) & 63];
        out += i + 1 < size ? kAlphabet[(chunk >> 6) & 63] : '=';
        out += i + 2 < size ? kAlphabet[chunk & 63] : '=';
    }
    return out;
}

std::optional<std::string> unbase64(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) return std::nullopt;
    std::string out;
    std::uint32_t chunk = 0;
    int bits = 0;
    std::size_t padding = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        if (ch == '=') {
            if (i + 2 < text.size()) return std::nullopt;
            ++padding;
            continue;
        }
        if (padding) return std::nullopt;
        const char* at = std::char_traits<char>::find(kAlphabet, 64, ch);
        if (!at) return std::nullopt;
        chunk = (chunk << 6) | std::uint32_t(at - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((chunk >> bits) & 0xff);
        }
    }
    return out;
}

/// A decimal field without sign or leading zero, as the hash writes it.
std::optional<std::uint64_t> number(std::string_view field) {
    if (!allDigits(field) || field.size() > 10 || (field.size() > 1 && field[0] == '0'))
        return std::nullopt;
    std::uint64_t value = 0;
    for (char ch : field)
        value = value * 10 + std::uint64_t(ch - '0');
    return value;
}

struct ParsedHash {
    net::ScryptCost cost;
    std::string salt, hash;
};

std::optional<ParsedHash> parse(std::string_view encoded) {
    std::array<std::string_view, 6> fields;
    std::string_view rest = encoded;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const auto dollar = rest.find('$');
        if ((dollar == std::string_view::npos) != (i + 1 == fields.size())) return std::nullopt;
        fields[i] = rest.substr(0, dollar);
        if (dollar != std::string_view::npos) rest.remove_prefix(dollar + 1);
    }
    if (fields[0] != kScheme) return std::nullopt;
    const auto n = number(fields[1]), r = number(fields[2]), p = number(fields[3]);
    if (!n || !r || !p) return std::nullopt;
    ParsedHash h;
    h.cost = {*n, std::uint32_t(*r), std::uint32_t(*p)};
    // N a power of two above 1; r and p small enough that r * p stays far below 2^30.
    if (*n < 2 || (*n & (*n - 1)) != 0 || *r < 1 || *r > 64 || *p < 1 || *p > 16) return {};
    if (net::scryptMemory(h.cost) > kPasswordMemoryLimit) return std::nullopt;
    auto salt = unbase64(fields[4]);
    auto hash = unbase64(fields[5]);
    if (!salt || !hash || salt->size() < 8 || hash->size() < 16 || hash->size() > 64) return {};
    h.salt = std::move(*salt);
    h.hash = std::move(*hash);
    return h;
}

} // namespace

std::optional<std::string> makePasswordHash(std::string_view password) {
    std::array<unsigned char, kSaltBytes> salt{};
    std::array<unsigned char, kHashBytes> hash{};
    if (!net::randomBytes(salt.data(), salt.size())) return std::nullopt;
    const std::string_view saltText(reinterpret_cast<const char*>(salt.data()), salt.size());
    if (!net::scrypt(password, saltText, kPasswordCost, hash.data(), hash.size()))
        return std::nullopt;
    return std::string(kScheme) + "$" + std::to_string(kPasswordCost.n) + "$" +
           std::to_string(kPasswordCost.r) + "$" + std::to_string(kPasswordCost.p) + "$" +
           base64(salt.data(), salt.size()) + "$" + base64(hash.data(), hash.size());
}

bool passwordHashUsable(std::string_view encoded) {
    return parse(encoded).has_value();
}

bool verifyPassword(std::string_view password, std::string_view encoded) {
    const std::optional<ParsedHash> h = parse(encoded);
    if (!h) return false;
    std::vector<unsigned char> derived(h->hash.size());
    if (!net::scrypt(password, h->salt, h->cost, derived.data(), derived.size())) return false;
    return net::secretsEqual(
        std::string_view(reinterpret_cast<const char*>(derived.data()), derived.size()), h->hash);
}

} // namespace tnlrelay
