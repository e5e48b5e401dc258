// What differs between POSIX and Win32 (one header, a source for each): the data directory base,
// file operations with the sharing modes the storage needs, local time, the executable's path,
// the machine's name, the descriptor limit, reading a password, what the process uses, console
// stop events, and on
// POSIX the service manager's hang-up and journal.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

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

/// The process's limit on open descriptors: the soft limit before and after
/// `raiseDescriptorLimit`, and the hard limit. Zeros where no such limit applies (Windows:
/// sockets are handles, bounded by memory only).
struct DescriptorLimits {
    std::uint64_t before = 0, now = 0, hard = 0;
};
/// Raises the soft limit to the hard one, as a shell's default (often 1,024) would keep a
/// crowd of players out while the system allows many more.
DescriptorLimits raiseDescriptorLimit();
/// The soft limit in force now (0 where none applies).
std::uint64_t descriptorLimit();

/// What a hang-up (SIGHUP) asks of the console run. Under a service manager it is the usual way to
/// ask a daemon to read its settings again (`systemctl reload`); in a terminal it means the
/// terminal went away, and the relay stops. Win32 has no hang-up: it always stops there.
enum class HangUp { stop, reload };

#ifndef _WIN32
/// The rule: a reload when the service manager's variables (INVOCATION_ID, JOURNAL_STREAM) are
/// set and non-empty, or when the process has no controlling terminal to lose.
HangUp hangUpMeaning(const char* invocationId, const char* journalStream, bool controllingTerminal);
/// True when JOURNAL_STREAM's "device:inode" (decimal) names exactly this device and inode.
bool journalStreamIs(const char* journalStream, std::uint64_t device, std::uint64_t inode);
#endif
/// The rule applied to this process's environment and terminal.
HangUp hangUpMeaningHere();
/// True when standard error is the stream the journal gave this process (started by systemd,
/// JOURNAL_STREAM matching standard error's device and inode), so that lines written there with
/// a syslog level prefix keep their level in the journal.
bool standardErrorIsJournal();
/// Writes the bytes to standard error with one call when it can (lines from two writers never
/// mix); failures are ignored.
void writeStandardError(std::string_view bytes);

/// Whether standard input is a terminal (on Win32, a console).
bool standardInputIsTerminal();
/// One line from standard input, without its line end (LF or CR LF); nothing at the end of
/// input. At a terminal the prompt goes to standard error first and what is typed is not shown
/// (echo is off while the line is read, and back on after it); otherwise nothing is written.
std::optional<std::string> readSecretLine(std::string_view prompt);

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

/// Console stop events (Ctrl+C, Ctrl+Break, console close; SIGINT, SIGTERM, SIGHUP when it
/// means stop) store true into `*flag` while it is set. `setStopTarget(nullptr)` detaches; after it
/// returns no handler touches the previous flag, so its owner may be destroyed.
/// `stopTargetReleased()` tells the console-close handler, which must wait for it on Win32, that
/// the owner is gone. A Ctrl+C, Ctrl+Break, SIGINT or SIGTERM that arrives once stopping has begun
/// (the flag is already set, or no target is attached) gets the default handling: it ends the
/// process.
void installStopHandlers(HangUp hangUp = HangUp::stop);
void setStopTarget(std::atomic<bool>* flag);
void stopTargetReleased();
/// True once after each hang-up that asked for a reload (and false on Win32). A flag of the
/// process, not of a core, so that a late hang-up never reaches a destroyed one.
bool takeReloadRequest();

} // namespace tnlrelay::platform
