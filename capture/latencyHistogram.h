// SPDX-License-Identifier: MIT
// Counts latencies into fixed buckets, so that a subscriber can give the
// median and the 99th percentile of millions of messages without keeping
// them: exact below 128 ticks, then 64 buckets per doubling (within 1.6 %).
#pragma once

#include <array>
#include <cstdint>

namespace kelvo::recording {

class LatencyHistogram {
public:
    // `ticks` below zero count as zero.
    void add(int64_t ticks);
    uint64_t count() const { return count_; }
    // The latency that `fraction` (0..1) of the counted ones do not exceed,
    // as the middle of its bucket; 0 when nothing was counted.
    double quantile(double fraction) const;

private:
    static constexpr int kExactBelow = 128;
    static constexpr int kPerDoubling = 64;
    // Up to 2^47 ticks (about 160 days); longer ones share the last bucket.
    static constexpr int kBuckets = kExactBelow + 40 * kPerDoubling;
    static int bucketOf(uint64_t ticks);
    static double middleOf(int bucket);

    std::array<uint64_t, kBuckets> counts_{};
    uint64_t count_ = 0;
};

}  // namespace kelvo::recording
