// The relay's text log: one time-stamped line per event, appended to relay.log, rotated into
// numbered generations before it passes its size limit, read back incrementally by offset, and
// copied to a journal on standard error when systemd started the process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tnlrelay {

/// What one incremental read of the live log returns.
struct LogChunk {
    std::uint64_t nextOffset = 0; ///< where the next read should resume
    bool reset = false;           ///< the lines do not continue from the offset given
    std::vector<std::string> lines;
    std::uint64_t pending = 0; ///< bytes after `nextOffset` left for later reads (`readOn`)
};

class RelayLog {
public:
    RelayLog(std::filesystem::path path, std::uint64_t maxBytes, std::int32_t generations);
    /// Writes what `holdLines` kept.
    ~RelayLog() { flush(); }
    RelayLog(const RelayLog&) = delete;
    RelayLog& operator=(const RelayLog&) = delete;

    /// From here on lines wait in memory and go out in batches of up to 64 KiB, the rest when
    /// the log is destroyed: a few system calls for thousands of lines, as when a stopping relay
    /// writes one LEAVE line for each of its players. For the stop only: a line held is not
    /// on disk yet. The journal copy still goes out line by line.
    void holdLines() { holding_ = true; }
    /// Writes the held lines, whole, rotating as single lines would.
    void flush();

    /// Each line is written whole or not at all (a short write is cut back off), so no two lines
    /// are ever glued together.
    void info(std::string_view message);
    void error(std::string_view message);

    /// Syslog levels of the journal copy.
    static constexpr int kErrorPriority = 3;
    static constexpr int kInfoPriority = 6;
    /// Also writes every line to standard error as `journalLine` makes it, whatever became of
    /// it in relay.log. For the whole process; off until turned on.
    static void copyToJournal(bool on);
    /// A line as the journal reads it: the syslog level in angle brackets, then the message and
    /// a line feed; no time stamp, since the journal keeps its own.
    static std::string journalLine(int priority, std::string_view message);

    /// Complete lines written since `offset`, at most `maxBytes` of them; with more pending than
    /// that, the last `maxBytes` (and `reset`).
    LogChunk readSince(std::uint64_t offset, std::uint64_t maxBytes) const;
    /// The complete lines that follow `offset`, at most `maxBytes` of them, never skipping ahead:
    /// `nextOffset` is where this read stopped and `pending` what is left after it. An offset
    /// inside a line reads on from the next line; a line longer than `maxBytes` comes in pieces.
    LogChunk readOn(std::uint64_t offset, std::uint64_t maxBytes) const;

    const std::filesystem::path& filePath() const { return path_; }
    /// Lines written, and lines that could not be written, since this object was made.
    std::uint64_t linesWritten() const { return written_; }
    std::uint64_t linesFailed() const { return failed_; }

private:
    void writeLine(const char* level, int priority, std::string_view message);
    void rotate();
    /// The live file's size (none without a file) and where a read from `offset` starts: at 0,
    /// with `chunk.reset`, when the file is shorter than that (rotated or truncated).
    std::optional<std::uint64_t> startOfRead(std::uint64_t offset, std::uint64_t& start,
                                             LogChunk& chunk) const;
    /// The file ends inside a line (after a write that stopped inside one).
    bool endsInsideLine() const;

    std::filesystem::path path_;
    std::uint64_t maxBytes_;
    std::int32_t generations_;
    std::uint64_t written_ = 0;
    std::uint64_t failed_ = 0;
    /// A write stopped inside a line and could not be cut back: the file may end mid-line.
    bool cutLine_ = false;
    bool holding_ = false;
    std::string held_; ///< whole lines, each with its line end
};

} // namespace tnlrelay
