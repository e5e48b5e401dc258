// A stand-in for the update library, for the Wine tests: it exports the entry points the tray
// resolves and appends what it was asked to a file beside itself (<dll>.calls), so that a test
// can tell which copy was loaded and what details the tray gave it.

#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

HMODULE g_self = nullptr;

void record(const wchar_t* line) {
    wchar_t path[MAX_PATH + 8] = {};
    DWORD length = GetModuleFileNameW(g_self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    std::wcscat(path, L".calls");
    if (FILE* out = _wfopen(path, L"a")) {
        std::fwprintf(out, L"%ls\n", line);
        std::fclose(out);
    }
}

} // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_self = instance;
        record(L"loaded");
    }
    return TRUE;
}

__declspec(dllexport) void __cdecl win_sparkle_set_appcast_url(const char*) {
    record(L"appcast");
}
__declspec(dllexport) void __cdecl win_sparkle_set_app_details(const wchar_t* company,
                                                                const wchar_t* app,
                                                                const wchar_t* version) {
    wchar_t line[512];
    std::swprintf(line, 512, L"details %ls|%ls|%ls", company, app, version);
    record(line);
}
__declspec(dllexport) void __cdecl win_sparkle_init() {
    record(L"init");
}
__declspec(dllexport) void __cdecl win_sparkle_check_update_without_ui() {
    record(L"check");
}
__declspec(dllexport) void __cdecl win_sparkle_check_update_with_ui() {
    record(L"check-with-ui");
}
__declspec(dllexport) void __cdecl win_sparkle_cleanup() {
    record(L"cleanup");
}
}
