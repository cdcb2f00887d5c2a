// Prompt expansion: % escapes, ! history numbers and, with promptsubst,
// ordinary substitutions; terminal attributes wrapped in zero-width markers.
#include "expand/expand.h"
#include "history/history.h"
#include "jobs/jobs.h"
#include "lang/lang.h"
#include "params/params.h"

#include <curses.h>
#include <term.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

int txtattrmask;



namespace {

// One expansion's state.
struct PromptState {
    char *buf;
    size_t len, cap;
    const char *fm;      // input position
    char *rstring, *Rstring;
    size_t linestart;    // output offset where the current line began
    int dontcount;       // nesting of %{ stretches (zero width)
    int trunclen;        // truncation width in force (0: none)
};

PromptState *ps;

void grow(size_t need)
{
    if (ps->len + need + 1 <= ps->cap)
        return;
    size_t want = (ps->len + need + 1) * 2;
    want = (want + 255) / 256 * 256;
    ps->buf = static_cast<char *>(qrealloc(ps->buf, want));
    ps->cap = want;
}

void addbyte(char c)
{
    grow(1);
    ps->buf[ps->len++] = c;
    ps->buf[ps->len] = '\0';
}

// Add a raw (unmetafied) byte, metafying it.
void addraw(unsigned char c)
{
    if (imeta(c)) {
        addbyte(char(METACHAR));
        addbyte(char(c ^ 32));
    } else {
        addbyte(char(c));
    }
    if (c == '\n' && !ps->dontcount)
        ps->linestart = ps->len;
}

// Add a metafied string as it is.
void addmeta(const char *s)
{
    while (*s) {
        const char *p = s;
        addraw(metachar(p));
        s = p;
    }
}

void addnum(long n)
{
    char b[32];
    snprintf(b, sizeof b, "%ld", n);
    addmeta(b);
}

int putstrc(int c)
{
    addbyte(char(c));
    return 0;
}

const char *pwdvalue()
{
    const char *p = getsparam("PWD");
    return p ? p : "";
}

// $PWD with a leading home or named directory abbreviated (arena).
char *tildepwd(const char *pwd)
{
    const char *home = getsparam("HOME");
    size_t hl = home ? strlen(home) : 0;
    NamedDir *nd = nameddirtab ? finddir(pwd) : nullptr;
    size_t ndl = nd ? strlen(nd->dir) : 0;
    if (home && hl > 1 && !strncmp(pwd, home, hl) && (pwd[hl] == '/' || !pwd[hl]) && hl >= ndl)
        return dyncat("~", pwd + hl);
    if (nd)
        return qhtricat("~", nd->nam, pwd + ndl);
    return dupstring(pwd);
}

// Keep the last n (n > 0) or first -n (n < 0) components of a path.
void addcomponents(const char *path, int n)
{
    if (n > 0) {
        const char *p = path + strlen(path);
        int seen = 0;
        while (p > path) {
            p--;
            if (*p == '/' && p[1] && ++seen == n) {
                p++;
                break;
            }
        }
        addmeta(p);
    } else if (n < 0) {
        const char *p = path;
        int want = -n;
        if (*p == '/')
            p++;
        int seen = 0;
        while (*p) {
            if (*p == '/' && ++seen == want)
                break;
            p++;
        }
        addmeta(dupstrpfx(path, size_t(p - path)));
    } else {
        addmeta(path);
    }
}

int countcomponents(const char *path)
{
    int n = 0;
    for (const char *p = path; *p; p++)
        if (*p == '/' && (p[1] || p == path))
            n++;
    if (*path && *path != '/')
        n++;
    return n;
}

void tsetcap_prompt(int cap, bool glitch)
{
    if ((termflags & (TERM_BAD | TERM_UNKNOWN)) || !termcaps.str[cap])
        return;
    addbyte(char(TK_LPAREN));
    tputs(termcaps.str[cap], 1, putstrc);
    if (glitch) {
        int g = tgetnum(const_cast<char *>(cap == TCSTANDOUTBEG ? "sg" : "ug"));
        for (int i = 0; i < g; i++)
            addbyte(char(TK_EMPTY));
    }
    addbyte(char(TK_RPAREN));
}

// Switch an attribute; after switching all off, restore the others.
void setattr(int bit, bool on)
{
    if (on) {
        txtattrmask |= bit;
        tsetcap_prompt(bit == 1 ? TCBOLDFACEBEG : bit == 2 ? TCSTANDOUTBEG : TCUNDERLINEBEG, bit != 1);
        return;
    }
    txtattrmask &= ~bit;
    if (bit == 2 && termcaps.str[TCSTANDOUTEND]) {
        tsetcap_prompt(TCSTANDOUTEND, true);
    } else if (bit == 4 && termcaps.str[TCUNDERLINEEND]) {
        tsetcap_prompt(TCUNDERLINEEND, true);
    } else {
        tsetcap_prompt(TCALLATTRSOFF, false);
        if (txtattrmask & 1)
            tsetcap_prompt(TCBOLDFACEBEG, false);
        if (txtattrmask & 2)
            tsetcap_prompt(TCSTANDOUTBEG, true);
        if (txtattrmask & 4)
            tsetcap_prompt(TCUNDERLINEBEG, true);
    }
}

void addtime(const char *fmt)
{
    time_t t = time(nullptr);
    char b[512];
    qtrftime(b, sizeof b, fmt, localtime(&t));
    // The format was unmetafied, so the result is plain bytes: a lone
    // escape byte at its end must not swallow the terminator.
    for (const char *p = b; *p; p++)
        addraw(static_cast<unsigned char>(*p));
}

char **psvarvalue() { return getaparam("psvar"); }

void addcmdstack(int n, bool reverse)
{
    int lo = 0, hi = cmdsp;
    if (n > 0 && n < cmdsp)
        lo = cmdsp - n;
    else if (n < 0 && -n < cmdsp)
        hi = -n;
    bool first = true;
    if (!reverse) {
        for (int i = lo; i < hi; i++) {
            if (!first)
                addbyte(' ');
            first = false;
            unsigned v = static_cast<unsigned char>(cmdstack[i]);
            addmeta(v < 31 ? cmdnames[v] : "");
        }
    } else {
        for (int i = hi - 1; i >= lo; i--) {
            if (!first)
                addbyte(' ');
            first = false;
            unsigned v = static_cast<unsigned char>(cmdstack[i]);
            addmeta(v < 31 ? cmdnames[v] : "");
        }
    }
}

// Screen columns of buf[from, to): zero-width stretches count nothing and
// a metafied pair one column.
int visiblewidth(const char *buf, size_t from, size_t to)
{
    int w = 0;
    for (size_t i = from; i < to; i++) {
        unsigned char c = static_cast<unsigned char>(buf[i]);
        if (c == TK_LPAREN) {
            while (i < to && static_cast<unsigned char>(buf[i]) != TK_RPAREN)
                i++;
            continue;
        }
        if (c == METACHAR)
            i++;
        w++;
    }
    return w;
}

int linecolumns() { return visiblewidth(ps->buf, ps->linestart, ps->len); }

bool evaltest(char test, int arg)
{
    time_t t = time(nullptr);
    struct tm *tm = localtime(&t);
    switch (test) {
    case 'c':
    case '.':
    case '~': {
        HeapGuard hg;
        const char *p = test == '.' ? pwdvalue() : tildepwd(pwdvalue());
        return countcomponents(p) >= arg;
    }
    case '/':
    case 'C':
        return countcomponents(pwdvalue()) >= arg;
    case 't': return tm->tm_min == arg;
    case 'T': return tm->tm_hour == arg;
    case 'd': return tm->tm_mday == arg;
    case 'D': return tm->tm_mon == arg;
    case 'w': return tm->tm_wday == arg;
    case '?': return lastval == arg;
    case '#': return int(geteuid()) == arg;
    case 'g': return int(getegid()) == arg;
    case '!': return geteuid() == 0;
    case 'j': return countjobs() >= arg;
    case 'l': return linecolumns() >= arg;
    case 'L': {
        const char *l = getsparam("SHLVL");
        return (l ? atol(l) : 0) >= arg;
    }
    case 'S': return shellseconds() >= arg;
    case 'v': return arrlen(psvarvalue()) >= arg;
    case '_': return cmdsp >= arg;
    default: return false;
    }
}

bool putpromptchar(bool doprint, int endchar);

// Skip or output the text of one branch of a conditional up to sep.
bool dobranch(bool doprint, int sep)
{
    // Truncation inside conditional text is its own: it ends with the text.
    int saved = ps->trunclen;
    ps->trunclen = 0;
    bool r = putpromptchar(doprint, sep);
    ps->trunclen = saved;
    return r;
}

// Truncate what was produced since start to the truncation width.
void truncate(size_t start, int width, bool left, const char *str)
{
    int have = visiblewidth(ps->buf, start, ps->len);
    if (have <= width)
        return;
    std::string piece(ps->buf + start, ps->len - start);
    std::string s(str);
    // The replacement string itself is limited to the width.
    int slen = qtrlen(s.c_str());
    if (slen > width) {
        s.resize(size_t(metalen(s.c_str(), width)));
        slen = width;
    }
    int keep = width - slen;
    std::string out;
    std::vector<std::pair<std::string, bool>> units;  // (bytes, visible)
    for (size_t i = 0; i < piece.size(); i++) {
        unsigned char c = static_cast<unsigned char>(piece[i]);
        if (c == TK_LPAREN) {
            size_t j = i;
            while (j < piece.size() && static_cast<unsigned char>(piece[j]) != TK_RPAREN)
                j++;
            units.emplace_back(piece.substr(i, j - i + 1), false);
            i = j;
        } else if (c == METACHAR && i + 1 < piece.size()) {
            units.emplace_back(piece.substr(i, 2), true);
            i++;
        } else {
            units.emplace_back(piece.substr(i, 1), true);
        }
    }
    // Keep every zero-width stretch and the `keep` visible characters
    // nearest the kept side.
    int kept = 0;
    std::vector<bool> take(units.size());
    for (size_t j = 0; j < units.size(); j++) {
        size_t k = left ? units.size() - 1 - j : j;
        if (!units[k].second || kept < keep) {
            take[k] = true;
            kept += units[k].second;
        }
    }
    if (left)
        out = s;
    for (size_t k = 0; k < units.size(); k++)
        if (take[k])
            out += units[k].first;
    if (!left)
        out += s;
    ps->len = start;
    grow(out.size());
    memcpy(ps->buf + start, out.data(), out.size());
    ps->len = start + out.size();
    ps->buf[ps->len] = '\0';
}

// Interpret the template from ps->fm until endchar (0: the end).
// Returns false when the end of the template was reached first.
bool putpromptchar(bool doprint, int endchar)
{
    auto out = [&](auto fn) {
        if (doprint)
            fn();
    };
    while (*ps->fm && *ps->fm != endchar) {
        int arg = 0;
        if (*ps->fm == '%' && isset(PROMPTPERCENT)) {
            const char *escstart = ps->fm;
            ps->fm++;
            bool minus = false;
            if (*ps->fm == '-') {
                minus = true;
                ps->fm++;
            }
            if (idigit(static_cast<unsigned char>(*ps->fm))) {
                arg = int(strtol(ps->fm, const_cast<char **>(&ps->fm), 10));
                if (minus)
                    arg = -arg;
            } else if (minus) {
                arg = -1;
            }
            char c = *ps->fm;
            if (!c)
                break;
            if (c == '(') {
                ps->fm++;
                if (idigit(static_cast<unsigned char>(*ps->fm)) || (*ps->fm == '-' && idigit(static_cast<unsigned char>(ps->fm[1])))) {
                    arg = int(strtol(ps->fm, const_cast<char **>(&ps->fm), 10));
                }
                char test = *ps->fm;
                if (!test)
                    break;
                ps->fm++;
                int sep = static_cast<unsigned char>(*ps->fm);
                if (!sep)
                    break;
                ps->fm++;
                bool known = strchr("c.~/CtTdDw?#g!jlLSv_", test) != nullptr;
                bool truth = known && evaltest(test, arg);
                if (!dobranch(doprint && known && truth, sep))
                    break;
                ps->fm++;
                if (!dobranch(doprint && known && !truth, ')'))
                    break;
                ps->fm++;
                continue;
            }
            ps->fm++;
            switch (c) {
            case '%': out([] { addbyte('%'); }); break;
            case ')': out([] { addbyte(')'); }); break;
            case '!':
            case 'h': out([] { addnum(curhist); }); break;
            case '#': out([] { addbyte(geteuid() == 0 ? '#' : '%'); }); break;
            case '?': out([] { addnum(long(lastval)); }); break;
            case 'd':
            case '/': out([&] { addcomponents(pwdvalue(), arg); }); break;
            case '~': out([&] {
                HeapGuard hg;
                addcomponents(tildepwd(pwdvalue()), arg);
            }); break;
            case 'c':
            case '.': out([&] {
                HeapGuard hg;
                addcomponents(c == 'c' ? tildepwd(pwdvalue()) : tildepwd(pwdvalue()), arg ? arg : 1);
            }); break;
            case 'C': out([&] { addcomponents(pwdvalue(), arg ? arg : 1); }); break;
            case 'N': out([&] {
                const char *n = scriptname ? scriptname : argzero;
                addcomponents(n ? n : "", arg);
            }); break;
            case 'n': out([] {
                const char *u = getsparam("USERNAME");
                addmeta(u ? u : "");
            }); break;
            case 'M': out([] {
                const char *h = getsparam("HOST");
                addmeta(h ? h : "");
            }); break;
            case 'm': out([&] {
                const char *h = getsparam("HOST");
                if (!h)
                    h = "";
                if (arg >= 0) {
                    int dots = arg ? arg : 1;
                    const char *p = h;
                    while (*p && !(*p == '.' && --dots == 0))
                        p++;
                    HeapGuard hg;
                    addmeta(dupstrpfx(h, size_t(p - h)));
                } else {
                    const char *p = h + strlen(h);
                    int want = -arg;
                    while (p > h) {
                        if (p[-1] == '.' && --want == 0)
                            break;
                        p--;
                    }
                    addmeta(p);
                }
            }); break;
            case 'l': out([] {
                if (!ttystrname || !*ttystrname)
                    addmeta("()");
                else if (!strncmp(ttystrname, "/dev/tty", 8))
                    addmeta(ttystrname + 8);
                else
                    addmeta(strlen(ttystrname) > 5 ? ttystrname + 5 : "");
            }); break;
            case 'y': out([] {
                if (!ttystrname || !*ttystrname)
                    addmeta("()");
                else
                    addmeta(!strncmp(ttystrname, "/dev/", 5) ? ttystrname + 5 : ttystrname);
            }); break;
            case 'i': out([] { addnum(lineno); }); break;
            case 'j': out([] { addnum(countjobs()); }); break;
            case 'L': out([] {
                const char *l = getsparam("SHLVL");
                addmeta(l ? l : "0");
            }); break;
            case 'v': out([&] {
                char **pv = psvarvalue();
                int n = arrlen(pv), i = arg ? arg : 1;
                if (i < 0)
                    i = n + i + 1;
                if (i >= 1 && i <= n)
                    addmeta(pv[i - 1]);
            }); break;
            case '_': out([&] { addcmdstack(arg, false); }); break;
            case '^': out([&] { addcmdstack(arg, true); }); break;
            case 'R': out([] { addmeta(ps->Rstring ? ps->Rstring : ""); }); break;
            case 'r': out([] { addmeta(ps->rstring ? ps->rstring : ""); }); break;
            case 'T': out([] { addtime("%K:%M"); }); break;
            case 't':
            case '@': out([] { addtime("%l:%M%p"); }); break;
            case '*': out([] { addtime("%K:%M:%S"); }); break;
            case 'w': out([] { addtime("%a %f"); }); break;
            case 'W': out([] { addtime("%m/%d/%y"); }); break;
            case 'D':
                if (*ps->fm == '{') {
                    ps->fm++;
                    std::string fmt;
                    while (*ps->fm && *ps->fm != '}') {
                        if (*ps->fm == '\\' && ps->fm[1])
                            ps->fm++;
                        fmt += *ps->fm++;
                    }
                    if (*ps->fm)
                        ps->fm++;
                    out([&] {
                        HeapGuard hg;
                        char *uf = unmeta(fmt.c_str());
                        addtime(uf ? uf : "");
                    });
                } else {
                    out([] { addtime("%y-%m-%d"); });
                }
                break;
            case 'B': out([] { setattr(1, true); }); break;
            case 'b': out([] { setattr(1, false); }); break;
            case 'S': out([] { setattr(2, true); }); break;
            case 's': out([] { setattr(2, false); }); break;
            case 'U': out([] { setattr(4, true); }); break;
            case 'u': out([] { setattr(4, false); }); break;
            case 'E': out([] { tsetcap_prompt(TCCLEAREOL, false); }); break;
            case '{':
                if (doprint) {
                    if (!ps->dontcount++)
                        addbyte(char(TK_LPAREN));
                }
                break;
            case '}':
                if (doprint && ps->dontcount && !--ps->dontcount)
                    addbyte(char(TK_RPAREN));
                break;
            case '<':
            case '>':
            case '[': {
                if (ps->trunclen) {
                    // A truncation escape ends the stretch in force: give it
                    // back to the caller, which reads it afresh.
                    ps->fm = escstart;
                    return true;
                }
                char side = c, term = c;
                if (c == '[') {
                    side = *ps->fm == '>' ? '>' : '<';
                    if (*ps->fm && *ps->fm != ']')
                        ps->fm++;
                    term = ']';
                }
                std::string str;
                while (*ps->fm && *ps->fm != term) {
                    if (*ps->fm == '\\' && ps->fm[1])
                        ps->fm++;
                    str += *ps->fm++;
                }
                if (*ps->fm)
                    ps->fm++;
                if (arg <= 0)
                    break;  // a zero width ends truncation
                size_t start = ps->len;
                ps->trunclen = arg;
                bool more = putpromptchar(doprint, endchar);
                ps->trunclen = 0;
                if (doprint)
                    truncate(start, arg, side == '<', str.c_str());
                if (!more)
                    return false;
                continue;
            }
            default:
                break;
            }
            continue;
        }
        if (*ps->fm == '!' && isset(PROMPTBANG)) {
            ps->fm++;
            if (*ps->fm == '!') {
                ps->fm++;
                out([] { addbyte('!'); });
            } else {
                out([] { addnum(curhist); });
            }
            continue;
        }
        const char *p = ps->fm;
        unsigned char c = metachar(p);
        ps->fm = p;
        if (doprint)
            addraw(c);
    }
    return *ps->fm != 0;
}

}  // namespace

char *promptexpand(char *s, int keepmarkers, char *rs, char *Rs)
{
    if (!s)
        return qtrdup("");
    if ((termflags & TERM_UNKNOWN) && !isset(INTERACTIVE))
        init_term();

    HeapGuard hg;
    char *tmpl = s;
    if (isset(PROMPTSUBST)) {
        int olderr = errflag;
        tmpl = dupstring(s);
        if (!parsestr(&tmpl))
            singsub(&tmpl);
        errflag = olderr;
    }
    PromptState st{};
    PromptState *saved = ps;
    ps = &st;
    st.cap = 256;
    st.buf = static_cast<char *>(qalloc(st.cap));
    st.buf[0] = '\0';
    st.fm = tmpl;
    st.rstring = rs;
    st.Rstring = Rs;
    for (;;) {
        putpromptchar(true, 0);
        if (!*st.fm)
            break;
        st.fm++;  // a stray terminator at the top level is skipped
    }
    if (st.dontcount)
        addbyte(char(TK_RPAREN));
    ps = saved;
    char *r = st.buf;
    if (!keepmarkers) {
        char *t = r;
        for (char *p = r; *p; p++) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c == TK_LPAREN || c == TK_RPAREN || c == TK_EMPTY)
                continue;
            *t++ = *p;
            if (c == METACHAR && p[1])
                *t++ = *++p;
        }
        *t = '\0';
    }
    return r;
}

void countprompt(const char *str, int *wp, int *hp, int overflow)
{
    int w = 0, h = 1;
    int cols = tccolumns > 0 ? tccolumns : 80;
    bool zerowidth = false;
    for (const char *p = str; *p;) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == TK_LPAREN) {
            zerowidth = true;
            p++;
            continue;
        }
        if (c == TK_RPAREN) {
            zerowidth = false;
            p++;
            continue;
        }
        if (zerowidth) {
            p++;
            continue;
        }
        if (c == TK_EMPTY) {
            w++;
            p++;
        } else {
            c = metachar(p);
            if (c == '\t')
                w = (w | 7) + 1;
            else if (c == '\n') {
                w = 0;
                h++;
                continue;
            } else
                w++;
        }
        if (w >= cols && overflow >= 0) {
            if (!overflow || w > cols) {
                w = 0;
                h++;
            }
        }
    }
    if (w >= cols && overflow >= 0) {
        if (!overflow || w > cols) {
            w = 0;
            h++;
        }
    }
    if (wp)
        *wp = w;
    if (hp)
        *hp = h;
}
