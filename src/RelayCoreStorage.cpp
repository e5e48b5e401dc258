// Keeping the running configuration and config.json in step: hand edits made while the relay
// runs are noticed and used, and every rewrite starts from the newest version of the file, so
// that a ban never writes back a stale copy over someone's edit.
#include "RelayCore.hpp"

#include <string>

namespace tnlrelay {

namespace {
/// How often the file's time and size are compared with the version last read or written.
constexpr auto kConfigCheckInterval = std::chrono::seconds(1);
/// How often a failed save is tried again (a full disk, a folder without rights, no descriptor).
constexpr auto kSaveRetryInterval = std::chrono::seconds(2);
} // namespace

void RelayCore::housekeeping(std::chrono::steady_clock::time_point now) {
    if (now >= nextConfigCheck) {
        nextConfigCheck = now + kConfigCheckInterval;
        pickUpConfigChanges();
    }
    sweepAddresses(now);
    if (!configSaved && now >= nextSaveRetry) {
        nextSaveRetry = now + kSaveRetryInterval;
        pickUpConfigChanges();
        if (!configSaved && saveConfig())
            log.info("config.json saved: it holds every ban and unban again");
    }
}

void RelayCore::pickUpConfigChanges() {
    const FileStamp stamp = configStamp();
    if (stamp == configFile) return;
    // Noted before reading, so that a broken file is reported once, not at every check.
    configFile = stamp;
    std::optional<RelayConfig> fresh = RelayConfig::loadStrict();
    if (!fresh) {
        log.error("config.json changed but cannot be used (missing, unreadable or not a JSON "
                  "object); keeping the running settings, the next ban or unban rewrites it");
        return;
    }
    config = std::move(*fresh);
    abuse = config.limits();
    // The file is what the operator wants now, unsaved changes of ours included or not.
    configSaved = true;
    log.info("config.json changed on disk and was read again: " +
             std::to_string(config.bans.size()) + " bans");
}

bool RelayCore::saveConfig() {
    configSaved = config.save();
    if (!configSaved) ++counters.configSavesFailed;
    configFile = configStamp();
    if (!configSaved) nextSaveRetry = std::chrono::steady_clock::now() + kSaveRetryInterval;
    return configSaved;
}

void RelayCore::logUnsaved(const std::string& change) {
    log.error("config.json could not be written, so " + change +
              " holds only until the relay stops; saving is retried every " +
              std::to_string(kSaveRetryInterval.count()) + " seconds");
}

} // namespace tnlrelay
