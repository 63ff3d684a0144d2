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
    JsonWriter json;
    json.beginObject().member("seconds", elapsed).key("devices").beginArray();
    double low[4] = {1e300, 1e300, 1e300, 1e300};
    double high[4] = {-1e300, -1e300, -1e300, -1e300};
    bool complete[4] = {true, true, true, true};
    for (const auto &[slot, name] : slots) {
        int64_t stamps[4] = {};
        if (kelvoGetTimeStampsFromSynchronizedGroup(slot, stamps) != 0) throw Failure(name + ": " + libraryError(slot));
        json.beginObject().member("slot", slot).member("device", name);
        for (int k = 0; k < 4; ++k) {
            json.key(kNames[k]);
            if (!stampTaken(stamps, k)) {
                complete[k] = false;
                json.null();
                continue;
            }
            low[k] = std::min(low[k], static_cast<double>(stamps[k]) / 10.0);
            high[k] = std::max(high[k], static_cast<double>(stamps[k]) / 10.0);
            if (k == 0) {
                json.value(stamps[0]);
            } else {
                json.value(static_cast<double>(stamps[k] - stamps[0]) / 10.0);
            }
        }
        for (const StreamRun::Slot &s : run.slots()) {
            if (s.slot == slot) writeThroughput(json, s, elapsed);
        }
        json.endObject();
    }
    json.endArray().key("spread_us").beginObject();
    for (int k = 1; k < 4; ++k) {
        json.key(kSpreads[k]);
        if (complete[k]) {
            json.value(high[k] - low[k]);
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
