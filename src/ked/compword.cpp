// The word completion works on: the shell's own lexer is run over the
// line with the editor's cursor marked, so the word and its command are
// split exactly as the shell would split them when the line runs; then
// the context around the cursor (command position, redirection,
// assignment, arithmetic, condition, quoting, a command substitution,
// brace pieces) is worked out from the text.
#include "ked/ked.h"
#include "lang/lang.h"

#include <cstring>
#include <string>
#include <vector>

int wb, we, offs;
int lincmd, linredir, linarr, inwhat, insubscr, instring, inbackt, addedx;
char *varname, *qipre, *qisuf, *autoq;
char **clwords;
int clwnum, clwpos;
char *cmdstr, *rdstr;
LinkList *rdstrs;
char *origline;
int origcs, origll;
int brpiecebeg = -1;

namespace {

// Offsets in a metafied string against offsets in the raw line.
int rawoffset(const char *m, int mpos)
{
    int r = 0;
    for (int i = 0; i < mpos && m[i]; i++, r++)
        if (m[i] == char(METACHAR))
            i++;
    return r;
}

int metaoffset(const char *m, int rpos)
{
    int i = 0;
    for (int r = 0; r < rpos && m[i]; r++)
        i += m[i] == char(METACHAR) ? 2 : 1;
    return i;
}

bool isidentchar(unsigned char c) { return c == '_' || isalnum(c) || c >= 0x80; }

struct Found {
    bool got = false;
    int wb = 0, we = 0;  // offsets in the lexed text
    int cmd = 0, redir = 0, arr = 0, cond = 0;
    int index = -1;
    std::string rd;
};

// Lex text (metafied, with the cursor at metafied offset cs) and find the
// token that reaches the cursor; the words of its command go to words.
Found lexforword(const char *text, int cs, std::vector<std::string> &words, std::vector<std::string> &redirs)
{
    Found f;
    int len = int(strlen(text));
    char *copy = static_cast<char *>(qhalloc(size_t(len) + 2));
    memcpy(copy, text, size_t(len));
    copy[len] = ' ';
    copy[len + 1] = '\0';
    int total = len + 1;
    LexGuard lg;
    NoErrsGuard ng(1);
    int oerr = errflag;
    int ona = noaliases;
    noaliases = isset(COMPLETEALIASES);
    inpush(copy, 0, nullptr);
    strinbeg(0);
    nocomments = 1;
    kedparse = 1;
    lexcursor = total - cs;
    std::string pendingrd;
    bool afterredir = false;
    int arrdepth = 0;
    words.clear();
    redirs.clear();
    do {
        if (incond)
            incond = 1 + (tok != LX_DLBRACK && tok != LX_LPAREN && tok != LX_OROR && tok != LX_ANDAND &&
                          tok != LX_BANG);
        int wascmd = incmdpos && (!incond || incond == 1);
        int wascond = incond;
        ctxtlex();
        if (tok == LX_EOF)
            break;
        bool isword = tok == LX_WORD || tok == LX_ASSIGN || tok == LX_ARRAYASSIGN ||
                      (tok == LX_ERROR && tokstr && *tokstr);
        if (wascond && (tok == LX_OROR || tok == LX_ANDAND)) {
            isword = true;
        } else if (!isword && (tok == LX_SEPER || tok == LX_AMP || tok == LX_BAR || tok == LX_BARAMP ||
                               tok == LX_OROR || tok == LX_ANDAND || tok == LX_DSEMI || tok == LX_SEMIAMP ||
                               tok == LX_AMPBAR || tok == LX_LPAREN || tok == LX_LBRACE || tok == LX_DO ||
                               tok == LX_THEN || tok == LX_ELSE || tok == LX_ELIF || tok == LX_BANG ||
                               tok == LX_TIME || tok == LX_NOCORRECT || tok == LX_IF || tok == LX_WHILE ||
                               tok == LX_UNTIL || tok == LX_DLBRACK || tok == LX_DRBRACK)) {
            if (!(tok == LX_RPAREN && arrdepth)) {
                words.clear();
                redirs.clear();
            }
        }
        if (tok == LX_RPAREN && arrdepth)
            arrdepth = 0;
        if (tok >= LX_GT && tok <= LX_TLT) {
            char b[64];
            if (tokfd >= 0)
                snprintf(b, sizeof b, "%d%s", tokfd, tokstrings[tok]);
            else
                snprintf(b, sizeof b, "%s", tokstrings[tok]);
            pendingrd = b;
            afterredir = true;
            if (!kedparse)
                break;
            continue;
        }
        bool thisredir = afterredir;
        afterredir = false;
        if (!isword) {
            if (!kedparse)
                break;
            if (tok == LX_ERROR)
                break;
            continue;
        }
        std::string w;
        if (tok == LX_OROR || tok == LX_ANDAND)
            w = tokstrings[tok];
        else {
            char *u = dupstring(tokstr ? tokstr : "");
            untokenize(u);
            w = u;
        }
        if (thisredir)
            redirs.push_back(pendingrd + ":" + w);
        else
            words.push_back(w);
        if (tok == LX_ARRAYASSIGN)
            arrdepth = 1;
        if (!kedparse && !f.got) {
            f.got = true;
            // wordbeg counts what was left to read after the word's first
            // character; inbufct what is left after the word.
            f.wb = total - wordbeg - 1;
            f.we = total - inbufct;
            if (f.we > len)
                f.we = len;
            if (f.wb < 0)
                f.wb = 0;
            f.cmd = wascmd && !thisredir;
            f.redir = thisredir;
            f.arr = arrdepth && tok != LX_ARRAYASSIGN;
            f.cond = wascond;
            f.rd = thisredir ? pendingrd : "";
            f.index = thisredir ? -1 : int(words.size()) - 1;
            if (tok == LX_ERROR)
                break;
            // Go on to the end of the command for the words after it.
            kedparse = 0;
        }
        if (tok == LX_ERROR)
            break;
    } while (tok != LX_EOF && tok != LX_ERROR &&
             !(f.got && (tok == LX_SEPER || tok == LX_BAR || tok == LX_AMP)));
    strinend();
    inpop();
    kedparse = 0;
    errflag = oerr;
    noaliases = ona;
    return f;
}

// Is the cursor (offset cs of s) inside arithmetic: $((, $[ or (( not
// closed before it?
bool inmath(const char *s, int cs)
{
    int depth = 0, mathdepth = -1;
    bool sq = false, dq = false;
    for (int i = 0; i < cs; i++) {
        char c = s[i];
        if (c == '\\' && !sq) {
            i++;
            continue;
        }
        if (c == '\'' && !dq) {
            sq = !sq;
            continue;
        }
        if (c == '"' && !sq) {
            dq = !dq;
            continue;
        }
        if (sq)
            continue;
        if (mathdepth < 0 && ((c == '$' && s[i + 1] == '(' && s[i + 2] == '(') ||
                              (c == '(' && s[i + 1] == '(' && (i == 0 || strchr(" \t;&|\n(", s[i - 1]))))) {
            mathdepth = depth;
            depth += 2;
            i += c == '$' ? 2 : 1;
            continue;
        }
        if (mathdepth < 0 && c == '$' && s[i + 1] == '[') {
            mathdepth = depth;
            depth++;
            i++;
            continue;
        }
        if (c == '(' || c == '[')
            depth++;
        else if ((c == ')' || c == ']') && depth > 0) {
            depth--;
            if (mathdepth >= 0 && depth <= mathdepth) {
                if (c == ')' && s[i + 1] == ')')
                    i++;
                depth = mathdepth;
                mathdepth = -1;
            }
        }
    }
    return mathdepth >= 0;
}

// The start of an unclosed command substitution before offset cs of s:
// the offset of its text, or -1.  Its end goes to *endp (the end of s
// when it is not closed).
int cmdsubststart(const char *s, int cs, int *endp)
{
    struct Open {
        int start;
        bool bq;
    };
    std::vector<Open> st;
    bool sq = false, dq = false;
    int n = int(strlen(s));
    int found = -1;
    for (int i = 0; i < n; i++) {
        if (i == cs && !st.empty() && found < 0)
            found = st.back().start;
        char c = s[i];
        if (c == '\\' && !sq) {
            i++;
            continue;
        }
        if (c == '\'' && !dq) {
            sq = !sq;
            continue;
        }
        if (sq)
            continue;
        if (c == '"') {
            dq = !dq;
            continue;
        }
        int closed = -1;
        if (c == '$' && s[i + 1] == '(' && s[i + 2] != '(') {
            st.push_back({i + 2, false});
            i++;
        } else if (c == '`') {
            if (!st.empty() && st.back().bq) {
                closed = st.back().start;
                st.pop_back();
            } else {
                st.push_back({i + 1, true});
            }
        } else if (c == ')' && !st.empty() && !st.back().bq) {
            closed = st.back().start;
            st.pop_back();
        }
        if (closed >= 0 && closed == found) {
            *endp = i;
            return found;
        }
    }
    if (found < 0 && cs >= n && !st.empty())
        found = st.back().start;
    if (found < 0)
        return -1;
    *endp = n;
    return found;
}

}  // namespace

int parambeg(const char *s, int offs)
{
    int n = int(strlen(s));
    if (offs > n)
        offs = n;
    for (int d = offs - 1; d >= 0; d--) {
        if (s[d] != '$' || (d > 0 && s[d - 1] == '\\'))
            continue;
        int p = d + 1;
        bool brace = false;
        if (s[p] == '{') {
            brace = true;
            p++;
            int depth = 1;
            for (int q = p; q < n && depth; q++) {
                if (s[q] == '{')
                    depth++;
                else if (s[q] == '}' && !--depth && q < offs)
                    return -1;
            }
            if (s[p] == '(') {
                while (p < n && s[p] != ')')
                    p++;
                if (p < n)
                    p++;
            }
        }
        while (p < n && strchr("^=~", s[p]))
            p++;
        if (p < n && (s[p] == '#' || s[p] == '+') && brace)
            p++;
        int ns = p;
        if (p < n && (idigit(static_cast<unsigned char>(s[p])))) {
            while (p < n && idigit(static_cast<unsigned char>(s[p])))
                p++;
        } else if (p < n && strchr("?*$-!@#", s[p]) && !isidentchar(static_cast<unsigned char>(s[p + 1]))) {
            p++;
        } else {
            while (p < n && isidentchar(static_cast<unsigned char>(s[p])))
                p++;
        }
        if (offs >= ns && offs <= p)
            return d;
        return -1;
    }
    return -1;
}

char *extract_word(int prefix)
{
    char *m = metafiedline();
    int mcs = metaoffset(m, tarncs);
    int mlen = int(strlen(m));
    lincmd = linredir = linarr = insubscr = instring = inbackt = addedx = 0;
    inwhat = IN_NOTHING;
    varname = qipre = qisuf = autoq = nullptr;
    cmdstr = rdstr = nullptr;
    rdstrs = newlinklist();
    brpiecebeg = -1;
    clwords = nullptr;
    clwnum = 0;
    clwpos = -1;

    // Quoting up to the cursor.
    bool sq = false, dq = false, bq = false;
    for (int i = 0; i < mcs; i++) {
        char c = m[i];
        if (c == '\\' && !sq) {
            i++;
        } else if (c == '`' && !sq) {
            bq = !bq;
        } else if (c == '"' && !sq && !bq) {
            dq = !dq;
        } else if (c == '\'' && !dq) {
            sq = !sq;
        }
    }
    inbackt = bq;

    // The command substitution the cursor is in, when there is one: its
    // text is the line the word is found in.
    int base = 0;
    std::string text(m);
    int cs = mcs;
    for (int depth = 0; depth < 16; depth++) {
        int end;
        int st = cmdsubststart(text.c_str(), cs, &end);
        if (st < 0 || st > cs)
            break;
        text = text.substr(size_t(st), size_t(end - st));
        cs -= st;
        base += st;
    }

    // The placeholder: a word the lexer can see where nothing is typed yet.
    std::string work = text;
    int tl = int(text.size());
    auto quoted = [&] { return sq || dq; };
    bool wantx = cs >= tl || text[size_t(cs)] == '\n' ||
                 ((text[size_t(cs)] == ' ' || text[size_t(cs)] == '\t') && (cs == 0 || text[size_t(cs - 1)] != '\\')) ||
                 strchr(")`};|&><", text[size_t(cs)]) || (quoted() && strchr("'\"", text[size_t(cs)]));
    if (prefix && cs < tl && text[size_t(cs)] != ' ' && text[size_t(cs)] != '\t') {
        work = text.substr(0, size_t(cs)) + "x " + text.substr(size_t(cs));
        addedx = 2;
    } else if (wantx) {
        work = text.substr(0, size_t(cs)) + "x" + text.substr(size_t(cs));
        addedx = 1;
    }
    std::vector<std::string> words, redirs;
    Found f = lexforword(work.c_str(), cs + (addedx ? 1 : 0), words, redirs);
    if (!f.got && addedx) {
        // Nothing was found with the placeholder: try once without.
        work = text;
        addedx = 0;
        f = lexforword(work.c_str(), cs, words, redirs);
    }
    int wbeg, wend;
    if (!f.got) {
        wbeg = wend = cs;
        clwpos = int(words.size());
        lincmd = words.empty();
    } else {
        wbeg = f.wb;
        wend = f.we;
        // Take the placeholder out of the word's bounds.
        if (addedx) {
            if (wend > cs)
                wend -= addedx == 2 ? 1 : 1;
            if (wbeg > cs)
                wbeg -= 1;
        }
        if (wend > tl)
            wend = tl;
        if (wbeg > wend)
            wbeg = wend;
        lincmd = f.cmd;
        linredir = f.redir;
        linarr = f.arr;
        clwpos = f.index;
        if (f.redir)
            rdstr = dupstring(f.rd.c_str());
        if (f.cond)
            inwhat = IN_COND;
        if (f.arr) {
            inwhat = IN_ENV;
            lincmd = linredir = 0;
        }
        // The words as the command has them, with the current word's
        // placeholder removed.
        if (clwpos >= 0 && clwpos < int(words.size()))
            words[size_t(clwpos)] = text.substr(size_t(wbeg), size_t(wend - wbeg));
    }
    clwnum = int(words.size());
    clwords = static_cast<char **>(qhalloc(sizeof(char *) * size_t(clwnum + 1)));
    for (int i = 0; i < clwnum; i++)
        clwords[i] = dupstring(words[size_t(i)].c_str());
    clwords[clwnum] = nullptr;
    cmdstr = clwnum ? clwords[0] : nullptr;
    for (const std::string &r : redirs)
        addlinknode(rdstrs, dupstring(r.c_str()));

    std::string word = text.substr(size_t(wbeg), size_t(wend - wbeg));
    int woffs = cs - wbeg;
    if (woffs < 0)
        woffs = 0;
    if (woffs > int(word.size()))
        woffs = int(word.size());

    // Arithmetic: the word is the identifier around the cursor.
    if (inmath(text.c_str(), cs)) {
        inwhat = IN_MATH;
        int a = cs, b = cs;
        while (a > 0 && isidentchar(static_cast<unsigned char>(text[size_t(a - 1)])))
            a--;
        while (b < tl && isidentchar(static_cast<unsigned char>(text[size_t(b)])))
            b++;
        wbeg = a;
        wend = b;
        word = text.substr(size_t(a), size_t(b - a));
        woffs = cs - a;
        lincmd = 0;
    } else if (f.got) {
        // An assignment in command position: the value is the word.
        size_t eq = word.find('=');
        bool isname = eq != std::string::npos && eq > 0;
        size_t brk = word.find('[');
        for (size_t i = 0; isname && i < eq && i < brk; i++)
            if (!isidentchar(static_cast<unsigned char>(word[i])))
                isname = false;
        if (brk != std::string::npos && (eq == std::string::npos || brk < eq) &&
            int(brk) < woffs && word.find(']', brk) >= size_t(woffs)) {
            // A subscript: name[...
            bool ok = brk > 0;
            for (size_t i = 0; ok && i < brk; i++)
                if (!isidentchar(static_cast<unsigned char>(word[i])))
                    ok = false;
            if (ok) {
                varname = dupstring(word.substr(0, brk).c_str());
                Param *pm = static_cast<Param *>(paramtab->getnode(paramtab, varname));
                insubscr = pm && PF_TYPE(pm->flags) == PF_HASHED ? 2 : 1;
                inwhat = IN_MATH;
                int a = int(brk) + 1;
                if (insubscr == 2 || incompfunc) {
                    word = word.substr(size_t(a), size_t(woffs - a)) +
                           word.substr(size_t(woffs), word.find(']', brk) == std::string::npos
                                                          ? std::string::npos
                                                          : word.find(']', brk) - size_t(woffs));
                } else {
                    int b = woffs;
                    int s2 = woffs;
                    while (s2 > a && isidentchar(static_cast<unsigned char>(word[size_t(s2 - 1)])))
                        s2--;
                    while (b < int(word.size()) && isidentchar(static_cast<unsigned char>(word[size_t(b)])))
                        b++;
                    a = s2;
                    word = word.substr(size_t(a), size_t(b - a));
                }
                wbeg += a;
                wend = wbeg + int(word.size());
                woffs = cs - wbeg;
                lincmd = 1;
            }
        } else if (isname && lincmd && int(eq) < woffs) {
            inwhat = IN_ENV;
            varname = dupstring(word.substr(0, eq).c_str());
            wbeg += int(eq) + 1;
            woffs -= int(eq) + 1;
            word = word.substr(eq + 1);
            lincmd = 0;
        }
    }

    // A leading quote with no other quoting in the word: it stays around
    // the word and is closed after an inserted match.
    if (!word.empty() && (word[0] == '\'' || word[0] == '"') && parambeg(word.c_str(), woffs) < 0) {
        char q = word[0];
        bool others = false;
        for (size_t i = 1; i < word.size(); i++)
            if ((word[i] == q && i + 1 != word.size()) || (q == '\'' && word[i] == '"') ||
                (q == '"' && word[i] == '\''))
                others = true;
        if (!others) {
            char qs[2] = {q, 0};
            qipre = dupstring(qs);
            instring = q == '\'' ? 1 : 2;
            autoq = dupstring(qs);
            if (word.size() >= 2 && word.back() == q) {
                qisuf = dupstring(qs);
                word.pop_back();
                wend--;
                autoq = nullptr;
            }
            word.erase(0, 1);
            wbeg++;
            woffs--;
            if (woffs < 0)
                woffs = 0;
        }
    }

    // Brace expansion: the piece after the innermost unclosed { or the
    // last comma in it before the cursor is what is completed.
    if (isset(BRACECCL) || !isset(IGNOREBRACES)) {
        int open = -1, piece = -1;
        bool bsq = false, bdq = false;
        for (int i = 0; i < woffs; i++) {
            char c = word[size_t(i)];
            if (c == '\\' && !bsq) {
                i++;
                continue;
            }
            if (c == '\'' && !bdq)
                bsq = !bsq;
            else if (c == '"' && !bsq)
                bdq = !bdq;
            else if (bsq || bdq)
                continue;
            else if (c == '$' && i + 1 < woffs && word[size_t(i + 1)] == '{') {
                i++;
                int depth = 1;
                while (++i < woffs && depth)
                    depth += word[size_t(i)] == '{' ? 1 : word[size_t(i)] == '}' ? -1 : 0;
                i--;
            } else if (c == '{') {
                open = i;
                piece = i + 1;
            } else if (c == ',' && open >= 0) {
                piece = i + 1;
            } else if (c == '}' && open >= 0) {
                open = piece = -1;
            }
        }
        if (piece > 0) {
            int e = woffs;
            while (e < int(word.size()) && word[size_t(e)] != ',' && word[size_t(e)] != '}')
                e++;
            brpiecebeg = wbeg + piece;
            word = word.substr(size_t(piece), size_t(e - piece));
            wbeg += piece;
            woffs -= piece;
            wend = wbeg + int(word.size());
        }
    }

    if (wend > tl)
        wend = tl;
    // Back to the whole line and to raw offsets.
    wbeg += base;
    wend += base;
    wb = rawoffset(m, wbeg);
    we = rawoffset(m, wend);
    offs = tarncs - wb;
    if (offs < 0)
        offs = 0;
    if (offs > we - wb)
        offs = we - wb;
    (void)mlen;
    if (!f.got && word.empty() && inwhat != IN_MATH && !lincmd && clwnum == 0)
        lincmd = 1;
    return dupstring(word.c_str());
}

bool extract_command(int *startp, int *endp)
{
    char *m = metafiedline();
    int mcs = metaoffset(m, tarncs);
    int len = int(strlen(m));
    char *copy = static_cast<char *>(qhalloc(size_t(len) + 2));
    memcpy(copy, m, size_t(len));
    copy[len] = ' ';
    copy[len + 1] = '\0';
    int total = len + 1;
    LexGuard lg;
    NoErrsGuard ng(1);
    int oerr = errflag;
    int ona = noaliases;
    noaliases = 1;
    inpush(copy, 0, nullptr);
    strinbeg(0);
    nocomments = 1;
    int cb = -1, ce = -1;
    do {
        int wascmd = incmdpos;
        ctxtlex();
        if (tok == LX_EOF || tok == LX_ERROR)
            break;
        int s = total - wordbeg - 1, e = total - inbufct;
        if (s > mcs)
            break;
        if (tok == LX_WORD && wascmd) {
            cb = s;
            ce = e > len ? len : e;
        }
    } while (tok != LX_EOF);
    strinend();
    inpop();
    errflag = oerr;
    noaliases = ona;
    if (cb < 0)
        return false;
    *startp = rawoffset(m, cb);
    *endp = rawoffset(m, ce);
    return true;
}
