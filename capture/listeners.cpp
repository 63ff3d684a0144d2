// SPDX-License-Identifier: MIT
#include "listeners.h"

#include <stdexcept>

namespace kelvo::recording {

void Listeners::useKeys(CurveKeys keys) {
    const std::lock_guard lock(mutex_);
    keys_ = std::move(keys);
}

bool Listeners::secure() const {
    const std::lock_guard lock(mutex_);
    return keys_.has_value();
}

std::string Listeners::bind(ZmqSocket &socket, const std::string &role, const std::string &endpoint) {
    std::optional<CurveKeys> keys;
    {
        const std::lock_guard lock(mutex_);
        keys = keys_;
    }
    if (keys && !socket.securedAsServer()) socket.secureAsServer(*keys);
    socket.bind(endpoint);
    Listener listener{role, socket.boundEndpoint(), keys.has_value(), socket.refusals()};
    const std::lock_guard lock(mutex_);
    listeners_.push_back(listener);
    return listener.endpoint;
}

std::vector<Listener> Listeners::all() const {
    const std::lock_guard lock(mutex_);
    return {listeners_.begin(), listeners_.end()};
}

const Listener *Listeners::at(size_t index) const {
    const std::lock_guard lock(mutex_);
    return index < listeners_.size() ? &listeners_[index] : nullptr;
}

void Listeners::clear() {
    const std::lock_guard lock(mutex_);
    listeners_.clear();
}

}  // namespace kelvo::recording
