// History expansion: !-references to earlier events, their words and
// modifiers, and the quick ^old^new substitution, read character by
// character from the line being entered and pushed back as input.
#include "history/history.h"
#include "expand/expand.h"

#include <cstring>
#include <string>

long defev;
int qbang;

namespace {

// The last ?string? search: its event and the word where the match began.
long searchev = -1;
int searchword = -1;

// Stop after an error: the rest of the waiting input belongs to the
// failed event and must not run as a command of its own.
int histerror(const char *fmt, const char *str, long num)
{
    qerr(fmt, str, num);
    while (!lexstop && inbufct && !strin)
        ingetc();
    return -1;
}

inline bool endsref(int c) { return lexstop || c == '\n'; }

// The next character of the reference being read; a newline or the end of
// the input ends every part of a reference.
int refgetc() { return ingetc(); }

// A substitution string up to the delimiter or a newline (given back); a
// backslash makes the next character literal.  In a right-hand side an
// unquoted & stands for the left-hand side (TK_MARKER).
bool readsubstr(int del, bool rhs, std::string &out)
{
    for (;;) {
        int c = refgetc();
        if (lexstop)
            return false;
        if (c == '\n') {
            inungetc(c);
            return false;
        }
        if (c == del)
            return true;
        if (c == '\\') {
            int d = refgetc();
            if (lexstop)
                return false;
            if (d == '\n') {
                inungetc(d);
                return false;
            }
            out += char(d);
            continue;
        }
        out += rhs && c == '&' ? char(TK_MARKER) : char(c);
    }
}

// Read the delimiter and the two strings of s/l/r/ (or ^l^r^).
bool getsubsargs()
{
    int del = refgetc();
    if (endsref(del)) {
        if (del == '\n')
            inungetc(del);
        return false;
    }
    std::string l, r;
    if (readsubstr(del, false, l))
        readsubstr(del, true, r);
    if (!l.empty()) {
        qfree(hsubl);
        hsubl = qtrdup(l.c_str());
    }
    qfree(hsubr);
    hsubr = qtrdup(r.c_str());
    return true;
}

// One substitution on text; false when the left side does not occur.
bool substtext(char **text, bool global)
{
    if (hsubl && *hsubl && !strstr(*text, hsubl))
        return false;
    *text = histsubst(*text, global);
    return true;
}

// :q and :x: single-quote the text so that the words stay apart; :x also
// splits at blanks inside quotes.
char *quotetext(const char *s, bool allblanks)
{
    std::string out = "'";
    bool inq = false;
    for (const char *p = s; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == METACHAR && p[1]) {
            out += *p++;
            out += *p;
        } else if (c == '\'') {
            out += "'\\''";
            inq = !inq;
        } else if ((c == ' ' || c == '\t' || c == '\n') && (allblanks || !inq) &&
                   !(p > s && p[-1] == '\\')) {
            out += '\'';
            out += char(c);
            out += '\'';
        } else {
            out += char(c);
        }
    }
    out += '\'';
    return dupstring(out.c_str());
}

// The line being entered, as an event, for !#.
HistEntry *currentline(HistEntry *tmp)
{
    *tmp = HistEntry{};
    size_t used = chline ? size_t(hptr - chline) : 0;
    tmp->nam = chline ? dupstrpfx(chline, used) : dupstring("");
    int n = chwordpos;
    uint32_t *w = static_cast<uint32_t *>(qhalloc(sizeof(uint32_t) * (size_t(n) + 2)));
    int k = 0;
    for (int i = 0; i < n; i++)
        w[k++] = chwords[i] > used ? uint32_t(used) : chwords[i];
    if (k % 2)
        w[k++] = uint32_t(used);
    // Words left empty by the clamp are no words.
    int m = 0;
    for (int i = 0; i + 1 < k; i += 2)
        if (w[i + 1] > w[i]) {
            w[m++] = w[i];
            w[m++] = w[i + 1];
        }
    tmp->words = w;
    tmp->nwords = m / 2;
    tmp->number = curhist + 1;
    return tmp;
}

// A word number: a digit run, ^ (1), $ (last) or % (the search's word).
// -2 for an error already reported, -1 when c starts no number.
int wordnumber(int *c, HistEntry *he, bool evset)
{
    int last = histnwords(he) - 1;
    if (idigit(static_cast<unsigned char>(*c))) {
        long n = 0;
        while (idigit(static_cast<unsigned char>(*c))) {
            if (n < 100000000)
                n = n * 10 + (*c - '0');
            *c = refgetc();
        }
        return int(n);
    }
    int ch = *c;
    if (ch == '^' || ch == '$' || ch == '%') {
        *c = refgetc();
        if (ch == '^')
            return 1;
        if (ch == '$')
            return last < 0 ? 0 : last;
        if (evset) {
            histerror("Ambiguous history reference", nullptr, 0);
            return -2;
        }
        if (searchword < 0) {
            histerror("%% with no previous word matched", nullptr, 0);
            return -2;
        }
        return searchword;
    }
    return -1;
}

inline bool worddesig(int c) { return c == '^' || c == '$' || c == '*' || c == '%' || c == '-'; }

// Expand one reference; *empty when it expanded to nothing, so that the
// caller takes the next character of the input as it stands.
int expandref(int c, bool *empty)
{
    *empty = false;
    char *text;
    if (isfirstch && hatchar && c == hatchar) {
        isfirstch = 0;
        inungetc(c);
        HistEntry *he = gethistent(defev, 0);
        if (!he)
            return histerror("no such event: %d", nullptr, defev);
        text = histnwords(he) ? getargs(he, 0, he->nwords - 1) : dupstring(he->nam);
        if (!text)
            text = dupstring(he->nam);
        getsubsargs();
        if (!hsubl)
            return histerror("no previous substitution", nullptr, 0);
        if (!substtext(&text, false))
            return histerror("substitution failed", nullptr, 0);
    } else {
        if (c != ' ')
            isfirstch = 0;
        if (c == '\\') {
            int g = ingetc();
            if (lexstop || g != bangchar) {
                inungetc(g);
                return c;
            }
            qbang = 1;
            return bangchar;
        }
        if (!bangchar || c != bangchar)
            return c;

        c = refgetc();
        bool brace = false;
        if (c == '{' && !lexstop) {
            brace = true;
            c = refgetc();
        }
        if (c == '"' && !lexstop && !brace) {
            stophist = 1;
            return ingetc();
        }
        if (!brace && (lexstop || inblank(static_cast<unsigned char>(c)) || c == '=' || c == '(')) {
            inungetc(c);
            return bangchar;
        }

        long ev;
        bool evset = true;
        HistEntry tmp, *he;
        bool thisline = false;
        {
            SignalGuard sg;
            if (c == '?') {
                std::string s;
                for (;;) {
                    c = refgetc();
                    if (endsref(c) || c == '?')
                        break;
                    s += char(c);
                }
                if (c == '?')
                    c = refgetc();
                if (s.empty() && hsubl)
                    s = hsubl;
                HistEntry *found = nullptr;
                size_t at = 0;
                for (HistEntry *e = gethistent(curhist, -1); e; e = olderhistent(e)) {
                    if (e == &curline || (e->flags & HE_FOREIGN))
                        continue;
                    if (const char *p = strstr(e->nam, s.c_str())) {
                        found = e;
                        at = size_t(p - e->nam);
                        break;
                    }
                }
                if (!found || s.empty())
                    return histerror("no such event: %s", s.c_str(), 0);
                searchev = found->number;
                searchword = 0;
                for (int i = 0, n = histnwords(found); i < n; i++)
                    if (found->words[i * 2] <= at)
                        searchword = i;
                qfree(hsubl);
                hsubl = qtrdup(s.c_str());
                ev = searchev;
                evset = false;
            } else {
                std::string buf;
                for (;;) {
                    if (endsref(c) || inblank(static_cast<unsigned char>(c)) || c == ';' || c == ':' ||
                        c == '^' || c == '$' || c == '*' || c == '%' || c == '}' || c == '\'' || c == '"' ||
                        c == '`')
                        break;
                    if (!buf.empty()) {
                        if (c == '-')
                            break;
                        if ((idigit(static_cast<unsigned char>(buf[0])) || buf[0] == '-') &&
                            !idigit(static_cast<unsigned char>(c)))
                            break;
                    }
                    buf += char(c);
                    if (c == '#' || c == bangchar) {
                        c = refgetc();
                        break;
                    }
                    c = refgetc();
                }
                bool number = !buf.empty() && (idigit(static_cast<unsigned char>(buf[0])) ||
                                               (buf[0] == '-' && buf.size() > 1));
                if (buf.empty()) {
                    evset = false;
                    if (c == '%')
                        ev = searchev >= 0 ? searchev : defev;
                    else
                        ev = isset(CSHJUNKIEHISTORY) ? curhist : defev;
                } else if (number) {
                    long n = atol(buf.c_str());
                    ev = n >= 0 ? n : curhist + 1 + n;
                } else if (buf.size() == 1 && static_cast<unsigned char>(buf[0]) == bangchar) {
                    ev = curhist;
                } else if (buf == "#") {
                    ev = curhist + 1;
                    thisline = true;
                } else {
                    HistEntry *e;
                    for (e = gethistent(curhist, -1); e; e = olderhistent(e))
                        if (e != &curline && !strncmp(e->nam, buf.c_str(), buf.size()))
                            break;
                    if (!e)
                        return histerror("event not found: %s", buf.c_str(), 0);
                    ev = e->number;
                }
            }
            he = thisline ? currentline(&tmp) : gethistent(ev, 0);
            if (he == &curline)
                he = nullptr;
            if (!he)
                return histerror("no such event: %d", nullptr, ev);
            if (!thisline)
                defev = ev;
        }

        // Word designators.
        int last = histnwords(he) - 1, from = 0, to = last;
        bool anyword = false, allowempty = false;
        if (c == ':') {
            int d = refgetc();
            if (!lexstop && (idigit(static_cast<unsigned char>(d)) || worddesig(d))) {
                c = d;
                anyword = true;
                if (c == '%' && !evset && searchev >= 0 && ev != searchev) {
                    ev = searchev;
                    if (!(he = gethistent(ev, 0)))
                        return histerror("no such event: %d", nullptr, ev);
                    last = histnwords(he) - 1;
                    defev = ev;
                }
            } else {
                inungetc(d);
                lexstop = 0;
            }
        } else if (worddesig(c)) {
            anyword = true;
        }
        if (anyword) {
            if (c == '*') {
                from = 1;
                to = last;
                allowempty = true;
                c = refgetc();
            } else {
                if (c == '-') {
                    from = 0;
                } else {
                    from = wordnumber(&c, he, evset);
                    if (from == -2)
                        return -1;
                }
                if (c == '*') {
                    to = last;
                    allowempty = true;
                    c = refgetc();
                } else if (c == '-') {
                    c = refgetc();
                    int n = wordnumber(&c, he, evset);
                    if (n == -2)
                        return -1;
                    to = n >= 0 ? n : last - 1;
                } else {
                    to = from;
                }
            }
        }
        if (anyword && allowempty && from > last)
            text = dupstring("");
        else if (!anyword && he->nwords == 0)
            text = dupstring(he->nam);
        else if (!(text = getargs(he, from, to)))
            return histerror("no such word in event", nullptr, 0);

        // Modifiers.
        while (c == ':' && !lexstop) {
            c = refgetc();
            bool global = false;
            if (c == 'g' && !lexstop) {
                global = true;
                c = refgetc();
            }
            if (lexstop)
                return histerror("illegal modifier: %c", nullptr, ' ');
            switch (c) {
            case 'p':
                histdone |= HISTDONE_ECHO | HISTDONE_NOEXEC;
                break;
            case 'h':
            case 't':
            case 'r':
            case 'e': {
                bool failed;
                char *r = pathmodifier(text, c, &failed);
                if (failed)
                    return histerror("modifier failed: %c", nullptr, c);
                text = r;
                break;
            }
            case 's':
                if (!getsubsargs() && !hsubl)
                    return histerror("no previous substitution", nullptr, 0);
                [[fallthrough]];
            case '&':
                if (!hsubl || !hsubr)
                    return histerror("no previous substitution", nullptr, 0);
                if (!substtext(&text, global))
                    return histerror("substitution failed", nullptr, 0);
                break;
            case 'q':
                text = quotetext(text, false);
                break;
            case 'x':
                text = quotetext(text, true);
                break;
            case 'Q':
                text = unquoteword(text, 0);
                break;
            case 'l':
                text = casemodify(text, CASMOD_LOWER);
                break;
            case 'u':
                text = casemodify(text, CASMOD_UPPER);
                break;
            default:
                return histerror("illegal modifier: %c", nullptr, c);
            }
            c = refgetc();
        }
        if (brace) {
            if (c != '}')
                return histerror("'}' expected", nullptr, 0);
        } else {
            inungetc(c);
            lexstop = 0;
        }
    }

    histdone |= HISTDONE_ECHO;
    if (isset(HISTVERIFY))
        histdone |= HISTDONE_NOEXEC | HISTDONE_PUSH;
    if (!*text) {
        *empty = true;
        return 0;
    }
    inpush(qtrdup(text), SEG_HISTORY | SEG_FREE, nullptr);
    return ingetc();
}

}  // namespace

int histexpandchar(int c)
{
    for (;;) {
        bool empty;
        int r = expandref(c, &empty);
        if (!empty)
            return r;
        c = ingetc();
        if (lexstop)
            return ' ';
    }
}
