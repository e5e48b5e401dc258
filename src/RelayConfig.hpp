// The relay's settings (ports and bans), the data directory and the paths inside it.
// config.json is read once at start and rewritten, atomically, by every ban and unban.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace tnlrelay {

struct RelayConfig {
    std::int32_t gamePort = 49200;
    std::int32_t adminPort = 49201;
    std::map<std::string, std::string> bans; ///< IP address text -> player name

    /// Reads config.json; never fails (defaults for whatever is missing or unreadable), never
    /// writes.
    static RelayConfig load();
    /// Rewrites config.json as a whole, atomically. True when the new file is in place.
    bool save() const;

    bool operator==(const RelayConfig&) const = default;
};

/// The data directory: base (ProgramData, else the platform default) / Tarnelle / RelayServer.
/// Creates the folders on every call; failures are ignored.
std::filesystem::path dataDir();
std::filesystem::path configPath();
std::filesystem::path logPath();
/// logPath() as UTF-8 text.
std::string logPathUtf8();

} // namespace tnlrelay
