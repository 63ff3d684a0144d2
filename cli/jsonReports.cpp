// SPDX-License-Identifier: MIT
// The --json forms of the list, the sync report and the stream summary.
#include <algorithm>

#include "cli.h"
#include "json.h"
#include "kelvo.h"

namespace kelvo::cli {

namespace {

void writeThroughput(JsonWriter &json, const StreamRun::Slot &s, double elapsed) {
    // Rates over the run itself, without what the devices sent after the stop.
    const double rate = elapsed > 0 ? 1.0 / elapsed : 0.0;
    const uint64_t samplesInRun = s.bytesInRun / static_cast<uint64_t>(s.sampleBytes);
    json.member("samples", s.counts.received)
        .member("dropped", s.counts.dropped)
        .member("framing_errors", s.counts.framingErrors)
        .member("bytes_skipped", s.counts.bytesSkipped)
        .member("sample_bytes", s.sampleBytes)
        .member("samples_per_second", static_cast<double>(samplesInRun) * rate)
        .member("bytes_per_second", static_cast<double>(s.bytesInRun) * rate);
}

}  // namespace

void printListJson(const std::vector<ListedDevice> &devices) {
    JsonWriter json;
    json.beginObject().key("devices").beginArray();
    for (const ListedDevice &d : devices) {
        json.beginObject().member("kind", d.kind).member("path", d.path).member("serial", d.serial).endObject();
    }
    json.endArray().endObject().print();
}

void printSyncJson(const std::vector<std::pair<int, std::string>> &slots, const StreamRun &run, double elapsed) {
    static const char *const kNames[] = {"released_ticks", "sent_us", "first_bytes_us", "first_payload_us"};
    static const char *const kSpreads[] = {"", "sent", "first_bytes", "first_payload"};
    const StartStamps start = readStartStamps(slots);
    JsonWriter json;
    json.beginObject().member("seconds", elapsed).key("devices").beginArray();
    for (const StartStamps::Device &d : start.devices) {
        json.beginObject().member("slot", d.slot).member("device", d.name);
        json.key(kNames[0]);
        if (d.taken(0)) {
            json.value(d.ticks[0]);
        } else {
            json.null();
        }
        for (int k = 1; k < 4; ++k) {
            json.key(kNames[k]);
            if (d.taken(k)) {
                json.value(d.afterReleaseUs(k));
            } else {
                json.null();
            }
        }
        for (const StreamRun::Slot &s : run.slots()) {
            if (s.slot == d.slot) writeThroughput(json, s, elapsed);
        }
        json.endObject();
    }
    json.endArray().key("spread_us").beginObject();
    for (int k = 1; k < 4; ++k) {
        json.key(kSpreads[k]);
        const double spread = start.spreadUs(k);
        if (spread >= 0) {
            json.value(spread);
        } else {
            json.null();
        }
    }
    json.endObject().endObject().print();
}

void printStreamJson(const StreamRun::Slot &s, double elapsed, const std::string &out) {
    JsonWriter json;
    json.beginObject().member("device", s.name).member("seconds", elapsed);
    writeThroughput(json, s, elapsed);
    json.key("out");
    if (out.empty()) {
        json.null();
    } else {
        json.value(out);
    }
    json.endObject().print();
}

}  // namespace kelvo::cli
