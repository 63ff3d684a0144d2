// SPDX-License-Identifier: MIT
// Test support: an X display that refuses its first connection and relays
// the later ones to a real X server, as a busy server that drops a client
// now and then looks to Xlib.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace kelvo::test {

class FlakyDisplay {
public:
    // `upstream` is the number of a local display that needs no cookie.
    explicit FlakyDisplay(int upstream) : upstream_(upstream) {
        for (int number = 90; number < 190 && listener_ < 0; ++number) listener_ = listenAs(number);
        if (listener_ >= 0) relay_ = std::thread([this] { serve(); });
    }
    ~FlakyDisplay() {
        stop_ = true;
        if (relay_.joinable()) relay_.join();
        if (listener_ >= 0) {
            close(listener_);
            unlink(path_.c_str());
            unlink(lock_.c_str());
        }
    }
    FlakyDisplay(const FlakyDisplay &) = delete;
    FlakyDisplay &operator=(const FlakyDisplay &) = delete;

    // Empty when no display number was free.
    const std::string &display() const { return display_; }
    int refused() const { return refused_.load(); }

private:
    static sockaddr_un socketAddress(int number) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "/tmp/.X11-unix/X%d", number);
        return address;
    }

    // Takes the display number the way X servers do, with its lock file, so
    // that no server started meanwhile picks it too.
    int listenAs(int number) {
        const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
        const int lockFd = open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
        if (lockFd < 0) return -1;
        char pid[16];
        const int length = std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
        const bool locked = write(lockFd, pid, static_cast<size_t>(length)) == length;
        close(lockFd);
        const sockaddr_un address = socketAddress(number);
        const int fd = locked ? socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
        if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
            listen(fd, 8) != 0) {
            if (fd >= 0) close(fd);
            unlink(lock.c_str());
            return -1;
        }
        lock_ = lock;
        path_ = address.sun_path;
        display_ = ":" + std::to_string(number);
        return fd;
    }

    int connectUpstream() const {
        const sockaddr_un address = socketAddress(upstream_);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) return fd;
        if (fd >= 0) close(fd);
        return -1;
    }

    // Copies what is readable from one end to the other; false once either
    // end has gone.
    static bool pass(int from, int to) {
        char buffer[65536];
        const ssize_t got = read(from, buffer, sizeof buffer);
        if (got <= 0) return false;
        for (ssize_t sent = 0; sent < got;) {
            const ssize_t n = write(to, buffer + sent, static_cast<size_t>(got - sent));
            if (n <= 0) return false;
            sent += n;
        }
        return true;
    }

    void accept1() {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        if (refused_.load() == 0) {
            ++refused_;
            close(client);
            return;
        }
        const int server = connectUpstream();
        if (server < 0) {
            close(client);
            return;
        }
        ends_.push_back(client);
        ends_.push_back(server);
    }

    void serve() {
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (int fd : ends_) fds.push_back({fd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 20) <= 0) continue;
            if (fds[0].revents != 0) accept1();
            for (size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                const size_t self = i - 1, peer = self ^ 1;
                if (!pass(ends_[self], ends_[peer])) {
                    close(ends_[self]);
                    close(ends_[peer]);
                    ends_[self] = ends_[peer] = -1;  // poll skips them
                }
            }
        }
        for (int fd : ends_)
            if (fd >= 0) close(fd);
    }

    int upstream_;
    int listener_ = -1;
    std::string lock_, path_, display_;
    std::atomic<int> refused_{0};
    std::atomic<bool> stop_{false};
    std::vector<int> ends_;  // client, server, client, server, ...
    std::thread relay_;
};

}  // namespace kelvo::test
