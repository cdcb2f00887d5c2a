// tarn/rlimits: limit, unlimit and ulimit over the limits the shell gives
// its commands (limits) and its own (current_limits).
#include "exec/exec.h"
#include "modules/extra/extra.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

namespace {

enum LimitKind { LK_TIME, LK_MEMORY, LK_NUMBER };

struct Resource {
    const char *name;
    LimitKind kind;
    char letter;     // for ulimit
    uint64_t unit;   // ulimit's unit in bytes, seconds or a count
    const char *label;
};
constexpr Resource restab[RLIM_NLIMITS_SHELL] = {
    {"cputime", LK_TIME, 't', 1, "cpu time (seconds)         "},
    {"filesize", LK_MEMORY, 'f', 512, "file size (blocks)         "},
    {"datasize", LK_MEMORY, 'd', 1024, "data seg size (kbytes)     "},
    {"stacksize", LK_MEMORY, 's', 1024, "stack size (kbytes)        "},
    {"coredumpsize", LK_MEMORY, 'c', 512, "core file size (blocks)    "},
    {"descriptors", LK_NUMBER, 'n', 1, "file descriptors           "},
    {"vmemorysize", LK_MEMORY, 'v', 1024, "virtual memory size (kb)   "},
};
constexpr int FILESIZE = 1;

bool superuser() { return geteuid() == 0; }

// The resource an argument names by a prefix; -1 after a message.
int findresource(const char *nam, const char *arg)
{
    int found = -1;
    size_t len = strlen(arg);
    for (int i = 0; i < RLIM_NLIMITS_SHELL; i++) {
        if (strncmp(restab[i].name, arg, len))
            continue;
        if (found >= 0) {
            qwarnnam(nam, "ambiguous resource name: %s", arg, 0);
            return -1;
        }
        found = i;
    }
    if (found < 0)
        qwarnnam(nam, "no such resource: %s", arg, 0);
    return found;
}

// value * scale, refused when it passes the range of a limit: wrapped,
// it would be a small limit nobody asked for.
bool scaled(const char *nam, const char *arg, uint64_t value, uint64_t scale, uint64_t add, rlim_t *out)
{
    if (value > (UINT64_MAX - add) / scale || value * scale + add >= uint64_t(RLIM_INFINITY)) {
        qwarnnam(nam, "limit value too large: %s", arg, 0);
        return false;
    }
    *out = rlim_t(value * scale + add);
    return true;
}

// The leading digits of s as a number; false (after a message) when
// there are none or they overflow.
bool leadingnumber(const char *nam, const char *arg, const char **s, uint64_t *out)
{
    if (!idigit(static_cast<unsigned char>(**s))) {
        qwarnnam(nam, "limit must be a number", nullptr, 0);
        return false;
    }
    errno = 0;
    char *end;
    unsigned long long v = strtoull(*s, &end, 10);
    if (errno == ERANGE) {
        qwarnnam(nam, "limit value too large: %s", arg, 0);
        return false;
    }
    *s = end;
    *out = v;
    return true;
}

// A value for limit in the resource's own terms; false after a message.
bool limitvalue(const char *nam, int res, const char *arg, rlim_t *out)
{
    if (!strcmp(arg, "unlimited")) {
        *out = RLIM_INFINITY;
        return true;
    }
    const char *s = arg;
    uint64_t v;
    if (!leadingnumber(nam, arg, &s, &v))
        return false;
    switch (restab[res].kind) {
    case LK_NUMBER:
        if (*s) {
            qwarnnam(nam, "limit must be a number", nullptr, 0);
            return false;
        }
        return scaled(nam, arg, v, 1, 0, out);
    case LK_TIME:
        if (!*s)
            return scaled(nam, arg, v, 1, 0, out);
        if ((*s == 'h' || *s == 'H') && !s[1])
            return scaled(nam, arg, v, 3600, 0, out);
        if ((*s == 'm' || *s == 'M') && !s[1])
            return scaled(nam, arg, v, 60, 0, out);
        if (*s == ':' && idigit(static_cast<unsigned char>(s[1]))) {
            const char *t = s + 1;
            uint64_t secs;
            if (!leadingnumber(nam, arg, &t, &secs))
                return false;
            if (!*t)
                return scaled(nam, arg, v, 60, secs, out);
        }
        break;
    case LK_MEMORY:
        if (!*s || ((*s == 'k' || *s == 'K') && !s[1]))
            return scaled(nam, arg, v, 1024, 0, out);
        if ((*s == 'm' || *s == 'M') && !s[1])
            return scaled(nam, arg, v, 1024 * 1024, 0, out);
        break;
    }
    qwarnnam(nam, "unknown scaling factor: %s", s, 0);
    return false;
}

// Make the shell's own limit what the table says; 1 after a message,
// with the table put back.
int applylimit(const char *nam, int res)
{
    if (setrlimit(limitres[res], &limits[res]) < 0) {
        qwarnnam(nam, "setrlimit failed: %e", nullptr, errno);
        limits[res] = current_limits[res];
        return 1;
    }
    current_limits[res] = limits[res];
    return 0;
}

void showlimit(int res, bool hard)
{
    rlim_t v = hard ? limits[res].rlim_max : limits[res].rlim_cur;
    printf("%-16s", restab[res].name);
    if (v == RLIM_INFINITY) {
        puts("unlimited");
        return;
    }
    uint64_t u = v;
    switch (restab[res].kind) {
    case LK_TIME:
        printf("%" PRIu64 ":%02d:%02d\n", u / 3600, int(u / 60 % 60), int(u % 60));
        break;
    case LK_NUMBER:
        printf("%" PRIu64 "\n", u);
        break;
    case LK_MEMORY:
        if (u >= 1024 * 1024)
            printf("%" PRIu64 "MB\n", u / (1024 * 1024));
        else
            printf("%" PRIu64 "kB\n", u / 1024);
        break;
    }
}

int setlimit(const char *nam, int res, rlim_t val, bool hard)
{
    struct rlimit &l = limits[res];
    if (hard) {
        if (val > current_limits[res].rlim_max && !superuser()) {
            qwarnnam(nam, "can't raise hard limits", nullptr, 0);
            return 1;
        }
        l.rlim_max = val;
        if (val < l.rlim_cur)
            l.rlim_cur = val;
    } else {
        if (val > l.rlim_max) {
            qwarnnam(nam, "limit exceeds hard limit", nullptr, 0);
            return 1;
        }
        l.rlim_cur = val;
    }
    return 0;
}

int bin_limit(char *nam, char **argv, BuiltinOptions *ops, int)
{
    bool hard = opt_isset(ops, 'h');
    if (opt_isset(ops, 's') && !*argv) {
        int ret = 0;
        for (int i = 0; i < RLIM_NLIMITS_SHELL; i++)
            if (limits[i].rlim_cur != current_limits[i].rlim_cur || limits[i].rlim_max != current_limits[i].rlim_max)
                ret += applylimit(nam, i);
        return ret;
    }
    if (!*argv) {
        for (int i = 0; i < RLIM_NLIMITS_SHELL; i++)
            showlimit(i, hard);
        return 0;
    }
    int ret = 0;
    for (; *argv; argv++) {
        int res = findresource(nam, *argv);
        if (res < 0)
            return 1;
        if (!argv[1]) {
            showlimit(res, hard);
            return 0;
        }
        rlim_t val;
        struct rlimit saved = limits[res];
        if (!limitvalue(nam, res, *++argv, &val) || setlimit(nam, res, val, hard)) {
            limits[res] = saved;
            return 1;
        }
        if (opt_isset(ops, 's'))
            ret += applylimit(nam, res);
    }
    return ret;
}

// Unlimit one resource; 1 when the hard limit may not be removed, 2 when
// applying it to the shell failed (reported).
int unlimitone(const char *nam, int res, bool hard, bool apply)
{
    if (hard) {
        if (current_limits[res].rlim_max != RLIM_INFINITY && !superuser())
            return 1;
        limits[res].rlim_max = RLIM_INFINITY;
    }
    limits[res].rlim_cur = limits[res].rlim_max;
    return apply && applylimit(nam, res) ? 2 : 0;
}

int bin_unlimit(char *nam, char **argv, BuiltinOptions *ops, int)
{
    bool hard = opt_isset(ops, 'h'), apply = opt_isset(ops, 's');
    int ret = 0;
    if (!*argv) {
        bool refused = false;
        for (int res = 0; res < RLIM_NLIMITS_SHELL; res++) {
            int r = unlimitone(nam, res, hard, apply);
            refused |= r == 1;
            ret |= r;
        }
        if (refused)
            qwarnnam(nam, "can't remove hard limits", nullptr, 0);
        return ret ? 1 : 0;
    }
    for (; *argv; argv++) {
        int res = findresource(nam, *argv);
        if (res < 0)
            return 1;
        int r = unlimitone(nam, res, hard, apply);
        if (r == 1)
            qwarnnam(nam, "can't remove hard limits", nullptr, 0);
        if (r)
            ret = 1;
    }
    return ret;
}

void showulimit(int res, bool hard, bool label)
{
    if (label)
        fputs(restab[res].label, stdout);
    rlim_t v = hard ? limits[res].rlim_max : limits[res].rlim_cur;
    if (v == RLIM_INFINITY)
        puts("unlimited");
    else
        printf("%" PRIu64 "\n", uint64_t(v) / restab[res].unit);
}

// One ulimit value for a resource: set, applied to the shell at once.
int setulimit(const char *nam, int res, const char *arg, bool hard, bool soft)
{
    struct rlimit saved = limits[res];
    struct rlimit &l = limits[res];
    if (!strcmp(arg, "unlimited")) {
        if (hard) {
            if (current_limits[res].rlim_max != RLIM_INFINITY && !superuser()) {
                qwarnnam(nam, "can't remove hard limits", nullptr, 0);
                return 1;
            }
            l.rlim_max = RLIM_INFINITY;
        }
        if (!hard || soft)
            l.rlim_cur = l.rlim_max;
        return applylimit(nam, res);
    }
    const char *s = arg;
    uint64_t v;
    rlim_t val;
    if (!leadingnumber(nam, arg, &s, &v))
        return 1;
    if (*s) {
        qwarnnam(nam, "limit must be a number", nullptr, 0);
        return 1;
    }
    if (!scaled(nam, arg, v, restab[res].unit, 0, &val))
        return 1;
    if (hard) {
        if (val > current_limits[res].rlim_max && !superuser()) {
            qwarnnam(nam, "can't raise hard limits", nullptr, 0);
            return 1;
        }
        l.rlim_max = val;
        if (val < l.rlim_cur)
            l.rlim_cur = val;
    }
    if (!hard || soft) {
        if (val <= l.rlim_max) {
            l.rlim_cur = val;
        } else if (val <= current_limits[res].rlim_max || superuser()) {
            l.rlim_cur = l.rlim_max = val;
        } else {
            qwarnnam(nam, "value exceeds hard limit", nullptr, 0);
            l = saved;
            return 1;
        }
    }
    return applylimit(nam, res);
}

int bin_ulimit(char *nam, char **argv, BuiltinOptions *, int)
{
    bool hard = false, soft = false;
    do {
        const char *options = *argv;
        int res = -1;
        bool all = false;
        if (options && *options == '-' && !idigit(static_cast<unsigned char>(options[1]))) {
            if (!options[1]) {
                qwarnnam(nam, "missing option letter", nullptr, 0);
                return 1;
            }
            argv++;
            for (const char *o = options + 1; *o; o++) {
                if (*o == 'H') {
                    hard = true;
                } else if (*o == 'S') {
                    soft = true;
                } else if (*o == 'a') {
                    if (o[1] || *argv) {
                        qwarnnam(nam, "no arguments required after -a", nullptr, 0);
                        return 1;
                    }
                    all = true;
                } else {
                    res = -1;
                    for (int i = 0; i < RLIM_NLIMITS_SHELL; i++)
                        if (restab[i].letter == *o)
                            res = i;
                    if (res < 0) {
                        qwarnnam(nam, "bad option: -%c", nullptr, static_cast<unsigned char>(*o));
                        return 1;
                    }
                }
            }
        }
        if (all) {
            for (int i = 0; i < RLIM_NLIMITS_SHELL; i++)
                showulimit(i, hard && !soft, true);
            return 0;
        }
        if (res < 0)
            res = FILESIZE;
        // A negative number is a value to refuse, not options.
        if (!*argv || (**argv == '-' && !idigit(static_cast<unsigned char>((*argv)[1])))) {
            // Only letters that select a resource print it.
            if (options && *options == '-' && strspn(options + 1, "HS") == strlen(options + 1) && *argv)
                continue;
            showulimit(res, hard && !soft, false);
            continue;
        }
        if (setulimit(nam, res, *argv++, hard, soft))
            return 1;
    } while (*argv);
    return 0;
}

Builtin bintab[] = {
    mkbuiltin("limit", 0, bin_limit, 0, -1, 0, "sh", nullptr),
    mkbuiltin("ulimit", 0, bin_ulimit, 0, -1, 0, nullptr, nullptr),
    mkbuiltin("unlimit", 0, bin_unlimit, 0, -1, 0, "hs", nullptr),
};
constexpr int NBIN = sizeof(bintab) / sizeof(bintab[0]);

}  // namespace

int setup_tarnQsrlimits(Module *) { return 0; }
int boot_tarnQsrlimits(Module *m)
{
    init_limits();
    return !addbuiltins(m->nam, bintab, NBIN);
}
int cleanup_tarnQsrlimits(Module *m)
{
    deletebuiltins(m->nam, bintab, NBIN);
    return 0;
}
int finish_tarnQsrlimits(Module *) { return 0; }
