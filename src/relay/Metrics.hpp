// Counting what the relay does, for monitoring: the core's counters, the text format that
// Prometheus scrapes, and the short history of one sample a second that the admin page charts.
// Nothing here is shared between threads: the loop thread counts, renders and samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tnlrelay {

/// The admin page's charts span this many one-second samples.
inline constexpr std::size_t kStatsHistorySeconds = 900;

/// Events the core counts. Plain integers: incremented on the loop thread, read by it.
struct RelayCounters {
    std::uint64_t joins = 0;
    std::uint64_t leaves = 0;
    std::uint64_t refusedBanned = 0;
    std::uint64_t refusedMissingRoom = 0;
    std::uint64_t refusedNotWebSocket = 0; ///< game requests that are neither /rooms nor upgrades
    std::uint64_t refusedLimits = 0;       ///< joins refused by an abuse limit
    std::uint64_t kicks = 0;
    std::uint64_t bans = 0;
    std::uint64_t unbans = 0;
    std::uint64_t configSavesFailed = 0;
};

/// One second of the relay as the admin page charts it.
struct StatsSample {
    std::int64_t time = 0; ///< Unix time in seconds at the end of the second
    std::uint64_t players = 0;
    std::uint64_t messagesIn = 0; ///< during this second
    std::uint64_t messagesOut = 0;
    std::uint64_t bytesIn = 0;
    std::uint64_t bytesOut = 0;
    double loopLag = 0; ///< the longest loop turn of this second, in seconds
};

/// The newest samples, at most `capacity`, oldest first.
class StatsRing {
public:
    explicit StatsRing(std::size_t capacity);
    void push(const StatsSample& sample);
    std::size_t size() const { return size_; }
    /// The i-th sample, 0 the oldest.
    const StatsSample& at(std::size_t i) const;
    /// The newest sample; only when size() > 0.
    const StatsSample& newest() const { return at(size_ - 1); }

private:
    std::vector<StatsSample> slots_;
    std::size_t start_ = 0;
    std::size_t size_ = 0;
};

/// Writes the Prometheus text exposition format, version 0.0.4: one family per call, each with
/// its HELP and TYPE lines. Names and label names are given by the caller and trusted; label
/// values are escaped.
class MetricsWriter {
public:
    using Labels = std::initializer_list<std::pair<std::string_view, std::string_view>>;
    struct Labelled {
        Labels labels;
        double value;
    };

    void gauge(std::string_view name, std::string_view help, double value);
    void counter(std::string_view name, std::string_view help, std::uint64_t value);
    /// One family whose series differ by their labels.
    void family(std::string_view name, std::string_view type, std::string_view help,
                std::initializer_list<Labelled> series);
    /// A histogram from per-bucket (not cumulative) counts; `counts` has one more entry than
    /// `bounds`, the turns above the last bound.
    void histogram(std::string_view name, std::string_view help, const double* bounds,
                   const std::uint64_t* counts, std::size_t boundCount, double sum);

    const std::string& text() const { return out_; }

private:
    void header(std::string_view name, std::string_view type, std::string_view help);
    void sample(std::string_view name, Labels labels, double value);
    void sampleRaw(std::string_view name, std::string_view labelText, double value);
    void sampleRaw(std::string_view name, std::string_view labelText, std::string_view value);

    std::string out_;
};

/// A number as Prometheus reads it: integers without a fraction, +Inf, NaN.
std::string metricNumber(double value);

/// When this process started, in Unix seconds.
double processStartTime();

} // namespace tnlrelay
