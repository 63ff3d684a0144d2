// SPDX-License-Identifier: MIT
#include "latencyHistogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace kelvo::recording {

int LatencyHistogram::bucketOf(uint64_t ticks) {
    if (ticks < kExactBelow) return static_cast<int>(ticks);
    // The top seven bits of `ticks`: 64..127, scaled by 2^shift.
    const int shift = static_cast<int>(std::bit_width(ticks)) - 7;
    const auto top = static_cast<int>(ticks >> shift);
    return std::min(kBuckets - 1, kExactBelow + (shift - 1) * kPerDoubling + top - kPerDoubling);
}

double LatencyHistogram::middleOf(int bucket) {
    if (bucket < kExactBelow) return bucket;
    const int shift = (bucket - kExactBelow) / kPerDoubling + 1;
    const int top = (bucket - kExactBelow) % kPerDoubling + kPerDoubling;
    return std::ldexp(top + 0.5, shift);
}

void LatencyHistogram::add(int64_t ticks) {
    ++counts_[static_cast<size_t>(bucketOf(ticks < 0 ? 0 : static_cast<uint64_t>(ticks)))];
    ++count_;
}

double LatencyHistogram::quantile(double fraction) const {
    if (count_ == 0) return 0;
    // The rank of the wanted latency among the counted ones, from 1.
    const auto rank = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(std::clamp(fraction, 0.0, 1.0) *
                                                                            static_cast<double>(count_))));
    uint64_t seen = 0;
    for (int b = 0; b < kBuckets; ++b) {
        seen += counts_[static_cast<size_t>(b)];
        if (seen >= rank) return middleOf(b);
    }
    return middleOf(kBuckets - 1);
}

}  // namespace kelvo::recording
