// fc, history and r: list history events, run them again after editing
// or substitution, and read, write or append the history file.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "history/history.h"
#include "params/params.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Repl {
    const char *old, *rep;
};

// Replace every occurrence of each old by its new text, left to right.
char *substitutions(const char *text, const std::vector<Repl> &repls, bool *any)
{
    char *s = dupstring(text);
    for (const Repl &r : repls) {
        size_t ol = strlen(r.old);
        std::string out;
        const char *p = s;
        for (;;) {
            const char *hit = strstr(p, r.old);
            if (!hit)
                break;
            out.append(p, size_t(hit - p));
            out += r.rep;
            p = hit + ol;
            *any = true;
        }
        if (p != s) {
            out += p;
            s = dupstring(out.c_str());
        }
    }
    return s;
}

// An event argument: a number (negative counts back from the current
// event) or the most recent event beginning with the text; -1 if none.
long fcgetcomm(const char *s)
{
    const char *p = s;
    if (*p == '-' || *p == '+')
        p++;
    bool num = *p != '\0';
    for (const char *q = p; *q; q++)
        if (!idigit(static_cast<unsigned char>(*q)))
            num = false;
    if (num) {
        long n = atol(s);
        if (n <= 0 && (*s == '-' || *s == '0')) {
            n = addhistnum(curline.number, n, HE_FOREIGN);
            return n < 0 ? 0 : n;
        }
        return n;
    }
    size_t len = strlen(s);
    for (HistEntry *he = gethistent(curline.number - 1, -1); he; he = olderhistent(he))
        if (he != &curline && !strncmp(he->nam, s, len))
            return he->number;
    qwarnnam("fc", "event not found: %s", s, 0);
    return -1;
}

void printtime(HistEntry *he, BuiltinOptions *ops)
{
    struct tm *tm = localtime(&he->start);
    if (!tm)
        return;
    if (opt_isset(ops, 'f'))
        printf("%d/%d/%d ", tm->tm_mon + 1, tm->tm_mday, tm->tm_year + 1900);
    else if (opt_isset(ops, 'E'))
        printf("%d.%d.%d ", tm->tm_mday, tm->tm_mon + 1, tm->tm_year + 1900);
    else if (opt_isset(ops, 'i'))
        printf("%d-%02d-%02d ", tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday);
    printf("%02d:%02d  ", tm->tm_hour, tm->tm_min);
}

int fclist(long first, long last, BuiltinOptions *ops, Patprog *pprog, const std::vector<Repl> &repls)
{
    bool rev = opt_isset(ops, 'r');
    if (first > last) {
        long t = first;
        first = last;
        last = t;
        rev = !rev;
    }
    HistEntry *he = gethistent(rev ? last : first, rev ? -1 : 1);
    if (!he || (rev ? he->number < first : he->number > last)) {
        if (first == last)
            qwarnnam("fc", "no such event: %d", nullptr, first);
        else
            qwarnnam("fc", "no events in that range", nullptr, 0);
        return 1;
    }
    bool any = false;
    for (; he && he->number >= first && he->number <= last; he = rev ? olderhistent(he) : newerhistent(he)) {
        if (he == &curline)
            continue;
        if (pprog && !pattry(pprog, he->nam))
            continue;
        HeapGuard hg;
        char *text = repls.empty() ? he->nam : substitutions(he->nam, repls, &any);
        if (!opt_isset(ops, 'n'))
            printf("%5ld%c ", he->number, (he->flags & HE_FOREIGN) ? '*' : ' ');
        if (opt_isset(ops, 'd') || opt_isset(ops, 'f') || opt_isset(ops, 'E') || opt_isset(ops, 'i'))
            printtime(he, ops);
        if (opt_isset(ops, 'D')) {
            long d = he->finish && he->finish >= he->start ? long(he->finish - he->start) : 0;
            printf("%ld:%02ld  ", d / 60, d % 60);
        }
        niceqputs(text, stdout);
        putchar('\n');
    }
    fflush(stdout);
    if (!repls.empty() && !any) {
        qwarnnam("fc", "no substitutions performed", nullptr, 0);
        return 1;
    }
    return 0;
}

// Write the events to the file, one per line, substituted.
bool fcwrite(int fd, long first, long last, Patprog *pprog, const std::vector<Repl> &repls)
{
    if (first > last) {
        long t = first;
        first = last;
        last = t;
    }
    std::string out;
    bool any = false;
    for (HistEntry *he = gethistent(first, 1); he && he->number <= last; he = newerhistent(he)) {
        if (he == &curline || (pprog && !pattry(pprog, he->nam)))
            continue;
        HeapGuard hg;
        char *t = repls.empty() ? he->nam : substitutions(he->nam, repls, &any);
        int len;
        char *u = unmetafy(dupstring(t), &len);
        out.append(u, size_t(len));
        out += '\n';
    }
    return writefull(fd, out.data(), out.size());
}

}  // namespace

int bin_fc(char *nam, char **argv, BuiltinOptions *ops, int func)
{
    if (!isset(INTERACTIVE)) {
        qwarnnam(nam, "not interactive shell", nullptr, 0);
        return 1;
    }
    Patprog *pprog = nullptr;
    if (opt_isset(ops, 'm')) {
        if (!*argv) {
            qwarnnam(nam, "invalid match pattern", nullptr, 0);
            return 1;
        }
        char *pat = dupstring(*argv++);
        tokenize(pat);
        if (!(pprog = patcompile(pat, 0, nullptr))) {
            qwarnnam(nam, "invalid match pattern", nullptr, 0);
            return 1;
        }
    }
    if (opt_isset(ops, 'R') || opt_isset(ops, 'W') || opt_isset(ops, 'A')) {
        SignalGuard sg;
        char *file = *argv;
        bool inc = opt_isset(ops, 'I');
        if (opt_isset(ops, 'R'))
            readhistfile(file, 1, inc ? HFILE_SKIPOLD : 0);
        else if (opt_isset(ops, 'W'))
            savehistfile(file, 1, inc ? HFILE_SKIPOLD : 0);
        else
            savehistfile(file, 1, inc ? HFILE_APPEND | HFILE_SKIPOLD : HFILE_APPEND);
        errflag = 0;
        return 0;
    }
    std::vector<Repl> repls;
    while (*argv) {
        char *eq = strchr(*argv, '=');
        if (!eq)
            break;
        if (eq == *argv) {
            qwarnnam(nam, "invalid replacement pattern: =%s", eq + 1, 0);
            return 1;
        }
        char *old = dupstrpfx(*argv, size_t(eq - *argv));
        repls.push_back({old, eq + 1});
        argv++;
    }
    bool list = opt_isset(ops, 'l');
    long first = -1, last = -1;
    {
        SignalGuard sg;
        if (*argv && (first = fcgetcomm(*argv++)) == -1)
            return 1;
        if (*argv && (last = fcgetcomm(*argv++)) == -1)
            return 1;
        if (*argv) {
            qwarnnam("fc", "too many arguments", nullptr, 0);
            return 1;
        }
        if (list) {
            long oldest = hist_ring ? hist_ring->newer->number : 1;
            if (last == -1) {
                last = addhistnum(curline.number, -1, 0);
                if (last < oldest)
                    last = oldest;
                // A first event past the default last is asked for alone.
                if (first > last)
                    last = first;
            }
            if (first == -1) {
                first = curline.number - 16;
                if (first < 1)
                    first = 1;
                if (last < first)
                    first = last;
            }
            return fclist(first, last, ops, pprog, repls);
        }
        if (first == -1)
            first = addhistnum(curline.number, -1, 0);
        if (last == -1)
            last = first;
        long lo = first < last ? first : last, hi = first < last ? last : first;
        HistEntry *he = gethistent(lo, 1);
        while (he == &curline)
            he = nullptr;
        if (!he || he->number > hi) {
            qwarnnam("fc", "no such event: %d", nullptr, first);
            return 1;
        }
    }
    const char *editor = func == BIN_R ? "-" : opt_hasarg(ops, 'e') ? opt_arg(ops, 'e') : nullptr;
    if (!editor) {
        editor = getsparam("FCEDIT");
        if (!editor || !*editor)
            editor = "vi";
    }
    char *fn = gettempname(nullptr, 1);
    char *ufn = dupstring(unmeta(fn));
    int fd = open(ufn, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, 0600);
    if (fd < 0) {
        qwarnnam(nam, "can't open temp file: %e", nullptr, errno);
        return 1;
    }
    bool ok;
    {
        SignalGuard sg;
        ok = fcwrite(fd, first, last, pprog, repls);
    }
    close(fd);
    if (!ok) {
        qwarnnam(nam, "can't open temp file: %e", nullptr, errno);
        unlink(ufn);
        return 1;
    }
    int ret = 1;
    bool run = true;
    if (strcmp(editor, "-")) {
        // The file's name is quoted: TMPPREFIX may hold blanks or syntax.
        std::string cmd = editor;
        cmd += ' ';
        cmd += '\'';
        cmd += bslashquote(fn, nullptr, QT_SINGLE);
        cmd += '\'';
        execstring(dupstring(cmd.c_str()), 1, 0, "fc");
        if (lastval)
            run = false;
    }
    if (run) {
        if (stuff(fn)) {
            qwarnnam(nam, "%e: %s", fn, errno);
        } else {
            loop(0, 1);
            ret = int(lastval);
        }
    }
    unlink(ufn);
    return ret;
}
