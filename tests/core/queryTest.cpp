// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "atomics.h"
#include "byteRing.h"
#include "openDevice.h"
#include "slots.h"

using namespace kelvo;
using namespace std::chrono_literals;
using kelvo::sim::definiteBlock;
using kelvo::test::OpenDevice;

namespace {

struct Reply {
    int result = 0;
    int binary = -1;
    std::string bytes;  // the answer as returned, or the error text
    std::chrono::milliseconds took{};
};

Reply query(int dev, const char *command, int capacity = 256, int timeoutMs = 1000) {
    std::vector<char> buffer(static_cast<size_t>(capacity > 0 ? capacity : 1), '@');
    Reply r;
    const auto start = std::chrono::steady_clock::now();
    r.result = kelvoQuery(dev, command, buffer.data(), capacity, timeoutMs, &r.binary);
    r.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (r.result >= 0) {
        r.bytes.assign(buffer.data(), static_cast<size_t>(r.result));
        if (r.binary == 0) {
            EXPECT_EQ(buffer[static_cast<size_t>(r.result)], '\0') << command;
        }
    } else if (isValidSlot(dev)) {
        r.bytes = slots[dev].lastErrorMsg;
    }
    return r;
}

// Every answer shape, each with its expected result: texts lose the LF and a
// CR right before it; blocks give their payload; a '#' that starts no valid
// header makes a text.
TEST(Query, ReturnsOneAnswerAsTextOrBlockPayload) {
    OpenDevice open(0);
    const struct {
        std::string sent, expected;
        int binary;
    } cases[] = {
        {"kelvo,sim,0,1.0\n", "kelvo,sim,0,1.0", 0},
        {"1.5\r\n", "1.5", 0},
        {"a\rb\n", "a\rb", 0},
        {"\n", "", 0},
        {"#15hello\n", "hello", 1},
        {"#15he\nlo\r", "he\nlo", 1},
        {"#10\n", "", 1},
        {"#11x\n", "x", 1},
        {"#x1\n", "#x1", 0},
        {"#15hello\nnext\n", "hello", 1},
    };
    for (const auto &c : cases) {
        open.answerEveryLineWith(c.sent);
        const Reply r = query(0, "*IDN?");
        EXPECT_EQ(r.result, static_cast<int>(c.expected.size())) << c.sent;
        EXPECT_EQ(r.bytes, c.expected);
        EXPECT_EQ(r.binary, c.binary) << c.sent;
        EXPECT_LT(r.took, 800ms) << "returns as soon as the answer is complete, before its 1000 ms time-out";
    }
    EXPECT_TRUE(open.device.waitForReceived("*IDN?\n", 1s));
}

TEST(Query, AnswersInPiecesAndLargeBlocksArriveWhole) {
    const std::string big = [] {
        std::string s(100000, '\0');
        for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(i * 7 + i / 251);
        return s;
    }();
    OpenDevice open(1);  // after `big`: its handler reads it until the device goes
    open.device.onLine([&big](sim::PtyDevice &d, const std::string &line) {
        if (line == "BIG?") d.send(definiteBlock(big));
        if (line != "SLOW?") return;
        for (const char *piece : {"#2", "1", "2abc", "\r\n", "def", "ghi", "j", "\n"}) {
            d.send(piece);
            std::this_thread::sleep_for(std::string(piece) == "2abc" || std::string(piece) == "ghi" ? 20ms : 1ms);
        }
    });
    const Reply slow = query(1, "SLOW?");
    EXPECT_EQ(slow.binary, 1);
    EXPECT_EQ(slow.bytes, "abc\r\ndefghij");
    // Many times the response queue's size: the I/O thread holds back and
    // reads on as the call makes room, so the handover is exercised often.
    std::vector<char> buffer(200000);
    for (int round = 0; round < 3; ++round) {
        int binary = 0;
        ASSERT_EQ(kelvoQuery(1, "BIG?", buffer.data(), static_cast<int>(buffer.size()), 5000, &binary), 100000)
            << slots[1].lastErrorMsg;
        EXPECT_EQ(binary, 1);
        EXPECT_EQ(std::string(buffer.data(), big.size()), big);
    }
    EXPECT_EQ(loadAcquire(slots[1].isFatal) & kFaultResponseQueueFull, 0u) << "nothing may be dropped";
}

TEST(Query, TooLongAndLateAnswersLeaveTheNextCallClean) {
    OpenDevice open(2);
    std::atomic<bool> lateSent{false};
    open.device.onLine([&lateSent](sim::PtyDevice &d, const std::string &line) {
        if (line == "TEXT?") d.send("hello\n");
        if (line == "BLOCK?") d.send(definiteBlock(std::string(30000, 'b')));
        if (line == "LATE?") {
            std::this_thread::sleep_for(150ms);
            d.send("late\n");
            lateSent = true;
        }
        if (line == "NEXT?") d.send("next\n");
    });
    Reply r = query(2, "TEXT?", 5);
    EXPECT_EQ(r.result, -3);
    EXPECT_EQ(r.bytes, "kelvoQuery(dev=2):answer longer than 4 bytes");
    EXPECT_EQ(query(2, "TEXT?", 6).bytes, "hello");
    r = query(2, "BLOCK?", 100);
    EXPECT_EQ(r.result, -3);
    EXPECT_EQ(r.binary, 0);
    EXPECT_EQ(r.bytes, "kelvoQuery(dev=2):answer longer than 100 bytes");
    EXPECT_EQ(query(2, "NEXT?").bytes, "next");

    r = query(2, "LATE?", 256, 50);
    EXPECT_EQ(r.result, -2);
    EXPECT_EQ(r.bytes, "kelvoQuery(dev=2):no complete answer within 50 ms");
    EXPECT_GE(r.took, 50ms);
    EXPECT_LT(r.took, 1000ms);  // the time-out, not a wait for the answer
    // Once the late answer is in the library's hands, the next call must
    // not take it for its own.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!(lateSent && ringFill(slots[2].inQ) != 0) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_NE(ringFill(slots[2].inQ), 0u) << "the late answer never arrived";
    EXPECT_EQ(query(2, "NEXT?").bytes, "next");
    EXPECT_EQ(loadAcquire(slots[2].isFatal) & kFaultResponseQueueFull, 0u);
}

TEST(Query, CommandsWithoutQuestionMarkReturnOnceSent) {
    OpenDevice open(3);
    open.answerEveryLineWith("ignored\n");
    const Reply r = query(3, "OUTP ON");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.bytes, "");
    EXPECT_LT(r.took, 800ms) << "returns once sent, long before its 1000 ms time-out";
    EXPECT_TRUE(open.device.waitForReceived("OUTP ON\n", 1s));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(query(3, "*IDN?").bytes, "ignored") << "the command's own answer is stale and dropped";
}

TEST(Query, FourSlotsQueriedAtOnceFromFourThreads) {
    std::vector<std::unique_ptr<OpenDevice>> devices;
    for (int dev = 0; dev < kSlots; ++dev) {
        devices.push_back(std::make_unique<OpenDevice>(dev));
        devices.back()->device.onLine([](sim::PtyDevice &d, const std::string &line) { d.send(line + "\r\n"); });
    }
    std::vector<int> wrong(kSlots, 0);
    std::vector<std::thread> threads;
    for (int dev = 0; dev < kSlots; ++dev) {
        threads.emplace_back([dev, &wrong] {
            char answer[64];
            for (int i = 0; i < 1000; ++i) {
                const std::string command = "Q" + std::to_string(dev) + ":" + std::to_string(i) + "?";
                int binary = 1;
                const int n = kelvoQuery(dev, command.c_str(), answer, sizeof answer, 2000, &binary);
                if (n != static_cast<int>(command.size()) || command != answer || binary != 0) ++wrong[dev];
            }
        });
    }
    for (auto &t : threads) t.join();
    for (int dev = 0; dev < kSlots; ++dev) EXPECT_EQ(wrong[dev], 0) << "slot " << dev;
}

TEST(Query, RefusalsAndHangUp) {
    char answer[16];
    int binary = 1;
    EXPECT_EQ(kelvoQuery(4, "*IDN?", answer, 16, 0, &binary), -1);
    EXPECT_EQ(binary, 0);
    EXPECT_EQ(query(0, "*IDN?").bytes, "kelvoQuery(dev=0):port not open");

    OpenDevice open(0);
    EXPECT_EQ(kelvoQuery(0, nullptr, answer, 16, 0, &binary), -1);
    EXPECT_EQ(kelvoQuery(0, "*IDN?", nullptr, 16, 0, &binary), -1);
    EXPECT_EQ(kelvoQuery(0, "*IDN?", answer, 16, 0, nullptr), -1);
    EXPECT_STREQ(slots[0].lastErrorMsg, "kelvoQuery(dev=0):command, answer and isBinary must not be NULL");
    EXPECT_EQ(query(0, "*IDN?", 0).result, -1);

    ASSERT_EQ(kelvoSendCmdWhileStreaming(0, "init"), 0);
    EXPECT_EQ(query(0, "*IDN?").bytes, "kelvoQuery(dev=0):slot is streaming");
    kelvoSendCmdWhileStreaming(0, "abort");
    ASSERT_TRUE(kelvo::test::eventually(
        [] { return loadAcquire(slots[0].isStreaming) == 0 && loadAcquire(slots[0].isStreamingRequest) == 0; }));

    open.device.onLine([](sim::PtyDevice &d, const std::string &) {
        d.send("partial");
        d.hangUp();
    });
    const Reply r = query(0, "*IDN?", 256, 5000);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.bytes, "kelvoQuery(dev=0):fatal I/O error on Port");
    EXPECT_LT(r.took, 2000ms) << "a hang-up ends the wait at once";
}

}  // namespace
