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

struct Emul {
    const char *invoked;
    int emulation;
    int col;
};
const Emul emuls[] = {{"csh", EMULATE_CSH, 0}, {"ksh", EMULATE_KSH, 1}, {"sh", EMULATE_SH, 2},
                      {"bash", EMULATE_SH, 2}, {"rksh", EMULATE_KSH, 1}, {"tarn", EMULATE_TARN, 3},
                      {"anything", EMULATE_TARN, 3}};

class Options : public testing::Test {
protected:
    void SetUp() override
    {
        emulate("tarn", 1);
        for (int o : {INTERACTIVE, LOGIN, MONITOR, PRIVILEGED, RESTRICTED, SHINSTDIN, SINGLECOMMAND, KED})
            opts[o] = 0;
        opts[SHINSTDIN] = 1;  // messages read "name: text"
        errflag = 0;
        kedsetkeymapptr = recordkeymap;
        keymaps.clear();
    }
    void TearDown() override
    {
        emulate("tarn", 1);
        opts[RESTRICTED] = 0;
        errflag = 0;
    }

    static std::vector<std::string> keymaps;
    static void recordkeymap(const char *name) { keymaps.push_back(name); }

    // Run setopt (or unsetopt) with words; returns status, fills out/err.
    int run(int isunset, std::vector<const char *> words, std::string *out = nullptr, std::string *err = nullptr)
    {
        std::vector<char *> argv;
        for (const char *w : words)
            argv.push_back(dupstring(w));
        argv.push_back(nullptr);
        BuiltinOptions ops{};
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int r = bin_setopt(const_cast<char *>(isunset ? "unsetopt" : "setopt"), argv.data(), &ops, isunset);
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
std::vector<std::string> Options::keymaps;

TEST_F(Options, FullEmulationGivesEachEmulationsDefaults)
{
    for (const Emul &e : emuls) {
        // Start from the opposite of every default, so nothing passes by luck.
        for (const Row &r : rows)
            if (!(r.kind & OPT_SPECIAL))
                opts[r.optno] = !r.on[e.col];
        emulate(e.invoked, 1);
        EXPECT_EQ(emulation, e.emulation) << e.invoked;
        for (const Row &r : rows) {
            if (!(r.kind & OPT_SPECIAL)) {
                EXPECT_EQ(isset(r.optno), r.on[e.col]) << e.invoked << " " << r.name;
            }
        }
    }
}

TEST_F(Options, PlainEmulationResetsOnlyEmulationOptionsAndNeverSpecials)
{
    for (const Emul &e : emuls) {
        for (const Row &r : rows)
            opts[r.optno] = !r.on[e.col];
        emulate(e.invoked, 0);
        for (const Row &r : rows) {
            bool want = (r.kind & OPT_EMUL) ? r.on[e.col] : !r.on[e.col];
            EXPECT_EQ(isset(r.optno), want) << e.invoked << " " << r.name;
        }
    }
}

TEST_F(Options, LetterTablesFollowTheOptionRows)
{
    for (int shl = 0; shl < 2; shl++) {
        opts[SHOPTIONLETTERS] = static_cast<signed char>(shl);
        for (int c = '0'; c <= 'y'; c++) {
            int want = 0;
            for (const Row &r : rows) {
                int l = shl ? r.shletter : r.letter;
                if (l == c)
                    want = r.optno;
                else if (l == -c)
                    want = -r.optno;
            }
            EXPECT_EQ(optlookupc(char(c)), want) << "letter " << char(c) << " sh " << shl;
        }
        EXPECT_EQ(optlookupc('/'), 0);
        EXPECT_EQ(optlookupc('z'), 0);
    }
}

// For every letter of both tables, "setopt -L" and "setopt +L" move the
// option the way the letter says, apart from the options that refuse.
TEST_F(Options, EveryLetterSetsOrUnsetsItsOption)
{
    for (int shl = 0; shl < 2; shl++) {
        for (int c = '0'; c <= 'y'; c++) {
            opts[SHOPTIONLETTERS] = static_cast<signed char>(shl);
            int optno = optlookupc(char(c));
            if (!optno)
                continue;
            int o = optno < 0 ? -optno : optno;
            // "m" is setopt's pattern switch, so monitor has no letter there.
            if (o == INTERACTIVE || o == SHINSTDIN || o == SINGLECOMMAND || o == RESTRICTED || o == KED ||
                o == PRIVILEGED || o == SHOPTIONLETTERS || c == 'm')
                continue;
            char on[3] = {'-', char(c), 0}, off[3] = {'+', char(c), 0};
            ASSERT_EQ(run(0, {on}), 0);
            EXPECT_EQ(isset(o), optno > 0) << on;
            ASSERT_EQ(run(0, {off}), 0);
            EXPECT_EQ(isset(o), optno < 0) << off;
            // unsetopt reverses the sense of the sign.
            ASSERT_EQ(run(1, {on}), 0);
            EXPECT_EQ(isset(o), optno < 0) << "unsetopt " << on;
            opts[EXEC] = 1;
        }
    }
}

TEST_F(Options, DashStringListsLettersInTheStateTheyStandFor)
{
    emulate("tarn", 1);
    // Defaults that show: clobber off is C (no), nomatch... compute from the table.
    std::string want;
    for (int c = '0'; c <= 'y'; c++) {
        int optno = optlookupc(char(c));
        if (optno && (optno > 0 ? isset(optno) : unset(-optno)))
            want += char(c);
    }
    EXPECT_STREQ(dashgetfn(), want.c_str());
    opts[XTRACE] = 1;
    opts[CLOBBER] = 0;
    std::string d = dashgetfn();
    EXPECT_NE(d.find('x'), std::string::npos);
    EXPECT_NE(d.find('C'), std::string::npos);
    opts[SHOPTIONLETTERS] = 1;
    opts[GLOB] = 0;
    d = dashgetfn();
    EXPECT_NE(d.find('f'), std::string::npos);  // the sh letter for glob off
    EXPECT_EQ(d.find('F'), std::string::npos);
}

TEST_F(Options, NamesAreNormalisedAndNoNegates)
{
    EXPECT_EQ(optlookup("NO_GLOB"), -GLOB);
    EXPECT_EQ(optlookup("noGlob"), -GLOB);
    EXPECT_EQ(optlookup("no_g_l_o_b"), -GLOB);
    EXPECT_EQ(optlookup("glob"), GLOB);
    EXPECT_EQ(optlookup("nonomatch"), -NOMATCH);
    EXPECT_EQ(optlookup("nomatch"), NOMATCH);
    EXPECT_EQ(optlookup("notify"), NOTIFY);
    EXPECT_EQ(optlookup("NoNotify"), -NOTIFY);
    EXPECT_EQ(optlookup("braceexpand"), -IGNOREBRACES);
    EXPECT_EQ(optlookup("no_brace_expand"), IGNOREBRACES);
    EXPECT_EQ(optlookup("log"), -HISTNOFUNCTIONS);
    EXPECT_EQ(optlookup("TRACKALL"), HASHCMDS);
    EXPECT_EQ(optlookup("nosuchoption"), 0);
    EXPECT_EQ(optlookup(""), 0);
    EXPECT_EQ(optlookup("no"), 0);
}

TEST_F(Options, SetoptAndUnsetoptByName)
{
    EXPECT_EQ(run(0, {"NO_GLOB"}), 0);
    EXPECT_FALSE(isset(GLOB));
    opts[GLOB] = 1;
    EXPECT_EQ(run(0, {"noglob"}), 0);
    EXPECT_FALSE(isset(GLOB));
    opts[GLOB] = 1;
    EXPECT_EQ(run(1, {"glob"}), 0);
    EXPECT_FALSE(isset(GLOB));
    EXPECT_EQ(run(0, {"nonomatch", "notify"}), 0);
    EXPECT_FALSE(isset(NOMATCH));
    EXPECT_TRUE(isset(NOTIFY));
    EXPECT_EQ(run(1, {"braceexpand"}), 0);
    EXPECT_TRUE(isset(IGNOREBRACES));
}

TEST_F(Options, SetoptProblemsAreWarningsAndProcessingGoesOn)
{
    std::string err;
    EXPECT_EQ(run(0, {"nosuch", "extendedglob"}, nullptr, &err), 0);
    EXPECT_EQ(err, "setopt: no such option: nosuch\n");
    EXPECT_TRUE(isset(EXTENDEDGLOB));
    opts[INTERACTIVE] = 1;
    EXPECT_EQ(run(1, {"interactive", "extendedglob"}, nullptr, &err), 0);
    opts[INTERACTIVE] = 0;
    EXPECT_EQ(err, "unsetopt: can't change option: interactive\n");
    EXPECT_FALSE(isset(EXTENDEDGLOB));
    EXPECT_EQ(run(0, {"-z"}, nullptr, &err), 0);
    EXPECT_EQ(err, "setopt: bad option: -z\n");
    EXPECT_EQ(run(0, {"-i"}, nullptr, &err), 0);
    EXPECT_EQ(err, "setopt: can't change option: -i\n");
    EXPECT_EQ(run(0, {"-o"}, nullptr, &err), 1);
    EXPECT_EQ(err, "setopt: string expected after -o\n");
    EXPECT_EQ(run(0, {"-o", "nosuch"}, nullptr, &err), 0);
    EXPECT_EQ(err, "setopt: no such option: nosuch\n");
}

TEST_F(Options, SetoptLettersAndDashO)
{
    EXPECT_EQ(run(0, {"-o", "extendedglob", "-x"}), 0);
    EXPECT_TRUE(isset(EXTENDEDGLOB));
    EXPECT_TRUE(isset(XTRACE));
    EXPECT_EQ(run(0, {"+oextendedglob"}), 0);
    EXPECT_FALSE(isset(EXTENDEDGLOB));
    // -o takes the rest of the word; the letters after it are part of the name.
    opts[NOTIFY] = 1;
    EXPECT_EQ(run(0, {"-vono_notify"}), 0);
    EXPECT_TRUE(isset(VERBOSE));
    EXPECT_FALSE(isset(NOTIFY));
    // "--" ends the letters: the next word is a name even with a sign.
    std::string err;
    EXPECT_EQ(run(0, {"--", "-x"}, nullptr, &err), 0);
    EXPECT_EQ(err, "setopt: no such option: -x\n");
}

TEST_F(Options, PatternModeMatchesNormalisedNames)
{
    EXPECT_EQ(run(0, {"-m", "HIST_*"}), 0);
    for (const Row &r : rows) {
        if (!strncmp(r.name, "hist", 4)) {
            EXPECT_TRUE(isset(r.optno)) << r.name;
        }
    }
    EXPECT_FALSE(isset(EXTENDEDGLOB));
    EXPECT_EQ(run(1, {"-m", "hist*"}), 0);
    EXPECT_FALSE(isset(HISTBEEP));
    // Broad patterns meet the fixed options and leave them quietly.
    std::string err;
    EXPECT_EQ(run(0, {"-m", "*"}, nullptr, &err), 0);
    EXPECT_FALSE(isset(INTERACTIVE));
    EXPECT_TRUE(isset(SHINSTDIN));
}

TEST_F(Options, SetoptListingShowsDifferencesFromDefaults)
{
    std::string out;
    opts[EXTENDEDGLOB] = 1;
    opts[BEEP] = 0;
    ASSERT_EQ(run(0, {}, &out), 0);
    // The specials differ from their defaults too (shinstdin is on here).
    EXPECT_EQ(out, "nobeep\nextendedglob\nshinstdin\n");
    ASSERT_EQ(run(1, {}, &out), 0);
    EXPECT_EQ(out.find("noaliases\nallexport\nnoalwayslastprompt\n"), 0u);
    EXPECT_NE(out.find("\nbsdecho\n"), std::string::npos);
    EXPECT_EQ(out.find("beep\n"), out.find("histbeep\n") + 4);  // only histbeep, not beep
    EXPECT_EQ(out.find("braceexpand"), std::string::npos);  // aliases are skipped
}

TEST_F(Options, KshOptionPrintListsEveryOption)
{
    std::string out;
    opts[KSHOPTIONPRINT] = 1;
    opts[ALIASES] = 1;
    opts[BSDECHO] = 1;
    ASSERT_EQ(run(0, {}, &out), 0);
    EXPECT_NE(out.find("noaliases" + pad(13) + "off\n"), std::string::npos);
    EXPECT_NE(out.find("bsdecho" + pad(15) + "on\n"), std::string::npos);
    EXPECT_NE(out.find("nobeep" + pad(16) + "off\n"), std::string::npos);
    EXPECT_NE(out.find("xtrace" + pad(16) + "off\n"), std::string::npos);
}

TEST_F(Options, SetDashOListings)
{
    opts[SHINSTDIN] = 0;
    opts[ALIASES] = 1;
    opts[BEEP] = 0;
    opts[XTRACE] = 1;
    testing::internal::CaptureStdout();
    printoptionstates(0);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("noaliases" + pad(13) + "off\n"), 0u);
    EXPECT_NE(out.find("nobeep" + pad(16) + "on\n"), std::string::npos);
    EXPECT_NE(out.find("xtrace" + pad(16) + "on\n"), std::string::npos);
    testing::internal::CaptureStdout();
    printoptionstates(1);
    fflush(stdout);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "set -o nobeep\nset -o xtrace\n");
}

TEST_F(Options, OptionListForHelp)
{
    testing::internal::CaptureStdout();
    printoptionlist();
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("\nNamed options:\n  --aliases\n"), 0u);
    EXPECT_NE(out.find("\nOption aliases:\n  --braceexpand" + pad(12) + "equivalent to --noignorebraces\n"),
              std::string::npos);
    EXPECT_NE(out.find("\nOption letters:\n  -0    equivalent to --correct\n"), std::string::npos);
    EXPECT_NE(out.find("  -C    equivalent to --noclobber\n"), std::string::npos);
    EXPECT_EQ(out.find("  --braceexpand\n"), std::string::npos);
}

TEST_F(Options, FixedOptionsRefuseChange)
{
    EXPECT_EQ(dosetopt(0, 1, 0), -1);
    EXPECT_EQ(dosetopt(INTERACTIVE, 1, 0), -1);
    EXPECT_EQ(dosetopt(INTERACTIVE, 0, 0), 0);  // its current value
    EXPECT_EQ(dosetopt(-SINGLECOMMAND, 1, 0), 0);
    EXPECT_EQ(dosetopt(SINGLECOMMAND, 1, 0), -1);
    EXPECT_EQ(dosetopt(SINGLECOMMAND, 1, 1), 0);
    EXPECT_TRUE(isset(SINGLECOMMAND));
    // Start-up stores 2 for an interactive terminal: still "on".
    opts[INTERACTIVE] = 2;
    EXPECT_EQ(dosetopt(INTERACTIVE, 1, 0), 0);
    EXPECT_EQ(dosetopt(EXEC, 0, 0), -1);
    EXPECT_TRUE(isset(EXEC));
    EXPECT_EQ(dosetopt(EXEC, 0, 1), 0);
    opts[INTERACTIVE] = 0;
    EXPECT_EQ(dosetopt(EXEC, 1, 0), 0);
    EXPECT_EQ(dosetopt(EXEC, 0, 0), 0);
}

TEST_F(Options, KedNeedsAnInteractiveTerminal)
{
    EXPECT_EQ(dosetopt(KED, 1, 0), -1);
    EXPECT_FALSE(isset(KED));
    EXPECT_EQ(dosetopt(KED, 1, 1), 0);
    EXPECT_TRUE(isset(KED));
    EXPECT_EQ(dosetopt(KED, 0, 0), 0);
}

int restrictcalls;
void countrestrict() { restrictcalls++; }

TEST_F(Options, RestrictedCannotBeUndone)
{
    restrictparamsptr = countrestrict;
    restrictcalls = 0;
    EXPECT_EQ(dosetopt(RESTRICTED, 1, 0), 0);
    EXPECT_EQ(restrictcalls, 1);
    EXPECT_EQ(dosetopt(RESTRICTED, 1, 0), 0);
    EXPECT_EQ(dosetopt(RESTRICTED, 0, 0), -1);
    EXPECT_EQ(dosetopt(RESTRICTED, 0, 1), -1);
    EXPECT_TRUE(isset(RESTRICTED));
    EXPECT_EQ(restrictcalls, 1);
    restrictparamsptr = nullptr;
    std::vector<std::string> names;
    for (const char *const *p = restrictedparams; *p; p++)
        names.push_back(*p);
    EXPECT_EQ(names, (std::vector<std::string>{"SHELL", "HISTFILE", "LD_LIBRARY_PATH", "LD_AOUT_LIBRARY_PATH",
                                                "LD_PRELOAD", "LD_AOUT_PRELOAD"}));
}

TEST_F(Options, EmacsAndViExcludeEachOther)
{
    EXPECT_EQ(dosetopt(VI, 1, 0), 0);
    EXPECT_TRUE(isset(VI));
    EXPECT_EQ(dosetopt(EMACS, 1, 0), 0);
    EXPECT_TRUE(isset(EMACS));
    EXPECT_FALSE(isset(VI));
    EXPECT_EQ(keymaps, (std::vector<std::string>{"viins", "emacs"}));
    EXPECT_EQ(dosetopt(EMACS, 0, 0), 0);
    EXPECT_EQ(keymaps.size(), 2u);
}

TEST_F(Options, DroppingPrivilegeKeepsIdsConsistent)
{
    opts[PRIVILEGED] = 1;
    EXPECT_EQ(dosetopt(PRIVILEGED, 0, 0), 0);
    EXPECT_FALSE(isset(PRIVILEGED));
}

TEST_F(Options, EmulateBuiltin)
{
    BuiltinOptions ops{};
    char *argv[] = {dupstring("sh"), nullptr};
    opts[PROMPTSUBST] = 0;
    EXPECT_EQ(bin_emulate(dupstring("emulate"), argv, &ops, 0), 0);
    EXPECT_TRUE(isset(SHWORDSPLIT));
    EXPECT_FALSE(isset(EQUALS));
    EXPECT_EQ(emulation, EMULATE_SH);
    EXPECT_TRUE(isset(BANGHIST));  // not an emulation option
    opts[LOGIN] = 1;
    opts[MONITOR] = 1;
    ops.ind['R'] = 1;
    argv[0] = dupstring("ksh");
    EXPECT_EQ(bin_emulate(dupstring("emulate"), argv, &ops, 0), 0);
    EXPECT_TRUE(isset(PROMPTSUBST));
    EXPECT_FALSE(isset(BANGHIST));
    EXPECT_TRUE(isset(LOGIN));
    EXPECT_TRUE(isset(MONITOR));
    EXPECT_TRUE(isset(SHINSTDIN));
    ops.ind['R'] = 0;
    ops.ind['L'] = 1;
    argv[0] = dupstring("csh");
    opts[LOCALOPTIONS] = opts[LOCALTRAPS] = 0;
    EXPECT_EQ(bin_emulate(dupstring("emulate"), argv, &ops, 0), 0);
    EXPECT_TRUE(isset(LOCALOPTIONS));
    EXPECT_TRUE(isset(LOCALTRAPS));
    EXPECT_EQ(emulation, EMULATE_CSH);
}

TEST_F(Options, RestoringASnapshotKeepsPrivilegedAndRestricted)
{
    OptionSet saved = saveoptions();
    opts[XTRACE] = 1;
    opts[GLOB] = 0;
    opts[PRIVILEGED] = 1;
    dosetopt(RESTRICTED, 1, 0);
    dosetopt(VI, 1, 0);
    restoreoptions(saved);
    EXPECT_FALSE(isset(XTRACE));
    EXPECT_TRUE(isset(GLOB));
    EXPECT_FALSE(isset(VI));
    EXPECT_TRUE(isset(PRIVILEGED));
    EXPECT_TRUE(isset(RESTRICTED));
    opts[PRIVILEGED] = 0;
}

}  // namespace
