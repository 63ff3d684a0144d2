// SPDX-License-Identifier: MIT
// Learning a slot's stream layout from the configuration commands that pass
// through kelvoSendCmd.
#pragma once

#include <cstdint>

namespace kelvo {

// Applies, in this order, whichever of the oversampling, device layout and
// scan list commands `command` is taken as. One command can match more than
// one header (the short form of any node may end it); the scan list has the
// last word on the sample size.
void learnStreamLayout(int dev, const char *command);

// Bytes per sample of the slot's stream as learned so far (0 before any
// layout); callable from any thread.
int64_t streamSampleBytes(int dev);

}  // namespace kelvo
