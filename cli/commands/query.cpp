// SPDX-License-Identifier: MIT
// kelvo query: SCPI commands sent, their answers and the device's verdicts.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "json.h"
#include "kelvo.h"

namespace kelvo::cli {

namespace {

void hexDump(const unsigned char *bytes, int length) {
    for (int at = 0; at < length; at += 16) {
        std::printf("%08x ", at);
        for (int i = 0; i < 16; ++i) {
            if (i == 8) std::printf(" ");
            if (at + i < length) {
                std::printf(" %02x", bytes[at + i]);
            } else {
                std::printf("   ");
            }
        }
        std::printf("  |");
        for (int i = 0; i < 16 && at + i < length; ++i) {
            const unsigned char c = bytes[at + i];
            std::putchar(c >= 0x20 && c < 0x7f ? c : '.');
        }
        std::printf("|\n");
    }
}

void writeFile(const std::string &path, const char *bytes, int length) {
    std::ofstream file(path, std::ios::binary);
    file.write(bytes, length);
    if (!file) throw Failure("cannot write " + path + ": " + std::strerror(errno));
}

// What the options of 'query' ask for.
struct Settings {
    std::vector<std::string> commands;  // the COMMAND words
    std::string out;
    int timeoutMs;
};

std::string hexOf(const char *bytes, int length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (int i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

// An answer as an entry of the --json results.
void answerEntry(JsonWriter &json, const Settings &settings, const char *answer, int length, bool binary) {
    if (!binary) {
        std::string text(answer, static_cast<size_t>(length));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        json.member("answer", text);
        return;
    }
    json.member("binary", true).member("bytes", length);
    if (!settings.out.empty()) {
        writeFile(settings.out, answer, length);
        json.member("file", settings.out);
    } else {
        json.member("hex", hexOf(answer, length));
    }
}

void showAnswer(const Settings &settings, const char *answer, int length, bool binary, JsonWriter *json) {
    if (json != nullptr) {
        answerEntry(*json, settings, answer, length, binary);
        return;
    }
    if (binary) {
        if (!settings.out.empty()) {
            writeFile(settings.out, answer, length);
            std::printf("%d bytes written to %s\n", length, settings.out.c_str());
        } else {
            hexDump(reinterpret_cast<const unsigned char *>(answer), length);
        }
    } else if (length > 0) {
        std::fwrite(answer, 1, static_cast<size_t>(length), stdout);
        if (answer[length - 1] != '\n') std::putchar('\n');
    }
}

// The older way: kelvoSendCmd, an answer ends after 5 quiet ms.
int queryByQuietRule(const Settings &settings, OpenSlots &open, int slot, JsonWriter *json) {
    int status = 0;
    for (const std::string &command : settings.commands) {
        int length = 0;
        int binary = 0;
        const char *answer = kelvoSendCmd(slot, command.c_str(), &length, &binary);
        if (answer == nullptr) throw Failure(open.name(slot) + ": " + libraryError(slot));
        const bool silent = !binary && length == 0 && command.find('?') != std::string::npos;
        if (json != nullptr) json->beginObject().member("command", command);
        if (silent && json != nullptr) json->member("timeout", true);
        if (!silent) showAnswer(settings, answer, length, binary != 0, json);
        if (json != nullptr) json->endObject();
        if (silent) {
            std::fprintf(stderr, "kelvo: %s: no answer to '%s'\n", open.name(slot).c_str(), command.c_str());
            status = 1;
        }
        std::fflush(stdout);
    }
    return status;
}

// One exchange with kelvoQuery: the answer's length, or -2 when none came
// in time (already reported). Other failures end the command.
int exchange(const Settings &settings, OpenSlots &open, int slot, const std::string &command, std::vector<char> &answer,
             int &binary) {
    const int n =
        kelvoQuery(slot, command.c_str(), answer.data(), static_cast<int>(answer.size()), settings.timeoutMs, &binary);
    if (n == -2 && command.find('?') != std::string::npos) {
        std::fprintf(stderr, "kelvo: %s: no answer to '%s' within %d ms\n", open.name(slot).c_str(), command.c_str(),
                     settings.timeoutMs);
        return n;
    }
    if (n < 0) throw Failure(open.name(slot) + ": " + libraryError(slot));
    return n;
}

// One COMMAND of 'query': its answer shown (or put in its entry of the
// --json document), and for a setting the device's verdict on it. False
// when no answer came in time; a refused setting throws.
bool queryOne(const Settings &settings, OpenSlots &open, int slot, const std::string &command,
              std::vector<char> &answer, JsonWriter *json) {
    int binary = 0;
    const int n = exchange(settings, open, slot, command, answer, binary);
    if (n == -2) {
        if (json != nullptr) json->member("timeout", true);
        return false;
    }
    if (command.find('?') != std::string::npos) {
        showAnswer(settings, answer.data(), n, binary != 0, json);
        if (json == nullptr && !binary && n == 0) std::putchar('\n');
        std::fflush(stdout);
        return true;
    }
    // A setting has no answer; the device's error queue tells whether it took it.
    char first[512];
    const int verdict = kelvoCheckDeviceErrors(slot, first, sizeof first);
    if (verdict == KELVO_TIMEOUT) {
        std::fprintf(stderr, "kelvo: %s: no answer to 'SYSTem:ERRor?' within %d ms\n", open.name(slot).c_str(),
                     kErrorAnswerMs);
        if (json != nullptr) json->member("timeout", true);
        return false;
    }
    if (verdict < 0) throw Failure(open.name(slot) + ": " + libraryError(slot));
    const bool rejected = verdict == 1;
    if (json != nullptr) {
        json->member("accepted", !rejected);
        if (rejected) json->member("error", std::string(first));
    }
    if (rejected) throw Failure(open.name(slot) + ": '" + command + "': " + first);
    return true;
}

int run(const Arguments &args) {
    if (args.positional.size() < 2) throw Failure("'query' takes a DEVICE and at least one COMMAND", 2);
    const Settings settings{{args.positional.begin() + 1, args.positional.end()},
                            args.text("out"),
                            static_cast<int>(*args.number("timeout"))};
    OpenSlots open;
    const int slot = open.open(args.positional[0]);
    JsonWriter document;
    JsonWriter *json = args.flag("json") ? &document : nullptr;
    if (json != nullptr) document.beginObject().member("device", open.name(slot)).key("results").beginArray();
    // The document is printed however the commands end, a refused setting included.
    const auto finish = [&](int status) {
        if (json != nullptr) document.endArray().endObject().print();
        return status;
    };
    if (args.flag("quiet-rule")) return finish(queryByQuietRule(settings, open, slot, json));
    std::vector<char> answer(16 << 20);
    int status = 0;
    for (const std::string &command : settings.commands) {
        if (json != nullptr) document.beginObject().member("command", command);
        bool answered = false;
        try {
            answered = queryOne(settings, open, slot, command, answer, json);
        } catch (const Failure &) {
            if (json != nullptr) document.endObject();
            finish(1);
            throw;
        }
        if (json != nullptr) document.endObject();
        if (!answered) status = 1;
    }
    return finish(status);
}

constexpr Option kOptions[] = {
    option::timeout.defaulting("1000"),
    option::out.describedAs("where to write a binary block answer (the payload only)"),
    Option::flag("quiet-rule", "send the commands the older way (kelvoSendCmd), without the error check"),
    option::json.describedAs("print the answers as one JSON document on stdout"),
};

}  // namespace

const Command queryCommand{
    .name = "query",
    .summary = "send SCPI commands, print the answers",
    .outline = "DEVICE COMMAND... [--json]",
    .usage = "DEVICE COMMAND... [-t|--timeout MS] [-o|--out FILE] [--quiet-rule]\n[--json]",
    .description = R"(Sends each SCPI COMMAND in turn and waits for exactly one answer to each
query (a command with '?'), for at most --timeout MS (default 1000). A text
answer is printed without its line end; a binary block answer is shown as a
hex dump, or with --out written to FILE (the payload only). A query that
gets no complete answer in time is reported and makes the exit status 1.

After each setting command (no '?') the device's error queue is read
(SYSTem:ERRor? until it reports none); when it reports an error (an answer
that does not begin with "0" or "+0"), the first error is printed and the
tool stops with exit status 1.

--quiet-rule sends the commands the older way instead (kelvoSendCmd): no
error check, an answer ends when the line has been quiet for 5 ms, and a
query that gets nothing within 400 ms is reported.

--json prints {"device": ..., "results": [...]} with one entry per COMMAND:
{"command", "answer"} for a text answer, {"command", "binary": true,
"bytes", "hex"} for a block (or "file" with --out), {"command", "error"} for
a setting the device refused, {"command", "timeout": true} for a query that
got no answer; the exit status is as without it.

  kelvo query /dev/ttyACM0 '*IDN?'
  kelvo query SIM0001 'CONFigure:DEVice 3' 'CONFigure:DEVice?')",
    .options = kOptions,
    .run = run,
};

}  // namespace kelvo::cli
