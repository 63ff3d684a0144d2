// SPDX-License-Identifier: MIT
#include "webColumns.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kelvo::recording {

ColumnRing::ColumnRing(uint32_t channels, size_t capacity)
    : channels_(channels),
      mask_(std::bit_ceil(std::max<size_t>(capacity, 2)) - 1),
      updates_(new ColumnUpdate[mask_ + 1]),
      values_(new float[(mask_ + 1) * channels * 2]) {}

bool ColumnRing::push(const ColumnUpdate &update, const float *minMax) {
    const uint64_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) > mask_) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    const size_t slot = head & mask_;
    updates_[slot] = update;
    std::memcpy(&values_[slot * channels_ * 2], minMax, sizeof(float) * channels_ * 2);
    head_.store(head + 1, std::memory_order_release);
    return true;
}

bool ColumnRing::pop(ColumnUpdate &update, float *minMax) {
    const uint64_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire)) return false;
    const size_t slot = tail & mask_;
    update = updates_[slot];
    std::memcpy(minMax, &values_[slot * channels_ * 2], sizeof(float) * channels_ * 2);
    tail_.store(tail + 1, std::memory_order_release);
    return true;
}

ColumnDecimator::ColumnDecimator(ColumnRing &ring, int64_t originTicks, int64_t columnTicks)
    : ring_(ring),
      originTicks_(originTicks),
      columnTicks_(std::max<int64_t>(columnTicks, 1)),
      channels_(ring.channels()),
      minMax_(new float[size_t{ring.channels()} * 2]) {}

void ColumnDecimator::add(const float *values, const int64_t *ticks, uint32_t count, int64_t arrivalTicks) {
    for (uint32_t i = 0; i < count; ++i) {
        const float *sample = values + static_cast<size_t>(i) * channels_;
        // Floor division: a sample before the origin (a device's clock fit
        // settling) still lands in a column of its own.
        const int64_t offset = ticks[i] - originTicks_;
        const int64_t index = offset >= 0 ? offset / columnTicks_ : -((-offset + columnTicks_ - 1) / columnTicks_);
        if (!filling_ || index != column_.index) {
            if (filling_) handOn(arrivalTicks);
            start(index, sample);
        } else {
            widen(sample);
        }
    }
    if (filling_ && count > 0) handOn(arrivalTicks);
}

void ColumnDecimator::start(int64_t index, const float *sample) {
    filling_ = true;
    column_.index = index;
    column_.samples = 1;
    for (size_t c = 0; c < channels_; ++c) minMax_[2 * c] = minMax_[2 * c + 1] = sample[c];
}

void ColumnDecimator::widen(const float *sample) {
    ++column_.samples;
    for (size_t c = 0; c < channels_; ++c) {
        minMax_[2 * c] = std::min(minMax_[2 * c], sample[c]);
        minMax_[2 * c + 1] = std::max(minMax_[2 * c + 1], sample[c]);
    }
}

void ColumnDecimator::handOn(int64_t arrivalTicks) {
    column_.arrivalTicks = arrivalTicks;
    ring_.push(column_, minMax_.get());
}

}  // namespace kelvo::recording
