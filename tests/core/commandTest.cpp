// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "atomics.h"
#include "byteRing.h"
#include "openDevice.h"
#include "slots.h"

using namespace kelvo;
using namespace std::chrono_literals;
using kelvo::test::eventually;
using kelvo::test::OpenDevice;

namespace {

struct Answer {
    const char *pointer = nullptr;
    std::string bytes;
    int length = -1;
    int binary = -1;
    std::chrono::milliseconds took{};
};

Answer send(int dev, const char *command) {
    Answer a;
    const auto start = std::chrono::steady_clock::now();
    a.pointer = kelvoSendCmd(dev, command, &a.length, &a.binary);
    a.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (a.pointer != nullptr) a.bytes.assign(a.pointer, static_cast<size_t>(a.length));
    return a;
}

TEST(SendCmd, ReturnsTextAnswersByteForByte) {
    OpenDevice open(0);
    open.answerEveryLineWith("kelvo,sim,0,1.0\r\n");
    const Answer a = send(0, "*IDN?");
    ASSERT_NE(a.pointer, nullptr);
    EXPECT_EQ(a.bytes, "kelvo,sim,0,1.0\r\n");
    EXPECT_EQ(a.binary, 0);
    EXPECT_EQ(a.pointer[a.length], '\0');
    EXPECT_TRUE(open.device.waitForReceived("*IDN?\n", 1s));
}

TEST(SendCmd, ReturnsThePayloadOfACompleteBlock) {
    OpenDevice open(1);
    open.answerEveryLineWith("#15hello\n");
    const Answer a = send(1, "DATA?");
    EXPECT_EQ(a.bytes, "hello");
    EXPECT_EQ(a.length, 5);
    EXPECT_EQ(a.binary, 1);
    EXPECT_EQ(std::string(a.pointer + 5), "\n");
}

TEST(SendCmd, IncompleteOrShortOrPrefixedBlocksComeBackAsText) {
    OpenDevice open(0);
    for (const std::string answer : {"#15hello", "#11x\n", "x#15hello\n", "#15hello#"}) {
        open.answerEveryLineWith(answer);
        const Answer a = send(0, "DATA?");
        EXPECT_EQ(a.bytes, answer);
        EXPECT_EQ(a.binary, 0) << answer;
        EXPECT_EQ(a.length, static_cast<int>(answer.size()));
    }
}

TEST(SendCmd, TwoBlocksPointAtTheFirstPayloadWithTheLastDeclaredLength) {
    OpenDevice open(0);
    open.answerEveryLineWith("#13abc\n#212hello world!\n");
    const Answer a = send(0, "DATA?");
    EXPECT_EQ(a.binary, 1);
    EXPECT_EQ(a.length, 12);
    EXPECT_EQ(std::string(a.pointer, 3), "abc");
}

TEST(SendCmd, WaitsLongerForTheFirstByteOfAQuery) {
    OpenDevice open(2);
    const Answer query = send(2, "*IDN?");
    ASSERT_NE(query.pointer, nullptr);
    EXPECT_EQ(query.length, 0);
    EXPECT_EQ(query.binary, 0);
    EXPECT_STREQ(query.pointer, "");
    EXPECT_GE(query.took, 405ms);
    EXPECT_LT(query.took, 2000ms);

    const Answer command = send(2, "OUTP ON");
    EXPECT_EQ(command.length, 0);
    EXPECT_GE(command.took, 35ms);
    EXPECT_LT(command.took, 300ms) << "a command without '?' must not wait like a query";

    // A '?' anywhere counts, also inside a parameter.
    EXPECT_GE(send(2, "SYST:ERR 1,?").took, 405ms);
}

// The device answers in three bursts with gaps well under the 5 ms quiet
// time. A loaded machine can stretch a gap past 5 ms, so a few attempts are
// allowed; a broken quiet rule fails them all.
TEST(SendCmd, BurstsCloserThanTheQuietTimeAreOneAnswer) {
    OpenDevice open(0);
    open.device.onLine([](sim::PtyDevice &d, const std::string &line) {
        if (line != "MEAS?") return;
        d.send("part1,");
        std::this_thread::sleep_for(1ms);
        d.send("part2,");
        std::this_thread::sleep_for(1ms);
        d.send("part3\n");
    });
    std::string last;
    for (int attempt = 0; attempt < 5 && last != "part1,part2,part3\n"; ++attempt) {
        last = send(0, "MEAS?").bytes;
        std::this_thread::sleep_for(50ms);
        send(0, "FLUSH");  // collects what a split answer left behind
    }
    EXPECT_EQ(last, "part1,part2,part3\n");
}

TEST(SendCmd, AnswerAfterAPauseBecomesTheFrontOfTheNextAnswer) {
    OpenDevice open(3);
    open.device.onLine([](sim::PtyDevice &d, const std::string &line) {
        if (line == "SLOW?") {
            d.send("first,");
            std::this_thread::sleep_for(100ms);
            d.send("late\n");
        } else {
            d.send("next\n");
        }
    });
    EXPECT_EQ(send(3, "SLOW?").bytes, "first,");
    std::this_thread::sleep_for(200ms);
    const Answer next = send(3, "NEXT?");
    EXPECT_EQ(next.bytes.rfind("late\n", 0), 0u) << next.bytes;
}

TEST(SendCmd, AnswersLargerThanTheResponseQueueComeBackIncomplete) {
    OpenDevice open(0);
    // Far more than fits, so that the queue overflows even when a slow
    // machine lets the call collect before all of it has come.
    const std::string big(40000, 'z');
    open.answerEveryLineWith(big);
    const Answer a = send(0, "BIG?");
    // A chunk that does not fit is dropped whole, and a read that comes late
    // takes more than the queue holds: on a loaded machine nothing of the
    // answer may arrive.
    EXPECT_LE(a.length, 8190);
    EXPECT_EQ(a.bytes, std::string(static_cast<size_t>(a.length), 'z'));
    EXPECT_TRUE(eventually([] { return (loadAcquire(slots[0].isFatal) & kFaultResponseQueueFull) != 0; }));
}

TEST(SendCmd, CommandTooLongForTheTransmitQueueIsNotSent) {
    OpenDevice open(1);
    const std::string fits(8189, 'A');
    EXPECT_NE(send(1, fits.c_str()).pointer, nullptr);
    EXPECT_TRUE(open.device.waitForReceived(fits + "\n", 5s));
    EXPECT_EQ(slots[1].isFatal, 0u);

    open.device.clearReceived();
    const std::string tooLong(8190, 'B');
    const Answer a = send(1, tooLong.c_str());
    ASSERT_NE(a.pointer, nullptr);
    EXPECT_EQ(a.length, 0);
    EXPECT_GE(a.took, 35ms) << "the call still waits for an answer";
    EXPECT_EQ(slots[1].isFatal & kFaultCommandNoRoom, kFaultCommandNoRoom);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(open.device.received(), "");
}

TEST(SendCmd, RefusalsLeaveTheBinaryFlagZeroAndExplainWhy) {
    int length = 77, binary = 1;
    EXPECT_EQ(kelvoSendCmd(4, "*IDN?", &length, &binary), nullptr);
    EXPECT_EQ(binary, 0);
    EXPECT_EQ(length, 77);
    binary = 1;
    EXPECT_EQ(kelvoSendCmd(-1, "*IDN?", &length, &binary), nullptr);
    EXPECT_EQ(binary, 0);

    binary = 1;
    EXPECT_EQ(kelvoSendCmd(0, "*IDN?", &length, &binary), nullptr);
    EXPECT_EQ(binary, 0);
    EXPECT_STREQ(slots[0].lastErrorMsg, "kelvoSendCmd(dev=0):port not open");

    OpenDevice open(0);
    EXPECT_EQ(kelvoSendCmd(0, "*IDN?", nullptr, &binary), nullptr);
    EXPECT_EQ(kelvoSendCmd(0, "*IDN?", &length, nullptr), nullptr);
    EXPECT_STREQ(kelvoGetLastError(0), "kelvoSendCmd(dev=0):command, answerLength and isBinary must not be NULL");
    EXPECT_EQ(kelvoSendCmd(0, nullptr, &length, &binary), nullptr);
}

// The configuration commands, sent to a device that does not answer.
class StreamLayout : public ::testing::Test {
protected:
    void configure(const char *command) { ASSERT_NE(send(0, command).pointer, nullptr); }
    const FiltInfo &info() const { return filtInfo[0]; }
    OpenDevice open{0};
};

TEST_F(StreamLayout, SixteenBitLayoutCountsOversampledAdcsImusAndExtraWords) {
    EXPECT_EQ(kelvoGetSampleSize(0), 0);
    EXPECT_EQ(kelvoGetAdcOversampling(0), 1);
    configure("CONF:SCAN:OVER 2");
    EXPECT_EQ(kelvoGetAdcOversampling(0), 2);
    configure("CONF:DEV 0,4,1");
    EXPECT_EQ(slots[0].filteredSampleSize, 14);
    EXPECT_EQ(kelvoGetSampleSize(0), 28);
    EXPECT_EQ(info().sampleBytes, 28);
    EXPECT_EQ(info().nAdc24, 0);
    EXPECT_EQ(info().nAdc16, 4);
    EXPECT_EQ(info().nImu6, 1);
    EXPECT_EQ(info().isAdc24, 0);
    EXPECT_EQ(info().oversampling, 2);

    configure("CONF:DEV 0,4");
    EXPECT_EQ(slots[0].filteredSampleSize, 8);
    configure("CONF:DEV 0,1,1,1,1,1");  // only five numbers count
    EXPECT_EQ(slots[0].filteredSampleSize, 2 + 6 + 1 + 1);
}

TEST_F(StreamLayout, OversamplingAcceptsOnlyNonZeroValuesUpToTwo) {
    configure("CONF:SCAN:OVER 3");
    EXPECT_EQ(kelvoGetAdcOversampling(0), 1);
    configure("CONF:SCAN:OVER 0");
    EXPECT_EQ(kelvoGetAdcOversampling(0), 1);
    configure("CONFIGURE:SCAN:OVERSAMPLING 2");
    EXPECT_EQ(kelvoGetAdcOversampling(0), 2);
}

TEST_F(StreamLayout, TwentyFourBitLayoutHasNoBoundAndKeepsSixteenBitCounts) {
    configure("CONF:DEV 0,4,1");
    configure("CONF:DEV 3");
    EXPECT_EQ(slots[0].filteredSampleSize, 8);
    EXPECT_EQ(info().sampleBytes, 16);
    EXPECT_EQ(info().isAdc24, 1);
    EXPECT_EQ(info().nAdc24, 3);
    EXPECT_EQ(info().nAdc16, 4);
    EXPECT_EQ(info().nImu6, 1);
    configure("CONF:DEV 200");
    EXPECT_EQ(slots[0].filteredSampleSize, 402);
    EXPECT_EQ(info().sampleBytes, 804);
}

TEST_F(StreamLayout, RejectedLayoutsKeepTheSizeButNotTheNumbersReadBeforehand) {
    configure("CONF:DEV 0,4,1");
    configure("CONF:DEV 0,200");  // 200 words, above the bound
    EXPECT_EQ(slots[0].filteredSampleSize, 10);
    EXPECT_EQ(info().sampleBytes, 20);
    EXPECT_EQ(info().nAdc24, 0);
    EXPECT_EQ(info().nAdc16, 200);
    EXPECT_EQ(info().isAdc24, 0);

    configure("CONF:DEV 5");
    configure("CONF:DEV 0");  // no words at all
    EXPECT_EQ(slots[0].filteredSampleSize, 12);
    EXPECT_EQ(info().isAdc24, 0);
    configure("CONF:DEV 0,-1");
    EXPECT_EQ(info().nAdc24, 0);
    EXPECT_EQ(info().nAdc16, 200);
    EXPECT_EQ(slots[0].filteredSampleSize, 12);

    // A 24-bit size that does not fit a signed 32-bit byte count is refused.
    configure("CONF:DEV 2000000000");
    EXPECT_EQ(slots[0].filteredSampleSize, 12);
}

TEST_F(StreamLayout, EmptyAndTrailingPiecesOfTheList) {
    configure("CONF:DEV 0,4,1");
    configure("CONF:DEV 0,2,");  // two numbers; nImu6 stays
    EXPECT_EQ(info().nImu6, 1);
    EXPECT_EQ(slots[0].filteredSampleSize, 2);
    configure("CONF:DEV 0,,1");  // 0, 0, 1
    EXPECT_EQ(info().nAdc16, 0);
    EXPECT_EQ(info().nImu6, 1);
    EXPECT_EQ(slots[0].filteredSampleSize, 6);
    configure("CONF:DEV");  // no list at all: nothing changes
    EXPECT_EQ(slots[0].filteredSampleSize, 6);
}

TEST_F(StreamLayout, ScanListSetsWordsFromItsCommasAndHasTheLastWord) {
    configure("CONF:SCAN:LIST (@1,2,3)");
    EXPECT_EQ(slots[0].filteredSampleSize, 8);
    EXPECT_EQ(info().sampleBytes, 8);
    EXPECT_EQ(kelvoGetSampleSize(0), 16);

    configure("CONF:SCAN:OVER 2");
    configure("CONF 1,2");  // oversampling, device layout and scan list at once
    EXPECT_EQ(kelvoGetAdcOversampling(0), 1);
    EXPECT_EQ(info().nAdc24, 1);
    EXPECT_EQ(info().isAdc24, 1);
    EXPECT_EQ(slots[0].filteredSampleSize, 6);
    EXPECT_EQ(info().sampleBytes, 6);
}

// A misspelt header used to be learnt as the command it resembles, and the
// stream was then cut into samples of a size the device never used.
TEST_F(StreamLayout, MisspeltHeadersLeaveTheLayoutAlone) {
    configure("CONF:DEV 3");
    ASSERT_EQ(kelvoGetSampleSize(0), 16);
    for (const char *typo : {"CONFigure:DEVise 5", "CONFIGURA:DEV 5", "CONF:DEVICA 5", "CONF:SCAN:LISX (@1,2,3,4)",
                             "CONF:SCAM:OVER 2", "CONF:DEV? 5", "XCONF:DEV 5"}) {
        configure(typo);
        EXPECT_EQ(kelvoGetSampleSize(0), 16) << typo;
        EXPECT_EQ(kelvoGetAdcOversampling(0), 1) << typo;
    }
}

TEST_F(StreamLayout, ShortLongAndMixedCaseFormsAndEverythingBetween) {
    const std::pair<const char *, int> kLayouts[] = {{"CONF:DEV 3", 16},         {"configure:device 4", 20},
                                                     {"CONFIG:DEV 5", 24},       {":CONFIGURE:DEV 6", 28},
                                                     {"CoNfIgUrE:dEvIcE 7", 32}, {"CONFIGU:DEVI\t8", 36},
                                                     {"conf:scan:list (@1)", 8}, {"CONFigure:SCAn:LISt (@1,2)", 12}};
    for (const auto &[command, bytes] : kLayouts) {
        configure(command);
        EXPECT_EQ(kelvoGetSampleSize(0), bytes) << command;
    }
    configure("Configure:Scan:Oversamp 2");
    EXPECT_EQ(kelvoGetAdcOversampling(0), 2);
}

TEST_F(StreamLayout, CompoundLinesAreLearntCommandByCommand) {
    configure("CONF:SCAN:OVER 2;LIST (@1,2)");
    EXPECT_EQ(kelvoGetAdcOversampling(0), 2);
    EXPECT_EQ(kelvoGetSampleSize(0), 12);
    // The factor applies to the layout that follows it on the line.
    configure("CONF:SCAN:OVER 1;:CONF:DEV 0,4,1");
    EXPECT_EQ(kelvoGetAdcOversampling(0), 1);
    EXPECT_EQ(kelvoGetSampleSize(0), 20);
    configure("*CLS;CONF:DEV 0,2;SCAN:OVER 2;:CONF:DEV 0,2");
    EXPECT_EQ(kelvoGetSampleSize(0), 8);
    // A relative header resolves against the path: here DEV is no CONF node.
    configure("SYST:ERR?;DEV 3");
    EXPECT_EQ(kelvoGetSampleSize(0), 8);
    // The commas of the other commands are not the scan list's.
    configure("CONF:DEV 0,1;:CONF:SCAN:LIST (@3);:CONF:SCAN:OVER 1,2");
    EXPECT_EQ(kelvoGetSampleSize(0), 8);
    ASSERT_EQ(kelvoGetChannelCount(0), 1);
    EXPECT_STREQ(kelvoGetChannelName(0, 0), "Adc24_3");
}

TEST_F(StreamLayout, KelvoQueryLearnsTheSameWay) {
    std::string answer(64, '\0');
    int binary = -1;
    ASSERT_EQ(kelvoQuery(0, "conf:scan:over 2;list (@1,2,3)", answer.data(), 64, 2000, &binary), 0);
    EXPECT_EQ(kelvoGetAdcOversampling(0), 2);
    EXPECT_EQ(kelvoGetSampleSize(0), 16);
    ASSERT_EQ(kelvoQuery(0, "CONFigure:DEVise 3", answer.data(), 64, 2000, &binary), 0);
    EXPECT_EQ(kelvoGetSampleSize(0), 16);
}

TEST_F(StreamLayout, SurvivesCloseAndReopenWhileTheFactorResets) {
    configure("CONF:SCAN:OVER 2");
    configure("CONF:DEV 0,4,1");
    ASSERT_EQ(kelvoClose(0), 0);
    ASSERT_EQ(kelvoOpen(0, open.device.path().c_str()), 0);
    EXPECT_EQ(kelvoGetAdcOversampling(0), 1);
    EXPECT_EQ(kelvoGetSampleSize(0), 28);
    EXPECT_EQ(info().oversampling, 2);
}

}  // namespace
