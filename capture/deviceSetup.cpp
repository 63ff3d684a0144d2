// SPDX-License-Identifier: MIT
#include "deviceSetup.h"

#include <cerrno>
#include <cstring>

#include "captureError.h"
#include "deviceNames.h"
#include "kelvo.h"

namespace kelvo::capture {

namespace {

std::string explainOpenFailure(int slot, const std::string &path) {
    const char *reason = kelvoGetOpenError(slot);
    std::string text = "cannot open " + path + ": " + (reason != nullptr && *reason ? reason : "no reason given");
    if (reason == nullptr) return text;
    if (std::strcmp(reason, std::strerror(EACCES)) == 0)
        return text + " ('kelvo list --diagnose' tells why and what to do)";
    if (std::strncmp(reason, "device busy", 11) == 0) return text + " ('kelvo list --diagnose' names the program)";
    return text;
}

void requireNoDeviceError(int slot, const std::string &name, const std::string &command) {
    const DeviceErrors report = readDeviceErrors(slot, name);
    if (!report.answered) {
        throw CaptureError(name + ": no answer to 'SYSTem:ERRor?' within " + std::to_string(kErrorAnswerMs) +
                           " ms, so whether the device took '" + command + "' is unknown; not streaming");
    }
    if (report.any) {
        throw CaptureError(name + ": the device rejected '" + command + "': " + report.first + "; not streaming");
    }
}

std::string answerText(const char *answer, int length, int binary) {
    if (binary) return "(a block of " + std::to_string(length) + " bytes)";
    std::string text(answer, static_cast<size_t>(length));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

void openDevice(int slot, const std::string &target) {
    if (kelvoOpen(slot, target.c_str()) != 0) throw CaptureError(explainOpenFailure(slot, pathOf(target)));
}

std::string libraryError(int slot) {
    const char *text = kelvoGetLastError(slot);
    return text != nullptr && *text != '\0' ? text : "the library gave no reason";
}

DeviceErrors readDeviceErrors(int slot, const std::string &name) {
    char first[512];
    const int result = kelvoCheckDeviceErrors(slot, first, sizeof first);
    DeviceErrors report;
    if (result == KELVO_TIMEOUT) return report;
    if (result < 0) throw CaptureError(name + ": " + libraryError(slot));
    report.answered = true;
    report.any = result == 1;
    if (report.any) report.first = first;
    return report;
}

void configureDevice(int slot, const std::string &name, const std::vector<std::string> &commands,
                     const AnswerNote &noteAnswer) {
    // Errors left in the queue by earlier sessions are not this run's.
    int binary = 0;
    char none[1];
    if (kelvoQuery(slot, "*CLS", none, sizeof none, kErrorAnswerMs, &binary) < 0) {
        throw CaptureError(name + ": " + libraryError(slot));
    }
    for (const std::string &command : commands) {
        int length = 0;
        const char *answer = kelvoSendCmd(slot, command.c_str(), &length, &binary);
        if (answer == nullptr) throw CaptureError(name + ": " + libraryError(slot));
        if (length > 0 && noteAnswer) noteAnswer(command, answerText(answer, length, binary));
        requireNoDeviceError(slot, name, command);
    }
    const int sampleBytes = kelvoGetSampleSize(slot);
    if (sampleBytes < 0) throw CaptureError(name + ": " + libraryError(slot));
    if (sampleBytes == 0) {
        throw CaptureError(name +
                               ": no sample layout; give a 'CONFigure:DEVice' or 'CONFigure:SCAn:LISt' command with "
                               "--config",
                           CaptureError::Kind::usage);
    }
}

}  // namespace kelvo::capture
