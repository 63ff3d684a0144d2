// SPDX-License-Identifier: MIT
// Reading the USB identity of one tty from the attribute walk that
// "udevadm info -a" prints, and turning the outcome into a device-list line.
//
// Everything here works on text only, with bounded buffers, so that the
// tests and the fuzzer can drive it without starting any program;
// serialPortInfo.cpp feeds it from the pipes.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelvo::discovery {

inline constexpr size_t kResultSize = 1024;       // the whole device list
inline constexpr size_t kPathLineSize = 400;      // one line of ls output
inline constexpr size_t kCommandLineSize = 1400;  // one udevadm line, or the command
inline constexpr size_t kSerialSize = 32;         // 31 characters and a zero
inline constexpr size_t kClassSize = 21;          // 20 characters and a zero

// The walk through one udevadm output. `state` counts up through the USB
// device's block: 0 outside, 1 behind a usb subsystem line, 2 inside the
// block whose driver is "usb", plus one for each identity or serial line.
struct IdentityScan {
    int state;
    bool vendor303a;
    bool vendor0483;
    bool product4001;
    bool product5740;
    char savedSN[kSerialSize];
};

// The serial number split into its digit-like and letter-like characters.
struct SerialClasses {
    char nums[kClassSize];
    char chars[kClassSize];
};

// Clears the identity flags, the state and the captured serial.
void beginScan(IdentityScan &scan);

// Feeds one output line, without its newline. True when the decision point
// is reached: the identity, product and serial lines were all seen, or the
// next device's heading follows the USB device's block.
bool scanLine(IdentityScan &scan, std::string_view line);

// 303a:4001 and 0483:5740; never a cross pair.
bool isAcceptedIdentity(const IdentityScan &scan);

// The kind named by the letters of `savedSN` (terminated, at most 31
// characters). `shown` gets the serial as a device line shows it, without
// its leading blanks, zeros, backslashes and underscores. The returned text
// is a constant or lives in `classes`.
const char *classifySerial(const char *savedSN, SerialClasses &classes, const char **shown);

// What appending a decided tty did to the list.
enum class Appended { line, nothing, full };

// Appends "kind\tpath\tserial\n" to the terminated text in `text` only when
// the whole line fits in `capacity` bytes with the terminating zero; a line
// is never cut. A path with a tab, a newline or a zero cannot be read back
// from a line and gives nothing.
Appended appendLine(char *text, size_t capacity, std::string_view kind, std::string_view path, std::string_view serial);

// The line a decided scan gives for `path`: the kind and stripped serial of
// an accepted device, "foreign" and the whole serial for any other USB tty
// when `listAll` is set, else nothing.
Appended appendDecision(char *text, size_t capacity, const IdentityScan &scan, std::string_view path, bool listAll,
                        SerialClasses &classes);

// Writes "exec udevadm info -n PATH -a" with PATH quoted for /bin/sh, so
// that no character of a device name is ever read as shell syntax. False,
// leaving nothing usable, when the quoted command does not fit: a cut path
// would name another file.
bool formatUdevadmCommand(char *command, size_t capacity, std::string_view path);

}  // namespace kelvo::discovery
