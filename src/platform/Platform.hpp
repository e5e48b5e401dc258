// What differs between POSIX and Win32: the data directory base, file operations with the
// sharing modes the storage needs, local time, the executable's and the machine's names, what
// the process uses, and console stop events.
// One header, a POSIX source and a Win32 source.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tnlrelay::platform {

/// The base of the data directory: the environment variable ProgramData when it is set,
/// non-empty and shorter than 260 units; else /var/lib (POSIX) or C:\ProgramData (Win32).
std::filesystem::path dataDirBase();

/// Creates one directory (not its parents) with the rights it inherits; failures are ignored. (The
/// Windows service makes its own folders with their access list.)
void createDirectory(const std::filesystem::path& dir);

/// True when a file can be created in `dir` (it is created and removed again).
bool canWriteIn(const std::filesystem::path& dir);

/// UTF-8 text of a path.
std::string pathUtf8(const std::filesystem::path& path);

/// The whole file, opened for reading with read sharing (and, on Win32, delete sharing so that
/// an atomic replace is never blocked). Empty on any failure.
std::string readFile(const std::filesystem::path& path);

/// Replaces the file atomically: a temporary file beside it, flushed to disk, renamed over it.
/// False (and no temporary file left behind) when the new content is not in place. Like
/// appendToFile, it may use the descriptor in reserve.
bool replaceFile(const std::filesystem::path& path, const std::string& bytes);

/// How much of an append reached the file.
enum class AppendResult {
    whole,   ///< every byte
    nothing, ///< none: the file is as it was (a short write was cut back off)
    partial, ///< a short write that could not be cut back: the file ends inside the bytes
    full,    ///< none: the bytes would have taken the file past the limit given
};

/// Appends bytes with one write, creating the file; others may read but not write meanwhile.
/// When the process is out of descriptors, a descriptor kept in reserve is lent for it. With a
/// `limit`, a file that holds bytes and would pass it is left as it is (`full`), judged by the
/// size of the file opened for the write, so that a caller can rotate exactly without asking
/// for the size first.
AppendResult appendToFile(const std::filesystem::path& path, const std::string& bytes,
                          std::optional<std::uint64_t> limit = std::nullopt);
/// Whether `bytes` more would take a file of `size` bytes past `limit`; an empty file takes
/// any, so that a limit can never stall the file.
inline bool passesLimit(std::uint64_t size, std::uint64_t bytes, std::uint64_t limit) {
    return size > 0 && (size > limit || bytes > limit - size);
}

/// The size of a file, or nothing when it cannot be queried or is a directory.
std::optional<std::uint64_t> fileSize(const std::filesystem::path& path);

/// Reads up to `length` bytes from `offset`, in pieces of 8192, with read and write sharing.
/// Nothing when the file cannot be opened; a read error ends the bytes early.
std::optional<std::string> readRange(const std::filesystem::path& path, std::uint64_t offset,
                                     std::uint64_t length);

/// Renames, replacing an existing target. True on success.
bool renameFile(const std::filesystem::path& from, const std::filesystem::path& to);
/// Deletes a file. True on success.
bool removeFile(const std::filesystem::path& path);

struct LocalTime {
    int year, month, day, hour, minute, second;
};
LocalTime localTime();

/// The running executable's full path (never cut short).
std::filesystem::path executablePath();

/// This machine's name; empty when the system gives none.
std::string hostName();

/// What the process uses, as monitoring reports it. A figure the system does not give is
/// empty: Linux gives all of them; Win32 has no descriptor limit, and counts handles (of any
/// kind) as open descriptors.
struct ProcessUsage {
    std::optional<double> cpuSeconds;    ///< user and system time
    std::optional<double> residentBytes; ///< resident set (Win32: working set)
    std::optional<double> openFds;
    std::optional<double> maxFds;    ///< the soft limit on open descriptors
    std::optional<double> startTime; ///< when the process started, in Unix seconds
};
ProcessUsage processUsage();

/// Console stop events (Ctrl+C, Ctrl+Break, console close; SIGINT, SIGTERM, SIGHUP) store true
/// into `*flag` while it is set. `setStopTarget(nullptr)` detaches; after it returns no handler
/// touches the previous flag, so its owner may be destroyed. `stopTargetReleased()` tells the
/// console-close handler, which must wait for it on Win32, that the owner is gone.
/// A Ctrl+C, Ctrl+Break, SIGINT or SIGTERM that arrives once stopping has begun (the flag is
/// already set, or no target is attached) gets the default handling: it ends the process.
void installStopHandlers();
void setStopTarget(std::atomic<bool>* flag);
void stopTargetReleased();

} // namespace tnlrelay::platform
