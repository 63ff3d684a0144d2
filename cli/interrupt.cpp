// SPDX-License-Identifier: MIT
// The stopping signals, turned into a flag the commands' loops poll.
#include <csignal>

#include "cli.h"

namespace kelvo::cli {

volatile sig_atomic_t interrupted = 0;

void catchInterrupt() {
    struct sigaction action {};
    action.sa_handler = [](int) { interrupted = 1; };
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace kelvo::cli
