// SPDX-License-Identifier: MIT
#include "openError.h"

#include <cstdio>
#include <cstring>

#include "kelvo.h"
#include "slots.h"

namespace kelvo {
namespace {

constexpr size_t kOpenErrorSize = 160;
char openError[kSlots][kOpenErrorSize];

}  // namespace

void recordOpenError(int dev, const char *text) { std::snprintf(openError[dev], kOpenErrorSize, "%s", text); }

void recordOpenOutcome(int dev, OpenResult result) {
    char system[128];
    // The GNU strerror_r: thread-safe, and it may return a static text
    // instead of filling the buffer.
    const char *reason = strerror_r(result.error, system, sizeof system);
    switch (result.outcome) {
        case OpenOutcome::ready: recordOpenError(dev, ""); break;
        case OpenOutcome::busy: recordOpenError(dev, "device busy: opened by another program"); break;
        case OpenOutcome::notOpened: recordOpenError(dev, reason); break;
        case OpenOutcome::settingsRefused:
            std::snprintf(openError[dev], kOpenErrorSize, "could not set it up as a serial line: %s", reason);
            break;
    }
}

bool hasOpenError(int dev) { return openError[dev][0] != '\0'; }

}  // namespace kelvo

extern "C" KELVO_API const char *kelvoGetOpenError(int dev) noexcept {
    return kelvo::isValidSlot(dev) ? kelvo::openError[dev] : nullptr;
}
