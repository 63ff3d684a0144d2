// SPDX-License-Identifier: MIT
// A recording steered from scripts: a ZeroMQ socket bound where asked that
// answers REQ clients as a REP socket does, and a thread "kelvo-control"
// that sleeps in zmq_poll until a request or its stop comes, answering each
// request with one JSON document (controlCommands.h, docs/control.md). It
// is a ROUTER underneath: libzmq's REP loses other peers' requests once a
// peer sends a message without the envelope REQ gives it, and here such a
// message is just dropped. A request is one frame of at most 64 KiB; one of
// several frames or a bigger one is answered with a refusal (past 1 MiB
// ZeroMQ drops the sender's connection instead). Requests are served in
// turn, so a client that connects and says nothing, or never reads its
// answer, holds no other up.
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "controlCommands.h"
#include "listeners.h"
#include "zmqSocket.h"

namespace kelvo::capture {

class ControlServer {
public:
    // Binds `endpoint` (a bare port: tcp://127.0.0.1:PORT) and starts
    // answering; throws CaptureError naming the endpoint when it cannot.
    ControlServer(const std::string &endpoint, Session &session, H5Sink *recording,
                  kelvo::recording::Listeners &listeners);
    // Answers no more; an answer already sent still leaves.
    ~ControlServer();
    ControlServer(const ControlServer &) = delete;
    ControlServer &operator=(const ControlServer &) = delete;

    // Where it listens, as bound (the port the system picked for "*").
    const std::string &endpoint() const { return endpoint_; }
    ControlCommands &commands() { return commands_; }

private:
    void serve();
    void answerWaiting();
    bool answerOne();
    void send(const std::vector<std::string> &envelope, const std::string &text);

    ControlCommands commands_;
    Session &session_;
    recording::ZmqSocket socket_;
    std::string endpoint_;
    int stop_ = -1;  // eventfd
    std::thread thread_;
};

}  // namespace kelvo::capture
