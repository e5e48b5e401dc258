// The service host's decisions, kept free of Win32 so that they are tested everywhere: the status
// report rule, the control handler, the hand-over of the running core between the service thread
// and the dispatcher thread, and the order of start, run, destroy and the final report.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace tnlrelay::service {

// Service manager values (the same numbers as the Win32 headers).
constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
constexpr std::uint32_t kStateStopped = 1;
constexpr std::uint32_t kStateStartPending = 2;
constexpr std::uint32_t kStateStopPending = 3;
constexpr std::uint32_t kStateRunning = 4;
constexpr std::uint32_t kStatePaused = 7;
constexpr std::uint32_t kAcceptStopAndShutdown = 5;
constexpr std::uint32_t kControlStop = 1;
constexpr std::uint32_t kControlInterrogate = 4;
constexpr std::uint32_t kControlShutdown = 5;
constexpr std::uint32_t kErrorServiceSpecific = 1066;
/// The service-specific exit code beside 1066 when the data folder was refused (a bind failure
/// carries 0).
constexpr std::uint32_t kExitFolderRefused = 2;
constexpr std::uint32_t kStartWaitHintMs = 3000;
constexpr std::uint32_t kStopWaitHintMs = 5000;

/// The seven fields of a status report, in the order of the platform's record.
struct ServiceStatus {
    std::uint32_t serviceType = 0;
    std::uint32_t currentState = 0;
    std::uint32_t controlsAccepted = 0;
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;

    bool operator==(const ServiceStatus&) const = default;
};

/// What the service writes to the event log, beside relay.log.
enum class ServiceEvent { started, stopped, startFailed, folderRefused };

/// Status reports and controls of one service run. Both threads call in; one lock serialises
/// every report and guards the stop flag of the running core.
class ServiceHost {
public:
    /// Sends one whole report to the service manager (SetServiceStatus).
    using StatusHandler = void (*)(void* context, const ServiceStatus& status);
    /// Writes one event with its text (UTF-8) to the event log.
    using EventHandler = void (*)(void* context, ServiceEvent event, const std::string& text);

    ServiceHost(StatusHandler sender, void* context, EventHandler events = nullptr)
        : sender_(sender), context_(context), events_(events) {}
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    /// Fills the record by the report rule and sends it. Nothing is sent once STOPPED has gone
    /// out: the process may already be ending and the manager has closed its books.
    void reportStatus(std::uint32_t state, std::uint32_t win32ExitCode, std::uint32_t waitHint,
                      std::uint32_t specificExitCode = 0);

    /// The control handler: STOP and SHUTDOWN report STOP_PENDING and raise the core's stop
    /// flag, INTERROGATE re-reports the current state, everything else is ignored.
    void handleControl(std::uint32_t control);

    /// Hands the running core's stop flag to the control handler, or takes it back (null). Once
    /// `attach(nullptr)` has returned, no control touches the old flag, so its core may go.
    void attach(std::atomic<bool>* stopFlag);

    ServiceStatus status() const;

    /// The service's run: START_PENDING before anything else, then `prepare` (the data folder;
    /// it returns why the folder is refused, or nothing), construct, start, RUNNING, loop, then
    /// the core destroyed while STOP_PENDING (or START_PENDING) is still reported, and only then
    /// STOPPED (exit code 1066 after a refused folder or a failed start). `Core` has start(),
    /// runLoop() and `stopRequested`; `Config` has gamePort and adminPort.
    template <class Core, class Config>
    void serve(Config (*loadConfig)(), std::string (*prepare)() = nullptr);

private:
    void send(std::uint32_t state, std::uint32_t win32ExitCode, std::uint32_t waitHint,
              std::uint32_t specificExitCode);
    void event(ServiceEvent kind, const std::string& text) {
        if (events_) events_(context_, kind, text);
    }

    StatusHandler sender_;
    void* context_;
    EventHandler events_;
    mutable std::mutex lock_;
    ServiceStatus status_;
    bool finished_ = false;
    std::atomic<bool>* stopFlag_ = nullptr;
};

template <class Core, class Config>
void ServiceHost::serve(Config (*loadConfig)(), std::string (*prepare)()) {
    // The manager hears from us before any file work, which may take a while.
    reportStatus(kStateStartPending, 0, kStartWaitHintMs);
    if (prepare) {
        std::string refusal = prepare();
        if (!refusal.empty()) {
            event(ServiceEvent::folderRefused, "Relay service not started: " + refusal);
            reportStatus(kStateStopped, kErrorServiceSpecific, 0, kExitFolderRefused);
            return;
        }
    }
    bool started = false;
    {
        std::optional<Core> core;
        Config config = loadConfig();
        const std::string ports = "game port " + std::to_string(config.gamePort) + ", admin port " +
                                  std::to_string(config.adminPort);
        core.emplace(std::move(config));
        attach(&core->stopRequested);
        started = core->start();
        if (started) {
            event(ServiceEvent::started, "Relay service started (" + ports + ").");
            reportStatus(kStateRunning, 0, 0);
            core->runLoop();
        } else {
            event(ServiceEvent::startFailed,
                  "Relay service failed to start: a port is in use or cannot be bound (" + ports +
                      "). See relay.log.");
        }
        attach(nullptr);
        // Every connection closes and every LEAVE line is written before the manager hears
        // STOPPED; a restart would otherwise race the old listeners.
        core.reset();
    }
    if (started) event(ServiceEvent::stopped, "Relay service stopped.");
    reportStatus(kStateStopped, started ? 0 : kErrorServiceSpecific, 0);
}

} // namespace tnlrelay::service
