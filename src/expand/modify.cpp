// The colon modifiers (:h :t :r :e :l :u :q :Q :s :& and the prefixes g w
// W f F), shared by parameter expansion and the filename qualifiers.
#include "exec/exec.h"
#include "expand/expand.h"
#include "lang/lang.h"
#include "params/params.h"

#include <cstring>
#include <string>
#include <string_view>

char *hsubl, *hsubr;

// Plain character of a byte that may be a token.
static unsigned char plainchar(const char *p)
{
    unsigned char c = static_cast<unsigned char>(*p);
    return itok(c) ? static_cast<unsigned char>(tokchar(c)) : c;
}

char *get_strarg(char *s)
{
    unsigned char open = plainchar(s);
    if (!open)
        return s;
    unsigned char close = open == '(' ? ')' : open == '[' ? ']' : open == '{' ? '}' : open == '<' ? '>' : open;
    for (s++; *s; s++)
        if (plainchar(s) == close)
            break;
    return s;
}

const char *findstr(const char *hay, const char *hayend, const char *needle)
{
    std::string_view h(hay, size_t(hayend - hay));
    size_t at = h.find(needle);
    return at == std::string_view::npos ? nullptr : hay + at;
}

// Whole characters change case, and may change length in bytes.
static char *mbcasemodify(const char *s, int how)
{
    size_t cap = strlen(s) + 16, n = 0;
    char *r = static_cast<char *>(qhalloc(cap));
    bool start = true;
    while (*s) {
        int l;
        int32_t c = mbcval(s, nullptr, &l);
        s += l;
        int32_t d = how == CASMOD_UPPER ? mbupper(c) : how == CASMOD_LOWER ? mblower(c) : start ? mbupper(c) : mblower(c);
        if (how != CASMOD_UPPER && how != CASMOD_LOWER)
            start = !mbisalnum(c);
        if (n + 9 > cap) {
            r = static_cast<char *>(hrealloc(r, cap, cap * 2));
            cap *= 2;
        }
        n += size_t(mbencode(d, r + n));
    }
    r[n] = '\0';
    return r;
}

char *casemodify(const char *s, int how)
{
    if (mbchars)
        return mbcasemodify(s, how);
    char *r = dupstring(s);
    bool start = true;
    for (char *p = r; *p; p++) {
        if (static_cast<unsigned char>(*p) == METACHAR) {
            p++;
            start = true;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(*p);
        if (how == CASMOD_UPPER)
            *p = char(tuupper(c));
        else if (how == CASMOD_LOWER)
            *p = char(tulower(c));
        else {
            *p = char(start ? tuupper(c) : tulower(c));
            start = !ialnum(c);
        }
    }
    return r;
}

char *unquoteword(const char *s, int reporterr)
{
    char *r = dupstring(s);
    int err;
    {
        NoErrsGuard ng(reporterr ? 2 : 1);
        err = parse_subst_string(r);
    }
    if (err) {
        errflag = 0;
        if (reporterr)
            qerr("parse error in parameter value", nullptr, 0);
    }
    remnulargs(r);
    untokenize(r);
    return r;
}

// ---- the path and case modifiers ----

static char *striptrailslashes(char *s)
{
    size_t n = strlen(s);
    while (n > 1 && s[n - 1] == '/')
        n--;
    s[n] = '\0';
    return s;
}

// :h: everything before the last component.
static char *headpath(const char *in)
{
    char *s = striptrailslashes(dupstring(in));
    char *slash = strrchr(s, '/');
    if (!slash)
        return dupstring(".");
    if (slash == s)
        return dupstring("/");
    *slash = '\0';
    return striptrailslashes(s);
}

// :t: the last component.
static char *tailpath(const char *in)
{
    char *s = striptrailslashes(dupstring(in));
    char *slash = strrchr(s, '/');
    return slash && slash[1] ? slash + 1 : s;
}

// The last '.' of the last component, or null.
static char *lastdot(char *s)
{
    for (char *p = s + strlen(s); p > s; p--) {
        if (p[-1] == '/')
            return nullptr;
        if (p[-1] == '.')
            return p - 1;
    }
    return nullptr;
}

static char *rootpath(const char *in)
{
    char *s = dupstring(in);
    if (char *d = lastdot(s))
        *d = '\0';
    return s;
}

static char *extension(const char *in)
{
    char *s = dupstring(in);
    char *d = lastdot(s);
    return d ? d + 1 : dupstring("");
}

// ---- substitution ----

// Copy the text up to the delimiter (or the end) at *pp, a backslash
// quoting the next character; *pp is left on the delimiter or the end.
// In a right-hand side an unquoted & becomes TK_MARKER.
static char *delimited(char **pp, unsigned char del, bool rhs)
{
    char *p = *pp;
    char *out = static_cast<char *>(qhalloc(strlen(p) + 1)), *t = out;
    while (*p && plainchar(p) != del) {
        unsigned char c = plainchar(p);
        if (c == '\\' && p[1]) {
            p++;
            *t++ = char(plainchar(p));
            p++;
            continue;
        }
        if (rhs && c == '&') {
            *t++ = char(TK_MARKER);
            p++;
            continue;
        }
        if (static_cast<unsigned char>(*p) == METACHAR && p[1]) {
            *t++ = *p++;
            *t++ = *p++;
            continue;
        }
        *t++ = char(c);
        p++;
    }
    *t = '\0';
    *pp = p;
    return out;
}

// Replace hsubl by hsubr (with & standing for hsubl) once or everywhere.
static char *substitute(const char *s, bool global)
{
    size_t ll = strlen(hsubl);
    if (!ll)
        return dupstring(s);
    std::string rep;
    for (const char *r = hsubr; *r; r++) {
        if (static_cast<unsigned char>(*r) == TK_MARKER)
            rep += hsubl;
        else
            rep += *r;
    }
    std::string out;
    const char *p = s, *end = s + strlen(s);
    for (;;) {
        const char *hit = findstr(p, end, hsubl);
        if (!hit)
            break;
        out.append(p, size_t(hit - p));
        out += rep;
        p = hit + ll;
        if (!global)
            break;
    }
    out += p;
    return dupstrpfx(out.data(), out.size());
}

char *pathmodifier(const char *s, int letter, bool *failed)
{
    char *t = striptrailslashes(dupstring(s));
    bool slash = strchr(t, '/') != nullptr;
    switch (letter) {
    case 'h':
        *failed = !slash;
        return headpath(s);
    case 't':
        *failed = !slash;
        return tailpath(s);
    case 'r':
        *failed = !lastdot(t);
        return rootpath(s);
    case 'e':
        *failed = !lastdot(t);
        return extension(s);
    }
    *failed = true;
    return dupstring(s);
}

char *histsubst(const char *s, bool global) { return substitute(s, global); }

// ---- the engine ----

namespace {

struct Mod {
    unsigned char letter = 0;
    bool global = false;     // g
    char *wordsep = nullptr;  // w (" ") or W:str:
    long repeat = 1;         // F:n:; -1 for f (until stable)
};

}  // namespace

static char *applyone(const char *s, const Mod &m)
{
    switch (m.letter) {
    case 'h': return headpath(s);
    case 't': return tailpath(s);
    case 'r': return rootpath(s);
    case 'e': return extension(s);
    case 'l': return casemodify(s, CASMOD_LOWER);
    case 'u': return casemodify(s, CASMOD_UPPER);
    case 'q': return bslashquote(s, nullptr, QT_BACKSLASH);
    case 'Q': return unquoteword(s, 0);
    case 's':
    case '&': return substitute(s, m.global);
    }
    return dupstring(s);
}

// One modifier over the words of s when a w/W prefix asked for that.
static char *applywords(const char *s, const Mod &m)
{
    // An empty separator splits nothing: the value is one word.
    if (!m.wordsep || !*m.wordsep)
        return applyone(s, m);
    std::string out;
    const char *sep = m.wordsep;
    size_t sl = strlen(sep);
    const char *p = s, *end = s + strlen(s);
    for (;;) {
        const char *hit = findstr(p, end, sep);
        char *w = dupstrpfx(p, size_t((hit ? hit : end) - p));
        out += applyone(w, m);
        if (!hit)
            break;
        out.append(sep, sl);
        p = hit + sl;
    }
    return dupstrpfx(out.data(), out.size());
}

int modify(char **str, char **ptr)
{
    char *p = *ptr;
    while (plainchar(p) == ':') {
        Mod m;
        char *q = p + 1;
        // Prefixes, in any order, before the modifier letter.
        for (;;) {
            unsigned char c = plainchar(q);
            if (c == 'g') {
                m.global = true;
                q++;
            } else if (c == 'w') {
                m.wordsep = dupstring(" ");
                q++;
            } else if (c == 'f') {
                m.repeat = -1;
                q++;
            } else if (c == 'W' || c == 'F') {
                char *end = get_strarg(q + 1);
                if (!*end || !q[1]) {
                    qerr("bad substitution", nullptr, 0);
                    return 0;
                }
                char *arg = dupstrpfx(q + 2, size_t(end - q - 2));
                if (c == 'W') {
                    untokenize(arg);
                    m.wordsep = arg;
                } else {
                    singsub(&arg);
                    if (errflag)
                        return 0;
                    long n = long(mathevali(arg));
                    if (errflag)
                        return 0;
                    m.repeat = n < 0 ? -n : n;
                }
                q = end + 1;
            } else if (c == ':' && q > p + 1) {
                // A prefix may stand in a group of its own: :w:r.
                q++;
            } else {
                break;
            }
        }
        unsigned char c = plainchar(q);
        if (!c || !strchr("htrelsuqQ&", c)) {
            // Not ours: left on this group's ':' for the caller.
            *ptr = p;
            return 1;
        }
        m.letter = c;
        q++;
        if (c == 's') {
            unsigned char del = plainchar(q);
            if (!del) {
                qerr("bad substitution", nullptr, 0);
                return 0;
            }
            q++;
            char *l = delimited(&q, del, false);
            if (plainchar(q) != del) {
                qerr("bad substitution", nullptr, 0);
                return 0;
            }
            q++;
            char *r = delimited(&q, del, true);
            if (plainchar(q) == del)
                q++;
            if (*l) {
                qfree(hsubl);
                hsubl = qtrdup(l);
            } else if (!hsubl) {
                qerr("no previous substitution", nullptr, 0);
                return 0;
            }
            qfree(hsubr);
            hsubr = qtrdup(r);
        } else if (c == '&' && (!hsubl || !hsubr)) {
            qerr("no previous substitution", nullptr, 0);
            return 0;
        }
        char *s = *str;
        if (m.repeat < 0) {
            // f: until the value stops changing, bounded for safety.
            for (int i = 0; i < 100000 && !errflag; i++) {
                char *n = applywords(s, m);
                bool same = !strcmp(n, s);
                s = n;
                if (same)
                    break;
            }
        } else {
            for (long i = 0; i < m.repeat && !errflag; i++)
                s = applywords(s, m);
        }
        *str = s;
        p = q;
    }
    *ptr = p;
    return 1;
}
