// A small Windows program the Wine tests run beside the relay: it finds the tray's window and
// posts it icon notifications or menu commands, plays the shell (removes the tray's icon, sends
// the "taskbar created" broadcast), lists the windows of the desktop, and saves a screenshot of
// the desktop as a BMP file.

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr UINT kTrayMessage = WM_APP + 1;

/// The tray's hidden top-level window, waited for up to `seconds`.
HWND findTray(int seconds) {
    DWORD deadline = GetTickCount() + static_cast<DWORD>(seconds) * 1000;
    for (;;) {
        HWND window = FindWindowW(L"TnlRelayTray", nullptr);
        if (window || static_cast<LONG>(GetTickCount() - deadline) >= 0) return window;
        Sleep(50);
    }
}

BOOL CALLBACK printWindow(HWND window, LPARAM depth) {
    wchar_t className[256] = {};
    wchar_t title[256] = {};
    GetClassNameW(window, className, 256);
    GetWindowTextW(window, title, 256);
    RECT rect{};
    GetWindowRect(window, &rect);
    std::wprintf(L"%*s%ls \"%ls\" %ld,%ld %ldx%ld%ls\n", static_cast<int>(depth) * 2, L"",
                 className, title, rect.left, rect.top, rect.right - rect.left,
                 rect.bottom - rect.top, IsWindowVisible(window) ? L" visible" : L"");
    if (depth == 0) EnumChildWindows(window, printWindow, depth + 1);
    return TRUE;
}

bool screenshot(const wchar_t* path) {
    HDC screen = GetDC(nullptr);
    int width = GetDeviceCaps(screen, HORZRES);
    int height = GetDeviceCaps(screen, VERTRES);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    GdiFlush();
    DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
    DWORD imageSize = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info.bmiHeader);
    file.bfSize = file.bfOffBits + imageSize;
    bool ok = false;
    if (FILE* out = _wfopen(path, L"wb")) {
        ok = std::fwrite(&file, sizeof(file), 1, out) == 1 &&
             std::fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, out) == 1 &&
             std::fwrite(bits, imageSize, 1, out) == 1;
        ok = std::fclose(out) == 0 && ok;
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

BOOL CALLBACK collectStaticText(HWND window, LPARAM texts) {
    wchar_t className[64] = {};
    wchar_t text[1024] = {};
    GetClassNameW(window, className, 64);
    if (lstrcmpiW(className, L"Static") == 0 && GetWindowTextW(window, text, 1024) > 0)
        reinterpret_cast<std::wstring*>(texts)->append(text).append(L"\n");
    return TRUE;
}

/// Waits up to 60 s for a shown top-level window with this title (a message box) whose text is
/// in place, prints the text and posts it a command: the button the test "presses".
bool answer(const wchar_t* title, WPARAM button) {
    DWORD deadline = GetTickCount() + 60000;
    for (;;) {
        HWND box = FindWindowW(nullptr, title);
        if (box && IsWindowVisible(box)) {
            std::wstring texts;
            EnumChildWindows(box, collectStaticText, reinterpret_cast<LPARAM>(&texts));
            if (!texts.empty()) {
                std::wprintf(L"%ls", texts.c_str());
                std::fflush(stdout);
                return PostMessageW(box, WM_COMMAND, button, 0) != 0;
            }
        }
        if (static_cast<LONG>(GetTickCount() - deadline) >= 0) return false;
        Sleep(50);
    }
}

int usage() {
    std::fwprintf(stderr, L"usage: wine-helper wait-tray SECONDS | command ID | notify MSG | "
                          L"cancel-menu | answer TITLE ID | windows | screenshot FILE.bmp | "
                          L"drop-icon | taskbar-created\n");
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return usage();
    std::wstring verb = argv[1];
    if (verb == L"wait-tray" && argc == 3)
        return findTray(std::wcstol(argv[2], nullptr, 10)) ? 0 : 1;
    if ((verb == L"command" || verb == L"notify") && argc == 3) {
        HWND tray = findTray(10);
        if (!tray) return 1;
        unsigned long value = std::wcstoul(argv[2], nullptr, 0);
        BOOL posted = verb == L"command" ? PostMessageW(tray, WM_COMMAND, value, 0)
                                         : PostMessageW(tray, kTrayMessage, 1, value);
        return posted ? 0 : 1;
    }
    if (verb == L"cancel-menu") {
        // The default handling of WM_CANCELMODE ends the open menu's loop.
        HWND tray = findTray(10);
        return tray && PostMessageW(tray, WM_CANCELMODE, 0, 0) ? 0 : 1;
    }
    if (verb == L"answer" && argc == 4)
        return answer(argv[2], std::wcstoul(argv[3], nullptr, 0)) ? 0 : 1;
    if (verb == L"windows") {
        EnumWindows(printWindow, 0);
        return 0;
    }
    if (verb == L"screenshot" && argc == 3) return screenshot(argv[2]) ? 0 : 1;
    if (verb == L"drop-icon") {
        // What a crashing Explorer does to every icon: it is gone from the notification area.
        HWND tray = findTray(10);
        NOTIFYICONDATAW icon{};
        icon.cbSize = sizeof icon;
        icon.hWnd = tray;
        icon.uID = 1;
        return tray && Shell_NotifyIconW(NIM_DELETE, &icon) ? 0 : 1;
    }
    if (verb == L"taskbar-created") {
        // What a restarted Explorer sends to every top-level window.
        UINT message = RegisterWindowMessageW(L"TaskbarCreated");
        return SendNotifyMessageW(HWND_BROADCAST, message, 0, 0) ? 0 : 1;
    }
    return usage();
}
