// Glob qualifiers: the trailing (...) of a pattern that selects files by
// type, permissions, owner, size, times and link count, sets per-pattern
// options and sort keys, and can run shell code for each file.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "exec/exec.h"
#include "expand/expand.h"
#include "params/params.h"

// One test of an alternative.
struct GlobQual {
    GlobQual *next;
    bool (*test)(const struct stat *st, const GlobQual *q);
    int64_t data;
    int64_t units;  // sizes and times: the unit the number counts
    int range;      // -1 less than, 1 greater than, 0 equal to data
    int amc;        // times: 0 access, 1 modification, 2 change
    unsigned yes, no;  // modes: bits that must be set / clear
    char *code;     // a code qualifier: the shell code
    bool neg, follow;
};

// Every test of tests must pass, then every code qualifier of codes.
struct GlobAlt {
    GlobAlt *next;
    GlobQual *tests, *codes;
};

char file_type(unsigned mode)
{
    if (S_ISDIR(mode))
        return '/';
    if (S_ISREG(mode))
        return (mode & (S_IXUSR | S_IXGRP | S_IXOTH)) ? '*' : ' ';
    if (S_ISLNK(mode))
        return '@';
    if (S_ISFIFO(mode))
        return '|';
    if (S_ISSOCK(mode))
        return '=';
    if (S_ISBLK(mode))
        return '#';
    if (S_ISCHR(mode))
        return '%';
    return '?';
}

// ---- status of a candidate ----

static const struct stat *fetchstat(GlobFile *f, bool follow)
{
    signed char &state = follow ? f->state : f->lstate;
    struct stat *buf = follow ? f->st : f->lst;
    if (!state) {
        int r = fstatat(f->dirfd, f->uname, buf, follow ? 0 : AT_SYMLINK_NOFOLLOW);
        state = r ? -1 : 1;
        if (r && errno != ENOENT && errno != EINTR && errno != ENOTDIR && !errflag)
            qwarn("%e: %s", f->path, errno);
    }
    return state > 0 ? buf : nullptr;
}

const struct stat *globlstat(GlobFile *f) { return fetchstat(f, false); }

const struct stat *globstat(GlobFile *f)
{
    if (!f->state) {
        // A file that is not a link is its own target.
        const struct stat *l = globlstat(f);
        if (l && !S_ISLNK(l->st_mode)) {
            *f->st = *l;
            f->state = 1;
        }
    }
    const struct stat *s = fetchstat(f, true);
    return s ? s : globlstat(f);
}

// ---- the tests ----

static bool cmprange(int64_t v, const GlobQual *q)
{
    return q->range < 0 ? v < q->data : q->range > 0 ? v > q->data : v == q->data;
}

static bool qualtype(const struct stat *st, const GlobQual *q) { return (st->st_mode & S_IFMT) == unsigned(q->data); }
static bool qualdevice(const struct stat *st, const GlobQual *) { return S_ISBLK(st->st_mode) || S_ISCHR(st->st_mode); }
static bool qualexec(const struct stat *st, const GlobQual *)
{
    return S_ISREG(st->st_mode) && (st->st_mode & (S_IXUSR | S_IXGRP | S_IXOTH));
}
static bool qualmode(const struct stat *st, const GlobQual *q)
{
    return (st->st_mode & q->yes) == q->yes && !(st->st_mode & q->no);
}
static bool qualdev(const struct stat *st, const GlobQual *q) { return int64_t(st->st_dev) == q->data; }
static bool qualnlink(const struct stat *st, const GlobQual *q) { return cmprange(int64_t(st->st_nlink), q); }
static bool qualuid(const struct stat *st, const GlobQual *q) { return int64_t(st->st_uid) == q->data; }
static bool qualgid(const struct stat *st, const GlobQual *q) { return int64_t(st->st_gid) == q->data; }

// Sizes are rounded up to whole units.
static bool qualsize(const struct stat *st, const GlobQual *q)
{
    int64_t sz = int64_t(st->st_size);
    if (q->units > 1)
        sz = (sz + q->units - 1) / q->units;
    return cmprange(sz, q);
}

// Ages are rounded down to whole units.
static bool qualtime(const struct stat *st, const GlobQual *q)
{
    time_t t = q->amc == 0 ? st->st_atime : q->amc == 1 ? st->st_mtime : st->st_ctime;
    int64_t age = (int64_t(time(nullptr)) - int64_t(t)) / q->units;
    return cmprange(age, q);
}

// ---- parsing ----

void globdefaults(GlobSettings *gs)
{
    memset(gs, 0, sizeof *gs);
    gs->nullglob = isset(NULLGLOB);
    gs->markdirs = isset(MARKDIRS);
    gs->dots = isset(GLOBDOTS);
    gs->numsort = isset(NUMERICGLOBSORT);
}

// A decimal number at *sp; "number expected" when there is none.
static bool getnum(char **sp, int64_t *out)
{
    char *s = *sp;
    if (!idigit(static_cast<unsigned char>(*s))) {
        qerr("number expected", nullptr, 0);
        return false;
    }
    int64_t v = 0;
    while (idigit(static_cast<unsigned char>(*s))) {
        if (v < (INT64_MAX - 9) / 10)
            v = v * 10 + (*s - '0');
        s++;
    }
    *sp = s;
    *out = v;
    return true;
}

// An optional - (less than) or + (greater than) before a number.
static void getrange(char **sp, int *range)
{
    *range = **sp == '-' ? -1 : **sp == '+' ? 1 : 0;
    if (*range)
        (*sp)++;
}

// A delimited string at *sp: the first character opens it, and closes it
// too unless it is an opening bracket.  Null after reporting msg.
static char *getdelimited(char **sp, const char *msg)
{
    char *s = *sp;
    char open = *s, close;
    switch (open) {
    case '[': close = ']'; break;
    case '{': close = '}'; break;
    case '(': close = ')'; break;
    case '<': close = '>'; break;
    default: close = open; break;
    }
    char *end = open ? strchr(s + 1, close) : nullptr;
    if (!end) {
        qerr(msg, nullptr, 0);
        return nullptr;
    }
    *sp = end + 1;
    return dupstrpfx(s + 1, size_t(end - s - 1));
}

// An octal mode, optionally after = (exactly), + (at least) or - (none of).
static bool octalmode(char **sp, unsigned *yes, unsigned *no)
{
    char *s = *sp;
    char op = '=';
    if (*s == '=' || *s == '+' || *s == '-')
        op = *s++;
    if (*s < '0' || *s > '7')
        return false;
    unsigned m = 0;
    while (*s >= '0' && *s <= '7') {
        m = m * 8 + unsigned(*s++ - '0');
        if (m > 07777)
            return false;
    }
    if (op == '=') {
        *yes |= m;
        *no |= 07777 & ~m;
    } else if (op == '+') {
        *yes |= m;
    } else {
        *no |= m;
    }
    *sp = s;
    return true;
}

// Symbolic clauses [ugoa]*[=+-][rwxXst]* separated by commas.
static bool symbolicmode(char *s, unsigned *yes, unsigned *no)
{
    for (;;) {
        unsigned who = 0;
        for (; *s && strchr("ugoa", *s); s++)
            who |= *s == 'u' ? 04700u : *s == 'g' ? 02070u : *s == 'o' ? 01007u : 07777u;
        if (!who)
            who = 07777;
        char op = *s;
        if (op != '=' && op != '+' && op != '-')
            return false;
        unsigned perm = 0;
        for (s++; *s && strchr("rwxXst", *s); s++) {
            switch (*s) {
            case 'r': perm |= 0444; break;
            case 'w': perm |= 0222; break;
            case 'x':
            case 'X': perm |= 0111; break;
            case 's': perm |= 06000; break;
            case 't': perm |= 01000; break;
            }
        }
        perm &= who;
        if (op == '=') {
            *yes |= perm;
            *no |= (who & 0777) & ~perm;
        } else if (op == '+') {
            *yes |= perm;
        } else {
            *no |= perm;
        }
        if (!*s)
            return true;
        if (*s++ != ',')
            return false;
    }
}

// A permission qualifier that is neither an octal number nor symbolic
// clauses such as u+x,go-w.
static constexpr const char BADMODE[] = "invalid file mode";

static bool modespec(char **sp, unsigned *yes, unsigned *no)
{
    char *s = *sp;
    if (idigit(static_cast<unsigned char>(*s)) ||
        ((*s == '=' || *s == '+' || *s == '-') && idigit(static_cast<unsigned char>(s[1])))) {
        if (octalmode(sp, yes, no))
            return true;
        qerr(BADMODE, nullptr, 0);
        return false;
    }
    char *text = getdelimited(sp, BADMODE);
    if (!text)
        return false;
    char *p = text;
    if ((octalmode(&p, yes, no) && !*p) || (p == text && symbolicmode(text, yes, no)))
        return true;
    qerr(BADMODE, nullptr, 0);
    return false;
}

// A user or group: a number, or a name in delimiters.
static bool ownerspec(char **sp, bool group, int64_t *out)
{
    if (idigit(static_cast<unsigned char>(**sp)))
        return getnum(sp, out);
    char *name = getdelimited(sp, "missing end of name");
    if (!name)
        return false;
    char *un = unmeta(name);
    if (group) {
        struct group *gr = un ? getgrnam(un) : nullptr;
        if (!gr) {
            qerr("unknown group", nullptr, 0);
            return false;
        }
        *out = int64_t(gr->gr_gid);
    } else {
        struct passwd *pw = un ? getpwnam(un) : nullptr;
        if (!pw) {
            qerr("unknown user", nullptr, 0);
            return false;
        }
        *out = int64_t(pw->pw_uid);
    }
    return true;
}

static bool sortkey(char c, bool follow, bool desc, GlobSettings *gs)
{
    int key;
    switch (c) {
    case 'n': key = GS_NAME; break;
    case 'd': key = GS_DEPTH; break;
    case 'L': key = GS_SIZE; break;
    case 'a': key = GS_ATIME; break;
    case 'm': key = GS_MTIME; break;
    case 'c': key = GS_CTIME; break;
    case 'l': key = GS_LINKS; break;
    default:
        qerr("unknown sort specifier", nullptr, 0);
        return false;
    }
    if (follow && key >= GS_SIZE)
        key <<= GS_SHIFT;
    for (int i = 0; i < gs->nkeys; i++)
        if ((gs->keys[i] & ~GS_DESC) == key) {
            qerr("doubled sort specifier", nullptr, 0);
            return false;
        }
    if (gs->nkeys == GS_MAXKEYS)
        return true;
    gs->keys[gs->nkeys++] = key | (desc ? GS_DESC : 0);
    return true;
}

// [a,b]: 1-based, negative from the end, b defaulting to a.
static bool selection(char **sp, GlobSettings *gs)
{
    char *s = *sp + 1;
    char *close = strchr(s, ']');
    char *comma = close ? static_cast<char *>(memchr(s, ',', size_t(close - s))) : nullptr;
    char *firstend = comma ? comma : close;
    if (!close || firstend == s || (comma && comma + 1 == close)) {
        qerr("invalid subscript", nullptr, 0);
        return false;
    }
    char *a = dupstrpfx(s, size_t(firstend - s));
    gs->first = long(mathevali(a));
    gs->last = comma ? long(mathevali(dupstrpfx(comma + 1, size_t(close - comma - 1)))) : gs->first;
    if (errflag)
        return false;
    gs->range = true;
    *sp = close + 1;
    return true;
}

bool parsequals(char *s, GlobSettings *gs)
{
    GlobAlt *alt = qhnew<GlobAlt>();
    memset(alt, 0, sizeof *alt);
    GlobGroup *grp = qhnew<GlobGroup>();
    grp->alts = alt;
    grp->next = nullptr;
    GlobGroup **gp = &gs->groups;
    while (*gp)
        gp = &(*gp)->next;
    *gp = grp;
    GlobQual **tail = &alt->tests, **codetail = &alt->codes;
    bool neg = false, follow = false;
    while (*s) {
        GlobQual q;
        memset(&q, 0, sizeof q);
        q.units = 1;
        char c = *s++;
        switch (c) {
        case '/': q.test = qualtype; q.data = S_IFDIR; break;
        case '.': q.test = qualtype; q.data = S_IFREG; break;
        case '@': q.test = qualtype; q.data = S_IFLNK; break;
        case '=': q.test = qualtype; q.data = S_IFSOCK; break;
        case 'p': q.test = qualtype; q.data = S_IFIFO; break;
        case '*': q.test = qualexec; break;
        case '%':
            if (*s == 'b' || *s == 'c') {
                q.test = qualtype;
                q.data = *s++ == 'b' ? S_IFBLK : S_IFCHR;
            } else {
                q.test = qualdevice;
            }
            break;
        case 'r': q.test = qualmode; q.yes = S_IRUSR; break;
        case 'w': q.test = qualmode; q.yes = S_IWUSR; break;
        case 'x': q.test = qualmode; q.yes = S_IXUSR; break;
        case 'A': q.test = qualmode; q.yes = S_IRGRP; break;
        case 'I': q.test = qualmode; q.yes = S_IWGRP; break;
        case 'E': q.test = qualmode; q.yes = S_IXGRP; break;
        case 'R': q.test = qualmode; q.yes = S_IROTH; break;
        case 'W': q.test = qualmode; q.yes = S_IWOTH; break;
        case 'X': q.test = qualmode; q.yes = S_IXOTH; break;
        case 's': q.test = qualmode; q.yes = S_ISUID; break;
        case 'S': q.test = qualmode; q.yes = S_ISGID; break;
        case 't': q.test = qualmode; q.yes = S_ISVTX; break;
        case 'f':
            q.test = qualmode;
            if (!modespec(&s, &q.yes, &q.no))
                return false;
            break;
        case 'd':
            q.test = qualdev;
            if (!getnum(&s, &q.data))
                return false;
            break;
        case 'l':
            q.test = qualnlink;
            getrange(&s, &q.range);
            if (!getnum(&s, &q.data))
                return false;
            break;
        case 'U': q.test = qualuid; q.data = int64_t(geteuid()); break;
        case 'G': q.test = qualgid; q.data = int64_t(getegid()); break;
        case 'u':
        case 'g':
            q.test = c == 'u' ? qualuid : qualgid;
            if (!ownerspec(&s, c == 'g', &q.data))
                return false;
            break;
        case 'a':
        case 'm':
        case 'c':
            q.test = qualtime;
            q.amc = c == 'a' ? 0 : c == 'm' ? 1 : 2;
            switch (*s) {
            case 'M': q.units = 30 * 86400; s++; break;
            case 'w': q.units = 7 * 86400; s++; break;
            case 'h': q.units = 3600; s++; break;
            case 'm': q.units = 60; s++; break;
            case 's': q.units = 1; s++; break;
            default: q.units = 86400; break;
            }
            getrange(&s, &q.range);
            if (!getnum(&s, &q.data))
                return false;
            break;
        case 'L':
            q.test = qualsize;
            switch (*s) {
            case 'p': case 'P': q.units = 512; s++; break;
            case 'k': case 'K': q.units = 1024; s++; break;
            case 'm': case 'M': q.units = 1024 * 1024; s++; break;
            default: break;
            }
            getrange(&s, &q.range);
            if (!getnum(&s, &q.data))
                return false;
            break;
        case 'e': {
            char *code = getdelimited(&s, "missing end of string");
            if (!code)
                return false;
            GlobQual *cq = qhnew<GlobQual>();
            *cq = q;
            cq->code = code;
            cq->neg = neg;
            *codetail = cq;
            codetail = &cq->next;
            gs->hascode = true;
            continue;
        }
        case '^': neg = !neg; continue;
        case '-': follow = !follow; continue;
        case 'M': gs->markdirs = !gs->markdirs; continue;
        case 'T': gs->listtypes = !gs->listtypes; continue;
        case 'N': gs->nullglob = !gs->nullglob; continue;
        case 'D': gs->dots = !gs->dots; continue;
        case 'n': gs->numsort = !gs->numsort; continue;
        case 'o':
        case 'O':
            if (!sortkey(*s, follow, c == 'O', gs))
                return false;
            s++;
            continue;
        case '[':
            s--;
            if (!selection(&s, gs))
                return false;
            continue;
        case ',': {
            GlobAlt *na = qhnew<GlobAlt>();
            memset(na, 0, sizeof *na);
            alt->next = na;
            alt = na;
            tail = &alt->tests;
            codetail = &alt->codes;
            neg = follow = false;
            continue;
        }
        case ':':
            gs->colonmods = dupstring(s - 1);
            gs->follow = follow;
            return true;
        default:
            qerr("unknown file attribute", nullptr, 0);
            return false;
        }
        GlobQual *nq = qhnew<GlobQual>();
        *nq = q;
        nq->neg = neg;
        nq->follow = follow;
        *tail = nq;
        tail = &nq->next;
    }
    gs->follow = follow;
    return true;
}

// ---- applying them ----

// Run one code qualifier with REPLY set to the name; the status decides,
// and reply or REPLY, when set, give the names that replace it.
static bool runcode(GlobQual *q, GlobFile *f, char ***names)
{
    unsetparam("reply");
    setsparam("REPLY", qtrdup(f->path));
    int64_t oldval = lastval;
    execstring(q->code, 1, 0, "globqual");
    bool ok = !errflag && lastval == 0;
    lastval = oldval;
    if (errflag)
        return false;
    if (ok == q->neg)
        return false;
    if (q->neg)
        return true;
    char **arr = getaparam("reply");
    if (!arr)
        arr = gethparam("reply");
    if (arr) {
        int n = 0;
        while (arr[n])
            n++;
        char **copy = qhnew<char *>(size_t(n) + 1);
        for (int i = 0; i < n; i++)
            copy[i] = dupstring(arr[i]);
        copy[n] = nullptr;
        *names = copy;
        return true;
    }
    char *one = getsparam("reply");
    if (!one)
        one = getsparam("REPLY");
    if (one && strcmp(one, f->path)) {
        char **copy = qhnew<char *>(2);
        copy[0] = dupstring(one);
        copy[1] = nullptr;
        *names = copy;
    }
    return true;
}

static bool alttests(GlobAlt *alt, GlobFile *f)
{
    for (GlobQual *q = alt->tests; q; q = q->next) {
        const struct stat *st = q->follow ? globstat(f) : globlstat(f);
        if (!st || q->test(st, q) == q->neg)
            return false;
    }
    return true;
}

bool qualsmatch(GlobSettings *gs, GlobFile *f, char ***names)
{
    for (GlobGroup *g = gs->groups; g; g = g->next) {
        bool any = false;
        for (GlobAlt *alt = g->alts; alt && !any && !errflag; alt = alt->next) {
            if (!alttests(alt, f))
                continue;
            any = true;
            for (GlobQual *q = alt->codes; q && any; q = q->next)
                any = runcode(q, f, names);
        }
        if (!any || errflag)
            return false;
    }
    return true;
}
