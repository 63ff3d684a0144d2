// SPDX-License-Identifier: MIT
#include "captureRun.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

namespace kelvo::cli {

namespace {

void printAnswer(void *, const char *device, const char *command, const char *answer) {
    std::fprintf(stderr, "%s answered '%s': %s\n", device, command, answer);
}

}  // namespace

CaptureRun::CaptureRun(const std::vector<std::string> &devices, const std::vector<std::string> &config)
    : capture_(kelvoCaptureCreate(), kelvoCaptureDestroy) {
    if (!capture_) throw Failure("no memory for a capture session");
    for (const std::string &d : devices) check(kelvoCaptureAddDevice(capture_.get(), d.c_str()));
    for (const std::string &c : config) check(kelvoCaptureAddConfig(capture_.get(), c.c_str()));
    check(kelvoCaptureSetAnswerCallback(capture_.get(), printAnswer, nullptr));
}

void CaptureRun::check(int result) const {
    if (result == KELVO_OK) return;
    throw Failure(kelvoCaptureGetError(capture_.get()), kelvoCaptureErrorIsUsage(capture_.get()) ? 2 : 1);
}

void CaptureRun::setReconnect(const Arguments &args) {
    const double giveUp = args.number("give-up").value_or(0);
    check(kelvoCaptureSetReconnect(capture_.get(), args.flag("no-reconnect") ? 0 : 1,
                                   static_cast<int>(std::lround(giveUp * 1000))));
}

void CaptureRun::takeMarkersFrom(const std::string &from) {
    if (!from.empty()) check(kelvoCaptureAddMarkerSource(capture_.get(), from.c_str()));
}

void CaptureRun::secureWith(const Arguments &args) {
    const std::string dir = args.text("curve-keys");
    if (!dir.empty()) check(kelvoCaptureSetCurveKeys(capture_.get(), dir.c_str()));
}

void CaptureRun::listenForControl(const std::string &endpoint) {
    if (!endpoint.empty()) check(kelvoCaptureSetControl(capture_.get(), endpoint.c_str()));
}

void CaptureRun::open() { check(kelvoCaptureOpen(capture_.get())); }

namespace {

// "taking markers", or what another role's socket is for.
std::string listening(const std::string &role) {
    if (role == "markers") return "taking markers";
    if (role == "time") return "time service";
    if (role == "control") return "control";
    return "listening for " + role;
}

}  // namespace

void CaptureRun::printListeners(const std::string &skipRole, const std::string &onlyRole) const {
    kelvoCaptureListener l{};
    for (int k = 0; kelvoCaptureGetListener(capture_.get(), k, &l) == KELVO_OK; ++k) {
        const std::string role = l.role;
        // The control socket is told of once the run streams (run()).
        if (role == skipRole || (onlyRole.empty() ? role == "control" : role != onlyRole)) continue;
        std::fprintf(stderr, "%s on %s%s\n", listening(role).c_str(), l.endpoint, l.curve ? " (CURVE)" : "");
    }
}

std::string CaptureRun::boundEndpoint(const std::string &role) const {
    kelvoCaptureListener l{};
    for (int k = 0; kelvoCaptureGetListener(capture_.get(), k, &l) == KELVO_OK; ++k) {
        if (l.role == role) return l.endpoint;
    }
    return {};
}

void CaptureRun::printRefusals() const {
    kelvoCaptureListener l{};
    for (int k = 0; kelvoCaptureGetListener(capture_.get(), k, &l) == KELVO_OK; ++k) {
        if (l.refused == 0) continue;
        std::printf("refused %" PRIu64 " %s on %s: not an authorized CURVE client\n", l.refused,
                    l.refused == 1 ? "connection" : "connections", l.endpoint);
    }
}

double CaptureRun::run(double seconds) {
    using Clock = std::chrono::steady_clock;
    check(kelvoCaptureStart(capture_.get()));
    // Once the run streams, so that a script that waits for the line finds
    // every command taken.
    printListeners({}, "control");
    const Clock::time_point start = Clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    // The wait wakes at once when the session ends by itself; an interrupt
    // is seen within a round.
    while (!interrupted && (seconds < 0 || elapsed() < seconds) &&
           kelvoCaptureWait(capture_.get(), 100) == KELVO_TIMEOUT) {
    }
    const double taken = elapsed();
    if (kelvoCaptureStop(capture_.get()) != KELVO_OK) failure_ = kelvoCaptureGetError(capture_.get());
    return taken;
}

void CaptureRun::throwIfFailed() const {
    if (!failure_.empty()) throw Failure(failure_);
}

std::string CaptureRun::name(int device) const {
    const std::string serial = kelvoCaptureGetSerial(capture_.get(), device);
    return serial == path(device) ? "slot" + std::to_string(device) : serial;
}

kelvoCaptureStats CaptureRun::stats(int device) const {
    kelvoCaptureStats stats{};
    kelvoCaptureGetStats(capture_.get(), device, &stats);
    return stats;
}

bool CaptureRun::printSummary(int device, double seconds) const {
    const kelvoCaptureStats s = stats(device);
    std::printf("%-12s %s\n", name(device).c_str(), path(device).c_str());
    std::printf("  samples         %" PRIu64 "\n", s.received);
    std::printf("  rate            %.1f samples/s\n", seconds > 0 ? static_cast<double>(s.received) / seconds : 0.0);
    std::printf("  dropped         %" PRIu64 "\n", s.dropped);
    std::printf("  framing errors  %" PRIu64 "\n", s.framingErrors);
    printGaps(device, s);
    return s.dropped == 0 && s.framingErrors == 0;
}

// "reconnects: 1, gap 2.41 s" for the breaks of a hang-up, then a line
// per other cause with the samples it cost.
void CaptureRun::printGaps(int device, const kelvoCaptureStats &stats) const {
    if (stats.gaps == 0 && stats.reconnects == 0) return;
    std::vector<kelvoCaptureGap> gaps(
        static_cast<size_t>(std::max(kelvoCaptureGetGaps(capture_.get(), nullptr, 0), 0)));
    kelvoCaptureGetGaps(capture_.get(), gaps.data(), static_cast<int>(gaps.size()));
    std::string unplugged;
    int breaks = 0;
    std::map<std::string, std::pair<int, int64_t>> others;  // cause: gaps, samples
    for (const kelvoCaptureGap &g : gaps) {
        if (g.device != device) continue;
        if (std::strcmp(g.cause, "disconnected") != 0) {
            auto &[count, samples] = others[g.cause];
            ++count;
            samples += g.samplesLost;
            continue;
        }
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f s", static_cast<double>(g.endTicks - g.startTicks) / 1e7);
        unplugged += (breaks++ == 0 ? "" : ", ") + std::string(seconds);
    }
    if (breaks > 0 || stats.reconnects > 0) {
        std::printf("  reconnects: %" PRIu64 ", %s %s\n", stats.reconnects, breaks > 1 ? "gaps" : "gap",
                    unplugged.c_str());
    }
    for (const auto &[cause, tally] : others) {
        std::printf("  %s: %d %s, %" PRId64 " samples\n", cause.c_str(), tally.first, tally.first == 1 ? "gap" : "gaps",
                    tally.second);
    }
}

// Dropped markers are lost data too, so they are never left unsaid.
void CaptureRun::printMarkers() const {
    uint64_t received = 0;
    uint64_t dropped = 0;
    if (kelvoCaptureGetMarkerStats(capture_.get(), &received, &dropped) != KELVO_OK) return;
    if (dropped > 0) {
        std::printf("markers           %" PRIu64 " recorded, %" PRIu64 " dropped\n", received, dropped);
    } else if (received > 0) {
        std::printf("markers           %" PRIu64 " recorded\n", received);
    }
}

}  // namespace kelvo::cli
