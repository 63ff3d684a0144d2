// SPDX-License-Identifier: MIT
// The commands of the kelvo tool as its one table holds them. Each
// command's file gives its texts, its options and the function that runs
// it; the help, the man pages and the bash completion are all made from
// this table, so they cannot disagree.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "options.h"

namespace kelvo::cli {

struct Command {
    std::string_view name;
    std::string_view summary;  // one line: kelvo --help's list and the man page's NAME
    std::string_view outline;  // the arguments beside the name in kelvo --help's list
    // The arguments of the synopsis, '\n' between its lines. Its leading
    // upper-case words are the operands: DEVICE, FILE, COMMAND... and so on.
    std::string_view usage;
    // Paragraphs, a blank line between them; lines that begin with a space
    // are shown as they stand (tables, examples).
    std::string_view description;
    std::span<const Option> options;
    int (*run)(const Arguments &args);
};

// Every command, in the order kelvo --help lists them.
std::span<const Command *const> commands();
// The command called `name`, or nullptr.
const Command *findCommand(std::string_view name);
// A command's options as its help lists them: its own, then --help.
std::vector<Option> documentedOptions(const Command &command);

// The tool as a whole, for kelvo --help and the kelvo(1) page.
struct Tool {
    std::string_view summary;
    std::span<const std::string_view> synopses;  // each a line "kelvo ..."
    std::string_view helpOutline;                // the 'help' pseudo-command in the list
    std::string_view helpSummary;
    std::span<const Option> options;
    // What follows the options: paragraphs as in a command's description.
    std::string_view notes;
};
const Tool &tool();

}  // namespace kelvo::cli
