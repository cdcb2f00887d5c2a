// The builtin table and execbuiltin's option parsing: every flag rule and
// argument form, seen through a handler that records what it was given.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "builtins/builtins.h"
#include "modules/module.h"

namespace {

struct Seen {
    bool called = false;
    std::string name;
    std::vector<std::string> argv;
    unsigned char ind[MAX_OPS] = {};
    std::vector<std::string> args;
    int func = -1;
};
Seen seen;

int recorder(char *nam, char **argv, BuiltinOptions *ops, int func)
{
    seen.called = true;
    seen.name = nam;
    for (char **a = argv; *a; a++)
        seen.argv.push_back(*a);
    memcpy(seen.ind, ops->ind, sizeof(seen.ind));
    for (int i = 0; i < ops->argscount; i++)
        seen.args.push_back(ops->args[i]);
    seen.func = func;
    return 42;
}

using Words = std::vector<std::string>;

class Builtins : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!builtintab)
            createbuiltintable();
    }
    void SetUp() override
    {
        seen = Seen();
        errflag = 0;
        opts[SHINSTDIN] = 1;  // messages read "name: text"
        opts[XTRACE] = 0;
    }

    static Builtin fake(const char *optstr, int flags = 0, const char *defs = nullptr, int min = 0, int max = -1)
    {
        return mkbuiltin("fake", flags, recorder, min, max, 7, optstr, defs);
    }
    // A core entry with its handler replaced by the recorder.
    static Builtin core(const char *name)
    {
        Builtin *bn = static_cast<Builtin *>(builtintab->getnode2(builtintab, name));
        EXPECT_NE(bn, nullptr) << name;
        Builtin b = *bn;
        b.handler = recorder;
        return b;
    }

    int run(Builtin b, const Words &words, std::string *err = nullptr)
    {
        LinkList *l = newlinklist();
        addlinknode(l, dupstring(b.nam));
        for (const std::string &w : words)
            addlinknode(l, dupstring(w.c_str()));
        testing::internal::CaptureStderr();
        int r = execbuiltin(l, &b);
        std::string e = testing::internal::GetCapturedStderr();
        if (err)
            *err = e;
        else
            EXPECT_EQ(e, "");
        return r;
    }
    static std::string argof(int c)
    {
        int i = seen.ind[c] >> 2;
        return i ? seen.args.at(size_t(i - 1)) : std::string("<none>");
    }
};

TEST_F(Builtins, TableHasTheCoreEntries)
{
    EXPECT_EQ(corebuiltincount, 77);
    EXPECT_EQ(builtintab->ct >= 77, true);
    for (const char *n : {"-", "[", ".", ":", "echo", "qmodload", "qcompile", "unsetopt", "where"}) {
        Builtin *bn = static_cast<Builtin *>(builtintab->getnode(builtintab, n));
        ASSERT_NE(bn, nullptr) << n;
        EXPECT_TRUE(bn->flags & BI_ADDED) << n;
    }
    Builtin *cd = static_cast<Builtin *>(builtintab->getnode(builtintab, "cd"));
    EXPECT_EQ(cd->flags & ~(BI_ADDED | NODE_DISABLED), BI_SKIPINVALID | BI_SKIPDASH | BI_DASHDASHVALID);
    EXPECT_EQ(cd->maxargs, 2);
    EXPECT_EQ(cd->function_code, BIN_CD);
    Builtin *ex = static_cast<Builtin *>(builtintab->getnode(builtintab, "exec"));
    EXPECT_EQ(ex->handler, nullptr);
    EXPECT_EQ(ex->flags & ~BI_ADDED, BI_PRECMD | BI_EXEC);
    // Only the modifiers lack a handler: any other entry without one would
    // be taken for an autoload stub.
    scanhashtable(
        builtintab, 0, 0, 0,
        [](HashNode *hn, int) {
            Builtin *b = static_cast<Builtin *>(hn);
            EXPECT_EQ(b->handler == nullptr, bool(b->flags & BI_PRECMD)) << b->nam;
        },
        0);
    Builtin *uo = static_cast<Builtin *>(builtintab->getnode(builtintab, "unsetopt"));
    EXPECT_EQ(uo->handler, bin_setopt);
    EXPECT_EQ(uo->function_code, 1);
}

TEST_F(Builtins, PrintFormats)
{
    HashNode *hn = builtintab->getnode(builtintab, "true");
    testing::internal::CaptureStdout();
    builtintab->printnode(hn, SHOW_WHENCE_WORD);
    builtintab->printnode(hn, SHOW_WHENCE_CSH);
    builtintab->printnode(hn, SHOW_WHENCE_VERBOSE);
    builtintab->printnode(hn, 0);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "true: builtin\ntrue: shell built-in command\ntrue is a shell builtin\ntrue\n");
}

TEST_F(Builtins, LettersWithMinusAndPlus)
{
    EXPECT_EQ(run(fake("abc"), {"-ab", "-c", "x", "-a"}), 42);
    EXPECT_EQ(seen.ind['a'], 1);
    EXPECT_EQ(seen.ind['b'], 1);
    EXPECT_EQ(seen.ind['c'], 1);
    EXPECT_EQ(seen.argv, (Words{"x", "-a"}));
    EXPECT_EQ(seen.name, "fake");
    EXPECT_EQ(seen.func, 7);
    // "+" is an argument unless the builtin takes plus options.
    seen = Seen();
    EXPECT_EQ(run(fake("abc"), {"+a"}), 42);
    EXPECT_EQ(seen.argv, (Words{"+a"}));
    seen = Seen();
    EXPECT_EQ(run(fake("abc", BI_PLUSOPTS), {"+a", "-b", "+c", "y"}), 42);
    EXPECT_EQ(seen.ind['a'], 2);
    EXPECT_EQ(seen.ind['b'], 1);
    EXPECT_EQ(seen.ind['c'], 2);
    EXPECT_EQ(seen.argv, (Words{"y"}));
    // No option letters: every word is an argument.
    seen = Seen();
    EXPECT_EQ(run(fake(nullptr), {"-a"}), 42);
    EXPECT_EQ(seen.argv, (Words{"-a"}));
}

TEST_F(Builtins, DigitAfterSignIsAnArgumentUnlessKeepnum)
{
    EXPECT_EQ(run(fake("a9"), {"-9", "-a"}), 42);
    EXPECT_EQ(seen.ind['9'], 0);
    EXPECT_EQ(seen.argv, (Words{"-9", "-a"}));
    seen = Seen();
    EXPECT_EQ(run(fake("a9", BI_KEEPNUM), {"-9", "-a", "z"}), 42);
    EXPECT_EQ(seen.ind['9'], 1);
    EXPECT_EQ(seen.argv, (Words{"z"}));
}

TEST_F(Builtins, LoneDashAndDoubleDash)
{
    // A lone "-" ends the options and is consumed...
    EXPECT_EQ(run(fake("a"), {"-", "-a"}), 42);
    EXPECT_EQ(seen.ind['-'], 1);
    EXPECT_EQ(seen.ind['a'], 0);
    EXPECT_EQ(seen.argv, (Words{"-a"}));
    // ... and so does "--", the sign and one dash being skipped.
    seen = Seen();
    EXPECT_EQ(run(fake("a"), {"-a", "--", "-a"}), 42);
    EXPECT_EQ(seen.ind['-'], 1);
    EXPECT_EQ(seen.argv, (Words{"-a"}));
    seen = Seen();
    EXPECT_EQ(run(fake("a", BI_PLUSOPTS), {"+-", "x"}), 42);
    EXPECT_EQ(seen.ind['-'], 1);
    EXPECT_EQ(seen.ind['+'], 1);
    // Skipdash keeps a lone "-" as the first argument.
    seen = Seen();
    EXPECT_EQ(run(fake("a", BI_SKIPDASH), {"-a", "-"}), 42);
    EXPECT_EQ(seen.ind['-'], 0);
    EXPECT_EQ(seen.argv, (Words{"-"}));
    // Dashdashvalid drops "--" without marking it.
    seen = Seen();
    EXPECT_EQ(run(fake("a", BI_DASHDASHVALID), {"--", "-a"}), 42);
    EXPECT_EQ(seen.ind['-'], 0);
    EXPECT_EQ(seen.ind['a'], 0);
    EXPECT_EQ(seen.argv, (Words{"-a"}));
}

TEST_F(Builtins, SkipinvalidMakesUnknownWordsArguments)
{
    std::string err;
    EXPECT_EQ(run(fake("ab"), {"-ax"}, &err), 1);
    EXPECT_EQ(err, "tarn: bad option: -x\n");
    EXPECT_FALSE(seen.called);
    EXPECT_EQ(run(fake("ab", BI_SKIPINVALID), {"-b", "-ax", "-a"}), 42);
    EXPECT_EQ(seen.ind['a'], 0);
    EXPECT_EQ(seen.ind['b'], 1);
    EXPECT_EQ(seen.argv, (Words{"-ax", "-a"}));
}

TEST_F(Builtins, BadOptionReportsTheUnmetafiedByte)
{
    std::string err;
    EXPECT_EQ(run(fake("a"), {std::string("-a\x83\xa3", 4)}, &err), 1);
    EXPECT_EQ(err, "tarn: bad option: -\\M-^C\n");
}

TEST_F(Builtins, RequiredArgument)
{
    EXPECT_EQ(run(fake("f:a"), {"-f", "file", "-affile2", "rest"}), 42);
    EXPECT_EQ(seen.ind['a'], 1);
    EXPECT_EQ(seen.ind['f'] & 3, 1);
    EXPECT_EQ(argof('f'), "file2");  // the later one wins the index
    EXPECT_EQ(seen.args, (Words{"file", "file2"}));
    EXPECT_EQ(seen.argv, (Words{"rest"}));
    std::string err;
    EXPECT_EQ(run(fake("f:"), {"-f"}, &err), 1);
    EXPECT_EQ(err, "fake: argument expected: -f\n");
    // A next word starting with "-" is still the argument.
    seen = Seen();
    EXPECT_EQ(run(fake("f:a"), {"-f", "-a"}), 42);
    EXPECT_EQ(argof('f'), "-a");
    EXPECT_EQ(seen.ind['a'], 0);
}

TEST_F(Builtins, AttachedOnlyArgument)
{
    EXPECT_EQ(run(fake("c::a"), {"-cval", "word"}), 42);
    EXPECT_EQ(argof('c'), "val");
    EXPECT_EQ(seen.argv, (Words{"word"}));
    seen = Seen();
    EXPECT_EQ(run(fake("c::a"), {"-c", "word"}), 42);
    EXPECT_EQ(seen.ind['c'], 1);
    EXPECT_EQ(seen.argv, (Words{"word"}));
    seen = Seen();
    EXPECT_EQ(run(fake("c::a"), {"-ca"}), 42);
    EXPECT_EQ(argof('c'), "a");
    EXPECT_EQ(seen.ind['a'], 0);
}

TEST_F(Builtins, OptionalNumericArgument)
{
    Builtin read = core("read");
    EXPECT_EQ(run(read, {"-t"}), 42);
    EXPECT_TRUE(seen.ind['t']);
    EXPECT_EQ(argof('t'), "<none>");
    seen = Seen();
    EXPECT_EQ(run(read, {"-t", "5", "var"}), 42);
    EXPECT_EQ(argof('t'), "5");
    EXPECT_EQ(seen.argv, (Words{"var"}));
    seen = Seen();
    EXPECT_EQ(run(read, {"-t7r", "var"}), 42);
    EXPECT_EQ(argof('t'), "7r");
    EXPECT_EQ(seen.ind['r'], 0);
    seen = Seen();
    EXPECT_EQ(run(read, {"-tr", "var"}), 42);
    EXPECT_EQ(argof('t'), "<none>");
    EXPECT_EQ(seen.ind['r'], 1);
    seen = Seen();
    EXPECT_EQ(run(read, {"-t", "x"}), 42);
    EXPECT_EQ(argof('t'), "<none>");
    EXPECT_EQ(seen.argv, (Words{"x"}));
}

TEST_F(Builtins, SixtyThreeOptionArgumentsAtMost)
{
    Words w;
    for (int i = 0; i < 63; i++) {
        w.push_back("-f");
        w.push_back(std::string("a").append(std::to_string(i)));
    }
    EXPECT_EQ(run(fake("f:"), w), 42);
    ASSERT_EQ(seen.args.size(), 63u);
    EXPECT_EQ(seen.args[40], "a40");
    EXPECT_EQ(seen.ind['f'] >> 2, 63);
    w.push_back("-fone_more");
    std::string err;
    seen = Seen();
    EXPECT_EQ(run(fake("f:"), w, &err), 1);
    EXPECT_EQ(err, "fake: too many option arguments\n");
    EXPECT_FALSE(seen.called);
}

TEST_F(Builtins, PrintSwitchesToEchoLettersAfterR)
{
    Builtin print = core("print");
    EXPECT_EQ(run(print, {"-R", "-n", "-x", "foo"}), 42);
    EXPECT_TRUE(seen.ind['R']);
    EXPECT_TRUE(seen.ind['n']);
    EXPECT_EQ(seen.argv, (Words{"-x", "foo"}));
    // With f given, R does not switch.
    seen = Seen();
    std::string err;
    EXPECT_EQ(run(print, {"-Rf", "%s", "-x"}, &err), 1);
    EXPECT_EQ(err, "tarn: bad option: -x\n");
    // The switch happens after the word with R: its own letters count.
    seen = Seen();
    EXPECT_EQ(run(print, {"-Rl", "-l"}), 42);
    EXPECT_TRUE(seen.ind['l']);
    EXPECT_EQ(seen.argv, (Words{"-l"}));
}

TEST_F(Builtins, DefaultOptionsFillWhatTheUserLeft)
{
    Builtin type = core("type");
    EXPECT_EQ(run(type, {"foo"}), 42);
    EXPECT_EQ(seen.ind['v'], 1);
    Builtin b = fake("vx", BI_PLUSOPTS, "vx");
    seen = Seen();
    EXPECT_EQ(run(b, {"+v"}), 42);
    EXPECT_EQ(seen.ind['v'], 2);
    EXPECT_EQ(seen.ind['x'], 1);
}

TEST_F(Builtins, EchoCdAndKillWords)
{
    Builtin echo = core("echo");
    EXPECT_EQ(run(echo, {"-"}), 42);
    EXPECT_TRUE(seen.argv.empty());
    seen = Seen();
    EXPECT_EQ(run(echo, {"--"}), 42);
    EXPECT_EQ(seen.argv, (Words{"--"}));
    seen = Seen();
    EXPECT_EQ(run(echo, {"-nE", "-e", "-q"}), 42);
    EXPECT_TRUE(seen.ind['n'] && seen.ind['E'] && seen.ind['e']);
    EXPECT_EQ(seen.argv, (Words{"-q"}));
    Builtin cd = core("cd");
    seen = Seen();
    EXPECT_EQ(run(cd, {"-"}), 42);
    EXPECT_EQ(seen.argv, (Words{"-"}));
    seen = Seen();
    EXPECT_EQ(run(cd, {"--", "dir"}), 42);
    EXPECT_EQ(seen.argv, (Words{"dir"}));
    seen = Seen();
    EXPECT_EQ(run(cd, {"-P", "-x"}), 42);
    EXPECT_EQ(seen.argv, (Words{"-x"}));
    Builtin kill = core("kill");
    seen = Seen();
    EXPECT_EQ(run(kill, {"-9", "123"}), 42);
    EXPECT_EQ(seen.argv, (Words{"-9", "123"}));
}

TEST_F(Builtins, ArgumentCounts)
{
    std::string err;
    EXPECT_EQ(run(core("pwd"), {"x"}, &err), 1);
    EXPECT_EQ(err, "pwd: too many arguments\n");
    EXPECT_FALSE(seen.called);
    EXPECT_EQ(run(core("emulate"), {"-R"}, &err), 1);
    EXPECT_EQ(err, "emulate: not enough arguments\n");
    EXPECT_EQ(run(fake("a", 0, nullptr, 1, 2), {"-a", "x", "y"}), 42);
    EXPECT_EQ(run(fake("a", 0, nullptr, 1, 2), {"-a", "x", "y", "z"}, &err), 1);
    EXPECT_EQ(err, "fake: too many arguments\n");
}

TEST_F(Builtins, PendingErrorFailsBeforeTheHandler)
{
    errflag = 1;
    EXPECT_EQ(run(fake("a"), {"x"}), 1);
    EXPECT_FALSE(seen.called);
    EXPECT_EQ(errflag, 0);
}

TEST_F(Builtins, StubWithoutHandlerIsDeleted)
{
    ASSERT_EQ(add_autobin("nosuchstub", "no/such/module"), 0);
    testing::internal::CaptureStderr();
    Builtin *bn = getbuiltin("nosuchstub");
    ASSERT_NE(bn, nullptr);
    EXPECT_EQ(bn->handler, nullptr);
    LinkList *l = newlinklist();
    addlinknode(l, dupstring("nosuchstub"));
    EXPECT_EQ(execbuiltin(l, bn), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tarn: failed to load module: no/such/module\nnosuchstub: autoload failed\n");
    EXPECT_EQ(builtintab->getnode2(builtintab, "nosuchstub"), nullptr);
}

TEST_F(Builtins, TraceShowsTheWordsAsTyped)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *saved = xtrerr;
    xtrerr = open_memstream(&buf, &len);
    opts[XTRACE] = 1;
    EXPECT_EQ(run(fake("a"), {"-a", "x y", "z"}), 42);
    opts[XTRACE] = 0;
    EXPECT_EQ(run(fake("a"), {"quiet"}), 42);
    fclose(xtrerr);
    xtrerr = saved;
    std::string out(buf, len);
    free(buf);
    // Whatever PS4 expands to comes first.
    const std::string want = "fake -a 'x y' z\n";
    ASSERT_GE(out.size(), want.size());
    EXPECT_EQ(out.substr(out.size() - want.size()), want);
}

TEST_F(Builtins, NotYetAvailable)
{
    std::string err;
    EXPECT_EQ(run(*static_cast<Builtin *>(builtintab->getnode(builtintab, "umask")), {}, &err), 1);
    EXPECT_EQ(err, "umask: not available yet\n");
    BuiltinOptions ops{};
    char *argv[] = {nullptr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(bin_notavail(dupstring("foo"), argv, &ops, 0), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "foo: not available on this system\n");
}

class EnableDisable : public Builtins {
protected:
    int enable(int func, const char *optletter, Words w, std::string *out = nullptr, std::string *err = nullptr)
    {
        std::vector<char *> argv;
        for (const std::string &s : w)
            argv.push_back(dupstring(s.c_str()));
        argv.push_back(nullptr);
        BuiltinOptions ops{};
        for (const char *p = optletter; p && *p; p++)
            ops.ind[static_cast<unsigned char>(*p)] = 1;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int r = bin_enable(dupstring(func == BIN_ENABLE ? "enable" : "disable"), argv.data(), &ops, func);
        fflush(stdout);
        std::string o = testing::internal::GetCapturedStdout();
        std::string e = testing::internal::GetCapturedStderr();
        if (out)
            *out = o;
        if (err)
            *err = e;
        return r;
    }
};

TEST_F(EnableDisable, DisableAndEnableBuiltins)
{
    EXPECT_EQ(enable(BIN_DISABLE, nullptr, {"true", "false"}), 0);
    EXPECT_EQ(builtintab->getnode(builtintab, "true"), nullptr);
    EXPECT_NE(builtintab->getnode2(builtintab, "true"), nullptr);
    std::string out, err;
    EXPECT_EQ(enable(BIN_DISABLE, nullptr, {}, &out), 0);
    EXPECT_EQ(out, "false\ntrue\n");
    EXPECT_EQ(enable(BIN_ENABLE, nullptr, {"true", "nosuch"}, nullptr, &err), 1);
    EXPECT_EQ(err, "enable: no such hash table element: nosuch\n");
    EXPECT_NE(builtintab->getnode(builtintab, "true"), nullptr);
    EXPECT_EQ(enable(BIN_ENABLE, nullptr, {}, &out), 0);
    EXPECT_EQ(out.find("false\n"), std::string::npos);
    EXPECT_NE(out.find("\ntrue\n"), std::string::npos);
    EXPECT_EQ(enable(BIN_ENABLE, nullptr, {"false"}), 0);
}

TEST_F(EnableDisable, PatternsAndOtherTables)
{
    EXPECT_EQ(enable(BIN_DISABLE, "m", {"un*"}), 0);
    EXPECT_EQ(builtintab->getnode(builtintab, "unset"), nullptr);
    EXPECT_EQ(builtintab->getnode(builtintab, "unhash"), nullptr);
    EXPECT_NE(builtintab->getnode(builtintab, "umask"), nullptr);
    EXPECT_EQ(enable(BIN_ENABLE, "m", {"un*"}), 0);
    EXPECT_NE(builtintab->getnode(builtintab, "unset"), nullptr);
    EXPECT_EQ(enable(BIN_ENABLE, "m", {"zzz*"}), 1);
    // Reserved words and aliases have their own tables.
    if (!reswdtab)
        createreswdtable();
    EXPECT_EQ(enable(BIN_DISABLE, "r", {"if"}), 0);
    EXPECT_EQ(reswdtab->getnode(reswdtab, "if"), nullptr);
    EXPECT_NE(builtintab->getnode(builtintab, "true"), nullptr);
    EXPECT_EQ(enable(BIN_ENABLE, "r", {"if"}), 0);
    EXPECT_NE(reswdtab->getnode(reswdtab, "if"), nullptr);
}

}  // namespace
