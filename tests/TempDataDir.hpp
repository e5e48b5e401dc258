// For tests: a fresh temporary directory used as the data directory base (ProgramData) for the
// lifetime of the object, removed with everything in it afterwards.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <csignal>
#include <cstdint>
#include <sys/resource.h>
#include <type_traits>
#include <unistd.h>

namespace tnlrelay::test {

/// Runs `write` while files may grow to `bytes` at most (RLIMIT_FSIZE, which binds root too,
/// with the signal it raises ignored), so that a write stops part way as on a full disk; the
/// limit is restored after. What `write` returned, or nothing when the limit could not be set.
template <class F>
std::optional<std::invoke_result_t<F>> withFileSizeLimit(std::uint64_t bytes, F write) {
    rlimit saved{};
    if (::getrlimit(RLIMIT_FSIZE, &saved) != 0) return std::nullopt;
    rlimit small = saved;
    small.rlim_cur = bytes;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    if (::setrlimit(RLIMIT_FSIZE, &small) != 0) {
        std::signal(SIGXFSZ, previous);
        return std::nullopt;
    }
    auto result = write();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    return result;
}

class TempDataDir {
public:
    TempDataDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tnlrelay-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) base_ = pattern;
        if (const char* old = std::getenv("ProgramData")) previous_ = old;
        ::setenv("ProgramData", base_.c_str(), 1);
    }
    ~TempDataDir() {
        if (previous_)
            ::setenv("ProgramData", previous_->c_str(), 1);
        else
            ::unsetenv("ProgramData");
        std::error_code ec;
        std::filesystem::remove_all(base_, ec);
    }
    TempDataDir(const TempDataDir&) = delete;
    TempDataDir& operator=(const TempDataDir&) = delete;

    const std::filesystem::path& base() const { return base_; }
    std::filesystem::path dir() const { return base_ / "Tarnelle" / "RelayServer"; }

private:
    std::filesystem::path base_;
    std::optional<std::string> previous_;
};

inline std::string readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// The names of the entries of `dir`, sorted.
inline std::vector<std::string> fileNames(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

inline void writeBytes(const std::filesystem::path& path, const std::string& bytes,
                       bool append = false) {
    std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    out << bytes;
}

} // namespace tnlrelay::test
