// SPDX-License-Identifier: MIT
// Device discovery (deviceList.h). Runs in the caller's thread with static
// working storage. Once an ls or udevadm runs out of its time limit the list
// stops there, as a hung udev would hold every later udevadm as long.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "deviceList.h"
#include "timedCommand.h"
#include "udevadmParser.h"

namespace kelvo::discovery {

namespace {

constexpr std::string_view kSubsystemsUsb = "SUBSYSTEMS==\"usb\"";
constexpr std::string_view kDriversUsb = "DRIVERS==\"usb\"";
constexpr std::string_view kVendorAttr = "ATTRS{idVendor}==";
constexpr std::string_view kProductAttr = "ATTRS{idProduct}==";
constexpr std::string_view kSerialAttr = "ATTRS{serial}==";
// Every "looking at ... device" heading contains it.
constexpr std::string_view kHeading = "looking";

// Once past 5 the counter can only reach the decision again through a new
// usb subsystem line, so holding it at 6 changes nothing but keeps an
// endless output from overflowing it.
constexpr int kStateCeiling = 6;
constexpr int kDecisionState = 5;

bool contains(std::string_view line, std::string_view pattern) { return line.find(pattern) != std::string_view::npos; }

void countAttribute(IdentityScan &scan) {
    if (scan.state < kStateCeiling) ++scan.state;
}

void captureSerial(IdentityScan &scan, std::string_view line) {
    const size_t quote = line.find('"', 1);
    if (quote == std::string_view::npos) return;
    std::string_view value = line.substr(quote + 1);
    value = value.substr(0, value.find('"'));
    const size_t length = value.size() < kSerialSize - 1 ? value.size() : kSerialSize - 1;
    std::memcpy(scan.savedSN, value.data(), length);
    scan.savedSN[length] = '\0';
}

bool isSkippedLead(char c) { return c == ' ' || c == '0' || c == '\\' || c == '_'; }

}  // namespace

void beginScan(IdentityScan &scan) {
    scan.state = 0;
    scan.vendor303a = scan.vendor0483 = scan.product4001 = scan.product5740 = false;
    scan.savedSN[0] = '\0';
}

bool scanLine(IdentityScan &scan, std::string_view line) {
    const bool subsystemUsb = contains(line, kSubsystemsUsb);
    if (scan.state == 0) {
        if (subsystemUsb) scan.state = 1;
        return false;
    }
    if (scan.state == 1) {
        // Only a usb subsystem line followed at once by the "usb" driver
        // opens the USB device's block; its interface (serial driver) and
        // anything else drop back.
        if (subsystemUsb || !contains(line, kDriversUsb)) {
            scan.state = subsystemUsb ? 1 : 0;
            return false;
        }
        scan.state = 2;
    } else if (subsystemUsb) {
        scan.state = 1;
        return false;
    }
    if (contains(line, kVendorAttr)) {
        if (contains(line, "==\"303a\"")) scan.vendor303a = true;
        if (contains(line, "==\"0483\"")) scan.vendor0483 = true;
        countAttribute(scan);
    }
    if (contains(line, kProductAttr)) {
        if (contains(line, "==\"4001\"")) scan.product4001 = true;
        if (contains(line, "==\"5740\"")) scan.product5740 = true;
        countAttribute(scan);
    }
    if (contains(line, kSerialAttr)) {
        captureSerial(scan, line);
        countAttribute(scan);
    }
    return scan.state == kDecisionState || contains(line, kHeading);
}

bool isAcceptedIdentity(const IdentityScan &scan) {
    return (scan.vendor303a && scan.product4001) || (scan.vendor0483 && scan.product5740);
}

const char *classifySerial(const char *savedSN, SerialClasses &classes, const char **shown) {
    const char *rest = savedSN;
    while (isSkippedLead(*rest)) ++rest;
    *shown = rest;
    size_t numCount = 0;
    size_t charCount = 0;
    for (size_t i = 0; i < kClassSize - 1 && rest[i] != '\0'; ++i) {
        // Taken as a signed byte, so every byte above 127 counts as a digit.
        const signed char c = static_cast<signed char>(rest[i]);
        if (c <= '9') {
            classes.nums[numCount++] = rest[i];
        } else {
            classes.chars[charCount++] = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    classes.nums[numCount] = '\0';
    classes.chars[charCount] = '\0';
    if (charCount == 0) return "orv";
    if (charCount >= 2) return classes.chars;
    switch (classes.chars[0]) {
        case 'b': return "orv";
        case 'c': return "tallo";
        case 'e': return "orv_t";
        default: return "unknown";
    }
}

Appended appendLine(char *text, size_t capacity, std::string_view kind, std::string_view path,
                    std::string_view serial) {
    static constexpr char kUnreadable[] = {'\t', '\n', '\0'};
    if (path.find_first_of(std::string_view(kUnreadable, sizeof kUnreadable)) != std::string_view::npos) {
        return Appended::nothing;
    }
    const size_t used = std::strlen(text);
    const size_t length = kind.size() + 1 + path.size() + 1 + serial.size() + 1;
    if (used >= capacity || length > capacity - used - 1) return Appended::full;
    char *end = text + used;
    for (const std::string_view part :
         {kind, std::string_view("\t"), path, std::string_view("\t"), serial, std::string_view("\n")}) {
        std::memcpy(end, part.data(), part.size());
        end += part.size();
    }
    *end = '\0';
    return Appended::line;
}

Appended appendDecision(char *text, size_t capacity, const IdentityScan &scan, std::string_view path, bool listAll,
                        SerialClasses &classes) {
    if (isAcceptedIdentity(scan)) {
        const char *shown = nullptr;
        const char *kind = classifySerial(scan.savedSN, classes, &shown);
        return appendLine(text, capacity, kind, path, shown);
    }
    if (listAll) return appendLine(text, capacity, "foreign", path, scan.savedSN);
    return Appended::nothing;
}

bool formatUdevadmCommand(char *command, size_t capacity, std::string_view path) {
    // Inside single quotes the shell takes every character literally; a
    // single quote itself is closed, escaped and reopened: '\''.
    // The shell execs udevadm, so that the child killed after a time-out
    // is udevadm itself.
    static constexpr std::string_view kHead = "exec udevadm info -n '";
    static constexpr std::string_view kTail = "' -a";
    if (capacity == 0) return false;
    command[0] = '\0';
    size_t used = 0;
    auto put = [&](std::string_view piece) {
        if (piece.size() > capacity - 1 - used) return false;
        std::memcpy(command + used, piece.data(), piece.size());
        used += piece.size();
        return true;
    };
    if (!put(kHead)) return false;
    for (const char c : path) {
        if (!(c == '\'' ? put("'\\''") : put(std::string_view(&c, 1)))) {
            command[0] = '\0';
            return false;
        }
    }
    if (!put(kTail)) {
        command[0] = '\0';
        return false;
    }
    command[used] = '\0';
    return true;
}

}  // namespace kelvo::discovery

using namespace kelvo::discovery;

namespace {

char resultString[kResultSize];
char pathLine[kPathLineSize];
// One buffer for the command text and then for the lines it prints.
char commandLine[kCommandLineSize];
IdentityScan scan;
SerialClasses classes;
TimedCommand listing;     // the running ls
TimedCommand attributes;  // the running udevadm

// The next tty path from `ls`, without its newline. A path too long for the
// line buffer is skipped whole: a cut path would name another file.
bool nextPath() {
    while (listing.readLine(pathLine, sizeof pathLine)) {
        size_t length = std::strlen(pathLine);
        if (length > 0 && pathLine[length - 1] == '\n') {
            pathLine[--length] = '\0';
        } else if (length == sizeof pathLine - 1) {
            int c = listing.readChar();
            if (c != EOF && c != '\n') {
                while (c != EOF && c != '\n') c = listing.readChar();
                continue;
            }
        }
        if (length > 0) return true;
    }
    return false;
}

// Appends the tty's line, if it has one. False when the list must stop: the
// line did not fit, or udevadm ran out of time.
bool examineTty(const char *path, bool listAll) {
    if (!formatUdevadmCommand(commandLine, sizeof commandLine, path)) return true;
    if (!attributes.start(commandLine)) return true;
    beginScan(scan);
    bool decided = false;
    while (!decided && attributes.readLine(commandLine, sizeof commandLine)) {
        std::string_view line(commandLine);
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        decided = scanLine(scan, line);
    }
    // What udevadm would print after the decision is not needed: it is
    // ended then, rather than left to run into its time limit.
    const bool inTime = attributes.finish();
    if (decided && appendDecision(resultString, sizeof resultString, scan, path, listAll, classes) == Appended::full) {
        return false;
    }
    return inTime;
}

}  // namespace

const char *kelvo::listSerialDevices(bool listAll) {
    static const char *const kListings[] = {"exec ls /dev/ttyA* 2> /dev/null", "exec ls /dev/ttyU* 2> /dev/null"};
    resultString[0] = '\0';
    for (const char *command : kListings) {
        if (!listing.start(command)) {
            resultString[0] = '\0';
            return resultString;
        }
        // Once a line does not fit, later ones are left out too, so the
        // list stays in the order found.
        bool more = true;
        while (more && nextPath()) more = examineTty(pathLine, listAll);
        if (!listing.finish() || !more) break;
    }
    return resultString;
}
