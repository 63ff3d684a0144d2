// SPDX-License-Identifier: MIT
// How a remote clock runs against this machine's, from timed exchanges
// with it: nothing here talks to anything.
//
// An exchange has four stamps, t1 (sent, local), t2 (received, remote),
// t3 (replied, remote), t4 (received back, local). Its round trip less
// the remote's own time, (t4 - t1) - (t3 - t2), bounds how wrong its
// offset ((t2 - t1) + (t3 - t4)) / 2 can be: by half of it, however the
// delays split between the two ways. So of each burst of exchanges only
// the one with the smallest round trip counts, and the offset and drift
// come from a line through those of the bursts of the last minute or so,
// weighted by their round trips, a burst that does not fit dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>

namespace kelvo::recording {

struct ClockEstimate {
    int64_t localTicks = 0;       // when it was made
    double offsetTicks = 0;       // remote minus local at localTicks
    double driftPpm = 0;          // how much faster the remote clock runs
    double uncertaintyTicks = 0;  // how far off offsetTicks may be
    int64_t roundTripTicks = 0;   // the smallest round trip the fit stands on
};

struct TimeExchange {
    int64_t clientSent = 0;      // t1
    int64_t serverReceived = 0;  // t2
    int64_t serverReplied = 0;   // t3
    int64_t clientReceived = 0;  // t4

    int64_t roundTrip() const { return (clientReceived - clientSent) - (serverReplied - serverReceived); }
    double offset() const;
    // The local moment the offset belongs to: the middle of the exchange.
    double localMiddle() const;
    // Stamps in order on each side and a round trip of 0 or more.
    bool plausible() const;
};

// The remote clock's ticks at `localTicks` by `estimate`.
double remoteAt(const ClockEstimate &estimate, int64_t localTicks);
// The local ticks at which the remote clock read `remoteTicks`: the
// inverse of remoteAt.
int64_t localAt(const ClockEstimate &estimate, int64_t remoteTicks);

class ClockFit {
public:
    static constexpr int64_t kDefaultWindowTicks = 64 * 10'000'000LL;

    explicit ClockFit(int64_t windowTicks = kDefaultWindowTicks) : windowTicks_(windowTicks) {}

    // One burst's exchanges (implausible ones are ignored); false when
    // none was plausible, and the estimate stays as it was.
    bool addBurst(std::span<const TimeExchange> exchanges);
    // From the bursts of the window, made at the latest burst's end;
    // nullopt before the first.
    std::optional<ClockEstimate> estimate() const { return estimate_; }
    // How many bursts the window holds, and how many of them the last fit
    // left out as not fitting.
    size_t bursts() const { return points_.size(); }
    size_t outliers() const { return outliers_; }

    // One burst reduced to its best exchange.
    struct Point {
        double local = 0;   // the exchange's middle, local ticks
        double offset = 0;  // remote minus local
        int64_t roundTrip = 0;
    };

private:
    void refit(int64_t madeAt);

    int64_t windowTicks_;
    std::deque<Point> points_;
    std::optional<ClockEstimate> estimate_;
    size_t outliers_ = 0;
};

}  // namespace kelvo::recording
