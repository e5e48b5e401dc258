// The Win32 side of the service: the dispatcher, the handler registration and status reports, the
// event log, the data folder calls, and the service manager, firewall and registry calls behind
// the one-shot commands. The decisions live in ServiceHost, ServiceFolders and ServiceCommands.

#include "WindowsService.hpp"

#include "ServiceCommands.hpp"
#include "ServiceFolders.hpp"
#include "ServiceHost.hpp"
#include "platform/Platform.hpp"
#include "relay/RelayConfig.hpp"
#include "relay/RelayCore.hpp"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
// The firewall's class and interface ids are defined in this file.
#include <initguid.h>

#include <netfw.h>

#include <atomic>
#include <cstdio>
#include <vector>

namespace tnlrelay::service {

namespace {

constexpr const wchar_t* kDisplayName = L"Tarnelle Multiplayer Relay";
constexpr const wchar_t* kEventSourceKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\TnlRelayServer";
/// The executable's message table has one message, "%1", under this id.
constexpr DWORD kEventMessageId = 1;
/// The data directory's access list: SYSTEM and Administrators may do anything, Users may read,
/// nothing is inherited from above.
constexpr const wchar_t* kDataFolderSddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)";

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;

std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

void reportEvent(std::uint16_t type, const std::string& text) {
    HANDLE source = RegisterEventSourceW(nullptr, kServiceName);
    if (!source) return;
    std::wstring wide = widen(text);
    const wchar_t* strings[] = {wide.c_str()};
    ReportEventW(source, type, 0, kEventMessageId, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

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

void logEvent(void*, ServiceEvent event, const std::string& text) {
    bool failure = event == ServiceEvent::startFailed || event == ServiceEvent::folderRefused;
    reportEvent(failure ? kEventError : kEventInformation, text);
}

/// The status record, its lock and the running core's stop flag (the g_core hand-over).
ServiceHost g_host(sendStatus, nullptr, logEvent);

void WINAPI controlHandler(DWORD control) {
    g_host.handleControl(control);
}

// The data folder calls, on handles that never follow a reparse point.

bool createRestricted(const std::filesystem::path& dir) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kDataFolderSddl, SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return false; // never fall back to inherited rights
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor;
    bool made = CreateDirectoryW(dir.c_str(), &attributes) != 0;
    LocalFree(descriptor);
    return made;
}

FolderHandle openFolder(const std::filesystem::path& dir, bool toRestrict) {
    // No delete sharing: nobody renames or removes the folder while the service holds it.
    DWORD access = READ_CONTROL | FILE_READ_ATTRIBUTES | (toRestrict ? WRITE_DAC : 0);
    HANDLE folder =
        CreateFileW(dir.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return folder == INVALID_HANDLE_VALUE ? nullptr : folder;
}

/// True when the process's own account is `sid` (LocalSystem for the installed service).
bool isOwnAccount(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD needed = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed ? needed : 1);
    bool same = GetTokenInformation(token, TokenUser, buffer.data(), needed, &needed) &&
                EqualSid(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, sid);
    CloseHandle(token);
    return same;
}

FolderFacts inspectFolder(FolderHandle folder) {
    FolderFacts facts;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(folder, &info)) return facts;
    facts.read = true;
    facts.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.reparsePoint = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
        owner) {
        facts.owner = IsWellKnownSid(owner, WinLocalSystemSid) ||
                              IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                              isOwnAccount(owner)
                          ? FolderOwner::trusted
                          : FolderOwner::other;
    }
    if (descriptor) LocalFree(descriptor);
    return facts;
}

bool restrictFolder(FolderHandle folder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kDataFolderSddl, SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return false;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    bool ok = GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present &&
              SetSecurityInfo(folder, SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return ok;
}

void closeFolder(FolderHandle folder) {
    CloseHandle(folder);
}

const FolderApi kWin32Folders = {createRestricted, openFolder, inspectFolder, restrictFolder,
                                 closeFolder};

/// The data folders of this run, held open until the service has stopped.
PreparedFolders g_folders;

std::string prepareDataDir() {
    g_folders = prepareDataFolders(kWin32Folders, platform::dataDirBase());
    return g_folders.refusal;
}

/// The thread that runs serviceMain, for the process to wait for before it ends.
std::atomic<HANDLE> g_serviceThread{nullptr};

void WINAPI serviceMain(DWORD, LPWSTR*) {
    HANDLE self = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                        SYNCHRONIZE, FALSE, 0))
        g_serviceThread.store(self);
    g_statusHandle = RegisterServiceCtrlHandlerW(kServiceName, controlHandler);
    if (!g_statusHandle) return;
    g_host.serve<RelayCore, RelayConfig>(RelayConfig::load, prepareDataDir);
    releaseDataFolders(kWin32Folders, g_folders);
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
    SC_HANDLE handle = CreateServiceW(static_cast<SC_HANDLE>(manager), kServiceName, kDisplayName,
                                      SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                      SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, commandLine.c_str(),
                                      nullptr, nullptr, nullptr, nullptr, nullptr);
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

bool setRecovery(ScHandle service, const RecoveryPolicy& policy) {
    SC_ACTION actions[3] = {};
    for (int i = 0; i < 3; ++i) {
        actions[i].Type = static_cast<SC_ACTION_TYPE>(policy.actions[i].type);
        actions[i].Delay = policy.actions[i].delayMs;
    }
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = policy.resetSeconds;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    SERVICE_FAILURE_ACTIONS_FLAG flag{policy.nonCrashFailures ? TRUE : FALSE};
    bool ok = ChangeServiceConfig2W(static_cast<SC_HANDLE>(service), SERVICE_CONFIG_FAILURE_ACTIONS,
                                    &failure) != 0;
    return ChangeServiceConfig2W(static_cast<SC_HANDLE>(service),
                                 SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag) != 0 &&
           ok;
}

void closeHandle(ScHandle handle) {
    CloseServiceHandle(static_cast<SC_HANDLE>(handle));
}

void sleepFor(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

// The firewall, through its COM interface.

/// Releases a COM interface when it goes out of scope.
template <class Interface> class ComRef {
public:
    ComRef() = default;
    ~ComRef() {
        if (pointer_) pointer_->Release();
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    Interface* operator->() const { return pointer_; }
    Interface* get() const { return pointer_; }
    void** out() { return reinterpret_cast<void**>(&pointer_); }

private:
    Interface* pointer_ = nullptr;
};

/// A BSTR for the duration of one call.
class Bstr {
public:
    explicit Bstr(const wchar_t* text) : text_(SysAllocString(text)) {}
    ~Bstr() { SysFreeString(text_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return text_; }

private:
    BSTR text_;
};

/// COM for this thread, for one firewall call.
class ComScope {
public:
    ComScope() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    HRESULT result_;
};

std::string hresultText(const char* what, HRESULT result) {
    char text[96];
    std::snprintf(text, sizeof text, "%s failed with 0x%08lX", what,
                  static_cast<unsigned long>(result));
    return text;
}

HRESULT openFirewallRules(ComRef<INetFwRules>& rules, const char** step) {
    ComRef<INetFwPolicy2> policy;
    *step = "opening the firewall policy";
    HRESULT result = CoCreateInstance(CLSID_NetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_INetFwPolicy2, policy.out());
    if (FAILED(result)) return result;
    *step = "reading the firewall rules";
    return policy->get_Rules(reinterpret_cast<INetFwRules**>(rules.out()));
}

bool addFirewallRule(const std::wstring& exe, std::string* reason) {
    ComScope com;
    ComRef<INetFwRules> rules;
    const char* step = "";
    HRESULT result = openFirewallRules(rules, &step);
    if (SUCCEEDED(result)) {
        // A rule of ours from an earlier install may name another path: replace it.
        rules->Remove(Bstr(kDisplayName));
        ComRef<INetFwRule> rule;
        step = "creating the rule";
        result = CoCreateInstance(CLSID_NetFwRule, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwRule,
                                  rule.out());
        if (SUCCEEDED(result)) {
            rule->put_Name(Bstr(kDisplayName));
            rule->put_Description(Bstr(L"Lets players join rooms hosted by the relay."));
            rule->put_ApplicationName(Bstr(exe.c_str()));
            rule->put_Protocol(NET_FW_IP_PROTOCOL_TCP);
            rule->put_Direction(NET_FW_RULE_DIR_IN);
            rule->put_Action(NET_FW_ACTION_ALLOW);
            rule->put_Profiles(NET_FW_PROFILE2_ALL);
            rule->put_Enabled(VARIANT_TRUE);
            step = "adding the rule";
            result = rules->Add(rule.get());
        }
    }
    if (FAILED(result)) *reason = hresultText(step, result);
    return SUCCEEDED(result);
}

bool removeFirewallRule() {
    ComScope com;
    ComRef<INetFwRules> rules;
    const char* step = "";
    if (FAILED(openFirewallRules(rules, &step))) return false;
    // Removing a rule that is not there succeeds.
    return SUCCEEDED(rules->Remove(Bstr(kDisplayName)));
}

FirewallRule queryFirewallRule() {
    ComScope com;
    ComRef<INetFwRules> rules;
    const char* step = "";
    if (FAILED(openFirewallRules(rules, &step))) return FirewallRule::unknown;
    ComRef<INetFwRule> rule;
    HRESULT result = rules->Item(Bstr(kDisplayName), reinterpret_cast<INetFwRule**>(rule.out()));
    if (result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) return FirewallRule::absent;
    if (FAILED(result)) return FirewallRule::unknown;
    VARIANT_BOOL enabled = VARIANT_FALSE;
    if (FAILED(rule->get_Enabled(&enabled))) return FirewallRule::unknown;
    // A disabled rule lets nobody in.
    return enabled ? FirewallRule::present : FirewallRule::absent;
}

// The event source, registered by install with the executable as its message file.

bool registerEventSource(const std::wstring& exe) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    bool ok =
        RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(exe.c_str()),
                       static_cast<DWORD>((exe.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
        RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                       sizeof types) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

void removeEventSource() {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
}

const ScmApi kWin32Scm = {
    openManager,       createService,       setDescription,    openService,     startService,
    controlStop,       queryState,          deleteService,     changeStartType, queryStartType,
    setRecovery,       closeHandle,         sleepFor,          addFirewallRule, removeFirewallRule,
    queryFirewallRule, registerEventSource, removeEventSource, reportEvent};

} // namespace

int runDispatcher() {
    wchar_t name[] = L"TnlRelayServer";
    SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) return 1;
    // The dispatcher returns once the service reported itself stopped, while its thread may still
    // be ending (running its thread-local destructors). The runtime's exit handlers, run after
    // that, were seen to hang for good in the thread library's key lock, leaving a stopped
    // service whose process never ends (and which therefore cannot be deleted). Everything is
    // saved and logged by now: wait for the service thread, then end without exit handlers.
    if (HANDLE thread = g_serviceThread.exchange(nullptr)) {
        WaitForSingleObject(thread, 5000);
        CloseHandle(thread);
    }
    TerminateProcess(GetCurrentProcess(), 0);
    return 0;
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
ServiceProbe queryService() {
    return queryServiceWith(kWin32Scm);
}
FirewallRule firewallRule() {
    return kWin32Scm.queryFirewallRule();
}

} // namespace tnlrelay::service
