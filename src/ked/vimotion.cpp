// Vi mode's motions: characters, words, line ends, columns, brackets,
// finding a character on the line, marks, and moving and searching
// through the history.  Every motion works on whole characters under a
// multibyte locale.  While an operator reads its motion (virangeflag) the
// motions keep within the buffer, and those that take in the character
// they land on say so by setting virangeflag to -1.
#include "ked/ked.h"

#include <cstring>
#include <cwctype>
#include <string>

extern int virangeflag, vilinerange, wordflag;
int vigetkeycaret();

namespace {

bool invicmd() { return curkeymapname && !strcmp(curkeymapname, "vicmd"); }

int count() { return qmod.count; }

// Character classes of the word motions: 0 blank (newlines too), 1 a
// letter, digit or underscore, 2 any other character.  With big (the
// blank-word motions W B E) every non-blank is of class 1.  WORDCHARS
// plays no part here: vi's words are its own.
int viclass(int pos, bool big)
{
    int len;
    uint32_t ch = charat(pos, &len);
    if (kedmultibyte && ch >= 0x80 && !(ch & 0x80000000u)) {
        if (iswspace(wint_t(ch)))
            return 0;
        return big || iswalnum(wint_t(ch)) ? 1 : 2;
    }
    unsigned char b = line[pos];
    if (b == ' ' || b == '\t' || b == '\n')
        return 0;
    if (big)
        return 1;
    return b < 0x80 && (ialnum(b) || b == '_') ? 1 : 2;
}

// The start of the character that holds byte pos.
int charstart(int pos)
{
    if (pos >= tarnll)
        return tarnll;
    int save = tarncs;
    tarncs = pos;
    int p = findbol();
    tarncs = save;
    while (p < pos) {
        int n = nextcharpos(p);
        if (n > pos)
            break;
        p = n;
    }
    return p;
}

}  // namespace

void vifirstnonblank()
{
    tarncs = findbol();
    while (tarncs < tarnll && (line[tarncs] == ' ' || line[tarncs] == '\t'))
        tarncs++;
}

// One key for a command that takes a character: looked up in "main", a
// quoted-insert key reads the next one literally and a key that leaves
// insert mode (or breaks) cancels.
int vigetkey()
{
    int k = getkey(0);
    if (k < 0)
        return -1;
    Keymap *km = openkeymap("main");
    if (!km)
        return k;
    char seq[3];
    if (imeta(static_cast<unsigned char>(k))) {
        seq[0] = char(METACHAR);
        seq[1] = char(k ^ 32);
        seq[2] = '\0';
    } else {
        seq[0] = char(k);
        seq[1] = '\0';
    }
    char *str;
    Thingy *t = keybind(km, seq, &str);
    Widget *w = t ? t->widget : nullptr;
    if (!w)
        return k;
    if (w == builtinthingy(T_SENDBREAK)->widget || w == builtinthingy(T_VICMDMODE)->widget)
        return -1;
    if (w == builtinthingy(T_VIQUOTEDINSERT)->widget)
        return vigetkeycaret();
    if (w == builtinthingy(T_QUOTEDINSERT)->widget)
        return getkey(0);
    return k;
}

// A whole character: the rest of a multibyte one follows its first byte.
bool vigetchar(std::string &out)
{
    int k = vigetkey();
    if (k < 0)
        return false;
    out.assign(1, char(k));
    if (kedmultibyte && k >= 0xc0) {
        int need = k >= 0xf0 ? 3 : k >= 0xe0 ? 2 : 1;
        for (int i = 0; i < need; i++) {
            int c = getkey(1);
            if (c < 0)
                break;
            if ((c & 0xc0) != 0x80) {
                ungetkey(c);
                break;
            }
            out += char(c);
        }
    }
    return true;
}

// ---- characters and line positions ----

// l and space: count characters right on the line.  In command mode the
// cursor stops on the last character, but an operator's range may reach
// the line end (dl deletes the last one); no movement fails.
int viforwardchar(char **args)
{
    if (count() < 0)
        return runopposite(vibackwardchar, args);
    int eol = findeol(), lim = eol;
    if (invicmd() && !virangeflag && eol > findbol())
        lim = prevcharpos(eol);
    if (tarncs >= lim)
        return 1;
    for (int n = count(); n > 0 && tarncs < lim; n--)
        tarncs = nextcharpos(tarncs);
    return 0;
}

// h: count characters left, not past the line start.
int vibackwardchar(char **args)
{
    if (count() < 0)
        return runopposite(viforwardchar, args);
    int bol = findbol();
    if (tarncs <= bol)
        return 1;
    for (int n = count(); n > 0 && tarncs > bol; n--)
        tarncs = prevcharpos(tarncs);
    return 0;
}

int vibeginningofline(char **)
{
    tarncs = findbol();
    return 0;
}

// $: the end of the line, or with a count of n the end of the line n - 1
// below (failing when there are fewer).  Lines moved to afterwards keep
// to their ends.
int viendofline(char **)
{
    int ocs = tarncs;
    for (int n = count(); n > 1; n--) {
        int eol = findeol();
        if (eol >= tarnll) {
            tarncs = ocs;
            return 1;
        }
        tarncs = eol + 1;
    }
    tarncs = findeol();
    lastcol = 1 << 28;
    return 0;
}

// ^: the first character of the line that is no blank (the line end
// when there is none).
int vifirstnonblank(char **)
{
    vifirstnonblank();
    return 0;
}

// |: the count-th character of the line (the first without a count), or
// the line end when the line is shorter.
int vigotocolumn(char **)
{
    int n = count() > 0 ? count() : 1;
    int p = findbol(), eol = findeol();
    while (--n > 0 && p < eol)
        p = nextcharpos(p);
    tarncs = p;
    return 0;
}

// %: the first bracket of ()[]{} at or after the cursor on its line, then
// its partner, nesting counted (across lines too).  Fails without either.
int vimatchbracket(char **)
{
    static const char pairs[] = "()[]{}";
    int p = tarncs, eol = findeol();
    while (p < eol && !(line[p] && strchr(pairs, line[p])))
        p++;
    if (p >= eol)
        return 1;
    int i = int(strchr(pairs, line[p]) - pairs);
    char open = line[p], partner = pairs[i ^ 1];
    int dir = i % 2 ? -1 : 1, depth = 1;
    for (int q = p + dir; q >= 0 && q < tarnll; q += dir) {
        if (line[q] == open)
            depth++;
        else if (line[q] == partner && --depth == 0) {
            tarncs = q;
            if (virangeflag)
                virangeflag = -1;
            return 0;
        }
    }
    return 1;
}

// ---- words ----

namespace {

// w and W: past the rest of the word (a run of one class), then past the
// blanks, to the start of the next word; newlines are blanks.  As an
// operator's motion the last repetition stops at the line end (dw on the
// last word of a line keeps the newline), and for a change (cw) it stops
// at the end of the word itself.
int fwdword(bool big)
{
    int p = tarncs;
    for (int n = count(); n > 0 && p < tarnll; n--) {
        bool last = n == 1;
        int c = viclass(p, big);
        if (c) {
            while (p < tarnll && viclass(p, big) == c)
                p = nextcharpos(p);
            if (last && wordflag)
                break;
        }
        while (p < tarnll && viclass(p, big) == 0) {
            if (last && virangeflag && line[p] == '\n')
                break;
            p = nextcharpos(p);
        }
    }
    // In command mode the end of the buffer is its last character.
    int to = p >= tarnll && !virangeflag && invicmd() ? prevcharpos(p) : p;
    if (to <= tarncs)
        return 1;
    tarncs = p;
    return 0;
}

// e and E: to the last character of this word, or of the next one when
// the cursor is there already.  Fails when no word follows.
int fwdwordend(bool big)
{
    int p = tarncs;
    for (int n = count(); n > 0; n--) {
        int q = nextcharpos(p);
        while (q < tarnll && viclass(q, big) == 0)
            q = nextcharpos(q);
        if (q >= tarnll)
            break;
        int c = viclass(q, big);
        for (int r = nextcharpos(q); r < tarnll && viclass(r, big) == c; r = nextcharpos(r))
            q = r;
        p = q;
    }
    if (p == tarncs)
        return 1;
    tarncs = p;
    if (virangeflag)
        virangeflag = -1;
    return 0;
}

// b and B: back over blanks, then to the start of the word before.
int backword(bool big)
{
    int p = tarncs;
    for (int n = count(); n > 0 && p > 0; n--) {
        int q = prevcharpos(p);
        while (q > 0 && viclass(q, big) == 0)
            q = prevcharpos(q);
        if (viclass(q, big) == 0)
            break;
        int c = viclass(q, big);
        while (q > 0 && viclass(prevcharpos(q), big) == c)
            q = prevcharpos(q);
        p = q;
    }
    if (p == tarncs)
        return 1;
    tarncs = p;
    return 0;
}

}  // namespace

int viforwardword(char **args) { return count() < 0 ? runopposite(vibackwardword, args) : fwdword(false); }
int viforwardblankword(char **args)
{
    return count() < 0 ? runopposite(vibackwardblankword, args) : fwdword(true);
}
int vibackwardword(char **args) { return count() < 0 ? runopposite(viforwardword, args) : backword(false); }
int vibackwardblankword(char **args)
{
    return count() < 0 ? runopposite(viforwardblankword, args) : backword(true);
}
int viforwardwordend(char **) { return count() < 0 ? 1 : fwdwordend(false); }
int viforwardblankwordend(char **) { return count() < 0 ? 1 : fwdwordend(true); }

// ---- finding a character on the line ----

namespace {

// The last f F t T: the character, its direction and whether it stops
// beside the character (t T).
constinit std::string lastfindchar;
int lastfinddir;
bool lastfindskip;

// Find the count-th occurrence of lastfindchar on the line in direction dir;
// t and T stop one character short.  A repeated t or T starts one
// character further on, so that ; moves on from the character it stopped
// beside.  Forward finds take in the character found (dfx deletes the x).
int dofind(int dir, bool skip, bool repeat)
{
    if (lastfindchar.empty())
        return 1;
    int n = count();
    if (n < 0) {
        n = -n;
        dir = -dir;
    }
    int bol = findbol(), eol = findeol();
    int p = tarncs;
    if (repeat && skip) {
        if (dir > 0 && p < eol)
            p = nextcharpos(p);
        else if (dir < 0 && p > bol)
            p = prevcharpos(p);
    }
    for (; n > 0; n--) {
        for (;;) {
            if (dir > 0) {
                p = nextcharpos(p);
                if (p >= eol)
                    return 1;
            } else {
                if (p <= bol)
                    return 1;
                p = prevcharpos(p);
            }
            int len;
            charat(p, &len);
            if (size_t(len) == lastfindchar.size() && !memcmp(line + p, lastfindchar.data(), size_t(len)))
                break;
        }
    }
    if (skip)
        p = dir > 0 ? prevcharpos(p) : nextcharpos(p);
    if (p == tarncs)
        return 1;
    tarncs = p;
    if (virangeflag && dir > 0)
        virangeflag = -1;
    return 0;
}

int newfind(int dir, bool skip)
{
    std::string ch;
    if (!vigetchar(ch))
        return 1;
    lastfindchar = ch;
    lastfinddir = dir;
    lastfindskip = skip;
    return dofind(dir, skip, false);
}

}  // namespace

int vifindnextchar(char **) { return newfind(1, false); }
int vifindnextcharskip(char **) { return newfind(1, true); }
int vifindprevchar(char **) { return newfind(-1, false); }
int vifindprevcharskip(char **) { return newfind(-1, true); }
int virepeatfind(char **) { return dofind(lastfinddir, lastfindskip, true); }
int virevrepeatfind(char **) { return dofind(-lastfinddir, lastfindskip, true); }

// ---- marks ----

namespace {

// Marks a-z, and the place the last jump to a mark left (`` and '').
// A mark is a position on a history line; the marks go when a new line is
// read.
struct ViMark {
    long hist;
    int pos;
    bool set;
};
ViMark vimarks[27];

int markindex(int k, bool jump)
{
    if (k >= 'a' && k <= 'z')
        return k - 'a';
    if (jump && (k == '`' || k == '\''))
        return 26;
    return -1;
}

int gotomark()
{
    int i = markindex(vigetkey(), true);
    if (i < 0 || !vimarks[i].set)
        return 1;
    ViMark m = vimarks[i];
    ViMark from = {histline, tarncs, true};
    if (m.hist != histline && !ked_goto_hist(m.hist, 0, 0))
        return 1;
    tarncs = charstart(m.pos > tarnll ? tarnll : m.pos);
    vimarks[26] = from;
    return 0;
}

}  // namespace

void viresetmarks()
{
    for (ViMark &m : vimarks)
        m = ViMark{0, 0, false};
}

int visetmark(char **)
{
    int i = markindex(vigetkey(), false);
    if (i < 0)
        return 1;
    vimarks[i] = ViMark{histline, tarncs, true};
    return 0;
}

// `x: the marked character itself.
int vigotomark(char **) { return gotomark(); }

// 'x: the first non-blank of the marked line; a line-wise motion.
int vigotomarkline(char **)
{
    if (gotomark())
        return 1;
    vifirstnonblank();
    if (virangeflag)
        vilinerange = 1;
    return 0;
}

// ---- lines and history ----

int viuplineorhistory(char **args)
{
    int r = uplineorhistory(args);
    if (!r)
        vifirstnonblank();
    return r;
}

int vidownlineorhistory(char **args)
{
    int r = downlineorhistory(args);
    if (!r)
        vifirstnonblank();
    return r;
}

int vifetchhistory(char **)
{
    if (qmod.flags & MOD_MULT)
        return ked_goto_hist(qmod.count, 0, 0) ? 0 : 1;
    if (histline == curline.number) {
        tarncs = tarnll;
        tarncs = findbol();
        return 0;
    }
    return ked_goto_hist(curline.number, 0, 0) ? 0 : 1;
}

// ---- searching the history ----

namespace {

constinit std::string visearch;
int visearchdir = -1;

// Read the search string on the status line after the character that
// shows the direction, with keys looked up in "main".  False when the
// reading was left (send-break, end of input, or backspace with nothing
// left to remove).
bool readsearch(char shown, std::string &s)
{
    char *okeymap = qtrdup(curkeymapname);
    selectkeymap("main", 1);
    auto status = [&](const char *cursor) {
        std::string st = std::string(1, shown) + s + cursor;
        qsfree(statusline);
        statusline = qtrdup(st.c_str());
        statusll = int(st.size());
        qrefresh();
    };
    bool ok = false;
    for (;;) {
        status("_");
        Thingy *t = getkeycmd();
        Widget *w = t ? t->widget : nullptr;
        if (!w || w == builtinthingy(T_SENDBREAK)->widget || errflag)
            break;
        KedFunc f = (w->flags & W_INTERNAL) ? w->fn : nullptr;
        if (f == acceptline || f == vicmdmode) {
            ok = true;
            break;
        }
        if (f == backwarddeletechar || f == vibackwarddeletechar) {
            if (s.empty())
                break;
            size_t e = s.size() - 1;
            if (kedmultibyte)
                while (e > 0 && (static_cast<unsigned char>(s[e]) & 0xc0) == 0x80)
                    e--;
            s.erase(e);
            continue;
        }
        if (f == backwardkillword || f == vibackwardkillword) {
            while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
                s.pop_back();
            while (!s.empty() && s.back() != ' ' && s.back() != '\t')
                s.pop_back();
            continue;
        }
        if (f == quotedinsert || f == viquotedinsert) {
            if (f == viquotedinsert)
                status("^");
            int k = getkey(0);
            if (k < 0)
                break;
            s += char(k);
            continue;
        }
        if (f == selfinsert || f == selfinsertunmeta) {
            int k = lastchar;
            if (f == selfinsertunmeta) {
                k &= 0x7f;
                if (k == '\r')
                    k = '\n';
            }
            s += char(k);
            if (f == selfinsert && kedmultibyte && k >= 0xc0) {
                int need = k >= 0xf0 ? 3 : k >= 0xe0 ? 2 : 1;
                for (int i = 0; i < need; i++) {
                    int c = getkey(1);
                    if (c < 0)
                        break;
                    if ((c & 0xc0) != 0x80) {
                        ungetkey(c);
                        break;
                    }
                    s += char(c);
                }
            }
            continue;
        }
        handlefeep();
    }
    qsfree(statusline);
    statusline = nullptr;
    statusll = 0;
    selectkeymap(okeymap, 1);
    qsfree(okeymap);
    return ok;
}

// The count-th entry in direction dir (negative count: the other way)
// that differs from the buffer and contains the string; a string that
// begins with "^" must begin the entry.
int dosearch(int dir)
{
    if (visearch.empty())
        return 1;
    int n = count();
    if (n < 0) {
        n = -n;
        dir = -dir;
    }
    if (n < 1)
        n = 1;
    bool anchored = visearch[0] == '^';
    std::string pat = anchored ? visearch.substr(1) : visearch;
    HistEntry *he = histent_for(histline);
    if (!he)
        return 1;
    std::string buf(reinterpret_cast<char *>(line), size_t(tarnll));
    HistEntry *found = nullptr;
    while (n > 0 && (he = movehistent(he, dir, hist_skip_flags))) {
        const char *t = he->edittext ? he->edittext : he->nam;
        char *u = dupstring(t ? t : "");
        int len;
        unmetafy(u, &len);
        std::string text(u, size_t(len));
        if (text == buf)
            continue;
        bool match = anchored ? text.compare(0, pat.size(), pat) == 0 : text.find(pat) != std::string::npos;
        if (match && --n == 0)
            found = he;
    }
    if (!found)
        return 1;
    return ked_goto_hist(found->number, 0, 0) ? 0 : 1;
}

int vihistsearch(int dir, char **args)
{
    if (args && *args) {
        char *u = dupstring(*args);
        int len;
        unmetafy(u, &len);
        visearch.assign(u, size_t(len));
    } else {
        std::string s;
        if (!readsearch(dir < 0 ? '/' : '?', s))
            return 1;
        if (!s.empty())
            visearch = s;
    }
    visearchdir = dir;
    return dosearch(dir);
}

}  // namespace

int vihistorysearchbackward(char **args) { return vihistsearch(-1, args); }
int vihistorysearchforward(char **args) { return vihistsearch(1, args); }
int virepeatsearch(char **) { return dosearch(visearchdir); }
int virevrepeatsearch(char **) { return dosearch(-visearchdir); }
