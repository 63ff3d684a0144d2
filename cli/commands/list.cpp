// SPDX-License-Identifier: MIT
// kelvo list: the attached devices, or what stands in the way of using them.
#include "cli.h"
#include "commands.h"

namespace kelvo::cli {

namespace {

constexpr Option kOptions[] = {
    Option::flag("all", "list the other USB serial ttys too, as \"foreign\""),
    Option::flag("diagnose", "tell for every USB tty and simulated device what stands in the way of using it"),
    option::json.describedAs("print the list as one JSON document on stdout"),
};

int run(const Arguments &args) {
    if (!args.positional.empty()) throw Failure("'list' takes no device", 2);
    if (args.flag("diagnose")) return diagnoseDevices();
    const bool all = args.flag("all");
    const std::vector<ListedDevice> devices = listedDevices(all);
    if (args.flag("json")) {
        printListJson(devices);
    } else {
        for (const ListedDevice &d : devices)
            std::printf("%s\t%s\t%s\n", d.kind.c_str(), d.path.c_str(), d.serial.c_str());
    }
    if (devices.empty()) std::fprintf(stderr, "no devices found%s\n", all ? "" : " (try --all)");
    return 0;
}

}  // namespace

const Command listCommand{
    .name = "list",
    .summary = "list the attached devices, or diagnose them",
    .outline = "[--all] [--diagnose] [--json]",
    .usage = "[--all] [--diagnose] [--json]",
    .description = R"(Lists the attached devices, one line each: kind, tab, tty path, tab, serial
number, then the devices of this user's running kelvo-sim programs, as
"simulated". With --all, other USB serial ttys are listed too, as "foreign".
A line, its path or its serial number names the device in other commands.
With --json: {"devices": [{"kind": ..., "path": ..., "serial": ...}, ...]}.

--diagnose looks at every USB tty and simulated device instead and tells
for each: whether this user may open it read-write (and if not, why and
the fix), which other processes hold it open, whether ModemManager runs
and is not told to leave it alone, whether the kelvo udev rule is active,
and which kind it is listed as or why it is not listed. The exit status is
0 when every listed device is usable, else 1.)",
    .options = kOptions,
    .run = run,
};

}  // namespace kelvo::cli
