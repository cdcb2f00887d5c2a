// The pattern compiler: tokenized pattern text to a Patprog, a block of
// node words that the matcher in patmatch.cpp interprets.
#include "expand/expand.h"
#include "lang/lang.h"

#include <climits>
#include <cstring>

// The compiler's buffer, reused between compilations.
static uint32_t *patbuf;
static int patalloc;  // words allocated
static int patsize;   // words used

static char *patparse;   // next byte of the pattern text
static int patflags;     // the caller's PC_ flags
static int patglobflags; // globbing flags in force at this point
static int patcarry;     // flags carried between segments of a file pattern
static int patnpar;      // capture groups opened so far
static int patnslots;    // matcher registers the program needs
static int patdepth;     // nesting of groups and exclusions
static int patinexcl;    // inside an excluded branch: / is part of it
static bool patusedflags;  // a (#...) group appeared
static bool paterror;

// Deeper nesting than this is reported as a bad pattern rather than
// risking the stack in the compiler and in the matcher's exclusions.
constexpr int PAT_MAXDEPTH = 1000;
// A node's next distance has 24 bits.
constexpr int PAT_MAXWORDS = (1 << 24) - 16;
// Literal runs are split so that an offset inside one fits a byte.
constexpr int PAT_MAXEXACT = 255;

static void patgrow(int n)
{
    if (patsize + n <= patalloc)
        return;
    int na = patalloc ? patalloc : 64;
    while (na < patsize + n)
        na *= 2;
    patbuf = static_cast<uint32_t *>(qrealloc(patbuf, size_t(na) * sizeof(uint32_t)));
    patalloc = na;
}

static int patemit(uint32_t w)
{
    if (patsize >= PAT_MAXWORDS) {
        paterror = true;
        return patsize - 1;
    }
    patgrow(1);
    patbuf[patsize] = w;
    return patsize++;
}

static int patnode(int op) { return patemit(uint32_t(op)); }

// Bytes s[0..n) followed by NUL, padded to whole words.
static void patemitstr(const char *s, int n)
{
    int words = (n + 1 + 3) / 4;
    if (patsize + words >= PAT_MAXWORDS) {
        paterror = true;
        return;
    }
    patgrow(words);
    char *d = reinterpret_cast<char *>(patbuf + patsize);
    memset(d, 0, size_t(words) * 4);
    memcpy(d, s, size_t(n));
    patsize += words;
}

static int patnewslot() { return patnslots++; }

static void patsetnext(int node, int target)
{
    int d = target - node;
    if (d <= 0 || d >= (1 << 24)) {
        paterror = true;
        return;
    }
    patbuf[node] = (patbuf[node] & 0xff) | (uint32_t(d) << 8);
}

// Link the last node of the chain starting at `from` to `to`.
static void pattail(int from, int to)
{
    if (from < 0 || paterror)
        return;
    int p = from;
    for (;;) {
        uint32_t w = patbuf[p];
        if ((w & 0xff) == OP_BACK)
            return;
        int nx = int(w >> 8);
        if (!nx)
            break;
        p += nx;
    }
    patsetnext(p, to);
}

// Make room for n words at `at`; the relative links inside the moved
// code stay valid because nothing outside points into it yet.
static void patinsert(int at, int n)
{
    patgrow(n);
    memmove(patbuf + at + n, patbuf + at, size_t(patsize - at) * sizeof(uint32_t));
    patsize += n;
}

// A node and its operand words, when walked in emission order.
int patnodewords(const uint32_t *prog, int node)
{
    uint32_t w = prog[node];
    int op = int(w & 0xff);
    switch (op) {
    case OP_EXACTLY:
    case OP_ANYOF:
    case OP_ANYBUT:
    case OP_NUMFROM:
    case OP_NUMTO:
        return 1 + int(strlen(reinterpret_cast<const char *>(prog + node + 1)) + 1 + 3) / 4;
    case OP_NUMRANGE: {
        const char *s = reinterpret_cast<const char *>(prog + node + 1);
        size_t l1 = strlen(s);
        size_t l2 = strlen(s + l1 + 1);
        return 1 + int(l1 + 1 + l2 + 1 + 3) / 4;
    }
    case OP_GFLAGS:
    case OP_EXCSYNC:
    case OP_STAR:
    case OP_BACK:
    case OP_EXCLUDE:
    case OP_EXCLUDEPATH:
    case OP_WBRANCH:
        return 2;
    default:
        return 1;
    }
}

// Stars and loops in [from, to) lose their failure memo: their
// continuation there depends on more than the position (an enclosing
// loop round, an exclusion's start).
static void patunmemo(int from, int to)
{
    for (int p = from; p < to && !paterror; p += patnodewords(patbuf, p)) {
        if ((patbuf[p] & 0xff) == OP_STAR)
            patbuf[p + 1] = PAT_NOSLOT;
        else if ((patbuf[p] & 0xff) == OP_WBRANCH)
            patbuf[p + 1] &= ~PAT_LOOPMEMO;
    }
}

static bool extglob() { return isset(EXTENDEDGLOB); }

// Whether a ~ here starts an exclusion rather than standing for itself.
static bool isexcltilde(const char *p)
{
    unsigned char n = static_cast<unsigned char>(p[1]);
    return n && n != TK_RPAREN && n != TK_BAR && n != TK_TILDE;
}

// Decode one literal character of the pattern text at *p into a metafied
// buffer; returns the bytes written (0 for a quote marker).
static int patlitchar(char *&p, char *out)
{
    unsigned char c = static_cast<unsigned char>(*p);
    if (inull(c)) {
        p++;
        return 0;
    }
    if (c == METACHAR && p[1]) {
        out[0] = p[0];
        out[1] = p[1];
        p += 2;
        return 2;
    }
    p++;
    if (itok(c))
        c = static_cast<unsigned char>(tokchar(c));
    out[0] = char(c);
    return 1;
}

// One literal character, whole when it is multibyte: the bytes written to
// out (at most 8).  Bytes that form no character are taken one at a time.
static int patlitmbchar(char *&p, char *out)
{
    int n = patlitchar(p, out);
    if (!mbchars || n == 0)
        return n;
    unsigned char lead = static_cast<unsigned char>(n == 2 ? out[1] ^ 32 : out[0]);
    if (lead < 0xc2 || lead > 0xf4)
        return n;
    char *q = p;
    int len = n;
    int more = lead < 0xe0 ? 1 : lead < 0xf0 ? 2 : 3;
    for (int i = 0; i < more; i++) {
        unsigned char c = static_cast<unsigned char>(*q);
        if (!c || itok(c) || inull(c))
            return n;
        len += patlitchar(q, out + len);
    }
    if (mbdecode(out, out + len, nullptr) != len)
        return n;
    p = q;
    return len;
}

// The numeric-range shape < digits - digits >, as tokenize leaves it.
static bool isnumrange(const char *p, const char **close)
{
    if (static_cast<unsigned char>(*p) != TK_LANGLE)
        return false;
    p++;
    while (idigit(static_cast<unsigned char>(*p)))
        p++;
    if (*p != '-')
        return false;
    p++;
    while (idigit(static_cast<unsigned char>(*p)))
        p++;
    if (static_cast<unsigned char>(*p) != TK_RANGLE)
        return false;
    *close = p;
    return true;
}

static int compalts(bool paren, int capn);
static int compseq(bool paren);

int patgetglobflags(char **cursor, int *assertion, int *ignored)
{
    char *p = *cursor;
    *assertion = 0;
    *ignored = 0;
    if (static_cast<unsigned char>(p[0]) != TK_LPAREN || static_cast<unsigned char>(p[1]) != TK_HASH)
        return 0;
    p += 2;
    int fl = patglobflags;
    bool any = false;
    while (*p && static_cast<unsigned char>(*p) != TK_RPAREN) {
        switch (*p++) {
        case 'i':
            fl = (fl & ~GFL_LOWER_MATCHES_UPPER) | GFL_IGNORE_CASE;
            break;
        case 'l':
            fl = (fl & ~GFL_IGNORE_CASE) | GFL_LOWER_MATCHES_UPPER;
            break;
        case 'I':
            fl &= ~(GFL_IGNORE_CASE | GFL_LOWER_MATCHES_UPPER);
            break;
        case 'b':
            fl |= GFL_BACKREFS;
            break;
        case 'B':
            fl &= ~GFL_BACKREFS;
            break;
        case 'm':
            fl |= GFL_MATCH_REF;
            break;
        case 'M':
            fl &= ~GFL_MATCH_REF;
            break;
        case 'a': {
            if (!idigit(static_cast<unsigned char>(*p)))
                return 0;
            long n = 0;
            while (idigit(static_cast<unsigned char>(*p))) {
                n = n * 10 + (*p++ - '0');
                if (n > 254)
                    return 0;
            }
            fl = (fl & ~GFL_APPROX) | int(n);
            break;
        }
        case 's':
        case 'e':
            if (any || static_cast<unsigned char>(*p) != TK_RPAREN)
                return 0;
            *assertion = p[-1] == 's' ? OP_ISSTART : OP_ISEND;
            break;
        case 'q':
            // Qualifiers for the globber: not pattern text.
            while (*p && static_cast<unsigned char>(*p) != TK_RPAREN)
                p++;
            if (!any)
                *ignored = 1;
            break;
        default:
            return 0;
        }
        any = true;
    }
    if (!any || static_cast<unsigned char>(*p) != TK_RPAREN)
        return 0;
    *cursor = p + 1;
    if (!*assertion)
        patglobflags = fl;
    return 1;
}

// Bracket expression after TK_LBRACK: an ANYOF or ANYBUT node.
static int compbracket()
{
    static const char *const classnames[] = {"alpha", "alnum", "ascii", "blank", "cntrl", "digit", "graph",
                                             "lower", "print", "punct", "space", "upper", "xdigit"};
    char *p = patparse + 1;
    bool neg = false;
    if (*p == '!' || *p == '^' || static_cast<unsigned char>(*p) == TK_CARET) {
        neg = true;
        p++;
    }
    // Items of the range string; each item is at most 5 bytes.
    size_t cap = 64, len = 0;
    char *buf = static_cast<char *>(qhalloc(cap));
    auto put = [&](const char *s, size_t n) {
        if (len + n + 1 > cap) {
            size_t ncap = cap * 2 + n;
            buf = static_cast<char *>(hrealloc(buf, cap, ncap));
            cap = ncap;
        }
        memcpy(buf + len, s, n);
        len += n;
    };
    // A character of the set, escaped when a byte could be read as a code
    // byte.
    auto putchar_ = [&](const char *lit, int n) {
        for (int i = 0; i < n; i++) {
            unsigned char c = static_cast<unsigned char>(lit[i]);
            if (c == METACHAR && i + 1 < n) {
                put(lit + i++, 2);
            } else if (c >= 0x83 && c <= 0x9c) {
                char e[2] = {char(METACHAR), char(c ^ 32)};
                put(e, 2);
            } else
                put(lit + i, 1);
        }
    };
    bool first = true;
    for (;;) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (!c)
            return -1;  // no closing bracket
        if (c == TK_RBRACK && !first)
            break;
        if (inull(c)) {
            p++;
            continue;
        }
        if ((c == TK_LBRACK || c == '[') && p[1] == ':') {
            char *q = p + 2;
            while (*q && !(*q == ':' && (static_cast<unsigned char>(q[1]) == TK_RBRACK || q[1] == ']')))
                q++;
            if (*q) {
                size_t nl = size_t(q - (p + 2));
                char code = char(PAT_CLASS_UNKNOWN);
                for (size_t i = 0; i < sizeof(classnames) / sizeof(*classnames); i++)
                    if (strlen(classnames[i]) == nl && !strncmp(classnames[i], p + 2, nl))
                        code = char(PAT_CLASS_FIRST + i);
                put(&code, 1);
                p = q + 2;
                first = false;
                continue;
            }
        }
        char lo[8];
        int nlo = patlitmbchar(p, lo);
        first = false;
        if (!nlo)
            continue;
        // p may be at the terminator now: look past it only after a '-'.
        unsigned char d = *p == '-' ? static_cast<unsigned char>(p[1]) : 0;
        if (d && d != TK_RBRACK) {
            p++;
            char hi[8];
            int nhi;
            do
                nhi = patlitmbchar(p, hi);
            while (!nhi && *p);
            if (!nhi)
                return -1;
            char r = char(PAT_RANGE);
            put(&r, 1);
            putchar_(lo, nlo);
            putchar_(hi, nhi);
            continue;
        }
        putchar_(lo, nlo);
    }
    patparse = p + 1;
    int node = patnode(neg ? OP_ANYBUT : OP_ANYOF);
    patemitstr(buf, int(len));
    return node;
}

// Numeric range: digits with leading zeros removed ("" is zero).
static int compnumrange(const char *close)
{
    const char *p = patparse + 1;
    const char *lo = p;
    while (*p != '-')
        p++;
    const char *loend = p++;
    const char *hi = p;
    const char *hiend = close;
    bool haslo = loend > lo, hashi = hiend > hi;
    while (lo < loend && *lo == '0')
        lo++;
    while (hi < hiend && *hi == '0')
        hi++;
    int node;
    if (haslo && hashi) {
        node = patnode(OP_NUMRANGE);
        size_t l1 = size_t(loend - lo), l2 = size_t(hiend - hi);
        char *b = static_cast<char *>(qhalloc(l1 + l2 + 2));
        memcpy(b, lo, l1);
        b[l1] = '\0';
        memcpy(b + l1 + 1, hi, l2);
        patemitstr(b, int(l1 + 1 + l2));
    } else if (haslo) {
        node = patnode(OP_NUMFROM);
        patemitstr(lo, int(loend - lo));
    } else if (hashi) {
        node = patnode(OP_NUMTO);
        patemitstr(hi, int(hiend - hi));
    } else {
        node = patnode(OP_NUMANY);
    }
    patparse = const_cast<char *>(close) + 1;
    return node;
}

// A group in parentheses (patparse after the opening one).
static int compgroup()
{
    int capn = 0;
    if ((patglobflags & GFL_BACKREFS) && patnpar < NSUBEXP)
        capn = ++patnpar;
    return compalts(true, capn);
}

// Zero or more (or with twohash one or more) of the complex piece that
// starts at g and runs to the end of the buffer: a loop whose every round
// must consume input.
static void mkloop(int g, bool twohash)
{
    int loop = g;
    if (twohash) {
        int n = patsize - g;
        patgrow(n);
        memcpy(patbuf + patsize, patbuf + g, size_t(n) * sizeof(uint32_t));
        loop = patsize;
        patsize += n;
    }
    patinsert(loop, 2);
    patbuf[loop] = OP_WBRANCH;
    int slot = patnewslot();
    patunmemo(loop + 2, patsize);
    patbuf[loop + 1] = uint32_t(slot) | PAT_LOOPMEMO;
    int back = patnode(OP_BACK);
    patemit(uint32_t(slot));
    pattail(loop + 2, back);
    patbuf[back] = OP_BACK | (uint32_t(back - loop) << 8);
    int br = patnode(OP_BRANCH);
    patsetnext(loop, br);
    int nothing = patnode(OP_NOTHING);
    int closer = patnode(OP_NOTHING);
    patsetnext(br, closer);
    patsetnext(nothing, closer);
    if (twohash)
        pattail(g, loop);
}

// Anything that the following text does not match: EXCSYNC, STAR, then an
// exclusion whose operand the caller compiles.  Returns the EXCLUDE node.
static int mknegation(int *first)
{
    int slot = patnewslot();
    *first = patnode(OP_EXCSYNC);
    patemit(uint32_t(slot));
    int star = patnode(OP_STAR);
    patemit(PAT_NOSLOT);
    patsetnext(*first, star);
    int ex = patnode(OP_EXCLUDE);
    patemit(uint32_t(slot));
    patsetnext(star, ex);
    return ex;
}

static bool issimple(int node)
{
    int op = int(patbuf[node] & 0xff);
    if (op == OP_ANY || op == OP_ANYOF || op == OP_ANYBUT)
        return true;
    if (op == OP_EXACTLY) {
        const char *s = reinterpret_cast<const char *>(patbuf + node + 1);
        return s[0] && !s[mbclen(s)];
    }
    return false;
}

// Whether the text at p is a ksh operator group under kshglob.
static bool iskshop(const char *p)
{
    if (!isset(KSHGLOB) || static_cast<unsigned char>(p[1]) != TK_LPAREN)
        return false;
    unsigned char c = static_cast<unsigned char>(*p);
    return c == TK_QUEST || c == TK_STAR || c == '+' || c == '!' || c == '@';
}

// Whether byte c ends a literal run here.
static bool litstop(const char *p, bool paren)
{
    unsigned char c = static_cast<unsigned char>(*p);
    const char *close;
    switch (c) {
    case 0:
    case TK_STAR:
    case TK_QUEST:
    case TK_LBRACK:
        return true;
    case TK_LANGLE:
        return !isset(SHGLOB) && isnumrange(p, &close);
    case TK_LPAREN:
        return !isset(SHGLOB) || (extglob() && static_cast<unsigned char>(p[1]) == TK_HASH);
    case TK_BAR:
        return true;
    case TK_RPAREN:
        return paren || !isset(SHGLOB);
    case TK_TILDE:
        return extglob() && isexcltilde(p);
    case TK_CARET:
    case TK_HASH:
        return extglob();
    case '/':
        return (patflags & PC_FILENAME) && !patinexcl;
    default:
        return iskshop(p);
    }
}

// One piece: a literal run, a wildcard, a bracket, a numeric range, a
// group or a ksh operator, with any closure that follows.  -1 on error.
static int comppiece(bool paren)
{
    int node;
    unsigned char c = static_cast<unsigned char>(*patparse);
    bool complex = false;
    const char *close;
    if (iskshop(patparse)) {
        patparse += 2;
        if (++patdepth > PAT_MAXDEPTH)
            return -1;
        if (c == '!') {
            int first;
            int ex = mknegation(&first);
            int op = patsize;
            patinexcl++;
            int g = compalts(true, 0);
            patinexcl--;
            if (g < 0)
                return -1;
            int end = patnode(OP_EXCEND);
            pattail(op, end);
            patunmemo(op, patsize);
            (void)ex;
            node = first;
        } else {
            node = compgroup();
            if (node < 0)
                return -1;
            if (c == TK_QUEST) {
                // Zero or one: a second branch that matches nothing.
                patinsert(node, 1);
                patbuf[node] = OP_BRANCH;
                int br = patnode(OP_BRANCH);
                patsetnext(node, br);
                int nothing = patnode(OP_NOTHING);
                int closer = patnode(OP_NOTHING);
                pattail(node + 1, closer);
                patsetnext(br, closer);
                patsetnext(nothing, closer);
            } else if (c == TK_STAR || c == '+') {
                mkloop(node, c == '+');
            }
        }
        patdepth--;
        return paterror ? -1 : node;
    }
    switch (c) {
    case TK_STAR:
        patparse++;
        node = patnode(OP_STAR);
        patemit(uint32_t(patnewslot()));
        // Repeated stars, or a repeated star, match no more than one star.
        for (;;) {
            unsigned char n = static_cast<unsigned char>(*patparse);
            if (n == TK_HASH && extglob())
                patparse++;
            else if (n == TK_STAR && !iskshop(patparse))
                patparse++;
            else
                break;
        }
        return node;
    case TK_QUEST:
        patparse++;
        node = patnode(OP_ANY);
        break;
    case TK_LBRACK:
        node = compbracket();
        if (node < 0)
            return -1;
        break;
    case TK_LANGLE:
        if (!isset(SHGLOB) && isnumrange(patparse, &close)) {
            node = compnumrange(close);
            complex = true;
            break;
        }
        goto literal;
    case TK_LPAREN:
        if (isset(SHGLOB))
            goto literal;
        patparse++;
        if (++patdepth > PAT_MAXDEPTH)
            return -1;
        node = compgroup();
        patdepth--;
        if (node < 0)
            return -1;
        complex = true;
        break;
    default:
    literal: {
        char buf[PAT_MAXEXACT + 8];
        int n = 0;
        bool firstc = true;
        while (*patparse && (firstc || !litstop(patparse, paren)) && n < PAT_MAXEXACT - 1) {
            // A closure applies to the last character only.
            char *q = patparse;
            char tmp[8];
            int tn = patlitmbchar(q, tmp);
            if (extglob() && static_cast<unsigned char>(*q) == TK_HASH && tn && n > 0)
                break;
            patparse = q;
            memcpy(buf + n, tmp, size_t(tn));
            n += tn;
            firstc = false;
            if (extglob() && static_cast<unsigned char>(*patparse) == TK_HASH && tn)
                break;
        }
        if (!n) {
            // Only quote markers: nothing to match.
            return patnode(OP_NOTHING);
        }
        node = patnode(OP_EXACTLY);
        patemitstr(buf, n);
        break;
    }
    }
    if (extglob() && static_cast<unsigned char>(*patparse) == TK_HASH) {
        bool two = static_cast<unsigned char>(patparse[1]) == TK_HASH;
        patparse += two ? 2 : 1;
        if (static_cast<unsigned char>(*patparse) == TK_HASH)
            return -1;  // a closure of a closure
        if (!complex && issimple(node)) {
            patinsert(node, 1);
            patbuf[node] = uint32_t(two ? OP_TWOHASH : OP_ONEHASH);
        } else {
            mkloop(node, two);
        }
    }
    return paterror ? -1 : node;
}

// A sequence of pieces up to the end of the branch.  Returns the first
// node (an OP_NOTHING when the branch is empty), -1 on error.
static int compseq(bool paren)
{
    int first = -1, last = -1;
    auto link = [&](int node) {
        if (first < 0)
            first = node;
        else
            pattail(last, node);
        last = node;
    };
    for (;;) {
        if (paterror)
            return -1;
        unsigned char c = static_cast<unsigned char>(*patparse);
        if (!c)
            break;
        if (inull(c)) {
            patparse++;
            continue;
        }
        // A top-level TK_BAR is always an alternative: with shglob the
        // lexer leaves | literal in words, so only case items make one.
        if (c == TK_BAR || (c == TK_RPAREN && (paren || !isset(SHGLOB))))
            break;
        if (c == '/' && (patflags & PC_FILENAME) && !patinexcl)
            break;
        if (c == TK_TILDE && extglob() && isexcltilde(patparse))
            break;
        if (c == TK_CARET && extglob()) {
            // The rest of the branch is negated.
            patparse++;
            if (++patdepth > PAT_MAXDEPTH)
                return -1;
            int sync;
            mknegation(&sync);
            link(sync);
            int op = patsize;
            if (compseq(paren) < 0)
                return -1;
            int end = patnode(OP_EXCEND);
            pattail(op, end);
            patunmemo(op, patsize);
            patdepth--;
            continue;
        }
        if (c == TK_LPAREN && extglob() && static_cast<unsigned char>(patparse[1]) == TK_HASH) {
            int assertion, ignored;
            if (!patgetglobflags(&patparse, &assertion, &ignored))
                return -1;
            if (ignored)
                continue;
            patusedflags = true;
            if (assertion) {
                link(patnode(assertion));
            } else {
                int g = patnode(OP_GFLAGS);
                patemit(uint32_t(patglobflags));
                link(g);
            }
            continue;
        }
        int piece = comppiece(paren);
        if (piece < 0)
            return -1;
        link(piece);
    }
    if (first < 0)
        first = patnode(OP_NOTHING);
    return first;
}

// Alternatives separated by |, each with its exclusions; in a group,
// through the closing parenthesis.  capn > 0 makes the group capture.
static int compalts(bool paren, int capn)
{
    int outer = patglobflags;
    bool changed = false;
    int start = -1;
    if (capn)
        start = patnode(OP_OPEN + capn);
    int firstbr = -1, lastbr = -1;
    for (;;) {
        int br = patnode(OP_BRANCH);
        if (lastbr >= 0)
            patsetnext(lastbr, br);
        else
            firstbr = br;
        if (start < 0)
            start = br;
        else if (lastbr < 0)
            patsetnext(start, br);
        lastbr = br;
        patglobflags = outer;
        int bstart = patsize;
        int slot = -1;
        if (compseq(paren) < 0)
            return -1;
        while (extglob() && static_cast<unsigned char>(*patparse) == TK_TILDE && isexcltilde(patparse)) {
            patparse++;
            if (slot < 0) {
                // The branch start must be recorded for the exclusion:
                // nothing outside the branch points into it yet.
                slot = patnewslot();
                patinsert(bstart, 2);
                patbuf[bstart] = OP_EXCSYNC;
                patbuf[bstart + 1] = uint32_t(slot);
                pattail(bstart, bstart + 2);
            }
            if (++patdepth > PAT_MAXDEPTH)
                return -1;
            bool path = !paren && (patflags & PC_TOPLEVEL_FILE);
            int ex = patnode(path ? OP_EXCLUDEPATH : OP_EXCLUDE);
            patemit(uint32_t(slot));
            pattail(bstart, ex);
            int aflags = patglobflags;
            patglobflags = outer;
            int op = patsize;
            if (aflags != outer) {
                patnode(OP_GFLAGS);
                patemit(uint32_t(outer));
            }
            patinexcl++;
            int sub = compseq(paren);
            patinexcl--;
            if (sub < 0)
                return -1;
            if (op != sub)
                pattail(op, sub);
            int end = patnode(OP_EXCEND);
            pattail(op, end);
            patglobflags = aflags;
            patdepth--;
        }
        if (slot >= 0)
            patunmemo(bstart, patsize);
        if (patglobflags != outer)
            changed = true;
        if (static_cast<unsigned char>(*patparse) == TK_BAR) {
            patparse++;
            continue;
        }
        break;
    }
    if (paren) {
        if (static_cast<unsigned char>(*patparse) != TK_RPAREN)
            return -1;
        patparse++;
    }
    int closer = patnode(capn ? OP_CLOSE + capn : OP_NOTHING);
    for (int br = firstbr;;) {
        pattail(br + 1, closer);
        int nx = int(patbuf[br] >> 8);
        if (!nx) {
            patsetnext(br, closer);
            break;
        }
        br += nx;
    }
    if (paren) {
        if (changed) {
            int g = patnode(OP_GFLAGS);
            patemit(uint32_t(outer));
            patsetnext(closer, g);
        }
        patglobflags = outer;
    }
    return paterror ? -1 : start;
}

void patcompstart() { patcarry = 0; }

static Patprog *patfinish(int flags)
{
    Patprog *p;
    size_t bytes = size_t(patsize) * sizeof(uint32_t);
    reinterpret_cast<Patprog *>(patbuf)->size = int32_t(bytes);
    if (flags & PC_IN_PLACE)
        return reinterpret_cast<Patprog *>(patbuf);
    if (flags & PC_PERMANENT)
        p = static_cast<Patprog *>(qalloc(bytes));
    else
        p = static_cast<Patprog *>(qhalloc(bytes));
    memcpy(p, patbuf, bytes);
    return p;
}

// Concatenated literal text of an all-literal chain, or false.
static bool chainliteral(int node, int stop, char **out, int *outlen)
{
    size_t len = 0;
    for (int p = node; p != stop;) {
        if ((patbuf[p] & 0xff) != OP_EXACTLY)
            return false;
        len += strlen(reinterpret_cast<const char *>(patbuf + p + 1));
        int nx = int(patbuf[p] >> 8);
        if (!nx)
            return false;
        p += nx;
    }
    char *s = static_cast<char *>(qhalloc(len + 1));
    size_t o = 0;
    for (int p = node; p != stop; p += int(patbuf[p] >> 8)) {
        const char *t = reinterpret_cast<const char *>(patbuf + p + 1);
        size_t l = strlen(t);
        memcpy(s + o, t, l);
        o += l;
    }
    s[o] = '\0';
    *out = s;
    *outlen = int(o);
    return true;
}

static void patheader(int flags, int startflags)
{
    Patprog *h = reinterpret_cast<Patprog *>(patbuf);
    memset(h, 0, sizeof(Patprog));
    h->progoffset = int32_t(sizeof(Patprog));
    h->startflags = startflags;
    h->flags = flags;
}

Patprog *patcompile(char *text, int flags, char **endp)
{
    if (!text)
        return nullptr;
    int startflags = (flags & PC_FILENAME) ? patcarry : 0;
    flags &= ~PC_LITERAL;
    patsize = 0;
    patgrow(PAT_HDRWORDS);
    patsize = PAT_HDRWORDS;
    patheader(flags, startflags);

    // A pattern without pattern characters is a pure string.
    if (!(flags & PC_MATCH_ALL) && !startflags) {
        char *p = text;
        bool pure = true;
        for (; *p; p++) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c == '/' && (flags & PC_FILENAME))
                break;
            if (c == METACHAR && p[1]) {
                p++;
                continue;
            }
            if (itok(c) && !inull(c)) {
                pure = false;
                break;
            }
        }
        if (pure) {
            char *end = p;
            size_t n = 0;
            char *buf = static_cast<char *>(qhalloc(size_t(end - text) + 1));
            for (p = text; p < end; p++)
                if (!inull(static_cast<unsigned char>(*p)))
                    buf[n++] = *p;
            buf[n] = '\0';
            patemitstr(buf, int(n));
            Patprog *h = reinterpret_cast<Patprog *>(patbuf);
            h->flags = flags | PC_LITERAL;
            h->purelen = int32_t(n);
            h->endflags = startflags;
            if (endp)
                *endp = end;
            patemit(0);  // no matcher registers
            return patfinish(flags);
        }
    }

    patparse = text;
    patflags = flags;
    patglobflags = startflags;
    patnpar = 0;
    patnslots = 0;
    patdepth = 0;
    patinexcl = 0;
    patusedflags = startflags != 0;
    paterror = false;

    int top = compalts(false, 0);
    unsigned char stop = static_cast<unsigned char>(*patparse);
    if (top < 0 || paterror || (stop && !(stop == '/' && (flags & PC_FILENAME)))) {
        patsize = PAT_HDRWORDS;
        return nullptr;
    }
    int end = patnode(OP_END);
    pattail(top, end);
    if (paterror)
        return nullptr;
    if (endp)
        *endp = patparse;
    int endflags = patglobflags;
    if (flags & PC_FILENAME)
        patcarry = endflags;

    // Header facts from the single top-level branch.
    Patprog *h = reinterpret_cast<Patprog *>(patbuf);
    h->endflags = endflags;
    h->ngroups = patnpar;
    int br = top;
    int closer = br + int(patbuf[br] >> 8);
    bool single = (patbuf[closer] & 0xff) == OP_NOTHING;
    if (single && !patusedflags && !(flags & PC_MATCH_ALL)) {
        char *lit;
        int litlen;
        if (chainliteral(br + 1, closer, &lit, &litlen)) {
            patsize = PAT_HDRWORDS;
            patemitstr(lit, litlen);
            h = reinterpret_cast<Patprog *>(patbuf);
            h->flags = flags | PC_LITERAL;
            h->purelen = litlen;
            h->endflags = endflags;
            patemit(0);
            return patfinish(flags);
        }
        int first = br + 1;
        // A file name segment such as `*.txt` is the commonest pattern of
        // all; it is decided by comparing the name's tail.  Only segments:
        // other callers change a compiled pattern's anchoring afterwards.
        if ((flags & PC_FILENAME) && (patbuf[first] & 0xff) == OP_STAR) {
            int nx = int(patbuf[first] >> 8);
            if (nx && first + nx != closer && chainliteral(first + nx, closer, &lit, &litlen)) {
                patsize = PAT_HDRWORDS;
                patemitstr(lit, litlen);
                h = reinterpret_cast<Patprog *>(patbuf);
                h->flags = flags | PC_TAIL;
                h->purelen = litlen;
                h->endflags = endflags;
                patemit(0);
                return patfinish(flags);
            }
        }
        if ((patbuf[first] & 0xff) == OP_EXACTLY) {
            unsigned char fc = *reinterpret_cast<const unsigned char *>(patbuf + first + 1);
            if (fc != METACHAR)
                h->firstchar = fc;
        }
        // The longest literal on the main chain: every match contains it.
        int best = -1;
        size_t bestlen = 0;
        for (int p = first; p != closer && p < patsize;) {
            if ((patbuf[p] & 0xff) == OP_EXACTLY) {
                size_t l = strlen(reinterpret_cast<const char *>(patbuf + p + 1));
                if (l > bestlen) {
                    bestlen = l;
                    best = p;
                }
            }
            int nx = int(patbuf[p] >> 8);
            if (!nx || (patbuf[p] & 0xff) == OP_BACK)
                break;
            p += nx;
        }
        if (best >= 0 && bestlen > 1) {
            int off = patsize;
            char tmp[PAT_MAXEXACT + 8];
            memcpy(tmp, patbuf + best + 1, bestlen + 1);
            patemitstr(tmp, int(bestlen));
            h = reinterpret_cast<Patprog *>(patbuf);
            h->mustoffset = int32_t(off * 4);
            h->purelen = int32_t(bestlen);
        }
    }
    patemit(uint32_t(patnslots));
    if (paterror)
        return nullptr;
    return patfinish(flags);
}

void freepatprog(Patprog *prog)
{
    if (reinterpret_cast<uintptr_t>(prog) <= 2)
        return;
    qfree(prog, size_t(prog->size));
}

Patprog *slotpatprog(Eprog *prog, int slot, char *text, int flags)
{
    Patprog **p = prog && slot >= 0 && slot < prog->pattern_count ? &prog->pattern_slots[slot] : nullptr;
    if (p) {
        uintptr_t v = reinterpret_cast<uintptr_t>(*p);
        if (v == 2)
            return nullptr;  // already known to be bad
        if (v > 2)
            return *p;
    }
    char *t = dupstring(text);
    // A leading "=" is text to match, never a command to look up.
    bool eq = static_cast<unsigned char>(*t) == TK_EQUALS;
    if (eq)
        *t = '=';
    if (has_token(t)) {
        singsub(&t);
        if (errflag)
            return nullptr;
    }
    // Only a kept program keeps the pattern, and only one whose text no
    // substitution changed: an arena pattern would not outlive this
    // command, and a substituted one may differ the next time.
    bool same = eq ? *t == '=' && !strcmp(t + 1, text + 1) : !strcmp(t, text);
    bool keep = p && !(prog->flags & EF_HEAP) && prog->ref_count >= 0 && same;
    Patprog *c = patcompile(t, (flags & ~(PC_IN_PLACE | PC_PERMANENT)) | (keep ? PC_PERMANENT : 0), nullptr);
    if (keep)
        *p = c ? c : reinterpret_cast<Patprog *>(2);
    return c;
}
