// Writing relay.log one line per call (no file held open, so a file moved away by a rotation
// tool is simply made anew), rotating it into numbered generations before a line would pass the
// size limit, reading new lines back by offset, and the journal's copy of each line.
#include "RelayLog.hpp"

#include "platform/Platform.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <utility>

namespace tnlrelay {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
/// Held lines go out once they come to this much.
constexpr std::size_t kHeldBatch = 64 * 1024;

std::atomic<bool> g_copyToJournal{false};

std::filesystem::path generationPath(const std::filesystem::path& path, std::int32_t n) {
    if (n == 0) return path;
    std::filesystem::path result = path;
    // Two appends rather than "." + text: mingw's GCC 12 warns (falsely) about the latter.
    result += ".";
    result += std::to_string(n);
    return result;
}

// The live file is moved here first, so that nothing older is touched unless it could be moved.
std::filesystem::path stagingPath(const std::filesystem::path& path) {
    std::filesystem::path result = path;
    result += ".rotating";
    return result;
}

// Drops the oldest generation, shifts the others up by one and makes `staged` generation 1.
void shiftInto(const std::filesystem::path& path, std::int32_t generations,
               const std::filesystem::path& staged) {
    platform::removeFile(generationPath(path, generations));
    for (std::int32_t n = generations - 1; n >= 1; --n)
        platform::renameFile(generationPath(path, n), generationPath(path, n + 1));
    platform::renameFile(staged, generationPath(path, 1));
}

} // namespace

RelayLog::RelayLog(std::filesystem::path path, std::uint64_t maxBytes, std::int32_t generations)
    : path_(std::move(path)), maxBytes_(maxBytes), generations_(generations < 1 ? 1 : generations) {
}

void RelayLog::info(std::string_view message) {
    writeLine("INFO", kInfoPriority, message);
}

void RelayLog::error(std::string_view message) {
    writeLine("ERROR", kErrorPriority, message);
}

void RelayLog::copyToJournal(bool on) {
    g_copyToJournal.store(on);
}

std::string RelayLog::journalLine(int priority, std::string_view message) {
    // Appends rather than "<" + text: mingw's GCC 12 warns (falsely) about the latter.
    std::string line = "<";
    line += std::to_string(priority);
    line += '>';
    line += message;
    line += '\n';
    return line;
}

void RelayLog::writeLine(const char* level, int priority, std::string_view message) {
    // First, so that the journal holds the event even when the file cannot take it.
    if (g_copyToJournal.load()) platform::writeStandardError(journalLine(priority, message));
    platform::LocalTime now = platform::localTime();
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", now.year, now.month,
                  now.day, now.hour, now.minute, now.second);
    std::string line;
    line.reserve(32 + message.size());
    line += stamp;
    line += ' ';
    line += level;
    line += ' ';
    line += message;
    line += kLineEnd;
    if (holding_) {
        held_ += line;
        if (held_.size() >= kHeldBatch) flush();
        return;
    }
    // The piece of a line that could not be removed stays, but ends here, on its own line.
    const std::size_t endFirst = cutLine_ && endsInsideLine() ? kLineEnd.size() : 0;
    if (endFirst) line.insert(0, kLineEnd);
    // The size limit is judged by the file opened for the line: no separate look at its size.
    const std::uint64_t limit =
        maxBytes_ > UINT64_MAX - endFirst ? maxBytes_ : maxBytes_ + endFirst;
    platform::AppendResult result = platform::appendToFile(path_, line, limit);
    if (result == platform::AppendResult::full) {
        rotate();
        if (endFirst && !endsInsideLine()) line.erase(0, endFirst); // the piece moved away
        result = platform::appendToFile(path_, line);
    }
    // Only a whole line is known to end the file with a line end.
    if (result != platform::AppendResult::nothing)
        cutLine_ = result == platform::AppendResult::partial;
    if (result == platform::AppendResult::whole)
        ++written_;
    else
        ++failed_;
}

void RelayLog::flush() {
    std::string_view rest = held_;
    bool rotated = false;
    while (!rest.empty()) {
        // The whole lines that fit under the limit; an empty file takes at least one, and so
        // does a file that could not be rotated, as with single lines.
        const std::uint64_t size = platform::fileSize(path_).value_or(0);
        std::size_t take = 0;
        for (std::size_t end; (end = rest.find('\n', take)) != std::string_view::npos;) {
            const bool fits = size + end + 1 <= maxBytes_ || (take == 0 && (size == 0 || rotated));
            if (!fits) break;
            take = end + 1;
        }
        if (take == 0) {
            rotate();
            rotated = true;
            continue;
        }
        rotated = false;
        std::string batch(rest.substr(0, take));
        if (cutLine_ && endsInsideLine()) batch.insert(0, kLineEnd);
        const auto lines = static_cast<std::uint64_t>(std::count(batch.begin(), batch.end(), '\n'));
        const platform::AppendResult result = platform::appendToFile(path_, batch);
        if (result != platform::AppendResult::nothing)
            cutLine_ = result == platform::AppendResult::partial;
        if (result == platform::AppendResult::whole)
            written_ += lines - (batch.size() > take ? 1 : 0); // the line end put first is none
        else
            failed_ += lines - (batch.size() > take ? 1 : 0);
        rest.remove_prefix(take);
    }
    std::string().swap(held_);
}

bool RelayLog::endsInsideLine() const {
    std::optional<std::uint64_t> size = platform::fileSize(path_);
    std::optional<std::string> last =
        size && *size > 0 ? platform::readRange(path_, *size - 1, 1) : std::nullopt;
    return last && !last->empty() && last->back() != '\n';
}

// The live file would pass its limit with the next line (an empty file takes even a line
// longer than the limit, so the limit can never stall it).
void RelayLog::rotate() {
    std::filesystem::path staging = stagingPath(path_);
    // A staging file left by an interrupted rotation is a generation that never reached its
    // place; give it that place before the live file needs the staging name.
    if (platform::fileSize(staging)) shiftInto(path_, generations_, staging);
    if (!platform::renameFile(path_, staging))
        return; // held by another program: keep appending, try again with the next line
    shiftInto(path_, generations_, staging);
}

namespace {

// The whole lines of `buffer`, read from `start` in the file, into `chunk`, and where the next
// read begins. Reading from the middle of the file may have begun inside a line (then the
// chunk says reset); that line is dropped. A trailing partial line stays unread until its line
// end has been written.
void takeWholeLines(const std::string& buffer, std::uint64_t start, bool insideLine,
                    LogChunk& chunk) {
    std::size_t skip = 0;
    if (insideLine) {
        std::size_t firstFeed = buffer.find('\n');
        skip = firstFeed == std::string::npos ? buffer.size() : firstFeed + 1;
    }
    std::size_t lastFeed = buffer.rfind('\n');
    if (lastFeed == std::string::npos || lastFeed < skip) {
        chunk.nextOffset = start + skip;
        return;
    }
    std::size_t end = lastFeed + 1;
    chunk.nextOffset = start + end;
    std::size_t pos = skip;
    while (pos < end) {
        std::size_t feed = buffer.find('\n', pos);
        std::size_t stop = feed;
        if (stop > pos && buffer[stop - 1] == '\r') --stop;
        if (stop > pos) chunk.lines.emplace_back(buffer, pos, stop - pos);
        pos = feed + 1;
    }
}

} // namespace

std::optional<std::uint64_t> RelayLog::startOfRead(std::uint64_t offset, std::uint64_t& start,
                                                   LogChunk& chunk) const {
    const std::optional<std::uint64_t> size = platform::fileSize(path_);
    start = offset;
    if (!size) {
        chunk.reset = offset != 0;
    } else if (*size < offset) {
        chunk.reset = true; // rotated or truncated since the caller's last read
        start = 0;
    }
    return size;
}

LogChunk RelayLog::readSince(std::uint64_t offset, std::uint64_t maxBytes) const {
    LogChunk chunk;
    std::uint64_t start = 0;
    const std::optional<std::uint64_t> size = startOfRead(offset, start, chunk);
    if (!size) return chunk;
    if (start >= *size) {
        chunk.nextOffset = *size;
        return chunk;
    }
    std::uint64_t pending = *size - start;
    if (pending > maxBytes) {
        chunk.reset = true;
        start = *size - maxBytes;
        pending = maxBytes;
        if (start >= *size) {
            chunk.nextOffset = *size;
            return chunk;
        }
    }

    std::optional<std::string> bytes = platform::readRange(path_, start, pending);
    if (!bytes) {
        // Held by another program: let the caller simply try again from where it was.
        chunk.nextOffset = offset;
        chunk.reset = false;
        return chunk;
    }
    const std::string& buffer = *bytes;
    if (buffer.empty()) {
        chunk.nextOffset = start;
        return chunk;
    }

    takeWholeLines(buffer, start, chunk.reset && start > 0, chunk);
    return chunk;
}

LogChunk RelayLog::readOn(std::uint64_t offset, std::uint64_t maxBytes) const {
    LogChunk chunk;
    std::uint64_t start = 0;
    const std::optional<std::uint64_t> size = startOfRead(offset, start, chunk);
    if (!size) return chunk;
    if (start >= *size || maxBytes == 0) {
        chunk.nextOffset = std::min(start, *size);
        chunk.pending = *size - chunk.nextOffset;
        return chunk;
    }
    // One byte before `start` says whether it begins a line; if not, the reader was handed an
    // offset inside one and starts at the next.
    const std::uint64_t from = start > 0 ? start - 1 : 0;
    const std::uint64_t want = std::min(*size - start, maxBytes) + (start - from);
    std::optional<std::string> bytes = platform::readRange(path_, from, want);
    if (!bytes) {
        // Held by another program: the caller simply tries again from where it was.
        chunk.nextOffset = offset;
        chunk.reset = false;
        return chunk;
    }
    if (bytes->empty()) {
        chunk.nextOffset = start;
        chunk.pending = *size - start;
        return chunk;
    }
    std::string& buffer = *bytes;
    std::uint64_t base = from;
    bool insideLine = false;
    if (start > 0) {
        if (buffer[0] == '\n') {
            buffer.erase(0, 1);
            base = start;
        } else {
            insideLine = true;
        }
    }
    takeWholeLines(buffer, base, insideLine, chunk);
    if (chunk.nextOffset == base && buffer.size() >= maxBytes) {
        // A line longer than the cap: it comes in pieces rather than stopping the reader.
        chunk.lines.push_back(buffer);
        chunk.nextOffset = base + buffer.size();
    }
    chunk.pending = *size > chunk.nextOffset ? *size - chunk.nextOffset : 0;
    return chunk;
}

} // namespace tnlrelay
