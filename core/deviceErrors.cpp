// SPDX-License-Identifier: MIT
// Reading a device's SCPI error queue. The library learns a layout from a
// command's text whether or not the device took it, so only the device's
// own queue can tell that a configuration went wrong.
#include <cstdio>
#include <cstring>

#include "errors.h"
#include "kelvo.h"
#include "kelvo_lowlevel.h"
#include "slots.h"

using namespace kelvo;

namespace {

constexpr int kMaxErrorReads = 32;
constexpr int kAnswerMs = 1000;

// SCPI numbers an empty error queue 0.
bool reportsNoError(const char *answer) {
    return std::strncmp(answer, "0,", 2) == 0 || std::strncmp(answer, "+0,", 3) == 0 || std::strcmp(answer, "0") == 0;
}

void copyText(char *text, int capacity, const char *answer) {
    if (capacity <= 0) return;
    std::snprintf(text, static_cast<size_t>(capacity), "%s", answer);
}

}  // namespace

extern "C" KELVO_API int kelvoCheckDeviceErrors(int dev, char *text, int capacity) noexcept {
    static const char kName[] = "kelvoCheckDeviceErrors";
    if (refuseSlot(kName, dev, {.open = true, .healthyPort = true, .connected = true})) return KELVO_REFUSED;
    if (text == nullptr && capacity > 0) {
        buildErrMsg(dev, kName, "text must not be NULL");
        return KELVO_REFUSED;
    }
    if (text != nullptr && capacity > 0) text[0] = '\0';
    int found = 0;
    for (int read = 0; read < kMaxErrorReads; ++read) {
        char answer[512];
        int binary = 0;
        const int n = kelvoQuery(dev, "SYSTem:ERRor?", answer, sizeof answer, kAnswerMs, &binary);
        if (n == KELVO_TIMEOUT) return found != 0 ? 1 : KELVO_TIMEOUT;
        if (n < 0) return found != 0 ? 1 : KELVO_REFUSED;
        if (binary != 0) answer[n] = '\0';
        if (binary == 0 && reportsNoError(answer)) break;
        if (found == 0) copyText(text, capacity, answer);
        found = 1;
    }
    return found;
}
