// SPDX-License-Identifier: MIT
// A second program for the one-program-per-device tests: opens the tty
// given as its argument in slot 0 and says on standard output how it went,
// "open" or "refused: <why>". An open device is held until standard input
// ends, then closed. Exit code 0 after a close, 1 when refused.
#include <unistd.h>

#include <cstdio>

#include "kelvo.h"

int main(int argc, char **argv) {
    if (argc != 2) return 64;
    if (kelvoOpen(0, argv[1]) != 0) {
        std::printf("refused: %s\n", kelvoGetOpenError(0));
        return 1;
    }
    std::printf("open\n");
    std::fflush(stdout);
    char byte;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return kelvoClose(0) == 0 ? 0 : 2;
}
