// SPDX-License-Identifier: MIT
// Each slot's sample callback (kelvoSetSampleCallback): the function and its
// user pointer are one record, so the I/O thread never calls one with the
// other's partner.
#pragma once

#include "kelvo.h"
#include "seqLock.h"
#include "slots.h"

namespace kelvo {

struct SampleCallbackRecord {
    kelvoSampleCallback callback;
    void *user;
};

extern SeqLock<SampleCallbackRecord> sampleCallbacks[kSlots];

}  // namespace kelvo
