// SPDX-License-Identifier: MIT
// kelvo-docs FOLDER VERSION SECTIONS: writes kelvo's man pages and bash
// completion from its command table, at build time: FOLDER/man1/kelvo.1
// (SECTIONS, in help2man's include format, adds its closing sections),
// FOLDER/man1/kelvo-COMMAND.1 for each command, and FOLDER/kelvo.bash.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "command.h"
#include "completion.h"
#include "manPage.h"

namespace {

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(errno));
}

}  // namespace

int main(int argc, char **argv) try {
    using namespace kelvo::cli;
    if (argc != 4) {
        std::fprintf(stderr, "usage: kelvo-docs FOLDER VERSION SECTIONS\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const std::string version = argv[2];
    std::filesystem::create_directories(folder / "man1");
    writeFile(folder / "man1" / "kelvo.1", docs::toolPage(version, readFile(argv[3])));
    for (const Command *command : commands()) {
        writeFile(folder / "man1" / ("kelvo-" + std::string(command->name) + ".1"),
                  docs::commandPage(*command, version));
    }
    writeFile(folder / "kelvo.bash", docs::completionScript());
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "kelvo-docs: %s\n", e.what());
    return 1;
}
