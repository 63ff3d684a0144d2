// SPDX-License-Identifier: MIT
// The commands of a recording's control socket (docs/control.md): each
// request one JSON document, each answer one. What they do to the session
// goes through its own threads: a marker through its queue, a split of the
// HDF5 recording between two batches on its consumer thread, a stop as its
// own end. Anything that is not a command is answered {"ok": false} and
// counted; nothing a client sends can end or stall the session.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "h5Sink.h"
#include "session.h"

namespace kelvo::capture {

class ControlCommands {
public:
    // `recording` is the session's HDF5 sink, null when it records none.
    ControlCommands(Session &session, H5Sink *recording);

    struct Answer {
        std::string text;         // one JSON document
        bool endSession = false;  // once the answer is on its way
    };
    // One thread at a time.
    Answer answer(std::string_view request);
    // A request that cannot be read at all (several frames, too big).
    Answer refuse(const std::string &why);
    uint64_t refused() const { return refused_.load(std::memory_order_relaxed); }

    // The session's phases, told by the thread that moves it on: once it
    // stopping() returned, no marker and no split reaches the session.
    void started(int64_t releaseTicks);
    void stopping();
    void stopped();
    // A split waiting for the consumer is given up: the server closes.
    void close() { closing_.store(true); }

private:
    enum class Phase { open, running, stopping, stopped };
    struct SplitJob;

    Json::Value status();
    Json::Value mark(const Json::Value &request);
    Json::Value split(const Json::Value &request);
    Json::Value stop();
    std::string awaitSplit(SplitJob &job);
    bool stoppingOrStopped();
    const char *stateName();
    double seconds();

    Session &session_;
    H5Sink *recording_;
    std::atomic<uint64_t> refused_{0};
    std::atomic<bool> closing_{false};
    std::mutex phaseMutex_;
    Phase phase_ = Phase::open;
    int64_t releaseTicks_ = 0;
    int64_t stoppedTicks_ = 0;
};

}  // namespace kelvo::capture
