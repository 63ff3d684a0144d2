// SPDX-License-Identifier: MIT
// kelvo upload: a file sent to a device as one definite-length block.
#include <cerrno>
#include <cstring>
#include <fstream>

#include "cli.h"
#include "commands.h"
#include "kelvo.h"

namespace kelvo::cli {

namespace {

int run(const Arguments &args) {
    if (args.positional.size() != 2) throw Failure("'upload' takes a DEVICE and a FILE", 2);
    std::ifstream file(args.positional[1], std::ios::binary);
    if (!file) throw Failure("cannot read " + args.positional[1] + ": " + std::strerror(errno));
    // Read a little more than a block takes, so that the library can refuse
    // an oversized file in its own words.
    std::string bytes;
    bytes.resize(1 << 20);
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(file.gcount()));

    OpenSlots open;
    const int slot = open.open(args.positional[0]);
    const std::string &name = open.name(slot);
    if (kelvoSendSCPIbinBlock(slot, bytes.data(), static_cast<int>(bytes.size())) != 0) {
        throw Failure(name + ": " + libraryError(slot));
    }
    std::printf("%zu bytes uploaded to %s\n", bytes.size(), name.c_str());
    // The device answers an upload, if at all, ahead of the "1" of *OPC?.
    int length = 0;
    int binary = 0;
    const char *answer = kelvoSendCmd(slot, "*OPC?", &length, &binary);
    if (answer == nullptr) throw Failure(name + ": " + libraryError(slot));
    std::string text(answer, static_cast<size_t>(length));
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "1\n") == 0 &&
        (text.size() == 2 || text[text.size() - 3] == '\n')) {
        text.resize(text.size() - 2);
    }
    if (!text.empty()) std::printf("device answered: %s%s", text.c_str(), text.back() == '\n' ? "" : "\n");
    return 0;
}

}  // namespace

const Command uploadCommand{
    .name = "upload",
    .summary = "send a file as a binary block",
    .outline = "DEVICE FILE",
    .usage = "DEVICE FILE",
    .description = R"(Sends the bytes of FILE (1 to 4096) to the device as one definite-length
block, then asks "*OPC?" and prints what the device answered besides it.)",
    .options = {},
    .run = run,
};

}  // namespace kelvo::cli
