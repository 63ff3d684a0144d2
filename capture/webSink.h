// SPDX-License-Identifier: MIT
// A session shown live in browsers (webServer.h): every device's samples
// reduced to columns on the consumer thread, its gaps, markers and counters
// handed on, and markers sent from a page put into the session.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "session.h"
#include "webColumns.h"
#include "webServer.h"

namespace kelvo::capture {

class WebSink : public Sink {
public:
    // Listens at once, so that a refusal comes at the open; throws
    // CaptureError naming the address when it cannot.
    WebSink(recording::WebViewSettings settings, Session &session);

    std::string url() const { return server_->url(); }

    void started(const Session &session) override;
    void take(const SessionBatch &batch) override;
    void mark(const Session &session, const Marker &marker) override;
    void gap(const Session &session, const Gap &gap) override;
    void everySecond(const Session &session) override;
    void finished(const Session &session) override { everySecond(session); }

private:
    std::unique_ptr<recording::WebServer> server_;
    std::vector<int> ids_;  // the server's id of each device
    std::vector<recording::ColumnDecimator> decimators_;
    std::vector<uint64_t> lastReceived_;
    int64_t lastSecondTicks_ = 0;
};

}  // namespace kelvo::capture
