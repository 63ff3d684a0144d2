// SPDX-License-Identifier: MIT
// A record of a few words that one thread rewrites and others read whole,
// without a lock: the writer makes the sequence odd while it writes, and a
// reader retries when the sequence was odd or moved during its copy. Every
// word goes through std::atomic_ref, so the copies are no data race.
//
// One writer at a time; readers never wait for the writer, they only copy
// again (the writer's critical section is a few stores). The words are
// stored with release and loaded with acquire instead of fences around
// relaxed accesses, which ThreadSanitizer cannot follow: a reader that sees
// a word of a new record then sees the odd sequence that came before it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace kelvo {

template <class Record>
class SeqLock {
    static_assert(std::is_trivially_copyable_v<Record> && sizeof(Record) % sizeof(uint64_t) == 0,
                  "a record is copied as whole 64-bit words");
    static constexpr size_t kWords = sizeof(Record) / sizeof(uint64_t);

public:
    void write(const Record &record) {
        std::atomic_ref<uint32_t> sequence(sequence_);
        const uint32_t begun = sequence.load(std::memory_order_relaxed) + 1;
        sequence.store(begun, std::memory_order_relaxed);
        uint64_t words[kWords];
        std::memcpy(words, &record, sizeof words);
        for (size_t i = 0; i < kWords; ++i) {
            std::atomic_ref<uint64_t>(words_[i]).store(words[i], std::memory_order_release);
        }
        sequence.store(begun + 1, std::memory_order_release);
    }

    Record read() const {
        std::atomic_ref<uint32_t> sequence(sequence_);
        uint64_t words[kWords];
        for (;;) {
            const uint32_t before = sequence.load(std::memory_order_acquire);
            for (size_t i = 0; i < kWords; ++i) {
                words[i] = std::atomic_ref<uint64_t>(words_[i]).load(std::memory_order_acquire);
            }
            if ((before & 1u) == 0 && sequence.load(std::memory_order_relaxed) == before) break;
        }
        Record record;
        std::memcpy(&record, words, sizeof record);
        return record;
    }

private:
    mutable uint32_t sequence_ = 0;
    mutable uint64_t words_[kWords] = {};
};

}  // namespace kelvo
