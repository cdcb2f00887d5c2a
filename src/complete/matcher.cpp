// Matchers (the -M rules): their parser, the matching that compares the
// word on the line with a candidate under the stack of matcher rules, and
// the pieces from which the text common to all matches is built.
#include "complete/complete.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

Cmatcher pcm_errrec;

}  // namespace

Cmatcher *const pcm_err = &pcm_errrec;
Cmlist *mstack;
char *compqstack;

// ---- parsing ----

namespace {

// A line or anchor pattern ends only at the delimiter its form expects;
// a word pattern (delim 0) at a blank.
bool patend(const char *s, char delim) { return !*s || (delim ? *s == delim : inblank(static_cast<unsigned char>(*s))); }

// One character of a class, a backslash taking the next literally.
unsigned char classchar(const char *&s)
{
    if (*s == '\\' && s[1])
        s++;
    return metachar(s);
}

// The pattern at *sp up to its end (see patend); null for an empty one.
// *ok is false after a warning.
Cpattern *parsepat(const char *name, const char *&s, char delim, int *lenp, bool *ok)
{
    Cpattern *head = nullptr, **tail = &head;
    int n = 0;
    *ok = true;
    while (!patend(s, delim)) {
        Cpattern *p = hcnew<Cpattern>();
        unsigned char c = static_cast<unsigned char>(*s);
        if (c == '[' || c == '{') {
            bool equiv = c == '{';
            char close = equiv ? '}' : ']';
            bool neg = false;
            s++;
            if (!equiv && (*s == '!' || *s == '^')) {
                neg = true;
                s++;
            }
            int pos = 0;
            // A closing bracket first is a member, as in file patterns.
            for (bool first = true; *s && (first || *s != close); first = false) {
                unsigned char lo = classchar(s), hi = lo;
                if (*s == '-' && s[1] && s[1] != close) {
                    s++;
                    hi = classchar(s);
                }
                for (int k = lo; k <= hi; k++) {
                    if (!equiv) {
                        p->tab[k] = 1;
                        continue;
                    }
                    // Positions past 255 share the last one: the table is bytes.
                    if (pos < 255)
                        pos++;
                    if (!p->tab[k])
                        p->tab[k] = static_cast<unsigned char>(pos);
                }
            }
            if (*s != close) {
                qwarnnam(name, "unterminated character class", nullptr, 0);
                *ok = false;
                return nullptr;
            }
            s++;
            if (neg)
                for (unsigned char &t : p->tab)
                    t = !t;
            p->equiv = equiv;
        } else if (c == '?') {
            memset(p->tab, 1, sizeof p->tab);
            s++;
        } else if (c == '*' || c == '(' || c == ')' || c == '=') {
            qwarnnam(name, "invalid pattern character `%c'", nullptr, c);
            *ok = false;
            return nullptr;
        } else {
            if (c == '\\' && s[1])
                s++;
            p->tab[metachar(s)] = 1;
        }
        *tail = p;
        tail = &p->next;
        n++;
    }
    *lenp = n;
    return head;
}

Cmatcher *pcmfail(const char *name, const char *msg)
{
    qwarnnam(name, msg, nullptr, 0);
    return pcm_err;
}

}  // namespace

Cmatcher *parse_cmatcher(const char *name, const char *s)
{
    Cmatcher *head = nullptr, **tail = &head;
    if (!s)
        return nullptr;
    for (;;) {
        while (*s && inblank(static_cast<unsigned char>(*s)))
            s++;
        if (!*s)
            break;
        int fl;
        switch (*s) {
        case 'm': fl = 0; break;
        case 'M': fl = CMF_LINE; break;
        case 'l': fl = CMF_LEFT; break;
        case 'L': fl = CMF_LEFT | CMF_LINE; break;
        case 'r': fl = CMF_RIGHT; break;
        case 'R': fl = CMF_RIGHT | CMF_LINE; break;
        case 'b': fl = CMF_INTER | CMF_LEFT; break;
        case 'B': fl = CMF_INTER | CMF_LEFT | CMF_LINE; break;
        case 'e': fl = CMF_INTER | CMF_RIGHT; break;
        case 'E': fl = CMF_INTER | CMF_RIGHT | CMF_LINE; break;
        default: {
            const char *p = s;
            qwarnnam(name, "unknown matcher character `%c'", nullptr, metachar(p));
            return pcm_err;
        }
        }
        if (s[1] != ':')
            return pcmfail(name, "missing `:'");
        s += 2;
        if (!*s || inblank(static_cast<unsigned char>(*s)))
            return pcmfail(name, "missing patterns");
        Cpattern *left = nullptr, *line = nullptr, *right = nullptr, *word = nullptr;
        int lal = 0, ll = 0, ral = 0, wl = 0;
        bool ok;
        int anchors = fl & (CMF_LEFT | CMF_RIGHT | CMF_INTER);
        if (anchors == CMF_LEFT) {
            left = parsepat(name, s, '|', &lal, &ok);
            if (!ok)
                return pcm_err;
            if (*s != '|')
                return pcmfail(name, "missing line pattern");
            s++;
            if (*s == '|') {
                s++;
                right = parsepat(name, s, '=', &ral, &ok);
                if (!ok)
                    return pcm_err;
                if (*s != '=')
                    return pcmfail(name, "missing word pattern");
                // With both anchors an empty right one would read as none.
                if (!ral)
                    return pcmfail(name, "missing right anchor");
            } else {
                line = parsepat(name, s, '=', &ll, &ok);
                if (!ok)
                    return pcm_err;
                if (*s != '=')
                    return pcmfail(name, "missing word pattern");
            }
        } else if (anchors == CMF_RIGHT) {
            line = parsepat(name, s, '|', &ll, &ok);
            if (!ok)
                return pcm_err;
            if (*s != '|')
                return pcmfail(name, "missing right anchor");
            s++;
            right = parsepat(name, s, '=', &ral, &ok);
            if (!ok)
                return pcm_err;
            if (*s != '=')
                return pcmfail(name, "missing word pattern");
        } else {
            line = parsepat(name, s, '=', &ll, &ok);
            if (!ok)
                return pcm_err;
            if (*s != '=')
                return pcmfail(name, "missing word pattern");
        }
        s++;
        if (*s == '*' && s[1] == '*' && patend(s + 2, 0)) {
            wl = -2;
            s += 2;
        } else if (*s == '*' && patend(s + 1, 0)) {
            wl = -1;
            s++;
        } else {
            word = parsepat(name, s, 0, &wl, &ok);
            if (!ok)
                return pcm_err;
        }
        if (wl < 0 && (anchors != CMF_LEFT && anchors != CMF_RIGHT))
            return pcmfail(name, "need anchor for `*'");
        if (!ll && !wl)
            return pcmfail(name, "need non-empty word or line pattern");
        Cmatcher *m = hcnew<Cmatcher>();
        m->flags = fl;
        m->line = line;
        m->llen = ll;
        m->word = word;
        m->wlen = wl;
        m->left = left;
        m->lalen = lal;
        m->right = right;
        m->ralen = ral;
        *tail = m;
        tail = &m->next;
    }
    return head;
}

namespace {

int patcount(Cpattern *p)
{
    int n = 0;
    for (; p; p = p->next)
        n++;
    return n;
}

Cpattern *patcopy(Cpattern *p, Cpattern *&pool)
{
    Cpattern *head = nullptr, **tail = &head;
    for (; p; p = p->next) {
        Cpattern *n = pool++;
        memcpy(n->tab, p->tab, sizeof n->tab);
        n->equiv = p->equiv;
        n->next = nullptr;
        *tail = n;
        tail = &n->next;
    }
    return head;
}

}  // namespace

Cmatcher *cpcmatcher(Cmatcher *m)
{
    if (!m || m == pcm_err)
        return m;
    if (m->refc > 0) {
        m->refc++;
        return m;
    }
    // Measure, then copy into one block: the list is freed in one piece.
    int nm = 0, np = 0;
    for (Cmatcher *p = m; p; p = p->next) {
        nm++;
        np += patcount(p->line) + patcount(p->word) + patcount(p->left) + patcount(p->right);
    }
    char *block = static_cast<char *>(qalloc(sizeof(Cmatcher) * size_t(nm) + sizeof(Cpattern) * size_t(np)));
    Cmatcher *recs = reinterpret_cast<Cmatcher *>(block);
    Cpattern *pool = reinterpret_cast<Cpattern *>(block + sizeof(Cmatcher) * size_t(nm));
    Cmatcher *n = recs;
    for (Cmatcher *p = m; p; p = p->next, n++) {
        *n = *p;
        n->refc = n == recs ? 1 : -1;
        n->next = p->next ? n + 1 : nullptr;
        n->line = patcopy(p->line, pool);
        n->word = patcopy(p->word, pool);
        n->left = patcopy(p->left, pool);
        n->right = patcopy(p->right, pool);
    }
    return recs;
}

void freecmatcher(Cmatcher *m)
{
    if (m && m != pcm_err && m->refc > 0 && !--m->refc)
        qfree(m);
}

bool pattern_match(Cpattern *p, const char *s, Cpattern *wp, const char *ws)
{
    if (!wp)
        ws = nullptr;
    while (p || (ws && wp)) {
        unsigned char c = 0, wc = 0;
        if (p) {
            if (!*s)
                return false;
            c = metachar(s);
            if (!p->tab[c])
                return false;
        }
        if (ws && wp) {
            if (!*ws)
                return false;
            wc = metachar(ws);
            if (!wp->tab[wc])
                return false;
            if (p && p->equiv && wp->equiv && p->tab[c] != wp->tab[wc])
                return false;
        }
        if (p)
            p = p->next;
        if (wp)
            wp = wp->next;
    }
    return true;
}

// ---- the matcher ----
//
// Matching is a search over states (line position, match position): from
// each, a direct step (equal characters), a quoting backslash skipped in
// the match, or a matcher rule that applies there.  Every step moves
// forward, and whether the rest matches depends on the state alone, so a
// state that failed once is remembered and never explored again; with
// "*" searching for anchors a plain backtracking search would otherwise
// retry the same states exponentially often.  A budget of steps bounds
// the work on one candidate besides: running out means no match.
//
// The suffix is matched from the end of the match by the same search on
// reversed texts, with the rules mirrored (a left anchor is
// then found after the text, "b" forms apply at the far end).

namespace {

constexpr long MATCHBUDGET = 1L << 21;
long matchsteps;

// A text decoded for matching: one entry per character (metafied pairs
// decoded), with the byte offset of each and the length at the end.
struct Dtext {
    std::vector<unsigned char> c;
    std::vector<int> off;
    std::vector<unsigned char> rc;  // c reversed
};

void decode(const char *s, Dtext &d, bool reversed)
{
    d.c.clear();
    d.off.clear();
    const char *p = s;
    while (*p) {
        d.off.push_back(int(p - s));
        d.c.push_back(metachar(p));
    }
    d.off.push_back(int(p - s));
    if (reversed)
        d.rc.assign(d.c.rbegin(), d.c.rend());
}

enum : int { WH_ANY, WH_START, WH_END };

// One matcher rule made ready for one direction.  Pattern elements are
// kept in their written order (offsets into the pool); near and far
// anchors are the ones before and after the text in the direction of
// matching.  An offset of -1 for an anchor: there is none.
struct Prep {
    Cmatcher *m;
    int lp, ln, wp, wn;
    int na, nan, fa, fan;
    int where;
    int star;  // 0, 1 for "*", 2 for "**"
    bool skip;
};

struct Preps {
    std::vector<Prep> v;
    std::vector<Cpattern *> pool;
};

int addpat(std::vector<Cpattern *> &pool, Cpattern *p, int *n)
{
    int at = int(pool.size());
    for (; p; p = p->next)
        pool.push_back(p);
    *n = int(pool.size()) - at;
    return at;
}

void prepare(Preps &pr, bool rev)
{
    pr.v.clear();
    pr.pool.clear();
    for (Cmlist *ml = mstack; ml; ml = ml->next)
        for (Cmatcher *m = ml->matcher; m && m != pcm_err; m = m->next) {
            Prep p{};
            p.m = m;
            p.lp = addpat(pr.pool, m->line, &p.ln);
            p.wp = addpat(pr.pool, m->word, &p.wn);
            p.star = m->wlen < 0 ? -m->wlen : 0;
            if (p.star)
                p.wn = 0;
            int left = -1, leftn = 0, right = -1, rightn = 0;
            if (m->flags & CMF_INTER) {
                bool atstart = m->flags & CMF_LEFT;
                p.where = atstart != rev ? WH_START : WH_END;
            } else {
                if (m->flags & CMF_LEFT)
                    left = addpat(pr.pool, m->left, &leftn);
                if ((m->flags & CMF_RIGHT) || ((m->flags & CMF_LEFT) && m->right))
                    right = addpat(pr.pool, m->right, &rightn);
            }
            p.na = rev ? right : left;
            p.nan = rev ? (right < 0 ? -1 : rightn) : (left < 0 ? -1 : leftn);
            p.fa = rev ? left : right;
            p.fan = rev ? (left < 0 ? -1 : leftn) : (right < 0 ? -1 : rightn);
            // Only text skipped up to a right anchor with nothing before it
            // may be shortened at its start and still be skipped.
            p.skip = !rev && p.star && !p.ln && p.fan >= 0 && p.nan < 0;
            pr.v.push_back(p);
        }
}

// Whether the elements pat[0..n) match the n characters of t at pos, read
// in written order (t is reversed when rev).
bool blockmatch(Cpattern *const *pat, int n, const unsigned char *t, int pos, bool rev)
{
    for (int i = 0; i < n; i++)
        if (!pat[i]->tab[t[rev ? pos + n - 1 - i : pos + i]])
            return false;
    return true;
}

// Failed states of one search: open addressing, emptied by a new generation.
struct Memo {
    std::vector<uint64_t> keys;
    std::vector<uint32_t> gens;
    uint32_t gen = 0;
    size_t used = 0;

    void clear()
    {
        if (++gen == 0) {
            std::fill(gens.begin(), gens.end(), 0);
            gen = 1;
        }
        used = 0;
    }
    size_t slot(uint64_t k) const
    {
        size_t mask = keys.size() - 1, i = size_t((k * 0x9E3779B97F4A7C15ull) >> 20) & mask;
        while (gens[i] == gen && keys[i] != k)
            i = (i + 1) & mask;
        return i;
    }
    bool has(uint64_t k) const { return !keys.empty() && gens[slot(k)] == gen; }
    void add(uint64_t k)
    {
        if ((used + 1) * 2 > keys.size()) {
            std::vector<uint64_t> ok;
            for (size_t i = 0; i < keys.size(); i++)
                if (gens[i] == gen)
                    ok.push_back(keys[i]);
            size_t n = keys.empty() ? 256 : keys.size() * 2;
            keys.assign(n, 0);
            gens.assign(n, 0);
            gen = 1;
            for (uint64_t o : ok) {
                size_t i = slot(o);
                keys[i] = o;
                gens[i] = gen;
            }
            used = ok.size();
        }
        size_t i = slot(k);
        if (gens[i] != gen) {
            keys[i] = k;
            gens[i] = gen;
            used++;
        }
    }
};

enum : int { MV_START, MV_DIRECT, MV_BSLASH, MV_MATCHER };

struct Frame {
    int li, wi;
    int choice;  // next move: 0 direct, 1 backslash, 2 + k rule k
    int sub;     // for a "*": the next end to try; -1 before the first
    int kind, mi;  // how this state was reached, and by which matcher
};

struct Engine {
    const unsigned char *lc = nullptr;
    int L = 0;
    const unsigned char *wc = nullptr;
    int FW = 0, R = 0;  // the whole match, and how much of it may be used
    bool rev = false;
    bool lineend = true;  // the end of the line is the end of the word
    const Preps *pr = nullptr;
    bool (*accept)(void *, int) = nullptr;
    void *actx = nullptr;
    bool part = false;

    std::vector<Frame> st, best;
    Memo memo;
    int bestli = 0;

    Cpattern *const *pat(int at) const { return pr->pool.data() + at; }

    // Line pattern, near anchor and start condition at (li, wi).
    bool applies(const Prep &p, int li, int wi) const
    {
        if (li + p.ln > L)
            return false;
        if (p.where == WH_START && (li || wi))
            return false;
        if (!blockmatch(pat(p.lp), p.ln, lc, li, rev))
            return false;
        if (p.nan == 0)
            return wi == 0;
        if (p.nan > 0)
            return wi >= p.nan && blockmatch(pat(p.na), p.nan, wc, wi - p.nan, rev);
        return true;
    }

    bool farok(const Prep &p, int we) const
    {
        if (p.fan == 0)
            return we == FW;
        if (p.fan > 0)
            return we + p.fan <= FW && blockmatch(pat(p.fa), p.fan, wc, we, rev);
        return true;
    }

    // Word pattern, equivalences, far anchor and end condition.
    bool wordok(const Prep &p, int li, int wi, int we) const
    {
        if (p.where == WH_END && (li + p.ln != L || !lineend || we != FW))
            return false;
        if (!blockmatch(pat(p.wp), p.wn, wc, wi, rev))
            return false;
        Cpattern *const *lp = pat(p.lp), *const *wp = pat(p.wp);
        for (int i = 0; i < p.ln && i < p.wn; i++)
            if (lp[i]->equiv && wp[i]->equiv) {
                unsigned char a = lc[rev ? li + p.ln - 1 - i : li + i];
                unsigned char b = wc[rev ? wi + p.wn - 1 - i : wi + i];
                if (lp[i]->tab[a] != wp[i]->tab[b])
                    return false;
            }
        return farok(p, we);
    }

    // The next end of a "*" from f.sub on, or -1.
    int nextend(const Prep &p, Frame &f)
    {
        for (;;) {
            int e = f.sub;
            if (e > R || --matchsteps < 0)
                return -1;
            if (p.fan == 0) {
                if (FW > R || FW < e)
                    return -1;
                e = FW;
                f.sub = R + 1;
            } else if (p.fan > 0) {
                if (e + p.fan > FW)
                    return -1;
                if (!blockmatch(pat(p.fa), p.fan, wc, e, rev)) {
                    f.sub = e + 1;
                    continue;
                }
                if (e == f.wi && !p.ln && p.star == 2) {
                    f.sub = e + 1;
                    continue;
                }
                // "*" stops at the first anchor, "**" may go past it.  With
                // nothing else to match, going past is hopping from anchor
                // to anchor, each hop a state of its own: trying only the
                // next anchor keeps the states few.
                f.sub = p.star == 1 || (!p.ln && p.nan < 0) ? R + 1 : e + 1;
            } else {
                if (p.star == 1 && p.nan > 0 && e - p.nan >= f.wi && blockmatch(pat(p.na), p.nan, wc, e - p.nan, rev))
                    return -1;
                f.sub = e + 1;
            }
            if (p.ln + e - f.wi == 0)
                continue;
            return e;
        }
    }

    bool nextmove(Frame &f, int &nli, int &nwi, int &kind, int &mi)
    {
        for (;;) {
            if (--matchsteps < 0)
                return false;
            if (f.choice == 0) {
                f.choice = 1;
                if (f.li < L && f.wi < R && lc[f.li] == wc[f.wi]) {
                    nli = f.li + 1;
                    nwi = f.wi + 1;
                    kind = MV_DIRECT;
                    return true;
                }
                continue;
            }
            if (f.choice == 1) {
                f.choice = 2;
                f.sub = -1;
                // A backslash the quoting put into the match before a
                // character the line has plain.
                if (f.li < L && f.wi + 1 < R) {
                    int b = rev ? f.wi + 1 : f.wi, c = rev ? f.wi : f.wi + 1;
                    if (wc[b] == '\\' && wc[c] == lc[f.li]) {
                        nli = f.li + 1;
                        nwi = f.wi + 2;
                        kind = MV_BSLASH;
                        return true;
                    }
                }
                continue;
            }
            int k = f.choice - 2;
            if (k >= int(pr->v.size()))
                return false;
            const Prep &p = pr->v[size_t(k)];
            if (f.sub == -1) {
                if (!applies(p, f.li, f.wi)) {
                    f.choice++;
                    continue;
                }
                if (!p.star) {
                    f.choice++;
                    int we = f.wi + p.wn;
                    if (we > R || !wordok(p, f.li, f.wi, we))
                        continue;
                    nli = f.li + p.ln;
                    nwi = we;
                    kind = MV_MATCHER;
                    mi = k;
                    return true;
                }
                f.sub = f.wi;
            }
            int e = nextend(p, f);
            if (e < 0) {
                if (matchsteps < 0)
                    return false;
                f.choice++;
                f.sub = -1;
                continue;
            }
            nli = f.li + p.ln;
            nwi = e;
            kind = MV_MATCHER;
            mi = k;
            return true;
        }
    }

    static uint64_t key(int li, int wi) { return uint64_t(uint32_t(li)) << 32 | uint32_t(wi); }

    // 1 when the line is matched (st holds the way), 0 when not (best the
    // way that got furthest, with part), -1 when the steps ran out.
    int run()
    {
        st.clear();
        best.clear();
        memo.clear();
        bestli = 0;
        st.push_back({0, 0, 0, -1, MV_START, -1});
        if (part)
            best = st;
        while (!st.empty()) {
            Frame &f = st.back();
            if (f.li == L && f.choice == 0) {
                // Using more of the match for nothing cannot help the suffix.
                if (!accept || accept(actx, f.wi))
                    return 1;
                if (matchsteps < 0)
                    return -1;
                memo.add(key(f.li, f.wi));
                st.pop_back();
                continue;
            }
            int nli = 0, nwi = 0, kind = 0, mi = -1;
            if (!nextmove(f, nli, nwi, kind, mi)) {
                if (matchsteps < 0)
                    return -1;
                memo.add(key(f.li, f.wi));
                st.pop_back();
                continue;
            }
            if (memo.has(key(nli, nwi)))
                continue;
            st.push_back({nli, nwi, 0, -1, kind, mi});
            if (part && nli > bestli) {
                bestli = nli;
                best = st;
            }
        }
        return 0;
    }
};

Engine fwdeng, bwdeng;
Preps fwdpreps, bwdpreps;
Dtext linetext, sfxtext, wordtext;

struct Step {
    int kind, mi;
    int l0, l1, w0, w1;  // byte offsets in the line and the match
};

// The steps of a way through the states, left to right, as byte ranges.
void pathsteps(const std::vector<Frame> &path, const Dtext &ld, const Dtext &wd, bool rev, std::vector<Step> &out)
{
    out.clear();
    int nl = int(ld.c.size()), nw = int(wd.c.size());
    for (size_t i = 1; i < path.size(); i++) {
        const Frame &a = path[i - 1], &b = path[i];
        Step s{b.kind, b.mi, 0, 0, 0, 0};
        if (rev) {
            s.l0 = ld.off[size_t(nl - b.li)];
            s.l1 = ld.off[size_t(nl - a.li)];
            s.w0 = wd.off[size_t(nw - b.wi)];
            s.w1 = wd.off[size_t(nw - a.wi)];
        } else {
            s.l0 = ld.off[size_t(a.li)];
            s.l1 = ld.off[size_t(b.li)];
            s.w0 = wd.off[size_t(a.wi)];
            s.w1 = wd.off[size_t(b.wi)];
        }
        out.push_back(s);
    }
    if (rev)
        std::reverse(out.begin(), out.end());
}

// Pieces for the steps: runs of direct steps become one piece.
Cline *makepieces(const std::vector<Step> &steps, const char *line, const char *word, const Preps &pr, int extra)
{
    Cline *head = nullptr, **tail = &head, *last = nullptr;
    bool lastdirect = false;
    int lastmi = -1;
    for (const Step &s : steps) {
        int ll = s.l1 - s.l0, wl = s.w1 - s.w0;
        if (s.kind == MV_DIRECT && lastdirect && last->line + last->llen == line + s.l0 &&
            last->word + last->wlen == word + s.w0) {
            last->llen += ll;
            last->wlen += wl;
            last->olen += wl;
            last->min = last->max = last->wlen;
            continue;
        }
        if (s.kind == MV_MATCHER && lastmi == s.mi && !ll && !last->llen && last->word + last->wlen == word + s.w0) {
            last->wlen += wl;
            last->olen += wl;
            last->min = last->max = last->wlen;
            continue;
        }
        int fl = extra;
        if (s.kind == MV_MATCHER) {
            const Prep &p = pr.v[size_t(s.mi)];
            fl |= CLF_MATCHED;
            if (p.m->flags & CMF_LINE)
                fl |= CLF_LINE;
            if (p.skip && !ll)
                fl |= CLF_SKIP;
        }
        last = get_cline(line + s.l0, ll, word + s.w0, wl, word + s.w0, wl, fl);
        lastdirect = s.kind == MV_DIRECT;
        lastmi = s.kind == MV_MATCHER ? s.mi : -1;
        *tail = last;
        tail = &last->next;
    }
    return head;
}

std::vector<Step> steps;

void setline(Engine &e, const Dtext &d, bool rev)
{
    e.lc = rev ? d.rc.data() : d.c.data();
    e.L = int(d.c.size());
    e.rev = rev;
}

void setword(Engine &e, const Dtext &d, bool rev)
{
    e.wc = rev ? d.rc.data() : d.c.data();
    e.FW = e.R = int(d.c.size());
}

struct Sfxcheck {
    int used;  // characters of the match the suffix took from its end
};

bool sfxaccept(void *ctx, int wi)
{
    bwdeng.R = bwdeng.FW - wi;
    if (bwdeng.run() != 1)
        return false;
    static_cast<Sfxcheck *>(ctx)->used = bwdeng.st.back().wi;
    return true;
}

char *quoteword(const char *w, int qu)
{
    if (qu == 1)
        return dupstring(w);
    int mode = QT_BACKSLASH;
    if (compqstack && *compqstack == '\'')
        mode = QT_SINGLE;
    else if (compqstack && *compqstack == '"')
        mode = QT_DOUBLE;
    char *q = bslashquote(w, nullptr, mode);
    if (qu == 2 && *w == '~' && q[0] == '\\' && q[1] == '~')
        q++;
    return q;
}

}  // namespace

int match_str(const char *l, const char *w, int sfx, int test, int part, Cline **clp, int *wused)
{
    if (clp)
        *clp = nullptr;
    if (wused)
        *wused = 0;
    bool rev = sfx != 0;
    Engine &e = fwdeng;
    decode(l, linetext, rev);
    decode(w, wordtext, rev);
    prepare(fwdpreps, rev);
    setline(e, linetext, rev);
    setword(e, wordtext, rev);
    e.lineend = true;
    e.pr = &fwdpreps;
    e.accept = nullptr;
    e.part = part != 0;
    matchsteps = MATCHBUDGET;
    int r = e.run();
    if (r < 0 || (r == 0 && !part))
        return -1;
    const std::vector<Frame> &path = r == 1 ? e.st : e.best;
    int li = path.back().li, wi = path.back().wi;
    int nl = int(linetext.c.size()), nw = int(wordtext.c.size());
    int lbytes = rev ? linetext.off[size_t(nl)] - linetext.off[size_t(nl - li)] : linetext.off[size_t(li)];
    if (wused)
        *wused = rev ? wordtext.off[size_t(nw)] - wordtext.off[size_t(nw - wi)] : wordtext.off[size_t(wi)];
    if (!test && clp) {
        pathsteps(path, linetext, wordtext, rev, steps);
        *clp = makepieces(steps, l, w, fwdpreps, rev ? CLF_SUF : 0);
    }
    return lbytes;
}

char *comp_match(const char *pfx, const char *sfx, const char *w, Patprog *cp, Cline **clp, int qu, int *exact)
{
    if (clp)
        *clp = nullptr;
    if (exact)
        *exact = 0;
    if (!pfx)
        pfx = "";
    if (!sfx)
        sfx = "";
    size_t pl = strlen(pfx), sl = strlen(sfx);
    char *qw = quoteword(w, qu);
    size_t ql = strlen(qw);
    bool isexact = ql == pl + sl && !strncmp(qw, pfx, pl) && !strcmp(qw + pl, sfx);
    if (cp) {
        if (!pattry(cp, w))
            return nullptr;
        if (clp) {
            char *ln = dyncat(pfx, sfx);
            *clp = get_cline(ln, int(pl + sl), qw, int(ql), qw, int(ql), 0);
        }
        if (exact)
            *exact = isexact;
        return qw;
    }
    matchsteps = MATCHBUDGET;
    decode(pfx, linetext, false);
    decode(qw, wordtext, *sfx != 0);
    prepare(fwdpreps, false);
    setline(fwdeng, linetext, false);
    setword(fwdeng, wordtext, false);
    fwdeng.lineend = !*sfx;
    fwdeng.pr = &fwdpreps;
    fwdeng.part = false;
    Sfxcheck sc{0};
    if (*sfx) {
        decode(sfx, sfxtext, true);
        prepare(bwdpreps, true);
        setline(bwdeng, sfxtext, true);
        setword(bwdeng, wordtext, true);
        bwdeng.lineend = !*pfx;
        bwdeng.pr = &bwdpreps;
        bwdeng.accept = nullptr;
        bwdeng.part = false;
        fwdeng.accept = sfxaccept;
        fwdeng.actx = &sc;
    } else {
        fwdeng.accept = nullptr;
    }
    if (fwdeng.run() != 1)
        return nullptr;
    if (clp) {
        int nw = int(wordtext.c.size());
        int pend = wordtext.off[size_t(fwdeng.st.back().wi)];
        int sbeg = wordtext.off[size_t(nw - sc.used)];
        pathsteps(fwdeng.st, linetext, wordtext, false, steps);
        Cline *pre = makepieces(steps, pfx, qw, fwdpreps, 0);
        Cline *mid = get_cline(sfx, 0, qw + pend, sbeg - pend, qw + pend, sbeg - pend, CLF_MID);
        Cline *suf = nullptr;
        if (*sfx) {
            pathsteps(bwdeng.st, sfxtext, wordtext, true, steps);
            suf = makepieces(steps, sfx, qw, bwdpreps, CLF_SUF);
        }
        mid->next = suf;
        if (pre) {
            Cline *t = pre;
            while (t->next)
                t = t->next;
            t->next = mid;
            *clp = pre;
        } else {
            *clp = mid;
        }
    }
    if (exact)
        *exact = isexact;
    return qw;
}

// ---- pieces ----

namespace {

Cline *freecl;
char emptytext[] = "";

}  // namespace

Cline *get_cline(const char *l, int ll, const char *w, int wl, const char *o, int ol, int fl)
{
    Cline *r = freecl;
    if (r)
        freecl = r->next;
    else
        r = qnew<Cline>();
    r->next = nullptr;
    r->flags = fl;
    r->line = const_cast<char *>(l ? l : emptytext);
    r->llen = ll;
    r->word = const_cast<char *>(w ? w : emptytext);
    r->wlen = wl;
    r->orig = const_cast<char *>(o ? o : emptytext);
    r->olen = ol;
    r->slen = 0;
    r->prefix = r->suffix = nullptr;
    r->min = r->max = wl;
    return r;
}

void free_cline(Cline *l)
{
    while (l) {
        Cline *n = l->next;
        free_cline(l->prefix);
        free_cline(l->suffix);
        l->next = freecl;
        freecl = l;
        l = n;
    }
}

Cline *cp_cline(Cline *l, int deep)
{
    Cline *head = nullptr, **tail = &head;
    for (; l; l = l->next) {
        Cline *n = get_cline(l->line, l->llen, l->word, l->wlen, l->orig, l->olen, l->flags);
        n->slen = l->slen;
        n->min = l->min;
        n->max = l->max;
        if (deep) {
            n->prefix = cp_cline(l->prefix, 1);
            n->suffix = cp_cline(l->suffix, 1);
        }
        *tail = n;
        tail = &n->next;
    }
    return head;
}

Cline *revert_cline(Cline *p)
{
    Cline *r = nullptr;
    while (p) {
        Cline *n = p->next;
        p->next = r;
        r = p;
        p = n;
    }
    return r;
}

void cline_setlens(Cline *l, int both)
{
    for (; l; l = l->next) {
        l->min = l->max = l->wlen;
        if (both) {
            cline_setlens(l->prefix, 1);
            cline_setlens(l->suffix, 1);
        }
    }
}

void cline_matched(Cline *p)
{
    for (; p; p = p->next) {
        p->flags |= CLF_MATCHED;
        cline_matched(p->prefix);
        cline_matched(p->suffix);
    }
}

int cline_sublen(Cline *l)
{
    int n = 0;
    for (; l; l = l->next)
        n += l->wlen + cline_sublen(l->prefix) + cline_sublen(l->suffix);
    return n;
}

// ---- joining the pieces of matches ----
//
// The pieces of every match cover the same line, so two lists are lined
// up by line offsets.  They are cut where both may be cut: between
// pieces, and inside a piece whose text is the line's own (as direct
// matching left it); text matched through a matcher rule stays whole.
// Between two cuts the lists agree or the piece is marked as differing;
// at each cut the text the matches have where nothing was typed is
// compared, keeping the beginning and end all of them share.

namespace {

struct Item {
    Cline *c;
    int off;
};

bool splittable(const Cline *c)
{
    return !(c->flags & (CLF_DIFF | CLF_LINE)) && c->llen > 0 && c->llen == c->wlen &&
           !memcmp(c->line, c->word, size_t(c->llen));
}

int mkitems(Cline *l, std::vector<Item> &v)
{
    v.clear();
    int off = 0;
    for (; l; l = l->next) {
        v.push_back({l, off});
        off += l->llen;
    }
    return off;
}

int charbytes(const char *p, const char *e) { return *p == char(METACHAR) && p + 1 < e ? 2 : 1; }

unsigned char charat(const char *p, const char *e)
{
    return charbytes(p, e) == 2 ? static_cast<unsigned char>(p[1] ^ 32) : static_cast<unsigned char>(*p);
}

void mkcuts(const std::vector<Item> &v, int total, std::vector<char> &ok)
{
    ok.assign(size_t(total) + 1, 0);
    ok[0] = ok[size_t(total)] = 1;
    for (const Item &it : v) {
        ok[size_t(it.off)] = 1;
        ok[size_t(it.off + it.c->llen)] = 1;
        if (splittable(it.c))
            for (const char *p = it.c->line, *e = p + it.c->llen; p < e;) {
                p += charbytes(p, e);
                ok[size_t(it.off + (p - it.c->line))] = 1;
            }
    }
}

// Text gathered from pieces: a pointer while they lie end to end, else a copy.
struct Textacc {
    const char *p = nullptr;
    int n = 0;
    bool own = false;
    std::string s;

    void add(const char *t, int k)
    {
        if (k <= 0)
            return;
        if (!own && (!p || p + n == t)) {
            if (!p)
                p = t;
            n += k;
            return;
        }
        if (!own) {
            own = true;
            s.assign(p, size_t(n));
        }
        s.append(t, size_t(k));
    }
    int len() const { return own ? int(s.size()) : n; }
    const char *data() const { return own ? s.data() : p ? p : emptytext; }
    char *keep() const { return own ? dupstrpfx(s.data(), s.size()) : const_cast<char *>(p ? p : emptytext); }
};

bool sametext(const Textacc &a, const Textacc &b)
{
    return a.len() == b.len() && !memcmp(a.data(), b.data(), size_t(a.len()));
}

// What one list has at a cut (gap) or between two cuts (span).
struct Part {
    Textacc text, line, pref, suf;
    int flags = 0;
    int nitems = 0;
    bool diff = false;
    int min = 0, max = 0;
    bool skip = true;
};

struct Walk {
    const std::vector<Item> *v;
    size_t i = 0;
    int cur = 0;
};

void gap(Walk &w, int c, Part &p)
{
    const std::vector<Item> &v = *w.v;
    std::vector<Cline *> its;
    while (w.i < v.size() && v[w.i].c->llen == 0 && v[w.i].off == c)
        its.push_back(v[w.i++].c);
    p.nitems = int(its.size());
    bool prefdone = false;
    for (Cline *c2 : its) {
        p.flags |= c2->flags;
        if (c2->flags & CLF_DIFF) {
            p.diff = true;
            if (!prefdone)
                p.pref.add(c2->word, c2->wlen);
            prefdone = true;
            p.min += c2->min;
            p.max += c2->max;
        } else {
            p.text.add(c2->word, c2->wlen);
            if (!prefdone)
                p.pref.add(c2->word, c2->wlen);
            p.min += c2->wlen;
            p.max += c2->wlen;
        }
    }
    // The shared end, gathered back to front.
    std::string tail;
    for (size_t k = its.size(); k-- > 0;) {
        Cline *c2 = its[k];
        if (c2->flags & CLF_DIFF) {
            tail.insert(0, c2->orig, size_t(c2->olen));
            break;
        }
        tail.insert(0, c2->word, size_t(c2->wlen));
    }
    if (its.size() == 1)
        p.suf.add(its[0]->flags & CLF_DIFF ? its[0]->orig : its[0]->word,
                  its[0]->flags & CLF_DIFF ? its[0]->olen : its[0]->wlen);
    else if (!tail.empty())
        p.suf.add(dupstrpfx(tail.data(), tail.size()), int(tail.size()));
    p.skip = its.empty() || (its.size() == 1 && (its[0]->flags & CLF_SKIP));
}

void span(Walk &w, int c1, Part &p)
{
    const std::vector<Item> &v = *w.v;
    while (w.i < v.size()) {
        const Item &it = v[w.i];
        Cline *c = it.c;
        if (c->llen == 0) {
            if (it.off >= c1)
                break;
            p.text.add(c->word, c->wlen);
            p.flags |= c->flags;
            p.diff |= (c->flags & CLF_DIFF) != 0;
            p.min += c->flags & CLF_DIFF ? c->min : c->wlen;
            p.max += c->flags & CLF_DIFF ? c->max : c->wlen;
            w.i++;
            continue;
        }
        if (w.cur >= c1)
            break;
        int from = w.cur - it.off, to = std::min(c1, it.off + c->llen) - it.off;
        p.nitems++;
        p.flags |= c->flags;
        p.line.add(c->line + from, to - from);
        if (from == 0 && to == c->llen) {
            p.text.add(c->word, c->wlen);
            p.diff |= (c->flags & CLF_DIFF) != 0;
            p.min += c->flags & CLF_DIFF ? c->min : c->wlen;
            p.max += c->flags & CLF_DIFF ? c->max : c->wlen;
        } else {
            // Only pieces whose text is the line's are cut inside.
            p.text.add(c->word + from, to - from);
            p.min += to - from;
            p.max += to - from;
        }
        w.cur = it.off + to;
        if (to == c->llen)
            w.i++;
    }
    w.cur = std::max(w.cur, c1);
}

bool contbyte(unsigned char c) { return (c & 0xC0) == 0x80; }

// Bytes at the start of a and b that agree, ending between characters
// (neither a metafied pair nor a multibyte character is cut).
int commonpfx(const char *a, int na, const char *b, int nb)
{
    const char *ea = a + na, *eb = b + nb;
    int i = 0, safe = 0;
    while (i < na && i < nb) {
        int k = charbytes(a + i, ea);
        if (k != charbytes(b + i, eb) || i + k > nb || memcmp(a + i, b + i, size_t(k)))
            break;
        i += k;
        if ((i == na || !contbyte(charat(a + i, ea))) && (i == nb || !contbyte(charat(b + i, eb))))
            safe = i;
    }
    return safe;
}

// The same at the end; starts of characters of s.
void charstarts(const char *s, int n, std::vector<int> &v)
{
    v.clear();
    for (int i = 0; i < n;) {
        v.push_back(i);
        i += charbytes(s + i, s + n);
    }
}

int commonsfx(const char *a, int na, const char *b, int nb, int limit)
{
    static std::vector<int> sa, sb;
    charstarts(a, na, sa);
    charstarts(b, nb, sb);
    size_t ia = sa.size(), ib = sb.size();
    int best = 0;
    for (; ia > 0 && ib > 0; ia--, ib--) {
        int pa = sa[ia - 1], pb = sb[ib - 1];
        int k = na - best - pa;
        if (k != nb - best - pb || best + k > limit || memcmp(a + pa, b + pb, size_t(k)))
            break;
        best += k;
    }
    // Do not begin inside a multibyte character.
    while (best > 0 && contbyte(charat(a + na - best, a + na)))
        best -= charbytes(a + na - best, a + na);
    return best;
}

Cline *addseg(Cline **&tail, Cline *c)
{
    *tail = c;
    tail = &c->next;
    return c;
}

}  // namespace

Cline *join_clines(Cline *o, Cline *n)
{
    if (!o)
        return n;
    if (!n)
        return o;
    static std::vector<Item> va, vb;
    static std::vector<char> oka, okb;
    int ta = mkitems(o, va), tb = mkitems(n, vb);
    mkcuts(va, ta, oka);
    mkcuts(vb, tb, okb);
    std::vector<int> cuts;
    int common = std::min(ta, tb);
    for (int c = 0; c <= common; c++)
        if (oka[size_t(c)] && okb[size_t(c)])
            cuts.push_back(c);
    // Lists that do not cover the same line meet only at the start.
    if (ta != tb)
        cuts.push_back(std::max(ta, tb));
    Walk wa{&va}, wb{&vb};
    Cline *head = nullptr, **tail = &head;
    for (size_t k = 0; k < cuts.size(); k++) {
        int c = cuts[k];
        {
            Part a, b;
            gap(wa, c, a);
            gap(wb, c, b);
            int mid = (a.flags | b.flags) & CLF_MID;
            int suf = (a.flags | b.flags) & CLF_SUF;
            if (!a.diff && !b.diff && sametext(a.text, b.text)) {
                if (a.text.len() || mid) {
                    char *t = a.text.keep();
                    addseg(tail, get_cline(nullptr, 0, t, a.text.len(), t, a.text.len(),
                                           mid | suf | CLF_JOIN | (a.skip && b.skip ? CLF_SKIP : 0)));
                }
            } else {
                int lo = std::min(a.min, b.min), hi = std::max(a.max, b.max);
                int cp = commonpfx(a.pref.data(), a.pref.len(), b.pref.data(), b.pref.len());
                int cs = commonsfx(a.suf.data(), a.suf.len(), b.suf.data(), b.suf.len(), std::max(0, lo - cp));
                Cline *g = get_cline(nullptr, 0, a.pref.keep(), cp, nullptr, 0,
                                     CLF_DIFF | CLF_JOIN | mid | suf | (a.skip && b.skip ? CLF_SKIP : 0) |
                                         (lo == 0 && hi > 0 ? CLF_MISS : 0));
                g->orig = a.suf.keep() + (a.suf.len() - cs);
                g->olen = cs;
                g->min = lo;
                g->max = hi;
                addseg(tail, g);
            }
        }
        if (k + 1 == cuts.size())
            break;
        int c1 = cuts[k + 1];
        Part a, b;
        span(wa, c1, a);
        span(wb, c1, b);
        int keep = (a.flags | b.flags) & (CLF_LINE | CLF_SUF | CLF_MATCHED);
        char *line = a.line.len() ? a.line.keep() : b.line.keep();
        int ll = a.line.len() ? a.line.len() : b.line.len();
        char *t = a.text.keep();
        if (!a.diff && !b.diff && sametext(a.text, b.text)) {
            addseg(tail, get_cline(line, ll, t, a.text.len(), t, a.text.len(), keep | CLF_JOIN));
        } else {
            int lo = std::min(a.min, b.min), hi = std::max(a.max, b.max);
            Cline *s = get_cline(line, ll, t, a.text.len(), t, a.text.len(),
                                 keep | CLF_JOIN | CLF_DIFF | (lo == 0 && hi > 0 ? CLF_MISS : 0));
            s->min = lo;
            s->max = hi;
            addseg(tail, s);
        }
    }
    free_cline(o);
    free_cline(n);
    return head;
}

namespace {

int charcount(const char *s, int n)
{
    int k = 0;
    for (int i = 0; i < n; k++)
        i += charbytes(s + i, s + n);
    return k;
}

void addpos(std::string &list, std::vector<int> &seen, int pos)
{
    if (!seen.empty() && seen.back() == pos)
        return;
    seen.push_back(pos);
    if (!list.empty())
        list += ':';
    list += std::to_string(pos);
}

}  // namespace

char *unambig_data(Cline *l, int *cp, char **pp, char **ip)
{
    std::string out, diffs, ins;
    std::vector<int> dseen, iseen;
    int chars = 0, firstdiff = 0;
    int insend = -1;  // where the last run of inserted text ended
    auto put = [&](const char *s, int n, bool inserted) {
        if (n <= 0)
            return;
        if (inserted && insend != chars)
            addpos(ins, iseen, chars + 1);
        out.append(s, size_t(n));
        chars += charcount(s, n);
        if (inserted)
            insend = chars;
    };
    auto differ = [&]() {
        if (!firstdiff)
            firstdiff = chars + 1;
        addpos(diffs, dseen, chars + 1);
    };
    for (Cline *c = l; c; c = c->next) {
        if (c->llen > 0) {
            if (c->flags & CLF_DIFF)
                differ();
            if (c->flags & (CLF_DIFF | CLF_LINE))
                put(c->line, c->llen, false);
            else
                put(c->word, c->wlen, false);
            continue;
        }
        if (!(c->flags & CLF_DIFF)) {
            put(c->word, c->wlen, true);
            continue;
        }
        // Text in the middle is free; text a "*" skipped up to a right
        // anchor may be begun; anything else the matches differ in is left out.
        if (c->flags & (CLF_MID | CLF_SKIP))
            put(c->word, c->wlen, true);
        differ();
        if (c->flags & CLF_MID) {
            bool after = false;
            for (Cline *d = c->next; d && !after; d = d->next)
                after = d->llen > 0;
            if (after)
                put(c->orig, c->olen, true);
        }
    }
    if (cp)
        *cp = firstdiff ? firstdiff : chars + 1;
    if (pp)
        *pp = dupstrpfx(diffs.data(), diffs.size());
    if (ip)
        *ip = dupstrpfx(ins.data(), ins.size());
    return dupstrpfx(out.data(), out.size());
}
