// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>

#include "spanLabel.h"

using kelvo::formatSpan;
using kelvo::SampleRateMeter;

namespace {

std::string span(uint32_t samples, double rate) {
    char text[48];
    formatSpan(text, sizeof text, samples, rate);
    return text;
}

TEST(SpanLabel, SaysTheTimeAcrossInTwoFiguresOrTheSamplesWhileTheRateIsUnknown) {
    EXPECT_EQ(span(2000, 0), "2000 samples across");
    EXPECT_EQ(span(1600, 1000), "1.6 s across");
    EXPECT_EQ(span(2000, 1000), "2.0 s across");
    EXPECT_EQ(span(8000, 500), "16 s across");
    EXPECT_EQ(span(2000, 5000), "400 ms across");
    EXPECT_EQ(span(10, 2000), "5.0 ms across");
    char tiny[6];
    formatSpan(tiny, sizeof tiny, 2000, 1000);
    EXPECT_EQ(std::string(tiny), "2.0 s");
}

TEST(SampleRateMeter, MeasuresOverWholeSecondsAndKeepsTheLastRateThroughAPause) {
    SampleRateMeter meter;
    meter.add(5000, 10.0);  // a backlog from before the window's clock: not counted
    EXPECT_EQ(meter.rate(), 0.0);
    for (int cycle = 1; cycle <= 34; ++cycle) meter.add(30, 10.0 + cycle * 0.030);
    EXPECT_NEAR(meter.rate(), 1000.0, 1.0);
    // A second without samples (the stream paused) keeps the estimate.
    meter.add(0, 12.1);
    EXPECT_NEAR(meter.rate(), 1000.0, 1.0);
    meter.add(2000, 12.6);
    EXPECT_NEAR(meter.rate(), 1000.0, 1.0);
    meter.add(2000, 13.1);
    EXPECT_NEAR(meter.rate(), 4000.0, 1.0);
    meter.reset();
    EXPECT_EQ(meter.rate(), 0.0);
}

}  // namespace
