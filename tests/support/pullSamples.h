// SPDX-License-Identifier: MIT
// Streaming a configured slot for a known number of samples.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "kelvo.h"

namespace kelvo::test {

// Starts the slot's stream, pulls `count` whole samples (20 s at most) and
// stops it again; fewer bytes come back when the stream stalled.
inline std::vector<uint8_t> pullSamples(int slot, int count) {
    using namespace std::chrono_literals;
    const int size = kelvoGetSampleSize(slot);
    std::vector<uint8_t> bytes(static_cast<size_t>(size) * static_cast<size_t>(count));
    size_t got = 0;
    EXPECT_EQ(kelvoSendCmdWhileStreaming(slot, "INIT"), 0);
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (got < bytes.size() && std::chrono::steady_clock::now() < end) {
        const int n = kelvoGetStreamingData(slot, bytes.data() + got, size, static_cast<unsigned>(bytes.size() - got));
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else {
            std::this_thread::sleep_for(2ms);
        }
    }
    kelvoSendCmdWhileStreaming(slot, "ABORt");
    EXPECT_EQ(got, bytes.size()) << "the stream stalled";
    bytes.resize(got);
    return bytes;
}

}  // namespace kelvo::test
