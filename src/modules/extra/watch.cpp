// Login watching (part of tarn/main): dowatch, run before prompts when
// watch is set, reports other users' logins and logouts from the
// system's session records; the log builtin reports every current login.
#include "builtins/builtins.h"
#include "modules/extra/extra.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmpx.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

time_t lastwatch;

namespace {

const char *utmppath = "/var/run/utmp";
const char *wtmppath = "/var/log/wtmp";

// The snapshot: user-process records sorted by login time, then line.
struct utmpx *wtab;
int wtabsz;
bool havesnapshot;
time_t lastutmpcheck;
// The error the session file last gave (0 when it was read): a failure is
// reported when it starts or changes, not before every prompt.
int lastwatcherr;

template <size_t N> int fieldcmp(const char (&a)[N], const char (&b)[N]) { return strncmp(a, b, N); }

bool before(const struct utmpx &a, const struct utmpx &b)
{
    if (a.ut_tv.tv_sec != b.ut_tv.tv_sec)
        return a.ut_tv.tv_sec < b.ut_tv.tv_sec;
    return fieldcmp(a.ut_line, b.ut_line) < 0;
}

bool samesession(const struct utmpx &a, const struct utmpx &b)
{
    return a.ut_tv.tv_sec == b.ut_tv.tv_sec && !fieldcmp(a.ut_line, b.ut_line) && !fieldcmp(a.ut_user, b.ut_user) &&
           !fieldcmp(a.ut_host, b.ut_host);
}

// Read the user-process records of the session file; an errno on failure.
int readutmp(struct utmpx **tabp, int *np, time_t *mtime)
{
    struct stat st;
    if (stat(utmppath, &st) < 0)
        return errno;
    // The library's reader says nothing when it cannot open the file.
    int fd = open(utmppath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    close(fd);
    *mtime = st.st_mtime;
    int n = 0, size = 16;
    struct utmpx *tab = static_cast<struct utmpx *>(qalloc(sizeof(struct utmpx) * size_t(size)));
    utmpxname(utmppath);
    setutxent();
    while (struct utmpx *u = getutxent()) {
        if (u->ut_type != USER_PROCESS)
            continue;
        if (n == size) {
            size *= 2;
            tab = static_cast<struct utmpx *>(qrealloc(tab, sizeof(struct utmpx) * size_t(size)));
        }
        tab[n++] = *u;
    }
    endutxent();
    std::sort(tab, tab + n, before);
    *tabp = tab;
    *np = n;
    return 0;
}

// When the session u ended: the next record for its line in the history
// file after its own login record, looked for among the last 50 records
// written since the last check; now when there is none.
time_t logouttime(const struct utmpx &u)
{
    time_t now = time(nullptr);
    int fd = open(wtmppath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return now;
    off_t end = lseek(fd, 0, SEEK_END);
    time_t found = now, next = 0;
    constexpr off_t rec = sizeof(struct utmpx);
    for (int i = 1; i <= 50 && end >= rec * i; i++) {
        struct utmpx w;
        if (pread(fd, &w, sizeof w, end - rec * i) != ssize_t(sizeof w))
            break;
        if (w.ut_tv.tv_sec < lastwatch)
            break;
        if (fieldcmp(w.ut_line, u.ut_line))
            continue;
        if (w.ut_type == USER_PROCESS && samesession(w, u)) {
            if (next)
                found = next;
            break;
        }
        next = w.ut_tv.tv_sec;
    }
    close(fd);
    return found;
}

// ---- WATCHFMT ----

template <size_t N> void putfield(const char (&f)[N])
{
    fwrite(f, 1, strnlen(f, N), stdout);
}

void puttime(const char *fmt, time_t t)
{
    struct tm *tm = localtime(&t);
    if (!tm)
        return;
    char buf[256];
    size_t len = qtrftime(buf, sizeof buf, fmt, tm);
    if (len >= sizeof buf)
        len = sizeof buf - 1;
    const char *p = buf;
    if (*p == ' ')
        p++, len--;
    fwrite(p, 1, len, stdout);
}

void putcap(int cap)
{
    if (!(termflags & (TERM_BAD | TERM_UNKNOWN)) && termcaps.str[cap])
        fputs(termcaps.str[cap], stdout);
}

// Format one event with fmt up to fini (or its end), printing only when
// prnt; returns where it stopped.
const char *watchfmt(const struct utmpx &u, const char *fmt, bool login, bool prnt, char fini)
{
    auto out = [prnt](char c) {
        if (prnt)
            putchar(c);
    };
    time_t when = login ? time_t(u.ut_tv.tv_sec) : 0;
    auto eventtime = [&]() {
        if (!when)
            when = logouttime(u);
        return when;
    };
    while (*fmt && *fmt != fini) {
        if (*fmt == '\\') {
            if (*++fmt)
                out(*fmt++);
            continue;
        }
        if (*fmt != '%' || !fmt[1]) {
            out(*fmt++);
            continue;
        }
        char c = *++fmt;
        fmt++;
        if (!prnt && c != '(')
            continue;
        switch (c) {
        case 'n':
            putfield(u.ut_user);
            break;
        case 'a':
            fputs(login ? "logged on" : "logged off", stdout);
            break;
        case 'l': {
            const char *l = u.ut_line;
            size_t n = strnlen(l, sizeof u.ut_line);
            if (n >= 3 && !strncmp(l, "tty", 3))
                l += 3, n -= 3;
            fwrite(l, 1, n, stdout);
            break;
        }
        case 'M':
            putfield(u.ut_host);
            break;
        case 'm': {
            size_t n = strnlen(u.ut_host, sizeof u.ut_host), i = 0;
            // A dot followed by a digit belongs to a numeric address.
            while (i < n && !(u.ut_host[i] == '.' && !(i + 1 < n && idigit(u.ut_host[i + 1]))))
                i++;
            fwrite(u.ut_host, 1, i, stdout);
            break;
        }
        case 't':
        case '@':
            puttime("%l:%M%p", eventtime());
            break;
        case 'T':
            puttime("%K:%M", eventtime());
            break;
        case 'w':
            puttime("%a %f", eventtime());
            break;
        case 'W':
            puttime("%m/%d/%y", eventtime());
            break;
        case 'D': {
            const char *dfmt = "%y-%m-%d";
            char buf[80];
            if (*fmt == '{') {
                const char *close = strchr(fmt + 1, '}');
                size_t n = close ? size_t(close - fmt - 1) : 0;
                if (close && n < sizeof buf) {
                    memcpy(buf, fmt + 1, n);
                    buf[n] = '\0';
                    dfmt = buf;
                    fmt = close + 1;
                } else {
                    fmt = close ? close + 1 : fmt + strlen(fmt);
                }
            }
            puttime(dfmt, eventtime());
            break;
        }
        case 'B':
            putcap(TCBOLDFACEBEG);
            break;
        case 'b':
        case 's':
        case 'u':
            putcap(TCALLATTRSOFF);
            break;
        case 'S':
            putcap(TCSTANDOUTBEG);
            break;
        case 'U':
            putcap(TCUNDERLINEBEG);
            break;
        case '%':
            putchar('%');
            break;
        case '(': {
            char x = *fmt;
            if (!x || !fmt[1])
                return fmt + strlen(fmt);
            char delim = fmt[1];
            fmt += 2;
            bool known = true, cond = false;
            switch (x) {
            case 'a':
                cond = login;
                break;
            case 'l':
                cond = u.ut_line[0] != '\0';
                break;
            case 'n':
                cond = u.ut_user[0] != '\0';
                break;
            case 'm':
            case 'M':
                cond = u.ut_host[0] != '\0';
                break;
            default:
                known = false;
            }
            fmt = watchfmt(u, fmt, login, prnt && known && cond, delim);
            if (*fmt)
                fmt++;
            fmt = watchfmt(u, fmt, login, prnt && known && !cond, ')');
            if (*fmt)
                fmt++;
            break;
        }
        default:
            putchar('%');
            putchar(c);
            break;
        }
    }
    return fmt;
}

// Whether an event passes the watch filter.
bool watched(const struct utmpx &u)
{
    if (!watch || !*watch)
        return false;
    if (!strcmp(*watch, "all"))
        return true;
    if (!strcmp(*watch, "notme")) {
        const char *me = getsparam("USERNAME");
        me = me ? unmeta(me) : nullptr;
        return !me || strncmp(u.ut_user, me, sizeof u.ut_user) != 0;
    }
    for (char **w = watch; *w; w++) {
        char *e = unmeta(*w);
        if (!e)
            continue;
        const char *p = e;
        size_t ul = strcspn(p, "%@");
        bool ok = !ul || (ul <= sizeof u.ut_user && !strncmp(u.ut_user, p, ul) &&
                          (ul == sizeof u.ut_user || !u.ut_user[ul]));
        p += ul;
        while (ok && *p) {
            char kind = *p++;
            size_t l = strcspn(p, "%@");
            if (kind == '%')
                ok = l <= sizeof u.ut_line && !strncmp(u.ut_line, p, l) && (l == sizeof u.ut_line || !u.ut_line[l]);
            else
                ok = l <= sizeof u.ut_host && !strncmp(u.ut_host, p, l);
            p += l;
        }
        if (ok)
            return true;
    }
    return false;
}

void report(const struct utmpx &u, bool login)
{
    if (!watched(u))
        return;
    const char *fmt = getsparam("WATCHFMT");
    char *f = unmeta(fmt ? fmt : "%n has %a %l from %m.");
    watchfmt(u, f ? f : "%n has %a %l from %m.", login, true, '\0');
    putchar('\n');
}

// Compare the new snapshot with the old one, both sorted: what is only in
// the old one has logged off, what is only in the new one has logged on.
void compare(struct utmpx *old, int nold, struct utmpx *fresh, int nfresh)
{
    int i = 0, j = 0;
    while (i < nold || j < nfresh) {
        if (j == nfresh || (i < nold && before(old[i], fresh[j]))) {
            report(old[i++], false);
        } else if (i == nold || before(fresh[j], old[i])) {
            report(fresh[j++], true);
        } else {
            if (!samesession(old[i], fresh[j])) {
                report(old[i], false);
                report(fresh[j], true);
            }
            i++, j++;
        }
    }
    fflush(stdout);
}

void replacesnapshot(struct utmpx *tab, int n)
{
    qfree(wtab);
    wtab = tab;
    wtabsz = n;
    havesnapshot = true;
}

// One run of the watch; all: report every current login (log).  0, or
// the error reading the session file gave.
int watchrun(bool all)
{
    SignalGuard sg;
    struct stat st;
    if (!all && havesnapshot && stat(utmppath, &st) == 0 && st.st_mtime <= lastutmpcheck)
        return 0;
    struct utmpx *tab = nullptr;
    int n = 0;
    time_t mtime = 0;
    if (int err = readutmp(&tab, &n, &mtime))
        return err;
    lastutmpcheck = mtime;
    if (!havesnapshot && !all) {
        replacesnapshot(tab, n);
        return 0;
    }
    if (!errflag) {
        if (all)
            compare(nullptr, 0, tab, n);
        else
            compare(wtab, wtabsz, tab, n);
    }
    replacesnapshot(tab, n);
    return 0;
}

}  // namespace

void dowatch()
{
    int err = watchrun(false);
    if (err && err != lastwatcherr)
        qwarn("%e: %s", utmppath, err);
    lastwatcherr = err;
}

void setwatchfiles(const char *utmp, const char *wtmp)
{
    utmppath = utmp;
    wtmppath = wtmp;
    replacesnapshot(nullptr, 0);
    havesnapshot = false;
    lastutmpcheck = 0;
    lastwatcherr = 0;
}

int bin_log(char *nam, char **, BuiltinOptions *, int)
{
    if (!watch || !*watch)
        return 1;
    if (int err = watchrun(true)) {
        qwarnnam(nam, "%e: %s", utmppath, err);
        lastwatcherr = err;
        return 1;
    }
    lastwatcherr = 0;
    return 0;
}
