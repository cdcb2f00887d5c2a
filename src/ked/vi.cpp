// Vi mode: insert and command mode, the change recorded for repeating,
// the operators and the motions they read, and the command-mode edits
// (put, replace, join, case, undo).  The motions themselves, finding
// characters, marks and the history searches are in vimotion.cpp.
#include "ked/ked.h"

#include <climits>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

int vichgflag, vilinerange, virangeflag, wordflag, viinsbegin;

// From vimotion.cpp.
void vifirstnonblank();
int vigetkey();
bool vigetchar(std::string &out);
void viresetmarks();
void noteyank(int b, int e);
void vichgadd(int c);

namespace {

char *vichgbuf;
int vichgbufsz, vichgbufptr;
// The keys of the last complete change and the modifier it ran with.
constinit std::string lastchg;
Modifier lastmod = {0, 1, 1, 0};
// vi-repeat-change asked the next change start to replay lastchg; the
// change running now is such a replay.
bool virepeat, inreplay;
// Keys taken off the recording that are to go back into it when read.
int vireread;
// The history line the insertion began on (viinsbegin belongs to it).
long viinshist = -1;

bool invicmd() { return curkeymapname && !strcmp(curkeymapname, "vicmd"); }

int abscount() { return qmod.count < 0 ? -qmod.count : qmod.count; }

bool isblankbyte(unsigned char c) { return c == ' ' || c == '\t'; }

int clampmul(long a, long b)
{
    long v = a * b;
    return v > MAX_COUNT ? MAX_COUNT : v < -MAX_COUNT ? -MAX_COUNT : int(v);
}

// Start recording a change (or replay the last one).  Refused while an
// operator reads its motion: a motion that changes the buffer is undone
// by the operator anyway, and must not restart the recording.
bool startvichange(int im)
{
    if (virangeflag)
        return false;
    if (im >= 0)
        insmode = im;
    if (virepeat) {
        virepeat = false;
        inreplay = true;
        qmod = lastmod;
        vichgflag = 0;
        return true;
    }
    inreplay = false;
    lastmod = qmod;
    vichgbufptr = vireread = 0;
    vichgflag = 0;
    char *s = dupstring(keybuf ? keybuf : "");
    int len;
    unmetafy(s, &len);
    for (int i = 0; i < len; i++)
        vichgadd(static_cast<unsigned char>(s[i]));
    vichgflag = 1;
    return true;
}

void endvichange()
{
    if (vichgflag)
        lastchg.assign(vichgbuf, size_t(vichgbufptr));
    vichgflag = vireread = 0;
    inreplay = false;
}

// A change that failed is not the last change: the one before stays.
void dropvichange()
{
    vichgflag = vireread = 0;
    inreplay = false;
}

void startvitext()
{
    selectkeymap("main", 1);
    undoing = 0;
    viinsbegin = tarncs;
    viinshist = histline;
}

// Where insert-mode deletion must stop: the start of the line, or where
// the insertion began when that is later (and on this history line).
int insertlimit()
{
    int lim = findbol();
    if (viinshist == histline && viinsbegin > lim)
        lim = viinsbegin;
    return lim;
}

// In command mode each cut replaces the default buffer, as vi's unnamed
// buffer holds the last deletion only (appending would merge the lines
// of two line-wise deletions into one); insert-mode kills in a row still
// gather into one, as in emacs mode.
void vicut(int start, int len, int dir)
{
    if (invicmd())
        lastcmd &= ~W_KILL;
    cut(start, len, dir);
}

// The position count characters on from p, not past the line end.
int charsforward(int p, int n, int eol)
{
    while (n-- > 0 && p < eol)
        p = nextcharpos(p);
    return p;
}

void insertat(int pos, const char *s, int len)
{
    tarncs = pos;
    spaceinline(len);
    memcpy(line + pos, s, size_t(len));
    markchanged(pos, pos + len);
}

// Replace the bytes [a, b) by s (the lengths may differ).
void replacespan(int a, int b, const std::string &s)
{
    int len = int(s.size());
    if (len == b - a) {
        memcpy(line + a, s.data(), size_t(len));
        markchanged(a, b);
        return;
    }
    tarncs = a;
    foredel(b - a);
    insertat(a, s.data(), len);
}

// Invert the case of every letter in [a, b); the new end of the span.
int swapcase(int a, int b)
{
    std::string out;
    for (int p = a; p < b;) {
        int len;
        uint32_t ch = charat(p, &len);
        if (len <= 0)
            len = 1;
        if (kedmultibyte && ch >= 0x80 && !(ch & 0x80000000u)) {
            wint_t w = wint_t(ch);
            wint_t n = iswupper(w) ? towlower(w) : iswlower(w) ? towupper(w) : w;
            char mb[MB_LEN_MAX];
            mbstate_t st{};
            size_t k = n == w ? size_t(-1) : wcrtomb(mb, wchar_t(n), &st);
            if (k == size_t(-1))
                out.append(reinterpret_cast<char *>(line + p), size_t(len));
            else
                out.append(mb, k);
        } else {
            // Bytes beyond ASCII are left alone: in the C locale they are
            // no letters, and a lone byte of a character is not one either.
            for (int i = 0; i < len; i++) {
                unsigned char c = line[p + i];
                if (c < 0x80)
                    c = static_cast<unsigned char>(isupper(c) ? tolower(c) : toupper(c));
                out += char(c);
            }
        }
        p += len;
    }
    int ocs = tarncs;
    replacespan(a, b, out);
    tarncs = ocs;
    return a + int(out.size());
}

// The line starts of the lines in [start, end].
std::vector<int> linestarts(int start, int end)
{
    std::vector<int> v;
    for (int p = start;;) {
        v.push_back(p);
        while (p < end && line[p] != '\n')
            p++;
        if (p >= end)
            break;
        p++;
    }
    return v;
}

// Read the motion of an operator and return the end of its range, with
// the cursor at the start; -1 when the operator cannot act (the cursor
// and the buffer are then as they were).  The rules:
// - prefix widgets (counts, a buffer name) are run and the next key is
//   read; the operator's count multiplies the motion's, and when a change
//   is replayed the recorded count is the whole count;
// - the operator's own key again (dd, cc, yy) takes count lines from the
//   current one, down (negative: up), and fails when there are fewer;
// - a motion that fails, changes the buffer or the history line, or does
//   not move the cursor gives no range;
// - a motion that includes its end character (e, f, t, %) extends the
//   range by it; a line-wise motion widens the range to whole lines.
int getvirange(int wf, int opindex)
{
    int pos = tarncs;
    long hist1 = histline;
    std::string saved(reinterpret_cast<char *>(line), size_t(tarnll));
    Modifier opmod = qmod;
    int opcount = (opmod.flags & MOD_MULT) ? opmod.count : 1;
    Thingy *op = bindk;
    Widget *opw = builtinthingy(opindex)->widget;
    virangeflag = 1;
    wordflag = wf;
    qmod = Modifier{opmod.flags & (MOD_VIBUF | MOD_VIAPP), 1, 1, opmod.cut_buffer_index};
    bool linewise = false, failed = false, mult = false;
    int total = opcount;
    for (;;) {
        vilinerange = 0;
        prefixflag = 0;
        Thingy *k = getkeycmd();
        if (!k || !k->widget || k->widget == builtinthingy(T_SENDBREAK)->widget || errflag) {
            failed = true;
            break;
        }
        if (inreplay) {
            total = opcount;
            mult = opmod.flags & MOD_MULT;
        } else {
            total = clampmul(opcount, (qmod.flags & MOD_MULT) ? qmod.count : 1);
            mult = (opmod.flags | qmod.flags) & MOD_MULT;
        }
        if (k == op || k->widget == opw) {
            linewise = true;
            break;
        }
        Modifier before = qmod;
        qmod.count = total;
        if (mult)
            qmod.flags |= MOD_MULT;
        int r = execkedfunc(k, nullptr);
        if (prefixflag && !errflag) {
            prefixflag = 0;
            qmod.count = before.count;
            qmod.flags = (qmod.flags & ~MOD_MULT) | (before.flags & MOD_MULT);
            if (qmod.flags & MOD_TMULT) {
                qmod.flags |= MOD_MULT;
                qmod.count = qmod.pending_count;
            }
            continue;
        }
        failed = r != 0 || errflag;
        break;
    }
    int rangeflag = virangeflag;
    virangeflag = 0;
    wordflag = 0;
    qmod = opmod;
    if (!failed && vichgflag && !inreplay) {
        // A replay takes the whole count from the modifier.
        lastmod.count = total;
        lastmod.flags = mult ? lastmod.flags | MOD_MULT : lastmod.flags & ~MOD_MULT;
    }
    if (!failed && linewise) {
        int n = total ? total : 1;
        int start = findbol(), end = findeol();
        for (int i = 1; i < n && !failed; i++) {
            if (end >= tarnll)
                failed = true;
            else {
                tarncs = end + 1;
                end = findeol();
            }
        }
        for (int i = 1; i < -n && !failed; i++) {
            if (start == 0)
                failed = true;
            else {
                tarncs = start - 1;
                start = findbol();
            }
        }
        if (failed) {
            tarncs = pos;
            return -1;
        }
        vilinerange = 1;
        tarncs = start;
        return end;
    }
    bool changed = histline != hist1 || size_t(tarnll) != saved.size() ||
                   memcmp(line, saved.data(), saved.size());
    if (changed) {
        if (histline != hist1 && !ked_goto_hist(hist1, 0, 0))
            histline = hist1;
        if (size_t(tarnll) != saved.size() || memcmp(line, saved.data(), saved.size()))
            setlinebytes(reinterpret_cast<const unsigned char *>(saved.data()), int(saved.size()));
        failed = true;
    }
    if (failed || tarncs == pos) {
        tarncs = pos;
        vilinerange = 0;
        return -1;
    }
    int start = pos < tarncs ? pos : tarncs, end = pos < tarncs ? tarncs : pos;
    if (rangeflag == -1 && end < tarnll)
        end = nextcharpos(end);
    if (vilinerange) {
        tarncs = end;
        end = findeol();
        tarncs = start;
        start = findbol();
    }
    tarncs = start;
    return end;
}

}  // namespace

// Every key read while a change is recorded goes into the change buffer.
void vichgadd(int c)
{
    if (vichgbufptr + 1 >= vichgbufsz) {
        vichgbufsz = vichgbufsz ? vichgbufsz * 2 : 16;
        vichgbuf = static_cast<char *>(qrealloc(vichgbuf, size_t(vichgbufsz)));
    }
    vichgbuf[vichgbufptr++] = char(c);
}

// Keys read past a binding are read again: they leave the change buffer,
// and come back into it when they are read again while the change is
// still recorded (not when the binding ended it, as Escape ends an
// insertion).
void vichgdrop(int n)
{
    if (vichgflag) {
        int k = vichgbufptr > n ? n : vichgbufptr;
        vichgbufptr -= k;
        vireread += k;
    }
}

void vichgreread(int c)
{
    if (vireread > 0) {
        vireread--;
        vichgadd(c);
    }
}

// A new line is read: no change, range or insertion is in progress, and
// the marks of the last line are gone.  The last change stays, to be
// repeated on this line.
void vinewline()
{
    vichgflag = vilinerange = virangeflag = wordflag = viinsbegin = vireread = 0;
    viinshist = -1;
    virepeat = inreplay = false;
    viresetmarks();
}

void vifreechange()
{
    qfree(vichgbuf);
    vichgbuf = nullptr;
    vichgbufsz = vichgbufptr = 0;
    lastchg.clear();
    lastchg.shrink_to_fit();
}

// ---- entering insert mode ----

int viinsert(char **)
{
    if (!startvichange(1))
        return 1;
    startvitext();
    return 0;
}

int viaddnext(char **)
{
    if (!startvichange(1))
        return 1;
    if (tarncs != findeol())
        tarncs = nextcharpos(tarncs);
    startvitext();
    return 0;
}

int viaddeol(char **)
{
    if (!startvichange(1))
        return 1;
    tarncs = findeol();
    startvitext();
    return 0;
}

int viinsertbol(char **)
{
    if (!startvichange(1))
        return 1;
    vifirstnonblank();
    startvitext();
    return 0;
}

int viopenlinebelow(char **)
{
    if (!startvichange(1))
        return 1;
    insertat(findeol(), "\n", 1);
    tarncs++;
    startvitext();
    return 0;
}

int viopenlineabove(char **)
{
    if (!startvichange(1))
        return 1;
    int bol = findbol();
    insertat(bol, "\n", 1);
    tarncs = bol;
    startvitext();
    return 0;
}

int vireplace(char **)
{
    if (!startvichange(0))
        return 1;
    startvitext();
    return 0;
}

int visubstitute(char **)
{
    if (!startvichange(1))
        return 1;
    int eol = findeol();
    if (tarncs == eol) {
        dropvichange();
        return 1;
    }
    int p = charsforward(tarncs, abscount(), eol);
    vicut(tarncs, p - tarncs, 0);
    foredel(p - tarncs);
    startvitext();
    return 0;
}

int vichangeeol(char **)
{
    if (!startvichange(1))
        return 1;
    int eol = findeol();
    if (eol > tarncs) {
        vicut(tarncs, eol - tarncs, 0);
        foredel(eol - tarncs);
    }
    startvitext();
    return 0;
}

int vichangewholeline(char **)
{
    if (!startvichange(1))
        return 1;
    vifirstnonblank();
    int eol = findeol();
    if (eol > tarncs) {
        vicut(tarncs, eol - tarncs, 0);
        foredel(eol - tarncs);
    }
    startvitext();
    return 0;
}

int vicmdmode(char **)
{
    if (invicmd() || selectkeymap("vicmd", 0))
        return 1;
    undoing = 1;
    endvichange();
    if (tarncs != findbol())
        tarncs = prevcharpos(tarncs);
    return 0;
}

// ---- operators ----

int videlete(char **)
{
    if (!startvichange(-1))
        return 1;
    int end = getvirange(0, T_VIDELETE);
    if (end < 0) {
        dropvichange();
        return 1;
    }
    int start = tarncs;
    vicut(start, end - start, 0);
    if (vilinerange) {
        // The lines go with their newline: the one after them, or before
        // the last line of the buffer.
        if (end < tarnll)
            end++;
        else if (start > 0)
            start--;
        tarncs = start;
        foredel(end - start);
        vifirstnonblank();
    } else {
        foredel(end - start);
    }
    endvichange();
    return 0;
}

int vichange(char **)
{
    if (!startvichange(1))
        return 1;
    int end = getvirange(1, T_VICHANGE);
    if (end < 0) {
        dropvichange();
        return 1;
    }
    // Line-wise the text of the lines goes and one empty line is left.
    vicut(tarncs, end - tarncs, 0);
    foredel(end - tarncs);
    startvitext();
    return 0;
}

// The cursor goes to the start of the yanked text, except that a
// line-wise yank leaves it where it was.
int viyank(char **)
{
    if (virangeflag)
        return 1;
    inreplay = false;
    int ocs = tarncs;
    int end = getvirange(0, T_VIYANK);
    if (end < 0)
        return 1;
    vicut(tarncs, end - tarncs, 0);
    if (vilinerange)
        tarncs = ocs;
    return 0;
}

namespace {

// Indent and unindent take whole lines only; the cursor goes to the first
// non-blank of the first line.
int indentlines(int opindex, bool in)
{
    int ocs = tarncs;
    if (!startvichange(-1))
        return 1;
    int end = getvirange(0, opindex);
    if (end < 0 || !vilinerange) {
        if (end >= 0)
            tarncs = ocs;
        dropvichange();
        return 1;
    }
    int start = tarncs;
    std::vector<int> bols = linestarts(start, end);
    for (size_t i = bols.size(); i-- > 0;) {
        int b = bols[i];
        if (in) {
            insertat(b, "\t", 1);
        } else if (b < tarnll && line[b] == '\t') {
            tarncs = b;
            foredel(1);
        }
    }
    tarncs = start;
    vifirstnonblank();
    endvichange();
    return 0;
}

}  // namespace

int viindent(char **) { return indentlines(T_VIINDENT, true); }
int viunindent(char **) { return indentlines(T_VIUNINDENT, false); }

// The cursor stays at the start of the range.
int vioperswapcase(char **)
{
    if (!startvichange(-1))
        return 1;
    int end = getvirange(0, T_VIOPERSWAPCASE);
    if (end < 0) {
        dropvichange();
        return 1;
    }
    swapcase(tarncs, end);
    endvichange();
    return 0;
}

// ---- deleting, killing and yanking ----

int videletechar(char **)
{
    if (!startvichange(-1))
        return 1;
    int eol = findeol();
    if (tarncs == eol) {
        dropvichange();
        return 1;
    }
    int p = charsforward(tarncs, abscount(), eol);
    vicut(tarncs, p - tarncs, 0);
    foredel(p - tarncs);
    endvichange();
    return 0;
}

// In command mode the characters are cut; in insert mode they are
// deleted only, so that erasing what was typed leaves the text yanked
// before it in the buffer.
int vibackwarddeletechar(char **)
{
    bool cmd = invicmd();
    if (cmd && !startvichange(-1))
        return 1;
    int lim = cmd ? findbol() : insertlimit();
    if (tarncs <= lim) {
        if (cmd)
            dropvichange();
        return 1;
    }
    int p = tarncs;
    for (int n = abscount(); n > 0 && p > lim; n--)
        p = prevcharpos(p);
    if (p < lim)
        p = lim;
    if (cmd) {
        vicut(p, tarncs - p, 1);
        backdel(tarncs - p);
        endvichange();
    } else {
        backdel(tarncs - p);
    }
    return 0;
}

// Back to where the insertion began (in command mode, the line start).
int vikillline(char **)
{
    bool cmd = invicmd();
    if (cmd && !startvichange(-1))
        return 1;
    int lim = cmd ? findbol() : (viinshist == histline ? viinsbegin : findbol());
    if (tarncs <= lim || lim > tarnll) {
        if (cmd)
            dropvichange();
        return 1;
    }
    vicut(lim, tarncs - lim, 1);
    backdel(tarncs - lim);
    if (cmd)
        endvichange();
    return 0;
}

// Back over blanks, then over a run of letters, digits and underscores or
// a run of other characters, count times; not past the line start nor,
// in insert mode, before where the insertion began.
int vibackwardkillword(char **)
{
    bool cmd = invicmd();
    if (cmd && !startvichange(-1))
        return 1;
    int lim = cmd ? findbol() : insertlimit();
    if (tarncs <= lim) {
        if (cmd)
            dropvichange();
        return 1;
    }
    auto cls = [](int p) {
        int len;
        uint32_t ch = charat(p, &len);
        if (kedmultibyte && ch >= 0x80 && !(ch & 0x80000000u))
            return iswspace(wint_t(ch)) ? 0 : iswalnum(wint_t(ch)) ? 1 : 2;
        unsigned char b = line[p];
        return isblankbyte(b) || b == '\n' ? 0 : (b < 0x80 && (ialnum(b) || b == '_')) ? 1 : 2;
    };
    int p = tarncs;
    for (int n = abscount(); n > 0 && p > lim; n--) {
        while (p > lim && cls(prevcharpos(p)) == 0)
            p = prevcharpos(p);
        if (p > lim) {
            int c = cls(prevcharpos(p));
            while (p > lim && cls(prevcharpos(p)) == c)
                p = prevcharpos(p);
        }
    }
    if (p < lim)
        p = lim;
    vicut(p, tarncs - p, 1);
    backdel(tarncs - p);
    if (cmd)
        endvichange();
    return 0;
}

int vikilleol(char **)
{
    if (!startvichange(-1))
        return 1;
    int eol = findeol();
    if (eol == tarncs) {
        dropvichange();
        return 1;
    }
    vicut(tarncs, eol - tarncs, 0);
    foredel(eol - tarncs);
    endvichange();
    return 0;
}

int viyankeol(char **)
{
    int eol = findeol();
    if (eol == tarncs)
        return 1;
    vicut(tarncs, eol - tarncs, 0);
    return 0;
}

int viyankwholeline(char **)
{
    int n = abscount();
    int ocs = tarncs, start = findbol(), end = findeol();
    for (int i = 1; i < n; i++) {
        if (end >= tarnll) {
            tarncs = ocs;
            return 1;
        }
        tarncs = end + 1;
        end = findeol();
    }
    vilinerange = 1;
    vicut(start, end - start, 0);
    vilinerange = 0;
    tarncs = ocs;
    return 0;
}

// ---- putting ----

namespace {

// A line-wise buffer goes in as count lines before or after the cursor's
// line, the cursor on the first non-blank of the first; other text goes
// in count times before the cursor or after its character, the cursor on
// the last character put.
int viput(bool after)
{
    Cutbuffer *b = (qmod.flags & MOD_VIBUF) ? &vibuf[qmod.cut_buffer_index] : &cutbuf;
    bool lines = b->flags & CUTBUFFER_LINE;
    if (!b->buf || (!b->len && !lines))
        return 1;
    if (!startvichange(-1))
        return 1;
    int n = abscount();
    if (n < 1)
        n = 1;
    if (n > MAX_COUNT / (b->len + 1))
        n = MAX_COUNT / (b->len + 1);
    std::string text;
    for (int i = 0; i < n; i++) {
        if (lines && i)
            text += '\n';
        text.append(b->buf, size_t(b->len));
    }
    int start;
    if (lines) {
        if (after) {
            text.insert(0, 1, '\n');
            insertat(findeol(), text.data(), int(text.size()));
            start = tarncs + 1;
        } else {
            text += '\n';
            start = findbol();
            insertat(start, text.data(), int(text.size()));
        }
        noteyank(tarncs, tarncs + int(text.size()));
        tarncs = start;
        vifirstnonblank();
    } else {
        if (after && tarncs < findeol())
            tarncs = nextcharpos(tarncs);
        start = tarncs;
        insertat(start, text.data(), int(text.size()));
        noteyank(start, start + int(text.size()));
        tarncs = prevcharpos(start + int(text.size()));
        if (tarncs < start)
            tarncs = start;
    }
    endvichange();
    return 0;
}

}  // namespace

int viputbefore(char **) { return viput(false); }
int viputafter(char **) { return viput(true); }

// ---- other command-mode edits ----

// J joins the next line (with a count of n > 2, the next n - 1 lines):
// the newline and the blanks after it go, and one space comes between
// unless the line ended in a blank, was empty, or nothing was joined.
// The cursor is left where the lines met.
int vijoin(char **)
{
    int joins = qmod.count > 2 ? qmod.count - 1 : 1;
    if (!startvichange(-1))
        return 1;
    int at = -1;
    for (int i = 0; i < joins; i++) {
        int eol = findeol();
        if (eol >= tarnll)
            break;
        int q = eol + 1;
        while (q < tarnll && isblankbyte(line[q]))
            q++;
        tarncs = eol;
        foredel(q - eol);
        int bol = findbol();
        if (eol > bol && !isblankbyte(line[eol - 1]) && eol < tarnll && line[eol] != '\n')
            insertat(eol, " ", 1);
        tarncs = at = eol;
    }
    if (at < 0) {
        dropvichange();
        return 1;
    }
    endvichange();
    return 0;
}

int viswapcase(char **)
{
    if (!startvichange(-1))
        return 1;
    int eol = findeol();
    if (tarncs == eol) {
        dropvichange();
        return 1;
    }
    int p = charsforward(tarncs, abscount(), eol);
    tarncs = swapcase(tarncs, p);
    endvichange();
    return 0;
}

// r with a newline splits the line (the cursor starts the new one);
// otherwise the cursor is left on the last character replaced.
int vireplacechars(char **)
{
    if (!startvichange(-1))
        return 1;
    std::string ch;
    int n = abscount();
    if (!vigetchar(ch) || n < 1) {
        dropvichange();
        return 1;
    }
    int eol = findeol(), p = tarncs;
    for (int i = 0; i < n; i++) {
        if (p >= eol) {
            dropvichange();
            return 1;
        }
        p = nextcharpos(p);
    }
    int start = tarncs;
    // Enter comes as a carriage return.
    if (ch == "\r")
        ch = "\n";
    if (ch == "\n") {
        replacespan(start, p, ch);
        tarncs = start + 1;
    } else {
        std::string s;
        for (int i = 0; i < n; i++)
            s += ch;
        replacespan(start, p, s);
        tarncs = start + (n - 1) * int(ch.size());
    }
    endvichange();
    return 0;
}

// A "#" at the start of the cursor's line goes, or one is put there; the
// line is not accepted, and the cursor stays on the same text.
int vipoundinsert(char **)
{
    if (!startvichange(-1))
        return 1;
    int bol = findbol(), ocs = tarncs;
    if (bol < tarnll && line[bol] == '#') {
        tarncs = bol;
        foredel(1);
        tarncs = ocs > bol ? ocs - 1 : bol;
    } else {
        insertat(bol, "#", 1);
        tarncs = ocs + 1;
    }
    endvichange();
    return 0;
}

int visetbuffer(char **)
{
    int k = vigetkey();
    int idx;
    bool app = false;
    if (k >= '1' && k <= '9')
        idx = 26 + k - '1';
    else if (k >= 'a' && k <= 'z')
        idx = k - 'a';
    else if (k >= 'A' && k <= 'Z') {
        idx = k - 'A';
        app = true;
    } else
        return 1;
    qmod.flags = (qmod.flags & ~MOD_VIAPP) | MOD_VIBUF | (app ? MOD_VIAPP : 0);
    qmod.cut_buffer_index = idx;
    prefixflag = 1;
    return 0;
}

int virepeatchange(char **)
{
    if (virangeflag || lastchg.empty())
        return 1;
    if (qmod.flags & MOD_MULT) {
        lastmod.count = qmod.count;
        lastmod.flags |= MOD_MULT;
    }
    if (qmod.flags & MOD_VIBUF) {
        lastmod.flags = (lastmod.flags & ~MOD_VIAPP) | (qmod.flags & (MOD_VIBUF | MOD_VIAPP));
        lastmod.cut_buffer_index = qmod.cut_buffer_index;
    }
    virepeat = true;
    ungetkeys(lastchg.data(), int(lastchg.size()));
    return 0;
}

// u undoes the last change (an insertion with all it typed is one); u
// right after an undoing u redoes it, so that u u leaves the line as it
// was.  Other undo steps are reached with undo and redo.
int viundochange(char **args)
{
    static bool undid;
    if (virangeflag)
        return 1;
    bool again = lbindk && lbindk->widget == builtinthingy(T_VIUNDOCHANGE)->widget;
    if (again && undid) {
        if (redo(args))
            return 1;
        undid = false;
        return 0;
    }
    if (undo(args))
        return 1;
    undid = true;
    return 0;
}

// ---- insert-mode helpers ----

namespace {

// Show "^" at the cursor while the next key is read.
int getkeyshowingcaret()
{
    int ocs = tarncs, omark = mark;
    insertat(tarncs, "^", 1);
    tarncs = ocs;
    qrefresh();
    int k = getkey(0);
    tarncs = ocs;
    foredel(1);
    mark = omark;
    return k;
}

}  // namespace

int vigetkeycaret() { return getkeyshowingcaret(); }

int viquotedinsert(char **args)
{
    int k = getkeyshowingcaret();
    if (k < 0)
        return 1;
    // quoted-insert reads the key again; it is recorded once.
    ungetkey(k);
    int o = vichgflag;
    vichgflag = 0;
    int r = quotedinsert(args);
    vichgflag = o;
    return r;
}

// Ended by a lower-case key, or by end of input or an interrupt (the key
// reader gives up), which fails.
int vicapslockpanic(char **)
{
    int ret = 1;
    for (;;) {
        handlefeep();
        qsfree(statusline);
        statusline = qtrdup("press a lowercase key to continue");
        statusll = int(strlen(statusline));
        qrefresh();
        int k = getkey(0);
        if (k < 0 || errflag || done)
            break;
        if (k >= 'a' && k <= 'z') {
            ret = 0;
            break;
        }
    }
    qsfree(statusline);
    statusline = nullptr;
    statusll = 0;
    return ret;
}

int vidigitorbeginningofline(char **args)
{
    if (qmod.flags & MOD_TMULT)
        return digitargument(args);
    tarncs = findbol();
    return 0;
}
