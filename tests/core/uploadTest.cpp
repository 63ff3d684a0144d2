// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "byteRing.h"
#include "slots.h"
#include "streamSource.h"

using namespace kelvo;
using namespace std::chrono_literals;
using namespace kelvo::test;

namespace {

std::string payloadOf(size_t size) {
    std::string bytes(size, '\0');
    const char special[] = {'\n', '\r', '#', '\0'};
    for (size_t i = 0; i < size; ++i) bytes[i] = i < 4 ? special[i] : static_cast<char>(i * 31);
    return bytes;
}

TEST(BlockUpload, PutsExactlyOneDefiniteLengthBlockOnTheWire) {
    OpenDevice open(0);
    const std::pair<size_t, std::string> cases[] = {{1, "#11"}, {100, "#3100"}, {4096, "#44096"}};
    for (const auto &[size, header] : cases) {
        open.device.clearReceived();
        const std::string payload = size == 1 ? std::string("A") : payloadOf(size);
        ASSERT_EQ(kelvoSendSCPIbinBlock(0, payload.data(), static_cast<int>(size)), 0);
        EXPECT_EQ(ringFill(slots[0].outQ), 0u) << "the queue is empty when the call returns";
        const std::string expected = header + payload + "\n";
        ASSERT_TRUE(open.device.waitForReceived(expected, 5s)) << size;
        EXPECT_EQ(open.device.received(), expected);
    }
}

TEST(BlockUpload, RefusesBadSlotsBeforeBadLengths) {
    EXPECT_EQ(kelvoSendSCPIbinBlock(4, "x", 1), -1);
    EXPECT_EQ(kelvoSendSCPIbinBlock(1, "x", 0), -1);
    EXPECT_STREQ(slots[1].lastErrorMsg, "kelvoSendSCPIbinBlock(dev=1):port not open");

    OpenDevice open(1);
    const std::string big(4097, 'b');
    EXPECT_EQ(kelvoSendSCPIbinBlock(1, big.data(), 4097), 1);
    EXPECT_STREQ(slots[1].lastErrorMsg, "kelvoSendSCPIbinBlock(dev=1):len > 4096 not allowed");
    EXPECT_EQ(kelvoSendSCPIbinBlock(1, big.data(), -3), 1);
    EXPECT_STREQ(slots[1].lastErrorMsg, "kelvoSendSCPIbinBlock(dev=1):len < 1 makes no sense");
    EXPECT_EQ(kelvoSendSCPIbinBlock(1, nullptr, 3), 1);
    EXPECT_EQ(ringFill(slots[1].outQ), 0u);
}

TEST(BlockUpload, GivesUpWithAReasonWhenTransmissionIsHeld) {
    OpenDevice open(2);
    kelvoDisableTx();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kelvoSendSCPIbinBlock(2, "abc", 3), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_STREQ(kelvoGetLastError(2), "kelvoSendSCPIbinBlock(dev=2):transmission is held (kelvoDisableTx)");
    EXPECT_EQ(ringFill(slots[2].outQ), 0u);
    kelvoEnableTx();
}

// While a data callback holds the I/O thread up, no transmit queue drains;
// the upload must give up after its bound instead of hanging the caller.
TEST(BlockUpload, BoundsTheWaitForAQueueThatDoesNotDrain) {
    static std::atomic<bool> holdThread{true};
    static std::atomic<bool> threadHeld{false};
    OpenDevice streaming(0);
    OpenDevice target(3);
    NumberedStream stream(streaming.device, 16, 2ms);
    kelvoSetCallbackData(0, [](const unsigned char *, int) {
        threadHeld = true;
        for (int i = 0; i < 1000 && holdThread; ++i) std::this_thread::sleep_for(10ms);
    });
    ASSERT_EQ(kelvoSendCmdWhileStreaming(0, "init"), 0);
    ASSERT_TRUE(eventually([] { return threadHeld.load(); }));
    const std::string stuck = "queued\n";
    ASSERT_TRUE(ringPut(slots[3].outQ, stuck.data(), static_cast<uint32_t>(stuck.size())));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kelvoSendSCPIbinBlock(3, "ok", 2), -1);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 1900ms);
    EXPECT_LT(waited, 10s);
    EXPECT_EQ(std::string(kelvoGetLastError(3)).rfind("kelvoSendSCPIbinBlock(dev=3):transmit queue did not drain", 0),
              0u);
    holdThread = false;
    kelvoSetCallbackData(0, nullptr);
    EXPECT_TRUE(target.device.waitForReceived(stuck, 2s));
    EXPECT_EQ(target.device.received().find("#12ok"), std::string::npos) << "a refused block is not queued";
    kelvoSendCmdWhileStreaming(0, "abort");
}

}  // namespace
