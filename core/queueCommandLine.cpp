// SPDX-License-Identifier: MIT
#include "queueCommandLine.h"

#include <cstring>

#include "atomics.h"
#include "byteRing.h"
#include "slots.h"
#include "wakeups.h"

namespace kelvo {

bool queueCommandLine(int dev, const char *command, uint32_t spare, uint32_t faultBit) {
    Slot &slot = slots[dev];
    const size_t length = std::strlen(command);
    if (ringFree(slot.outQ) < length + 1 + spare) {
        setBits(slot.isFatal, faultBit);
        return false;
    }
    (void)ringPut(slot.outQ, command, static_cast<uint32_t>(length));
    (void)ringPut(slot.outQ, "\n", 1);
    wakeIoThread();
    return true;
}

}  // namespace kelvo
