// SPDX-License-Identifier: MIT
// kelvo: list, query, stream from, synchronise, upload to and plot
// data-acquisition devices, or watch a demo with simulated ones. The
// commands are in the table (command.h); this picks one and runs it.
#include <langinfo.h>

#include <clocale>
#include <cstring>

#include "cli.h"
#include "command.h"
#include "help.h"
#include "kelvo.h"

namespace kelvo::cli {

namespace {

// `kelvo`, `kelvo --help`, `kelvo help [COMMAND]`: the help, and the exit
// status; a bare `kelvo` is a usage error.
int showHelp(int argc, char **argv) {
    const std::string word = argc > 1 ? argv[1] : "";
    const Command *command = argc > 2 && word == "help" ? findCommand(argv[2]) : nullptr;
    std::fputs((command != nullptr ? commandHelp(*command) : toolHelp()).c_str(), word.empty() ? stderr : stdout);
    return word.empty() ? 2 : 0;
}

int runCommand(const std::string &name, int argc, char **argv) {
    const Command *command = findCommand(name);
    if (command == nullptr) throw Failure("unknown command '" + name + "'; see 'kelvo --help'", 2);
    const Arguments args = parseArguments(*command, argc, argv, 2);
    if (args.help) {
        std::fputs(commandHelp(*command).c_str(), stdout);
        return 0;
    }
    return command->run(args);
}

}  // namespace

}  // namespace kelvo::cli

// The function-try-block also covers what runs before the commands.
int main(int argc, char **argv) try {
    using namespace kelvo::cli;
    const std::string command = argc > 1 ? argv[1] : "";
    if (command.empty() || command == "--help" || command == "-h" || command == "help") return showHelp(argc, argv);
    if (command == "--version" || command == "-V") {
        std::printf("kelvo %s\n", kelvoGetVersion());
        return 0;
    }
    // The plot window's title is UTF-8, which SDL passes to X through the
    // character-type locale: the user's, or C.UTF-8 if that is not UTF-8.
    std::setlocale(LC_CTYPE, "");
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
    catchInterrupt();
    try {
        return runCommand(command, argc, argv);
    } catch (const Failure &failure) {
        std::fprintf(stderr, "kelvo: %s\n", failure.what());
        return failure.status;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kelvo: %s\n", e.what());
        return 1;
    }
} catch (const std::exception &e) {
    std::fprintf(stderr, "kelvo: %s\n", e.what());
    return 1;
}
