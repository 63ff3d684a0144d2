// SPDX-License-Identifier: MIT
// Cross-thread access to the plain fields of the C tables.
//
// The tables keep plain C types because they are part of the C interface,
// but every word that two threads touch goes through std::atomic_ref so the
// accesses are atomic and ordered in the C++ memory model (and visible to
// ThreadSanitizer). Publishing stores are release stores, the loads that
// pick them up acquire loads.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace kelvo {

template <class T>
inline T loadAcquire(T &word) {
    return std::atomic_ref<T>(word).load(std::memory_order_acquire);
}

template <class T>
inline T loadRelaxed(T &word) {
    return std::atomic_ref<T>(word).load(std::memory_order_relaxed);
}

template <class T>
inline void storeRelease(T &word, std::type_identity_t<T> value) {
    std::atomic_ref<T>(word).store(value, std::memory_order_release);
}

template <class T>
inline T fetchAdd(T &word, std::type_identity_t<T> delta) {
    return std::atomic_ref<T>(word).fetch_add(delta, std::memory_order_acq_rel);
}

template <class T>
inline T exchange(T &word, std::type_identity_t<T> value) {
    return std::atomic_ref<T>(word).exchange(value, std::memory_order_acq_rel);
}

template <class T>
inline void setBits(T &word, std::type_identity_t<T> bits) {
    std::atomic_ref<T>(word).fetch_or(bits, std::memory_order_acq_rel);
}

template <class T>
inline void clearBits(T &word, std::type_identity_t<T> bits) {
    std::atomic_ref<T>(word).fetch_and(static_cast<T>(~bits), std::memory_order_acq_rel);
}

}  // namespace kelvo
