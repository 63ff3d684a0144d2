// SPDX-License-Identifier: MIT
// How the commands that take what publishers send (subscribe, serve
// --from) run their subscriber: settings from the command line, the wait
// for the publishers' clocks, and the loop until Ctrl-C or --seconds.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "options.h"
#include "subscriber.h"

namespace kelvo::cli {

// The subscriber of `endpoints`, named "HOST:PID" to the time services,
// encrypted with --curve-keys DIR's client keys when given (a malformed
// DIR is a usage error).
recording::SubscriberSettings subscriberSettings(const Arguments &args, std::vector<std::string> endpoints);

// Waits for the publishers' clocks, telling of those that did not answer,
// then receives, waiting up to `poll` at a time and flushing once a second,
// until interrupted or `seconds` passed (never when negative); then
// finishes the subscriber.
void receiveUntilDone(recording::Subscriber &subscriber, double seconds, std::chrono::milliseconds poll);

}  // namespace kelvo::cli
