// SPDX-License-Identifier: MIT
// kelvo mark: a marker into a capture another kelvo program runs, over the
// message bus or ZeroMQ, stamped with this program's clock when it is sent.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <thread>

#include "cli.h"
#include "commands.h"
#include "curveKeys.h"
#include "kelvo.h"
#include "zmqSocket.h"

namespace kelvo::cli {

namespace {

constexpr size_t kBusTextBytes = 255;
constexpr size_t kMarkerBytes = 4096;
// How long a marker may take to be delivered before the command gives up.
constexpr int kDeliveryMs = 2000;

using Clock = std::chrono::steady_clock;

class SlavePlace {
public:
    SlavePlace() : index_(tMsgRegisterAsSlave()) {}
    ~SlavePlace() {
        if (index_ >= 0) tMsgUnregisterAsSlave(index_);
    }
    SlavePlace(const SlavePlace &) = delete;
    SlavePlace &operator=(const SlavePlace &) = delete;
    int index() const { return index_; }

private:
    int index_;
};

// Waits until `done` holds or the delivery time is up.
template <class Condition>
bool within(Clock::time_point deadline, Condition done) {
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The send stamp of the message once the master took it. The mailbox holds
// one message: a full one (the master has not yet read this place's last
// message) is waited for as an absent master is.
int64_t markOverBus(const std::string &text) {
    if (text.size() > kBusTextBytes) {
        throw Failure("a bus message holds at most 255 bytes, this text has " + std::to_string(text.size()) +
                          " (--to ENDPOINT takes up to 4096)",
                      2);
    }
    if (tMsgInit() != 0)
        throw Failure("no message bus: kelvo-busd is not running (nothing is announced in /tmp/xyzServer.id)");
    const SlavePlace place;
    if (place.index() < 0) throw Failure("the message bus has no free slave place: four programs hold them");
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kDeliveryMs);
    if (!within(deadline, [&] { return tMsgSendMsgToMaster(text.c_str(), place.index()) >= 0; })) {
        throw Failure(
            "no master on the message bus took the marker within 2 s (is 'kelvo record --markers bus' "
            "running?)");
    }
    int64_t stamps[4] = {};
    tMsgGetTimeStamps(stamps, place.index());
    const int64_t sent = stamps[0];
    // [1]: when the master last read this place's mailbox.
    if (!within(deadline, [&] { return tMsgGetTimeStamps(stamps, place.index()) == 0 && stamps[1] >= sent; })) {
        throw Failure("the master of the message bus did not take the marker within 2 s");
    }
    return sent;
}

// The text, and this program's clock as a little-endian int64 tick count.
int64_t markOverZmq(const std::string &endpoint, const std::string &text, const std::string &keys) {
    const Clock::time_point start = Clock::now();
    recording::ZmqSocket socket(ZMQ_PUSH);
    if (!keys.empty()) socket.secureAsClient(recording::loadCurveKeys(keys));
    // Only a connection made can take the message: without a listener the
    // send times out instead of queueing it for one that may never come.
    socket.setInt(ZMQ_IMMEDIATE, 1);
    socket.setInt(ZMQ_SNDTIMEO, kDeliveryMs);
    socket.connect(endpoint);
    const int64_t ticks = kelvoGetTicks();
    unsigned char stamp[8];
    for (size_t k = 0; k < sizeof stamp; ++k)
        stamp[k] = static_cast<unsigned char>(static_cast<uint64_t>(ticks) >> (8 * k));
    if (!socket.sendWaiting({{text.data(), text.size()}, {stamp, sizeof stamp}})) {
        throw Failure(endpoint + ": nothing took the marker within 2 s (is 'kelvo record --markers " + endpoint +
                      "' running?)");
    }
    // What is left of the delivery time to put it on the wire, as the socket closes.
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    socket.setInt(ZMQ_LINGER, static_cast<int>(std::max<int64_t>(100, kDeliveryMs - spent)));
    return ticks;
}

int run(const Arguments &args) {
    if (args.positional.size() != 1) throw Failure("'mark' takes one TEXT; quote it when it has spaces", 2);
    const std::string &text = args.positional.front();
    if (text.empty()) throw Failure("the marker text is empty", 2);
    if (text.size() > kMarkerBytes) {
        throw Failure("the marker text has " + std::to_string(text.size()) + " bytes, over the limit of 4096", 2);
    }
    const std::string to = args.text("to");
    const std::string keys = args.text("curve-keys");
    if (!keys.empty() && to.empty()) throw Failure("--curve-keys goes with --to ENDPOINT", 2);
    const int64_t ticks = to.empty() ? markOverBus(text) : markOverZmq(to, text, keys);
    std::printf("marked at tick %" PRId64 "\n", ticks);
    return 0;
}

constexpr Option kOptions[] = {
    Option::valued("to", "ENDPOINT", ValueKind::text,
                   "send over ZeroMQ to the capture listening there (tcp://host:5556, ipc:///tmp/marks) instead "
                   "of the message bus"),
    option::curveKeys.describedAs("with --to: send encrypted with ZeroMQ's CURVE, as DIR's client, to a capture "
                                  "with DIR's server key (docs/security.md)"),
};

}  // namespace

const Command markCommand{
    .name = "mark",
    .summary = "put a marker into a running recording",
    .outline = "TEXT [--to ENDPOINT]",
    .usage = "TEXT [--to ENDPOINT [--curve-keys DIR]]",
    .description = R"(Sends TEXT as a marker to a capture that another kelvo program runs: to
'kelvo record --markers bus' (or publish) over the message bus by default,
or with --to over ZeroMQ to one that listens with --markers ENDPOINT. The
marker is timed by this program's clock as it is sent: over the bus the
message's send stamp, over ZeroMQ a second frame with kelvoGetTicks() as a
little-endian int64. The recording keeps that time exactly, in /markers
(ticks, text, source "bus" or "zmq"), and per device the sample nearest
it in marker_index.

On success it prints the tick it sent. A bus message holds at most 255
bytes of UTF-8 text, a ZeroMQ one 4096. The command waits at most about
2 s for the marker to be taken.

Exit status: 0 when the marker was delivered, 1 when there is no bus
(kelvo-busd not running), no master on it, or nothing takes the marker at
ENDPOINT in time, 2 for a usage error.)",
    .options = kOptions,
    .run = run,
};

}  // namespace kelvo::cli
