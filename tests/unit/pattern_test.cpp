// The pattern compiler and matcher: every element and flag, bad input,
// bounded work on hostile patterns.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "expand/expand.h"
#include "lang/lang.h"

// The fuzz target itself, so that its findings replay here.
#include "../fuzz/pattern_fuzz.cpp"

namespace {

struct OptGuard {
    int opt;
    signed char saved;
    OptGuard(int o, int v) : opt(o), saved(opts[o]) { opts[o] = static_cast<signed char>(v); }
    ~OptGuard() { opts[opt] = saved; }
};

// Compile text as the lexer would hand it over: tokenized.
Patprog *comp(const std::string &text, int flags = 0)
{
    char *p = dupstring(text.c_str());
    tokenize(p);
    return patcompile(p, flags, nullptr);
}

// 1 match, 0 no match, -1 bad pattern.
int pm(const std::string &pat, const std::string &str, int flags = 0)
{
    Patprog *p = comp(pat, flags);
    if (!p)
        return -1;
    char *s = metafy(const_cast<char *>(str.data()), int(str.size()), META_HEAPDUP);
    return pattry(p, s);
}

struct Refs {
    std::vector<std::string> match, mbegin, mend;
    std::string m;
    long mb = 0, me = 0;
    int calls = 0, mcalls = 0;
};
Refs *refs;

void setcaps(char **mt, char **mb, char **me)
{
    refs->calls++;
    refs->match.clear();
    refs->mbegin.clear();
    refs->mend.clear();
    for (; *mt; mt++, mb++, me++) {
        refs->match.push_back(*mt);
        refs->mbegin.push_back(*mb);
        refs->mend.push_back(*me);
    }
}

void setm(char *m, long b, long e)
{
    refs->mcalls++;
    refs->m = m;
    refs->mb = b;
    refs->me = e;
}

struct HookGuard {
    Refs r;
    HookGuard()
    {
        refs = &r;
        patsetcapturesptr = setcaps;
        patsetmatchptr = setm;
    }
    ~HookGuard()
    {
        patsetcapturesptr = nullptr;
        patsetmatchptr = nullptr;
        refs = nullptr;
    }
};

class Pattern : public ::testing::Test {
  protected:
    void SetUp() override { pushheap(); }
    void TearDown() override { popheap(); }
};

TEST_F(Pattern, LiteralsAndWildcards)
{
    EXPECT_EQ(pm("abc", "abc"), 1);
    EXPECT_EQ(pm("abc", "abcd"), 0);
    EXPECT_EQ(pm("abc", "ab"), 0);
    EXPECT_EQ(pm("", ""), 1);
    EXPECT_EQ(pm("", "a"), 0);
    EXPECT_EQ(pm("*", ""), 1);
    EXPECT_EQ(pm("*", "anything"), 1);
    EXPECT_EQ(pm("a*c", "abbbc"), 1);
    EXPECT_EQ(pm("a*c", "abbbd"), 0);
    EXPECT_EQ(pm("*.c", "foo.c"), 1);
    EXPECT_EQ(pm("*.c", "foo.h"), 0);
    EXPECT_EQ(pm("?", "x"), 1);
    EXPECT_EQ(pm("?", ""), 0);
    EXPECT_EQ(pm("?", "xy"), 0);
    EXPECT_EQ(pm("a?c", "abc"), 1);
    EXPECT_EQ(pm("*a*b*", "xxaxxbxx"), 1);
    EXPECT_EQ(pm("*a*b*", "xxbxxaxx"), 0);
    EXPECT_EQ(pm("**", "ab"), 1);
    // A quoted star is literal.
    EXPECT_EQ(pm("\\*", "*"), 1);
    EXPECT_EQ(pm("\\*", "a"), 0);
    // A pure string compiles to a literal program.
    Patprog *p = comp("plain");
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(p->flags & PC_LITERAL);
    EXPECT_EQ(p->purelen, 5);
}

TEST_F(Pattern, MetafiedCharacters)
{
    // NUL and the escape byte inside data are single characters.
    std::string s("a\0b", 3);
    EXPECT_EQ(pm("a?b", s), 1);
    EXPECT_EQ(pm("a??b", s), 0);
    std::string m("x\x83y");
    EXPECT_EQ(pm("x?y", m), 1);
    char pat[] = {'*', char(METACHAR), char(0x85 ^ 32), 0};
    char *pt = dupstring(pat);
    tokenize(pt);
    Patprog *p = patcompile(pt, 0, nullptr);
    ASSERT_NE(p, nullptr);
    std::string d("zz\x85");
    EXPECT_EQ(pattry(p, metafy(const_cast<char *>(d.data()), int(d.size()), META_HEAPDUP)), 1);
}

TEST_F(Pattern, Brackets)
{
    EXPECT_EQ(pm("[abc]", "b"), 1);
    EXPECT_EQ(pm("[abc]", "d"), 0);
    EXPECT_EQ(pm("[]a]", "]"), 1);
    EXPECT_EQ(pm("[]a]", "a"), 1);
    EXPECT_EQ(pm("[]a]", "b"), 0);
    EXPECT_EQ(pm("[!a]", "a"), 0);
    EXPECT_EQ(pm("[!a]", "b"), 1);
    EXPECT_EQ(pm("[^a]", "a"), 0);
    EXPECT_EQ(pm("[^a]", "b"), 1);
    EXPECT_EQ(pm("[!]]", "]"), 0);
    EXPECT_EQ(pm("[!]]", "x"), 1);
    EXPECT_EQ(pm("[a-c]", "b"), 1);
    EXPECT_EQ(pm("[a-c]", "d"), 0);
    EXPECT_EQ(pm("[a-]", "-"), 1);
    EXPECT_EQ(pm("[-a]", "-"), 1);
    EXPECT_EQ(pm("[*?]", "*"), 1);
    EXPECT_EQ(pm("[*?]", "a"), 0);
    EXPECT_EQ(pm("[[:digit:]]", "5"), 1);
    EXPECT_EQ(pm("[[:digit:]]", "x"), 0);
    EXPECT_EQ(pm("[[:alpha:][:digit:]]", "x"), 1);
    EXPECT_EQ(pm("[[:upper:]]", "a"), 0);
    EXPECT_EQ(pm("[[:space:]]", " "), 1);
    EXPECT_EQ(pm("[[:blank:]]", "\t"), 1);
    EXPECT_EQ(pm("[[:xdigit:]]*", "fz"), 1);
    EXPECT_EQ(pm("[[:punct:]]", "!"), 1);
    EXPECT_EQ(pm("[[:nosuch:]]", "a"), 0);
    EXPECT_EQ(pm("[![:nosuch:]]", "a"), 1);
    // Unbalanced brackets are bad patterns.
    EXPECT_EQ(pm("[abc", "a"), -1);
    EXPECT_EQ(pm("[", "["), -1);
    EXPECT_EQ(pm("x[!", "x"), -1);
}

// A bracket cut off by the end of the string: nothing past its terminator
// is read (the string sits in a block of its own, so a sanitizer sees it).
TEST_F(Pattern, UnclosedBracketStaysInBounds)
{
    for (const char *text : {"[a", "[ab", "x[a-", "[[:alpha:]b"}) {
        size_t n = strlen(text) + 1;
        char *p = static_cast<char *>(malloc(n));
        memcpy(p, text, n);
        tokenize(p);
        (void)patcompile(p, 0, nullptr);
        free(p);
    }
}

TEST_F(Pattern, NumericRanges)
{
    EXPECT_EQ(pm("<1-10>", "7"), 1);
    EXPECT_EQ(pm("<1-10>", "10"), 1);
    EXPECT_EQ(pm("<1-10>", "11"), 0);
    EXPECT_EQ(pm("<1-10>", "0"), 0);
    EXPECT_EQ(pm("<1-10>", "007"), 1);
    EXPECT_EQ(pm("<->", "12345"), 1);
    EXPECT_EQ(pm("<->", ""), 0);
    EXPECT_EQ(pm("<->", "12a"), 0);
    EXPECT_EQ(pm("<1-5>2", "32"), 1);
    EXPECT_EQ(pm("<1-1000>33", "633"), 1);
    EXPECT_EQ(pm("<5->", "5"), 1);
    EXPECT_EQ(pm("<5->", "4"), 0);
    EXPECT_EQ(pm("<-5>", "5"), 1);
    EXPECT_EQ(pm("<-5>", "6"), 0);
    EXPECT_EQ(pm("file<->.txt", "file42.txt"), 1);
    EXPECT_EQ(pm("file<->.txt", "file.txt"), 0);
    // Numbers far beyond 64 bits compare by value.
    EXPECT_EQ(pm("<1-99999999999999999999999999>", "99999999999999999999999998"), 1);
    EXPECT_EQ(pm("<1-99999999999999999999999999>", "100000000000000000000000000"), 0);
    EXPECT_EQ(pm("<18446744073709551616->", "18446744073709551615"), 0);
    EXPECT_EQ(pm("<18446744073709551616->", "18446744073709551616"), 1);
    EXPECT_EQ(pm("<-18446744073709551616>", "000000000000000000000018446744073709551616"), 1);
    EXPECT_EQ(pm("<->", std::string(5000, '9')), 1);
    // Without the shape it is a literal angle bracket.
    EXPECT_EQ(pm("<a>", "<a>"), 1);
}

TEST_F(Pattern, Groups)
{
    EXPECT_EQ(pm("(a|b)", "a"), 1);
    EXPECT_EQ(pm("(a|b)", "b"), 1);
    EXPECT_EQ(pm("(a|b)", "c"), 0);
    EXPECT_EQ(pm("x(ab|cd)y", "xcdy"), 1);
    EXPECT_EQ(pm("(a|ab)c", "abc"), 1);
    EXPECT_EQ(pm("a|b", "b"), 1);
    EXPECT_EQ(pm("(a|)", ""), 1);
    EXPECT_EQ(pm("((a|b)(c|d))", "bd"), 1);
    EXPECT_EQ(pm("(*.c|*.h)", "x.h"), 1);
    // Unbalanced parentheses.
    EXPECT_EQ(pm("(a", "a"), -1);
    EXPECT_EQ(pm("a)", "a"), -1);
    EXPECT_EQ(pm("((a)", "a"), -1);
}

TEST_F(Pattern, ExtendedGlob)
{
    // Without extendedglob # is literal.
    EXPECT_EQ(pm("a#", "a#"), 1);
    OptGuard eg(EXTENDEDGLOB, 1);
    EXPECT_EQ(pm("a#", ""), 1);
    EXPECT_EQ(pm("a#", "aaa"), 1);
    EXPECT_EQ(pm("a#", "a#"), 0);
    EXPECT_EQ(pm("ab#", "abbb"), 1);
    EXPECT_EQ(pm("ab#", "abab"), 0);
    EXPECT_EQ(pm("a##", ""), 0);
    EXPECT_EQ(pm("a##", "aa"), 1);
    EXPECT_EQ(pm("[ab]#c", "abbac"), 1);
    EXPECT_EQ(pm("?##", ""), 0);
    EXPECT_EQ(pm("(ab)#", "ababab"), 1);
    EXPECT_EQ(pm("(ab)#", "ababa"), 0);
    EXPECT_EQ(pm("(ab)#", ""), 1);
    EXPECT_EQ(pm("(ab)##", ""), 0);
    EXPECT_EQ(pm("(ab)##", "ab"), 1);
    EXPECT_EQ(pm("(a|bc)#d", "abcad"), 1);
    EXPECT_EQ(pm("(a|)#b", "aab"), 1);  // empty rounds end the loop
    EXPECT_EQ(pm("<1-3>#", "123"), 1);
    EXPECT_EQ(pm("*.c~foo.c", "bar.c"), 1);
    EXPECT_EQ(pm("*.c~foo.c", "foo.c"), 0);
    EXPECT_EQ(pm("*~*o*", "abc"), 1);
    EXPECT_EQ(pm("*~*o*", "foo"), 0);
    EXPECT_EQ(pm("*~a*~*z", "bcd"), 1);
    EXPECT_EQ(pm("*~a*~*z", "abc"), 0);
    EXPECT_EQ(pm("*~a*~*z", "bcz"), 0);
    EXPECT_EQ(pm("(*.c~x*)|y", "y"), 1);
    EXPECT_EQ(pm("(*.c~x*)|y", "xa.c"), 0);
    EXPECT_EQ(pm("(*.c~x*)|y", "a.c"), 1);
    EXPECT_EQ(pm("^*.o", "foo.o"), 0);
    EXPECT_EQ(pm("^*.o", "foo.c"), 1);
    EXPECT_EQ(pm("^foo", ""), 1);
    EXPECT_EQ(pm("x^foo", "xfoo"), 0);
    EXPECT_EQ(pm("x^foo", "xbar"), 1);
    EXPECT_EQ(pm("^^foo", "foo"), 1);
    // A trailing tilde is a literal character.
    EXPECT_EQ(pm("*~", "back~"), 1);
    EXPECT_EQ(pm("*~", "back"), 0);
    EXPECT_EQ(pm("a###", "a"), -1);
}

TEST_F(Pattern, ExclusionAgainstWholePath)
{
    OptGuard eg(EXTENDEDGLOB, 1);
    char *t = dupstring("*.c~*/tmp/*");
    tokenize(t);
    Patprog *p = patcompile(t, PC_FILENAME | PC_TOPLEVEL_FILE, nullptr);
    ASSERT_NE(p, nullptr);
    patglobpath = "src/tmp/";
    EXPECT_EQ(pattry(p, "a.c"), 0);
    patglobpath = "src/lib/";
    EXPECT_EQ(pattry(p, "a.c"), 1);
    patglobpath = nullptr;
    EXPECT_EQ(pattry(p, "a.c"), 1);
}

TEST_F(Pattern, FilePatterns)
{
    char *t = dupstring("*.c/rest");
    tokenize(t);
    char *end;
    Patprog *p = patcompile(t, PC_FILENAME, &end);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*end, '/');
    EXPECT_EQ(pattry(p, "x.c"), 1);
    char *lit = dupstring("dir/rest");
    p = patcompile(lit, PC_FILENAME, &end);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(p->flags & PC_LITERAL);
    EXPECT_STREQ(end, "/rest");
    // Leading dots are not matched by wildcards.
    EXPECT_EQ(pm("*", ".hidden", PC_FILENAME | PC_NO_DOTS), 0);
    EXPECT_EQ(pm("?hidden", ".hidden", PC_FILENAME | PC_NO_DOTS), 0);
    EXPECT_EQ(pm("[.]hidden", ".hidden", PC_FILENAME | PC_NO_DOTS), 0);
    EXPECT_EQ(pm(".*", ".hidden", PC_FILENAME | PC_NO_DOTS), 1);
    EXPECT_EQ(pm("*", "x.hidden", PC_FILENAME | PC_NO_DOTS), 1);
    EXPECT_EQ(pm("*", ".hidden", PC_FILENAME), 1);
}

// Segments like `*.txt` are decided from the name's tail alone; the
// answers must be the matcher's.
TEST_F(Pattern, StarThenLiteralSegments)
{
    constexpr int F = PC_FILENAME | PC_NO_DOTS;
    Patprog *p = comp("*.txt", F);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(p->flags & PC_TAIL);
    EXPECT_EQ(pm("*.txt", "a.txt", F), 1);
    EXPECT_EQ(pm("*.txt", ".txt", F), 0);
    EXPECT_EQ(pm("*.txt", ".a.txt", F), 0);
    EXPECT_EQ(pm("*.txt", ".txt", PC_FILENAME), 1);
    EXPECT_EQ(pm("*.txt", "a.txt.bak", F), 0);
    EXPECT_EQ(pm("*.txt", "txt", F), 0);
    EXPECT_EQ(pm("*.txt", "a.TXT", F), 0);
    // A tail that starts inside a metafied byte pair is not the literal:
    // NUL is stored as the escape byte and a space.
    EXPECT_EQ(pm("* x", std::string("a\0x", 3), F), 0);
    EXPECT_EQ(pm("* x", "a x", F), 1);
    std::string hi("z\x85");
    char pat[] = {'*', char(METACHAR), char(0x85 ^ 32), 0};
    char *pt = dupstring(pat);
    tokenize(pt);
    p = patcompile(pt, F, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pattry(p, metafy(const_cast<char *>(hi.data()), int(hi.size()), META_HEAPDUP)), 1);
    // Anything more than a star and a literal keeps the matcher.
    EXPECT_FALSE(comp("*.t?t", F)->flags & PC_TAIL);
    EXPECT_FALSE(comp("*.txt", 0)->flags & PC_TAIL);
}

TEST_F(Pattern, CaseFlags)
{
    OptGuard eg(EXTENDEDGLOB, 1);
    EXPECT_EQ(pm("(#i)abc", "ABC"), 1);
    EXPECT_EQ(pm("(#i)ABC", "abc"), 1);
    EXPECT_EQ(pm("(#l)abc", "ABC"), 1);
    EXPECT_EQ(pm("(#l)ABC", "abc"), 0);
    EXPECT_EQ(pm("(#l)abc", "abc"), 1);
    EXPECT_EQ(pm("(#i)a(#I)b", "Ab"), 1);
    EXPECT_EQ(pm("(#i)a(#I)b", "AB"), 0);
    EXPECT_EQ(pm("(#i)[a-c]x", "BX"), 1);
    EXPECT_EQ(pm("(#i)*X", "aax"), 1);
    EXPECT_EQ(pm("(#l)[a-c]", "B"), 1);
    // Flags inside a group end with it.
    EXPECT_EQ(pm("((#i)a)b", "AB"), 0);
    EXPECT_EQ(pm("((#i)a)b", "Ab"), 1);
    EXPECT_EQ(pm("(#i)a|b", "B"), 0);  // the flag belongs to the first branch
    // Not a flag group: a bad pattern.
    EXPECT_EQ(pm("(#x)a", "a"), -1);
    EXPECT_EQ(pm("(#)a", "a"), -1);
    EXPECT_EQ(pm("(#i", "a"), -1);
    // Qualifier groups are not pattern text.
    EXPECT_EQ(pm("a*(#q.)", "abc"), 1);
}

TEST_F(Pattern, Anchors)
{
    OptGuard eg(EXTENDEDGLOB, 1);
    EXPECT_EQ(pm("(#s)a*", "abc"), 1);
    EXPECT_EQ(pm("*(#e)", "abc"), 1);
    EXPECT_EQ(pm("(#s)", ""), 1);
    EXPECT_EQ(pm("(#si)a", "a"), -1);  // must stand alone
    Patprog *p = comp("(#s)a*");
    ASSERT_NE(p, nullptr);
    p->flags |= PC_NOT_AT_START;
    EXPECT_EQ(pattry(p, "abc"), 0);
    p = comp("*c(#e)");
    p->flags |= PC_NOT_AT_END;
    EXPECT_EQ(pattry(p, "abc"), 0);
    p = comp("(a(#e)|ab)c");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pattry(p, "abc"), 1);
}

TEST_F(Pattern, Backreferences)
{
    OptGuard eg(EXTENDEDGLOB, 1);
    HookGuard h;
    EXPECT_EQ(pm("(#b)(a)(b)", "ab"), 1);
    ASSERT_EQ(h.r.match.size(), 2u);
    EXPECT_EQ(h.r.match[0], "a");
    EXPECT_EQ(h.r.match[1], "b");
    EXPECT_EQ(h.r.mbegin, (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(h.r.mend, (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(pm("(#b)x(a|(b))*(c)", "xazzc"), 1);
    EXPECT_EQ(h.r.match, (std::vector<std::string>{"a", "", "c"}));
    EXPECT_EQ(h.r.mbegin, (std::vector<std::string>{"2", "-1", "5"}));
    EXPECT_EQ(h.r.mend, (std::vector<std::string>{"2", "-1", "5"}));
    // Backtracking undoes a capture from a failed path.
    EXPECT_EQ(pm("(#b)(a*)(a)", "aaa"), 1);
    EXPECT_EQ(h.r.match, (std::vector<std::string>{"aa", "a"}));
    // The last round of a loop is what a group holds.
    EXPECT_EQ(pm("(#b)(?)#", "xyz"), 1);
    EXPECT_EQ(h.r.match, (std::vector<std::string>{"z"}));
    // Without (#b) parentheses capture nothing.
    int before = h.r.calls;
    EXPECT_EQ(pm("(a)(b)", "ab"), 1);
    EXPECT_EQ(h.r.calls, before);
    // (#B) turns capturing off again.
    EXPECT_EQ(pm("(#b)(a)(#B)(b)", "ab"), 1);
    EXPECT_EQ(h.r.match.size(), 1u);
    // Ten groups: the tenth captures nothing.
    EXPECT_EQ(pm("(#b)(a)(a)(a)(a)(a)(a)(a)(a)(a)(b)", "aaaaaaaaab"), 1);
    EXPECT_EQ(h.r.match.size(), 9u);
    {
        OptGuard ka(KSHARRAYS, 1);
        EXPECT_EQ(pm("(#b)(a)(b)", "ab"), 1);
        EXPECT_EQ(h.r.mbegin, (std::vector<std::string>{"0", "1"}));
        EXPECT_EQ(h.r.mend, (std::vector<std::string>{"0", "1"}));
    }
    // Offsets for callers that pass arrays, based on patoffset.
    Patprog *p = comp("(#b)x(y#)z");
    ASSERT_NE(p, nullptr);
    int n, b[NSUBEXP], e[NSUBEXP];
    patoffset = 10;
    EXPECT_EQ(pattryrefs(p, "xyyz", -1, &n, b, e), 1);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(b[0], 11);
    EXPECT_EQ(e[0], 12);
    patoffset = 0;
}

TEST_F(Pattern, MatchReference)
{
    OptGuard eg(EXTENDEDGLOB, 1);
    HookGuard h;
    Patprog *p = comp("(#m)a*", PC_FLOATING);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pattrylen(p, "abcd", 3, 4), 1);
    EXPECT_EQ(h.r.m, "abc");
    EXPECT_EQ(h.r.mb, 5);
    EXPECT_EQ(h.r.me, 7);
    int before = h.r.mcalls;
    EXPECT_EQ(pm("(#m)x(#M)", "x"), 1);
    EXPECT_EQ(h.r.mcalls, before);
}

TEST_F(Pattern, Approximate)
{
    OptGuard eg(EXTENDEDGLOB, 1);
    EXPECT_EQ(pm("(#a1)abc", "abc"), 1);
    EXPECT_EQ(pm("(#a1)abc", "abd"), 1);
    EXPECT_EQ(pm("(#a1)abc", "ab"), 1);
    EXPECT_EQ(pm("(#a1)abc", "abxc"), 1);
    EXPECT_EQ(pm("(#a1)abc", "bac"), 1);
    EXPECT_EQ(pm("(#a1)abc", "xyz"), 0);
    EXPECT_EQ(pm("(#a1)abc", "abcde"), 0);
    EXPECT_EQ(pm("(#a2)abc", "abcde"), 1);
    EXPECT_EQ(pm("(#a1)README", "READ.ME"), 1);
    EXPECT_EQ(pm("(#a1)a?c", "bc"), 1);
    EXPECT_EQ(pm("(#a0)abc", "abd"), 0);
    // The number of errors a match used.
    pattrystart();
    EXPECT_EQ(pm("(#a3)abcdef", "abxdxf"), 1);
    EXPECT_EQ(errsfound, 2);
    EXPECT_EQ(pm("(#a3)abcdef", "abcdef"), 1);
    EXPECT_EQ(errsfound, 0);
    // forceerrs demands exactly that many.
    forceerrs = 1;
    EXPECT_EQ(pm("(#a2)abc", "abc"), 0);
    EXPECT_EQ(pm("(#a2)abc", "abx"), 1);
    pattrystart();
    EXPECT_EQ(forceerrs, -1);
    // Only the branch that carries the flag is approximate.
    EXPECT_EQ(pm("(#a1)README~READ_ME", "READ.ME"), 1);
    EXPECT_EQ(pm("(#a1)README~READ_ME", "READ_ME"), 0);
    // The limit is 254 errors.
    EXPECT_EQ(pm("(#a254)x", "x"), 1);
    EXPECT_EQ(pm("(#a255)x", "x"), -1);
    EXPECT_EQ(pm("(#a)x", "x"), -1);
}

TEST_F(Pattern, ApproximateManyErrorsStaysFast)
{
    OptGuard eg(EXTENDEDGLOB, 1);
    std::string pat = "(#a99)" + std::string(150, 'a');
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(pm(pat, std::string(150, 'b')), 0);
    EXPECT_EQ(pm(pat, std::string(60, 'b') + std::string(90, 'a')), 1);
    EXPECT_EQ(pm("(#a99)*x*y*z", std::string(300, 'q')), 1);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(secs, 20.0);
}

TEST_F(Pattern, KshGlob)
{
    OptGuard kg(KSHGLOB, 1);
    EXPECT_EQ(pm("+(ab)", "abab"), 1);
    EXPECT_EQ(pm("+(ab)", ""), 0);
    EXPECT_EQ(pm("*(ab)", ""), 1);
    EXPECT_EQ(pm("*(ab)c", "ababc"), 1);
    EXPECT_EQ(pm("?(ab)c", "c"), 1);
    EXPECT_EQ(pm("?(ab)c", "abc"), 1);
    EXPECT_EQ(pm("?(ab)c", "ababc"), 0);
    EXPECT_EQ(pm("@(a|b)", "b"), 1);
    EXPECT_EQ(pm("@(a|b)", "ab"), 0);
    EXPECT_EQ(pm("!(x)", "x"), 0);
    EXPECT_EQ(pm("!(x)", "y"), 1);
    EXPECT_EQ(pm("!(x)", ""), 1);
    EXPECT_EQ(pm("!(x)", "xx"), 1);
    EXPECT_EQ(pm("!(*.c).h", "a.h"), 1);
    EXPECT_EQ(pm("a!(b)c", "abc"), 0);
    EXPECT_EQ(pm("a!(b)c", "axc"), 1);
    // Under shglob plain parentheses and bars are literal, ksh groups not.
    OptGuard sg(SHGLOB, 1);
    EXPECT_EQ(pm("@(a|b)", "a"), 1);
    char *t = dupstring("(a|b)");
    shtokenize(t);
    Patprog *p = patcompile(t, 0, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pattry(p, "(a|b)"), 1);
    EXPECT_EQ(pattry(p, "a"), 0);
}

TEST_F(Pattern, ShGlobKeepsParenthesesLiteral)
{
    OptGuard sg(SHGLOB, 1);
    // Tokens that reach the compiler anyway stand for themselves.
    EXPECT_EQ(pm("(x)", "(x)"), 1);
    EXPECT_EQ(pm("<1-2>", "<1-2>"), 1);
    // A bar at the top level only comes from case items: it separates them.
    EXPECT_EQ(pm("a|b", "b"), 1);
    EXPECT_EQ(pm("a|b", "a|b"), 0);
    EXPECT_EQ(pm("*(x)", "a(x)"), 1);
}

TEST_F(Pattern, NullArgumentMarkers)
{
    // Quote markers in the pattern are not pattern text.
    char pat[] = {char(TK_DQUOTE), char(TK_STAR), char(TK_DQUOTE), 'x', 0};
    Patprog *p = patcompile(dupstring(pat), 0, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pattry(p, "abx"), 1);
    char lit[] = {'a', char(TK_SQUOTE), char(TK_SQUOTE), 'b', 0};
    p = patcompile(dupstring(lit), 0, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pattry(p, "ab"), 1);
    // A leading empty-argument marker in the string is skipped.
    char s[] = {char(TK_EMPTY), 0};
    EXPECT_EQ(pattry(comp(""), s), 1);
}

TEST_F(Pattern, Floating)
{
    Patprog *p = comp("a*b", PC_FLOATING);
    ASSERT_NE(p, nullptr);
    const char *s = "aXbYY";
    EXPECT_EQ(pattry(p, s), 1);
    EXPECT_EQ(patinput, s + 3);
    p = comp("ab", PC_FLOATING);
    EXPECT_EQ(pattry(p, "abc"), 1);
    EXPECT_EQ(pattry(p, "ac"), 0);
}

TEST_F(Pattern, HostileInput)
{
    OptGuard eg(EXTENDEDGLOB, 1);
    // 10 000 nested groups: a bad pattern, not a stack overflow.
    std::string deep = std::string(10000, '(') + "a" + std::string(10000, ')');
    EXPECT_EQ(pm(deep, "a"), -1);
    // Moderate nesting works.
    std::string mid = std::string(200, '(') + "a" + std::string(200, ')');
    EXPECT_EQ(pm(mid, "a"), 1);
    std::string negs = std::string(5000, '^') + "a";
    EXPECT_EQ(pm(negs, "a"), -1);
    // A pattern of 100 000 characters.
    std::string big, subj;
    for (int i = 0; i < 20000; i++) {
        big += i % 1000 ? "a?[bc]" : "*";
        subj += i % 1000 ? "axc" : "zz";
    }
    EXPECT_EQ(pm(big, subj.substr(0, 30000)), 0);
    std::string plain;
    for (int i = 0; i < 25000; i++) {
        plain += "a?[b]";
        subj += "axb";
    }
    EXPECT_EQ(pm(plain, subj.substr(subj.size() - 75000)), 1);
    std::string lits(100000, 'q');
    EXPECT_EQ(pm(lits + "*", lits + "z"), 1);
    std::string alts = "(";
    for (int i = 0; i < 20000; i++)
        alts.append("x").append(std::to_string(i)).append("|");
    alts += "end)";
    EXPECT_EQ(pm(alts, "x19999"), 1);
    EXPECT_EQ(pm(alts, "end"), 1);
    EXPECT_EQ(pm(alts, "x20000"), 0);
    // Loops over a long string do not recurse.
    std::string ab;
    for (int i = 0; i < 200000; i++)
        ab += "ab";
    EXPECT_EQ(pm("(ab)#", ab), 1);
    EXPECT_EQ(pm("(a|b)##c", ab), 0);
}

TEST_F(Pattern, FuzzRegressions)
{
    OptGuard eg(EXTENDEDGLOB, 1);
    // Many allowed errors before a run of stars (flags carried over from
    // an earlier file pattern).
    auto t0 = std::chrono::steady_clock::now();
    std::string pat("(#a200)*.`*****[\377\377\377@]b\020\363`");
    std::string str("\002\300\000\000&", 5);
    str += std::string(27, 'X');
    EXPECT_EQ(pm(pat, str), 1);
    EXPECT_EQ(pm("(#a3)*?*?*?*?*?*?*?*?x", std::string(200, 'y')), 1);
    EXPECT_EQ(pm("(#a2)*?*?*?*?*?*?*?*?x", std::string(6, 'y')), 0);
    // Nested negations: each level's sub-matches are remembered.
    std::string negs(17, '^');
    static const char raw[] = "\0U\xe2\xac" "0>\xa9 \0^^^^^^\0\0U\xe2\xac" "0>\xa9 \0\0\0\0\0\0";
    std::string subj(raw, sizeof raw - 1);
    // An odd number of negations of nothing matches any non-empty string.
    EXPECT_EQ(pm(negs, subj), 1);
    EXPECT_EQ(pm(negs.substr(1), subj), 0);
    EXPECT_EQ(pm(negs.substr(1), ""), 1);
    EXPECT_EQ(pm("^^^^^^^^^^^^^^^^^^^^a", std::string(300, 'b')), 0);
    EXPECT_EQ(pm("^^^^^^^^^^^^^^^^^^^a", std::string(300, 'b')), 1);
    EXPECT_EQ(pm("^^^^^^^^^^^^^^^^^^^a", "a"), 0);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(secs, 5.0);
}

// Inputs the fuzz target once took seconds or minutes over.
TEST_F(Pattern, FuzzFindingsReplay)
{
    static const char *const found[] = {
        "\x91\x28\x2a\x5e\x62\x29\x23\x28\x2a\xff\xff\xff\xff\xff\xff\xff\xff\xff\xd3\xff\x2a\x2a\x28\x62\x29"
        "\x29\x28\x3f\x29\x48\x00\x68\x65\x6c\x49\x7c\x23\xff\xff\xff\xff\xff\xff",
        "\xc1\x5e\x5e\x5e\x5e\x5e\x5e\x5e\x5e\x5e\x5e\x5e\x5e\x5e\x5e\x5e\x5e\x00\x00\x55\xe2\xac\x30\x3e\xa9"
        "\x20\x00\x5e\x5e\x5e\x5e\x5e\x5e\x00\x00\x55\xe2\xac\x30\x3e\xa9\x20\x00\x00\x00\x00\x00\x00",
        "\xa7\x28\x23\x6c\x61\x36\x29\xff\x2d\x8d\xda\x81\xc1\x5e\x5e\x5e\x5e\x5e\x5e\x01\xd3\x01\x01\x28\x23"
        "\x61\x38\x29\x2a\xda\x7f\xff\xff\xff\xff\xff\xff\x72\x66\xc1\x8b\x5b\x21\xff\xff\xff\xff\xff\xff\x21"
        "\xff\x04\xff\xff\xff\xff\x20\x5b\x06\x5d\x00\x00\x71\x8b\xff\xdb\xfe\x67\xfe\xff\xff\x5c\x2b\x00\x83"
        "\x80\x86\x00\x00\x00\x00\x0f\xe8\xda\x01\x5c\x29\x5c\x5c\xd0\x5c\xff\x31\xb7\x5c\x00\x2b\x00\x5c\x5c"
        "\x5c\xd0\x00\x5c\xff",
    };
    static const size_t lens[] = {43, 48, 105};
    OptGuard a(EXTENDEDGLOB, 0), b(KSHGLOB, 0), c(SHGLOB, 0);
    for (size_t i = 0; i < sizeof lens / sizeof *lens; i++) {
        auto t0 = std::chrono::steady_clock::now();
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(found[i]), lens[i]);
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_LT(secs, 10.0) << "finding " << i;
    }
}

TEST_F(Pattern, ExponentialLoopsAreCutOffWithAnError)
{
    OptGuard eg(EXTENDEDGLOB, 1);
    NoErrsGuard ng(1);
    errflag = 0;
    // A loop on its own is entered at each position at most once...
    EXPECT_EQ(pm("(a|a)##", std::string(60, 'a') + "c"), 0);
    EXPECT_FALSE(errflag);
    EXPECT_EQ(pm("(*^b)#(?)H", "helI|#" + std::string(40, 'x')), 0);
    EXPECT_FALSE(errflag);
    // ...but one inside another is not, and gives up with an error.
    EXPECT_EQ(pm("((a|a)#b)#", std::string(60, 'a') + "c"), 0);
    EXPECT_TRUE(errflag);
    errflag = 0;
}

TEST_F(Pattern, StarsAgainstLongStringsStayLinear)
{
    std::string s(1 << 20, 'a');
    for (size_t i = 0; i < s.size(); i += 3)
        s[i] = 'b';
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(pm("*a*b*c*d*", s), 0);
    EXPECT_EQ(pm("*a*b*a*b*", s), 1);
    EXPECT_EQ(pm("*b*a*b*z", s), 0);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(secs, 10.0);
}

TEST_F(Pattern, Haswilds)
{
    auto hw = [](const char *t) {
        char *s = dupstring(t);
        tokenize(s);
        return haswilds(s);
    };
    EXPECT_TRUE(hw("*.c"));
    EXPECT_TRUE(hw("a?"));
    EXPECT_TRUE(hw("[ab]"));
    EXPECT_TRUE(hw("<1-2>"));
    EXPECT_TRUE(hw("(a|b)"));
    EXPECT_FALSE(hw("plain"));
    EXPECT_FALSE(hw("["));
    EXPECT_FALSE(hw("]"));
    EXPECT_FALSE(hw("a#"));
    EXPECT_FALSE(hw("^a"));
    char *job = dupstring("%?name");
    tokenize(job);
    EXPECT_FALSE(haswilds(job));
    EXPECT_STREQ(job, "%?name");
    OptGuard eg(EXTENDEDGLOB, 1);
    EXPECT_TRUE(hw("a#"));
    EXPECT_TRUE(hw("^a"));
}

TEST_F(Pattern, WordcodeSlots)
{
    wordcode code[1] = {0};
    Patprog *slots[2] = {reinterpret_cast<Patprog *>(1), reinterpret_cast<Patprog *>(1)};
    Eprog e{};
    e.flags = EF_HEAP;
    e.pattern_count = 2;
    e.ref_count = -1;
    e.pattern_slots = slots;
    e.prog = code;
    char *t = dupstring("a*");
    tokenize(t);
    // An arena program keeps nothing: its patterns would not outlive the
    // arena they are compiled in.
    Patprog *p = slotpatprog(&e, 0, t, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(slots[0], reinterpret_cast<Patprog *>(1));
    EXPECT_EQ(pattry(p, "abc"), 1);
    char *bad = dupstring("[a");
    tokenize(bad);
    EXPECT_EQ(slotpatprog(&e, 1, bad, 0), nullptr);
    EXPECT_EQ(slots[1], reinterpret_cast<Patprog *>(1));
    // A permanent program owns permanent patterns, compiled once.
    e.flags = EF_REAL;
    e.ref_count = 1;
    p = slotpatprog(&e, 0, t, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(slots[0], p);
    EXPECT_EQ(slotpatprog(&e, 0, t, 0), p);
    EXPECT_TRUE(p->flags & PC_PERMANENT);
    EXPECT_EQ(slotpatprog(&e, 1, bad, 0), nullptr);
    EXPECT_EQ(slots[1], reinterpret_cast<Patprog *>(2));
    EXPECT_EQ(slotpatprog(&e, 1, bad, 0), nullptr);
    freepatprog(p);
    freepatprog(reinterpret_cast<Patprog *>(2));
}

TEST_F(Pattern, ProgramHeader)
{
    Patprog *p = comp("abc*def");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->progoffset, 36);
    EXPECT_EQ(p->firstchar, 'a');
    ASSERT_NE(p->mustoffset, 0);
    EXPECT_STREQ(reinterpret_cast<char *>(p) + p->mustoffset, "abc");
    // The must-contain test rejects without running the program...
    EXPECT_EQ(pattry(p, "abcxyz"), 0);
    // ...and is skipped when scanning.
    p = comp("*xyz*", PC_SCANNING);
    EXPECT_EQ(pattry(p, "aaxyzbb"), 1);
    Patprog *q = comp("a*", PC_IN_PLACE);
    Patprog *r = comp("b*", PC_IN_PLACE);
    EXPECT_EQ(q, r);  // the compiler's own buffer
    EXPECT_EQ(pattry(r, "bz"), 1);
}

}  // namespace
