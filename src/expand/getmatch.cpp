// Pattern operators of parameter expansion (#, %, /, :#) and the test for
// pattern characters in a word.
#include "expand/expand.h"

#include <cstring>

void (*getmatchsubstptr)(char **s);

int haswilds(char *s)
{
    unsigned char c0 = static_cast<unsigned char>(s[0]);
    if ((c0 == TK_LBRACK || c0 == TK_RBRACK) && !s[1])
        return 0;
    // %?name is a job reference, not a pattern.
    if (s[0] == '%' && static_cast<unsigned char>(s[1]) == TK_QUEST)
        s[1] = '?';
    for (; *s; s++) {
        switch (static_cast<unsigned char>(*s)) {
        case TK_STAR:
        case TK_LPAREN:
        case TK_BAR:
        case TK_LBRACK:
        case TK_LANGLE:
        case TK_QUEST:
            return 1;
        case TK_HASH:
        case TK_CARET:
            if (isset(EXTENDEDGLOB))
                return 1;
            break;
        }
    }
    return 0;
}

namespace {

// Steps over whole characters: see mbclen.
inline int nextb(const char *s, int b) { return b + mbclen(s + b); }

inline int prevb(const char *s, int b)
{
    if (mbchars)
        return int(mbprev(s, s + b) - s);
    return (b >= 2 && s[b - 2] == char(METACHAR)) ? b - 2 : b - 1;
}

inline int chars(const char *s, int from, int to) { return mbcount(s + from, to - from); }

// One value being searched.
struct Search {
    Patprog *prog;
    const char *s;
    int l;
    int baseflags;
    // The character offset of byte offset cacheb, so that scans moving
    // through a long value do not recount from its start at every try.
    int cacheb = 0, cachec = 0;
};

int charoffset(Search &x, int b)
{
    if (b < x.cacheb)
        x.cachec -= chars(x.s, b, x.cacheb);
    else
        x.cachec += chars(x.s, x.cacheb, b);
    x.cacheb = b;
    return x.cachec;
}

// Try exactly s[b..e), telling (#s)/(#e) whether the ends are real.
bool trypiece(Search &x, int b, int e)
{
    int f = x.baseflags & ~(PC_NOT_AT_START | PC_NOT_AT_END | PC_FLOATING);
    if (b > 0)
        f |= PC_NOT_AT_START;
    if (e < x.l)
        f |= PC_NOT_AT_END;
    x.prog->flags = f;
    return pattrylen(x.prog, x.s + b, e - b, charoffset(x, b));
}

// Whether some match starts at b (a cheap test before the exact tries).
bool tryfloat(Search &x, int b)
{
    int f = (x.baseflags & ~(PC_NOT_AT_START | PC_NOT_AT_END)) | PC_FLOATING;
    if (b > 0)
        f |= PC_NOT_AT_START;
    x.prog->flags = f;
    return pattrylen(x.prog, x.s + b, x.l - b, charoffset(x, b));
}

// The end of the longest (or shortest, preferring a non-empty one) match
// starting at b, or -1.
int matchat(Search &x, int b, bool longest)
{
    int f = (x.baseflags & ~(PC_NOT_AT_START | PC_NOT_AT_END)) | PC_FLOATING;
    if (b > 0)
        f |= PC_NOT_AT_START;
    x.prog->flags = f;
    int len;
    if (!pattrybest(x.prog, x.s + b, x.l - b, charoffset(x, b), longest ? PB_LONGEST : PB_SHORTEST_NONEMPTY, &len))
        return -1;
    return b + len;
}

// The end of the longest or shortest matching prefix, or -1.
int prefixmatch(Search &x, bool longest)
{
    x.prog->flags = (x.baseflags & ~(PC_NOT_AT_START | PC_NOT_AT_END)) | PC_FLOATING;
    int len;
    if (!pattrybest(x.prog, x.s, x.l, 0, longest ? PB_LONGEST : PB_SHORTEST, &len))
        return -1;
    return len;
}

// Find the n-th match in the order the flags ask for: [*mb, *me).
bool findmatch(Search &x, int fl, int n, int *mb, int *me)
{
    bool longest = fl & MF_LONGEST;
    int count = 0;
    if (fl & MF_WHOLE) {
        *mb = 0;
        *me = x.l;
        return trypiece(x, 0, x.l);
    }
    if (fl & MF_ANYWHERE) {
        int emptyb = -1;
        bool fromright = fl & MF_AT_END;
        for (int b = fromright ? x.l : 0;;) {
            int e = matchat(x, b, longest);
            if (errflag)
                return false;
            if (e > b) {
                if (++count == n) {
                    *mb = b;
                    *me = e;
                    return true;
                }
            } else if (e == b && emptyb < 0) {
                emptyb = b;
            }
            if (fromright) {
                if (b <= 0)
                    break;
                b = prevb(x.s, b);
            } else {
                if (b >= x.l)
                    break;
                b = nextb(x.s, b);
            }
        }
        // An empty match counts only when there was no other.
        if (emptyb >= 0 && !count && n <= 1) {
            *mb = *me = emptyb;
            return true;
        }
        return false;
    }
    if (fl & MF_AT_END) {
        if (longest) {
            for (int b = 0;; b = nextb(x.s, b)) {
                if (errflag)
                    return false;
                if (trypiece(x, b, x.l) && ++count == n) {
                    *mb = b;
                    *me = x.l;
                    return true;
                }
                if (b >= x.l)
                    break;
            }
        } else {
            for (int b = x.l;; b = prevb(x.s, b)) {
                if (errflag)
                    return false;
                if (trypiece(x, b, x.l) && ++count == n) {
                    *mb = b;
                    *me = x.l;
                    return true;
                }
                if (b <= 0)
                    break;
            }
        }
        return false;
    }
    if (n == 1) {
        int e = prefixmatch(x, longest);
        if (e < 0)
            return false;
        *mb = 0;
        *me = e;
        return true;
    }
    if (!tryfloat(x, 0))
        return false;
    if (longest) {
        for (int e = x.l;; e = prevb(x.s, e)) {
            if (errflag)
                return false;
            if (trypiece(x, 0, e) && ++count == n) {
                *mb = 0;
                *me = e;
                return true;
            }
            if (e <= 0)
                break;
        }
    } else {
        for (int e = 0;; e = nextb(x.s, e)) {
            if (errflag)
                return false;
            if (trypiece(x, 0, e) && ++count == n) {
                *mb = 0;
                *me = e;
                return true;
            }
            if (e >= x.l)
                break;
        }
    }
    return false;
}

// Whether the replacement must be expanded after each match because the
// pattern sets match references.
bool usesrefs(Patprog *p)
{
    if (p->flags & (PC_LITERAL | PC_TAIL))
        return false;
    if (p->ngroups || ((p->startflags | p->endflags) & GFL_MATCH_REF))
        return true;
    const uint32_t *P = reinterpret_cast<const uint32_t *>(p);
    int end = p->mustoffset ? p->mustoffset / 4 : p->size / 4 - 1;
    for (int n = p->progoffset / 4; n < end; n += patnodewords(P, n))
        if ((P[n] & 0xff) == OP_GFLAGS && (P[n + 1] & GFL_MATCH_REF))
            return true;
    return false;
}

// One operator's searches share a work bound, so that many tries of a
// costly pattern cannot add up to a hang.
struct [[nodiscard]] BudgetGuard {
    long saved = patstepbudget;
    explicit BudgetGuard(size_t len)
    {
        long l = long(len);
        patstepbudget = 20000000L + 64 * l + 8 * l * l;
    }
    ~BudgetGuard() { patstepbudget = saved; }
    BudgetGuard(const BudgetGuard &) = delete;
    BudgetGuard &operator=(const BudgetGuard &) = delete;
};

// Hooks are silent during the search; the chosen match is tried again
// with them connected so that the references describe it.
struct HookMute {
    void (*m)(char *, long, long) = patsetmatchptr;
    void (*c)(char **, char **, char **) = patsetcapturesptr;
    HookMute()
    {
        patsetmatchptr = nullptr;
        patsetcapturesptr = nullptr;
    }
    ~HookMute() { restore(); }
    void restore()
    {
        patsetmatchptr = m;
        patsetcapturesptr = c;
    }
    void mute()
    {
        patsetmatchptr = nullptr;
        patsetcapturesptr = nullptr;
    }
};

char *expandrepl(const char *r)
{
    char *c = dupstring(r);
    if (getmatchsubstptr)
        getmatchsubstptr(&c);
    return c;
}

struct Buf {
    char *p = nullptr;
    size_t len = 0, cap = 0;
    void add(const char *s, size_t n)
    {
        if (n > size_t(INT32_MAX))
            return;
        if (len + n + 1 > cap) {
            size_t nc = (cap + n + 1) * 2;
            p = static_cast<char *>(hrealloc(p, cap, nc));
            cap = nc;
        }
        memcpy(p + len, s, n);
        len += n;
        p[len] = '\0';
    }
    void add(const char *s) { add(s, strlen(s)); }
    char *get()
    {
        if (!p)
            add("", 0);
        return p;
    }
};

// The operator's result for one value; *matched tells whether it matched.
char *matchvalue(Patprog *prog, const char *s, int fl, int n, const char *repl, const char *onceexp, bool *matched)
{
    Search x{prog, s, int(strlen(s)), prog->flags, 0, 0};
    BudgetGuard budget(size_t(x.l));
    int saved = prog->flags;
    if (n < 1)
        n = 1;
    HookMute hooks;
    int mb = 0, me = 0;
    Buf rest;
    bool found = false;
    int firstb = -1, firste = -1;
    auto replfor = [&](int b, int e) -> const char * {
        if (!repl)
            return "";
        if (onceexp)
            return onceexp;
        hooks.restore();
        trypiece(x, b, e);
        hooks.mute();
        return expandrepl(repl);
    };
    if ((fl & MF_EVERY) && (fl & MF_ANYWHERE)) {
        int count = 0, done = 0;
        bool longest = fl & MF_LONGEST;
        for (int b = 0; b <= x.l;) {
            int e = matchat(x, b, longest);
            if (errflag)
                break;
            if (e > b && ++count >= n) {
                if (firstb < 0) {
                    firstb = b;
                    firste = e;
                }
                rest.add(s + done, size_t(b - done));
                rest.add(replfor(b, e));
                done = b = e;
                found = true;
                continue;
            }
            if (e > b) {
                b = e;
                continue;
            }
            if (b >= x.l)
                break;
            b = nextb(s, b);
        }
        if (!found && n <= 1 && !errflag) {
            // Only empty matches: the first one is used.
            for (int b = 0; b <= x.l; b = nextb(s, b)) {
                if (matchat(x, b, longest) == b) {
                    firstb = firste = b;
                    rest.add(s, size_t(b));
                    rest.add(replfor(b, b));
                    done = b;
                    found = true;
                    break;
                }
                if (b >= x.l)
                    break;
            }
        }
        if (found)
            rest.add(s + done);
        mb = firstb;
        me = firste;
    } else if (findmatch(x, fl & ~MF_EVERY, n, &mb, &me)) {
        found = true;
        rest.add(s, size_t(mb));
        rest.add(replfor(mb, me));
        rest.add(s + me);
    }
    if (found && !(fl & MF_EVERY)) {
        // Leave the references describing the match that was used.
        hooks.restore();
        trypiece(x, mb, me);
        hooks.mute();
    }
    prog->flags = saved;
    *matched = found;
    if (!found)
        return (fl & MF_GIVE_REST) ? dupstring(s) : dupstring("");
    Buf out;
    auto sep = [&]() {
        if (out.len)
            out.add(" ");
    };
    char num[32];
    if (mb < 0 || me < mb)
        mb = me = 0;
    if (fl & MF_GIVE_MATCH) {
        sep();
        out.add(s + mb, size_t(me - mb));
    }
    if (fl & MF_GIVE_REST) {
        sep();
        out.add(rest.get());
    }
    int cb = chars(s, 0, mb), cl = chars(s, mb, me);
    if (fl & MF_GIVE_BEGIN) {
        sep();
        snprintf(num, sizeof num, "%d", cb + 1);
        out.add(num);
    }
    if (fl & MF_GIVE_END) {
        sep();
        snprintf(num, sizeof num, "%d", cb + cl + 1);
        out.add(num);
    }
    if (fl & MF_GIVE_LENGTH) {
        sep();
        snprintf(num, sizeof num, "%d", cl);
        out.add(num);
    }
    return out.get();
}

Patprog *compileop(char *pattern)
{
    Patprog *p = patcompile(pattern, PC_SCANNING, nullptr);
    if (!p) {
        char *t = dupstring(pattern);
        untokenize(t);
        qerr("bad pattern: %s", t, 0);
    }
    return p;
}

}  // namespace

int getmatch(char **sp, char *pattern, int fl, int n, char *replacement)
{
    Patprog *p = compileop(pattern);
    if (!p)
        return 0;
    const char *once = nullptr;
    if (replacement && !usesrefs(p))
        once = expandrepl(replacement);
    bool matched;
    *sp = matchvalue(p, *sp, fl, n, replacement, once, &matched);
    patoffset = 0;
    return matched;
}

int getmatcharr(char ***ap, char *pattern, int fl, int n, char *replacement)
{
    Patprog *p = compileop(pattern);
    if (!p)
        return 0;
    const char *once = nullptr;
    if (replacement && !usesrefs(p))
        once = expandrepl(replacement);
    char **a = *ap;
    int len = arrlen(a);
    char **r = qhnew<char *>(size_t(len) + 1);
    int o = 0;
    bool any = false;
    for (int i = 0; i < len; i++) {
        bool matched;
        char *v = matchvalue(p, a[i], fl, n, replacement, once, &matched);
        any |= matched;
        if ((fl & MF_WHOLE) && (matched != bool(fl & MF_GIVE_MATCH)))
            continue;
        r[o++] = v;
    }
    r[o] = nullptr;
    *ap = r;
    patoffset = 0;
    return any;
}
