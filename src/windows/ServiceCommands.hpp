// The one-shot service commands (install, uninstall, start, stop, restart, automatic start) and
// the status query as decisions over a table of service manager calls (and of the firewall and
// event log calls that install and uninstall make), so that every answer and every handle closed
// can be checked without Windows. WindowsService.cpp supplies the real calls.
#pragma once

#include "ServiceHost.hpp"

#include <cstdint>
#include <string>

namespace tnlrelay::service {

// Access rights, start types and errors (the same numbers as the Win32 headers).
constexpr std::uint32_t kScManagerConnect = 0x1;
constexpr std::uint32_t kScManagerCreateService = 0x2;
constexpr std::uint32_t kServiceAllAccess = 0xF01FF;
constexpr std::uint32_t kServiceQueryConfig = 0x1;
constexpr std::uint32_t kServiceChangeConfig = 0x2;
constexpr std::uint32_t kServiceQueryStatus = 0x4;
constexpr std::uint32_t kServiceStart = 0x10;
constexpr std::uint32_t kServiceStop = 0x20;
constexpr std::uint32_t kDelete = 0x10000;
constexpr std::uint32_t kBootStart = 0;
constexpr std::uint32_t kSystemStart = 1;
constexpr std::uint32_t kAutoStart = 2;
constexpr std::uint32_t kDemandStart = 3;
constexpr std::uint32_t kDisabled = 4;
constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;
constexpr std::uint32_t kErrorServiceMarkedForDelete = 1072;

// Recovery: restart after 5 s for the first two failures, then after 60 s; the count of failures
// starts again after a day without one.
constexpr std::uint32_t kRecoveryRestart = 1;
constexpr std::uint32_t kRecoveryResetSeconds = 24 * 60 * 60;
constexpr std::uint32_t kRecoveryFirstDelayMs = 5000;
constexpr std::uint32_t kRecoveryLaterDelayMs = 60000;

// Event log entry types (the same numbers as the Win32 headers).
constexpr std::uint16_t kEventError = 0x1;
constexpr std::uint16_t kEventWarning = 0x2;
constexpr std::uint16_t kEventInformation = 0x4;

constexpr std::uint32_t kPollIntervalMs = 200;
constexpr int kUninstallPolls = 25;
constexpr int kRestartPolls = 75;

/// An open service manager or service handle; null when an open failed.
using ScHandle = void*;

/// One recovery action: what the manager does after a failure, and after how long.
struct RecoveryAction {
    std::uint32_t type = 0;
    std::uint32_t delayMs = 0;
};

/// The recovery settings install gives the service.
struct RecoveryPolicy {
    std::uint32_t resetSeconds = 0;
    RecoveryAction actions[3];
    /// A stop with a non-zero exit code (a failed start) counts as a failure too, not only a
    /// crash.
    bool nonCrashFailures = false;
};

constexpr RecoveryPolicy kRecoveryPolicy = {kRecoveryResetSeconds,
                                            {{kRecoveryRestart, kRecoveryFirstDelayMs},
                                             {kRecoveryRestart, kRecoveryFirstDelayMs},
                                             {kRecoveryRestart, kRecoveryLaterDelayMs}},
                                            true};

/// Whether the inbound firewall rule for the program exists.
enum class FirewallRule { present, absent, unknown };

/// What a status query of the service found.
struct ServiceProbe {
    enum class Result { noManager, notInstalled, queryFailed, ok };
    Result result = Result::noManager;
    std::uint32_t state = 0; ///< valid when `result` is ok
};

/// The service manager calls the commands make. Each open that fails returns null and stores
/// the platform's error code in `*error`.
struct ScmApi {
    ScHandle (*openManager)(std::uint32_t access, std::uint32_t* error);
    /// Creates the service with its fixed settings and the given command line.
    ScHandle (*createService)(ScHandle manager, const std::wstring& commandLine,
                              std::uint32_t* error);
    void (*setDescription)(ScHandle service);
    ScHandle (*openService)(ScHandle manager, std::uint32_t access, std::uint32_t* error);
    bool (*startService)(ScHandle service);
    /// Sends the stop control; true when the manager accepted it.
    bool (*controlStop)(ScHandle service);
    bool (*queryState)(ScHandle service, std::uint32_t* state);
    bool (*deleteService)(ScHandle service, std::uint32_t* error);
    bool (*changeStartType)(ScHandle service, std::uint32_t startType);
    bool (*queryStartType)(ScHandle service, std::uint32_t* startType);
    /// Sets the recovery actions and whether non-crash failures count; false when refused.
    bool (*setRecovery)(ScHandle service, const RecoveryPolicy& policy);
    void (*closeHandle)(ScHandle handle);
    void (*sleep)(std::uint32_t milliseconds);

    /// Adds (or replaces) the inbound allow rule for the program: TCP, every profile, named
    /// after the service's display name. False, with a reason, when it could not.
    bool (*addFirewallRule)(const std::wstring& exe, std::string* reason);
    /// Removes the rule; true when it is gone or was never there.
    bool (*removeFirewallRule)();
    FirewallRule (*queryFirewallRule)();

    /// Registers the service's own source in the Application event log (its messages come from
    /// the executable), or removes it.
    bool (*registerEventSource)(const std::wstring& exe);
    void (*removeEventSource)();
    /// Writes one entry under the service's source.
    void (*reportEvent)(std::uint16_t type, const std::string& text);
};

/// `"<exe>" <argument>`, the command line the manager runs.
std::wstring serviceCommandLine(const std::wstring& exe, const wchar_t* argument);

/// Creates the service (with its description and recovery actions) or keeps an existing one as
/// it is, registers the event source, adds the firewall rule and starts the service. Only a
/// service that can be neither created nor opened fails the install; a firewall rule that cannot
/// be added is reported in the event log.
bool installWith(const ScmApi& api, const std::wstring& exe);
/// True only when the service is gone (deleted or marked for deletion) or never existed; a
/// service that cannot be opened for lack of rights is a failure. The firewall rule and the event
/// source go with the service.
bool uninstallWith(const ScmApi& api);
bool startServiceWith(const ScmApi& api);
bool stopServiceWith(const ScmApi& api);
bool restartServiceWith(const ScmApi& api);
bool setAutoStartWith(const ScmApi& api, bool on);
bool isAutoStartWith(const ScmApi& api);
/// The service's state, read with the least rights, as the tray's status box needs it.
ServiceProbe queryServiceWith(const ScmApi& api);

} // namespace tnlrelay::service
