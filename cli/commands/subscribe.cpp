// SPDX-License-Identifier: MIT
// kelvo subscribe: receives what 'kelvo publish' sends from one or more
// publishers, puts every publisher's clock onto this machine's, counts the
// messages lost on the way (gaps in each device's sequence, from the first
// message received) and the gaps and markers the publishers told of,
// measures how long each message took, and records what arrives on this
// machine's time axis, as HDF5 or CSV.
#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <set>

#include "cli.h"
#include "commands.h"
#include "json.h"
#include "kelvo.h"
#include "subscriber.h"
#include "subscriberOutputs.h"
#include "subscribing.h"

namespace kelvo::cli {

namespace {

using recording::ClockEstimate;
using recording::PublisherLink;
using recording::ReceivedDevice;
using recording::Subscriber;

std::unique_ptr<recording::SubscriberOutput> openOutput(const std::string &path) {
    if (path.empty()) return nullptr;
    try {
        return recording::openSubscriberOutput(path);
    } catch (const std::invalid_argument &e) {
        throw Failure(e.what(), 2);
    } catch (const std::runtime_error &e) {
        throw Failure(e.what());
    }
}

// "  gaps: 1 (2.41 s, 24100 samples, disconnected)": their time, samples
// and causes together.
void printGaps(const ReceivedDevice &r) {
    double ticks = 0;  // a sum of differences a hostile sender could make overflow as integers
    uint64_t samples = 0;
    std::set<std::string> causes;
    for (const recording::RecordedGap &g : r.gaps) {
        ticks += static_cast<double>(g.endTicks) - static_cast<double>(g.startTicks);
        samples += static_cast<uint64_t>(g.lastIndex - g.firstIndex + 1);
        causes.insert(g.cause);
    }
    std::printf("  gaps: %zu", r.gaps.size());
    if (!r.gaps.empty()) {
        std::string named;
        for (const std::string &cause : causes) named += ", " + cause;
        std::printf(" (%.2f s, %" PRIu64 " samples%s)", ticks * 1e-7, samples, named.c_str());
    }
    if (r.gapMessagesLost > 0) std::printf("; %" PRIu64 " gap messages lost", r.gapMessagesLost);
    std::printf("\n");
}

double samplesPerSecond(const ReceivedDevice &r) {
    const double span = static_cast<double>(r.lastReceipt - r.firstReceipt) * 1e-7;
    return span > 0 ? static_cast<double>(r.samples) / span : 0.0;
}

bool received(const ReceivedDevice &r) { return r.seen || !r.gaps.empty(); }

// "publisher tcp://lab-3:5555 (lab-3): clock offset +1000.000012 s ± 15.2 us, drift +0.013 ppm"
void printPublisher(const PublisherLink &p) {
    std::printf("publisher %s (%s): ", p.endpoint.c_str(),
                p.hostName.empty() ? "no meta document" : p.hostName.c_str());
    const std::optional<ClockEstimate> e = p.clock->estimate();
    if (!e) {
        std::printf("no answer from its time service at %s: its times are its own\n", p.timeEndpoint.c_str());
        return;
    }
    std::printf("clock offset %+.6f s ± %.1f us, drift %+.3f ppm\n", e->offsetTicks * 1e-7, e->uncertaintyTicks * 0.1,
                e->driftPpm);
}

// Prints per device what came and what was lost, then every publisher's
// clock.
void printSummary(const Subscriber &subscriber) {
    const bool several = subscriber.publishers().size() > 1;
    for (const ReceivedDevice &r : subscriber.devices()) {
        if (!received(r)) continue;
        std::printf("%-20s %10" PRIu64 " messages %12" PRIu64 " samples %12.1f samples/s  lost %" PRIu64 " messages\n",
                    r.topic.c_str(), r.messages, r.samples, samplesPerSecond(r), r.lost);
        if (several) std::printf("  from            %s\n", subscriber.publishers()[r.publisher].endpoint.c_str());
        std::printf("  latency         median %.3f ms  p99 %.3f ms\n", r.latency.quantile(0.5) * 1e-4,
                    r.latency.quantile(0.99) * 1e-4);
        if (r.transit.count() > 0) {
            std::printf("  transit         median %.3f ms  p99 %.3f ms\n", r.transit.quantile(0.5) * 1e-4,
                        r.transit.quantile(0.99) * 1e-4);
        }
        printGaps(r);
    }
    if (subscriber.devices().empty() && subscriber.markers().empty()) {
        std::printf("nothing received\n");
    } else {
        std::printf("markers: %zu\n", subscriber.markers().size());
    }
    for (const PublisherLink &p : subscriber.publishers()) printPublisher(p);
}

void printSummaryJson(const Subscriber &subscriber) {
    JsonWriter json;
    json.beginObject().key("devices").beginArray();
    for (const ReceivedDevice &r : subscriber.devices()) {
        if (!received(r)) continue;
        uint64_t gapSamples = 0;
        for (const recording::RecordedGap &g : r.gaps) gapSamples += static_cast<uint64_t>(g.samplesLost);
        json.beginObject()
            .member("topic", r.topic)
            .member("publisher", subscriber.publishers()[r.publisher].endpoint)
            .member("messages", r.messages)
            .member("samples", r.samples)
            .member("samples_per_second", samplesPerSecond(r))
            .member("messages_lost", r.lost)
            .member("latency_median_ms", r.latency.quantile(0.5) * 1e-4)
            .member("latency_p99_ms", r.latency.quantile(0.99) * 1e-4);
        if (r.transit.count() > 0) {
            json.member("transit_median_ms", r.transit.quantile(0.5) * 1e-4)
                .member("transit_p99_ms", r.transit.quantile(0.99) * 1e-4);
        }
        json.member("gaps", static_cast<uint64_t>(r.gaps.size()))
            .member("gap_samples", gapSamples)
            .member("gap_messages_lost", r.gapMessagesLost)
            .endObject();
    }
    json.endArray().member("markers", static_cast<uint64_t>(subscriber.markers().size()));
    json.member("not_understood", subscriber.ignored()).key("publishers").beginArray();
    for (const PublisherLink &p : subscriber.publishers()) {
        json.beginObject().member("endpoint", p.endpoint).member("host_name", p.hostName);
        json.member("time_endpoint", p.timeEndpoint);
        if (const std::optional<ClockEstimate> e = p.clock->estimate()) {
            json.member("offset_us", e->offsetTicks * 0.1)
                .member("uncertainty_us", e->uncertaintyTicks * 0.1)
                .member("drift_ppm", e->driftPpm)
                .member("estimates", static_cast<uint64_t>(p.clock->history().size()));
        } else {
            json.key("offset_us").null().key("uncertainty_us").null().key("drift_ppm").null();
            json.member("estimates", uint64_t{0});
        }
        json.endObject();
    }
    json.endArray().endObject().print();
}

int run(const Arguments &args) {
    if (args.positional.empty()) throw Failure("'subscribe' takes an ENDPOINT, e.g. tcp://host:5555", 2);
    const std::string topic = args.text("topic");
    if (!topic.empty() && topic.rfind("kelvo/", 0) != 0)
        throw Failure("--topic takes kelvo/SERIAL (or kelvo/slotN)", 2);
    recording::SubscriberSettings settings = subscriberSettings(args, args.positional);
    settings.topic = topic;
    std::unique_ptr<recording::SubscriberOutput> output = openOutput(args.text("out"));
    std::unique_ptr<Subscriber> subscriber;
    try {
        subscriber = std::make_unique<Subscriber>(settings, std::move(output));
    } catch (const std::exception &e) {
        throw Failure(e.what(), 2);  // an endpoint ZeroMQ does not take, or no time endpoint follows from it
    }
    receiveUntilDone(*subscriber, args.number("seconds").value_or(-1), std::chrono::milliseconds(100));
    if (args.flag("json")) {
        printSummaryJson(*subscriber);
    } else {
        printSummary(*subscriber);
    }
    if (subscriber->ignored() > 0) {
        std::fprintf(stderr, "kelvo: %" PRIu64 " messages not understood\n", subscriber->ignored());
    }
    uint64_t lost = 0;
    for (const ReceivedDevice &r : subscriber->devices()) lost += r.lost;
    return lost > 0 ? 3 : 0;
}

constexpr Option kOptions[] = {
    Option::valued("topic", "kelvo/SERIAL", ValueKind::text, "receive only this device's stream"),
    option::seconds.valueCalled("S").describedAs("how long to receive; until Ctrl-C without it"),
    option::out.valueCalled("FILE.h5|FILE.csv")
        .describedAs("FILE.h5: records what arrives in the layout of 'kelvo record', on this machine's time "
                     "axis, from the first message after the device's meta document\n"
                     "FILE.csv: one device (use --topic with several): '#' lines that describe it, then the sample "
                     "index, the time in seconds since the start and the decoded values"),
    option::json.describedAs("print the summary as one JSON document"),
    option::curveKeys.describedAs("connect with ZeroMQ's CURVE, with DIR's client keys, to publishers with DIR's "
                                  "server key (docs/security.md)"),
};

}  // namespace

const Command subscribeCommand{
    .name = "subscribe",
    .summary = "receive published streams, count losses",
    .outline = "ENDPOINT...",
    .usage = "ENDPOINT... [--topic kelvo/SERIAL] [--seconds S]\n[--out FILE.h5|FILE.csv] [--json] [--curve-keys DIR]",
    .description = R"(Connects to one or more publishers ('kelvo publish') and receives their
streams (only TOPIC's with --topic) until Ctrl-C or S seconds.

Every publisher's clock is put onto this machine's: the subscriber asks each
publisher's time service (the data port + 1, or where its meta document
says) 8 times every 2 s, keeps the exchanges with the shortest round trip
and fits the publisher's offset and drift. It waits for the first estimate
(up to 3 s) before it takes data. Sample times, gaps and markers are then
on this machine's clock, whichever machine they came from.

At the end it prints per device the messages, samples, rate and lost
messages: gaps in the sequence numbers, counted from the first message
received; the median and 99th percentile of the latency, from the arrival
of a message's first byte at the publisher to its receipt, and of the
transit, from the publisher's sending to the receipt; then the gaps the
publisher told of, samples that never reached it (their number, length,
samples and causes). Then come the markers of the session and, per
publisher, its clock: the offset (its clock minus this one's), the
uncertainty and the drift.

An HDF5 file holds every device of every publisher: `time` (seconds of
this machine's clock), `index` and `publisher_ticks` (the publisher's
own clock) per sample, the gaps in /devices/<serial>/gaps, the markers in
/markers, and every clock estimate in /clock_offsets/<publisher>, so that
a reader can redo the alignment.

With --curve-keys DIR it connects encrypted, as DIR's client, to
publishers that run with --curve-keys, their time services included: one
whose key is not DIR's server.key, or that does not list this client,
sends it nothing.

The exit status is 3 when messages were lost, 0 otherwise.)",
    .options = kOptions,
    .run = run,
};

}  // namespace kelvo::cli
