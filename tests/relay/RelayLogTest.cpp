// relay.log: the layout of a line and of its journal copy, rotation at the size limit and the
// shifting of generations (also when the live file cannot be moved), and reading by offset.
#include "relay/RelayLog.hpp"
#include "TempDataDir.hpp"
#include "relay/RelayConfig.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace tnlrelay {
namespace {

using test::readBytes;
using test::writeBytes;

// Time stamp, space, level, space: the fixed part in front of every message.
constexpr std::size_t kPrefix = 19 + 1 + 4 + 1;

// "YYYY-MM-DD hh:mm:ss" with digits in every numeric place.
bool isTimeStamp(const std::string& text) {
    const std::string shape = "dddd-dd-dd dd:dd:dd";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return false;
    }
    return true;
}

class RelayLogTest : public ::testing::Test {
protected:
    std::filesystem::path gen(int n) const {
        return n == 0 ? path : std::filesystem::path(path.string() + "." + std::to_string(n));
    }
    // An INFO line of exactly `bytes` bytes, line end included.
    static std::string messageForLine(std::size_t bytes, char fill = 'm') {
        return std::string(bytes - kPrefix - 2, fill);
    }
    std::vector<std::string> files() const { return test::fileNames(path.parent_path()); }

    test::TempDataDir temp;
    std::filesystem::path path = logPath();
};

TEST_F(RelayLogTest, AShortWriteLeavesNoPieceOfItsLineBehind) {
    RelayLog log(path, 1048576, 5);
    log.info("first");
    const std::string before = readBytes(path);

    // The file size limit stops a write part way, as a full disk does; root is bound by it too.
    const std::optional<std::string> during = test::withFileSizeLimit(before.size() + 10, [&] {
        log.info("cut short by the limit, so it must not appear at all");
        log.info("again");
        return readBytes(path);
    });
    ASSERT_TRUE(during.has_value()) << "the file size limit could not be set";
    EXPECT_EQ(*during, before) << "no partial line may remain";

    log.info("after");
    const std::string text = readBytes(path);
    ASSERT_EQ(text.size(), before.size() + kPrefix + 5 + 2) << text;
    EXPECT_EQ(text.substr(before.size() + 19), " INFO after\r\n");
    EXPECT_TRUE(isTimeStamp(text.substr(before.size(), 19))) << text;
}

TEST_F(RelayLogTest, LinesCarryTimeStampLevelAndCrlf) {
    RelayLog log(path, 1048576, 5);
    log.info("JOIN room=a");
    log.error("listen failed");
    log.info("one\ntwo");
    std::string text = readBytes(path);
    std::vector<std::string> expected = {" INFO JOIN room=a\r\n", " ERROR listen failed\r\n",
                                         " INFO one\ntwo\r\n"};
    std::size_t pos = 0;
    for (const std::string& rest : expected) {
        ASSERT_TRUE(isTimeStamp(text.substr(pos, 19))) << text;
        ASSERT_EQ(text.substr(pos + 19, rest.size()), rest) << text;
        pos += 19 + rest.size();
    }
    EXPECT_EQ(pos, text.size()) << text;
    EXPECT_EQ(files(), std::vector<std::string>{"relay.log"});
}

TEST_F(RelayLogTest, JournalCopyCarriesTheSyslogLevelAndLeavesTheFileAsItIs) {
    EXPECT_EQ(RelayLog::journalLine(RelayLog::kInfoPriority, "JOIN room=a"), "<6>JOIN room=a\n");
    EXPECT_EQ(RelayLog::journalLine(RelayLog::kErrorPriority, "listen failed"),
              "<3>listen failed\n");

    RelayLog plain(path, 1048576, 5);
    plain.info("JOIN room=a");
    plain.error("listen failed");
    const std::string without = readBytes(path);
    std::filesystem::remove(path);

    // Standard error goes to a file for the while.
    const std::filesystem::path captured = path.parent_path() / "stderr";
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    const int file = ::open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(file, 0);
    ::dup2(file, STDERR_FILENO);
    ::close(file);
    RelayLog::copyToJournal(true);
    RelayLog copied(path, 1048576, 5);
    copied.info("JOIN room=a");
    copied.error("listen failed");
    RelayLog::copyToJournal(false);
    copied.info("not copied");
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);

    EXPECT_EQ(readBytes(captured), "<6>JOIN room=a\n<3>listen failed\n");
    // The file is as it would have been: the two runs may differ in their time stamps only.
    std::string with = readBytes(path);
    ASSERT_EQ(with.size(), without.size() + kPrefix + 10 + 2) << with;
    with.resize(without.size());
    for (std::size_t line = 0; line != std::string::npos; line = with.find('\n', line) + 1) {
        if (line >= with.size()) break;
        ASSERT_TRUE(isTimeStamp(with.substr(line, 19))) << with;
        with.replace(line, 19, without, line, 19);
    }
    EXPECT_EQ(with, without);
}

TEST_F(RelayLogTest, RotatesOnlyBeforeTheLineThatWouldPassTheLimit) {
    const std::uint64_t limit = 4096;
    RelayLog log(path, limit, 5);

    writeBytes(path, std::string(limit - 576, 'x'));
    log.info(messageForLine(576));
    EXPECT_EQ(std::filesystem::file_size(path), limit) << "a line that just fits is appended";
    EXPECT_FALSE(std::filesystem::exists(gen(1)));

    log.info(messageForLine(100));
    EXPECT_EQ(std::filesystem::file_size(gen(1)), limit);
    EXPECT_EQ(std::filesystem::file_size(path), 100u) << "the new live file holds only the line";

    std::filesystem::remove(gen(1));
    writeBytes(path, std::string(limit - 576, 'x'));
    log.info(messageForLine(577));
    EXPECT_EQ(readBytes(gen(1)), std::string(limit - 576, 'x'));
    EXPECT_EQ(std::filesystem::file_size(path), 577u);
    EXPECT_EQ(files(), (std::vector<std::string>{"relay.log", "relay.log.1"}));
}

TEST_F(RelayLogTest, OversizedLineGoesIntoAnEmptyFileAndTheNextLineRotates) {
    RelayLog log(path, 100, 5);
    writeBytes(path, "");
    log.info(messageForLine(2000));
    EXPECT_EQ(std::filesystem::file_size(path), 2000u);
    EXPECT_FALSE(std::filesystem::exists(gen(1)));

    log.info("next");
    EXPECT_EQ(std::filesystem::file_size(gen(1)), 2000u);
    EXPECT_EQ(std::filesystem::file_size(path), kPrefix + 4 + 2);
}

// Held lines (a stopping relay's LEAVE lines) end up exactly where single lines would have:
// whole, in order, each generation cut before the line that would pass the limit, an oversized
// line alone in its file.
TEST_F(RelayLogTest, HeldLinesAreWrittenInBatchesAsSingleLinesWouldBe) {
    const std::filesystem::path single = path.parent_path() / "single" / "relay.log";
    std::filesystem::create_directories(single.parent_path());
    auto lines = [&](RelayLog& log) {
        for (int i = 0; i < 400; ++i)
            log.info(messageForLine(i == 200 ? 5000 : 40 + (i * 7) % 90, char('a' + i % 26)));
    };
    {
        RelayLog one(single, 4096, 9);
        lines(one);
    }
    {
        RelayLog held(path, 4096, 9);
        held.holdLines();
        lines(held);
        EXPECT_LT(held.linesWritten(), 400u) << "some lines wait for the next batch";
    }
    // Time stamps aside (they may differ by a second), every generation is the same.
    auto unstamped = [](std::string text) {
        for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
            text.replace(at, 19, 19, 't');
            if (text.find('\n', at) == std::string::npos) break;
        }
        return text;
    };
    for (int n = 0; n <= 9; ++n) {
        const std::filesystem::path ours = gen(n);
        const std::filesystem::path theirs =
            n == 0 ? single : std::filesystem::path(single.string() + "." + std::to_string(n));
        ASSERT_EQ(std::filesystem::exists(ours), std::filesystem::exists(theirs)) << n;
        if (std::filesystem::exists(ours)) {
            EXPECT_EQ(unstamped(readBytes(ours)), unstamped(readBytes(theirs)))
                << "generation " << n;
        }
    }
}

TEST_F(RelayLogTest, RotationShiftsGenerationsAndDropsTheOldest) {
    {
        SCOPED_TRACE("five generations, all present");
        RelayLog log(path, 10, 5);
        for (int n = 1; n <= 5; ++n)
            writeBytes(gen(n), "g" + std::to_string(n));
        writeBytes(path, "live\r\n");
        log.info("new");
        EXPECT_EQ(readBytes(gen(1)), "live\r\n");
        for (int n = 2; n <= 5; ++n)
            EXPECT_EQ(readBytes(gen(n)), "g" + std::to_string(n - 1)) << "generation " << n;
        EXPECT_EQ(files(), (std::vector<std::string>{"relay.log", "relay.log.1", "relay.log.2",
                                                     "relay.log.3", "relay.log.4", "relay.log.5"}));
    }
    for (int n = 1; n <= 5; ++n)
        std::filesystem::remove(gen(n));
    {
        SCOPED_TRACE("five generations, only the first present");
        RelayLog log(path, 10, 5);
        writeBytes(gen(1), "g1");
        writeBytes(path, "live\r\n");
        log.info("new");
        EXPECT_EQ(readBytes(gen(1)), "live\r\n");
        EXPECT_EQ(readBytes(gen(2)), "g1");
        EXPECT_EQ(files(), (std::vector<std::string>{"relay.log", "relay.log.1", "relay.log.2"}));
    }
    std::filesystem::remove(gen(2));
    {
        SCOPED_TRACE("one generation");
        RelayLog log(path, 10, 1);
        writeBytes(gen(1), "g1");
        writeBytes(path, "live\r\n");
        log.info("new");
        EXPECT_EQ(readBytes(gen(1)), "live\r\n");
        EXPECT_EQ(files(), (std::vector<std::string>{"relay.log", "relay.log.1"}));
    }
}

TEST_F(RelayLogTest, LiveFileThatCannotBeMovedLosesNoGeneration) {
    RelayLog log(path, 10, 5);
    for (int n = 1; n <= 5; ++n)
        writeBytes(gen(n), "g" + std::to_string(n));
    writeBytes(path, "live\r\n");
    // A directory where the live file would be staged makes its move fail, as a program that
    // holds the file open does on Windows.
    std::filesystem::path staging = path.string() + ".rotating";
    std::filesystem::create_directory(staging);

    log.info("first");
    log.info("second");
    for (int n = 1; n <= 5; ++n)
        EXPECT_EQ(readBytes(gen(n)), "g" + std::to_string(n)) << "generation " << n;
    std::string live = readBytes(path);
    EXPECT_EQ(live.rfind("live\r\n", 0), 0u) << live;
    EXPECT_NE(live.find("INFO first\r\n"), std::string::npos) << live;
    EXPECT_NE(live.find("INFO second\r\n"), std::string::npos) << live;

    // Once the file can be moved again, the next line rotates as usual.
    std::filesystem::remove(staging);
    log.info("third");
    EXPECT_EQ(readBytes(gen(1)), live);
    EXPECT_EQ(readBytes(gen(5)), "g4");
    EXPECT_FALSE(std::filesystem::exists(staging));
}

TEST_F(RelayLogTest, InterruptedRotationIsCompletedBeforeTheNextOne) {
    RelayLog log(path, 10, 5);
    writeBytes(gen(1), "g1");
    writeBytes(path.string() + ".rotating", "staged\r\n");
    writeBytes(path, "live\r\n");
    log.info("new");
    EXPECT_EQ(readBytes(gen(1)), "live\r\n");
    EXPECT_EQ(readBytes(gen(2)), "staged\r\n");
    EXPECT_EQ(readBytes(gen(3)), "g1");
    EXPECT_FALSE(std::filesystem::exists(path.string() + ".rotating"));
}

struct Expected {
    std::uint64_t nextOffset;
    bool reset;
    std::vector<std::string> lines;
};

void expectChunk(const LogChunk& chunk, const Expected& expected) {
    EXPECT_EQ(chunk.nextOffset, expected.nextOffset);
    EXPECT_EQ(chunk.reset, expected.reset);
    EXPECT_EQ(chunk.lines, expected.lines);
}

TEST_F(RelayLogTest, ReadSinceWithoutAFile) {
    RelayLog log(path, 1048576, 5);
    expectChunk(log.readSince(0, 262144), {0, false, {}});
    expectChunk(log.readSince(10, 262144), {0, true, {}});
}

TEST_F(RelayLogTest, ReadSinceReturnsCompleteLinesOnly) {
    RelayLog log(path, 1048576, 5);
    writeBytes(path, "a\r\nb\r\n");
    expectChunk(log.readSince(0, 262144), {6, false, {"a", "b"}});
    expectChunk(log.readSince(6, 262144), {6, false, {}});
    expectChunk(log.readSince(3, 262144), {6, false, {"b"}});

    writeBytes(path, "a\r\nb");
    expectChunk(log.readSince(0, 262144), {3, false, {"a"}});
    expectChunk(log.readSince(3, 262144), {3, false, {}});
    writeBytes(path, "\r\n", true);
    expectChunk(log.readSince(3, 262144), {6, false, {"b"}});

    // Empty lines are passed over, bare line feeds end lines too, only one CR is removed.
    writeBytes(path, "a\r\n\r\n\nb\nc\r\r\n");
    expectChunk(log.readSince(0, 262144), {12, false, {"a", "b", "c\r"}});
}

TEST_F(RelayLogTest, ReadSinceNoticesRotationAndTruncation) {
    RelayLog log(path, 1048576, 5);
    writeBytes(path, "first\r\nsecond\r\n");
    expectChunk(log.readSince(500, 262144), {15, true, {"first", "second"}});
}

TEST_F(RelayLogTest, ReadSinceCapsTheAmountAndDropsTheCutLine) {
    RelayLog log(path, 1048576, 5);
    const std::size_t lineLength = 100;
    std::string text;
    int count = 0;
    while (text.size() < 300 * 1024) {
        std::string number = std::to_string(count++);
        text += number + std::string(lineLength - 2 - number.size(), '.') + "\r\n";
    }
    writeBytes(path, text);
    const std::uint64_t cap = 262144;
    LogChunk chunk = log.readSince(0, cap);
    EXPECT_TRUE(chunk.reset);
    EXPECT_EQ(chunk.nextOffset, text.size());
    const std::size_t firstWhole = (text.size() - cap) / lineLength + 1;
    ASSERT_EQ(chunk.lines.size(), static_cast<std::size_t>(count) - firstWhole);
    EXPECT_EQ(chunk.lines.front().substr(0, chunk.lines.front().find('.')),
              std::to_string(firstWhole));
    EXPECT_EQ(chunk.lines.back().substr(0, chunk.lines.back().find('.')),
              std::to_string(count - 1));

    // Pending text above the cap with no line end at all, and a cap of 0.
    writeBytes(path, std::string(5000, 'x'));
    expectChunk(log.readSince(0, 1000), {5000, true, {}});
    writeBytes(path, "a\r\nb\r\n");
    expectChunk(log.readSince(3, 0), {6, true, {}});
    // The cut line is dropped; the partial line after it is left for a later read.
    writeBytes(path, "abcdef\r\ngh");
    expectChunk(log.readSince(0, 6), {8, true, {}});
}

TEST_F(RelayLogTest, ReadOnCapsEachReadAndKeepsItsPlace) {
    RelayLog log(path, 1048576, 5);
    std::string text;
    std::vector<std::string> all;
    for (int i = 0; text.size() < 300 * 1024; ++i) {
        all.push_back(std::to_string(i) + std::string(static_cast<std::size_t>(i % 150), '.'));
        text += all.back() + "\r\n";
    }
    writeBytes(path, text);
    const std::uint64_t cap = 65536;
    std::vector<std::string> seen;
    std::uint64_t offset = 0;
    int reads = 0;
    for (bool more = true; more && reads < 100; ++reads) {
        LogChunk chunk = log.readOn(offset, cap);
        EXPECT_FALSE(chunk.reset);
        EXPECT_LE(chunk.nextOffset - offset, cap);
        EXPECT_GT(chunk.nextOffset, offset) << "every read moves on";
        EXPECT_EQ(chunk.pending, text.size() - chunk.nextOffset);
        seen.insert(seen.end(), chunk.lines.begin(), chunk.lines.end());
        offset = chunk.nextOffset;
        more = chunk.pending > 0;
    }
    EXPECT_EQ(seen, all) << "every line once, in order, none skipped";
    EXPECT_LE(reads, static_cast<int>(text.size() / (cap - 200)) + 1) << "full reads";

    // An offset inside a line reads on from the next one; one at a line's start reads that line.
    writeBytes(path, "abc\r\ndef\r\ngh");
    expectChunk(log.readOn(1, cap), {10, false, {"def"}});
    expectChunk(log.readOn(5, cap), {10, false, {"def"}}); // the line feed of "abc"
    expectChunk(log.readOn(10, cap), {10, false, {}});
    expectChunk(log.readOn(500, cap), {10, true, {"abc", "def"}});
    // A line longer than the cap comes in pieces instead of stopping the reader.
    writeBytes(path, std::string(10, 'x') + "\r\nyz\r\n");
    expectChunk(log.readOn(0, 4), {4, false, {"xxxx"}});
    expectChunk(log.readOn(4, 4), {8, false, {}});
    expectChunk(log.readOn(8, 4), {12, false, {}});
    expectChunk(log.readOn(12, 4), {16, false, {"yz"}});
}

TEST_F(RelayLogTest, WrittenLinesReadBackWithoutTheirLineEnds) {
    RelayLog log(path, 1048576, 5);
    log.info("JOIN room=a");
    LogChunk first = log.readSince(0, 262144);
    ASSERT_EQ(first.lines.size(), 1u);
    EXPECT_TRUE(isTimeStamp(first.lines[0].substr(0, 19))) << first.lines[0];
    EXPECT_EQ(first.lines[0].substr(19), " INFO JOIN room=a");
    log.error("oops");
    LogChunk second = log.readSince(first.nextOffset, 262144);
    ASSERT_EQ(second.lines.size(), 1u);
    EXPECT_FALSE(second.reset);
    EXPECT_EQ(second.nextOffset, std::filesystem::file_size(path));
    EXPECT_EQ(second.lines[0].substr(19), " ERROR oops");
}

} // namespace
} // namespace tnlrelay
