// SPDX-License-Identifier: MIT
// How the I/O engine copes with devices that misbehave at the line level: a
// device that stops reading, a path that is no terminal and never delivers,
// and a device that is unplugged. Whatever one slot's line does, the other
// slots go on being served.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <future>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "atomics.h"
#include "byteRing.h"
#include "slots.h"
#include "streamSource.h"

using namespace kelvo;
using namespace kelvo::test;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(thread_sanitizer) || __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

// The engine notices a hang-up within 100 ms; the rest is room for a
// starved two-core machine.
constexpr auto kNoticed = kSanitized ? 500ms : 250ms;
// kelvoClose gives a stalled line 500 ms before it drops what is left.
constexpr auto kCloseBound = 1000ms;

const char kIdentity[] = "kelvo,sim,0,1.0\n";

std::chrono::milliseconds msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

std::string lastError(int dev) {
    const char *text = kelvoGetLastError(dev);
    return text != nullptr ? text : "(null)";
}

std::string numberedCommand(int n, size_t size) {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "SEQ %06d ", n);
    std::string command(prefix);
    command.resize(size, static_cast<char>('a' + n % 26));
    return command;
}

void expectAnswersIdentity(int dev) {
    int length = 0, binary = 0;
    const char *answer = kelvoSendCmd(dev, "*IDN?", &length, &binary);
    ASSERT_NE(answer, nullptr) << lastError(dev);
    EXPECT_EQ(std::string(answer, static_cast<size_t>(length)), kIdentity) << "slot " << dev;
}

// A pseudo-terminal whose far end nobody reads, as a device that has stopped
// reading: once the tty's buffer is full the line takes no more bytes.
class StalledLine {
public:
    StalledLine() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
            ptsname_r(master_, name, sizeof name) != 0) {
            throw std::system_error(errno, std::generic_category(), "pseudo-terminal");
        }
        path_ = name;
    }
    ~StalledLine() { close(master_); }
    StalledLine(const StalledLine &) = delete;
    StalledLine &operator=(const StalledLine &) = delete;

    const char *path() const { return path_.c_str(); }

    // The device starts reading again: everything until `count` bytes came
    // or `timeout` passed.
    std::string resumeReading(size_t count, std::chrono::milliseconds timeout) {
        std::string bytes;
        std::vector<char> chunk(65536);
        const auto end = Clock::now() + timeout;
        while (bytes.size() < count && Clock::now() < end) {
            pollfd readable{master_, POLLIN, 0};
            if (poll(&readable, 1, 20) <= 0) continue;
            const ssize_t n = read(master_, chunk.data(), chunk.size());
            if (n <= 0) break;
            bytes.append(chunk.data(), static_cast<size_t>(n));
        }
        return bytes;
    }

private:
    int master_ = -1;
    std::string path_;
};

TEST(StalledDevice, BytesTheLineDoesNotTakeStayQueuedInOrder) {
    StalledLine line;
    ASSERT_EQ(kelvoOpen(2, line.path()), 0);
    // Commands go in while they fit, until the line has taken nothing for
    // 200 ms; far fewer than the limit fill any tty buffer.
    std::string queued;
    for (int n = 0; n < 2000; ++n) {
        const std::string command = numberedCommand(n, 1000);
        if (!eventually([&] { return ringFree(slots[2].outQ) > command.size(); }, 200ms)) break;
        ASSERT_EQ(kelvoSendCmdWhileStreaming(2, command.c_str()), 0);
        queued += command + "\n";
    }
    ASSERT_GT(ringFill(slots[2].outQ), 0u) << "the line never stopped taking bytes";
    EXPECT_EQ(loadAcquire(slots[2].isFatal) & kFaultStreamCommandNoRoom, 0u);

    EXPECT_TRUE(line.resumeReading(queued.size(), 10s) == queued) << "bytes lost, changed or reordered";
    EXPECT_TRUE(eventually([] { return ringFill(slots[2].outQ) == 0; }));
    EXPECT_EQ(kelvoClose(2), 0);
}

// Slot 0's line is stalled with its transmit queue full while slot 1
// streams; an upload to slot 0 gives up after its bound, and the close of
// slot 0 drops what is left.
TEST(StalledDevice, HoldsUpNoOtherSlotAndClosesWithinASecond) {
    StalledLine line;
    ASSERT_EQ(kelvoOpen(0, line.path()), 0);
    OpenDevice other(1);
    NumberedStream stream(other.device, 64, 2ms);
    ASSERT_EQ(kelvoSendCmdWhileStreaming(1, "init"), 0);

    const std::string command(4000, 'c');
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(kelvoSendCmdWhileStreaming(0, command.c_str()), 0);
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_GT(ringFill(slots[0].outQ), 0u) << "the line never stopped taking bytes";

    struct Upload {
        int result;
        std::chrono::milliseconds took;
        std::string text;
    };
    const uint32_t sentBeforeTheUpload = stream.sent();
    auto upload = std::async(std::launch::async, [] {
        const std::string block(4096, 'u');
        const auto start = Clock::now();
        const int result = kelvoSendSCPIbinBlock(0, block.data(), static_cast<int>(block.size()));
        return Upload{result, msSince(start), lastError(0)};
    });

    // Slot 1's stream goes on, complete, while the upload waits.
    SequenceChecker checker;
    std::vector<unsigned char> buffer(65536);
    auto pull = [&] {
        const int got = kelvoGetStreamingData(1, buffer.data(), kSampleBytes, static_cast<unsigned>(buffer.size()));
        if (got > 0) {
            checker.take(buffer.data(), static_cast<size_t>(got));
        } else {
            std::this_thread::sleep_for(1ms);
        }
    };
    const auto pullStart = Clock::now();
    while (upload.wait_for(0s) != std::future_status::ready && msSince(pullStart) < 20s) pull();
    const uint32_t duringUpload = checker.samples();
    const Upload done = upload.get();
    EXPECT_EQ(done.result, -1);
    EXPECT_EQ(done.text.rfind("kelvoSendSCPIbinBlock(dev=0):transmit queue did not drain within 2 s", 0), 0u)
        << done.text;
    EXPECT_GE(done.took, 1990ms);
    EXPECT_LT(done.took, 4000ms);
    EXPECT_TRUE(checker.ok()) << "sample " << checker.samples() << " is wrong";
    // The device sent some 64000 samples meanwhile; a tenth of them proves
    // the slot was served throughout.
    EXPECT_GE(duringUpload, sentBeforeTheUpload + 6400);

    const auto closeStart = Clock::now();
    EXPECT_EQ(kelvoClose(0), 0);
    EXPECT_LT(msSince(closeStart), kCloseBound);
    EXPECT_EQ(loadAcquire(myPorts[0]), -1);

    while (checker.ok() && checker.samples() < duringUpload + 6400 && msSince(closeStart) < 20s) pull();
    EXPECT_TRUE(checker.ok()) << "sample " << checker.samples() << " is wrong";
    EXPECT_GE(checker.samples(), duringUpload + 6400) << "the stream stopped after the close";
    kelvoSendCmdWhileStreaming(1, "abort");
}

// A FIFO opens but is no terminal; nobody ever writes into it.
TEST(NonTerminalPath, AFifoIsRefusedHoldsUpNoOtherSlotAndCloses) {
    char dir[] = "/tmp/kelvoFifoXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/line";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    OpenDevice device(0);
    device.answerEveryLineWith(kIdentity);

    EXPECT_EQ(kelvoOpen(1, fifo.c_str()), 1);
    expectAnswersIdentity(0);
    expectAnswersIdentity(0);
    EXPECT_EQ(kelvoClose(1), 0);
    EXPECT_EQ(loadAcquire(myPorts[1]), -1);
    // With its last reader gone a FIFO refuses a writer.
    const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_TRUE(writer < 0 && errno == ENXIO) << "the library still holds the FIFO open";
    if (writer >= 0) close(writer);
    expectAnswersIdentity(0);

    unlink(fifo.c_str());
    rmdir(dir);
}

// The target device in slot 2 gets unplugged; the bystander in slot 3
// answers every line and must not notice.
class Unplug : public ::testing::Test {
protected:
    static constexpr int kDev = 2;
    static constexpr int kBystander = 3;

    Unplug() { bystander.answerEveryLineWith(kIdentity); }

    Clock::time_point unplug() {
        target->device.hangUp();
        return Clock::now();
    }

    static bool noticed() {
        return isSerialPortDisconnected(loadAcquire(myPorts[kDev])) == 1 &&
               (loadAcquire(slots[kDev].isFatal) & kFaultDisconnected) != 0;
    }

    static void expectNoticedPromptly(Clock::time_point unpluggedAt) {
        ASSERT_TRUE(eventually(noticed, 5s)) << "the hang-up was never noticed";
        EXPECT_LT(msSince(unpluggedAt), kNoticed);
    }

    static void expectRefusedAsUnplugged() {
        int length = 0, binary = 0;
        EXPECT_EQ(kelvoSendCmd(kDev, "*IDN?", &length, &binary), nullptr);
        EXPECT_EQ(lastError(kDev), "kelvoSendCmd(dev=2):fatal I/O error on Port");
        EXPECT_EQ(kelvoSendCmdWhileStreaming(kDev, "init"), 1);
        EXPECT_EQ(lastError(kDev), "kelvoSendCmdWhileStreaming(dev=2):fatal I/O error on Port");
        EXPECT_EQ(kelvoSendSCPIbinBlock(kDev, "x", 1), -1);
        EXPECT_EQ(lastError(kDev), "kelvoSendSCPIbinBlock(dev=2):fatal I/O error on Port");
        EXPECT_EQ(loadAcquire(myPortErr[kDev]), 0) << "a hang-up is no transport fault";
    }

    // The slot closes and serves a new device; the bystander still answers.
    void expectTheSlotRecovers() {
        expectAnswersIdentity(kBystander);
        EXPECT_EQ(kelvoClose(kDev), 0);
        EXPECT_EQ(loadAcquire(myPorts[kDev]), -1);
        target.reset();
        target.emplace(kDev);
        target->answerEveryLineWith(kIdentity);
        EXPECT_EQ(isSerialPortDisconnected(loadAcquire(myPorts[kDev])), 0);
        EXPECT_EQ(kelvoGetFaultBits(kDev) & KELVO_FAULT_DISCONNECTED, 0u) << "the new line did not hang up";
        expectAnswersIdentity(kDev);
        expectAnswersIdentity(kBystander);
    }

    OpenDevice bystander{kBystander};
    std::optional<OpenDevice> target{std::in_place, kDev};  // answers nothing
};

TEST_F(Unplug, WhileIdleIsNoticedAtOnce) {
    const auto unpluggedAt = unplug();
    expectNoticedPromptly(unpluggedAt);
    expectRefusedAsUnplugged();
    expectTheSlotRecovers();
}

TEST_F(Unplug, DuringAnAnswerWaitEndsTheWaitBeforeItsTimeOut) {
    auto call = std::async(std::launch::async, [] {
        int length = 0, binary = 0;
        const bool refused = kelvoSendCmd(kDev, "X?", &length, &binary) == nullptr;
        return std::pair{refused, Clock::now()};
    });
    std::this_thread::sleep_for(50ms);
    const auto unpluggedAt = unplug();
    const auto [refused, returnedAt] = call.get();
    EXPECT_TRUE(refused) << "the call ran into its 400 ms time-out";
    EXPECT_LT(returnedAt - unpluggedAt, kNoticed);
    EXPECT_EQ(lastError(kDev), "kelvoSendCmd(dev=2):fatal I/O error on Port");
    expectNoticedPromptly(unpluggedAt);
    expectRefusedAsUnplugged();
    expectTheSlotRecovers();
}

TEST_F(Unplug, DuringAStreamHandsOutWhatCameBeforeThenFails) {
    constexpr uint32_t kBlocks = 20, kPerBlock = 100;
    ASSERT_EQ(kelvoSendCmdWhileStreaming(kDev, "init"), 0);
    ASSERT_TRUE(eventually([] { return loadAcquire(slots[kDev].isStreaming) == 1; }));
    for (uint32_t block = 0; block < kBlocks; ++block) {
        target->device.send(sim::definiteBlock(numberedSamples(block * kPerBlock, kPerBlock)));
    }
    ASSERT_TRUE(eventually([] { return ringFill(slots[kDev].scpiQ) == kBlocks * kPerBlock * kSampleBytes; }))
        << "every block reached the library before the unplug";
    const auto unpluggedAt = unplug();

    SequenceChecker checker;
    unsigned char buffer[4096];
    int got = 0;
    while (msSince(unpluggedAt) < 5s) {
        got = kelvoGetStreamingData(kDev, buffer, kSampleBytes, sizeof buffer);
        if (got < 0) break;
        checker.take(buffer, static_cast<size_t>(got));
        if (got == 0) std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(checker.ok()) << "sample " << checker.samples() << " is wrong";
    EXPECT_EQ(checker.samples(), kBlocks * kPerBlock);
    EXPECT_EQ(got, -1) << "-2 is the 200 ms time-out";
    EXPECT_EQ(lastError(kDev), "kelvoGetStreamingData(dev=2):fatal I/O error on Port");
    expectNoticedPromptly(unpluggedAt);
    expectRefusedAsUnplugged();
    expectTheSlotRecovers();
}

}  // namespace
