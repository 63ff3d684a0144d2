// SPDX-License-Identifier: MIT
#include "wallClock.h"

#include <time.h>

#include <cstdint>
#include <cstdio>

#include "kelvo.h"

namespace kelvo::recording {

int64_t tickOriginUnixNs() {
    int64_t best = INT64_MAX;
    int64_t origin = 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const int64_t before = kelvoGetTicks();
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        const int64_t after = kelvoGetTicks();
        if (after - before < best) {
            best = after - before;
            origin = now.tv_sec * 1000000000LL + now.tv_nsec - (before + after) * 50;
        }
    }
    return origin;
}

std::string isoUtc(int64_t unixNs) {
    const time_t seconds = static_cast<time_t>(unixNs / 1000000000);
    tm parts{};
    gmtime_r(&seconds, &parts);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%09lldZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<long long>(unixNs % 1000000000));
    return text;
}

}  // namespace kelvo::recording
