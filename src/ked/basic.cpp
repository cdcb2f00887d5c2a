// The basic editing widgets: inserting, deleting, moving by characters,
// words and lines, killing and yanking, case changes, transposition,
// quoting, accepting the line and asking where the cursor is.  Each one
// repeats count times; a negative count runs the opposite.
#include "ked/ked.h"
#include "expand/expand.h"

#include <cstring>
#include <cwctype>
#include <string>

namespace {

int count() { return qmod.count; }

// Run f with the count negated (the opposite direction).
int opposite(KedFunc f, char **args)
{
    qmod.count = -qmod.count;
    int r = f(args);
    qmod.count = -qmod.count;
    return r;
}

}  // namespace

int runopposite(KedFunc f, char **args) { return opposite(f, args); }

int pendingwidget(char **) { return 1; }

int undefinedkey(char **) { return 1; }

int beep(char **) { return 1; }

// ---- inserting ----

namespace {

void doinsert(const unsigned char *s, int len)
{
    int n = count();
    bool neg = n < 0;
    if (neg)
        n = -n;
    if (n > MAX_COUNT / (len ? len : 1))
        n = MAX_COUNT / (len ? len : 1);
    iremovesuffix(s[0], 0);
    runkedhook(INVALIDATELISTHOOK, nullptr);
    int total = len * n;
    int start = tarncs;
    if (insmode) {
        spaceinline(total);
    } else {
        // Overwrite: the line grows only where the text runs past its end;
        // whole characters are replaced.
        int p = tarncs;
        for (int chars = 0; chars < n && p < tarnll && line[p] != '\n'; chars++)
            p = nextcharpos(p);
        int covered = p - tarncs;
        if (covered < total)
            spaceinline(total - covered);
        else if (covered > total)
            shiftchars(tarncs + total, covered - total);
    }
    for (int i = 0; i < n; i++)
        memcpy(line + start + i * len, s, size_t(len));
    markchanged(start, start + total);
    tarncs = neg ? start : start + total;
}

// The bytes of the character the last key began: a multibyte character
// is read to its end.
std::string keychar()
{
    std::string s(1, char(lastchar));
    if (kedmultibyte && lastchar >= 0xc0) {
        int need = lastchar >= 0xf0 ? 3 : lastchar >= 0xe0 ? 2 : 1;
        for (int i = 0; i < need; i++) {
            int k = getkey(1);
            if (k < 0)
                break;
            if ((k & 0xc0) != 0x80) {
                ungetkey(k);
                break;
            }
            s += char(k);
        }
    }
    return s;
}

}  // namespace

int selfinsert(char **)
{
    std::string s = keychar();
    doinsert(reinterpret_cast<const unsigned char *>(s.data()), int(s.size()));
    return 0;
}

int selfinsertunmeta(char **)
{
    lastchar &= 0x7f;
    if (lastchar == '\r')
        lastchar = '\n';
    unsigned char c = static_cast<unsigned char>(lastchar);
    doinsert(&c, 1);
    return 0;
}

int quotedinsert(char **)
{
    int k = getkey(0);
    if (k < 0)
        return 1;
    lastchar = k;
    unsigned char c = static_cast<unsigned char>(k);
    doinsert(&c, 1);
    return 0;
}

int overwritemode(char **)
{
    insmode = !insmode;
    return 0;
}

// ---- deleting ----

int deletechar(char **args)
{
    if (count() < 0)
        return opposite(backwarddeletechar, args);
    int p = tarncs;
    for (int n = count(); n > 0; n--) {
        if (p >= tarnll)
            return 1;
        p = nextcharpos(p);
    }
    foredel(p - tarncs);
    return 0;
}

int backwarddeletechar(char **args)
{
    if (count() < 0)
        return opposite(deletechar, args);
    int p = tarncs;
    for (int n = count(); n > 0 && p > 0; n--)
        p = prevcharpos(p);
    if (p == tarncs)
        return 1;
    backdel(tarncs - p);
    return 0;
}

// ---- moving by characters and lines ----

int forwardchar(char **args)
{
    if (count() < 0)
        return opposite(backwardchar, args);
    for (int n = count(); n > 0 && tarncs < tarnll; n--)
        tarncs = nextcharpos(tarncs);
    return 0;
}

int backwardchar(char **args)
{
    if (count() < 0)
        return opposite(forwardchar, args);
    for (int n = count(); n > 0 && tarncs > 0; n--)
        tarncs = prevcharpos(tarncs);
    return 0;
}

int beginningofline(char **args)
{
    if (count() < 0)
        return opposite(endofline, args);
    for (int n = count(); n > 0; n--) {
        if (tarncs > 0 && line[tarncs - 1] == '\n') {
            tarncs--;
            if (tarncs == 0)
                return 0;
        }
        tarncs = findbol();
    }
    return 0;
}

int endofline(char **args)
{
    if (count() < 0)
        return opposite(beginningofline, args);
    for (int n = count(); n > 0; n--) {
        if (tarncs < tarnll && line[tarncs] == '\n') {
            tarncs++;
            if (tarncs == tarnll)
                return 0;
        }
        tarncs = findeol();
    }
    return 0;
}

int beginningoflinehist(char **args)
{
    if (count() < 0)
        return opposite(endoflinehist, args);
    for (int n = count(); n > 0; n--) {
        if (tarncs == 0) {
            int r = uphistory(nullptr);
            tarncs = 0;
            if (r)
                return r;
            continue;
        }
        if (line[tarncs - 1] == '\n')
            tarncs--;
        tarncs = findbol();
    }
    return 0;
}

int endoflinehist(char **args)
{
    if (count() < 0)
        return opposite(beginningoflinehist, args);
    for (int n = count(); n > 0; n--) {
        if (tarncs >= tarnll) {
            if (downhistory(nullptr))
                return 1;
            tarncs = tarnll;
            continue;
        }
        if (line[tarncs] == '\n')
            tarncs++;
        tarncs = findeol();
    }
    return 0;
}

// ---- words ----

namespace {

// Word motions as the word widgets define them, by whole characters.
int skipfwd(int p, bool word)
{
    while (p < tarnll && iswordat(p) == word)
        p = nextcharpos(p);
    return p;
}

int skipback(int p, bool word)
{
    while (p > 0 && iswordat(prevcharpos(p)) == word)
        p = prevcharpos(p);
    return p;
}

// forward-word: word characters, then the others up to the next word.
int fwdword(int p) { return skipfwd(skipfwd(p, true), false); }
// backward-word: back over non-word characters, then the word.
int backword(int p) { return skipback(skipback(p, false), true); }
// The end of the next word (for the word kills and case changes).
int endofnextword(int p) { return skipfwd(skipfwd(p, false), true); }

}  // namespace

extern int wordflag;

int forwardword(char **args)
{
    if (count() < 0)
        return opposite(backwardword, args);
    for (int n = count(); n > 0; n--)
        tarncs = n == 1 && wordflag ? skipfwd(tarncs, true) : fwdword(tarncs);
    return 0;
}

int emacsforwardword(char **args)
{
    if (count() < 0)
        return opposite(emacsbackwardword, args);
    for (int n = count(); n > 0; n--)
        tarncs = endofnextword(tarncs);
    return 0;
}

int backwardword(char **args)
{
    if (count() < 0)
        return opposite(forwardword, args);
    for (int n = count(); n > 0; n--)
        tarncs = backword(tarncs);
    return 0;
}

int emacsbackwardword(char **args)
{
    if (count() < 0)
        return opposite(emacsforwardword, args);
    for (int n = count(); n > 0; n--)
        tarncs = backword(tarncs);
    return 0;
}

// Word kills cut to where the word motions go, into the kill ring.
int killword(char **args)
{
    if (count() < 0)
        return opposite(backwardkillword, args);
    int p = tarncs;
    for (int n = count(); n > 0; n--)
        p = endofnextword(p);
    if (p == tarncs)
        return 1;
    forekill(p - tarncs, 0);
    return 0;
}

int backwardkillword(char **args)
{
    if (count() < 0)
        return opposite(killword, args);
    int p = tarncs;
    for (int n = count(); n > 0; n--)
        p = backword(p);
    if (p == tarncs)
        return 1;
    backkill(tarncs - p, 1);
    return 0;
}

// The delete forms do the same without saving the text.
int deleteword(char **args)
{
    if (count() < 0)
        return opposite(backwarddeleteword, args);
    int p = tarncs;
    for (int n = count(); n > 0; n--)
        p = endofnextword(p);
    if (p == tarncs)
        return 1;
    foredel(p - tarncs);
    return 0;
}

int backwarddeleteword(char **args)
{
    if (count() < 0)
        return opposite(deleteword, args);
    int p = tarncs;
    for (int n = count(); n > 0; n--)
        p = backword(p);
    if (p == tarncs)
        return 1;
    backdel(tarncs - p);
    return 0;
}

namespace {

enum CaseHow { CASE_UP, CASE_DOWN, CASE_CAP };

// Change the case of the characters in [from, to).
void changecase(int from, int to, CaseHow how)
{
    std::string out;
    bool start = true;
    for (int p = from; p < to;) {
        int len;
        uint32_t ch = charat(p, &len);
        bool valid = !(ch & 0x80000000u) && len > 0;
        if (!valid || (!kedmultibyte && ch >= 0x80)) {
            unsigned char b = line[p];
            if (b < 0x80) {
                bool alnum = ialnum(b);
                if (how == CASE_UP || (how == CASE_CAP && start))
                    b = static_cast<unsigned char>(tuupper(b));
                else
                    b = static_cast<unsigned char>(tulower(b));
                start = !alnum;
            }
            out += char(b);
            p += len ? len : 1;
            continue;
        }
        wint_t w = wint_t(ch);
        bool alnum = iswalnum(w);
        if (how == CASE_UP || (how == CASE_CAP && start))
            w = towupper(w);
        else
            w = towlower(w);
        start = !alnum;
        char mb[8];
        mbstate_t st{};
        size_t n = wcrtomb(mb, wchar_t(w), &st);
        if (n == size_t(-1) || int(n) != len)
            out.append(reinterpret_cast<char *>(line + p), size_t(len));
        else
            out.append(mb, n);
        p += len;
    }
    memcpy(line + from, out.data(), out.size());
    markchanged(from, to);
}

int casewords(CaseHow how)
{
    int n = count(), start = tarncs;
    bool neg = n < 0;
    if (neg)
        n = -n;
    for (; n > 0; n--) {
        int from = skipfwd(tarncs, false);
        int to = skipfwd(from, true);
        changecase(from, to, how);
        tarncs = to;
    }
    if (neg)
        tarncs = start;
    return 0;
}

}  // namespace

int upcaseword(char **) { return casewords(CASE_UP); }
int downcaseword(char **) { return casewords(CASE_DOWN); }
int capitalizeword(char **) { return casewords(CASE_CAP); }

// ---- transposing ----

namespace {

void swapspans(int a, int b, int c)
{
    // [a, b) and [b, c) change places.
    std::string first(reinterpret_cast<char *>(line + a), size_t(b - a));
    std::string second(reinterpret_cast<char *>(line + b), size_t(c - b));
    memcpy(line + a, second.data(), second.size());
    memcpy(line + a + second.size(), first.data(), first.size());
    markchanged(a, c);
}

}  // namespace

int transposechars(char **)
{
    for (int n = count() < 0 ? -count() : count(); n > 0; n--) {
        int bol = findbol(), eol = findeol();
        int p = tarncs;
        if (p == bol) {
            // At the start of a line: one character right first.
            if (p >= eol)
                return 1;
            p = nextcharpos(p);
        }
        if (p >= eol) {
            // At the end: the two characters before the cursor.
            int b = prevcharpos(p), a = prevcharpos(b);
            if (a < bol || !(a < b && b < p))
                return 1;
            swapspans(a, b, p);
            tarncs = p;
        } else {
            int a = prevcharpos(p), c = nextcharpos(p);
            if (a < bol || a >= p)
                return 1;
            swapspans(a, p, c);
            tarncs = c;
        }
    }
    return 0;
}

int gosmacstransposechars(char **)
{
    int p = tarncs, bol = findbol();
    int b = prevcharpos(p);
    int a = prevcharpos(b);
    // Fewer than two characters before the cursor: nothing to swap.
    if (p - bol < 2 || a < bol || a == b || b == p)
        return 1;
    swapspans(a, b, p);
    return 0;
}

int transposewords(char **)
{
    for (int n = count() < 0 ? -count() : count(); n > 0; n--) {
        // The word at or before the cursor, and the one before that.
        int p = tarncs;
        int e2 = iswordat(p) ? skipfwd(p, true) : skipback(p, false);
        if (!iswordat(p) && e2 == 0)
            return 1;
        int s2 = skipback(e2, true);
        int e1 = skipback(s2, false);
        int s1 = skipback(e1, true);
        if (s1 == e1 || s2 == e2)
            return 1;
        std::string w1(reinterpret_cast<char *>(line + s1), size_t(e1 - s1));
        std::string mid(reinterpret_cast<char *>(line + e1), size_t(s2 - e1));
        std::string w2(reinterpret_cast<char *>(line + s2), size_t(e2 - s2));
        std::string out = w2 + mid + w1;
        memcpy(line + s1, out.data(), out.size());
        markchanged(s1, e2);
        tarncs = e2;
    }
    return 0;
}

// ---- killing and yanking ----

int killline(char **args)
{
    if (count() < 0)
        return opposite(backwardkillline, args);
    int p = tarncs;
    for (int n = count(); n > 0; n--) {
        if (p < tarnll && line[p] == '\n') {
            p++;
        } else {
            while (p < tarnll && line[p] != '\n')
                p++;
        }
    }
    if (p == tarncs)
        return 1;
    forekill(p - tarncs, 0);
    clearlist = 1;
    return 0;
}

int backwardkillline(char **args)
{
    if (count() < 0)
        return opposite(killline, args);
    int p = tarncs;
    for (int n = count(); n > 0; n--) {
        if (p > 0 && line[p - 1] == '\n') {
            p--;
        } else {
            while (p > 0 && line[p - 1] != '\n')
                p--;
        }
    }
    if (p == tarncs)
        return 1;
    backkill(tarncs - p, 1);
    clearlist = 1;
    return 0;
}

int killwholeline(char **)
{
    int n = count();
    if (n < 0)
        return 1;
    for (int i = 0; i < n; i++) {
        int a = findbol(), b = findeol();
        if (b < tarnll)
            b++;
        else if (a > 0)
            a--;
        if (a == b)
            break;
        tarncs = a;
        forekill(b - a, 0);
        lastcmd |= W_KILL;
    }
    clearlist = 1;
    return 0;
}

int killbuffer(char **)
{
    tarncs = 0;
    forekill(tarnll, 0);
    clearlist = 1;
    return 0;
}

int killregion(char **)
{
    if (mark > tarnll)
        mark = tarnll;
    if (mark > tarncs)
        forekill(mark - tarncs, 0);
    else
        backkill(tarncs - mark, 1);
    return 0;
}

int copyregionaskill(char **)
{
    if (mark > tarnll)
        mark = tarnll;
    if (mark > tarncs)
        cut(tarncs, mark - tarncs, 0);
    else
        cut(mark, tarncs - mark, 1);
    return 0;
}

namespace {

// The span the last yank inserted, for yank-pop.
int yankb, yanke;
int kctbase;  // where yank-pop started in the ring
int kct;      // the ring position shown now (-1: the buffer first yanked)

void yanktext(const char *s, int len, int times)
{
    int start = tarncs;
    mark = tarncs;
    for (int i = 0; i < times; i++) {
        spaceinline(len);
        memcpy(line + tarncs, s, size_t(len));
        markchanged(tarncs, tarncs + len);
        tarncs += len;
    }
    yankb = start;
    yanke = tarncs;
}

}  // namespace

int yank(char **)
{
    int n = count();
    if (n < 0)
        return 1;
    Cutbuffer *b = (qmod.flags & MOD_VIBUF) ? &vibuf[qmod.cut_buffer_index] : &cutbuf;
    if (!b->buf || !b->len)
        return 1;
    if (n > MAX_COUNT / b->len)
        n = MAX_COUNT / b->len;
    yanktext(b->buf, b->len, n);
    kct = -1;
    kctbase = kringnum;
    return 0;
}

// vi-put: the span it put in, for a yank-pop after it.
void noteyank(int b, int e)
{
    yankb = b;
    yanke = e;
    kct = -1;
    kctbase = kringnum;
}

int yankpop(char **)
{
    if (!(lastcmd & W_YANK) || !kring || yanke > tarnll || yankb > yanke)
        return 1;
    // Back through the ring from the newest, wrapping, with the buffer
    // first yanked (-1) as one more position; empty entries are skipped.
    int pos = kct;
    for (int steps = 0; steps <= kringsize; steps++) {
        if (pos == -1) {
            pos = kctbase;
        } else {
            pos = (pos - 1 + kringsize) % kringsize;
            if (pos == kctbase)
                pos = -1;
        }
        if (pos == kct)
            return 1;
        Cutbuffer *b = pos == -1 ? &cutbuf : &kring[pos];
        if (b->buf && b->len) {
            tarncs = yankb;
            foredel(yanke - yankb);
            int ob = yankb;
            yanktext(b->buf, b->len, 1);
            mark = ob;
            kct = pos;
            return 0;
        }
    }
    return 1;
}

// ---- the mark ----

int setmarkcommand(char **)
{
    mark = tarncs;
    return 0;
}

int exchangepointandmark(char **)
{
    if (mark > tarnll)
        mark = tarnll;
    int t = mark;
    mark = tarncs;
    tarncs = t;
    return 0;
}

// ---- quoting ----

namespace {

std::string singlequoted(const std::string &s)
{
    std::string out = "'";
    for (char ch : s) {
        if (ch == '\'')
            out += "'\\''";
        else
            out += ch;
    }
    out += '\'';
    return out;
}

}  // namespace

int quoteline(char **)
{
    std::string s(reinterpret_cast<char *>(line), size_t(tarnll));
    std::string q = singlequoted(s);
    setlinebytes(reinterpret_cast<const unsigned char *>(q.data()), int(q.size()));
    return 0;
}

int quoteregion(char **)
{
    if (mark > tarnll)
        mark = tarnll;
    int a = mark < tarncs ? mark : tarncs, b = mark < tarncs ? tarncs : mark;
    std::string q = singlequoted(std::string(reinterpret_cast<char *>(line + a), size_t(b - a)));
    tarncs = a;
    foredel(b - a);
    spaceinline(int(q.size()));
    memcpy(line + a, q.data(), q.size());
    markchanged(a, a + int(q.size()));
    mark = a;
    tarncs = a + int(q.size());
    return 0;
}

int poundinsert(char **)
{
    // Every line gets a leading # at its first non-blank, or loses one.
    bool remove = false;
    int p = 0;
    while (p < tarnll && (line[p] == ' ' || line[p] == '\t'))
        p++;
    remove = p < tarnll && line[p] == '#';
    int ocs = tarncs;
    for (int bol = 0; bol <= tarnll;) {
        int q = bol;
        while (q < tarnll && (line[q] == ' ' || line[q] == '\t'))
            q++;
        if (remove) {
            if (q < tarnll && line[q] == '#')
                shiftchars(q, 1);
        } else {
            tarncs = q;
            spaceinline(1);
            line[q] = '#';
            markchanged(q, q + 1);
        }
        int e = q;
        while (e < tarnll && line[e] != '\n')
            e++;
        if (e >= tarnll)
            break;
        bol = e + 1;
    }
    tarncs = ocs > tarnll ? tarnll : ocs;
    done = 1;
    return 0;
}

// ---- accepting ----

int acceptline(char **)
{
    done = 1;
    return 0;
}

int acceptandhold(char **)
{
    pushbufferline(metafiedline());
    stackcs = tarncs;
    done = 1;
    return 0;
}

int sendbreak(char **)
{
    errflag = 1;
    return 1;
}

int copyprevword(char **)
{
    int e = tarncs;
    while (e > 0 && !iswordat(prevcharpos(e)))
        e = prevcharpos(e);
    int s = e;
    while (s > 0 && iswordat(prevcharpos(s)))
        s = prevcharpos(s);
    if (s == e)
        return 1;
    std::string w(reinterpret_cast<char *>(line + s), size_t(e - s));
    spaceinline(int(w.size()));
    memcpy(line + tarncs, w.data(), w.size());
    markchanged(tarncs, tarncs + int(w.size()));
    tarncs += int(w.size());
    return 0;
}

int copyprevshellword(char **)
{
    // The shell word before the cursor, as the lexer splits the line.
    std::string before(reinterpret_cast<char *>(line), size_t(tarncs));
    char *m = metafy(const_cast<char *>(before.c_str()), int(before.size()), META_HEAPDUP);
    int idx;
    LinkList *l = bufferwords(nullptr, m, &idx);
    if (!l || empty(l))
        return 1;
    char *w = static_cast<char *>(getdata(lastnode(l)));
    int len;
    char *u = unmetafy(dupstring(w), &len);
    spaceinline(len);
    memcpy(line + tarncs, u, size_t(len));
    markchanged(tarncs, tarncs + len);
    tarncs += len;
    return 0;
}

int whatcursorposition(char **)
{
    std::string m;
    if (tarncs >= tarnll) {
        m = "EOF";
    } else {
        int c = line[tarncs];
        char buf[128];
        if (c == ' ')
            m = "Char: SPC";
        else if (c == '\t')
            m = "Char: TAB";
        else if (c == '\n')
            m = "Char: LFD";
        else {
            int len;
            charat(tarncs, &len);
            m = "Char: " + std::string(printablestr(reinterpret_cast<char *>(line + tarncs), len ? len : 1));
        }
        snprintf(buf, sizeof buf, " (0%o, %d, 0x%x)", c, c, c);
        m += buf;
    }
    char buf[160];
    snprintf(buf, sizeof buf, "  point %d of %d(%d%%)  column %d", tarncs + 1, tarnll + 1,
             tarnll ? tarncs * 100 / tarnll : 0, tarncs - findbol());
    m += buf;
    showmsg(m.c_str());
    return 0;
}
