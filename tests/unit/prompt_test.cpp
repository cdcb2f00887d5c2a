// Prompt escapes, conditionals, truncation and width counting.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "expand/expand.h"
#include "history/history.h"

namespace {

void setparam(const char *name, const char *value) { setenv(name, value, 1); }

std::string expand(const char *tmpl, int keep = 0)
{
    std::string t(tmpl);
    char *r = promptexpand(t.data(), keep, nullptr, nullptr);
    std::string s(r);
    qsfree(r);
    return s;
}

struct PromptTest : testing::Test {
    void SetUp() override
    {
        opts[PROMPTPERCENT] = 1;
        opts[PROMPTBANG] = 0;
        opts[PROMPTSUBST] = 0;
        setparam("HOME", "/home/user");
    }
};

TEST_F(PromptTest, DirectoriesAndComponents)
{
    setparam("PWD", "/home/user");
    EXPECT_EQ(expand("%~ %# "), geteuid() ? "~ % " : "~ # ");
    setparam("PWD", "/usr/local/share/doc");
    EXPECT_EQ(expand("%3~"), "local/share/doc");
    EXPECT_EQ(expand("%-1~"), "/usr");
    EXPECT_EQ(expand("%d|%/|%c|%2C"), "/usr/local/share/doc|/usr/local/share/doc|doc|share/doc");
    setparam("PWD", "/home/user/src/tarn");
    EXPECT_EQ(expand("%~"), "~/src/tarn");
    EXPECT_EQ(expand("%c"), "tarn");
    setparam("PWD", "/home/userx");
    EXPECT_EQ(expand("%~"), "/home/userx") << "a prefix that is not a whole component";
}

TEST_F(PromptTest, StatusConditionals)
{
    lastval = 0;
    EXPECT_EQ(expand("%(?.ok.fail)"), "ok");
    lastval = 1;
    EXPECT_EQ(expand("%(?.ok.fail)"), "fail");
    EXPECT_EQ(expand("%(1?.one.other)"), "one");
    EXPECT_EQ(expand("%1(?.one.other)"), "one");
    EXPECT_EQ(expand("%(?.a%(?.x.y).b)"), "b");
    EXPECT_EQ(expand("[%(q.a.b)]"), "[]") << "unknown test: both texts skipped";
    EXPECT_EQ(expand("%?"), "1");
    lastval = 0;
}

TEST_F(PromptTest, Truncation)
{
    setparam("PWD", "/usr/local/share/doc/tarn");
    EXPECT_EQ(expand("%10<...<%~"), "...oc/tarn");
    EXPECT_EQ(expand("%10>..>%~"), "/usr/loc..");
    EXPECT_EQ(expand("%30<...<%~"), "/usr/local/share/doc/tarn");
    EXPECT_EQ(expand("%5<..<abcdefgh%<<XYZ"), "..fghXYZ") << "a zero width ends truncation";
}

TEST_F(PromptTest, PercentBangAndLiterals)
{
    EXPECT_EQ(expand("100%%%)"), "100%)");
    opts[PROMPTBANG] = 1;
    curhist = 42;
    EXPECT_EQ(expand("!! !"), "! 42");
    opts[PROMPTPERCENT] = 0;
    EXPECT_EQ(expand("%~"), "%~");
    opts[PROMPTPERCENT] = 1;
    opts[PROMPTBANG] = 0;
    EXPECT_EQ(expand("!"), "!");
    EXPECT_EQ(expand("%D{%Y}").size(), 4u);
    EXPECT_EQ(expand("%{\x1b[1m%}x"), "\x1b[1mx");
}

TEST_F(PromptTest, WidthIgnoresZeroWidthStretches)
{
    std::string p = expand("%{\x1b[1m%}ab%{\x1b[0m%}c", 1);
    int w, h;
    countprompt(p.c_str(), &w, &h, 0);
    EXPECT_EQ(w, 3);
    EXPECT_EQ(h, 1);
    countprompt("ab\ncdef\t", &w, &h, 0);
    EXPECT_EQ(w, 8);
    EXPECT_EQ(h, 2);
    std::string full(size_t(tccolumns), 'x');
    countprompt(full.c_str(), &w, &h, 0);
    EXPECT_EQ(h, 2) << "an exactly full last line counts as wrapped";
    countprompt(full.c_str(), &w, &h, 1);
    EXPECT_EQ(h, 1) << "with overflow only a line past the width wraps";
}

}  // namespace
