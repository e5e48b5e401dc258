// Reading config.json again after hand edits (or at once, when an operator asks), and saving it
// after bans and unbans, with a retry for saves that failed.
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
    if (!readAgain(log, "config.json changed but cannot be used")) return false;
    log.info("config.json changed on disk and was read again: " +
             std::to_string(config_.bans.size()) + " bans");
    return true;
}

bool ConfigStore::reloadNow(RelayLog& log) {
    // The file is read whatever its stamp says (an edit may keep its time and size), unless
    // nobody touched it since and it lacks bans not yet saved, which reading it would drop.
    const FileStamp stamp = configStamp();
    const bool untouched = stamp == stamp_;
    stamp_ = stamp;
    // relay.log is opened by its path for every line, so a file a rotation tool moved away is
    // made anew by this very line.
    const std::string logNote = "; relay.log is reopened by its path at every line";
    if (untouched && !saved_) {
        log.info("reload: config.json is unchanged and lacks bans not yet saved; the running "
                 "settings stay" +
                 logNote);
        return false;
    }
    if (!readAgain(log, "reload: config.json cannot be used")) return false;
    log.info("reload: config.json read again: " + std::to_string(config_.bans.size()) + " bans" +
             logNote);
    return true;
}

bool ConfigStore::readAgain(RelayLog& log, const char* failure) {
    std::optional<RelayConfig> fresh = RelayConfig::loadStrict();
    if (!fresh) {
        log.error(std::string(failure) +
                  " (missing, unreadable or not a JSON object); keeping the running settings, "
                  "the next ban or unban rewrites it");
        return false;
    }
    config_ = std::move(*fresh);
    // The file is what the operator wants now, unsaved changes of ours included or not.
    saved_ = true;
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
