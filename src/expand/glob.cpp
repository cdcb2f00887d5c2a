// Filename generation: a word with unquoted pattern characters becomes
// the sorted names of the existing files it matches.  Entries are examined
// relative to their directory's descriptor (fstatat/openat), so the scan
// never changes the current directory and paths longer than the system
// limit still work.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "builtins/builtins.h"
#include "expand/expand.h"
#include "params/params.h"

TARN_HOT int badcshglob;

namespace {

enum SegKind { SEG_LITERAL, SEG_PATTERN, SEG_RECURSE, SEG_RECURSE_FOLLOW };

struct Segment {
    SegKind kind;
    Patprog *prog;  // a pattern
    char *lit;      // literal names joined by "/", unmetafied
    char *mlit;     // the same, metafied
    int budget;     // errors approximate matching may use up to here
};

// A name found, with what the sort keys compare.
struct GlobMatch {
    char *name;      // metafied
    char *sortname;  // unmetafied for collation (name itself when equal)
    uint64_t prefix;  // the first bytes of sortname, big-endian, for byte order
    int64_t *val;    // with status sort keys: size, atime, mtime, ctime,
                     // links, then the same of the link's target
};

struct Scan {
    std::vector<Segment> segs;
    GlobSettings *gs;
    bool mustdir = false;   // the pattern ended with "/"
    bool needstat = false;  // a sort key wants file status
    bool ordered = false;   // matches are found in their final order
    std::string path;  // metafied directory prefix, "/"-terminated or empty
    std::vector<GlobMatch> matches;
    // With code qualifiers: where to come back to should the code change
    // directory, and the shell's idea of it.
    int cwdfd = -1;
    char *pwd = nullptr, *oldpwd = nullptr;
    std::vector<std::pair<dev_t, ino_t>> ancestors;  // ***/ loop guard
    char *pool = nullptr;
    size_t poolleft = 0;
};

bool isdotdir(const char *n) { return n[0] == '.' && (!n[1] || (n[1] == '.' && !n[2])); }

// The metafied form of a directory entry: the name itself when no byte
// needs escaping, else an arena copy.
char *metaname(const char *n)
{
    for (const char *p = n; *p; p++)
        if (imeta(static_cast<unsigned char>(*p)))
            return metafy(const_cast<char *>(n), -1, META_HEAPDUP);
    return const_cast<char *>(n);
}

// Names are carved out of large arena pieces: a big directory would
// otherwise take a great many small arena blocks.
char *poolalloc(Scan &sc, size_t n)
{
    if (n > sc.poolleft) {
        size_t chunk = std::max(n, size_t(1) << 16);
        sc.pool = static_cast<char *>(qhalloc(chunk));
        sc.poolleft = chunk;
    }
    char *r = sc.pool;
    sc.pool += n;
    sc.poolleft -= n;
    return r;
}

char *shownpath(Scan &sc, const char *mname)
{
    size_t pl = sc.path.size(), nl = strlen(mname);
    char *s = poolalloc(sc, pl + nl + 2);
    memcpy(s, sc.path.data(), pl);
    memcpy(s + pl, mname, nl + 1);
    return s;
}

// Code qualifiers run shell code, which may open low descriptors or
// replace them; the scan's own are kept out of its way.
int keepfd(Scan &sc, int fd)
{
    if (fd < 0 || fd >= 10 || !sc.gs->hascode)
        return fd;
    int nfd = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    close(fd);
    return nfd;
}

// Status failures other than "not there", "not a directory" and an
// interrupted call are reported.
bool worthwarning(int e) { return e != ENOENT && e != ENOTDIR && e != EINTR && !errflag; }

// Open the directory sc.path + uname (at is the descriptor of sc.path) to
// read.  A short path is opened by name, a system call fewer than through
// the descriptor; not while shell code may change directory meanwhile.
DIR *opendirat(Scan &sc, int at, const char *uname, const char *mname)
{
    DIR *d = nullptr;
    int e;
    if (!sc.gs->hascode && sc.path.size() + strlen(uname) < 1024) {
        std::string p = sc.path.empty() ? std::string() : std::string(unmeta(sc.path.c_str()));
        p += uname;
        d = opendir(p.c_str());
        e = errno;
    } else {
        int fd = keepfd(sc, openat(at, uname, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        e = errno;
        if (fd >= 0 && !(d = fdopendir(fd))) {
            e = errno;
            close(fd);
        }
    }
    // An unreadable directory passes silently.
    if (!d && e != EACCES && worthwarning(e))
        qwarn("%e: %s", shownpath(sc, mname), e);
    return d;
}

// Back to the starting directory after code qualifiers ran.
bool restorecwd(Scan &sc)
{
    if (sc.cwdfd < 0)
        return true;
    if (fchdir(sc.cwdfd)) {
        qerr("current directory lost during glob", nullptr, 0);
        return false;
    }
    // The code's cd is undone for the shell's record of it as well.
    if (sc.pwd && pwd && strcmp(pwd, sc.pwd)) {
        qsfree(pwd);
        pwd = qtrdup(sc.pwd);
        if (sc.oldpwd) {
            qsfree(oldpwd);
            oldpwd = qtrdup(sc.oldpwd);
        }
        set_pwd_env();
    }
    return true;
}

uint64_t sortprefix(const char *s)
{
    // The first eight bytes as one big-endian number, zero-padded.
    uint64_t v = 0;
    memcpy(&v, s, strnlen(s, 8));
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// Byte order of NUL-terminated strings whose prefixes were taken.
template <class T> bool prefixless(const T &a, const T &b, const char *ka, const char *kb)
{
    if (a.prefix != b.prefix)
        return a.prefix < b.prefix;
    return !(a.prefix & 0xff) ? false : strcmp(ka + 8, kb + 8) < 0;
}

void addmatch(Scan &sc, GlobFile *f, char *name)
{
    GlobMatch m;
    m.name = name;
    m.sortname = name;
    m.prefix = 0;
    if (!sc.ordered) {
        if (strchr(name, METACHAR))
            m.sortname = dupstring(unmeta(name));
        m.prefix = sortprefix(m.sortname);
    }
    m.val = nullptr;
    if (sc.needstat) {
        m.val = qhnew<int64_t>(10);
        memset(m.val, 0, 10 * sizeof(int64_t));
        const struct stat *own = sc.gs->follow ? globstat(f) : globlstat(f);
        const struct stat *tgt = globstat(f);
        const struct stat *both[2] = {own, tgt};
        for (int k = 0; k < 2; k++) {
            const struct stat *st = both[k];
            if (!st)
                continue;
            int64_t *v = m.val + 5 * k;
            v[0] = int64_t(st->st_size);
            v[1] = int64_t(st->st_atim.tv_sec) * 1000000000 + st->st_atim.tv_nsec;
            v[2] = int64_t(st->st_mtim.tv_sec) * 1000000000 + st->st_mtim.tv_nsec;
            v[3] = int64_t(st->st_ctim.tv_sec) * 1000000000 + st->st_ctim.tv_nsec;
            v[4] = int64_t(st->st_nlink);
        }
    }
    sc.matches.push_back(m);
}

// A name that matched the last segment: qualifiers, code, marks.
void candidate(Scan &sc, int dfd, const char *uname, const char *mname, bool mustexist)
{
    struct stat lst, st;
    GlobFile f{dfd, uname, shownpath(sc, mname), &lst, &st, 0, 0};
    GlobSettings *gs = sc.gs;
    if (mustexist && !globlstat(&f))
        return;
    if (sc.mustdir) {
        const struct stat *s = globstat(&f);
        if (!s || !S_ISDIR(s->st_mode))
            return;
        f.path = dyncat(f.path, "/");
    }
    char **names = nullptr;
    if (gs->groups) {
        bool ok = qualsmatch(gs, &f, &names);
        if (gs->hascode && !restorecwd(sc))
            return;
        if (!ok)
            return;
    }
    char *one[2] = {f.path, nullptr};
    if (!names)
        names = one;
    char mark = 0;
    if ((gs->markdirs || gs->listtypes) && !sc.mustdir) {
        const struct stat *s = gs->follow ? globstat(&f) : globlstat(&f);
        if (!s)
            return;
        if (gs->listtypes)
            mark = file_type(s->st_mode);
        else if (S_ISDIR(s->st_mode))
            mark = '/';
    }
    for (char **np = names; *np; np++) {
        char *name = *np;
        if (gs->colonmods) {
            char *mp = gs->colonmods;
            if (!modify(&name, &mp))
                return;
            if (*mp) {
                qerr("unknown file attribute", nullptr, 0);
                return;
            }
        }
        if (mark) {
            char m[2] = {mark, 0};
            name = dyncat(name, m);
        }
        addmatch(sc, &f, name);
    }
}

// Match a name against a pattern segment; *errs, the errors used so far
// on the path, grows by the fewest this segment needs.
bool matchname(const Segment &seg, const char *mname, int *errs)
{
    errsfound = *errs;
    if (!pattry(seg.prog, mname))
        return false;
    int used = errsfound - *errs;
    while (used > 0 && !errflag) {
        // Start the count so high that fewer errors must do.
        int start = seg.budget - (used - 1);
        if (start <= *errs)
            break;
        errsfound = start;
        if (!pattry(seg.prog, mname))
            break;
        // A branch that resets the allowance can match with the count
        // as it stands: no better.
        int now = errsfound - start;
        if (now >= used)
            break;
        used = std::max(now, 0);
    }
    *errs += used;
    return true;
}

void scandir(Scan &sc, DIR *d, size_t i, int errs);

void descend(Scan &sc, int at, const char *uname, const char *mname, size_t i, int errs)
{
    DIR *nd = opendirat(sc, at, uname, mname);
    if (!nd)
        return;
    size_t pl = sc.path.size();
    sc.path += mname;
    sc.path += '/';
    scandir(sc, nd, i, errs);
    sc.path.resize(pl);
}

// A literal segment (run) at directory at: one status check, or one open.
void scanliteral(Scan &sc, int at, size_t i, int errs)
{
    const Segment &seg = sc.segs[i];
    if (i + 1 == sc.segs.size())
        candidate(sc, at, seg.lit, seg.mlit, true);
    else
        descend(sc, at, seg.lit, seg.mlit, i + 1, errs);
}

// Whether an entry met by **/ is a directory to go down into.
bool subdirectory(Scan &sc, int dfd, const char *uname, const char *mname, unsigned char type, bool follow)
{
    if (type == DT_DIR)
        return true;
    if (type != DT_UNKNOWN && !(type == DT_LNK && follow))
        return false;
    struct stat st;
    if (fstatat(dfd, uname, &st, follow ? 0 : AT_SYMLINK_NOFOLLOW)) {
        int e = errno;
        if (worthwarning(e))
            qwarn("%e: %s", shownpath(sc, mname), e);
        return false;
    }
    return S_ISDIR(st.st_mode);
}

// What reading a directory found to do, done once the directory is read:
// in name order when the scan yields its matches already sorted.
enum PendKind : uint8_t { PEND_FILE, PEND_LITERAL, PEND_NEXT, PEND_SAME };

struct Pending {
    uint64_t prefix;  // the key's first eight bytes, big-endian
    char *key;        // the unmetafied name; a directory to go into ends in '/'
    uint32_t len;     // of the name without that '/'
    PendKind what;
    int errs;
};

void pend(Scan &sc, std::vector<Pending> &todo, const char *uname, size_t len, PendKind what, int errs)
{
    bool dir = what >= PEND_NEXT;
    char *k = poolalloc(sc, len + 1 + dir);
    memcpy(k, uname, len);
    if (dir)
        k[len++] = '/';
    k[len] = '\0';
    todo.push_back(Pending{sc.ordered ? sortprefix(k) : 0, k, uint32_t(len - dir), what, errs});
}

void runpending(Scan &sc, int dfd, std::vector<Pending> &todo, size_t i, size_t mi)
{
    if (sc.ordered)
        std::sort(todo.begin(), todo.end(),
                  [](const Pending &a, const Pending &b) { return prefixless(a, b, a.key, b.key); });
    for (Pending &p : todo) {
        if (errflag)
            break;
        p.key[p.len] = '\0';
        switch (p.what) {
        case PEND_FILE: candidate(sc, dfd, p.key, metaname(p.key), false); break;
        case PEND_LITERAL: scanliteral(sc, dfd, mi, p.errs); break;
        case PEND_NEXT: descend(sc, dfd, p.key, metaname(p.key), mi + 1, p.errs); break;
        case PEND_SAME: descend(sc, dfd, p.key, metaname(p.key), i, p.errs); break;
        }
    }
}

// Match segment i in the directory open as d (owned; null for the
// current directory, opened only when it must be read).
void scandir(Scan &sc, DIR *d, size_t i, int errs)
{
    const Segment &seg = sc.segs[i];
    if (seg.kind == SEG_LITERAL) {
        scanliteral(sc, d ? dirfd(d) : AT_FDCWD, i, errs);
        if (d)
            closedir(d);
        return;
    }
    if (!d && !(d = opendirat(sc, AT_FDCWD, ".", ".")))
        return;
    int dfd = dirfd(d);
    bool recurse = seg.kind != SEG_PATTERN;
    bool follow = seg.kind == SEG_RECURSE_FOLLOW;
    if (follow) {
        // Following links can lead back to a directory being walked.
        struct stat st;
        if (fstat(dfd, &st) ||
            std::find(sc.ancestors.begin(), sc.ancestors.end(), std::make_pair(st.st_dev, st.st_ino)) !=
                sc.ancestors.end()) {
            closedir(d);
            return;
        }
        sc.ancestors.emplace_back(st.st_dev, st.st_ino);
    }
    // Under **/ the next segment is matched here too.
    size_t mi = recurse ? i + 1 : i;
    const Segment &mseg = sc.segs[mi];
    bool mlast = mi + 1 == sc.segs.size();
    std::vector<Pending> todo;
    if (mseg.kind == SEG_LITERAL)
        pend(sc, todo, mseg.lit, strlen(mseg.lit), PEND_LITERAL, errs);
    while (struct dirent *de = readdir(d)) {
        if (errflag)
            break;
        const char *un = de->d_name;
        if (isdotdir(un))
            continue;
        size_t len = strlen(un);
        char *mn = metaname(un);
        if (mseg.kind == SEG_PATTERN) {
            patglobpath = sc.path.empty() ? nullptr : sc.path.c_str();
            int e = errs;
            if (matchname(mseg, mn, &e)) {
                if (mlast)
                    pend(sc, todo, un, len, PEND_FILE, e);
                else if (de->d_type == DT_DIR || de->d_type == DT_LNK || de->d_type == DT_UNKNOWN)
                    pend(sc, todo, un, len, PEND_NEXT, e);
            }
        }
        if (recurse && (un[0] != '.' || sc.gs->dots) && subdirectory(sc, dfd, un, mn, de->d_type, follow))
            pend(sc, todo, un, len, PEND_SAME, errs);
    }
    patglobpath = nullptr;
    runpending(sc, dfd, todo, i, mi);
    if (follow)
        sc.ancestors.pop_back();
    closedir(d);
}

// ---- sorting ----

int cmpnum(int64_t a, int64_t b) { return a < b ? -1 : a > b; }

// Collation order; with numeric set, digit runs compare by value.
int namecmp(const char *a, const char *b, bool numeric)
{
    ensurelocale();
    if (!numeric)
        return strcoll(a, b);
    const char *p = a, *q = b;
    for (;;) {
        if (idigit(static_cast<unsigned char>(*p)) && idigit(static_cast<unsigned char>(*q))) {
            const char *p0 = p, *q0 = q;
            while (*p0 == '0')
                p0++;
            while (*q0 == '0')
                q0++;
            const char *pe = p0, *qe = q0;
            while (idigit(static_cast<unsigned char>(*pe)))
                pe++;
            while (idigit(static_cast<unsigned char>(*qe)))
                qe++;
            if (pe - p0 != qe - q0)
                return pe - p0 < qe - q0 ? -1 : 1;
            if (int r = strncmp(p0, q0, size_t(pe - p0)))
                return r;
            p = pe;
            q = qe;
            continue;
        }
        if (*p != *q || !*p)
            break;
        p++;
        q++;
    }
    if (!*p || !*q)
        return *p ? 1 : *q ? -1 : strcoll(a, b);
    return strcoll(p, q);
}

// Names inside a subdirectory come before those of the directory itself.
int depthcmp(const char *a, const char *b)
{
    while (*a && *a == *b) {
        a++;
        b++;
    }
    bool da = strchr(a, '/') != nullptr, db = strchr(b, '/') != nullptr;
    return da == db ? 0 : da ? -1 : 1;
}

int keycmp(const GlobMatch &a, const GlobMatch &b, int key, bool numeric)
{
    int base = key & ~GS_DESC;
    int r;
    if (base == GS_NAME) {
        r = namecmp(a.sortname, b.sortname, numeric);
    } else if (base == GS_DEPTH) {
        r = depthcmp(a.sortname, b.sortname);
    } else {
        int slot = 0, k = base;
        if (k > GS_LINKS) {
            slot = 5;
            k >>= GS_SHIFT;
        }
        slot += k == GS_SIZE ? 0 : k == GS_ATIME ? 1 : k == GS_MTIME ? 2 : k == GS_CTIME ? 3 : 4;
        r = cmpnum(a.val[slot], b.val[slot]);
        // Times sort the most recent first.
        if (k == GS_ATIME || k == GS_MTIME || k == GS_CTIME)
            r = -r;
    }
    return (key & GS_DESC) ? -r : r;
}

// Whether the collation order is plain byte order.
bool bytecollation()
{
    ensurelocale();
    const char *c = setlocale(LC_COLLATE, nullptr);
    return c && (!strcmp(c, "C") || !strcmp(c, "POSIX") || !strncmp(c, "C.", 2));
}

void sortmatches(Scan &sc)
{
    ensurelocale();
    GlobSettings *gs = sc.gs;
    bool numeric = gs->numsort;
    int keys[GS_MAXKEYS + 1];
    int nkeys = 0;
    bool byname = false;
    for (int k = 0; k < gs->nkeys; k++) {
        keys[nkeys++] = gs->keys[k];
        byname |= (gs->keys[k] & ~GS_DESC) == GS_NAME;
    }
    // Ties go to the name, so the order never depends on the directory's.
    if (!byname)
        keys[nkeys++] = GS_NAME;
    if (nkeys == 1 && keys[0] == GS_NAME && !numeric) {
        if (bytecollation()) {
            // Most names differ in their first bytes: compare those whole.
            std::sort(sc.matches.begin(), sc.matches.end(), [](const GlobMatch &a, const GlobMatch &b) {
                return prefixless(a, b, a.sortname, b.sortname);
            });
        } else {
            std::sort(sc.matches.begin(), sc.matches.end(),
                      [](const GlobMatch &a, const GlobMatch &b) { return strcoll(a.sortname, b.sortname) < 0; });
        }
        return;
    }
    std::sort(sc.matches.begin(), sc.matches.end(), [&](const GlobMatch &a, const GlobMatch &b) {
        for (int k = 0; k < nkeys; k++)
            if (int r = keycmp(a, b, keys[k], numeric))
                return r < 0;
        return false;
    });
}

// ---- the pattern ----

// Take the qualifier groups off the end of pat into gs.  False after an
// error was reported.
bool takequals(char *pat, GlobSettings *gs)
{
    char *groups[64];
    int ngroups = 0;
    bool bare = isset(BAREGLOBQUAL);
    for (;;) {
        size_t len = strlen(pat);
        if (len < 2 || static_cast<unsigned char>(pat[len - 1]) != TK_RPAREN)
            break;
        int depth = 1;
        bool nested = false, alt = false;
        size_t open = len - 1;
        while (open > 0 && depth) {
            unsigned char c = static_cast<unsigned char>(pat[--open]);
            if (c == TK_RPAREN) {
                depth++;
                nested = true;
            } else if (c == TK_LPAREN && --depth) {
                nested = true;
            } else if (c == TK_BAR || (c == TK_TILDE && isset(EXTENDEDGLOB))) {
                alt = true;
            }
        }
        // A group that is the whole word is a pattern.
        if (depth || open == 0)
            break;
        char *body = pat + open + 1;
        size_t blen = len - open - 2;
        bool hashq = isset(EXTENDEDGLOB) && blen >= 2 && static_cast<unsigned char>(body[0]) == TK_HASH &&
                     body[1] == 'q';
        if (hashq) {
            body += 2;
            blen -= 2;
        } else if (!bare || nested || alt) {
            break;
        }
        if (ngroups == int(sizeof groups / sizeof *groups))
            break;
        char *text = dupstrpfx(body, blen);
        untokenize(text);
        groups[ngroups++] = text;
        pat[open] = '\0';
        if (!hashq)
            break;
    }
    // The groups were found from the end; they apply from the left.
    for (int g = ngroups - 1; g >= 0; g--)
        if (!parsequals(groups[g], gs))
            return false;
    return true;
}

bool isrecursive(const char *p, bool *follow)
{
    if (static_cast<unsigned char>(p[0]) != TK_STAR || static_cast<unsigned char>(p[1]) != TK_STAR)
        return false;
    *follow = static_cast<unsigned char>(p[2]) == TK_STAR;
    const char *q = p + (*follow ? 3 : 2);
    if (*q != '/')
        return false;
    while (*q == '/')
        q++;
    // A trailing **/ has nothing to look for below.
    return *q != '\0';
}

// Give the literal run being built its arena copies.
void finishliteral(Scan &sc, std::string &run)
{
    if (sc.segs.empty() || sc.segs.back().kind != SEG_LITERAL || sc.segs.back().lit)
        return;
    sc.segs.back().mlit = dupstring(run.c_str());
    sc.segs.back().lit = dupstring(unmeta(run.c_str()));
}

// Compile pat into sc.segs; false for a bad pattern.
bool compilepath(Scan &sc, char *p, bool dots)
{
    std::string litrun;
    // Every segment may end the path as far as exclusions go: a ~ swallows
    // the slashes after it, so only the last can hold one.
    int flags = PC_FILENAME | PC_TOPLEVEL_FILE | (dots ? 0 : PC_NO_DOTS);
    patcompstart();
    int budget = 0;
    while (*p) {
        bool follow;
        if (isrecursive(p, &follow)) {
            p += follow ? 3 : 2;
            while (*p == '/')
                p++;
            SegKind k = follow ? SEG_RECURSE_FOLLOW : SEG_RECURSE;
            finishliteral(sc, litrun);
            if (!sc.segs.empty() && sc.segs.back().kind >= SEG_RECURSE) {
                if (follow)
                    sc.segs.back().kind = k;
            } else {
                sc.segs.push_back(Segment{k, nullptr, nullptr, nullptr, budget});
            }
            continue;
        }
        char *end;
        Patprog *prog = patcompile(p, flags, &end);
        if (!prog || end == p)
            return false;
        budget = std::max(budget, std::max(prog->startflags, prog->endflags) & GFL_APPROX);
        Segment seg{SEG_PATTERN, prog, nullptr, nullptr, budget};
        if (prog->flags & PC_LITERAL) {
            const char *m = reinterpret_cast<char *>(prog) + prog->progoffset;
            // A run of literal names is checked as one path.
            if (!sc.segs.empty() && sc.segs.back().kind == SEG_LITERAL) {
                litrun += '/';
            } else {
                litrun.clear();
                seg.kind = SEG_LITERAL;
                sc.segs.push_back(seg);
            }
            litrun.append(m, size_t(prog->purelen));
            sc.segs.back().mlit = const_cast<char *>(litrun.c_str());
        } else {
            finishliteral(sc, litrun);
            sc.segs.push_back(seg);
        }
        p = end;
        if (*p == '/') {
            while (*p == '/')
                p++;
            if (!*p)
                sc.mustdir = true;
        }
    }
    finishliteral(sc, litrun);
    return !sc.segs.empty();
}

// Whether the scan can keep each directory's findings in byte order of
// their names and so yield every match in its place: the order must be by
// plain name, each name must stay as found, and no entry may lead into
// two walks below it whose paths interleave (a recursion that continues
// with more than a last name).
bool scanorders(const Scan &sc)
{
    const GlobSettings *gs = sc.gs;
    if (gs->nkeys > 1 || (gs->nkeys == 1 && gs->keys[0] != GS_NAME) || gs->numsort || gs->hascode ||
        gs->colonmods || gs->markdirs || gs->listtypes || sc.mustdir || !bytecollation())
        return false;
    for (size_t i = 0; i < sc.segs.size(); i++) {
        if (sc.segs[i].kind < SEG_RECURSE)
            continue;
        if (i + 2 != sc.segs.size())
            return false;
        const Segment &last = sc.segs[i + 1];
        if (last.kind == SEG_LITERAL && strchr(last.lit, '/'))
            return false;
    }
    return true;
}

void insertmatches(LinkList *list, LinkNode *node, Scan &sc)
{
    GlobSettings *gs = sc.gs;
    long n = long(sc.matches.size()), from = 0, to = n;
    if (gs->range) {
        long a = gs->first, b = gs->last;
        a = a < 0 ? n + a : a - 1;
        b = b < 0 ? n + b + 1 : b;
        from = std::max(0L, a);
        to = std::min(n, b);
    }
    if (from >= to) {
        uremnode(list, node);
        return;
    }
    setdata(node, sc.matches[size_t(from)].name);
    LinkNode *where = node;
    for (long k = from + 1; k < to; k++)
        where = insertlinknode(list, where, sc.matches[size_t(k)].name);
}

}  // namespace

void qglob(LinkList *list, LinkNode *node, int nountok)
{
    char *word = static_cast<char *>(getdata(node));
    if (!isset(GLOB) || !haswilds(word)) {
        if (!nountok)
            untokenize(word);
        return;
    }
    char *pat = dupstring(word);
    GlobSettings gs;
    globdefaults(&gs);
    if (!takequals(pat, &gs))
        return;
    Scan sc;
    sc.gs = &gs;
    for (int k = 0; k < gs.nkeys; k++)
        sc.needstat |= (gs.keys[k] & ~GS_DESC) > GS_DEPTH;
    bool absolute = *pat == '/';
    char *p = pat;
    while (*p == '/')
        p++;
    if (!compilepath(sc, p, gs.dots)) {
        if (isset(BADPATTERN)) {
            char *shown = dupstring(word);
            untokenize(shown);
            qerr("bad pattern: %s", shown, 0);
        } else if (!nountok) {
            untokenize(word);
        }
        return;
    }
    if (gs.hascode) {
        sc.cwdfd = keepfd(sc, open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        initdirs();
        sc.pwd = pwd ? dupstring(pwd) : nullptr;
        sc.oldpwd = oldpwd ? dupstring(oldpwd) : nullptr;
    }
    sc.ordered = scanorders(sc);
    pattrystart();
    if (!absolute) {
        scandir(sc, nullptr, 0, 0);
    } else if (DIR *root = opendirat(sc, AT_FDCWD, "/", "/")) {
        sc.path.push_back('/');
        scandir(sc, root, 0, 0);
    }
    if (sc.cwdfd >= 0)
        close(sc.cwdfd);
    if (errflag)
        return;
    if (sc.matches.empty()) {
        if (gs.nullglob) {
            uremnode(list, node);
        } else if (isset(CSHNULLGLOB)) {
            badcshglob |= 1;
            uremnode(list, node);
        } else if (isset(NOMATCH)) {
            char *shown = dupstring(word);
            untokenize(shown);
            qerr("no matches found: %s", shown, 0);
        } else if (!nountok) {
            untokenize(word);
        }
        return;
    }
    badcshglob |= 2;
    if (!sc.ordered)
        sortmatches(sc);
    insertmatches(list, node, sc);
}

void globlist(LinkList *list, int nountok)
{
    badcshglob = 0;
    for (LinkNode *n = firstnode(list), *next; n && !errflag; n = next) {
        next = nextnode(n);
        qglob(list, n, nountok);
    }
    if (badcshglob == 1 && !errflag)
        qerr("no match", nullptr, 0);
}
