// Reading the game port's optional keys. Wrong-typed values are ignored, one by one.
#include "GamePortSettings.hpp"

#include <nlohmann/json.hpp>

namespace tnlrelay {

namespace {

const nlohmann::json* member(const nlohmann::json& document, const char* key) {
    if (!document.is_object()) return nullptr;
    auto it = document.find(key);
    return it == document.end() ? nullptr : &*it;
}

std::filesystem::path pathOf(const nlohmann::json* value, const std::filesystem::path& base) {
    if (!value || !value->is_string() || value->get_ref<const std::string&>().empty()) return {};
    // Paths in config.json are UTF-8 on every platform.
    const std::string& text = value->get_ref<const std::string&>();
    std::filesystem::path p(std::u8string(text.begin(), text.end()));
    return p.is_absolute() ? p : base / p;
}

} // namespace

GamePortSettings GamePortSettings::read(const nlohmann::json& document,
                                        const std::filesystem::path& dataDirectory) {
    GamePortSettings s;
    if (const auto* host = member(document, "gameHost");
        host && host->is_string() && net::parseIp(host->get_ref<const std::string&>()))
        s.host = net::formatIp(*net::parseIp(host->get_ref<const std::string&>()));
    s.certificate = pathOf(member(document, "tlsCertificate"), dataDirectory);
    s.privateKey = pathOf(member(document, "tlsPrivateKey"), dataDirectory);
    if (s.certificate.empty() || s.privateKey.empty()) s.certificate.clear(), s.privateKey.clear();
    if (const auto* only = member(document, "tlsOnly"); only && only->is_boolean())
        s.tlsOnly = only->get<bool>();
    if (const auto* own = member(document, "tlsOwnRecords"); own && own->is_boolean())
        s.tlsOwnRecords = own->get<bool>();
    if (const auto* header = member(document, "forwardedHeader")) {
        const std::optional<ForwardedHeader> which =
            header->is_string() ? forwardedHeaderNamed(header->get_ref<const std::string&>())
                                : std::nullopt;
        if (which)
            s.forwardedHeader = *which;
        else
            s.unusableForwardedHeader = header->dump();
    }
    if (const auto* list = member(document, "trustedProxies"); list && list->is_array()) {
        for (const auto& entry : *list) {
            const std::string text = entry.is_string() ? entry.get<std::string>() : entry.dump();
            if (!entry.is_string() || !s.trustedProxies.add(text))
                s.unusableProxies.push_back(text);
        }
    }
    return s;
}

} // namespace tnlrelay
