// Quoting for re-input in each context.
#include <gtest/gtest.h>

#include <string>

#include "expand/expand.h"

namespace {

std::string bq(const char *s, int mode)
{
    HeapGuard hg;
    return bslashquote(s, nullptr, mode);
}

std::string qq(const char *s)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    quotedqputs(s, f);
    fclose(f);
    std::string r(buf, len);
    free(buf);
    return r;
}

TEST(Bslashquote, BareWords)
{
    EXPECT_EQ(bq("a b*", QT_BACKSLASH), "a\\ b\\*");
    EXPECT_EQ(bq("=x", QT_BACKSLASH), "\\=x");
    EXPECT_EQ(bq("a=b", QT_BACKSLASH), "a=b");
    opts[MAGICEQUALSUBST] = 1;
    EXPECT_EQ(bq("a=~b", QT_BACKSLASH), "a=\\~b");
    opts[MAGICEQUALSUBST] = 0;
    EXPECT_EQ(bq("~x", QT_BACKSLASH), "\\~x");
    EXPECT_EQ(bq("a~x", QT_BACKSLASH), "a~x");
    EXPECT_EQ(bq("a\nb", QT_BACKSLASH), "a'\n'b");
    EXPECT_EQ(bq("x\x83\xa3y", QT_BACKSLASH), "x\x83\xa3y") << "metafied pairs are copied";
}

TEST(Bslashquote, QuotedContexts)
{
    EXPECT_EQ(bq("it's", QT_SINGLE), "it'\\''s");
    EXPECT_EQ(bq("a b$c", QT_SINGLE), "a b$c");
    EXPECT_EQ(bq("$x \"y\" `z` \\", QT_DOUBLE), "\\$x \\\"y\\\" \\`z\\` \\\\");
    opts[RCQUOTES] = 1;
    EXPECT_EQ(bq("it's", QT_SINGLE), "it''s");
    opts[RCQUOTES] = 0;
    EXPECT_EQ(bq("\t\x01'\\", QT_DOLLARS), "\\t\\001\\'\\\\");
    EXPECT_EQ(bq("\x83\x20" "7", QT_DOLLARS), "\\0007") << "NUL before an octal digit";
    EXPECT_EQ(bq("a b", QT_DOLLARS), "a b");
}

TEST(Bslashquote, SubstitutionsAreKept)
{
    std::string s = "\x85\x88" "a b\x89 c";  // $(a b) c in token form
    EXPECT_EQ(bq(s.c_str(), QT_BACKSLASH), "\x85\x88" "a b\x89\\ c");
}

TEST(Bslashquote, CursorFollows)
{
    HeapGuard hg;
    const char *s = "a b";
    char *cur = const_cast<char *>(s + 2);
    char *r = bslashquote(s, &cur, QT_BACKSLASH);
    EXPECT_EQ(cur - r, 3);
}

TEST(Quotedqputs, ShortestSafeForm)
{
    EXPECT_EQ(qq(""), "''");
    EXPECT_EQ(qq("abc"), "abc");
    EXPECT_EQ(qq("a b"), "'a b'");
    EXPECT_EQ(qq("it's"), "'it'\\''s'");
    EXPECT_EQ(qq("'x"), "\\''x'");
    opts[RCQUOTES] = 1;
    EXPECT_EQ(qq("it's me"), "'it''s me'");
    opts[RCQUOTES] = 0;
}

}  // namespace
