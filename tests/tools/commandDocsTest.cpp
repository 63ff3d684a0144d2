// SPDX-License-Identifier: MIT
// What the build made from the command table says what the program says:
// each man page, rendered by groff, holds the words of `kelvo COMMAND
// --help`; kelvo(1) those of `kelvo --help` and of every command; and the
// bash completion offers every command, each command's options, and
// devices, files or nothing where the usage has them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "command.h"
#include "programRunner.h"

using namespace kelvo::test;
using kelvo::cli::Command;

namespace {

const std::string kKelvo = KELVO_CLI;
const std::string kDocs = KELVO_DOCS_FOLDER;
::testing::Environment *const kRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

std::string helpOf(const std::vector<std::string> &args) {
    std::vector<std::string> argv{kKelvo};
    argv.insert(argv.end(), args.begin(), args.end());
    const Outcome o = runProgram(argv);
    EXPECT_EQ(o.status, 0) << o.err;
    return o.out;
}

// The words of a text, one space between them: line breaks, filling and
// alignment are the renderer's, not what the text says.
std::string words(const std::string &text) {
    std::istringstream in(text);
    std::string result;
    for (std::string word; in >> word;) result += (result.empty() ? "" : " ") + word;
    return result;
}

// A help text as its words, without the "usage:" before the synopsis and
// the list headings, which a man page has as sections.
std::string helpWords(const std::string &text) {
    std::istringstream in(text);
    std::string kept;
    for (std::string line; std::getline(in, line);) {
        const std::string heading = words(line);
        if (heading == "Options:" || heading == "Commands:") continue;
        kept += (line.rfind("usage: ", 0) == 0 ? line.substr(7) : line) + "\n";
    }
    return words(kept);
}

// A man page as groff renders it for a terminal, in sections: the text of
// each, by the heading that begins it (subsections, indented by three,
// count as text).
struct RenderedPage {
    std::vector<std::pair<std::string, std::string>> sections;
    std::string section(const std::string &name) const {
        for (const auto &[heading, text] : sections) {
            if (heading == name) return text;
        }
        ADD_FAILURE() << "no section " << name;
        return "";
    }
};

RenderedPage render(const std::string &page) {
    const Outcome o =
        runProgram({"/usr/bin/groff", "-man", "-Tutf8", "-P-c", "-P-b", "-P-u", "-rLL=200n", "-ww", "-z", page});
    EXPECT_EQ(o.err, "") << page << ": groff warns";
    const Outcome shown = runProgram({"/usr/bin/groff", "-man", "-Tutf8", "-P-c", "-P-b", "-P-u", "-rLL=200n", page});
    EXPECT_EQ(shown.status, 0) << shown.err;
    RenderedPage rendered;
    std::istringstream in(shown.out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    // The first and the last line are the page's header and footer.
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::string &line = lines[i];
        if (!line.empty() && line[0] != ' ') {
            rendered.sections.emplace_back(line, "");
        } else if (!rendered.sections.empty()) {
            rendered.sections.back().second += line + "\n";
        }
    }
    return rendered;
}

std::string pagePath(const std::string &name) { return kDocs + "/man1/" + name + ".1"; }

TEST(ManPages, EachCommandsPageSaysWhatItsHelpSays) {
    for (const Command *command : kelvo::cli::commands()) {
        const std::string name(command->name);
        const RenderedPage page = render(pagePath("kelvo-" + name));
        const std::string help = helpOf({name, "--help"});
        EXPECT_EQ(words(page.section("SYNOPSIS") + page.section("DESCRIPTION") + page.section("OPTIONS")),
                  helpWords(help))
            << name;
        EXPECT_EQ(words(page.section("NAME")), "kelvo-" + name + " - " + std::string(command->summary));
        EXPECT_EQ(words(page.section("SEE ALSO")), "kelvo(1)");
        // The same words as `kelvo help COMMAND`.
        EXPECT_EQ(helpOf({"help", name}), help) << name;
    }
}

// The text of each subsection of a rendered section, by its title.
std::vector<std::pair<std::string, std::string>> subsections(const std::string &text) {
    std::vector<std::pair<std::string, std::string>> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.size() > 3 && line.compare(0, 3, "   ") == 0 && line[3] != ' ') {
            result.emplace_back(line.substr(3), "");
        } else if (!result.empty()) {
            result.back().second += line + "\n";
        }
    }
    return result;
}

TEST(ManPages, TheToolsPageHoldsTheToolsHelpEveryCommandAndItsClosingSections) {
    const RenderedPage page = render(pagePath("kelvo"));
    EXPECT_EQ(words(page.section("SYNOPSIS") + page.section("DESCRIPTION") + page.section("OPTIONS")),
              helpWords(helpOf({"--help"})));
    std::vector<std::string> described;
    for (const auto &[title, text] : subsections(page.section("COMMANDS"))) {
        described.push_back(title);
        EXPECT_EQ(helpWords(text), helpWords(helpOf({title, "--help"}))) << title;
    }
    std::vector<std::string> listed;
    for (const Command *command : kelvo::cli::commands()) listed.emplace_back(command->name);
    EXPECT_EQ(described, listed);
    // What share/man/kelvo.h2m adds, and the pages of the commands.
    EXPECT_NE(words(page.section("ENVIRONMENT")).find("SDL_VIDEODRIVER offscreen plots where nobody sees it"),
              std::string::npos);
    EXPECT_NE(words(page.section("FILES")).find("/dev/kelvo/SERIAL"), std::string::npos);
    const std::string see = words(page.section("SEE ALSO"));
    for (const std::string &name : listed) {
        EXPECT_NE(see.find("kelvo-" + name + "(1),"), std::string::npos) << see;
    }
    EXPECT_NE(see.find("kelvo-sim(1), kelvo-busd(1), and the README"), std::string::npos) << see;
}

TEST(ManPages, OnlyTheCommandsHavePagesOfTheirOwn) {
    std::set<std::string> pages;
    for (const auto &entry : std::filesystem::directory_iterator(kDocs + "/man1")) {
        pages.insert(entry.path().filename().string());
    }
    std::set<std::string> expected{"kelvo.1"};
    for (const Command *command : kelvo::cli::commands()) expected.insert("kelvo-" + std::string(command->name) + ".1");
    EXPECT_EQ(pages, expected);
}

// What the completion offers for `words`, the last being completed, sorted.
std::set<std::string> completions(std::vector<std::string> words) {
    words.insert(words.begin(), kKelvo);
    std::vector<std::string> argv{"/bin/bash", "-c",
                                  "source \"$1\"; shift; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _kelvo; "
                                  "printf '%s\\n' \"${COMPREPLY[@]}\"",
                                  "bash", kDocs + "/kelvo.bash"};
    argv.insert(argv.end(), words.begin(), words.end());
    const Outcome o = runProgram(argv);
    EXPECT_EQ(o.status, 0) << o.err;
    std::set<std::string> offered;
    std::istringstream in(o.out);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) offered.insert(line);
    }
    return offered;
}

TEST(Completion, OffersEveryCommandAndEachCommandsOptions) {
    std::set<std::string> names{"help", "--help", "--version"};
    for (const Command *command : kelvo::cli::commands()) {
        names.insert(std::string(command->name));
        std::set<std::string> options;
        for (const kelvo::cli::Option &o : kelvo::cli::documentedOptions(*command)) {
            options.insert("--" + std::string(o.name));
            if (o.letter != 0) options.insert(std::string("-") + o.letter);
        }
        EXPECT_EQ(completions({std::string(command->name), "-"}), options) << command->name;
    }
    EXPECT_EQ(completions({""}), names);
    names.erase("--help");
    names.erase("--version");
    names.erase("help");
    EXPECT_EQ(completions({"help", ""}), names);
}

TEST(Completion, OffersDevicesFilesOrNothingAsTheUsageHasIt) {
    SimProcess sim(KELVO_SIM, {});
    const std::set<std::string> device{"SIM0001"};
    const std::string folder =
        (std::filesystem::temp_directory_path() / ("kelvo-completion-" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/firmware.bin") << "x";
    const std::set<std::string> file{folder + "/firmware.bin"};

    EXPECT_EQ(completions({"sync", "SIM"}), device);
    EXPECT_EQ(completions({"sync", "SIM0001", "SIM"}), device) << "DEVICE... takes more";
    EXPECT_EQ(completions({"sync", "--config", "X", "-s", "1", "SIM"}), device) << "-s ends the commands";
    EXPECT_EQ(completions({"stream", "SIM0001", "SIM"}), std::set<std::string>{}) << "one DEVICE";
    EXPECT_EQ(completions({"sync", "SIM0001", "--config", "CONFigure:DEVice 3", "SIM"}), std::set<std::string>{})
        << "--config takes the words up to the next option";
    EXPECT_EQ(completions({"sync", "--config=X", "SIM"}), device) << "--config=X takes one";
    EXPECT_EQ(completions({"stream", "SIM0001", "-o", folder + "/firm"}), file);
    EXPECT_EQ(completions({"stream", "SIM0001", "--seconds", "SIM"}), std::set<std::string>{});
    EXPECT_EQ(completions({"upload", "SIM0001", folder + "/firm"}), file);
    EXPECT_EQ(completions({"query", "SIM0001", "SIM"}), std::set<std::string>{}) << "COMMAND... are SCPI";
    EXPECT_EQ(completions({"subscribe", "SIM"}), std::set<std::string>{}) << "an ENDPOINT";
    EXPECT_EQ(completions({"control", "SIM"}), std::set<std::string>{}) << "an ENDPOINT";
    EXPECT_EQ(completions({"list", "SIM"}), std::set<std::string>{});
    std::filesystem::remove_all(folder);
}

}  // namespace
