// SPDX-License-Identifier: MIT
// Learning a slot's stream layout from the configuration commands that pass
// through kelvoSendCmd.
#pragma once

#include <cstdint>

namespace kelvo {

// Learns from each command of `line` (commands separated by ';', relative
// headers resolved as SCPI does) in turn. Each one applies, in this order,
// whichever of the oversampling, device layout and scan list commands it is
// taken as. One command can match more than one header (the short form of
// any node may end it); the scan list has the last word on the sample size.
void learnStreamLayout(int dev, const char *line);

// Bytes per sample of the slot's stream as learned so far (0 before any
// layout); callable from any thread.
int64_t streamSampleBytes(int dev);

}  // namespace kelvo
