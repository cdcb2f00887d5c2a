// qcompile: compile scripts and function files, or the functions now
// defined, into a compiled wordcode file, and list such files.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "params/params.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace {

bool hasqwc(const char *s)
{
    size_t l = strlen(s);
    return l >= 4 && !strcmp(s + l - 4, ".qwc");
}

char *qwcname(const char *s) { return hasqwc(s) ? dupstring(s) : qhtricat(s, ".qwc", ""); }

// -t: list the file, or succeed only if it holds every name given.
int listdump(const char *nam, char *file, char **names)
{
    int mapped;
    char *dump = qwcname(file);
    LinkList *l = qwc_names(nam, dump, &mapped);
    if (!l)
        return 1;
    if (*names) {
        for (; *names; names++) {
            bool found = false;
            for (LinkNode *n = firstnode(l); n && !found; n = nextnode(n)) {
                const char *s = static_cast<char *>(getdata(n)), *t = strrchr(s, '/');
                found = !strcmp(*names, t ? t + 1 : s);
            }
            if (!found)
                return 1;
        }
        return 0;
    }
    printf("qwc file (%s) for tarn-%s\n", mapped ? "mapped" : "read", TARN_VERSION);
    for (LinkNode *n = firstnode(l); n; n = nextnode(n)) {
        niceqputs(static_cast<char *>(getdata(n)), stdout);
        putchar('\n');
    }
    return 0;
}

// The text of file parsed as one program, or null after a warning.
Eprog *parsefile(const char *nam, const char *file, bool noalias)
{
    const char *u = unmeta(file);
    int fd = u ? open(u, O_RDONLY | O_NOCTTY | O_CLOEXEC) : -1;
    if (fd < 0) {
        qwarnnam(nam, "can't open file: %s", file, 0);
        return nullptr;
    }
    off_t len = lseek(fd, 0, SEEK_END);
    char *d = nullptr;
    if (len >= 0 && len < INT32_MAX && lseek(fd, 0, SEEK_SET) == 0) {
        d = static_cast<char *>(qhalloc(size_t(len) + 1));
        if (read(fd, d, size_t(len)) != len)
            d = nullptr;
    }
    close(fd);
    if (!d) {
        qwarnnam(nam, "can't read file: %s", file, 0);
        return nullptr;
    }
    d[len] = '\0';
    char *md = metafy(d, int(len), META_HEAPDUP);
    int ona = noaliases;
    noaliases = noalias;
    char *osn = scriptname;
    scriptname = dupstring(file);
    Eprog *prog = parse_string(md, 1);
    scriptname = osn;
    noaliases = ona;
    if (!prog || errflag) {
        errflag = 0;
        qwarnnam(nam, "can't read file: %s", file, 0);
        return nullptr;
    }
    return prog;
}

void adddump(LinkList *progs, const char *name, Eprog *prog, int flags)
{
    DumpProg *d = qhnew<DumpProg>();
    d->name = name;
    d->prog = prog;
    d->flags = flags;
    addlinknode(progs, d);
}

// Compile each file; "-k" and "-z" among them switch the load style.
int dumpfiles(const char *nam, const char *dump, char **files, BuiltinOptions *ops, int map)
{
    int style = opt_isset(ops, 'k') ? FDHF_KSHLOAD : opt_isset(ops, 'z') ? FDHF_NATLOAD : 0;
    LinkList *progs = newlinklist();
    for (; *files; files++) {
        if (!strcmp(*files, "-k") || !strcmp(*files, "-z")) {
            style = (*files)[1] == 'k' ? FDHF_KSHLOAD : FDHF_NATLOAD;
            continue;
        }
        Eprog *prog = parsefile(nam, *files, opt_isset(ops, 'U'));
        if (!prog) {
            if (const char *u = unmeta(dump))
                unlink(u);
            return 1;
        }
        adddump(progs, *files, prog, (prog->flags & EF_RUN) ? FDHF_KSHLOAD : style);
    }
    if (empty(progs)) {
        qwarnnam(nam, "too few arguments", nullptr, 0);
        return 1;
    }
    return qwc_write(nam, dump, progs, map);
}

// The functions to write with -c/-a, collected by the table scans.
LinkList *selected;

void selectfunc(HashNode *hn, int)
{
    for (LinkNode *n = firstnode(selected); n; n = nextnode(n))
        if (getdata(n) == hn)
            return;
    addlinknode(selected, hn);
}

int dumpfuncs(const char *nam, const char *dump, char **names, BuiltinOptions *ops, int map)
{
    selected = newlinklist();
    if (!*names) {
        scanhashtable(shfunctab, 1, 0, NODE_DISABLED, selectfunc, 0);
    } else if (opt_isset(ops, 'm')) {
        for (; *names; names++) {
            Patprog *pp = patternarg(nam, *names);
            if (!pp)
                return 1;
            scanmatchtable(shfunctab, pp, 0, NODE_DISABLED, selectfunc, 0);
        }
    } else {
        for (; *names; names++) {
            HashNode *hn = shfunctab->getnode(shfunctab, *names);
            if (!hn) {
                qwarnnam(nam, "unknown function: %s", *names, 0);
                return 1;
            }
            selectfunc(hn, 0);
        }
    }
    if (empty(selected)) {
        qwarnnam(nam, "no functions", nullptr, 0);
        return 1;
    }
    LinkList *progs = newlinklist();
    for (LinkNode *n = firstnode(selected); n; n = nextnode(n)) {
        ShellFunc *shf = static_cast<ShellFunc *>(getdata(n));
        if (shf->flags & PM_UNDEFINED) {
            if (!opt_isset(ops, 'a')) {
                qwarnnam(nam, "function is not loaded: %s", shf->nam, 0);
                return 1;
            }
            if (!loadautofn(shf, 1, 1)) {
                qwarnnam(nam, "can't load function: %s", shf->nam, 0);
                return 1;
            }
        } else if (!opt_isset(ops, 'c')) {
            qwarnnam(nam, "function is already loaded: %s", shf->nam, 0);
            return 1;
        }
        Eprog *prog = dupeprog(shf->funcdef, 1);
        adddump(progs, dupstring(shf->nam), prog, (shf->funcdef->flags & EF_RUN) ? FDHF_KSHLOAD : FDHF_NATLOAD);
    }
    return qwc_write(nam, dump, progs, map);
}

}  // namespace

int bin_qcompile(char *nam, char **args, BuiltinOptions *ops, int)
{
    bool c = opt_isset(ops, 'c'), a = opt_isset(ops, 'a');
    if ((opt_isset(ops, 'k') && opt_isset(ops, 'z')) || (opt_isset(ops, 'R') && opt_isset(ops, 'M')) ||
        (c && (opt_isset(ops, 'U') || opt_isset(ops, 'k') || opt_isset(ops, 'z'))) ||
        (!(c || a) && opt_isset(ops, 'm'))) {
        qwarnnam(nam, "illegal combination of options", nullptr, 0);
        return 1;
    }
    if ((c || a) && isset(KSHAUTOLOAD))
        qwarnnam(nam, "functions will use tarn style autoloading", nullptr, 0);
    HeapGuard hg;
    if (opt_isset(ops, 't')) {
        if (!*args) {
            qwarnnam(nam, "too few arguments", nullptr, 0);
            return 1;
        }
        return listdump(nam, args[0], args + 1);
    }
    if (!*args) {
        qwarnnam(nam, "too few arguments", nullptr, 0);
        return 1;
    }
    int map = opt_isset(ops, 'M') ? 1 : opt_isset(ops, 'R') ? 0 : 2;
    if (!args[1] && !(c || a))
        return dumpfiles(nam, qhtricat(args[0], ".qwc", ""), args, ops, map);
    char *dump = qwcname(args[0]);
    return (c || a) ? dumpfuncs(nam, dump, args + 1, ops, map) : dumpfiles(nam, dump, args + 1, ops, map);
}
