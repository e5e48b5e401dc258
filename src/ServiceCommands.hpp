// The one-shot service commands (install, uninstall, start, stop, restart, automatic start) as
// decisions over a table of service manager calls, so that every answer of the manager and every
// handle closed can be checked without Windows. WindowsService.cpp supplies the real calls.
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

constexpr std::uint32_t kPollIntervalMs = 200;
constexpr int kUninstallPolls = 25;
constexpr int kRestartPolls = 75;

/// An open service manager or service handle; null when an open failed.
using ScHandle = void*;

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
    void (*closeHandle)(ScHandle handle);
    void (*sleep)(std::uint32_t milliseconds);
};

/// `"<exe>" <argument>`, the command line the manager runs.
std::wstring serviceCommandLine(const std::wstring& exe, const wchar_t* argument);

bool installWith(const ScmApi& api, const std::wstring& exe);
/// True only when the service is gone (deleted or marked for deletion) or never existed; a
/// service that cannot be opened for lack of rights is a failure.
bool uninstallWith(const ScmApi& api);
bool startServiceWith(const ScmApi& api);
bool stopServiceWith(const ScmApi& api);
bool restartServiceWith(const ScmApi& api);
bool setAutoStartWith(const ScmApi& api, bool on);
bool isAutoStartWith(const ScmApi& api);

} // namespace tnlrelay::service
