// SPDX-License-Identifier: MIT
// kelvo control: one command to a recording that listens with --control,
// over a ZeroMQ REQ socket, and its answer (docs/control.md).
#include <json/json.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "cli.h"
#include "commands.h"
#include "controlEndpoint.h"
#include "curveKeys.h"
#include "zmqSocket.h"

namespace kelvo::cli {

namespace {

// The command line as a request: CMD and what its ARG stands for.
Json::Value requestOf(const std::vector<std::string> &words) {
    if (words.size() < 2) throw Failure("'control' needs ENDPOINT and CMD: status, mark TEXT, split FILE or stop", 2);
    const std::string &cmd = words[1];
    Json::Value request;
    request["cmd"] = cmd;
    const size_t wanted = cmd == "mark" || cmd == "split" ? 3 : 2;
    if (cmd != "status" && cmd != "stop" && wanted == 2) {
        throw Failure("unknown CMD '" + cmd + "': status, mark TEXT, split FILE or stop", 2);
    }
    if (words.size() != wanted) {
        throw Failure(wanted == 2 ? "'" + cmd + "' takes no argument"
                                  : "'" + cmd + "' takes one " + (cmd == "mark" ? "TEXT" : "FILE"),
                      2);
    }
    if (wanted == 3 && words[2].empty())
        throw Failure(std::string(cmd == "mark" ? "the TEXT" : "FILE") + " is empty", 2);
    if (cmd == "mark") request["text"] = words[2];
    // The recorder's working directory is not this one's; a path of this
    // machine means the same in both.
    if (cmd == "split") request["path"] = std::filesystem::absolute(words[2]).lexically_normal().string();
    return request;
}

std::string compact(const Json::Value &value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

// The answer's text, or a Failure when nobody answers in time.
std::string ask(const std::string &endpoint, const std::string &request, int timeoutMs,
                const std::optional<recording::CurveKeys> &keys) {
    recording::ZmqSocket socket(ZMQ_REQ);
    if (keys) socket.secureAsClient(*keys);
    socket.setInt(ZMQ_LINGER, 0);
    // Without a connection the request waits for one only this long.
    socket.setInt(ZMQ_IMMEDIATE, 1);
    socket.setInt(ZMQ_SNDTIMEO, timeoutMs);
    socket.connect(endpoint);
    const std::string noAnswer = endpoint + ": no answer within " + std::to_string(timeoutMs) +
                                 " ms (is 'kelvo record --control' or 'kelvo publish --control' listening there?)";
    if (!socket.sendWaiting({{request.data(), request.size()}})) throw Failure(noAnswer);
    std::vector<std::string> frames;
    if (!socket.receive(frames, std::chrono::milliseconds(timeoutMs)) || frames.empty()) throw Failure(noAnswer);
    return frames.front();
}

Json::Value parseAnswer(const std::string &text) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value answer;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &answer, &errors) || !answer.isObject() ||
        !answer["ok"].isBool()) {
        throw Failure("the answer is not a control answer: " + text.substr(0, 200));
    }
    return answer;
}

void printStatus(const Json::Value &a) {
    std::printf("state     %s\n", a["state"].asString().c_str());
    std::printf("seconds   %.1f\n", a["seconds"].asDouble());
    std::printf("file      %s\n", a["file"].isString() ? a["file"].asString().c_str() : "(none)");
    for (const Json::Value &d : a["devices"]) {
        std::printf("%-9s received %" PRIu64 ", dropped %" PRIu64 ", gaps %" PRIu64 ", reconnects %" PRIu64
                    ", markers %" PRIu64 "\n",
                    d["serial"].asString().c_str(), d["received"].asUInt64(), d["dropped"].asUInt64(),
                    d["gaps"].asUInt64(), d["reconnects"].asUInt64(), d["markers"].asUInt64());
    }
    const Json::Value &m = a["markers"];
    std::printf("markers   %" PRIu64 " recorded, %" PRIu64 " dropped\n", m["received"].asUInt64(),
                m["dropped"].asUInt64());
    std::printf("refused   %" PRIu64 " requests\n", a["refused"].asUInt64());
}

void printAnswer(const std::string &cmd, const Json::Value &a) {
    if (cmd == "status") {
        printStatus(a);
    } else if (cmd == "mark") {
        std::printf("marked at tick %" PRId64 "\n", a["ticks"].asInt64());
    } else if (cmd == "split") {
        std::printf("closed %s, now writing %s\n", a["closed"].asString().c_str(), a["file"].asString().c_str());
    } else {
        std::printf("stopping (the run was %s)\n", a["state"].asString().c_str());
    }
}

int run(const Arguments &args) {
    const Json::Value request = requestOf(args.positional);
    std::string endpoint;
    try {
        endpoint = recording::controlEndpoint(args.positional.front());
    } catch (const std::invalid_argument &e) {
        throw Failure(e.what(), 2);
    }
    std::optional<recording::CurveKeys> keys;
    try {
        if (const std::string dir = args.text("curve-keys"); !dir.empty()) keys = recording::loadCurveKeys(dir);
    } catch (const std::runtime_error &e) {
        throw Failure(e.what(), 2);
    }
    const std::string text = ask(endpoint, compact(request), static_cast<int>(*args.number("timeout")), keys);
    const Json::Value answer = parseAnswer(text);
    const bool ok = answer["ok"].asBool();
    if (args.flag("json")) {
        std::printf("%s\n", text.c_str());
    } else if (ok) {
        printAnswer(request["cmd"].asString(), answer);
    }
    if (!ok && !args.flag("json")) throw Failure("the recorder refused: " + answer["error"].asString());
    return ok ? 0 : 1;
}

constexpr Option kOptions[] = {
    option::timeout.defaulting("5000"),
    option::json.describedAs("print the recorder's answer, one JSON document, as it came"),
    option::curveKeys.describedAs("talk encrypted with ZeroMQ's CURVE, as DIR's client, to a recorder that runs "
                                  "with --curve-keys (docs/security.md)"),
};

}  // namespace

const Command controlCommand{
    .name = "control",
    .summary = "steer a running recording: status, markers, a new file, the stop",
    .outline = "ENDPOINT CMD [ARG]",
    .usage = "ENDPOINT status|mark TEXT|split FILE|stop [--json] [--timeout MS]\n[--curve-keys DIR]",
    .description = R"(Sends one command to a 'kelvo record' or 'kelvo publish' that listens with
--control ENDPOINT, and prints its answer. ENDPOINT is the same port (5557:
tcp://127.0.0.1:5557) or endpoint (tcp://host:5557, ipc:///tmp/kelvo.control).
  status       the run's state, seconds, file, and each device's samples
               received and dropped, gaps, reconnects and markers
  mark TEXT    a marker of source "control" into the recording, now; prints
               its tick
  split FILE   the recording's file is finished as at the end, and the run
               goes on in FILE (a relative FILE is this directory's): every
               sample is in one of them, once
  stop         the run ends as if its time were up, and prints its summary

Each command is a JSON request on a ZeroMQ REQ socket, each answer a JSON
document with "ok" (docs/control.md tells them all, for scripts that talk
to the socket themselves); --json prints the answer as it came. The
command waits up to MS milliseconds (default 5000) for the answer.

Exit status: 0 when the recorder did it, 1 when it refused (the reason on
stderr) or nobody answered in time, 2 for a usage error.)",
    .options = kOptions,
    .run = run,
};

}  // namespace kelvo::cli
