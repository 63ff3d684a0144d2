// SPDX-License-Identifier: MIT
// How the message bus attaches to the library: it joins the announced
// segment at load, and delivers messages to registered callbacks from the
// I/O thread through a pass hook.
#include <cstdio>

#include "atomics.h"
#include "busHooks.h"
#include "ioHooks.h"
#include "kelvo_lowlevel.h"
#include "slots.h"

using namespace kelvo;

namespace {

// Messages arrive through shared memory, which no descriptor signals, so
// the I/O thread looks at the mailboxes this often while a callback waits
// for them; with none registered the bus costs the thread nothing.
constexpr int64_t kCallbackPollTicks = 1000;  // 100 us

// Where the I/O thread fetches a message before handing it to a callback.
char scratchMessage[256];

int64_t deliverMessages() { return busDeliverToCallbacks(scratchMessage) ? kCallbackPollTicks : -1; }

// In either order with the library's own load and unload hooks: the hook
// is only a registration, and the segment stays attached after leaving.
__attribute__((constructor)) void busAtLoad() {
    busJoinAtLoad();
    registerPassHook(deliverMessages);
}

__attribute__((destructor)) void busAtUnload() {
    registerPassHook(nullptr);
    busLeaveAtUnload();
}

}  // namespace

extern "C" KELVO_API int test(void) noexcept {
    const int users = busUserCount();
    if (users >= 0) std::printf("shred activ: nUser = %d\n", users);
    std::printf("Thread runs %d\n", loadAcquire(isThreadRunning));
    std::fflush(stdout);
    return 0;
}
