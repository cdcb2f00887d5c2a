// The pattern operators behind ${...#...}, %, / and :# with every match
// flag, and the hooks for replacements and match references.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expand/expand.h"

namespace {

struct OptGuard {
    int opt;
    signed char saved;
    OptGuard(int o, int v) : opt(o), saved(opts[o]) { opts[o] = static_cast<signed char>(v); }
    ~OptGuard() { opts[opt] = saved; }
};

constexpr int REST = MF_GIVE_REST;

// Apply flags to value with pattern text as the lexer leaves it.
std::string gm(const std::string &value, const std::string &pat, int fl, int n = 1, const char *repl = nullptr,
               int *matched = nullptr)
{
    char *v = metafy(const_cast<char *>(value.data()), int(value.size()), META_HEAPDUP);
    char *p = dupstring(pat.c_str());
    tokenize(p);
    char *r = repl ? dupstring(repl) : nullptr;
    int m = getmatch(&v, p, fl, n, r);
    if (matched)
        *matched = m;
    int len;
    unmetafy(v, &len);
    return std::string(v, size_t(len));
}

std::vector<std::string> gma(std::vector<std::string> arr, const std::string &pat, int fl, const char *repl = nullptr)
{
    char **a = qhnew<char *>(arr.size() + 1);
    for (size_t i = 0; i < arr.size(); i++)
        a[i] = dupstring(arr[i].c_str());
    a[arr.size()] = nullptr;
    char *p = dupstring(pat.c_str());
    tokenize(p);
    getmatcharr(&a, p, fl, 1, repl ? dupstring(repl) : nullptr);
    std::vector<std::string> out;
    for (; *a; a++)
        out.push_back(*a);
    return out;
}

struct Seen {
    std::vector<std::string> match;
    std::string m;
    long mb = 0, me = 0;
    int substs = 0;
};
Seen *seen;

void capture(char **mt, char **, char **)
{
    seen->match.clear();
    for (; *mt; mt++)
        seen->match.push_back(*mt);
}
void matchref(char *m, long b, long e)
{
    seen->m = m;
    seen->mb = b;
    seen->me = e;
}
// Stands in for the expansion of the replacement: SWAP gives the second
// group then the first, MATCH gives <MATCH>, anything else is upper-cased.
void subst(char **s)
{
    seen->substs++;
    std::string r;
    if (!strcmp(*s, "SWAP") && seen->match.size() >= 2)
        r = seen->match[1] + seen->match[0];
    else if (!strcmp(*s, "MATCH"))
        r = "<" + seen->m + ">";
    else
        for (const char *p = *s; *p; p++)
            r += char(toupper(static_cast<unsigned char>(*p)));
    *s = dupstring(r.c_str());
}

struct Hooks {
    Seen s;
    Hooks()
    {
        seen = &s;
        patsetcapturesptr = capture;
        patsetmatchptr = matchref;
        getmatchsubstptr = subst;
    }
    ~Hooks()
    {
        patsetcapturesptr = nullptr;
        patsetmatchptr = nullptr;
        getmatchsubstptr = nullptr;
        seen = nullptr;
    }
};

class Getmatch : public ::testing::Test {
  protected:
    void SetUp() override { pushheap(); }
    void TearDown() override { popheap(); }
};

TEST_F(Getmatch, PrefixAndSuffixRemoval)
{
    EXPECT_EQ(gm("a.b.c", ".*", MF_AT_END | REST), "a.b");
    EXPECT_EQ(gm("a.b.c", ".*", MF_AT_END | MF_LONGEST | REST), "a");
    EXPECT_EQ(gm("a.b.c", "*.", REST), "b.c");
    EXPECT_EQ(gm("a.b.c", "*.", MF_LONGEST | REST), "c");
    EXPECT_EQ(gm("a.b.c", "x*", REST), "a.b.c");
    EXPECT_EQ(gm("a.b.c", "*", REST), "a.b.c");  // shortest prefix is empty
    EXPECT_EQ(gm("a.b.c", "*", MF_LONGEST | REST), "");
    EXPECT_EQ(gm("a.b.c", "*", MF_AT_END | REST), "a.b.c");
    EXPECT_EQ(gm("a.b.c", "*", MF_AT_END | MF_LONGEST | REST), "");
    EXPECT_EQ(gm("", "*", REST), "");
    EXPECT_EQ(gm("abc", "abc", REST), "");
    int m;
    gm("abc", "x", REST, 1, nullptr, &m);
    EXPECT_EQ(m, 0);
    gm("abc", "a", REST, 1, nullptr, &m);
    EXPECT_EQ(m, 1);
}

TEST_F(Getmatch, GiveFlags)
{
    EXPECT_EQ(gm("a.b.c", ".*", MF_AT_END | MF_LONGEST | MF_GIVE_MATCH), ".b.c");
    EXPECT_EQ(gm("a.b.c", ".*", MF_AT_END | MF_GIVE_MATCH), ".c");
    EXPECT_EQ(gm("a.b.c", "*.", MF_GIVE_BEGIN), "1");
    EXPECT_EQ(gm("a.b.c", "*.", MF_GIVE_END), "3");
    EXPECT_EQ(gm("a.b.c", "*.", MF_GIVE_LENGTH), "2");
    EXPECT_EQ(gm("abcd", "bc", MF_ANYWHERE | MF_GIVE_BEGIN), "2");
    EXPECT_EQ(gm("abcd", "bc", MF_ANYWHERE | MF_GIVE_END), "4");
    EXPECT_EQ(gm("abcd", "bc", MF_ANYWHERE | MF_GIVE_LENGTH), "2");
    // Several results joined in a fixed order.
    EXPECT_EQ(gm("abcd", "bc", MF_ANYWHERE | MF_GIVE_LENGTH | MF_GIVE_MATCH | MF_GIVE_BEGIN | MF_GIVE_END | REST),
              "bc ad 2 4 2");
    // No match: the rest is the value, the match is empty.
    EXPECT_EQ(gm("abc", "x", MF_GIVE_MATCH), "");
    EXPECT_EQ(gm("abc", "x", MF_GIVE_MATCH | REST), "abc");
    EXPECT_EQ(gm("abc", "x", MF_GIVE_BEGIN), "");
    // Positions count metafied pairs as one character.
    EXPECT_EQ(gm(std::string("\0\x83" "ab", 4), "b", MF_ANYWHERE | MF_GIVE_BEGIN), "4");
    EXPECT_EQ(gm(std::string("\0\x83" "ab", 4), "?", MF_GIVE_MATCH), std::string("\0", 1));
}

TEST_F(Getmatch, Anywhere)
{
    // (S) with #: leftmost, shortest.
    EXPECT_EQ(gm("banana", "n*", MF_ANYWHERE | REST), "baana");
    EXPECT_EQ(gm("banana", "n*", MF_ANYWHERE | MF_LONGEST | REST), "ba");
    // (S) with %: positions from the right.
    EXPECT_EQ(gm("banana", "a*", MF_ANYWHERE | MF_AT_END | REST), "banan");
    EXPECT_EQ(gm("banana", "an", MF_ANYWHERE | MF_AT_END | MF_GIVE_BEGIN), "4");
    // The n-th match; matches may overlap when counting.
    EXPECT_EQ(gm("banana", "a", MF_ANYWHERE | REST, 2, "X"), "banXna");
    EXPECT_EQ(gm("banana", "a", MF_ANYWHERE | REST, 3, "X"), "bananX");
    EXPECT_EQ(gm("banana", "a", MF_ANYWHERE | REST, 4, "X"), "banana");
    EXPECT_EQ(gm("aaa", "aa", MF_ANYWHERE | MF_GIVE_BEGIN, 2), "2");
    // The n-th anchored match counts prefixes from the shortest up.
    EXPECT_EQ(gm("a.b.c", "*.", REST, 2), "c");
    EXPECT_EQ(gm("a.b.c", ".*", MF_AT_END | REST, 2), "a");
}

TEST_F(Getmatch, Replacement)
{
    int L = MF_LONGEST | REST;
    EXPECT_EQ(gm("banana", "a", L | MF_ANYWHERE, 1, "X"), "bXnana");
    EXPECT_EQ(gm("banana", "a", L | MF_ANYWHERE | MF_EVERY, 1, ""), "bnn");
    EXPECT_EQ(gm("banana", "a", L | MF_ANYWHERE | MF_EVERY, 1, "<>"), "b<>n<>n<>");
    EXPECT_EQ(gm("banana", "an", L | MF_ANYWHERE | MF_EVERY, 1, "X"), "bXXa");
    EXPECT_EQ(gm("abab", "ab", L, 1, "X"), "Xab");
    EXPECT_EQ(gm("abab", "ab", L | MF_AT_END, 1, "X"), "abX");
    EXPECT_EQ(gm("xabab", "ab", L, 1, "X"), "xabab");
    EXPECT_EQ(gm("banana", "a*a", L | MF_ANYWHERE, 1, "X"), "bX");
    EXPECT_EQ(gm("banana", "a*a", REST | MF_ANYWHERE, 1, "X"), "bXna");
    EXPECT_EQ(gm("banana", "a*a", REST | MF_ANYWHERE | MF_EVERY, 1, "X"), "bXna");
    EXPECT_EQ(gm("aaa", "a", L | MF_ANYWHERE | MF_EVERY, 2, "X"), "aXX");
    // A pattern that only matches the empty string.
    {
        OptGuard eg(EXTENDEDGLOB, 1);
        EXPECT_EQ(gm("abc", "(#s)", L | MF_ANYWHERE | MF_EVERY, 1, "X"), "Xabc");
        EXPECT_EQ(gm("abc", "(#e)", L | MF_ANYWHERE, 1, "X"), "abcX");
        // Start and end assertions see the real ends of the value.
        EXPECT_EQ(gm("aba", "(#s)a", L | MF_ANYWHERE | MF_EVERY, 1, "X"), "Xba");
        EXPECT_EQ(gm("aba", "a(#e)", L | MF_ANYWHERE | MF_EVERY, 1, "X"), "abX");
        // Non-empty matches win over empty ones.
        EXPECT_EQ(gm("xaay", "a#", L | MF_ANYWHERE, 1, "-"), "x-y");
        EXPECT_EQ(gm("xaay", "a#", L | MF_ANYWHERE | MF_EVERY, 1, "-"), "x-y");
    }
    // Without the expansion hook the replacement is literal.
    EXPECT_EQ(gm("abc", "b", L | MF_ANYWHERE, 1, "$x"), "a$xc");
}

TEST_F(Getmatch, ReplacementExpansion)
{
    Hooks h;
    // Expanded once when the pattern sets no references.
    EXPECT_EQ(gm("banana", "a", MF_LONGEST | REST | MF_ANYWHERE | MF_EVERY, 1, "x"), "bXnXnX");
    EXPECT_EQ(h.s.substs, 1);
    OptGuard eg(EXTENDEDGLOB, 1);
    // With capture groups: expanded after each match, seeing its groups.
    h.s.substs = 0;
    EXPECT_EQ(gm("banana", "(#b)(a)(n)", MF_LONGEST | REST | MF_ANYWHERE | MF_EVERY, 1, "SWAP"), "bnanaa");
    EXPECT_EQ(h.s.substs, 2);
    h.s.substs = 0;
    EXPECT_EQ(gm("banana", "(#m)[bn]", MF_LONGEST | REST | MF_ANYWHERE | MF_EVERY, 1, "MATCH"), "<b>a<n>a<n>a");
    EXPECT_EQ(h.s.substs, 3);
    // (#m) set in the middle of the pattern counts too.
    h.s.substs = 0;
    EXPECT_EQ(gm("ab", "a(#m)b", MF_LONGEST | REST | MF_ANYWHERE | MF_EVERY, 1, "MATCH"), "<ab>");
    EXPECT_EQ(h.s.substs, 1);
}

TEST_F(Getmatch, ReferencesDescribeTheChosenMatch)
{
    Hooks h;
    OptGuard eg(EXTENDEDGLOB, 1);
    gm("banana", "(#m)n*", MF_ANYWHERE | MF_GIVE_MATCH);
    EXPECT_EQ(h.s.m, "n");
    EXPECT_EQ(h.s.mb, 3);
    EXPECT_EQ(h.s.me, 3);
    gm("banana", "(#m)n*", MF_ANYWHERE | MF_LONGEST | MF_GIVE_MATCH);
    EXPECT_EQ(h.s.m, "nana");
    EXPECT_EQ(h.s.mb, 3);
    EXPECT_EQ(h.s.me, 6);
    gm("a.b.c", "(#b)(*).", MF_GIVE_MATCH);
    EXPECT_EQ(h.s.match, (std::vector<std::string>{"a"}));
    gm("a.b.c", "(#b)(*).", MF_LONGEST | MF_GIVE_MATCH);
    EXPECT_EQ(h.s.match, (std::vector<std::string>{"a.b"}));
    {
        OptGuard ka(KSHARRAYS, 1);
        gm("banana", "(#m)n", MF_ANYWHERE | MF_GIVE_MATCH);
        EXPECT_EQ(h.s.mb, 2);
        EXPECT_EQ(h.s.me, 2);
    }
    // After the operator the offset base is back to zero.
    EXPECT_EQ(patoffset, 0);
}

TEST_F(Getmatch, Whole)
{
    EXPECT_EQ(gm("foo", "f*", MF_WHOLE | REST), "");
    EXPECT_EQ(gm("foo", "x*", MF_WHOLE | REST), "foo");
    EXPECT_EQ(gm("foo", "f", MF_WHOLE | REST), "foo");
    EXPECT_EQ(gm("foo", "f*", MF_WHOLE | MF_GIVE_MATCH), "foo");
    EXPECT_EQ(gm("foo", "x*", MF_WHOLE | MF_GIVE_MATCH), "");
}

TEST_F(Getmatch, Arrays)
{
    std::vector<std::string> a{"foo", "bar", "fab", ""};
    EXPECT_EQ(gma(a, "f*", MF_WHOLE | REST), (std::vector<std::string>{"bar", ""}));
    EXPECT_EQ(gma(a, "f*", MF_WHOLE | MF_GIVE_MATCH), (std::vector<std::string>{"foo", "fab"}));
    EXPECT_EQ(gma(a, "f", REST), (std::vector<std::string>{"oo", "bar", "ab", ""}));
    EXPECT_EQ(gma(a, "a", MF_ANYWHERE | MF_EVERY | MF_LONGEST | REST, "_"),
              (std::vector<std::string>{"foo", "b_r", "f_b", ""}));
    EXPECT_EQ(gma({}, "x", REST), std::vector<std::string>{});
}

TEST_F(Getmatch, BadPattern)
{
    NoErrsGuard ng(1);
    errflag = 0;
    int m = 1;
    EXPECT_EQ(gm("abc", "[a", REST, 1, nullptr, &m), "abc");
    EXPECT_EQ(m, 0);
    EXPECT_TRUE(errflag);
    errflag = 0;
    char **a = qhnew<char *>(1);
    a[0] = nullptr;
    char *p = dupstring("(x");
    tokenize(p);
    EXPECT_EQ(getmatcharr(&a, p, REST, 1, nullptr), 0);
    EXPECT_TRUE(errflag);
    errflag = 0;
}

TEST_F(Getmatch, LongValues)
{
    std::string v(20000, 'x');
    v += ".tar.gz";
    EXPECT_EQ(gm(v, ".*", MF_AT_END | REST), std::string(20000, 'x') + ".tar");
    EXPECT_EQ(gm(v, ".*", MF_AT_END | MF_LONGEST | REST), std::string(20000, 'x'));
    EXPECT_EQ(gm(v, "*.", MF_LONGEST | REST), "gz");
}

}  // namespace
