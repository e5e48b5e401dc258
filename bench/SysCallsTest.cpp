// Tests of the system call counts: the /proc/PID/io reader on this very process, the tally of
// perf's output, and the control of a real perf where this machine lets perf count.
#include "SysCalls.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tnlrelay::bench;

namespace {

std::string slurp(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
            text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

} // namespace

TEST(ProcIo, ParsesTheKernelLayoutAndRefusesTextWithoutBothCounts) {
    const auto io = parseProcIo("rchar: 1\nwchar: 2\nsyscr: 12345678901\nsyscw: 7\n"
                                "read_bytes: 0\nwrite_bytes: 0\ncancelled_write_bytes: 0\n");
    ASSERT_TRUE(io.has_value());
    EXPECT_EQ(io->syscr, 12345678901u);
    EXPECT_EQ(io->syscw, 7u);
    EXPECT_FALSE(parseProcIo("syscr: 5\n").has_value()) << "syscw missing";
    EXPECT_FALSE(parseProcIo("syscr: 5\nsyscw: many\n").has_value()) << "not a number";
    EXPECT_FALSE(parseProcIo("").has_value());
}

// The reason perf counts beside /proc: sendmsg and recvmsg do not show in syscw and syscr.
TEST(ProcIo, CountsThisProcessWritesButNotItsSendmsg) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const auto before = readProcIo(getpid());
    ASSERT_TRUE(before.has_value());
    char byte = 'x';
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(write(sv[0], &byte, 1), 1);
    const auto afterWrites = readProcIo(getpid());
    msghdr msg{};
    iovec iov{&byte, 1};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(sendmsg(sv[0], &msg, 0), 1);
    const auto afterSendmsg = readProcIo(getpid());
    close(sv[0]);
    close(sv[1]);
    ASSERT_TRUE(afterWrites && afterSendmsg);
    EXPECT_EQ(afterWrites->syscw - before->syscw, 20u);
    EXPECT_EQ(afterSendmsg->syscw, afterWrites->syscw);
    EXPECT_FALSE(readProcIo(0).has_value()) << "no such process";
}

TEST(PerfStat, SumsIntervalLinesByKindOfCall) {
    const std::string text = "# started on Tue Dec  8 03:44:40 2026\n"
                             "\n"
                             "     0.10,<not counted>,,raw_syscalls:sys_enter,0,100.00,,\n"
                             "     0.10,<not counted>,,syscalls:sys_enter_sendmsg,0,100.00,,\n"
                             "     0.20,1000,,raw_syscalls:sys_enter,12584402,100.00,,\n"
                             "     0.20,40,,syscalls:sys_enter_recvmsg,12584402,100.00,,\n"
                             "     0.20,2,,syscalls:sys_enter_read,12584402,100.00,,\n"
                             "     0.20,30,,syscalls:sys_enter_sendmsg,12584402,100.00,,\n"
                             "     0.20,5,,syscalls:sys_enter_writev,12584402,100.00,,\n"
                             "     0.20,3,,syscalls:sys_enter_vmsplice,12584402,100.00,,\n"
                             "     0.20,4,,syscalls:sys_enter_splice,12584402,100.00,,\n"
                             "     0.20,9,,syscalls:sys_enter_epoll_pwait,12584402,100.00,,\n"
                             "     0.20,6,,syscalls:sys_enter_epoll_ctl,12584402,100.00,,\n"
                             "     0.20,77,,syscalls:sys_enter_futex,12584402,100.00,,\n"
                             "     0.30,500,,raw_syscalls:sys_enter,2000,100.00,,\n"
                             "     0.30,1,,syscalls:sys_enter_epoll_wait,2000,100.00,,\n"
                             "     0.30,<not supported>,,syscalls:sys_enter_epoll_pwait2,0,0,,\n"
                             "Events disabled\n"
                             "Events enabled";
    const CallTally t = tallyPerfStat(text);
    EXPECT_TRUE(t.seen);
    EXPECT_EQ(t.all, 1500u);
    EXPECT_EQ(t.reads, 42u);
    EXPECT_EQ(t.writes, 42u);
    EXPECT_EQ(t.epollWait, 10u);
    EXPECT_EQ(t.epollCtl, 6u);

    // perf stat -x, without -I: the same lines without the time column.
    const CallTally totals = tallyPerfStat("120,,syscalls:sys_enter_write,3000,100.00,,\n"
                                           "700,,raw_syscalls:sys_enter,3000,100.00,,\n");
    EXPECT_EQ(totals.writes, 120u);
    EXPECT_EQ(totals.all, 700u);

    EXPECT_FALSE(tallyPerfStat("Events disabled\n# comment\n").seen);
}

TEST(PerfControl, PairsOfPathsAndAnUnansweredCommand) {
    EXPECT_EQ(splitPair("/a/ctl,/a/ack")->second, "/a/ack");
    EXPECT_FALSE(splitPair("/a/ctl").has_value());
    EXPECT_FALSE(splitPair(",/a/ack").has_value());
    EXPECT_FALSE(splitPair("/a/ctl,").has_value());
    EXPECT_FALSE(splitPair("a,b,c").has_value());

    // Fifos nobody serves: the command is not acknowledged, and the call says so in time.
    char dir[] = "/tmp/tnlrelay-perfctl-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string ctl = std::string(dir) + "/ctl", ack = std::string(dir) + "/ack";
    ASSERT_EQ(mkfifo(ctl.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(ack.c_str(), 0600), 0);
    {
        PerfControl perf;
        ASSERT_TRUE(perf.open(ctl, ack));
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(perf.enable());
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    }
    PerfControl missing;
    EXPECT_FALSE(missing.open(std::string(dir) + "/none", ack));
    EXPECT_FALSE(missing.enable());
    unlink(ctl.c_str());
    unlink(ack.c_str());
    rmdir(dir);
}

// A real perf around a child that writes without pause: calls are counted only while enabled.
TEST(PerfControl, CountsOnlyBetweenEnableAndDisable) {
    if (std::system("perf stat -x, -e syscalls:sys_enter_write -o /dev/null -- true "
                    ">/dev/null 2>&1") != 0)
        GTEST_SKIP() << "perf cannot count system calls on this machine";
    char dir[] = "/tmp/tnlrelay-perfrun-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string ctl = std::string(dir) + "/ctl", ack = std::string(dir) + "/ack",
                      out = std::string(dir) + "/out";
    ASSERT_EQ(mkfifo(ctl.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(ack.c_str(), 0600), 0);
    const std::string control = "fifo:" + ctl + "," + ack;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setpgid(0, 0); // perf and its shell end together below
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execlp("perf", "perf", "stat", "-I", "50", "-x,", "-o", out.c_str(), "-D", "-1",
               "--control", control.c_str(), "-e", "syscalls:sys_enter_write", "--", "sh", "-c",
               "while :; do echo x; done", static_cast<char*>(nullptr));
        _exit(127);
    }
    PerfControl perf;
    ASSERT_TRUE(perf.open(ctl, ack));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(tallyPerfStat(slurp(out)).writes, 0u) << "counted before enable";
    ASSERT_TRUE(perf.enable());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(perf.disable());
    // perf prints every 50 ms; the interval that holds the switch-off is in the file by then.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const std::uint64_t counted = tallyPerfStat(slurp(out)).writes;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::uint64_t later = tallyPerfStat(slurp(out)).writes;
    kill(-child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_GT(counted, 100u);
    EXPECT_EQ(later, counted) << "counted after disable";
    unlink(ctl.c_str());
    unlink(ack.c_str());
    unlink(out.c_str());
    rmdir(dir);
}
