// SPDX-License-Identifier: MIT
#include "controlCommands.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <memory>
#include <stdexcept>

#include "kelvo.h"
#include "markerText.h"

namespace kelvo::capture {

namespace {

using Clock = std::chrono::steady_clock;

// A split the consumer has not begun in this long will not be: its thread
// has ended with a failure. One it began is waited for however long the
// files take.
constexpr auto kSplitTakenWithin = std::chrono::seconds(10);
constexpr auto kSplitLookAgain = std::chrono::milliseconds(100);
// Deep enough for any command; a request nested deeper is refused before
// it costs the parser its stack.
constexpr unsigned kNesting = 16;

struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string documentOf(const Json::Value &value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

// A text of the request, quoted when it can be shown: short UTF-8.
std::string shown(const std::string &text) {
    if (text.size() > 40 || !isUtf8(text) || text.find('\0') != std::string::npos) return "given";
    return "'" + text + "'";
}

Json::Value parse(std::string_view request) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["stackLimit"] = kNesting;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(request.data(), request.data() + request.size(), &value, &errors);
    } catch (const std::exception &) {
        throw Refusal("not a command: nested deeper than " + std::to_string(kNesting));
    }
    if (!parsed) throw Refusal("not a JSON document");
    if (!value.isObject()) throw Refusal("not a command: a command is a JSON object");
    return value;
}

// Every member of `request` is one the command takes.
void onlyMembers(const Json::Value &request, std::initializer_list<const char *> names) {
    for (const std::string &member : request.getMemberNames()) {
        if (std::find(names.begin(), names.end(), member) == names.end()) {
            throw Refusal("'" + request["cmd"].asString() + "' takes no member " + shown(member));
        }
    }
}

std::string textMember(const Json::Value &request, const char *name) {
    const Json::Value &value = request[name];
    if (!value.isString()) throw Refusal(std::string("'") + name + "' must be a string");
    return value.asString();
}

}  // namespace

// A split handed to the consumer thread: whichever of the two threads
// comes first decides whether it is done there or given up here.
struct ControlCommands::SplitJob {
    enum class State { waiting, running, done, abandoned };
    std::mutex mutex;
    std::condition_variable changed;
    State state = State::waiting;
    std::string refusal;

    bool begin() {
        std::lock_guard lock(mutex);
        if (state == State::abandoned) return false;
        state = State::running;
        return true;
    }
    void settle(const std::string &why) {
        {
            std::lock_guard lock(mutex);
            state = State::done;
            refusal = why;
        }
        changed.notify_all();
    }
};

ControlCommands::ControlCommands(Session &session, H5Sink *recording) : session_(session), recording_(recording) {}

ControlCommands::Answer ControlCommands::answer(std::string_view request) {
    try {
        const Json::Value command = parse(request);
        const Json::Value &cmd = command["cmd"];
        if (!cmd.isString()) throw Refusal("'cmd' must be a string: status, mark, split or stop");
        const std::string name = cmd.asString();
        if (name == "status") {
            onlyMembers(command, {"cmd"});
            return {documentOf(status())};
        }
        if (name == "mark") {
            onlyMembers(command, {"cmd", "text", "ticks"});
            return {documentOf(mark(command))};
        }
        if (name == "split") {
            onlyMembers(command, {"cmd", "path"});
            return {documentOf(split(command))};
        }
        if (name == "stop") {
            onlyMembers(command, {"cmd"});
            return {documentOf(stop()), true};
        }
        throw Refusal("unknown cmd " + shown(name) + ": status, mark, split or stop");
    } catch (const std::exception &e) {
        return refuse(e.what());
    }
}

ControlCommands::Answer ControlCommands::refuse(const std::string &why) {
    refused_.fetch_add(1, std::memory_order_relaxed);
    Json::Value answer;
    answer["ok"] = false;
    answer["error"] = why;
    return {documentOf(answer)};
}

void ControlCommands::started(int64_t releaseTicks) {
    std::lock_guard lock(phaseMutex_);
    phase_ = Phase::running;
    releaseTicks_ = releaseTicks;
}

// Taken with the lock that a marker or a split holds on its way in, so that
// none slips in after the session's last look at its queues.
void ControlCommands::stopping() {
    std::lock_guard lock(phaseMutex_);
    if (phase_ == Phase::running) stoppedTicks_ = kelvoGetTicks();
    phase_ = Phase::stopping;
}

void ControlCommands::stopped() {
    std::lock_guard lock(phaseMutex_);
    phase_ = Phase::stopped;
}

bool ControlCommands::stoppingOrStopped() {
    std::lock_guard lock(phaseMutex_);
    return phase_ == Phase::stopping || phase_ == Phase::stopped;
}

// "ended": the session ended by itself, or was asked to, and waits for its
// stop.
const char *ControlCommands::stateName() {
    std::lock_guard lock(phaseMutex_);
    switch (phase_) {
        case Phase::open: return "open";
        case Phase::running: return session_.waitUntilEnded(std::chrono::milliseconds(0)) ? "ended" : "running";
        case Phase::stopping: return "stopping";
        case Phase::stopped: return "stopped";
    }
    return "open";
}

double ControlCommands::seconds() {
    std::lock_guard lock(phaseMutex_);
    if (phase_ == Phase::open) return 0;
    const int64_t until = phase_ == Phase::running ? kelvoGetTicks() : stoppedTicks_;
    return static_cast<double>(until - releaseTicks_) / 1e7;
}

Json::Value ControlCommands::status() {
    Json::Value answer;
    answer["ok"] = true;
    answer["state"] = stateName();
    answer["seconds"] = seconds();
    answer["file"] = recording_ != nullptr ? Json::Value(recording_->currentPath()) : Json::Value();
    answer["devices"] = Json::Value(Json::arrayValue);
    const auto &devices = session_.devices();
    for (size_t d = 0; d < devices.size(); ++d) {
        const DeviceStats s = session_.stats(static_cast<int>(d));
        Json::Value device;
        device["serial"] = devices[d].serial.empty() ? devices[d].path : devices[d].serial;
        device["path"] = devices[d].path;
        device["received"] = Json::UInt64(s.received);
        device["dropped"] = Json::UInt64(s.dropped);
        device["gaps"] = Json::UInt64(s.gaps);
        device["reconnects"] = Json::UInt64(s.reconnects);
        device["markers"] = Json::UInt64(s.markers);
        answer["devices"].append(device);
    }
    answer["markers"]["received"] = Json::UInt64(session_.markersTaken());
    answer["markers"]["dropped"] = Json::UInt64(session_.markersDropped());
    answer["refused"] = Json::UInt64(refused());
    return answer;
}

Json::Value ControlCommands::mark(const Json::Value &request) {
    const std::string text = textMember(request, "text");
    if (const std::string problem = markerTextProblem(text); !problem.empty()) throw Refusal(problem);
    int64_t ticks = kelvoGetTicks();
    if (request.isMember("ticks")) {
        const Json::Value &given = request["ticks"];
        if (!given.isInt64() || given.asInt64() <= 0) throw Refusal("'ticks' must be a whole number of ticks above 0");
        ticks = given.asInt64();
    }
    {
        std::lock_guard lock(phaseMutex_);
        if (phase_ != Phase::running) throw Refusal("the capture is not running");
        if (!session_.mark(text, ticks, "control")) {
            throw Refusal(
                "the marker queue is full: the capture's thread falls behind (the marker is counted as dropped)");
        }
    }
    Json::Value answer;
    answer["ok"] = true;
    answer["ticks"] = Json::Int64(ticks);
    return answer;
}

Json::Value ControlCommands::split(const Json::Value &request) {
    const std::string path = textMember(request, "path");
    if (path.empty()) throw Refusal("'path' is empty");
    if (!isUtf8(path) || path.find('\0') != std::string::npos) throw Refusal("'path' is not a UTF-8 file name");
    if (recording_ == nullptr) throw Refusal("this capture records no HDF5 file");
    const std::string closed = recording_->currentPath();
    auto job = std::make_shared<SplitJob>();
    {
        std::lock_guard lock(phaseMutex_);
        if (phase_ != Phase::running) throw Refusal("the capture is not running");
        session_.runBetweenBatches([job, recording = recording_, path] {
            if (!job->begin()) return;
            try {
                job->settle(recording->continueIn(path));
            } catch (const std::exception &e) {
                job->settle(e.what());
                throw;
            }
        });
    }
    if (const std::string why = awaitSplit(*job); !why.empty()) throw Refusal(why);
    Json::Value answer;
    answer["ok"] = true;
    answer["closed"] = closed;
    answer["file"] = path;
    return answer;
}

// Until the consumer did the split, or until it cannot: a session that
// stops, a server that closes, or a consumer that does not come to it.
std::string ControlCommands::awaitSplit(SplitJob &job) {
    const Clock::time_point giveUp = Clock::now() + kSplitTakenWithin;
    std::unique_lock lock(job.mutex);
    while (job.state != SplitJob::State::done) {
        if (job.state == SplitJob::State::waiting &&
            (closing_.load() || Clock::now() >= giveUp || stoppingOrStopped())) {
            job.state = SplitJob::State::abandoned;
            return "the capture stopped before it could split";
        }
        job.changed.wait_for(lock, kSplitLookAgain);
    }
    return job.refusal;
}

Json::Value ControlCommands::stop() {
    Json::Value answer;
    answer["ok"] = true;
    answer["state"] = stateName();
    if (answer["state"] == "open") throw Refusal("the capture has not started");
    return answer;
}

}  // namespace kelvo::capture
