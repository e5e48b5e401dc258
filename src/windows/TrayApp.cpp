// The Win32 side of the tray: its hidden top-level window (top-level, so that the shell's
// "taskbar created" broadcast reaches it) and its icon, the popup menu, message boxes, elevated
// self-launches, the login entry in the Run key and the update library, which is loaded at run
// time, from the program's own folder only, so that the relay never needs it. The decisions live
// in TrayModel.

#include "TrayApp.hpp"

#include "TrayModel.hpp"
#include "WindowsService.hpp"
#include "platform/Platform.hpp"
#include "relay/RelayConfig.hpp"
#include "tnlrelay_version.h"

#include <windows.h>

#include <shellapi.h>

namespace tnlrelay {

namespace {

constexpr UINT kTrayMessage = WM_APP + 1;
constexpr UINT_PTR kIconRetryTimer = 1;
constexpr int kIconResource = 101;
constexpr const wchar_t* kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* kLoginValue = L"TarnelleRelayTray";
constexpr const char* kAppcastUrl = "https://updates.tarnelle.com/updates/win/relay/appcast.xml";

NOTIFYICONDATAW g_nid{};
HWND g_window = nullptr;
/// The message Explorer broadcasts when it (re)creates the taskbar.
UINT g_taskbarCreated = 0;

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
    // By full path, and its own dependencies from its folder and System32 only: a DLL of the same
    // name in the working directory or on PATH is never loaded.
    std::wstring path = updateLibraryPath(platform::executablePath().wstring());
    if (path.empty()) return;
    HMODULE module = LoadLibraryExW(
        path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
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
    g_updates.setAppcastUrl(kAppcastUrl);
    g_updates.setAppDetails(L"Tarnelle", L"Tarnelle Relay Server", L"" TNLRELAY_VERSION);
    g_updates.init();
    g_updates.checkWithoutUi();
}

std::wstring exePath() {
    return platform::executablePath().wstring();
}

ServiceProbe queryService(void*) {
    return service::queryService();
}

FirewallRule queryFirewallRule(void*) {
    return service::firewallRule();
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

bool addIcon(void*) {
    // After a taskbar restart the icon is gone and must be added; when it is still there (a
    // broadcast without a restart) updating it is enough.
    return Shell_NotifyIconW(NIM_ADD, &g_nid) || Shell_NotifyIconW(NIM_MODIFY, &g_nid);
}

void setIconRetry(void*, bool on) {
    if (on)
        SetTimer(g_window, kIconRetryTimer, kIconRetryMs, nullptr);
    else
        KillTimer(g_window, kIconRetryTimer);
}

const TrayPlatform kWin32Tray = {queryService,    queryFirewallRule, isAutoStart, loginEntryExists,
                                 writeLoginEntry, launchElevated,    openUrl,     messageBox,
                                 showMenu,        checkForUpdates,   adminPort,   destroyWindow,
                                 addIcon,         setIconRetry};

TrayController* g_controller = nullptr;

LRESULT CALLBACK wndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == g_taskbarCreated && g_taskbarCreated != 0) {
        if (g_controller) g_controller->showIcon();
        return 0;
    }
    switch (message) {
    case WM_TIMER:
        if (wParam == kIconRetryTimer && g_controller) g_controller->onIconRetry();
        return 0;
    case kTrayMessage:
        if (g_controller) g_controller->onNotify(LOWORD(lParam));
        return 0;
    case WM_COMMAND:
        if (g_controller) g_controller->onCommand(LOWORD(wParam));
        return 0;
    case WM_DESTROY:
        KillTimer(window, kIconRetryTimer);
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
    // Never shown; a tool window, so that it has no taskbar button either.
    g_window = CreateWindowExW(WS_EX_TOOLWINDOW, L"TnlRelayTray", L"Tarnelle Relay", WS_POPUP, 0, 0,
                               0, 0, nullptr, nullptr, instance, nullptr);
    if (!g_window) return 1;
    g_taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    // An elevated tray would otherwise never hear the broadcast of an unelevated Explorer.
    ChangeWindowMessageFilterEx(g_window, g_taskbarCreated, MSGFLT_ALLOW, nullptr);

    g_nid.cbSize = sizeof(g_nid);
    g_nid.hWnd = g_window;
    g_nid.uID = 1;
    g_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    g_nid.uCallbackMessage = kTrayMessage;
    g_nid.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconResource));
    if (!g_nid.hIcon) g_nid.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512)); // IDI_APPLICATION
    lstrcpynW(g_nid.szTip, L"Tarnelle Multiplayer Relay", 128);

    loadUpdateLibrary();

    TrayController controller(kWin32Tray, nullptr, exePath());
    g_controller = &controller;
    controller.showIcon();
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
