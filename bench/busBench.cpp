// SPDX-License-Identifier: MIT
// Message bus throughput and callback latency between two processes.
//
// The benchmark process is the master; for each benchmark it starts itself
// again as an echoing slave, which loads the library with the bus announced
// and so attaches it at load. The benchmark's own segment and announcement
// replace any announcement found for the run and are removed afterwards.
//
//   BM_MailboxRoundTrip: send, the slave polls, reads and answers, the
//     master polls and reads; items/s counts messages (two per round trip).
//   BM_CallbackDelivery: the slave's I/O thread delivers the message to a
//     callback, which answers with the ticks from send to delivery;
//     delivery_us is their mean, delivery_median_us their median (a few
//     messages that wait out a scheduler slice pull the mean up).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kelvo_lowlevel.h"

extern char **environ;

namespace {

const char kAnnouncement[] = "/tmp/xyzServer.id";
const char kSlaveFlag[] = "--echo-slave";

// ---- the slave side, in the child process ---------------------------------

std::atomic<bool> stopRequested{false};

void echoDeliveryTicks(const char *text) {
    if (std::strcmp(text, "stop") == 0) {
        stopRequested = true;
        return;
    }
    int64_t stamps[4] = {};
    tMsgGetTimeStamps(stamps, 0);  // stamps[2]: when the master sent
    const std::string answer = std::to_string(kelvoGetTicks() - stamps[2]);
    tMsgSendMsgToMaster(answer.c_str(), 0);
}

int runSlave(bool viaCallback) {
    if (tMsgRegisterAsSlave() != 0) return 1;
    if (viaCallback) tMsgSetSlaveCallback(echoDeliveryTicks, 0);
    std::puts("ready");
    std::fflush(stdout);
    char buffer[256];
    while (!stopRequested) {
        if (viaCallback) {
            usleep(1000);
        } else if (tMsgGetMasterMsg(buffer, 0) == 0) {
            if (std::strcmp(buffer, "stop") == 0) break;
            while (tMsgSendMsgToMaster(buffer, 0) != 0) sched_yield();
        } else {
            sched_yield();
        }
    }
    tMsgSetSlaveCallback(nullptr, 0);
    tMsgUnregisterAsSlave(0);
    return 0;
}

// ---- the master side ------------------------------------------------------

// The child process as slave 0 and this process as its master.
class EchoSlave {
public:
    explicit EchoSlave(bool viaCallback) {
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const char *argv[] = {"/proc/self/exe", kSlaveFlag, viaCallback ? "callback" : "poll", nullptr};
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char **>(argv), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        char line[16] = {};
        pollfd watch{out[0], POLLIN, 0};
        ready_ = pid_ > 0 && poll(&watch, 1, 20000) > 0 && read(out[0], line, sizeof line - 1) > 0 &&
                 std::strncmp(line, "ready", 5) == 0 && tMsgRegisterAsMaster() == 0;
        close(out[0]);
    }
    ~EchoSlave() {
        if (pid_ <= 0) return;
        // The slave may still hold an answer; the stop must find its mailbox open.
        char buffer[256];
        tMsgGetSlaveMsg(buffer, 0);
        for (int n = 0; n < 2000 && tMsgSendMsgToSlave("stop", 0) != 0; ++n) usleep(1000);
        int status = 0;
        for (int n = 0; n < 2000 && waitpid(pid_, &status, WNOHANG) == 0; ++n) usleep(1000);
        if (waitpid(pid_, &status, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        // Only now: a slave reads nothing while no master is registered.
        tMsgUnregisterAsMaster(0);
    }
    bool ready() const { return ready_; }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

// Sends `text` and returns the slave's answer in `buffer`.
void exchange(const char *text, char *buffer) {
    while (tMsgSendMsgToSlave(text, 0) != 0) sched_yield();
    while (tMsgGetSlaveMsg(buffer, 0) != 0) sched_yield();
}

void BM_MailboxRoundTrip(benchmark::State &state) {
    EchoSlave slave(false);
    if (!slave.ready()) {
        state.SkipWithError("no echoing slave");
        return;
    }
    char buffer[256];
    for (auto _ : state) {
        exchange("ping with a sequence number 12345 and a checksum 0x1234abcd", buffer);
        benchmark::DoNotOptimize(buffer);
    }
    state.SetItemsProcessed(2 * state.iterations());
}
BENCHMARK(BM_MailboxRoundTrip)->UseRealTime()->MinTime(2.0);

void BM_CallbackDelivery(benchmark::State &state) {
    EchoSlave slave(true);
    if (!slave.ready()) {
        state.SkipWithError("no echoing slave");
        return;
    }
    char buffer[256];
    std::vector<int64_t> ticks;
    ticks.reserve(1 << 20);  // far more than a run sends: nothing reallocates while timed
    for (auto _ : state) {
        exchange("ping", buffer);
        ticks.push_back(std::atoll(buffer));
    }
    if (ticks.empty()) return;
    int64_t total = 0;
    for (int64_t t : ticks) total += t;
    const auto middle = ticks.begin() + static_cast<std::ptrdiff_t>(ticks.size() / 2);
    std::nth_element(ticks.begin(), middle, ticks.end());
    state.counters["delivery_us"] = static_cast<double>(total) / 10.0 / static_cast<double>(ticks.size());
    state.counters["delivery_median_us"] = static_cast<double>(*middle) / 10.0;
}
BENCHMARK(BM_CallbackDelivery)->UseRealTime()->MinTime(2.0);

// The benchmark's own bus: any announcement found is moved aside for the
// run, the segment is marked for removal at once so the kernel frees it
// when the last process using it has gone.
class OwnBus {
public:
    OwnBus() : saved_(std::string(kAnnouncement) + ".saved-by-bench-" + std::to_string(getpid())) {
        struct stat info {};
        hadOne_ = lstat(kAnnouncement, &info) == 0 && rename(kAnnouncement, saved_.c_str()) == 0;
        const int id = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
        if (id < 0) return;
        base_ = shmat(id, nullptr, 0);
        shmctl(id, IPC_RMID, nullptr);
        std::string text(reinterpret_cast<const char *>(&id), sizeof id);
        text += "kelvo bus benchmark\npid " + std::to_string(getpid()) + "\nremoved when it ends\n";
        const int fd = open(kAnnouncement, O_WRONLY | O_CREAT | O_EXCL, 0644);
        ok_ = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (fd >= 0) close(fd);
        // Loaded before the file existed, this process attaches now.
        ok_ = ok_ && tMsgInit() == 0;
    }
    ~OwnBus() {
        unlink(kAnnouncement);
        if (hadOne_) rename(saved_.c_str(), kAnnouncement);
        if (base_ != nullptr) shmdt(base_);
    }
    bool ok() const { return ok_; }

private:
    std::string saved_;
    bool hadOne_ = false;
    bool ok_ = false;
    void *base_ = nullptr;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], kSlaveFlag) == 0) return runSlave(std::strcmp(argv[2], "callback") == 0);
    if (psMem != nullptr) {
        std::fprintf(stderr, "busBench: a bus is announced already; stop its server first\n");
        return 1;
    }
    OwnBus bus;
    if (!bus.ok()) {
        std::fprintf(stderr, "busBench: cannot set up a bus of its own\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
