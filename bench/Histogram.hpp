// Latency histogram with about 1.5 % resolution over nanoseconds to minutes, cheap enough to
// record every delivery of a run.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace tnlrelay::bench {

class Histogram {
public:
    void record(std::uint64_t ns) {
        ++buckets_[bucketOf(ns)];
        ++count_;
        if (ns > max_) max_ = ns;
    }
    std::uint64_t count() const { return count_; }
    std::uint64_t max() const { return max_; }
    /// The upper edge of the bucket holding the given fraction (0..1) of the samples, capped at
    /// the largest sample; 0 without samples.
    std::uint64_t quantile(double q) const {
        if (!count_) return 0;
        auto rank = static_cast<std::uint64_t>(q * double(count_));
        if (rank >= count_) rank = count_ - 1;
        std::uint64_t seen = 0;
        for (unsigned b = 0; b < kBuckets; ++b) {
            seen += buckets_[b];
            if (seen > rank) {
                const std::uint64_t edge = upperEdge(b);
                return edge < max_ ? edge : max_;
            }
        }
        return max_;
    }

private:
    static constexpr unsigned kSubBits = 6; // 64 buckets per power of two
    static constexpr unsigned kBuckets = (64 - kSubBits + 1) << kSubBits;

    static unsigned bucketOf(std::uint64_t v) {
        if (v < (1u << kSubBits)) return static_cast<unsigned>(v);
        const unsigned top = 63 - static_cast<unsigned>(std::countl_zero(v)); // >= kSubBits
        const unsigned shift = top - kSubBits;
        const auto sub = static_cast<unsigned>((v >> shift) & ((1u << kSubBits) - 1));
        return ((shift + 1) << kSubBits) | sub;
    }
    static std::uint64_t upperEdge(unsigned b) {
        const unsigned group = b >> kSubBits;
        const std::uint64_t sub = b & ((1u << kSubBits) - 1);
        if (group == 0) return sub;
        const unsigned shift = group - 1;
        return (((std::uint64_t(1) << kSubBits) | sub) << shift) +
               ((std::uint64_t(1) << shift) - 1);
    }

    std::array<std::uint64_t, kBuckets> buckets_{};
    std::uint64_t count_ = 0;
    std::uint64_t max_ = 0;
};

} // namespace tnlrelay::bench
