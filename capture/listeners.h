// SPDX-License-Identifier: MIT
// Where a kelvo process listens. Every socket that binds does so through
// Listeners::bind, so that each is secured alike (CURVE when keys were
// given) and each can be told of as ZeroMQ bound it: the user sees the
// port chosen for port 0 and the address a wildcard stands for.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "curveKeys.h"
#include "zmqSocket.h"

namespace kelvo::recording {

struct Listener {
    std::string role;      // what it takes: "publish", "markers", ...
    std::string endpoint;  // as bound
    bool curve = false;
    // Client handshakes refused, null without CURVE; it outlives the socket.
    std::shared_ptr<const std::atomic<uint64_t>> refusals;

    uint64_t refused() const { return refusals ? refusals->load(std::memory_order_relaxed) : 0; }
};

class Listeners {
public:
    // The keys every later bind secures its socket with.
    void useKeys(CurveKeys keys);
    bool secure() const;

    // Secures `socket` as a CURVE server when keys were given (once per
    // socket: a socket may bind several endpoints), binds it to `endpoint`
    // and notes it as a listener for `role`. Returns the endpoint as bound.
    // Throws std::runtime_error naming the endpoint.
    std::string bind(ZmqSocket &socket, const std::string &role, const std::string &endpoint);

    // Every listener so far, in the order they bound. Any thread.
    std::vector<Listener> all() const;
    // The `index`th of them, null past the last; it stays where it is until
    // clear(), so that its texts may be handed out. Any thread.
    const Listener *at(size_t index) const;
    // Forgets the listeners (a new session binds afresh), keeps the keys.
    void clear();

private:
    mutable std::mutex mutex_;
    std::optional<CurveKeys> keys_;
    std::deque<Listener> listeners_;  // a deque: what at() gave stays put
};

}  // namespace kelvo::recording
