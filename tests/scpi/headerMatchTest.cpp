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

TEST(HeaderMatcher, LowerCaseLettersOfANodeAreNotCompared) {
    EXPECT_EQ(restAfter("CONFXYZ:DEV", "CONFigure:DEVice"), "");
    EXPECT_EQ(restAfter("CONF:DEV 0,4,1", "CONFigure:DEVice"), " 0,4,1");
    EXPECT_EQ(restAfter("conf:scan:list (@1,2)", "CONFigure:SCAn:LISt"), " (@1,2)");
}

}  // namespace
