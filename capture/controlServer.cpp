// SPDX-License-Identifier: MIT
#include "controlServer.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "captureError.h"
#include "controlEndpoint.h"

namespace kelvo::capture {

namespace {

constexpr size_t kMaxRequestBytes = size_t{64} << 10;
// What ZeroMQ takes in at all: a bigger message costs its sender the
// connection, one up to this is read and refused with an answer.
constexpr int64_t kMaxMessageBytes = 1 << 20;
// Requests answered in one go before the stop is looked at again.
constexpr int kRequestsPerRound = 64;
// Frames before the empty one: REQ sends none, each proxy on the way one.
constexpr size_t kEnvelopeFrames = 16;

}  // namespace

ControlServer::ControlServer(const std::string &endpoint, Session &session, H5Sink *recording,
                             recording::Listeners &listeners)
    : commands_(session, recording), session_(session), socket_(ZMQ_ROUTER) {
    std::string where = endpoint;
    try {
        where = recording::controlEndpoint(endpoint);
        int64_t most = kMaxMessageBytes;
        if (zmq_setsockopt(socket_.handle(), ZMQ_MAXMSGSIZE, &most, sizeof most) != 0) {
            throw std::runtime_error("cannot limit the message size");
        }
        endpoint_ = listeners.bind(socket_, "control", where);
    } catch (const std::invalid_argument &e) {
        throw CaptureError(std::string("control: ") + e.what(), CaptureError::Kind::usage);
    } catch (const std::runtime_error &e) {
        throw CaptureError(std::string("control: ") + e.what());
    }
    stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_ < 0) throw CaptureError("control: no eventfd for its socket");
    thread_ = std::thread([this] { serve(); });
}

ControlServer::~ControlServer() {
    commands_.close();
    const uint64_t one = 1;
    (void)!write(stop_, &one, sizeof one);
    thread_.join();
    close(stop_);
}

void ControlServer::serve() {
    pthread_setname_np(pthread_self(), "kelvo-control");
    while (socket_.awaitMessageOrStop(stop_)) answerWaiting();
}

void ControlServer::answerWaiting() {
    for (int n = 0; n < kRequestsPerRound && answerOne(); ++n) {
    }
}

// One whole message, never waiting (ZeroMQ hands a message's frames over
// together), and the answer to it when it is a request: the envelope (the
// peer's routing id, and whatever came up to an empty frame) and a body.
// Only a first body frame that may be a request is kept.
bool ControlServer::answerOne() {
    std::vector<std::string> envelope;
    bool delimited = false;
    std::string request;
    size_t frames = 0;
    size_t bytes = 0;
    int more = 0;
    do {
        zmq_msg_t frame;
        zmq_msg_init(&frame);
        if (zmq_msg_recv(&frame, socket_.handle(), ZMQ_DONTWAIT) < 0) {
            zmq_msg_close(&frame);
            return !envelope.empty();  // one received in part cannot happen
        }
        const auto *data = static_cast<const char *>(zmq_msg_data(&frame));
        const size_t size = zmq_msg_size(&frame);
        if (delimited) {
            if (frames == 0 && size <= kMaxRequestBytes) request.assign(data, size);
            bytes += size;
            ++frames;
        } else if (envelope.size() < kEnvelopeFrames) {
            envelope.emplace_back(data, size);
            delimited = size == 0 && envelope.size() > 1;
        }
        more = zmq_msg_more(&frame);
        zmq_msg_close(&frame);
    } while (more != 0);
    if (!delimited) return true;  // no REQ sent it: there is no one to answer

    ControlCommands::Answer answer;
    if (frames != 1) {
        answer = commands_.refuse("a request is one frame; this one has " + std::to_string(frames));
    } else if (bytes > kMaxRequestBytes) {
        answer = commands_.refuse("a request is at most 65536 bytes; this one has " + std::to_string(bytes));
    } else {
        answer = commands_.answer(request);
    }
    send(envelope, answer.text);
    if (answer.endSession) session_.requestEnd();
    return true;
}

// A ROUTER drops what its peer cannot take (gone, or its queue full)
// rather than waiting for it.
void ControlServer::send(const std::vector<std::string> &envelope, const std::string &text) {
    for (const std::string &frame : envelope) {
        if (zmq_send(socket_.handle(), frame.data(), frame.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0) return;
    }
    (void)zmq_send(socket_.handle(), text.data(), text.size(), ZMQ_DONTWAIT);
}

}  // namespace kelvo::capture
