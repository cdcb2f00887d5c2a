// execbuiltin's option parsing, every flag rule and argument form, seen
// through a handler that records what it was given; enable and disable.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "builtins/builtins.h"
#include "modules/module.h"

namespace {

using Words = std::vector<std::string>;

// What the handler got: the options as "a b+ f=x" (+ for a plus sign, =
// for the option's argument) and the remaining words.
std::string gotopts;
Words gotargv;
bool called;

int recorder(char *, char **argv, BuiltinOptions *ops, int)
{
    called = true;
    for (int c = 1; c < MAX_OPS; c++) {
        if (!ops->ind[c])
            continue;
        if (!gotopts.empty())
            gotopts += ' ';
        gotopts += char(c);
        if (ops->ind[c] & 2)
            gotopts += '+';
        if (opt_hasarg(ops, c))
            gotopts += std::string("=") + opt_arg(ops, c);
    }
    for (char **a = argv; *a; a++)
        gotargv.push_back(*a);
    return 42;
}

class Builtins : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!builtintab)
            createbuiltintable();
    }
    void SetUp() override
    {
        errflag = 0;
        opts[SHINSTDIN] = 1;  // messages read "name: text"
        opts[XTRACE] = 0;
    }
    // Run b (its handler replaced by the recorder) on words; stderr to *err.
    int run(Builtin b, const Words &words, std::string *err)
    {
        gotopts.clear();
        gotargv.clear();
        called = false;
        if (b.handler)
            b.handler = recorder;
        LinkList *l = newlinklist();
        addlinknode(l, dupstring(b.nam));
        for (const std::string &w : words)
            addlinknode(l, dupstring(w.c_str()));
        testing::internal::CaptureStderr();
        int r = execbuiltin(l, &b);
        *err = testing::internal::GetCapturedStderr();
        return r;
    }
    static Builtin core(const char *name) { return *static_cast<Builtin *>(builtintab->getnode2(builtintab, name)); }
};

Builtin fake(const char *optstr, int flags = 0, const char *defs = nullptr, int min = 0, int max = -1)
{
    return mkbuiltin("fake", flags, recorder, min, max, 0, optstr, defs);
}

struct Case {
    const char *what;
    Builtin b;
    Words words;
    int status;
    const char *opts;
    Words argv;
    const char *err;
};

TEST_F(Builtins, OptionParsing)
{
    Words many;
    for (int i = 0; i < 63; i++)
        many.insert(many.end(), {"-f", std::to_string(i)});
    Words toomany = many;
    toomany.push_back("-fx");

    const Case cases[] = {
        {"letters", fake("abc"), {"-ab", "-c", "x", "-a"}, 42, "a b c", {"x", "-a"}, ""},
        {"no letters", fake(nullptr), {"-a"}, 42, "", {"-a"}, ""},
        {"plus is a word", fake("a"), {"+a"}, 42, "", {"+a"}, ""},
        {"plusopts", fake("ab", BI_PLUSOPTS), {"+a", "-b", "y"}, 42, "a+ b", {"y"}, ""},
        {"digit ends", fake("a9"), {"-9", "-a"}, 42, "", {"-9", "-a"}, ""},
        {"keepnum", fake("a9", BI_KEEPNUM), {"-9", "-a", "z"}, 42, "9 a", {"z"}, ""},
        {"lone dash", fake("a"), {"-", "-a"}, 42, "-", {"-a"}, ""},
        {"dashdash", fake("a"), {"-a", "--", "-a"}, 42, "- a", {"-a"}, ""},
        {"plus dash", fake("a", BI_PLUSOPTS), {"+-", "x"}, 42, "+ -", {"x"}, ""},
        {"skipdash", fake("a", BI_SKIPDASH), {"-a", "-"}, 42, "a", {"-"}, ""},
        {"dashdashvalid", fake("a", BI_DASHDASHVALID), {"--", "-a"}, 42, "", {"-a"}, ""},
        {"bad option", fake("ab"), {"-ax"}, 1, "", {}, "tarn: bad option: -x\n"},
        {"bad metafied", fake("a"), {"-\x83\xa3"}, 1, "", {}, "tarn: bad option: -\\M-^C\n"},
        {"colon is no letter", fake("f:"), {"-:"}, 1, "", {}, "tarn: bad option: -:\n"},
        {"skipinvalid", fake("ab", BI_SKIPINVALID), {"-b", "-ax", "-a"}, 42, "b", {"-ax", "-a"}, ""},
        {"arg next word", fake("f:a"), {"-f", "-a", "r"}, 42, "f=-a", {"r"}, ""},
        {"arg attached", fake("f:a"), {"-affile", "r"}, 42, "a f=file", {"r"}, ""},
        {"arg missing", fake("f:"), {"-f"}, 1, "", {}, "fake: argument expected: -f\n"},
        {"attached only", fake("c::a"), {"-cval", "w"}, 42, "c=val", {"w"}, ""},
        {"attached only, none", fake("c::a"), {"-c", "w"}, 42, "c", {"w"}, ""},
        {"numeric none", core("read"), {"-t"}, 42, "t", {}, ""},
        {"numeric next", core("read"), {"-t", "5", "v"}, 42, "t=5", {"v"}, ""},
        {"numeric attached", core("read"), {"-t7r", "v"}, 42, "t=7r", {"v"}, ""},
        {"numeric not a digit", core("read"), {"-tr", "x"}, 42, "r t", {"x"}, ""},
        {"numeric, letters follow", core("read"), {"-tr", "5"}, 42, "r t", {"5"}, ""},
        {"63 arguments", fake("f:"), many, 42, "f=62", {}, ""},
        {"64 arguments", fake("f:"), toomany, 1, "", {}, "fake: too many option arguments\n"},
        {"print after R", core("print"), {"-R", "-n", "-x", "foo"}, 42, "R n", {"-x", "foo"}, ""},
        {"print R then l", core("print"), {"-Rl", "-l"}, 42, "R l", {"-l"}, ""},
        {"print Rf", core("print"), {"-Rf", "%s", "-x"}, 1, "", {}, "tarn: bad option: -x\n"},
        {"defaults", core("type"), {"foo"}, 42, "v", {"foo"}, ""},
        {"user wins", fake("vx", BI_PLUSOPTS, "vx"), {"+v"}, 42, "v+ x", {}, ""},
        {"echo -", core("echo"), {"-"}, 42, "-", {}, ""},
        {"echo --", core("echo"), {"--"}, 42, "-", {"--"}, ""},
        {"echo letters", core("echo"), {"-nE", "-e", "-q"}, 42, "- E e n", {"-q"}, ""},
        {"cd -", core("cd"), {"-"}, 42, "", {"-"}, ""},
        {"cd --", core("cd"), {"--", "dir"}, 42, "", {"dir"}, ""},
        {"kill -9", core("kill"), {"-9", "1"}, 42, "", {"-9", "1"}, ""},
        {"too many", core("pwd"), {"x"}, 1, "", {}, "pwd: too many arguments\n"},
        {"not enough", core("emulate"), {"-R"}, 1, "", {}, "emulate: not enough arguments\n"},
        {"within limits", fake("a", 0, nullptr, 1, 2), {"-a", "x", "y"}, 42, "a", {"x", "y"}, ""},
    };
    for (const Case &c : cases) {
        std::string err;
        EXPECT_EQ(run(c.b, c.words, &err), c.status) << c.what;
        EXPECT_EQ(err, c.err) << c.what;
        if (c.status == 42) {
            EXPECT_EQ(gotopts, c.opts) << c.what;
            EXPECT_EQ(gotargv, c.argv) << c.what;
        }
    }
}

TEST_F(Builtins, HandlersOfLaterWorkSaySo)
{
    BuiltinOptions ops{};
    char *argv[] = {nullptr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(bin_notyet(dupstring("ttyctl"), argv, &ops, 0), 1);
    EXPECT_EQ(bin_notavail(dupstring("foo"), argv, &ops, 0), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ttyctl: not available yet\nfoo: not available on this system\n");
}

TEST_F(Builtins, PendingErrorFailsBeforeTheHandler)
{
    std::string err;
    errflag = 1;
    EXPECT_EQ(run(fake("a"), {"x"}, &err), 1);
    EXPECT_FALSE(called);
    EXPECT_EQ(errflag, 0);
}

TEST_F(Builtins, StubWhoseModuleFailsIsReportedAndDeleted)
{
    ASSERT_EQ(add_autobin("nosuchstub", "no/such/module"), 0);
    testing::internal::CaptureStderr();
    Builtin *bn = getbuiltin("nosuchstub");
    ASSERT_NE(bn, nullptr);  // left for execbuiltin to report
    LinkList *l = newlinklist();
    addlinknode(l, dupstring("nosuchstub"));
    EXPECT_EQ(execbuiltin(l, bn), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tarn: failed to load module: no/such/module\nnosuchstub: autoload failed\n");
    EXPECT_EQ(builtintab->getnode2(builtintab, "nosuchstub"), nullptr);
}

TEST_F(Builtins, OnlyModifiersLackAHandler)
{
    EXPECT_EQ(corebuiltincount, 77);
    scanhashtable(
        builtintab, 0, 0, 0,
        [](HashNode *hn, int) {
            Builtin *b = static_cast<Builtin *>(hn);
            EXPECT_EQ(b->handler == nullptr, bool(b->flags & BI_PRECMD)) << b->nam;
            EXPECT_TRUE(b->flags & BI_ADDED) << b->nam;
        },
        0);
}

TEST_F(Builtins, TraceShowsTheWordsAsTyped)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *saved = xtrerr;
    xtrerr = open_memstream(&buf, &len);
    std::string err;
    opts[XTRACE] = 1;
    EXPECT_EQ(run(fake("a"), {"-a", "x y", "z"}, &err), 42);
    opts[XTRACE] = 0;
    EXPECT_EQ(run(fake("a"), {"quiet"}, &err), 42);
    fclose(xtrerr);
    xtrerr = saved;
    std::string out(buf, len);
    free(buf);
    // Whatever PS4 expands to comes first.
    const std::string want = "fake -a 'x y' z\n";
    ASSERT_GE(out.size(), want.size());
    EXPECT_EQ(out.substr(out.size() - want.size()), want);
}

int enable(int func, const char *letters, Words w, std::string *out, std::string *err)
{
    std::vector<char *> argv;
    for (const std::string &s : w)
        argv.push_back(dupstring(s.c_str()));
    argv.push_back(nullptr);
    BuiltinOptions ops{};
    for (const char *p = letters; *p; p++)
        ops.ind[static_cast<unsigned char>(*p)] = 1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int r = bin_enable(dupstring(func == BIN_ENABLE ? "enable" : "disable"), argv.data(), &ops, func);
    fflush(stdout);
    *out = testing::internal::GetCapturedStdout();
    *err = testing::internal::GetCapturedStderr();
    return r;
}

TEST_F(Builtins, EnableAndDisable)
{
    std::string out, err;
    auto enabled = [](HashTable *ht, const char *n) { return ht->getnode(ht, n) != nullptr; };
    EXPECT_EQ(enable(BIN_DISABLE, "", {"true", "false"}, &out, &err), 0);
    EXPECT_FALSE(enabled(builtintab, "true"));
    EXPECT_NE(builtintab->getnode2(builtintab, "true"), nullptr);
    EXPECT_EQ(enable(BIN_DISABLE, "", {}, &out, &err), 0);
    EXPECT_EQ(out, "false\ntrue\n");
    EXPECT_EQ(enable(BIN_ENABLE, "", {"true", "nosuch"}, &out, &err), 1);
    EXPECT_EQ(err, "enable: no such hash table element: nosuch\n");
    EXPECT_TRUE(enabled(builtintab, "true"));
    EXPECT_EQ(enable(BIN_ENABLE, "", {}, &out, &err), 0);
    EXPECT_EQ(out.find("false\n"), std::string::npos);
    EXPECT_NE(out.find("\ntrue\n"), std::string::npos);
    EXPECT_EQ(enable(BIN_ENABLE, "", {"false"}, &out, &err), 0);

    EXPECT_EQ(enable(BIN_DISABLE, "m", {"un*"}, &out, &err), 0);
    EXPECT_FALSE(enabled(builtintab, "unset") || enabled(builtintab, "unhash"));
    EXPECT_TRUE(enabled(builtintab, "umask"));
    EXPECT_EQ(enable(BIN_ENABLE, "m", {"un*"}, &out, &err), 0);
    EXPECT_TRUE(enabled(builtintab, "unset"));
    EXPECT_EQ(enable(BIN_ENABLE, "m", {"zzz*"}, &out, &err), 1);

    // Reserved words have their own table.
    createreswdtable();
    EXPECT_EQ(enable(BIN_DISABLE, "r", {"if"}, &out, &err), 0);
    EXPECT_FALSE(enabled(reswdtab, "if"));
    EXPECT_EQ(enable(BIN_ENABLE, "r", {"if"}, &out, &err), 0);
    EXPECT_TRUE(enabled(reswdtab, "if"));
}

}  // namespace
