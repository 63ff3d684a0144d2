// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <thread>

#include "atomics.h"
#include "clock.h"
#include "slots.h"
#include "streamSource.h"

using namespace kelvo;
using namespace kelvo::test;
using namespace std::chrono_literals;

namespace {

using Stamps = std::array<int64_t, 4>;

Stamps stampsOf(int dev) {
    Stamps s{};
    EXPECT_EQ(kelvoGetTimeStampsFromSynchronizedGroup(dev, s.data()), 0);
    return s;
}

void drainUntilStopped(int dev) {
    unsigned char sink[65536];
    kelvoSendCmdWhileStreaming(dev, "abort");
    eventually([&] {
        kelvoGetStreamingData(dev, sink, 1, sizeof sink);
        return loadAcquire(slots[dev].isStreaming) == 0;
    });
}

TEST(SynchronizedStart, FourDevicesShareStampZeroAndLeaveWithinOnePass) {
    std::vector<std::unique_ptr<OpenDevice>> devices;
    std::vector<std::unique_ptr<NumberedStream>> streams;
    for (int dev = 0; dev < 4; ++dev) {
        devices.push_back(std::make_unique<OpenDevice>(dev));
        streams.push_back(std::make_unique<NumberedStream>(devices.back()->device, 16, 2ms));
    }
    const int64_t before = kelvoGetTicks();
    kelvoDisableTx();
    for (int dev = 0; dev < 4; ++dev) ASSERT_EQ(kelvoSendCmdWhileStreaming(dev, "init"), 0);
    std::this_thread::sleep_for(20ms);
    for (auto &d : devices) EXPECT_EQ(d->device.received(), "") << "nothing may leave while held";
    kelvoEnableTx();
    ASSERT_TRUE(eventually([] {
        return std::all_of(std::begin(slots), std::end(slots),
                           [](Slot &s) { return loadAcquire(s.timestampRequest) == 5; });
    }));

    std::array<Stamps, 4> s;
    for (int dev = 0; dev < 4; ++dev) s[dev] = stampsOf(dev);
    int64_t firstSent = s[0][1], lastSent = s[0][1];
    for (int dev = 0; dev < 4; ++dev) {
        EXPECT_EQ(s[dev][0], s[0][0]) << "stamp 0 is one reading for the whole group";
        EXPECT_GE(s[dev][0], before);
        EXPECT_LE(s[dev][0], s[dev][1]);
        EXPECT_LE(s[dev][1], s[dev][2]);
        EXPECT_LE(s[dev][2], s[dev][3]);
        EXPECT_LE(s[dev][3], kelvoGetTicks());
        firstSent = std::min(firstSent, s[dev][1]);
        lastSent = std::max(lastSent, s[dev][1]);
    }
    // One pass is a 50 us sleep plus four short writes; a busy machine can
    // stretch it, so the bound is loose but far below a pass per millisecond
    // sleep of the application.
    EXPECT_LT(lastSent - firstSent, 20 * kTicksPerMs) << "spread " << (lastSent - firstSent) << " ticks";
    for (int dev = 0; dev < 4; ++dev) drainUntilStopped(dev);
}

TEST(SynchronizedStart, SecondReleaseEndsTheCaptureAndUnusedSlotsReadZero) {
    OpenDevice open(1);
    OpenDevice bystander(2);
    NumberedStream stream(open.device, 16, 2ms);
    kelvoDisableTx();
    ASSERT_EQ(kelvoSendCmdWhileStreaming(1, "init"), 0);
    kelvoEnableTx();
    ASSERT_TRUE(eventually([] { return loadAcquire(slots[1].timestampRequest) == 5; }));
    const Stamps complete = stampsOf(1);
    EXPECT_EQ(stampsOf(2), (Stamps{0, 0, 0, 0}));

    kelvoEnableTx();
    EXPECT_EQ(loadAcquire(slots[1].timestampRequest), 6);
    std::this_thread::sleep_for(20ms);
    const Stamps after = stampsOf(1);
    EXPECT_GT(after[0], complete[0]) << "every release stores stamp 0";
    EXPECT_EQ(after[1], complete[1]);
    EXPECT_EQ(after[2], complete[2]);
    EXPECT_EQ(after[3], complete[3]);
    drainUntilStopped(1);
}

TEST(SynchronizedStart, ReleaseWithoutStartCommandOnlyEnablesTransmission) {
    OpenDevice open(0);
    kelvoDisableTx();
    kelvoEnableTx();
    EXPECT_EQ(stampsOf(0), (Stamps{0, 0, 0, 0}));
    int length = 0, binary = 0;
    kelvoSendCmd(0, "PING", &length, &binary);
    EXPECT_TRUE(open.device.waitForReceived("PING\n", 1s));
}

TEST(SynchronizedStart, TicksCountTenMillionPerSecond) {
    const int64_t a = kelvoGetTicks();
    std::this_thread::sleep_for(200ms);
    const int64_t b = kelvoGetTicks();
    EXPECT_GE(b - a, 2000000);
    EXPECT_LT(b - a, 2000000 + 5 * kTicksPerSecond);
    timespec raw{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &raw);
    const int64_t clock = raw.tv_sec * 10000000LL + raw.tv_nsec / 100;
    EXPECT_LE(b, clock);
    EXPECT_LT(clock - b, 5 * kTicksPerSecond);
}

TEST(SynchronizedStart, StampsOfAClosedOrInvalidSlotAreRefused) {
    int64_t stamps[4] = {1, 2, 3, 4};
    EXPECT_EQ(kelvoGetTimeStampsFromSynchronizedGroup(4, stamps), -1);
    EXPECT_EQ(kelvoGetTimeStampsFromSynchronizedGroup(-1, stamps), -1);
    EXPECT_EQ(kelvoGetTimeStampsFromSynchronizedGroup(3, stamps), -1);
    EXPECT_STREQ(slots[3].lastErrorMsg, "kelvoGetTimeStampsFromSynchronizedGroup(): port not open");
    EXPECT_EQ(stamps[0], 1);
}

}  // namespace
