// Parameter references: names with subscripts turned into Values, the
// subscript flags, reading and writing values, and the assignment forms.
#include "params/params.h"

#include "exec/exec.h"
#include "expand/expand.h"
#include "lang/lang.h"

#include <cinttypes>
#include <climits>
#include <cstring>

// ---- helpers ----

static bool stdarray(Param *pm) { return pm->getter.afn == arrgetfn && pm->setter.afn == arrsetfn; }

// Element count of an array parameter; O(1) for ordinary arrays.
static int paramarrlen(Param *pm)
{
    if (stdarray(pm))
        return pm->value.arr ? pm->alen : 0;
    return arrlen(pm->getter.afn(pm));
}

// Byte offset of character n of a metafied string (clamped at its end).
static int charoffset(const char *s, int n)
{
    const char *p = s;
    while (n-- > 0 && *p)
        p += (*p == static_cast<char>(METACHAR) && p[1]) ? 2 : 1;
    return int(p - s);
}

// Characters from..to of a field of typeset -L, -R or -Z: whole ones under
// multibyte.
static char *fielddup(const char *s, int from, int to)
{
    const char *a = s;
    for (int i = 0; i < from && *a; i++)
        a += mbclen(a);
    const char *b = a;
    for (int i = from; i < to && *b; i++)
        b += mbclen(b);
    return dupstrpfx(a, size_t(b - a));
}

static char *chardup(const char *s, int from, int to)
{
    int a = charoffset(s, from), b = charoffset(s, to);
    return dupstrpfx(s + a, size_t(b > a ? b - a : 0));
}

static const char *matchbracket(const char *s)
{
    int depth = 0;
    for (; *s; s++) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c == '\\' && s[1])
            s++;
        else if (c == '[' || c == TK_LBRACK)
            depth++;
        else if ((c == ']' || c == TK_RBRACK) && !--depth)
            return s;
    }
    return nullptr;
}

// Grow an ordinary array in place so that n more elements fit: appending
// doubles the room, so a run of appends costs amortised O(1) each.
static void arrreserve(Param *pm, int n)
{
    int need = pm->alen + n + 1;
    if (pm->value.arr && need <= pm->acap)
        return;
    int ncap = pm->acap > 0 ? pm->acap : 4;
    while (ncap < need)
        ncap *= 2;
    char **na = static_cast<char **>(qrealloc(pm->value.arr, sizeof(char *) * size_t(ncap)));
    if (!pm->value.arr)
        na[0] = nullptr;
    pm->value.arr = na;
    pm->acap = ncap;
}

// ---- hash scans ----

static LinkList *scanlist;
static int scancount;

void scanparamvals(HashNode *hn, int flags)
{
    Param *pm = static_cast<Param *>(hn);
    if (pm->flags & PF_UNSET)
        return;
    scancount++;
    if (!scanlist)
        return;
    if (flags & SCAN_WANTKEYS)
        addlinknode(scanlist, pm->nam);
    if (flags & SCAN_WANTVALS) {
        Value v{};
        v.param = pm;
        v.end = -1;
        addlinknode(scanlist, getstrvalue(&v));
    }
}

int scancountparams(HashTable *ht, int flags)
{
    LinkList *saved = scanlist;
    int savedct = scancount;
    scanlist = nullptr;
    scancount = 0;
    scanhashtable(ht, 0, 0, PF_UNSET, scanparamvals, flags);
    int n = scancount;
    scanlist = saved;
    scancount = savedct;
    return n;
}

char **paramvalarr(HashTable *ht, int flags)
{
    LinkList *saved = scanlist;
    int savedct = scancount;
    scanlist = newlinklist();
    if (ht)
        scanhashtable(ht, 0, 0, PF_UNSET, scanparamvals, flags ? flags : SCAN_WANTVALS);
    int n = countlinknodes(scanlist);
    char **r = qhnew<char *>(size_t(n) + 1), **p = r;
    for (LinkNode *nd = firstnode(scanlist); nd; incnode(nd))
        *p++ = static_cast<char *>(getdata(nd));
    *p = nullptr;
    scanlist = saved;
    scancount = savedct;
    return r;
}

static char **getvaluearr(Value *v)
{
    if (v->arrcache)
        return v->arrcache;
    Param *pm = v->param;
    if (PF_TYPE(pm->flags) == PF_ARRAY)
        return v->arrcache = pm->getter.afn(pm);
    if (PF_TYPE(pm->flags) == PF_HASHED) {
        int fl = v->arrmode & (SCAN_WANTKEYS | SCAN_WANTVALS);
        return v->arrcache = paramvalarr(pm->getter.hfn(pm), fl ? fl : SCAN_WANTVALS);
    }
    return nullptr;
}

// ---- references ----

Value *getvalue(Value *v, char **pptr, int bracks) { return fetchvalue(v, pptr, bracks, 0); }

Value *fetchvalue(Value *v, char **pptr, int bracks, int flags)
{
    char *s = *pptr, *t = s;
    int ppar = 0;
    bool isvarat = false;
    unsigned char c = static_cast<unsigned char>(*s);
    if (idigit(c)) {
        if (bracks >= 0) {
            // Digits beyond any possible position only keep it out of reach.
            long n = 0;
            while (idigit(*s)) {
                n = n * 10 + (*s++ - '0');
                if (n > INT_MAX)
                    n = INT_MAX;
            }
            ppar = int(n);
        } else {
            ppar = *s++ - '0';
        }
    } else if (iident(c)) {
        while (iident(*s))
            s++;
    } else if (c == TK_QUEST) {
        *s++ = '?';
    } else if (c == TK_HASH) {
        *s++ = '#';
    } else if (c == TK_DOLLAR || c == TK_QDOLLAR) {
        *s++ = '$';
    } else if (c == TK_STAR) {
        *s++ = '*';
    } else if (c == '#' || c == '-' || c == '?' || c == '$' || c == '!' || c == '@' || c == '*') {
        isvarat = c == '@';
        s++;
    } else {
        return nullptr;
    }
    if (!bracks && *s)
        return nullptr;
    if (v)
        *v = Value{};
    else
        v = hcnew<Value>();
    if (ppar) {
        v->param = argvparam_pm;
        if (!v->param)
            return nullptr;
        v->start = ppar - 1;
        v->end = ppar;
        *pptr = s;
        return v;
    }
    char sav = *s;
    *s = '\0';
    Param *pm = static_cast<Param *>(paramtab->getnode(paramtab, t));
    *s = sav;
    *pptr = s;
    if (!pm || (pm->flags & PF_UNSET))
        return nullptr;
    v->param = pm;
    if (PF_TYPE(pm->flags) & (PF_ARRAY | PF_HASHED)) {
        v->arrmode = flags | (isvarat ? SCAN_ISVAR_AT : 0);
        if (!v->arrmode)
            v->arrmode = SCAN_ARRONLY;
    }
    v->start = 0;
    v->end = -1;
    if (bracks > 0 && (*s == '[' || static_cast<unsigned char>(*s) == TK_LBRACK)) {
        getindex(&s, v, flags & SCAN_DQUOTED);
        *pptr = s;
        return v;
    }
    if (!(flags & SCAN_ASSIGNING) && v->arrmode && iident(*t) && isset(KSHARRAYS)) {
        v->end = 1;
        v->arrmode = 0;
    }
    return v;
}

// ---- subscripts ----

struct SubFlags {
    bool word, rev, ind, down, keymatch, many, hasbeg;
    int64_t num, beg;
    char *sep;
};

// A delimited flag argument at s (the opening character); returns the
// character after the closing one, or null when it is missing.
static char *getdelimarg(char *s, char **argp)
{
    char open = *s, close;
    switch (open) {
    case '(': close = ')'; break;
    case '[': close = ']'; break;
    case '{': close = '}'; break;
    case '<': close = '>'; break;
    case '\0': return nullptr;
    default: close = open; break;
    }
    char *e = strchr(s + 1, close);
    if (!e)
        return nullptr;
    *argp = dupstrpfx(s + 1, size_t(e - s - 1));
    return e + 1;
}

// Flags in parentheses at s; returns the text after them, or null when
// they do not parse (the parenthesis then belongs to the expression).
static char *parsesubflags(char *s, SubFlags *f, bool ishash)
{
    for (s++; *s && *s != ')'; s++) {
        char *arg;
        switch (*s) {
        case 'w': f->word = true; break;
        case 'f': f->word = true; f->sep = dupstring("\n"); break;
        case 'p': case 'e': break;
        case 's':
            if (!(s = getdelimarg(s + 1, &arg)))
                return nullptr;
            f->sep = arg;
            s--;
            break;
        case 'r': f->rev = true; f->ind = f->down = false; break;
        case 'R': f->rev = f->down = true; f->ind = false; break;
        case 'i': f->rev = f->ind = true; f->down = false; break;
        case 'I': f->rev = f->ind = f->down = true; break;
        case 'k':
            if (ishash)
                f->keymatch = true, f->many = false;
            else
                f->rev = true, f->ind = f->down = false;
            break;
        case 'K':
            if (ishash)
                f->keymatch = f->many = true;
            else
                f->rev = f->down = true, f->ind = false;
            break;
        case 'n':
            if (!(s = getdelimarg(s + 1, &arg)))
                return nullptr;
            f->num = mathevali(arg);
            if (!f->num)
                f->num = 1;
            s--;
            break;
        case 'b':
            if (!(s = getdelimarg(s + 1, &arg)))
                return nullptr;
            f->beg = mathevali(arg);
            if (f->beg > 0)
                f->beg--;
            f->hasbeg = true;
            s--;
            break;
        default:
            return nullptr;
        }
    }
    return *s == ')' ? s + 1 : nullptr;
}

// The words of a scalar as [start, end) character ranges.
struct WordRange {
    int start, end;
};
static int splitwords(const char *str, const char *sep, WordRange **out)
{
    int n = 0, cap = 8;
    WordRange *w = qhnew<WordRange>(size_t(cap));
    int len = qtrlen(str);
    int pos = 0;
    if (sep && *sep) {
        int sl = qtrlen(sep);
        const char *p = str;
        int start = 0;
        for (;;) {
            const char *hit = strstr(p, sep);
            int end = hit ? pos + qtrlen(dupstrpfx(p, size_t(hit - p))) : len;
            if (n == cap)
                w = static_cast<WordRange *>(hrealloc(w, sizeof(WordRange) * size_t(cap), sizeof(WordRange) * size_t(cap * 2))), cap *= 2;
            w[n++] = {start, end};
            if (!hit)
                break;
            pos = end + sl;
            start = pos;
            p = hit + strlen(sep);
        }
    } else {
        const char *p = str;
        while (*p) {
            while (*p && iwsep(static_cast<unsigned char>(*p)) ) {
                p++;
                pos++;
            }
            if (!*p)
                break;
            int start = pos;
            while (*p && !iwsep(static_cast<unsigned char>(*p))) {
                p += (*p == static_cast<char>(METACHAR) && p[1]) ? 2 : 1;
                pos++;
            }
            if (n == cap)
                w = static_cast<WordRange *>(hrealloc(w, sizeof(WordRange) * size_t(cap), sizeof(WordRange) * size_t(cap * 2))), cap *= 2;
            w[n++] = {start, pos};
        }
    }
    *out = w;
    return n;
}

enum SubKind { SUB_NUMBER, SUB_DONE };
struct SubResult {
    SubKind kind;
    int64_t val;
    int64_t we;   // end of a selected word, 0 if none
    bool inv;     // an index request
    bool rev;
};

static Param *arenaresult(Param *from, char *str, char **arr)
{
    Param *pm = hcnew<Param>();
    pm->nam = from->nam;
    pm->flags = (arr ? PF_ARRAY : PF_SCALAR) | PF_READONLY;
    setaccessors(pm);
    if (arr) {
        pm->value.arr = arr;
        pm->alen = arrlen(arr);
        pm->acap = pm->alen + 1;
    } else {
        pm->value.str = str;
    }
    return pm;
}

static Patprog *subpattern(char *expr)
{
    char *p = dupstring(expr);
    tokenize(p);
    remnulargs(p);
    return patcompile(p, 0, nullptr);
}

// Pattern flags on an associative array: the element, or an arena result.
static void hashsubscript(Value *v, char *expr, SubFlags &f)
{
    Param *hp = v->param;
    HashTable *ht = hp->getter.hfn(hp);
    char **keys = ht ? paramvalarr(ht, SCAN_WANTKEYS) : qhnew<char *>(1);
    if (!ht)
        keys[0] = nullptr;
    Patprog *prog = f.keymatch ? nullptr : subpattern(expr);
    LinkList *hits = newlinklist();
    bool many = f.keymatch ? f.many : f.down;
    Param *first = nullptr;
    for (char **k = keys; *k; k++) {
        Param *e = static_cast<Param *>(ht->getnode(ht, *k));
        if (!e)
            continue;
        Value ev{};
        ev.param = e;
        ev.end = -1;
        bool hit;
        if (f.keymatch) {
            Patprog *kp = subpattern(*k);
            hit = kp && pattry(kp, expr);
        } else {
            hit = prog && pattry(prog, getstrvalue(&ev));
        }
        if (!hit)
            continue;
        if (!first)
            first = e;
        addlinknode(hits, f.ind ? *k : getstrvalue(&ev));
        if (!many)
            break;
    }
    v->arrmode = 0;
    v->start = 0;
    v->end = -1;
    if (many) {
        int n = countlinknodes(hits);
        char **a = qhnew<char *>(size_t(n) + 1), **p = a;
        for (LinkNode *nd = firstnode(hits); nd; incnode(nd))
            *p++ = static_cast<char *>(getdata(nd));
        *p = nullptr;
        v->param = arenaresult(hp, nullptr, a);
        v->arrmode = SCAN_ARRONLY;
    } else if (first && !f.ind) {
        v->param = first;
    } else {
        v->param = arenaresult(hp, first ? static_cast<char *>(getdata(firstnode(hits))) : dupstring(""), nullptr);
    }
}

static bool outoflimit(int64_t r, int64_t user)
{
    if (r > ARRAY_INDEX_LIMIT) {
        qerr("subscript too %s: %d", "big", long(user));
        return true;
    }
    if (r < -ARRAY_INDEX_LIMIT) {
        qerr("subscript too %s: %d", "small", long(user));
        return true;
    }
    return false;
}

// One subscript expression at *str; a2 is set for the end of a range.
static SubResult readsubscript(char **sptr, Value *v, int a2)
{
    SubResult res{SUB_NUMBER, 0, 0, false, false};
    char *s = *sptr;
    Param *pm = v->param;
    bool ishash = PF_TYPE(pm->flags) == PF_HASHED;
    SubFlags f{};
    f.num = 1;
    if (*s == '(' || static_cast<unsigned char>(*s) == TK_LPAREN) {
        SubFlags g = f;
        if (char *r = parsesubflags(s, &g, ishash)) {
            f = g;
            s = r;
        }
    }
    char *t = s;
    int depth = 0;
    for (; *t; t++) {
        if (*t == '\\' && t[1]) {
            t++;
            continue;
        }
        if (*t == '[' || *t == '(')
            depth++;
        else if ((*t == ']' || *t == ')') && depth)
            depth--;
        else if (!depth && (*t == ']' || (!ishash && *t == ',')))
            break;
    }
    *sptr = t;
    char *expr = dupstrpfx(s, size_t(t - s));
    // A subscript still in tokens carries its quotes: expanded as a word,
    // "$k" is the value of k and '$k' the text.
    if (has_token(expr)) {
        singsub(&expr);
    } else if (strchr(expr, '$') || strchr(expr, '`')) {
        char *x = dupstring(expr);
        if (!parsestr(&x)) {
            singsub(&x);
            expr = x;
        }
    }
    if (ishash) {
        res.kind = SUB_DONE;
        if (f.rev || f.keymatch) {
            hashsubscript(v, expr, f);
            return res;
        }
        remnulargs(expr);
        untokenize(expr);
        HashTable *ht = pm->getter.hfn(pm);
        if (!ht) {
            ht = newparamtable(17, pm->nam);
            pm->setter.hfn(pm, ht);
        }
        HashTable *saved = paramtab;
        paramtab = ht;
        Param *e = createparam(expr, PF_SCALAR | PF_UNSET);
        if (!e)
            e = static_cast<Param *>(ht->getnode(ht, expr));
        paramtab = saved;
        v->param = e ? e : arenaresult(pm, dupstring(""), nullptr);
        v->arrmode = 0;
        v->start = 0;
        v->end = -1;
        return res;
    }
    bool isarr = PF_TYPE(pm->flags) == PF_ARRAY;
    res.inv = f.ind;
    res.rev = f.rev;
    if (!f.rev) {
        remnulargs(expr);
        untokenize(expr);
        int64_t r = mathevali(expr);
        int64_t user = r;
        if (isset(KSHARRAYS) && r >= 0)
            r++;
        if (outoflimit(r, user))
            return res;
        if (f.word && !isarr) {
            Value whole = *v;
            whole.start = 0;
            whole.end = -1;
            WordRange *w;
            int n = splitwords(getstrvalue(&whole), f.sep, &w);
            int64_t k = r < 0 ? r + n : r - 1;
            if (k < 0 || k >= n) {
                int len = qtrlen(getstrvalue(&whole));
                res.val = len + 1;
                res.we = len + 1;
            } else {
                res.val = w[k].start + 1;
                res.we = w[k].end;
            }
            return res;
        }
        res.val = r;
        return res;
    }
    // Reverse subscripts: the expression is a pattern.
    int64_t num = f.num;
    bool down = f.down;
    if (num < 0) {
        down = !down;
        num = -num;
    }
    if (isarr || (f.word && !isarr)) {
        char **ta;
        WordRange *w = nullptr;
        Value whole = *v;
        whole.start = 0;
        whole.end = -1;
        whole.arrmode = 0;
        const char *str = nullptr;
        int len;
        if (isarr) {
            ta = pm->getter.afn(pm);
            len = arrlen(ta);
        } else {
            str = getstrvalue(&whole);
            len = splitwords(str, f.sep, &w);
            ta = qhnew<char *>(size_t(len) + 1);
            for (int i = 0; i < len; i++)
                ta[i] = chardup(str, w[i].start, w[i].end);
            ta[len] = nullptr;
        }
        Patprog *prog = subpattern(expr);
        int64_t beg = f.beg;
        if (beg < 0)
            beg += len;
        int64_t found = -1;
        if (prog) {
            if (down) {
                for (int64_t k = f.hasbeg ? beg : len - 1; k >= 0 && k < len; k--)
                    if (pattry(prog, ta[k]) && !--num) {
                        found = k;
                        break;
                    }
            } else {
                for (int64_t k = f.hasbeg ? (beg < 0 ? 0 : beg) : 0; k < len; k++)
                    if (pattry(prog, ta[k]) && !--num) {
                        found = k;
                        break;
                    }
            }
        }
        if (found < 0) {
            // Nothing matched: an index request says where it stopped; a
            // value request yields nothing rather than some element.
            res.val = (f.ind && down) ? 0 : len + 1;
            if (!isarr && !f.ind) {
                int slen = qtrlen(str);
                res.val = slen + 1;
                res.we = slen + 1;
            }
            return res;
        }
        if (isarr || f.ind) {
            res.val = found + 1;
        } else {
            res.val = w[found].start + 1;
            res.we = w[found].end;
        }
        return res;
    }
    // A plain scalar is scanned position by position.
    Value whole = *v;
    whole.start = 0;
    whole.end = -1;
    whole.arrmode = 0;
    char *str = getstrvalue(&whole);
    int len = qtrlen(str);
    char *pat = dupstring(expr);
    tokenize(pat);
    remnulargs(pat);
    size_t pl = strlen(pat);
    static const char star[2] = {static_cast<char>(TK_STAR), 0};
    if (!a2) {
        bool endsstar = pl && (static_cast<unsigned char>(pat[pl - 1]) == TK_STAR) &&
                        !(pl > 1 && pat[pl - 2] == '\\');
        if (!endsstar)
            pat = dyncat(pat, star);
    } else {
        pat = dyncat(star, pat);
    }
    Patprog *prog = patcompile(pat, 0, nullptr);
    int64_t beg = f.beg;
    if (beg < 0)
        beg += len;
    if (beg < 0)
        beg = 0;
    int64_t found = -1;
    if (prog) {
        if (!a2) {
            if (down) {
                for (int64_t p = f.hasbeg ? beg : len - 1; p >= 0; p--)
                    if (pattry(prog, str + charoffset(str, int(p))) && !--num) {
                        found = p + 1;
                        break;
                    }
            } else {
                for (int64_t p = f.hasbeg ? beg : 0; p < len; p++)
                    if (pattry(prog, str + charoffset(str, int(p))) && !--num) {
                        found = p + 1;
                        break;
                    }
            }
        } else {
            if (down) {
                for (int64_t p = len; p >= (f.hasbeg ? beg : 0) + 1; p--)
                    if (pattry(prog, chardup(str, 0, int(p))) && !--num) {
                        found = p;
                        break;
                    }
            } else {
                for (int64_t p = (f.hasbeg ? beg : 0) + 1; p <= len; p++)
                    if (pattry(prog, chardup(str, 0, int(p))) && !--num) {
                        found = p;
                        break;
                    }
            }
        }
    }
    if (found < 0)
        res.val = (f.ind && down) ? 0 : len + 1;
    else
        res.val = found;
    return res;
}

int getindex(char **pptr, Value *v, int)
{
    char *open = *pptr;
    char *tbrack = const_cast<char *>(matchbracket(open));
    if (!tbrack) {
        qerr("invalid subscript", nullptr, 0);
        *pptr = open + strlen(open);
        return 1;
    }
    *open = '[';
    for (char *t = open + 1; t < tbrack; t++) {
        if (inull(static_cast<unsigned char>(*t))) {
            if (t + 1 < tbrack)
                t++;
            continue;
        }
        if (itok(static_cast<unsigned char>(*t)))
            *t = tokchar(static_cast<unsigned char>(*t));
    }
    *tbrack = ']';
    char *s = open + 1;
    if ((*s == '*' || *s == '@') && s + 1 == tbrack) {
        Param *pm = v->param;
        if (*s == '@' && (v->arrmode || !pm->nam || !*pm->nam || (pm->flags & PF_UNSET)))
            v->arrmode |= SCAN_ISVAR_AT;
        v->start = 0;
        v->end = -1;
        *pptr = tbrack + 1;
        return 0;
    }
    int saverr = errflag;
    SubResult a = readsubscript(&s, v, 0);
    if (errflag && !saverr) {
        *pptr = tbrack + 1;
        return 1;
    }
    if (a.kind == SUB_DONE) {
        *pptr = s == tbrack ? tbrack + 1 : open;
        return 0;
    }
    if (a.inv) {
        int64_t start = a.val;
        if (start > 0 && isset(KSHARRAYS))
            start--;
        if (*s == ',') {
            qerr("invalid subscript", nullptr, 0);
            *pptr = tbrack + 1;
            return 1;
        }
        v->arrmode = 0;
        v->wantindex = 1;
        v->start = int(start);
        v->end = int(start + 1);
        *pptr = s == tbrack ? tbrack + 1 : open;
        return 0;
    }
    int64_t start = a.val, end;
    bool com = false;
    if (*s == ',') {
        com = true;
        s++;
        SubResult b = readsubscript(&s, v, 1);
        if (errflag && !saverr) {
            *pptr = tbrack + 1;
            return 1;
        }
        end = b.val;
    } else {
        end = a.we ? a.we : start;
    }
    if (start != end)
        com = true;
    if (start > 0)
        start--;
    else if (start == 0 && end == 0)
        end = 1;
    if (s != tbrack) {
        *pptr = open;
        return 0;
    }
    if (v->arrmode && !com)
        v->arrmode = 0;
    v->start = int(start);
    v->end = int(end);
    *pptr = tbrack + 1;
    return 0;
}

// ---- reading ----

// Justification and case conversion of a scalar-like value on output.
static char *formatted(Param *pm, char *s)
{
    int fl = pm->flags;
    if ((fl & (PF_LEFT | PF_RIGHT_B | PF_RIGHT_Z)) && pm->aux > 0) {
        int w = pm->aux;
        if (fl & PF_LEFT) {
            while (iblank(*s))
                s++;
            // With Z the leading zeros go too, all but a last one.
            if (fl & PF_RIGHT_Z)
                while (*s == '0' && s[1])
                    s++;
            int len = mbstrlen(s);
            if (len >= w)
                s = fielddup(s, 0, w);
            else {
                char *r = static_cast<char *>(qhalloc(strlen(s) + size_t(w - len) + 1));
                strcpy(r, s);
                memset(r + strlen(s), ' ', size_t(w - len));
                r[strlen(s) + size_t(w - len)] = '\0';
                s = r;
            }
        } else {
            if (fl & PF_RIGHT_Z)
                while (iblank(*s))
                    s++;
            // Zeros pad a number only, signed or not.
            const char *d = (*s == '-' || *s == '+') ? s + 1 : s;
            char pad = (fl & PF_RIGHT_Z) && idigit(*d) ? '0' : ' ';
            int len = mbstrlen(s);
            if (len >= w)
                s = fielddup(s, len - w, len);
            else {
                size_t n = size_t(w - len);
                char *r = static_cast<char *>(qhalloc(strlen(s) + n + 1));
                char *p = r;
                // Zeros go after a sign so a number keeps its value.
                if (pad == '0' && (*s == '-' || *s == '+'))
                    *p++ = *s++;
                memset(p, pad, n);
                strcpy(p + n, s);
                s = r;
            }
        }
    }
    if ((fl & (PF_LOWER | PF_UPPER)) && mbchars) {
        s = casemodify(s, (fl & PF_LOWER) ? CASMOD_LOWER : CASMOD_UPPER);
    } else if (fl & (PF_LOWER | PF_UPPER)) {
        s = dupstring(s);
        for (char *p = s; *p; p++) {
            if (*p == static_cast<char>(METACHAR) && p[1]) {
                p++;
                continue;
            }
            *p = static_cast<char>((fl & PF_LOWER) ? tulower(static_cast<unsigned char>(*p))
                                                    : tuupper(static_cast<unsigned char>(*p)));
        }
    }
    return s;
}

// The index in ss, the elements of v's array, of the one element v names;
// -1 past either end.  An ordinary array knows its length: a[i] in a loop
// must not count the elements every time.
static int elementindex(Value *v, char **ss)
{
    Param *pm = v->param;
    int len = !ss ? 0 : PF_TYPE(pm->flags) == PF_ARRAY && ss == pm->value.arr ? paramarrlen(pm) : arrlen(ss);
    int idx = v->start < 0 ? v->start + len : v->start;
    return idx >= 0 && idx < len ? idx : -1;
}

bool elementheld(Value *v)
{
    if (v->arrmode || v->wantindex || PF_TYPE(v->param->flags) != PF_ARRAY)
        return true;
    return elementindex(v, getvaluearr(v)) >= 0;
}

char *getstrvalue(Value *v)
{
    if (!v || !v->param)
        return dupstring("");
    if (v->wantindex) {
        char buf[24];
        snprintf(buf, sizeof buf, "%d", v->start);
        return dupstring(buf);
    }
    Param *pm = v->param;
    char *s;
    char buf[80];
    switch (PF_TYPE(pm->flags)) {
    case PF_HASHED:
        if (!v->arrmode && emulating(EMULATE_KSH)) {
            HashTable *ht = pm->getter.hfn(pm);
            Param *e = ht ? static_cast<Param *>(ht->getnode(ht, "0")) : nullptr;
            if (!e || (e->flags & PF_UNSET))
                return dupstring("");
            Value ev{};
            ev.param = e;
            ev.end = -1;
            return getstrvalue(&ev);
        }
        [[fallthrough]];
    case PF_ARRAY: {
        char **ss = getvaluearr(v);
        if (v->arrmode) {
            // A slice of the array joined with blanks.
            char **sl = getarrvalue(v);
            return qjoin(sl, ' ', 1);
        }
        int idx = elementindex(v, ss);
        return idx < 0 ? dupstring("") : ss[idx];
    }
    case PF_INTEGER:
        s = dupstring(convbase(buf, pm->getter.ifn(pm), pm->aux));
        break;
    case PF_EFLOAT:
    case PF_FFLOAT:
        s = convfloat(pm->getter.ffn(pm), pm->aux, pm->flags, nullptr);
        break;
    default:
        s = pm->getter.cfn(pm);
        break;
    }
    s = formatted(pm, s);
    if (v->start == 0 && v->end == -1)
        return s;
    int len = qtrlen(s);
    int start = v->start, end = v->end;
    if (start < 0) {
        start += len;
        if (start < 0)
            start = 0;
    }
    if (start > len)
        return dupstring("");
    if (end < 0) {
        end += len + 1;
        if (end < 0)
            end = 0;
    } else if (end > len) {
        end = len;
    }
    if (end <= start)
        return dupstring("");
    return chardup(s, start, end);
}

char **getarrvalue(Value *v)
{
    if (!v || !v->param || !v->param->nam || !*v->param->nam || (v->param->flags & PF_UNSET)) {
        char **r = qhnew<char *>(1);
        *r = nullptr;
        return r;
    }
    if (v->wantindex) {
        char **r = qhnew<char *>(2);
        r[0] = getstrvalue(v);
        r[1] = nullptr;
        return r;
    }
    char **s = getvaluearr(v);
    if (!s) {
        char **r = qhnew<char *>(2);
        r[0] = getstrvalue(v);
        r[1] = nullptr;
        return r;
    }
    int len = arrlen(s);
    int start = v->start, end = v->end;
    if (start < 0) {
        start += len;
        if (start < 0)
            start = 0;
    }
    if (end < 0) {
        end += len + 1;
        if (end < 0)
            end = 0;
    }
    if (start > len)
        start = len;
    if (end > len)
        end = len;
    if (end < start)
        end = start;
    char **r = qhnew<char *>(size_t(end - start) + 1);
    for (int i = start; i < end; i++)
        r[i - start] = s[i];
    r[end - start] = nullptr;
    return r;
}

int arrvaluelen(Value *v)
{
    if (!v || !v->param)
        return 0;
    Param *pm = v->param;
    if (v->arrmode && PF_TYPE(pm->flags) == PF_ARRAY && v->start == 0 && v->end == -1)
        return paramarrlen(pm);
    if (v->arrmode && PF_TYPE(pm->flags) == PF_HASHED && v->start == 0 && v->end == -1)
        return pm->getter.hfn(pm) ? scancountparams(pm->getter.hfn(pm), SCAN_WANTVALS) : 0;
    return arrlen(getarrvalue(v));
}

int64_t getintvalue(Value *v)
{
    if (!v || !v->param || v->arrmode)
        return 0;
    if (v->wantindex)
        return v->start;
    Param *pm = v->param;
    switch (PF_TYPE(pm->flags)) {
    case PF_INTEGER:
        if (v->start == 0 && v->end == -1)
            return pm->getter.ifn(pm);
        break;
    case PF_EFLOAT:
    case PF_FFLOAT:
        if (v->start == 0 && v->end == -1)
            return int64_t(pm->getter.ffn(pm));
        break;
    }
    return mathevali(getstrvalue(v));
}

mnumber getnumvalue(Value *v)
{
    if (!v || !v->param || v->arrmode)
        return mnint(0);
    if (v->wantindex)
        return mnint(v->start);
    Param *pm = v->param;
    switch (PF_TYPE(pm->flags)) {
    case PF_INTEGER:
        if (v->start == 0 && v->end == -1)
            return mnint(pm->getter.ifn(pm));
        break;
    case PF_EFLOAT:
    case PF_FFLOAT:
        if (v->start == 0 && v->end == -1)
            return mnfloat(pm->getter.ffn(pm));
        break;
    }
    return matheval(getstrvalue(v));
}

// ---- writing ----

static bool refused(Param *pm)
{
    if (pm->flags & PF_READONLY) {
        qerr("read-only variable: %s", pm->nam, 0);
        return true;
    }
    if ((pm->flags & PF_RESTRICTED) && isset(RESTRICTED)) {
        qerr("%s: restricted", pm->nam, 0);
        return true;
    }
    return false;
}

static void exportafterset(Param *pm)
{
    if (PF_TYPE(pm->flags) & (PF_ARRAY | PF_HASHED))
        return;
    if (pm->tiedname)
        return;
    if (pm->envstr || (pm->flags & PF_EXPORTED) || (isset(ALLEXPORT) && !(pm->flags & PF_HASHELEM)))
        export_param(pm);
}

void setstrvalue(Value *v, char *val)
{
    Param *pm = v->param;
    if (refused(pm)) {
        qsfree(val);
        return;
    }
    if (PF_TYPE(pm->flags) == PF_HASHED) {
        qerr("%s: attempt to set slice of associative array", pm->nam, 0);
        qsfree(val);
        return;
    }
    pm->flags &= ~PF_UNSET;
    switch (PF_TYPE(pm->flags)) {
    case PF_SCALAR:
        if (v->start == 0 && v->end == -1) {
            pm->setter.cfn(pm, val);
            if ((pm->flags & (PF_LEFT | PF_RIGHT_B | PF_RIGHT_Z)) && !pm->aux && val)
                pm->aux = mbstrlen(val);
        } else {
            char *z = pm->getter.cfn(pm);
            int zlen = qtrlen(z);
            int start = v->start, end = v->end;
            if (v->wantindex && !isset(KSHARRAYS)) {
                start--;
                end--;
            }
            if (start < 0) {
                start += zlen;
                if (start < 0)
                    start = 0;
            }
            if (start > zlen)
                start = zlen;
            if (end < 0) {
                end += zlen + 1;
                if (end < 0)
                    end = 0;
            } else if (end > zlen) {
                end = zlen;
            }
            if (end < start)
                end = start;
            int a = charoffset(z, start), b = charoffset(z, end);
            size_t vl = strlen(val), zl = strlen(z);
            char *x = static_cast<char *>(qalloc(size_t(a) + vl + (zl - size_t(b)) + 1));
            memcpy(x, z, size_t(a));
            memcpy(x + a, val, vl);
            strcpy(x + a + vl, z + b);
            qsfree(val);
            pm->setter.cfn(pm, x);
        }
        break;
    case PF_INTEGER:
        if (val) {
            int saverr = errflag;
            int64_t x = mathevali(val);
            qsfree(val);
            if (errflag && !saverr)
                return;
            pm->setter.ifn(pm, x);
            if (!pm->aux && lastbase != -1)
                pm->aux = lastbase;
        }
        break;
    case PF_EFLOAT:
    case PF_FFLOAT:
        if (val) {
            int saverr = errflag;
            mnumber n = matheval(val);
            qsfree(val);
            if (errflag && !saverr)
                return;
            pm->setter.ffn(pm, n.type == MN_FLOAT ? n.u.d : double(n.u.l));
        }
        break;
    case PF_ARRAY: {
        char **ss = qnew<char *>(2);
        ss[0] = val ? val : qtrdup("");
        ss[1] = nullptr;
        setarrvalue(v, ss);
        return;
    }
    }
    exportafterset(pm);
}

void setnumvalue(Value *v, mnumber val)
{
    Param *pm = v->param;
    if (refused(pm))
        return;
    char buf[80];
    switch (PF_TYPE(pm->flags)) {
    case PF_SCALAR:
    case PF_ARRAY: {
        const char *s;
        // The radix asked for with [#n] belongs to the expression being
        // evaluated, not to later assignments made outside arithmetic.
        int radix = inmatheval() ? outputradix : 0;
        if (val.type == MN_INTEGER || radix)
            s = convbase(buf, val.type == MN_INTEGER ? val.u.l : float2int(val.u.d), radix ? radix : 10);
        else
            s = convfloat(val.u.d, 0, 0, nullptr);
        setstrvalue(v, qtrdup(s));
        return;
    }
    case PF_INTEGER:
        pm->flags &= ~PF_UNSET;
        pm->setter.ifn(pm, val.type == MN_INTEGER ? val.u.l : float2int(val.u.d));
        break;
    case PF_EFLOAT:
    case PF_FFLOAT:
        pm->flags &= ~PF_UNSET;
        pm->setter.ffn(pm, val.type == MN_INTEGER ? double(val.u.l) : val.u.d);
        break;
    default:
        qerr("%s: attempt to set slice of associative array", pm->nam, 0);
        return;
    }
    exportafterset(pm);
}

// Key/value pairs into an associative array (augment: add to it).
static void arrhashsetfn(Param *pm, char **val, int augment)
{
    int n = arrlen(val);
    if (n & 1) {
        qerr("bad set of key/value pairs for associative array", nullptr, 0);
        freearray(val);
        return;
    }
    HashTable *ht = augment ? pm->getter.hfn(pm) : nullptr;
    bool fresh = !ht;
    if (!ht)
        ht = newparamtable(17, pm->nam);
    HashTable *saved = paramtab;
    paramtab = ht;
    for (char **p = val; *p; p += 2) {
        Param *e = createparam(p[0], PF_SCALAR | PF_UNSET);
        if (!e)
            e = static_cast<Param *>(ht->getnode(ht, p[0]));
        if (e) {
            Value ev{};
            ev.param = e;
            ev.end = -1;
            setstrvalue(&ev, p[1]);
        } else {
            qsfree(p[1]);
        }
        qsfree(p[0]);
    }
    paramtab = saved;
    qfree(val);
    pm->flags &= ~PF_UNSET;
    if (fresh)
        pm->setter.hfn(pm, ht);
}

void setarrvalue(Value *v, char **val)
{
    Param *pm = v->param;
    if (refused(pm)) {
        freearray(val);
        return;
    }
    int t = PF_TYPE(pm->flags);
    if (!(t & (PF_ARRAY | PF_HASHED))) {
        qerr("%s: attempt to assign array value to non-array", pm->nam, 0);
        freearray(val);
        return;
    }
    if (v->start == 0 && v->end == -1) {
        if (t == PF_HASHED)
            arrhashsetfn(pm, val, 0);
        else {
            pm->flags &= ~PF_UNSET;
            pm->setter.afn(pm, val);
        }
        return;
    }
    if (t == PF_HASHED && v->start == -1 && v->end == 0) {
        arrhashsetfn(pm, val, 1);
        return;
    }
    if (t == PF_HASHED) {
        qerr("%s: attempt to set slice of associative array", pm->nam, 0);
        freearray(val);
        return;
    }
    int start = v->start, end = v->end;
    if (v->wantindex && !isset(KSHARRAYS)) {
        if (start > 0)
            start--;
        end--;
    }
    if (end < start)
        end = start;
    int n = paramarrlen(pm);
    if (start < 0) {
        start += n;
        if (start < 0)
            start = 0;
    }
    if (end < 0) {
        end += n + 1;
        if (end < 0)
            end = 0;
    }
    pm->flags &= ~PF_UNSET;
    int nv = arrlen(val);
    // Ordinary arrays are changed in place when the slice is one element
    // or lies at the end or past it: no copy of the whole array per append
    // (a[i]=x with i past the end fills the gap with empty elements).
    if (stdarray(pm) && !(pm->flags & PF_UNIQUE) && (end >= n || (end == start + 1 && nv == 1))) {
        if (start > n) {
            arrreserve(pm, start - n);
            for (int i = n; i < start; i++)
                pm->value.arr[i] = qtrdup("");
            pm->alen = n = start;
        }
        if (end >= n) {
            for (int i = start; i < n; i++)
                qsfree(pm->value.arr[i]);
            pm->alen = start;
            if (pm->value.arr)
                pm->value.arr[start] = nullptr;
            arrreserve(pm, nv);
            memcpy(pm->value.arr + start, val, sizeof(char *) * size_t(nv));
            pm->alen = start + nv;
            pm->value.arr[pm->alen] = nullptr;
        } else {
            qsfree(pm->value.arr[start]);
            pm->value.arr[start] = val[0];
        }
        qfree(val);
        if (pm->tiedname && !(pm->flags & PF_HASHELEM))
            arrfixenv(pm->tiedname, pm->value.arr);
        return;
    }
    char **old = pm->getter.afn(pm);
    int ll = start + nv + (end < n ? n - end : 0);
    char **nw = qnew<char *>(size_t(ll) + 1), **p = nw;
    for (int i = 0; i < start; i++)
        *p++ = qtrdup(i < n ? old[i] : "");
    for (char **r = val; *r; r++)
        *p++ = *r;
    for (int i = end; i < n; i++)
        *p++ = qtrdup(old[i]);
    *p = nullptr;
    qfree(val);
    pm->setter.afn(pm, nw);
}

// ---- by name ----

char *getsparam(const char *name)
{
    if (!paramtab) {
        // Before the table exists start-up reads the environment.
        char *e = qgetenv(name);
        return e ? metafy(e, -1, META_HEAPDUP) : nullptr;
    }
    char *s = dupstring(name);
    Value vbuf;
    Value *v = getvalue(&vbuf, &s, 0);
    return v ? getstrvalue(v) : nullptr;
}

char **getaparam(const char *name)
{
    char *s = dupstring(name);
    Value vbuf;
    Value *v = getvalue(&vbuf, &s, 0);
    if (v && PF_TYPE(v->param->flags) == PF_ARRAY)
        return v->param->getter.afn(v->param);
    return nullptr;
}

static char **hashpart(const char *name, int flags)
{
    char *s = dupstring(name);
    Value vbuf;
    Value *v = getvalue(&vbuf, &s, 0);
    if (v && PF_TYPE(v->param->flags) == PF_HASHED)
        return paramvalarr(v->param->getter.hfn(v->param), flags);
    return nullptr;
}

char **gethparam(const char *name) { return hashpart(name, SCAN_WANTVALS); }
char **gethkparam(const char *name) { return hashpart(name, SCAN_WANTKEYS); }

int64_t getiparam(const char *name)
{
    char *s = dupstring(name);
    Value vbuf;
    Value *v = getvalue(&vbuf, &s, 1);
    return v ? getintvalue(v) : 0;
}

mnumber getnparam(const char *name)
{
    // The commonest operand of arithmetic is a plain name holding a number:
    // read it without copying the name or building a value.
    const char *e = name;
    if (!idigit(static_cast<unsigned char>(*e)))
        while (iident(*e))
            e++;
    if (e != name && !*e) {
        Param *pm = static_cast<Param *>(paramtab->getnode(paramtab, name));
        if (!pm || (pm->flags & PF_UNSET))
            return mnint(0);
        switch (PF_TYPE(pm->flags)) {
        case PF_INTEGER:
            return mnint(pm->getter.ifn(pm));
        case PF_EFLOAT:
        case PF_FFLOAT:
            return mnfloat(pm->getter.ffn(pm));
        case PF_SCALAR:
            return matheval(formatted(pm, pm->getter.cfn(pm)));
        }
    }
    char *s = dupstring(name);
    Value vbuf;
    Value *v = getvalue(&vbuf, &s, 1);
    return v ? getnumvalue(v) : mnint(0);
}

Param *assignsparam(const char *name, char *val, int augment)
{
    if (!isident(name)) {
        qerr("not an identifier: %s", name, 0);
        qsfree(val);
        errflag = 1;
        return nullptr;
    }
    SignalGuard sg;
    char *t = dupstring(name), *s = t;
    Value vbuf, *v;
    char *ss = strchr(t, '[');
    if (!ss)
        ss = strchr(t, static_cast<char>(TK_LBRACK));
    if (ss) {
        char sv = *ss;
        *ss = '\0';
        if (!(v = getvalue(&vbuf, &s, 1)))
            createparam(t, PF_ARRAY);
        else if (v->param->flags & PF_READONLY) {
            qerr("read-only variable: %s", v->param->nam, 0);
            *ss = sv;
            qsfree(val);
            return nullptr;
        }
        *ss = sv;
        v = nullptr;
    } else {
        if (!(v = getvalue(&vbuf, &s, 1))) {
            createparam(t, PF_SCALAR);
        } else if ((((v->param->flags & PF_ARRAY) && !augment) || (v->param->flags & PF_HASHED)) &&
                   !(v->param->flags & (PF_SPECIAL | PF_TIED)) && unset(KSHARRAYS)) {
            if (unsetparam_pm(v->param, 0, 1)) {
                qsfree(val);
                return nullptr;
            }
            createparam(t, PF_SCALAR);
            v = nullptr;
        }
    }
    s = t;
    if (!v && !(v = getvalue(&vbuf, &s, 1))) {
        qsfree(val);
        return nullptr;
    }
    if (errflag) {
        qsfree(val);
        return nullptr;
    }
    if (augment) {
        int type = PF_TYPE(v->param->flags);
        if (v->start == 0 && v->end == -1) {
            switch (type) {
            case PF_SCALAR:
                if (scalarappend(v->param, val, strlen(val))) {
                    qsfree(val);
                    return v->param;
                }
                v->start = INT_MAX;
                break;
            case PF_INTEGER:
            case PF_EFLOAT:
            case PF_FFLOAT: {
                int saverr = errflag;
                mnumber rhs = matheval(val);
                qsfree(val);
                if (errflag && !saverr)
                    return nullptr;
                mnumber lhs = getnumvalue(v);
                if (lhs.type == MN_FLOAT)
                    lhs.u.d += rhs.type == MN_FLOAT ? rhs.u.d : double(rhs.u.l);
                else
                    lhs.u.l += rhs.type == MN_INTEGER ? rhs.u.l : float2int(rhs.u.d);
                setnumvalue(v, lhs);
                return v->param;
            }
            case PF_ARRAY:
                if (unset(KSHARRAYS)) {
                    v->start = paramarrlen(v->param);
                    v->end = v->start + 1;
                } else {
                    v->end = 1;
                    goto kshappend;
                }
                break;
            }
        } else {
            switch (type) {
            case PF_SCALAR:
                if (v->end > 0)
                    v->start = v->end;
                else
                    v->start = v->end = qtrlen(v->param->getter.cfn(v->param)) + v->end + 1;
                break;
            case PF_INTEGER:
            case PF_EFLOAT:
            case PF_FFLOAT:
                qerr("attempt to add to slice of a numeric variable", nullptr, 0);
                qsfree(val);
                return nullptr;
            case PF_ARRAY:
            kshappend: {
                // The element the subscript names, counted from the start.
                int sstart = v->start;
                if (sstart < 0 && sstart + paramarrlen(v->param) >= 0)
                    sstart += paramarrlen(v->param);
                v->start = sstart;
                v->end = sstart + 1;
                v->arrmode = 0;
                char *var = getstrvalue(v);
                v->start = sstart;
                v->end = sstart + 1;
                char *nval = static_cast<char *>(qalloc(strlen(var) + strlen(val) + 1));
                strcpy(nval, var);
                strcat(nval, val);
                qsfree(val);
                val = nval;
                break;
            }
            }
        }
    }
    setstrvalue(v, val);
    return v->param;
}

Param *assignaparam(const char *name, char **val, int augment)
{
    if (!isident(name)) {
        qerr("not an identifier: %s", name, 0);
        freearray(val);
        errflag = 1;
        return nullptr;
    }
    SignalGuard sg;
    char *t = dupstring(name), *s = t;
    Value vbuf, *v;
    char *ss = strchr(t, '[');
    if (ss) {
        *ss = '\0';
        if (!(v = getvalue(&vbuf, &s, 1)))
            createparam(t, PF_ARRAY);
        else if (v->param->flags & PF_READONLY) {
            qerr("read-only variable: %s", v->param->nam, 0);
            *ss = '[';
            freearray(val);
            return nullptr;
        }
        *ss = '[';
        if (v && PF_TYPE(v->param->flags) == PF_HASHED) {
            qerr("%s: attempt to set slice of associative array", v->param->nam, 0);
            freearray(val);
            errflag = 1;
            return nullptr;
        }
        v = nullptr;
    } else {
        if (!(v = fetchvalue(&vbuf, &s, 1, SCAN_ASSIGNING))) {
            createparam(t, PF_ARRAY);
        } else if (!(PF_TYPE(v->param->flags) & (PF_ARRAY | PF_HASHED)) &&
                   !(v->param->flags & (PF_SPECIAL | PF_TIED))) {
            int uniq = v->param->flags & PF_UNIQUE;
            if (augment) {
                int lv = arrlen(val);
                char **nw = qnew<char *>(size_t(lv) + 2);
                nw[0] = qtrdup(getstrvalue(v));
                memcpy(nw + 1, val, sizeof(char *) * (size_t(lv) + 1));
                qfree(val);
                val = nw;
            }
            if (unsetparam_pm(v->param, 0, 1)) {
                freearray(val);
                return nullptr;
            }
            createparam(t, PF_ARRAY | uniq);
            v = nullptr;
        }
    }
    s = t;
    if (!v && !(v = fetchvalue(&vbuf, &s, 1, SCAN_ASSIGNING))) {
        freearray(val);
        return nullptr;
    }
    if (errflag) {
        freearray(val);
        return nullptr;
    }
    if (augment && v->param) {
        if (v->start == 0 && v->end == -1) {
            if (PF_TYPE(v->param->flags) & PF_ARRAY) {
                v->start = paramarrlen(v->param);
                v->end = v->start + 1;
            } else if (PF_TYPE(v->param->flags) & PF_HASHED) {
                v->start = -1;
                v->end = 0;
            }
        } else if (PF_TYPE(v->param->flags) & PF_ARRAY) {
            // a[i]+=(...) inserts after element i.
            if (v->end < 0)
                v->end += paramarrlen(v->param) + 1;
            v->start = v->end;
            v->wantindex = 0;
        }
    }
    setarrvalue(v, val);
    return v->param;
}

Param *sethparam(const char *name, char **kvarr)
{
    if (!isident(name)) {
        qerr("not an identifier: %s", name, 0);
        freearray(kvarr);
        errflag = 1;
        return nullptr;
    }
    if (strchr(name, '[') || paramtab != realparamtab) {
        freearray(kvarr);
        qerr("nested associative arrays not yet supported", nullptr, 0);
        errflag = 1;
        return nullptr;
    }
    SignalGuard sg;
    char *t = dupstring(name), *s = t;
    Value vbuf, *v;
    if (!(v = fetchvalue(&vbuf, &s, 1, SCAN_ASSIGNING))) {
        createparam(t, PF_HASHED);
    } else if (!(PF_TYPE(v->param->flags) & PF_HASHED) && !(v->param->flags & PF_SPECIAL)) {
        if (unsetparam_pm(v->param, 0, 1)) {
            freearray(kvarr);
            return nullptr;
        }
        createparam(t, PF_HASHED);
        v = nullptr;
    }
    s = t;
    if (!v && !(v = fetchvalue(&vbuf, &s, 1, SCAN_ASSIGNING))) {
        freearray(kvarr);
        return nullptr;
    }
    setarrvalue(v, kvarr);
    return v->param;
}

Param *setnparam(const char *name, mnumber val)
{
    if (!isident(name)) {
        qerr("not an identifier: %s", name, 0);
        errflag = 1;
        return nullptr;
    }
    SignalGuard sg;
    char *t = dupstring(name), *s = t;
    Value vbuf, *v;
    if (!(v = getvalue(&vbuf, &s, 1))) {
        if (errflag)
            return nullptr;
        char *ss = strchr(t, '[');
        if (ss)
            *ss = '\0';
        Param *pm = createparam(t, ss ? PF_ARRAY : val.type == MN_INTEGER ? PF_INTEGER : PF_FFLOAT);
        if (!pm)
            pm = static_cast<Param *>(paramtab->getnode(paramtab, t));
        if (ss)
            *ss = '[';
        else if (pm && val.type == MN_INTEGER && inmatheval())
            pm->aux = outputradix;
        s = t;
        if (!(v = getvalue(&vbuf, &s, 1)))
            return nullptr;
    }
    setnumvalue(v, val);
    return v->param;
}

Param *setiparam(const char *name, int64_t val) { return setnparam(name, mnint(val)); }
