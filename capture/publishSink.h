// SPDX-License-Identifier: MIT
// A session's streams on a ZeroMQ PUB socket (docs/wire-format.md): each
// batch of whole samples as one message, and the meta document at the
// start, once a second and at the end.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "session.h"
#include "zmqSocket.h"

namespace kelvo::capture {

class PublishSink : public Sink {
public:
    // Binds the socket; throws CaptureError with ZeroMQ's text when it cannot.
    PublishSink(const std::string &endpoint, const std::string &topicPrefix, int highWaterMark, const Session &session);

    bool wantsValues() const override { return false; }
    void started(const Session &session) override { sendMeta(session); }
    void take(const SessionBatch &batch) override;
    void everySecond(const Session &session) override { sendMeta(session); }
    void finished(const Session &session) override { sendMeta(session); }

    const std::vector<std::string> &topics() const { return topics_; }
    // Messages sent per device; read after the session stopped.
    const std::vector<uint64_t> &messages() const { return sequence_; }

private:
    void sendMeta(const Session &session);

    std::unique_ptr<recording::ZmqSocket> socket_;
    const Session &session_;
    std::vector<std::string> topics_;
    std::vector<uint64_t> sequence_;
};

}  // namespace kelvo::capture
