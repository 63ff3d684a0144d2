// SPDX-License-Identifier: MIT
// kelvo serve: a live view of a session in web browsers, on this machine
// or across the lab. Either its own capture session (recording too, with
// --out), or a subscriber to publishers (--from) on this machine's time
// axis.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "captureRun.h"
#include "cli.h"
#include "commands.h"
#include "kelvo.h"
#include "kelvo_capture.h"
#include "prologue.h"
#include "subscriber.h"
#include "subscribing.h"
#include "wallClock.h"
#include "webOutput.h"
#include "webServer.h"

namespace kelvo::cli {

namespace {

constexpr const char *kDefaultAddress = "127.0.0.1:8080";

int tokenChoice(const Arguments &args) {
    if (args.flag("token") && args.flag("no-token")) throw Failure("--token and --no-token exclude each other", 2);
    if (args.flag("token")) return 1;
    return args.flag("no-token") ? 0 : -1;
}

// Where the view listens, and what that means, on stderr, where the tests
// and the user find the address.
void sayWhere(const std::string &url, const std::string &address) {
    std::fprintf(stderr, "serving the view on %s\n", url.c_str());
    const bool loopback = address.rfind("127.", 0) == 0 || address.rfind("localhost:", 0) == 0;
    if (!loopback) {
        std::fprintf(stderr, "kelvo: the view listens on %s, open to other machines%s\n", address.c_str(),
                     url.find("?token=") == std::string::npos ? ", without a token: anyone who reaches it sees the "
                                                                "session and can add markers"
                                                              : "; the address holds its token");
    }
}

int serveCapture(const Arguments &args, const std::string &address) {
    requireDevicesAndConfig(args, "serve", 4);
    CaptureRun capture(args.positional, args.words("config"));
    capture.setReconnect(args);
    capture.check(kelvoCaptureSetWebView(capture.session(), address.c_str(), tokenChoice(args)));
    if (const std::string out = args.text("out"); !out.empty()) {
        if (out.size() < 4 || out.compare(out.size() - 3, 3, ".h5") != 0) {
            throw Failure("'serve' writes --out FILE.h5", 2);
        }
        capture.check(kelvoCaptureSetHdf5(capture.session(), out.c_str(), 0));
    }
    capture.takeMarkersFrom(args.text("markers"));
    capture.secureWith(args);
    capture.listenForControl(args.text("control"));
    capture.open();
    sayWhere(kelvoCaptureGetWebUrl(capture.session()), address);
    capture.printListeners();
    const double elapsed = capture.run(args.number("seconds").value_or(-1));
    bool clean = true;
    for (int d = 0; d < capture.devices(); ++d) clean = capture.printSummary(d, elapsed) && clean;
    capture.printMarkers();
    capture.printRefusals();
    if (const std::string out = args.text("out"); !out.empty()) std::printf("written to %s\n", out.c_str());
    capture.throwIfFailed();
    return clean ? 0 : 3;
}

int serveSubscription(const Arguments &args, const std::string &address) {
    if (!args.positional.empty()) throw Failure("'serve --from' shows publishers' devices, not DEVICE operands", 2);
    if (!args.text("out").empty()) throw Failure("'serve --from' records nothing: use 'kelvo subscribe --out'", 2);
    const recording::SubscriberSettings settings = subscriberSettings(args, args.words("from"));
    recording::WebViewSettings view;
    view.bind = address;
    view.token = recording::WebViewSettings::tokenFrom(tokenChoice(args));
    view.source = "subscriber";
    std::unique_ptr<recording::WebServer> server;
    std::unique_ptr<recording::Subscriber> subscriber;
    try {
        server = std::make_unique<recording::WebServer>(view);
        const int64_t origin = kelvoGetTicks();
        server->setOrigin(origin, recording::ticksToUnixNs(recording::tickOriginUnixNs(), origin));
        subscriber =
            std::make_unique<recording::Subscriber>(settings, std::make_unique<recording::WebOutput>(*server, origin));
    } catch (const std::invalid_argument &e) {
        throw Failure(e.what(), 2);
    } catch (const std::exception &e) {
        throw Failure(e.what());
    }
    sayWhere(server->url(), address);
    // Every 20 ms, so that a message waits no longer for the view.
    receiveUntilDone(*subscriber, args.number("seconds").value_or(-1), std::chrono::milliseconds(20));
    for (const recording::ReceivedDevice &r : subscriber->devices()) {
        std::printf("%s: %llu samples, %llu messages lost\n", r.name.c_str(),
                    static_cast<unsigned long long>(r.samples), static_cast<unsigned long long>(r.lost));
    }
    return 0;
}

int run(const Arguments &args) {
    std::string address = args.text("bind");
    if (address.empty()) address = kDefaultAddress;
    return args.words("from").empty() ? serveCapture(args, address) : serveSubscription(args, address);
}

constexpr Option kOptions[] = {
    option::config,
    option::seconds.valueCalled("S").describedAs("how long to serve; until Ctrl-C without it"),
    Option::valued("bind", "HOST:PORT", ValueKind::text,
                   "where the view listens (default 127.0.0.1:8080, this machine only; 0.0.0.0:8080 for every "
                   "interface; port 0 picks a free one)"),
    Option::flag("token",
                 "put a random token into the view's address, and refuse requests without it (the default "
                 "for any address but loopback)"),
    Option::flag("no-token", "serve without a token, on any address"),
    option::out.valueCalled("FILE.h5").describedAs("also record the session, as 'kelvo record' does"),
    Option::valued("from", "ENDPOINT...", ValueKind::commands,
                   "show what publishers send ('kelvo publish'), on this machine's time axis, instead of opening "
                   "devices"),
    option::noReconnect,
    option::giveUp,
    option::markers,
    option::curveKeys.describedAs("with --from, connect with ZeroMQ's CURVE, with DIR's client keys; otherwise take "
                                  "markers only from senders DIR authorizes (docs/security.md)"),
    option::control,
};

}  // namespace

const Command serveCommand{
    .name = "serve",
    .summary = "show a session live in web browsers",
    .outline = "DEVICE... --config CMD... | --from ENDPOINT...",
    .usage =
        "DEVICE... --config CMD... [--out FILE.h5] [--seconds S]\n"
        "[--bind HOST:PORT] [--token | --no-token] [--no-reconnect] [--give-up S]\n"
        "[--markers FROM] [--curve-keys DIR] [--control ENDPOINT]\n"
        "--from ENDPOINT... [--bind HOST:PORT] [--token | --no-token] [--seconds S]",
    .description = R"(Serves a page and a WebSocket on one port that show a session live in any
web browser: one panel per device, titled with its serial number, one strip
per channel with its name, the rate and the loss counters; gaps as shaded
spans and markers as labelled lines. The page can pause, zoom into a span
(drag across a strip; double-click goes back), pick channels and send a
marker, which goes into the session's sinks (source "web"): into the
recording with --out. The page cannot change the devices.

With DEVICE... it opens, configures and starts them as 'kelvo record' does
(reconnecting, markers, control alike), and records them too with --out.
With --from it subscribes to publishers ('kelvo publish') instead and shows
their devices on this machine's time axis; markers cannot be sent then.

The server reduces each channel to a minimum and a maximum per 10 ms
column, so a browser's share does not grow with the sample rate, and sends
them as binary WebSocket frames (docs/web-protocol.md). A browser that is
slow or gone misses frames, counted on its page; the capture loses nothing
for it. A browser that comes later, or reloads, gets the last 10 s.

It listens on 127.0.0.1:8080, this machine only, and says where on stderr
("serving the view on http://127.0.0.1:8080/"). Any other address is
--bind's; then the address has a random token (--no-token: none), printed
in the line, and every request for the page, its data or its WebSocket
needs it. It serves its own files only and nothing from the file system.

It runs until Ctrl-C or S seconds.)",
    .options = kOptions,
    .run = run,
};

}  // namespace kelvo::cli
