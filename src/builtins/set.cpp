// set and shift: options by letter or name, positional parameters and
// array assignment.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "params/params.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <vector>

static void printparamlist(int arraysonly, int namesonly)
{
    scanhashtable(paramtab, 1, 0, PF_HIDE | PF_UNSET,
                  [](HashNode *hn, int flags) {
                      Param *pm = static_cast<Param *>(hn);
                      int ao = flags & 2, no = flags & 1;
                      if (ao && PF_TYPE(pm->flags) != PF_ARRAY)
                          return;
                      paramtab->printnode(hn, no ? SHOW_NAMEONLY : 0);
                  },
                  (arraysonly ? 2 : 0) | (namesonly ? 1 : 0));
}

int bin_set(char *nam, char **args, BuiltinOptions *, int)
{
    int hadopt = 0, hadplus = 0, hadend = 0, sort = 0;
    char *arrayname = nullptr;
    bool plusarray = false, hadarrayopt = false;

    if (args[0] && !strcmp(args[0], "-")) {
        dosetopt(VERBOSE, 0, 0);
        dosetopt(XTRACE, 0, 0);
        args++;
        if (!*args)
            return 0;
    }
    for (; *args && (**args == '-' || **args == '+'); args++) {
        int action = **args == '-';
        hadplus |= !action;
        if (!args[0][1] || (args[0][1] == '-' && !args[0][2])) {
            hadend = 1;
            args++;
            break;
        }
        hadopt = 1;
        for (char *p = *args + 1; *p; p++) {
            char c = *p;
            if (c == 'o') {
                char *name = p[1] ? p + 1 : args[1];
                if (!name) {
                    printoptionstates(!action);
                    return 0;
                }
                if (!p[1])
                    args++;
                int optno = optlookup(name);
                // Generated configure scripts try set -o posix on a shell
                // whose option names contain "posix": in sh emulation an
                // unknown name fails the command only.
                if (!optno && emulating(EMULATE_SH)) {
                    qwarnnam(nam, "no such option: %s", name, 0);
                    return 1;
                }
                if (!optno)
                    qerrnam(nam, "no such option: %s", name, 0);
                else if (dosetopt(optno, action, 0))
                    qerrnam(nam, "can't change option: %s", name, 0);
                break;
            }
            if (c == 'A') {
                hadarrayopt = true;
                plusarray = !action;
                char *name = p[1] ? p + 1 : args[1];
                if (name && !p[1])
                    args++;
                arrayname = name;
                if (arrayname && isset(KSHARRAYS)) {
                    args++;
                    goto doneopts;
                }
                break;
            }
            if (c == 's') {
                sort = action ? 1 : -1;
                continue;
            }
            int optno = optlookupc(c);
            if (!optno)
                qerrnam(nam, "bad option: -%c", nullptr, static_cast<unsigned char>(c));
            else if (dosetopt(optno, action, 0))
                qerrnam(nam, "can't change option: -%c", nullptr, static_cast<unsigned char>(c));
        }
        if (errflag)
            return 1;
    }
doneopts:
    inittyptab();
    if (errflag)
        return 1;
    if (!arrayname) {
        if (hadarrayopt) {
            printparamlist(1, plusarray);
            return 0;
        }
        if (!hadopt && !hadend && !*args) {
            printparamlist(0, hadplus);
            return 0;
        }
        // `set --` with nothing after it clears the positional parameters;
        // only option words alone leave them as they are.
        if (!*args && !hadend)
            return 0;
    }
    int n = arrlen(args);
    std::vector<char *> words(args, args + n);
    if (sort) {
        std::sort(words.begin(), words.end(), [](char *a, char *b) { return qtrcmp(a, b) < 0; });
        if (sort < 0)
            std::reverse(words.begin(), words.end());
    }
    if (arrayname) {
        char **old = getaparam(arrayname);
        int oldn = plusarray ? arrlen(old) : 0;
        int total = std::max(n, oldn);
        char **arr = qnew<char *>(size_t(total) + 1);
        for (int i = 0; i < total; i++)
            arr[i] = qtrdup(i < n ? words[size_t(i)] : old[i]);
        arr[total] = nullptr;
        setaparam(arrayname, arr);
        return errflag ? 1 : 0;
    }
    char **np = qnew<char *>(size_t(n) + 1);
    for (int i = 0; i < n; i++)
        np[i] = qtrdup(words[size_t(i)]);
    np[n] = nullptr;
    setpparams(np);
    return 0;
}

int bin_shift(char *nam, char **argv, BuiltinOptions *, int)
{
    int64_t num = 1;
    // A name (not a number) of an array is what to shift, by one.
    auto arrayname = [](const char *a) { return !idigit(static_cast<unsigned char>(*a)) && isident(a) && getaparam(a); };
    if (*argv && !arrayname(*argv)) {
        num = mathevali(*argv);
        if (errflag)
            return 1;
        argv++;
    }
    if (num < 0) {
        qerrnam(nam, "argument to shift must be non-negative", nullptr, 0);
        return 1;
    }
    if (!*argv) {
        int l = arrlen(pparams);
        if (num > l) {
            qwarnnam(nam, "shift count must be <= $#", nullptr, 0);
            return 1;
        }
        ownpparams();
        for (int i = 0; i < num; i++)
            qsfree(pparams[i]);
        memmove(pparams, pparams + num, sizeof(char *) * size_t(l - num + 1));
        return 0;
    }
    int ret = 0;
    for (; *argv; argv++) {
        char **a = arrayname(*argv) ? getaparam(*argv) : nullptr;
        if (!a)
            continue;
        int l = arrlen(a);
        if (num > l) {
            qwarnnam(nam, "shift count must be <= $#", nullptr, 0);
            ret++;
            continue;
        }
        char **na = qnew<char *>(size_t(l - num) + 1);
        for (int i = int(num); i < l; i++)
            na[i - num] = qtrdup(a[i]);
        na[l - num] = nullptr;
        setaparam(*argv, na);
    }
    return ret;
}

// ---- getopts ----

static int optcind;  // position inside the current word

int bin_getopts(char *, char **argv, BuiltinOptions *, int)
{
    char *optstr = *argv++, *var = *argv++;
    char **args = *argv ? argv : pparams;
    if (qoptind < 1) {
        qoptind = 1;
        optcind = 0;
    }
    // At the end of the options POSIX has the name set to "?", which sh
    // and ksh scripts may test; natively it is left as it was.
    auto end = [var]() {
        if (emulating(EMULATE_SH | EMULATE_KSH))
            setsparam(var, qtrdup("?"));
        return 1;
    };
    int nargs = arrlen(args);
    if (qoptind > nargs)
        return end();
    char *str = unmeta(args[qoptind - 1]);
    if (!str)
        return end();
    if (!optcind) {
        if (!*str || (str[0] != '-' && str[0] != '+') || !str[1])
            return end();
        if (!strcmp(str, "--")) {
            qoptind++;
            return end();
        }
        optcind = 1;
    }
    bool plus = str[0] == '+';
    char opch = str[optcind++];
    bool silent = *optstr == ':';
    if (silent)
        optstr++;
    bool atend = !str[optcind];
    auto advance = [&] {
        if (atend) {
            qoptind++;
            optcind = 0;
        }
    };
    char lbuf[3] = {0, 0, 0};
    if (plus) {
        lbuf[0] = '+';
        lbuf[1] = opch;
    } else {
        lbuf[0] = opch;
    }
    char *p = opch != ':' ? strchr(optstr, opch) : nullptr;
    if (!p) {
        advance();
        setsparam(var, qtrdup("?"));
        if (silent) {
            setsparam("OPTARG", qtrdup(lbuf));
        } else {
            setsparam("OPTARG", qtrdup(""));
            qwarn("bad option: -%c", nullptr, static_cast<unsigned char>(opch));
        }
        return 0;
    }
    if (p[1] == ':') {
        char *arg;
        if (!atend) {
            arg = str + optcind;
            qoptind++;
            optcind = 0;
        } else if (qoptind < nargs) {
            arg = args[qoptind];
            qoptind += 2;
            optcind = 0;
        } else {
            qoptind++;
            optcind = 0;
            setsparam(var, qtrdup(silent ? ":" : "?"));
            if (silent) {
                setsparam("OPTARG", qtrdup(lbuf));
            } else {
                setsparam("OPTARG", qtrdup(""));
                qwarn("argument expected after -%c option", nullptr, static_cast<unsigned char>(opch));
            }
            return 0;
        }
        setsparam("OPTARG", metafy(arg, -1, META_DUP));
    } else {
        advance();
        setsparam("OPTARG", qtrdup(""));
    }
    setsparam(var, qtrdup(lbuf));
    return 0;
}

// ---- umask ----

int bin_umask(char *nam, char **args, BuiltinOptions *ops, int)
{
    mode_t um = umask(0777);
    umask(um);
    char *s = *args;
    if (!s) {
        if (opt_isset(ops, 'S')) {
            const char *who = "ugo";
            for (int i = 0; i < 3; i++) {
                int shift = 6 - 3 * i;
                int allowed = ~int(um) >> shift & 7;
                printf("%c=%s%s%s%s", who[i], allowed & 4 ? "r" : "", allowed & 2 ? "w" : "", allowed & 1 ? "x" : "",
                       i < 2 ? "," : "\n");
            }
        } else {
            if (um & 0700)
                putchar('0');
            printf("%03o\n", unsigned(um));
        }
        return 0;
    }
    if (idigit(static_cast<unsigned char>(*s))) {
        unsigned v = 0;
        for (char *p = s; *p; p++) {
            if (*p < '0' || *p > '7') {
                qwarnnam(nam, "bad umask", nullptr, 0);
                return 1;
            }
            v = v * 8 + unsigned(*p - '0');
        }
        umask(mode_t(v & 0777));
        return 0;
    }
    int mask = int(um);
    char *p = s;
    for (;;) {
        int whomask = 0;
        while (*p == 'u' || *p == 'g' || *p == 'o' || *p == 'a') {
            whomask |= *p == 'u' ? 0700 : *p == 'g' ? 070 : *p == 'o' ? 07 : 0777;
            p++;
        }
        if (!whomask)
            whomask = 0777;
        if (!*p) {
            qwarnnam(nam, "bad umask", nullptr, 0);
            return 1;
        }
        char op = *p++;
        if (op != '+' && op != '-' && op != '=') {
            qwarnnam(nam, "bad symbolic mode operator: %c", nullptr, static_cast<unsigned char>(op));
            return 1;
        }
        int perm = 0;
        while (*p && *p != ',') {
            if (*p == 'r')
                perm |= 0444;
            else if (*p == 'w')
                perm |= 0222;
            else if (*p == 'x')
                perm |= 0111;
            else {
                qwarnnam(nam, "bad symbolic mode permission: %c", nullptr, static_cast<unsigned char>(*p));
                return 1;
            }
            p++;
        }
        perm &= whomask;
        if (op == '+')
            mask &= ~perm;
        else if (op == '-')
            mask |= perm;
        else
            mask = (mask | whomask) & ~perm;
        if (!*p)
            break;
        if (*p != ',') {
            qwarnnam(nam, "bad character in symbolic mode: %c", nullptr, static_cast<unsigned char>(*p));
            return 1;
        }
        p++;
    }
    umask(mode_t(mask & 0777));
    return 0;
}
