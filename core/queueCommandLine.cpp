// SPDX-License-Identifier: MIT
#include "queueCommandLine.h"

#include <cstring>

#include "atomics.h"
#include "byteRing.h"
#include "slots.h"
#include "wakeups.h"

namespace kelvo {

bool queueCommandLine(int dev, const char *command, uint32_t spare, uint32_t faultBit) {
    const size_t length = std::strlen(command);
    if (ringFree(outQ[dev]) < length + 1 + spare) {
        setBits(isFatal[dev], faultBit);
        return false;
    }
    (void)ringPut(outQ[dev], command, static_cast<uint32_t>(length));
    (void)ringPut(outQ[dev], "\n", 1);
    wakeIoThread();
    return true;
}

}  // namespace kelvo
