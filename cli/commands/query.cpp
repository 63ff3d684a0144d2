// SPDX-License-Identifier: MIT
// The list, query and upload commands.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "cli.h"
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

}  // namespace

int listCommand(int argc, char **argv) {
    const Arguments args = parseArguments("list", argc, argv, 2, {"--all", "--diagnose", "--json"});
    if (args.help) {
        std::fputs(helpText("list"), stdout);
        return 0;
    }
    if (!args.positional.empty()) throw Failure("'list' takes no device", 2);
    if (args.diagnose) return diagnoseDevices();
    const std::vector<ListedDevice> devices = listedDevices(args.all);
    if (args.json) {
        printListJson(devices);
    } else {
        for (const ListedDevice &d : devices)
            std::printf("%s\t%s\t%s\n", d.kind.c_str(), d.path.c_str(), d.serial.c_str());
    }
    if (devices.empty()) std::fprintf(stderr, "no devices found%s\n", args.all ? "" : " (try --all)");
    return 0;
}

namespace {

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
void answerEntry(JsonWriter &json, const Arguments &args, const char *answer, int length, bool binary) {
    if (!binary) {
        std::string text(answer, static_cast<size_t>(length));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        json.member("answer", text);
        return;
    }
    json.member("binary", true).member("bytes", length);
    if (!args.out.empty()) {
        writeFile(args.out, answer, length);
        json.member("file", args.out);
    } else {
        json.member("hex", hexOf(answer, length));
    }
}

void showAnswer(const Arguments &args, const char *answer, int length, bool binary, JsonWriter *json) {
    if (json != nullptr) {
        answerEntry(*json, args, answer, length, binary);
        return;
    }
    if (binary) {
        if (!args.out.empty()) {
            writeFile(args.out, answer, length);
            std::printf("%d bytes written to %s\n", length, args.out.c_str());
        } else {
            hexDump(reinterpret_cast<const unsigned char *>(answer), length);
        }
    } else if (length > 0) {
        std::fwrite(answer, 1, static_cast<size_t>(length), stdout);
        if (answer[length - 1] != '\n') std::putchar('\n');
    }
}

// The older way: kelvoSendCmd, an answer ends after 5 quiet ms.
int queryByQuietRule(const Arguments &args, OpenSlots &open, int slot, JsonWriter *json) {
    int status = 0;
    for (size_t i = 1; i < args.positional.size(); ++i) {
        const std::string &command = args.positional[i];
        int length = 0;
        int binary = 0;
        const char *answer = kelvoSendCmd(slot, command.c_str(), &length, &binary);
        if (answer == nullptr) throw Failure(open.name(slot) + ": " + libraryError(slot));
        const bool silent = !binary && length == 0 && command.find('?') != std::string::npos;
        if (json != nullptr) json->beginObject().member("command", command);
        if (silent && json != nullptr) json->member("timeout", true);
        if (!silent) showAnswer(args, answer, length, binary != 0, json);
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
int exchange(const Arguments &args, OpenSlots &open, int slot, const std::string &command, std::vector<char> &answer,
             int &binary) {
    const int n =
        kelvoQuery(slot, command.c_str(), answer.data(), static_cast<int>(answer.size()), args.timeoutMs, &binary);
    if (n == -2 && command.find('?') != std::string::npos) {
        std::fprintf(stderr, "kelvo: %s: no answer to '%s' within %d ms\n", open.name(slot).c_str(), command.c_str(),
                     args.timeoutMs);
        return n;
    }
    if (n < 0) throw Failure(open.name(slot) + ": " + libraryError(slot));
    return n;
}

}  // namespace

namespace {

// One COMMAND of 'query': its answer shown (or put in its entry of the
// --json document), and for a setting the device's verdict on it. False
// when no answer came in time; a refused setting throws.
bool queryOne(const Arguments &args, OpenSlots &open, int slot, const std::string &command, std::vector<char> &answer,
              JsonWriter *json) {
    int binary = 0;
    const int n = exchange(args, open, slot, command, answer, binary);
    if (n == -2) {
        if (json != nullptr) json->member("timeout", true);
        return false;
    }
    if (command.find('?') != std::string::npos) {
        showAnswer(args, answer.data(), n, binary != 0, json);
        if (json == nullptr && !binary && n == 0) std::putchar('\n');
        std::fflush(stdout);
        return true;
    }
    // A setting has no answer; the device's error queue tells whether it took it.
    const DeviceErrors report = readDeviceErrors(slot, open.name(slot));
    if (!report.answered) {
        std::fprintf(stderr, "kelvo: %s: no answer to 'SYSTem:ERRor?' within %d ms\n", open.name(slot).c_str(),
                     kErrorAnswerMs);
        if (json != nullptr) json->member("timeout", true);
        return false;
    }
    if (json != nullptr) {
        json->member("accepted", !report.any);
        if (report.any) json->member("error", report.first);
    }
    if (report.any) throw Failure(open.name(slot) + ": '" + command + "': " + report.first);
    return true;
}

}  // namespace

int queryCommand(int argc, char **argv) {
    const Arguments args = parseArguments("query", argc, argv, 2, {"--out", "--timeout", "--quiet-rule", "--json"});
    if (args.help) {
        std::fputs(helpText("query"), stdout);
        return 0;
    }
    if (args.positional.size() < 2) throw Failure("'query' takes a DEVICE and at least one COMMAND", 2);
    OpenSlots open;
    const int slot = open.open(args.positional[0]);
    JsonWriter document;
    JsonWriter *json = args.json ? &document : nullptr;
    if (json != nullptr) document.beginObject().member("device", open.name(slot)).key("results").beginArray();
    // The document is printed however the commands end, a refused setting included.
    const auto finish = [&](int status) {
        if (json != nullptr) document.endArray().endObject().print();
        return status;
    };
    if (args.quietRule) return finish(queryByQuietRule(args, open, slot, json));
    std::vector<char> answer(16 << 20);
    int status = 0;
    for (size_t i = 1; i < args.positional.size(); ++i) {
        if (json != nullptr) document.beginObject().member("command", args.positional[i]);
        bool answered = false;
        try {
            answered = queryOne(args, open, slot, args.positional[i], answer, json);
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

int uploadCommand(int argc, char **argv) {
    const Arguments args = parseArguments("upload", argc, argv, 2, {});
    if (args.help) {
        std::fputs(helpText("upload"), stdout);
        return 0;
    }
    if (args.positional.size() != 2) throw Failure("'upload' takes a DEVICE and a FILE", 2);
    std::ifstream file(args.positional[1], std::ios::binary);
    if (!file) throw Failure("cannot read " + args.positional[1] + ": " + std::strerror(errno));
    // Read a little more than a block takes, so that the library can refuse
    // an oversized file in its own words.
    std::string bytes;
    bytes.resize(1 << 20);
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(file.gcount()));

    OpenSlots open;
    const int slot = open.open(args.positional[0]);
    const std::string &name = open.name(slot);
    if (kelvoSendSCPIbinBlock(slot, bytes.data(), static_cast<int>(bytes.size())) != 0) {
        throw Failure(name + ": " + libraryError(slot));
    }
    std::printf("%zu bytes uploaded to %s\n", bytes.size(), name.c_str());
    // The device answers an upload, if at all, ahead of the "1" of *OPC?.
    int length = 0;
    int binary = 0;
    const char *answer = kelvoSendCmd(slot, "*OPC?", &length, &binary);
    if (answer == nullptr) throw Failure(name + ": " + libraryError(slot));
    std::string text(answer, static_cast<size_t>(length));
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "1\n") == 0 &&
        (text.size() == 2 || text[text.size() - 3] == '\n')) {
        text.resize(text.size() - 2);
    }
    if (!text.empty()) std::printf("device answered: %s%s", text.c_str(), text.back() == '\n' ? "" : "\n");
    return 0;
}

}  // namespace kelvo::cli
