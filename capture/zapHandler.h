// SPDX-License-Identifier: MIT
// Who may connect to a CURVE server socket. ZeroMQ asks about each client's
// handshake the handler bound at inproc://zeromq.zap.01 in the socket's own
// context (the ZAP protocol); this one answers on its own thread,
// "kelvo-zap", accepting the public keys it was given. The same thread
// watches the socket's handshakes (zmq_socket_monitor) and counts those
// that failed: the keys it refused, and the clients that hold a wrong
// server key, which never reach the ZAP question.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kelvo::recording {

class ZapHandler {
public:
    // Binds in `context` and starts answering for `server`, before that
    // binds: a handshake that found no handler would be let through.
    // Throws std::runtime_error.
    ZapHandler(void *context, void *server, const std::vector<std::string> &authorizedZ85Keys);
    // Before the context is terminated.
    ~ZapHandler();
    ZapHandler(const ZapHandler &) = delete;
    ZapHandler &operator=(const ZapHandler &) = delete;

    // Client handshakes that failed so far; it outlives the handler, so that a summary
    // made after the socket closed still reads it. Any thread.
    std::shared_ptr<const std::atomic<uint64_t>> refusals() const { return refused_; }

private:
    void serve();
    void answer(const std::vector<std::string> &request);
    void countFailure(const std::vector<std::string> &event);

    void *socket_ = nullptr;
    void *monitor_ = nullptr;           // the server's handshake events
    std::set<std::string> authorized_;  // 32-byte binary keys, as ZAP hands them over
    std::shared_ptr<std::atomic<uint64_t>> refused_ = std::make_shared<std::atomic<uint64_t>>(0);
    int stop_ = -1;  // eventfd
    std::thread thread_;
};

}  // namespace kelvo::recording
