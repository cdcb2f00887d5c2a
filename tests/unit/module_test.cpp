// The module registry: loading with dependencies, cycles and aliases,
// unloading (also deferred behind a running wrapper), the feature
// registries and stubs, hooks, and qmodload's checks, messages and listings.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "builtins/builtins.h"
#include "modules/module.h"

namespace {

using Words = std::vector<std::string>;

std::string calls;          // "setup:t/a boot:t/a ..."
std::set<std::string> fail;  // "boot:t/a" makes that entry point fail

int entry(const char *what, Module *m)
{
    std::string key = std::string(what) + ":" + m->nam;
    calls += key + " ";
    return fail.count(key) ? 1 : 0;
}
int msetup(Module *m) { return entry("setup", m); }
int mboot(Module *m) { return entry("boot", m); }
int mcleanup(Module *m) { return entry("cleanup", m); }
int mfinish(Module *m) { return entry("finish", m); }

void reg(const char *name) { register_module(name, msetup, mboot, mcleanup, mfinish); }

// A module with one feature of each kind.
int featcmd(char *, char **, BuiltinOptions *, int) { return 3; }
Builtin featbins[] = {mkbuiltin("featcmd", 0, featcmd, 0, -1, 0, nullptr, nullptr)};
int featcondfn(char **, int) { return 1; }
Conddef featconds[] = {{nullptr, const_cast<char *>("fcond"), 0, featcondfn, 0, 0, 0, nullptr}};
MathFunc featmath[] = {{nullptr, const_cast<char *>("fmath"), 0, nullptr, nullptr, nullptr, 0, 0, 0}};
Paramdef featparams[] = {{"fparam", 0, nullptr, nullptr, nullptr, nullptr}};

int featboot(Module *m)
{
    calls += std::string("boot:") + m->nam + " ";
    addbuiltins(m->nam, featbins, 1);
    addconddefs(m->nam, featconds, 1);
    addmathfuncs(m->nam, featmath, 1);
    addparamdefs(m->nam, featparams, 1);
    return 0;
}
int featcleanup(Module *m)
{
    calls += std::string("cleanup:") + m->nam + " ";
    deletebuiltins(m->nam, featbins, 1);
    deleteconddefs(m->nam, featconds, 1);
    deletemathfuncs(m->nam, featmath, 1);
    deleteparamdefs(m->nam, featparams, 1);
    return 0;
}

// A module whose wrapper unloads it while the wrapped function runs.
bool sawpending;
int wrapunload(Eprog *, FuncWrap *, char *);
FuncWrap wrap = {nullptr, 0, wrapunload, nullptr};
int wrapboot(Module *m) { return addwrapper(m, &wrap); }
int wrapcleanup(Module *m)
{
    calls += "cleanup:t/wrap ";
    return deletewrapper(m, &wrap);
}

class Modules : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        createbuiltintable();
        addhookdefs(nullptr, basehooks, basehookcount);
        init_bltinmods();
        // The stubs of the shell's own modules are not what these tests list.
        std::vector<std::string> stubs;
        for (int i = 0; i < builtintab->hsize; i++)
            for (HashNode *hn = builtintab->nodes[i]; hn; hn = hn->next)
                if (!static_cast<Builtin *>(hn)->handler && !(hn->flags & BI_PRECMD))
                    stubs.push_back(hn->nam);
        for (const std::string &s : stubs)
            deletebuiltin(s.c_str());
        stubs.clear();
        paramreg.scanauto([](const char *name, const char *, void *v) { static_cast<std::vector<std::string> *>(v)->push_back(name); },
                          &stubs);
        for (const std::string &s : stubs)
            paramreg.remove(s.c_str());
        for (const char *n : {"t/a", "t/b", "t/c", "t/ked", "t/complete", "t/computil", "t/base", "t/dep"})
            reg(n);
        register_module("t/feat", msetup, featboot, featcleanup, mfinish);
        register_module("t/wrap", msetup, wrapboot, wrapcleanup, mfinish);
    }
    void SetUp() override
    {
        // Every entry but tarn/main goes, so each test starts from start-up.
        for (LinkNode *n = firstnode(modules), *next; n; n = next) {
            next = nextnode(n);
            Module *m = static_cast<Module *>(getdata(n));
            if (strcmp(m->nam, "tarn/main")) {
                if (!strcmp(m->nam, "t/feat") && m->u.linked)
                    featcleanup(m);
                delete_module(n);
            }
        }
        calls.clear();
        fail.clear();
        errflag = 0;
        opts[SHINSTDIN] = 1;  // messages read "name: text"
    }

    // qmodload with the option letters of the first word, called directly.
    int qml(const char *letters, Words w, std::string *out = nullptr, std::string *err = nullptr)
    {
        BuiltinOptions ops{};
        for (const char *p = letters; *p; p++)
            ops.ind[static_cast<unsigned char>(*p)] = 1;
        std::vector<char *> argv;
        for (const std::string &s : w)
            argv.push_back(dupstring(s.c_str()));
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int r = bin_qmodload(dupstring("qmodload"), argv.data(), &ops, 0);
        fflush(stdout);
        std::string o = testing::internal::GetCapturedStdout();
        std::string e = testing::internal::GetCapturedStderr();
        if (out)
            *out = o;
        if (err)
            *err = e;
        else
            EXPECT_EQ(e, "") << letters;
        return r;
    }
    // qmodload fails with this message.
    void fails(const char *letters, Words w, const std::string &msg)
    {
        std::string err;
        EXPECT_EQ(qml(letters, w, nullptr, &err), 1) << letters;
        EXPECT_EQ(err, "qmodload: " + msg + "\n") << letters;
    }
    std::string listing(const char *letters, Words w = {})
    {
        std::string out;
        EXPECT_EQ(qml(letters, w, &out), 0) << letters;
        return out;
    }
};

int wrapunload(Eprog *, FuncWrap *, char *)
{
    BuiltinOptions ops{};
    ops.ind['u'] = 1;
    char *argv[] = {dupstring("t/wrap"), nullptr};
    bin_qmodload(dupstring("qmodload"), argv, &ops, 0);
    Module *m = find_module("t/wrap", 0, nullptr);
    sawpending = m && (m->flags & MOD_UNLOAD) && !module_loaded("t/wrap");
    return 1;
}

TEST_F(Modules, NameSyntax)
{
    for (const char *ok : {"tarn/ked", "a", "a_1/B2/c"})
        EXPECT_TRUE(modname_ok(ok)) << ok;
    for (const char *bad : {"", "/a", "a/", "a//b", "a-b", "a b"})
        EXPECT_FALSE(modname_ok(bad)) << bad;
}

TEST_F(Modules, StartUpLoadsMain)
{
    EXPECT_TRUE(module_loaded("tarn/main"));
    EXPECT_EQ(listing(""), "tarn/main\n");
    EXPECT_EQ(listing("L"), "qmodload tarn/main\n");
    EXPECT_EQ(listing("e"), "tarn/main\n");
}

TEST_F(Modules, LoadingTwiceWarnsUnlessQuiet)
{
    EXPECT_EQ(qml("", {"t/a"}), 0);
    EXPECT_EQ(calls, "setup:t/a boot:t/a ");
    fails("", {"t/a"}, "module t/a already loaded.");
    EXPECT_EQ(qml("i", {"t/a"}), 0);
    EXPECT_EQ(calls, "setup:t/a boot:t/a ");
    EXPECT_EQ(listing(""), "tarn/main\nt/a\n");
    EXPECT_EQ(qml("e", {"t/a", "tarn/main"}), 0);
    EXPECT_EQ(qml("e", {"t/a", "t/b"}), 1);
}

TEST_F(Modules, MissingAndInvalidModules)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(load_module("t/none"), 0);
    EXPECT_EQ(errflag, 0);  // a missing module is for the caller to judge
    EXPECT_EQ(load_module("t/none", nullptr, 1), 0);
    EXPECT_EQ(load_module("a-b"), 0);
    EXPECT_EQ(errflag, 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tarn: failed to load module: t/none\ntarn: invalid module name `a-b'\n");
    errflag = 0;
    std::string err;
    EXPECT_EQ(qml("", {"t/none"}, nullptr, &err), 1);
    EXPECT_EQ(err, "tarn: failed to load module: t/none\n");
}

TEST_F(Modules, DependenciesLoadFirstInOrder)
{
    add_dep("t/complete", "t/ked");
    add_dep("t/computil", "t/complete");
    add_dep("t/computil", "t/ked");
    add_dep("t/computil", "t/ked");  // recorded once
    EXPECT_EQ(load_module("t/computil"), 1);
    EXPECT_EQ(calls, "setup:t/ked boot:t/ked setup:t/complete boot:t/complete setup:t/computil boot:t/computil ");
    EXPECT_EQ(listing("d"), "t/complete: t/ked\nt/computil: t/complete t/ked\n");
    EXPECT_EQ(listing("dL", {"t/computil"}), "qmodload -d t/computil t/complete t/ked\n");
    fails("u", {"t/ked"}, "module t/ked is in use by another module and cannot be unloaded");
    EXPECT_TRUE(module_loaded("t/ked"));
}

TEST_F(Modules, CircularDependenciesAreReported)
{
    add_dep("t/a", "t/b");
    add_dep("t/b", "t/a");
    testing::internal::CaptureStderr();
    EXPECT_EQ(load_module("t/a"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "tarn: circular dependencies for module t/a\n");
    EXPECT_EQ(errflag, 1);
    errflag = 0;
    for (const char *n : {"t/a", "t/b"}) {
        Module *m = find_module(n, 0, nullptr);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->flags & MOD_BUSY, 0) << n;
        EXPECT_FALSE(module_loaded(n));
    }
    EXPECT_EQ(calls, "");
}

TEST_F(Modules, DependencyEditing)
{
    EXPECT_EQ(qml("d", {"t/c", "t/a", "t/b"}), 0);
    EXPECT_EQ(listing("d", {"t/c"}), "t/c: t/a t/b\n");
    EXPECT_EQ(qml("ud", {"t/c", "t/a"}), 0);
    EXPECT_EQ(listing("d"), "t/c: t/b\n");
    EXPECT_EQ(qml("ud", {"t/c"}), 0);
    EXPECT_EQ(listing("d"), "");
    EXPECT_EQ(find_module("t/c", 0, nullptr), nullptr);  // nothing left to keep it
    // A loaded module keeps its entry when its dependencies go.
    EXPECT_EQ(qml("d", {"t/c", "t/a"}), 0);
    EXPECT_EQ(qml("", {"t/c"}), 0);
    EXPECT_EQ(qml("ud", {"t/c", "t/a"}), 0);
    EXPECT_TRUE(module_loaded("t/c"));
    EXPECT_EQ(listing("dL", {}), "");
    fails("da", {"t/c"}, "-d cannot be combined with -a");
}

TEST_F(Modules, FailedSetupOrBootLeavesNothingLoaded)
{
    fail.insert("setup:t/a");
    EXPECT_EQ(load_module("t/a"), 0);
    EXPECT_EQ(find_module("t/a", 0, nullptr), nullptr);
    fail.insert("boot:t/b");
    EXPECT_EQ(load_module("t/b"), 0);
    EXPECT_EQ(find_module("t/b", 0, nullptr), nullptr);
    EXPECT_EQ(calls, "setup:t/a setup:t/b boot:t/b finish:t/b ");
    // With an entry kept for its dependencies the same holds.
    calls.clear();
    add_dep("t/c", "t/a");
    fail.clear();
    fail.insert("boot:t/c");
    EXPECT_EQ(load_module("t/c"), 0);
    EXPECT_EQ(calls, "setup:t/a boot:t/a setup:t/c boot:t/c finish:t/c ");
    EXPECT_FALSE(module_loaded("t/c"));
    fail.clear();
    EXPECT_EQ(load_module("t/c"), 1);
}

TEST_F(Modules, UnloadRunsCleanupAndFinish)
{
    EXPECT_EQ(qml("", {"t/a"}), 0);
    calls.clear();
    EXPECT_EQ(qml("u", {"t/a"}), 0);
    EXPECT_EQ(calls, "cleanup:t/a finish:t/a ");
    EXPECT_FALSE(module_loaded("t/a"));
    EXPECT_EQ(find_module("t/a", 0, nullptr), nullptr);
    // A refused cleanup leaves the module loaded.
    EXPECT_EQ(qml("", {"t/a"}), 0);
    fail.insert("cleanup:t/a");
    EXPECT_EQ(qml("u", {"t/a"}), 1);
    EXPECT_TRUE(module_loaded("t/a"));
    fails("u", {}, "what do you want to unload?");
    fails("u", {"t/none"}, "no such module t/none");
    EXPECT_EQ(qml("ui", {"t/none"}), 0);
}

TEST_F(Modules, UnloadInsideItsOwnWrapperIsDeferred)
{
    EXPECT_EQ(load_module("t/wrap"), 1);
    calls.clear();
    sawpending = false;
    EXPECT_EQ(runwrappers(nullptr, wrappers, dupstring("f")), 1);
    EXPECT_TRUE(sawpending);
    // Cleanup ran at once; finish waited for the wrapper to return.
    EXPECT_EQ(calls, "cleanup:t/wrap finish:t/wrap ");
    EXPECT_EQ(find_module("t/wrap", 0, nullptr), nullptr);
    EXPECT_EQ(wrappers, nullptr);
}

int wrapcount;
int passwrap(Eprog *, FuncWrap *, char *) { return ++wrapcount, 1; }
int runwrap(Eprog *, FuncWrap *rest, char *) { return ++wrapcount, rest ? 0 : 0; }

TEST_F(Modules, WrapperChain)
{
    EXPECT_EQ(load_module("t/a"), 1);
    Module *m = find_module("t/a", 0, nullptr);
    FuncWrap w1 = {nullptr, 0, passwrap, nullptr}, w2 = {nullptr, 0, runwrap, nullptr};
    EXPECT_EQ(addwrapper(m, &w1), 0);
    EXPECT_EQ(addwrapper(m, &w1), 1);
    wrapcount = 0;
    EXPECT_EQ(runwrappers(nullptr, wrappers, dupstring("f")), 1);
    EXPECT_EQ(addwrapper(m, &w2), 0);
    wrapcount = 0;
    EXPECT_EQ(runwrappers(nullptr, wrappers, dupstring("f")), 0);
    EXPECT_EQ(wrapcount, 2);
    EXPECT_EQ(m->wrapper, 0);
    EXPECT_EQ(deletewrapper(m, &w1), 0);
    EXPECT_EQ(deletewrapper(m, &w1), 1);
    EXPECT_EQ(deletewrapper(m, &w2), 0);
    EXPECT_EQ(wrappers, nullptr);
}

TEST_F(Modules, Aliases)
{
    EXPECT_EQ(qml("A", {"foo=t/a"}), 0);
    fails("A", {"t/a=foo"}, "module alias would refer to itself: t/a");
    EXPECT_EQ(qml("A", {"bar=foo"}), 0);
    EXPECT_EQ(listing("A"), "foo -> t/a\nbar -> foo\n");
    EXPECT_EQ(listing("AL"), "qmodload -A foo=t/a\nqmodload -A bar=foo\n");
    EXPECT_EQ(listing("A", {"bar"}), "bar -> foo\n");
    // Loading through a chain of aliases loads the target.
    EXPECT_EQ(qml("", {"bar"}), 0);
    EXPECT_EQ(calls, "setup:t/a boot:t/a ");
    EXPECT_TRUE(module_loaded("bar"));
    EXPECT_EQ(qml("e", {"foo"}), 0);
    EXPECT_EQ(listing("e"), "tarn/main\nt/a\n");
    EXPECT_EQ(listing("eA"), "tarn/main\nfoo\nbar\nt/a\n");
    EXPECT_EQ(listing("", {}), "tarn/main\nt/a\n");
    fails("A", {"t/a=t/b"}, "module is not an alias: t/a");
    EXPECT_EQ(qml("A", {"foo=t/b"}), 0);  // redefined
    EXPECT_EQ(listing("A", {"foo"}), "foo -> t/b\n");
    EXPECT_EQ(qml("R", {"foo"}), 0);
    fails("R", {"foo"}, "no such module alias: foo");
    fails("R", {"t/a"}, "module is not an alias: t/a");
    fails("R", {"bar=x"}, "bad syntax for removing module alias: bar=x");
    fails("R", {}, "no module alias to remove");
    fails("A", {"a-b=t/a"}, "invalid module name `a-b'");
    fails("A", {"ok=t//a"}, "invalid module name `t//a'");
    // The first failure stops the rest.
    fails("A", {"nosuch", "baz=t/a"}, "no such module alias: nosuch");
    EXPECT_EQ(find_module("baz", 0, nullptr), nullptr);
    // Unloading through an alias unloads the target.
    EXPECT_EQ(qml("A", {"baz=t/a"}), 0);
    calls.clear();
    EXPECT_EQ(qml("u", {"baz"}), 0);
    EXPECT_EQ(calls, "cleanup:t/a finish:t/a ");
}

TEST_F(Modules, OptionCombinationsAreChecked)
{
    struct {
        const char *letters;
        const char *msg;
    } cases[] = {
        {"b", "-b, -c, -f, and -p must be combined with -a or -u"},
        {"f", "-b, -c, -f, and -p must be combined with -a or -u"},
        {"Ab", "-b, -c, -f, and -p must be combined with -a or -u"},
        {"Aa", "illegal flags combined with -A or -R"},
        {"Ad", "illegal flags combined with -A or -R"},
        {"Re", "illegal flags combined with -A or -R"},
        {"ad", "-d cannot be combined with -a"},
        {"eL", "-e cannot be combined with other options"},
        {"ei", "-e cannot be combined with other options"},
        {"abc", "use only one of -b, -c, or -p"},
        {"acp", "use only one of -b, -c, or -p"},
    };
    for (auto &c : cases)
        fails(c.letters, {"x"}, c.msg);
}

TEST_F(Modules, BuiltinStubs)
{
    EXPECT_EQ(qml("ab", {"t/feat", "featcmd", "other"}), 0);
    EXPECT_EQ(qml("a", {"t_solo"}), 0);  // the module names its only builtin
    EXPECT_EQ(listing("ab"), "featcmd (t/feat)\nother (t/feat)\nt_solo\n");
    EXPECT_EQ(listing("abL"), "qmodload -ab t/feat featcmd\nqmodload -ab t/feat other\nqmodload -ab t_solo\n");
    fails("ab", {"t/feat", "a/b"}, "a/b: `/' is illegal in a builtin");
    fails("ab", {"t/feat", "true"}, "failed to add builtin true");
    EXPECT_EQ(qml("abi", {"t/feat", "true"}), 0);
    // The first use loads the module, whose boot replaces the stub.
    Builtin *bn = getbuiltin("featcmd");
    ASSERT_NE(bn, nullptr);
    EXPECT_EQ(bn->handler, featcmd);
    EXPECT_TRUE(module_loaded("t/feat"));
    fails("ub", {"featcmd"}, "featcmd: builtin is already defined");
    EXPECT_EQ(qml("ub", {"other", "t_solo"}), 0);
    EXPECT_EQ(builtintab->getnode2(builtintab, "other"), nullptr);
    fails("ub", {"other"}, "other: no such builtin");
    EXPECT_EQ(qml("ubi", {"other"}), 0);
    // A stub whose module cannot load stays for the caller to report.
    ASSERT_EQ(add_autobin("t_orphan", "t/none"), 0);
    testing::internal::CaptureStderr();
    bn = getbuiltin("t_orphan");
    testing::internal::GetCapturedStderr();
    ASSERT_NE(bn, nullptr);
    EXPECT_EQ(bn->handler, nullptr);
    EXPECT_EQ(qml("ub", {"t_orphan"}), 0);
}

TEST_F(Modules, ConditionStubs)
{
    EXPECT_EQ(qml("ac", {"t/feat", "fcond"}), 0);
    EXPECT_EQ(qml("acI", {"t/feat", "icond"}), 0);
    EXPECT_EQ(listing("ac"), "infix icond (t/feat)\npost fcond (t/feat)\n");
    EXPECT_EQ(listing("acL"), "qmodload -acI t/feat icond\nqmodload -ac t/feat fcond\n");
    fails("ac", {"t/feat", "x/y"}, "x/y: `/' is illegal in a condition");
    Conddef *c = getconddef(0, "fcond", 1);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c, &featconds[0]);
    EXPECT_EQ(getconddef(1, "fcond", 0), nullptr);  // prefix and infix are apart
    fails("uc", {"fcond"}, "fcond: condition is already defined");
    fails("uc", {"nosuch"}, "nosuch: no such condition");
    EXPECT_EQ(qml("ucI", {"icond"}), 0);
    EXPECT_EQ(listing("ac"), "");
    // A stub whose module does not bring the condition is dropped.
    EXPECT_EQ(qml("ac", {"t/a", "gone"}), 0);
    EXPECT_EQ(getconddef(0, "gone", 1), nullptr);
    EXPECT_EQ(getconddef(0, "gone", 0), nullptr);
}

TEST_F(Modules, MathFunctionStubs)
{
    EXPECT_EQ(qml("af", {"t/feat", "fmath"}), 0);
    EXPECT_EQ(listing("af"), "fmath (t/feat)\n");
    EXPECT_EQ(listing("afL"), "qmodload -af t/feat fmath\n");
    MathFunc *f = getmathfunc("fmath", 1);
    EXPECT_EQ(f, &featmath[0]);
    fails("uf", {"fmath"}, "fmath: math function is already defined");
    fails("af", {"t/feat", "fmath"}, "failed to add math function `fmath'");
    // Loading the module by name replaces a stub too.
    EXPECT_EQ(qml("u", {"t/feat"}), 0);
    EXPECT_EQ(getmathfunc("fmath", 0), nullptr);
    EXPECT_EQ(qml("af", {"t/feat", "fmath"}), 0);
    EXPECT_EQ(qml("", {"t/feat"}), 0);
    EXPECT_EQ(getmathfunc("fmath", 0), &featmath[0]);
}

TEST_F(Modules, ParameterStubs)
{
    EXPECT_EQ(qml("ap", {"t/feat", "fparam", "other"}), 0);
    EXPECT_EQ(listing("ap"), "fparam (t/feat)\nother (t/feat)\n");
    EXPECT_EQ(listing("apL"), "qmodload -ap t/feat fparam\nqmodload -ap t/feat other\n");
    fails("ap", {"t/feat", "a/b"}, "a/b: `/' is illegal in a parameter");
    EXPECT_EQ(qml("up", {"other"}), 0);
    fails("up", {"other"}, "other: no such parameter");
    EXPECT_EQ(load_module("t/feat"), 1);
    fails("up", {"fparam"}, "fparam: parameter is already defined");
    EXPECT_EQ(listing("ap"), "");
}

TEST_F(Modules, BuiltinRegistryResults)
{
    static Builtin two[] = {mkbuiltin("t_one", 0, featcmd, 0, -1, 0, nullptr, nullptr),
                            mkbuiltin("true", 0, featcmd, 0, -1, 0, nullptr, nullptr)};
    testing::internal::CaptureStderr();
    EXPECT_EQ(addbuiltins("t", two, 2), 2);
    EXPECT_EQ(addbuiltins("t", two, 2), 0);  // t_one is skipped as added
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "t: name clash when adding builtin `true'\nt: name clash when adding builtin `true'\n");
    EXPECT_EQ(addbuiltins("t", two, 1), 1);
    EXPECT_EQ(deletebuiltin("t_one"), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(deletebuiltins("t", two, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "t: builtin `t_one' already deleted\n");
    EXPECT_EQ(two[0].flags & BI_ADDED, 0);
    EXPECT_EQ(deletebuiltin("t_one"), -1);
}

int hookorder;
int hookzero(Hookdef *, void *) { hookorder = hookorder * 10 + 1; return 0; }
int hookfive(Hookdef *, void *) { hookorder = hookorder * 10 + 5; return 5; }
int hookdef7(Hookdef *, void *) { hookorder = hookorder * 10 + 7; return 7; }

TEST_F(Modules, Hooks)
{
    static Hookdef defs[] = {{nullptr, "t_all", hookdef7, HOOKF_ALL, nullptr},
                             {nullptr, "t_last", nullptr, 0, nullptr}};
    EXPECT_EQ(addhookdefs("t", defs, 2), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(addhookdefs("t", defs, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "t: name clash when adding hook `t_all'\n");
    hookorder = 0;
    EXPECT_EQ(runhook("t_all", nullptr), 7);  // no functions: the default
    EXPECT_EQ(addhookfunc("t_all", hookzero), 0);
    EXPECT_EQ(addhookfunc("t_all", hookzero), 0);
    hookorder = 0;
    EXPECT_EQ(runhook("t_all", nullptr), 7);
    EXPECT_EQ(hookorder, 117);
    EXPECT_EQ(addhookfunc("t_all", hookfive), 0);
    EXPECT_EQ(addhookfunc("t_all", hookzero), 0);
    hookorder = 0;
    EXPECT_EQ(runhook("t_all", nullptr), 5);
    EXPECT_EQ(hookorder, 115);
    // Not run-all: only the most recent function.
    EXPECT_EQ(addhookfunc("t_last", hookfive), 0);
    EXPECT_EQ(addhookfunc("t_last", hookzero), 0);
    hookorder = 0;
    EXPECT_EQ(runhook("t_last", nullptr), 0);
    EXPECT_EQ(hookorder, 1);
    EXPECT_EQ(deletehookfunc("t_last", hookzero), 0);
    EXPECT_EQ(deletehookfunc("t_last", hookzero), 1);
    EXPECT_EQ(runhook("t_last", nullptr), 5);
    EXPECT_EQ(addhookfunc("t_none", hookzero), 1);
    EXPECT_EQ(runhook("t_none", nullptr), 0);
    EXPECT_EQ(deletehookdefs("t", defs, 2), 1);
    EXPECT_EQ(gethookdef("t_all"), nullptr);
    // The core's hooks run every function.
    EXPECT_NE(gethookdef("exit"), nullptr);
    EXPECT_EQ(addhookfunc("exit", hookzero), 0);
    EXPECT_EQ(addhookfunc("exit", hookfive), 0);
    hookorder = 0;
    EXPECT_EQ(runhookdef(EXITHOOK, nullptr), 5);
    EXPECT_EQ(hookorder, 15);
    deletehookfunc("exit", hookzero);
    deletehookfunc("exit", hookfive);
}

}  // namespace
