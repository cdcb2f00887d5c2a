// Compiled wordcode files: writing them, reading their headers, taking a
// program out of one (read into memory or from a shared mapping), and the
// checks that keep a damaged or foreign file from being run.
//
// A file is two copies of one image, the second with its words swapped,
// so a machine of either byte order finds a copy it can use unchanged.
// Everything in a file is untrusted: every length and offset is checked
// against the file before it is used, and a program's wordcode is walked
// once, in the shape the parser gives it, before anything runs it.
#include "lang/lang.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr wordcode FD_MAGIC = 0x04050607;
constexpr wordcode FD_OMAGIC = 0x07060504;
constexpr int FD_PRELEN = 12;       // prefix words
constexpr int FD_HDRWORDS = 6;      // fixed words of a program header
constexpr int FD_VERSIONLEN = 40;
constexpr size_t FD_MAXCOPY = 0xffffff;  // the offset field has 24 bits
constexpr size_t FD_MAPTHRESHOLD = 4096;

enum : int { FDF_MAP = 1, FDF_OTHER = 2 };

// Program header fields.
inline wordcode hdr_start(const wordcode *h) { return h[0]; }
inline wordcode hdr_len(const wordcode *h) { return h[1]; }
inline wordcode hdr_npats(const wordcode *h) { return h[2]; }
inline wordcode hdr_strs(const wordcode *h) { return h[3]; }
inline wordcode hdr_hlen(const wordcode *h) { return h[4]; }
inline wordcode hdr_flags(const wordcode *h) { return h[5] & 3; }
inline wordcode hdr_tail(const wordcode *h) { return h[5] >> 2; }
inline const char *hdr_name(const wordcode *h) { return reinterpret_cast<const char *>(h + FD_HDRWORDS); }

inline int pre_flags(const wordcode *p) { return reinterpret_cast<const unsigned char *>(p)[4]; }
inline size_t pre_other(const wordcode *p)
{
    const unsigned char *b = reinterpret_cast<const unsigned char *>(p) + 4;
    return size_t(b[1]) | size_t(b[2]) << 8 | size_t(b[3]) << 16;
}
inline wordcode pre_headerlen(const wordcode *p) { return p[FD_PRELEN]; }

inline wordcode swapword(wordcode w)
{
    return (w >> 24) | ((w >> 8) & 0xff00) | ((w << 8) & 0xff0000) | (w << 24);
}

bool endsqwc(const char *s)
{
    size_t l = strlen(s);
    return l >= 4 && !strcmp(s + l - 4, ".qwc");
}

// mtime of a strictly newer than b.
bool newer(const struct stat &a, const struct stat &b)
{
    if (a.st_mtim.tv_sec != b.st_mtim.tv_sec)
        return a.st_mtim.tv_sec > b.st_mtim.tv_sec;
    return a.st_mtim.tv_nsec > b.st_mtim.tv_nsec;
}

bool qstat(const char *file, struct stat *st)
{
    const char *u = unmeta(file);
    return u && !stat(u, st);
}

// The version text of a file for a message: only printable characters,
// and no '%' that the message formatter would take as a directive.
char *versiontext(const wordcode *pre)
{
    char *v = static_cast<char *>(qhalloc(FD_VERSIONLEN + 1));
    const char *s = reinterpret_cast<const char *>(pre + 2);
    int i;
    for (i = 0; i < FD_VERSIONLEN && s[i]; i++)
        v[i] = (s[i] >= ' ' && s[i] < 127 && s[i] != '%') ? s[i] : '?';
    v[i] = '\0';
    return v;
}

void badversion(const char *nam, const char *file, const wordcode *pre)
{
    char *fmt = qhtricat("qwc file has wrong version (tarn-", versiontext(pre), "): %s");
    qwarnnam(nam, fmt, file, 0);
}

// Prefix and program headers of the usable copy: lengths, offsets and
// names all inside the copy.  h holds hlen words in native order.
bool checkheaders(const wordcode *h, size_t hlen, size_t copylen)
{
    if (hlen < size_t(FD_PRELEN + FD_HDRWORDS + 1) || hlen * 4 > copylen)
        return false;
    size_t i = FD_PRELEN;
    while (i < hlen) {
        const wordcode *p = h + i;
        if (i + FD_HDRWORDS + 1 > hlen)
            return false;
        size_t hl = hdr_hlen(p);
        if (hl < size_t(FD_HDRWORDS + 1) || hl > hlen - i)
            return false;
        size_t room = (hl - FD_HDRWORDS) * 4;
        const char *nm = hdr_name(p);
        size_t nl = strnlen(nm, room);
        if (nl == room || hl != FD_HDRWORDS + (nl + 4) / 4 || hdr_tail(p) > nl || hdr_flags(p) == 3)
            return false;
        uint64_t start = uint64_t(hdr_start(p)) * 4, len = hdr_len(p), strs = hdr_strs(p);
        // At least the closing word of the code; the string table begins
        // on a word boundary after it.
        if (start < hlen * 4 || start + len > copylen || strs < 4 || strs > len || strs % 4)
            return false;
        if (hdr_npats(p) > len / 4)
            return false;
        i += hl;
    }
    return i == hlen && pre_headerlen(h) == hlen;
}

const wordcode *findname(const wordcode *h, const char *name)
{
    size_t hlen = pre_headerlen(h);
    for (size_t i = FD_PRELEN; i < hlen; i += hdr_hlen(h + i)) {
        const wordcode *p = h + i;
        if (!strcmp(name, hdr_name(p) + hdr_tail(p)))
            return p;
    }
    return nullptr;
}

// An open compiled file with the headers of its usable copy.
struct QwcFile {
    int fd;
    wordcode *h;     // prefix and headers, arena
    size_t base;     // byte offset of the usable copy
    size_t copylen;  // bytes of one copy
    struct stat st;
};

enum QwcOpen { QO_OK, QO_NOFILE, QO_BAD };

// Open file and read its headers.  Unless quiet, every failure but a
// missing file is reported; a damaged file is always reported.
QwcOpen qwcopen(const char *nam, const char *file, QwcFile *q, bool quiet)
{
    const char *u = unmeta(file);
    q->fd = u ? open(u, O_RDONLY | O_NOCTTY | O_CLOEXEC) : -1;
    if (q->fd < 0) {
        if (!quiet)
            qwarnnam(nam, "can't open qwc file: %s", file, 0);
        return QO_NOFILE;
    }
    wordcode pre[FD_PRELEN + 1];
    bool ok = false;
    if (fstat(q->fd, &q->st) || pread(q->fd, pre, sizeof pre, 0) != ssize_t(sizeof pre)) {
        qwarnnam(nam, "invalid qwc file: %s", file, 0);
    } else if (pre[0] != FD_MAGIC && pre[0] != FD_OMAGIC) {
        badversion(nam, file, pre);
    } else {
        // The copy for this byte order is the first one or starts where
        // the first copy's offset field says; both copies are present.
        size_t copylen = pre_other(pre);
        q->base = pre[0] == FD_MAGIC ? 0 : copylen;
        if (copylen % 4 || copylen < sizeof pre || uint64_t(q->st.st_size) != 2 * uint64_t(copylen) ||
            (q->base && pread(q->fd, pre, sizeof pre, off_t(q->base)) != ssize_t(sizeof pre)) ||
            pre[0] != FD_MAGIC || pre_other(pre) != copylen || !(pre_flags(pre) & FDF_OTHER) != !q->base ||
            (pre_flags(pre) & ~(FDF_MAP | FDF_OTHER))) {
            qwarnnam(nam, "invalid qwc file: %s", file, 0);
        } else if (strncmp(reinterpret_cast<const char *>(pre + 2), TARN_VERSION, FD_VERSIONLEN)) {
            badversion(nam, file, pre);
        } else {
            q->copylen = copylen;
            size_t hlen = pre_headerlen(pre);
            if (hlen * 4 > copylen || hlen < size_t(FD_PRELEN + FD_HDRWORDS + 1)) {
                qwarnnam(nam, "invalid qwc file: %s", file, 0);
            } else {
                q->h = static_cast<wordcode *>(qhalloc(hlen * 4));
                if (pread(q->fd, q->h, hlen * 4, off_t(q->base)) != ssize_t(hlen * 4) ||
                    !checkheaders(q->h, hlen, copylen))
                    qwarnnam(nam, "invalid qwc file: %s", file, 0);
                else
                    ok = true;
            }
        }
    }
    if (!ok) {
        close(q->fd);
        q->fd = -1;
        return QO_BAD;
    }
    return QO_OK;
}

// ---- checking the wordcode of a program ----

// Walks a program in the shape the parser writes it: every word read lies
// inside the code, every skip and offset lands exactly where its
// construct ends, every string lies in its region and ends there, every
// pattern slot exists.  One pass over the code; the string table is
// indexed once so that each string word costs O(1).
struct Checker {
    const char *strs;      // the whole string table
    int *nextnul;          // per byte: the offset of the NUL that ends it
    int *nexttok;          // per byte: the offset of the next token byte
    size_t rbase, rlen;    // the string region in use
    size_t npats;          // its pattern slots
    int depth;
};

constexpr int CHECK_DEPTH = MAX_PARSE_DEPTH + 16;

const wordcode *ck_lists(Checker &c, const wordcode *pc, const wordcode *lim);
const wordcode *ck_listsend(Checker &c, const wordcode *pc, const wordcode *lim);
const wordcode *ck_sublist(Checker &c, const wordcode *pc, const wordcode *lim);
const wordcode *ck_cmd(Checker &c, const wordcode *pc, const wordcode *lim);

bool tokbyte(unsigned char b) { return itok(b); }

const wordcode *ck_str(Checker &c, const wordcode *pc, const wordcode *lim)
{
    if (!pc || pc >= lim)
        return nullptr;
    wordcode w = *pc;
    if (w == 6 || w == 7)
        return pc + 1;
    if (w & 2) {
        if (w >> 27)
            return nullptr;
        unsigned char b[3] = {static_cast<unsigned char>(w >> 3), static_cast<unsigned char>(w >> 11),
                              static_cast<unsigned char>(w >> 19)};
        bool t = false;
        int n = 0;
        while (n < 3 && b[n])
            t |= tokbyte(b[n++]);
        if (!n || t != bool(w & 1) || b[n - 1] == METACHAR)
            return nullptr;
        return pc + 1;
    }
    size_t off = w >> 2;
    if (off >= c.rlen)
        return nullptr;
    size_t at = c.rbase + off;
    size_t nul = size_t(c.nextnul[at]);
    if (nul >= c.rbase + c.rlen || nul < at + 4)  // shorter strings are inline
        return nullptr;
    if ((size_t(c.nexttok[at]) < nul) != bool(w & 1) || static_cast<unsigned char>(c.strs[nul - 1]) == METACHAR)
        return nullptr;
    return pc + 1;
}

const wordcode *ck_strs(Checker &c, const wordcode *pc, const wordcode *lim, size_t n)
{
    if (!pc || n > size_t(lim - pc))
        return nullptr;
    while (n-- && pc)
        pc = ck_str(c, pc, lim);
    return pc;
}

// A count word followed by that many strings.
const wordcode *ck_counted(Checker &c, const wordcode *pc, const wordcode *lim, bool nonzero)
{
    if (!pc || pc >= lim || (nonzero && !*pc))
        return nullptr;
    return ck_strs(c, pc + 1, lim, *pc);
}

const wordcode *ck_slot(Checker &c, const wordcode *pc, const wordcode *lim)
{
    return pc && pc < lim && *pc < c.npats ? pc + 1 : nullptr;
}

// The end of a construct whose skip counts from the word after pc.
const wordcode *ck_end(const wordcode *pc, const wordcode *lim, wordcode skip)
{
    return pc < lim && skip <= size_t(lim - pc - 1) ? pc + 1 + skip : nullptr;
}

const wordcode *ck_redirs(Checker &c, const wordcode *pc, const wordcode *lim)
{
    while (pc && pc < lim && code_type(*pc) == CODE_REDIR) {
        wordcode t = redir_type(*pc);
        if (t > RT_PROC_OUT || t == RT_HEREDOC || t == RT_HEREDOC_TABS || pc + 1 >= lim || pc[1] >= 1000000000)
            return nullptr;
        pc = ck_str(c, pc + 2, lim);
    }
    return pc;
}

const wordcode *ck_assigns(Checker &c, const wordcode *pc, const wordcode *lim)
{
    while (pc && pc < lim && code_type(*pc) == CODE_ASSIGN) {
        wordcode w = *pc;
        if (assign_type(w) == ASSIGN_SCALAR)
            pc = assign_num(w) ? nullptr : ck_strs(c, pc + 1, lim, 2);
        else
            pc = ck_strs(c, pc + 1, lim, size_t(assign_num(w)) + 1);
    }
    return pc;
}

// A condition tree; and/or chains and negations are walked in a loop.
const wordcode *ck_cond(Checker &c, const wordcode *pc, const wordcode *lim)
{
    if (++c.depth > CHECK_DEPTH)
        return nullptr;
    const wordcode *ret = nullptr, *mustend = nullptr;
    for (;;) {
        if (!pc || pc >= lim || code_type(*pc) != CODE_COND)
            break;
        wordcode t = cond_type(*pc), skip = cond_skip(*pc);
        const wordcode *a = pc + 1;
        if (t == COND_NOT) {
            if (skip)
                break;
            pc = a;
            continue;
        }
        if (t == COND_AND || t == COND_OR) {
            // The skip leads past both operands; the second one is what
            // follows the first, up to there.
            const wordcode *end = ck_end(pc, lim, skip);
            if (!end || (mustend && end != mustend))
                break;
            mustend = lim = end;
            pc = ck_cond(c, a, end);
            continue;
        }
        if (t == COND_MOD) {
            ret = ck_strs(c, a, lim, size_t(skip) + 1);
        } else if (skip) {
            break;
        } else if (t == COND_STREQ || t == COND_STRNEQ) {
            ret = ck_slot(c, ck_strs(c, a, lim, 2), lim);
        } else if (t == COND_MODI) {
            ret = ck_strs(c, a, lim, 3);
        } else if ((t >= COND_STRLT && t <= COND_GE) || t == COND_REGEX) {
            ret = ck_strs(c, a, lim, 2);
        } else if (t < 128 && t > COND_MODI && strchr(COND_UNARY_LETTERS, char(t))) {
            ret = ck_str(c, a, lim);
        }
        break;
    }
    c.depth--;
    return mustend && ret != mustend ? nullptr : ret;
}

// A function definition: names, its own string region and pattern slots,
// and the body checked against them.
const wordcode *ck_funcdef(Checker &c, const wordcode *pc, const wordcode *lim)
{
    const wordcode *end = ck_end(pc, lim, funcdef_skip(*pc));
    const wordcode *p = ck_counted(c, pc + 1, end, false);
    if (!p || end - p < 3)
        return nullptr;
    size_t sbeg = p[0], slen = p[1], npats = p[2];
    if (sbeg > c.rlen || slen > c.rlen - sbeg || npats > size_t(end - p))
        return nullptr;
    Checker inner = c;
    inner.rbase = c.rbase + sbeg;
    inner.rlen = slen;
    inner.npats = npats;
    p = ck_listsend(inner, p + 3, end);
    return p == end ? end : nullptr;
}

// The body of a construct, which must fill it exactly.
const wordcode *ck_body(Checker &c, const wordcode *pc, const wordcode *end)
{
    wordcode code = *pc;
    const wordcode *p = pc + 1;
    switch (code_type(code)) {
    case CODE_SUBSH:
    case CODE_CURSH:
        p = ck_listsend(c, p, end);
        break;
    case CODE_FOR:
        if (for_type(code) == FOR_COND) {
            p = ck_strs(c, p, end, 3);
        } else {
            p = ck_counted(c, p, end, true);
            if (for_type(code) == FOR_LIST)
                p = ck_counted(c, p, end, false);
            else if (for_type(code) != FOR_PPARAM)
                p = nullptr;
        }
        p = ck_lists(c, p, end);
        break;
    case CODE_SELECT:
        p = ck_str(c, p, end);
        if (select_type(code) == SELECT_LIST)
            p = ck_counted(c, p, end, false);
        p = ck_lists(c, p, end);
        break;
    case CODE_WHILE:
        p = ck_lists(c, ck_lists(c, p, end), end);
        break;
    case CODE_REPEAT:
        p = ck_lists(c, ck_str(c, p, end), end);
        break;
    case CODE_CASE:
        if (case_type(code) != CASE_HEAD)
            return nullptr;
        p = ck_str(c, p, end);
        while (p && p < end) {
            if (code_type(*p) != CODE_CASE || (case_type(*p) != CASE_OR && case_type(*p) != CASE_AND))
                return nullptr;
            const wordcode *iend = ck_end(p, end, case_skip(*p));
            if (!iend || ck_lists(c, ck_slot(c, ck_str(c, p + 1, iend), iend), iend) != iend)
                return nullptr;
            p = iend;
        }
        break;
    case CODE_IF: {
        if (if_type(code) != IF_HEAD)
            return nullptr;
        bool first = true, sawelse = false;
        while (p && p < end) {
            wordcode t = if_type(*p);
            if (code_type(*p) != CODE_IF || sawelse || t == IF_HEAD || (first != (t == IF_IF)))
                return nullptr;
            const wordcode *pend = ck_end(p, end, if_skip(*p));
            const wordcode *q = pend ? ck_lists(c, p + 1, pend) : nullptr;
            if (t != IF_ELSE)
                q = ck_lists(c, q, pend);
            if (!q || q != pend)
                return nullptr;
            sawelse = t == IF_ELSE;
            first = false;
            p = pend;
        }
        if (first)
            return nullptr;
        break;
    }
    default:
        return nullptr;
    }
    return p == end ? end : nullptr;
}

// A shell construct at pc (not a simple command): the end of it.
const wordcode *ck_construct(Checker &c, const wordcode *pc, const wordcode *lim)
{
    if (!pc || pc >= lim)
        return nullptr;
    wordcode code = *pc;
    switch (code_type(code)) {
    case CODE_SUBSH:
    case CODE_CURSH:
    case CODE_FOR:
    case CODE_SELECT:
    case CODE_WHILE:
    case CODE_REPEAT:
    case CODE_CASE:
    case CODE_IF: {
        // Every one of these carries its skip in the bits its type leaves.
        wordcode skip = code_type(code) == CODE_SUBSH || code_type(code) == CODE_CURSH || code_type(code) == CODE_REPEAT
                            ? code_data(code)
                        : code_type(code) == CODE_FOR ? for_skip(code)
                        : code_type(code) == CODE_SELECT ? select_skip(code)
                        : code_type(code) == CODE_WHILE ? while_skip(code)
                        : code_type(code) == CODE_CASE ? case_skip(code)
                                                       : if_skip(code);
        if (code_type(code) == CODE_SELECT && select_type(code) > SELECT_LIST)
            return nullptr;
        const wordcode *end = ck_end(pc, lim, skip);
        if (!end || ++c.depth > CHECK_DEPTH)
            return nullptr;
        const wordcode *r = ck_body(c, pc, end);
        c.depth--;
        return r;
    }
    case CODE_FUNCDEF: {
        if (++c.depth > CHECK_DEPTH)
            return nullptr;
        const wordcode *r = ck_funcdef(c, pc, lim);
        c.depth--;
        return r;
    }
    case CODE_TIMED:
        if (timed_type(code) == TIMED_EMPTY)
            return pc + 1;
        if (timed_type(code) != TIMED_PIPE || pc + 1 >= lim || code_type(pc[1]) != CODE_SUBLIST ||
            sublist_type(pc[1]) != SUBLIST_END || (sublist_flags(pc[1]) & SUBLIST_SIMPLE))
            return nullptr;
        return ck_sublist(c, pc + 1, lim);
    case CODE_COND:
        return ck_cond(c, pc, lim);
    case CODE_ARITH:
        return code_data(code) ? nullptr : ck_str(c, pc + 1, lim);
    default:
        return nullptr;
    }
}

// The command of a simple list or sublist, which runs without a job:
// assignments alone, or a construct other than a subshell, with no
// redirections.
const wordcode *ck_simplecmd(Checker &c, const wordcode *pc, const wordcode *lim)
{
    if (!pc || pc >= lim)
        return nullptr;
    if (code_type(*pc) == CODE_ASSIGN) {
        pc = ck_assigns(c, pc, lim);
        return pc && pc < lim && *pc == code_build(CODE_SIMPLE, 0) ? pc + 1 : nullptr;
    }
    if (code_type(*pc) == CODE_SUBSH)
        return nullptr;
    return ck_construct(c, pc, lim);
}

// A command of a pipeline: redirections, then assignments and words, a
// definition or a construct, then redirections.
const wordcode *ck_cmd(Checker &c, const wordcode *pc, const wordcode *lim)
{
    if (++c.depth > CHECK_DEPTH)
        return nullptr;
    pc = ck_redirs(c, pc, lim);
    if (pc && pc < lim && code_type(*pc) == CODE_ASSIGN) {
        pc = ck_assigns(c, pc, lim);
        if (pc && pc < lim && code_type(*pc) != CODE_SIMPLE && code_type(*pc) != CODE_FUNCDEF)
            pc = nullptr;
    }
    if (pc && pc < lim && code_type(*pc) == CODE_SIMPLE)
        pc = ck_strs(c, pc + 1, lim, simple_argc(*pc));
    else
        pc = ck_construct(c, pc, lim);
    pc = ck_redirs(c, pc, lim);
    c.depth--;
    return pc;
}

const wordcode *ck_pipeline(Checker &c, const wordcode *pc, const wordcode *lim)
{
    for (;;) {
        if (!pc || pc >= lim || code_type(*pc) != CODE_PIPE)
            return nullptr;
        if (pipe_type(*pc) == PIPE_END)
            return ck_cmd(c, pc + 1, lim);
        // The word after a middle element is the distance from itself to
        // the next element.
        if (pc + 1 >= lim || !pc[1])
            return nullptr;
        const wordcode *next = ck_end(pc + 1, lim, pc[1] - 1);
        if (!next || ck_cmd(c, pc + 2, next) != next)
            return nullptr;
        pc = next;
    }
}

// A sublist and the rest of its && / || chain.
const wordcode *ck_sublist(Checker &c, const wordcode *pc, const wordcode *lim)
{
    for (;;) {
        if (!pc || pc >= lim || code_type(*pc) != CODE_SUBLIST)
            return nullptr;
        wordcode w = *pc;
        if (sublist_type(w) > SUBLIST_OR)
            return nullptr;
        const wordcode *next = ck_end(pc, lim, sublist_skip(w));
        if (!next)
            return nullptr;
        const wordcode *e = sublist_flags(w) & SUBLIST_SIMPLE ? (pc + 1 < next ? ck_simplecmd(c, pc + 2, next) : nullptr)
                                                              : ck_pipeline(c, pc + 1, next);
        if (e != next)
            return nullptr;
        if (sublist_type(w) == SUBLIST_END)
            return next;
        pc = next;
    }
}

// Lists up to the one marked last, or a lone end word for an empty body.
const wordcode *ck_lists(Checker &c, const wordcode *pc, const wordcode *lim)
{
    if (!pc || pc >= lim)
        return nullptr;
    if (*pc == code_build(CODE_END, 0))
        return pc + 1;
    for (;;) {
        if (pc >= lim || code_type(*pc) != CODE_LIST)
            return nullptr;
        wordcode w = *pc, t = list_type(w);
        if (!(t & (Z_SYNC | Z_ASYNC)) || (t & Z_SYNC && t & Z_ASYNC) || (t & Z_DISOWN && !(t & Z_ASYNC)) ||
            (t & Z_TIMED))
            return nullptr;
        if (t & Z_SIMPLE) {
            const wordcode *next = ck_end(pc, lim, list_skip(w));
            if (!(t & Z_SYNC) || !next || pc + 1 >= next || ck_simplecmd(c, pc + 2, next) != next)
                return nullptr;
            pc = next;
        } else {
            if (list_skip(w))
                return nullptr;
            pc = ck_sublist(c, pc + 1, lim);
            if (!pc)
                return nullptr;
        }
        if (t & Z_END)
            return pc;
    }
}

// Lists closed by an end word: a program, a function body, a subshell.
const wordcode *ck_listsend(Checker &c, const wordcode *pc, const wordcode *lim)
{
    if (pc && pc < lim && *pc == code_build(CODE_END, 0))
        return pc + 1;
    pc = ck_lists(c, pc, lim);
    return pc && pc < lim && *pc == code_build(CODE_END, 0) ? pc + 1 : nullptr;
}

}  // namespace

bool checkwordcode(const wordcode *code, size_t nwords, const char *strs, size_t nstrs, size_t npats)
{
    if (nstrs > size_t(INT32_MAX) || !nwords)
        return false;
    HeapGuard hg;
    Checker c;
    c.strs = strs;
    c.nextnul = static_cast<int *>(qhalloc((nstrs + 1) * sizeof(int)));
    c.nexttok = static_cast<int *>(qhalloc((nstrs + 1) * sizeof(int)));
    // A string without its NUL runs to the end of the table: an offset
    // past every region, so it is refused.
    int nul = int(nstrs), tk = int(nstrs);
    c.nextnul[nstrs] = c.nexttok[nstrs] = int(nstrs);
    for (size_t i = nstrs; i-- > 0;) {
        unsigned char b = static_cast<unsigned char>(strs[i]);
        if (!b)
            nul = int(i);
        else if (tokbyte(b))
            tk = int(i);
        c.nextnul[i] = nul;
        c.nexttok[i] = tk;
    }
    c.rbase = 0;
    c.rlen = nstrs;
    c.npats = npats;
    c.depth = 0;
    const wordcode *end = code + nwords;
    return ck_listsend(c, code, end) == end;
}

// ---- mapped files ----

struct FuncDump {
    FuncDump *next;
    dev_t dev;
    ino_t ino;
    int fd;
    void *map;
    size_t maplen;
    wordcode *addr;   // the usable copy
    size_t copylen;
    int count;
    char *filename;
};

static FuncDump *dumps;

void incrdumpcount(FuncDump *f)
{
    f->count++;
}

void decrdumpcount(FuncDump *f)
{
    if (--f->count)
        return;
    for (FuncDump **pp = &dumps; *pp; pp = &(*pp)->next)
        if (*pp == f) {
            *pp = f->next;
            break;
        }
    munmap(f->map, f->maplen);
    // A forked shell may have closed it among its own descriptors already.
    if (f->fd < fdtable_size && fdtable[f->fd])
        closefd(f->fd);
    qsfree(f->filename);
    qfree(f);
}

void closedumps()
{
    for (FuncDump *f = dumps; f; f = f->next)
        close(f->fd);
}

namespace {

// Map the file of q (its header already read) and keep it in the list.
FuncDump *mapdump(QwcFile *q, const char *file)
{
    size_t pg = size_t(sysconf(_SC_PAGESIZE));
    size_t off = q->base & ~(pg - 1);
    size_t maplen = q->copylen + (q->base - off);
    // The executor treats a program's strings as its own and may rewrite
    // them in place (with the same bytes, as untokenize does): a private
    // writable mapping keeps that from faulting, and pages stay shared
    // with other shells until one is written.
    void *m = mmap(nullptr, maplen, PROT_READ | PROT_WRITE, MAP_PRIVATE, q->fd, off_t(off));
    if (m == MAP_FAILED)
        return nullptr;
    FuncDump *f = qcnew<FuncDump>();
    f->dev = q->st.st_dev;
    f->ino = q->st.st_ino;
    f->fd = movefd(q->fd);
    q->fd = -1;
    f->map = m;
    f->maplen = maplen;
    f->addr = reinterpret_cast<wordcode *>(static_cast<char *>(m) + (q->base - off));
    f->copylen = q->copylen;
    f->filename = qtrdup(file);
    f->next = dumps;
    dumps = f;
    return f;
}

int loadstyle(const wordcode *h)
{
    return hdr_flags(h) == FDHF_KSHLOAD ? 2 : hdr_flags(h) == FDHF_NATLOAD ? 0 : 1;
}

bool checkprog(const wordcode *h, const wordcode *code)
{
    size_t strs = hdr_strs(h);
    return checkwordcode(code, strs / 4, reinterpret_cast<const char *>(code) + strs, hdr_len(h) - strs, hdr_npats(h));
}

// A program of a mapped file: its own pattern slots, the file's code.
Eprog *mappedprog(FuncDump *f, const char *name, int *ksh)
{
    // The mapping shows the file as it is now: check it every time.
    size_t hlen = f->copylen / 4 > FD_PRELEN ? pre_headerlen(f->addr) : 0;
    if (hlen * 4 > f->copylen || !checkheaders(f->addr, hlen, f->copylen)) {
        qwarn("invalid qwc file: %s", f->filename, 0);
        return nullptr;
    }
    const wordcode *h = findname(f->addr, name);
    if (!h)
        return nullptr;
    wordcode *code = f->addr + hdr_start(h);
    if (!checkprog(h, code)) {
        qwarn("invalid qwc file: %s", f->filename, 0);
        return nullptr;
    }
    Eprog *p = qcnew<Eprog>();
    int np = int(hdr_npats(h));
    p->flags = EF_MAP;
    p->len = np * int(sizeof(Patprog *)) + int(hdr_len(h));
    p->pattern_count = np;
    p->ref_count = 1;
    p->pattern_slots = qnew<Patprog *>(size_t(np ? np : 1));
    for (int i = 0; i < np; i++)
        p->pattern_slots[i] = dummy_patprog1;
    p->prog = code;
    p->string_table = reinterpret_cast<char *>(code) + hdr_strs(h);
    p->dump_link = f;
    incrdumpcount(f);
    if (ksh)
        *ksh = loadstyle(h);
    return p;
}

FuncDump *finddump(dev_t dev, ino_t ino)
{
    for (FuncDump *f = dumps; f; f = f->next)
        if (f->dev == dev && f->ino == ino)
            return f;
    return nullptr;
}

// The program name from compiled file `file`, or null.  sbuf is the file's
// status when the caller has it.
Eprog *check_dump_file(const char *file, struct stat *sbuf, const char *name, int *ksh)
{
    struct stat st;
    if (!sbuf) {
        if (!qstat(file, &st)) {
            // A mapped file that has since gone from its name is still
            // known by its descriptor.
            FuncDump *f;
            size_t l = 0;
            for (f = dumps; f; f = f->next)
                if (!strncmp(file, f->filename, l = strlen(f->filename)) && (!file[l] || file[l] == '/'))
                    break;
            if (!f || fstat(f->fd, &st))
                return nullptr;
        }
        sbuf = &st;
    }
    if (FuncDump *f = finddump(sbuf->st_dev, sbuf->st_ino))
        return mappedprog(f, name, ksh);

    HeapGuard hg;
    QwcFile q;
    if (qwcopen(nullptr, file, &q, true) != QO_OK)
        return nullptr;
    const wordcode *h = findname(q.h, name);
    Eprog *ret = nullptr;
    if (!h) {
        close(q.fd);
        return nullptr;
    }
    if (pre_flags(q.h) & FDF_MAP) {
        FuncDump *f = finddump(q.st.st_dev, q.st.st_ino);
        if (!f)
            f = mapdump(&q, file);
        if (q.fd >= 0)
            close(q.fd);
        Eprog *p = f ? mappedprog(f, name, ksh) : nullptr;
        if (f && !f->count) {
            // Nothing usable came from the new mapping: let it go again.
            f->count = 1;
            decrdumpcount(f);
        }
        return p;
    }
    int np = int(hdr_npats(h));
    size_t slots = size_t(np) * sizeof(Patprog *);
    char *block = static_cast<char *>(qalloc(slots + hdr_len(h)));
    wordcode *code = reinterpret_cast<wordcode *>(block + slots);
    if (pread(q.fd, code, hdr_len(h), off_t(q.base + size_t(hdr_start(h)) * 4)) != ssize_t(hdr_len(h)) ||
        !checkprog(h, code)) {
        qwarn("invalid qwc file: %s", file, 0);
        qfree(block);
    } else {
        ret = qcnew<Eprog>();
        ret->flags = EF_REAL;
        ret->len = int(slots + hdr_len(h));
        ret->pattern_count = np;
        ret->ref_count = 1;
        ret->pattern_slots = reinterpret_cast<Patprog **>(block);
        for (int i = 0; i < np; i++)
            ret->pattern_slots[i] = dummy_patprog1;
        ret->prog = code;
        ret->string_table = reinterpret_cast<char *>(code) + hdr_strs(h);
        if (ksh)
            *ksh = loadstyle(h);
    }
    close(q.fd);
    return ret;
}

const char *lastcomp(const char *s)
{
    const char *p = strrchr(s, '/');
    return p ? p + 1 : s;
}

}  // namespace

Eprog *try_source_file(const char *file)
{
    HeapGuard hg;
    struct stat dst, fst;
    if (endsqwc(file)) {
        char *name = dupstring(lastcomp(file));
        name[strlen(name) - 4] = '\0';
        return qstat(file, &dst) ? check_dump_file(file, &dst, name, nullptr) : nullptr;
    }
    char *dump = qhtricat(file, ".qwc", "");
    if (!qstat(dump, &dst) || (qstat(file, &fst) && !newer(dst, fst)))
        return nullptr;
    return check_dump_file(dump, &dst, lastcomp(file), nullptr);
}

Eprog *try_dump_file(const char *dir, const char *name, const char *file, int *ksh)
{
    HeapGuard hg;
    struct stat dst, qst, fst;
    if (endsqwc(dir))
        return check_dump_file(dir, nullptr, name, ksh);
    char *dig = qhtricat(dir, ".qwc", "");
    char *fq = qhtricat(file, ".qwc", "");
    bool hasq = qstat(fq, &qst), hasf = qstat(file, &fst);
    if (qstat(dig, &dst) && (!hasq || newer(dst, qst)) && (!hasf || newer(dst, fst)))
        if (Eprog *p = check_dump_file(dig, &dst, name, ksh))
            return p;
    if (hasq && (!hasf || newer(qst, fst)))
        return check_dump_file(fq, &qst, name, ksh);
    return nullptr;
}

LinkList *qwc_names(const char *nam, const char *file, int *mapped)
{
    QwcFile q;
    if (qwcopen(nam, file, &q, false) != QO_OK)
        return nullptr;
    close(q.fd);
    LinkList *l = newlinklist();
    size_t hlen = pre_headerlen(q.h);
    for (size_t i = FD_PRELEN; i < hlen; i += hdr_hlen(q.h + i))
        addlinknode(l, dupstring(hdr_name(q.h + i)));
    if (mapped)
        *mapped = (pre_flags(q.h) & FDF_MAP) != 0;
    return l;
}

// ---- writing ----

namespace {

struct Image {
    char *buf;
    size_t len;
};

void put(Image &im, size_t at, const void *p, size_t n) { memcpy(im.buf + at, p, n); }

}  // namespace

int qwc_write(const char *nam, const char *dump, LinkList *progs, int map)
{
    // Measure: the prefix, every header, every program padded to words.
    size_t hlen = FD_PRELEN, total;
    for (LinkNode *n = firstnode(progs); n; n = nextnode(n)) {
        DumpProg *d = static_cast<DumpProg *>(getdata(n));
        hlen += FD_HDRWORDS + (strlen(d->name) + 4) / 4;
    }
    total = hlen * 4;
    for (LinkNode *n = firstnode(progs); n; n = nextnode(n)) {
        Eprog *p = static_cast<DumpProg *>(getdata(n))->prog;
        total += (size_t(p->len) - size_t(p->pattern_count) * sizeof(Patprog *) + 3) & ~size_t(3);
    }
    if (total > FD_MAXCOPY) {
        qwarnnam(nam, "qwc file too large: %s", dump, 0);
        return 1;
    }
    if (map == 2)
        map = total >= FD_MAPTHRESHOLD;

    Image im{static_cast<char *>(hcalloc(2 * total)), 2 * total};
    wordcode pre[FD_PRELEN] = {};
    pre[0] = FD_MAGIC;
    unsigned char *fl = reinterpret_cast<unsigned char *>(pre + 1);
    fl[0] = map ? FDF_MAP : 0;
    fl[1] = static_cast<unsigned char>(total);
    fl[2] = static_cast<unsigned char>(total >> 8);
    fl[3] = static_cast<unsigned char>(total >> 16);
    strncpy(reinterpret_cast<char *>(pre + 2), TARN_VERSION, FD_VERSIONLEN);
    put(im, 0, pre, sizeof pre);
    pre[0] = FD_OMAGIC;
    fl[0] |= FDF_OTHER;
    put(im, total, pre, sizeof pre);

    size_t hp = FD_PRELEN * 4, cp = hlen;
    for (LinkNode *n = firstnode(progs); n; n = nextnode(n)) {
        DumpProg *d = static_cast<DumpProg *>(getdata(n));
        Eprog *p = d->prog;
        size_t nl = strlen(d->name);
        size_t codelen = size_t(p->string_table - reinterpret_cast<char *>(p->prog));
        size_t plen = size_t(p->len) - size_t(p->pattern_count) * sizeof(Patprog *);
        wordcode h[FD_HDRWORDS] = {wordcode(cp),
                                   wordcode(plen),
                                   wordcode(p->pattern_count),
                                   wordcode(codelen),
                                   wordcode(FD_HDRWORDS + (nl + 4) / 4),
                                   wordcode(d->flags) | wordcode(lastcomp(d->name) - d->name) << 2};
        put(im, hp, h, sizeof h);
        for (wordcode &w : h)
            w = swapword(w);
        put(im, total + hp, h, sizeof h);
        put(im, hp + sizeof h, d->name, nl);
        put(im, total + hp + sizeof h, d->name, nl);
        hp += (FD_HDRWORDS + (nl + 4) / 4) * 4;

        size_t at = cp * 4;
        put(im, at, p->prog, plen);
        put(im, total + at, p->prog, plen);
        wordcode *sw = reinterpret_cast<wordcode *>(im.buf + total + at);
        for (size_t i = 0; i < codelen / 4; i++)
            sw[i] = swapword(sw[i]);
        cp += (plen + 3) / 4;
    }

    const char *u = unmeta(dump);
    if (u)
        unlink(u);
    int fd = u ? open(u, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444) : -1;
    if (fd < 0) {
        qwarnnam(nam, "can't write qwc file: %s", dump, 0);
        return 1;
    }
    size_t done = 0;
    while (done < im.len) {
        ssize_t w = write(fd, im.buf + done, im.len - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        done += size_t(w);
    }
    if (close(fd) || done != im.len) {
        unlink(u);
        qwarnnam(nam, "can't write qwc file: %s", dump, 0);
        return 1;
    }
    return 0;
}
