// SPDX-License-Identifier: MIT
#include "clockFit.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace kelvo::recording {

namespace {

// Fewer points than this are no ground for dropping any of them.
constexpr size_t kFewestToJudge = 4;
// Newer bursts that all miss the line by this many in a row mean the
// remote clock stepped (its machine or program restarted): the older
// bursts no longer tell of it.
constexpr size_t kMissesForAStep = 3;
constexpr size_t kMostPoints = 256;
// A residual this small always fits, however tight the others are: the
// ticks themselves are 100 ns.
constexpr double kResidualFloorTicks = 20;

struct Line {
    double offset = 0;  // at x = 0
    double slope = 0;
    double rmsResidual = 0;
    int64_t smallestRoundTrip = 0;
};

double median(std::vector<double> values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// What the fit makes of each point of the window.
enum class Use : char { kept, slow, misfit };

// Bursts whose best exchange took far longer than the usual were held up
// on the way; how their delay split is anyone's guess.
std::vector<Use> judgeRoundTrips(const std::deque<ClockFit::Point> &points) {
    std::vector<double> trips;
    trips.reserve(points.size());
    for (const auto &p : points) trips.push_back(static_cast<double>(p.roundTrip));
    const double limit = 2 * median(trips) + kResidualFloorTicks;
    std::vector<Use> uses;
    for (const auto &p : points) {
        const bool slow = points.size() >= kFewestToJudge && static_cast<double>(p.roundTrip) > limit;
        uses.push_back(slow ? Use::slow : Use::kept);
    }
    return uses;
}

// The weighted least-squares line through the kept points, x relative to
// `at`; weights fall with the round trip, which bounds each point's error.
Line fitLine(const std::deque<ClockFit::Point> &points, const std::vector<Use> &uses, double at) {
    int64_t smallest = INT64_MAX;
    for (size_t k = 0; k < points.size(); ++k) {
        if (uses[k] == Use::kept) smallest = std::min(smallest, points[k].roundTrip);
    }
    const double reference = points.back().offset;
    double sw = 0;
    double sx = 0;
    double sy = 0;
    std::vector<double> w(points.size(), 0);
    for (size_t k = 0; k < points.size(); ++k) {
        if (uses[k] != Use::kept) continue;
        const double trip = static_cast<double>(points[k].roundTrip + smallest) + 1;
        w[k] = 1 / (trip * trip);
        sw += w[k];
        sx += w[k] * (points[k].local - at);
        sy += w[k] * (points[k].offset - reference);
    }
    const double mx = sx / sw;
    const double my = sy / sw;
    double sxx = 0;
    double sxy = 0;
    for (size_t k = 0; k < points.size(); ++k) {
        const double dx = points[k].local - at - mx;
        sxx += w[k] * dx * dx;
        sxy += w[k] * dx * (points[k].offset - reference - my);
    }
    Line line;
    line.slope = sxx > 0 ? sxy / sxx : 0;
    line.offset = reference + my - line.slope * mx;
    line.smallestRoundTrip = smallest;
    double squares = 0;
    for (size_t k = 0; k < points.size(); ++k) {
        if (uses[k] != Use::kept) continue;
        const double r = points[k].offset - (line.offset + line.slope * (points[k].local - at));
        squares += w[k] * r * r;
    }
    line.rmsResidual = std::sqrt(squares / sw);
    return line;
}

// The median of the slopes between every two points and the median
// offset about it: a line that a few points far off do not move, to
// judge the points by before the weighted fit.
Line medianLine(const std::deque<ClockFit::Point> &points, const std::vector<Use> &uses, double at) {
    std::vector<double> slopes;
    for (size_t i = 0; i < points.size(); ++i) {
        for (size_t j = i + 1; j < points.size(); ++j) {
            if (uses[i] != Use::kept || uses[j] != Use::kept || points[j].local == points[i].local) continue;
            slopes.push_back((points[j].offset - points[i].offset) / (points[j].local - points[i].local));
        }
    }
    Line line;
    line.slope = slopes.empty() ? 0 : median(slopes);
    std::vector<double> offsets;
    for (size_t k = 0; k < points.size(); ++k) {
        if (uses[k] == Use::kept) offsets.push_back(points[k].offset - line.slope * (points[k].local - at));
    }
    line.offset = median(offsets);
    return line;
}

double residual(const ClockFit::Point &p, const Line &line, double at) {
    return p.offset - (line.offset + line.slope * (p.local - at));
}

// Drops the kept points that miss the line by far more than the others
// do; false when it dropped none.
bool dropMisfits(const std::deque<ClockFit::Point> &points, std::vector<Use> &uses, const Line &line, double at) {
    std::vector<double> misses;
    for (size_t k = 0; k < points.size(); ++k) {
        if (uses[k] == Use::kept) misses.push_back(std::fabs(residual(points[k], line, at)));
    }
    if (misses.size() < kFewestToJudge) return false;
    const double limit = std::max(4 * 1.4826 * median(misses), kResidualFloorTicks);
    size_t dropping = 0;
    for (size_t k = 0; k < points.size(); ++k) {
        if (uses[k] == Use::kept && std::fabs(residual(points[k], line, at)) > limit) ++dropping;
    }
    // Never the most of them: then the line itself is what is wrong.
    if (dropping == 0 || 2 * dropping >= misses.size()) return false;
    for (size_t k = 0; k < points.size(); ++k) {
        if (uses[k] == Use::kept && std::fabs(residual(points[k], line, at)) > limit) uses[k] = Use::misfit;
    }
    return true;
}

// How many of the newest points the fit left out in a row, and how many
// of those missed the line (rather than being slow).
struct LeftOut {
    size_t points = 0;
    size_t misfits = 0;
};

LeftOut newestLeftOut(const std::vector<Use> &uses) {
    LeftOut out;
    for (auto k = uses.rbegin(); k != uses.rend() && *k != Use::kept; ++k) {
        ++out.points;
        if (*k == Use::misfit) ++out.misfits;
    }
    return out;
}

}  // namespace

double TimeExchange::offset() const {
    return static_cast<double>((serverReceived - clientSent) + (serverReplied - clientReceived)) / 2;
}

double TimeExchange::localMiddle() const {
    return static_cast<double>(clientSent) + static_cast<double>(clientReceived - clientSent) / 2;
}

bool TimeExchange::plausible() const {
    return clientReceived >= clientSent && serverReplied >= serverReceived && roundTrip() >= 0;
}

double remoteAt(const ClockEstimate &estimate, int64_t localTicks) {
    const auto since = static_cast<double>(localTicks - estimate.localTicks);
    return static_cast<double>(localTicks) + estimate.offsetTicks + estimate.driftPpm * 1e-6 * since;
}

// remote = local + offset + drift (local - made): solved for local,
// relative to the estimate's moment, where the numbers are small.
int64_t localAt(const ClockEstimate &estimate, int64_t remoteTicks) {
    // In doubles, exact for any tick count a clock reaches: a sender's
    // ticks are not trusted to keep an integer difference in range.
    const double remoteSince =
        static_cast<double>(remoteTicks) - static_cast<double>(estimate.localTicks) - estimate.offsetTicks;
    const double local = static_cast<double>(estimate.localTicks) + remoteSince / (1 + estimate.driftPpm * 1e-6);
    constexpr double kFarthest = 9.2e18;  // inside int64_t's range
    return static_cast<int64_t>(std::llround(std::clamp(local, -kFarthest, kFarthest)));
}

bool ClockFit::addBurst(std::span<const TimeExchange> exchanges) {
    const TimeExchange *best = nullptr;
    int64_t madeAt = INT64_MIN;
    for (const TimeExchange &e : exchanges) {
        if (!e.plausible()) continue;
        madeAt = std::max(madeAt, e.clientReceived);
        if (best == nullptr || e.roundTrip() < best->roundTrip()) best = &e;
    }
    if (best == nullptr) return false;
    points_.push_back({best->localMiddle(), best->offset(), best->roundTrip()});
    const auto oldest = static_cast<double>(madeAt - windowTicks_);
    while (points_.size() > kMostPoints || (points_.size() > 1 && points_.front().local < oldest)) points_.pop_front();
    refit(madeAt);
    return true;
}

void ClockFit::refit(int64_t madeAt) {
    const auto at = static_cast<double>(madeAt);
    std::vector<Use> uses = judgeRoundTrips(points_);
    dropMisfits(points_, uses, medianLine(points_, uses, at), at);
    Line line = fitLine(points_, uses, at);
    if (dropMisfits(points_, uses, line, at)) line = fitLine(points_, uses, at);
    const LeftOut newest = newestLeftOut(uses);
    if (newest.misfits >= kMissesForAStep && newest.points < points_.size()) {
        points_.erase(points_.begin(), points_.end() - static_cast<std::ptrdiff_t>(newest.points));
        refit(madeAt);
        return;
    }
    outliers_ = static_cast<size_t>(std::count_if(uses.begin(), uses.end(), [](Use u) { return u != Use::kept; }));
    ClockEstimate e;
    e.localTicks = madeAt;
    e.offsetTicks = line.offset;
    e.driftPpm = line.slope * 1e6;
    e.roundTripTicks = line.smallestRoundTrip;
    e.uncertaintyTicks = static_cast<double>(line.smallestRoundTrip) / 2 + line.rmsResidual;
    estimate_ = e;
}

}  // namespace kelvo::recording
