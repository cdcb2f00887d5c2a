// typeset, declare, local, export, readonly, integer and float: one
// handler that turns option letters into parameter flags and then lists,
// creates or changes parameters, ties a scalar to an array, or works on
// every parameter matching a pattern.
#include <cstring>

#include "builtins/builtins.h"
#include "core/meta.h"
#include "expand/expand.h"
#include "lang/lang.h"
#include "params/options.h"
#include "params/params.h"

namespace {

// The letters in flag-bit order: letter k sets bit k.
constexpr char typesetletters[] = "aiEFALRZlurtxUhHT";
// Letters that take a number (width, base or digits).
constexpr char auxletters[] = "EFLRZi";
constexpr int AUXFLAGS = PF_EFLOAT | PF_FFLOAT | PF_LEFT | PF_RIGHT_B | PF_RIGHT_Z | PF_INTEGER;
// The bits whose change means the parameter is replaced.
constexpr int CHANGEFLAGS = PF_TYPEMASK | PF_TIED | PF_AUTOLOAD;
// Printing flag for "typeset -p" form.
constexpr int PRINT_TYPESET = 0x20;

Param *lookupreal(const char *name) { return static_cast<Param *>(gethashnode2(realparamtab, name)); }

// ---- user-tied scalar/array pairs ----
// The scalar's value.data points at the array's stored vector, so either
// going away must cut the link before the other is touched again.

Param *tiedpartner(Param *pm)
{
    if (!pm->tiedname)
        return nullptr;
    return lookupreal(pm->tiedname);
}

void untie(Param *pm)
{
    qsfree(const_cast<char *>(pm->tiedname));
    pm->tiedname = nullptr;
    pm->flags &= ~PF_TIED;
}

void tiedscalarunsetfn(Param *pm, int)
{
    Param *apm = tiedpartner(pm);
    if (apm && pm->value.data == static_cast<void *>(&apm->value.arr)) {
        untie(apm);
        apm->unsetter = stdunsetfn;
        stdunsetfn(apm, 0);
    }
    pm->value.str = nullptr;
    pm->getter.cfn = strgetfn;
    pm->setter.cfn = scalarsetfn;
    pm->unsetter = stdunsetfn;
    untie(pm);
    pm->flags |= PF_UNSET;
}

void tiedarrayunsetfn(Param *pm, int)
{
    Param *spm = tiedpartner(pm);
    if (spm && spm->value.data == static_cast<void *>(&pm->value.arr)) {
        spm->value.str = nullptr;
        spm->getter.cfn = strgetfn;
        spm->setter.cfn = scalarsetfn;
        spm->unsetter = stdunsetfn;
        if (spm->envstr) {
            delenv(spm->envstr);
            spm->envstr = nullptr;
        }
        untie(spm);
        spm->flags |= PF_UNSET;
    }
    untie(pm);
    pm->unsetter = stdunsetfn;
    stdunsetfn(pm, 0);
}

bool isarraytype(int flags) { return (PF_TYPE(flags) & (PF_ARRAY | PF_HASHED)) != 0; }

// Assign a scalar or number value by name; false when it failed.
bool assignvalue(const char *pname, const char *value)
{
    return assignsparam(pname, qtrdup(value), 0) != nullptr && !errflag;
}

// Drop duplicate elements of an array parameter now, keeping a tied
// scalar's environment entry in step.
void uniqnow(Param *pm)
{
    if (pm->flags & PF_READONLY)
        return;
    char **arr = pm->getter.afn(pm);
    if (!arr)
        return;
    uniqarray(arr);
    if (pm->setter.afn == arrsetfn)
        pm->alen = arrlen(arr), pm->acap = pm->alen + 1;
    if (pm->tiedname)
        arrfixenv(pm->tiedname, arr);
}

void resetlocalspecial(Param *pm)
{
    switch (PF_TYPE(pm->flags)) {
    case PF_SCALAR:
        pm->setter.cfn(pm, qtrdup(""));
        break;
    case PF_INTEGER:
        pm->setter.ifn(pm, 0);
        break;
    case PF_EFLOAT:
    case PF_FFLOAT:
        pm->setter.ffn(pm, 0.0);
        break;
    case PF_ARRAY:
        pm->setter.afn(pm, qcnew<char *>(1));
        break;
    case PF_HASHED:
        pm->setter.hfn(pm, newparamtable(17, pm->nam));
        break;
    }
}

}  // namespace

// Create or change one parameter.  pm: the existing one (or null); on/off:
// the flags asked for with "-" and "+"; roff: flags the request removes;
// altpm: the array a new scalar is tied to; auxlen: -1 when no number was
// given.  Returns the parameter, or null on failure.
static Param *typesetone(char *cname, char *pname, Param *pm, int on, int off, int roff, char *value,
                         Param *altpm, BuiltinOptions *ops, int auxlen)
{
    bool usepm = pm && (!(pm->flags & PF_UNSET) || (pm->flags & PF_SPECIAL));
    bool newspecial = false, tc = false;
    int keeplocal = 0;

    if (usepm && pm->level != locallevel && (on & PF_LOCAL)) {
        // A module's special (removable) is hidden by an ordinary local.
        if ((pm->flags & (PF_SPECIAL | PF_REMOVABLE)) == PF_SPECIAL && !(on & PF_HIDE) &&
            (!(pm->flags & PF_HIDE) || (off & PF_HIDE)))
            newspecial = true;
        usepm = false;
    }

    if (usepm || newspecial) {
        int chflags = ((off & pm->flags) | (on & ~pm->flags)) & CHANGEFLAGS;
        int floats = PF_EFLOAT | PF_FFLOAT;
        // Between the two float notations the value is the same number.
        if ((chflags & ~floats) || ((chflags & floats) && !(PF_TYPE(pm->flags) & floats)))
            tc = true;
        if (tc || ((off & PF_READONLY) && (pm->flags & PF_READONLY))) {
            if (pm->flags & PF_SPECIAL) {
                if (!tc || strcmp(pname, "SECONDS")) {
                    qwarnnam(cname, "%s: can't change type of a special parameter", pname, 0);
                    return nullptr;
                }
                // SECONDS changes its accessors in place; a local copy keeps
                // the raw start time and gets the new type below.
                if (!newspecial) {
                    if (setsecondstype(pm, on & PF_TYPEMASK, off | (PF_TYPEMASK & ~on & pm->flags))) {
                        qwarnnam(cname, "%s: can't change type of a special parameter", pname, 0);
                        return nullptr;
                    }
                    tc = false;
                }
            } else if (pm->flags & PF_AUTOLOAD) {
                qwarnnam(cname, "%s: can't change type of autoloaded parameter", pname, 0);
                return nullptr;
            }
        }
    }

    if (usepm && !tc) {
        if (!((on & ~PF_LOCAL) | off) && !value) {
            if (opt_isset(ops, 'p'))
                printparamnode(pm, PRINT_TYPESET);
            else if (!isset(TYPESETSILENT) || opt_isset(ops, 'm'))
                printparamnode(pm, SHOW_INCLUDEVALUE);
            return pm;
        }
        if ((pm->flags & PF_RESTRICTED) && isset(RESTRICTED)) {
            qwarnnam(cname, "%s: restricted", pname, 0);
            return nullptr;
        }
        if (on & PF_UNIQUE) {
            if (PF_TYPE(pm->flags) == PF_ARRAY) {
                uniqnow(pm);
            } else if (PF_TYPE(pm->flags) == PF_SCALAR && pm->tiedname) {
                Param *apm = tiedpartner(pm);
                if (apm && PF_TYPE(apm->flags) == PF_ARRAY && !(pm->flags & PF_READONLY)) {
                    apm->flags |= PF_UNIQUE;
                    uniqnow(apm);
                }
            }
        }
        pm->flags = ((pm->flags & ~roff) | (on & ~(PF_READONLY | PF_LOCAL))) & ~(off | PF_UNSET);
        if (auxlen >= 0 && (on & AUXFLAGS))
            pm->aux = auxlen;
        if (!isarraytype(pm->flags)) {
            if ((pm->flags & PF_EXPORTED) && !pm->envstr && !value) {
                if (pm->tiedname && PF_TYPE(pm->flags) == PF_SCALAR && !(pm->flags & PF_SPECIAL)) {
                    if (Param *apm = tiedpartner(pm))
                        arrfixenv(pm->nam, apm->value.arr);
                } else {
                    export_param(pm);
                }
            } else if (!(pm->flags & PF_EXPORTED) && pm->envstr) {
                delenv(pm->envstr);
                pm->envstr = nullptr;
            }
            if (value && !assignvalue(pname, value))
                return nullptr;
        } else if (value) {
            qwarnnam(cname, "can't assign new value for array %s", pname, 0);
            return nullptr;
        }
        pm->flags |= on & PF_READONLY;
        if (opt_isset(ops, 'p'))
            printparamnode(pm, PRINT_TYPESET);
        return pm;
    }

    bool norestore = false;
    if (tc) {
        // Replace the old parameter, carrying over what the request keeps.
        on |= ~off & (PF_READONLY | PF_EXPORTED) & pm->flags;
        if (!newspecial)
            keeplocal = pm->level;
        if (!value && !isarraytype(pm->flags) && !isarraytype(on))
            value = dupstring(getsparam(pname) ? getsparam(pname) : "");
        if (!newspecial) {
            pm->flags &= ~PF_READONLY;
            if (unsetparam_pm(pm, 0, 1))
                return nullptr;
            pm = nullptr;
        }
    }
    if (newspecial) {
        if ((pm->flags & PF_RESTRICTED) && isset(RESTRICTED)) {
            qwarnnam(cname, "%s: restricted", pname, 0);
            return nullptr;
        }
        localspecial(pm);
        if (Param *tp = pm->tiedname ? lookupreal(pm->tiedname) : nullptr) {
            // The partner's own shadow restores the shared variable.
            if (tp != pm && tp->level == locallevel && pm->shadowed) {
                pm->shadowed->flags |= PF_NORESTORE;
                norestore = true;
            }
        }
        if (pm->envstr) {
            delenv(pm->envstr);
            pm->envstr = nullptr;
        }
        int keep = pm->flags & (PF_TYPEMASK | PF_TIED | PF_REMOVABLE | PF_DONTIMPORT | PF_RESTRICTED);
        if (!strcmp(pname, "SECONDS") && (on & PF_TYPEMASK)) {
            if (setsecondstype(pm, on & PF_TYPEMASK, PF_TYPEMASK & ~on)) {
                qwarnnam(cname, "%s: can't change type of a special parameter", pname, 0);
                return nullptr;
            }
            keep = (keep & ~PF_TYPEMASK) | (on & PF_TYPEMASK);
        }
        pm->flags = ((keep | (on & ~(PF_LOCAL | PF_READONLY | PF_TYPEMASK))) & ~off) | PF_SPECIAL;
        pm->aux = (auxlen >= 0 && (on & AUXFLAGS)) ? auxlen : 0;
    } else if (char *subscript = strchr(pname, '[')) {
        if (on & PF_READONLY) {
            qwarnnam(cname, "%s: can't create readonly array elements", pname, 0);
            return nullptr;
        }
        if (on & PF_LOCAL) {
            char *base = dupstring(pname);
            base[subscript - pname] = '\0';
            Param *apm = lookupreal(base);
            if (!apm || apm->level != locallevel) {
                qwarnnam(cname, "%s: can't create local array elements", pname, 0);
                return nullptr;
            }
        }
        if ((on & ~PF_LOCAL) | off) {
            qwarnnam(cname, "%s: array elements must be scalar", pname, 0);
            return nullptr;
        }
        if (!isident(pname)) {
            qwarnnam(cname, "not an identifier: %s", pname, 0);
            return nullptr;
        }
        if (!assignvalue(pname, value ? value : ""))
            return nullptr;
        char *base = dupstring(pname);
        base[subscript - pname] = '\0';
        return lookupreal(base);
    } else {
        if (!isident(pname)) {
            qwarnnam(cname, "not an identifier: %s", pname, 0);
            return nullptr;
        }
        if (idigit(static_cast<unsigned char>(*pname))) {
            qwarnnam(cname, "not valid in this context: %s", pname, 0);
            return nullptr;
        }
        pm = createparam(pname, on & ~PF_READONLY);
        if (!pm)
            return nullptr;
        pm->aux = auxlen >= 0 ? auxlen : 0;
        // In sh emulation export and readonly of a name without a value
        // give it the attribute only: it stays unset.
        if (!value && !altpm && emulating(EMULATE_SH) && (!strcmp(cname, "export") || !strcmp(cname, "readonly")))
            pm->flags |= PF_UNSET;
    }

    if (altpm && PF_TYPE(pm->flags) == PF_SCALAR && !(pm->flags & PF_SPECIAL)) {
        if (pm->value.str)
            qsfree(pm->value.str);
        pm->value.data = &altpm->value.arr;
        pm->getter.cfn = colonarrgetfn;
        pm->setter.cfn = colonarrsetfn;
        pm->unsetter = tiedscalarunsetfn;
        altpm->unsetter = tiedarrayunsetfn;
    }
    if (keeplocal)
        pm->level = keeplocal;
    else if (on & PF_LOCAL)
        pm->level = locallevel;
    noteparamlevel(pm->level);

    if (value && isarraytype(pm->flags)) {
        qwarnnam(cname, "%s: can't assign initial value for array", pname, 0);
        pm->flags &= ~PF_READONLY;
        unsetparam_pm(pm, 0, 1);
        return nullptr;
    }
    if (value) {
        if (!assignvalue(pname, value))
            return nullptr;
        if (Param *npm = lookupreal(pname))
            pm = npm;
    } else if (newspecial && !norestore) {
        resetlocalspecial(pm);
    }
    pm->flags |= on & PF_READONLY;
    if (opt_isset(ops, 'p'))
        printparamnode(pm, PRINT_TYPESET);
    return pm;
}

namespace {

struct Assign {
    char *name, *value;
};

// Split name=value at the first "="; false for a word starting with "=".
bool splitassign(char *nam, char *arg, Assign *asg)
{
    if (*arg == '=') {
        qwarnnam(nam, "bad assignment", nullptr, 0);
        return false;
    }
    asg->name = dupstring(arg);
    asg->value = nullptr;
    if (char *eq = strchr(asg->name, '=')) {
        *eq = '\0';
        asg->value = eq + 1;
    }
    return true;
}

int tieparams(char *nam, char **argv, int on, int off, int roff, BuiltinOptions *ops, int auxlen)
{
    if (off & PF_TIED) {
        qwarnnam(nam, "use unset to remove tied variables", nullptr, 0);
        return 1;
    }
    if (opt_isset(ops, 'm')) {
        qwarnnam(nam, "incompatible options for -T", nullptr, 0);
        return 1;
    }
    if (!argv[0] || !argv[1] || argv[2]) {
        qwarnnam(nam, "-T requires names of scalar and array", nullptr, 0);
        return 1;
    }
    Assign sasg, aasg;
    if (!splitassign(nam, argv[0], &sasg) || !splitassign(nam, argv[1], &aasg))
        return 1;
    if (!strcmp(sasg.name, aasg.name)) {
        qwarnnam(nam, "can't tie a variable to itself", nullptr, 0);
        return 1;
    }
    if (strchr(sasg.name, '[') || strchr(aasg.name, '[')) {
        qwarnnam(nam, "can't tie array elements", nullptr, 0);
        return 1;
    }
    char *oldval = nullptr;
    Param *pm = lookupreal(sasg.name);
    if (pm && !(pm->flags & PF_UNSET) && (!(on & PF_LOCAL) || pm->level == locallevel)) {
        if (!sasg.value && !isarraytype(pm->flags))
            oldval = qtrdup(getsparam(sasg.name) ? getsparam(sasg.name) : "");
        on |= pm->flags & PF_EXPORTED;
    }
    Param *apm = typesetone(nam, aasg.name, lookupreal(aasg.name), (on & ~PF_EXPORTED) | PF_ARRAY, off, roff,
                            aasg.value, nullptr, ops, auxlen);
    if (!apm) {
        qsfree(oldval);
        return 1;
    }
    // A scalar still tied elsewhere is untied first, so that it is made anew.
    pm = lookupreal(sasg.name);
    if (pm && pm->unsetter == tiedscalarunsetfn && pm->value.data != static_cast<void *>(&apm->value.arr) &&
        (!(on & PF_LOCAL) || pm->level == locallevel) && unsetparam_pm(pm, 0, 1)) {
        qsfree(oldval);
        return 1;
    }
    pm = typesetone(nam, sasg.name, lookupreal(sasg.name), on, off, roff, sasg.value, apm, ops, auxlen);
    bool linked = pm && !(pm->flags & PF_SPECIAL) && pm->value.data == static_cast<void *>(&apm->value.arr);
    if (pm && !linked)
        qwarnnam(nam, "%s: can't change type of a special parameter", sasg.name, 0);
    if (!linked) {
        qsfree(oldval);
        if (apm == lookupreal(aasg.name)) {
            apm->flags &= ~PF_READONLY;
            unsetparam_pm(apm, 1, 1);
        }
        return 1;
    }
    qsfree(const_cast<char *>(pm->tiedname));
    pm->tiedname = qtrdup(aasg.name);
    qsfree(const_cast<char *>(apm->tiedname));
    apm->tiedname = qtrdup(sasg.name);
    if (oldval) {
        int ro = pm->flags & PF_READONLY;
        pm->flags &= ~PF_READONLY;
        colonarrsetfn(pm, oldval);
        pm->flags |= ro;
    }
    if (pm->flags & PF_EXPORTED)
        arrfixenv(pm->nam, apm->value.arr);
    return 0;
}

// For -m: every set parameter matching the pattern.
Patprog *collectprog;
LinkList *collected;

void collectmatch(HashNode *hn, int)
{
    if (hn->flags & PF_UNSET)
        return;
    if ((hn->flags & PF_RESTRICTED) && isset(RESTRICTED))
        return;
    if (pattry(collectprog, hn->nam))
        addlinknode(collected, dupstring(hn->nam));
}

int typesetmatching(char *nam, char **argv, int on, int off, int roff, BuiltinOptions *ops, int auxlen,
                    int printflags)
{
    int ret = 0;
    for (; *argv; argv++) {
        Assign asg;
        if (!splitassign(nam, *argv, &asg)) {
            ret = 1;
            continue;
        }
        Patprog *prog = patternarg(nam, asg.name);
        if (!prog) {
            ret = 1;
            continue;
        }
        if (opt_plus(ops, 'm') && !asg.value) {
            scanmatchtable(paramtab, prog, on | off, 0, printparamnode, printflags | SHOW_NAMEONLY);
            continue;
        }
        LinkList *saved = collected;
        Patprog *savedprog = collectprog;
        collected = newlinklist();
        collectprog = prog;
        scanhashtable(paramtab, 1, 0, 0, collectmatch, 0);
        LinkList *names = collected;
        collected = saved;
        collectprog = savedprog;
        for (LinkNode *n = firstnode(names); n; n = nextnode(n)) {
            char *pname = static_cast<char *>(getdata(n));
            if (!typesetone(nam, pname, lookupreal(pname), on, off, roff, asg.value, nullptr, ops, auxlen))
                ret = 1;
        }
    }
    return ret;
}

}  // namespace

// name=(...) given to the typeset family: *argvp is on the opening mark
// and is left on the closing one.  The parameter is declared with the
// command's attributes, then given the elements (a readonly one only
// after that).
static bool typesetarray(char *nam, char ***argvp, int on, int off, int roff, BuiltinOptions *ops, int auxlen)
{
    char **argv = *argvp;
    char *name = dupstring(*argv + 2);
    size_t nl = strlen(name);
    bool append = nl && name[nl - 1] == '+';
    if (append)
        name[nl - 1] = '\0';
    char **start = ++argv;
    while (*argv && typesetmark(*argv) != TSM_CLOSE)
        argv++;
    *argvp = *argv ? argv : argv - 1;
    int n = int(argv - start);
    bool keyed = false;
    for (int i = 0; i < n; i++)
        keyed = keyed || typesetmark(start[i]) == TSM_KEY;
    if (!isident(name) || strchr(name, '[')) {
        qwarnnam(nam, "not an identifier: %s", name, 0);
        return false;
    }
    if (on & (PF_INTEGER | PF_EFLOAT | PF_FFLOAT)) {
        qwarnnam(nam, "%s: can't assign an array to a number", name, 0);
        return false;
    }
    Param *pm = lookupreal(name);
    int aon = on & ~PF_READONLY;
    bool hashed = (on & PF_HASHED) ||
                  (!(on & PF_ARRAY) && pm && !(pm->flags & PF_UNSET) && (PF_TYPE(pm->flags) & PF_HASHED) &&
                   (!(on & PF_LOCAL) || pm->level == locallevel));
    if (!(aon & (PF_ARRAY | PF_HASHED)))
        aon |= hashed ? PF_HASHED : PF_ARRAY;
    if (keyed && !(aon & PF_HASHED)) {
        qwarnnam(nam, "%s: keys need an associative array", name, 0);
        return false;
    }
    if (!typesetone(nam, name, pm, aon, off, roff, nullptr, nullptr, ops, auxlen))
        return false;
    // [key]=value elements give a key and a value each.
    char **arr = qnew<char *>(size_t(2 * n) + 1), **t = arr;
    for (int i = 0; i < n; i++) {
        char *w = start[i];
        if (typesetmark(w) == TSM_KEY) {
            char *k = w + 3, *e = strstr(k, "]=");
            if (!e) {
                *t = nullptr;
                freearray(arr);
                qwarnnam(nam, "bad key in array literal: %s", w + 2, 0);
                return false;
            }
            *t++ = qtrduppfx(k, size_t(e - k));
            w = e + 2;
        }
        *t++ = qtrdup(w);
    }
    *t = nullptr;
    if (!assignaparam(name, arr, append) || errflag)
        return false;
    if (on & PF_READONLY)
        if (Param *npm = lookupreal(name))
            npm->flags |= PF_READONLY;
    if (opt_isset(ops, 'p'))
        if (Param *npm = lookupreal(name))
            printparamnode(npm, PRINT_TYPESET);
    return true;
}

int bin_typeset(char *nam, char **argv, BuiltinOptions *ops, int)
{
    if (opt_isset(ops, 'f'))
        return bin_functions(nam, argv, ops, 0);

    int on = 0, off = 0, roff = 0, auxlen = -1;
    for (int k = 0; typesetletters[k]; k++) {
        int c = typesetletters[k];
        if (opt_minus(ops, c))
            on |= 1 << k;
        else if (opt_plus(ops, c))
            off |= 1 << k;
        if (strchr(auxletters, c) && opt_hasarg(ops, c)) {
            char *arg = opt_arg(ops, c), *end = arg;
            long n = 0;
            while (idigit(static_cast<unsigned char>(*end)) && n < 100000000)
                n = n * 10 + (*end++ - '0');
            if (end == arg || *end) {
                qwarnnam(nam, "bad integer value: %s", arg, 0);
                return 1;
            }
            auxlen = int(n);
        }
    }
    // Digits run out after Z: a larger base could not be read back.
    if ((on & PF_INTEGER) && auxlen > 36) {
        qwarnnam(nam, "invalid base: %d", nullptr, auxlen);
        return 1;
    }

    // Contradicting requests: the stronger letter wins.
    auto drop = [&](int mask) {
        roff |= mask;
        on &= ~mask;
    };
    if (on & PF_FFLOAT)
        drop(0x2f7);
    else if (on & PF_EFLOAT)
        drop(0x2fb);
    if (on & PF_INTEGER)
        drop(0x2fd);
    if (on & PF_LEFT)
        drop(0x4e);
    if (on & PF_RIGHT_B)
        drop(0x2e);
    if (on & PF_RIGHT_Z)
        drop(0xe);
    if (on & PF_UPPER)
        drop(PF_LOWER);
    if (on & PF_LOWER)
        drop(PF_UPPER);
    if (on & PF_HASHED)
        drop(PF_ARRAY);
    if (on & PF_TIED)
        drop(PF_TYPEMASK);
    SignalGuard sg;

    int printflags = opt_isset(ops, 'p') ? PRINT_TYPESET : 0;
    bool anyplus = opt_isset(ops, '+');
    for (int c = 0; c < MAX_OPS && !anyplus; c++)
        anyplus = opt_plus(ops, c);

    if (!*argv) {
        if (printflags && emulating(EMULATE_SH) && (!strcmp(nam, "export") || !strcmp(nam, "readonly")))
            printflags = *nam == 'e' ? PRINT_POSIXEXPORT : PRINT_POSIXREADONLY;
        if (!on && !off && !printflags)
            printflags |= SHOW_TYPE;
        if (off || anyplus)
            printflags |= SHOW_NAMEONLY;
        scanhashtable(paramtab, 1, on | off, 0, printparamnode, printflags);
        return 0;
    }

    if ((!opt_isset(ops, 'g') && !opt_isset(ops, 'x') && !opt_isset(ops, 'm')) || opt_plus(ops, 'g') ||
        !strcmp(nam, "local") || (!isset(GLOBALEXPORT) && !opt_isset(ops, 'g')))
        on |= PF_LOCAL;

    if (on & PF_TIED || off & PF_TIED)
        return tieparams(nam, argv, on, off, roff, ops, auxlen);

    if (opt_isset(ops, 'm'))
        return typesetmatching(nam, argv, on, off, roff, ops, auxlen, printflags);

    int ret = 0;
    for (; *argv; argv++) {
        if (typesetmark(*argv) == TSM_OPEN) {
            if (!typesetarray(nam, &argv, on, off, roff, ops, auxlen))
                ret = 1;
            continue;
        }
        Assign asg;
        if (!splitassign(nam, *argv, &asg)) {
            ret = 1;
            continue;
        }
        // name+=value appends, as the assignment does.
        size_t nl = strlen(asg.name);
        if (asg.value && nl > 1 && asg.name[nl - 1] == '+') {
            asg.name[nl - 1] = '\0';
            Param *pm = lookupreal(asg.name);
            // With nothing to change, declaring first would list it.
            bool declare = !pm || (pm->flags & PF_UNSET) || ((on & ~(PF_LOCAL | PF_READONLY)) | off) ||
                           ((on & PF_LOCAL) && pm->level != locallevel);
            if ((declare && !typesetone(nam, asg.name, pm, on & ~PF_READONLY, off, roff, nullptr, nullptr, ops,
                                        auxlen)) ||
                !assignsparam(asg.name, qtrdup(asg.value), 1) || errflag) {
                ret = 1;
                continue;
            }
            if (Param *pm = lookupreal(asg.name))
                pm->flags |= on & PF_READONLY;
            continue;
        }
        if (!typesetone(nam, asg.name, lookupreal(asg.name), on, off, roff, asg.value, nullptr, ops, auxlen))
            ret = 1;
    }
    return ret;
}

// Array literals that reached a command other than the typeset family (a
// function or program of that name, or a disabled builtin) become the
// words as written.
void untypesetmarks(LinkList *args)
{
    for (LinkNode *n = firstnode(args); n; n = nextnode(n)) {
        char *w = static_cast<char *>(getdata(n));
        switch (typesetmark(w)) {
        case TSM_OPEN: setdata(n, qhtricat(w + 2, "=(", "")); break;
        case TSM_CLOSE: setdata(n, dupstring(")")); break;
        case TSM_KEY: setdata(n, w + 2); break;
        }
    }
}
