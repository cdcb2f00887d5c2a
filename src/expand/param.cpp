// Parameter expansion: ${...} with its flags, prefixes, nested names,
// operators and modifiers, and the splicing of the result into the word.
#include "exec/exec.h"
#include "expand/expand.h"
#include "lang/lang.h"
#include "params/options.h"
#include "params/params.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Nested ${${...}} and operator words recurse through the whole pipeline;
// the limit keeps deep nesting from exhausting the stack.
constexpr int MAX_SUBST_DEPTH = 256;
TARN_HOT int substdepth;

struct SubstDepth {
    bool ok;
    SubstDepth() : ok(++substdepth <= MAX_SUBST_DEPTH)
    {
        if (!ok)
            qerr("substitution nested too deeply", nullptr, 0);
    }
    ~SubstDepth() { substdepth--; }
    SubstDepth(const SubstDepth &) = delete;
    SubstDepth &operator=(const SubstDepth &) = delete;
};

unsigned char plain(const char *p)
{
    unsigned char c = static_cast<unsigned char>(*p);
    return itok(c) && c != TK_EMPTY ? static_cast<unsigned char>(tokchar(c)) : c;
}

bool isrbrace(const char *p) { return static_cast<unsigned char>(*p) == TK_RBRACE || *p == '}'; }

struct PFlags {
    bool at = false, keys = false, vals = false, eval = false, indirect = false, unique = false;
    bool visible = false, report = false, shellwords = false, typeword = false, substr = false;
    bool escapes = false;
    int assign = 0;       // 1: A, 2: AA
    int lengthkind = 0;   // 1: c, 2: w, 3: W
    int casechange = 0;   // CASMOD_
    int sortdir = 0;      // 1: o, -1: O
    bool sortci = false, sortnum = false, sortindex = false;
    int quote = 0;        // > 0: q levels, < 0: Q
    int prompt = 0;       // number of %
    int give = 0;         // MF_GIVE_ flags from M B E N R
    long matchnum = 1;    // I
    char *join = nullptr, *split = nullptr;
    long padl = 0, padr = 0;
    char *padl1 = nullptr, *padl2 = nullptr, *padr1 = nullptr, *padr2 = nullptr;
};

// A string flag argument opened at *pp; null when its closing delimiter
// is missing.
char *strflagarg(char **pp, bool escapes)
{
    char *s = *pp;
    if (!*s)
        return nullptr;
    char *e = get_strarg(s);
    if (!*e)
        return nullptr;
    char *r = dupstrpfx(s + 1, size_t(e - s - 1));
    untokenize(r);
    if (escapes) {
        int len;
        char *d = getkeystring(r, &len, GETKEY_PFLAG, nullptr);
        r = metafy(d, len, META_HEAPDUP);
    }
    *pp = e + 1;
    return r;
}

// An integer flag argument: the delimited text, expanded and evaluated;
// its magnitude.  False on any failure.
bool intflagarg(char **pp, long *out)
{
    char *s = *pp;
    if (!*s)
        return false;
    char *e = get_strarg(s);
    if (!*e)
        return false;
    char *r = dupstrpfx(s + 1, size_t(e - s - 1));
    int64_t v;
    {
        // Any failure here is reported as an error in the flags.
        NoErrsGuard ng(1);
        singsub(&r);
        untokenize(r);
        v = errflag ? 0 : mathevali(r);
    }
    if (errflag) {
        errflag = 0;
        return false;
    }
    *out = long(v < 0 ? -v : v);
    *pp = e + 1;
    return true;
}

// l:expr::s1::s2: and r:...: the strings follow when the next character
// opens another argument with the same delimiter.
bool padflag(char **pp, long *width, char **s1, char **s2, bool escapes)
{
    unsigned char open = plain(*pp);
    if (!intflagarg(pp, width))
        return false;
    if (plain(*pp) == open) {
        if (!(*s1 = strflagarg(pp, escapes)))
            return false;
        if (plain(*pp) == open && !(*s2 = strflagarg(pp, escapes)))
            return false;
    }
    return true;
}

bool parseflags(char **pp, PFlags &fl)
{
    char *p = *pp;
    for (;;) {
        unsigned char c = plain(p);
        if (!c)
            return false;
        p++;
        if (c == ')')
            break;
        switch (c) {
        case '@': fl.at = true; break;
        case 'A': fl.assign = fl.assign ? 2 : 1; break;
        case 'c': fl.lengthkind = 1; break;
        case 'w': fl.lengthkind = 2; break;
        case 'W': fl.lengthkind = 3; break;
        case 'C': fl.casechange = CASMOD_CAPS; break;
        case 'U': fl.casechange = CASMOD_UPPER; break;
        case 'L': fl.casechange = CASMOD_LOWER; break;
        case 'e': fl.eval = true; break;
        case 'f': fl.split = dupstring("\n"); break;
        case 'F': fl.join = dupstring("\n"); break;
        case 'i': fl.sortci = true; break;
        case 'n': fl.sortnum = true; break;
        case 'o': fl.sortdir = 1; break;
        case 'O': fl.sortdir = -1; break;
        case 'a': fl.sortindex = true; break;
        case 'k': fl.keys = true; break;
        case 'v': fl.vals = true; break;
        case 'M': fl.give |= MF_GIVE_MATCH; break;
        case 'R': fl.give |= MF_GIVE_REST; break;
        case 'B': fl.give |= MF_GIVE_BEGIN; break;
        case 'E': fl.give |= MF_GIVE_END; break;
        case 'N': fl.give |= MF_GIVE_LENGTH; break;
        case 'S': fl.substr = true; break;
        case 'p': fl.escapes = true; break;
        case 'P': fl.indirect = true; break;
        case 'q': fl.quote = fl.quote < 0 ? 1 : std::min(fl.quote + 1, 4); break;
        case 'Q': fl.quote = -1; break;
        case 't': fl.typeword = true; break;
        case 'u': fl.unique = true; break;
        case 'V': fl.visible = true; break;
        case 'X': fl.report = true; break;
        case 'z': fl.shellwords = true; break;
        case '%': fl.prompt++; break;
        case 'j':
            if (!(fl.join = strflagarg(&p, fl.escapes)))
                return false;
            break;
        case 's':
            if (!(fl.split = strflagarg(&p, fl.escapes)))
                return false;
            break;
        case 'I':
            if (!intflagarg(&p, &fl.matchnum))
                return false;
            if (!fl.matchnum)
                fl.matchnum = 1;
            break;
        case 'l':
            if (!padflag(&p, &fl.padl, &fl.padl1, &fl.padl2, fl.escapes))
                return false;
            break;
        case 'r':
            if (!padflag(&p, &fl.padr, &fl.padr1, &fl.padr2, fl.escapes))
                return false;
            break;
        default:
            return false;
        }
    }
    *pp = p;
    return true;
}

// ---- the type word of (t) ----

char *typeword(Param *pm)
{
    if (!pm)
        return dupstring("");
    int f = pm->flags;
    std::string t;
    switch (PF_TYPE(f)) {
    case PF_ARRAY: t = "array"; break;
    case PF_INTEGER: t = "integer"; break;
    case PF_EFLOAT:
    case PF_FFLOAT: t = "float"; break;
    case PF_HASHED: t = "association"; break;
    default: t = "scalar"; break;
    }
    if (pm->level)
        t += "-local";
    static const struct {
        int flag;
        const char *word;
    } suffixes[] = {
        {PF_LEFT, "-left"},       {PF_RIGHT_B, "-right_blanks"}, {PF_RIGHT_Z, "-right_zeros"},
        {PF_LOWER, "-lower"},     {PF_UPPER, "-upper"},          {PF_READONLY, "-readonly"},
        {PF_TAGGED, "-tag"},      {PF_EXPORTED, "-export"},      {PF_UNIQUE, "-unique"},
        {PF_HIDE, "-hide"},       {PF_HIDEVAL, "-hideval"},      {PF_SPECIAL, "-special"},
    };
    for (const auto &s : suffixes)
        if (f & s.flag)
            t += s.word;
    return dupstrpfx(t.data(), t.size());
}

// ---- sorting ----

// Numeric order: at the first difference, runs of digits compare by value.
int numcmp(const char *a, const char *b)
{
    while (*a && *a == *b && !idigit(static_cast<unsigned char>(*a)))
        a++, b++;
    for (;;) {
        bool da = idigit(static_cast<unsigned char>(*a)), db = idigit(static_cast<unsigned char>(*b));
        if (da && db) {
            while (*a == '0' && idigit(static_cast<unsigned char>(a[1])))
                a++;
            while (*b == '0' && idigit(static_cast<unsigned char>(b[1])))
                b++;
            const char *ea = a, *eb = b;
            while (idigit(static_cast<unsigned char>(*ea)))
                ea++;
            while (idigit(static_cast<unsigned char>(*eb)))
                eb++;
            if (ea - a != eb - b)
                return (ea - a) < (eb - b) ? -1 : 1;
            int c = strncmp(a, b, size_t(ea - a));
            if (c)
                return c;
            a = ea;
            b = eb;
        }
        if (!*a || !*b || *a != *b)
            return qtrcmp(a, b);
        a++, b++;
    }
}

void sortarray(char **arr, const PFlags &fl)
{
    int n = arrlen(arr);
    if (fl.sortindex) {
        if (fl.sortdir < 0)
            std::reverse(arr, arr + n);
        return;
    }
    // A final empty element stays last.
    if (n && !*arr[n - 1])
        n--;
    char **keys = arr;
    if (fl.sortci)
        ensurelocale();
    if (fl.sortci) {
        keys = qhnew<char *>(size_t(n) + 1);
        for (int i = 0; i < n; i++)
            keys[i] = casemodify(arr[i], CASMOD_LOWER);
    }
    std::vector<int> idx(static_cast<size_t>(n));
    for (int i = 0; i < n; i++)
        idx[size_t(i)] = i;
    std::stable_sort(idx.begin(), idx.end(), [&](int x, int y) {
        int c = fl.sortnum ? numcmp(keys[x], keys[y]) : fl.sortci ? strcoll(keys[x], keys[y]) : qtrcmp(keys[x], keys[y]);
        return fl.sortdir < 0 ? c > 0 : c < 0;
    });
    std::vector<char *> out(static_cast<size_t>(n));
    for (int i = 0; i < n; i++)
        out[size_t(i)] = arr[idx[size_t(i)]];
    for (int i = 0; i < n; i++)
        arr[i] = out[size_t(i)];
}

// ---- padding ----

// Characters of a metafied string, as byte offsets of each start.
std::vector<size_t> charstarts(const char *s)
{
    std::vector<size_t> v;
    for (const char *p = s; *p;) {
        v.push_back(size_t(p - s));
        p += mbclen(p);
    }
    return v;
}

// The last (left) or first (right) n characters of s.
std::string cutchars(const char *s, long n, bool keepright)
{
    std::vector<size_t> cs = charstarts(s);
    long len = long(cs.size());
    if (n >= len)
        return s;
    if (keepright)
        return s + cs[size_t(len - n)];
    return std::string(s, cs[size_t(n)]);
}

// Fill of width chars from repetitions of fill, aligned so that it ends
// (left) or starts (right) exactly with the repetition's boundary.
std::string fillchars(const char *fill, long width, bool left)
{
    std::vector<size_t> fc = charstarts(fill);
    long fl = long(fc.size());
    std::string out;
    if (width <= 0 || !fl)
        return out;
    long off = left ? (fl - width % fl) % fl : 0;
    for (long i = 0; i < width; i++) {
        long k = (off + i) % fl;
        size_t b = fc[size_t(k)], e = size_t(k + 1) < fc.size() ? fc[size_t(k + 1)] : strlen(fill);
        out.append(fill + b, e - b);
    }
    return out;
}

std::string padleft(const char *v, long w, const char *fill, const char *once)
{
    long len = long(charstarts(v).size());
    if (len >= w)
        return cutchars(v, w, true);
    long room = w - len;
    std::string o;
    if (once && *once) {
        o = cutchars(once, room, true);
        room -= long(charstarts(o.c_str()).size());
    }
    return fillchars(fill, room, true) + o + v;
}

std::string padright(const char *v, long w, const char *fill, const char *once)
{
    long len = long(charstarts(v).size());
    if (len >= w)
        return cutchars(v, w, false);
    long room = w - len;
    std::string o;
    if (once && *once) {
        o = cutchars(once, room, false);
        room -= long(charstarts(o.c_str()).size());
    }
    return v + o + fillchars(fill, room, false);
}

char *pad(const char *v, const PFlags &fl)
{
    char deffill[9] = {' ', 0};
    if (ifs && *ifs) {
        int l = mbclen(ifs);
        memcpy(deffill, ifs, size_t(l));
        deffill[l] = 0;
    }
    const char *f1 = fl.padl1 && *fl.padl1 ? fl.padl1 : deffill;
    const char *f2 = fl.padr1 && *fl.padr1 ? fl.padr1 : deffill;
    std::string r;
    if (fl.padl && fl.padr) {
        // The left half of the value goes into the left field.
        std::vector<size_t> cs = charstarts(v);
        size_t half = cs.size() / 2;
        std::string lv(v, half < cs.size() ? cs[half] : strlen(v));
        r = padleft(lv.c_str(), fl.padl, f1, fl.padl2) + padright(v + lv.size(), fl.padr, f2, fl.padr2);
    } else if (fl.padl) {
        r = padleft(v, fl.padl, f1, fl.padl2);
    } else {
        r = padright(v, fl.padr, f2, fl.padr2);
    }
    return dupstrpfx(r.data(), r.size());
}

// ---- lengths ----

long countwords(const char *s, const char *sep, bool withempty)
{
    long n = 0;
    if (sep && *sep) {
        size_t sl = strlen(sep);
        const char *p = s, *end = s + strlen(s);
        for (;;) {
            const char *hit = findstr(p, end, sep);
            const char *e = hit ? hit : end;
            if (withempty || e > p)
                n++;
            if (!hit)
                break;
            p = hit + sl;
        }
        return n;
    }
    bool inword = false;
    for (const char *p = s; *p;) {
        const char *q = p;
        bool issepc = isep(metachar(q));
        if (issepc) {
            if (withempty && !inword && p > s)
                n++;
            inword = false;
        } else if (!inword) {
            n++;
            inword = true;
        }
        p = q;
    }
    return n;
}

// ---- splitting ----

// Split s at sep, or at IFS when sep is null or empty.  IFS white space
// at either end of s leaves no word but still ends a field: *front and
// *back say so, for the text around the expansion to become words of
// its own.
char **splitat(char *s, const char *sep, bool *front = nullptr, bool *back = nullptr)
{
    LinkList *w;
    if (sep && *sep) {
        w = newlinklist();
        size_t sl = strlen(sep);
        const char *p = s, *end = s + strlen(s);
        for (const char *hit; (hit = findstr(p, end, sep)); p = hit + sl)
            addlinknode(w, dupstrpfx(p, size_t(hit - p)));
        addlinknode(w, dupstring(p));
    } else {
        w = spacesplit(s, 0, 1, 0);
    }
    char **arr = qhnew<char *>(size_t(countlinknodes(w)) + 1);
    int i = 0;
    bool spaces = !sep || !*sep;
    for (LinkNode *k = firstnode(w); k; k = nextnode(k)) {
        char *e = static_cast<char *>(getdata(k));
        if (*e || !spaces)
            arr[i++] = e;
        else if (k == firstnode(w) && front)
            *front = true;
        else if (back)
            *back = true;
    }
    arr[i] = nullptr;
    return arr;
}

// Strip the double quote that opened the current quoted region (the last
// one of prefix) and the one that closes it (the first of rest), so that
// "${a[@]}" of an empty array leaves no word.
void dropquotes(char *prefix, char *rest)
{
    char *q = strrchr(prefix, char(TK_DQUOTE));
    if (q)
        memmove(q, q + 1, strlen(q));
    q = strchr(rest, char(TK_DQUOTE));
    if (q)
        memmove(q, q + 1, strlen(q));
}

// The end of the balanced ${...} or $(...) group that starts at p (a $).
char *nestedend(char *p)
{
    unsigned char open = static_cast<unsigned char>(p[1]);
    unsigned char close = open == TK_LBRACE ? TK_RBRACE : TK_RPAREN;
    int depth = 0;
    for (char *q = p + 1; *q; q++) {
        unsigned char c = static_cast<unsigned char>(*q);
        if (c == open)
            depth++;
        else if (c == close && !--depth)
            return q + 1;
    }
    return nullptr;
}

bool isnested(const char *p)
{
    unsigned char c = static_cast<unsigned char>(*p), n = static_cast<unsigned char>(p[1]);
    return (c == TK_DOLLAR || c == TK_QDOLLAR) && (n == TK_LBRACE || n == TK_LPAREN);
}

// Which levels of nested braces are inside a double-quoted string.
struct QuoteDepth {
    uint64_t bits = 0;
    void toggle(int depth)
    {
        if (depth < 64)
            bits ^= uint64_t(1) << depth;
    }
    bool in(int depth) const { return depth < 64 && (bits >> depth & 1); }
};

// The word of an operator, from p to the closing brace (nesting counted);
// p is left on the brace.  With slash, a / at the top level (not after a
// backslash) ends the first part, the rest goes to *second.
char *opword(char *&p, bool slash, char **second)
{
    char *start = p, *cut = nullptr;
    int depth = 0;
    QuoteDepth dq;
    for (; *p; p++) {
        unsigned char k = static_cast<unsigned char>(*p);
        if (k == TK_BSLASH || k == '\\') {
            if (p[1])
                p++;
            continue;
        }
        // A brace inside a nested double-quoted string is text.
        if (k == TK_DQUOTE)
            dq.toggle(depth);
        else if (k == '}' && dq.in(depth))
            continue;
        if (k == TK_LBRACE)
            depth++;
        else if (isrbrace(p)) {
            if (!depth)
                break;
            depth--;
        } else if (slash && !cut && !depth && k == '/') {
            cut = p;
        }
    }
    if (second)
        *second = cut ? dupstrpfx(cut + 1, size_t(p - cut - 1)) : nullptr;
    return dupstrpfx(start, size_t((cut ? cut : p) - start));
}

}  // namespace

// The word of ${u:-word} in sh emulation, cut into words at its unquoted
// IFS characters before it is expanded.
static LinkList *splitopword(char *arg)
{
    LinkList *l = newlinklist();
    int depth = 0;
    bool dq = false, sq = false;
    char *start = arg;
    for (char *p = arg; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == METACHAR && p[1]) {
            p++;
            continue;
        }
        if (c == TK_BSLASH && p[1]) {
            p++;
        } else if (c == TK_DQUOTE && !sq) {
            dq = !dq;
        } else if (c == TK_SQUOTE && !dq) {
            sq = !sq;
        } else if (c == TK_LBRACE || c == TK_LPAREN) {
            depth++;
        } else if ((c == TK_RBRACE || c == TK_RPAREN) && depth) {
            depth--;
        } else if (!dq && !sq && !depth && isep(c)) {
            if (p > start)
                addlinknode(l, dupstrpfx(start, size_t(p - start)));
            start = p + 1;
        }
    }
    if (*start)
        addlinknode(l, dupstring(start));
    return l;
}

// ---- multisubst ----

void multisubst(char **s, char ***arr, int *isarr)
{
    LinkList *l = newlinklist();
    addlinknode(l, *s);
    int ostm = substmadearray;
    substmadearray = 0;
    prefork(l, 0);
    int made = substmadearray;
    substmadearray = ostm;
    *isarr = 0;
    if (errflag)
        return;
    int n = countlinknodes(l);
    if (n > 1 && made) {
        char **a = qhnew<char *>(size_t(n) + 1), **t = a;
        for (LinkNode *k = firstnode(l); k; k = nextnode(k)) {
            char *w = static_cast<char *>(getdata(k));
            // Elements are plain values: an empty-argument marker is "".
            *t++ = static_cast<unsigned char>(*w) == TK_EMPTY && !w[1] ? dupstring("") : w;
        }
        *t = nullptr;
        if (arr)
            *arr = a;
        *isarr = SCAN_MATCHMANY;
        return;
    }
    if (!n) {
        *s = dupstring("");
        return;
    }
    char **a = qhnew<char *>(size_t(n) + 1), **t = a;
    for (LinkNode *k = firstnode(l); k; k = nextnode(k))
        *t++ = static_cast<char *>(getdata(k));
    *t = nullptr;
    *s = n == 1 ? a[0] : sepjoin(a, nullptr, 1);
}

// ---- paramsubst ----

namespace {

// Whether expanding a word could run code: a substitution of any kind.
bool maysubstitute(const char *s)
{
    for (; *s; s++) {
        s = skipplain(s);
        switch (static_cast<unsigned char>(*s)) {
        case TK_DOLLAR:
        case TK_QDOLLAR:
        case TK_BACKTICK:
        case TK_QBACKTICK:
        case TK_LANGLE:
        case TK_RANGLE:
        case TK_EQUALS:
            return true;
        case 0:
            return false;
        default:
            break;
        }
    }
    return false;
}

// The value being built: a scalar or an array.
struct PVal {
    char *value = nullptr;
    char **arr = nullptr;
    bool isarray = false;
    bool set = true;
    bool atform = false;
    bool splitfront = false, splitback = false;  // split at IFS white space at an end
    Param *pm = nullptr;
};

// A word as plain text: quote markers removed, tokens made characters.
char *plainword(const char *s)
{
    char *r = dupstring(s);
    remnulargs(r);
    if (static_cast<unsigned char>(*r) == TK_EMPTY)
        *r = '\0';
    untokenize(r);
    return r;
}

// Apply fn to the value or to each element.
template <class F> void eachword(PVal &v, F fn)
{
    if (v.isarray) {
        char **a = qhnew<char *>(size_t(arrlen(v.arr)) + 1), **t = a;
        for (char **s = v.arr; *s; s++)
            *t++ = fn(*s);
        *t = nullptr;
        v.arr = a;
    } else {
        v.value = fn(v.value ? v.value : dupstring(""));
    }
}

// Look up the name at p (moved past it and any subscript).
bool lookup(char *&p, bool braces, int scanflags, PVal &v)
{
    unsigned char c0 = plain(p);
    Value vbuf;
    int bracks = braces ? 1 : (isset(KSHARRAYS) ? 0 : 1);
    if (!braces && idigit(c0) && !isset(KSHARRAYS))
        bracks = -1;  // $12 outside braces is $1 then 2
    if (c0 == '_' && !iident(static_cast<unsigned char>(p[1]))) {
        v.value = dupstring(qunderscore ? qunderscore : "");
        p++;
        return true;
    }
    if (c0 == '0' && !idigit(static_cast<unsigned char>(p[1]))) {
        v.value = dupstring(argzero ? argzero : "");
        p++;
        return true;
    }
    char *q = p;
    Value *val;
    if (bracks == 0) {
        // No subscript may follow: look up the name alone.
        char *e = p;
        if (iident(c0) && !idigit(c0))
            while (iident(static_cast<unsigned char>(*e)))
                e++;
        else
            e++;
        char *nq = dupstrpfx(p, size_t(e - p));
        val = fetchvalue(&vbuf, &nq, 0, scanflags);
        q = e;
    } else {
        val = fetchvalue(&vbuf, &q, bracks, scanflags);
    }
    if (q == p)
        q = p + 1;  // a special character name with no parameter
    p = q;
    if (!val || !val->param) {
        // ${unset[2]}: the subscript is passed over; the value is unset.
        if (bracks > 0 && (static_cast<unsigned char>(*p) == TK_LBRACK || *p == '[')) {
            if (*p == '[')
                skipparens('[', ']', &p);
            else
                skipparens(char(TK_LBRACK), char(TK_RBRACK), &p);
        }
        v.set = false;
        return !errflag;
    }
    v.pm = val->param;
    // A key an associative array does not hold is an unset element.
    if (val->param->flags & PF_UNSET) {
        v.set = false;
        return !errflag;
    }
    // An element past either end of an array (a positional parameter
    // above $#) is unset, not empty: ${3-default} takes the default.
    if (!elementheld(val)) {
        v.set = false;
        return !errflag;
    }
    if (val->arrmode || (PF_TYPE(val->param->flags) & (PF_ARRAY | PF_HASHED) && val->end < 0)) {
        v.arr = getarrvalue(val);
        v.isarray = true;
        v.atform = (val->arrmode & SCAN_ISVAR_AT) != 0;
    } else {
        v.value = getstrvalue(val);
    }
    return !errflag;
}

// A subscript applied to a value that has no parameter of its own.
bool subscriptvalue(char *&p, int scanflags, PVal &v)
{
    Param tmp{};
    tmp.flags = v.isarray ? PF_ARRAY : PF_SCALAR;
    setaccessors(&tmp);
    if (v.isarray) {
        // An ordinary array's length is read from alen, not counted.
        tmp.value.arr = v.arr;
        tmp.alen = v.arr ? arrlen(v.arr) : 0;
        tmp.acap = tmp.alen + 1;
    } else
        tmp.value.str = v.value ? v.value : dupstring("");
    Value val{};
    val.param = &tmp;
    val.end = -1;
    if (v.isarray)
        val.arrmode = scanflags ? scanflags : SCAN_ARRONLY;
    getindex(&p, &val, scanflags & SCAN_DQUOTED);
    if (errflag)
        return false;
    if (val.arrmode) {
        // A slice such as ${${(f)x}[2,-1]}: the stand-in needs a name, as
        // a nameless parameter reads as an empty array.
        static char standin[] = "(value)";
        tmp.nam = standin;
        v.arr = getarrvalue(&val);
        v.isarray = true;
    } else {
        v.value = getstrvalue(&val);
        v.isarray = false;
    }
    v.set = true;
    return !errflag;
}

// target: where a scalar result goes, the element itself for a
// subscripted reference (${a[3]=x} sets a[3]).
bool assignop(const char *pname, const char *target, char *arg, const PFlags &fl, bool wordsplit, PVal &v)
{
    char **words = nullptr;
    int isarr = 0;
    multisubst(&arg, &words, &isarr);
    if (errflag)
        return false;
    if (!isarr) {
        // A word that expands to nothing gives an empty array.
        words = qhnew<char *>(2);
        words[0] = fl.assign && !*arg ? nullptr : arg;
        words[1] = nullptr;
    }
    for (char **w = words; *w; w++) {
        remnulargs(*w);
        untokenize(*w);
        if (static_cast<unsigned char>(**w) == TK_EMPTY)
            **w = '\0';
    }
    if (!fl.assign) {
        char *s = sepjoin(words, fl.join, 1);
        setsparam(target, qtrdup(s));
        v.value = s;
        v.isarray = false;
    } else {
        if (fl.split || wordsplit) {
            char *s = sepjoin(words, fl.join, 1);
            words = splitat(s, fl.split);
        }
        char **perm = static_cast<char **>(qalloc(sizeof(char *) * (size_t(arrlen(words)) + 1)));
        int i = 0;
        for (char **w = words; *w; w++)
            perm[i++] = qtrdup(*w);
        perm[i] = nullptr;
        if (fl.assign == 2)
            sethparam(pname, perm);
        else
            setaparam(pname, perm);
        v.arr = words;
        v.isarray = true;
    }
    v.set = true;
    return !errflag;
}

// A value under globsubst, tokenized as a pattern.  In sh emulation a
// value without a pattern character is not one: its backslashes stay.
static char *globsubvalue(const char *val)
{
    char *t = dupstring(val);
    shtokenize(t);
    if (emulating(EMULATE_SH)) {
        bool pattern = false;
        for (const char *p = t; *p && !pattern; p++)
            pattern = itok(static_cast<unsigned char>(*p)) && static_cast<unsigned char>(*p) != TK_BSLASH;
        if (!pattern)
            return dupstring(val);
    }
    return t;
}

// Whether a pattern turns on (#m) or (#b), which set match references.
static bool setsrefs(const char *pat)
{
    auto is = [](const char *p, char c, int tok) {
        return *p == c || static_cast<unsigned char>(*p) == tok;
    };
    for (const char *p = pat; *p; p++) {
        if (!is(p, '(', TK_LPAREN) || !is(p + 1, '#', TK_HASH))
            continue;
        for (const char *q = p + 2; *q && !is(q, ')', TK_RPAREN); q++)
            if (*q == 'b' || *q == 'm')
                return true;
    }
    return false;
}

static void replsubst(char **s)
{
    singsub(s);
    if (!errflag)
        untokenize(*s);
}

bool patternop(int opch, bool dbl, bool colon, char *arg, char *repl, const PFlags &fl, bool quoted, PVal &v)
{
    if (!v.set) {
        v.value = dupstring("");
        v.set = true;
    }
    int mf;
    if (colon && opch == '#') {
        mf = MF_WHOLE;
    } else if (opch == '#' || opch == '%') {
        mf = (opch == '%' ? MF_AT_END : 0) | (dbl ? MF_LONGEST : 0) | (fl.substr ? MF_ANYWHERE : 0);
    } else {
        mf = (fl.substr ? 0 : MF_LONGEST) | (dbl ? MF_EVERY : 0);
        unsigned char a = plain(arg);
        if (a == '#' || a == '%') {
            arg++;
            if (a == '%')
                mf |= MF_AT_END;
        } else {
            mf |= MF_ANYWHERE;
        }
    }
    mf |= fl.give ? fl.give : MF_GIVE_REST;
    if (quoted) {
        // Inside double quotes the lexer left pattern characters plain.
        char *pat = dupstring(arg);
        int err;
        {
            NoErrsGuard ng(fl.report ? noerrs : 1);
            err = parse_subst_string(pat);
        }
        if (err) {
            if (fl.report) {
                qerr("parse error in ${...%c...} substitution", nullptr, opch);
                return false;
            }
            errflag = 0;
        } else {
            arg = pat;
        }
    }
    // A pattern or replacement is text to match or insert, never a command
    // to look up: ${x%%=*} keeps its "=".
    auto plainequals = [](char *t) {
        if (static_cast<unsigned char>(*t) == TK_EQUALS)
            *t = '=';
    };
    plainequals(arg);
    singsub(&arg);
    if (errflag)
        return false;
    // With (#m) or (#b) the replacement is expanded after each match,
    // when MATCH and match describe it.
    bool perm = repl && setsrefs(arg);
    if (repl) {
        plainequals(repl);
        if (!perm) {
            singsub(&repl);
            if (errflag)
                return false;
            untokenize(repl);
        }
    } else if (opch == '/') {
        repl = dupstring("");
    }
    void (*osubst)(char **) = getmatchsubstptr;
    if (perm)
        getmatchsubstptr = replsubst;
    int n = int(fl.matchnum);
    if (v.isarray) {
        char **a2 = arrdup(v.arr);
        getmatcharr(&a2, arg, mf, n, repl);
        v.arr = a2;
    } else {
        char *v2 = dupstring(v.value ? v.value : "");
        getmatch(&v2, arg, mf, n, repl);
        v.value = v2;
    }
    getmatchsubstptr = osubst;
    return !errflag;
}

char *sliceend(char *p);

// ${name:offset:length}.  After the colon a digit, a blank, "(", "$" or a
// second ":" not followed by "=" begins an offset, and -=?+# the
// operators.  A letter begins the modifiers (an unknown one is still
// reported), except a letter no modifier begins with when an operator or
// a length follows in the expression: ${s:i+1:2} is a slice, ${s:y}
// still an unknown modifier.  Every form of before keeps its meaning.
bool slicestart(const char *p)
{
    unsigned char c = plain(p);
    if (!c || isrbrace(p))
        return false;
    if (c == ':')
        return plain(p + 1) != '=';
    if (iident(c) && !idigit(c) && !strchr("htrelsuqQgwWfF", c)) {
        char *e = sliceend(const_cast<char *>(p));
        for (const char *q = p; q < e; q++)
            if (strchr("+-*/%<>&|^!~()[]", plain(q)))
                return true;
        return plain(e) == ':';
    }
    return idigit(c) || c == ' ' || c == '\t' || c == '(' || c == '$';
}

// The end of one slice expression: a ":" or the closing brace outside
// brackets, a ":" answering a "?" belonging to the expression.
char *sliceend(char *p)
{
    int depth = 0, pending = 0;
    for (; *p; p++) {
        unsigned char c = plain(p);
        if (c == '(' || c == '[' || c == '{')
            depth++;
        else if ((c == ')' || c == ']' || c == '}') && depth)
            depth--;
        else if (!depth && isrbrace(p))
            break;
        else if (!depth && c == '?')
            pending++;
        else if (!depth && c == ':' && !pending--)
            break;
    }
    return p;
}

bool sliceexpr(char *b, char *e, int64_t *out)
{
    char *t = dupstrpfx(b, size_t(e - b));
    singsub(&t);
    if (errflag)
        return false;
    untokenize(t);
    *out = mathevali(t);
    return !errflag;
}

// The characters of a metafied string start to end of total n, as the
// offsets select; false (with the message) when the end falls before
// the start.
bool slicebounds(int64_t n, int64_t off, bool haslen, int64_t len, int64_t *from, int64_t *to)
{
    if (off < 0)
        off += n;
    if (off < 0 || off > n) {
        *from = *to = 0;
        return true;
    }
    int64_t end = n;
    if (haslen) {
        end = len < 0 ? n + len : off + len;
        if (len < 0 && end < off) {
            qerr("%d: substring expression < 0", nullptr, int(len));
            return false;
        }
        if (end > n)
            end = n;
    }
    *from = off;
    *to = end;
    return true;
}

// p is on the colon; leaves p on the closing brace.
bool applyslice(char *&p, const char *pname, PVal &v)
{
    char *b = p + 1;
    char *e = sliceend(b);
    int64_t off = 0, len = 0;
    bool haslen = false;
    if (e > b && !sliceexpr(b, e, &off))
        return false;
    if (plain(e) == ':') {
        char *b2 = e + 1;
        char *e2 = sliceend(b2);
        if (plain(e2) == ':' || !isrbrace(e2)) {
            qerr("bad substitution", nullptr, 0);
            return false;
        }
        haslen = true;
        if (e2 > b2 && !sliceexpr(b2, e2, &len))
            return false;
        e = e2;
    }
    p = e;
    if (!v.set)
        return true;
    int64_t from, to;
    if (v.isarray) {
        char **a = v.arr ? v.arr : qhnew<char *>(1);
        // Positional parameters count from $0, as the shell's own name.
        if (!strcmp(pname, "@") || !strcmp(pname, "*")) {
            char **w = qhnew<char *>(size_t(arrlen(a)) + 2);
            w[0] = dupstring(argzero ? argzero : "");
            memcpy(w + 1, a, sizeof(char *) * (size_t(arrlen(a)) + 1));
            a = w;
        }
        int64_t n = arrlen(a);
        if (!slicebounds(n, off, haslen, len, &from, &to)) {
            return false;
        }
        int64_t cnt = to > from ? to - from : 0;
        char **r = qhnew<char *>(size_t(cnt) + 1);
        for (int64_t i = 0; i < cnt; i++)
            r[i] = a[from + i];
        r[cnt] = nullptr;
        v.arr = r;
        return true;
    }
    const char *s = v.value ? v.value : "";
    // Offsets count characters: a metafied pair, or a whole multibyte
    // character, is one.
    if (!slicebounds(mbstrlen(s), off, haslen, len, &from, &to))
        return false;
    const char *cb = s;
    for (int64_t i = 0; i < from; i++)
        cb += mbclen(cb);
    const char *ce = cb;
    for (int64_t i = from; i < to; i++)
        ce += mbclen(ce);
    v.value = dupstrpfx(cb, size_t(ce - cb));
    return true;
}

// The modifiers at p (on a ':') up to the closing brace or, outside
// braces, as far as they are valid; p is left after them.
bool applymodifiers(char *&p, bool braces, PVal &v)
{
    char *end = p;
    QuoteDepth dq;
    if (braces)
        for (int depth = 0; *end; end++) {
            unsigned char k = static_cast<unsigned char>(*end);
            if (k == TK_DQUOTE)
                dq.toggle(depth);
            else if (k == TK_LBRACE)
                depth++;
            else if (isrbrace(end) && !(k == '}' && dq.in(depth)) && !depth--)
                break;
        }
    else
        end = p + strlen(p);
    char *text = dupstrpfx(p, size_t(end - p));
    char *mp = text;
    if (v.isarray && (!v.arr || !*v.arr)) {
        char *dummy = dupstring("");
        if (!modify(&dummy, &mp))
            return false;
    } else if (v.isarray) {
        v.arr = arrdup(v.arr);
        for (char **a = v.arr; *a; a++) {
            mp = text;
            if (!modify(a, &mp))
                return false;
        }
    } else {
        if (!v.value)
            v.value = dupstring("");
        if (!modify(&v.value, &mp))
            return false;
    }
    if (!braces) {
        p += mp - text;
        return true;
    }
    if (*mp) {
        unsigned char bad = plain(*mp == ':' ? mp + 1 : mp);
        ensurelocale();
        if (bad && isprint(bad))
            qerr("unrecognized modifier `%c'", nullptr, bad);
        else
            qerr("unrecognized modifier", nullptr, 0);
        return false;
    }
    p = end;
    return true;
}

// A prefix character outside braces at p: one of ^ = ~ (possibly doubled)
// or #, followed by the start of a parameter name (for # only a name
// proper or * or @, so that $#- and $#1 stay the count followed by text).
bool nobraceprefix(const char *p)
{
    unsigned char c = plain(p);
    if (c == '#') {
        unsigned char nx = plain(p + 1);
        return (iident(nx) && !idigit(nx)) || nx == '*' || nx == '@';
    }
    if (c != '^' && c != '=' && c != '~')
        return false;
    const char *q = p + (plain(p + 1) == c ? 2 : 1);
    unsigned char nx = plain(q);
    return iident(nx) || (nx && strchr("^=~#?$!-_*@", nx));
}

}  // namespace

bool paramsubst(LinkList *l, LinkNode *&n, char *&cursor, bool quoted, bool single)
{
    SubstDepth depth;
    if (!depth.ok)
        return false;
    char *word = static_cast<char *>(getdata(n));
    char *start = cursor;
    char *p = cursor + 1;
    bool braces = false;
    if (static_cast<unsigned char>(*p) == TK_LBRACE || (*p == '{' && quoted)) {
        braces = true;
        p++;
    }
    char *inbrace = p;
    PFlags fl;
    int wantlength = 0;
    bool rcexpand = isset(RCEXPANDPARAM), wordsplit = isset(SHWORDSPLIT) && !quoted, testset = false;
    bool globsub = isset(GLOBSUBST);
    if (braces && plain(p) == '(') {
        p++;
        if (!parseflags(&p, fl)) {
            qerr("error in flags", nullptr, 0);
            return false;
        }
    }
    char *afterflags = p;
    // Prefix characters; each toggles its setting, a doubled one clears it.
    // Outside braces ($=x, $~pat, $^arr, $#name) a prefix counts only when
    // a name follows it, so "$=" or "$#" alone keep their usual meaning.
    while (braces || nobraceprefix(p)) {
        unsigned char c = plain(p);
        if (!braces) {
            bool dbl = c != '#' && plain(p + 1) == c;
            if (c == '^')
                rcexpand = !dbl;
            else if (c == '=')
                wordsplit = !dbl;
            else if (c == '~')
                globsub = !dbl;
            else
                wantlength = 1 + fl.lengthkind;
            p += dbl ? 2 : 1;
            continue;
        }
        if (static_cast<unsigned char>(*p) == TK_SQUOTE || static_cast<unsigned char>(*p) == TK_DQUOTE ||
            static_cast<unsigned char>(*p) == TK_BSLASH || static_cast<unsigned char>(*p) == TK_EMPTY) {
            p++;
            continue;
        }
        bool dbl = c && plain(p + 1) == c;
        if (c == '^') {
            rcexpand = !dbl;
            p += dbl ? 2 : 1;
        } else if (c == '=') {
            wordsplit = !dbl;
            p += dbl ? 2 : 1;
        } else if (c == '~') {
            globsub = !dbl;
            p += dbl ? 2 : 1;
        } else if (c == '#' && [&] {
                       unsigned char nx = plain(p + 1);
                       if (nx == '#')
                           return isrbrace(p + 2);
                       if (nx == ':')
                           return plain(p + 2) == '-';
                       return iident(nx) || (nx && strchr("*@?$!-_", nx)) || isnested(p + 1);
                   }()) {
            wantlength = 1 + fl.lengthkind;
            p++;
        } else if (c == '!' && emulation == EMULATE_KSH && iident(plain(p + 1))) {
            // ${!name}: the keys of an associative array.
            fl.keys = true;
            p++;
        } else if (c == '+') {
            unsigned char nx = plain(p + 1);
            if (!(iident(nx) || (fl.indirect && isnested(p + 1)) || (nx && strchr("*@?$!-#", nx)))) {
                qerr("bad substitution", nullptr, 0);
                return false;
            }
            testset = true;
            p++;
        } else {
            break;
        }
    }
    PVal v;
    int scanflags = (fl.keys ? SCAN_WANTKEYS : 0) | (fl.vals ? SCAN_WANTVALS : 0) |
                    (quoted ? SCAN_DQUOTED : 0) | (fl.assign ? SCAN_ASSIGNING : 0);
    char *name = p;
    char *pname = nullptr, *target = nullptr;
    unsigned char c0 = plain(p);
    if (braces && isnested(p)) {
        char *e = nestedend(p);
        if (!e) {
            qerr("closing brace expected", nullptr, 0);
            return false;
        }
        // "${(f)"$(cmd)"}": the quotes belong to the nested word.
        bool dq = p > afterflags && static_cast<unsigned char>(p[-1]) == TK_DQUOTE && static_cast<unsigned char>(*e) == TK_DQUOTE;
        char *inner = dq ? dupstrpfx(p - 1, size_t(e - p + 2)) : dupstrpfx(p, size_t(e - p));
        char **ia = nullptr;
        int isarr = 0;
        multisubst(&inner, &ia, &isarr);
        if (errflag)
            return false;
        p = dq ? e + 1 : e;
        if (fl.indirect) {
            char *nm = isarr ? sepjoin(ia, nullptr, 1) : inner;
            untokenize(nm);
            pname = nm;
            char *q = dupstring(nm);
            if (!lookup(q, true, scanflags, v))
                return false;
        } else {
            if (isarr) {
                v.arr = ia;
                v.isarray = true;
            } else {
                remnulargs(inner);
                untokenize(inner);
                v.value = static_cast<unsigned char>(*inner) == TK_EMPTY ? dupstring("") : inner;
            }
            if (static_cast<unsigned char>(*p) == TK_LBRACK || *p == '[') {
                if (!subscriptvalue(p, scanflags, v))
                    return false;
            }
        }
    } else if (!(iident(c0) || (c0 && strchr("?#$!-_*@", c0)))) {
        if (!braces) {
            // Not a parameter: the $ stays literal.
            *cursor = '$';
            cursor++;
            return true;
        }
        // ${:-word}, ${(l:3:)} and friends: no name at all, an unset
        // value; ${}, with nothing at all, is no expansion.
        unsigned char oc = plain(p);
        if (!(oc == ':' || (isrbrace(p) && p != inbrace) || (oc && strchr("-+=?#%/", oc)))) {
            qerr(*p ? "bad substitution" : "closing brace expected", nullptr, 0);
            return false;
        }
        v.set = false;
        pname = dupstring("");
    } else {
        if (!lookup(p, braces, scanflags, v))
            return false;
        pname = dupstrpfx(name, size_t(p - name));
        target = dupstring(pname);
        untokenize(target);
        if (char *b = strpbrk(pname, "[\x8f"))
            *b = '\0';
        untokenize(pname);
        if (fl.indirect && v.set) {
            char *nm = v.isarray ? sepjoin(v.arr, nullptr, 1) : v.value;
            pname = dupstring(nm);
            char *q = dupstring(nm);
            v = PVal{};
            if (!lookup(q, true, scanflags, v))
                return false;
        }
    }
    if (fl.at)
        v.atform = true;
    if (fl.typeword) {
        v.value = v.set ? typeword(v.pm) : dupstring("");
        v.isarray = false;
        v.set = true;
    }

    // Operators and modifiers.
    bool gotop = false;
    if (braces) {
        while (static_cast<unsigned char>(*p) == TK_DQUOTE || static_cast<unsigned char>(*p) == TK_SQUOTE)
            p++;
        unsigned char oc = plain(p);
        bool colon = false, always = false;
        if (oc == ':' && plain(p + 1) == ':' && plain(p + 2) == '=') {
            always = true;
            p += 2;
            oc = '=';
            colon = true;
        } else if (oc == ':' && p[1] && strchr("-=?+#", plain(p + 1))) {
            colon = true;
            p++;
            oc = plain(p);
        }
        if (oc == ':' && !colon && slicestart(p + 1)) {
            if (!applyslice(p, pname ? pname : "", v))
                return false;
        } else if (oc && strchr("-=?+#%/", oc)) {
            gotop = true;
            int opch = oc;
            p++;
            bool dbl = false;
            if ((opch == '#' || opch == '%' || opch == '/') && !colon && plain(p) == static_cast<unsigned char>(opch)) {
                dbl = true;
                p++;
            }
            char *repl = nullptr;
            char *arg = opword(p, opch == '/', &repl);
            // The operand's own substitutions may assign the parameter
            // (${x#$((x=5))}) and free the value read above: work on a copy.
            if (maysubstitute(arg) || (repl && maysubstitute(repl))) {
                if (v.isarray && v.arr)
                    v.arr = arrdup(v.arr);
                else if (v.value)
                    v.value = dupstring(v.value);
            }
            bool emptyv = !v.set || (colon && (v.isarray ? !arrlen(v.arr) : (!v.value || !*v.value)));
            switch (opch) {
            case '-':
            case '+':
                if ((opch == '-' ? emptyv : !emptyv) && wordsplit && emulating(EMULATE_SH)) {
                    // The word is split as it is expanded, so that its
                    // quoted parts stay whole: the fields are the value.
                    LinkList *l = splitopword(arg);
                    prefork(l, 0);
                    if (errflag)
                        return false;
                    char **a = qhnew<char *>(size_t(countlinknodes(l)) + 1), **t = a;
                    for (LinkNode *k = firstnode(l); k; k = nextnode(k))
                        *t++ = static_cast<char *>(getdata(k));
                    *t = nullptr;
                    v.arr = a;
                    v.isarray = true;
                    v.set = true;
                    wordsplit = false;
                } else if (opch == '-' ? emptyv : !emptyv) {
                    char **wa = nullptr;
                    int isarr = 0;
                    multisubst(&arg, &wa, &isarr);
                    if (errflag)
                        return false;
                    if (isarr) {
                        v.arr = wa;
                        v.isarray = true;
                    } else {
                        v.value = arg;
                        v.isarray = false;
                    }
                    v.set = true;
                } else if (opch == '+') {
                    v.value = dupstring("");
                    v.isarray = false;
                    v.set = true;
                }
                break;
            case '=':
                if (emptyv || always) {
                    if (!*pname) {
                        qerr("bad substitution", nullptr, 0);
                        return false;
                    }
                    if (!assignop(pname, target && !fl.indirect ? target : pname, arg, fl, wordsplit, v))
                        return false;
                }
                break;
            case '?':
                if (emptyv) {
                    singsub(&arg);
                    untokenize(arg);
                    qerr("%s", qhtricat(pname, ": ", *arg ? arg : "parameter not set"), 0);
                    if (unset(INTERACTIVE)) {
                        // A script stops here, as after exit 1.
                        if (locallevel > forklevel) {
                            retflag = 1;
                            breaks = loops;
                            exit_pending = (1 << 1) + 1;
                        } else {
                            qexit(1, 0);
                        }
                    }
                    return false;
                }
                break;
            default:
                if (!patternop(opch, dbl, colon, arg, repl, fl, quoted, v))
                    return false;
                break;
            }
        } else if (oc == ':') {
            gotop = true;
            if (!applymodifiers(p, true, v))
                return false;
        }
        if (!isrbrace(p)) {
            qerr(*p ? "bad substitution" : "closing brace expected", nullptr, 0);
            return false;
        }
        p++;
    } else if (*p == ':' && unset(KSHARRAYS)) {
        if (!applymodifiers(p, false, v))
            return false;
    }
    if (testset) {
        v.value = dupstring(v.set ? "1" : "0");
        v.isarray = false;
        v.set = true;
    }
    if (!v.set) {
        if (unset(UNSET) && !gotop) {
            qerr("%s: parameter not set", pname, 0);
            return false;
        }
        v.value = dupstring("");
    }

    // a. Lengths.
    if (wantlength) {
        long len;
        if (wantlength == 1)
            len = v.isarray ? arrlen(v.arr) : mbstrlen(v.value ? v.value : "");
        else {
            char *s = v.isarray ? sepjoin(v.arr, fl.join ? fl.join : " ", 1) : v.value ? v.value : dupstring("");
            if (wantlength == 2)
                len = mbstrlen(s);
            else if (v.isarray && !fl.split)
                len = [&] {
                    long c = 0;
                    for (char **a = v.arr; *a; a++)
                        c += countwords(*a, nullptr, wantlength == 4);
                    return c;
                }();
            else
                len = countwords(s, fl.split, wantlength == 4);
        }
        char buf[32];
        snprintf(buf, sizeof buf, "%ld", len);
        v.value = dupstring(buf);
        v.isarray = false;
    }
    // b. An empty array is an empty string; one element is a scalar.
    bool emptyat = false;
    if (v.isarray && !*v.arr && !rcexpand) {
        if (quoted && v.atform)
            emptyat = true;
        else {
            v.isarray = false;
            v.value = dupstring("");
        }
    }
    // c. Joining, then splitting.
    int arrmode = v.isarray ? 1 : 0;
    // With IFS empty nothing splits, and joining would run the elements
    // together: unquoted $@ stays one word per element.
    bool keepelements = v.isarray && wordsplit && !single && !fl.split && !fl.join && ifs && !*ifs;
    if (v.isarray && (single || wordsplit || fl.split || fl.join) && !emptyat && !keepelements) {
        v.value = sepjoin(v.arr, fl.join, 1);
        v.isarray = false;
    }
    if (!v.isarray && !single && (wordsplit || fl.split)) {
        char **a = splitat(v.value ? v.value : dupstring(""), fl.split, &v.splitfront, &v.splitback);
        v.arr = a;
        v.isarray = true;
        arrmode = 2;
        v.atform = v.atform || fl.split;
    }
    // d.-h. Per-word transformations.
    if (fl.casechange)
        eachword(v, [&](char *s) { return casemodify(s, fl.casechange); });
    if (fl.prompt) {
        OptionGuard g1(PROMPTPERCENT), g2(PROMPTSUBST), g3(PROMPTBANG);
        if (fl.prompt == 1) {
            opts[PROMPTPERCENT] = 1;
            opts[PROMPTSUBST] = 0;
            opts[PROMPTBANG] = 0;
        }
        eachword(v, [](char *s) {
            char *e = promptexpand(plainword(s), 0, nullptr, nullptr);
            char *r = dupstring(e);
            qfree(e);
            return r;
        });
    }
    if (fl.quote > 0) {
        eachword(v, [&](char *s) {
            s = plainword(s);
            switch (fl.quote) {
            case 1: return bslashquote(s, nullptr, QT_BACKSLASH);
            case 2: return qhtricat("'", bslashquote(s, nullptr, QT_SINGLE), "'");
            case 3: return qhtricat("\"", bslashquote(s, nullptr, QT_DOUBLE), "\"");
            default: return qhtricat("$'", bslashquote(s, nullptr, QT_DOLLARS), "'");
            }
        });
    } else if (fl.quote < 0) {
        eachword(v, [&](char *s) { return unquoteword(plainword(s), fl.report); });
        if (errflag)
            return false;
    }
    if (fl.visible)
        eachword(v, [](char *s) { return nicedupstring(plainword(s)); });
    if (fl.shellwords) {
        char *s = plainword(v.isarray ? sepjoin(v.arr, nullptr, 1) : v.value ? v.value : "");
        LinkList *w = bufferwords(nullptr, s, nullptr);
        char **a = qhnew<char *>(size_t(countlinknodes(w)) + 1), **t = a;
        for (LinkNode *k = firstnode(w); k; k = nextnode(k))
            *t++ = static_cast<char *>(getdata(k));
        *t = nullptr;
        v.arr = a;
        v.isarray = true;
        arrmode = 2;
    }
    // i. Uniqueness and order.
    if (v.isarray) {
        if (fl.unique || fl.sortdir || fl.sortindex || fl.sortci || fl.sortnum)
            v.arr = arrdup(v.arr);
        if (fl.unique)
            qhuniqarray(v.arr);
        if (fl.sortdir || fl.sortindex || fl.sortci || fl.sortnum)
            sortarray(v.arr, fl);
    }
    // j. Padding.
    if (fl.padl || fl.padr)
        eachword(v, [&](char *s) { return pad(s, fl); });
    // k. Re-parsing for substitutions.
    if (fl.eval) {
        bool failed = false;
        eachword(v, [&](char *s) {
            char *w = plainword(s);
            if (failed)
                return w;
            int err;
            {
                NoErrsGuard ng(fl.report ? noerrs : 1);
                err = parse_subst_string(w);
            }
            if (err) {
                if (fl.report)
                    qerr("parse error in parameter value", nullptr, 0);
                failed = true;
                return w;
            }
            singsub(&w);
            if (errflag)
                failed = true;
            return w;
        });
        if (failed) {
            errflag = errflag ? errflag : 1;
            return false;
        }
    }

    // l. Splicing into the word.
    char *prefix = dupstrpfx(word, size_t(start - word));
    char *rest = dupstring(p);
    if (globsub && !quoted) {
        if (v.isarray) {
            v.arr = arrdup(v.arr);
            for (char **a = v.arr; *a; a++)
                *a = globsubvalue(*a);
        } else if (v.value) {
            v.value = globsubvalue(v.value);
        }
    }
    // White space split off an end of the value parts it from the text
    // before or after, which so becomes a word of its own: an empty word
    // at that end of the value carries it.
    bool front = v.isarray && v.splitfront && *prefix && !rcexpand;
    bool back = v.isarray && v.splitback && *rest && !rcexpand;
    if (front || back) {
        int k = arrlen(v.arr);
        char **a = qhnew<char *>(size_t(k) + 3);
        char **ap = a;
        if (front)
            *ap++ = dupstring("");
        for (int i = 0; i < k; i++)
            *ap++ = v.arr[i];
        if (back)
            *ap++ = dupstring("");
        *ap = nullptr;
        v.arr = a;
    }
    if (!v.isarray || (v.isarray && !*v.arr && !emptyat && !rcexpand) || (v.isarray && !v.arr[1] && !rcexpand)) {
        const char *val = v.isarray ? (*v.arr ? v.arr[0] : "") : v.value ? v.value : "";
        size_t pl = strlen(prefix), vl = strlen(val);
        char *nw = static_cast<char *>(qhalloc(pl + vl + strlen(rest) + 1));
        memcpy(nw, prefix, pl);
        memcpy(nw + pl, val, vl);
        strcpy(nw + pl + vl, rest);
        setdata(n, nw);
        cursor = nw + pl + vl;
        return true;
    }
    if (emptyat) {
        dropquotes(prefix, rest);
        char *nw = dyncat(prefix, rest);
        setdata(n, nw);
        cursor = nw + strlen(prefix);
        return true;
    }
    if ((quoted && !v.atform) || single) {
        char *j = sepjoin(v.arr, fl.join, 1);
        char *nw = qhtricat(prefix, j, rest);
        setdata(n, nw);
        cursor = nw + strlen(prefix) + strlen(j);
        return true;
    }
    int cnt = arrlen(v.arr);
    if (rcexpand) {
        // Every element with the prefix and each word the rest of the word
        // expands to, the elements varying slowest.
        substmadearray = 1;
        LinkList *restl = newlinklist();
        addlinknode(restl, rest);
        prefork(restl, 0);
        if (errflag)
            return false;
        // No element: no word at all, whatever surrounds the array.
        if (!cnt) {
            char *nw = dupstring("");
            setdata(n, nw);
            cursor = nw;
            return true;
        }
        if (empty(restl))
            addlinknode(restl, dupstring(""));
        bool first = true;
        for (int i = 0; i < cnt; i++)
            for (LinkNode *rn = firstnode(restl); rn; rn = nextnode(rn)) {
                char *w = qhtricat(prefix, v.arr[i], static_cast<char *>(getdata(rn)));
                if (quoted && !*w && arrmode != 2)
                    w = dupstring(nulstring);
                if (first) {
                    setdata(n, w);
                    first = false;
                } else {
                    n = insertlinknode(l, n, w);
                }
            }
        char *last = static_cast<char *>(getdata(n));
        cursor = last + strlen(last);
        return true;
    }
    substmadearray = 1;
    char *first = dyncat(prefix, v.arr[0]);
    if (quoted && !*first)
        first = dupstring(nulstring);
    setdata(n, first);
    for (int i = 1; i < cnt; i++)
        n = insertlinknode(l, n, (quoted && !*v.arr[i]) ? dupstring(nulstring) : dupstring(v.arr[i]));
    char *last = static_cast<char *>(getdata(n));
    char *nw = dyncat(last, rest);
    setdata(n, nw);
    cursor = nw + strlen(last);
    return true;
}
