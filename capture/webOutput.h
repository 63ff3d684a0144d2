// SPDX-License-Identifier: MIT
// What a subscriber receives, shown in browsers (webServer.h) on the
// subscriber's time axis: each publisher's devices as they are described,
// their samples reduced to columns, the gaps and markers the publishers
// told of, and each device's counters once a second.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "subscriber.h"
#include "webColumns.h"
#include "webServer.h"

namespace kelvo::recording {

class WebOutput : public SubscriberOutput {
public:
    // 0 on the view's time axis is `originTicks` of this machine's clock.
    WebOutput(WebServer &server, int64_t originTicks);

    bool add(ReceivedDevice &r, const PublisherLink &publisher, const Json::Value &meta) override;
    void write(ReceivedDevice &r, const ReceivedSamples &s) override;
    void keep(const Subscriber &subscriber) override;
    void flush() override {}
    void finish(const Subscriber &subscriber) override { keep(subscriber); }

private:
    struct Shown {
        std::unique_ptr<ColumnDecimator> decimator;
        size_t gapsShown = 0;
        uint64_t lastSamples = 0;
    };

    WebServer &server_;
    int64_t originTicks_;
    std::vector<Shown> shown_;  // by the server's device id
    std::vector<float> values_;
    size_t markersShown_ = 0;
    int64_t lastKeepTicks_ = 0;
};

}  // namespace kelvo::recording
