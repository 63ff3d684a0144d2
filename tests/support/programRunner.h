// SPDX-License-Identifier: MIT
// Test support: runs the tools as a user does, as child processes.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvo::test {

struct Outcome {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs `argv` with `unset` removed from its environment and `set` ("NAME=value")
// added, waits at most `timeout` and returns what it printed.
inline Outcome runProgram(const std::vector<std::string> &argv, const std::vector<std::string> &unset = {},
                          const std::vector<std::string> &set = {},
                          std::chrono::seconds timeout = std::chrono::seconds(120)) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (const auto &name : unset) unsetenv(name.c_str());
        for (const auto &entry : set) putenv(const_cast<char *>(entry.c_str()));
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    Outcome outcome;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *texts[2] = {&outcome.out, &outcome.err};
    const auto end = std::chrono::steady_clock::now() + timeout;
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < end) {
        if (poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char bytes[4096];
            const ssize_t n = read(fds[i].fd, bytes, sizeof bytes);
            if (n > 0) {
                texts[i]->append(bytes, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    if (open > 0) kill(pid, SIGKILL);
    for (const pollfd &f : fds) {
        if (f.fd >= 0) close(f.fd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

// kelvo-sim running for the length of a test, with the tty paths it printed.
class SimProcess {
public:
    SimProcess(const std::string &program, std::vector<std::string> options, int devices = 1) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        options.insert(options.begin(), {program, "--devices", std::to_string(devices)});
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            std::vector<char *> args;
            for (const auto &a : options) args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        std::string text;
        char c;
        while (static_cast<int>(paths.size()) < devices && read(out[0], &c, 1) == 1) {
            if (c != '\n') {
                text.push_back(c);
            } else {
                paths.push_back(text);
                text.clear();
            }
        }
        close(out[0]);
        if (static_cast<int>(paths.size()) != devices) throw std::runtime_error("kelvo-sim printed no paths");
    }
    ~SimProcess() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    pid_t pid() const { return pid_; }
    std::vector<std::string> paths;

private:
    pid_t pid_ = -1;
};

// Gives the test program a runtime folder (XDG_RUNTIME_DIR) of its own, where
// the kelvo-sim processes it starts record their devices: then simulators of
// tests running at the same time, or of anyone else, never appear in its
// `kelvo list` nor take its serial numbers.
class PrivateRuntimeFolder : public ::testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/kelvo-runtime-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
        folder_ = pattern;
        setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

private:
    std::string folder_;
};

}  // namespace kelvo::test
