// SPDX-License-Identifier: MIT
#include "sampleClock.h"

#include <algorithm>
#include <cmath>

#include "atomics.h"
#include "clock.h"
#include "errors.h"
#include "kelvo.h"
#include "seqLock.h"
#include "slots.h"

using namespace kelvo;

namespace {

// Arrivals are kept as the earliest of each span; a fit spans the window.
// The earliest arrivals do not lie on one line: how late the quickest
// reads come wanders by tens of microseconds over seconds (the host's other
// work, other devices' blocks coming at the same moment). A shorter window
// follows that wander and makes the fit worse; 32 s keeps it within it.
constexpr int64_t kSpanTicks = 25 * kTicksPerMs;
constexpr int64_t kWindowTicks = 32 * kTicksPerSecond;
constexpr uint32_t kSpans = static_cast<uint32_t>(kWindowTicks / kSpanTicks) + 2;
// Until this many spans are kept, every arrival refits: the first fits
// come from few points and improve quickly.
constexpr uint32_t kEarlySpans = 8;
constexpr uint32_t kResiduals = 64;

struct Point {
    int64_t index;
    int64_t ticks;
};

// What readers see of a fit.
struct FitRecord {
    int64_t originIndex;
    double originTicks;
    double periodTicks;
    double jitterTicks;
    int64_t samplesFitted;
    int64_t valid;
};

// The I/O thread's working state of one slot's clock.
struct ClockFit {
    int64_t startTicks = 0;
    bool startSent = false;
    Point spans[kSpans];  // earliest arrival of each closed span, oldest first
    uint32_t oldest = 0;
    uint32_t count = 0;
    Point current{};  // earliest arrival of the open span
    int64_t currentSpanStart = 0;
    bool hasCurrent = false;
    int64_t residuals[kResiduals];
    uint32_t residualCount = 0;
    FitRecord fit{};
};

ClockFit fits[kSlots];
SeqLock<FitRecord> published[kSlots];
int64_t latencyTicks[kSlots];

double lineAt(const FitRecord &fit, int64_t index) {
    return fit.originTicks + static_cast<double>(index - fit.originIndex) * fit.periodTicks;
}

// How far the arrival lies above the line; the further below, the better a
// candidate for its span.
double lateness(const FitRecord &fit, const Point &p) { return static_cast<double>(p.ticks) - lineAt(fit, p.index); }

const Point &spanAt(const ClockFit &c, uint32_t k) { return c.spans[(c.oldest + k) % kSpans]; }

// Cross product of (a - o) and (b - o): positive when o, a, b turn left.
__int128 turn(const Point &o, const Point &a, const Point &b) {
    return static_cast<__int128>(a.index - o.index) * (b.ticks - o.ticks) -
           static_cast<__int128>(a.ticks - o.ticks) * (b.index - o.index);
}

// The kept arrivals in index order (a point that does not move the index
// forward is left out), the open span's last.
uint32_t gatherPoints(const ClockFit &c, Point *points) {
    uint32_t n = 0;
    auto keep = [&](const Point &p) {
        if (n == 0 || p.index > points[n - 1].index) points[n++] = p;
    };
    for (uint32_t k = 0; k < c.count; ++k) keep(spanAt(c, k));
    if (c.hasCurrent) keep(c.current);
    return n;
}

// The line below every point that lies closest to them on average runs
// along the lower hull's edge above their mean index.
bool envelopeLine(const Point *points, uint32_t n, FitRecord &fit) {
    if (n < 2) return false;
    Point hull[kSpans + 1];
    uint32_t h = 0;
    long double indexSum = 0;
    for (uint32_t k = 0; k < n; ++k) {
        while (h >= 2 && turn(hull[h - 2], hull[h - 1], points[k]) <= 0) --h;
        hull[h++] = points[k];
        indexSum += static_cast<long double>(points[k].index - points[0].index);
    }
    const auto mean = static_cast<double>(indexSum / n) + static_cast<double>(points[0].index);
    uint32_t e = 0;
    while (e + 2 < h && static_cast<double>(hull[e + 1].index) < mean) ++e;
    const Point &a = hull[e];
    const Point &b = hull[e + 1];
    const double period = static_cast<double>(b.ticks - a.ticks) / static_cast<double>(b.index - a.index);
    if (!(period > 0)) return false;
    fit.originIndex = a.index;
    fit.originTicks = static_cast<double>(a.ticks);
    fit.periodTicks = period;
    return true;
}

// With one arrival only, the line runs from when the start command went out
// to that arrival.
void bootstrapLine(const ClockFit &c, const Point &p, FitRecord &fit) {
    const double elapsed = static_cast<double>(p.ticks - c.startTicks);
    fit.originIndex = p.index;
    fit.originTicks = static_cast<double>(p.ticks);
    fit.periodTicks = std::max(elapsed / static_cast<double>(p.index + 1), 1.0);
}

double medianResidual(const ClockFit &c) {
    int64_t copy[kResiduals];
    const uint32_t n = std::min(c.residualCount, kResiduals);
    std::copy(c.residuals, c.residuals + n, copy);
    const uint32_t middle = n / 2;
    std::nth_element(copy, copy + middle, copy + n);
    return static_cast<double>(copy[middle]);
}

void refit(int dev, ClockFit &c) {
    Point points[kSpans + 1];
    const uint32_t n = gatherPoints(c, points);
    if (!envelopeLine(points, n, c.fit)) {
        if (c.fit.valid != 0) return;
        bootstrapLine(c, points[0], c.fit);
    }
    c.fit.valid = 1;
    c.fit.jitterTicks = c.residualCount != 0 ? medianResidual(c) : 0.0;
    published[dev].write(c.fit);
}

void forgetOldSpans(ClockFit &c, int64_t now) {
    while (c.count != 0 && (c.count == kSpans || now - spanAt(c, 0).ticks > kWindowTicks)) {
        c.oldest = (c.oldest + 1) % kSpans;
        --c.count;
    }
}

// Returns whether a span closed.
bool keepEarliest(ClockFit &c, const Point &p) {
    if (c.hasCurrent && p.ticks - c.currentSpanStart < kSpanTicks) {
        if (lateness(c.fit, p) < lateness(c.fit, c.current)) c.current = p;
        return false;
    }
    const bool closed = c.hasCurrent;
    if (closed) {
        forgetOldSpans(c, p.ticks);
        c.spans[(c.oldest + c.count) % kSpans] = c.current;
        ++c.count;
    }
    c.current = p;
    c.currentSpanStart = p.ticks;
    c.hasCurrent = true;
    return closed;
}

void noteResidual(ClockFit &c, const Point &p) {
    const double above = lateness(c.fit, p);
    c.residuals[c.residualCount % kResiduals] = std::max<int64_t>(std::llround(above), 0);
    ++c.residualCount;
}

}  // namespace

namespace kelvo {

void restartSampleClock(int dev, int64_t nowTicks) {
    ClockFit &c = fits[dev];
    c.startTicks = nowTicks;
    c.startSent = false;
    c.oldest = c.count = c.residualCount = 0;
    c.hasCurrent = false;
    c.fit = FitRecord{};
    published[dev].write(c.fit);
}

void noteStartSent(int dev, int64_t nowTicks) {
    ClockFit &c = fits[dev];
    if (c.fit.valid != 0 || c.startSent) return;
    c.startTicks = std::max(c.startTicks, nowTicks);
    c.startSent = true;
}

void noteArrival(int dev, int64_t lastIndex, uint32_t completed, int64_t arrivalTicks) {
    ClockFit &c = fits[dev];
    const Point p{lastIndex, arrivalTicks};
    c.fit.samplesFitted += completed;
    if (c.fit.valid != 0) noteResidual(c, p);
    const bool closed = keepEarliest(c, p);
    // An arrival below the line would be a sample seen before it was
    // measured: the line moves down at once.
    const bool early = c.fit.valid != 0 && lateness(c.fit, p) < 0;
    if (closed || early || c.count < kEarlySpans || c.fit.valid == 0) {
        refit(dev, c);
    } else {
        published[dev].write(c.fit);  // the count of samples fitted moved on
    }
}

bool sampleTicksOf(int dev, int64_t index, int64_t &ticks) {
    const FitRecord fit = published[dev].read();
    if (fit.valid == 0) return false;
    ticks = std::llround(lineAt(fit, index)) - loadRelaxed(latencyTicks[dev]);
    return true;
}

}  // namespace kelvo

namespace {

bool refuseWithoutClock(const char *name, int dev, const void *out, FitRecord &fit) {
    if (refuseSlot(name, dev, {.open = false, .healthyPort = false})) return true;
    fit = published[dev].read();
    const char *why = nullptr;
    if (out == nullptr) why = "the result pointer must not be NULL";
    else if (fit.valid == 0) why = "no sample clock yet: the stream has delivered no samples";
    if (why == nullptr) return false;
    buildErrMsg(dev, name, why);
    return true;
}

}  // namespace

extern "C" {

KELVO_API int kelvoGetSampleClock(int dev, kelvoSampleClock *clock) noexcept {
    FitRecord fit{};
    if (refuseWithoutClock("kelvoGetSampleClock", dev, clock, fit)) return KELVO_REFUSED;
    clock->originIndex = fit.originIndex;
    clock->originTicks = fit.originTicks - static_cast<double>(loadRelaxed(latencyTicks[dev]));
    clock->periodTicks = fit.periodTicks;
    clock->rateHz = static_cast<double>(kTicksPerSecond) / fit.periodTicks;
    clock->jitterUs = fit.jitterTicks / 10.0;
    clock->samplesFitted = fit.samplesFitted;
    return KELVO_OK;
}

KELVO_API int kelvoGetSampleTimes(int dev, int64_t firstIndex, int count, int64_t *ticks) noexcept {
    static const char kName[] = "kelvoGetSampleTimes";
    FitRecord fit{};
    const void *out = count == 0 && ticks == nullptr ? static_cast<const void *>(&fit) : ticks;
    if (refuseWithoutClock(kName, dev, out, fit)) return KELVO_REFUSED;
    if (count < 0) {
        buildErrMsg(dev, kName, "negative sample count");
        return KELVO_REFUSED;
    }
    const int64_t latency = loadRelaxed(latencyTicks[dev]);
    for (int k = 0; k < count; ++k) ticks[k] = std::llround(lineAt(fit, firstIndex + k)) - latency;
    return count;
}

KELVO_API int kelvoSetSampleLatency(int dev, int64_t ticks) noexcept {
    static const char kName[] = "kelvoSetSampleLatency";
    if (refuseSlot(kName, dev, {.open = false, .healthyPort = false})) return KELVO_REFUSED;
    if (ticks < 0) {
        buildErrMsg(dev, kName, "the latency must not be negative");
        return KELVO_REFUSED;
    }
    storeRelease(latencyTicks[dev], ticks);
    return KELVO_OK;
}

}  // extern "C"
