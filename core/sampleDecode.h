// SPDX-License-Identifier: MIT
// Stream samples as values of full scale +-1.0, and the names of the
// channels they carry. The exported decoding calls and the plot window share
// the one conversion here, so the two cannot disagree.
#pragma once

#include <cstdint>

namespace kelvo {

// How the words of a sample are read, all little-endian as the devices send
// them.
enum class SampleWords {
    // A leading 32-bit sample counter, then one 32-bit word per value with
    // the converter's 24 bits at the top: word times 2^-31.
    counted32,
    // One 16-bit word per value: word times 2^-15.
    plain16,
};

// Converts one sample of `sampleBytes` bytes; bytes that do not make a
// whole word (and, for counted32, a sample shorter than its counter) give
// no value. Returns the number of values written to `values`.
int64_t convertSampleWords(const uint8_t *sample, int64_t sampleBytes, SampleWords words, float *values);

// Keeps the channel numbers of a scan list, `parameters` up to `end` being
// the text after the command's header ("(@1,2,5)"), for naming the slot's
// channels. Called on the thread that sends the command.
void recordScanList(int dev, const char *parameters, const char *end);

// Whether the slot's samples begin with a 32-bit counter (24-bit layout,
// scan list). Read on the I/O thread when it takes up a start: the layout
// was learnt before the start was requested.
bool layoutHasCounter(int dev);

}  // namespace kelvo
