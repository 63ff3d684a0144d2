// SPDX-License-Identifier: MIT
#include "help.h"

#include <algorithm>

namespace kelvo::cli {

namespace {

// How wide the option lists may grow: an 80-column terminal with a margin.
constexpr size_t kWidth = 79;
// Room between the labels and the texts of a list.
constexpr size_t kGap = 3;
// A label longer than this has its text begin on the next line.
constexpr size_t kLongestLabel = 20;

struct Entry {
    std::string label;
    std::string text;
};

// "  LABEL   TEXT" lines, the texts in one column after the longest label
// that is not too long.
std::string entryList(const std::vector<Entry> &entries, size_t gap, bool wrap) {
    size_t longest = 0;
    for (const Entry &e : entries) {
        if (!wrap || e.label.size() <= kLongestLabel) longest = std::max(longest, e.label.size());
    }
    const size_t column = 2 + longest + gap;
    std::string list;
    for (const Entry &e : entries) {
        const std::string head = "  " + e.label;
        const std::string text = wrap ? wrapped(e.text, kWidth - column, column) : e.text;
        if (head.size() + gap > column) {
            list += head + "\n" + std::string(column, ' ') + text + "\n";
        } else {
            list += head + std::string(column - head.size(), ' ') + text + "\n";
        }
    }
    return list;
}

std::string optionList(const std::vector<Option> &options) {
    std::vector<Entry> entries;
    entries.reserve(options.size());
    for (const Option &o : options) entries.push_back({optionLabel(o), optionText(o)});
    return entryList(entries, kGap, true);
}

}  // namespace

std::string optionLabel(const Option &option) {
    std::string label = option.letter != 0 ? std::string("-") + option.letter + ", " : "";
    label += "--" + std::string(option.name);
    if (!option.value.empty()) label += " " + std::string(option.value);
    return label;
}

std::string optionText(const Option &option) {
    std::string text(option.help);
    if (!option.byDefault.empty()) text += " (default " + std::string(option.byDefault) + ")";
    return text;
}

std::vector<std::string_view> usageLines(const Command &command) {
    std::vector<std::string_view> lines;
    std::string_view rest = command.usage;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        lines.push_back(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    }
    return lines;
}

std::string wrapped(std::string_view text, size_t width, size_t indent) {
    std::string result;
    size_t lineLength = 0;
    size_t at = 0;
    while (at < text.size()) {
        if (text[at] == '\n') {
            result += "\n" + std::string(indent, ' ');
            lineLength = 0;
            ++at;
            continue;
        }
        if (text[at] == ' ') {
            ++at;
            continue;
        }
        const size_t end = std::min(text.find_first_of(" \n", at), text.size());
        const std::string_view word = text.substr(at, end - at);
        if (lineLength > 0 && lineLength + 1 + word.size() > width) {
            result += "\n" + std::string(indent, ' ');
            lineLength = 0;
        }
        if (lineLength > 0) {
            result += ' ';
            ++lineLength;
        }
        result += word;
        lineLength += word.size();
        at = end;
    }
    return result;
}

std::string commandHelp(const Command &command) {
    const std::string head = "usage: kelvo " + std::string(command.name) + " ";
    std::string help;
    for (const std::string_view line : usageLines(command)) {
        help += (help.empty() ? head : std::string(head.size(), ' ')) + std::string(line) + "\n";
    }
    if (help.empty()) help = "usage: kelvo " + std::string(command.name) + "\n";
    help += "\n" + std::string(command.description) + "\n\nOptions:\n";
    return help + optionList(documentedOptions(command));
}

std::string toolHelp() {
    const Tool &t = tool();
    std::string help;
    for (const std::string_view synopsis : t.synopses) {
        help += (help.empty() ? "usage: " : "       ") + std::string(synopsis) + "\n";
    }
    std::vector<Entry> entries;
    for (const Command *command : commands()) {
        const std::string outline = command->outline.empty() ? "" : " " + std::string(command->outline);
        entries.push_back({std::string(command->name) + outline, std::string(command->summary)});
    }
    entries.push_back({"help " + std::string(t.helpOutline), std::string(t.helpSummary)});
    help += "\nCommands:\n" + entryList(entries, 2, false);
    help += "\nOptions:\n" + optionList({t.options.begin(), t.options.end()});
    return help + std::string(t.notes) + "\n";
}

}  // namespace kelvo::cli
