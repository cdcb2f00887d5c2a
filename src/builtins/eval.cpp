// eval, source and ., and test and [.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "params/params.h"

#include <cerrno>

#include <cstring>

int bin_eval(char *, char **argv, BuiltinOptions *, int)
{
    if (!*argv)
        return 0;
    char *s = sepjoin(argv, " ", 1);
    char *oscriptname = scriptname;
    long oldlineno = lineno;
    scriptname = dupstring("(eval)");
    Eprog *prog = parse_string(s, 1);
    // An error in the words, a syntax error too, ends a script as it would
    // outside eval; an interactive shell only fails the command.
    int keep = isset(INTERACTIVE) ? 0 : ERRFLAG_ERROR;
    if (!prog || errflag) {
        errflag = errflag & keep;
        scriptname = oscriptname;
        lineno = oldlineno;
        return 1;
    }
    execode(prog, 1, 0, "eval");
    if (errflag && !lastval)
        lastval = 1;
    errflag = errflag & keep;
    scriptname = oscriptname;
    lineno = oldlineno;
    return int(lastval);
}

int bin_dot(char *name, char **argv, BuiltinOptions *, int)
{
    if (!*argv)
        return 0;
    char **old = pparams;
    bool newargs = argv[1] != nullptr;
    if (newargs)
        pparams = qarrdup(argv + 1);
    char *arg0 = dupstring(*argv);
    char *path = nullptr;
    int ret = 1;
    // A name without a slash is searched in PATH, then the current
    // directory (the shell's own mode tries the current directory first).
    if (!strchr(arg0, '/')) {
        if (!emulating(EMULATE_SH | EMULATE_KSH) && !access(unmeta(arg0) ? unmeta(arg0) : "", F_OK))
            path = arg0;
        // A compiled form alone is found as well as the text.
        for (char **pp = ::path; !path && pp && *pp; pp++) {
            char *t = **pp ? qhtricat(*pp, "/", arg0) : arg0;
            const char *u = unmeta(t);
            if (u && !access(u, F_OK))
                path = t;
            else if ((u = unmeta(qhtricat(t, ".qwc", ""))) && !access(u, F_OK))
                path = t;
        }
        if (!path && !access(unmeta(arg0) ? unmeta(arg0) : "", F_OK))
            path = arg0;
    } else {
        path = arg0;
    }
    int64_t oldlastval = lastval;
    if (path) {
        lastval = 0;
        ret = source(path);
    }
    if (newargs) {
        freearray(pparams);
        pparams = old;
    }
    if (ret) {
        qwarnnam(name, "%e: %s", *argv, errno ? errno : ENOENT);
        lastval = oldlastval;
        return 127;
    }
    return int(lastval);
}
