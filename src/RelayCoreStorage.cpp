// Keeping the running configuration and config.json in step: hand edits made while the relay
// runs are noticed and used, and every rewrite starts from the newest version of the file, so
// that a ban never writes back a stale copy over someone's edit; an operator may also ask for
// the file to be read at once.
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
    if (readConfigAgain("config.json changed but cannot be used"))
        log.info("config.json changed on disk and was read again: " +
                 std::to_string(config.bans.size()) + " bans");
}

void RelayCore::reloadNow() {
    // The file is read whatever its stamp says (an edit may keep its time and size), unless
    // nobody touched it since and it lacks bans not yet saved, which reading it would drop.
    const FileStamp stamp = configStamp();
    const bool untouched = stamp == configFile;
    configFile = stamp;
    // relay.log is opened by its path for every line, so a file a rotation tool moved away is
    // made anew by this very line.
    const std::string logNote = "; relay.log is reopened by its path at every line";
    if (untouched && !configSaved) {
        log.info("reload: config.json is unchanged and lacks bans not yet saved; the running "
                 "settings stay" +
                 logNote);
        return;
    }
    if (readConfigAgain("reload: config.json cannot be used"))
        log.info("reload: config.json read again: " + std::to_string(config.bans.size()) + " bans" +
                 logNote);
}

bool RelayCore::readConfigAgain(const char* failure) {
    std::optional<RelayConfig> fresh = RelayConfig::loadStrict();
    if (!fresh) {
        log.error(std::string(failure) +
                  " (missing, unreadable or not a JSON object); keeping the running settings, "
                  "the next ban or unban rewrites it");
        return false;
    }
    config = std::move(*fresh);
    abuse = config.limits();
    // The file is what the operator wants now, unsaved changes of ours included or not.
    configSaved = true;
    return true;
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
