// Putting the result into the line and showing the list: one match, the
// unambiguous part of several, menu completion forwards and backwards,
// all matches at once; the layout of the list in columns, the question
// before a long list, and the printing below the line.
#include "complete/complete.h"

#include <sys/stat.h>
#include <wchar.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

Menuinfo minfo;
int lastend;
std::vector<GroupLayout> listlayout;

namespace {

const char *nz(const char *s) { return s ? s : ""; }

}  // namespace

// ---- text for the list ----

// Every character of a metafied string in a form the terminal can show:
// control bytes as ^X, bytes that are not characters (or not printable in
// the locale) as <XX>.  Nothing a match holds ever reaches the terminal
// raw.
void shownchars(const char *ms, std::vector<Shown> &out)
{
    int len;
    char *u = unmetafy(dupstring(ms), &len);
    mbstate_t st{};
    char b[16];
    for (int i = 0; i < len;) {
        unsigned char c = static_cast<unsigned char>(u[i]);
        if (c < 32 || c == 127) {
            char x[3] = {'^', char(c == 127 ? '?' : c | 64), 0};
            out.push_back(Shown{x, 2});
            i++;
            continue;
        }
        if (c < 128 || !kedmultibyte) {
            if (c >= 128 && (c < 160 || !isprint(c))) {
                snprintf(b, sizeof b, "<%02X>", c);
                out.push_back(Shown{b, 4});
            } else {
                out.push_back(Shown{std::string(1, char(c)), 1});
            }
            i++;
            continue;
        }
        wchar_t wc;
        size_t n = mbrtowc(&wc, u + i, size_t(len - i), &st);
        if (n == size_t(-1) || n == size_t(-2) || n == 0) {
            snprintf(b, sizeof b, "<%02X>", c);
            out.push_back(Shown{b, 4});
            st = mbstate_t{};
            i++;
            continue;
        }
        int w = wcwidth(wc);
        if (w < 0) {
            snprintf(b, sizeof b, "<%04X>", unsigned(wc));
            out.push_back(Shown{b, int(strlen(b))});
        } else {
            out.push_back(Shown{std::string(u + i, n), w});
        }
        i += int(n);
    }
}

Shown shownstr(const char *ms)
{
    std::vector<Shown> v;
    shownchars(ms, v);
    Shown r{std::string(), 0};
    for (const Shown &c : v) {
        r.text += c.text;
        r.width += c.width;
    }
    return r;
}

namespace {

Shown shown(const char *ms) { return shownstr(ms); }

}  // namespace

const char *matchtext(Cmatch *m)
{
    if (m->disp)
        return m->disp;
    // Names are listed as they are, not as they are quoted on the line.
    return m->orig && *m->orig ? m->orig : m->str;
}

// What a match shows in the list.
Shown matchshown(Cmatch *m)
{
    Shown s = shown(matchtext(m));
    if (!m->disp && isset(LISTTYPES) && (m->flags & MF_FILE) && m->modec) {
        s.text += m->modec;
        s.width++;
    }
    return s;
}

int listcolumns() { return tccolumns > 0 ? tccolumns : 80; }
int listlines() { return tclines > 0 ? tclines : 24; }

namespace {

int columns() { return listcolumns(); }
int lines() { return listlines(); }

// Byte offset of the cp-th character (from 1) of a metafied string.
int charoffset(const char *ms, int cp)
{
    int i = 0;
    mbstate_t st{};
    int len;
    char *u = unmetafy(dupstring(ms), &len);
    int bytes = 0;
    for (int c = 1; c < cp && i < len; c++) {
        size_t n = 1;
        if (kedmultibyte && static_cast<unsigned char>(u[i]) >= 128) {
            n = mbrlen(u + i, size_t(len - i), &st);
            if (n == size_t(-1) || n == size_t(-2) || n == 0) {
                n = 1;
                st = mbstate_t{};
            }
        }
        i += int(n);
        bytes += int(n);
    }
    return bytes;
}

bool isdirectory(const char *metapath)
{
    struct stat st;
    return stat(unmeta(metapath), &st) == 0 && S_ISDIR(st.st_mode);
}

int inserttext(const char *ms)
{
    int n = inststrlen(ms, 1, -1);
    return n;
}

}  // namespace

Cmatch *matchat(int n, Cmgroup **gp)
{
    for (Cmgroup *g = pmatches; g; g = g->next) {
        if (n < g->mcount) {
            if (gp)
                *gp = g;
            return g->matches[n];
        }
        n -= g->mcount;
    }
    return nullptr;
}

// ---- one match ----

void do_single(Cmatch *m)
{
    fixsuffix();
    if (!minfo.valid || !menucmp || minfo.cur < 0) {
        if (!menucmp || !minfo.valid) {
            minfo.pos = wb;
            minfo.len = we - wb;
            minfo.end = we;
            minfo.valid = 1;
        }
        if (movetoend > 1 || (movetoend == 1 && !menucmp))
            minfo.we = 1;
        else
            minfo.we = tarncs == we;
    }
    // Take out what was inserted last.
    if (minfo.pos > tarnll)
        minfo.pos = tarnll;
    tarncs = minfo.pos;
    if (minfo.len > tarnll - tarncs)
        minfo.len = tarnll - tarncs;
    foredel(minfo.len);
    if (m->flags & MF_ALL) {
        minfo.len = 0;
        do_allmatches(0);
        return;
    }
    int start = tarncs;
    int n = 0;
    n += inserttext(nz(m->ipre));
    n += inserttext(nz(m->pre));
    n += inserttext(nz(m->ppre));
    n += inserttext(m->str);
    n += inserttext(nz(m->psuf));
    int wordend = tarncs;
    int sl = 0;
    minfo.insc = 0;
    if (m->suf) {
        sl = inserttext(m->suf);
        n += sl;
        if (minfo.we && (m->flags & MF_REMOVE)) {
            if (m->remf || m->rems) {
                makesuffixstr(m->remf, m->rems, sl);
            } else {
                makesuffix(sl);
                // A one-character suffix also goes when it is typed again.
                if (sl == 1)
                    suffixlen[static_cast<unsigned char>(m->suf[0])] = 1;
            }
        }
        minfo.insc = sl;
    } else {
        bool done = false;
        bool parslash = (m->flags & MF_ISPAR) && isset(AUTOPARAMSLASH);
        if (((m->flags & MF_FILE) || parslash) && tarncs > 0 && line[tarncs - 1] != '/') {
            std::string path;
            if (m->flags & MF_FILE) {
                path = m->prpre ? m->prpre : "./";
                path += m->orig;
                path += nz(m->psuf);
                if (path.compare(0, 1, "~") == 0) {
                    char *p = dupstring(path.c_str());
                    LinkList *l = newlinklist();
                    addlinknode(l, p);
                    NoErrsGuard ng(1);
                    prefork(l, 0);
                    errflag = 0;
                    if (nonempty(l))
                        path = static_cast<char *>(getdata(firstnode(l)));
                }
            } else {
                char *v = getsparam(m->orig);
                path = v ? v : "";
            }
            if (!path.empty() && isdirectory(path.c_str())) {
                inserttext("/");
                n++;
                minfo.insc = 1;
                if (!menucmp || minfo.we) {
                    if (m->remf || m->rems)
                        makesuffixstr(m->remf, m->rems, 1);
                    else if (isset(AUTOREMOVESLASH)) {
                        makesuffix(1);
                        suffixlen[int('/')] = 1;
                    }
                }
                done = true;
            }
        }
        if (!done && brpiecebeg >= 0 && !menucmp && tarncs < tarnll && line[tarncs] != ',' && line[tarncs] != '}') {
            inserttext(",");
            n++;
            minfo.insc = 1;
            makesuffix(1);
            if (isset(AUTOPARAMKEYS))
                suffixlen[int('}')] = suffixlen[int(',')] = 1;
            done = true;
        }
        if (!done) {
            if (m->autoq && !(m->isuf && m->isuf[0] == m->autoq[0]) &&
                !(tarncs < tarnll && line[tarncs] == static_cast<unsigned char>(m->autoq[0]))) {
                n += inserttext(m->autoq);
                wordend = tarncs;
            }
            bool space = !menucmp && !(m->flags & MF_NOSPACE) && brpiecebeg < 0;
            if (usemenu == 3 && menuselected)
                space = insspace;
            if (space && (m->flags & MF_ISPAR) && (m->flags & MF_PARBR))
                space = false;
            if (space) {
                inserttext(" ");
                n++;
                minfo.insc++;
                makesuffix(1);
            }
        }
    }
    if ((m->flags & MF_ISPAR) && isset(AUTOPARAMKEYS) && !minfo.insc)
        makeparamsuffix((m->flags & MF_PARBR) != 0, 0);
    minfo.len = n;
    if (!minfo.we)
        tarncs = wordend;
    if (tarncs > tarnll)
        tarncs = tarnll;
    (void)start;
    runcomphook(INSERTMATCHHOOK, m);
}

// ---- several matches ----

int do_ambiguous()
{
    menucmp = 0;
    minfo.cur = -1;
    minfo.group = nullptr;
    minfo.valid = 0;
    if (nmatches == 1) {
        Cmatch *m = matchat(0, nullptr);
        if (m) {
            do_single(m);
            invalidate_list();
            return 0;
        }
    }
    lastambig = 1;
    bool patmenu = useglob && comppatinsert && !strcmp(comppatinsert, "menu") && comppatmatch && *comppatmatch;
    if (usemenu || patmenu) {
        do_ambig_menu();
        return 0;
    }
    // The unambiguous part in place of the word.
    int cp;
    char *un = unambig_string(&cp, nullptr, nullptr);
    Cmatch *m0 = matchat(0, nullptr);
    std::string pre = std::string(m0 ? nz(m0->ipre) : "") + (m0 ? nz(m0->pre) : "") + (m0 ? nz(m0->ppre) : "");
    // -P and -p strings that differ between matches are not put in.
    for (Cmgroup *g = pmatches; g; g = g->next)
        for (int i = 0; i < g->mcount; i++) {
            Cmatch *m = g->matches[i];
            std::string p = std::string(nz(m->ipre)) + nz(m->pre) + nz(m->ppre);
            if (p != pre) {
                size_t k = 0;
                while (k < p.size() && k < pre.size() && p[k] == pre[k])
                    k++;
                pre.resize(k);
            }
        }
    std::string oldword(reinterpret_cast<char *>(line) + wb, size_t(we - wb));
    std::string newtext = pre + un;
    int rl;
    char *nu = unmetafy(dupstring(newtext.c_str()), &rl);
    std::string newraw(nu, size_t(rl));
    bool changed = newraw != oldword;
    if (int(newraw.size()) < int(oldword.size()) && oldword.compare(0, newraw.size(), newraw) == 0) {
        // The common part is shorter than what was typed: the word stays.
        changed = false;
    } else if (changed) {
        tarncs = wb;
        foredel(we - wb);
        inststrlen(newtext.c_str(), 1, -1);
        tarncs = wb + int(unmeta(pre.c_str()) ? strlen(unmeta(pre.c_str())) : 0) + charoffset(un, cp);
        we = wb + rl;
    }
    if (!changed)
        tarncs = tarncs > tarnll ? tarnll : tarncs;
    if (movetoend == 3)
        tarncs = wb + rl;
    fromcomp = (tarncs == wb + rl ? 1 : 0) | (isset(AUTOMENU) ? 2 : 0);
    if ((uselist == 3 || (!uselist && isset(BASHAUTOLIST) && isset(LISTAMBIGUOUS))) && changed) {
        invalidate_list();
        lastambig = 0;
        clearlist = 1;
        return 0;
    }
    int ret = isset(LISTBEEP) && !hasoldlist ? 1 : 0;
    ret = isset(LISTBEEP) ? 1 : 0;
    if (uselist && !(usemenu == 2 && listshown)) {
        int listable = 0;
        for (Cmgroup *g = pmatches; g; g = g->next)
            for (int i = 0; i < g->mcount; i++)
                if (!(g->matches[i]->flags & (MF_NOLIST | MF_MULT | MF_DUMMY)))
                    listable++;
        if (listable > 1 || forcelist)
            showinglist = -2;
    }
    return ret;
}

void do_ambig_menu()
{
    minfo.valid = 0;
    minfo.pos = wb;
    minfo.len = we - wb;
    minfo.end = we;
    minfo.valid = 1;
    minfo.asked = 0;
    menucmp = 1;
    menuacc = 0;
    int n = menuselected ? menuselected : 1;
    int total = 0;
    for (Cmgroup *g = pmatches; g; g = g->next)
        total += g->mcount;
    if (!total)
        return;
    if (n < 0)
        n = total + n + 1;
    if (n < 1)
        n = 1;
    n = (n - 1) % total;
    Cmgroup *g = nullptr;
    Cmatch *m = matchat(n, &g);
    // Dummies and repeated texts are passed over.
    for (int k = 0; m && (m->flags & MF_DUMMY) && k < total; k++) {
        n = (n + 1) % total;
        m = matchat(n, &g);
    }
    minfo.group = g;
    minfo.cur = int(std::find(g->matches, g->matches + g->mcount, m) - g->matches);
    do_single(m);
    if (uselist && !listshown)
        showinglist = -2;
}

namespace {

// Step the menu by dir; false when there is nothing to step to.
bool stepmenu(int dir)
{
    if (!minfo.group || minfo.cur < 0)
        return false;
    Cmgroup *g = minfo.group;
    int cur = minfo.cur;
    int total = 0;
    for (Cmgroup *x = pmatches; x; x = x->next)
        total += x->mcount;
    for (int tries = 0; tries < total + 1; tries++) {
        cur += dir;
        if (cur >= g->mcount) {
            g = g->next ? g->next : pmatches;
            while (g && !g->mcount)
                g = g->next ? g->next : pmatches;
            cur = 0;
        } else if (cur < 0) {
            g = g->prev;
            if (!g) {
                g = pmatches;
                while (g->next)
                    g = g->next;
            }
            while (g && !g->mcount)
                g = g->prev ? g->prev : g;
            cur = g ? g->mcount - 1 : 0;
        }
        if (!g)
            return false;
        Cmatch *m = g->matches[cur];
        if (m->flags & MF_DUMMY)
            continue;
        if ((m->flags & MF_MULT) && !*m->str)
            continue;
        minfo.group = g;
        minfo.cur = cur;
        return true;
    }
    return false;
}

}  // namespace

void do_menucmp(int lst)
{
    if (lst == COMP_LIST_COMPLETE) {
        showinglist = -2;
        return;
    }
    // A line changed under the menu starts again from the word there.
    if (minfo.pos + minfo.len > tarnll) {
        invalidate_list();
        return;
    }
    if (!stepmenu(1))
        return;
    do_single(minfo.group->matches[minfo.cur]);
}

int reverse_menu()
{
    if (!menucmp)
        return 1;
    if (minfo.pos + minfo.len > tarnll) {
        invalidate_list();
        return 1;
    }
    if (!stepmenu(-1))
        return 1;
    do_single(minfo.group->matches[minfo.cur]);
    return 0;
}

void accept_last()
{
    if (!menuacc)
        menuacc = 1;
    else
        menuacc++;
    // The match stays; the next one goes after it, a space between.
    tarncs = minfo.pos + minfo.len;
    if (tarncs > tarnll)
        tarncs = tarnll;
    if (minfo.insc && tarncs >= minfo.insc) {
        // A removable suffix goes; an accepted match gets a space.
        bool wasspace = line[tarncs - 1] == ' ';
        if (!wasspace)
            ;
        else {
            backdel(1);
        }
    }
    fixsuffix();
    inststrlen(" ", 1, 1);
    minfo.pos = tarncs;
    minfo.len = 0;
    minfo.insc = 0;
}

void do_allmatches(int)
{
    Menuinfo save = minfo;
    int omenucmp = menucmp;
    menucmp = 1;
    minfo.valid = 1;
    if (!save.valid) {
        minfo.pos = wb;
        minfo.len = we - wb;
        minfo.end = we;
    }
    bool first = true;
    for (Cmgroup *g = pmatches; g; g = g->next)
        for (int i = 0; i < g->mcount; i++) {
            Cmatch *m = g->matches[i];
            if (m->flags & (MF_ALL | MF_DUMMY | MF_MULT))
                continue;
            if (!first)
                accept_last();
            first = false;
            minfo.group = g;
            minfo.cur = i;
            do_single(m);
        }
    menucmp = omenucmp;
    if (!menucmp) {
        tarncs = minfo.pos + minfo.len;
        if (tarncs > tarnll)
            tarncs = tarnll;
        minfo = save;
        minfo.valid = 0;
    }
}

// ---- layout ----

namespace {

struct ListState {
    bool valid;
    int nlist, nlines;
    int onlyexpl, showall, cols, lines, menuacc;
} listdat;

std::vector<GroupLayout> &layout = listlayout;

void laygroups(int showall)
{
    layout.clear();
    int cols = columns();
    int maxw = 0;
    for (Cmgroup *g = pmatches; g; g = g->next) {
        GroupLayout gl;
        gl.g = g;
        gl.rowsfirst = isset(LISTROWSFIRST) || (g->flags & GF_ROWS);
        bool packed = isset(LISTPACKED) || (g->flags & GF_PACKED);
        for (int i = 0; i < g->ecount; i++) {
            Cexpl *e = g->expls[i];
            bool show = (e->count || e->always) &&
                        (!onlyexpl || ((onlyexpl & 1) && e->count) || ((onlyexpl & 2) && e->always));
            if (show)
                gl.expls.push_back(e);
        }
        if (onlyexpl) {
            layout.push_back(gl);
            continue;
        }
        if (g->ylist) {
            bool oneline = arrlen(g->ylist) == 1;
            for (char **p = g->ylist; *p; p++) {
                Shown s = shown(*p);
                if (s.width >= cols || strchr(*p, '\n'))
                    oneline = true;
            }
            for (char **p = g->ylist; *p; p++)
                (oneline ? gl.linestrs : gl.entries).push_back(ListEntry{shown(*p), nullptr});
        } else {
            for (int i = 0; i < g->mcount; i++) {
                Cmatch *m = g->matches[i];
                if (m->flags & (MF_DUMMY | MF_NOLIST))
                    continue;
                if ((m->flags & MF_MULT) && !showall)
                    continue;
                if (m->flags & MF_HIDE)
                    continue;
                Shown s = matchshown(m);
                if ((m->flags & MF_ALL)) {
                    std::string all;
                    for (int k = 0; k < g->mcount; k++)
                        if (!(g->matches[k]->flags & (MF_ALL | MF_DUMMY))) {
                            if (!all.empty())
                                all += ' ';
                            all += shown(g->matches[k]->str).text;
                        }
                    int lim = cols - 5 > 0 ? cols - 5 : 0;
                    if (int(all.size()) > lim)
                        all = all.substr(0, size_t(lim)) + " ...";
                    s = Shown{all, int(all.size())};
                }
                if (m->disp && (m->flags & MF_DISPLINE))
                    gl.linestrs.push_back(ListEntry{s, m});
                else
                    gl.entries.push_back(ListEntry{s, m});
            }
        }
        int n = int(gl.entries.size());
        if (n) {
            int longest = 0;
            for (const ListEntry &e : gl.entries)
                longest = std::max(longest, e.s.width);
            gl.width = longest + 2;
            gl.cols = std::max(1, std::min(n, (cols + 2) / gl.width));
            if (gl.width > cols)
                gl.cols = 1;
            gl.rows = (n + gl.cols - 1) / gl.cols;
            if (packed && gl.cols < n) {
                int shortest = cols;
                for (const ListEntry &e : gl.entries)
                    shortest = std::min(shortest, e.s.width);
                for (int c = std::min(n, cols / (shortest + 2)); c > gl.cols; c--) {
                    int rows = (n + c - 1) / c;
                    std::vector<int> w(size_t(c), 0);
                    for (int k = 0; k < n; k++) {
                        int col = gl.rowsfirst ? k % c : k / rows;
                        if (col >= c)
                            col = c - 1;
                        w[size_t(col)] = std::max(w[size_t(col)], gl.entries[size_t(k)].s.width + 2);
                    }
                    int total = 0;
                    for (int x : w)
                        total += x;
                    if (total - 2 < cols) {
                        if (rows < gl.rows) {
                            gl.cols = c;
                            gl.rows = rows;
                            gl.widths = w;
                        }
                        break;
                    }
                }
            }
            if (gl.widths.empty() && gl.cols > 1)
                maxw = std::max(maxw, gl.cols * gl.width - 2);
        }
        layout.push_back(gl);
    }
    // Groups with several columns line up.
    for (GroupLayout &gl : layout)
        if (gl.widths.empty() && gl.cols > 1 && maxw > gl.cols * gl.width - 2)
            gl.width += (maxw - (gl.width * gl.cols - 2)) / gl.cols;
}

int countlines()
{
    int cols = columns();
    int n = 0;
    for (GroupLayout &gl : layout) {
        n += int(gl.expls.size());
        for (Cexpl *e : gl.expls)
            n += shown(e->str).width / cols;
        for (const ListEntry &e : gl.linestrs)
            n += 1 + (e.s.width > 0 ? (e.s.width - 1) / cols : 0);
        n += gl.rows;
    }
    return n;
}

}  // namespace

int calclist(int showall)
{
    if (listdat.valid && listdat.onlyexpl == onlyexpl && listdat.showall == showall && listdat.cols == columns() &&
        listdat.lines == lines() && listdat.menuacc == menuacc)
        return 0;
    laygroups(showall);
    listdat.valid = true;
    listdat.onlyexpl = onlyexpl;
    listdat.showall = showall;
    listdat.cols = columns();
    listdat.lines = lines();
    listdat.menuacc = menuacc;
    int nl = 0;
    for (GroupLayout &gl : layout)
        nl += int(gl.entries.size() + gl.linestrs.size());
    listdat.nlist = nl;
    listdat.nlines = countlines();
    return 1;
}

int listentrycount() { return listdat.nlist; }
int listlinecount() { return listdat.nlines; }

int list_lines()
{
    if (!pmatches)
        return 0;
    calclist(0);
    return listdat.nlines;
}

namespace {

}  // namespace

bool listclearflag()
{
    bool one = !(qmod.flags & MOD_MULT) || qmod.count == 1;
    return isset(KED) && !(termflags & (TERM_BAD | TERM_UNKNOWN)) &&
           ((isset(ALWAYSLASTPROMPT) && one) || (!isset(ALWAYSLASTPROMPT) && !one));
}

namespace {
bool computeclearflag() { return listclearflag(); }
}  // namespace

// Ask whether to show a long list; 0 show it, 1 refused.
int listask(int entries, int nlines, bool forstrings)
{
    int64_t lm = forstrings ? getiparam("LISTMAX") : complistmax;
    int32_t listmax = int32_t(lm);
    bool ask;
    if (listmax > 0)
        ask = entries >= listmax;
    else if (listmax < 0)
        ask = nlines > -listmax;
    else
        ask = nlines >= lines();
    if (forstrings && listmax > 0)
        ask = entries > listmax;
    if (!ask)
        return 0;
    char buf[160];
    if (entries)
        snprintf(buf, sizeof buf, "tarn: do you wish to see all %d possibilities (%d lines)? ", entries, nlines);
    else
        snprintf(buf, sizeof buf, "tarn: do you wish to see all %d lines? ", nlines);
    kedputs(buf, int(strlen(buf)));
    kedflush();
    // The answer is read with the terminal as the editor has it.
    qsetterm();
    int c = kedgetquery(nullptr, 1);
    int qlines = int(strlen(buf)) / columns();
    if (clearflag) {
        kedputs("\r", 1);
        tcmultout(TCUP, TCMULTUP, qlines);
        tcout(TCCLEAREOD);
        if (c != 'y')
            tcmultout(TCUP, TCMULTUP, nlnct);
    } else {
        kedputs("\n", 1);
    }
    kedflush();
    if (c != 'y') {
        minfo.asked = 2;
        return 1;
    }
    minfo.asked = 1;
    return 0;
}

// After printing: back up to the prompt when the list leaves room.
void listafter(int printed)
{
    if (clearflag) {
        int up = printed + nlnct - 1;
        if (up < lines()) {
            tcmultout(TCUP, TCMULTUP, up);
            kedputs("\r", 1);
            showinglist = -1;
            lastlistlen = printed;
            listshown = 1;
        } else {
            clearflag = 0;
            lastlistlen = 0;
            listshown = 0;
            kedputs("\n", 1);
        }
    } else {
        lastlistlen = 0;
        listshown = 0;
        kedputs("\n", 1);
    }
    kedflush();
}

namespace {

void putpadded(const Shown &s, int width, bool last)
{
    kedputs(s.text.data(), int(s.text.size()));
    if (!last)
        for (int i = s.width; i < width; i++)
            kedputs(" ", 1);
}

}  // namespace

int asklist()
{
    trashked();
    clearflag = computeclearflag();
    if (minfo.asked == 2 && menucmp) {
        tcmultout(TCUP, TCMULTUP, nlnct);
        return 1;
    }
    if (minfo.asked)
        return 0;
    return listask(listdat.nlist, listdat.nlines, false);
}

// ---- formats: explanations and the prompts ----


namespace {

void fmtcap(int cap);

struct Attrs {
    bool bold = false, standout = false, underline = false;
};

void reassert(const Attrs &a)
{
    if (a.bold)
        fmtcap(TCBOLDFACEBEG);
    if (a.standout)
        fmtcap(TCSTANDOUTBEG);
    if (a.underline)
        fmtcap(TCUNDERLINEBEG);
}

}  // namespace

bool measuring;

namespace {

void fmtout(const char *s, int len)
{
    if (!measuring)
        kedputs(s, len);
}

void fmtcap(int cap)
{
    if (!measuring)
        tcout(cap);
}

}  // namespace

// Print a format; the columns it takes.  count is %n for explanations;
// pd (may be null) gives the prompt escapes.
int putformat(const char *fmt, int count, const PromptData *pd)
{
    std::string f = unmeta(fmt);
    Attrs a;
    int width = 0;
    std::string text;
    auto flush = [&] {
        if (text.empty())
            return;
        Shown s = shownstr(metafy(const_cast<char *>(text.c_str()), int(text.size()), META_HEAPDUP));
        fmtout(s.text.data(), int(s.text.size()));
        width += s.width;
        text.clear();
    };
    char buf[40];
    for (size_t i = 0; i < f.size(); i++) {
        if (f[i] != '%' || i + 1 >= f.size()) {
            text += f[i];
            continue;
        }
        char c = f[++i];
        switch (c) {
        case '%': text += '%'; continue;
        case 'n': text += std::to_string(count); continue;
        case '{': {
            flush();
            size_t e = f.find("%}", i + 1);
            std::string raw = f.substr(i + 1, e == std::string::npos ? std::string::npos : e - i - 1);
            fmtout(raw.data(), int(raw.size()));
            i = e == std::string::npos ? f.size() : e + 1;
            continue;
        }
        case 'B': case 'b': case 'S': case 's': case 'U': case 'u':
            flush();
            if (c == 'B') {
                a.bold = true;
                fmtcap(TCBOLDFACEBEG);
            } else if (c == 'S') {
                a.standout = true;
                fmtcap(TCSTANDOUTBEG);
            } else if (c == 'U') {
                a.underline = true;
                fmtcap(TCUNDERLINEBEG);
            } else {
                if (c == 'b')
                    a.bold = false;
                else if (c == 's')
                    a.standout = false;
                else
                    a.underline = false;
                fmtcap(TCALLATTRSOFF);
                reassert(a);
            }
            continue;
        }
        if (!pd) {
            text += '%';
            text += c;
            continue;
        }
        switch (c) {
        case 'l': case 'L':
            snprintf(buf, sizeof buf, "%d/%d", pd->lshown, pd->ltotal);
            break;
        case 'm': case 'M':
            snprintf(buf, sizeof buf, "%d/%d", pd->mnum, pd->mtotal);
            break;
        case 'p': case 'P':
            if (pd->pos == -1)
                snprintf(buf, sizeof buf, "%s", c == 'P' ? "Top   " : "Top");
            else if (pd->pos == -2)
                snprintf(buf, sizeof buf, "Bottom");
            else
                snprintf(buf, sizeof buf, c == 'P' ? "%2d%%   " : "%d%%", pd->pos);
            break;
        default:
            snprintf(buf, sizeof buf, "%%%c", c);
        }
        if (c == 'L' || c == 'M') {
            char pad[48];
            snprintf(pad, sizeof pad, "%-9s", buf);
            text += pad;
        } else {
            text += buf;
        }
    }
    flush();
    if (a.bold || a.standout || a.underline)
        fmtcap(TCALLATTRSOFF);
    return width;
}

void printlist(int, int showall)
{
    (void)showall;
    int printed = 0;
    bool firstline = true;
    auto nl = [&] {
        if (!firstline)
            kedputs("\n", 1);
        firstline = false;
        printed++;
    };
    int cols = columns();
    for (GroupLayout &gl : layout) {
        for (Cexpl *e : gl.expls) {
            nl();
            int w = putformat(e->str, e->count, nullptr);
            printed += w > 0 ? (w - 1) / cols : 0;
        }
        for (const ListEntry &e : gl.linestrs) {
            nl();
            kedputs(e.s.text.data(), int(e.s.text.size()));
            printed += e.s.width > 0 ? (e.s.width - 1) / cols : 0;
        }
        int n = int(gl.entries.size());
        for (int r = 0; r < gl.rows; r++) {
            nl();
            for (int c = 0; c < gl.cols; c++) {
                int k = gl.rowsfirst ? r * gl.cols + c : c * gl.rows + r;
                if (k >= n)
                    break;
                int next = gl.rowsfirst ? k + 1 : k + gl.rows;
                bool last = c == gl.cols - 1 || next >= n || (gl.rowsfirst && (r * gl.cols + c + 1) >= n);
                int w = gl.widths.empty() ? gl.width : gl.widths[size_t(c)];
                putpadded(gl.entries[size_t(k)].s, w, last);
            }
        }
    }
    listafter(printed);
}

int ilistmatches()
{
    if (!pmatches && !nmessages)
        return 1;
    calclist(0);
    if (!listdat.nlines)
        return 1;
    if (asklist())
        return 1;
    printlist(0, 0);
    return 0;
}

int listlist_impl(LinkList *l)
{
    std::vector<std::string> strs;
    for (LinkNode *n = firstnode(l); n; n = nextnode(n))
        strs.push_back(static_cast<char *>(getdata(n)));
    if (strs.empty())
        return 1;
    std::stable_sort(strs.begin(), strs.end(), [](const std::string &a, const std::string &b) {
        const char *x = a.c_str(), *y = b.c_str();
        for (;;) {
            if (*x == '\\' && x[1])
                x++;
            if (*y == '\\' && y[1])
                y++;
            if (!*x || !*y || *x != *y)
                break;
            x++;
            y++;
        }
        return static_cast<unsigned char>(*x) < static_cast<unsigned char>(*y);
    });
    std::vector<Shown> sh;
    int widest = 0, narrowest = 1 << 30;
    for (const std::string &s : strs) {
        sh.push_back(shown(s.c_str()));
        widest = std::max(widest, sh.back().width + 2);
        narrowest = std::min(narrowest, sh.back().width + 2);
    }
    int cols = columns();
    int n = int(sh.size());
    int ncols = (cols + 2) / widest, nlines;
    std::vector<int> widths;
    bool rowsfirst = isset(LISTROWSFIRST);
    if (ncols < 1) {
        ncols = 1;
        nlines = 0;
        for (const Shown &s : sh)
            nlines += int(s.text.size()) / cols + 1;
    } else {
        if (ncols > n)
            ncols = n;
        nlines = (n + ncols - 1) / ncols;
        if (isset(LISTPACKED)) {
            for (int c = std::min(n, cols / std::max(1, narrowest)); c > ncols; c--) {
                int rows = (n + c - 1) / c;
                std::vector<int> w(size_t(c), 0);
                for (int k = 0; k < n; k++) {
                    int col = rowsfirst ? k % c : k / rows;
                    if (col >= c)
                        col = c - 1;
                    w[size_t(col)] = std::max(w[size_t(col)], sh[size_t(k)].width + 2);
                }
                int total = 0;
                for (int x : w)
                    total += x;
                if (total < cols && rows < nlines) {
                    ncols = c;
                    nlines = rows;
                    widths = w;
                    break;
                }
            }
        }
    }
    trashked();
    clearflag = computeclearflag();
    if (listask(n, nlines, true))
        return 1;
    int printed = 0;
    for (int r = 0; r < nlines; r++) {
        if (r)
            kedputs("\n", 1);
        printed++;
        for (int c = 0; c < ncols; c++) {
            int k = rowsfirst ? r * ncols + c : c * nlines + r;
            if (k >= n)
                break;
            int w = widths.empty() ? widest : widths[size_t(c)];
            int next = rowsfirst ? k + 1 : k + nlines;
            putpadded(sh[size_t(k)], w, c == ncols - 1 || next >= n);
        }
        if (ncols == 1 && widest > cols + 2)
            printed += int(sh[size_t(r)].text.size()) / cols;
    }
    listafter(printed);
    return 0;
}

void invalidate_list()
{
    if (menucmp) {
        menucmp = 0;
        minfo.cur = -1;
        minfo.group = nullptr;
        fixsuffix();
    }
    minfo.valid = 0;
    minfo.asked = 0;
    validlist = 0;
    hasoldlist = 0;
    listdat.valid = false;
    lastambig = 0;
    if (showinglist == -2)
        showinglist = 0;
}

void comp_list(const char *v)
{
    qsfree(complist);
    complist = v ? qtrdup(v) : nullptr;
    onlyexpl = v && strstr(v, "expl") ? 1 : 0;
}

int list_matches_hook(Hookdef *, void *)
{
    if (!validlist && !pmatches)
        return 1;
    return runcomphook(COMPLISTMATCHESHOOK, nullptr);
}

int invalidate_list_hook(Hookdef *, void *)
{
    invalidate_list();
    return 0;
}

int reverse_menu_hook(Hookdef *, void *) { return reverse_menu(); }

int accept_completion_hook(Hookdef *, void *)
{
    accept_last();
    return 0;
}
