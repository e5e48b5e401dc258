// Reading config.json again after hand edits, and saving it after bans and unbans, with a retry
// for saves that failed.
#include "ConfigStore.hpp"

#include <string>

namespace tnlrelay {

namespace {
/// How often the file's time and size are compared with the version last read or written.
constexpr auto kConfigCheckInterval = std::chrono::seconds(1);
/// How often a failed save is tried again (a full disk, a folder without rights, no descriptor).
constexpr auto kSaveRetryInterval = std::chrono::seconds(2);
} // namespace

ConfigStore::ConfigStore(RelayConfig config) : config_(std::move(config)), stamp_(configStamp()) {}

bool ConfigStore::tick(Clock::time_point now, RelayLog& log, RelayCounters& counters) {
    bool replaced = false;
    if (now >= nextCheck_) {
        nextCheck_ = now + kConfigCheckInterval;
        replaced = pickUpChanges(log);
    }
    if (!saved_ && now >= nextSaveRetry_) {
        nextSaveRetry_ = now + kSaveRetryInterval;
        replaced = pickUpChanges(log) || replaced;
        if (!saved_ && save(counters))
            log.info("config.json saved: it holds every ban and unban again");
    }
    return replaced;
}

bool ConfigStore::pickUpChanges(RelayLog& log) {
    const FileStamp stamp = configStamp();
    if (stamp == stamp_) return false;
    // Noted before reading, so that a broken file is reported once, not at every check.
    stamp_ = stamp;
    std::optional<RelayConfig> fresh = RelayConfig::loadStrict();
    if (!fresh) {
        log.error("config.json changed but cannot be used (missing, unreadable or not a JSON "
                  "object); keeping the running settings, the next ban or unban rewrites it");
        return false;
    }
    config_ = std::move(*fresh);
    // The file is what the operator wants now, unsaved changes of ours included or not.
    saved_ = true;
    log.info("config.json changed on disk and was read again: " +
             std::to_string(config_.bans.size()) + " bans");
    return true;
}

bool ConfigStore::save(RelayCounters& counters) {
    saved_ = config_.save();
    if (!saved_) ++counters.configSavesFailed;
    stamp_ = configStamp();
    if (!saved_) nextSaveRetry_ = Clock::now() + kSaveRetryInterval;
    return saved_;
}

void ConfigStore::logUnsaved(RelayLog& log, const std::string& change) const {
    log.error("config.json could not be written, so " + change +
              " holds only until the relay stops; saving is retried every " +
              std::to_string(kSaveRetryInterval.count()) + " seconds");
}

} // namespace tnlrelay
