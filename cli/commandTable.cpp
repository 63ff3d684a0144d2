// SPDX-License-Identifier: MIT
// The table of the kelvo commands, and what the tool says of itself.
#include <algorithm>

#include "command.h"
#include "commands/commands.h"

namespace kelvo::cli {

namespace {

const Command *const kCommands[] = {
    &listCommand,   &queryCommand,   &streamCommand,    &syncCommand, &uploadCommand, &plotCommand,    &demoCommand,
    &recordCommand, &publishCommand, &subscribeCommand, &markCommand, &keysCommand,   &controlCommand, &serveCommand,
};

constexpr std::string_view kSynopses[] = {"kelvo COMMAND [ARGUMENTS]", "kelvo --version | -V", "kelvo --help | -h"};

constexpr Option kToolOptions[] = {
    option::config.describedAs(
        "configuration commands, up to the next option; --config=CMD gives one, and --config may be repeated"),
    option::seconds,
    option::samples,
    option::out,
    option::timeout,
    option::json,
    Option::flag("version", "print the version and exit").withLetter('V'),
    option::help.describedAs("show the help of the tool or of a command"),
};

constexpr std::string_view kNotes = R"(Every option that takes a value also takes it as --option=value.

DEVICE is a tty path (/dev/ttyACM0), a line of 'kelvo list', or a serial
number shown by it. Run 'kelvo COMMAND --help' for the details of a command.

Exit status:
  0  success
  1  failure: a device, file or the library refused or went silent
  2  usage: unknown command or option, missing or bad argument
  3  data lost: the stream went through, but samples were dropped on the way)";

const Tool kTool{
    .summary = "list, query, stream from, synchronise, upload to and plot data-acquisition devices",
    .synopses = kSynopses,
    .helpOutline = "[COMMAND]",
    .helpSummary = "show this text or a command's",
    .options = kToolOptions,
    .notes = kNotes,
};

}  // namespace

std::span<const Command *const> commands() { return kCommands; }

const Command *findCommand(std::string_view name) {
    const auto *const found = std::find_if(std::begin(kCommands), std::end(kCommands),
                                           [name](const Command *command) { return command->name == name; });
    return found == std::end(kCommands) ? nullptr : *found;
}

std::vector<Option> documentedOptions(const Command &command) {
    std::vector<Option> options(command.options.begin(), command.options.end());
    options.push_back(option::help);
    return options;
}

const Tool &tool() { return kTool; }

}  // namespace kelvo::cli
