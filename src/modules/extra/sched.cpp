// tarn/sched: commands queued to run at a time of day, between commands,
// just before a prompt (through prepromptfns).
#include "exec/exec.h"
#include "expand/expand.h"
#include "modules/extra/extra.h"

#include <cstring>

namespace {

struct Schedcmd {
    Schedcmd *next;
    char *cmd;  // permanent, the arguments joined with blanks
    time_t time;
};

// In order of creation.
Schedcmd *schedcmds;

void freeschedcmd(Schedcmd *s)
{
    qsfree(s->cmd);
    qfree(s, sizeof(*s));
}

// Run every entry whose time has come.  The due entries are taken off the
// list before any of them runs: a scheduled command may delete entries or
// add new ones (which wait for the next prompt, even when due at once).
void checksched()
{
    time_t now = time(nullptr);
    Schedcmd *due = nullptr, **duetail = &due;
    for (Schedcmd **pp = &schedcmds; *pp;) {
        Schedcmd *s = *pp;
        if (s->time <= now) {
            *pp = s->next;
            s->next = nullptr;
            *duetail = s;
            duetail = &s->next;
        } else {
            pp = &s->next;
        }
    }
    int64_t savedval = lastval;
    while (due) {
        Schedcmd *s = due;
        due = s->next;
        errflag = 0;
        execstring(s->cmd, 0, 0, "sched");
        freeschedcmd(s);
    }
    lastval = savedval;
}

void listsched()
{
    int n = 1;
    for (Schedcmd *s = schedcmds; s; s = s->next, n++) {
        char tbuf[64];
        struct tm *tm = localtime(&s->time);
        if (!tm || !qtrftime(tbuf, sizeof tbuf, "%a %b %e %k:%M:%S", tm))
            strcpy(tbuf, "?");
        printf("%3d %s ", n, tbuf);
        qputs(s->cmd, stdout);
        putchar('\n');
    }
}

// Digits at *s, at most maxdigits of them, as a number; -1 when none.
long readdigits(const char **s, int maxdigits)
{
    long v = 0;
    int n = 0;
    while (idigit(static_cast<unsigned char>(**s))) {
        if (++n > maxdigits)
            return -1;
        v = v * 10 + (*(*s)++ - '0');
    }
    return n ? v : -1;
}

// The time an entry is to run at: [+]hh:mm, the absolute form with an
// optional a or p on the twelve-hour clock.  -1 when malformed.
time_t schedtime(const char *text, time_t now)
{
    bool relative = *text == '+';
    const char *s = text + relative;
    long h = readdigits(&s, relative ? 6 : 2);
    if (h < 0 || *s++ != ':')
        return -1;
    long m = readdigits(&s, 2);
    if (m < 0 || m > 59)
        return -1;
    if (relative)
        return *s ? -1 : now + time_t(h) * 3600 + time_t(m) * 60;
    if (*s) {
        char c = char(tulower(static_cast<unsigned char>(*s++)));
        // 12 is midnight with a and noon with p, as on any twelve-hour clock.
        if ((c != 'a' && c != 'p') || *s || h < 1 || h > 12)
            return -1;
        h = h % 12 + (c == 'p' ? 12 : 0);
    }
    if (h > 23)
        return -1;
    struct tm *tm = localtime(&now);
    if (!tm)
        return -1;
    struct tm when = *tm;
    when.tm_hour = int(h);
    when.tm_min = int(m);
    when.tm_sec = 0;
    when.tm_isdst = -1;
    time_t t = mktime(&when);
    if (t < now) {
        // Already past today: the same time tomorrow.
        when = *localtime(&now);
        when.tm_mday++;
        when.tm_hour = int(h);
        when.tm_min = int(m);
        when.tm_sec = 0;
        when.tm_isdst = -1;
        t = mktime(&when);
    }
    return t;
}

int bin_sched(char *nam, char **argv, BuiltinOptions *, int)
{
    if (!*argv) {
        listsched();
        return 0;
    }
    if (**argv == '-') {
        const char *s = *argv + 1;
        long n = readdigits(&s, 9);
        if (n <= 0 || *s) {
            qwarnnam(nam, "usage for delete: sched -<item#>.", nullptr, 0);
            return 1;
        }
        Schedcmd **pp = &schedcmds;
        while (*pp && --n)
            pp = &(*pp)->next;
        if (!*pp) {
            qwarnnam(nam, "not that many entries", nullptr, 0);
            return 1;
        }
        Schedcmd *s2 = *pp;
        *pp = s2->next;
        freeschedcmd(s2);
        return 0;
    }
    time_t t = schedtime(*argv, time(nullptr));
    if (t == -1) {
        qwarnnam(nam, "bad time specifier", nullptr, 0);
        return 1;
    }
    if (!argv[1]) {
        qwarnnam(nam, "not enough arguments", nullptr, 0);
        return 1;
    }
    SignalGuard sg;
    Schedcmd *s = qcnew<Schedcmd>();
    s->cmd = qtrdup(sepjoin(argv + 1, " ", 1));
    s->time = t;
    Schedcmd **pp = &schedcmds;
    while (*pp)
        pp = &(*pp)->next;
    *pp = s;
    return 0;
}

Builtin bintab[] = {
    mkbuiltin("sched", 0, bin_sched, 0, -1, 0, nullptr, nullptr),
};

void *schedfn() { return reinterpret_cast<void *>(checksched); }

}  // namespace

int setup_tarnQssched(Module *) { return 0; }

int boot_tarnQssched(Module *m)
{
    if (!addbuiltins(m->nam, bintab, 1))
        return 1;
    qaddlinknode(prepromptfns, schedfn());
    return 0;
}

int cleanup_tarnQssched(Module *m)
{
    SignalGuard sg;
    while (Schedcmd *s = schedcmds) {
        schedcmds = s->next;
        freeschedcmd(s);
    }
    if (LinkNode *n = linknodebydatum(prepromptfns, schedfn()))
        remnode(prepromptfns, n);
    deletebuiltins(m->nam, bintab, 1);
    return 0;
}

int finish_tarnQssched(Module *) { return 0; }
