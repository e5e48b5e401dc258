// tnlrelay-bench: opens many WebSocket clients into rooms of a relay over loopback, drives one
// named load scenario, checks every delivery, and prints one JSON line with what it measured.
#include "FrameReader.hpp"
#include "Handshake.hpp"
#include "Histogram.hpp"
#include "Ledger.hpp"
#include "Payload.hpp"
#include "SysCalls.hpp"
#include "TlsClient.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace tnlrelay::bench {

namespace {

enum class Mode { windowed, rate, idle, crowd, storm };

struct Options {
    std::string host = "127.0.0.1";
    int port = 49200;
    std::string scenario;
    std::string label = "server";
    double duration = 10;
    long serverPid = 0;
    std::uint32_t rooms = 0;
    std::uint32_t members = 0;
    std::uint32_t size = 0;
    std::uint32_t senders = 0; // per room; 0: every member
    std::uint32_t window = 0;
    double rate = 0; // messages a second per sending client, rate mode only
    std::uint32_t concurrency = 200;
    std::uint32_t sources = 0; // loopback source addresses; 0: by client count
    double drain = 10;
    Mode mode = Mode::windowed;
    bool tls = false;
    std::uint32_t stride = 0; // crowd: one client in `stride` sends; 0: by --senders
    double rest = 5;          // crowd: seconds of rest measured before the chat load
    bool stopServer = false;  // crowd: end with a termination signal to the relay, timed
    int adminPort = 0;        // the relay's admin port; 0: the game port's next
    std::string perfControl;  // "CTL,ACK" fifos of a perf stat around the relay
    std::string perfOutput;   // its interval output
};

// Scenario shapes: rooms, members, message size, senders per room, window, rate. A window is
// the number of a sender's messages that may be on their way at once; broadcast's five senders
// need a deep one, or a fast relay only waits for the generator's acknowledgements. Rate mode
// spreads sends evenly over time: latency at a light load, and tick, a game's state updates
// (every member 10 times a second), where the relay's processor use at that load is the measure.
bool applyScenario(Options& o) {
    struct Shape {
        const char* name;
        Mode mode;
        std::uint32_t rooms, members, size, senders, window;
        double rate;
    };
    static const Shape kShapes[] = {
        {"chat", Mode::windowed, 100, 10, 64, 0, 32, 0},
        {"broadcast", Mode::windowed, 1, 200, 32, 5, 512, 0},
        {"bulk", Mode::windowed, 10, 2, 1048576, 0, 4, 0},
        {"bulk-oneway", Mode::windowed, 10, 2, 1048576, 1, 4, 0},
        {"latency", Mode::rate, 100, 10, 64, 0, 0, 5},
        {"idle", Mode::idle, 1000, 10, 64, 1, 1, 0},
        {"medium", Mode::windowed, 100, 10, 2000, 0, 32, 0},
        {"tick", Mode::rate, 100, 8, 200, 0, 0, 10},
        // A crowd: mostly idle members answering pings, one in a hundred sending once a second.
        {"crowd", Mode::crowd, 1000, 10, 64, 0, 0, 1},
        // Every member over TLS at once, then again at once, resuming with its ticket.
        {"storm", Mode::storm, 1000, 10, 64, 1, 1, 0},
    };
    for (const Shape& s : kShapes) {
        if (o.scenario != s.name) continue;
        o.mode = s.mode;
        if (!o.rooms) o.rooms = s.rooms;
        if (!o.members) o.members = s.members;
        if (!o.size) o.size = s.size;
        if (!o.senders) o.senders = s.senders ? s.senders : o.members;
        if (!o.window) o.window = s.window ? s.window : 1;
        if (o.rate <= 0) o.rate = s.rate;
        if (s.mode == Mode::crowd && !o.stride) o.stride = 100;
        if (s.mode == Mode::storm) o.tls = true;
        return true;
    }
    return false;
}

void usage() {
    std::fputs(
        "usage: tnlrelay-bench --scenario NAME [options]\n"
        "scenarios: chat broadcast bulk bulk-oneway latency idle medium tick crowd storm\n"
        "  --host A          relay address, loopback only (127.0.0.1)\n"
        "  --port N          relay game port (49200)\n"
        "  --duration S      seconds of load (10)\n"
        "  --server-pid P    relay process, for its processor use, memory and system calls\n"
        "  --label TEXT      name of the relay in the output\n"
        "  --rooms N --members N --size BYTES --senders N --window N --rate PER_S\n"
        "                    override the scenario's shape\n"
        "  --concurrency N   joins in progress at once (200)\n"
        "  --sources N       loopback source addresses to spread clients over\n"
        "  --tls             join over TLS (the relay's certificate is not checked)\n"
        "  --drain S         seconds to wait for the last deliveries (10)\n"
        "  --stride N        crowd: one client in N sends (100)\n"
        "  --rest S          crowd: seconds of rest measured before the load (5; past 60 the\n"
        "                    relay pings every idle member once)\n"
        "  --stop-server     crowd: stop the relay (SIGTERM) at the end, timed\n"
        "  --admin-port N    the relay's admin port (the game port + 1)\n"
        "  --perf-control CTL,ACK --perf-output FILE\n"
        "                    fifos and interval output (-I, -x,) of a perf stat started\n"
        "                    with -D -1 around the relay: its system calls by kind\n",
        stderr);
}

// Takes the value of one option; false, with a message, when it does not fit.
bool setOption(Options& o, const std::string& a, const char* v) {
    char* end = nullptr;
    const double num = std::strtod(v, &end);
    const bool isNum = end && end != v && *end == '\0' && num >= 0;
    auto u32 = [&](std::uint32_t& dst) {
        if (isNum && num <= 1e7) dst = static_cast<std::uint32_t>(num);
        return isNum && num <= 1e7;
    };
    bool good = true;
    if (a == "--host")
        o.host = v;
    else if (a == "--scenario")
        o.scenario = v;
    else if (a == "--label")
        o.label = v;
    else if (a == "--port")
        good = isNum && num >= 1 && num <= 65535, o.port = int(num);
    else if (a == "--duration")
        good = isNum && num > 0, o.duration = num;
    else if (a == "--drain")
        good = isNum, o.drain = num;
    else if (a == "--rate")
        good = isNum && num > 0, o.rate = num;
    else if (a == "--server-pid")
        good = isNum && num >= 1, o.serverPid = long(num);
    else if (a == "--rooms")
        good = u32(o.rooms);
    else if (a == "--members")
        good = u32(o.members);
    else if (a == "--size")
        good = isNum && num <= 256.0 * 1024 * 1024, o.size = std::uint32_t(num);
    else if (a == "--senders")
        good = u32(o.senders);
    else if (a == "--window")
        good = u32(o.window);
    else if (a == "--concurrency")
        good = u32(o.concurrency);
    else if (a == "--sources")
        good = u32(o.sources);
    else if (a == "--stride")
        good = u32(o.stride) && o.stride >= 1;
    else if (a == "--rest")
        good = isNum, o.rest = num;
    else if (a == "--admin-port")
        good = isNum && num >= 1 && num <= 65535, o.adminPort = int(num);
    else if (a == "--perf-control")
        good = splitPair(v).has_value(), o.perfControl = v;
    else if (a == "--perf-output")
        good = *v != '\0', o.perfOutput = v;
    else {
        std::fprintf(stderr, "tnlrelay-bench: unknown option %s\n", a.c_str());
        return false;
    }
    if (!good) std::fprintf(stderr, "tnlrelay-bench: bad value for %s: %s\n", a.c_str(), v);
    return good;
}

bool validShape(const Options& o) {
    if (o.members < 2 || o.members > 60000 || o.rooms < 1 || o.size < kPayloadHeader ||
        o.senders > o.members || o.concurrency < 1 || o.window > 60000) {
        std::fputs("tnlrelay-bench: rooms >= 1, 2 <= members <= 60000, size >= 16, "
                   "senders <= members\n",
                   stderr);
        return false;
    }
    if (o.perfControl.empty() != o.perfOutput.empty()) {
        std::fputs("tnlrelay-bench: --perf-control and --perf-output go together\n", stderr);
        return false;
    }
    return true;
}

std::optional<Options> parseArgs(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") return std::nullopt;
        if (a == "--tls" || a == "--stop-server") {
            (a == "--tls" ? o.tls : o.stopServer) = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "tnlrelay-bench: %s needs a value\n", a.c_str());
            return std::nullopt;
        }
        if (!setOption(o, a, argv[++i])) return std::nullopt;
    }
    if (!applyScenario(o)) {
        std::fprintf(stderr, "tnlrelay-bench: unknown or missing scenario '%s'\n",
                     o.scenario.c_str());
        return std::nullopt;
    }
    if (!validShape(o)) return std::nullopt;
    return o;
}

std::uint64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000000ull + std::uint64_t(ts.tv_nsec);
}

// Processor seconds of a process (all its threads), from /proc/<pid>/stat.
std::optional<double> processCpu(long pid) {
    const std::optional<std::string> text = readProcFile(pid, "stat");
    if (!text) return std::nullopt;
    const std::size_t paren = text->rfind(')');
    if (paren == std::string::npos) return std::nullopt;
    // After the command name: state is field 3, utime 14, stime 15.
    unsigned long long utime = 0, stime = 0;
    if (std::sscanf(text->c_str() + paren + 1,
                    " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return std::nullopt;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// Processor seconds of a process to the nanosecond: the sum over its threads of the
// scheduler's own count (/proc/<pid>/task/*/schedstat), where the tick-counted figure of
// processCpu cannot tell a quiet process from an idle one. Falls back to processCpu.
std::optional<double> processCpuFine(long pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/task", pid);
    DIR* dir = opendir(path);
    if (!dir) return processCpu(pid);
    double total = 0;
    bool any = false;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string task = std::string("task/") + e->d_name + "/schedstat";
        const std::optional<std::string> text = readProcFile(pid, task.c_str());
        unsigned long long ns = 0;
        if (text && std::sscanf(text->c_str(), "%llu", &ns) == 1)
            total += double(ns) / 1e9, any = true;
    }
    closedir(dir);
    return any ? std::optional<double>(total) : processCpu(pid);
}

double selfCpu() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::optional<long> residentKb(long pid) {
    const std::optional<std::string> text = readProcFile(pid, "status");
    if (!text) return std::nullopt;
    const std::size_t at = text->find("VmRSS:");
    long kb = 0;
    if (at == std::string::npos || std::sscanf(text->c_str() + at, "VmRSS: %ld kB", &kb) != 1)
        return std::nullopt;
    return kb;
}

// The number that `format` (one %ld) reads from the first line of a system file it fits.
std::optional<long> systemFigure(const char* path, const char* format) {
    FILE* f = std::fopen(path, "r");
    if (!f) return std::nullopt;
    char line[256];
    std::optional<long> value;
    long v = 0;
    while (!value && std::fgets(line, sizeof line, f))
        if (std::sscanf(line, format, &v) == 1) value = v;
    std::fclose(f);
    return value;
}

// The kernel's memory for TCP buffers, all sockets together, in bytes (/proc/net/sockstat
// counts pages).
std::optional<long> tcpBufferBytes() {
    const std::optional<long> pages =
        systemFigure("/proc/net/sockstat", "TCP: inuse %*d orphan %*d tw %*d alloc %*d mem %ld");
    return pages ? std::optional<long>(*pages * sysconf(_SC_PAGESIZE)) : std::nullopt;
}

// The kernel's slab memory, in bytes (/proc/meminfo): where sockets themselves live.
std::optional<long> slabBytes() {
    const std::optional<long> kb = systemFigure("/proc/meminfo", "Slab: %ld kB");
    return kb ? std::optional<long>(*kb * 1024) : std::nullopt;
}

/// One answer of the relay's HTTP side: how long it took and how big it was.
struct Probe {
    int status = 0;
    double ms = 0;
    std::size_t bytes = 0; // the body's
};

// A blocking GET to the relay on loopback, for its documents (the room list, the state, the
// metrics); the crowd's clients wait meanwhile, as the probes take milliseconds.
Probe httpGet(const std::string& host, int port, const char* path, std::string* bodyOut = nullptr) {
    Probe p;
    const std::uint64_t start = nowNs();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return p;
    timeval tv{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &dst.sin_addr);
    std::string in;
    if (connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) == 0) {
        const std::string req = std::string("GET ") + path + " HTTP/1.1\r\nHost: " + host + ":" +
                                std::to_string(port) + "\r\nConnection: close\r\n\r\n";
        if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) == ssize_t(req.size())) {
            char buf[65536];
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
                in.append(buf, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    p.ms = double(nowNs() - start) / 1e6;
    const std::size_t body = in.find("\r\n\r\n");
    if (in.compare(0, 9, "HTTP/1.1 ") == 0 && body != std::string::npos) {
        p.status = std::atoi(in.c_str() + 9);
        p.bytes = in.size() - body - 4;
        if (bodyOut) bodyOut->assign(in, body + 4);
    }
    return p;
}

// Whether a process has ended (gone, or a zombie its parent has not collected yet).
bool processEnded(long pid) {
    const std::optional<std::string> text = readProcFile(pid, "stat");
    if (!text) return true;
    const std::size_t paren = text->rfind(')');
    return paren == std::string::npos || text->compare(paren, 4, ") Z ") == 0 ||
           text->compare(paren, 4, ") X ") == 0;
}

// Outgoing bytes of one client, written as the socket accepts them; never zero-filled, since
// bulk messages are a megabyte each.
class OutBuf {
public:
    char* append(std::size_t n) {
        if (head_ == tail_) head_ = tail_ = 0;
        if (tail_ + n > cap_) {
            if (head_) {
                std::memmove(data_.get(), data_.get() + head_, tail_ - head_);
                tail_ -= head_;
                head_ = 0;
            }
            if (tail_ + n > cap_) {
                std::size_t cap = cap_ ? cap_ : 4096;
                while (cap < tail_ + n)
                    cap *= 2;
                std::unique_ptr<char[]> grown(new char[cap]);
                if (tail_) std::memcpy(grown.get(), data_.get(), tail_);
                data_ = std::move(grown);
                cap_ = cap;
            }
        }
        char* p = data_.get() + tail_;
        tail_ += n;
        return p;
    }
    const char* data() const { return data_.get() + head_; }
    std::size_t size() const { return tail_ - head_; }
    void consume(std::size_t n) { head_ += n; }

private:
    std::unique_ptr<char[]> data_;
    std::size_t cap_ = 0, head_ = 0, tail_ = 0;
};

enum class State : std::uint8_t { waiting, connecting, securing, handshaking, open, dead };

struct Client {
    int fd = -1;
    State state = State::waiting;
    bool queued = false; // in the list of senders whose window opened
    bool binary = false; // opcode of the message being received
    std::string key;
    std::string answer; // the handshake answer while it arrives
    std::unique_ptr<TlsClient> tls;
    TlsTicket ticket; // storm: the session of the first connection, offered by the second
    FrameReader reader;
    PayloadCheck check;
    OutBuf out;
};

constexpr std::size_t kReadBuffer = 256 * 1024;

class Bench {
public:
    explicit Bench(const Options& o)
        : o_(o), ledger_(o.rooms, o.members, o.window), clients_(ledger_.clients()),
          readBuf_(new char[kReadBuffer]) {
        nonce_ = "b";
        nonce_ += std::to_string(getpid());
        nonce_ += 'x';
        nonce_ += std::to_string(nowNs() % 1000000007);
        rng_ = nowNs() | 1;
        if (o.tls) tlsContext_ = std::make_unique<TlsClientContext>();
    }
    ~Bench() {
        for (Client& c : clients_) {
            if (c.fd < 0) continue;
            // A reset leaves no TIME_WAIT behind, so runs back to back never run out of ports.
            linger l{1, 0};
            setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            close(c.fd);
        }
        if (ep_ >= 0) close(ep_);
    }

    int run();

    // Frame reader callbacks, for one client (see ClientSink).
    void messageStart(std::uint32_t id, int opcode) {
        clients_[id].check.reset();
        clients_[id].binary = opcode == 2;
    }
    void messageData(std::uint32_t id, const char* p, std::size_t n) {
        clients_[id].check.feed(p, n);
        bytesIn_ += n;
    }
    void messageEnd(std::uint32_t id);
    void wholeMessage(std::uint32_t id, int opcode, const char* p, std::size_t n) {
        Client& c = clients_[id];
        c.binary = opcode == 2;
        c.check.whole(p, n);
        bytesIn_ += n;
        messageEnd(id);
    }
    void control(std::uint32_t id, int opcode, const std::string& payload);

private:
    /// What one run measured; the load's figures cover the measuring window only.
    struct Measured {
        double joinS = 0;
        long rssBefore = -1, rssAfter = -1;
        double windowS = 0;
        std::uint64_t delivered = 0, bytes = 0;
        std::optional<double> serverCpu;
        double genCpu = 0;
        std::optional<IoCalls> io;      // the relay's read and write calls by /proc
        std::optional<CallTally> calls; // its system calls by perf
        // crowd
        std::optional<double> joinCpuS; // the relay's processor seconds for all the joins
        std::optional<long> tcpMemBefore, tcpMemAfter; // socket buffers
        std::optional<long> slabBefore, slabAfter;     // sockets themselves
        std::optional<double> restCpu;  // the relay's share of a core while the crowd rests
        Probe rooms, state, metrics;    // medians of three
        std::optional<double> stopS;    // termination signal to the last connection closed
        std::uint32_t closedAtStop = 0; // connections the stop ended
        bool cleanBeforeStop = false;
        // storm
        double rejoinS = 0;
        std::optional<double> rejoinCpuS;
        std::uint32_t resumed = 0;
    };
    /// The counters as the measuring window opened.
    struct Window {
        std::optional<double> serverCpu;
        std::optional<IoCalls> io;
        double genCpu = 0;
        std::uint64_t delivered = 0, bytes = 0, ns = 0;
    };

    // The steps of a run, in order.
    bool raiseFileLimit();
    void joinAll(Measured& m);
    void measureIdle(Measured& m);
    void measureLoad(Measured& m);
    void measureCrowd(Measured& m);
    void stopServer(Measured& m);
    void rejoinAll(Measured& m);
    Probe probe(int port, const char* path);
    Window openWindow();
    void sendWindowed(std::uint64_t until);
    void sendAtRate(std::uint64_t from, std::uint64_t until);
    void closeWindow(const Window& w, Measured& m);
    void drain();
    void collectPerf(Measured& m);
    int report(const Measured& m);

    bool connectAll(double timeoutS);
    bool startConnect(std::uint32_t id);
    void sendJoin(std::uint32_t id);
    ssize_t readSome(Client& c, char* buf, std::size_t n);
    ssize_t sendSome(Client& c, const char* data, std::size_t n);
    void pump(int timeoutMs);
    void onEvent(std::uint32_t id, std::uint32_t events);
    void readFrom(std::uint32_t id);
    void flush(std::uint32_t id);
    void queueMessage(std::uint32_t id);
    void queueFrame(std::uint32_t id, int opcode, const char* payload, std::size_t n);
    void fail(std::uint32_t id, const char* why);
    bool isSender(std::uint32_t id) const {
        return o_.stride ? id % o_.stride == 0 : id % o_.members < o_.senders;
    }
    std::uint32_t nextMask() {
        rng_ ^= rng_ << 13, rng_ ^= rng_ >> 7, rng_ ^= rng_ << 17;
        return static_cast<std::uint32_t>(rng_ >> 16);
    }

    Options o_;
    Ledger ledger_;
    std::vector<Client> clients_;
    std::unique_ptr<TlsClientContext> tlsContext_; // with --tls
    std::unique_ptr<char[]> readBuf_;
    std::vector<std::uint32_t> ready_;
    Histogram latency_;
    std::string nonce_;
    std::uint64_t rng_ = 1;
    int ep_ = -1;
    std::uint32_t nextConnect_ = 0;
    std::uint32_t pendingJoins_ = 0;
    std::uint32_t joined_ = 0;
    std::uint32_t dead_ = 0;
    std::uint32_t refused_ = 0;
    std::uint32_t resumed_ = 0; // storm: second connections that resumed their session
    std::uint32_t protocolFaults_ = 0;
    std::uint64_t bytesIn_ = 0;
    std::uint64_t recvNs_ = 0; // time of the read being parsed
    std::uint64_t sendNs_ = 0; // time of the batch of sends being written
    bool sending_ = false;
    bool finishing_ = false;
    std::string firstError_;
    PerfControl perf_;
    std::uint64_t perfOffNs_ = 0; // when counting was switched off
    std::string perfFault_;       // reported, but no fault of the relay's
};

struct ClientSink {
    Bench& bench;
    std::uint32_t id;
    void messageStart(int opcode) { bench.messageStart(id, opcode); }
    void messageData(const char* p, std::size_t n) { bench.messageData(id, p, n); }
    void messageEnd() { bench.messageEnd(id); }
    void wholeMessage(int opcode, const char* p, std::size_t n) {
        bench.wholeMessage(id, opcode, p, n);
    }
    void control(int opcode, const std::string& payload) { bench.control(id, opcode, payload); }
};

void Bench::fail(std::uint32_t id, const char* why) {
    Client& c = clients_[id];
    if (c.state == State::dead) return;
    if (c.state == State::connecting || c.state == State::securing || c.state == State::handshaking)
        --pendingJoins_;
    if (firstError_.empty() && !finishing_)
        firstError_ = "client " + std::to_string(id) + ": " + why;
    c.state = State::dead;
    ++dead_;
    c.tls.reset();
    if (c.fd >= 0) {
        epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
        close(c.fd);
        c.fd = -1;
    }
}

bool Bench::startConnect(std::uint32_t id) {
    Client& c = clients_[id];
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.fd < 0) return fail(id, std::strerror(errno)), false;
    const int one = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (o_.sources > 1) {
        // Spread over 127.0.0.1, 127.0.0.2, ...: each source address has its own port range.
        setsockopt(c.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = htonl(0x7F000001u + id % o_.sources);
        if (bind(c.fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0)
            return fail(id, "bind to a loopback source address failed"), false;
    }
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(static_cast<std::uint16_t>(o_.port));
    inet_pton(AF_INET, o_.host.c_str(), &dst.sin_addr);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLET | EPOLLRDHUP;
    ev.data.u32 = id;
    if (epoll_ctl(ep_, EPOLL_CTL_ADD, c.fd, &ev) != 0) return fail(id, "epoll_ctl"), false;
    c.state = State::connecting;
    ++pendingJoins_;
    if (connect(c.fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0 && errno != EINPROGRESS)
        return fail(id, std::strerror(errno)), false;
    return true;
}

bool Bench::connectAll(double timeoutS) {
    const std::uint64_t deadline = nowNs() + std::uint64_t(timeoutS * 1e9);
    while (joined_ + dead_ < clients_.size() && nowNs() < deadline) {
        while (nextConnect_ < clients_.size() && pendingJoins_ < o_.concurrency)
            startConnect(nextConnect_++);
        pump(50);
    }
    if (joined_ < clients_.size() && firstError_.empty())
        firstError_ = "not every client joined in time";
    return joined_ == clients_.size();
}

void Bench::pump(int timeoutMs) {
    epoll_event events[512];
    const int n = epoll_wait(ep_, events, 512, timeoutMs);
    for (int i = 0; i < n; ++i)
        onEvent(events[i].data.u32, events[i].events);
    if (!sending_) return;
    // Senders whose window opened during this batch write once each, everything they may.
    sendNs_ = nowNs();
    for (std::size_t i = 0; i < ready_.size(); ++i) {
        const std::uint32_t id = ready_[i];
        clients_[id].queued = false;
        if (clients_[id].state != State::open) continue;
        while (ledger_.canSend(id))
            queueMessage(id);
        flush(id);
    }
    ready_.clear();
}

// The join request, once the connection (and its TLS) is up.
void Bench::sendJoin(std::uint32_t id) {
    Client& c = clients_[id];
    c.state = State::handshaking;
    c.key = makeKey((std::uint64_t(id) << 20) ^ rng_);
    // Room names carry a nonce of this run, so leftovers of an earlier run never share them.
    std::string hostPort = o_.host;
    hostPort += ':';
    hostPort += std::to_string(o_.port);
    std::string room = nonce_;
    room += "_r";
    room += std::to_string(id / o_.members);
    std::string player = "p";
    player += std::to_string(id);
    const std::string req = joinRequest(hostPort, room, player, o_.members, c.key);
    std::memcpy(c.out.append(req.size()), req.data(), req.size());
    flush(id);
}

ssize_t Bench::readSome(Client& c, char* buf, std::size_t n) {
    return c.tls ? c.tls->read(buf, n) : read(c.fd, buf, n);
}

ssize_t Bench::sendSome(Client& c, const char* data, std::size_t n) {
    return c.tls ? c.tls->send(data, n) : send(c.fd, data, n, MSG_NOSIGNAL);
}

void Bench::onEvent(std::uint32_t id, std::uint32_t events) {
    Client& c = clients_[id];
    if (c.state == State::connecting) {
        if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err) return fail(id, std::strerror(err));
        if (tlsContext_) {
            c.tls = std::make_unique<TlsClient>(tlsContext_->get(), c.fd,
                                                c.ticket ? &c.ticket : nullptr);
            if (!c.tls->valid()) return fail(id, "cannot create a TLS session");
            c.state = State::securing;
        } else {
            sendJoin(id);
            if (c.state == State::dead) return;
        }
    }
    if (c.state == State::securing) {
        const TlsStep step = c.tls->handshake();
        if (step == TlsStep::failed) return fail(id, "TLS handshake failed");
        if (step == TlsStep::again) return;
        if (c.ticket && c.tls->resumed()) ++resumed_;
        sendJoin(id);
        if (c.state == State::dead) return;
    }
    if (events & EPOLLIN) readFrom(id);
    if (c.state == State::dead) return;
    if (events & EPOLLOUT) flush(id);
    if (c.state != State::dead && (events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)))
        readFrom(id); // collect what is left, then the end of stream fails the client
}

void Bench::readFrom(std::uint32_t id) {
    Client& c = clients_[id];
    ClientSink sink{*this, id};
    for (;;) {
        const ssize_t n = readSome(c, readBuf_.get(), kReadBuffer);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (errno == EINTR) continue;
            return fail(id, std::strerror(errno));
        }
        if (n == 0) return fail(id, "the relay closed the connection");
        recvNs_ = nowNs();
        const char* p = readBuf_.get();
        std::size_t size = static_cast<std::size_t>(n);
        if (c.state == State::handshaking) {
            c.answer.append(p, size);
            std::size_t headerEnd = 0;
            const HandshakeStatus st = checkAnswer(c.answer, c.key, headerEnd);
            if (st == HandshakeStatus::incomplete) continue;
            if (st == HandshakeStatus::refused) {
                ++refused_;
                return fail(id,
                            ("join refused: " + c.answer.substr(0, c.answer.find('\r'))).c_str());
            }
            c.state = State::open;
            --pendingJoins_;
            ++joined_;
            const std::string rest = c.answer.substr(headerEnd);
            std::string().swap(c.answer);
            if (!rest.empty() && !c.reader.feed(rest.data(), rest.size(), sink)) {
                ++protocolFaults_;
                return fail(id, "malformed frame from the relay");
            }
        } else if (!c.reader.feed(p, size, sink)) {
            ++protocolFaults_;
            return fail(id, "malformed frame from the relay");
        }
        if (c.state == State::dead) return;
        // Edge-triggered: a short read emptied the socket, and new data brings a new event.
        if (c.tls ? c.tls->drained() : size < kReadBuffer) return;
    }
}

void Bench::flush(std::uint32_t id) {
    Client& c = clients_[id];
    while (c.out.size()) {
        const ssize_t n = sendSome(c, c.out.data(), c.out.size());
        if (n > 0) {
            c.out.consume(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0 && errno == EINTR) continue;
        return fail(id, n < 0 ? std::strerror(errno) : "write failed");
    }
}

void Bench::queueFrame(std::uint32_t id, int opcode, const char* payload, std::size_t n) {
    unsigned char h[14];
    std::size_t hl = 0;
    h[hl++] = static_cast<unsigned char>(0x80 | opcode);
    if (n < 126) {
        h[hl++] = static_cast<unsigned char>(0x80 | n);
    } else if (n < 65536) {
        h[hl++] = 0x80 | 126;
        h[hl++] = static_cast<unsigned char>(n >> 8);
        h[hl++] = static_cast<unsigned char>(n);
    } else {
        h[hl++] = 0x80 | 127;
        for (int i = 7; i >= 0; --i)
            h[hl++] = static_cast<unsigned char>(std::uint64_t(n) >> (8 * i));
    }
    const std::uint32_t mask = nextMask();
    for (int i = 0; i < 4; ++i)
        h[hl++] = static_cast<unsigned char>(mask >> (8 * i));
    char* dst = clients_[id].out.append(hl + n);
    std::memcpy(dst, h, hl);
    if (payload) {
        for (std::size_t i = 0; i < n; ++i)
            dst[hl + i] = static_cast<char>(payload[i] ^ h[hl - 4 + i % 4]);
    } else {
        PayloadHead head;
        head.sender = id;
        head.seq = ledger_.send(id);
        head.sentNs = sendNs_;
        fillPayload(dst + hl, n, head, mask);
    }
}

void Bench::queueMessage(std::uint32_t id) {
    queueFrame(id, 2, nullptr, o_.size);
}

void Bench::messageEnd(std::uint32_t id) {
    Client& c = clients_[id];
    const Receipt r = ledger_.receiveMessage(id, c.binary, c.check, o_.size);
    if (r == Receipt::corrupt || r == Receipt::unexpected) return;
    const PayloadHead& head = c.check.head();
    // Only a windowed load lets a delivery release its sender; at a rate, the clock alone sends,
    // so the load stays the same however fast the relay answers.
    if (r == Receipt::windowOpened && o_.mode == Mode::windowed && sending_ &&
        !clients_[head.sender].queued) {
        clients_[head.sender].queued = true;
        ready_.push_back(head.sender);
    }
    if (recvNs_ >= head.sentNs) latency_.record(recvNs_ - head.sentNs);
}

void Bench::control(std::uint32_t id, int opcode, const std::string& payload) {
    if (opcode == 9) { // ping: answer in kind, as any client must
        queueFrame(id, 10, payload.data(), payload.size());
        flush(id);
    } else if (opcode == 8) {
        fail(id, "the relay sent a close frame");
    }
}

std::string fmt(const char* f, double v) {
    char b[64];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

bool Bench::raiseFileLimit() {
    const rlimit want{clients_.size() + 64, clients_.size() + 64};
    rlimit have{};
    getrlimit(RLIMIT_NOFILE, &have);
    if (have.rlim_cur >= want.rlim_cur) return true;
    rlimit raised{std::min(have.rlim_max, want.rlim_cur), have.rlim_max};
    setrlimit(RLIMIT_NOFILE, &raised);
    getrlimit(RLIMIT_NOFILE, &have);
    if (have.rlim_cur >= want.rlim_cur) return true;
    std::fprintf(stderr, "tnlrelay-bench: %zu clients need more open files (ulimit -n)\n",
                 clients_.size());
    return false;
}

void Bench::joinAll(Measured& m) {
    m.rssBefore = o_.serverPid ? residentKb(o_.serverPid).value_or(-1) : -1;
    m.tcpMemBefore = tcpBufferBytes();
    m.slabBefore = slabBytes();
    const std::optional<double> cpu0 = o_.serverPid ? processCpuFine(o_.serverPid) : std::nullopt;
    const std::uint64_t start = nowNs();
    connectAll(120);
    m.joinS = double(nowNs() - start) / 1e9;
    const std::optional<double> cpu1 = o_.serverPid ? processCpuFine(o_.serverPid) : std::nullopt;
    if (cpu0 && cpu1) m.joinCpuS = cpu1.value_or(0) - cpu0.value_or(0);
    // In the idle scenario the joins are the load.
    if (m.joinCpuS && m.joinS > 0) m.serverCpu = *m.joinCpuS / m.joinS;
}

Probe Bench::probe(int port, const char* path) {
    Probe p[3];
    for (Probe& one : p) {
        one = httpGet(o_.host, port, path);
        pump(0); // pings the crowd was sent meanwhile
    }
    std::sort(std::begin(p), std::end(p),
              [](const Probe& a, const Probe& b) { return a.ms < b.ms; });
    return p[1];
}

// The crowd at rest (only the relay's pings, answered), its documents, then its chat.
void Bench::measureCrowd(Measured& m) {
    const std::uint64_t settle = nowNs() + 1000000000ull;
    while (nowNs() < settle)
        pump(50);
    if (o_.serverPid) m.rssAfter = residentKb(o_.serverPid).value_or(-1);
    m.tcpMemAfter = tcpBufferBytes();
    m.slabAfter = slabBytes();
    const std::optional<double> cpu0 = o_.serverPid ? processCpuFine(o_.serverPid) : std::nullopt;
    const std::uint64_t restStart = nowNs(), restEnd = restStart + std::uint64_t(o_.rest * 1e9);
    while (nowNs() < restEnd)
        pump(100);
    const std::optional<double> cpu1 = o_.serverPid ? processCpuFine(o_.serverPid) : std::nullopt;
    if (cpu0 && cpu1) m.restCpu = (*cpu1 - *cpu0) / (double(nowNs() - restStart) / 1e9);
    const int admin = o_.adminPort ? o_.adminPort : o_.port + 1;
    m.rooms = probe(o_.port, "/rooms");
    m.state = probe(admin, "/api/state");
    m.metrics = probe(admin, "/metrics");
    measureLoad(m);
}

// Stops the relay with a termination signal: the time until every client has seen its
// connection end and the process is gone.
void Bench::stopServer(Measured& m) {
    finishing_ = true;
    const std::uint32_t open = joined_ - std::min(joined_, dead_);
    const std::uint32_t deadBefore = dead_;
    const std::uint64_t start = nowNs(), deadline = start + 120000000000ull;
    if (!o_.serverPid || kill(static_cast<pid_t>(o_.serverPid), SIGTERM) != 0) return;
    while (nowNs() < deadline && (dead_ - deadBefore < open || !processEnded(o_.serverPid)))
        pump(10);
    if (dead_ - deadBefore >= open && processEnded(o_.serverPid))
        m.stopS = double(nowNs() - start) / 1e9;
    m.closedAtStop = dead_ - deadBefore;
}

// Every client leaves at once (as a restart or a lost network would make them), the relay
// lets them go, and every client joins again at once, offering its ticket.
void Bench::rejoinAll(Measured& m) {
    for (std::uint32_t id = 0; id < clients_.size(); ++id) {
        Client& c = clients_[id];
        Client fresh;
        if (c.tls) fresh.ticket = c.tls->takeTicket();
        if (c.fd >= 0) {
            linger l{1, 0};
            setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
            close(c.fd);
        }
        c = std::move(fresh);
    }
    joined_ = 0;
    nextConnect_ = 0;
    pendingJoins_ = 0;
    // The relay has let everyone go when its room list names none of this run's rooms.
    const std::uint64_t deadline = nowNs() + 60000000000ull;
    for (std::string rooms; nowNs() < deadline; usleep(50000))
        if (httpGet(o_.host, o_.port, "/rooms", &rooms).status == 200 &&
            rooms.find(nonce_) == std::string::npos)
            break;
    const std::optional<double> cpu0 = o_.serverPid ? processCpuFine(o_.serverPid) : std::nullopt;
    const std::uint64_t start = nowNs();
    connectAll(120);
    m.rejoinS = double(nowNs() - start) / 1e9;
    const std::optional<double> cpu1 = o_.serverPid ? processCpuFine(o_.serverPid) : std::nullopt;
    if (cpu0 && cpu1) m.rejoinCpuS = *cpu1 - *cpu0;
}

void Bench::measureIdle(Measured& m) {
    // Let the relay finish whatever follows the handshake before its memory is read.
    const std::uint64_t settle = nowNs() + 1000000000ull;
    while (nowNs() < settle)
        pump(50);
    if (o_.serverPid) m.rssAfter = residentKb(o_.serverPid).value_or(-1);
    // Prove every connection is really in its room: one message per room.
    sending_ = true;
    sendNs_ = nowNs();
    for (std::uint32_t id = 0; id < clients_.size(); ++id) {
        if (!isSender(id)) continue;
        queueMessage(id);
        flush(id);
    }
    sending_ = false;
}

Bench::Window Bench::openWindow() {
    Window w;
    // Counting starts before the snapshot, so that no call of the window escapes it.
    if (perf_.isOpen() && !perf_.enable()) perfFault_ = "perf did not acknowledge 'enable'";
    if (o_.serverPid) {
        w.serverCpu = processCpu(o_.serverPid);
        w.io = readProcIo(o_.serverPid);
    }
    w.genCpu = selfCpu();
    w.delivered = ledger_.delivered();
    w.bytes = bytesIn_;
    w.ns = nowNs();
    return w;
}

void Bench::closeWindow(const Window& w, Measured& m) {
    const std::uint64_t end = nowNs();
    m.windowS = double(end - w.ns) / 1e9;
    m.delivered = ledger_.delivered() - w.delivered;
    m.bytes = bytesIn_ - w.bytes;
    m.genCpu = (selfCpu() - w.genCpu) / m.windowS;
    if (o_.serverPid) {
        const std::optional<double> cpu = processCpu(o_.serverPid);
        if (w.serverCpu && cpu) m.serverCpu = (*cpu - *w.serverCpu) / m.windowS;
        const std::optional<IoCalls> io = readProcIo(o_.serverPid);
        if (w.io && io) m.io = IoCalls{io->syscr - w.io->syscr, io->syscw - w.io->syscw};
    }
    if (perf_.isOpen()) {
        if (!perf_.disable()) perfFault_ = "perf did not acknowledge 'disable'";
        perfOffNs_ = nowNs();
    }
}

void Bench::sendWindowed(std::uint64_t until) {
    sendNs_ = nowNs();
    for (std::uint32_t id = 0; id < clients_.size(); ++id) {
        if (!isSender(id)) continue;
        while (ledger_.canSend(id))
            queueMessage(id);
        flush(id);
    }
    // From here on, each delivery that completes a window lets its sender go on (see pump).
    for (std::uint64_t now = nowNs(); now < until; now = nowNs())
        pump(static_cast<int>(std::min<std::uint64_t>((until - now) / 1000000 + 1, 100)));
}

void Bench::sendAtRate(std::uint64_t from, std::uint64_t until) {
    // Sends spread evenly over time and round-robin over the senders.
    std::vector<std::uint32_t> senders;
    for (std::uint32_t id = 0; id < clients_.size(); ++id)
        if (isSender(id)) senders.push_back(id);
    const double perNs = o_.rate * double(senders.size()) / 1e9;
    std::uint64_t issued = 0;
    for (std::uint64_t now = nowNs(); now < until; now = nowNs()) {
        const auto due = static_cast<std::uint64_t>(double(now - from) * perNs);
        sendNs_ = now;
        for (; issued < due; ++issued) {
            const std::uint32_t id = senders[issued % senders.size()];
            if (clients_[id].state != State::open) continue;
            queueMessage(id);
            flush(id);
        }
        pump(1);
    }
}

void Bench::measureLoad(Measured& m) {
    m.serverCpu.reset(); // the joins' figure; the window's replaces it
    const Window w = openWindow();
    const std::uint64_t until = w.ns + std::uint64_t(o_.duration * 1e9);
    sending_ = true;
    if (o_.mode == Mode::windowed)
        sendWindowed(until);
    else
        sendAtRate(w.ns, until);
    sending_ = false;
    closeWindow(w, m);
}

void Bench::drain() {
    const std::uint64_t end = nowNs() + std::uint64_t(o_.drain * 1e9);
    while (!ledger_.settled() && nowNs() < end)
        pump(20);
}

void Bench::collectPerf(Measured& m) {
    if (!perf_.isOpen() || !perfOffNs_) return;
    // perf prints every 100 ms: the last interval of the window is in the file after that.
    while (nowNs() < perfOffNs_ + 350000000ull)
        pump(20);
    FILE* f = std::fopen(o_.perfOutput.c_str(), "r");
    if (!f) {
        perfFault_ = "cannot read " + o_.perfOutput;
        return;
    }
    std::string text;
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    std::fclose(f);
    const CallTally t = tallyPerfStat(text);
    if (t.seen)
        m.calls = t;
    else
        perfFault_ = "no system call counts in " + o_.perfOutput;
}

int Bench::run() {
    if (!raiseFileLimit()) return 2;
    if (tlsContext_ && !tlsContext_->valid()) {
        std::fputs("tnlrelay-bench: cannot set up TLS\n", stderr);
        return 2;
    }
    if (!o_.sources) o_.sources = clients_.size() > 5000 ? 4 : 1;
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    if (!o_.perfControl.empty()) {
        const auto paths = splitPair(o_.perfControl);
        if (!paths || !perf_.open(paths->first, paths->second))
            perfFault_ = "cannot open the perf control fifos " + o_.perfControl;
    }
    Measured m;
    joinAll(m);
    if (joined_ == clients_.size() && o_.mode == Mode::storm) rejoinAll(m);
    if (joined_ == clients_.size()) {
        if (o_.mode == Mode::idle || o_.mode == Mode::storm)
            measureIdle(m);
        else if (o_.mode == Mode::crowd)
            measureCrowd(m);
        else
            measureLoad(m);
        drain();
        collectPerf(m);
    }
    m.resumed = resumed_;
    m.cleanBeforeStop = dead_ == 0 && joined_ == clients_.size();
    if (o_.stopServer && m.cleanBeforeStop) stopServer(m);
    finishing_ = true;
    return report(m);
}

int Bench::report(const Measured& m) {
    const LedgerTotals t = ledger_.totals();
    const bool ok = t.clean() && m.cleanBeforeStop && t.sent > 0 &&
                    (!o_.stopServer || m.stopS.has_value()) &&
                    (o_.mode != Mode::storm || m.resumed == clients_.size());
    std::string j = "{";
    auto add = [&](const char* k, const std::string& v) {
        if (j.size() > 1) j += ',';
        j += '"';
        j += k;
        j += "\":";
        j += v;
    };
    auto num = [](std::uint64_t v) { return std::to_string(v); };
    auto opt = [](const std::optional<double>& v, const char* f) {
        return v ? fmt(f, *v) : std::string("null");
    };
    // System calls in the window per delivery made in it; null without a count or a delivery.
    auto perMsg = [&](bool known, std::uint64_t calls) {
        return known && m.delivered ? fmt("%.4g", double(calls) / double(m.delivered))
                                    : std::string("null");
    };
    const bool load = o_.mode != Mode::idle;
    add("scenario", "\"" + o_.scenario + "\"");
    add("server", "\"" + o_.label + "\"");
    add("rooms", num(o_.rooms));
    add("members", num(o_.members));
    add("clients", num(clients_.size()));
    add("senders_per_room", num(o_.senders));
    add("size", num(o_.size));
    add("window", o_.mode == Mode::windowed ? num(o_.window) : "null");
    add("rate_per_client",
        o_.mode == Mode::rate || o_.mode == Mode::crowd ? fmt("%.3g", o_.rate) : "null");
    add("joined", num(joined_));
    add("join_s", fmt("%.4f", m.joinS));
    add("duration_s", fmt("%.3f", m.windowS));
    add("sent", num(t.sent));
    add("delivered", num(t.delivered));
    add("msgs_per_s", m.windowS > 0 ? fmt("%.0f", double(m.delivered) / m.windowS) : "null");
    add("bytes_per_s", m.windowS > 0 ? fmt("%.0f", double(m.bytes) / m.windowS) : "null");
    add("lost", num(t.lost));
    add("reordered", num(t.reordered));
    add("duplicate", num(t.duplicate));
    add("corrupt", num(t.corrupt));
    add("unexpected", num(t.unexpected));
    add("conn_failures", num(dead_));
    add("protocol_faults", num(protocolFaults_));
    add("lat_p50_us", fmt("%.1f", double(latency_.quantile(0.50)) / 1e3));
    add("lat_p90_us", fmt("%.1f", double(latency_.quantile(0.90)) / 1e3));
    add("lat_p99_us", fmt("%.1f", double(latency_.quantile(0.99)) / 1e3));
    add("lat_max_us", fmt("%.1f", double(latency_.max()) / 1e3));
    add("server_cpu", opt(m.serverCpu, "%.3f"));
    // Deliveries per second of server processor time: robust where other work shares the CPU.
    add("msgs_per_server_cpu_s", load && m.serverCpu && *m.serverCpu > 0 && m.windowS > 0
                                     ? fmt("%.0f", double(m.delivered) / (*m.serverCpu * m.windowS))
                                     : "null");
    add("gen_cpu", load ? fmt("%.3f", m.genCpu) : "null");
    add("rss_before_kb", m.rssBefore >= 0 ? std::to_string(m.rssBefore) : "null");
    add("rss_after_kb", m.rssAfter >= 0 ? std::to_string(m.rssAfter) : "null");
    add("rss_per_conn_b",
        m.rssBefore >= 0 && m.rssAfter >= 0
            ? fmt("%.0f", double(m.rssAfter - m.rssBefore) * 1024.0 / double(clients_.size()))
            : "null");
    add("syscr_per_msg", perMsg(m.io.has_value(), m.io ? m.io->syscr : 0));
    add("syscw_per_msg", perMsg(m.io.has_value(), m.io ? m.io->syscw : 0));
    const bool c = m.calls.has_value();
    const CallTally calls = m.calls.value_or(CallTally{});
    add("sc_read_per_msg", perMsg(c, calls.reads));
    add("sc_write_per_msg", perMsg(c, calls.writes));
    add("sc_epoll_wait_per_msg", perMsg(c, calls.epollWait));
    add("sc_epoll_ctl_per_msg", perMsg(c, calls.epollCtl));
    add("sc_all_per_msg", perMsg(c, calls.all));
    // Deliveries per write call, by perf where it counted (it sees sendmsg; /proc does not).
    const std::uint64_t writes = c ? calls.writes : m.io ? m.io->syscw : 0;
    add("msgs_per_write", writes ? fmt("%.1f", double(m.delivered) / double(writes)) : "null");
    add("syscalls_by_perf", c ? "true" : "false");
    if (o_.mode == Mode::crowd || o_.mode == Mode::storm) {
        const double n = double(clients_.size());
        auto perConn = [&](const std::optional<double>& v, const char* f) {
            return v ? fmt(f, *v / n) : std::string("null");
        };
        add("join_cpu_us",
            perConn(m.joinCpuS ? std::optional<double>(*m.joinCpuS * 1e6) : std::nullopt, "%.1f"));
        add("joins_per_server_cpu_s",
            m.joinCpuS && *m.joinCpuS > 0 ? fmt("%.0f", n / *m.joinCpuS) : "null");
        // Both ends of each connection are on this machine: half is the relay's.
        add("tcp_buffers_per_conn_b",
            m.tcpMemBefore && m.tcpMemAfter
                ? fmt("%.0f", double(*m.tcpMemAfter - *m.tcpMemBefore) / n / 2)
                : "null");
        add("kernel_slab_per_conn_b",
            m.slabBefore && m.slabAfter ? fmt("%.0f", double(*m.slabAfter - *m.slabBefore) / n / 2)
                                        : "null");
        add("stride", num(o_.stride));
        add("rest_cpu", opt(m.restCpu, "%.4f"));
        auto probeJson = [&](const char* name, const Probe& p) {
            add((std::string(name) + "_ms").c_str(), p.status == 200 ? fmt("%.2f", p.ms) : "null");
            add((std::string(name) + "_bytes").c_str(), p.status == 200 ? num(p.bytes) : "null");
        };
        if (o_.mode == Mode::crowd) {
            probeJson("rooms", m.rooms);
            probeJson("state", m.state);
            probeJson("metrics", m.metrics);
        }
        add("stop_s", opt(m.stopS, "%.3f"));
        add("closed_at_stop", num(m.closedAtStop));
        if (o_.mode == Mode::storm) {
            add("rejoin_s", fmt("%.4f", m.rejoinS));
            add("rejoins_per_s", m.rejoinS > 0 ? fmt("%.0f", n / m.rejoinS) : "null");
            add("rejoin_cpu_us",
                perConn(m.rejoinCpuS ? std::optional<double>(*m.rejoinCpuS * 1e6) : std::nullopt,
                        "%.1f"));
            add("rejoins_per_server_cpu_s",
                m.rejoinCpuS && *m.rejoinCpuS > 0 ? fmt("%.0f", n / *m.rejoinCpuS) : "null");
            add("resumed", num(m.resumed));
        }
    }
    add("ok", ok ? "true" : "false");
    std::string error = firstError_;
    if (error.empty() && !perfFault_.empty()) error = perfFault_;
    if (!error.empty()) {
        std::string e;
        for (char ch : error)
            if (ch != '"' && ch != '\\' && static_cast<unsigned char>(ch) >= 0x20) e += ch;
        add("error", "\"" + e + "\"");
    }
    j += "}\n";
    std::fputs(j.c_str(), stdout);
    std::fflush(stdout);
    return ok ? 0 : 1;
}

bool isLoopback(const std::string& host) {
    in_addr a{};
    return inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

} // namespace

} // namespace tnlrelay::bench

int main(int argc, char** argv) {
    using namespace tnlrelay::bench;
    const std::optional<Options> o = parseArgs(argc, argv);
    if (!o) {
        usage();
        return 2;
    }
    if (!isLoopback(o->host)) {
        std::fputs("tnlrelay-bench: the host must be a loopback address (127.x.x.x)\n", stderr);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    Bench bench(*o);
    return bench.run();
}
