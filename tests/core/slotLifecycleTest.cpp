// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "atomics.h"
#include "byteRing.h"
#include "openDevice.h"
#include "slots.h"

using namespace kelvo;
using kelvo::test::eventually;
using kelvo::test::OpenDevice;

namespace {

TEST(SlotLifecycle, OpenPutsTheLineIntoRaw8N1At9600) {
    sim::PtyDevice device;
    ASSERT_EQ(kelvoOpen(0, device.path().c_str()), 0);
    const termios line = device.lineSettings();
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(line.c_cflag & CREAD, 0u);
    EXPECT_NE(line.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ECHOE | ECHONL | ISIG), 0u);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_cc[VMIN], 0);
    EXPECT_EQ(line.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B9600));
    EXPECT_EQ(kelvoClose(0), 0);
}

TEST(SlotLifecycle, OpensTheMiddleFieldOfADeviceListLine) {
    sim::PtyDevice device;
    const std::string line = "tallo\t" + device.path() + "\tC1234\n";
    ASSERT_EQ(kelvoOpen(2, line.c_str()), 0);
    EXPECT_GE(myPorts[2], 0);
    EXPECT_STREQ(slots[2].myPortnames, device.path().c_str());
    EXPECT_EQ(kelvoClose(2), 0);
}

TEST(SlotLifecycle, DeviceBytesReachTheResponseQueueInOrder) {
    OpenDevice open(1);
    open.device.send("hello\r\nworld");
    ASSERT_TRUE(eventually([] { return ringFill(slots[1].inQ) == 12; }));
    char bytes[12];
    ringTake(slots[1].inQ, bytes, sizeof bytes);
    EXPECT_EQ(std::string(bytes, sizeof bytes), "hello\r\nworld");
}

TEST(SlotLifecycle, BytesSentBeforeTheOpenAreNotTakenForThisSession) {
    sim::PtyDevice device;
    // An earlier session left the line raw; its stream's tail came late.
    ASSERT_EQ(kelvoOpen(3, device.path().c_str()), 0);
    ASSERT_EQ(kelvoClose(3), 0);
    ASSERT_TRUE(eventually([] { return loadAcquire(myPorts[3]) < 0; }));
    device.send("#15tail of an earlier stream");
    ASSERT_EQ(kelvoOpen(3, device.path().c_str()), 0);
    device.send("fresh\n");
    ASSERT_TRUE(eventually([] { return ringFill(slots[3].inQ) >= 6; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    char bytes[64];
    const uint32_t count = ringFill(slots[3].inQ);
    ringTake(slots[3].inQ, bytes, count);
    EXPECT_EQ(std::string(bytes, count), "fresh\n");
    EXPECT_EQ(kelvoClose(3), 0);
}

TEST(SlotLifecycle, CloseSendsAbortBeforeClosingThePort) {
    sim::PtyDevice device;
    ASSERT_EQ(kelvoOpen(3, device.path().c_str()), 0);
    ASSERT_EQ(kelvoClose(3), 0);
    EXPECT_EQ(myPorts[3], -1);
    EXPECT_TRUE(device.waitForReceived("abort\n", std::chrono::seconds(2)));
    EXPECT_EQ(device.received(), "abort\n");
}

TEST(SlotLifecycle, CloseWithAFullTransmitQueueMarksTheFaultAndStillCloses) {
    sim::PtyDevice device;
    ASSERT_EQ(kelvoOpen(0, device.path().c_str()), 0);
    kelvoDisableTx();
    const std::string filler(8188, 'x');  // leaves 3 bytes free
    ASSERT_TRUE(ringPut(slots[0].outQ, filler.data(), static_cast<uint32_t>(filler.size())));
    EXPECT_EQ(kelvoClose(0), 0);
    kelvoEnableTx();
    EXPECT_EQ(myPorts[0], -1);
    EXPECT_EQ(slots[0].isFatal & kFaultAbortNoRoom, kFaultAbortNoRoom);
    EXPECT_EQ(ringFill(slots[0].outQ), 0u);
}

TEST(SlotLifecycle, RefusesSlotNumbersOutsideZeroToThreeWithoutTouchingAnyText) {
    for (int dev = 0; dev < 4; ++dev) buildErrMsg(dev, "probe", "kept");
    EXPECT_EQ(kelvoOpen(4, "/dev/null"), 1);
    EXPECT_EQ(kelvoOpen(-1, "/dev/null"), 1);
    EXPECT_EQ(kelvoClose(4), 1);
    EXPECT_EQ(kelvoClose(-1), 1);
    for (int dev = 0; dev < 4; ++dev) {
        EXPECT_STREQ(slots[dev].lastErrorMsg, ("probe(dev=" + std::to_string(dev) + "):kept").c_str());
    }
}

TEST(SlotLifecycle, ClosingAClosedSlotIsRefusedWithText) {
    EXPECT_EQ(kelvoClose(1), 1);
    EXPECT_STREQ(slots[1].lastErrorMsg, "kelvoClose(dev=1):port not open");
}

TEST(SlotLifecycle, FailedOpenMarksTheSlotUntilAGoodOpen) {
    EXPECT_EQ(kelvoOpen(0, "/dev/kelvo-no-such-tty"), 1);
    EXPECT_EQ(myPorts[0], -1);
    EXPECT_EQ(myPortErr[0], 1);
    // Two adjacent tabs give an empty path, which cannot be opened either.
    EXPECT_EQ(kelvoOpen(0, "orv\t\tserial"), 1);

    // A path that opens but is no terminal: the descriptor is kept so that a
    // close can release it, and the slot is refused for commands.
    EXPECT_EQ(kelvoOpen(0, "/dev/null"), 1);
    EXPECT_GE(myPorts[0], 0);
    int length = 0, binary = 0;
    EXPECT_EQ(kelvoSendCmd(0, "*IDN?", &length, &binary), nullptr);
    EXPECT_STREQ(kelvoGetLastError(0), "kelvoSendCmd(dev=0):fatal R/W error on Port");
    EXPECT_EQ(kelvoSendCmdWhileStreaming(0, "init"), 1);
    EXPECT_EQ(kelvoSendSCPIbinBlock(0, "x", 1), -1);
    EXPECT_EQ(kelvoClose(0), 0);

    OpenDevice good(0);
    EXPECT_EQ(myPortErr[0], 0);
    EXPECT_EQ(kelvoGetSampleSize(0), 0);
}

TEST(SlotLifecycle, ReopeningAnOpenSlotReleasesTheEarlierDescriptor) {
    sim::PtyDevice first, second;
    ASSERT_EQ(kelvoOpen(1, first.path().c_str()), 0);
    const int earlier = myPorts[1];
    ASSERT_EQ(kelvoOpen(1, second.path().c_str()), 0);
    EXPECT_EQ(fcntl(earlier, F_GETFD) == -1 && errno == EBADF, earlier != myPorts[1])
        << "the earlier descriptor must be closed (or reused by the new open)";
    second.send("from second");
    ASSERT_TRUE(eventually([] { return ringFill(slots[1].inQ) == 11; }));
    EXPECT_EQ(kelvoClose(1), 0);
    EXPECT_TRUE(second.waitForReceived("abort\n", std::chrono::seconds(2)));
    EXPECT_EQ(first.received(), "");
}

TEST(SlotLifecycle, ClosedSlotCanBeOpenedAgain) {
    sim::PtyDevice device;
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(kelvoOpen(2, device.path().c_str()), 0) << "round " << round;
        device.send("x");
        ASSERT_TRUE(eventually([] { return ringFill(slots[2].inQ) == 1; }));
        ASSERT_EQ(kelvoClose(2), 0);
    }
}

TEST(SlotLifecycle, RefusesDeviceLinesWithoutSecondTabAndOverlongPaths) {
    sim::PtyDevice device;
    EXPECT_EQ(kelvoOpen(0, ("orv\t" + device.path()).c_str()), 1);
    EXPECT_STREQ(slots[0].lastErrorMsg, "kelvoOpen(dev=0):device line without a second tab");
    const std::string longPath = "/" + std::string(255, 'a');
    EXPECT_EQ(kelvoOpen(0, longPath.c_str()), 1);
    EXPECT_STREQ(slots[0].lastErrorMsg, "kelvoOpen(dev=0):path longer than 255 characters");
    EXPECT_EQ(kelvoOpen(0, nullptr), 1);
    EXPECT_EQ(myPorts[0], -1);
}

TEST(SlotLifecycle, ClosedSlotIsNeitherReadNorWritten) {
    sim::PtyDevice device;
    ASSERT_EQ(kelvoOpen(0, device.path().c_str()), 0);
    ASSERT_EQ(kelvoClose(0), 0);
    // The close's abort may reach the device's reader late on a busy machine.
    ASSERT_TRUE(device.waitForReceived("abort\n", std::chrono::seconds(5)));
    device.clearReceived();
    const std::string command = "*IDN?\n";
    ASSERT_TRUE(ringPut(slots[0].outQ, command.data(), static_cast<uint32_t>(command.size())));
    device.send("late");
    usleep(50000);
    EXPECT_EQ(device.received(), "");
    EXPECT_EQ(ringFill(slots[0].inQ), 0u);
    EXPECT_EQ(ringFill(slots[0].outQ), command.size());
}

}  // namespace

namespace {

// The I/O thread takes a chunk into the response queue only when it is
// smaller than the free space: one byte is kept in reserve.
TEST(ResponseQueue, ChunkOfExactlyTheFreeSpaceIsRefusedOneByteLessAccepted) {
    OpenDevice open(0);
    // The I/O thread is the queue's only producer, so the filler comes
    // from the device too.
    const std::string filler(8191 - 10, 'f');  // leaves 10 bytes free
    open.device.send(filler);
    ASSERT_TRUE(eventually([&] { return ringFill(slots[0].inQ) == filler.size(); }));
    open.device.send("0123456789");
    ASSERT_TRUE(eventually([] { return (loadAcquire(slots[0].isFatal) & kFaultResponseQueueFull) != 0; }));
    EXPECT_EQ(ringFill(slots[0].inQ), filler.size());

    kelvoClearSystemErrors();
    open.device.send("012345678");
    ASSERT_TRUE(eventually([&] { return ringFill(slots[0].inQ) == filler.size() + 9; }));
    EXPECT_EQ(loadAcquire(slots[0].isFatal), 0u);
    ringDiscard(slots[0].inQ);
}

}  // namespace
