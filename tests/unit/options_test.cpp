// Option names, letters, emulation defaults, dosetopt's refusals and side
// effects, and the setopt/unsetopt/emulate builtins.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "builtins/builtins.h"
#include "core/core.h"

namespace {

struct Row {
    const char *name;
    int optno;
    bool on[4];  // csh ksh sh tarn
    int kind;
    int letter, shletter;
};
const Row rows[] = {
#define OPT(name, en, c, k, s, t, kind, l, sl) {#name, en, {c, k, s, t}, kind, l, sl},
#include "params/options.inc"
#undef OPT
};

std::string pad(int n) { return std::string(size_t(n), ' '); }
std::vector<std::string> keymaps;
void recordkeymap(const char *name) { keymaps.push_back(name); }

class Options : public testing::Test {
protected:
    void SetUp() override
    {
        emulate("tarn", 1);
        for (int o : {INTERACTIVE, LOGIN, MONITOR, PRIVILEGED, RESTRICTED, SINGLECOMMAND, KED})
            opts[o] = 0;
        opts[SHINSTDIN] = 1;  // messages read "name: text"
        errflag = 0;
        kedsetkeymapptr = recordkeymap;
        keymaps.clear();
    }
    void TearDown() override { opts[RESTRICTED] = 0; }

    // setopt (or unsetopt) on words; stdout to *out, stderr to *err.
    int run(int isunset, std::vector<const char *> words, std::string *out = nullptr, std::string *err = nullptr)
    {
        std::vector<char *> argv;
        for (const char *w : words)
            argv.push_back(dupstring(w));
        argv.push_back(nullptr);
        BuiltinOptions ops{};
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int r = bin_setopt(dupstring(isunset ? "unsetopt" : "setopt"), argv.data(), &ops, isunset);
        fflush(stdout);
        std::string o = testing::internal::GetCapturedStdout(), e = testing::internal::GetCapturedStderr();
        if (out)
            *out = o;
        if (err)
            *err = e;
        return r;
    }
    static std::string captured(void (*fn)(int), int arg)
    {
        testing::internal::CaptureStdout();
        fn(arg);
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(Options, EmulationsSetTheirDefaults)
{
    struct {
        const char *invoked;
        int emulation, col;
    } emuls[] = {{"csh", EMULATE_CSH, 0}, {"ksh", EMULATE_KSH, 1},  {"sh", EMULATE_SH, 2},
                 {"bash", EMULATE_SH, 2}, {"rksh", EMULATE_KSH, 1}, {"tarn", EMULATE_TARN, 3},
                 {"other", EMULATE_TARN, 3}};
    for (auto &e : emuls) {
        for (int fully = 0; fully < 2; fully++) {
            // From the opposite of every default, so nothing passes by luck.
            for (const Row &r : rows)
                opts[r.optno] = !r.on[e.col];
            emulate(e.invoked, fully);
            EXPECT_EQ(emulation, e.emulation) << e.invoked;
            for (const Row &r : rows) {
                bool reset = (r.kind & OPT_EMUL) || (fully && !(r.kind & OPT_SPECIAL));
                EXPECT_EQ(isset(r.optno), reset ? r.on[e.col] : !r.on[e.col]) << e.invoked << fully << r.name;
            }
        }
    }
}

TEST_F(Options, EveryLetterOfBothTables)
{
    for (int shl = 0; shl < 2; shl++) {
        for (int c = '0'; c <= 'y'; c++) {
            opts[SHOPTIONLETTERS] = static_cast<signed char>(shl);
            int want = 0;
            for (const Row &r : rows) {
                int l = shl ? r.shletter : r.letter;
                want = l == c ? r.optno : l == -c ? -r.optno : want;
            }
            ASSERT_EQ(optlookupc(char(c)), want) << char(c) << shl;
            int o = want < 0 ? -want : want;
            // The fixed options refuse; "m" is setopt's pattern switch.
            if (!want || o == INTERACTIVE || o == SHINSTDIN || o == SINGLECOMMAND || o == RESTRICTED || o == KED ||
                o == PRIVILEGED || o == SHOPTIONLETTERS || c == 'm')
                continue;
            char on[3] = {'-', char(c), 0}, off[3] = {'+', char(c), 0};
            run(0, {on});
            EXPECT_EQ(isset(o), want > 0) << on;
            run(0, {off});
            EXPECT_EQ(isset(o), want < 0) << off;
            run(1, {on});
            EXPECT_EQ(isset(o), want < 0) << "unsetopt " << on;
            opts[EXEC] = 1;
        }
    }
    EXPECT_EQ(optlookupc('/'), 0);
    EXPECT_EQ(optlookupc('z'), 0);
}

TEST_F(Options, DashStringFollowsTheLetterTable)
{
    opts[XTRACE] = 1;
    opts[CLOBBER] = 0;
    opts[GLOB] = 0;
    std::string own = dashgetfn();
    opts[SHOPTIONLETTERS] = 1;
    std::string sh = dashgetfn();
    for (auto [s, shl] : {std::pair{own, 0}, std::pair{sh, 1}}) {
        opts[SHOPTIONLETTERS] = static_cast<signed char>(shl);
        std::string want;
        for (int c = '0'; c <= 'y'; c++)
            if (int o = optlookupc(char(c)); o && (o > 0 ? isset(o) : unset(-o)))
                want += char(c);
        EXPECT_EQ(s, want);
    }
    for (char c : {'C', 'F', 'x'})
        EXPECT_NE(own.find(c), std::string::npos) << c;
    EXPECT_EQ(sh.find('F'), std::string::npos);
    EXPECT_NE(sh.find('f'), std::string::npos);
}

TEST_F(Options, NamesAreNormalisedAndNoNegates)
{
    struct {
        const char *name;
        int optno;
    } cases[] = {{"NO_GLOB", -GLOB},       {"noGlob", -GLOB},          {"no_g_l_o_b", -GLOB},
                 {"nonomatch", -NOMATCH},  {"nomatch", NOMATCH},       {"notify", NOTIFY},
                 {"NoNotify", -NOTIFY},    {"braceexpand", -IGNOREBRACES}, {"no_brace_expand", IGNOREBRACES},
                 {"log", -HISTNOFUNCTIONS}, {"TRACKALL", HASHCMDS},    {"nosuch", 0},
                 {"", 0},                  {"no", 0}};
    for (auto &c : cases)
        EXPECT_EQ(optlookup(c.name), c.optno) << c.name;
}

TEST_F(Options, SetoptAndUnsetopt)
{
    struct {
        int isunset;
        std::vector<const char *> words;
        int optno;
        bool value;
        int before;  // -1: the opposite of value
        int status;
        const char *err;
    } cases[] = {
        {0, {"NO_GLOB"}, GLOB, false, -1, 0, ""},
        {1, {"glob"}, GLOB, false, -1, 0, ""},
        {0, {"nonomatch"}, NOMATCH, false, -1, 0, ""},
        {0, {"notify"}, NOTIFY, true, -1, 0, ""},
        {1, {"braceexpand"}, IGNOREBRACES, true, -1, 0, ""},
        {0, {"-o", "extendedglob"}, EXTENDEDGLOB, true, -1, 0, ""},
        {0, {"+oextendedglob"}, EXTENDEDGLOB, false, -1, 0, ""},
        {0, {"-vono_notify"}, NOTIFY, false, -1, 0, ""},  // -o takes the rest of the word
        {0, {"-x", "-v"}, VERBOSE, true, -1, 0, ""},
        {0, {"nosuch", "extendedglob"}, EXTENDEDGLOB, true, -1, 0, "setopt: no such option: nosuch\n"},
        {0, {"interactive", "xtrace"}, XTRACE, true, -1, 0, "setopt: can't change option: interactive\n"},
        {0, {"-z"}, 0, false, -1, 0, "setopt: bad option: -z\n"},
        {0, {"-i"}, 0, false, -1, 0, "setopt: can't change option: -i\n"},
        {0, {"-o"}, 0, false, -1, 1, "setopt: string expected after -o\n"},
        {0, {"-o", "nosuch"}, 0, false, -1, 0, "setopt: no such option: nosuch\n"},
        {0, {"--", "-x"}, 0, false, -1, 0, "setopt: no such option: -x\n"},
        {0, {"-m", "HIST_*"}, HISTBEEP, true, -1, 0, ""},
        {1, {"-m", "hist*"}, HISTBEEP, false, -1, 0, ""},
        {1, {"-m", "*"}, INTERACTIVE, true, 1, 0, ""},  // refusals stay quiet
    };
    for (auto &c : cases) {
        SetUp();
        if (c.optno)
            opts[c.optno] = static_cast<signed char>(c.before < 0 ? !c.value : c.before);
        std::string err;
        EXPECT_EQ(run(c.isunset, c.words, nullptr, &err), c.status) << c.words[0];
        EXPECT_EQ(err, c.err) << c.words[0];
        EXPECT_TRUE(!c.optno || isset(c.optno) == c.value) << c.words[0];
    }
    SetUp();
    run(0, {"-m", "hist*"});
    for (const Row &r : rows) {
        EXPECT_EQ(isset(r.optno), !strncmp(r.name, "hist", 4) || r.on[3] || r.optno == SHINSTDIN) << r.name;
    }
}

TEST_F(Options, Listings)
{
    std::string out;
    opts[EXTENDEDGLOB] = 1;
    opts[BEEP] = 0;
    run(0, {}, &out);
    EXPECT_EQ(out, "nobeep\nextendedglob\nshinstdin\n");  // shinstdin is on here
    run(1, {}, &out);
    EXPECT_EQ(out.find("noaliases\nallexport\nnoalwayslastprompt\n"), 0u);
    EXPECT_EQ(out.find("beep\n"), out.find("histbeep\n") + 4);  // histbeep only
    EXPECT_EQ(out.find("braceexpand"), std::string::npos);   // no aliases
    opts[KSHOPTIONPRINT] = 1;
    opts[BSDECHO] = 1;
    run(0, {}, &out);
    EXPECT_EQ(out.find("noaliases" + pad(13) + "off\n"), 0u);
    EXPECT_NE(out.find("bsdecho" + pad(15) + "on\n"), std::string::npos);
    EXPECT_NE(out.find("nobeep" + pad(16) + "on\n"), std::string::npos);
    opts[KSHOPTIONPRINT] = 0;
    opts[SHINSTDIN] = 0;
    opts[XTRACE] = 1;
    out = captured(printoptionstates, 0);
    EXPECT_EQ(out.find("noaliases" + pad(13) + "off\n"), 0u);
    EXPECT_NE(out.find("xtrace" + pad(16) + "on\n"), std::string::npos);
    EXPECT_EQ(captured(printoptionstates, 1), "set -o nobeep\nset -o bsdecho\nset -o extendedglob\nset -o xtrace\n");
    out = captured([](int) { printoptionlist(); }, 0);
    EXPECT_EQ(out.find("\nNamed options:\n  --aliases\n"), 0u);
    EXPECT_NE(out.find("\nOption aliases:\n  --braceexpand" + pad(12) + "equivalent to --noignorebraces\n"),
              std::string::npos);
    EXPECT_NE(out.find("\nOption letters:\n  -0    equivalent to --correct\n"), std::string::npos);
    EXPECT_NE(out.find("  -C    equivalent to --noclobber\n"), std::string::npos);
}

int restrictcalls;

TEST_F(Options, RefusalsAndSideEffects)
{
    EXPECT_EQ(dosetopt(0, 1, 0), -1);
    EXPECT_EQ(dosetopt(SINGLECOMMAND, 1, 0), -1);
    EXPECT_EQ(dosetopt(-SINGLECOMMAND, 1, 0), 0);  // its current value
    EXPECT_EQ(dosetopt(SINGLECOMMAND, 1, 1), 0);
    // Start-up stores 2 for an interactive terminal: still "on".
    opts[INTERACTIVE] = 2;
    EXPECT_EQ(dosetopt(INTERACTIVE, 1, 0), 0);
    EXPECT_EQ(dosetopt(EXEC, 0, 0), -1);
    EXPECT_EQ(dosetopt(EXEC, 0, 1), 0);
    opts[INTERACTIVE] = 0;
    EXPECT_EQ(dosetopt(EXEC, 0, 0), 0);
    EXPECT_EQ(dosetopt(KED, 1, 0), -1);  // no terminal
    EXPECT_EQ(dosetopt(KED, 1, 1), 0);

    restrictparamsptr = [] { restrictcalls++; };
    EXPECT_EQ(dosetopt(RESTRICTED, 1, 0), 0);
    EXPECT_EQ(dosetopt(RESTRICTED, 1, 0), 0);
    EXPECT_EQ(dosetopt(RESTRICTED, 0, 1), -1);
    EXPECT_TRUE(isset(RESTRICTED));
    EXPECT_EQ(restrictcalls, 1);
    restrictparamsptr = nullptr;
    EXPECT_STREQ(restrictedparams[5], "LD_AOUT_PRELOAD");

    EXPECT_EQ(dosetopt(VI, 1, 0), 0);
    EXPECT_EQ(dosetopt(EMACS, 1, 0), 0);
    EXPECT_FALSE(isset(VI));
    EXPECT_EQ(dosetopt(EMACS, 0, 0), 0);
    EXPECT_EQ(keymaps, (std::vector<std::string>{"viins", "emacs"}));

    opts[PRIVILEGED] = 1;
    EXPECT_EQ(dosetopt(PRIVILEGED, 0, 0), 0);
}

TEST_F(Options, EmulateBuiltinAndSnapshots)
{
    auto emul = [](const char *letters, const char *name) {
        BuiltinOptions ops{};
        for (const char *p = letters; *p; p++)
            ops.ind[static_cast<unsigned char>(*p)] = 1;
        char *argv[] = {dupstring(name), nullptr};
        return bin_emulate(dupstring("emulate"), argv, &ops, 0);
    };
    EXPECT_EQ(emul("", "sh"), 0);
    EXPECT_TRUE(isset(SHWORDSPLIT) && !isset(EQUALS) && isset(BANGHIST));
    opts[LOGIN] = opts[MONITOR] = 1;
    EXPECT_EQ(emul("R", "ksh"), 0);
    EXPECT_TRUE(isset(PROMPTSUBST) && !isset(BANGHIST));
    EXPECT_TRUE(isset(LOGIN) && isset(MONITOR) && isset(SHINSTDIN));
    EXPECT_EQ(emul("L", "csh"), 0);
    EXPECT_TRUE(isset(LOCALOPTIONS) && isset(LOCALTRAPS));
    EXPECT_EQ(emulation, EMULATE_CSH);

    OptionSet saved = saveoptions();
    opts[XTRACE] = 1;
    opts[PRIVILEGED] = 1;
    dosetopt(RESTRICTED, 1, 0);
    dosetopt(VI, 1, 0);
    restoreoptions(saved);
    EXPECT_TRUE(!isset(XTRACE) && !isset(VI));
    EXPECT_TRUE(isset(PRIVILEGED) && isset(RESTRICTED));
}

}  // namespace
