// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "latencyHistogram.h"

using kelvo::recording::LatencyHistogram;

TEST(LatencyHistogram, QuantilesAreExactForShortLatenciesAndWithinTwoPercentForLongOnes) {
    LatencyHistogram empty;
    EXPECT_EQ(empty.quantile(0.5), 0.0);

    LatencyHistogram shortOnes;
    for (int t = 1; t <= 100; ++t) shortOnes.add(t);
    EXPECT_EQ(shortOnes.quantile(0.5), 50.0);
    EXPECT_EQ(shortOnes.quantile(0.99), 99.0);
    EXPECT_EQ(shortOnes.quantile(1.0), 100.0);
    EXPECT_EQ(shortOnes.quantile(0.0), 1.0);

    // 1 µs to 1 s in 100 ns ticks, in steps of 1 µs.
    LatencyHistogram longOnes;
    for (int64_t t = 10; t <= 10000000; t += 10) longOnes.add(t);
    EXPECT_EQ(longOnes.count(), 1000000u);
    EXPECT_NEAR(longOnes.quantile(0.5), 5000000.0, 5000000.0 * 0.02);
    EXPECT_NEAR(longOnes.quantile(0.99), 9900000.0, 9900000.0 * 0.02);
}

TEST(LatencyHistogram, NegativeAndHugeLatenciesAreCountedAtTheEnds) {
    LatencyHistogram h;
    h.add(-5);  // clocks that disagree by a tick
    h.add(INT64_MAX);
    EXPECT_EQ(h.count(), 2u);
    EXPECT_EQ(h.quantile(0.5), 0.0);
    EXPECT_GT(h.quantile(1.0), 1e14);
}
