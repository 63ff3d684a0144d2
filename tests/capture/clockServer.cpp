// SPDX-License-Identifier: MIT
// Test helper: a clock service alone, for a test to run in another time
// namespace. Prints the endpoint as bound and this process's ticks, then
// serves until standard input closes (the test ends or dies).
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <exception>

#include "clockService.h"
#include "kelvo.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: clockServer ENDPOINT\n");
        return 2;
    }
    try {
        kelvo::recording::ClockService service(argv[1]);
        std::printf("%s %" PRId64 "\n", service.endpoint().c_str(), kelvoGetTicks());
        std::fflush(stdout);
        char byte;
        while (read(STDIN_FILENO, &byte, 1) > 0) {
        }
        std::printf("answered %" PRIu64 " rejected %" PRIu64 "\n", service.answered(), service.rejected());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "clockServer: %s\n", e.what());
        return 1;
    }
    return 0;
}
