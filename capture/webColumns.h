// SPDX-License-Identifier: MIT
// The browser view's reduction of a stream: the samples of each column of
// time (a pixel's worth of the view's window) become one minimum and one
// maximum per channel, so that what a browser is sent does not grow with
// the sample rate.
//
// The capture's consumer thread reduces (ColumnDecimator) and hands each
// column on through a ColumnRing, a single-producer single-consumer ring
// allocated once; the view's own thread takes them out. The column still
// filling is handed on after every batch too, so a browser sees a sample
// in the frame after it arrived, not a column later; the reader keeps the
// newest update of each column. A ring that is full drops the update and
// counts it: the view loses a column, the capture nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kelvo::recording {

struct ColumnUpdate {
    int64_t index = 0;         // the column's start is index x the column's width on the time axis
    uint32_t samples = 0;      // in the column so far
    int64_t arrivalTicks = 0;  // when the newest of its samples arrived (kelvoGetTicks)
};

class ColumnRing {
public:
    // `capacity` is rounded up to a power of two.
    ColumnRing(uint32_t channels, size_t capacity);
    ColumnRing(const ColumnRing &) = delete;
    ColumnRing &operator=(const ColumnRing &) = delete;

    uint32_t channels() const { return channels_; }
    // Producer: `minMax` holds channels x (minimum, maximum). False, and
    // counted, when the ring is full.
    bool push(const ColumnUpdate &update, const float *minMax);
    // Consumer: the oldest update, its values copied to `minMax`
    // (channels x 2); false when empty.
    bool pop(ColumnUpdate &update, float *minMax);
    // Any thread.
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    uint32_t channels_;
    size_t mask_;
    std::unique_ptr<ColumnUpdate[]> updates_;
    std::unique_ptr<float[]> values_;
    std::atomic<uint64_t> head_{0}, tail_{0};  // the producer's, the consumer's
    std::atomic<uint64_t> dropped_{0};
};

class ColumnDecimator {
public:
    // Times are ticks; a sample at `t` falls in column
    // floor((t - originTicks) / columnTicks).
    ColumnDecimator(ColumnRing &ring, int64_t originTicks, int64_t columnTicks);

    // `values` holds count x channels, `ticks` each sample's time; the
    // samples arrived at `arrivalTicks`. Hands on every column they
    // completed and the one still filling.
    void add(const float *values, const int64_t *ticks, uint32_t count, int64_t arrivalTicks);

private:
    void start(int64_t index, const float *sample);
    void widen(const float *sample);
    void handOn(int64_t arrivalTicks);

    ColumnRing &ring_;
    int64_t originTicks_;
    int64_t columnTicks_;
    uint32_t channels_;
    bool filling_ = false;
    ColumnUpdate column_;
    std::unique_ptr<float[]> minMax_;
};

}  // namespace kelvo::recording
