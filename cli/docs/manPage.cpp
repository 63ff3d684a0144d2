// SPDX-License-Identifier: MIT
#include "manPage.h"

#include <cctype>
#include <vector>

#include "help.h"
#include "roff.h"

namespace kelvo::cli::docs {

namespace {

std::string upper(std::string_view text) {
    std::string result(text);
    for (char &c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

std::string pageName(const Command &command) { return "kelvo-" + std::string(command.name); }

std::string heading(const std::string &name, std::string_view version) {
    return ".\\\" Made by kelvo-docs from kelvo's command table; edit the table, not this page.\n.TH " +
           escaped(upper(name)) + " 1 \"\" \"kelvo " + escaped(version) +
           "\" \"User Commands\"\n"
           // Names such as clock_origin_index are not to be broken, nor
           // the words of the help spread apart to fill the lines.
           ".nh\n.ad l\n";
}

std::string nameSection(const std::string &name, std::string_view summary) {
    return ".SH NAME\n" + escaped(name) + " \\- " + escaped(summary) + "\n";
}

// "kelvo stream" in bold, then the arguments, filled.
std::string synopsis(const Command &command) {
    std::string roff = ".B kelvo " + escaped(command.name) + "\n";
    for (const std::string_view line : usageLines(command)) roff += escaped(line) + "\n";
    return roff;
}

std::string optionEntries(const std::vector<Option> &options) {
    std::string roff;
    for (const Option &o : options) {
        roff += ".TP\n";
        if (o.letter != 0) roff += "\\fB\\-" + escaped(std::string(1, o.letter)) + "\\fR, ";
        roff += "\\fB\\-\\-" + escaped(o.name) + "\\fR";
        if (!o.value.empty()) roff += " \\fI" + escaped(o.value) + "\\fR";
        std::string text = escaped(optionText(o));
        for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 5)) {
            text.replace(at, 1, "\n.br\n");
        }
        roff += "\n" + text + "\n";
    }
    return roff;
}

// The sections of a help2man include file, by name, in their order.
std::vector<std::pair<std::string, std::string>> includedSections(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> sections;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            sections.emplace_back(std::string(line.substr(1, line.size() - 2)), "");
        } else if (!sections.empty() && !line.empty()) {
            sections.back().second += std::string(line) + "\n";
        }
    }
    return sections;
}

std::string commandList() {
    std::string roff;
    for (const Command *command : commands()) {
        roff += ".TP\n\\fB" + escaped(command->name) + "\\fR";
        if (!command->outline.empty()) roff += " " + escaped(command->outline);
        roff += "\n" + escaped(command->summary) + "\n";
    }
    return roff + ".TP\n\\fBhelp\\fR " + escaped(tool().helpOutline) + "\n" + escaped(tool().helpSummary) + "\n";
}

}  // namespace

std::string commandPage(const Command &command, std::string_view version) {
    const std::string name = pageName(command);
    return heading(name, version) + nameSection(name, command.summary) + ".SH SYNOPSIS\n" + synopsis(command) +
           ".SH DESCRIPTION\n" + paragraphs(command.description) + ".SH OPTIONS\n" +
           optionEntries(documentedOptions(command)) + ".SH SEE ALSO\n.BR kelvo (1)\n";
}

std::string toolPage(std::string_view version, std::string_view sections) {
    const Tool &t = tool();
    std::string roff = heading("kelvo", version) + nameSection("kelvo", t.summary) + ".SH SYNOPSIS\n";
    for (const std::string_view line : t.synopses) {
        const size_t space = line.find(' ');
        roff += ".B " + escaped(line.substr(0, space)) + "\n" + escaped(line.substr(space + 1)) + "\n.br\n";
    }
    roff += ".SH DESCRIPTION\n" + commandList();
    roff += ".SH OPTIONS\n" + optionEntries({t.options.begin(), t.options.end()}) + paragraphs(t.notes);
    roff += ".SH COMMANDS\n";
    for (const Command *command : commands()) {
        roff += ".SS " + escaped(command->name) + "\n.PP\n" + synopsis(*command) + paragraphs(command->description) +
                ".PP\nOptions:\n" + optionEntries(documentedOptions(*command));
    }
    std::string seeAlso;
    for (const Command *command : commands()) seeAlso += ".BR " + escaped(pageName(*command)) + " (1),\n";
    bool sawSeeAlso = false;
    for (const auto &[title, text] : includedSections(sections)) {
        const bool isSeeAlso = title == "SEE ALSO";
        sawSeeAlso = sawSeeAlso || isSeeAlso;
        roff += ".SH " + title + "\n" + (isSeeAlso ? seeAlso : "") + text;
    }
    if (!sawSeeAlso) roff += ".SH SEE ALSO\n" + seeAlso.substr(0, seeAlso.size() - 2) + "\n";
    return roff;
}

}  // namespace kelvo::cli::docs
