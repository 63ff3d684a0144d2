// SPDX-License-Identifier: MIT
// kelvo publish: the streams of one to four devices on a ZeroMQ PUB socket,
// a session of the capture library with a publishing sink.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "captureRun.h"
#include "cli.h"
#include "commands.h"
#include "kelvo_capture.h"
#include "prologue.h"

namespace kelvo::cli {

namespace {

int run(const Arguments &args) {
    requireDevicesAndConfig(args, "publish", 4);
    const std::string bind = args.text("bind");
    if (bind.empty()) throw Failure("'publish' needs --bind ENDPOINT, e.g. tcp://*:5555", 2);
    const double version = *args.number("wire-version");
    if (version != 1 && version != 3) throw Failure("--wire-version takes 1 or 3", 2);

    CaptureRun capture(args.positional, args.words("config"));
    capture.setReconnect(args);
    capture.check(kelvoCaptureSetPublish(capture.session(), bind.c_str(), "kelvo",
                                         static_cast<int>(args.number("hwm").value_or(0))));
    capture.check(kelvoCaptureSetPublishVersion(capture.session(), static_cast<int>(version)));
    capture.check(kelvoCaptureSetTimeEndpoint(capture.session(), args.text("time-bind").c_str()));
    capture.takeMarkersFrom(args.text("markers"));
    capture.secureWith(args);
    capture.listenForControl(args.text("control"));
    capture.open();
    std::fprintf(stderr, "publishing on %s:", capture.boundEndpoint("publish").c_str());
    for (int d = 0; d < capture.devices(); ++d) std::fprintf(stderr, " kelvo/%s", capture.name(d).c_str());
    std::fprintf(stderr, "\n");
    capture.printListeners("publish");

    const double elapsed = capture.run(args.number("seconds").value_or(-1));
    bool clean = true;
    for (int d = 0; d < capture.devices(); ++d) {
        clean = capture.printSummary(d, elapsed) && clean;
        std::printf("  messages        %" PRIu64 "\n", capture.stats(d).published);
    }
    capture.printMarkers();
    capture.printRefusals();
    capture.throwIfFailed();
    return clean ? 0 : 3;
}

constexpr Option kOptions[] = {
    option::config,
    option::seconds.valueCalled("S").describedAs("how long to publish; until Ctrl-C without it"),
    Option::valued("bind", "ENDPOINT", ValueKind::text,
                   "where the PUB socket listens: tcp://*:5555, ipc:///tmp/kelvo.sock"),
    Option::number("hwm", "MESSAGES",
                   "how many messages are queued for a subscriber before it loses whole messages (default 5000, "
                   "about ten seconds of four devices at full rate)",
                   1, 10000000),
    Option::number("wire-version", "1|3",
                   "the format of the data messages: 1 for subscribers written for version 1, which lacks the sample "
                   "clock's time and the send time",
                   1, 3)
        .defaulting("3"),
    option::noReconnect,
    option::giveUp,
    option::markers,
    Option::valued("time-bind", "ENDPOINT", ValueKind::text,
                   "where the time service listens, for subscribers to put the publisher's ticks on their own "
                   "clock (default: the --bind port + 1, ipc://PATH.time for ipc://PATH)"),
    option::curveKeys.describedAs("encrypt with ZeroMQ's CURVE and take only the subscribers (and marker senders) "
                                  "whose keys DIR's authorized_clients lists (docs/security.md)"),
    option::control,
};

}  // namespace

const Command publishCommand{
    .name = "publish",
    .summary = "publish the streams over ZeroMQ",
    .outline = "DEVICE... --config CMD...",
    .usage =
        "DEVICE... --config CMD... --bind ENDPOINT [--seconds S]\n"
        "[--hwm MESSAGES] [--wire-version 1|3] [--no-reconnect]\n"
        "[--give-up S] [--markers FROM] [--time-bind ENDPOINT]\n"
        "[--curve-keys DIR] [--control ENDPOINT]",
    .description = R"(Starts 1 to 4 devices together and publishes their streams on a ZeroMQ PUB
socket bound to ENDPOINT (tcp://*:5555, ipc:///tmp/kelvo.sock) until Ctrl-C
or S seconds. A device's consecutive samples of up to 10 ms (from the
arrival of the first) or 64 KiB, whichever comes first, are one message on
the topic kelvo/<serial> (kelvo/slot<N>): the topic, a 72-byte header
(sequence number, index of the first sample, count, sample size, arrival
time, the sample clock's time of the first sample and its period, the send
time) and the raw samples. --wire-version 1 sends the 48-byte header of
version 1 instead, for subscribers written for it. Once a second the topic
kelvo/meta carries a JSON document that says how to decode them.
docs/wire-format.md has the details.

A device that hangs up is brought back, and its break published as a gap
message, as 'kelvo help record' tells (--no-reconnect, --give-up S).

A subscriber that falls behind loses whole messages once MESSAGES (default
5000: at most 100 messages a second per device, and one per 64 KiB, so
about ten seconds of four devices at full rate, 1 MB/s each) are queued for
it; the sequence numbers show the gap. At the end, one still behind gets up
to 5 s to take what is queued for it.

--markers takes markers from other programs as 'kelvo record' does (see
its help); they go out on the topic kelvo/marker like every marker, and the
summary counts them.

A time service answers subscribers that ask for this machine's clock, on
the --bind port + 1 (tcp://*:5555 -> tcp://*:5556) or --time-bind
ENDPOINT, so that they put the publisher's ticks on their own time axis;
the meta document names it (time_endpoint) and lists what the subscribers
report of the messages they got and lost.

It says on stderr where each socket listens, as bound: "publishing on
tcp://0.0.0.0:5555: kelvo/SIM0001", with the port chosen for port 0.
With --curve-keys DIR every socket it binds is encrypted with ZeroMQ's
CURVE, and open only to the clients whose public keys DIR/authorized_clients
lists; the summary counts those refused. 'kelvo keys DIR' makes such a
directory; docs/security.md tells which file goes where.

--control ENDPOINT lets scripts steer the run as 'kelvo help record' tells
('kelvo control ENDPOINT status', mark TEXT, stop); split is refused, as
nothing is recorded.)",
    .options = kOptions,
    .run = run,
};

}  // namespace kelvo::cli
