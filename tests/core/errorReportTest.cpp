// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>

#include "kelvoVersion.h"
#include "openDevice.h"
#include "slots.h"

using namespace kelvo;
using kelvo::test::OpenDevice;

namespace {

std::string fetch(int dev) {
    const char *text = kelvoGetLastError(dev);
    return text ? text : "<null>";
}

TEST(ErrorTexts, AreHandedOutOnceAndTheLaterErrorWins) {
    OpenDevice open(1);
    EXPECT_EQ(kelvoSendSCPIbinBlock(1, "x", 0), 1);
    EXPECT_EQ(kelvoSendSCPIbinBlock(1, "x", 5000), 1);
    EXPECT_EQ(fetch(1), "kelvoSendSCPIbinBlock(dev=1):len > 4096 not allowed");
    EXPECT_EQ(fetch(1), "");
    EXPECT_EQ(fetch(0), "<null>");
}

TEST(ErrorTexts, ClosedSlotLeavesAPortNotOpenTextForTheNextOpen) {
    EXPECT_EQ(fetch(2), "<null>");
    OpenDevice open(2);
    EXPECT_EQ(fetch(2), "GetLastError(): port not open");
    EXPECT_EQ(fetch(2), "");
}

TEST(ErrorTexts, OutOfRangeSlotNumbersStoreNothing) {
    for (int dev = 0; dev < 4; ++dev) buildErrMsg(dev, "probe", "kept");
    EXPECT_EQ(kelvoGetLastError(4), nullptr);
    EXPECT_EQ(kelvoGetLastError(-1), nullptr);
    buildErrMsg(-7, "x", "y");
    buildErrMsg(4, "x", "y");
    for (int dev = 0; dev < 4; ++dev) {
        EXPECT_STREQ(slots[dev].lastErrorMsg, ("probe(dev=" + std::to_string(dev) + "):kept").c_str());
        EXPECT_EQ(slots[dev].isErrorOccurred, 1);
    }
}

TEST(ErrorTexts, NullPointersAreRefusedWithTheFailureValue) {
    buildErrMsg(0, nullptr, nullptr);
    EXPECT_STREQ(slots[0].lastErrorMsg, "(dev=0):");
    int port = -1;
    EXPECT_EQ(openSerialPort(nullptr, "/dev/null"), 1);
    EXPECT_EQ(openSerialPort(&port, nullptr), 1);
    EXPECT_EQ(port, -1);
    EXPECT_EQ(closeSerialPort(nullptr), 0);
    EXPECT_EQ(readFromSerialPort(0, nullptr, 16), 0);
    EXPECT_EQ(writeToSerialPort(1, nullptr, 16), -1);
    EXPECT_EQ(SCPIdecoder(nullptr, '#'), 0);
    SCPIdecoderReset(nullptr);

    OpenDevice open(0);
    EXPECT_EQ(kelvoGetTimeStampsFromSynchronizedGroup(0, nullptr), -1);
    EXPECT_EQ(kelvoSendCmdWhileStreaming(0, nullptr), 1);
    EXPECT_EQ(kelvoGetStreamingData(0, nullptr, 4, 16), -1);
    EXPECT_EQ(fetch(0), "kelvoGetStreamingData(dev=0):destination must not be NULL");
}

TEST(ErrorTexts, LongMessagesAreCutAt511Characters) {
    const std::string longMessage(600, 'm');
    buildErrMsg(3, "kelvoSendCmd", longMessage.c_str());
    EXPECT_EQ(std::string(slots[3].lastErrorMsg).size(), 511u);
    EXPECT_EQ(std::string(slots[3].lastErrorMsg).rfind("kelvoSendCmd(dev=3):mmm", 0), 0u);
}

TEST(SystemErrors, ReportOnlyInDebugModeAndOnlyWhenAFlagIsSet) {
    slots[1].isFatal = 0x4;
    slots[3].isFatal = 0x12;
    EXPECT_STREQ(kelvoGetSystemErrors(), "");
    debugLevel = 1;
    EXPECT_STREQ(kelvoGetSystemErrors(), "0x0,0x4,0x0,0x12,");
    EXPECT_STREQ(kelvoGetSystemErrors(), "0x0,0x4,0x0,0x12,") << "reading does not clear";
    slots[0].isFatal = KELVO_FAULT_STREAM_FRAMING | KELVO_FAULT_STREAM_QUEUE_FULL;
    EXPECT_STREQ(kelvoGetSystemErrors(), "0x101,0x4,0x0,0x12,") << "the ninth bit shows like the others";
    kelvoClearSystemErrors();
    EXPECT_STREQ(kelvoGetSystemErrors(), "");
    debugLevel = 2;
    slots[0].isFatal = 0x1;
    EXPECT_STREQ(kelvoGetSystemErrors(), "");
    debugLevel = 0;
}

TEST(SystemErrors, FaultBitsAreReadPerSlotWithoutClearing) {
    kelvoClearSystemErrors();
    slots[2].isFatal = KELVO_FAULT_DISCONNECTED | KELVO_FAULT_STREAM_QUEUE_FULL;
    EXPECT_EQ(kelvoGetFaultBits(2), 0x81u);
    EXPECT_EQ(kelvoGetFaultBits(2), 0x81u) << "reading does not clear";
    EXPECT_EQ(kelvoGetFaultBits(1), 0u);
    EXPECT_EQ(kelvoGetFaultBits(-1), 0u);
    EXPECT_EQ(kelvoGetFaultBits(4), 0u);
    kelvoClearSystemErrors();
    EXPECT_EQ(kelvoGetFaultBits(2), 0u);
}

TEST(Diagnostics, VersionAndThreadReport) {
    EXPECT_STREQ(kelvoGetVersion(), KELVO_VERSION);
    EXPECT_EQ(kelvoGetVersion(), versionInfo);
    EXPECT_EQ(kelvoInit(), 0);
    EXPECT_EQ(kelvoDeInit(), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(::test(), 0);
    const std::string printed = testing::internal::GetCapturedStdout();
    if (psMem == nullptr) {
        EXPECT_EQ(printed, "Thread runs 1\n");
    } else {
        EXPECT_NE(printed.find("shred activ: nUser = "), std::string::npos);
    }
}

}  // namespace
