// The POSIX platform layer: the data directory base, the small file helpers, stop signals that
// reach only the target currently set, and what a hang-up and standard error mean under systemd.
#include "platform/Platform.hpp"
#include "TempDataDir.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tnlrelay {
namespace {

TEST(PlatformTest, DataDirBaseUsesProgramDataOnlyWhenUsable) {
    test::TempDataDir temp;
    EXPECT_EQ(platform::dataDirBase(), temp.base());

    std::string longest(259, 'd');
    ::setenv("ProgramData", longest.c_str(), 1);
    EXPECT_EQ(platform::dataDirBase(), std::filesystem::path(longest));
    for (std::string unusable : {std::string(), std::string(260, 'd'), std::string(300, 'd')}) {
        ::setenv("ProgramData", unusable.c_str(), 1);
        EXPECT_EQ(platform::dataDirBase(), std::filesystem::path("/var/lib"))
            << "ProgramData of length " << unusable.size();
    }
    ::unsetenv("ProgramData");
    EXPECT_EQ(platform::dataDirBase(), std::filesystem::path("/var/lib"));
}

TEST(PlatformTest, FileHelpers) {
    test::TempDataDir temp;
    const std::filesystem::path file = temp.base() / "file";
    EXPECT_TRUE(platform::canWriteIn(temp.base()));
    EXPECT_FALSE(platform::canWriteIn(temp.base() / "missing"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(temp.base()), {}), 0)
        << "the probe file is removed again";

    EXPECT_FALSE(platform::fileSize(file));
    EXPECT_FALSE(platform::readRange(file, 0, 10));
    EXPECT_EQ(platform::readFile(file), "");
    platform::appendToFile(file, "hello ");
    platform::appendToFile(file, std::string(10000, 'w'));
    EXPECT_EQ(platform::fileSize(file), 10006u);
    EXPECT_EQ(platform::readRange(file, 4, 4), "o ww");
    EXPECT_EQ(platform::readRange(file, 9000, 5000), std::string(1006, 'w'))
        << "reading stops at the end of the file";
    EXPECT_EQ(platform::readFile(file).size(), 10006u);
    EXPECT_FALSE(platform::fileSize(temp.base())) << "a directory has no file size";

    EXPECT_TRUE(platform::replaceFile(file, "new"));
    EXPECT_EQ(platform::readFile(file), "new");
    EXPECT_FALSE(platform::replaceFile(temp.base() / "missing" / "file", "x"));

    EXPECT_TRUE(platform::renameFile(file, temp.base() / "moved"));
    EXPECT_FALSE(platform::removeFile(file));
    EXPECT_TRUE(platform::removeFile(temp.base() / "moved"));

    std::filesystem::path exe = platform::executablePath();
    EXPECT_TRUE(exe.is_absolute()) << exe;
    EXPECT_TRUE(std::filesystem::is_regular_file(exe)) << exe;
}

TEST(PlatformTest, StopSignalsReachTheCurrentTargetOnly) {
    platform::installStopHandlers();
    std::atomic<bool> flag{false};
    platform::setStopTarget(&flag);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        flag = false;
        std::raise(signal);
        EXPECT_TRUE(flag.load()) << "signal " << signal;
    }
    flag = false;
    platform::setStopTarget(nullptr);
    std::raise(SIGHUP);
    EXPECT_FALSE(flag.load()) << "a detached target must not be touched";
}

TEST(PlatformTest, HangUpReloadsUnderAServiceManagerAndStopsInATerminal) {
    using platform::HangUp;
    // Either variable systemd sets, or no terminal to lose, makes it a service.
    EXPECT_EQ(platform::hangUpMeaning(nullptr, nullptr, true), HangUp::stop);
    EXPECT_EQ(platform::hangUpMeaning("", "", true), HangUp::stop) << "set but empty is unset";
    EXPECT_EQ(platform::hangUpMeaning("5f1c", nullptr, true), HangUp::reload);
    EXPECT_EQ(platform::hangUpMeaning(nullptr, "8:42", true), HangUp::reload);
    EXPECT_EQ(platform::hangUpMeaning(nullptr, nullptr, false), HangUp::reload);

    // A reload request is the process's, taken once, and never touches the stop target.
    std::atomic<bool> flag{false};
    platform::setStopTarget(&flag);
    platform::installStopHandlers(HangUp::reload);
    EXPECT_FALSE(platform::takeReloadRequest());
    std::raise(SIGHUP);
    std::raise(SIGHUP);
    EXPECT_FALSE(flag.load()) << "a hang-up under a service manager must not stop the relay";
    EXPECT_TRUE(platform::takeReloadRequest());
    EXPECT_FALSE(platform::takeReloadRequest()) << "two hang-ups before a turn are one reload";
    platform::setStopTarget(nullptr);
    std::raise(SIGHUP);
    EXPECT_TRUE(platform::takeReloadRequest()) << "detached, a reload still only sets a flag";

    platform::installStopHandlers(HangUp::stop);
    platform::setStopTarget(&flag);
    std::raise(SIGHUP);
    EXPECT_TRUE(flag.load()) << "in a terminal a hang-up stops";
    EXPECT_FALSE(platform::takeReloadRequest());
    platform::setStopTarget(nullptr);
}

TEST(PlatformTest, StandardErrorIsTheJournalOnlyWhenJournalStreamNamesIt) {
    EXPECT_TRUE(platform::journalStreamIs("8:42", 8, 42));
    EXPECT_TRUE(platform::journalStreamIs("0:18446744073709551615", 0, UINT64_MAX));
    for (const char* other : {"8:43", "9:42", "42:8", "8:", ":42", "8", "", "8:42x", "8:42:1",
                              " 8:42", "+8:42", "8:-42", "8:18446744073709551616"})
        EXPECT_FALSE(platform::journalStreamIs(other, 8, 42)) << other;
    EXPECT_FALSE(platform::journalStreamIs(nullptr, 8, 42));

    struct stat info {};
    ASSERT_EQ(::fstat(STDERR_FILENO, &info), 0);
    const std::string own = std::to_string(std::uint64_t(info.st_dev)) + ":" +
                            std::to_string(std::uint64_t(info.st_ino));
    const std::string other = std::to_string(std::uint64_t(info.st_dev)) + ":" +
                              std::to_string(std::uint64_t(info.st_ino) + 1);
    ::setenv("JOURNAL_STREAM", own.c_str(), 1);
    EXPECT_TRUE(platform::standardErrorIsJournal()) << own;
    // Inherited by a program whose standard error went elsewhere: not the journal's stream.
    ::setenv("JOURNAL_STREAM", other.c_str(), 1);
    EXPECT_FALSE(platform::standardErrorIsJournal()) << other;
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(platform::standardErrorIsJournal());
}

TEST(PlatformTest, ASecondInterruptOrTerminationEndsTheProcess) {
    // The first request stops cleanly; the next one, while stopping, is the default action.
    for (int signal : {SIGINT, SIGTERM}) {
        EXPECT_EXIT(
            {
                platform::installStopHandlers();
                std::atomic<bool> flag{false};
                platform::setStopTarget(&flag);
                std::raise(signal);
                if (!flag.load()) std::_Exit(3);
                std::raise(signal);
                std::_Exit(4); // still running: the second signal was swallowed
            },
            ::testing::KilledBySignal(signal), "")
            << "signal " << signal;
        EXPECT_EXIT(
            {
                platform::installStopHandlers();
                platform::setStopTarget(nullptr); // the core is being destroyed
                std::raise(signal);
                std::_Exit(4);
            },
            ::testing::KilledBySignal(signal), "")
            << "signal " << signal;
    }
    // A hang-up only ever asks to stop.
    EXPECT_EXIT(
        {
            platform::installStopHandlers();
            std::atomic<bool> flag{false};
            platform::setStopTarget(&flag);
            std::raise(SIGHUP);
            std::raise(SIGHUP);
            platform::setStopTarget(nullptr);
            std::raise(SIGHUP);
            std::_Exit(flag.load() ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(PlatformTest, LogAndConfigurationFilesOpenWithNoDescriptorLeft) {
    test::TempDataDir temp;
    const std::filesystem::path log = temp.base() / "relay.log";
    const std::filesystem::path config = temp.base() / "config.json";
    // In a child process, so that using up every descriptor disturbs nothing else.
    EXPECT_EXIT(
        {
            rlimit limit{};
            ::getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = 64;
            ::setrlimit(RLIMIT_NOFILE, &limit);
            while (::open("/dev/null", O_RDONLY) >= 0) {
            }
            if (errno != EMFILE) std::_Exit(10);
            for (int round = 0; round < 3; ++round) {
                if (platform::appendToFile(log, "line\n") != platform::AppendResult::whole)
                    std::_Exit(11);
                if (!platform::replaceFile(config, "{}")) std::_Exit(12);
                if (platform::readFile(config) != "{}") std::_Exit(13);
                if (platform::readRange(log, 0, 5) != "line\n") std::_Exit(14);
            }
            // The reserve was taken back each time: nothing was left for anyone else.
            std::_Exit(::open("/dev/null", O_RDONLY) < 0 ? 0 : 15);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(platform::readFile(log), "line\nline\nline\n");
    EXPECT_EQ(platform::readFile(config), "{}");
}

TEST(PlatformTest, DetachedTargetIsNeverTouchedByASignalInFlight) {
    platform::installStopHandlers();
    std::atomic<bool> done{false};
    std::atomic<int> raised{0};
    std::thread sender([&] {
        while (!done.load()) {
            std::raise(SIGHUP); // runs the handler on this thread, racing the swaps below
            raised.fetch_add(1);
        }
    });
    // On a busy machine the sender may not have run yet: the swaps below must race a signal.
    while (raised.load() == 0)
        std::this_thread::yield();
    std::deque<std::atomic<bool>> flags;
    int hits = 0;
    for (int i = 0; i < 20000 && (i < 2000 || hits == 0); ++i) {
        std::atomic<bool>& flag = flags.emplace_back(false);
        platform::setStopTarget(&flag);
        std::this_thread::yield();
        platform::setStopTarget(nullptr);
        hits += flag.exchange(false) ? 1 : 0;
    }
    done = true;
    sender.join();
    EXPECT_GT(raised.load(), 0);
    for (std::size_t i = 0; i < flags.size(); ++i)
        ASSERT_FALSE(flags[i].load()) << "flag " << i << " was set after it was detached";
}

} // namespace
} // namespace tnlrelay

TEST(PlatformTest, TheDescriptorLimitIsRaisedAndOpenDescriptorsAreCounted) {
    // In a child, whose limits can be lowered without touching this process's.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit r{256, 4096};
        if (setrlimit(RLIMIT_NOFILE, &r) != 0) _exit(10);
        const auto limits = tnlrelay::platform::raiseDescriptorLimit();
        if (limits.before != 256 || limits.hard != 4096 || limits.now != 4096) _exit(11);
        if (tnlrelay::platform::descriptorLimit() != 4096) _exit(12);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: limits not set, 11: not raised, 12: not in force";

    // The open descriptors are counted exactly, whichever way the kernel lets them be.
    const std::optional<double> before = tnlrelay::platform::processUsage().openFds;
    ASSERT_TRUE(before.has_value());
    std::vector<int> extra;
    for (int i = 0; i < 40; ++i)
        extra.push_back(dup(1));
    EXPECT_EQ(tnlrelay::platform::processUsage().openFds.value_or(-1), *before + 40);
    double listed = -1; // not the descriptor reading the directory
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir))
            listed += entry->d_name[0] != '.' ? 1 : 0;
        closedir(dir);
    }
    EXPECT_EQ(tnlrelay::platform::processUsage().openFds.value_or(-1), listed);
    for (int fd : extra)
        close(fd);
}
