// Where the relay keeps its files, and reading and writing config.json. Reading is forgiving
// (anything unusable falls back to a default); writing replaces the file atomically.
#include "RelayConfig.hpp"

#include "platform/Platform.hpp"

#include <cmath>
#include <nlohmann/json.hpp>
#include <optional>

namespace tnlrelay {

namespace {

using nlohmann::json;

// A number or boolean from the file as a signed 32-bit value: fractions are cut toward zero and
// only the low 32 bits are kept, whatever the magnitude. Anything else has no value.
std::optional<std::int32_t> toInt32(const json& value) {
    std::uint32_t bits = 0;
    switch (value.type()) {
    case json::value_t::boolean:
        return value.get<bool>() ? 1 : 0;
    case json::value_t::number_integer:
        bits = static_cast<std::uint32_t>(value.get<std::int64_t>());
        break;
    case json::value_t::number_unsigned:
        bits = static_cast<std::uint32_t>(value.get<std::uint64_t>());
        break;
    case json::value_t::number_float: {
        double number = value.get<double>();
        if (!std::isfinite(number)) return std::nullopt;
        // fmod of a whole number is exact, so this is the low 32 bits without any cast that
        // could overflow.
        constexpr double kTwoTo32 = 4294967296.0;
        double low = std::fmod(std::trunc(number), kTwoTo32);
        if (low < 0) low += kTwoTo32;
        bits = static_cast<std::uint32_t>(low);
        break;
    }
    default:
        return std::nullopt;
    }
    return static_cast<std::int32_t>(bits);
}

void readPort(const json& object, const char* key, std::int32_t& port) {
    auto it = object.find(key);
    if (it == object.end()) return;
    if (std::optional<std::int32_t> value = toInt32(*it)) port = *value;
}

void readBans(const json& object, std::map<std::string, std::string>& bans) {
    auto list = object.find("bans");
    if (list == object.end() || !list->is_array()) return;
    for (const json& entry : *list) {
        if (!entry.is_object()) continue;
        auto ip = entry.find("ip");
        if (ip == entry.end() || !ip->is_string()) continue;
        std::string name;
        if (auto found = entry.find("name"); found != entry.end()) {
            if (!found->is_string()) continue;
            name = found->get<std::string>();
        }
        bans[ip->get<std::string>()] = std::move(name);
    }
}

// The data directory's path, without creating anything.
std::filesystem::path dataDirPath() {
    return platform::dataDirBase() / "Tarnelle" / "RelayServer";
}

} // namespace

std::filesystem::path dataDir() {
    std::filesystem::path dir = dataDirPath();
    platform::createDirectory(dir.parent_path());
    platform::createDirectory(dir);
    return dir;
}

std::filesystem::path configPath() {
    return dataDir() / "config.json";
}

std::filesystem::path logPath() {
    return dataDir() / "relay.log";
}

std::string logPathUtf8() {
    return platform::pathUtf8(logPath());
}

RelayConfig RelayConfig::load() {
    RelayConfig config;
    // Reading creates no folders: the tray reads the configuration as an ordinary user, and the
    // folders must be made by the service, with its access list.
    std::string text = platform::readFile(dataDirPath() / "config.json");
    if (text.empty()) return config;
    try {
        json root = json::parse(text, nullptr, false);
        if (root.is_discarded() || !root.is_object()) return config;
        readPort(root, "gamePort", config.gamePort);
        readPort(root, "adminPort", config.adminPort);
        readBans(root, config.bans);
    } catch (const std::exception&) {
        // Only allocation failures can get here; a partial record is still a complete one.
    }
    return config;
}

bool RelayConfig::save() const {
    std::string text;
    try {
        json root = json::object();
        root["gamePort"] = gamePort;
        root["adminPort"] = adminPort;
        json list = json::array();
        for (const auto& [ip, name] : bans) {
            json entry = json::object();
            entry["ip"] = ip;
            entry["name"] = name;
            list.push_back(std::move(entry));
        }
        root["bans"] = std::move(list);
        // Invalid UTF-8 in an address or name becomes U+FFFD instead of failing the save.
        text = root.dump(2, ' ', false, json::error_handler_t::replace);
    } catch (const std::exception&) {
        return false;
    }
    return platform::replaceFile(configPath(), text);
}

} // namespace tnlrelay
