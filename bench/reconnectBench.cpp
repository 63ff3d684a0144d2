// SPDX-License-Identifier: MIT
// How long a capture session takes to bring back a device plugged in again.
//
// kelvo-sim serves two devices at 1 MB/s each (62500 samples/s of 16 bytes,
// blocks of 500), and a session (kelvo_capture.h) streams both into a
// callback. Device 1 is unplugged (SIGUSR1) for a random 0.5 to 1.5 s, so
// that its return falls anywhere in the reconnector's round, and plugged in
// again (SIGUSR2), --replugs times. A replug's latency runs from the tick at
// which the simulator had the new tty listed (it prints that tick on
// standard error) to the tick at which the callback got the device's first
// batch after the gap. Per replug it also prints the gap's samples lost, as
// time at the nominal rate, beside the time the device was unplugged and the
// break from the last sample before to the first one after. Then the median
// and the max latency (target: max <= 1 s; aim: <= 300 ms; exit status 1
// when the target is missed).
//
// --steps N then brings device 1 back N more times outside a session, taking
// the reconnector's steps one at a time through the public calls, and prints
// the median time of each: the listing that finds the serial number,
// kelvoOpen, the configuration, *IDN? with the listing that reads the serial
// number, the start, and the first samples.
//
//   build/bench/reconnectBench [--replugs 20] [--steps 10] [--seed S]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kelvo_capture.h"

namespace {

constexpr int kRate = 62500;
constexpr int kBlock = 500;
constexpr const char *kConfig = "CONF:DEV 3";
constexpr double kTicksPerMs = 1e4;
constexpr double kTargetMs = 1000;
constexpr double kAimMs = 300;

struct Settings {
    int replugs = 20;
    int steps = 10;
    unsigned seed = std::random_device{}();
};

Settings parse(int argc, char **argv) {
    Settings s;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        int value = 0;
        try {
            value = std::stoi(argv[i + 1]);
        } catch (const std::logic_error &) {
            throw std::runtime_error(option + " takes a whole number");
        }
        if (option == "--replugs") {
            s.replugs = value;
        } else if (option == "--steps") {
            s.steps = value;
        } else if (option == "--seed") {
            s.seed = static_cast<unsigned>(value);
        } else {
            throw std::runtime_error("unknown option " + option);
        }
    }
    return s;
}

double ms(int64_t ticks) { return static_cast<double>(ticks) / kTicksPerMs; }

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Its own runtime folder, so that other simulators on the machine neither
// show up in the listing nor take SIM0001.
class RuntimeFolder {
public:
    RuntimeFolder() {
        char pattern[] = "/tmp/kelvo-reconnectbench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
        path_ = pattern;
        setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
    }
    ~RuntimeFolder() { std::filesystem::remove_all(path_); }
    RuntimeFolder(const RuntimeFolder &) = delete;
    RuntimeFolder &operator=(const RuntimeFolder &) = delete;

private:
    std::string path_;
};

// kelvo-sim with device 1 on a plug: the paths it printed, and the ticks of
// the hang-ups and plug-ins it reports on standard error.
class Simulator {
public:
    Simulator() {
        int out[2];
        int err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            const std::string rate = std::to_string(kRate);
            const std::string block = std::to_string(kBlock);
            execl(KELVO_SIM, KELVO_SIM, "--devices", "2", "--rate", rate.c_str(), "--block", block.c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
        reader_ = std::thread([this] { readLines(); });
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(10), [this] { return paths_.size() >= 2 || ended_; }) ||
            paths_.size() < 2) {
            throw std::runtime_error("kelvo-sim printed no paths");
        }
    }
    ~Simulator() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        reader_.join();
        close(out_);
        close(err_);
    }
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    std::string path(size_t device) {
        std::lock_guard lock(mutex_);
        return paths_[device];
    }
    // Sends `signal` and waits for the tick of what it did.
    int64_t unplug() { return signalAndWait(SIGUSR1, unplugged_); }
    int64_t plugIn() { return signalAndWait(SIGUSR2, pluggedIn_); }
    std::string newestPath() {
        std::lock_guard lock(mutex_);
        return paths_.back();
    }

private:
    int64_t signalAndWait(int signal, std::vector<int64_t> &ticks) {
        std::unique_lock lock(mutex_);
        const size_t had = ticks.size();
        kill(pid_, signal);
        if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return ticks.size() > had; })) {
            throw std::runtime_error("kelvo-sim did not report the unplug or plug-in");
        }
        return ticks.back();
    }

    void readLines() {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        std::string pending[2];
        int open = 2;
        while (open > 0) {
            if (poll(fds, 2, -1) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
                char bytes[4096];
                const ssize_t n = read(fds[i].fd, bytes, sizeof bytes);
                if (n <= 0) {
                    fds[i].fd = -1;
                    --open;
                    continue;
                }
                pending[i].append(bytes, static_cast<size_t>(n));
                for (size_t end; (end = pending[i].find('\n')) != std::string::npos;) {
                    take(i == 0, pending[i].substr(0, end));
                    pending[i].erase(0, end + 1);
                }
            }
        }
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    void take(bool isPath, const std::string &line) {
        std::lock_guard lock(mutex_);
        if (isPath) {
            paths_.push_back(line);
        } else if (const size_t at = line.rfind("(tick "); at != std::string::npos) {
            const int64_t tick = std::stoll(line.substr(at + 6));
            (line.find(" unplugged ") != std::string::npos ? unplugged_ : pluggedIn_).push_back(tick);
        } else {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> paths_;
    std::vector<int64_t> unplugged_;
    std::vector<int64_t> pluggedIn_;
    bool ended_ = false;
    std::thread reader_;  // last: it uses the rest
};

// What the callback saw: each device's next index and, for every batch
// after a jump in a device's indexes, its first index and the tick at which
// it came.
class Arrivals {
public:
    static void take(void *user, const kelvoCaptureBatch *batch) {
        static_cast<Arrivals *>(user)->note(*batch, kelvoGetTicks());
    }
    // When the batch of `device` that begins at `firstIndex` came, once it
    // came within 10 s.
    std::optional<int64_t> arrivalOf(int device, int64_t firstIndex) {
        const auto d = static_cast<size_t>(device);
        std::unique_lock lock(mutex_);
        const auto found = [&] {
            return std::find_if(jumps_[d].begin(), jumps_[d].end(),
                                [&](const Jump &j) { return j.index == firstIndex; });
        };
        if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return found() != jumps_[d].end(); })) {
            return std::nullopt;
        }
        return found()->ticks;
    }
    // Waits until device 0 streamed `samples` more.
    bool waitForSamples(int64_t samples) {
        std::unique_lock lock(mutex_);
        const int64_t target = received_[0] + samples;
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return received_[0] >= target; });
    }

private:
    struct Jump {
        int64_t index;
        int64_t ticks;
    };
    void note(const kelvoCaptureBatch &b, int64_t now) {
        std::lock_guard lock(mutex_);
        const auto d = static_cast<size_t>(b.device);
        if (b.firstIndex != next_[d]) jumps_[d].push_back({b.firstIndex, now});
        next_[d] = b.firstIndex + b.count;
        received_[d] += b.count;
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    int64_t next_[2] = {};
    int64_t received_[2] = {};
    std::vector<Jump> jumps_[2];
};

struct Replug {
    double latencyMs = 0;
    double unpluggedMs = 0;
    double breakMs = 0;  // the gap's last sample before to its first one after
    int64_t samplesLost = 0;
};

std::vector<kelvoCaptureGap> gapsOf(kelvoCapture *capture) {
    std::vector<kelvoCaptureGap> gaps(static_cast<size_t>(std::max(kelvoCaptureGetGaps(capture, nullptr, 0), 0)));
    kelvoCaptureGetGaps(capture, gaps.data(), static_cast<int>(gaps.size()));
    return gaps;
}

bool isReconnect(const kelvoCaptureGap &g) { return g.device == 0 && std::string(g.cause) == "disconnected"; }

// Device 0's `n`th "disconnected" gap (from 1), once it closed within 10 s.
std::optional<kelvoCaptureGap> waitForReconnect(kelvoCapture *capture, size_t n) {
    for (int i = 0; i < 2000; ++i) {
        std::vector<kelvoCaptureGap> gaps = gapsOf(capture);
        std::erase_if(gaps, [](const kelvoCaptureGap &g) { return !isReconnect(g); });
        if (gaps.size() >= n) return gaps[n - 1];
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
}

// The gaps that no unplug made: there should be none.
void printOtherGaps(kelvoCapture *capture) {
    for (const kelvoCaptureGap &g : gapsOf(capture)) {
        if (isReconnect(g)) continue;
        std::printf(
            "another gap: device %d, %s, %lld samples, from the sample at tick %lld to the one at %lld "
            "(%.1f ms)\n",
            g.device + 1, g.cause, static_cast<long long>(g.samplesLost), static_cast<long long>(g.startTicks),
            static_cast<long long>(g.endTicks), ms(g.endTicks - g.startTicks));
    }
}

bool runSession(Simulator &sim, const Settings &settings) {
    kelvoCapture *capture = kelvoCaptureCreate();
    Arrivals arrivals;
    for (size_t d = 0; d < 2; ++d) kelvoCaptureAddDevice(capture, sim.path(d).c_str());
    kelvoCaptureAddConfig(capture, kConfig);
    kelvoCaptureSetReconnect(capture, 1, 0);
    kelvoCaptureSetCallback(capture, Arrivals::take, &arrivals);
    if (kelvoCaptureOpen(capture) != KELVO_OK || kelvoCaptureStart(capture) != KELVO_OK) {
        std::fprintf(stderr, "the session did not start: %s\n", kelvoCaptureGetError(capture));
        kelvoCaptureDestroy(capture);
        return false;
    }
    std::mt19937 random(settings.seed);
    std::uniform_int_distribution<int> unpluggedMs(500, 1500);
    std::vector<Replug> replugs;
    bool complete = true;
    for (int n = 1; n <= settings.replugs && complete; ++n) {
        complete = arrivals.waitForSamples(kRate / 2);  // streaming again, for half a second
        const int64_t gone = sim.unplug();
        std::this_thread::sleep_for(std::chrono::milliseconds(unpluggedMs(random)));
        const int64_t back = sim.plugIn();
        const std::optional<kelvoCaptureGap> gap = waitForReconnect(capture, static_cast<size_t>(n));
        const std::optional<int64_t> first = gap ? arrivals.arrivalOf(0, gap->lastIndex + 1) : std::nullopt;
        if (!complete || !first) {
            std::printf("replug %2d: not brought back within 10 s\n", n);
            complete = false;
            break;
        }
        const Replug r{ms(*first - back), ms(back - gone), ms(gap->endTicks - gap->startTicks), gap->samplesLost};
        replugs.push_back(r);
        std::printf(
            "replug %2d: %7.1f ms from listed to first batch   unplugged %7.1f ms   gap %6lld samples "
            "(%7.1f ms)   last sample before to first after %7.1f ms\n",
            n, r.latencyMs, r.unpluggedMs, static_cast<long long>(r.samplesLost),
            static_cast<double>(r.samplesLost) * 1e3 / kRate, r.breakMs);
    }
    kelvoCaptureStats other{};
    kelvoCaptureGetStats(capture, 1, &other);
    kelvoCaptureStop(capture);
    printOtherGaps(capture);
    kelvoCaptureDestroy(capture);

    std::vector<double> latencies;
    std::vector<double> overUnplugged;  // gap as time minus time unplugged
    for (const Replug &r : replugs) {
        latencies.push_back(r.latencyMs);
        overUnplugged.push_back(static_cast<double>(r.samplesLost) * 1e3 / kRate - r.unpluggedMs);
    }
    const double worst = latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end());
    std::printf(
        "%zu replugs: latency median %.1f ms, max %.1f ms (target max <= %.0f ms, aim <= %.0f ms); the gap "
        "stands for the unplugged time + median %.1f ms (min %.1f, max %.1f); device 2: %llu gaps, %llu "
        "dropped\n",
        latencies.size(), median(latencies), worst, kTargetMs, kAimMs, median(overUnplugged),
        overUnplugged.empty() ? 0 : *std::min_element(overUnplugged.begin(), overUnplugged.end()),
        overUnplugged.empty() ? 0 : *std::max_element(overUnplugged.begin(), overUnplugged.end()),
        static_cast<unsigned long long>(other.gaps), static_cast<unsigned long long>(other.dropped));
    return complete && worst <= kTargetMs;
}

// The reconnector's steps one by one, as reopen.cpp takes them, on slot 0
// with no session around: each step's name and times. A step that fails
// ends the run.
struct Step {
    const char *name;
    std::vector<double> ms;
};

std::string serialOfListed(const std::string &path) {
    const std::string list = kelvoCaptureListDevices(1);
    const size_t at = list.find("\t" + path + "\t");
    if (at == std::string::npos) return {};
    const size_t begin = at + path.size() + 2;
    return list.substr(begin, list.find('\t', begin) - begin);
}

void timed(Step &step, const std::function<bool()> &take) {
    const int64_t begin = kelvoGetTicks();
    if (!take()) throw std::runtime_error(std::string(step.name) + " failed: " + kelvoGetLastError(0));
    step.ms.push_back(ms(kelvoGetTicks() - begin));
}

void bringBackOnce(const std::string &path, std::vector<Step> &steps) {
    auto step = steps.begin();
    timed(*step++, [&] { return !serialOfListed(path).empty(); });
    timed(*step++, [&] { return kelvoOpen(0, path.c_str()) == 0; });
    // The configuration as kelvoCaptureConfigureDevice sends it.
    char none[1];
    int binary = 0;
    int length = 0;
    timed(*step++, [&] { return kelvoQuery(0, "*CLS", none, sizeof none, 1000, &binary) >= 0; });
    timed(*step++, [&] { return kelvoSendCmd(0, kConfig, &length, &binary) != nullptr; });
    timed(*step++, [&] { return kelvoCheckDeviceErrors(0, nullptr, 0) == 0 && kelvoGetSampleSize(0) > 0; });
    // The description that checks it is the same device.
    char idn[256];
    timed(*step++, [&] { return kelvoQuery(0, "*IDN?", idn, sizeof idn, 1000, &binary) > 0; });
    timed(*step++, [&] { return kelvoListDevices() != nullptr; });
    const int slot = 0;
    timed(*step++, [&] { return kelvoStartTogether(&slot, 1, "INIT", 2000) == KELVO_OK; });
    std::vector<unsigned char> samples(static_cast<size_t>(kBlock) * 16);
    int64_t index = 0;
    timed(*step++, [&] { return kelvoReadSamples(0, samples.data(), kBlock, 2000, &index) > 0; });
    kelvoStopStream(0, 2000);
    kelvoClose(0);
}

void runSteps(Simulator &sim, int count) {
    std::vector<Step> steps = {
        {"the listing that finds the serial", {}}, {"kelvoOpen", {}},        {"*CLS", {}},
        {"kelvoSendCmd(\"CONF:DEV 3\")", {}},      {"the error queue", {}},  {"*IDN?", {}},
        {"kelvoListDevices for the serial", {}},   {"the start (INIT)", {}}, {"the first samples after it", {}}};
    for (int n = 0; n < count; ++n) {
        sim.unplug();
        sim.plugIn();
        bringBackOnce(sim.newestPath(), steps);
    }
    std::printf("the reconnector's steps, median of %d:\n", count);
    double sum = 0;
    for (const Step &s : steps) {
        std::printf("  %-36s %7.1f ms\n", s.name, median(s.ms));
        sum += median(s.ms);
    }
    std::printf("  %-36s %7.1f ms, and before them the wait for the next look: up to 250 ms\n", "together", sum);
}

}  // namespace

int main(int argc, char **argv) try {
    const Settings settings = parse(argc, argv);
    const RuntimeFolder folder;
    std::printf("two devices at %d samples/s (blocks of %d), seed %u\n", kRate, kBlock, settings.seed);
    std::fflush(stdout);
    bool met = false;
    {
        Simulator sim;
        met = runSession(sim, settings);
        if (settings.steps > 0) runSteps(sim, settings.steps);
    }
    return met ? 0 : 1;
} catch (const std::exception &e) {
    std::fprintf(stderr, "reconnectBench: %s\n", e.what());
    return 1;
}
