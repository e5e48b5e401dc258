// The platform layer on Linux and other POSIX systems: plain open/read/write/rename calls (no
// sharing modes exist here), localtime_r, /proc/self/exe, gethostname, the descriptor limit, the
// SIGINT/SIGTERM/SIGHUP handlers and what the service manager tells a process through its
// environment.
#include "platform/Platform.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tnlrelay::platform {

namespace {

constexpr std::size_t kMaxBaseLength = 260;
constexpr std::size_t kReadPiece = 4096;
constexpr std::size_t kRangePiece = 8192;

std::atomic<std::atomic<bool>*> g_stopTarget{nullptr};
// Handlers currently between reading g_stopTarget and storing into it; setStopTarget waits for
// them so that the previous target is never touched once it returns.
std::atomic<int> g_handlersInFlight{0};
std::atomic<unsigned> g_tempCounter{0};

// Decided once when the handlers are installed: the environment and the terminal stay as they
// were when the process started.
std::atomic<bool> g_hangUpReloads{false};
std::atomic<bool> g_reloadRequested{false};

static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

void stopSignalHandler(int signal) {
    if (signal == SIGHUP && g_hangUpReloads.load()) {
        // The loop takes the request at its next turn; a second one before then is the same one.
        g_reloadRequested.store(true);
        return;
    }
    g_handlersInFlight.fetch_add(1);
    std::atomic<bool>* flag = g_stopTarget.load();
    const bool stopping = flag == nullptr || flag->exchange(true);
    g_handlersInFlight.fetch_sub(1);
    // A second request to stop, or one that comes while the core is being destroyed, means the
    // user will not wait: the default action ends the process once this handler returns (the
    // signal is blocked until then). A hang-up is never repeated on purpose, so it only stops.
    if (stopping && signal != SIGHUP) {
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        ::sigaction(signal, &fallback, nullptr);
        ::raise(signal);
    }
}

int openRetrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// One descriptor held back for the log and the configuration: when the process has none left
// (many connections), it is closed so that the file can be opened, and taken again afterwards.
int takeReserve() {
    return openRetrying("/dev/null", O_RDONLY);
}
std::atomic<int> g_reserve{takeReserve()};

// open(), lending the reserve when the process or the system is out of descriptors. Every
// caller calls retakeReserve() once it has closed what it opened.
int openWithReserve(const char* path, int flags, mode_t mode = 0) {
    int fd = openRetrying(path, flags, mode);
    if (fd >= 0 || (errno != EMFILE && errno != ENFILE)) return fd;
    const int reserve = g_reserve.exchange(-1);
    if (reserve < 0) return -1;
    ::close(reserve);
    return openRetrying(path, flags, mode);
}

void retakeReserve() {
    if (g_reserve.load() >= 0) return;
    const int fd = takeReserve();
    if (fd < 0) return; // still none to spare: the next file operation tries again
    int none = -1;
    if (!g_reserve.compare_exchange_strong(none, fd)) ::close(fd);
}

// Writes everything, continuing after partial writes; false on the first error.
bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// A name beside `path` that no other writer in this or another process picks at the same time.
std::filesystem::path tempPathBeside(const std::filesystem::path& path) {
    std::string name = path.filename().string();
    name += ".tmp.";
    name += std::to_string(::getpid());
    name += '.';
    name += std::to_string(g_tempCounter.fetch_add(1));
    return path.parent_path() / name;
}

} // namespace

std::filesystem::path dataDirBase() {
    const char* value = std::getenv("ProgramData");
    if (value != nullptr) {
        std::string text(value);
        if (!text.empty() && text.size() < kMaxBaseLength) return std::filesystem::path(text);
    }
    return std::filesystem::path("/var/lib");
}

void createDirectory(const std::filesystem::path& dir) {
    ::mkdir(dir.c_str(), 0755);
}

bool canWriteIn(const std::filesystem::path& dir) {
    std::filesystem::path probe = tempPathBeside(dir / ".write-probe");
    int fd = openRetrying(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return false;
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

std::string pathUtf8(const std::filesystem::path& path) {
    return path.string();
}

std::string readFile(const std::filesystem::path& path) {
    std::string bytes;
    int fd = openWithReserve(path.c_str(), O_RDONLY);
    if (fd < 0) {
        retakeReserve();
        return bytes;
    }
    char piece[kReadPiece];
    for (;;) {
        ssize_t n = ::read(fd, piece, sizeof piece);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bytes.append(piece, static_cast<std::size_t>(n));
    }
    ::close(fd);
    retakeReserve();
    return bytes;
}

bool replaceFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::path temp;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temp = tempPathBeside(path);
        fd = openWithReserve(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        retakeReserve();
        return false;
    }

    bool ok = writeAll(fd, bytes.data(), bytes.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        retakeReserve();
        return false;
    }

    // The rename itself is durable only once the directory entry is on disk.
    std::filesystem::path dir = path.parent_path();
    if (dir.empty()) dir = ".";
    int dirFd = openWithReserve(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    retakeReserve();
    return true;
}

AppendResult appendToFile(const std::filesystem::path& path, const std::string& bytes,
                          std::optional<std::uint64_t> limit) {
    int fd = openWithReserve(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0) {
        retakeReserve();
        return AppendResult::nothing;
    }
    // Appends land at the end, so the size before the write is where these bytes begin.
    struct stat before {};
    const bool sized = ::fstat(fd, &before) == 0;
    if (limit && sized && passesLimit(std::uint64_t(before.st_size), bytes.size(), *limit)) {
        ::close(fd);
        retakeReserve();
        return AppendResult::full;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // a full disk or a file size limit
        done += static_cast<std::size_t>(n);
    }
    AppendResult result = AppendResult::whole;
    if (done == 0 && !bytes.empty()) {
        result = AppendResult::nothing;
    } else if (done < bytes.size()) {
        result = sized && ::ftruncate(fd, before.st_size) == 0 ? AppendResult::nothing
                                                               : AppendResult::partial;
    }
    ::close(fd);
    retakeReserve();
    return result;
}

std::optional<std::uint64_t> fileSize(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

std::optional<std::string> readRange(const std::filesystem::path& path, std::uint64_t offset,
                                     std::uint64_t length) {
    int fd = openWithReserve(path.c_str(), O_RDONLY);
    if (fd < 0) {
        retakeReserve();
        return std::nullopt;
    }
    std::string bytes;
    if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset)) {
        char piece[kRangePiece];
        while (bytes.size() < length) {
            std::uint64_t want = std::min<std::uint64_t>(sizeof piece, length - bytes.size());
            ssize_t n = ::read(fd, piece, static_cast<std::size_t>(want));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            bytes.append(piece, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    retakeReserve();
    return bytes;
}

bool renameFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool removeFile(const std::filesystem::path& path) {
    return ::unlink(path.c_str()) == 0;
}

LocalTime localTime() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    ::localtime_r(&now, &parts);
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

std::filesystem::path executablePath() {
    std::error_code ec;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : path;
}

DescriptorLimits raiseDescriptorLimit() {
    DescriptorLimits limits;
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0) return limits;
    limits.before = r.rlim_cur;
    limits.hard = r.rlim_max;
    rlim_t want = r.rlim_max;
    if (want == RLIM_INFINITY) {
        // The kernel takes no more than its own per-process ceiling.
        std::uint64_t ceiling = 1048576;
        if (std::FILE* f = std::fopen("/proc/sys/fs/nr_open", "r")) {
            unsigned long long value = 0;
            if (std::fscanf(f, "%llu", &value) == 1 && value > 0) ceiling = value;
            std::fclose(f);
        }
        want = static_cast<rlim_t>(ceiling);
    }
    if (r.rlim_cur != RLIM_INFINITY && r.rlim_cur < want) {
        r.rlim_cur = want;
        (void)setrlimit(RLIMIT_NOFILE, &r);
    }
    if (getrlimit(RLIMIT_NOFILE, &r) == 0) limits.now = r.rlim_cur;
    return limits;
}

std::uint64_t descriptorLimit() {
    rlimit r{};
    return getrlimit(RLIMIT_NOFILE, &r) == 0 ? r.rlim_cur : 0;
}

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

HangUp hangUpMeaning(const char* invocationId, const char* journalStream,
                     bool controllingTerminal) {
    const auto given = [](const char* value) { return value != nullptr && *value != '\0'; };
    if (given(invocationId) || given(journalStream) || !controllingTerminal) return HangUp::reload;
    return HangUp::stop;
}

bool journalStreamIs(const char* journalStream, std::uint64_t device, std::uint64_t inode) {
    if (journalStream == nullptr) return false;
    const std::string_view text(journalStream);
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    // Both numbers whole and decimal: a sign, a blank or trailing text is not what systemd sets.
    const auto number = [](std::string_view digits, std::uint64_t& value) {
        const char* end = digits.data() + digits.size();
        if (digits.empty() || digits.front() < '0' || digits.front() > '9') return false;
        const auto [stop, error] = std::from_chars(digits.data(), end, value);
        return error == std::errc() && stop == end;
    };
    std::uint64_t givenDevice = 0, givenInode = 0;
    return number(text.substr(0, colon), givenDevice) &&
           number(text.substr(colon + 1), givenInode) && givenDevice == device &&
           givenInode == inode;
}

HangUp hangUpMeaningHere() {
    // /dev/tty opens only for a process that has a controlling terminal.
    const int tty = openRetrying("/dev/tty", O_RDONLY | O_NOCTTY);
    if (tty >= 0) ::close(tty);
    return hangUpMeaning(std::getenv("INVOCATION_ID"), std::getenv("JOURNAL_STREAM"), tty >= 0);
}

bool standardErrorIsJournal() {
    struct stat info {};
    if (::fstat(STDERR_FILENO, &info) != 0) return false;
    return journalStreamIs(std::getenv("JOURNAL_STREAM"), static_cast<std::uint64_t>(info.st_dev),
                           static_cast<std::uint64_t>(info.st_ino));
}

void writeStandardError(std::string_view bytes) {
    writeAll(STDERR_FILENO, bytes.data(), bytes.size());
}

void installStopHandlers(HangUp hangUp) {
    g_hangUpReloads.store(hangUp == HangUp::reload);
    struct sigaction action {};
    action.sa_handler = stopSignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

void setStopTarget(std::atomic<bool>* flag) {
    g_stopTarget.store(flag);
    // A handler that read the old target before the store above has already raised the
    // counter; once it falls to zero none of them can still be using that target.
    while (g_handlersInFlight.load() != 0)
        std::this_thread::yield();
}

void stopTargetReleased() {
    // The process is not ended when a signal handler returns, so there is nothing to wait for.
}

bool standardInputIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

std::optional<std::string> readSecretLine(std::string_view prompt) {
    const bool terminal = standardInputIsTerminal();
    termios before{};
    const bool hidden = terminal && ::tcgetattr(STDIN_FILENO, &before) == 0;
    if (terminal) {
        writeStandardError(prompt);
        if (hidden) {
            termios quiet = before;
            quiet.c_lflag &= ~tcflag_t(ECHO);
            quiet.c_lflag |= ECHONL;
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        }
    }
    // Byte by byte, so that nothing past the line is taken from the input.
    std::string line;
    bool ended = false;
    for (;;) {
        char ch = 0;
        const ssize_t n = ::read(STDIN_FILENO, &ch, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (ch == '\n') {
            ended = true;
            break;
        }
        line += ch;
    }
    if (hidden) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
    if (!ended && line.empty()) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

bool takeReloadRequest() {
    return g_reloadRequested.exchange(false);
}

namespace {

/// The fields of /proc/self/stat after the command name, which may hold blanks and ')'; the
/// first of them is the third field (state).
std::vector<std::string> procStatFields() {
    const std::string stat = readFile("/proc/self/stat");
    const auto end = stat.rfind(')');
    std::vector<std::string> fields;
    if (end == std::string::npos) return fields;
    std::size_t at = end + 1;
    while (true) {
        at = stat.find_first_not_of(" \n", at);
        if (at == std::string::npos) break;
        const std::size_t stop = stat.find_first_of(" \n", at);
        fields.push_back(stat.substr(at, stop - at));
        if (stop == std::string::npos) break;
        at = stop;
    }
    return fields;
}

/// When the machine booted, in Unix seconds ("btime" of /proc/stat).
std::optional<double> bootTime() {
    const std::string stat = readFile("/proc/stat");
    const std::size_t line = stat.rfind("\nbtime ");
    if (line == std::string::npos) return std::nullopt;
    return std::strtod(stat.c_str() + line + 7, nullptr);
}

} // namespace

// As Prometheus's client libraries read them, so that dashboards made for those work here.
ProcessUsage processUsage() {
    ProcessUsage usage;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    // utime and stime are fields 14 and 15, starttime 22 and rss 24 (pages).
    const std::vector<std::string> f = procStatFields();
    if (f.size() > 21 && ticks > 0) {
        usage.cpuSeconds =
            (std::strtod(f[11].c_str(), nullptr) + std::strtod(f[12].c_str(), nullptr)) / ticks;
        if (const auto boot = bootTime())
            usage.startTime = *boot + std::strtod(f[19].c_str(), nullptr) / ticks;
        usage.residentBytes =
            std::strtod(f[21].c_str(), nullptr) * static_cast<double>(sysconf(_SC_PAGESIZE));
    }
    // Since Linux 6.2 the directory's size is the number of open descriptors: read at once,
    // where listing the directory takes milliseconds with a crowd connected. Older kernels
    // report 0 there, and the directory is counted.
    struct stat fdDir {};
    if (stat("/proc/self/fd", &fdDir) == 0 && fdDir.st_size > 0) {
        usage.openFds = static_cast<double>(fdDir.st_size);
    } else if (DIR* dir = opendir("/proc/self/fd")) {
        double open = 0;
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++open;
        closedir(dir);
        usage.openFds = open - 1; // not the one that reads the directory
    }
    if (const std::uint64_t limit = descriptorLimit(); limit && limit != RLIM_INFINITY)
        usage.maxFds = static_cast<double>(limit);
    return usage;
}

} // namespace tnlrelay::platform
