// eval, source and ., and test and [.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "params/params.h"

#include <sys/stat.h>

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
    bool oldarena = pparamsarena;
    bool newargs = argv[1] != nullptr;
    if (newargs) {
        pparams = qarrdup(argv + 1);
        pparamsarena = false;
    }
    char *arg0 = dupstring(*argv);
    char *path = nullptr;
    int ret = 1;
    auto isfile = [](const char *t) {
        struct stat st;
        const char *u = unmeta(t);
        return u && !stat(u, &st) && !S_ISDIR(st.st_mode);
    };
    // A name without a slash is searched in PATH; source tries the name
    // itself first.
    if (!strchr(arg0, '/')) {
        if (*name != '.' && !access(unmeta(arg0) ? unmeta(arg0) : "", F_OK))
            path = arg0;
        // A compiled form alone is found as well as the text.
        for (char **pp = ::path; !path && pp && *pp; pp++) {
            char *t = **pp ? qhtricat(*pp, "/", arg0) : arg0;
            if (isfile(t) || isfile(qhtricat(t, ".qwc", "")))
                path = t;
        }
    } else {
        path = arg0;
    }
    int64_t oldlastval = lastval;
    int err = ENOENT;
    if (path && !isfile(path) && !isfile(qhtricat(path, ".qwc", ""))) {
        struct stat st;
        const char *u = unmeta(path);
        if (u && !stat(u, &st) && S_ISDIR(st.st_mode)) {
            err = EISDIR;
            path = nullptr;
        }
    }
    if (path) {
        lastval = 0;
        bool newzero = isset(FUNCTIONARGZERO);
        char *oargzero = argzero;
        bool ozeroarena = argzeroarena;
        if (newzero) {
            argzero = qtrdup(path);
            argzeroarena = false;
        }
        errno = 0;
        ret = source(path);
        err = errno ? errno : ENOENT;
        if (newzero)
            setargzero(oargzero, ozeroarena);
    }
    if (newargs)
        setpparams(old, oldarena);
    if (ret) {
        // A file that cannot be read is an error that ends a POSIX script.
        if (emulating(EMULATE_SH))
            qerrnam(name, "%e: %s", *argv, err);
        else
            qwarnnam(name, "%e: %s", *argv, err);
        lastval = oldlastval;
        return err == EISDIR ? 1 : 127;
    }
    return int(lastval);
}
