// SPDX-License-Identifier: MIT
// Test support: a tool run in the background, to be signalled as a user's
// terminal, shell or service manager would signal it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kelvo::test {

class BackgroundProgram {
public:
    // Standard output and error go to `outputPrefix`.out and .err; with
    // `outputToPipe` standard output goes to a pipe that only readOut() reads.
    BackgroundProgram(const std::vector<std::string> &argv, const std::string &outputPrefix, bool outputToPipe = false)
        : outPath_(outputPrefix + ".out"), errPath_(outputPrefix + ".err") {
        int pipeEnds[2] = {-1, -1};
        if (outputToPipe && pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            const int out = outputToPipe ? pipeEnds[1] : open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            std::vector<char *> args;
            for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        if (outputToPipe) {
            close(pipeEnds[1]);
            pipe_ = pipeEnds[0];
        }
    }
    ~BackgroundProgram() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (pipe_ >= 0) close(pipe_);
        unlink(outPath_.c_str());
        unlink(errPath_.c_str());
    }
    BackgroundProgram(const BackgroundProgram &) = delete;
    BackgroundProgram &operator=(const BackgroundProgram &) = delete;

    void signal(int number) const { kill(pid_, number); }
    pid_t pid() const { return pid_; }

    // The exit status once it ended by itself (-1 when a signal ended it), or
    // -2 when it is still running after `timeout` (it is killed then).
    int wait(std::chrono::seconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) return -2;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Waits until the program runs a thread of that name.
    bool awaitThread(const std::string &name, std::chrono::seconds timeout = std::chrono::seconds(60)) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        const std::filesystem::path tasks = "/proc/" + std::to_string(pid_) + "/task";
        while (std::chrono::steady_clock::now() < end) {
            std::error_code error;
            for (const auto &task : std::filesystem::directory_iterator(tasks, error)) {
                if (read((task.path() / "comm").string()) == name + "\n") return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    std::string out() const { return read(outPath_); }

    // Everything written to the pipe until the program closed it.
    std::string readOut() {
        std::string text;
        char bytes[65536];
        for (ssize_t n; (n = ::read(pipe_, bytes, sizeof bytes)) != 0;) {
            if (n > 0) text.append(bytes, static_cast<size_t>(n));
            if (n < 0 && errno != EINTR) break;
        }
        return text;
    }
    std::string err() const { return read(errPath_); }

private:
    static std::string read(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    pid_t pid_ = -1;
    int pipe_ = -1;
    std::string outPath_;
    std::string errPath_;
};

}  // namespace kelvo::test
