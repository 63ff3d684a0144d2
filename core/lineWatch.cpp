// SPDX-License-Identifier: MIT
#include "lineWatch.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "clock.h"

namespace kelvo {
namespace {

constexpr uint64_t kWakeupTag = kSlots;
constexpr int64_t kDegradedPassTicks = kTicksPerMs;

}  // namespace

bool LineWatch::open(int wakeupFd) {
    if (epollFd_ >= 0) return true;
    if (wakeupFd < 0) return false;
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) return false;
    epoll_event wakeup{};
    wakeup.events = EPOLLIN;
    wakeup.data.u64 = kWakeupTag;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeupFd, &wakeup) != 0) {
        close(epollFd_);
        epollFd_ = -1;
    }
    return epollFd_ >= 0;
}

void LineWatch::watch(int dev, int fd, bool forRoom) {
    const uint32_t events = EPOLLIN | EPOLLET | (forRoom ? EPOLLOUT : 0u);
    if (epollFd_ < 0 || (fdOf_[dev] == fd && watched_[dev] == events)) return;
    if (fdOf_[dev] != fd) forget(dev);
    epoll_event line{};
    line.events = events;
    line.data.u64 = static_cast<uint64_t>(dev);
    const int operation = watched_[dev] == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    if (epoll_ctl(epollFd_, operation, fd, &line) == 0) {
        fdOf_[dev] = fd;
        watched_[dev] = events;
    }
}

void LineWatch::forget(int dev) {
    if (epollFd_ >= 0 && watched_[dev] != 0) (void)epoll_ctl(epollFd_, EPOLL_CTL_DEL, fdOf_[dev], nullptr);
    fdOf_[dev] = -1;
    watched_[dev] = 0;
}

void LineWatch::sleep(int64_t timeoutTicks) {
    for (uint32_t &events : ready_) events = 0;
    woken_ = false;
    if (epollFd_ < 0) {
        const int64_t wait = timeoutTicks < 0 ? kDegradedPassTicks : std::min(timeoutTicks, kDegradedPassTicks);
        const timespec pause = timespecOf(wait);
        (void)nanosleep(&pause, nullptr);
        for (uint32_t &events : ready_) events = POLLIN | POLLOUT;
        return;
    }
    epoll_event happened[kSlots + 1];
    const timespec timeout = timespecOf(timeoutTicks < 0 ? 0 : timeoutTicks);
    const int count = epoll_pwait2(epollFd_, happened, kSlots + 1, timeoutTicks < 0 ? nullptr : &timeout, nullptr);
    for (int i = 0; i < count; ++i) {
        const uint64_t tag = happened[i].data.u64;
        if (tag == kWakeupTag) {
            woken_ = true;
        } else if (tag < kSlots) {
            ready_[tag] = happened[i].events;
        }
    }
}

uint32_t LineWatch::eventsOf(int dev) const { return ready_[dev]; }

}  // namespace kelvo
