// functions and autoload: listing, flags, and marking functions to be
// loaded from fpath.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "expand/expand.h"

#include <cstring>

// Load an undefined function now (+X) or mark it to load and run (-X).
static int eval_autoload(ShellFunc *shf, const char *name, BuiltinOptions *ops)
{
    if (!(shf->flags & PM_UNDEFINED))
        return 1;
    if (shf->funcdef) {
        freeeprog(shf->funcdef);
        shf->funcdef = &dummy_eprog;
    }
    if (opt_minus(ops, 'X')) {
        shf->funcdef = mkautofn(shf);
        HeapGuard hg;
        char *cmd = qhtricat(name, " \"$@\"", "");
        execstring(cmd, 1, 0, "evalautofunc");
        return int(lastval);
    }
    int ksh = opt_isset(ops, 'k') ? 2 : opt_isset(ops, 'z') ? 0 : 1;
    return !loadautofn(shf, ksh, 1);
}

// autoload -w: every program of a compiled file becomes a function to
// autoload with the flags given; with X each is loaded at once.
static int dump_autoload(const char *nam, const char *file, int on, BuiltinOptions *ops)
{
    HeapGuard hg;
    size_t l = strlen(file);
    const char *dump = l >= 4 && !strcmp(file + l - 4, ".qwc") ? file : qhtricat(file, ".qwc", "");
    LinkList *names = qwc_names(nam, dump, nullptr);
    if (!names)
        return 1;
    int ret = 0;
    for (LinkNode *n = firstnode(names); n; n = nextnode(n)) {
        const char *s = static_cast<char *>(getdata(n)), *t = strrchr(s, '/');
        ShellFunc *shf = newshfunc();
        shf->flags = on | PM_UNDEFINED;
        shfunctab->addnode(shfunctab, qtrdup(t ? t + 1 : s), shf);
        shf->funcdef = mkautofn(shf);
        if (opt_isset(ops, 'X') && !loadautofn(shf, opt_isset(ops, 'k') ? 2 : opt_isset(ops, 'z') ? 0 : 1, 1))
            ret = 1;
    }
    return ret;
}

// For the pattern scan: the flags to set and clear on each match.
static int matchon, matchoff;
static BuiltinOptions *matchops;

static void changematched(HashNode *hn, int)
{
    hn->flags = (hn->flags | matchon) & ~matchoff;
    if (opt_isset(matchops, 'X'))
        eval_autoload(static_cast<ShellFunc *>(hn), hn->nam, matchops);
}

int bin_functions(char *name, char **argv, BuiltinOptions *ops, int)
{
    int on = 0, off = 0;
    if ((opt_isset(ops, 'k') && opt_isset(ops, 'z')) || opt_plus(ops, 'u') ||
        (opt_minus(ops, 'X') && (opt_isset(ops, 'm') || *argv || !scriptname))) {
        qwarnnam(name, "invalid option(s)", nullptr, 0);
        return 1;
    }
    if (opt_minus(ops, 'u') || opt_minus(ops, 'U'))
        on |= PM_UNDEFINED;
    if (opt_minus(ops, 'U'))
        on |= PM_UNALIASED;
    else if (opt_plus(ops, 'U'))
        off |= PM_UNALIASED;
    if (opt_minus(ops, 't'))
        on |= PM_TAGGED;
    else if (opt_plus(ops, 't'))
        off |= PM_TAGGED;
    bool anyplus = false;
    for (int c = 0; c < MAX_OPS; c++)
        if (opt_plus(ops, c))
            anyplus = true;

    if (opt_minus(ops, 'X') && !*argv) {
        // Inside an autoload stub: load the function of that name.
        SignalGuard sg;
        ShellFunc *shf = static_cast<ShellFunc *>(shfunctab->getnode(shfunctab, scriptname));
        if (!shf) {
            shf = newshfunc();
            shf->funcdef = &dummy_eprog;
            shfunctab->addnode(shfunctab, qtrdup(scriptname), shf);
        }
        shf->flags = (shf->flags | on) & ~off;
        return eval_autoload(shf, scriptname, ops);
    }
    if (!*argv) {
        SignalGuard sg;
        scanhashtable(shfunctab, 1, on, off | NODE_DISABLED, shfunctab->printnode,
                      anyplus ? SHOW_NAMEONLY : 0);
        return 0;
    }
    int ret = 0;
    if (opt_isset(ops, 'm')) {
        for (; *argv; argv++) {
            Patprog *pp = patternarg(name, *argv);
            if (!pp) {
                ret = 1;
                continue;
            }
            SignalGuard sg;
            if (!(on | off)) {
                scanmatchtable(shfunctab, pp, 0, NODE_DISABLED, shfunctab->printnode, 0);
                continue;
            }
            matchon = on;
            matchoff = off;
            matchops = ops;
            scanmatchtable(shfunctab, pp, 0, NODE_DISABLED, changematched, 0);
        }
        return ret;
    }
    SignalGuard sg;
    for (; *argv; argv++) {
        if (opt_isset(ops, 'w')) {
            if (dump_autoload(name, *argv, on, ops))
                ret = 1;
            continue;
        }
        ShellFunc *shf = static_cast<ShellFunc *>(shfunctab->getnode(shfunctab, *argv));
        if (shf) {
            if (!(on | off) && !opt_isset(ops, 'X')) {
                shfunctab->printnode(shf, 0);
            } else {
                shf->flags = (shf->flags | on) & ~off;
                if (opt_isset(ops, 'X') && eval_autoload(shf, *argv, ops))
                    ret = 1;
            }
        } else if (on & PM_UNDEFINED) {
            shf = newshfunc();
            shf->flags = on;
            shfunctab->addnode(shfunctab, qtrdup(*argv), shf);
            shf->funcdef = mkautofn(shf);
            if (opt_isset(ops, 'X') && eval_autoload(shf, *argv, ops))
                ret = 1;
        } else {
            ret = 1;
        }
    }
    return ret;
}
