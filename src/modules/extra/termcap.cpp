// tarn/termcap and tarn/terminfo: echotc and echoti, and the arrays
// $termcap and $terminfo, over the terminal capability database.
#include "modules/extra/extra.h"

#include <curses.h>
#include <term.h>

#include <cstdlib>
#include <cstring>

namespace {

// Whether the capabilities of the terminal can be had; loading them when
// nobody has yet (a script's first use).
bool termok()
{
    if (termflags & TERM_BAD)
        return false;
    if ((termflags & TERM_UNKNOWN) && (isset(INTERACTIVE) || !init_term()))
        return false;
    return true;
}

int putraw(int c) { return putchar(c); }

// The arguments a capability string takes: its %d, %2, %3, %. and %+.
int countparams(const char *s)
{
    int n = 0;
    for (; *s; s++)
        if (*s == '%' && s[1]) {
            s++;
            if (strchr("d23.+", *s))
                n++;
        }
    return n;
}

bool argcount(const char *nam, const char *cap, char **argv)
{
    int want = countparams(cap), have = arrlen(argv);
    if (have == want)
        return true;
    qwarnnam(nam, have < want ? "not enough arguments" : "too many arguments", nullptr, 0);
    return false;
}

bool listed(const char *const *codes, const char *name)
{
    for (; *codes; codes++)
        if (!strcmp(*codes, name))
            return true;
    return false;
}

char *nm(const char *s) { return const_cast<char *>(s); }

char *metacopy(const char *s) { return metafy(const_cast<char *>(s), -1, META_HEAPDUP); }

bool havestr(const char *s) { return s && s != reinterpret_cast<const char *>(-1) && *s; }

// ---- termcap ----

int bin_echotc(char *nam, char **argv, BuiltinOptions *, int)
{
    if (!termok())
        return 1;
    char *cap = unmeta(*argv++);
    if (!cap)
        return 1;
    int num = tgetnum(cap);
    if (num != -1) {
        printf("%d\n", num);
        return 0;
    }
    if (tgetflag(cap) > 0 || listed(boolcodes, cap)) {
        puts(tgetflag(cap) > 0 ? "yes" : "no");
        return 0;
    }
    char *t = tgetstr(cap, nullptr);
    if (!havestr(t)) {
        qwarnnam(nam, "no such capability: %s", argv[-1], 0);
        return 1;
    }
    if (!argcount(nam, t, argv))
        return 1;
    if (*argv) {
        int a = atoi(*argv), b = argv[1] ? atoi(argv[1]) : a;
        t = tgoto(t, a, b);
    }
    tputs(t, 1, putraw);
    fflush(stdout);
    return 0;
}

char *termcapget(const char *key)
{
    if (!termok())
        return nullptr;
    char *cap = unmeta(key);
    if (!cap)
        return nullptr;
    int num = tgetnum(cap);
    if (num != -1) {
        char buf[24];
        snprintf(buf, sizeof buf, "%d", num);
        return dupstring(buf);
    }
    if (tgetflag(cap) > 0 || listed(boolcodes, cap))
        return dupstring(tgetflag(cap) > 0 ? "yes" : "no");
    char *t = tgetstr(cap, nullptr);
    return havestr(t) ? metacopy(t) : nullptr;
}

void termcapscan(void (*fn)(const char *, char *, void *), void *data)
{
    if (!termok())
        return;
    for (const char *const *c = boolcodes; *c; c++)
        if (tgetflag(nm(*c)) > 0)
            fn(*c, dupstring("yes"), data);
    for (const char *const *c = numcodes; *c; c++) {
        int num = tgetnum(nm(*c));
        if (num != -1) {
            char buf[24];
            snprintf(buf, sizeof buf, "%d", num);
            fn(*c, dupstring(buf), data);
        }
    }
    for (const char *const *c = strcodes; *c; c++) {
        char *t = tgetstr(nm(*c), nullptr);
        if (havestr(t))
            fn(*c, metacopy(t), data);
    }
}

Builtin tcbintab[] = {
    mkbuiltin("echotc", 0, bin_echotc, 1, -1, 0, nullptr, nullptr),
};
SpecialParam tcparams[] = {
    {"termcap", PF_HASHED | PF_READONLY, termcapget, termcapscan, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr},
};

// ---- terminfo ----

int bin_echoti(char *nam, char **argv, BuiltinOptions *, int)
{
    if (!termok())
        return 1;
    char *cap = unmeta(*argv++);
    if (!cap)
        return 1;
    int num = tigetnum(cap);
    if (num != -1 && num != -2) {
        printf("%d\n", num);
        return 0;
    }
    int flag = tigetflag(cap);
    if (flag != -1) {
        puts(flag ? "yes" : "no");
        return 0;
    }
    char *t = tigetstr(cap);
    if (!havestr(t)) {
        qwarnnam(nam, "no such terminfo capability: %s", argv[-1], 0);
        return 1;
    }
    if (!argcount(nam, t, argv))
        return 1;
    if (*argv) {
        long a[9] = {};
        for (int i = 0; i < 9 && argv[i]; i++)
            a[i] = atol(argv[i]);
        t = tparm(t, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]);
        if (!t)
            return 1;
    }
    tputs(t, 1, putraw);
    fflush(stdout);
    return 0;
}

char *terminfoget(const char *key)
{
    if (!termok())
        return nullptr;
    char *cap = unmeta(key);
    if (!cap)
        return nullptr;
    int num = tigetnum(cap);
    if (num != -1 && num != -2) {
        char buf[24];
        snprintf(buf, sizeof buf, "%d", num);
        return dupstring(buf);
    }
    int flag = tigetflag(cap);
    if (flag != -1)
        return dupstring(flag ? "yes" : "no");
    char *t = tigetstr(cap);
    return havestr(t) ? metacopy(t) : nullptr;
}

void terminfoscan(void (*fn)(const char *, char *, void *), void *data)
{
    if (!termok())
        return;
    for (const char *const *c = boolnames; *c; c++)
        if (tigetflag(nm(*c)) > 0)
            fn(*c, dupstring("yes"), data);
    for (const char *const *c = numnames; *c; c++) {
        int num = tigetnum(nm(*c));
        if (num >= 0) {
            char buf[24];
            snprintf(buf, sizeof buf, "%d", num);
            fn(*c, dupstring(buf), data);
        }
    }
    for (const char *const *c = strnames; *c; c++) {
        char *t = tigetstr(nm(*c));
        if (havestr(t))
            fn(*c, metacopy(t), data);
    }
}

Builtin tibintab[] = {
    mkbuiltin("echoti", 0, bin_echoti, 1, -1, 0, nullptr, nullptr),
};
SpecialParam tiparams[] = {
    {"terminfo", PF_HASHED | PF_READONLY, terminfoget, terminfoscan, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr},
};

int bootterm(Module *m, Builtin *b, SpecialParam *p)
{
    if (!addbuiltins(m->nam, b, 1))
        return 1;
    if (addspecialparams(p, 1)) {
        deletebuiltins(m->nam, b, 1);
        return 1;
    }
    return 0;
}

int cleanupterm(Module *m, Builtin *b, SpecialParam *p)
{
    removespecialparams(p, 1);
    deletebuiltins(m->nam, b, 1);
    return 0;
}

}  // namespace

int setup_tarnQstermcap(Module *) { return 0; }
int boot_tarnQstermcap(Module *m) { return bootterm(m, tcbintab, tcparams); }
int cleanup_tarnQstermcap(Module *m) { return cleanupterm(m, tcbintab, tcparams); }
int finish_tarnQstermcap(Module *) { return 0; }

int setup_tarnQsterminfo(Module *) { return 0; }
int boot_tarnQsterminfo(Module *m) { return bootterm(m, tibintab, tiparams); }
int cleanup_tarnQsterminfo(Module *m) { return cleanupterm(m, tibintab, tiparams); }
int finish_tarnQsterminfo(Module *) { return 0; }
