// The Win32 side of the tray: the message-only window and its icon, the popup menu, message
// boxes, elevated self-launches, the login entry in the Run key and the update library, which is
// loaded at run time so that the relay never needs it. The decisions live in TrayModel.

#include "TrayApp.hpp"

#include "RelayConfig.hpp"
#include "TrayModel.hpp"
#include "WindowsService.hpp"
#include "platform/Platform.hpp"

#include <windows.h>

#include <shellapi.h>

namespace tnlrelay {

namespace {

constexpr UINT kTrayMessage = WM_APP + 1;
constexpr int kIconResource = 101;
constexpr const wchar_t* kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* kLoginValue = L"TarnelleRelayTray";
constexpr const char* kAppcastUrl = "https://updates.tarnelle.com/updates/win/relay/appcast.xml";
constexpr const char* kAppVersion = "1.0.0";

NOTIFYICONDATAW g_nid{};
HWND g_window = nullptr;

/// The update library's entry points; all null when it is not installed.
struct UpdateLibrary {
    HMODULE module = nullptr;
    void(__cdecl* setAppcastUrl)(const char*) = nullptr;
    void(__cdecl* setAppDetails)(const wchar_t*, const wchar_t*, const wchar_t*) = nullptr;
    void(__cdecl* init)() = nullptr;
    void(__cdecl* checkWithoutUi)() = nullptr;
    void(__cdecl* checkWithUi)() = nullptr;
    void(__cdecl* cleanup)() = nullptr;

    bool loaded() const { return module != nullptr; }
};
UpdateLibrary g_updates;

template <class Function> bool resolve(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return function != nullptr;
}

void loadUpdateLibrary() {
    HMODULE module = LoadLibraryW(L"WinSparkle.dll");
    if (!module) return;
    UpdateLibrary library;
    library.module = module;
    if (!resolve(module, "win_sparkle_set_appcast_url", library.setAppcastUrl) ||
        !resolve(module, "win_sparkle_set_app_details", library.setAppDetails) ||
        !resolve(module, "win_sparkle_init", library.init) ||
        !resolve(module, "win_sparkle_check_update_without_ui", library.checkWithoutUi) ||
        !resolve(module, "win_sparkle_check_update_with_ui", library.checkWithUi) ||
        !resolve(module, "win_sparkle_cleanup", library.cleanup)) {
        FreeLibrary(module);
        return;
    }
    g_updates = library;
    std::wstring version(16, L'\0');
    int length = MultiByteToWideChar(CP_UTF8, 0, kAppVersion, -1, version.data(),
                                     static_cast<int>(version.size()));
    version.resize(length > 0 ? static_cast<std::size_t>(length - 1) : 0);
    g_updates.setAppcastUrl(kAppcastUrl);
    g_updates.setAppDetails(L"Tarnelle", L"Tarnelle Relay Server", version.c_str());
    g_updates.init();
    g_updates.checkWithoutUi();
}

std::wstring exePath() {
    return platform::executablePath().wstring();
}

ServiceProbe queryService(void*) {
    ServiceProbe probe;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return probe;
    SC_HANDLE service = OpenServiceW(manager, service::kServiceName, SERVICE_QUERY_STATUS);
    if (!service) {
        probe.result = ServiceProbe::Result::notInstalled;
    } else {
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service, &status)) {
            probe.result = ServiceProbe::Result::ok;
            probe.state = status.dwCurrentState;
        } else {
            probe.result = ServiceProbe::Result::queryFailed;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return probe;
}

bool isAutoStart(void*) {
    return service::isAutoStart();
}

bool loginEntryExists(void*) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    bool present =
        RegQueryValueExW(key, kLoginValue, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return present;
}

void writeLoginEntry(void*, const std::wstring* command) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    if (command) {
        DWORD bytes = static_cast<DWORD>((command->size() + 1) * sizeof(wchar_t));
        RegSetValueExW(key, kLoginValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(command->c_str()),
                       bytes);
    } else {
        RegDeleteValueW(key, kLoginValue);
    }
    RegCloseKey(key);
}

void launchElevated(void*, const wchar_t* arguments) {
    std::wstring exe = exePath();
    ShellExecuteW(nullptr, L"runas", exe.c_str(), arguments, nullptr, SW_HIDE);
}

void openUrl(void*, const std::wstring& url) {
    ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

int messageBox(void*, const wchar_t* text, const wchar_t* caption, std::uint32_t flags) {
    return MessageBoxW(g_window, text, caption, flags);
}

void showMenu(void*, const std::vector<TrayMenuItem>& items) {
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    for (const TrayMenuItem& item : items) {
        if (item.separator())
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        else
            AppendMenuW(menu, MF_STRING | (item.checked ? MF_CHECKED : 0), item.id,
                        item.label.c_str());
    }
    POINT cursor{};
    GetCursorPos(&cursor);
    SetForegroundWindow(g_window);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, g_window, nullptr);
    DestroyMenu(menu);
}

bool checkForUpdates(void*) {
    if (!g_updates.loaded()) return false;
    g_updates.checkWithUi();
    return true;
}

// The tray only reads the configuration, for the admin port.
std::int32_t adminPort(void*) {
    return RelayConfig::load().adminPort;
}

void destroyWindow(void*) {
    DestroyWindow(g_window);
}

const TrayPlatform kWin32Tray = {queryService,    isAutoStart, loginEntryExists, writeLoginEntry,
                                 launchElevated,  openUrl,     messageBox,       showMenu,
                                 checkForUpdates, adminPort,   destroyWindow};

TrayController* g_controller = nullptr;

LRESULT CALLBACK wndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case kTrayMessage:
        if (g_controller) g_controller->onNotify(LOWORD(lParam));
        return 0;
    case WM_COMMAND:
        if (g_controller) g_controller->onCommand(LOWORD(wParam));
        return 0;
    case WM_DESTROY:
        Shell_NotifyIconW(NIM_DELETE, &g_nid);
        PostQuitMessage(0);
        return 0;
    case WM_ENDSESSION:
        Shell_NotifyIconW(NIM_DELETE, &g_nid);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

int runTray() {
    FreeConsole();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = wndProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"TnlRelayTray";
    RegisterClassW(&windowClass);
    g_window = CreateWindowExW(0, L"TnlRelayTray", L"Tarnelle Relay", 0, 0, 0, 0, 0, HWND_MESSAGE,
                               nullptr, instance, nullptr);
    if (!g_window) return 1;

    g_nid.cbSize = sizeof(g_nid);
    g_nid.hWnd = g_window;
    g_nid.uID = 1;
    g_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    g_nid.uCallbackMessage = kTrayMessage;
    g_nid.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconResource));
    if (!g_nid.hIcon) g_nid.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512)); // IDI_APPLICATION
    lstrcpynW(g_nid.szTip, L"Tarnelle Multiplayer Relay", 128);
    Shell_NotifyIconW(NIM_ADD, &g_nid);

    loadUpdateLibrary();

    TrayController controller(kWin32Tray, nullptr, exePath());
    g_controller = &controller;
    controller.offerStart();

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    g_controller = nullptr;
    if (g_updates.loaded()) {
        g_updates.cleanup();
        FreeLibrary(g_updates.module);
        g_updates = {};
    }
    return 0;
}

} // namespace tnlrelay
