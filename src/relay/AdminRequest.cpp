// Admin request parameters: bodies, their members and the live log offset.
#include "AdminRequest.hpp"
#include "text/JsonText.hpp"

#include <cmath>
#include <cstdlib>

namespace tnlrelay::detail {

nlohmann::json parseBody(std::string_view body) {
    if (body.empty()) return nlohmann::json::object();
    auto value = nlohmann::json::parse(body.begin(), body.end(), nullptr, false, false);
    if (value.is_discarded()) return nlohmann::json::object();
    return value;
}

std::optional<std::uint32_t> connIdMember(const nlohmann::json& body) {
    auto it = body.find("connId");
    if (it == body.end()) return 0u;
    // Numbers too large for a double's range read as 0 here, as a kick of nobody.
    if (it->is_number_float() && !std::isfinite(it->get<double>())) return 0u;
    return low32Bits(*it);
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

} // namespace tnlrelay::detail
