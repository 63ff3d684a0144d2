// SPDX-License-Identifier: MIT
// What the bus tests use to stage real processes around a real segment:
// the machine-wide announcement file kept aside and put back, the server
// program, peer processes that load the library, and a raw view of the
// segment's bytes that does not go through the library's own declarations.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace bustest {

inline const char kAnnouncement[] = "/tmp/xyzServer.id";

// Moves an announcement file found at start aside and puts it back at the
// end, removing whatever the test left at the path.
class AnnouncementGuard {
public:
    AnnouncementGuard() : saved_(std::string(kAnnouncement) + ".saved-by-test-" + std::to_string(getpid())) {
        struct stat info {};
        if (lstat(kAnnouncement, &info) == 0 && rename(kAnnouncement, saved_.c_str()) == 0) hadOne_ = true;
    }
    ~AnnouncementGuard() {
        unlink(kAnnouncement);
        if (hadOne_) rename(saved_.c_str(), kAnnouncement);
    }
    AnnouncementGuard(const AnnouncementGuard &) = delete;
    AnnouncementGuard &operator=(const AnnouncementGuard &) = delete;

private:
    std::string saved_;
    bool hadOne_ = false;
};

// Writes an announcement: the identifier, then `lines` text lines.
inline void writeAnnouncement(int32_t identifier, int lines) {
    std::string text(reinterpret_cast<const char *>(&identifier), sizeof identifier);
    for (int n = 0; n < lines; ++n) text += "line " + std::to_string(n) + "\n";
    unlink(kAnnouncement);
    const int fd = open(kAnnouncement, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("cannot write the announcement");
    }
    close(fd);
}

// A segment made by the test itself. It is marked for removal at once, so
// the kernel frees it when the last process using it ends, pass or fail.
class OwnSegment {
public:
    explicit OwnSegment(size_t size) : id_(shmget(IPC_PRIVATE, size, IPC_CREAT | 0600)) {
        if (id_ < 0) throw std::runtime_error("shmget failed");
        base_ = shmat(id_, nullptr, 0);
        shmctl(id_, IPC_RMID, nullptr);
        if (base_ == reinterpret_cast<void *>(-1)) throw std::runtime_error("shmat failed");
    }
    ~OwnSegment() { shmdt(base_); }
    OwnSegment(const OwnSegment &) = delete;
    OwnSegment &operator=(const OwnSegment &) = delete;
    int id() const { return id_; }

private:
    int id_;
    void *base_;
};

// A child process with its stdin and stdout on pipes. It dies with the
// test process, and is asked to end (stdin closed) or killed when dropped.
class Child {
public:
    explicit Child(std::vector<std::string> argv) {
        // A child that died must show as a failed write, not end the test.
        ::signal(SIGPIPE, SIG_IGN);
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        std::vector<char *> args;
        for (std::string &arg : argv) args.push_back(arg.data());
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            // Only async-signal-safe calls from here on; _exit on any failure.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) _exit(126);
            execv(args[0], args.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        toChild_ = in[1];
        fromChild_ = out[0];
        errors_ = err[0];
    }

    ~Child() {
        if (pid_ > 0 && !exited_) {
            close(toChild_);
            toChild_ = -1;
            if (!waitFor(std::chrono::seconds(10))) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status_, 0);
            }
        }
        for (int fd : {toChild_, fromChild_, errors_}) {
            if (fd >= 0) close(fd);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    void send(const std::string &line) {
        const std::string text = line + "\n";
        if (write(toChild_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            throw std::runtime_error("child gone before: " + line);
        }
    }

    // The next line the child prints; throws when none comes in time.
    std::string receive(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd watch{fromChild_, POLLIN, 0};
            if (left.count() <= 0 || poll(&watch, 1, static_cast<int>(left.count())) <= 0) {
                throw std::runtime_error("no answer in time; stderr: " + drainErrors());
            }
            char chunk[4096];
            const ssize_t n = read(fromChild_, chunk, sizeof chunk);
            if (n <= 0) throw std::runtime_error("child ended; stderr: " + drainErrors());
            pending_.append(chunk, static_cast<size_t>(n));
        }
    }

    std::string ask(const std::string &line) {
        send(line);
        return receive();
    }

    void signal(int number) { kill(pid_, number); }

    // Waits for the child's end; false when it outlives `limit`.
    bool waitFor(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!exited_) {
            if (waitpid(pid_, &status_, WNOHANG) == pid_) {
                exited_ = true;
            } else if (std::chrono::steady_clock::now() > deadline) {
                return false;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        return true;
    }

    bool hasExited() const { return exited_; }
    int exitCode() const { return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }

    std::string drainErrors() {
        std::string text;
        char chunk[4096];
        pollfd watch{errors_, POLLIN, 0};
        while (poll(&watch, 1, 0) > 0) {
            const ssize_t n = read(errors_, chunk, sizeof chunk);
            if (n <= 0) break;
            text.append(chunk, static_cast<size_t>(n));
        }
        return text;
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1, fromChild_ = -1, errors_ = -1;
    int status_ = 0;
    bool exited_ = false;
    std::string pending_;
};

// A process that has loaded the library, ready for commands.
class Peer : public Child {
public:
    Peer() : Child({KELVO_BUS_PEER}) {
        if (receive() != "ready") throw std::runtime_error("peer did not start");
    }
    // A sanitizer report in the peer shows as its exit code.
    ~Peer() {
        if (hasExited()) return;
        try {
            quit();
        } catch (const std::exception &e) {
            ADD_FAILURE() << e.what();
        }
    }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    int call(const std::string &line) { return std::stoi(ask(line)); }
    // Ends the process the ordinary way, so the library's unload hook runs.
    void quit() {
        send("quit");
        if (!waitFor(std::chrono::seconds(20))) throw std::runtime_error("peer did not end");
        if (exitCode() != 0) {
            throw std::runtime_error("peer ended with " + std::to_string(exitCode()) + ": " + drainErrors());
        }
    }
};

// The server program, running until dropped (then interrupted).
class Server : public Child {
public:
    explicit Server(std::vector<std::string> options = {}) : Child(withProgram(std::move(options))) {
        // A note on a replaced stale announcement may come first.
        for (int n = 0; n < 2 && id_ < 0; ++n) {
            const std::string line = receive();
            const size_t at = line.find("segment ");
            if (at != std::string::npos) id_ = std::stoi(line.substr(at + 8));
        }
        if (id_ < 0) {
            signal(SIGINT);
            throw std::runtime_error("server did not start: " + drainErrors());
        }
    }
    ~Server() {
        signal(SIGINT);
        waitFor(std::chrono::seconds(10));
    }
    int id() const { return id_; }

private:
    static std::vector<std::string> withProgram(std::vector<std::string> options) {
        options.insert(options.begin(), KELVO_BUSD);
        return options;
    }
    int id_ = -1;
};

// The segment's bytes at the offsets other processes rely on.
class RawView {
public:
    explicit RawView(int id) : base_(static_cast<char *>(shmat(id, nullptr, 0))) {
        if (base_ == reinterpret_cast<char *>(-1)) throw std::runtime_error("shmat failed");
    }
    ~RawView() { shmdt(base_); }
    RawView(const RawView &) = delete;
    RawView &operator=(const RawView &) = delete;

    int32_t i32(size_t offset) const { return load<int32_t>(offset); }
    int64_t i64(size_t offset) const { return load<int64_t>(offset); }
    void setI32(size_t offset, int32_t value) { std::memcpy(base_ + offset, &value, sizeof value); }
    std::string text(size_t offset) const { return std::string(base_ + offset, strnlen(base_ + offset, 256)); }
    char *bytes(size_t offset) { return base_ + offset; }

    // The user count once it reads `expected`, or as it stands after a few
    // seconds. Any program on the machine that loads the library while the
    // test's announcement is in place counts itself in as well, and out
    // again when it ends; on a busy machine a count is awaited, not read once.
    int32_t usersSettledAt(int32_t expected) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (i32(kUsers) != expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return i32(kUsers);
    }

    // Segment offsets of the record's fields.
    static size_t toMaster(int i) { return 4 + 288 * static_cast<size_t>(i); }
    static size_t toSlave(int i) { return 1156 + 288 * static_cast<size_t>(i); }
    static constexpr size_t kIsFull = 260, kIsReady = 264, kSend = 272, kReceive = 280;
    static constexpr size_t kUsers = 2308;
    static size_t slaveId(int i) { return 2316 + 4 * static_cast<size_t>(i); }
    static constexpr size_t kMasterId = 2332;

private:
    template <class T>
    T load(size_t offset) const {
        T value;
        std::memcpy(&value, base_ + offset, sizeof value);
        return value;
    }
    char *base_;
};

}  // namespace bustest
