// SPDX-License-Identifier: MIT
#include "busMarkers.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "captureError.h"
#include "kelvo.h"
#include "markerText.h"

namespace kelvo::capture {

namespace {

constexpr int kSlaves = 4;
// Shared memory signals nothing, so the mailboxes are looked at this often.
// A message's time is its send stamp, so this only delays its arrival; and
// a slave's mailbox holds one message, so it bounds how fast one sender
// can mark.
constexpr int kPollMs = 1;

}  // namespace

BusMarkers::BusMarkers(Session &session) : session_(session) {
    if (tMsgInit() != 0) {
        throw CaptureError(
            "no message bus for markers: kelvo-busd is not running (nothing is announced in "
            "/tmp/xyzServer.id)");
    }
    handle_ = tMsgRegisterAsMaster();
    if (handle_ < 0) throw CaptureError("the message bus has a master already: another program takes its messages");
    // What an earlier master left unread was meant for it, not for this session.
    (void)tMsgClearAllSlaveMessages();
    stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_ < 0) {
        tMsgUnregisterAsMaster(handle_);
        throw CaptureError("no eventfd for the bus's markers");
    }
    thread_ = std::thread([this] { receive(); });
}

BusMarkers::~BusMarkers() {
    const uint64_t one = 1;
    (void)!write(stop_, &one, sizeof one);
    thread_.join();
    takeWaiting();
    tMsgUnregisterAsMaster(handle_);
    close(stop_);
}

void BusMarkers::receive() {
    pthread_setname_np(pthread_self(), "kelvo-busmarks");
    pollfd stop{stop_, POLLIN, 0};
    while (poll(&stop, 1, kPollMs) == 0 || (stop.revents & POLLIN) == 0) takeWaiting();
}

void BusMarkers::takeWaiting() {
    for (int slave = 0; slave < kSlaves; ++slave) takeFrom(slave);
}

// The send stamp is read after the message was taken, and is then the
// message's own unless the slave sent its next one at once, which stamps
// it after this read's receive stamp; the stamp read before taking it
// then holds the message's (a box refilled that fast was full already).
void BusMarkers::takeFrom(int slave) {
    int64_t before[4] = {};
    (void)tMsgGetTimeStamps(before, slave);
    char text[256];
    if (tMsgGetSlaveMsg(text, slave) < 0) return;
    int64_t after[4] = {};
    (void)tMsgGetTimeStamps(after, slave);
    // As the master: [2] the slave's send stamp, [3] this read's.
    const int64_t sent = after[2] <= after[3] ? after[2] : before[2];
    if (sent <= 0 || !markerTextProblem(text).empty()) {
        session_.countDroppedMarker();
        return;
    }
    (void)session_.mark(text, sent, "bus");
}

}  // namespace kelvo::capture
