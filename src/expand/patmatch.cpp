// The pattern matcher: a backtracking interpreter of Patprog node words.
// Choice points and undo records live on one explicit stack, so the depth
// of the C++ stack depends only on how deeply exclusions nest.
#include "expand/expand.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <unordered_map>

long patstepbudget = -1;
const char *patinput;
int patoffset;
int errsfound;
int forceerrs = -1;
const char *patglobpath;
void (*patsetmatchptr)(char *match, long mbegin, long mend);
void (*patsetcapturesptr)(char **match, char **mbegin, char **mend);

namespace {

enum FrameKind : int {
    CH_BRANCH,  // resume at another branch
    CH_STAR,    // a star's next shorter candidate
    CH_HASH,    // a closure's next shorter candidate
    CH_NUM,     // a numeric range's next shorter digit run
    CH_RESUME,  // an approximate-matching repair
    CH_MEMO,    // end of the search from an approximate state
    TR_REG,     // undo: register
    TR_CAPB,    // undo: capture start
    TR_CAPE,    // undo: capture end
    TR_GFLAGS,  // undo: globbing flags
};

struct Frame {
    int kind;
    int node;
    int pos;
    int aux;
    int errs;
    uint64_t h;  // CH_MEMO: the register hash of the state
};

Frame *frames;
int nframes, framealloc;

void push(int kind, int node, int pos, int aux, int errs, uint64_t h = 0)
{
    if (nframes == framealloc) {
        framealloc = framealloc ? framealloc * 2 : 256;
        frames = static_cast<Frame *>(qrealloc(frames, size_t(framealloc) * sizeof(Frame)));
    }
    frames[nframes++] = Frame{kind, node, pos, aux, errs, h};
}

// Failed states: (node, offset, position, register hash) -> fewest errors
// with which the search from there was seen to fail.
struct MemoKey {
    uint64_t at;  // node, offset inside it, position
    uint64_t h;   // the loop and exclusion registers, hashed
    bool operator==(const MemoKey &o) const { return at == o.at && h == o.h; }
};
struct MemoHash {
    size_t operator()(const MemoKey &k) const { return size_t(k.at * 0x9e3779b97f4a7c15ull ^ k.h); }
};
constinit Deferred<std::unordered_map<MemoKey, int, MemoHash>> approxmemo;

inline uint64_t mix(uint64_t a, uint64_t b)
{
    uint64_t z = a * 0x9e3779b97f4a7c15ull + b + 0x632be59bd9b4e019ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

inline uint64_t memoat(int node, int k, int pos)
{
    return (uint64_t(node) << 40) | (uint64_t(k) << 32) | uint32_t(pos);
}

bool memofailed(uint64_t at, uint64_t h, int errs)
{
    auto it = approxmemo->find(MemoKey{at, h});
    return it != approxmemo->end() && it->second <= errs;
}

// Results of excluded branches on pieces of the string being matched:
// (node, from, to) -> matched.  Nested negations would otherwise redo
// the same sub-matches exponentially often.
constinit Deferred<std::unordered_map<uint64_t, bool>> exclmemo;

// The memos only save work: past this size they stop growing.
constexpr size_t PAT_MAXMEMO = size_t(1) << 20;

// Work bound per try, growing with the string: pathological patterns
// give up with an error rather than hang.
constexpr long PAT_BASESTEPS = 10000000L;
constexpr long PAT_STEPSPERBYTE = 64;

struct Matcher {
    const uint32_t *prog;
    const unsigned char *s;  // the string
    int end;                 // bytes that may be read
    int pflags;
    int gflags;
    int errs;
    bool atstart, atend;  // the ends of the string are real ends
    bool nodots;
    bool memook;  // failed states may be remembered
    uint64_t h;   // hash of the registers this run has set
    bool insub;
    bool toplevel;  // s is the string the caller gave
    int *regs;
    int capb[NSUBEXP + 1], cape[NSUBEXP + 1];
    long steps;
    long maxsteps;
    bool aborted;
    int bestmode;  // 0, or a PB_ search for the best end (floating only)
    int bestpos;
    bool bestempty;
};

int *regbuf;
int regalloc;

inline const char *cs(const unsigned char *s) { return reinterpret_cast<const char *>(s); }

// Characters of the string: whole multibyte characters when mbchars is
// set, else bytes with a metafied pair as one.
inline int chlen(const unsigned char *s, int p, int end) { return mbclen(cs(s) + p, cs(s) + end); }

inline int chval(const unsigned char *s, int p, int end)
{
    int l;
    return mbcval(cs(s) + p, cs(s) + end, &l);
}

// A character of pattern text (terminated) and its length.
inline int patchar(const unsigned char *ps, int *lenp) { return mbcval(cs(ps), nullptr, lenp); }

inline bool ismbwide(int c) { return mbchars && c >= 0x80 && !(c & MB_INVALID); }

inline bool islowerc(int c) { return c < 128 ? islower(c) : ismbwide(c) && (ensurelocale(), iswlower(wint_t(c))); }
inline bool isupperc(int c) { return c < 128 ? isupper(c) : ismbwide(c) && (ensurelocale(), iswupper(wint_t(c))); }

inline bool chareq(int pc, int sc, int gflags)
{
    if (pc == sc)
        return true;
    if (gflags & GFL_IGNORE_CASE)
        return mblower(pc) == mblower(sc);
    if (gflags & GFL_LOWER_MATCHES_UPPER)
        return islowerc(pc) && mbupper(pc) == sc;
    return false;
}

bool widematch(int code, wint_t c)
{
    switch (code) {
    case 0x84: return iswalpha(c);
    case 0x85: return iswalnum(c);
    case 0x87: return iswblank(c);
    case 0x88: return iswcntrl(c);
    case 0x89: return iswdigit(c);
    case 0x8a: return iswgraph(c);
    case 0x8b: return iswlower(c);
    case 0x8c: return iswprint(c);
    case 0x8d: return iswpunct(c);
    case 0x8e: return iswspace(c);
    case 0x8f: return iswupper(c);
    case 0x90: return iswxdigit(c);
    default: return false;
    }
}

bool classmatch(int code, int c)
{
    ensurelocale();
    if (c >= 0x80 && mbchars)
        return !(c & MB_INVALID) && widematch(code, wint_t(c));
    if (c >= 256)
        return false;
    switch (code) {
    case 0x84: return isalpha(c);
    case 0x85: return isalnum(c);
    case 0x86: return c < 128;
    case 0x87: return c == ' ' || c == '\t';
    case 0x88: return iscntrl(c);
    case 0x89: return isdigit(c);
    case 0x8a: return isgraph(c);
    case 0x8b: return islower(c);
    case 0x8c: return isprint(c);
    case 0x8d: return ispunct(c);
    case 0x8e: return isspace(c);
    case 0x8f: return isupper(c);
    case 0x90: return isxdigit(c);
    default: return false;
    }
}

inline int rangechar(const unsigned char *&r)
{
    int l;
    int c = patchar(r, &l);
    r += l;
    return c;
}

bool rangeraw(const unsigned char *r, int c)
{
    while (*r) {
        int b = *r;
        if (b >= PAT_CLASS_FIRST && b <= PAT_CLASS_UNKNOWN) {
            r++;
            if (classmatch(b, c))
                return true;
        } else if (b == PAT_RANGE) {
            r++;
            int lo = rangechar(r);
            int hi = rangechar(r);
            if (c >= lo && c <= hi)
                return true;
        } else if (rangechar(r) == c) {
            return true;
        }
    }
    return false;
}

bool rangematch(const unsigned char *r, int c, int gflags)
{
    if (rangeraw(r, c))
        return true;
    if (gflags & GFL_IGNORE_CASE)
        return rangeraw(r, mblower(c)) || rangeraw(r, mbupper(c));
    if ((gflags & GFL_LOWER_MATCHES_UPPER) && isupperc(c))
        return rangeraw(r, mblower(c));
    return false;
}

inline const char *opstr(const uint32_t *prog, int node)
{
    return reinterpret_cast<const char *>(prog + node + 1);
}

// One character at p for a single-character node; its byte length or 0.
int simplematch(Matcher &m, int node, int p)
{
    if (p >= m.end)
        return 0;
    const uint32_t *P = m.prog;
    int op = int(P[node] & 0xff);
    if ((op & 0x40) && p == 0 && m.nodots && m.s[0] == '.')
        return 0;
    int l;
    int c = mbcval(cs(m.s) + p, cs(m.s) + m.end, &l);
    switch (op) {
    case OP_ANY:
        return l;
    case OP_ANYOF:
        return rangematch(reinterpret_cast<const unsigned char *>(opstr(P, node)), c, m.gflags) ? l : 0;
    case OP_ANYBUT:
        return rangematch(reinterpret_cast<const unsigned char *>(opstr(P, node)), c, m.gflags) ? 0 : l;
    case OP_EXACTLY: {
        int pl;
        int pc = patchar(reinterpret_cast<const unsigned char *>(opstr(P, node)), &pl);
        return chareq(pc, c, m.gflags) ? l : 0;
    }
    default:
        return 0;
    }
}

// Characters in s[from..to).
inline int charcount(const unsigned char *s, int from, int to) { return mbcount(cs(s) + from, to - from); }

// The character boundary before q, never below lo.
inline int prevchar(const unsigned char *s, int q, int lo)
{
    int r = (q >= 2 && s[q - 2] == METACHAR) ? q - 2 : q - 1;
    if (mbchars && r > lo)
        r = int(mbprev(cs(s) + lo, cs(s) + q) - cs(s));
    return r < lo ? lo : r;
}

// The first character the node after a star or closure must start with,
// or -1 when any position may be tried.
int nextfirst(Matcher &m, int nxt)
{
    if (nxt < 0 || (m.gflags & GFL_APPROX))
        return -1;
    if ((m.prog[nxt] & 0xff) != OP_EXACTLY)
        return -1;
    int pl;
    return patchar(reinterpret_cast<const unsigned char *>(opstr(m.prog, nxt)), &pl);
}

inline bool candok(Matcher &m, int q, int fc)
{
    if (fc < 0)
        return true;
    if (q >= m.end)
        return false;
    return chareq(fc, chval(m.s, q, m.end), m.gflags);
}

// Numbers as digit strings without leading zeros: -1, 0, 1.
int numcmp(const char *a, int al, const char *b, int bl)
{
    if (al != bl)
        return al < bl ? -1 : 1;
    int c = memcmp(a, b, size_t(al));
    return c < 0 ? -1 : c > 0;
}

bool numinrange(Matcher &m, int node, int p, int len)
{
    const char *d = reinterpret_cast<const char *>(m.s + p);
    int z = 0;
    while (z < len && d[z] == '0')
        z++;
    const char *v = d + z;
    int vl = len - z;
    int op = int(m.prog[node] & 0xff);
    const char *lo = opstr(m.prog, node);
    switch (op) {
    case OP_NUMANY:
        return true;
    case OP_NUMFROM:
        return numcmp(v, vl, lo, int(strlen(lo))) >= 0;
    case OP_NUMTO:
        return numcmp(v, vl, lo, int(strlen(lo))) <= 0;
    default: {
        int ll = int(strlen(lo));
        const char *hi = lo + ll + 1;
        return numcmp(v, vl, lo, ll) >= 0 && numcmp(v, vl, hi, int(strlen(hi))) <= 0;
    }
    }
}

int nextnode(const uint32_t *P, int node)
{
    int nx = int(P[node] >> 8);
    if (!nx)
        return -1;
    return (P[node] & 0xff) == OP_BACK ? node - nx : node + nx;
}

int runprog(Matcher &m, int node, int pos);

inline uint64_t regmix(int slot, int v) { return mix(uint64_t(slot), uint64_t(uint32_t(v))); }

// Set a loop or exclusion register, undone on backtracking.
void setreg(Matcher &m, uint32_t slot, int v)
{
    push(TR_REG, int(slot), 0, m.regs[slot], 0);
    m.h += regmix(int(slot), v) - regmix(int(slot), m.regs[slot]);
    m.regs[slot] = v;
}

// Whether the excluded branch at `node` matches exactly s[from..to) (or
// the globber's path followed by it).
bool excluded(Matcher &m, int node, int from, int to, bool path)
{
    uint64_t key = 0;
    bool cache = m.toplevel && to < (1 << 20);
    if (cache) {
        key = (uint64_t(node) << 40) | (uint64_t(from) << 20) | uint64_t(to);
        auto it = exclmemo->find(key);
        if (it != exclmemo->end())
            return it->second;
    }
    Matcher sub = m;
    sub.bestmode = 0;
    sub.insub = true;
    // The sub-match has its own registers: its states are told apart from
    // the outer ones by the piece it works on.
    sub.h = mix(mix(uint64_t(node), uint64_t(from)), mix(uint64_t(to), path ? 1 : 0));
    sub.errs = 0;
    sub.nodots = false;
    int start = from;
    if (path && patglobpath) {
        size_t pl = strlen(patglobpath);
        unsigned char *buf = static_cast<unsigned char *>(qhalloc(pl + size_t(to - from) + 1));
        memcpy(buf, patglobpath, pl);
        memcpy(buf + pl, m.s + from, size_t(to - from));
        buf[pl + size_t(to - from)] = 0;
        sub.s = buf;
        sub.toplevel = false;
        start = 0;
        sub.end = int(pl) + (to - from);
        sub.atstart = !(m.pflags & PC_NOT_AT_START);
    } else {
        sub.end = to;
        sub.atstart = m.atstart && from == 0;
    }
    sub.atend = m.atend && to == m.end;
    int r = runprog(sub, node, start);
    m.steps = sub.steps;
    m.aborted = sub.aborted;
    if (cache && !m.aborted && exclmemo->size() < PAT_MAXMEMO)
        (*exclmemo)[key] = r >= 0;
    return r >= 0;
}

// Run the program from `node` at `pos`; the end position on success, -1
// on failure.  Frames pushed here are gone when it returns.
int runprog(Matcher &m, int node, int pos)
{
    const uint32_t *P = m.prog;
    int base = nframes;
    int k = 0;  // offset inside an EXACTLY node, or "node done" for others
    for (;;) {
        if (++m.steps > m.maxsteps) {
            m.aborted = true;
            nframes = base;
            return -1;
        }
        if (node < 0)
            goto succeed;
        {
            uint32_t w = P[node];
            int op = int(w & 0xff);
            int allowed = m.gflags & GFL_APPROX;
            // Approximate matching revisits the same states with different
            // error counts; a state that failed with e errors fails with
            // more, which keeps the search polynomial.
            if (allowed && m.memook && (op & 0x40 || op == OP_EXACTLY || op == OP_ONEHASH || op == OP_TWOHASH)) {
                if (memofailed(memoat(node, k, pos), m.h, m.errs))
                    goto fail;
                push(CH_MEMO, node, pos, k, m.errs, m.h);
            }
            switch (op) {
            case OP_END:
            case OP_EXCEND:
                if (pos < m.end && (op == OP_EXCEND || !(m.pflags & PC_FLOATING))) {
                    // Extra characters are insertions when errors remain.
                    int extra = charcount(m.s, pos, m.end);
                    if (m.errs + extra > allowed)
                        goto fail;
                    m.errs += extra;
                    pos = m.end;
                }
                // A demanded error count applies to the whole match: for a
                // path, at its last segment.
                if (op == OP_END && forceerrs != -1 && m.errs != forceerrs &&
                    (!(m.pflags & PC_FILENAME) || (m.pflags & PC_TOPLEVEL_FILE)))
                    goto fail;
                if (op == OP_END && m.bestmode) {
                    // Record this end and keep searching for a better one.
                    if (m.bestmode == PB_LONGEST) {
                        if (pos > m.bestpos)
                            m.bestpos = pos;
                        if (pos == m.end)
                            goto succeed;
                    } else if (pos == 0) {
                        m.bestempty = true;
                        if (m.bestmode == PB_SHORTEST)
                            goto succeed;
                    } else {
                        if (m.bestpos < 0 || pos < m.bestpos)
                            m.bestpos = pos;
                        if (m.bestmode == PB_SHORTEST_NONEMPTY && pos == chlen(m.s, 0, m.end))
                            goto succeed;
                    }
                    goto fail;
                }
                goto succeed;
            case OP_EXACTLY: {
                const unsigned char *ps = reinterpret_cast<const unsigned char *>(opstr(P, node));
                int kk = k;
                k = 0;
                while (ps[kk]) {
                    int pl;
                    int pc = patchar(ps + kk, &pl);
                    if (pos < m.end) {
                        int sl = chlen(m.s, pos, m.end);
                        if (chareq(pc, chval(m.s, pos, m.end), m.gflags)) {
                            kk += pl;
                            pos += sl;
                            continue;
                        }
                    }
                    if (m.errs < allowed) {
                        int e = m.errs + 1;
                        push(CH_RESUME, node, pos, kk + pl, e);  // pattern character missing
                        if (pos < m.end) {
                            int sl = chlen(m.s, pos, m.end);
                            push(CH_RESUME, node, pos + sl, kk, e);       // extra string character
                            push(CH_RESUME, node, pos + sl, kk + pl, e);  // substituted
                            int kn = kk + pl;
                            if (ps[kn] && pos + sl < m.end) {
                                int pl2;
                                int pc2 = patchar(ps + kn, &pl2);
                                int sl2 = chlen(m.s, pos + sl, m.end);
                                if (chareq(pc2, chval(m.s, pos, m.end), m.gflags) &&
                                    chareq(pc, chval(m.s, pos + sl, m.end), m.gflags))
                                    push(CH_RESUME, node, pos + sl + sl2, kn + pl2, e);  // transposed
                            }
                        }
                    }
                    goto fail;
                }
                node = nextnode(P, node);
                continue;
            }
            case OP_ANY:
            case OP_ANYOF:
            case OP_ANYBUT: {
                if (k) {
                    k = 0;
                    node = nextnode(P, node);
                    continue;
                }
                int l = simplematch(m, node, pos);
                if (!l) {
                    if (m.errs < allowed) {
                        int e = m.errs + 1;
                        push(CH_RESUME, node, pos, 1, e);
                        if (pos < m.end) {
                            int sl = chlen(m.s, pos, m.end);
                            push(CH_RESUME, node, pos + sl, 0, e);
                            push(CH_RESUME, node, pos + sl, 1, e);
                        }
                    }
                    goto fail;
                }
                pos += l;
                node = nextnode(P, node);
                continue;
            }
            case OP_STAR: {
                if (pos == 0 && m.nodots && m.end > 0 && m.s[0] == '.')
                    goto fail;
                uint32_t slot = P[node + 1];
                bool memo = slot != PAT_NOSLOT && !allowed && forceerrs == -1 && !m.insub;
                if (memo && pos >= m.regs[slot])
                    goto fail;
                int nxt = nextnode(P, node);
                int fc = nextfirst(m, nxt);
                // From a lower start only the positions below the one
                // already known to fail remain to be tried.
                int q = m.end;
                if (memo && m.regs[slot] <= m.end)
                    q = prevchar(m.s, m.regs[slot], pos);
                while (q > pos && !candok(m, q, fc))
                    q = prevchar(m.s, q, pos);
                if (q == pos && !candok(m, q, fc)) {
                    if (memo && pos < m.regs[slot])
                        m.regs[slot] = pos;
                    goto fail;
                }
                push(CH_STAR, node, q, pos, m.errs);
                node = nxt;
                pos = q;
                continue;
            }
            case OP_ONEHASH:
            case OP_TWOHASH: {
                int q = pos, minpos = pos;
                int l;
                bool first = true;
                while ((l = simplematch(m, node + 1, q))) {
                    q += l;
                    if (first && op == OP_TWOHASH)
                        minpos = q;
                    first = false;
                }
                if (op == OP_TWOHASH && first)
                    goto fail;
                int nxt = nextnode(P, node);
                int fc = nextfirst(m, nxt);
                while (q > minpos && !candok(m, q, fc))
                    q = prevchar(m.s, q, minpos);
                if (q == minpos && !candok(m, q, fc))
                    goto fail;
                push(CH_HASH, node, q, minpos, m.errs);
                node = nxt;
                pos = q;
                continue;
            }
            case OP_NUMRANGE:
            case OP_NUMFROM:
            case OP_NUMTO:
            case OP_NUMANY: {
                int d = 0;
                while (pos + d < m.end && m.s[pos + d] >= '0' && m.s[pos + d] <= '9')
                    d++;
                while (d > 0 && !numinrange(m, node, pos, d))
                    d--;
                if (!d)
                    goto fail;
                push(CH_NUM, node, pos, d, m.errs);
                pos += d;
                node = nextnode(P, node);
                continue;
            }
            case OP_BRANCH: {
                int nx = nextnode(P, node);
                if (nx >= 0) {
                    int nop = int(P[nx] & 0xff);
                    if (nop == OP_BRANCH || nop == OP_WBRANCH)
                        push(CH_BRANCH, nx, pos, 0, m.errs);
                }
                node = node + 1;
                continue;
            }
            case OP_WBRANCH: {
                uint32_t slot = P[node + 1];
                if ((slot & PAT_LOOPMEMO) && forceerrs == -1 && !m.insub) {
                    // A loop outside other loops and exclusions: entering
                    // it at a position depends on nothing else.
                    if (memofailed(memoat(node, 0xff, pos), 0, m.errs))
                        goto fail;
                    push(CH_MEMO, node, pos, 0xff, m.errs, 0);
                }
                slot &= ~PAT_LOOPMEMO;
                int nx = nextnode(P, node);
                if (nx >= 0)
                    push(CH_BRANCH, nx, pos, 0, m.errs);
                setreg(m, slot, pos);
                node = node + 2;
                continue;
            }
            case OP_BACK: {
                // Each round of a loop must consume something.
                if (pos == m.regs[P[node + 1]])
                    goto fail;
                node = nextnode(P, node);
                continue;
            }
            case OP_NOTHING:
                node = nextnode(P, node);
                continue;
            case OP_GFLAGS:
                push(TR_GFLAGS, 0, 0, m.gflags, 0);
                m.gflags = int(P[node + 1]);
                node = nextnode(P, node);
                continue;
            case OP_ISSTART:
                if (pos != 0 || !m.atstart)
                    goto fail;
                node = nextnode(P, node);
                continue;
            case OP_ISEND:
                if (pos != m.end || !m.atend)
                    goto fail;
                node = nextnode(P, node);
                continue;
            case OP_EXCSYNC: {
                uint32_t slot = P[node + 1];
                setreg(m, slot, pos);
                node = nextnode(P, node);
                continue;
            }
            case OP_EXCLUDE:
            case OP_EXCLUDEPATH: {
                int from = m.regs[P[node + 1]];
                if (from < 0 || from > pos)
                    goto fail;
                if (excluded(m, node + 2, from, pos, op == OP_EXCLUDEPATH))
                    goto fail;
                if (m.aborted)
                    goto fail;
                node = nextnode(P, node);
                continue;
            }
            default:
                if (op > OP_OPEN && op <= OP_OPEN + NSUBEXP) {
                    int n = op - OP_OPEN;
                    push(TR_CAPB, n, 0, m.capb[n], 0);
                    m.capb[n] = pos;
                    node = nextnode(P, node);
                    continue;
                }
                if (op > OP_CLOSE && op <= OP_CLOSE + NSUBEXP) {
                    int n = op - OP_CLOSE;
                    push(TR_CAPE, n, 0, m.cape[n], 0);
                    m.cape[n] = pos;
                    node = nextnode(P, node);
                    continue;
                }
                goto fail;  // not a program we made
            }
        }
    succeed:
        nframes = base;
        return pos;
    fail:
        if (m.aborted) {
            nframes = base;
            return -1;
        }
        for (;;) {
            if (nframes == base)
                return -1;
            Frame &f = frames[nframes - 1];
            switch (f.kind) {
            case TR_REG:
                m.h += regmix(f.node, f.aux) - regmix(f.node, m.regs[f.node]);
                m.regs[f.node] = f.aux;
                nframes--;
                continue;
            case TR_CAPB:
                m.capb[f.node] = f.aux;
                nframes--;
                continue;
            case TR_CAPE:
                m.cape[f.node] = f.aux;
                nframes--;
                continue;
            case TR_GFLAGS:
                m.gflags = f.aux;
                nframes--;
                continue;
            case CH_MEMO: {
                uint64_t key = (uint64_t(f.node) << 40) | (uint64_t(f.aux) << 32) | uint32_t(f.pos);
                auto it = approxmemo->find(MemoKey{key, f.h});
                if (it != approxmemo->end()) {
                    if (it->second > f.errs)
                        it->second = f.errs;
                } else if (approxmemo->size() < PAT_MAXMEMO) {
                    (*approxmemo)[MemoKey{key, f.h}] = f.errs;
                }
                nframes--;
                continue;
            }
            case CH_BRANCH:
            case CH_RESUME:
                node = f.node;
                pos = f.pos;
                k = f.kind == CH_RESUME ? f.aux : 0;
                m.errs = f.errs;
                nframes--;
                break;
            case CH_STAR: {
                int nxt = nextnode(P, f.node);
                int fc = nextfirst(m, nxt);
                int q = f.pos;
                do {
                    if (q <= f.aux) {
                        q = -1;
                        break;
                    }
                    q = prevchar(m.s, q, f.aux);
                } while (!candok(m, q, fc));
                if (q < 0) {
                    uint32_t slot = P[f.node + 1];
                    if (slot != PAT_NOSLOT && !(m.gflags & GFL_APPROX) && forceerrs == -1 && !m.insub &&
                        f.aux < m.regs[slot])
                        m.regs[slot] = f.aux;
                    nframes--;
                    continue;
                }
                f.pos = q;
                m.errs = f.errs;
                node = nxt;
                pos = q;
                k = 0;
                break;
            }
            case CH_HASH: {
                int nxt = nextnode(P, f.node);
                int fc = nextfirst(m, nxt);
                int q = f.pos;
                do {
                    if (q <= f.aux) {
                        q = -1;
                        break;
                    }
                    q = prevchar(m.s, q, f.aux);
                } while (!candok(m, q, fc));
                if (q < 0) {
                    nframes--;
                    continue;
                }
                f.pos = q;
                m.errs = f.errs;
                node = nxt;
                pos = q;
                k = 0;
                break;
            }
            case CH_NUM: {
                int d = f.aux - 1;
                while (d > 0 && !numinrange(m, f.node, f.pos, d))
                    d--;
                if (!d) {
                    nframes--;
                    continue;
                }
                f.aux = d;
                m.errs = f.errs;
                pos = f.pos + d;
                node = nextnode(P, f.node);
                k = 0;
                break;
            }
            }
            break;
        }
    }
}

}  // namespace

void pattrystart()
{
    errsfound = 0;
    forceerrs = -1;
}

// Text, first and last positions of the capture groups for the hook.
static void setcaptures(Matcher &m, const unsigned char *s, int ngroups)
{
    if (!patsetcapturesptr)
        return;
    int ksh = isset(KSHARRAYS) ? 1 : 0;
    char **mt = qhnew<char *>(size_t(ngroups) + 1);
    char **mb = qhnew<char *>(size_t(ngroups) + 1);
    char **me = qhnew<char *>(size_t(ngroups) + 1);
    char num[32];
    for (int i = 1; i <= ngroups; i++) {
        int b = m.capb[i], e = m.cape[i];
        if (b >= 0 && e >= b) {
            mt[i - 1] = dupstrpfx(reinterpret_cast<const char *>(s + b), size_t(e - b));
            long cb = patoffset + charcount(s, 0, b);
            long ce = patoffset + charcount(s, 0, e);
            snprintf(num, sizeof num, "%ld", cb + 1 - ksh);
            mb[i - 1] = dupstring(num);
            snprintf(num, sizeof num, "%ld", ce - ksh);
            me[i - 1] = dupstring(num);
        } else {
            mt[i - 1] = dupstring("");
            mb[i - 1] = dupstring("-1");
            me[i - 1] = dupstring("-1");
        }
    }
    mt[ngroups] = mb[ngroups] = me[ngroups] = nullptr;
    patsetcapturesptr(mt, mb, me);
}

// The core of every try: match the first len bytes of string.
static int pattryfull(Patprog *prog, const char *string, int len, int *nump, int *begp, int *endp,
                      int bestmode = 0)
{
    if (reinterpret_cast<uintptr_t>(prog) <= 2 || !string)
        return 0;
    if (inull(static_cast<unsigned char>(*string))) {
        string++;
        if (len > 0)
            len--;
    }
    if (len < 0)
        len = int(strlen(string));
    const unsigned char *s = reinterpret_cast<const unsigned char *>(string);
    int pflags = prog->flags;
    const char *block = reinterpret_cast<const char *>(prog);
    if (nump)
        *nump = 0;

    if (pflags & PC_MATCH_ALL) {
        if ((pflags & PC_NO_DOTS) && len && s[0] == '.')
            return 0;
        patinput = string + len;
        return 1;
    }
    if (pflags & PC_LITERAL) {
        const char *lit = block + prog->progoffset;
        int pl = prog->purelen;
        if ((pflags & PC_NO_DOTS) && len && s[0] == '.')
            return 0;
        if ((pflags & PC_FLOATING) ? len < pl : len != pl)
            return 0;
        if (memcmp(lit, string, size_t(pl)))
            return 0;
        patinput = string + pl;
        return 1;
    }
    if (pflags & PC_TAIL) {
        const char *lit = block + prog->progoffset;
        int pl = prog->purelen;
        if ((pflags & PC_NO_DOTS) && len && s[0] == '.')
            return 0;
        // A tail starting inside a metafied pair is not the literal.
        if (len < pl || (len > pl && s[len - pl - 1] == METACHAR) || memcmp(lit, string + len - pl, size_t(pl)))
            return 0;
        patinput = string + len;
        return 1;
    }
    if (!(pflags & PC_SCANNING) && prog->mustoffset &&
        !memmem(string, size_t(len), block + prog->mustoffset, size_t(prog->purelen)))
        return 0;
    if (prog->firstchar && (!len || s[0] != prog->firstchar))
        return 0;

    const uint32_t *P = reinterpret_cast<const uint32_t *>(prog);
    uint32_t trailer = P[prog->size / 4 - 1];
    int nslots = int(trailer);
    if (nslots > regalloc) {
        regalloc = nslots * 2;
        regbuf = static_cast<int *>(qrealloc(regbuf, size_t(regalloc) * sizeof(int)));
    }
    for (int i = 0; i < nslots; i++)
        regbuf[i] = INT_MAX;

    if (!(pflags & PC_FILENAME))
        errsfound = 0;
    Matcher m;
    m.prog = P;
    m.s = s;
    m.end = len;
    m.pflags = pflags;
    m.gflags = prog->startflags;
    m.errs = errsfound;
    m.atstart = !(pflags & PC_NOT_AT_START);
    m.atend = !(pflags & PC_NOT_AT_END);
    m.nodots = pflags & PC_NO_DOTS;
    m.memook = forceerrs == -1;
    m.h = 0;
    m.insub = false;
    m.toplevel = true;
    m.regs = regbuf;
    for (int i = 0; i <= NSUBEXP; i++)
        m.capb[i] = m.cape[i] = -1;
    m.steps = 0;
    m.maxsteps = PAT_BASESTEPS + PAT_STEPSPERBYTE * long(len);
    if (patstepbudget >= 0 && patstepbudget < m.maxsteps)
        m.maxsteps = patstepbudget;
    m.aborted = false;
    m.bestmode = (pflags & PC_FLOATING) ? bestmode : 0;
    m.bestpos = -1;
    m.bestempty = false;
    if (approxmemo.exists() && !approxmemo->empty())
        approxmemo->clear();
    if (exclmemo.exists() && !exclmemo->empty())
        exclmemo->clear();
    int base = nframes;
    int r = runprog(m, prog->progoffset / 4, 0);
    nframes = base;
    if (r < 0 && m.bestmode && !m.aborted)
        r = m.bestpos >= 0 ? m.bestpos : m.bestempty ? 0 : -1;
    if (patstepbudget >= 0)
        patstepbudget = m.steps >= patstepbudget ? 0 : patstepbudget - m.steps;
    if (m.aborted)
        qerr("pattern too complex to match", nullptr, 0);
    if (approxmemo.exists() && approxmemo->size() > 65536)
        *approxmemo = std::unordered_map<MemoKey, int, MemoHash>();  // give the memory back
    if (exclmemo.exists() && exclmemo->size() > 65536)
        *exclmemo = std::unordered_map<uint64_t, bool>();
    if (r < 0)
        return 0;
    errsfound = m.errs;
    patinput = string + r;

    int ng = prog->ngroups;
    if (pflags & PC_FILENAME)
        return 1;
    if ((m.gflags & GFL_MATCH_REF) && patsetmatchptr) {
        int ksh = isset(KSHARRAYS) ? 1 : 0;
        long mlen = charcount(s, 0, r);
        patsetmatchptr(dupstrpfx(string, size_t(r)), patoffset + 1 - ksh, patoffset + mlen - ksh);
    }
    if (nump)
        *nump = ng;
    if (begp || endp) {
        for (int i = 1; i <= ng; i++) {
            int b = m.capb[i], e = m.cape[i];
            if (b >= 0 && e >= b) {
                if (begp)
                    begp[i - 1] = patoffset + charcount(s, 0, b);
                if (endp)
                    endp[i - 1] = patoffset + charcount(s, 0, e) - 1;
            } else {
                if (begp)
                    begp[i - 1] = -1;
                if (endp)
                    endp[i - 1] = -1;
            }
        }
        return 1;
    }
    if (ng)
        setcaptures(m, s, ng);
    return 1;
}

int pattry(Patprog *prog, const char *string)
{
    patoffset = 0;
    return pattryfull(prog, string, -1, nullptr, nullptr, nullptr);
}

int pattrylen(Patprog *prog, const char *string, int len, int offset)
{
    patoffset = offset;
    return pattryfull(prog, string, len, nullptr, nullptr, nullptr);
}

int pattryrefs(Patprog *prog, const char *string, int len, int *ngroups, int *begins, int *ends)
{
    return pattryfull(prog, string, len, ngroups, begins, ends);
}

int pattrybest(Patprog *prog, const char *string, int len, int offset, int mode, int *matchlen)
{
    patoffset = offset;
    if (!pattryfull(prog, string, len, nullptr, nullptr, nullptr, mode))
        return 0;
    *matchlen = int(patinput - string);
    return 1;
}
