// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>

#include "scpiHeader.h"

namespace {

constexpr const char *kOversampling = "CONFigure:SCAn:OVErsampling";

// The text behind the header on a match, or "<no match>".
std::string restAfter(const char *command, const char *pattern) {
    const char *rest = reinterpret_cast<const char *>(1);
    if (!kelvo::checkSCPI(&rest, command, pattern)) {
        EXPECT_EQ(rest, nullptr) << "rest must be cleared when there is no match";
        return "<no match>";
    }
    return rest;
}

TEST(HeaderMatcher, ShortAndLongFormsMatchCaseInsensitively) {
    EXPECT_EQ(restAfter("CONF:SCAN:OVER 4", kOversampling), " 4");
    EXPECT_EQ(restAfter(":conf:scan:over 2", kOversampling), " 2");
    EXPECT_EQ(restAfter("CONFIGURE:SCAN:OVER 2", kOversampling), " 2");
    EXPECT_EQ(restAfter("CONFIGURE:SCAN:OVERSAMPLING 2", kOversampling), " 2");
    EXPECT_EQ(restAfter("CONF:SCAN:OVER\t7", kOversampling), "\t7");
}

TEST(HeaderMatcher, HeaderMayEndAfterTheShortFormOfAnyNode) {
    EXPECT_EQ(restAfter("CONF", kOversampling), "");
    EXPECT_EQ(restAfter("CONF 5", kOversampling), " 5");
    EXPECT_EQ(restAfter("CONF:SCAN", kOversampling), "");
    EXPECT_EQ(restAfter("CONF 1,2", "CONFigure:DEVice"), " 1,2");
}

TEST(HeaderMatcher, RefusesHeadersThatRunOnOrMissLetters) {
    EXPECT_EQ(restAfter("CONFIGURE:SCAN:OVERSAMPLINGX 2", kOversampling), "<no match>");
    EXPECT_EQ(restAfter("CON:SCAN", kOversampling), "<no match>");
    EXPECT_EQ(restAfter("CONF:SCAN:OVER:X", kOversampling), "<no match>");
    EXPECT_EQ(restAfter("CONF:DEV 1", kOversampling), "<no match>");
    EXPECT_EQ(restAfter("", kOversampling), "<no match>");
    EXPECT_EQ(restAfter(":", kOversampling), "<no match>");
    EXPECT_EQ(restAfter("*IDN?", "CONFigure:DEVice"), "<no match>");
}

// The matcher used to let any character stand for a lower-case letter of
// the pattern, so a misspelt command was learnt as the one it resembles.
TEST(HeaderMatcher, EveryLetterTheCommandGivesIsCompared) {
    constexpr const char *kDevice = "CONFigure:DEVice";
    EXPECT_EQ(restAfter("CONFigure:DEVise 3", kDevice), "<no match>");
    EXPECT_EQ(restAfter("CONFIGURA:DEV 3", kDevice), "<no match>");
    EXPECT_EQ(restAfter("CONF:DEVICA 3", kDevice), "<no match>");
    EXPECT_EQ(restAfter("CONFXYZ:DEV", kDevice), "<no match>");
    EXPECT_EQ(restAfter("CONF:DEV? 3", kDevice), "<no match>");
    EXPECT_EQ(restAfter("CONF::DEV 3", kDevice), "<no match>");
    EXPECT_EQ(restAfter("CONF:SCAN:OVERX 2", kOversampling), "<no match>");

    EXPECT_EQ(restAfter("CONF:DEV 3", kDevice), " 3");
    EXPECT_EQ(restAfter("configure:device 3", kDevice), " 3");
    EXPECT_EQ(restAfter("CONFIG:DEV 3", kDevice), " 3");
    EXPECT_EQ(restAfter(":CONFIGURE:DEV 3", kDevice), " 3");
    EXPECT_EQ(restAfter("CONFIGURE:DEVI 3", kDevice), " 3");
    EXPECT_EQ(restAfter("conf:dev 0,4,1", kDevice), " 0,4,1");
    EXPECT_EQ(restAfter("conf:scan:list (@1,2)", "CONFigure:SCAn:LISt"), " (@1,2)");
}

// The resolved headers of a line's commands, "|"-separated, each with the
// parameters that follow it in brackets.
std::string commandsOf(const char *line) {
    kelvo::ProgramLine commands(line);
    kelvo::ProgramCommand command;
    std::string seen;
    while (commands.next(command)) {
        if (!seen.empty()) seen += "|";
        seen += command.header;
        seen += "[" + std::string(command.parameters, command.end) + "]";
    }
    return seen;
}

TEST(ProgramLine, RelativeHeadersHangFromThePathOfTheCommandBefore) {
    EXPECT_EQ(commandsOf("CONF:DEV 3"), "CONF:DEV[ 3]");
    EXPECT_EQ(commandsOf("CONF:SCAN:OVER 2;LIST (@1,2)"), "CONF:SCAN:OVER[ 2]|CONF:SCAN:LIST[ (@1,2)]");
    EXPECT_EQ(commandsOf("CONF:SCAN:OVER 2; LIST (@1,2) ;:CONF:DEV 3"),
              "CONF:SCAN:OVER[ 2]|CONF:SCAN:LIST[ (@1,2) ]|:CONF:DEV[ 3]");
    EXPECT_EQ(commandsOf("CONF:DEV 3;SCAN:OVER 2;LIST (@1)"), "CONF:DEV[ 3]|CONF:SCAN:OVER[ 2]|CONF:SCAN:LIST[ (@1)]");
    EXPECT_EQ(commandsOf(":CONF:SCAN:OVER 2;LIST (@1)"), ":CONF:SCAN:OVER[ 2]|:CONF:SCAN:LIST[ (@1)]");
    // A root-level header leaves the path at the root.
    EXPECT_EQ(commandsOf("CONF 1;DEV 3"), "CONF[ 1]|DEV[ 3]");
}

TEST(ProgramLine, CommonCommandsKeepThePathAndQuotesHideSemicolons) {
    EXPECT_EQ(commandsOf("CONF:SCAN:OVER 2;*RST;LIST (@1)"), "CONF:SCAN:OVER[ 2]|*RST[]|CONF:SCAN:LIST[ (@1)]");
    EXPECT_EQ(commandsOf("DISP:TEXT \"a;b\";CONF:DEV 3"), "DISP:TEXT[ \"a;b\"]|DISP:CONF:DEV[ 3]");
    EXPECT_EQ(commandsOf("SYST:NAME 'x;y'"), "SYST:NAME[ 'x;y']");
    EXPECT_EQ(commandsOf("CONF:DEV 3;"), "CONF:DEV[ 3]|[]");
    EXPECT_EQ(commandsOf(""), "[]");
}

TEST(ProgramLine, APathTooLongToKeepMatchesNothingUntilTheRoot) {
    const std::string longNode(kelvo::kMaxHeaderPath, 'A');
    const std::string line = longNode + ":X 1;DEV 3;:CONF:DEV 3";
    EXPECT_EQ(commandsOf(line.c_str()), "[ 1]|[ 3]|:CONF:DEV[ 3]");
}

}  // namespace
