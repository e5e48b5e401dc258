// Counting a relay's system calls over a measuring window: /proc/PID/io's read and write calls,
// and, when the relay runs under `perf stat`, every call by kind through perf's control fifos.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tnlrelay::bench {

/// syscr and syscw of /proc/PID/io. The kernel counts read, write and their vector forms
/// there, but not recvmsg, sendmsg, recvfrom or sendto: a relay that uses those shows none.
struct IoCalls {
    std::uint64_t syscr = 0;
    std::uint64_t syscw = 0;
};

/// The whole text of /proc/PID/NAME, or nullopt when it cannot be read (no such process).
std::optional<std::string> readProcFile(long pid, const char* name);

std::optional<IoCalls> parseProcIo(std::string_view text);
std::optional<IoCalls> readProcIo(long pid);

/// Calls by kind, summed over the interval lines of `perf stat -I <ms> -x,` output (or the
/// totals of `perf stat -x,`); `seen` is false when no tracepoint line was found.
struct CallTally {
    std::uint64_t reads = 0;     ///< read, readv, recvfrom, recvmsg, recvmmsg
    std::uint64_t writes = 0;    ///< write, writev, sendto, sendmsg, sendmmsg
    std::uint64_t epollWait = 0; ///< epoll_wait, epoll_pwait, epoll_pwait2
    std::uint64_t epollCtl = 0;
    std::uint64_t all = 0; ///< every system call (raw_syscalls:sys_enter)
    bool seen = false;
};

CallTally tallyPerfStat(std::string_view text);

/// The generator's end of a `perf stat -D -1 --control fifo:CTL,ACK` that wraps the relay:
/// counting starts disabled and is switched on and off around the measuring window.
class PerfControl {
public:
    PerfControl() = default;
    PerfControl(const PerfControl&) = delete;
    PerfControl& operator=(const PerfControl&) = delete;
    ~PerfControl();

    /// Opens both fifos without blocking on perf.
    bool open(const std::string& ctlPath, const std::string& ackPath);
    bool isOpen() const { return ctl_ >= 0; }
    /// Each sends its command and waits, up to two seconds, for perf's acknowledgement.
    bool enable() { return command("enable\n"); }
    bool disable() { return command("disable\n"); }

private:
    bool command(std::string_view cmd);

    int ctl_ = -1;
    int ack_ = -1;
};

/// Splits "A,B" into its two paths; nullopt without exactly one comma between non-empty parts.
std::optional<std::pair<std::string, std::string>> splitPair(std::string_view text);

} // namespace tnlrelay::bench
