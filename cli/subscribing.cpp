// SPDX-License-Identifier: MIT
#include "subscribing.h"

#include <unistd.h>

#include <cstdio>

#include "cli.h"
#include "curveKeys.h"

namespace kelvo::cli {

namespace {

std::string subscriberName() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return std::string(host) + ":" + std::to_string(getpid());
}

}  // namespace

recording::SubscriberSettings subscriberSettings(const Arguments &args, std::vector<std::string> endpoints) {
    recording::SubscriberSettings settings;
    settings.endpoints = std::move(endpoints);
    settings.name = subscriberName();
    if (const std::string dir = args.text("curve-keys"); !dir.empty()) {
        try {
            settings.secure = [keys = recording::loadCurveKeys(dir)](recording::ZmqSocket &socket) {
                socket.secureAsClient(keys);
            };
        } catch (const std::runtime_error &e) {
            throw Failure(e.what(), 2);
        }
    }
    return settings;
}

void receiveUntilDone(recording::Subscriber &subscriber, double seconds, std::chrono::milliseconds poll) {
    // Data waits in the sockets until each publisher's clock is known, so
    // that even the first samples are put on this machine's time axis.
    for (const recording::PublisherLink *p : subscriber.awaitClocks()) {
        std::fprintf(stderr, "kelvo: no answer from the time service at %s: times of %s stay on its clock\n",
                     p->timeEndpoint.c_str(), p->endpoint.c_str());
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    Clock::time_point nextFlush = start + std::chrono::seconds(1);
    while (!interrupted) {
        if (seconds >= 0 && std::chrono::duration<double>(Clock::now() - start).count() >= seconds) break;
        if (Clock::now() >= nextFlush) {
            subscriber.flush();
            nextFlush += std::chrono::seconds(1);
        }
        subscriber.receive(poll);
    }
    subscriber.finish();
}

}  // namespace kelvo::cli
