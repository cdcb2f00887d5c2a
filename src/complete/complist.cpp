// Coloured lists, long lists shown a page at a time, and menu selection.
// The module takes over "comp_list_matches" from the plain printer, starts
// selection through "menu_start" (or the menu-select widget) and owns the
// "menuselect" and "listscroll" keymaps.
#include "complete/complete.h"
#include "exec/exec.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ---- the colour table ----

enum : int {
    COL_NO, COL_FI, COL_DI, COL_LN, COL_PI, COL_SO, COL_BD, COL_CD, COL_EX, COL_MI,
    COL_LC, COL_RC, COL_EC, COL_TC, COL_SP, COL_MA, COL_HI, COL_DU, NUM_COLS
};

struct ColCap {
    const char *name;
    const char *def;  // null: no default
};
constexpr ColCap colcaps[] = {
    {"no", "0"},   {"fi", "0"},      {"di", "1;31"}, {"ln", "1;36"}, {"pi", "33"}, {"so", "1;35"},
    {"bd", "1;33"}, {"cd", "1;33"},  {"ex", "1;32"}, {"mi", nullptr}, {"lc", "\033["}, {"rc", "m"},
    {"ec", nullptr}, {"tc", "0"},    {"sp", "0"},    {"ma", "7"},    {"hi", nullptr}, {"du", nullptr},
};
static_assert(sizeof colcaps / sizeof *colcaps == NUM_COLS);

// One entry of QLS_COLORS: a file type or pattern and its colours.
struct Colspec {
    Patprog *grp = nullptr;  // the groups it is for; null for all
    int cap = -1;            // a capability, or -1
    std::string suffix;      // for "*SUFFIX=VALUE"
    Patprog *pat = nullptr;  // for "=PATTERN=VALUE..."
    std::vector<std::string> vals;
};

struct Colours {
    bool set = false;  // QLS_COLORS (or QLS_COLOURS) was given
    std::string from;  // the text it was parsed from
    std::vector<Colspec> specs;
};
constinit Colours mcols;

// What was last sent, so that a colour goes out only when it changes.
constinit std::string sentcol;

void freespecs()
{
    for (Colspec &c : mcols.specs) {
        if (c.grp)
            freepatprog(c.grp);
        if (c.pat)
            freepatprog(c.pat);
    }
    mcols.specs.clear();
}

Patprog *compilepat(const std::string &text)
{
    char *t = dupstring(text.c_str());
    tokenize(t);
    remnulargs(t);
    // Back-references need (#b), whatever the user's options.
    char oeg = opts[EXTENDEDGLOB];
    opts[EXTENDEDGLOB] = 1;
    Patprog *p = patcompile(t, PC_PERMANENT, nullptr);
    opts[EXTENDEDGLOB] = oeg;
    return p;
}

// A value up to ':' (or '=' as well, for the parts of a pattern entry),
// with its escapes; *sp moves past it.
std::string colvalue(const char **sp, bool stopateq)
{
    std::string r;
    const char *s = *sp;
    while (*s && *s != ':' && !(stopateq && *s == '=')) {
        if (*s == '\\' && s[1]) {
            s++;
            switch (*s) {
            case 'a': r += '\a'; break;
            case 'b': r += '\b'; break;
            case 'e': r += '\033'; break;
            case 'f': r += '\f'; break;
            case 'n': r += '\n'; break;
            case 'r': r += '\r'; break;
            case 't': r += '\t'; break;
            case 'v': r += '\v'; break;
            case '_': r += ' '; break;
            case '?': r += '\177'; break;
            default:
                if (*s >= '0' && *s <= '7') {
                    int v = 0;
                    for (int i = 0; i < 3 && *s >= '0' && *s <= '7'; i++, s++)
                        v = v * 8 + (*s - '0');
                    r += char(v);
                    continue;
                }
                r += *s;
            }
            s++;
        } else if (*s == '^' && s[1]) {
            r += s[1] == '?' ? '\177' : char(s[1] & 0x1f);
            s += 2;
        } else {
            r += *s++;
        }
    }
    *sp = s;
    return r;
}

// Text up to an unescaped '=' (kept as written: it is a pattern).
std::string uptoeq(const char **sp)
{
    std::string r;
    const char *s = *sp;
    while (*s && *s != '=') {
        if (*s == '\\' && s[1])
            r += *s++;
        r += *s++;
    }
    *sp = s;
    return r;
}

void skipentry(const char **sp)
{
    while (**sp && **sp != ':')
        (*sp)++;
}

// Read QLS_COLORS afresh when it changed since the last listing.
void getcols()
{
    const char *v = getsparam("QLS_COLORS");
    if (!v)
        v = getsparam("QLS_COLOURS");
    if (!v) {
        if (mcols.set || !mcols.from.empty())
            freespecs();
        mcols.set = false;
        mcols.from.clear();
        return;
    }
    std::string text = unmeta(v);
    if (mcols.set && text == mcols.from)
        return;
    freespecs();
    mcols.set = true;
    mcols.from = text;
    const char *s = text.c_str();
    while (*s) {
        if (*s == ':') {
            s++;
            continue;
        }
        Colspec c;
        if (*s == '(') {
            // The group pattern, parentheses inside it balanced.
            int depth = 0;
            const char *p = s;
            for (; *p; p++) {
                if (*p == '\\' && p[1]) {
                    p++;
                    continue;
                }
                if (*p == '(')
                    depth++;
                else if (*p == ')' && !--depth)
                    break;
            }
            if (!*p) {
                s = p;
                break;
            }
            c.grp = compilepat(std::string(s + 1, size_t(p - s - 1)));
            s = p + 1;
            if (!c.grp) {
                skipentry(&s);
                continue;
            }
        }
        bool ok = false;
        if (*s == '=') {
            s++;
            std::string pat = uptoeq(&s);
            if (*s == '=' && !pat.empty() && (c.pat = compilepat(pat))) {
                // The whole match's colour, then one for each back-reference.
                while (*s == '=' && c.vals.size() < 11) {
                    s++;
                    c.vals.push_back(colvalue(&s, true));
                }
                ok = true;
            }
        } else if (*s == '*') {
            s++;
            c.suffix = colvalue(&s, true);
            if (*s == '=' && !c.suffix.empty()) {
                s++;
                c.vals.push_back(colvalue(&s, false));
                ok = true;
            }
        } else {
            const char *e = strchr(s, '=');
            if (e && e - s == 2)
                for (int i = 0; i < NUM_COLS; i++)
                    if (!strncmp(colcaps[i].name, s, 2))
                        c.cap = i;
            if (c.cap >= 0) {
                s = e + 1;
                c.vals.push_back(colvalue(&s, false));
                ok = true;
            }
        }
        if (!ok) {
            if (c.grp)
                freepatprog(c.grp);
            if (c.pat)
                freepatprog(c.pat);
            skipentry(&s);
            continue;
        }
        skipentry(&s);
        mcols.specs.push_back(std::move(c));
    }
}

bool grpok(const Colspec &c, Cmgroup *g)
{
    return !c.grp || (g && g->name && pattry(c.grp, g->name));
}

// The value of a capability for a group: the last entry given wins.
const char *capval(int cap, Cmgroup *g)
{
    if (mcols.set)
        for (size_t i = mcols.specs.size(); i-- > 0;) {
            const Colspec &c = mcols.specs[i];
            if (c.cap == cap && grpok(c, g))
                return c.vals[0].c_str();
        }
    return colcaps[cap].def;
}

void sendcol(const char *val, Cmgroup *g)
{
    std::string seq = std::string(capval(COL_LC, g)) + val + capval(COL_RC, g);
    if (seq != sentcol) {
        kedputs(seq.data(), int(seq.size()));
        sentcol = seq;
    }
}

// Colour for a capability; one without a value is the normal colour.
void putcap(int cap, Cmgroup *g)
{
    const char *v = capval(cap, g);
    sendcol(v ? v : capval(COL_NO, g), g);
}

// Back to normal after coloured text.
void coloff(Cmgroup *g)
{
    if (sentcol.empty())
        return;
    if (const char *ec = capval(COL_EC, g)) {
        kedputs(ec, int(strlen(ec)));
        sentcol.clear();
    } else {
        putcap(COL_NO, g);
    }
}

// The colour of a file match by its type, or null when none applies.
const char *filecol(Cmatch *m, Cmgroup *g)
{
    mode_t md = m->mode;
    int cap = -1;
    if (!md)
        cap = capval(COL_MI, g) ? COL_MI : COL_FI;
    else if (S_ISDIR(md))
        cap = COL_DI;
    else if (S_ISLNK(md))
        cap = COL_LN;
    else if (S_ISFIFO(md))
        cap = COL_PI;
    else if (S_ISSOCK(md))
        cap = COL_SO;
    else if (S_ISBLK(md))
        cap = COL_BD;
    else if (S_ISCHR(md))
        cap = COL_CD;
    else if (md & 0111)
        cap = COL_EX;
    if (cap < 0) {
        std::string name = unmeta(m->orig ? m->orig : m->str);
        for (size_t i = mcols.specs.size(); i-- > 0;) {
            const Colspec &c = mcols.specs[i];
            if (!c.suffix.empty() && grpok(c, g) && name.size() >= c.suffix.size() &&
                !name.compare(name.size() - c.suffix.size(), c.suffix.size(), c.suffix))
                return c.vals[0].c_str();
        }
        cap = COL_FI;
    }
    return capval(cap, g);
}

// The colour of each character of a match's text.
void matchcols(Cmatch *m, Cmgroup *g, size_t nchars, std::vector<const char *> &cols)
{
    const char *def = nullptr;
    const char *text = matchtext(m);
    for (const Colspec &c : mcols.specs) {
        if (!c.pat || !grpok(c, g))
            continue;
        int ng = 0, beg[NSUBEXP], end[NSUBEXP];
        patoffset = 0;
        if (!pattryrefs(c.pat, text, -1, &ng, beg, end))
            continue;
        cols.assign(nchars, c.vals[0].c_str());
        for (int i = 0; i < ng && size_t(i) + 1 < c.vals.size(); i++)
            for (int k = beg[i]; k >= 0 && k <= end[i] && size_t(k) < nchars; k++)
                cols[size_t(k)] = c.vals[size_t(i) + 1].c_str();
        return;
    }
    if (m->flags & MF_FILE)
        def = filecol(m, g);
    else if ((m->flags & MF_HIDE) && capval(COL_HI, g))
        def = capval(COL_HI, g);
    else if ((m->flags & MF_MULT) && capval(COL_DU, g))
        def = capval(COL_DU, g);
    else
        def = capval(COL_NO, g);
    cols.assign(nchars, def);
}

// The screen lines a prompt takes.
int formatlines(const char *fmt, const PromptData *pd)
{
    measuring = true;
    int w = putformat(fmt, 0, pd);
    measuring = false;
    return 1 + (w > 0 ? (w - 1) / listcolumns() : 0);
}

// ---- the lines of the list ----

enum : int { LL_EXPL, LL_STR, LL_ROW };
struct LLine {
    int kind;
    int gi;   // the group's layout
    int idx;  // explanation, string or row
    int height;
};
std::vector<LLine> lls;
int lltotal;  // screen lines of all of them

int explwidth(Cexpl *e)
{
    // Only the visible text counts: the formats are measured, not printed.
    std::string f = unmeta(e->str), t;
    for (size_t i = 0; i < f.size(); i++) {
        if (f[i] != '%' || i + 1 >= f.size()) {
            t += f[i];
            continue;
        }
        char c = f[++i];
        if (c == '%')
            t += '%';
        else if (c == 'n')
            t += std::to_string(e->count);
        else if (c == '{') {
            size_t x = f.find("%}", i + 1);
            i = x == std::string::npos ? f.size() : x + 1;
        } else if (!strchr("BbSsUu", c)) {
            t += '%';
            t += c;
        }
    }
    return shownstr(metafy(const_cast<char *>(t.c_str()), int(t.size()), META_HEAPDUP)).width;
}

void buildlines()
{
    lls.clear();
    lltotal = 0;
    int cols = listcolumns();
    for (int gi = 0; gi < int(listlayout.size()); gi++) {
        GroupLayout &gl = listlayout[size_t(gi)];
        for (int i = 0; i < int(gl.expls.size()); i++)
            lls.push_back(LLine{LL_EXPL, gi, i, 1 + explwidth(gl.expls[size_t(i)]) / cols});
        for (int i = 0; i < int(gl.linestrs.size()); i++) {
            int w = gl.linestrs[size_t(i)].s.width;
            lls.push_back(LLine{LL_STR, gi, i, 1 + (w > 0 ? (w - 1) / cols : 0)});
        }
        for (int r = 0; r < gl.rows; r++)
            lls.push_back(LLine{LL_ROW, gi, r, 1});
    }
    for (const LLine &l : lls)
        lltotal += l.height;
}

// The entry of a row in column c, or -1.
int rowentry(const GroupLayout &gl, int r, int c)
{
    if (c >= gl.cols)
        return -1;
    int k = gl.rowsfirst ? r * gl.cols + c : c * gl.rows + r;
    return k < int(gl.entries.size()) ? k : -1;
}

// The match shown on a line in column c, or null.
Cmatch *matchon(const LLine &l, int c)
{
    GroupLayout &gl = listlayout[size_t(l.gi)];
    if (l.kind == LL_STR)
        return c == 0 ? gl.linestrs[size_t(l.idx)].m : nullptr;
    if (l.kind != LL_ROW)
        return nullptr;
    int k = rowentry(gl, l.idx, c);
    return k < 0 ? nullptr : gl.entries[size_t(k)].m;
}

int linecols(const LLine &l)
{
    return l.kind == LL_ROW ? listlayout[size_t(l.gi)].cols : 1;
}

bool colouring() { return mcols.set; }

// One entry: its characters in their colours, then the padding.
void putentry(const ListEntry &e, Cmgroup *g, bool selected, int width, bool last)
{
    std::vector<Shown> chars;
    const char *text = e.m ? matchtext(e.m) : nullptr;
    if (text)
        shownchars(text, chars);
    else
        chars.push_back(e.s);
    // The file-type mark the layout counted.
    int w = 0;
    for (const Shown &c : chars)
        w += c.width;
    if (w < e.s.width && e.m && !e.m->disp && e.m->modec)
        chars.push_back(Shown{std::string(1, e.m->modec), 1});
    std::vector<const char *> cols;
    if (selected) {
        cols.assign(chars.size(), capval(COL_MA, g));
    } else if (colouring()) {
        if (e.m)
            matchcols(e.m, g, chars.size(), cols);
        else
            cols.assign(chars.size(), capval(COL_NO, g));
    }
    for (size_t i = 0; i < chars.size(); i++) {
        if (!cols.empty())
            sendcol(cols[i] ? cols[i] : capval(COL_NO, g), g);
        kedputs(chars[i].text.data(), int(chars[i].text.size()));
    }
    if (last)
        return;
    if (selected || colouring()) {
        coloff(g);
        if (colouring())
            putcap(COL_SP, g);
    }
    for (int i = e.s.width; i < width; i++)
        kedputs(" ", 1);
}

// Print one line of the list (without the newline); sel is highlighted.
void putline(const LLine &l, Cmatch *sel)
{
    GroupLayout &gl = listlayout[size_t(l.gi)];
    Cmgroup *g = gl.g;
    if (l.kind == LL_EXPL) {
        if (colouring())
            putcap(COL_TC, g);
        Cexpl *e = gl.expls[size_t(l.idx)];
        putformat(e->str, e->count, nullptr);
    } else if (l.kind == LL_STR) {
        const ListEntry &e = gl.linestrs[size_t(l.idx)];
        putentry(e, g, e.m && e.m == sel, 0, true);
    } else {
        int n = int(gl.entries.size());
        for (int c = 0; c < gl.cols; c++) {
            int k = rowentry(gl, l.idx, c);
            if (k < 0)
                break;
            int next = gl.rowsfirst ? k + 1 : k + gl.rows;
            bool last = c == gl.cols - 1 || next >= n || (gl.rowsfirst && (l.idx * gl.cols + c + 1) >= n);
            int w = gl.widths.empty() ? gl.width : gl.widths[size_t(c)];
            const ListEntry &e = gl.entries[size_t(k)];
            putentry(e, g, e.m && e.m == sel, w, last);
        }
    }
    coloff(g);
}

int countmatches(int upto)
{
    int n = 0;
    for (int i = 0; i < upto && i < int(lls.size()); i++)
        for (int c = 0; c < linecols(lls[size_t(i)]); c++)
            if (matchon(lls[size_t(i)], c))
                n++;
    return n;
}

// ---- the keymaps ----

Keymap *mskeymap, *lskeymap;

bool iswidget(Thingy *t, int id)
{
    // The immortal name always stands for the built-in widget.
    return t && t->widget && t->widget == builtinthingy(id + WIDGET_COUNT)->widget;
}

template <size_t N> bool isanyof(Thingy *t, const int (&ids)[N])
{
    for (int id : ids)
        if (iswidget(t, id))
            return true;
    return false;
}

void bindto(Keymap *km, const char *seq, const char *widget) { bindkey(km, seq, rthingy(widget), nullptr); }

// Cursor keys in both of their forms.
void bindcursors(Keymap *km, const char *up, const char *down, const char *right, const char *left)
{
    const char *names[4] = {up, down, right, left};
    const char keys[4] = {'A', 'B', 'C', 'D'};
    for (int i = 0; i < 4; i++) {
        if (!names[i])
            continue;
        char seq[4] = {'\033', '[', keys[i], 0};
        bindto(km, seq, names[i]);
        seq[1] = 'O';
        bindto(km, seq, names[i]);
    }
}

void makekeymaps()
{
    mskeymap = newkeymap(nullptr);
    linkkeymap(mskeymap, "menuselect", 1);
    bindto(mskeymap, "\t", "complete-word");
    bindto(mskeymap, "\n", "accept-line");
    bindto(mskeymap, "\r", "accept-line");
    bindcursors(mskeymap, "up-line-or-history", "down-line-or-history", "forward-char", "backward-char");
    lskeymap = newkeymap(nullptr);
    linkkeymap(lskeymap, "listscroll", 1);
    bindto(lskeymap, "\t", "complete-word");
    bindto(lskeymap, " ", "complete-word");
    bindto(lskeymap, "\n", "accept-line");
    bindto(lskeymap, "\r", "accept-line");
    bindcursors(lskeymap, nullptr, "down-line-or-history", nullptr, nullptr);
}

// ---- printing a whole list ----

// The prompt between pages; false when a key other than the paging keys
// ended the listing (it is read again by the editor).  *more gets the
// lines to show next (-1: all the rest).
bool pageprompt(const char *lp, int shown, int *more)
{
    PromptData pd{shown, lltotal, countmatches(0), 0, 0};
    int n = 0, seen = 0;
    for (int i = 0; i < int(lls.size()); i++) {
        seen += lls[size_t(i)].height;
        if (seen <= shown)
            n = i + 1;
    }
    pd.mnum = countmatches(n);
    pd.mtotal = countmatches(int(lls.size()));
    pd.pos = shown * 100 / (lltotal ? lltotal : 1);
    kedputs("\n", 1);
    int w = putformat(*lp ? lp : "%SAt %p: Hit TAB for more, or the character to insert%s", 0, &pd);
    kedflush();
    qsetterm();
    Thingy *cmd = nullptr;
    char *str = nullptr;
    getkeymapcmd(lskeymap, &cmd, &str);
    // The prompt goes, all of its lines, and the list goes on in its place.
    kedputs("\r", 1);
    int up = w > 0 ? (w - 1) / listcolumns() : 0;
    if (up)
        tcmultout(TCUP, TCMULTUP, up);
    if (!tcout(TCCLEAREOD))
        tcout(TCCLEAREOL);
    if (iswidget(cmd, T_COMPLETEWORD)) {
        *more = listlines() - 1;
    } else if (iswidget(cmd, T_DOWNLINEORHISTORY)) {
        *more = 1;
    } else if (iswidget(cmd, T_ACCEPTLINE)) {
        *more = -1;
    } else {
        if (keyseq_length)
            ungetkeycmd();
        return false;
    }
    return true;
}

int printwhole()
{
    const char *lp = getsparam("LISTPROMPT");
    bool fits = lltotal + nlnct <= listlines();
    trashked();
    clearflag = listclearflag();
    if (!fits && !lp && !minfo.asked && listask(listentrycount(), lltotal, false))
        return 1;
    sentcol.clear();
    bool paging = lp && !fits;
    // The first page leaves the line being edited on the screen.
    int room = paging ? listlines() - nlnct - 1 : -1;
    if (paging && room < 1)
        room = 1;
    int printed = 0;
    bool fresh = true;  // at the start of an empty line
    for (const LLine &l : lls) {
        if (room == 0) {
            if (!pageprompt(lp, printed, &room)) {
                lastlistlen = 0;
                listshown = 0;
                clearflag = 0;
                showinglist = 0;
                kedflush();
                return 0;
            }
            fresh = true;
        }
        if (!fresh)
            kedputs("\n", 1);
        fresh = false;
        putline(l, nullptr);
        printed += l.height;
        if (room > 0)
            room = room > l.height ? room - l.height : 0;
    }
    listafter(printed);
    return 0;
}

// ---- menu selection ----

struct Mpos {
    int li, col;
    Cmatch *m;
    Cmgroup *g;
    int idx;  // in g->matches
};

struct Undo {
    Menuinfo mi;
    std::string line;
    int cs;
    int cur;  // position in the match order
};

enum : int { MM_NORMAL, MM_INTERACTIVE, MM_SEARCH };

struct Select {
    bool active = false;
    int mode = MM_NORMAL;
    int mlbeg = 0;   // first line shown when the list scrolls
    int cur = -1;    // the current match, in order
    std::vector<Mpos> order;  // the listed matches in match order
    std::vector<Undo> undo;
    // Incremental search in the matches.
    std::string search;
    bool backward = false, failed = false, wrapped = false;
    struct Step {
        std::string search;
        int cur;
        bool failed, wrapped;
    };
    std::vector<Step> steps;
};
constinit Select sel;

// The line when the menu began, for send-break.
constinit std::string startline;
int startcs;
bool forceselect;  // menu-select started the menu

void savestart()
{
    if (origline) {
        int len;
        char *u = unmetafy(dupstring(origline), &len);
        startline.assign(u, size_t(len));
        startcs = origcs;
    } else {
        startline.assign(reinterpret_cast<char *>(line), size_t(tarnll));
        startcs = tarncs;
    }
}

void buildorder()
{
    sel.order.clear();
    for (Cmgroup *g = pmatches; g; g = g->next)
        for (int i = 0; i < g->mcount; i++) {
            Cmatch *m = g->matches[i];
            for (int li = 0; li < int(lls.size()); li++)
                for (int c = 0; c < linecols(lls[size_t(li)]); c++)
                    if (matchon(lls[size_t(li)], c) == m) {
                        sel.order.push_back(Mpos{li, c, m, g, i});
                        goto next;
                    }
        next:;
        }
}

// Lay the list out again and find the current match in it.
void relayout()
{
    calclist(0);
    buildlines();
    buildorder();
    sel.cur = -1;
    if (menucmp && minfo.group && minfo.cur >= 0 && minfo.cur < minfo.group->mcount) {
        Cmatch *m = minfo.group->matches[minfo.cur];
        for (int i = 0; i < int(sel.order.size()); i++)
            if (sel.order[size_t(i)].m == m)
                sel.cur = i;
    }
}

int menuscroll(int avail)
{
    const char *v = getsparam("MENUSCROLL");
    if (!v)
        return 1;
    int64_t n;
    {
        NoErrsGuard ng(1);
        n = mathevali(v);
        errflag = 0;
    }
    if (n == 0)
        n = avail / 2;
    else if (n < 0)
        n = avail + n;
    return n < 1 ? 1 : int(n > avail ? avail : n);
}

// Lines of the list that fit from line first on, in room screen lines.
int fitfrom(int first, int room)
{
    int n = 0, h = 0;
    for (int i = first; i < int(lls.size()); i++) {
        if (h + lls[size_t(i)].height > room)
            break;
        h += lls[size_t(i)].height;
        n++;
    }
    return n ? n : 1;
}

// The list with the current match highlighted, scrolled so that it shows.
int drawselect()
{
    relayout();
    trashked();
    clearflag = !(termflags & (TERM_BAD | TERM_UNKNOWN));
    sentcol.clear();
    int avail = listlines() - nlnct;
    bool scrolling = lltotal > avail;
    const char *mp = getsparam("MENUPROMPT");
    if (!mp)
        mp = "%SScrolling active: current selection at %p%s";
    if (scrolling) {
        PromptData widest{lltotal, lltotal, int(sel.order.size()), int(sel.order.size()), 100};
        avail -= formatlines(mp, &widest);
    }
    if (avail < 1)
        avail = 1;
    int curli = sel.cur >= 0 ? sel.order[size_t(sel.cur)].li : 0;
    Cmatch *cm = sel.cur >= 0 ? sel.order[size_t(sel.cur)].m : nullptr;
    if (!scrolling) {
        sel.mlbeg = 0;
    } else {
        int step = menuscroll(avail);
        if (sel.mlbeg >= int(lls.size()))
            sel.mlbeg = 0;
        if (curli < sel.mlbeg) {
            sel.mlbeg = std::min(curli, std::max(0, sel.mlbeg - step));
        } else if (curli >= sel.mlbeg + fitfrom(sel.mlbeg, avail)) {
            int nb = sel.mlbeg + step;
            while (curli >= nb + fitfrom(nb, avail))
                nb++;
            sel.mlbeg = nb;
        }
        // Never more blank room below than the list needs.
        while (sel.mlbeg > 0 && sel.mlbeg + fitfrom(sel.mlbeg, avail) >= int(lls.size()) &&
               sel.mlbeg - 1 + fitfrom(sel.mlbeg - 1, avail) >= int(lls.size()))
            sel.mlbeg--;
    }
    int printed = 0;
    int shown = scrolling ? fitfrom(sel.mlbeg, avail) : int(lls.size());
    for (int i = sel.mlbeg; i < sel.mlbeg + shown && i < int(lls.size()); i++) {
        if (printed)
            kedputs("\n", 1);
        putline(lls[size_t(i)], cm);
        printed += lls[size_t(i)].height;
    }
    if (scrolling) {
        int lastshown = 0;
        for (int i = 0; i < sel.mlbeg + shown && i < int(lls.size()); i++)
            lastshown += lls[size_t(i)].height;
        PromptData pd{lastshown, lltotal, sel.cur + 1, int(sel.order.size()), 0};
        if (sel.mlbeg == 0)
            pd.pos = -1;
        else if (sel.mlbeg + shown >= int(lls.size()))
            pd.pos = -2;
        else
            pd.pos = lastshown * 100 / (lltotal ? lltotal : 1);
        kedputs("\n", 1);
        putformat(mp, 0, &pd);
        printed += formatlines(mp, &pd);
    }
    listafter(printed);
    return 0;
}

void setstatus(const std::string &s)
{
    qsfree(statusline);
    statusline = s.empty() ? nullptr : qtrduppfx(s.data(), s.size());
    statusll = int(s.size());
}

void pushundo()
{
    sel.undo.push_back(Undo{minfo, std::string(reinterpret_cast<char *>(line), size_t(tarnll)), tarncs, sel.cur});
}

// Make order[i] the current match and put it into the line.
void selectpos(int i, bool insert)
{
    if (i < 0 || i >= int(sel.order.size()) || i == sel.cur)
        return;
    pushundo();
    const Mpos &p = sel.order[size_t(i)];
    sel.cur = i;
    minfo.group = p.g;
    minfo.cur = p.idx;
    if (insert)
        do_single(p.m);
}

// The position in order of the match at line li, column col.
int posat(int li, int col)
{
    for (int i = 0; i < int(sel.order.size()); i++)
        if (sel.order[size_t(i)].li == li && sel.order[size_t(i)].col == col)
            return i;
    return -1;
}

// The match on line li nearest to column col, or -1 when it has none.
int nearest(int li, int col)
{
    for (int c = col; c >= 0; c--)
        if (int p = posat(li, c); p >= 0)
            return p;
    for (int c = col + 1; c < linecols(lls[size_t(li)]); c++)
        if (int p = posat(li, c); p >= 0)
            return p;
    return -1;
}

// Up or down by lines (wrapping round the whole list).
int moverows(int dir, int count, bool wrap)
{
    const Mpos &p = sel.order[size_t(sel.cur)];
    int li = p.li, found = sel.cur, n = int(lls.size());
    for (int k = 0; k < count; k++) {
        int t = li;
        int q = -1;
        for (int step = 0; step < n; step++) {
            t += dir;
            if (t < 0 || t >= n) {
                if (!wrap)
                    break;
                t = (t + n) % n;
            }
            if ((q = nearest(t, p.col)) >= 0)
                break;
        }
        if (q < 0)
            break;
        li = t;
        found = q;
    }
    return found;
}

int movecolumn(int dir)
{
    const Mpos &p = sel.order[size_t(sel.cur)];
    int ncols = linecols(lls[size_t(p.li)]);
    for (int c = p.col + dir, k = 0; k < ncols; c += dir, k++) {
        c = (c + ncols) % ncols;
        if (int q = posat(p.li, c); q >= 0)
            return q;
    }
    return sel.cur;
}

int linelimit(bool last)
{
    const Mpos &p = sel.order[size_t(sel.cur)];
    if (!last)
        return nearest(p.li, 0);
    return nearest(p.li, linecols(lls[size_t(p.li)]) - 1);
}

int movegroup(int dir)
{
    Cmgroup *g = sel.order[size_t(sel.cur)].g;
    int n = int(sel.order.size());
    int i = sel.cur;
    for (int k = 0; k < n; k++) {
        i = (i + dir + n) % n;
        if (sel.order[size_t(i)].g != g) {
            if (dir > 0)
                return i;
            // The first match of the group before.
            Cmgroup *pg = sel.order[size_t(i)].g;
            while (i > 0 && sel.order[size_t(i - 1)].g == pg)
                i--;
            return i;
        }
    }
    return sel.cur;
}

// ---- searching the matches ----

bool matchhas(int i, const std::string &s)
{
    std::string t = unmeta(matchtext(sel.order[size_t(i)].m));
    return t.find(s) != std::string::npos;
}

// From the current match (itself included unless next), in the search's
// direction; wraps only when asked.
void dosearch(bool next)
{
    int n = int(sel.order.size());
    if (!n) {
        sel.failed = true;
        return;
    }
    int dir = sel.backward ? -1 : 1;
    int start = sel.cur < 0 ? 0 : sel.cur;
    int i = next ? start + dir : start;
    for (int k = 0; k < n; k++, i += dir) {
        if (i < 0 || i >= n) {
            if (!next || !sel.failed)
                break;
            sel.wrapped = true;
            i = (i + n) % n;
        }
        if (matchhas(i, sel.search)) {
            sel.failed = false;
            selectpos(i, sel.mode != MM_INTERACTIVE);
            return;
        }
    }
    sel.failed = true;
}

void searchstatus()
{
    std::string s;
    if (sel.order.empty())
        s = "no matches";
    else
        s = std::string(sel.failed ? "failed " : "") + (sel.wrapped ? "wrapped " : "") + "isearch" +
            (sel.backward ? " backward" : "") + ": " + sel.search;
    setstatus(s);
}

// ---- the interactive mode ----

// The matches again for the word as it now is, with nothing inserted.
void recompute()
{
    int omenu = menucmp;
    menucmp = 0;
    invalidate_list();
    (void)omenu;
    comprecursive = 1;
    {
        NoErrsGuard ng(1);
        listchoices(nullptr);
        errflag = 0;
    }
    showinglist = 0;
    sel.undo.clear();
    if (validlist && pmatches && nmatches) {
        menucmp = 1;
        minfo.valid = 1;
        minfo.pos = wb;
        minfo.len = we - wb;
        minfo.end = we;
        minfo.insc = 0;
        minfo.we = 0;
        minfo.group = nullptr;
        minfo.cur = -1;
        relayout();
        if (!sel.order.empty()) {
            minfo.group = sel.order[0].g;
            minfo.cur = sel.order[0].idx;
            sel.cur = 0;
        }
    } else {
        sel.order.clear();
        sel.cur = -1;
        lls.clear();
    }
}

// Into the interactive mode: the word as it was typed comes back.
void enterinteractive()
{
    sel.mode = MM_INTERACTIVE;
    int len = minfo.len;
    int pos = minfo.pos;
    if (pos + len > tarnll)
        len = tarnll - pos;
    // The word as typed: the line the menu began from, at the same place.
    tarncs = pos;
    foredel(len);
    int wl = int(startline.size()) - (tarnll);
    if (wl > 0 && pos + wl <= int(startline.size())) {
        spaceinline(wl);
        memcpy(line + pos, startline.data() + pos, size_t(wl));
        tarncs = pos + wl;
    }
    minfo.len = wl > 0 ? wl : 0;
    minfo.insc = 0;
}

bool isediting(Thingy *cmd)
{
    static constexpr int ids[] = {T_SELFINSERT, T_SELFINSERTUNMETA, T_BACKWARDDELETECHAR, T_VIBACKWARDDELETECHAR,
                                  T_DELETECHAR, T_BACKWARDKILLWORD, T_BACKWARDDELETEWORD, T_QUOTEDINSERT};
    return isanyof(cmd, ids);
}

bool iscompletion(Thingy *cmd)
{
    static constexpr int ids[] = {T_COMPLETEWORD,        T_EXPANDORCOMPLETE, T_EXPANDORCOMPLETEPREFIX,
                                  T_MENUCOMPLETE,        T_MENUEXPANDORCOMPLETE};
    if (isanyof(cmd, ids))
        return true;
    Thingy *ms = findthingy(".menu-select");
    if (cmd && ms && cmd->widget == ms->widget)
        return true;
    return cmd && cmd->widget && (cmd->widget->flags & W_COMPLETION);
}

// Put the current match in as if it had been completed alone: the space
// or slash after it as outside a menu.
void acceptcurrent()
{
    if (sel.cur < 0)
        return;
    Cmatch *m = sel.order[size_t(sel.cur)].m;
    wb = minfo.pos;
    we = minfo.pos + minfo.len;
    if (we > tarnll)
        we = tarnll;
    tarncs = we;
    menucmp = 0;
    minfo.valid = 0;
    do_single(m);
}

// End the menu; the line stays as it is.
void endmenu()
{
    menucmp = 0;
    invalidate_list();
    clearlist = 1;
    showinglist = 0;
}

// Start a completion from inside the selection (the line was accepted
// into a directory, say); true when a new menu came of it.
bool completeagain()
{
    invalidate_list();
    comprecursive = 1;
    {
        NoErrsGuard ng(1);
        menucomplete(nullptr);
        errflag = 0;
    }
    sel.undo.clear();
    sel.mlbeg = 0;
    return menucmp && minfo.group && minfo.cur >= 0;
}

// The selection loop: 0 when it ended normally.
int domenuselect()
{
    if (!menucmp || !minfo.group || minfo.cur < 0 || sel.active)
        return 1;
    sel.active = true;
    sel.mlbeg = 0;
    sel.undo.clear();
    sel.search.clear();
    sel.steps.clear();
    sel.failed = sel.wrapped = false;
    sel.mode = MM_NORMAL;
    if (const char *mm = getsparam("MENUMODE")) {
        if (!strcmp(mm, "interactive")) {
            enterinteractive();
            recompute();
        } else if (!strncmp(mm, "search", 6)) {
            sel.mode = MM_SEARCH;
            sel.backward = strstr(mm, "back") != nullptr;
        }
    }
    selectlocalmap(mskeymap);
    int ret = 0;
    for (;;) {
        HeapGuard hg;
        if (sel.mode == MM_SEARCH)
            searchstatus();
        else if (sel.mode == MM_INTERACTIVE)
            setstatus(sel.order.empty() ? "interactive: no matches"
                                        : std::string("interactive: ") +
                                              std::string(reinterpret_cast<char *>(line) + minfo.pos,
                                                          size_t(std::min(minfo.len, tarnll - minfo.pos))));
        else
            setstatus("");
        relayout();
        if (sel.mode != MM_INTERACTIVE && sel.cur < 0) {
            // Nothing listed to select.
            endmenu();
            break;
        }
        // The old list goes before the line is drawn: a status line may
        // take a line the list had.  (Without a list known to be there
        // the refresh would forget the whole list, menu and all.)
        if (!resetneeded && listshown && lastlistlen > 0)
            clearlist = 1;
        showinglist = -2;
        qrefresh();
        Thingy *cmd = getkeycmd();
        if (!cmd || errflag) {
            ret = 1;
            break;
        }
        bool have = sel.cur >= 0;
        bool insert = sel.mode != MM_INTERACTIVE;
        if (sel.mode == MM_SEARCH) {
            if (iswidget(cmd, T_SELFINSERT) || iswidget(cmd, T_SELFINSERTUNMETA)) {
                sel.steps.push_back(Select::Step{sel.search, sel.cur, sel.failed, sel.wrapped});
                char *k = dupstring(keybuf);
                int kl;
                unmetafy(k, &kl);
                sel.search.append(k, size_t(kl));
                if (!sel.failed)
                    dosearch(false);
                continue;
            }
            if (iswidget(cmd, T_BACKWARDDELETECHAR) || iswidget(cmd, T_VIBACKWARDDELETECHAR)) {
                if (sel.steps.empty()) {
                    handlefeep();
                    continue;
                }
                Select::Step s = sel.steps.back();
                sel.steps.pop_back();
                sel.search = s.search;
                sel.failed = s.failed;
                sel.wrapped = s.wrapped;
                if (s.cur != sel.cur && s.cur >= 0)
                    selectpos(s.cur, true);
                continue;
            }
            if (iswidget(cmd, T_HISTORYINCREMENTALSEARCHFORWARD) ||
                iswidget(cmd, T_HISTORYINCREMENTALSEARCHBACKWARD)) {
                bool b = iswidget(cmd, T_HISTORYINCREMENTALSEARCHBACKWARD);
                sel.steps.push_back(Select::Step{sel.search, sel.cur, sel.failed, sel.wrapped});
                if (b != sel.backward) {
                    sel.backward = b;
                    sel.failed = false;
                }
                if (!sel.search.empty())
                    dosearch(true);
                continue;
            }
            // Any other key ends the search and acts on the menu.
            sel.mode = MM_NORMAL;
            sel.steps.clear();
            setstatus("");
        }
        if (sel.mode == MM_INTERACTIVE && isediting(cmd)) {
            cmd->widget->fn(nullptr);
            recompute();
            continue;
        }
        if (iswidget(cmd, T_ACCEPTLINE)) {
            if (have)
                acceptcurrent();
            endmenu();
            break;
        }
        if (iswidget(cmd, T_SENDBREAK)) {
            setlinebytes(reinterpret_cast<const unsigned char *>(startline.data()), int(startline.size()));
            tarncs = startcs > tarnll ? tarnll : startcs;
            endmenu();
            break;
        }
        if (iswidget(cmd, T_VIINSERT)) {
            if (sel.mode == MM_INTERACTIVE) {
                sel.mode = MM_NORMAL;
                if (have)
                    do_single(sel.order[size_t(sel.cur)].m);
            } else {
                enterinteractive();
                recompute();
            }
            continue;
        }
        if (iswidget(cmd, T_REDISPLAY) || iswidget(cmd, T_CLEARSCREEN)) {
            cmd->widget->fn(nullptr);
            continue;
        }
        if (iswidget(cmd, T_UNDO)) {
            if (sel.undo.empty()) {
                handlefeep();
                continue;
            }
            Undo u = sel.undo.back();
            sel.undo.pop_back();
            setlinebytes(reinterpret_cast<const unsigned char *>(u.line.data()), int(u.line.size()));
            tarncs = u.cs > tarnll ? tarnll : u.cs;
            minfo = u.mi;
            continue;
        }
        if (iswidget(cmd, T_HISTORYINCREMENTALSEARCHFORWARD) || iswidget(cmd, T_HISTORYINCREMENTALSEARCHBACKWARD)) {
            sel.mode = MM_SEARCH;
            sel.backward = iswidget(cmd, T_HISTORYINCREMENTALSEARCHBACKWARD);
            sel.search.clear();
            sel.steps.clear();
            sel.failed = sel.wrapped = false;
            continue;
        }
        if (!have) {
            // Only typing and leaving make sense without a match.
            if (sel.mode == MM_INTERACTIVE && !iscompletion(cmd)) {
                endmenu();
                ungetkeycmd();
                break;
            }
            handlefeep();
            continue;
        }
        if (iswidget(cmd, T_ACCEPTANDHOLD) || iswidget(cmd, T_ACCEPTANDMENUCOMPLETE)) {
            if (sel.mode == MM_INTERACTIVE) {
                sel.mode = MM_NORMAL;
                do_single(sel.order[size_t(sel.cur)].m);
            }
            pushundo();
            accept_last();
            do_menucmp(0);
            continue;
        }
        if (iswidget(cmd, T_ACCEPTANDINFERNEXTHISTORY)) {
            acceptcurrent();
            if (!completeagain()) {
                endmenu();
                break;
            }
            sel.mode = MM_NORMAL;
            continue;
        }
        static constexpr int ups[] = {T_UPLINEORHISTORY, T_UPHISTORY, T_UPLINEORSEARCH, T_VIUPLINEORHISTORY};
        static constexpr int downs[] = {T_DOWNLINEORHISTORY, T_DOWNHISTORY, T_DOWNLINEORSEARCH,
                                        T_VIDOWNLINEORHISTORY};
        static constexpr int fwords[] = {T_FORWARDWORD, T_EMACSFORWARDWORD, T_VIFORWARDWORD, T_VIFORWARDWORDEND};
        static constexpr int bwords[] = {T_BACKWARDWORD, T_EMACSBACKWARDWORD, T_VIBACKWARDWORD};
        static constexpr int firsts[] = {T_BEGINNINGOFHISTORY, T_BEGINNINGOFBUFFERORHISTORY};
        static constexpr int lasts[] = {T_ENDOFHISTORY, T_ENDOFBUFFERORHISTORY};
        static constexpr int bols[] = {T_BEGINNINGOFLINE, T_VIBEGINNINGOFLINE, T_VIFIRSTNONBLANK,
                                       T_VIDIGITORBEGINNINGOFLINE, T_BEGINNINGOFLINEHIST};
        static constexpr int eols[] = {T_ENDOFLINE, T_VIENDOFLINE, T_ENDOFLINEHIST};
        static constexpr int ngroups[] = {T_VIFORWARDBLANKWORD, T_VIFORWARDBLANKWORDEND};
        int page = std::max(1, listlines() - nlnct - 1);
        int to = -2;
        if (isanyof(cmd, ups))
            to = moverows(-1, 1, true);
        else if (isanyof(cmd, downs))
            to = moverows(1, 1, true);
        else if (iswidget(cmd, T_FORWARDCHAR) || iswidget(cmd, T_VIFORWARDCHAR))
            to = movecolumn(1);
        else if (iswidget(cmd, T_BACKWARDCHAR) || iswidget(cmd, T_VIBACKWARDCHAR))
            to = movecolumn(-1);
        else if (isanyof(cmd, fwords))
            to = moverows(1, page, false);
        else if (isanyof(cmd, bwords))
            to = moverows(-1, page, false);
        else if (isanyof(cmd, firsts))
            to = 0;
        else if (isanyof(cmd, lasts))
            to = int(sel.order.size()) - 1;
        else if (isanyof(cmd, bols))
            to = linelimit(false);
        else if (isanyof(cmd, eols))
            to = linelimit(true);
        else if (isanyof(cmd, ngroups))
            to = movegroup(1);
        else if (iswidget(cmd, T_VIBACKWARDBLANKWORD))
            to = movegroup(-1);
        else if (iswidget(cmd, T_REVERSEMENUCOMPLETE))
            to = (sel.cur + int(sel.order.size()) - 1) % int(sel.order.size());
        else if (iscompletion(cmd))
            to = (sel.cur + 1) % int(sel.order.size());
        if (to != -2) {
            if (to >= 0)
                selectpos(to, insert);
            continue;
        }
        // Any other key: selection ends with the match in the line, and
        // the key does what it always does.
        if (sel.mode == MM_INTERACTIVE)
            do_single(sel.order[size_t(sel.cur)].m);
        endmenu();
        ungetkeycmd();
        break;
    }
    setstatus("");
    selectlocalmap(nullptr);
    sel.active = false;
    sel.undo.clear();
    sel.order.clear();
    lls.clear();
    return ret;
}

// ---- the hooks and the widget ----

int complistmatches(Hookdef *, void *)
{
    if (sel.active)
        return drawselect();
    if (minfo.asked == 2 && menucmp)
        return ilistmatches();
    if (!pmatches && !nmessages)
        return 1;
    calclist(0);
    if (!listlinecount())
        return 1;
    getcols();
    buildlines();
    int r = printwhole();
    lls.clear();
    return r;
}

int menustart(Hookdef *, void *)
{
    savestart();
    if (sel.active)
        return 0;
    bool want = forceselect;
    if (const char *ms = getsparam("MENUSELECT")) {
        long n = strtol(ms, nullptr, 10);
        if (nmatches >= n)
            want = true;
    }
    if (!want)
        return 0;
    getcols();
    domenuselect();
    return 0;
}

int menuselect(char **args)
{
    if (menucmp && minfo.group && minfo.cur >= 0) {
        getcols();
        return domenuselect();
    }
    // A menu first; selection begins as it starts.
    forceselect = true;
    int r = menucomplete(args);
    forceselect = false;
    return r;
}

Widget *mswidget;

}  // namespace

int setup_tarnQscomplist(Module *) { return 0; }

int boot_tarnQscomplist(Module *m)
{
    Thingy *t = findthingy("menu-select");
    Thingy *d = findthingy(".menu-select");
    if ((t && !(t->flags & TH_DISABLED)) || (d && !(d->flags & TH_DISABLED)) ||
        !(mswidget = addkedfunction("menu-select", menuselect, W_MENU_KEEP | W_KEEP_SUFFIX))) {
        qwarnnam(m->nam, "name clash when adding KED function `menu-select'", nullptr, 0);
        return 1;
    }
    addhookfunc("comp_list_matches", complistmatches);
    addhookfunc("menu_start", menustart);
    makekeymaps();
    return 0;
}

int cleanup_tarnQscomplist(Module *)
{
    if (mswidget)
        deletekedfunction(mswidget);
    mswidget = nullptr;
    deletehookfunc("comp_list_matches", complistmatches);
    deletehookfunc("menu_start", menustart);
    if (mskeymap)
        unlinkkeymap("menuselect", 1);
    if (lskeymap)
        unlinkkeymap("listscroll", 1);
    mskeymap = lskeymap = nullptr;
    freespecs();
    mcols = Colours{};
    sentcol.clear();
    startline.clear();
    return 0;
}

int finish_tarnQscomplist(Module *) { return 0; }
