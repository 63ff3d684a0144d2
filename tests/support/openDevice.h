// SPDX-License-Identifier: MIT
// Test support: a simulated device opened in a slot for the length of a test.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "kelvo.h"
#include "ptyDevice.h"

namespace kelvo::test {

// Polls `condition` until it holds or `timeout` passes.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct OpenDevice {
    explicit OpenDevice(int slot) : slot(slot) {
        if (kelvoOpen(slot, device.path().c_str()) != 0) throw std::runtime_error("kelvoOpen failed");
    }
    ~OpenDevice() {
        device.stopStreaming();
        kelvoClose(slot);
    }
    OpenDevice(const OpenDevice &) = delete;
    OpenDevice &operator=(const OpenDevice &) = delete;

    // Answers every line the library sends with `answer` (nothing when empty).
    void answerEveryLineWith(std::string answer) {
        device.onLine([answer](sim::PtyDevice &d, const std::string &) {
            if (!answer.empty()) d.send(answer);
        });
    }

    sim::PtyDevice device;
    int slot;
};

}  // namespace kelvo::test
