// System call counts from /proc and from perf; see SysCalls.hpp.
#include "SysCalls.hpp"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace tnlrelay::bench {

namespace {

std::optional<std::uint64_t> number(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end == s.data()) return std::nullopt;
    return v;
}

// The kind of an event name, or nullptr for events we do not sum.
std::uint64_t* kindOf(CallTally& t, std::string_view event) {
    if (event == "raw_syscalls:sys_enter") return &t.all;
    constexpr std::string_view kPrefix = "syscalls:sys_enter_";
    if (event.substr(0, kPrefix.size()) != kPrefix) return nullptr;
    const std::string_view call = event.substr(kPrefix.size());
    for (std::string_view r : {"read", "readv", "recvfrom", "recvmsg", "recvmmsg"})
        if (call == r) return &t.reads;
    // vmsplice and splice: the output calls of a relay that sends through pipes.
    for (std::string_view w :
         {"write", "writev", "sendto", "sendmsg", "sendmmsg", "vmsplice", "splice"})
        if (call == w) return &t.writes;
    if (call == "epoll_wait" || call == "epoll_pwait" || call == "epoll_pwait2")
        return &t.epollWait;
    if (call == "epoll_ctl") return &t.epollCtl;
    return nullptr;
}

} // namespace

std::optional<IoCalls> parseProcIo(std::string_view text) {
    std::optional<std::uint64_t> r, w;
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        const std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view key = line.substr(0, colon);
        if (key == "syscr") r = number(line.substr(colon + 1));
        if (key == "syscw") w = number(line.substr(colon + 1));
    }
    if (!r || !w) return std::nullopt;
    return IoCalls{*r, *w};
}

std::optional<std::string> readProcFile(long pid, const char* name) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/%s", pid, name);
    FILE* f = std::fopen(path, "r");
    if (!f) return std::nullopt;
    std::string text;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) return std::nullopt;
    return text;
}

std::optional<IoCalls> readProcIo(long pid) {
    const std::optional<std::string> text = readProcFile(pid, "io");
    if (!text) return std::nullopt;
    return parseProcIo(*text);
}

CallTally tallyPerfStat(std::string_view text) {
    CallTally t;
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        if (line.empty() || line.front() == '#') continue;
        // Fields: [interval time,] value, unit, event, running time, share, ...
        std::string_view fields[8];
        std::size_t count = 0;
        while (count < 8) {
            const std::size_t comma = line.find(',');
            fields[count++] = line.substr(0, comma);
            if (comma == std::string_view::npos) break;
            line.remove_prefix(comma + 1);
        }
        for (std::size_t i = 2; i < count; ++i) {
            std::uint64_t* kind = kindOf(t, fields[i]);
            if (!kind) continue;
            t.seen = true;
            // "<not counted>" and "<not supported>" add nothing.
            if (const auto v = number(fields[i - 2])) *kind += *v;
            break;
        }
    }
    return t;
}

PerfControl::~PerfControl() {
    if (ctl_ >= 0) close(ctl_);
    if (ack_ >= 0) close(ack_);
}

bool PerfControl::open(const std::string& ctlPath, const std::string& ackPath) {
    // Read-write opens of a fifo never wait for the other end.
    ctl_ = ::open(ctlPath.c_str(), O_RDWR | O_CLOEXEC);
    ack_ = ::open(ackPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (ctl_ >= 0 && ack_ >= 0) return true;
    if (ctl_ >= 0) close(ctl_);
    if (ack_ >= 0) close(ack_);
    ctl_ = ack_ = -1;
    return false;
}

bool PerfControl::command(std::string_view cmd) {
    if (ctl_ < 0) return false;
    char stale[64];
    while (read(ack_, stale, sizeof stale) > 0) {
    }
    if (write(ctl_, cmd.data(), cmd.size()) != static_cast<ssize_t>(cmd.size())) return false;
    pollfd p{ack_, POLLIN, 0};
    std::string got;
    while (got.find("ack") == std::string::npos) {
        const int r = poll(&p, 1, 2000);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        const ssize_t n = read(ack_, stale, sizeof stale);
        if (n > 0) got.append(stale, static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<std::pair<std::string, std::string>> splitPair(std::string_view text) {
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos || comma == 0 || comma + 1 >= text.size() ||
        text.find(',', comma + 1) != std::string_view::npos)
        return std::nullopt;
    return std::make_pair(std::string(text.substr(0, comma)), std::string(text.substr(comma + 1)));
}

} // namespace tnlrelay::bench
