// SPDX-License-Identifier: MIT
// Arbitrary udevadm output through the attribute walk, the serial
// classification and the device-line builder: nothing may read or write out
// of bounds, and the list must only ever hold whole lines.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "udevadmParser.h"

using namespace kelvo::discovery;

namespace {

// Lines as fgets hands them out of the pipe: cut at a newline or after
// kCommandLineSize - 1 bytes, the newline removed. Each line is copied to a
// block of its exact size so that AddressSanitizer sees one byte too far.
template <class Visit>
void forEachLine(const uint8_t *data, size_t size, Visit visit) {
    size_t start = 0;
    while (start < size) {
        size_t end = start;
        while (end < size && end - start < kCommandLineSize - 1 && data[end] != '\n') ++end;
        const bool newline = end < size && data[end] == '\n';
        const size_t length = end - start;
        std::unique_ptr<char[]> line(new char[length == 0 ? 1 : length]);
        std::memcpy(line.get(), data + start, length);
        if (!visit(std::string_view(line.get(), length))) return;
        start = end + (newline ? 1 : 0);
    }
}

void checkWholeLines(const char *text, size_t capacity) {
    const size_t used = std::strlen(text);
    if (used >= capacity || (used > 0 && text[used - 1] != '\n')) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    IdentityScan scan;
    beginScan(scan);
    bool decided = false;
    forEachLine(data, size, [&](std::string_view line) {
        decided = scanLine(scan, line);
        return !decided;
    });
    if (std::strlen(scan.savedSN) >= kSerialSize) std::abort();

    // The input's head stands in for a tty path (as ls could print it),
    // quoted into the command; the list is nearly full so that the bound on
    // every line is exercised.
    const size_t pathLength = size < kPathLineSize - 1 ? size : kPathLineSize - 1;
    std::unique_ptr<char[]> path(new char[pathLength == 0 ? 1 : pathLength]);
    std::memcpy(path.get(), data, pathLength);
    const std::string_view pathText(path.get(), pathLength);
    std::unique_ptr<char[]> command(new char[kCommandLineSize]);
    (void)formatUdevadmCommand(command.get(), kCommandLineSize, pathText);

    std::unique_ptr<char[]> list(new char[kResultSize]);
    const size_t prefill = size % kResultSize;
    std::memset(list.get(), 'x', prefill);
    if (prefill > 0) list[prefill - 1] = '\n';
    list[prefill] = '\0';
    SerialClasses classes;
    for (int round = 0; decided && round < 3; ++round) {
        (void)appendDecision(list.get(), kResultSize, scan, pathText, round != 0, classes);
        checkWholeLines(list.get(), kResultSize);
    }
    return 0;
}
