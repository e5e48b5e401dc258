// Where the relay keeps its files, and reading and writing config.json. Reading is forgiving
// (anything unusable falls back to a default); writing replaces the file atomically and keeps
// every key it does not know.
#include "RelayConfig.hpp"

#include "platform/Platform.hpp"
#include "text/JsonText.hpp"

#include <algorithm>
#include <cmath>
#include <system_error>

namespace tnlrelay {

namespace {

using nlohmann::json;

// A number or boolean from the file as a signed 32-bit value: fractions are cut toward zero and
// only the low 32 bits are kept, whatever the magnitude. Anything else has no value.
std::optional<std::int32_t> toInt32(const json& value) {
    if (std::optional<std::uint32_t> bits = detail::low32Bits(value))
        return static_cast<std::int32_t>(*bits);
    return std::nullopt;
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

namespace {

// The three keys the record holds in typed members; everything else stays in `others`.
constexpr std::string_view kOwnKeys[] = {"adminPort", "bans", "gamePort"};

bool isOwnKey(std::string_view key) {
    for (std::string_view own : kOwnKeys)
        if (key == own) return true;
    return false;
}

// Deeper documents are refused: copying and writing a JSON value recurses once per level.
constexpr int kMaxDepth = 100;

} // namespace

std::optional<RelayConfig> RelayConfig::parse(std::string_view text) {
    try {
        bool tooDeep = false;
        json::parser_callback_t depthCheck = [&tooDeep](int depth, json::parse_event_t, json&) {
            if (depth > kMaxDepth) tooDeep = true;
            return !tooDeep;
        };
        json root = json::parse(text, depthCheck, false);
        if (tooDeep || root.is_discarded() || !root.is_object()) return std::nullopt;
        RelayConfig config;
        readPort(root, "gamePort", config.gamePort);
        readPort(root, "adminPort", config.adminPort);
        readBans(root, config.bans);
        for (auto it = root.begin(); it != root.end(); ++it) {
            if (!isOwnKey(it.key())) config.others[it.key()] = std::move(it.value());
        }
        return config;
    } catch (const std::exception&) {
        // Only allocation failures can get here.
        return std::nullopt;
    }
}

RelayConfig RelayConfig::load() {
    // Reading creates no folders: the tray reads the configuration as an ordinary user, and the
    // folders must be made by the service, with its access list.
    std::string text = platform::readFile(dataDirPath() / "config.json");
    if (text.empty()) return RelayConfig{};
    return parse(text).value_or(RelayConfig{});
}

std::optional<RelayConfig> RelayConfig::loadStrict() {
    std::string text = platform::readFile(dataDirPath() / "config.json");
    if (text.empty()) return std::nullopt;
    return parse(text);
}

std::string RelayConfig::text() const {
    try {
        json root = others.is_object() ? others : json::object();
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
        return root.dump(2, ' ', false, json::error_handler_t::replace);
    } catch (const std::exception&) {
        return {};
    }
}

bool RelayConfig::save() const {
    std::string bytes = text();
    if (bytes.empty()) return false;
    return platform::replaceFile(configPath(), bytes);
}

const nlohmann::json* RelayConfig::find(std::string_view key) const {
    if (!others.is_object()) return nullptr;
    auto it = others.find(key);
    return it == others.end() ? nullptr : &*it;
}

AbuseLimits RelayConfig::limits() const {
    AbuseLimits limits;
    const json* object = find("limits");
    if (object == nullptr || !object->is_object()) return limits;
    // A non-negative finite number, or nothing.
    auto number = [object](const char* key) -> std::optional<double> {
        auto it = object->find(key);
        if (it == object->end() || !it->is_number()) return std::nullopt;
        const double value = it->get<double>();
        if (!std::isfinite(value) || value < 0) return std::nullopt;
        return value;
    };
    auto count = [&number](const char* key, std::uint32_t& out) {
        if (auto value = number(key)) out = static_cast<std::uint32_t>(std::min(*value, 4e9));
    };
    count("maxConnectionsPerAddress", limits.maxConnectionsPerAddress);
    count("joinsPerAddressPerMinute", limits.joinsPerAddressPerMinute);
    if (auto value = number("messagesPerSecond")) limits.messagesPerSecond = *value;
    if (auto value = number("burst")) limits.burst = *value;
    if (auto value = number("maxMessageBytes"); value && *value >= 1) {
        limits.maxMessageBytes = static_cast<std::uint64_t>(
            std::min(*value, static_cast<double>(AbuseLimits::kLargestMessage)));
    }
    if (auto it = object->find("allowedOrigins"); it != object->end() && it->is_array()) {
        std::vector<std::string> origins;
        for (const json& origin : *it) {
            if (origin.is_string()) origins.push_back(origin.get<std::string>());
        }
        limits.allowedOrigins = std::move(origins);
    }
    return limits;
}

std::chrono::microseconds RelayConfig::flushInterval() const {
    const json* value = find("flushIntervalMicros");
    if (value == nullptr || !value->is_number()) return {};
    const double micros = value->get<double>();
    if (!std::isfinite(micros) || micros < 0) return {};
    return std::chrono::microseconds(static_cast<std::int64_t>(std::min(micros, 1e6)));
}

std::chrono::milliseconds RelayConfig::stopGrace() const {
    // The Windows service reports its stop as pending for about this long at most.
    constexpr double kMaxSeconds = 30;
    const json* value = find("stopGraceSeconds");
    if (value == nullptr || !value->is_number()) return {};
    const double seconds = value->get<double>();
    if (!std::isfinite(seconds) || seconds < 0) return {};
    return std::chrono::milliseconds(
        static_cast<std::int64_t>(std::min(seconds, kMaxSeconds) * 1e3));
}

FileStamp configStamp() {
    FileStamp stamp;
    std::error_code ec;
    const std::filesystem::path path = dataDirPath() / "config.json";
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) return stamp;
    const auto modified = std::filesystem::last_write_time(path, ec);
    if (ec) return stamp;
    stamp.exists = true;
    stamp.size = size;
    stamp.modified = static_cast<std::int64_t>(modified.time_since_epoch().count());
    return stamp;
}

int removeStaleConfigTemps() {
    // "config.json.tmp." followed by the process id, a dot and a counter (see replaceFile).
    // Compared in the path's native characters, so that no other name needs converting.
    using Native = std::filesystem::path::string_type;
    constexpr std::string_view kPrefix = "config.json.tmp.";
    const Native prefix(kPrefix.begin(), kPrefix.end());
    auto digits = [](const Native& s, std::size_t from, std::size_t to) {
        if (from >= to) return false;
        for (std::size_t i = from; i < to; ++i)
            if (s[i] < '0' || s[i] > '9') return false;
        return true;
    };
    int removed = 0;
    std::error_code ec;
    std::filesystem::directory_iterator it(dataDirPath(), ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const Native name = it->path().filename().native();
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::size_t dot = name.find('.', prefix.size());
        if (dot == Native::npos || !digits(name, prefix.size(), dot) ||
            !digits(name, dot + 1, name.size()))
            continue;
        std::error_code typeError;
        if (!it->is_regular_file(typeError)) continue;
        if (platform::removeFile(it->path())) ++removed;
    }
    return removed;
}

} // namespace tnlrelay
