// The escape decoder in each of its modes.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "core/core.h"

namespace {

std::string dec(const char *in, int mode, int *misc = nullptr)
{
    std::string s(in);
    s.reserve(s.size() + 16);
    int len;
    char *r = getkeystring(s.data(), &len, mode, misc);
    return std::string(r, size_t(len));
}

TEST(Keystring, PrintMode)
{
    HeapGuard hg;
    EXPECT_EQ(dec("a\\qb", GETKEY_PRINT), "a\\qb");
    EXPECT_EQ(dec("\\0101", GETKEY_PRINT), "A");
    EXPECT_EQ(dec("\\101", GETKEY_PRINT), "\\101");
    EXPECT_EQ(dec("a\\\\b", GETKEY_PRINT), "a\\b") << "a doubled backslash gives one";
    EXPECT_EQ(dec("\\t\\n\\x41\\e", GETKEY_PRINT), "\t\nA\x1b");
    EXPECT_EQ(dec("\\E\\M-a", GETKEY_PRINT), "\\E\\M-a");
    int misc = 0;
    EXPECT_EQ(dec("ab\\cde", GETKEY_PRINT, &misc), "ab");
    EXPECT_EQ(misc, 1);
    EXPECT_EQ(dec("trailing\\", GETKEY_PRINT), "trailing\\");
    EXPECT_EQ(dec("\x83\x20", GETKEY_PRINT), std::string(1, '\0')) << "metafied NUL decodes";
}

TEST(Keystring, OtherModes)
{
    HeapGuard hg;
    EXPECT_EQ(dec("\\101", GETKEY_PFLAG), "A");
    EXPECT_EQ(dec("^X^?", GETKEY_BINDKEY), "\x18\x7f");
    EXPECT_EQ(dec("\\M-a\\C-a\\Ca", GETKEY_BINDKEY), "\xe1\x01\x01");
    EXPECT_EQ(dec("^X", GETKEY_SUBSCRIPT), "^X") << "no caret notation for subscripts";
    int misc = 0;
    EXPECT_EQ(dec("a\\-z", GETKEY_SUFFIX, &misc), "az");
    EXPECT_EQ(misc, 1);
    dec("^Cxyz", GETKEY_SINGLE_CHAR, &misc);
    EXPECT_EQ(misc, 3);
    dec("\\u263a", GETKEY_SINGLE_CHAR, &misc);
    EXPECT_EQ(misc, 0x263a);
}

TEST(Keystring, DollarQuoteInPlace)
{
    HeapGuard hg;
    // $ ' a \ t b ' then the rest of the word, in token form.
    std::string s = "\x85\x98" "a\\tb\x98rest";
    int len;
    char *r = getkeystring(s.data(), &len, GETKEY_DOLLAR_QUOTE, nullptr);
    EXPECT_EQ(r, s.data());
    EXPECT_EQ(std::string(r), "a\tbrest");
    std::string z = "\x85\x98\\0\x98";
    getkeystring(z.data(), &len, GETKEY_DOLLAR_QUOTE, nullptr);
    EXPECT_EQ(std::string(z.c_str()), "\x83\x20") << "produced NUL is metafied again";
}

TEST(Keystring, UnicodeInUtf8)
{
    if (!setlocale(LC_CTYPE, "C.UTF-8"))
        GTEST_SKIP() << "no UTF-8 locale";
    HeapGuard hg;
    EXPECT_EQ(dec("\\u00e9", GETKEY_PFLAG), "\xc3\xa9");
    EXPECT_EQ(dec("\\U0001F600", GETKEY_PFLAG), "\xf0\x9f\x98\x80");
    setlocale(LC_CTYPE, "C");
}

}  // namespace
