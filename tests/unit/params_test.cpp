// The parameter table through its API: types, assignment forms,
// subscripts and their flags, scopes, read-only and special parameters,
// the environment and the emulation-dependent specials.
#include <pwd.h>
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <string>

#include "exec/exec.h"
#include "jobs/jobs.h"
#include "params/params.h"

#include <unistd.h>

namespace {

char **perm(std::initializer_list<const char *> words)
{
    char **a = qnew<char *>(words.size() + 1), **p = a;
    for (const char *w : words)
        *p++ = qtrdup(w);
    *p = nullptr;
    return a;
}

std::string str(const char *name)
{
    char *s = getsparam(name);
    return s ? s : "<unset>";
}

// The value of a reference such as "a[2,-1]", as expansion would read it.
std::string ref(const char *text)
{
    char *t = dupstring(text);
    Value vbuf;
    Value *v = getvalue(&vbuf, &t, 1);
    return v ? getstrvalue(v) : "<unset>";
}

bool inenv(const char *entry)
{
    for (char **e = environ; *e; e++)
        if (!strcmp(*e, entry))
            return true;
    return false;
}

bool envhasname(const char *name)
{
    size_t l = strlen(name);
    for (char **e = environ; *e; e++)
        if (!strncmp(*e, name, l) && (*e)[l] == '=')
            return true;
    return false;
}

class Params : public testing::Test {
protected:
    void SetUp() override
    {
        errflag = 0;
        locallevel = 0;
        if (!pparams)
            pparams = perm({"one", "two", "three"});
        if (!cmdnamtab)
            createcmdnamtable();
        createparamtable();
    }
    void TearDown() override
    {
        opts[KSHARRAYS] = 0;
        opts[RESTRICTED] = 0;
        errflag = 0;
    }
    // Run f with stderr captured; the message text it printed.
    template <class F> std::string errors(F f)
    {
        testing::internal::CaptureStderr();
        f();
        fflush(stderr);
        return testing::internal::GetCapturedStderr();
    }
};

TEST_F(Params, ArrayElementsAndSlices)
{
    setaparam("a", perm({"x", "y", "z"}));
    EXPECT_EQ(ref("a[2]"), "y");
    EXPECT_EQ(ref("a[-1]"), "z");
    EXPECT_EQ(ref("a[2,-1]"), "y z");
    EXPECT_EQ(ref("a[5]"), "");
    EXPECT_EQ(ref("a"), "x y z");
    setsparam("a[5]", qtrdup("w"));
    char **a = getaparam("a");
    ASSERT_EQ(arrlen(a), 5);
    EXPECT_STREQ(a[3], "");
    EXPECT_STREQ(a[4], "w");
    // Slice assignment replaces a range.
    setaparam("a[2,3]", perm({"B", "C", "D"}));
    EXPECT_EQ(ref("a"), "x B C D  w");
}

TEST_F(Params, KshArraysIndexFromZero)
{
    setaparam("a", perm({"x", "y", "z"}));
    opts[KSHARRAYS] = 1;
    EXPECT_EQ(ref("a[0]"), "x");
    EXPECT_EQ(ref("a"), "x");
    EXPECT_EQ(ref("a[2]"), "z");
}

TEST_F(Params, ScalarCharactersAndAppend)
{
    setsparam("s", qtrdup("hello"));
    EXPECT_EQ(ref("s[2,3]"), "el");
    EXPECT_EQ(ref("s[-1]"), "o");
    setsparam("s[1]", qtrdup("J"));
    EXPECT_EQ(str("s"), "Jello");
    assignsparam("s", qtrdup("!"), 1);
    EXPECT_EQ(str("s"), "Jello!");
    // A metafied byte counts as one character.
    char raw[] = "a\x83\x20" "b";
    setsparam("m", qtrdup(raw));
    EXPECT_EQ(ref("m[2]"), std::string("\x83\x20"));
    EXPECT_EQ(ref("m[3]"), "b");
}

TEST_F(Params, ReverseSubscripts)
{
    setaparam("a", perm({"x", "y", "z"}));
    EXPECT_EQ(ref("a[(i)y]"), "2");
    EXPECT_EQ(ref("a[(i)nothing]"), "4");
    EXPECT_EQ(ref("a[(I)nothing]"), "0");
    EXPECT_EQ(ref("a[(r)?]"), "x");
    EXPECT_EQ(ref("a[(R)?]"), "z");
    // A value request that matches nothing yields nothing, not an element.
    EXPECT_EQ(ref("a[(R)nothing]"), "");
    setsparam("s", qtrdup("abcabc"));
    EXPECT_EQ(ref("s[(i)b]"), "2");
    EXPECT_EQ(ref("s[(I)b]"), "5");
    setsparam("s[(i)c]", qtrdup("X"));
    EXPECT_EQ(str("s"), "abXabc");
    setsparam("w", qtrdup("one two three"));
    EXPECT_EQ(ref("w[(w)2]"), "two");
    EXPECT_EQ(ref("w[(w)-1]"), "three");
}

TEST_F(Params, SubscriptLimits)
{
    std::string e = errors([] { setsparam("a[262145]", qtrdup("x")); });
    EXPECT_NE(e.find("subscript too big: 262145"), std::string::npos) << e;
    errflag = 0;
    e = errors([] { ref("a[-262145]"); });
    setaparam("b", perm({"x"}));
    errflag = 0;
    e = errors([] { ref("b[-262145]"); });
    EXPECT_NE(e.find("subscript too small: -262145"), std::string::npos) << e;
    errflag = 0;
    e = errors([] { ref("b[1"); });
    EXPECT_NE(e.find("invalid subscript"), std::string::npos) << e;
}

TEST_F(Params, IntegersAndFloats)
{
    Param *pm = createparam("n", PF_INTEGER);
    ASSERT_NE(pm, nullptr);
    pm->aux = 16;
    setiparam("n", 255);
    EXPECT_EQ(str("n"), "16#FF");
    opts[CBASES] = 1;
    EXPECT_EQ(str("n"), "0xFF");
    opts[CBASES] = 0;
    // The base of the first number assigned becomes the output base.
    createparam("m", PF_INTEGER);
    setsparam("m", qtrdup("8#17"));
    EXPECT_EQ(str("m"), "8#17");
    assignsparam("m", qtrdup("1"), 1);
    EXPECT_EQ(getiparam("m"), 16);

    EXPECT_STREQ(convfloat(3.0, 0, 0, nullptr), "3.");
    EXPECT_STREQ(convfloat(1.0 / 3, 0, PF_EFLOAT, nullptr), "3.333333333e-01");
    EXPECT_STREQ(convfloat(0.5, 0, PF_FFLOAT, nullptr), "0.5000000000");
    createparam("f", PF_FFLOAT)->aux = 2;
    setsparam("f", qtrdup("7/2.0"));
    EXPECT_EQ(str("f"), "3.50");
    assignsparam("f", qtrdup("1"), 1);
    EXPECT_EQ(str("f"), "4.50");
    std::string e = errors([] { assignsparam("f[1]", qtrdup("1"), 1); });
    EXPECT_NE(e.find("attempt to add to slice of a numeric variable"), std::string::npos) << e;
}

TEST_F(Params, AssociativeArrays)
{
    sethparam("h", perm({"k1", "v1", "k2", "v2"}));
    EXPECT_EQ(ref("h[k1]"), "v1");
    EXPECT_EQ(ref("h[nokey]"), "");
    setsparam("h[k3]", qtrdup("v3"));
    EXPECT_EQ(arrlen(gethparam("h")), 3);
    EXPECT_EQ(ref("h[(i)v2]"), "k2");
    EXPECT_EQ(ref("h[(r)v*]").substr(0, 1), "v");
    std::string e = errors([] { sethparam("g", perm({"a", "b", "c"})); });
    EXPECT_NE(e.find("bad set of key/value pairs for associative array"), std::string::npos) << e;
    errflag = 0;
    e = errors([] { setaparam("h[k1]", perm({"x"})); });
    EXPECT_NE(e.find("h: attempt to set slice of associative array"), std::string::npos) << e;
    // Adding pairs keeps the old ones.
    errflag = 0;
    assignaparam("h", perm({"k4", "v4"}), 1);
    EXPECT_EQ(ref("h[k1]"), "v1");
    EXPECT_EQ(ref("h[k4]"), "v4");
}

TEST_F(Params, AssignmentConversions)
{
    setaparam("a", perm({"x", "y"}));
    // A plain assignment makes an ordinary array a scalar again.
    setsparam("a", qtrdup("s"));
    EXPECT_EQ(PF_TYPE(static_cast<Param *>(paramtab->getnode(paramtab, "a"))->flags), PF_SCALAR);
    // An array assignment to a scalar makes an array; += keeps the old value.
    assignaparam("a", perm({"t"}), 1);
    EXPECT_EQ(ref("a"), "s t");
    assignsparam("a", qtrdup("u"), 1);
    EXPECT_EQ(ref("a"), "s t u");
    std::string e = errors([] { setsparam("2x", qtrdup("v")); });
    EXPECT_NE(e.find("not an identifier: 2x"), std::string::npos) << e;
    errflag = 0;
    e = errors([] { setsparam("a-b", qtrdup("v")); });
    EXPECT_NE(e.find("not an identifier: a-b"), std::string::npos) << e;
}

TEST_F(Params, AppendIsAmortisedConstant)
{
    setaparam("big", perm({}));
    auto t0 = std::chrono::steady_clock::now();
    constexpr int N = 200000;
    for (int i = 0; i < N; i++) {
        HeapGuard hg;
        assignaparam("big", perm({"x"}), 1);
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    char *t = dupstring("big");
    Value vbuf;
    Value *v = getvalue(&vbuf, &t, 1);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(arrvaluelen(v), N);
    // Copying the array per append would take minutes at this size.
    EXPECT_LT(secs, 5.0);
    // Element assignment one past the end appends too.
    setsparam("big[200001]", qtrdup("y"));
    EXPECT_EQ(arrvaluelen(getvalue(&vbuf, &(t = dupstring("big")), 1)), N + 1);
}

TEST_F(Params, ScopesHideAndRestore)
{
    setsparam("x", qtrdup("global"));
    startparamscope();
    Param *pm = createparam("x", PF_LOCAL);
    ASSERT_NE(pm, nullptr);
    setsparam("x", qtrdup("level1"));
    EXPECT_EQ(str("x"), "level1");
    startparamscope();
    createparam("x", PF_LOCAL | PF_INTEGER);
    setiparam("x", 7);
    createparam("y", PF_LOCAL);
    setsparam("y", qtrdup("only2"));
    EXPECT_EQ(str("x"), "7");
    endparamscope();
    EXPECT_EQ(str("x"), "level1");
    EXPECT_EQ(str("y"), "<unset>");
    // Unsetting a local keeps its place in the scope.
    unsetparam("x");
    EXPECT_EQ(str("x"), "<unset>");
    endparamscope();
    EXPECT_EQ(str("x"), "global");
    EXPECT_EQ(locallevel, 0);
}

TEST_F(Params, LocalSpecialKeepsBehaviourAndIsRestored)
{
    setsparam("IFS", qtrdup(":"));
    EXPECT_TRUE(isep(':'));
    startparamscope();
    localspecial(static_cast<Param *>(paramtab->getnode(paramtab, "IFS")));
    setsparam("IFS", qtrdup(","));
    EXPECT_TRUE(isep(','));
    EXPECT_FALSE(isep(':'));
    endparamscope();
    EXPECT_EQ(str("IFS"), ":");
    EXPECT_TRUE(isep(':'));
    EXPECT_FALSE(isep(','));
    // Hidden: an ordinary local of the same name leaves IFS alone.
    startparamscope();
    createparam("IFS", PF_LOCAL | PF_HIDE);
    setsparam("IFS", qtrdup("-"));
    EXPECT_FALSE(isep('-'));
    endparamscope();
    EXPECT_EQ(str("IFS"), ":");
    setsparam("IFS", qtrdup(DEFAULT_IFS));
}

TEST_F(Params, ReadOnlyAndRestricted)
{
    Param *pm = createparam("r", PF_READONLY);
    pm->value.str = qtrdup("fixed");
    std::string e = errors([] { setsparam("r", qtrdup("new")); });
    EXPECT_NE(e.find("read-only variable: r"), std::string::npos) << e;
    EXPECT_EQ(str("r"), "fixed");
    errflag = 0;
    e = errors([] { unsetparam("r"); });
    EXPECT_NE(e.find("read-only variable: r"), std::string::npos) << e;
    errflag = 0;
    e = errors([] {
        char *t = dupstring("#");
        Value vbuf;
        setnumvalue(getvalue(&vbuf, &t, 1), mnint(3));
    });
    EXPECT_NE(e.find("read-only variable: #"), std::string::npos) << e;
    errflag = 0;
    opts[RESTRICTED] = 1;
    restrictparams();
    e = errors([] { setsparam("PATH", qtrdup("/tmp")); });
    EXPECT_NE(e.find("PATH: restricted"), std::string::npos) << e;
    errflag = 0;
    e = errors([] { setsparam("SHELL", qtrdup("/bin/sh")); });
    EXPECT_NE(e.find("SHELL: restricted"), std::string::npos) << e;
}

TEST_F(Params, SpecialsOnReadAndAssignment)
{
    EXPECT_EQ(getiparam("#"), 3);
    EXPECT_EQ(ref("2"), "two");
    EXPECT_EQ(ref("@"), "one two three");
    lastval = 3;
    EXPECT_EQ(str("?"), "3");
    EXPECT_EQ(str("status"), "3");
    EXPECT_EQ(getiparam("$"), int64_t(mypid));
    int64_t r = getiparam("RANDOM");
    EXPECT_GE(r, 0);
    EXPECT_LE(r, 32767);
    setiparam("RANDOM", 5);
    int64_t r1 = getiparam("RANDOM"), r2 = getiparam("RANDOM");
    setiparam("RANDOM", 5);
    EXPECT_EQ(getiparam("RANDOM"), r1);
    EXPECT_EQ(getiparam("RANDOM"), r2);

    setiparam("SECONDS", 100);
    EXPECT_EQ(getiparam("SECONDS"), 100);
    Param *sec = static_cast<Param *>(paramtab->getnode(paramtab, "SECONDS"));
    EXPECT_EQ(setsecondstype(sec, PF_FFLOAT, PF_INTEGER), 0);
    double d = getnparam("SECONDS").u.d;
    EXPECT_GE(d, 100.0);
    EXPECT_LT(d, 101.0);
    EXPECT_EQ(setsecondstype(sec, PF_ARRAY, PF_FFLOAT), 1);
    EXPECT_EQ(setsecondstype(sec, PF_INTEGER, PF_FFLOAT), 0);

    setsparam("histchars", qtrdup("#^!"));
    EXPECT_EQ(bangchar, '#');
    EXPECT_EQ(hatchar, '^');
    EXPECT_EQ(hashchar, '!');
    unsetparam("histchars");
    EXPECT_EQ(bangchar, '!');
    EXPECT_EQ(hatchar, '^');
    EXPECT_EQ(hashchar, '#');
    setsparam("histchars", qtrdup("+"));
    EXPECT_EQ(str("histchars"), "+");
    EXPECT_EQ(hatchar, 0);
    unsetparam("histchars");

    setsparam("WORDCHARS", qtrdup("@"));
    EXPECT_TRUE(iword('@'));
    EXPECT_FALSE(iword('*'));
    setsparam("WORDCHARS", qtrdup(DEFAULT_WORDCHARS));

    EXPECT_EQ(str("MACHTYPE"), MACHTYPE_STR);
    EXPECT_EQ(str("OSTYPE"), OSTYPE_STR);
    EXPECT_EQ(str("VENDOR"), VENDOR_STR);
    EXPECT_EQ(getiparam("PPID"), int64_t(getppid()));
    EXPECT_EQ(str("-"), std::string(dashgetfn()));

    numpipestats = 0;
    setaparam("pipestatus", perm({"0", "1"}));
    EXPECT_EQ(numpipestats, 2);
    EXPECT_EQ(ref("pipestatus"), "0 1");
}

TEST_F(Params, PathAndItsArrayAreTied)
{
    setsparam("PATH", qtrdup("/bin:/usr/bin"));
    ASSERT_EQ(arrlen(path), 2);
    EXPECT_STREQ(path[1], "/usr/bin");
    EXPECT_EQ(ref("path"), "/bin /usr/bin");
    // The hashed commands go when the path changes.
    cmdnamtab->addnode(cmdnamtab, qtrdup("fake"), qcnew<CmdEntry>());
    setaparam("path", perm({"/opt/bin", "/bin"}));
    EXPECT_EQ(cmdnamtab->ct, 0);
    EXPECT_EQ(str("PATH"), "/opt/bin:/bin");
    // Only the scalar is exported.
    EXPECT_TRUE(inenv("PATH=/opt/bin:/bin"));
    EXPECT_FALSE(envhasname("path"));
    // Unique arrays drop later duplicates.
    static_cast<Param *>(paramtab->getnode(paramtab, "path"))->flags |= PF_UNIQUE;
    setaparam("path", perm({"/a", "/b", "/a"}));
    EXPECT_EQ(str("PATH"), "/a:/b");
}

TEST_F(Params, EnvironmentImportAndExport)
{
    setenv("TARNTEST_IMPORT", "val ue", 1);
    setenv("2x", "digit", 1);
    setenv("a[1]", "bracket", 1);
    setenv("IFS", "xyz", 1);
    setenv("SHLVL", "3", 1);
    createparamtable();
    EXPECT_EQ(str("TARNTEST_IMPORT"), "val ue");
    EXPECT_TRUE(inenv("TARNTEST_IMPORT=val ue"));
    EXPECT_FALSE(envhasname("2x"));
    EXPECT_FALSE(envhasname("a[1]"));
    EXPECT_EQ(str("2x"), "<unset>");
    // IFS is never taken from the environment.
    EXPECT_EQ(str("IFS"), DEFAULT_IFS);
    EXPECT_FALSE(envhasname("IFS"));
    EXPECT_EQ(getiparam("SHLVL"), 4);
    EXPECT_TRUE(inenv("SHLVL=4"));
    EXPECT_TRUE(envhasname("HOME"));
    EXPECT_TRUE(envhasname("PWD"));

    // Exporting a new parameter and changing it updates its entry.
    setsparam("NEWVAR", qtrdup("a"));
    EXPECT_FALSE(envhasname("NEWVAR"));
    export_param(static_cast<Param *>(paramtab->getnode(paramtab, "NEWVAR")));
    EXPECT_TRUE(inenv("NEWVAR=a"));
    setsparam("NEWVAR", qtrdup("b"));
    EXPECT_TRUE(inenv("NEWVAR=b"));
    EXPECT_FALSE(inenv("NEWVAR=a"));
    unsetparam("NEWVAR");
    EXPECT_FALSE(envhasname("NEWVAR"));
    // allexport exports what is created.
    opts[ALLEXPORT] = 1;
    setsparam("AUTOEXP", qtrdup("1"));
    opts[ALLEXPORT] = 0;
    EXPECT_TRUE(inenv("AUTOEXP=1"));
    // A local hides the exported global from children and gives it back.
    startparamscope();
    createparam("AUTOEXP", PF_LOCAL);
    setsparam("AUTOEXP", qtrdup("2"));
    EXPECT_FALSE(inenv("AUTOEXP=1"));
    endparamscope();
    EXPECT_TRUE(inenv("AUTOEXP=1"));
    unsetenv("TARNTEST_IMPORT");
}

TEST_F(Params, ShEmulationKeepsNativeNamesOrdinary)
{
    emulate("sh", 1);
    createparamtable();
    lastval = 5;
    setsparam("status", qtrdup("mine"));
    EXPECT_EQ(str("status"), "mine");
    setsparam("PATH", qtrdup("/bin"));
    setaparam("path", perm({"/x", "/y"}));
    EXPECT_EQ(str("PATH"), "/bin");
    EXPECT_EQ(str("argv"), "<unset>");
    EXPECT_EQ(str("?"), "5");
    emulate("tarn", 1);
    createparamtable();
    EXPECT_EQ(str("status"), "5");
}

TEST_F(Params, Listing)
{
    setaparam("arr", perm({"a b", "c"}));
    createparam("num", PF_INTEGER | PF_EXPORTED);
    setiparam("num", 42);
    Param *a = static_cast<Param *>(paramtab->getnode(paramtab, "arr"));
    Param *n = static_cast<Param *>(paramtab->getnode(paramtab, "num"));
    testing::internal::CaptureStdout();
    printparamnode(a, 0);
    printparamnode(n, SHOW_TYPE);
    printparamnode(n, 0x20);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("arr=("), std::string::npos) << out;
    EXPECT_NE(out.find("integer exported num=42\n"), std::string::npos) << out;
    EXPECT_NE(out.find("typeset -ix num=42\n"), std::string::npos) << out;
}

TEST_F(Params, SubscriptFlagsWithArguments)
{
    setaparam("a", perm({"ax", "b", "ay", "c", "az"}));
    EXPECT_EQ(ref("a[(n:2:i)a*]"), "3");
    EXPECT_EQ(ref("a[(n:-1:i)a*]"), "5");
    EXPECT_EQ(ref("a[(b:2:i)a*]"), "3");
    EXPECT_EQ(ref("a[(b:4:r)a*]"), "az");
    EXPECT_EQ(ref("a[(Ib:4:)a*]"), "3");
    // An unknown flag letter leaves the parenthesis to the expression.
    EXPECT_EQ(ref("a[(2)]"), "b");
    setsparam("w", qtrdup("a:bb:ccc"));
    EXPECT_EQ(ref("w[(ws.:.)2]"), "bb");
    EXPECT_EQ(ref("w[(ws.:.)-1]"), "ccc");
    EXPECT_EQ(ref("w[(ws.:.r)c*]"), "ccc");
    setsparam("s", qtrdup("abcdef"));
    EXPECT_EQ(ref("s[(r)c,(r)e]"), "cde");
    // Index requests with a comma are refused.
    std::string e = errors([] { ref("a[(i)b,2]"); });
    EXPECT_NE(e.find("invalid subscript"), std::string::npos) << e;
}

TEST_F(Params, HashKeyFlags)
{
    sethparam("h", perm({"a*", "star", "b?", "quest", "plain", "p"}));
    EXPECT_EQ(ref("h[(k)abc]"), "star");
    EXPECT_EQ(ref("h[(k)bx]"), "quest");
    EXPECT_EQ(ref("h[(k)zzz]"), "");
    EXPECT_EQ(ref("h[(K)b1]"), "quest");
    EXPECT_EQ(ref("h[(i)p]"), "plain");
    EXPECT_EQ(ref("h[(I)nothing]"), "");
    char *t = dupstring("h");
    Value vbuf;
    EXPECT_EQ(arrvaluelen(getvalue(&vbuf, &t, 1)), 3);
    // The element found by (r) is the element itself: it can be assigned.
    setsparam("h[(r)quest]", qtrdup("Q"));
    EXPECT_EQ(ref("h[b?]"), "Q");
    std::string e = errors([] { sethparam("h[x]", perm({"a", "b"})); });
    EXPECT_NE(e.find("nested associative arrays not yet supported"), std::string::npos) << e;
}

TEST_F(Params, ArraySliceForms)
{
    setaparam("a", perm({"1", "2", "3", "4"}));
    setaparam("a[-1]", perm({"L"}));
    EXPECT_EQ(ref("a"), "1 2 3 L");
    setaparam("a[2,1]", perm({"ins"}));
    EXPECT_EQ(ref("a"), "1 ins 2 3 L");
    setaparam("a[2,3]", perm({}));
    EXPECT_EQ(ref("a"), "1 3 L");
    setsparam("a[(i)3]", qtrdup("three"));
    EXPECT_EQ(ref("a"), "1 three L");
    EXPECT_EQ(ref("a[-2,-1]"), "three L");
    EXPECT_EQ(ref("a[3,2]"), "");
    EXPECT_EQ(ref("a[0]"), "1");
    opts[KSHARRAYS] = 1;
    assignsparam("a", qtrdup("+"), 1);
    EXPECT_EQ(ref("a[0]"), "1+");
    opts[KSHARRAYS] = 0;
    // $@ keeps its elements apart; a positional digit is one element.
    char *t = dupstring("@");
    Value vbuf;
    Value *v = getvalue(&vbuf, &t, 1);
    ASSERT_NE(v, nullptr);
    EXPECT_LT(v->arrmode, 0);
    t = dupstring("12");
    v = getvalue(&vbuf, &t, -1);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(t, "2");
    EXPECT_EQ(std::string(getstrvalue(v)), "one");
    t = dupstring("a[1]");
    EXPECT_EQ(getvalue(&vbuf, &t, 0), nullptr);
}

TEST_F(Params, OutputFormats)
{
    char buf[80];
    EXPECT_STREQ(convbase(buf, -255, 16), "-16#FF");
    EXPECT_STREQ(convbase(buf, 255, -16), "FF");
    EXPECT_STREQ(convbase(buf, INT64_MIN, 10), "-9223372036854775808");
    EXPECT_STREQ(convbase(buf, 8, 8), "8#10");
    opts[CBASES] = opts[OCTALZEROES] = 1;
    EXPECT_STREQ(convbase(buf, 8, 8), "010");
    opts[CBASES] = opts[OCTALZEROES] = 0;
    createparam("l", PF_LEFT)->aux = 4;
    setsparam("l", qtrdup("  ab"));
    EXPECT_EQ(str("l"), "ab  ");
    createparam("z", PF_RIGHT_Z)->aux = 5;
    setsparam("z", qtrdup("-42"));
    EXPECT_EQ(str("z"), "-0042");
    createparam("r", PF_RIGHT_B);
    setsparam("r", qtrdup("abc"));
    EXPECT_EQ(static_cast<Param *>(paramtab->getnode(paramtab, "r"))->aux, 3);
    setsparam("r", qtrdup("abcdef"));
    EXPECT_EQ(str("r"), "def");
    createparam("u", PF_UPPER);
    setsparam("u", qtrdup("MiXed"));
    EXPECT_EQ(str("u"), "MIXED");
    // Numbers stored in a scalar follow the output radix of the expression.
    EXPECT_EQ(mathevali("[#16] sc = 255"), 255);
    EXPECT_EQ(str("sc"), "16#FF");
    setsparam("sf", qtrdup(""));
    setnparam("sf", mnfloat(0.25));
    EXPECT_EQ(str("sf"), "0.25");
    createparam("fl", PF_EFLOAT);
    setnparam("fl", mnint(2));
    EXPECT_EQ(getnparam("fl").type, MN_FLOAT);
}

TEST_F(Params, ListingFormsOfEachType)
{
    sethparam("h", perm({"k", "v"}));
    Param *pm = createparam("hid", PF_HIDEVAL);
    setsparam("hid", qtrdup("secret"));
    setaparam("arr", perm({"x"}));
    testing::internal::CaptureStdout();
    printparamnode(paramtab->getnode(paramtab, "h"), 0);
    printparamnode(pm, 0);
    printparamnode(pm, SHOW_INCLUDEVALUE);
    printparamnode(paramtab->getnode(paramtab, "arr"), 0x20);
    printparamnode(paramtab->getnode(paramtab, "arr"), SHOW_NAMEONLY);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("h=(k v )\n"), std::string::npos) << out;
    EXPECT_NE(out.find("hid\nhid=secret\n"), std::string::npos) << out;
    EXPECT_NE(out.find("typeset -a arr\narr=(x)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\narr\n"), std::string::npos) << out;
}

TEST_F(Params, LocalsAndSpecialsAtScopeEnd)
{
    setiparam("SECONDS", 50);
    startparamscope();
    Param *sec = static_cast<Param *>(paramtab->getnode(paramtab, "SECONDS"));
    localspecial(sec);
    EXPECT_EQ(setsecondstype(sec, PF_FFLOAT, PF_INTEGER), 0);
    setnparam("SECONDS", mnfloat(1000.5));
    EXPECT_GE(getnparam("SECONDS").u.d, 1000.5);
    Param *ro = createparam("rolocal", PF_LOCAL | PF_READONLY);
    ASSERT_NE(ro, nullptr);
    endparamscope();
    // The type and the clock come back; a read-only local goes anyway.
    mnumber n = getnparam("SECONDS");
    EXPECT_EQ(n.type, MN_INTEGER);
    EXPECT_GE(n.u.l, 50);
    EXPECT_LT(n.u.l, 52);
    EXPECT_EQ(paramtab->getnode(paramtab, "rolocal"), nullptr);
    // Unsetting a tied scalar unsets its array partner.
    unsetparam("PATH");
    EXPECT_EQ(str("path"), "<unset>");
    setsparam("PATH", qtrdup("/bin"));
    EXPECT_EQ(ref("path"), "/bin");
}

TEST_F(Params, NamedDirectoriesAndTables)
{
    createnameddirtable();
    opts[INTERACTIVE] = 1;
    opts[AUTONAMEDIRS] = 1;
    setsparam("proj", qtrdup("/tmp"));
    opts[AUTONAMEDIRS] = 0;
    NamedDir *nd = static_cast<NamedDir *>(nameddirtab->getnode(nameddirtab, "proj"));
    ASSERT_NE(nd, nullptr);
    EXPECT_STREQ(nd->dir, "/tmp");
    // A parameter that already names a directory keeps it up to date.
    setsparam("proj", qtrdup("/usr"));
    nd = static_cast<NamedDir *>(nameddirtab->getnode(nameddirtab, "proj"));
    ASSERT_NE(nd, nullptr);
    EXPECT_STREQ(nd->dir, "/usr");
    opts[INTERACTIVE] = 0;

    sethparam("h", perm({"a", "1", "b", "2"}));
    Param *h = static_cast<Param *>(paramtab->getnode(paramtab, "h"));
    HashTable *copy = copyparamtable(h->value.hash, "copy");
    setsparam("h[a]", qtrdup("changed"));
    Param *ca = static_cast<Param *>(copy->getnode(copy, "a"));
    ASSERT_NE(ca, nullptr);
    EXPECT_STREQ(ca->value.str, "1");
    deleteparamtable(copy);
    // An autoload stub whose module cannot be loaded warns and is dropped.
    Param *stub = createparam("autop", PF_AUTOLOAD);
    stub->value.str = qtrdup("tarn/nosuch");
    (void)errors([] { EXPECT_EQ(str("autop"), "<unset>"); });
    EXPECT_FALSE(stub->flags & PF_AUTOLOAD);
}

TEST_F(Params, LocaleAndTerminal)
{
    setsparam("LC_ALL", qtrdup("C"));
    EXPECT_STREQ(setlocale(LC_ALL, nullptr), "C");
    setsparam("LC_NUMERIC", qtrdup("POSIX"));
    unsetparam("LC_ALL");
    EXPECT_EQ(str("LC_ALL"), "<unset>");
    termflags = 0;
    setsparam("TERM", qtrdup("dumb"));
    EXPECT_TRUE(termflags & TERM_UNKNOWN);
    EXPECT_EQ(str("TERM"), "dumb");
    // The user's name, looked up when first read.
    struct passwd *pw = getpwuid(getuid());
    EXPECT_EQ(str("USERNAME"), std::string(pw ? pw->pw_name : ""));
    EXPECT_EQ(getiparam("UID"), int64_t(getuid()));
    EXPECT_EQ(getiparam("EUID"), int64_t(geteuid()));
    EXPECT_EQ(str("TARN_VERSION"), TARN_VERSION);
    char **sig = getaparam("signals");
    ASSERT_NE(sig, nullptr);
    EXPECT_STREQ(sig[0], "EXIT");
    EXPECT_STREQ(sig[2], "INT");
}

TEST_F(Params, IdentifiersAndArithmeticSubscripts)
{
    EXPECT_TRUE(isident("abc_1"));
    EXPECT_TRUE(isident("123"));
    EXPECT_TRUE(isident("a[1]"));
    EXPECT_TRUE(isident("a[b[1]]"));
    EXPECT_FALSE(isident("a[1]x"));
    EXPECT_FALSE(isident("a[1"));
    EXPECT_FALSE(isident("1a"));
    EXPECT_FALSE(isident(""));
    setaparam("a", perm({"p", "q", "r"}));
    setiparam("i", 2);
    EXPECT_EQ(ref("a[i]"), "q");
    EXPECT_EQ(ref("a[i+1]"), "r");
    EXPECT_EQ(ref("a[i-1,i]"), "p q");
    setsparam("a[i*1]", qtrdup("Q"));
    EXPECT_EQ(ref("a"), "p Q r");
}

TEST_F(Params, AugmentedSubscriptAssignments)
{
    setsparam("s", qtrdup("abc"));
    assignsparam("s[2]", qtrdup("X"), 1);
    EXPECT_EQ(str("s"), "abXc");
    setsparam("s[10]", qtrdup("!"));
    EXPECT_EQ(str("s"), "abXc!");
    setsparam("s[1,2]", qtrdup(""));
    EXPECT_EQ(str("s"), "Xc!");
    setaparam("a", perm({"x", "y"}));
    assignsparam("a[1]", qtrdup("1"), 1);
    EXPECT_EQ(ref("a"), "x1 y");
    assignaparam("a[1]", perm({"n"}), 1);
    EXPECT_EQ(ref("a"), "x1 n y");
    assignaparam("a[-1]", perm({"end"}), 1);
    EXPECT_EQ(ref("a"), "x1 n y end");
    // A number stored into an element is its text.
    char *t = dupstring("a[2]");
    Value vbuf;
    setnumvalue(getvalue(&vbuf, &t, 1), mnint(42));
    EXPECT_EQ(ref("a[2]"), "42");
    std::string e = errors([] { setaparam("s", perm({"z"})); });
    EXPECT_EQ(ref("s"), "z");  // an ordinary scalar becomes an array
    createparam("sp", PF_INTEGER);
    errflag = 0;
    e = errors([] {
        char *t = dupstring("sp");
        Value vbuf;
        setarrvalue(getvalue(&vbuf, &t, 1), perm({"1"}));
    });
    EXPECT_NE(e.find("sp: attempt to assign array value to non-array"), std::string::npos) << e;
}

TEST_F(Params, ExportsOfTiedAndNumericParameters)
{
    Param *mp = static_cast<Param *>(paramtab->getnode(paramtab, "MANPATH"));
    ASSERT_NE(mp, nullptr);
    export_param(mp);
    setaparam("manpath", perm({"/m1", "/m2"}));
    EXPECT_TRUE(inenv("MANPATH=/m1:/m2"));
    unsetparam("MANPATH");
    EXPECT_FALSE(envhasname("MANPATH"));
    createparam("fx", PF_FFLOAT | PF_EXPORTED)->aux = 1;
    setnparam("fx", mnfloat(2.25));
    EXPECT_TRUE(inenv("fx=2.2") || inenv("fx=2.3"));
    Param *lo = createparam("lo", PF_LOWER | PF_EXPORTED);
    ASSERT_NE(lo, nullptr);
    setsparam("lo", qtrdup("MiXed"));
    EXPECT_TRUE(inenv("lo=mixed"));
    // Arrays are never placed in the environment.
    createparam("ax", PF_ARRAY | PF_EXPORTED);
    setaparam("ax", perm({"1"}));
    EXPECT_FALSE(envhasname("ax"));
    // What a special exports is its current value.
    setiparam("OPTIND", 9);
    export_param(static_cast<Param *>(paramtab->getnode(paramtab, "OPTIND")));
    EXPECT_TRUE(inenv("OPTIND=9"));
    EXPECT_STREQ(qgetenv("OPTIND"), "9");
}

HashNode *countnode(HashTable *, const char *name)
{
    Param *pm = hcnew<Param>();
    pm->nam = dupstring(name);
    pm->flags = PF_SCALAR;
    setaccessors(pm);
    pm->value.str = dupstring(name);
    return pm;
}
void countscan(HashTable *, ScanFunc fn, int flags)
{
    for (const char *k : {"k1", "k2"})
        fn(countnode(nullptr, k), flags);
}

TEST_F(Params, ModuleHashes)
{
    Param *pm = createspecialhash("modhash", countnode, countscan, 0);
    ASSERT_NE(pm, nullptr);
    EXPECT_EQ(ref("modhash[anything]"), "anything");
    char **keys = gethkparam("modhash");
    ASSERT_NE(keys, nullptr);
    EXPECT_EQ(arrlen(keys), 2);
    EXPECT_STREQ(keys[1], "k2");
}

}  // namespace
