// The display: the prompt, the buffer laid out on screen lines with its
// status line, kept up to date by comparing what should be on the screen
// with what is, and writing only the difference.  Every byte the editor
// sends to the terminal goes through here, so the tracked cursor position
// is always right.
#include "ked/ked.h"

#include <curses.h>
#include <term.h>
#undef lines
#undef columns

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

int nlnct, showinglist, listshown, clearlist, clearflag, lastlistlen, trashedked, winchanged;
int cost;
char *lpromptbuf, *rpromptbuf;
char *predisplay, *postdisplay;
int predisplaylen, postdisplaylen;

namespace {

// One screen column: the bytes of the character drawn there.  A wide
// character's second column is a pad; an unknown column (what the right
// prompt left) compares unequal to everything.
struct Cell {
    char s[14];
    uint8_t len;
    uint8_t kind;  // CELL_CHAR, CELL_PAD, CELL_RPROMPT
    bool operator==(const Cell &o) const
    {
        return kind == o.kind && len == o.len && !memcmp(s, o.s, len);
    }
    bool operator!=(const Cell &o) const { return !(*this == o); }
    // CELL_RPROMPT: a column of the right prompt, written as a whole.
    enum : uint8_t { CELL_CHAR, CELL_PAD, CELL_RPROMPT };
};

struct VLine {
    std::vector<Cell> cells;
    bool wrapped = false;  // the text goes on on the next line
};

std::vector<VLine> scr;   // what the terminal shows now
std::vector<VLine> nbuf;  // what it should show
int screen_width = 80, screen_height = 24;
int tline, tcol;  // the terminal cursor
int max_lines_used;
int prompt_width, prompt_height, rprompt_width, rprompt_height;
bool rprompt_shown;
bool hasxn;       // the cursor waits at the margin before it wraps
bool singleline;  // drawn on one scrolling line
int single_line_offset;
constinit std::string lastpromptline;  // the prompt's last line, attributes kept

FILE *out() { return shout ? shout : stderr; }

int putcount(int c)
{
    cost++;
    return putc(c, out());
}

Cell charcell(const char *s, int len)
{
    Cell c{};
    c.len = uint8_t(len);
    memcpy(c.s, s, size_t(len));
    c.kind = Cell::CELL_CHAR;
    return c;
}

Cell padcell()
{
    Cell c{};
    c.kind = Cell::CELL_PAD;
    return c;
}

// The cells of one character of text (at the column col, for tabs).
void cellsof(const unsigned char *p, int len, int *used, int col, std::vector<Cell> &v, bool status)
{
    unsigned char b = *p;
    *used = 1;
    if (b == '\t' && !status) {
        int n = 8 - col % 8;
        for (int i = 0; i < n; i++)
            v.push_back(charcell(" ", 1));
        return;
    }
    if (b < 32 || b == 127) {
        char s[2] = {'^', char(b == 127 ? '?' : b | 64)};
        v.push_back(charcell(s, 1));
        v.push_back(charcell(s + 1, 1));
        return;
    }
    if (b < 128 || !kedmultibyte) {
        v.push_back(charcell(reinterpret_cast<const char *>(p), 1));
        return;
    }
    mbstate_t st{};
    wchar_t wc;
    size_t n = mbrtowc(&wc, reinterpret_cast<const char *>(p), size_t(len), &st);
    int w = (n == size_t(-1) || n == size_t(-2) || n == 0) ? -1 : wcwidth(wc);
    if (w < 0) {
        // An invalid or unprintable byte is shown by its value.
        char hex[5];
        snprintf(hex, sizeof hex, "<%02X>", b);
        for (int i = 0; i < 4; i++)
            v.push_back(charcell(hex + i, 1));
        return;
    }
    *used = int(n);
    if (w == 0) {
        // A combining mark joins the character before it.
        if (!v.empty() && v.back().kind == Cell::CELL_CHAR && v.back().len + n <= sizeof v.back().s) {
            memcpy(v.back().s + v.back().len, p, n);
            v.back().len = uint8_t(v.back().len + n);
        }
        return;
    }
    v.push_back(charcell(reinterpret_cast<const char *>(p), int(n)));
    for (int i = 1; i < w; i++)
        v.push_back(padcell());
}

// Columns and lines of an expanded prompt; markers enclose what takes no
// room on the screen.
void countwidth(const char *s, int *wp, int *hp)
{
    int w = 0, h = 1;
    std::string text;
    for (const char *p = s; *p;) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == TK_LPAREN) {
            while (*p && static_cast<unsigned char>(*p) != TK_RPAREN)
                p++;
            if (*p)
                p++;
            continue;
        }
        text += char(metachar(p));
    }
    const unsigned char *u = reinterpret_cast<const unsigned char *>(text.data());
    int len = int(text.size());
    for (int i = 0; i < len;) {
        if (u[i] == '\n') {
            w = 0;
            h++;
            i++;
            continue;
        }
        std::vector<Cell> v;
        int used;
        cellsof(u + i, len - i, &used, w, v, false);
        if (u[i] < 32 && u[i] != '\t')
            v.resize(0);  // escape sequences without markers: no room
        w += int(v.size());
        while (w >= screen_width && screen_width > 0) {
            w -= screen_width;
            h++;
        }
        i += used;
    }
    *wp = w;
    *hp = h;
}

// The prompt as it is written: markers removed, unmetafied.
std::string promptbytes(const char *s)
{
    std::string r;
    for (const char *p = s; *p;) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == TK_LPAREN || c == TK_RPAREN) {
            p++;
            continue;
        }
        r += char(metachar(p));
    }
    return r;
}

void rawout(const std::string &s)
{
    for (char ch : s)
        putcount(static_cast<unsigned char>(ch));
}

const char *cap(int i) { return termcaps.str[i] && *termcaps.str[i] ? termcaps.str[i] : nullptr; }

// ---- cursor motion ----

void writecell(const Cell &c)
{
    if (c.kind == Cell::CELL_CHAR)
        for (int i = 0; i < c.len; i++)
            putcount(static_cast<unsigned char>(c.s[i]));
}

void setscr(int ln, int col, const Cell &c)
{
    if (ln >= int(scr.size()))
        scr.resize(size_t(ln) + 1);
    std::vector<Cell> &v = scr[size_t(ln)].cells;
    while (int(v.size()) < col)
        v.push_back(charcell(" ", 1));
    if (col < int(v.size()))
        v[size_t(col)] = c;
    else
        v.push_back(c);
}

// Write the cells of new line ln from column a to b, tracking the cursor.
void writecells(int ln, int a, int b)
{
    std::vector<Cell> &v = nbuf[size_t(ln)].cells;
    for (int i = a; i < b; i++) {
        const Cell &c = v[size_t(i)];
        if (c.kind == Cell::CELL_RPROMPT) {
            // The right prompt goes out whole, attributes and all.
            while (i > 0 && v[size_t(i - 1)].kind == Cell::CELL_RPROMPT)
                i--;
            if (tcol != i)
                moveto(ln, i);
            rawout(promptbytes(rpromptbuf));
            for (int k = i; k < int(v.size()); k++)
                setscr(ln, k, v[size_t(k)]);
            tcol = int(v.size());
            break;
        }
        if (c.kind == Cell::CELL_PAD) {
            setscr(ln, i, c);
            continue;
        }
        writecell(c);
        setscr(ln, i, c);
        // A wide character fills its pads as it is written.
        int w = 1;
        while (i + w < b && v[size_t(i + w)].kind == Cell::CELL_PAD)
            w++;
        tcol = i + w;
    }
    if (tcol >= screen_width) {
        if (termcaps.am && !hasxn) {
            tline++;
            tcol = 0;
        } else {
            tcol = screen_width;
        }
    }
}

void moveright(int col)
{
    int n = col - tcol;
    if (n <= 0)
        return;
    if (tline == 0 && tcol < prompt_width) {
        // Inside the prompt: start the line again.
        putcount('\r');
        tcol = 0;
        if (cap(TCMULTRIGHT) && prompt_width) {
            tputs(tgoto(cap(TCMULTRIGHT), 0, prompt_width), 1, putcount);
            tcol = prompt_width;
        } else {
            rawout(lastpromptline);
            tcol = prompt_width;
        }
        n = col - tcol;
        if (n <= 0)
            return;
    }
    if (cap(TCMULTRIGHT) && n > 1) {
        tputs(tgoto(cap(TCMULTRIGHT), 0, n), 1, putcount);
        tcol = col;
        return;
    }
    if (cap(TCRIGHT) && n <= 4) {
        for (int i = 0; i < n; i++)
            tputs(cap(TCRIGHT), 1, putcount);
        tcol = col;
        return;
    }
    // Write again what the screen already shows there.
    std::vector<Cell> &v = tline < int(scr.size()) ? scr[size_t(tline)].cells : scr[0].cells;
    while (tcol < col) {
        if (tcol < int(v.size()) && v[size_t(tcol)].kind == Cell::CELL_CHAR) {
            writecell(v[size_t(tcol)]);
            tcol++;
            while (tcol < int(v.size()) && v[size_t(tcol)].kind == Cell::CELL_PAD)
                tcol++;
        } else {
            putcount(' ');
            setscr(tline, tcol, charcell(" ", 1));
            tcol++;
        }
    }
}

}  // namespace

int tcout(int c)
{
    if (!cap(c))
        return 0;
    tputs(cap(c), 1, putcount);
    return 1;
}

int tcmultout(int single, int multi, int count)
{
    const char *s = cap(single), *m = cap(multi);
    if (!s && !m)
        return 0;
    if (s && (!m || int(strlen(s)) * count < int(strlen(m)))) {
        for (int i = 0; i < count; i++)
            tputs(s, 1, putcount);
        return 1;
    }
    tputs(tgoto(m, 0, count), 1, putcount);
    return 1;
}

void moveto(int ln, int col)
{
    if (tcol >= screen_width) {
        putcount('\r');
        tcol = 0;
    }
    if (ln < tline) {
        if (!tcmultout(TCUP, TCMULTUP, tline - ln)) {
            putcount('\r');
            tcol = 0;
        }
        tline = ln;
    }
    while (ln > tline) {
        // A newline goes down, making the line where there is none yet.
        putcount('\n');
        tline++;
        tcol = 0;
    }
    if (col == tcol)
        return;
    if (col < tcol) {
        int n = tcol - col;
        if (col == 0 || (!cap(TCLEFT) && !cap(TCMULTLEFT)) || n > col) {
            putcount('\r');
            tcol = 0;
        } else {
            tcmultout(TCLEFT, TCMULTLEFT, n);
            tcol = col;
            return;
        }
    }
    moveright(col);
}

void kedputs(const char *s, int len)
{
    for (int i = 0; i < len; i++)
        putcount(static_cast<unsigned char>(s[i]));
}

void kedflush() { fflush(out()); }

namespace {

void clearline()
{
    if (!tcout(TCCLEAREOL)) {
        int n = tline < int(scr.size()) ? int(scr[size_t(tline)].cells.size()) - tcol : 0;
        for (int i = 0; i < n; i++)
            putcount(' ');
        tcol += n;
    }
    if (tline < int(scr.size()) && tcol < int(scr[size_t(tline)].cells.size()))
        scr[size_t(tline)].cells.resize(size_t(tcol));
}

// Lay the text out into nbuf; the cursor's screen position comes back.
void layout(const unsigned char *text, int len, int csoff, int *cline, int *ccol)
{
    nbuf.assign(1, VLine{});
    int ln = 0, col = prompt_width;
    nbuf[0].cells.assign(size_t(prompt_width), charcell(" ", 1));
    *cline = -1;
    *ccol = 0;
    std::vector<Cell> tmp;
    for (int i = 0; i <= len;) {
        if (i == csoff) {
            *cline = ln;
            *ccol = col;
        }
        if (i == len)
            break;
        if (text[i] == '\n') {
            nbuf.emplace_back();
            ln++;
            col = 0;
            i++;
            continue;
        }
        if (text[i] == '\t' && (col / 8 + 1) * 8 >= screen_width) {
            nbuf[size_t(ln)].wrapped = true;
            nbuf.emplace_back();
            ln++;
            col = 0;
            if (i == csoff) {
                *cline = ln;
                *ccol = col;
            }
        }
        tmp.clear();
        int used;
        cellsof(text + i, len - i, &used, col, tmp, false);
        // A wide character does not start in the last column.
        if (int(tmp.size()) > 1 && tmp[1].kind == Cell::CELL_PAD && col + int(tmp.size()) > screen_width) {
            nbuf[size_t(ln)].wrapped = true;
            nbuf.emplace_back();
            ln++;
            col = 0;
            if (i == csoff) {
                *cline = ln;
                *ccol = col;
            }
        }
        for (const Cell &c : tmp) {
            if (col >= screen_width) {
                nbuf[size_t(ln)].wrapped = true;
                nbuf.emplace_back();
                ln++;
                col = 0;
            }
            nbuf[size_t(ln)].cells.push_back(c);
            col++;
        }
        i += used;
    }
    if (*cline < 0) {
        *cline = ln;
        *ccol = col;
    }
    // A cursor exactly at the edge after the text goes to the next line.
    if (*ccol >= screen_width) {
        nbuf[size_t(*cline)].wrapped = true;
        nbuf.emplace_back();
        (*cline)++;
        *ccol = 0;
    }
}

std::vector<Cell> marker(const char *s)
{
    std::vector<Cell> v;
    for (; *s; s++)
        v.push_back(charcell(s, 1));
    return v;
}

// Choose what fits: keep the cursor line visible, mark what is hidden.
void fitscreen(int *cline, std::vector<VLine> &status)
{
    int room = screen_height;
    int slines = int(status.size());
    if (slines >= room) {
        // The status line takes what there is, ending in " <....> ".
        status.resize(size_t(room > 1 ? room - 1 : 1));
        std::vector<Cell> &last = status.back().cells;
        if (screen_width >= 8) {
            last.resize(size_t(screen_width - 8), charcell(" ", 1));
            for (const Cell &c : marker(" <....> "))
                last.push_back(c);
        }
        slines = int(status.size());
    }
    int textroom = room - slines;
    if (textroom < 1)
        textroom = 1;
    int total = int(nbuf.size());
    if (total <= textroom)
        return;
    // A window of textroom lines around the cursor; line 0 becomes the
    // marker of what lies above when the top is cut.
    int top = 0;
    if (*cline >= textroom - 1)
        top = *cline - (textroom - 1) / 2;
    if (top + textroom > total)
        top = total - textroom;
    if (top < 0)
        top = 0;
    std::vector<VLine> win(nbuf.begin() + top, nbuf.begin() + top + textroom);
    bool below = top + textroom < total;
    if (top > 0 && textroom > 1) {
        win.erase(win.begin());
        VLine m;
        m.cells.assign(size_t(prompt_width < screen_width ? prompt_width : 0), charcell(" ", 1));
        int n = screen_width - int(m.cells.size()) < 5 ? screen_width - int(m.cells.size()) : 5;
        const char *mk = ">....";
        for (int i = 0; i < n; i++)
            m.cells.push_back(charcell(mk + i, 1));
        win.insert(win.begin(), m);
        *cline -= top;
        if (*cline < 1)
            *cline = 1;
    } else {
        *cline -= top;
    }
    if (below && screen_width >= 7) {
        VLine &l = win.back();
        if (*cline != int(win.size()) - 1) {
            l.cells.resize(size_t(screen_width - 7), charcell(" ", 1));
            for (const Cell &c : marker(" <.... "))
                l.cells.push_back(c);
        }
    }
    nbuf.swap(win);
}

void layoutstatus(std::vector<VLine> &status)
{
    status.clear();
    if (!statusline)
        return;
    status.emplace_back();
    int col = 0;
    const unsigned char *s = reinterpret_cast<const unsigned char *>(statusline);
    std::vector<Cell> tmp;
    for (int i = 0; i < statusll;) {
        if (s[i] == '\n') {
            status.emplace_back();
            col = 0;
            i++;
            continue;
        }
        tmp.clear();
        int used;
        cellsof(s + i, statusll - i, &used, col, tmp, true);
        for (const Cell &c : tmp) {
            if (col >= screen_width) {
                status.back().wrapped = true;
                status.emplace_back();
                col = 0;
            }
            status.back().cells.push_back(c);
            col++;
        }
        i += used;
    }
}

void updateline(int ln)
{
    const std::vector<Cell> &nv = nbuf[size_t(ln)].cells;
    if (ln >= int(scr.size()))
        scr.resize(size_t(ln) + 1);
    std::vector<Cell> &ov = scr[size_t(ln)].cells;
    int start = ln == 0 ? prompt_width : 0;
    int nl = int(nv.size()), ol = int(ov.size());
    int i = start;
    while (i < nl && i < ol && nv[size_t(i)] == ov[size_t(i)])
        i++;
    if (i >= nl && i >= ol)
        return;
    // The last differing column: the rest need not be written.
    int ne = nl, oe = ol;
    if (nl == ol)
        while (ne > i && nv[size_t(ne - 1)] == ov[size_t(ne - 1)])
            ne--;
    // Never start in the middle of a wide character.
    while (i > start && i < nl && nv[size_t(i)].kind == Cell::CELL_PAD)
        i--;
    // Characters typed or deleted in the middle of a line: when the rest
    // of the old line is still there, shifted, inserting or deleting
    // columns is cheaper than writing the rest again.  Not on a line the
    // text goes on from, nor under the right prompt, nor on the last
    // screen line (an insertion there could scroll).
    if (nl != ol && !nbuf[size_t(ln)].wrapped && !scr[size_t(ln)].wrapped && !(ln == 0 && rprompt_shown) &&
        ln < screen_height - 1 && nl < screen_width && i < nl && i < ol) {
        int suf = 0;
        while (suf < nl - i && suf < ol - i && nv[size_t(nl - 1 - suf)] == ov[size_t(ol - 1 - suf)])
            suf++;
        int n = nl > ol ? nl - ol : ol - nl;
        bool pure = nl > ol ? suf == ol - i : suf == nl - i;
        int single = nl > ol ? TCINS : TCDEL, multi = nl > ol ? TCMULTINS : TCMULTDEL;
        int c1 = cap(single) ? int(strlen(cap(single))) * n : 1 << 20;
        int cm = cap(multi) ? int(strlen(cap(multi))) + 2 : 1 << 20;
        // Worth it when the columns moved outweigh the capability.
        if (pure && suf > (c1 < cm ? c1 : cm) && (c1 < (1 << 20) || cm < (1 << 20)) &&
            nv[size_t(i)].kind != Cell::CELL_PAD && (i >= ol || ov[size_t(i)].kind != Cell::CELL_PAD)) {
            moveto(ln, i);
            tcmultout(single, multi, n);
            if (nl > ol) {
                ov.insert(ov.begin() + i, size_t(n), charcell(" ", 1));
                writecells(ln, i, i + n);
            } else {
                ov.erase(ov.begin() + i, ov.begin() + i + n);
            }
            return;
        }
    }
    moveto(ln, i);
    writecells(ln, i, ne);
    if (oe > nl) {
        if (tcol >= screen_width) {
            // The line is full; nothing of the old can be left.
            ov.resize(size_t(nl));
            return;
        }
        clearline();
        ov.resize(size_t(nl));
    }
}

void singlelinerefresh(const unsigned char *text, int len, int csoff)
{
    // The last line of the prompt, then the text on one virtual line.
    std::vector<Cell> v;
    int cursorcol = -1;
    std::vector<Cell> tmp;
    for (int i = 0; i <= len;) {
        if (i == csoff)
            cursorcol = int(v.size());
        if (i == len)
            break;
        tmp.clear();
        int used;
        if (text[i] == '\n') {
            v.push_back(charcell("\\", 1));
            v.push_back(charcell("n", 1));
            i++;
            continue;
        }
        cellsof(text + i, len - i, &used, prompt_width + int(v.size()), tmp, false);
        v.insert(v.end(), tmp.begin(), tmp.end());
        i += used;
    }
    if (cursorcol < 0)
        cursorcol = int(v.size());
    int avail = screen_width - prompt_width - (termcaps.am ? 1 : 0);
    if (avail < 2)
        avail = 2;
    if (cursorcol < single_line_offset || cursorcol - single_line_offset >= avail)
        single_line_offset = cursorcol > avail / 2 ? cursorcol - avail / 2 : 0;
    std::vector<Cell> shown(v.begin() + (single_line_offset < int(v.size()) ? single_line_offset : int(v.size())),
                            v.end());
    if (single_line_offset && !shown.empty())
        shown[0] = charcell("<", 1);
    if (int(shown.size()) > avail) {
        shown.resize(size_t(avail));
        shown.back() = charcell(">", 1);
    }
    nbuf.assign(1, VLine{});
    nbuf[0].cells.assign(size_t(prompt_width), charcell(" ", 1));
    nbuf[0].cells.insert(nbuf[0].cells.end(), shown.begin(), shown.end());
    updateline(0);
    moveto(0, prompt_width + cursorcol - single_line_offset);
    nlnct = 1;
}

}  // namespace

void resetvideo()
{
    screen_width = tccolumns > 0 ? tccolumns : 80;
    screen_height = tclines >= 2 ? tclines : 24;
    scr.assign(1, VLine{});
    hasxn = tgetflag(const_cast<char *>("xn")) > 0;
    if (lpromptbuf)
        countwidth(lpromptbuf, &prompt_width, &prompt_height);
    else
        prompt_width = 0, prompt_height = 1;
    if (rpromptbuf)
        countwidth(rpromptbuf, &rprompt_width, &rprompt_height);
    else
        rprompt_width = 0, rprompt_height = 1;
    if (prompt_width >= screen_width) {
        prompt_width = 0;
        prompt_height++;
    }
    scr[0].cells.assign(size_t(prompt_width), charcell(" ", 1));
    tline = 0;
    tcol = prompt_width;
    nlnct = 0;
    max_lines_used = 0;
    rprompt_shown = false;
    single_line_offset = 0;
    if (showinglist > 0)
        showinglist = -2;
    trashedked = 0;
    std::string pb = lpromptbuf ? promptbytes(lpromptbuf) : std::string();
    size_t nl = pb.rfind('\n');
    lastpromptline = nl == std::string::npos ? pb : pb.substr(nl + 1);
}

void freevideo()
{
    scr.clear();
    scr.shrink_to_fit();
    nbuf.clear();
    nbuf.shrink_to_fit();
}

void qrefresh()
{
    if (!kedhasterm)
        return;
    cost = 0;
    if (clearlist && listshown) {
        // The list below the text goes: cleared from the line after the
        // text to the end of the screen, or by drawing everything again.
        if (lastlistlen > 0 && cap(TCCLEAREOD) && !resetneeded) {
            moveto(nlnct > 0 ? nlnct : 1, 0);
            tcout(TCCLEAREOD);
        } else {
            runkedhook(INVALIDATELISTHOOK, nullptr);
        }
        listshown = 0;
        lastlistlen = 0;
        if (showinglist != -2)
            showinglist = 0;
    }
    clearlist = 0;
    singleline = isset(SINGLELINEKED) || tclines < 3 || (termflags & (TERM_BAD | TERM_UNKNOWN | TERM_NOUP));
    if (resetneeded || winchanged || screen_width != (tccolumns > 0 ? tccolumns : 80)) {
        qsetterm();
        if (winchanged && !resetneeded) {
            // Start again where the prompt began.
            moveto(0, 0);
            tcmultout(TCUP, TCMULTUP, prompt_height - 1);
            putcount('\r');
        }
        winchanged = 0;
        resetvideo();
        // The screen below is cleared, except for a list just drawn there.
        if (!singleline && showinglist != -1)
            tcout(TCCLEAREOD);
        rawout(singleline ? lastpromptline : (lpromptbuf ? promptbytes(lpromptbuf) : std::string()));
        if (prompt_width == 0 && prompt_height > 1 && lpromptbuf && !singleline) {
            int w, h;
            countwidth(lpromptbuf, &w, &h);
            if (w >= screen_width)
                putcount('\n');
        }
        tline = 0;
        tcol = prompt_width;
        resetneeded = 0;
    }
    // The text: PREDISPLAY, the buffer, POSTDISPLAY.
    std::string text;
    int csoff = tarncs;
    const unsigned char *tp = line;
    int tlen = tarnll;
    if (predisplaylen || postdisplaylen) {
        text.assign(predisplay ? predisplay : "", size_t(predisplaylen));
        text.append(reinterpret_cast<char *>(line), size_t(tarnll));
        text.append(postdisplay ? postdisplay : "", size_t(postdisplaylen));
        tp = reinterpret_cast<const unsigned char *>(text.data());
        tlen = int(text.size());
        csoff += predisplaylen;
    }
    if (singleline) {
        singlelinerefresh(tp, tlen, csoff);
        kedflush();
        return;
    }
    int cline, ccol;
    layout(tp, tlen, csoff, &cline, &ccol);
    std::vector<VLine> status;
    layoutstatus(status);
    bool scrolled = false;
    if (int(nbuf.size() + status.size()) > screen_height) {
        size_t before = nbuf.size();
        fitscreen(&cline, status);
        scrolled = nbuf.size() != before;
    }
    for (VLine &s : status)
        nbuf.push_back(s);
    nlnct = int(nbuf.size());
    // The right prompt, when it fits on line 0: line 0 is then padded to
    // where it starts, and its columns are part of the line.
    bool wantr = rpromptbuf && *rpromptbuf && rprompt_height == 1 && !scrolled && rprompt_width > 0 &&
                 !strchr(rpromptbuf, '\t') && int(nbuf[0].cells.size()) + rprompt_width < screen_width - 1 &&
                 !(trashedked && isset(TRANSIENTRPROMPT));
    if (wantr) {
        std::vector<Cell> &v = nbuf[0].cells;
        v.resize(size_t(screen_width - 1 - rprompt_width), charcell(" ", 1));
        Cell r{};
        r.kind = Cell::CELL_RPROMPT;
        v.resize(size_t(screen_width - 1), r);
    }
    rprompt_shown = wantr;
    for (int i = 0; i < nlnct; i++)
        updateline(i);
    // Lines that are no longer used are cleared.
    for (int i = nlnct; i < int(scr.size()); i++) {
        if (!scr[size_t(i)].cells.empty()) {
            moveto(i, 0);
            clearline();
        }
    }
    if (int(scr.size()) > nlnct)
        scr.resize(size_t(nlnct));
    if (nlnct > max_lines_used)
        max_lines_used = nlnct;
    moveto(cline, ccol);
    kedflush();
    // A list asked for is drawn below the text, and the text again above it.
    if (showinglist == -2 || (showinglist > 0 && showinglist < nlnct)) {
        showinglist = 0;
        runkedhook(LISTMATCHESHOOK, nullptr);
        if (resetneeded)
            qrefresh();
    }
    if (showinglist == -1)
        showinglist = nlnct;
}

void movetobelow()
{
    if (!kedhasterm)
        return;
    moveto(nlnct > 0 ? nlnct - 1 : 0, 0);
    putcount('\n');
    tline++;
    tcol = 0;
}

int bufcolumn(int pos)
{
    int b = pos;
    while (b > 0 && line[b - 1] != '\n')
        b--;
    int col = 0;
    std::vector<Cell> tmp;
    for (int i = b; i < pos;) {
        tmp.clear();
        int used;
        cellsof(line + i, tarnll - i, &used, col, tmp, false);
        col += int(tmp.size());
        i += used;
    }
    return col;
}

int clearscreen(char **)
{
    tcout(TCCLEARSCREEN);
    resetneeded = 1;
    clearflag = 0;
    return 0;
}

int redisplay(char **)
{
    moveto(0, 0);
    putcount('\r');
    tcmultout(TCUP, TCMULTUP, prompt_height - 1);
    resetneeded = 1;
    clearflag = 0;
    return 0;
}
