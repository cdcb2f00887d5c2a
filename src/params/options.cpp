// The option table and the operations on options.
#include "builtins/builtins.h"
#include "core/core.h"
#include "expand/expand.h"

#include <unistd.h>

#include <cctype>
#include <cstring>

TARN_HOT signed char opts[OPT_SIZE];
int emulation;
int restricted_pending;
void (*restrictparamsptr)();
const char *const restrictedparams[] = {"SHELL", "HISTFILE", "LD_LIBRARY_PATH", "LD_AOUT_LIBRARY_PATH",
                                        "LD_PRELOAD", "LD_AOUT_PRELOAD", nullptr};

namespace {

struct OptDef {
    const char *name;
    int defaults;  // emulation bits of the emulations where it is on
    int kind;
    int letter, shletter;
};

constexpr int onbits(int c, int k, int s, int t)
{
    return (c ? EMULATE_CSH : 0) | (k ? EMULATE_KSH : 0) | (s ? EMULATE_SH : 0) | (t ? EMULATE_TARN : 0);
}

constexpr OptDef optdefs[] = {
    {nullptr, 0, 0, 0, 0},
#define OPT(name, en, c, k, s, t, kind, l, sl) {#name, onbits(c, k, s, t), kind, l, sl},
#include "params/options.inc"
#undef OPT
};
static_assert(sizeof(optdefs) / sizeof(optdefs[0]) == OPT_SIZE);

struct OptAlias {
    const char *name;
    int optno;
};

constexpr OptAlias optaliases[] = {
    {"braceexpand", -IGNOREBRACES}, {"dotglob", GLOBDOTS},      {"hashall", HASHCMDS},
    {"histappend", APPENDHISTORY},  {"histexpand", BANGHIST},   {"log", -HISTNOFUNCTIONS},
    {"mailwarn", MAILWARNING},      {"onecmd", SINGLECOMMAND},  {"physical", CHASELINKS},
    {"promptvars", PROMPTSUBST},    {"stdin", SHINSTDIN},       {"trackall", HASHCMDS},
};

// The two letter tables, built once from the option rows: index c - '0'.
struct LetterTables {
    short own[74];
    short shk[74];
};

constexpr LetterTables buildletters()
{
    LetterTables t{};
    for (int i = 1; i < OPT_SIZE; i++) {
        int l = optdefs[i].letter, sl = optdefs[i].shletter;
        if (l)
            t.own[(l < 0 ? -l : l) - '0'] = short(l < 0 ? -i : i);
        if (sl)
            t.shk[(sl < 0 ? -sl : sl) - '0'] = short(sl < 0 ? -i : i);
    }
    return t;
}
constexpr LetterTables letters = buildletters();

// The names are wanted only by setopt and its kin, -o on the command line
// and $options, so the table of them is built the first time one looks.
HashTable *optiontab;
OptName optnodes[OPT_SIZE];
OptName aliasnodes[sizeof(optaliases) / sizeof(optaliases[0])];

// What the option row says of option optno: its kind and the emulations
// that turn it on.
constexpr int optflags(int optno) { return optdefs[optno].defaults | optdefs[optno].kind; }

void printoptionnode(HashNode *hn, int set);

void freenothing(HashNode *) {}

}  // namespace

const char *optname(int optno) { return optdefs[optno < 0 ? -optno : optno].name; }

int defset(int optno, int emul)
{
    // In every emulation whole characters follow the character set.
    if (optno == MULTIBYTE)
        return localeisutf8();
    return (optflags(optno) & emul) != 0;
}

HashTable *optiontable()
{
    if (optiontab)
        return optiontab;
    optiontab = newhashtable(101, "optiontab", nullptr);
    optiontab->hash = hasher;
    optiontab->emptytable = nullptr;
    optiontab->filltable = nullptr;
    optiontab->cmpnodes = strcmp;
    optiontab->addnode = addhashnode;
    optiontab->getnode = gethashnode;
    optiontab->getnode2 = gethashnode2;
    optiontab->removenode = nullptr;
    optiontab->disablenode = disablehashnode;
    optiontab->enablenode = enablehashnode;
    optiontab->freenode = freenothing;
    optiontab->printnode = printoptionnode;
    for (int i = 1; i < OPT_SIZE; i++) {
        OptName *on = &optnodes[i];
        on->flags = optflags(i);
        on->optno = i;
        optiontab->addnode(optiontab, const_cast<char *>(optdefs[i].name), on);
    }
    int n = 0;
    for (const OptAlias &a : optaliases) {
        OptName *on = &aliasnodes[n++];
        on->flags = OPT_ALIAS;
        on->optno = a.optno;
        optiontab->addnode(optiontab, const_cast<char *>(a.name), on);
    }
    return optiontab;
}

int optlookup(const char *name)
{
    char buf[256];
    size_t n = 0;
    for (const char *p = name; *p && n < sizeof(buf) - 1; p++)
        if (*p != '_')
            buf[n++] = char(tulower(*p));
    if (strlen(name) >= sizeof(buf) - 1)
        return OPT_INVALID;
    buf[n] = '\0';
    HashTable *ht = optiontable();
    if (buf[0] == 'n' && buf[1] == 'o')
        if (OptName *on = static_cast<OptName *>(ht->getnode(ht, buf + 2)))
            return -on->optno;
    if (OptName *on = static_cast<OptName *>(ht->getnode(ht, buf)))
        return on->optno;
    return OPT_INVALID;
}

int optlookupc(char c)
{
    if (c < '0' || c > 'y')
        return 0;
    return isset(SHOPTIONLETTERS) ? letters.shk[c - '0'] : letters.own[c - '0'];
}

int dosetopt(int optno, int value, int force)
{
    if (!optno)
        return -1;
    if (optno < 0) {
        optno = -optno;
        value = !value;
    }
    if (optno == RESTRICTED) {
        if (isset(RESTRICTED))
            return value ? 0 : -1;
        if (value && restrictparamsptr)
            restrictparamsptr();
    } else if (!force && optno == EXEC && !value && isset(INTERACTIVE)) {
        return -1;
    } else if (!force && (optno == INTERACTIVE || optno == SHINSTDIN || optno == SINGLECOMMAND)) {
        // Start-up may store 2 for interactive: compare states, not bytes.
        return !opts[optno] == !value ? 0 : -1;
    } else if (!force && optno == KED && value) {
        if (!isset(INTERACTIVE) || SHTTY == -1 || !shout)
            return -1;
    } else if (optno == PRIVILEGED && !value) {
        // The group goes first: once the user id is dropped the process
        // may no longer change its group, and would keep the privileged one.
        // A failure leaves the option on rather than claim a drop that did
        // not happen.
        if (setgid(getgid()) || setuid(getuid()))
            return -1;
    } else if ((optno == EMACS || optno == VI) && value) {
        if (kedsetkeymapptr)
            kedsetkeymapptr(optno == EMACS ? "emacs" : "viins");
        opts[optno == EMACS ? VI : EMACS] = 0;
    }
    opts[optno] = static_cast<signed char>(value);
    if (optno == BANGHIST || optno == SHINSTDIN || optno == MULTIBYTE)
        inittyptab();
    return 0;
}

static int emulationof(const char *name)
{
    const char *p = name;
    if (*p == 'r')
        p++;
    if (*p == 'b' || *p == 's')
        return EMULATE_SH;
    if (*p == 'c')
        return EMULATE_CSH;
    if (*p == 'k')
        return EMULATE_KSH;
    return EMULATE_TARN;
}

void installemulation(int emul, signed char *newopts)
{
    for (int i = 1; i < OPT_SIZE; i++) {
        if (optflags(i) & OPT_SPECIAL)
            continue;
        newopts[i] = static_cast<signed char>(defset(i, emul));
    }
}

void emulate(const char *name, int fully)
{
    emulation = emulationof(name);
    for (int i = 1; i < OPT_SIZE; i++) {
        int flags = optflags(i);
        if ((flags & OPT_EMUL) || (fully && !(flags & OPT_SPECIAL)))
            opts[i] = static_cast<signed char>(defset(i, emulation));
    }
    mbsync();
}

namespace {

// The setopt/unsetopt listing; `set` says which builtin is listing.
void printoptionnode(HashNode *hn, int set)
{
    OptName *on = static_cast<OptName *>(hn);
    int optno = on->optno;
    if (on->flags & OPT_ALIAS)
        return;
    if (isset(KSHOPTIONPRINT)) {
        if (defset(optno, emulation))
            printf("no%-19s %s\n", on->nam, isset(optno) ? "off" : "on");
        else
            printf("%-21s %s\n", on->nam, isset(optno) ? "on" : "off");
    } else if (set == (isset(optno) ^ defset(optno, emulation))) {
        if (set ^ isset(optno))
            fputs("no", stdout);
        puts(on->nam);
    }
}

void printoptionstate(HashNode *hn, int hadplus)
{
    OptName *on = static_cast<OptName *>(hn);
    if (on->flags & OPT_ALIAS)
        return;
    int optno = on->optno;
    if (hadplus) {
        if (defset(optno, emulation) != isset(optno))
            printf("set -o %s%s\n", defset(optno, emulation) ? "no" : "", on->nam);
    } else if (defset(optno, emulation)) {
        printf("no%-19s %s\n", on->nam, isset(optno) ? "off" : "on");
    } else {
        printf("%-21s %s\n", on->nam, isset(optno) ? "on" : "off");
    }
}

void printoptionlistnode(HashNode *hn, int)
{
    OptName *on = static_cast<OptName *>(hn);
    if (!(on->flags & OPT_ALIAS))
        printf("  --%s\n", on->nam);
}

void printequiv(int optno)
{
    printf("  equivalent to --%s%s\n", optno < 0 ? "no" : "", optname(optno));
}

void printaliasnode(HashNode *hn, int)
{
    OptName *on = static_cast<OptName *>(hn);
    if (on->flags & OPT_ALIAS) {
        printf("  --%-19s  ", on->nam);
        printequiv(on->optno);
    }
}

}  // namespace

void printoptionstates(int hadplus)
{
    scanhashtable(optiontable(), 1, 0, OPT_ALIAS, printoptionstate, hadplus);
}

void printoptionlist()
{
    fputs("\nNamed options:\n", stdout);
    scanhashtable(optiontable(), 1, 0, OPT_ALIAS, printoptionlistnode, 0);
    fputs("\nOption aliases:\n", stdout);
    scanhashtable(optiontable(), 1, OPT_ALIAS, 0, printaliasnode, 0);
    fputs("\nOption letters:\n", stdout);
    for (char c = '0'; c <= 'y'; c++)
        if (int optno = optlookupc(c)) {
            printf("  -%c  ", c);
            printequiv(optno);
        }
}

char *dashgetfn()
{
    char buf[75];
    char *p = buf;
    for (char c = '0'; c <= 'y'; c++) {
        int optno = optlookupc(c);
        if (optno && (optno > 0 ? isset(optno) : unset(-optno)))
            *p++ = c;
    }
    *p = '\0';
    return dupstring(buf);
}

OptionSet saveoptions()
{
    OptionSet set;
    memcpy(set.o, opts, sizeof(set.o));
    return set;
}

void restoreoptions(const OptionSet &saved)
{
    for (int i = 1; i < OPT_SIZE; i++) {
        if (i == PRIVILEGED || i == RESTRICTED || opts[i] == saved.o[i])
            continue;
        // Through dosetopt so the keymap and character classes follow.
        dosetopt(i, saved.o[i], 1);
    }
    // emacs and vi switch each other off; the saved bytes are the truth.
    for (int i = 1; i < OPT_SIZE; i++)
        if (i != PRIVILEGED && i != RESTRICTED)
            opts[i] = saved.o[i];
}

// ---- setopt, unsetopt, emulate ----

namespace {

int patternvalue;

void setmatchedoption(HashNode *hn, int)
{
    // Refusals stay quiet here: a broad pattern meets the fixed options.
    (void)dosetopt(static_cast<OptName *>(hn)->optno, patternvalue, 0);
}

}  // namespace

int bin_setopt(char *nam, char **args, BuiltinOptions *, int isunset)
{
    if (!*args) {
        HashTable *ht = optiontable();
        scanhashtable(ht, 1, 0, OPT_ALIAS, ht->printnode, !isunset);
        return 0;
    }
    bool match = false;
    while (*args && (**args == '-' || **args == '+')) {
        int action = (**args == '-') ^ isunset;
        const char *p = *args + 1;
        bool ended = false;
        while (*p) {
            unsigned char c = metachar(p);
            if (c == '-') {
                ended = true;
                break;
            }
            if (c == 'o') {
                const char *name = p;
                if (!*name) {
                    if (!args[1]) {
                        qwarnnam(nam, "string expected after -o", nullptr, 0);
                        inittyptab();
                        return 1;
                    }
                    name = *++args;
                }
                if (int optno = optlookup(name); !optno)
                    qwarnnam(nam, "no such option: %s", name, 0);
                else if (dosetopt(optno, action, 0))
                    qwarnnam(nam, "can't change option: %s", name, 0);
                break;
            }
            if (c == 'm') {
                match = true;
            } else if (int optno = optlookupc(char(c)); !optno) {
                qwarnnam(nam, "bad option: -%c", nullptr, c);
            } else if (dosetopt(optno, action, 0)) {
                qwarnnam(nam, "can't change option: -%c", nullptr, c);
            }
        }
        args++;
        if (ended)
            break;
    }
    for (; *args; args++) {
        if (!match) {
            if (int optno = optlookup(*args); !optno)
                qwarnnam(nam, "no such option: %s", *args, 0);
            else if (dosetopt(optno, !isunset, 0))
                qwarnnam(nam, "can't change option: %s", *args, 0);
            continue;
        }
        // Option names are stored lower case without underscores.
        char *pat = dupstring(*args);
        char *t = pat;
        for (const char *q = *args; *q; q++)
            if (*q != '_')
                *t++ = char(tulower(static_cast<unsigned char>(*q)));
        *t = '\0';
        tokenize(pat);
        Patprog *pprog = patcompile(pat, 0, nullptr);
        if (!pprog) {
            qwarnnam(nam, "bad pattern: %s", *args, 0);
            continue;
        }
        patternvalue = !isunset;
        scanmatchtable(optiontable(), pprog, 0, OPT_ALIAS, setmatchedoption, 0);
    }
    inittyptab();
    return 0;
}

int bin_emulate(char *, char **argv, BuiltinOptions *ops, int)
{
    emulate(*argv, opt_isset(ops, 'R'));
    if (opt_isset(ops, 'L'))
        opts[LOCALOPTIONS] = opts[LOCALTRAPS] = 1;
    // A full reset may have changed banghist.
    inittyptab();
    return 0;
}
