// The platform layer on Windows: wide paths, CreateFileW with the sharing modes the storage
// relies on, GetLocalTime, GetModuleFileNameW, GetComputerNameA, the process's
// times, memory and handles, and the console control handler.
#include "platform/Platform.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

namespace tnlrelay::platform {

namespace {

constexpr DWORD kMaxBaseLength = 260;
constexpr DWORD kReadPiece = 4096;
constexpr DWORD kRangePiece = 8192;
// How long a replace keeps retrying while another process briefly holds the target.
constexpr int kReplaceAttempts = 20;
constexpr DWORD kReplaceRetryMs = 10;
// Windows ends the process once the close handler returns; give the owner this long to finish.
constexpr ULONGLONG kCloseWaitMs = 4000;

std::atomic<std::atomic<bool>*> g_stopTarget{nullptr};
// Handlers currently between reading g_stopTarget and storing into it.
std::atomic<int> g_handlersInFlight{0};
// True while no owner is running or once it has gone; a close event only waits while false.
std::atomic<bool> g_targetReleased{true};
std::atomic<unsigned> g_tempCounter{0};

class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (valid()) ::CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }
    bool close() {
        HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
        return handle != INVALID_HANDLE_VALUE && ::CloseHandle(handle) != 0;
    }

private:
    HANDLE handle_;
};

bool writeAll(HANDLE file, const char* data, std::size_t size) {
    while (size > 0) {
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

std::filesystem::path tempPathBeside(const std::filesystem::path& path) {
    std::wstring name = path.filename().wstring();
    name += L".tmp.";
    name += std::to_wstring(::GetCurrentProcessId());
    name += L'.';
    name += std::to_wstring(g_tempCounter.fetch_add(1));
    return path.parent_path() / name;
}

BOOL WINAPI consoleCtrlHandler(DWORD event) {
    if (event > CTRL_CLOSE_EVENT) return FALSE; // logoff and shutdown belong to the service, if any
    g_handlersInFlight.fetch_add(1);
    std::atomic<bool>* flag = g_stopTarget.load();
    const bool stopping = flag == nullptr || flag->exchange(true);
    g_handlersInFlight.fetch_sub(1);
    // A second Ctrl+C or Ctrl+Break once stopping has begun goes to the default handler, which
    // ends the process.
    if (stopping && event != CTRL_CLOSE_EVENT) return FALSE;
    if (event == CTRL_CLOSE_EVENT) {
        ULONGLONG deadline = ::GetTickCount64() + kCloseWaitMs;
        while (!g_targetReleased.load() && ::GetTickCount64() < deadline)
            ::Sleep(10);
    }
    return TRUE;
}

} // namespace

std::filesystem::path dataDirBase() {
    wchar_t buffer[kMaxBaseLength] = {};
    DWORD length = ::GetEnvironmentVariableW(L"ProgramData", buffer, kMaxBaseLength);
    if (length == 0 || length >= kMaxBaseLength) return std::filesystem::path(L"C:\\ProgramData");
    return std::filesystem::path(std::wstring(buffer, length));
}

void createDirectory(const std::filesystem::path& dir) {
    ::CreateDirectoryW(dir.c_str(), nullptr);
}

bool canWriteIn(const std::filesystem::path& dir) {
    std::filesystem::path probe = tempPathBeside(dir / L".write-probe");
    Handle file(::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    return file.valid();
}

std::string pathUtf8(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    if (wide.empty()) return {};
    int length = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string text(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(),
                          length, nullptr, nullptr);
    return text;
}

std::string readFile(const std::filesystem::path& path) {
    std::string bytes;
    // Delete sharing lets a writer in another process replace the file while we read it.
    Handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return bytes;
    char piece[kReadPiece];
    DWORD n = 0;
    while (::ReadFile(file.get(), piece, kReadPiece, &n, nullptr) && n > 0)
        bytes.append(piece, n);
    return bytes;
}

bool replaceFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::path temp;
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 8 && handle == INVALID_HANDLE_VALUE; ++attempt) {
        temp = tempPathBeside(path);
        handle = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            DWORD error = ::GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
        }
    }
    Handle file(handle);
    if (!file.valid()) return false;

    bool ok = writeAll(file.get(), bytes.data(), bytes.size());
    ok = ::FlushFileBuffers(file.get()) != 0 && ok;
    ok = file.close() && ok;
    if (ok) {
        ok = false;
        for (int attempt = 0; attempt < kReplaceAttempts && !ok; ++attempt) {
            if (attempt > 0) ::Sleep(kReplaceRetryMs);
            ok = ::MoveFileExW(temp.c_str(), path.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
            if (!ok) {
                DWORD error = ::GetLastError();
                if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
                    error != ERROR_LOCK_VIOLATION)
                    break;
            }
        }
    }
    if (!ok) ::DeleteFileW(temp.c_str());
    return ok;
}

AppendResult appendToFile(const std::filesystem::path& path, const std::string& bytes,
                          std::optional<std::uint64_t> limit) {
    // GENERIC_WRITE as well as appending, so that a short write can be cut back off.
    Handle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA | GENERIC_WRITE, FILE_SHARE_READ,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return AppendResult::nothing;
    LARGE_INTEGER start{};
    const bool sized = ::GetFileSizeEx(file.get(), &start) != 0;
    if (limit && sized && passesLimit(std::uint64_t(start.QuadPart), bytes.size(), *limit))
        return AppendResult::full;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 0xFFFFFFFFu));
    LARGE_INTEGER end{};
    end.QuadPart = 0;
    DWORD written = 0;
    if (!sized || !::SetFilePointerEx(file.get(), end, nullptr, FILE_END))
        return AppendResult::nothing;
    ::WriteFile(file.get(), bytes.data(), size, &written, nullptr);
    if (written == size) return AppendResult::whole;
    if (written == 0) return AppendResult::nothing;
    return ::SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) && ::SetEndOfFile(file.get())
               ? AppendResult::nothing
               : AppendResult::partial;
}

std::optional<std::uint64_t> fileSize(const std::filesystem::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return std::nullopt;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::optional<std::string> readRange(const std::filesystem::path& path, std::uint64_t offset,
                                     std::uint64_t length) {
    Handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return std::nullopt;
    std::string bytes;
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (::SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN)) {
        char piece[kRangePiece];
        while (bytes.size() < length) {
            DWORD want =
                static_cast<DWORD>(std::min<std::uint64_t>(kRangePiece, length - bytes.size()));
            DWORD n = 0;
            if (!::ReadFile(file.get(), piece, want, &n, nullptr) || n == 0) break;
            bytes.append(piece, n);
        }
    }
    return bytes;
}

bool renameFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool removeFile(const std::filesystem::path& path) {
    return ::DeleteFileW(path.c_str()) != 0;
}

LocalTime localTime() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

std::filesystem::path executablePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD length =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        // A full buffer means the path may have been cut short: grow and ask again.
        if (length < buffer.size())
            return std::filesystem::path(std::wstring(buffer.data(), length));
        if (buffer.size() >= 32768 * 2) return {};
        buffer.resize(buffer.size() * 2);
    }
}

DescriptorLimits raiseDescriptorLimit() {
    return {}; // sockets are handles: no per-process count to raise
}

std::uint64_t descriptorLimit() {
    return 0;
}

std::string hostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!::GetComputerNameA(name, &size)) return {};
    return std::string(name, size);
}

// Windows has no hang-up and no journal: console events only ever stop, and the log has no
// second reader to write for.
HangUp hangUpMeaningHere() {
    return HangUp::stop;
}

bool standardErrorIsJournal() {
    return false;
}

void writeStandardError(std::string_view bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
}

bool standardInputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

std::optional<std::string> readSecretLine(std::string_view prompt) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(in, &mode)) {
        // A console: read as UTF-16 with echo off, whatever its code page.
        writeStandardError(prompt);
        std::fflush(stderr);
        SetConsoleMode(in, (mode & ~DWORD(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT);
        std::wstring typed;
        bool ended = false;
        for (;;) {
            wchar_t ch = 0;
            DWORD got = 0;
            if (!ReadConsoleW(in, &ch, 1, &got, nullptr) || got == 0) break;
            if (ch == L'\n') {
                ended = true;
                break;
            }
            if (ch != L'\r') typed += ch;
        }
        SetConsoleMode(in, mode);
        writeStandardError("\n");
        if (!ended && typed.empty()) return std::nullopt;
        const std::filesystem::path asPath(typed);
        return pathUtf8(asPath);
    }
    // A pipe or a file: its bytes as they come, up to the line's end.
    std::string line;
    bool ended = false;
    for (;;) {
        char ch = 0;
        DWORD got = 0;
        if (!ReadFile(in, &ch, 1, &got, nullptr) || got == 0) break;
        if (ch == '\n') {
            ended = true;
            break;
        }
        line += ch;
    }
    if (!ended && line.empty()) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

void installStopHandlers(HangUp) {
    ::SetConsoleCtrlHandler(consoleCtrlHandler, TRUE);
}

void setStopTarget(std::atomic<bool>* flag) {
    if (flag != nullptr) g_targetReleased.store(false);
    g_stopTarget.store(flag);
    while (g_handlersInFlight.load() != 0)
        ::SwitchToThread();
}

void stopTargetReleased() {
    g_targetReleased.store(true);
}

bool takeReloadRequest() {
    return false;
}

ProcessUsage processUsage() {
    ProcessUsage usage;
    HANDLE self = GetCurrentProcess();
    // FILETIME counts 100 ns: durations for the CPU times, since 1601 for the creation time.
    auto units = [](const FILETIME& t) {
        return static_cast<double>(ULARGE_INTEGER{{t.dwLowDateTime, t.dwHighDateTime}}.QuadPart);
    };
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(self, &created, &exited, &kernel, &user)) {
        usage.cpuSeconds = (units(kernel) + units(user)) / 1e7;
        usage.startTime = units(created) / 1e7 - 11644473600.0;
    }
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (K32GetProcessMemoryInfo(self, &memory, sizeof memory))
        usage.residentBytes = static_cast<double>(memory.WorkingSetSize);
    DWORD handles = 0;
    if (GetProcessHandleCount(self, &handles)) usage.openFds = static_cast<double>(handles);
    return usage;
}

} // namespace tnlrelay::platform
