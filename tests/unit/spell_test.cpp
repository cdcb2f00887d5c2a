// The spelling distance: case, transpositions, missing and extra letters,
// neighbouring keys on either keyboard, the limit on errors per word, and
// words that are prefixes of each other.
#include <gtest/gtest.h>

#include <cstring>

#include "core/core.h"

namespace {

// As correction calls it: the limit grows with the typed word.
int dist(const char *cand, const char *typed) { return typodist(cand, typed, int(strlen(typed)) / 4 + 1); }

struct Dvorak {
    OptionGuard og{DVORAK};
    Dvorak() { opts[DVORAK] = 1; }
};

TEST(Typodist, EqualAndCaseOnly)
{
    EXPECT_EQ(dist("ls", "ls"), 0);
    EXPECT_EQ(dist("ls", "LS"), 1);
    EXPECT_EQ(dist("Makefile", "makefile"), 1);
    EXPECT_EQ(typodist("ls", "LS", 0), 1) << "case alone needs no error budget";
    EXPECT_EQ(typodist("ls", "sl", 0), 200);
}

TEST(Typodist, OneTypingError)
{
    EXPECT_EQ(dist("ls", "sl"), 1) << "transposition";
    EXPECT_EQ(dist("echo", "ehco"), 1);
    EXPECT_EQ(dist("echo", "eco"), 2) << "a letter missing";
    EXPECT_EQ(dist("echo", "echho"), 2) << "a letter too many";
    EXPECT_EQ(dist("ls", "l"), 2) << "the last letter missing";
    EXPECT_EQ(dist("ls", "lss"), 2);
}

TEST(Typodist, WrongLetterMustBeANeighbouringKey)
{
    EXPECT_EQ(dist("ls", "lx"), 2) << "s and x touch on QWERTY";
    EXPECT_EQ(dist("make", "maje"), 2);
    EXPECT_EQ(dist("ls", "lp"), 200);
    EXPECT_EQ(dist("ls", "ln"), 200);
    EXPECT_EQ(dist("cat", "cst"), 2) << "a and s are next to each other";
    EXPECT_EQ(dist("a1", "a!"), 200) << "the shifted half is a different grid row";
    // A character that is not on the keyboard costs a plain substitution.
    EXPECT_EQ(dist("a~c", "a!c"), 1);
}

TEST(Typodist, DvorakNeighbours)
{
    Dvorak d;
    EXPECT_EQ(dist("ls", "ln"), 2) << "s and n touch on Dvorak";
    EXPECT_EQ(dist("ls", "lx"), 200);
    EXPECT_EQ(dist("ls", "sl"), 1) << "transpositions do not depend on the keyboard";
}

TEST(Typodist, ErrorsAreBoundedByTheWordLength)
{
    // Four letters allow two errors, three letters only one.
    EXPECT_EQ(dist("abcd", "bacd"), 1);
    EXPECT_EQ(dist("abcd", "badc"), 2);
    EXPECT_GE(dist("abc", "bca"), 200);
    EXPECT_EQ(dist("abcdefgh", "bacdfegh"), 2);
    EXPECT_GE(dist("abcdefgh", "badcfehg"), 200);
}

TEST(Typodist, PrefixesFarApart)
{
    // Nothing follows the shorter word to compare: too far, and no read
    // past its end.
    EXPECT_EQ(dist("ab", "abcd"), 200);
    EXPECT_EQ(dist("abcd", "ab"), 200);
    EXPECT_EQ(dist("x", ""), 2);
    EXPECT_EQ(dist("", "xy"), 200);
}

}  // namespace
