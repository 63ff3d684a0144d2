// SPDX-License-Identifier: MIT
// The library's end of a simulated device's line, without the library, for
// the simulator's own tests: raw mode, commands written, answers and
// definite-length blocks cut from the bytes as they arrive, stamped with
// CLOCK_MONOTONIC_RAW.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kelvo::test {

// "CONF:DEV 2": a 32-bit sample counter and two 24-bit channels in int32s.
inline constexpr size_t kSampleBytes = 12;

inline int64_t rawNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct Arrival {
    uint32_t firstCounter = 0;
    unsigned samples = 0;
    bool countersConsecutive = true;
    int64_t nanoseconds = 0;  // when its last byte was read
};

// The library's end of the line without the library: raw mode, commands
// written, definite-length blocks cut from the bytes as they arrive.
class Line {
public:
    explicit Line(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        if (fd_ < 0) throw std::runtime_error("open " + path);
        termios raw{};
        tcgetattr(fd_, &raw);
        cfmakeraw(&raw);
        tcsetattr(fd_, TCSANOW, &raw);
    }
    ~Line() { close(fd_); }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    void send(const std::string &command) {
        ASSERT_EQ(write(fd_, command.data(), command.size()), ssize_t(command.size()));
    }

    // The next `count` blocks, fewer when `timeout` passes first.
    std::vector<Arrival> blocks(size_t count, std::chrono::milliseconds timeout) {
        std::vector<Arrival> arrivals;
        const int64_t end = rawNanoseconds() + std::chrono::nanoseconds(timeout).count();
        while (arrivals.size() < count && rawNanoseconds() < end) {
            pollfd readable{fd_, POLLIN, 0};
            if (poll(&readable, 1, 50) <= 0) continue;
            char bytes[65536];
            const ssize_t n = read(fd_, bytes, sizeof bytes);
            const int64_t now = rawNanoseconds();
            if (n <= 0) continue;
            pending_.append(bytes, static_cast<size_t>(n));
            while (arrivals.size() < count && cutBlock(now, arrivals)) {
            }
        }
        return arrivals;
    }

    // The answer line to `command`, without its line feed; empty when none
    // comes within `timeout`.
    std::string answer(const std::string &command, std::chrono::milliseconds timeout) {
        send(command);
        const int64_t end = rawNanoseconds() + std::chrono::nanoseconds(timeout).count();
        while (pending_.find('\n') == std::string::npos && rawNanoseconds() < end) {
            pollfd readable{fd_, POLLIN, 0};
            char bytes[4096];
            if (poll(&readable, 1, 50) <= 0) continue;
            const ssize_t n = read(fd_, bytes, sizeof bytes);
            if (n > 0) pending_.append(bytes, static_cast<size_t>(n));
        }
        const size_t endOfLine = pending_.find('\n');
        if (endOfLine == std::string::npos) return {};
        std::string line = pending_.substr(0, endOfLine);
        pending_.erase(0, endOfLine + 1);
        return line;
    }

    // Whether the device side hangs the line up within `timeout`.
    bool hangsUpWithin(std::chrono::milliseconds timeout) {
        const int64_t end = rawNanoseconds() + std::chrono::nanoseconds(timeout).count();
        char bytes[65536];
        while (rawNanoseconds() < end) {
            pollfd line{fd_, POLLIN, 0};
            if (poll(&line, 1, 50) <= 0) continue;
            if ((line.revents & (POLLHUP | POLLERR)) != 0) return true;
            if (read(fd_, bytes, sizeof bytes) <= 0) return true;
        }
        return false;
    }

    // Whatever comes within `quiet` after a stop is dropped, so that the
    // next stream's blocks start clean.
    void drain(std::chrono::milliseconds quiet) {
        pollfd readable{fd_, POLLIN, 0};
        char bytes[65536];
        while (poll(&readable, 1, static_cast<int>(quiet.count())) > 0 && read(fd_, bytes, sizeof bytes) > 0) {
        }
        pending_.clear();
    }

private:
    bool cutBlock(int64_t now, std::vector<Arrival> &arrivals) {
        if (pending_.size() < 2) return false;
        if (pending_[0] != '#' || pending_[1] < '1' || pending_[1] > '9') {
            ADD_FAILURE() << "not a block header: " << pending_.substr(0, 12);
            pending_.clear();
            return false;
        }
        const size_t digits = static_cast<size_t>(pending_[1] - '0');
        if (pending_.size() < 2 + digits) return false;
        const size_t length = std::stoul(pending_.substr(2, digits));
        const size_t total = 2 + digits + length + 1;
        if (pending_.size() < total) return false;
        EXPECT_EQ(pending_[total - 1], '\n');
        EXPECT_EQ(length % kSampleBytes, 0u);
        Arrival arrival;
        arrival.samples = static_cast<unsigned>(length / kSampleBytes);
        arrival.nanoseconds = now;
        for (unsigned i = 0; i < arrival.samples; ++i) {
            uint32_t counter = 0;
            std::memcpy(&counter, pending_.data() + 2 + digits + i * kSampleBytes, 4);
            if (i == 0) arrival.firstCounter = counter;
            arrival.countersConsecutive = arrival.countersConsecutive && counter == arrival.firstCounter + i;
        }
        arrivals.push_back(arrival);
        pending_.erase(0, total);
        return true;
    }

    int fd_;
    std::string pending_;
};

struct Point {
    uint64_t index;
    int64_t ticks;
};

// The truth log's streams, each begun by "# start", in order.
inline std::vector<std::vector<Point>> readTruth(const std::string &path) {
    std::vector<std::vector<Point>> streams;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line == "# start") {
            streams.emplace_back();
            continue;
        }
        std::istringstream fields(line);
        Point point{};
        std::string rest;
        if (streams.empty() || !(fields >> point.index >> point.ticks) || (fields >> rest)) {
            ADD_FAILURE() << path << ": not a truth line: '" << line << "'";
            continue;
        }
        streams.back().push_back(point);
    }
    return streams;
}

inline std::string tempPath(const std::string &name) {
    return (std::filesystem::temp_directory_path() / ("simClock-" + std::to_string(getpid()) + "-" + name)).string();
}

}  // namespace kelvo::test
