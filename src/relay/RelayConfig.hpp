// The relay's settings (ports, bans and whatever else config.json holds), the data directory and
// the paths inside it. config.json is read at start and again whenever someone else changes it,
// and rewritten, atomically and without losing any key, by every ban and unban.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tnlrelay {

/// Limits on what one address or connection may do on the game port ("limits" in config.json).
/// Zero means no limit; without the key nothing is limited beyond the message size.
struct AbuseLimits {
    static constexpr std::uint64_t kLargestMessage = 268435456;
    std::uint32_t maxConnectionsPerAddress = 0; ///< joined connections at once
    std::uint32_t joinsPerAddressPerMinute = 0; ///< accepted joins within any 60 seconds
    double messagesPerSecond = 0;               ///< per connection, a token bucket...
    double burst = 0;                           ///< ...of this size (0: one second's worth)
    std::uint64_t maxMessageBytes = kLargestMessage;
    /// Origins a browser may join from; absent: any. Joins without an Origin are never refused.
    std::optional<std::vector<std::string>> allowedOrigins;
    bool operator==(const AbuseLimits&) const = default;
};

struct RelayConfig {
    std::int32_t gamePort = 49200;
    std::int32_t adminPort = 49201;
    std::map<std::string, std::string> bans; ///< IP address text -> player name
    /// Every other top-level key of the file as it was read, known to this version or not, so
    /// that a rewrite keeps them all. Always an object.
    nlohmann::json others = nlohmann::json::object();

    /// Reads config.json; never fails (defaults for whatever is missing or unreadable), never
    /// writes.
    static RelayConfig load();
    /// Like `load`, but nothing when the file is missing, cannot be read, does not parse or
    /// holds no JSON object: the caller then keeps what it has.
    static std::optional<RelayConfig> loadStrict();
    /// The record a text of config.json describes; nothing when it is not one JSON object (or
    /// nests deeper than any configuration needs).
    static std::optional<RelayConfig> parse(std::string_view text);
    /// Rewrites config.json as a whole, atomically. True when the new file is in place.
    bool save() const;
    /// The text `save` writes: sorted keys, indented by 2.
    std::string text() const;

    /// The "limits" key; a value of the wrong type or out of range keeps its default.
    AbuseLimits limits() const;

    /// "flushIntervalMicros": how long data frames may wait to leave together, in
    /// microseconds; 0 (every turn flushes) when absent, negative or not a number, at most 1 s.
    std::chrono::microseconds flushInterval() const;
    /// "stopGraceSeconds": how long a stop keeps the ports open, answering health checks with
    /// 503, before it closes them; 0 when absent, negative or not a number, at most 30 s.
    std::chrono::milliseconds stopGrace() const;

    /// An optional top-level key other than the ports and bans, or null when absent.
    const nlohmann::json* find(std::string_view key) const;
    /// That key read as T, or nothing when it is absent or of another JSON type.
    template <class T> std::optional<T> value(std::string_view key) const {
        const nlohmann::json* found = find(key);
        if (found == nullptr) return std::nullopt;
        try {
            return found->get<T>();
        } catch (const nlohmann::json::exception&) {
            return std::nullopt;
        }
    }

    bool operator==(const RelayConfig&) const = default;
};

/// What tells one version of config.json from another without reading it.
struct FileStamp {
    bool exists = false;
    std::uint64_t size = 0;
    std::int64_t modified = 0; ///< modification time in the file system's own ticks
    bool operator==(const FileStamp&) const = default;
};
FileStamp configStamp();

/// Removes the temporary files an interrupted save left in the data directory: only names of
/// exactly the form the save uses ("config.json.tmp.<digits>.<digits>"). Returns how many.
int removeStaleConfigTemps();

/// The data directory: base (ProgramData, else the platform default) / Tarnelle / RelayServer.
/// Creates the folders on every call; failures are ignored.
std::filesystem::path dataDir();
std::filesystem::path configPath();
std::filesystem::path logPath();

} // namespace tnlrelay
