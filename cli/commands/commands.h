// SPDX-License-Identifier: MIT
// The commands the table lists, each defined in its own file here.
#pragma once

#include "command.h"

namespace kelvo::cli {

extern const Command listCommand;
extern const Command queryCommand;
extern const Command streamCommand;
extern const Command syncCommand;
extern const Command uploadCommand;
extern const Command plotCommand;
extern const Command demoCommand;
extern const Command recordCommand;
extern const Command publishCommand;
extern const Command subscribeCommand;
extern const Command serveCommand;
extern const Command markCommand;
extern const Command keysCommand;
extern const Command controlCommand;

// What 'stream' and 'plot' both run: 'plot' streams to the plot window
// only, and ends when it is closed.
int runStream(const Arguments &args, bool plotOnly);

}  // namespace kelvo::cli
