// The Win32 side of the service: the dispatcher, the handler registration and status reports,
// and the service manager calls behind the one-shot commands. The decisions live in ServiceHost
// and ServiceCommands.

#include "WindowsService.hpp"

#include "RelayConfig.hpp"
#include "RelayCore.hpp"
#include "ServiceCommands.hpp"
#include "ServiceHost.hpp"
#include "platform/Platform.hpp"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <vector>

namespace tnlrelay::service {

namespace {

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;

void sendStatus(void*, const ServiceStatus& status) {
    SERVICE_STATUS record{};
    record.dwServiceType = status.serviceType;
    record.dwCurrentState = status.currentState;
    record.dwControlsAccepted = status.controlsAccepted;
    record.dwWin32ExitCode = status.win32ExitCode;
    record.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
    record.dwCheckPoint = status.checkPoint;
    record.dwWaitHint = status.waitHint;
    if (g_statusHandle) SetServiceStatus(g_statusHandle, &record);
}

/// The status record, its lock and the running core's stop flag (the g_core hand-over).
ServiceHost g_host(sendStatus, nullptr);

void WINAPI controlHandler(DWORD control) {
    g_host.handleControl(control);
}

/// Gives a folder that someone else may have made first (any user can create folders in
/// ProgramData) the owner and the protected access list the service would have created it with.
void restrictFolder(const std::filesystem::path& dir) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)", SDDL_REVISION_1,
            &descriptor, nullptr))
        return;
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    PACL dacl = nullptr;
    BOOL daclPresent = FALSE;
    BOOL daclDefaulted = FALSE;
    if (GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted) &&
        GetSecurityDescriptorDacl(descriptor, &daclPresent, &dacl, &daclDefaulted) && daclPresent) {
        std::wstring path = dir.wstring();
        SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                  PROTECTED_DACL_SECURITY_INFORMATION,
                              owner, nullptr, dacl, nullptr);
    }
    LocalFree(descriptor);
}

/// The product folder and the data directory, created with an access list of their own (or
/// given it, when they exist): the service deletes and renames files there as LocalSystem, so
/// users may read but never plant links.
void prepareDataDir() {
    std::filesystem::path product = platform::dataDirBase() / "Tarnelle";
    for (const std::filesystem::path& dir : {product, product / "RelayServer"}) {
        platform::createDirectory(dir, true);
        restrictFolder(dir);
    }
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
    g_statusHandle = RegisterServiceCtrlHandlerW(kServiceName, controlHandler);
    if (!g_statusHandle) return;
    prepareDataDir();
    g_host.serve<RelayCore, RelayConfig>(RelayConfig::load);
}

std::uint32_t lastError() {
    return static_cast<std::uint32_t>(GetLastError());
}

ScHandle openManager(std::uint32_t access, std::uint32_t* error) {
    SC_HANDLE handle = OpenSCManagerW(nullptr, nullptr, access);
    if (!handle) *error = lastError();
    return handle;
}

ScHandle createService(ScHandle manager, const std::wstring& commandLine, std::uint32_t* error) {
    SC_HANDLE handle = CreateServiceW(
        static_cast<SC_HANDLE>(manager), kServiceName, L"Tarnelle Multiplayer Relay",
        SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
        commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!handle) *error = lastError();
    return handle;
}

void setDescription(ScHandle service) {
    wchar_t text[] = L"Hosts private multiplayer rooms for Tarnelle games (WebSocket relay).";
    SERVICE_DESCRIPTIONW description{text};
    ChangeServiceConfig2W(static_cast<SC_HANDLE>(service), SERVICE_CONFIG_DESCRIPTION,
                          &description);
}

ScHandle openService(ScHandle manager, std::uint32_t access, std::uint32_t* error) {
    SC_HANDLE handle = OpenServiceW(static_cast<SC_HANDLE>(manager), kServiceName, access);
    if (!handle) *error = lastError();
    return handle;
}

bool startService(ScHandle service) {
    return StartServiceW(static_cast<SC_HANDLE>(service), 0, nullptr) != 0;
}

bool controlStop(ScHandle service) {
    SERVICE_STATUS status{};
    return ControlService(static_cast<SC_HANDLE>(service), SERVICE_CONTROL_STOP, &status) != 0;
}

bool queryState(ScHandle service, std::uint32_t* state) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(static_cast<SC_HANDLE>(service), &status)) return false;
    *state = status.dwCurrentState;
    return true;
}

bool deleteService(ScHandle service, std::uint32_t* error) {
    if (DeleteService(static_cast<SC_HANDLE>(service))) return true;
    *error = lastError();
    return false;
}

bool changeStartType(ScHandle service, std::uint32_t startType) {
    return ChangeServiceConfigW(static_cast<SC_HANDLE>(service), SERVICE_NO_CHANGE, startType,
                                SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr) != 0;
}

bool queryStartType(ScHandle service, std::uint32_t* startType) {
    DWORD needed = 0;
    QueryServiceConfigW(static_cast<SC_HANDLE>(service), nullptr, 0, &needed);
    if (needed == 0) return false;
    std::vector<unsigned char> buffer(needed, 0);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(static_cast<SC_HANDLE>(service), config, needed, &needed))
        return false;
    *startType = config->dwStartType;
    return true;
}

void closeHandle(ScHandle handle) {
    CloseServiceHandle(static_cast<SC_HANDLE>(handle));
}

void sleepFor(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

const ScmApi kWin32Scm = {openManager,     createService,  setDescription, openService,
                          startService,    controlStop,    queryState,     deleteService,
                          changeStartType, queryStartType, closeHandle,    sleepFor};

} // namespace

int runDispatcher() {
    wchar_t name[] = L"TnlRelayServer";
    SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

bool install() {
    return installWith(kWin32Scm, platform::executablePath().wstring());
}

bool uninstall() {
    return uninstallWith(kWin32Scm);
}
bool startService() {
    return startServiceWith(kWin32Scm);
}
bool stopService() {
    return stopServiceWith(kWin32Scm);
}
bool restartService() {
    return restartServiceWith(kWin32Scm);
}
bool setAutoStart(bool on) {
    return setAutoStartWith(kWin32Scm, on);
}
bool isAutoStart() {
    return isAutoStartWith(kWin32Scm);
}

} // namespace tnlrelay::service
