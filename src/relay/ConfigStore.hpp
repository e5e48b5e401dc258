// The running configuration and config.json kept in step: hand edits made while the relay runs
// are noticed and used, and every rewrite starts from the newest version of the file, so that a
// ban never writes back a stale copy over someone's edit.
#pragma once

#include "Metrics.hpp"
#include "RelayConfig.hpp"
#include "RelayLog.hpp"

#include <chrono>
#include <string>

namespace tnlrelay {

class ConfigStore {
public:
    using Clock = std::chrono::steady_clock;

    explicit ConfigStore(RelayConfig config);

    /// As config.json holds it, or will once saved.
    RelayConfig& config() { return config_; }
    const RelayConfig& config() const { return config_; }
    /// False while config.json lags behind a ban or unban.
    bool saved() const { return saved_; }

    /// Reads config.json again when someone else changed it since it was last read or written;
    /// true when the running configuration was replaced.
    bool pickUpChanges(RelayLog& log);
    /// Reads config.json at once, as an operator's reload asks (SIGHUP under a service
    /// manager), with one line saying what came of it; true when the configuration was replaced.
    bool reloadNow(RelayLog& log);
    /// Picks up hand edits once a check is due, and retries a save that failed; true when the
    /// running configuration was replaced.
    bool tick(Clock::time_point now, RelayLog& log, RelayCounters& counters);
    /// Writes config.json and notes the version written and whether it worked.
    bool save(RelayCounters& counters);
    /// The ERROR line for a moderation change that config.json does not hold yet.
    void logUnsaved(RelayLog& log, const std::string& change) const;

private:
    /// Uses config.json's current content; false, with one ERROR line that begins with
    /// `failure`, when it cannot be used.
    bool readAgain(RelayLog& log, const char* failure);

    RelayConfig config_;
    FileStamp stamp_; ///< the version of config.json that `config_` was read from or written to
    Clock::time_point nextCheck_{};
    bool saved_ = true;
    Clock::time_point nextSaveRetry_{};
};

} // namespace tnlrelay
