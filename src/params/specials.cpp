// The special parameters: one table of records whose accessors mirror or
// compute shell state, and the building of the parameter table at start-up.
#include "params/params.h"

#include "exec/exec.h"
#include "history/history.h"
#include "expand/expand.h"
#include "jobs/jobs.h"
#include "core/paths.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

char *prompt, *prompt2, *prompt3, *prompt4, *rprompt, *rprompt2, *sprompt;
char *postedit, *nullcmd, *readnullcmd, *qoptarg;
int64_t qoptind, shlvl, histsiz, savehistsiz;
pid_t ppid;
char **fpath, **cdpath, **manpath, **fignore, **mailpath, **watch, **psvar, **module_path;
TARN_HOT char *qunderscore;
TARN_HOT size_t underscorelen, underscoreused;
TARN_HOT char underscorebuf[64];
char *cached_username;
uid_t cached_uid;

static char *home, *term;

// ---- accessors of the specials ----

static int64_t poundgetfn(Param *) { return arrlen(pparams); }
// $0 and argv may hold a function call's arena copies, which are not freed.
static void argzerosetfn(Param *, char *s) { setargzero(s); }
static void pparamsetfn(Param *, char **a) { setpparams(a ? a : qcnew<char *>(1)); }
static int64_t errnogetfn(Param *) { return errno; }
static int64_t gidgetfn(Param *) { return getgid(); }
static void gidsetfn(Param *, int64_t x) { (void)!setgid(gid_t(x)); }
static int64_t egidgetfn(Param *) { return getegid(); }
static void egidsetfn(Param *, int64_t x) { (void)!setegid(gid_t(x)); }
static int64_t uidgetfn(Param *) { return getuid(); }
static void uidsetfn(Param *, int64_t x) { (void)!setuid(uid_t(x)); }
static int64_t euidgetfn(Param *) { return geteuid(); }
static void euidsetfn(Param *, int64_t x) { (void)!seteuid(uid_t(x)); }

static int64_t histsizegetfn(Param *) { return histsiz; }
static void histsizesetfn(Param *, int64_t v)
{
    histsiz = v < 1 ? 1 : v;
    resizehistents();
}
static int64_t savehistsizegetfn(Param *) { return savehistsiz; }
static void savehistsizesetfn(Param *, int64_t v) { savehistsiz = v < 0 ? 0 : v; }

// The generator is seeded with the start-up time when RANDOM is first read
// (seeding costs more than a script that never reads it should pay); the
// numbers are those of seeding it at start-up.
static unsigned randomseed;
static bool randompending;
void seedrandom(unsigned seed)
{
    randomseed = seed;
    randompending = true;
}
static int64_t randomgetfn(Param *)
{
    if (randompending) {
        randompending = false;
        srand(randomseed);
    }
    return rand() & 0x7fff;
}
static void randomsetfn(Param *, int64_t v)
{
    randompending = false;
    srand(unsigned(v));
}

static double nowseconds()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return double(now.tv_sec) + double(now.tv_usec) / 1e6;
}

double getrawseconds() { return double(shtimer.tv_sec) + double(shtimer.tv_usec) / 1e6; }

void setrawseconds(double d)
{
    shtimer.tv_sec = time_t(d);
    shtimer.tv_usec = long((d - double(shtimer.tv_sec)) * 1e6);
}

static int64_t intsecondsgetfn(Param *) { return int64_t(nowseconds() - getrawseconds()); }
static void intsecondssetfn(Param *, int64_t v)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    shtimer.tv_sec = now.tv_sec - time_t(v);
    shtimer.tv_usec = now.tv_usec;
}
static double floatsecondsgetfn(Param *) { return nowseconds() - getrawseconds(); }
static void floatsecondssetfn(Param *, double v) { setrawseconds(nowseconds() - v); }

int setsecondstype(Param *pm, int on, int off)
{
    int newflags = (pm->flags | on) & ~off;
    int tp = PF_TYPE(newflags);
    if (tp == PF_EFLOAT || tp == PF_FFLOAT) {
        pm->getter.ffn = floatsecondsgetfn;
        pm->setter.ffn = floatsecondssetfn;
    } else if (tp == PF_INTEGER) {
        pm->getter.ifn = intsecondsgetfn;
        pm->setter.ifn = intsecondssetfn;
    } else {
        return 1;
    }
    pm->flags = newflags;
    return 0;
}

static int64_t ttyidlegetfn(Param *)
{
    struct stat st;
    if (SHTTY == -1 || fstat(SHTTY, &st) < 0)
        return -1;
    return int64_t(time(nullptr) - st.st_atime);
}

// Set when start-up left the password entry unread (HOME came from the
// environment): the name is looked up when first wanted.
static bool username_pending;

static void readpasswdentry(bool sethome)
{
    username_pending = false;
    if (struct passwd *pw = getpwuid(cached_uid)) {
        if (sethome) {
            qsfree(home);
            home = metafy(pw->pw_dir, -1, META_DUP);
        }
        qsfree(cached_username);
        cached_username = metafy(pw->pw_name, -1, META_DUP);
    } else {
        if (sethome) {
            qsfree(home);
            home = qtrdup("/");
        }
        qsfree(cached_username);
        cached_username = qtrdup("");
    }
}

const char *currentusername()
{
    if (username_pending)
        readpasswdentry(false);
    return cached_username ? cached_username : "";
}

static char *usernamegetfn(Param *) { return dupstring(currentusername()); }

// LOGNAME as the shell sets it when none is inherited: the login name,
// else the name of the user the shell started as, looked up when first
// read or when a program is about to get the environment.  Read, assigned
// or unset, it becomes an ordinary parameter.
static bool lognamepending;
static uid_t lognameuid;

static void lognameplain(Param *pm)
{
    lognamepending = false;
    pm->getter.cfn = strgetfn;
    pm->setter.cfn = scalarsetfn;
}

static void lognamesetfn(Param *pm, char *x)
{
    lognameplain(pm);
    scalarsetfn(pm, x);
}

static char *lognamegetfn(Param *pm)
{
    lognameplain(pm);
    const char *ln = getlogin();
    if (!ln || !*ln) {
        struct passwd *pw = getpwuid(lognameuid);
        ln = pw ? pw->pw_name : "";
    }
    scalarsetfn(pm, metafy(const_cast<char *>(ln), -1, META_DUP));
    // Hidden by a local one, it is exported again when that one goes.
    if ((pm->flags & PF_EXPORTED) && gethashnode2(realparamtab, "LOGNAME") == pm)
        export_param(pm);
    return strgetfn(pm);
}

void settleenviron()
{
    if (!lognamepending)
        return;
    lognamepending = false;
    // Found through the table, local ones hiding it or not: a pointer kept
    // could outlive the parameter.
    for (Param *pm = static_cast<Param *>(gethashnode2(realparamtab, "LOGNAME")); pm; pm = pm->shadowed)
        if (pm->getter.cfn == lognamegetfn) {
            pm->getter.cfn(pm);
            break;
        }
}

static void usernamesetfn(Param *, char *x)
{
    if (x) {
        if (struct passwd *pw = getpwnam(unmeta(x))) {
            if (pw->pw_uid != cached_uid && !initgroups(pw->pw_name, pw->pw_gid) && !setgid(pw->pw_gid) &&
                !setuid(pw->pw_uid)) {
                qsfree(cached_username);
                cached_username = qtrdup(x);
                cached_uid = pw->pw_uid;
            }
        }
    }
    qsfree(x);
}

static char *dashparamgetfn(Param *) { return dupstring(dashgetfn()); }

static char *histcharsgetfn(Param *)
{
    char buf[4] = {static_cast<char>(bangchar), static_cast<char>(hatchar), static_cast<char>(hashchar), 0};
    return dupstring(buf);
}

static void histcharssetfn(Param *, char *x)
{
    if (x) {
        char *u = unmeta(x);
        bangchar = static_cast<unsigned char>(u[0]);
        hatchar = bangchar ? static_cast<unsigned char>(u[1]) : 0;
        hashchar = hatchar ? static_cast<unsigned char>(u[2]) : 0;
        qsfree(x);
    } else {
        bangchar = '!';
        hashchar = '#';
        hatchar = '^';
    }
    inittyptab();
}

static char *homegetfn(Param *) { return home ? home : dupstring(""); }

static void homesetfn(Param *, char *x)
{
    qsfree(home);
    if (x && isset(CHASELINKS)) {
        if (char *r = realpath(unmeta(x), nullptr)) {
            qsfree(x);
            x = metafy(r, -1, META_DUP);
            free(r);
        }
    }
    home = x;
}

static char *termgetfn(Param *) { return term ? term : dupstring(""); }

static void termsetfn(Param *, char *x)
{
    qsfree(term);
    term = x;
    if (isset(INTERACTIVE) && term && *term)
        init_term();
    else
        termflags |= TERM_UNKNOWN;
}

static char *wordcharsgetfn(Param *) { return wordchars ? wordchars : dupstring(""); }
static void wordcharssetfn(Param *, char *x)
{
    qsfree(wordchars);
    wordchars = x;
    inittyptab();
}

static char *ifsgetfn(Param *) { return ifs ? ifs : dupstring(""); }
static void ifssetfn(Param *, char *x)
{
    qsfree(ifs);
    ifs = x;
    inittyptab();
}

static char *underscoregetfn(Param *)
{
    char *u = dupstring(qunderscore ? qunderscore : "");
    untokenize(u);
    return u;
}

// The locale categories that follow their LC_ parameter.
struct LocaleName {
    const char *name;
    int category;
};
static constexpr LocaleName lcnames[] = {
    {"LC_COLLATE", LC_COLLATE}, {"LC_CTYPE", LC_CTYPE}, {"LC_MESSAGES", LC_MESSAGES},
    {"LC_NUMERIC", LC_NUMERIC}, {"LC_TIME", LC_TIME},
};

bool localepending;

// Only these categories change what the shell itself does; loading the
// others (money, paper, addresses) would cost every start-up a dozen
// file opens for nothing.  Programs it runs read the variables themselves.
void setshelllocale(const char *x)
{
    for (const LocaleName &ln : lcnames)
        setlocale(ln.category, x);
    mblocalechanged();
}

static void setlang(const char *x)
{
    char *all = getsparam("LC_ALL");
    if (all && *all)
        return;
    // Each category from its own variable, else from LANG (copied: x may
    // be unmeta's buffer, which the variables' names reuse); the character
    // set is looked at once, after all of them.
    std::string base = x ? x : "";
    for (const LocaleName &ln : lcnames) {
        char *v = getsparam(ln.name);
        setlocale(ln.category, v && *v ? unmeta(v) : base.c_str());
    }
    mblocalechanged();
}

// The name the parameters give the character set: LC_ALL over LC_CTYPE
// over LANG.
static const char *ctypename()
{
    for (const char *n : {"LC_ALL", "LC_CTYPE", "LANG"})
        if (char *v = getsparam(n); v && *v)
            return unmeta(v);
    return "";
}

// While the locale waits, the multibyte option follows the character set
// its name gives, as it follows a loaded one.
static void guesscharset() { mbsetcharset(namedutf8(ctypename()), true); }

// What the parameters name now: LC_ALL over each LC_ variable over LANG.
// The multibyte option stays as it stands (the name gave its default, and
// the user may have changed it since); only the character set is now the
// loaded one's.
void loadlocale()
{
    localepending = false;
    SignalGuard sg;
    char opt = opts[MULTIBYTE];
    char *all = getsparam("LC_ALL");
    if (all && *all) {
        setshelllocale(unmeta(all));
    } else {
        char *lang = getsparam("LANG");
        setlang(lang ? unmeta(lang) : nullptr);
    }
    opts[MULTIBYTE] = opt;
    mbsync();
}

static void storestr(Param *pm, char *x)
{
    if (pm->value.str != x)
        qsfree(pm->value.str);
    pm->value.str = x;
}

static void langsetfn(Param *pm, char *x)
{
    storestr(pm, x);
    if (localepending) {
        guesscharset();
        return;
    }
    SignalGuard sg;
    setlang(x ? unmeta(x) : nullptr);
}

static void lcallsetfn(Param *pm, char *x)
{
    storestr(pm, x);
    if (localepending) {
        guesscharset();
        return;
    }
    SignalGuard sg;
    if (!x) {
        char *lang = getsparam("LANG");
        setlang(lang ? unmeta(lang) : nullptr);
    } else {
        setshelllocale(unmeta(x));
    }
}

static void lcsetfn(Param *pm, char *x)
{
    storestr(pm, x);
    if (localepending) {
        if (!strcmp(pm->nam, "LC_CTYPE"))
            guesscharset();
        return;
    }
    char *all = getsparam("LC_ALL");
    if (all && *all)
        return;
    SignalGuard sg;
    if (!x)
        x = getsparam("LANG");
    for (const LocaleName &ln : lcnames)
        if (!strcmp(ln.name, pm->nam))
            setlocale(ln.category, x ? unmeta(x) : "");
    if (!strcmp(pm->nam, "LC_CTYPE"))
        mblocalechanged();
}

static int64_t lastpidgetfn(Param *) { return lastpid; }
static int64_t mypidgetfn(Param *) { return mypid; }
static int64_t ppidgetfn(Param *) { return ppid; }
static int64_t linenogetfn(Param *) { return lineno; }
static int64_t columnsgetfn(Param *) { return tccolumns; }
static int64_t linesgetfn(Param *) { return tclines; }

void (*winsizechangedptr)();

void kedvarsetfn(Param *pm, int64_t v)
{
    if (!strcmp(pm->nam, "COLUMNS") || !strcmp(pm->nam, "LINES")) {
        (pm->nam[0] == 'C' ? tccolumns : tclines) = int(v);
        if (winsizechangedptr)
            winsizechangedptr();
    } else if (pm->value.data) {
        *static_cast<int64_t *>(pm->value.data) = v;
    }
}

static void nullarrsetfn(Param *, char **a) { freearray(a); }

static char **pipestatgetfn(Param *)
{
    char **r = qhnew<char *>(size_t(numpipestats) + 1);
    for (int i = 0; i < numpipestats; i++) {
        char buf[24];
        snprintf(buf, sizeof buf, "%d", pipestats[i]);
        r[i] = dupstring(buf);
    }
    r[numpipestats] = nullptr;
    return r;
}

static void pipestatsetfn(Param *, char **a)
{
    int i = 0;
    for (char **p = a; p && *p && i < MAX_PIPESTATS; p++)
        pipestats[i++] = atoi(*p);
    numpipestats = i;
    freearray(a);
}

// ---- the table ----

constexpr int R = PF_READONLY, X = PF_RESTRICTED, D = PF_DONTIMPORT, U = PF_UNSET;

struct SpecialDef {
    Param pm;
    bool nativeonly;  // installed only outside sh and ksh emulation
    int origflags;
};

static constexpr SpecialDef mk(const char *name, int flags, void *var, ParamGetter g, ParamSetter s, bool native,
                               const char *tied = nullptr)
{
    SpecialDef d{};
    d.pm.nam = const_cast<char *>(name);
    d.pm.flags = flags | PF_SPECIAL;
    d.pm.value.data = var;
    d.pm.getter = g;
    d.pm.setter = s;
    d.pm.unsetter = stdunsetfn;
    d.pm.aux = PF_TYPE(flags) == PF_INTEGER ? 10 : 0;
    d.pm.tiedname = tied;
    d.nativeonly = native;
    d.origflags = d.pm.flags;
    return d;
}

static constexpr SpecialDef I(const char *n, int fl, int64_t (*g)(Param *), void (*s)(Param *, int64_t),
                              bool nat = false)
{
    return mk(n, fl | PF_INTEGER, nullptr, ParamGetter{.ifn = g}, ParamSetter{.ifn = s}, nat);
}
static constexpr SpecialDef IV(const char *n, int fl, int64_t *var, bool nat = false)
{
    return mk(n, fl | PF_INTEGER, var, ParamGetter{.ifn = intvargetfn},
              ParamSetter{.ifn = (fl & R) ? nullintsetfn : intvarsetfn}, nat);
}
static constexpr SpecialDef S(const char *n, int fl, char *(*g)(Param *), void (*s)(Param *, char *),
                              bool nat = false)
{
    return mk(n, fl, nullptr, ParamGetter{.cfn = g}, ParamSetter{.cfn = s}, nat);
}
static constexpr SpecialDef SV(const char *n, char **var, bool nat = false)
{
    return mk(n, 0, var, ParamGetter{.cfn = strvargetfn}, ParamSetter{.cfn = strvarsetfn}, nat);
}
static constexpr SpecialDef C(const char *n, int fl, char ***var, const char *tied, bool nat = false)
{
    return mk(n, fl, var, ParamGetter{.cfn = colonarrgetfn}, ParamSetter{.cfn = colonarrsetfn}, nat, tied);
}
static constexpr SpecialDef T(const char *n, int fl, char ***var, const char *tied)
{
    return mk(n, fl | PF_ARRAY, var, ParamGetter{.afn = arrvargetfn}, ParamSetter{.afn = arrvarsetfn}, true, tied);
}

// Laid out by the compiler (constinit), not by code run at every start-up.
static constinit SpecialDef specialtab[] = {
    I("#", R, poundgetfn, nullintsetfn),
    I("ERRNO", R, errnogetfn, nullintsetfn),
    I("GID", X | D, gidgetfn, gidsetfn),
    I("EGID", X | D, egidgetfn, egidsetfn),
    I("HISTSIZE", X, histsizegetfn, histsizesetfn),
    I("RANDOM", 0, randomgetfn, randomsetfn),
    I("SAVEHIST", X, savehistsizegetfn, savehistsizesetfn),
    I("SECONDS", 0, intsecondsgetfn, intsecondssetfn),
    I("UID", X | D, uidgetfn, uidsetfn),
    I("EUID", X | D, euidgetfn, euidsetfn),
    I("TTYIDLE", R, ttyidlegetfn, nullintsetfn),
    S("USERNAME", X | D, usernamegetfn, usernamesetfn),
    S("-", R, dashparamgetfn, nullstrsetfn),
    S("histchars", D, histcharsgetfn, histcharssetfn),
    S("HOME", 0, homegetfn, homesetfn),
    S("TERM", 0, termgetfn, termsetfn),
    S("WORDCHARS", 0, wordcharsgetfn, wordcharssetfn),
    S("IFS", D, ifsgetfn, ifssetfn),
    S("_", R, underscoregetfn, nullstrsetfn),
    S("LANG", U, strgetfn, langsetfn),
    S("LC_ALL", U, strgetfn, lcallsetfn),
    S("LC_COLLATE", U, strgetfn, lcsetfn),
    S("LC_CTYPE", U, strgetfn, lcsetfn),
    S("LC_MESSAGES", U, strgetfn, lcsetfn),
    S("LC_NUMERIC", U, strgetfn, lcsetfn),
    S("LC_TIME", U, strgetfn, lcsetfn),
    I("!", R, lastpidgetfn, nullintsetfn),
    I("$", R, mypidgetfn, nullintsetfn),
    IV("?", R, &lastval),
    I("LINENO", R, linenogetfn, nullintsetfn),
    I("PPID", R, ppidgetfn, nullintsetfn),
    I("COLUMNS", 0, columnsgetfn, kedvarsetfn),
    I("LINES", 0, linesgetfn, kedvarsetfn),
    IV("OPTIND", 0, &qoptind),
    IV("SHLVL", 0, &shlvl),
    SV("OPTARG", &qoptarg),
    SV("NULLCMD", &nullcmd),
    SV("READNULLCMD", &readnullcmd),
    SV("POSTEDIT", &postedit),
    SV("PS1", &prompt),
    SV("RPS1", &rprompt),
    SV("RPROMPT", &rprompt),
    SV("PS2", &prompt2),
    SV("RPS2", &rprompt2),
    SV("RPROMPT2", &rprompt2),
    SV("PS3", &prompt3),
    SV("PS4", &prompt4),
    SV("SPROMPT", &sprompt),
    mk("0", 0, &argzero, ParamGetter{.cfn = strvargetfn}, ParamSetter{.cfn = argzerosetfn}, false),
    C("CDPATH", 0, &cdpath, "cdpath"),
    C("FIGNORE", 0, &fignore, "fignore"),
    C("FPATH", 0, &fpath, "fpath"),
    C("MAILPATH", 0, &mailpath, "mailpath"),
    C("WATCH", 0, &watch, "watch"),
    C("PSVAR", 0, &psvar, "psvar"),
    C("MODULE_PATH", X | D, &module_path, "module_path"),
    C("PATH", X, &path, "path"),
    mk("*", R | D | PF_ARRAY, &pparams, ParamGetter{.afn = arrvargetfn}, ParamSetter{.afn = nullarrsetfn}, false),
    mk("@", R | D | PF_ARRAY, &pparams, ParamGetter{.afn = arrvargetfn}, ParamSetter{.afn = nullarrsetfn}, false),

    // Names that scripts for sh and ksh use freely.
    I("ARGC", R, poundgetfn, nullintsetfn, true),
    S("HISTCHARS", D, histcharsgetfn, histcharssetfn, true),
    IV("status", R, &lastval, true),
    SV("prompt", &prompt, true),
    SV("PROMPT", &prompt, true),
    SV("PROMPT2", &prompt2, true),
    SV("PROMPT3", &prompt3, true),
    SV("PROMPT4", &prompt4, true),
    C("MANPATH", 0, &manpath, "manpath", true),
    mk("argv", D | PF_ARRAY, &pparams, ParamGetter{.afn = arrvargetfn}, ParamSetter{.afn = pparamsetfn}, true),
    T("fignore", D, &fignore, "FIGNORE"),
    T("cdpath", D, &cdpath, "CDPATH"),
    T("fpath", D, &fpath, "FPATH"),
    T("mailpath", D, &mailpath, "MAILPATH"),
    T("manpath", D, &manpath, "MANPATH"),
    T("psvar", D, &psvar, "PSVAR"),
    T("watch", D, &watch, "WATCH"),
    T("module_path", X | D, &module_path, "MODULE_PATH"),
    T("path", X | D, &path, "PATH"),
    mk("pipestatus", PF_ARRAY, nullptr, ParamGetter{.afn = pipestatgetfn}, ParamSetter{.afn = pipestatsetfn}, true),
};

// Positional parameters $1..$N: an array view of pparams, assigned by
// number as elements of argv are.
static Param argvparam = mk("argv", PF_ARRAY, &pparams, ParamGetter{.afn = arrvargetfn},
                            ParamSetter{.afn = pparamsetfn}, false).pm;

// ---- restricted mode ----


void restrictparams()
{
    for (const char *const *np = restrictedparams; *np; np++) {
        const char *name = *np;
        Param *pm = static_cast<Param *>(gethashnode2(realparamtab, name));
        if (!pm) {
            pm = createparam(name, PF_SCALAR | PF_UNSET | PF_SPECIAL | PF_RESTRICTED);
            if (pm)
                setaccessors(pm);
        } else {
            pm->flags |= PF_SPECIAL | PF_RESTRICTED;
        }
    }
}

// ---- default state ----

static char **mkperm(std::initializer_list<const char *> words)
{
    char **a = qnew<char *>(words.size() + 1), **p = a;
    for (const char *w : words)
        *p++ = qtrdup(w);
    *p = nullptr;
    return a;
}

// The values start-up gives the mirrored variables before the table exists.
static void setdefaults()
{
    auto replace = [](char *&var, const char *val) {
        qsfree(var);
        var = qtrdup(val);
    };
    auto replacearr = [](char **&var, char **val) {
        freearray(var);
        var = val;
    };
    if (!shtimer.tv_sec)
        gettimeofday(&shtimer, nullptr);
    replacearr(path, mkperm({"/bin", "/usr/bin", "/usr/ucb", "/usr/local/bin"}));
    replacearr(fpath, mkperm({tarnsitefuncdir, tarnfuncdir}));
    replacearr(module_path, mkperm({tarnmoduledir}));
    replacearr(cdpath, mkperm({}));
    replacearr(manpath, mkperm({}));
    replacearr(fignore, mkperm({}));
    replacearr(mailpath, mkperm({}));
    replacearr(watch, mkperm({}));
    replacearr(psvar, mkperm({}));

    bool shk = emulating(EMULATE_SH | EMULATE_KSH);
    if (unset(INTERACTIVE)) {
        replace(prompt, "");
        replace(prompt2, "");
    } else if (shk) {
        replace(prompt, geteuid() == 0 ? "# " : "$ ");
        replace(prompt2, "> ");
    } else {
        replace(prompt, "%m%# ");
        replace(prompt2, "%_> ");
    }
    replace(prompt3, "?# ");
    replace(prompt4, shk ? "+ " : "+%N:%i> ");
    replace(sprompt, "tarn: correct '%R' to '%r' [nyae]? ");

    // "$IFS" is the three bytes POSIX scripts expect in sh emulation.
    replace(ifs, emulating(EMULATE_SH) ? " \t\n" : DEFAULT_IFS);
    replace(wordchars, DEFAULT_WORDCHARS);
    replace(postedit, "");
    if (qunderscore != underscorebuf)
        qfree(qunderscore);
    qunderscore = underscorebuf;
    underscorelen = sizeof underscorebuf;
    underscoreused = 1;
    *qunderscore = '\0';
    replace(qoptarg, "");
    qoptind = 1;
    ppid = getppid();
    replace(term, "");
    replace(nullcmd, "cat");
    replace(readnullcmd, "more");

    cached_uid = getuid();
    // HOME from the environment replaces the password entry's, so then the
    // entry (a walk through the user database) waits until the name is
    // wanted.
    if (getenv("HOME") && unset(PRIVILEGED)) {
        username_pending = true;
        qsfree(home);
        home = nullptr;
    } else {
        readpasswdentry(true);
    }
}

// The current directory by the rules of start-up: HOME, the inherited
// PWD, or the real name.
static char *findpwd()
{
    struct stat dot, st;
    if (stat(".", &dot) < 0)
        return qtrdup(".");
    auto same = [&](const char *d) {
        return d && *d == '/' && stat(d, &st) == 0 && st.st_dev == dot.st_dev && st.st_ino == dot.st_ino;
    };
    if (home && same(unmeta(home)))
        return qtrdup(home);
    const char *envpwd = getenv("PWD");
    if (envpwd && strlen(envpwd) < 1024 && same(envpwd))
        return metafy(const_cast<char *>(envpwd), -1, META_DUP);
    char buf[4096];
    if (getcwd(buf, sizeof buf))
        return metafy(buf, -1, META_DUP);
    return qtrdup(".");
}

// Signal names for the `signals` array, EXIT first.
static char **signalnames()
{
    static constexpr const char *names[] = {
        "EXIT", "HUP", "INT", "QUIT", "ILL", "TRAP", "ABRT", "BUS", "FPE", "KILL", "USR1", "SEGV",
        "USR2", "PIPE", "ALRM", "TERM", "STKFLT", "CHLD", "CONT", "STOP", "TSTP", "TTIN", "TTOU",
        "URG", "XCPU", "XFSZ", "VTALRM", "PROF", "WINCH", "POLL", "PWR", "SYS", "QERR", "DEBUG",
    };
    constexpr size_t n = sizeof names / sizeof names[0];
    char **a = qnew<char *>(n + 1);
    for (size_t i = 0; i < n; i++)
        a[i] = qtrdup(names[i]);
    a[n] = nullptr;
    return a;
}

static int64_t baudrate()
{
    static constexpr struct {
        speed_t code;
        int64_t baud;
    } speeds[] = {{B50, 50},     {B75, 75},     {B110, 110},     {B134, 134},     {B150, 150},
                  {B200, 200},   {B300, 300},   {B600, 600},     {B1200, 1200},   {B1800, 1800},
                  {B2400, 2400}, {B4800, 4800}, {B9600, 9600},   {B19200, 19200}, {B38400, 38400},
                  {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
    if (SHTTY == -1)
        return 0;
    speed_t sp = cfgetospeed(&shttyinfo.tio);
    for (const auto &s : speeds)
        if (s.code == sp)
            return s.baud;
    return 0;
}

void createparamtable()
{
    setdefaults();
    paramtab = realparamtab = newparamtable(151, "paramtab");
    bool shk = emulating(EMULATE_SH | EMULATE_KSH);
    // A table made again (tests make several) starts from the defaults;
    // the first finds them as the compiler laid them out.
    static bool made;
    for (SpecialDef &d : specialtab) {
        if (d.nativeonly && shk)
            continue;
        if (made) {
            d.pm.flags = d.origflags;
            d.pm.envstr = nullptr;
            d.pm.shadowed = nullptr;
            d.pm.level = 0;
            if (!strcmp(d.pm.nam, "SECONDS"))
                setsecondstype(&d.pm, PF_INTEGER, PF_EFLOAT | PF_FFLOAT);
        }
        realparamtab->addnode(realparamtab, d.pm.nam, &d.pm);
    }
    made = true;
    argvparam_pm = &argvparam;
    restrictparamsptr = restrictparams;
    installparamreg();

    NoErrsGuard quiet(1);
    int savedallexport = opts[ALLEXPORT];
    opts[ALLEXPORT] = 0;

    setiparam("MAILCHECK", 60);
    setiparam("LOGCHECK", 60);
    setiparam("KEYTIMEOUT", 40);
    setiparam("LISTMAX", 100);
    setiparam("BAUD", baudrate());
    setsparam("FCEDIT", qtrdup("vi"));
    setsparam("TMPPREFIX", qtrdup("/tmp/tarn"));
    setsparam("TIMEFMT", qtrdup("%J  %U user %S system %P cpu %*E total"));
    setsparam("WATCHFMT", qtrdup("%n has %a %l from %m."));
    {
        char host[256];
        if (gethostname(host, sizeof host) != 0)
            host[0] = '\0';
        host[255] = '\0';
        setsparam("HOST", metafy(host, -1, META_DUP));
    }
    // An inherited LOGNAME replaces this one.
    Param *logname = setsparam("LOGNAME", qtrdup(""));
    if (logname && !getenv("LOGNAME")) {
        logname->getter.cfn = lognamegetfn;
        logname->setter.cfn = lognamesetfn;
        lognameuid = cached_uid;
        lognamepending = true;
    } else {
        logname = nullptr;
    }
    char *pwd = findpwd();

    // The environment: rebuild the shell's vector from what is imported.
    {
        int n = 0;
        for (char **e = environ; e && *e; e++)
            n++;
        char **orig = qhnew<char *>(size_t(n) + 1);
        for (int i = 0; i < n; i++)
            orig[i] = dupstring(environ[i]);
        orig[n] = nullptr;
        initenvarr([](char *) { return false; });
        for (char **e = orig; *e; e++) {
            char *eq = strchr(*e, '=');
            if (!eq)
                continue;
            *eq = '\0';
            char *name = *e, *value = eq + 1;
            // An entry is imported when its name is a plain identifier
            // whose parameter may take it.
            if (!*name || idigit(*name) || strchr(name, '[') || !isident(name))
                continue;
            Param *old = static_cast<Param *>(gethashnode2(realparamtab, name));
            if (old && (old->flags & (PF_DONTIMPORT | PF_EXPORTED)))
                continue;
            if (!old && !needsmeta(value)) {
                *eq = '=';
                importparam(name, size_t(eq - name));
                continue;
            }
            // A read-only parameter (`_` comes with nearly every
            // environment) would refuse the value: skip the attempt.
            Param *pm = nullptr;
            if (!old || !(old->flags & PF_READONLY)) {
                int saverr = errflag;
                pm = assignsparam(name, metafy(value, -1, META_DUP), 0);
                if (errflag && !saverr)
                    errflag = 0;
            }
            if (!pm)
                pm = static_cast<Param *>(gethashnode2(realparamtab, name));
            if (!pm || (pm->flags & PF_UNSET))
                continue;
            if (pm->flags & PF_SPECIAL) {
                export_param(pm);
            } else {
                pm->flags |= PF_EXPORTED;
                pm->envstr = addenv(name, metafy(value, -1, META_HEAPDUP), pm->flags);
            }
        }
    }

    for (const char *name : {"HOME", "LOGNAME", "SHLVL"}) {
        Param *pm = static_cast<Param *>(gethashnode2(realparamtab, name));
        if (!pm)
            continue;
        if (!strcmp(name, "SHLVL"))
            shlvl++;
        if (pm == logname && pm->getter.cfn == lognamegetfn)
            pm->flags |= PF_EXPORTED;  // its entry is made with its value
        else if (!strcmp(name, "SHLVL") || !(pm->flags & PF_EXPORTED))
            export_param(pm);
    }
    setsparam("PWD", pwd);
    setsparam("OLDPWD", qtrdup(pwd));
    if (Param *pm = static_cast<Param *>(gethashnode2(realparamtab, "PWD")))
        export_param(pm);

    {
        struct utsname un;
        setsparam("CPUTYPE", qtrdup(uname(&un) == 0 ? un.machine : "unknown"));
    }
    setsparam("MACHTYPE", qtrdup(MACHTYPE_STR));
    setsparam("OSTYPE", qtrdup(OSTYPE_STR));
    setsparam("TTY", qtrdup(ttystrname ? ttystrname : ""));
    setsparam("VENDOR", qtrdup(VENDOR_STR));
    setsparam("TARN_NAME", qtrdup(tarn_name ? tarn_name : "tarn"));
    setsparam("TARN_VERSION", qtrdup(TARN_VERSION));
    setaparam("signals", signalnames());

    opts[ALLEXPORT] = static_cast<signed char>(savedallexport);
    errflag = 0;
}

// ---- references from pattern matches ----

// (#m): MATCH, MBEGIN and MEND describe the whole match.
static void setmatchrefs(char *match, long mbegin, long mend)
{
    setsparam("MATCH", qtrdup(match));
    setiparam("MBEGIN", mbegin);
    setiparam("MEND", mend);
}

// (#b): the arrays match, mbegin and mend describe the groups.
static void setcapturerefs(char **match, char **mbegin, char **mend)
{
    setaparam("match", qarrdup(match));
    setaparam("mbegin", qarrdup(mbegin));
    setaparam("mend", qarrdup(mend));
}

void init_matchrefs()
{
    patsetmatchptr = setmatchrefs;
    patsetcapturesptr = setcapturerefs;
}
