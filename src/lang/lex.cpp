// The lexer: characters from the history layer become tokens for the
// parser.  Words come out in token form, with the text of nested
// substitutions kept inside them, balanced but not parsed.
#include "lang/lang.h"
#include "history/history.h"

#include <cstring>

TARN_HOT int tok;
TARN_HOT char *tokstr;
int tokfd = -1;
TARN_HOT char *yytext;
TARN_HOT int incmdpos, incond, incasepat, infor, inredir, in_dparens;
int inregex;
int intypeset;
TARN_HOT int nocorrect, isnewlin, noaliases, inalmore, aliasspaceflag;
TARN_HOT int nocomments;
TARN_HOT int kedparse, wordbeg, lexcursor;
TARN_HOT int lexdepth;
TARN_HOT HereDoc *hdocs;

const char *const tokstrings[LX_WHILE + 1] = {
    nullptr, ";", "\\n", ";", ";;", "&", "(", ")", "||", "&&", ">", ">|", ">>", ">>|", "<", "<>", "<<",
    "<<-", "<&", ">&", "&>", "&>|", ">>&", ">>&|", "<<<", "|", "|&", "()", "((", "))", "&|", ";&", "]]",
    nullptr, nullptr, nullptr, nullptr, nullptr, "!", "[[", "{", "}", "case", "coproc", "do", "done",
    "elif", "else", "end", "esac", "fi", "for", "foreach", "function", "if", "nocorrect", "repeat",
    "select", "then", "time", "until", "while",
};

const char *const cmdnames[CS_COUNT] = {
    "for", "while", "repeat", "select", "until", "if", "then", "else", "elif", "math", "cond",
    "cmdor", "cmdand", "pipe", "errpipe", "foreach", "case", "function", "subsh", "cursh", "array",
    "quote", "dquote", "bquote", "cmdsubst", "mathsubst", "elif-then", "heredoc", "heredocd",
    "brace", "braceparam",
};

namespace {

// The next character for the lexer.  Ordinary characters of the current
// segment are taken here directly; anything else (end of a segment, a
// newline to count, a recording history reader) goes the long way.
[[gnu::always_inline]] inline int lexgetc()
{
    if (hgetc == ingetc && insegleft > 0 && !lexstop) {
        unsigned char c = static_cast<unsigned char>(*insegpos);
        if (c != '\n' && !itok(c)) {
            insegpos++;
            insegleft--;
            inbufct--;
            return c;
        }
    }
    return hgetc();
}

// Giving back a character read by lexgetc, the same way round.
inline void lexungetc(int c)
{
    if (hungetc == inungetc && !lexstop && insegpos && insegpos > inseg && c != '\n' &&
        !(inbufflags & SEG_EXPANDED_ABOVE) && static_cast<unsigned char>(insegpos[-1]) == c) {
        insegpos--;
        insegleft++;
        inbufct++;
        return;
    }
    hungetc(c);
}

// A name looked up in one of the shell's tables, with its hash computed
// once for both the alias and the reserved-word look-up.
HashNode *lookupname(HashTable *ht, const char *nam, unsigned h)
{
    if (ht->hash != hasher || ht->getnode != gethashnode)
        return ht->getnode(ht, nam);
    for (HashNode *hp = ht->nodes[h % unsigned(ht->hsize)]; hp; hp = hp->next)
        if (!ht->cmpnodes(hp->nam, nam))
            return hp->flags & NODE_DISABLED ? nullptr : hp;
    return nullptr;
}

// First-character and in-word classes of the word scanner.
enum : unsigned char {
    LX1_BKSLASH = 0, LX1_COMMENT = 1, LX1_NEWLIN = 2, LX1_SEMI = 3, LX1_BANG = 4, LX1_AMPER = 5,
    LX1_BAR = 6, LX1_INPAR = 7, LX1_OUTPAR = 8, LX1_INBRACE = 9, LX1_OUTBRACE = 10, LX1_INBRACK = 11,
    LX1_OUTBRACK = 12, LX1_INANG = 13, LX1_OUTANG = 14, LX1_OTHER = 15,
};
enum : unsigned char {
    LX2_BREAK = 0, LX2_OUTPAR = 1, LX2_BAR = 2, LX2_STRING = 3, LX2_INBRACK = 4, LX2_OUTBRACK = 5,
    LX2_TILDE = 6, LX2_INPAR = 7, LX2_INBRACE = 8, LX2_OUTBRACE = 9, LX2_OUTANG = 10, LX2_INANG = 11,
    LX2_EQUALS = 12, LX2_BKSLASH = 13, LX2_QUOTE = 14, LX2_DQUOTE = 15, LX2_BQUOTE = 16,
    LX2_COMMA = 17, LX2_OTHER = 18, LX2_META = 19,
};

unsigned char lexact1[256], lexact2[256], lextok2[256];
// Bytes a word takes as they are, with no action and no token: runs of
// them are copied in one piece.
bool lexplain[256];
bool lextabsdone;

// The word being built, in arena memory.
struct LexBuf {
    char *ptr;
    int len;
    int siz;
};
TARN_HOT LexBuf lexbuf;

void lexbufinit()
{
    lexbuf.siz = 32;
    tokstr = lexbuf.ptr = static_cast<char *>(qhalloc(size_t(lexbuf.siz)));
    lexbuf.len = 0;
}

[[gnu::noinline]] void addgrow(size_t need)
{
    size_t newsiz = size_t(lexbuf.siz) * 2;
    while (newsiz < size_t(lexbuf.len) + need + 1)
        newsiz *= 2;
    tokstr = static_cast<char *>(hrealloc(tokstr, size_t(lexbuf.siz), newsiz));
    lexbuf.ptr = tokstr + lexbuf.len;
    lexbuf.siz = int(newsiz);
}

[[gnu::always_inline]] inline void add(int c)
{
    *lexbuf.ptr++ = char(c);
    if (lexbuf.siz == ++lexbuf.len)
        addgrow(1);
}

TARN_HOT int cmdoverflow;  // pushes beyond the end of cmdstack, popped first

int gettokstr(int c, int sub);
int skipcomm();

// Whether the characters after a `<' form a numeric range `n-m>'; all
// characters read are given back.
bool isnumglob()
{
    int ec = '-';
    bool ret = false;
    size_t tbs = 256, n = 0;
    char *tbuf = static_cast<char *>(qalloc(tbs));
    for (;;) {
        int c = lexgetc();
        if (lexstop) {
            lexstop = 0;
            break;
        }
        tbuf[n++] = char(c);
        if (!idigit(static_cast<unsigned char>(c))) {
            if (c != ec)
                break;
            if (ec == '>') {
                ret = true;
                break;
            }
            ec = '>';
        }
        if (n == tbs) {
            tbs *= 2;
            tbuf = static_cast<char *>(qrealloc(tbuf, tbs));
        }
    }
    while (n--)
        lexungetc(static_cast<unsigned char>(tbuf[n]));
    qfree(tbuf);
    return ret;
}

// Arithmetic or command substitution after "(": returns 1 for arithmetic
// (the body read into the word), 2 on an error, 0 when the characters were
// given back to be read as a command.
int cmd_or_math(int cs_type)
{
    int oldlen = lexbuf.len;
    cmdpush(cs_type);
    int c = dquote_parse(')', 0);
    cmdpop();
    *lexbuf.ptr = '\0';
    if (!c) {
        c = lexgetc();
        if (c == ')')
            return 1;
        lexungetc(c);
        lexstop = 0;
        c = ')';
    } else if (lexstop || errflag) {
        return 2;
    }
    lexungetc(c);
    lexstop = 0;
    while (lexbuf.len > oldlen && !errflag) {
        lexbuf.ptr--;
        lexbuf.len--;
        unsigned char b = static_cast<unsigned char>(*lexbuf.ptr);
        lexungetc(itok(b) ? static_cast<unsigned char>(tokchar(b)) : b);
    }
    if (errflag)
        return 2;
    lexungetc('(');
    return 0;
}

// After "$(": arithmetic "$((...))" or a command substitution.
int cmd_or_math_sub()
{
    int c = lexgetc();
    if (c == '(') {
        add(TK_LPAREN);
        add('(');
        int ret = cmd_or_math(CS_MATHSUBST);
        if (ret == 1) {
            add(')');
            return 0;
        }
        if (ret == 2)
            return 1;
        lexbuf.ptr -= 2;
        lexbuf.len -= 2;
    } else {
        lexungetc(c);
        lexstop = 0;
    }
    return skipcomm();
}

// The raw text of a command substitution up to its closing parenthesis,
// skipping quotes, comments and nested parentheses; 1 on an error.  The
// words "case", "in" and "esac" are followed so that the ")" ending a case
// pattern does not close the substitution.
int skipcomm()
{
    enum { CASE_SUBJECT = 1, CASE_IN, CASE_PATTERN, CASE_BODY };
    int pct = 1, c;
    bool wordstart = true;
    char word[8];
    int wl = 0;
    // Case statements open inside the text, innermost last.
    int casest[64], ncase = 0, casedeep = 0;
    auto endword = [&]() {
        if (wl < 0 || wl > 4) {
            wl = 0;
            return;
        }
        word[wl] = '\0';
        int top = ncase ? casest[ncase - 1] : 0;
        if (!strcmp(word, "case") && top != CASE_PATTERN && top != CASE_SUBJECT) {
            if (ncase < 64)
                casest[ncase++] = CASE_SUBJECT;
            else
                casedeep++;
        } else if (top == CASE_SUBJECT) {
            casest[ncase - 1] = CASE_IN;
        } else if (top == CASE_IN) {
            casest[ncase - 1] = !strcmp(word, "in") ? CASE_PATTERN : 0;
            if (!casest[ncase - 1])
                ncase--;
        } else if (!strcmp(word, "esac") && (top == CASE_PATTERN || top == CASE_BODY)) {
            if (casedeep)
                casedeep--;
            else
                ncase--;
        }
        wl = 0;
    };
    // Copies a quoted run up to its closing quote; where esc holds, a
    // backslash carries the next character with it.
    auto quoted = [&](int end, bool esc) {
        add(c);
        while ((c = lexgetc()) != end && !lexstop) {
            if (c == '\\' && esc) {
                add(c);
                c = lexgetc();
                if (lexstop)
                    break;
            }
            add(c);
        }
    };
    cmdpush(CS_CMDSUBST);
    c = TK_LPAREN;
    do {
        add(c);
        c = lexgetc();
        if (lexstop)
            break;
        bool sep = inblank(static_cast<unsigned char>(c)) || c == ';' || c == '&' || c == '|' || c == '(' ||
                   c == ')' || c == '\n' || c == '<' || c == '>';
        if (sep)
            endword();
        else if (wl >= 0 && wl < 6 && (ialnum(static_cast<unsigned char>(c))))
            word[wl++] = char(c);
        else
            wl = -1;
        int top = ncase ? casest[ncase - 1] : 0;
        switch (c) {
        case '(':
            if (!(top == CASE_PATTERN && wordstart))
                pct++;
            break;
        case ')':
            if (top == CASE_PATTERN && !casedeep)
                casest[ncase - 1] = CASE_BODY;
            else
                pct--;
            break;
        case ';':
            if (top == CASE_BODY) {
                int d = lexgetc();
                if (!lexstop) {
                    lexungetc(d);
                    if (d == ';' || d == '&')
                        casest[ncase - 1] = CASE_PATTERN;
                }
                lexstop = 0;
            }
            break;
        case '\\':
            add(c);
            c = lexgetc();
            wl = -1;
            break;
        case '\'': {
            // $'...' is the only single-quoted form a backslash escapes in.
            bool strquote = lexbuf.len && lexbuf.ptr[-1] == '$';
            StopHistGuard sh;
            quoted('\'', strquote);
            break;
        }
        case '"':
            quoted('"', true);
            break;
        case '`':
            quoted('`', true);
            break;
        default:
            if (c == hashchar && wordstart && (isset(INTERACTIVECOMMENTS) || !isset(INTERACTIVE) || strin)) {
                // A comment may hold any parenthesis; keep it as text.
                add(c);
                while ((c = lexgetc()) != '\n' && !lexstop)
                    add(c);
                wl = 0;
            }
            break;
        }
        wordstart = sep;
    } while (pct && !lexstop);
    cmdpop();
    return lexstop ? 1 : 0;
}

// Alias expansions since the last token that was not one.
TARN_HOT static int aliasrun;
constexpr int MAX_ALIAS_RUN = 1000;

struct DepthGuard {
    bool ok;
    DepthGuard()
    {
        ok = ++lexdepth <= MAX_PARSE_DEPTH;
        if (!ok)
            qerr("parse error: nesting too deep", nullptr, 0);
    }
    ~DepthGuard() { lexdepth--; }
    DepthGuard(const DepthGuard &) = delete;
    DepthGuard &operator=(const DepthGuard &) = delete;
};

// The characters of a redirection operator after its first one.
int gettok()
{
    int c, d;
    int peekfd = -1, peek;

beginning:
    tokstr = nullptr;
    tokfd = -1;
    // Runs of blanks in the current segment are passed over directly.
    if (hgetc == ingetc)
        while (insegleft > 0 && (*insegpos == ' ' || *insegpos == '\t')) {
            insegpos++;
            insegleft--;
            inbufct--;
        }
    while (iblank(static_cast<unsigned char>(c = lexgetc())) && !lexstop) {
    }
    if (lexstop)
        return errflag ? LX_ERROR : LX_EOF;
    isfirstln = 0;
    wordbeg = inbufct;
    hwbegin(-1);
    if (in_dparens) {
        lexbufinit();
        lexungetc(c);
        cmdpush(CS_MATH);
        c = dquote_parse(infor ? ';' : ')', 0);
        cmdpop();
        *lexbuf.ptr = '\0';
        if (!c && infor) {
            infor--;
            return LX_DLPAREN;
        }
        if (c || (c = lexgetc()) != ')') {
            lexungetc(c);
            return LX_ERROR;
        }
        in_dparens = 0;
        return LX_DRPAREN;
    } else if (inregex && (c == '<' || c == '>' || idigit(static_cast<unsigned char>(c)))) {
        // No redirection can stand in a condition: a regular expression
        // may start with these.
        return gettokstr(c, 0);
    } else if (idigit(static_cast<unsigned char>(c))) {
        // A run of digits directly before a redirection operator names the
        // descriptor it applies to (`2>`, `99>&-`); anything else gives the
        // digits back to be read as a word.
        char digs[9];
        int ndig = 0, fdnum = 0;
        d = c;
        do {
            digs[ndig++] = char(d);
            fdnum = fdnum * 10 + (d - '0');
            d = lexgetc();
        } while (ndig < int(sizeof digs) && !lexstop && idigit(static_cast<unsigned char>(d)));
        bool isfd = false;
        if (d == '&' && !lexstop) {
            d = lexgetc();
            if (d == '>' && !lexstop) {
                isfd = true;
                lexungetc('>');
                c = '&';
            } else {
                lexungetc(d);
                lexstop = 0;
                lexungetc('&');
            }
        } else if ((d == '>' || d == '<') && !lexstop) {
            isfd = true;
            c = d;
        } else {
            lexungetc(d);
            lexstop = 0;
        }
        if (isfd) {
            peekfd = fdnum;
        } else {
            while (ndig > 1)
                lexungetc(digs[--ndig]);
        }
    }

    if (c == hashchar && !nocomments &&
        (isset(INTERACTIVECOMMENTS) ||
         (!kedparse && (!isset(INTERACTIVE) || unset(SHINSTDIN) || strin)))) {
        while ((c = ingetc()) != '\n' && !lexstop) {
            hwaddc(c);
            addtoline(c);
        }
        if (errflag)
            return LX_ERROR;
        hwend();
        hwbegin(0);
        hwaddc('\n');
        addtoline('\n');
        return LX_NEWLINE;
    }

    switch (lexact1[static_cast<unsigned char>(c)]) {
    case LX1_BKSLASH:
        d = lexgetc();
        if (d == '\n')
            goto beginning;
        lexungetc(d);
        lexstop = 0;
        break;
    case LX1_NEWLIN:
        return LX_NEWLINE;
    case LX1_SEMI:
        d = lexgetc();
        if (d == ';')
            return LX_DSEMI;
        if (d == '&')
            return LX_SEMIAMP;
        lexungetc(d);
        lexstop = 0;
        return LX_SEMI;
    case LX1_AMPER:
        d = lexgetc();
        if (d == '&')
            return LX_ANDAND;
        if (d == '!' || d == '|')
            return LX_AMPBAR;
        if (d == '>') {
            tokfd = peekfd;
            d = lexgetc();
            if (d == '!' || d == '|')
                return LX_GTAMPBAR;
            if (d == '>') {
                d = lexgetc();
                if (d == '!' || d == '|')
                    return LX_DGTAMPBAR;
                lexungetc(d);
                lexstop = 0;
                return LX_DGTAMP;
            }
            lexungetc(d);
            lexstop = 0;
            return LX_AMPGT;
        }
        lexungetc(d);
        lexstop = 0;
        return LX_AMP;
    case LX1_BAR:
        d = lexgetc();
        if (d == '|')
            return LX_OROR;
        if (d == '&')
            return LX_BARAMP;
        lexungetc(d);
        lexstop = 0;
        return LX_BAR;
    case LX1_INPAR:
        d = lexgetc();
        if (d == '(') {
            if (infor) {
                in_dparens = 1;
                return LX_DLPAREN;
            }
            if (incmdpos) {
                lexbufinit();
                switch (cmd_or_math(CS_MATH)) {
                case 1:
                    return LX_DLPAREN;
                case 0:
                    tokstr = nullptr;
                    return LX_LPAREN;
                default:
                    return LX_ERROR;
                }
            }
        } else if (d == ')') {
            return LX_EMPTYPARENS;
        }
        lexungetc(d);
        lexstop = 0;
        if (!(incond == 1 || incmdpos))
            break;
        return LX_LPAREN;
    case LX1_OUTPAR:
        return LX_RPAREN;
    case LX1_INANG:
        d = lexgetc();
        if (!incmdpos && d == '(') {
            lexungetc(d);
            lexstop = 0;
        unpeekfd:
            if (peekfd != -1) {
                lexungetc(c);
                c = '0' + peekfd;
            }
            break;
        }
        if (d == '>') {
            peek = LX_LTGT;
        } else if (d == '<') {
            int e = lexgetc();
            if (e == '(') {
                lexungetc(e);
                lexungetc(d);
                peek = LX_LT;
            } else if (e == '<') {
                peek = LX_TLT;
            } else if (e == '-') {
                peek = LX_DLTDASH;
            } else {
                lexungetc(e);
                lexstop = 0;
                peek = LX_DLT;
            }
        } else if (d == '&') {
            peek = LX_LTAMP;
        } else {
            lexungetc(d);
            lexstop = 0;
            if (isnumglob())
                goto unpeekfd;
            peek = LX_LT;
        }
        tokfd = peekfd;
        return peek;
    case LX1_OUTANG:
        d = lexgetc();
        if (d == '(') {
            lexungetc(d);
            goto unpeekfd;
        } else if (d == '&') {
            d = lexgetc();
            if (d == '!' || d == '|') {
                peek = LX_GTAMPBAR;
            } else {
                lexungetc(d);
                lexstop = 0;
                peek = LX_GTAMP;
            }
        } else if (d == '!' || d == '|') {
            peek = LX_GTBAR;
        } else if (d == '>') {
            d = lexgetc();
            if (d == '&') {
                d = lexgetc();
                if (d == '!' || d == '|') {
                    peek = LX_DGTAMPBAR;
                } else {
                    lexungetc(d);
                    lexstop = 0;
                    peek = LX_DGTAMP;
                }
            } else if (d == '!' || d == '|') {
                peek = LX_DGTBAR;
            } else if (d == '(') {
                lexungetc(d);
                lexungetc('>');
                peek = LX_GT;
            } else {
                lexungetc(d);
                lexstop = 0;
                peek = LX_DGT;
                if (isset(HISTALLOWCLOBBER))
                    hwaddc('|');
            }
        } else {
            lexungetc(d);
            lexstop = 0;
            peek = LX_GT;
            if (!incond && isset(HISTALLOWCLOBBER))
                hwaddc('|');
        }
        tokfd = peekfd;
        return peek;
    default:
        break;
    }
    return gettokstr(c, 0);
}

// The word scanner, called with the word's first character.
int gettokstr(int c, int sub)
{
    int bct = 0, pct = 0, brct = 0;
    bool fdpar = false;
    int intpos = 1, in_brace_param = 0;
    int peek = LX_WORD, e;
    int unmatched = 0;
    int ocmdsp = cmdsp;

    if (!sub)
        lexbufinit();
    for (;;) {
        int act;
        bool inbl = inblank(static_cast<unsigned char>(c));

        if (fdpar && !inbl && c != ')')
            fdpar = false;
        if (inbl && !in_brace_param && !pct) {
            act = LX2_BREAK;
        } else {
            act = lexact2[static_cast<unsigned char>(c)];
            c = lextok2[static_cast<unsigned char>(c)];
        }
        switch (act) {
        case LX2_BREAK:
            if (!in_brace_param && !sub)
                goto brk;
            break;
        case LX2_META:
            c = lexgetc();
            if (lexstop)
                goto brk;
            add(METACHAR);
            break;
        case LX2_OUTPAR:
            if (fdpar) {
                // A word "(  )" under shglob: the empty parentheses.
                add(c);
                *lexbuf.ptr = '\0';
                return LX_EMPTYPARENS;
            }
            if ((sub || in_brace_param) && isset(SHGLOB))
                break;
            if (!in_brace_param && !pct--) {
                if (sub) {
                    pct = 0;
                    break;
                }
                goto brk;
            }
            c = TK_RPAREN;
            break;
        case LX2_BAR:
            if (!pct && !in_brace_param && !inregex) {
                if (sub)
                    break;
                goto brk;
            }
            if (unset(SHGLOB) || (!sub && !in_brace_param))
                c = TK_BAR;
            break;
        case LX2_STRING:
            e = lexgetc();
            if (e == '[') {
                cmdpush(CS_MATHSUBST);
                add(TK_DOLLAR);
                add(TK_LBRACK);
                c = dquote_parse(']', sub);
                cmdpop();
                if (c) {
                    peek = LX_ERROR;
                    goto brk;
                }
                c = TK_RBRACK;
            } else if (e == '(') {
                add(TK_DOLLAR);
                c = cmd_or_math_sub();
                if (c) {
                    peek = LX_ERROR;
                    goto brk;
                }
                c = TK_RPAREN;
            } else if (e == '{') {
                add(c);
                c = TK_LBRACE;
                ++bct;
                cmdpush(CS_BRACEPAR);
                if (!in_brace_param)
                    in_brace_param = bct;
            } else {
                lexungetc(e);
                lexstop = 0;
            }
            break;
        case LX2_INBRACK:
            if (!in_brace_param)
                brct++;
            c = TK_LBRACK;
            break;
        case LX2_OUTBRACK:
            if (!in_brace_param)
                brct--;
            if (brct < 0)
                brct = 0;
            c = TK_RBRACK;
            break;
        case LX2_INPAR:
            if (isset(SHGLOB)) {
                if (sub || in_brace_param)
                    break;
                if (incasepat && !lexbuf.len)
                    return LX_LPAREN;
            }
            if (!in_brace_param) {
                if (!sub) {
                    e = lexgetc();
                    lexungetc(e);
                    lexstop = 0;
                    if (e == ')' || (isset(SHGLOB) && inblank(static_cast<unsigned char>(e)) && !bct && !brct &&
                                     !intpos && incmdpos))
                        goto brk;
                    if (isset(SHGLOB) && !lexbuf.len && !pct && !bct && !brct &&
                        inblank(static_cast<unsigned char>(e)))
                        fdpar = true;
                }
                pct++;
            }
            c = TK_LPAREN;
            break;
        case LX2_INBRACE:
            if (isset(IGNOREBRACES) || sub) {
                c = '{';
            } else {
                if (!lexbuf.len && incmdpos) {
                    add('{');
                    *lexbuf.ptr = '\0';
                    return LX_WORD;
                }
                if (in_brace_param)
                    cmdpush(CS_BRACE);
                bct++;
            }
            break;
        case LX2_OUTBRACE:
            if ((isset(IGNOREBRACES) || sub) && !in_brace_param)
                break;
            if (!bct)
                break;
            if (in_brace_param)
                cmdpop();
            if (bct-- == in_brace_param)
                in_brace_param = 0;
            c = TK_RBRACE;
            break;
        case LX2_COMMA:
            if (unset(IGNOREBRACES) && !sub && bct > in_brace_param)
                c = TK_COMMA;
            break;
        case LX2_OUTANG:
            if (inregex)
                break;
            if (!intpos) {
                if (in_brace_param || sub)
                    break;
                goto brk;
            }
            e = lexgetc();
            if (e != '(') {
                lexungetc(e);
                lexstop = 0;
                goto brk;
            }
            add(TK_RANGLE);
            if (skipcomm()) {
                peek = LX_ERROR;
                goto brk;
            }
            c = TK_RPAREN;
            break;
        case LX2_INANG:
            if ((isset(SHGLOB) && sub) || inregex)
                break;
            e = lexgetc();
            if (e == '(' && intpos) {
                add(TK_LANGLE);
                if (skipcomm()) {
                    peek = LX_ERROR;
                    goto brk;
                }
                c = TK_RPAREN;
                break;
            }
            lexungetc(e);
            lexstop = 0;
            if (isnumglob()) {
                add(TK_LANGLE);
                while ((c = lexgetc()) != '>' && !lexstop)
                    add(c);
                c = TK_RANGLE;
                break;
            }
            lexstop = 0;
            if (in_brace_param || sub)
                break;
            goto brk;
        case LX2_EQUALS:
            if (intpos) {
                e = lexgetc();
                if (e != '(') {
                    lexungetc(e);
                    lexstop = 0;
                    c = TK_EQUALS;
                } else {
                    add(TK_EQUALS);
                    if (skipcomm()) {
                        peek = LX_ERROR;
                        goto brk;
                    }
                    c = TK_RPAREN;
                }
            } else if (!sub && peek != LX_ASSIGN && (incmdpos || intypeset) && !bct && !brct) {
                char *t = tokstr;
                *lexbuf.ptr = '\0';
                if (idigit(static_cast<unsigned char>(*t))) {
                    while (++t < lexbuf.ptr && idigit(static_cast<unsigned char>(*t))) {
                    }
                } else {
                    while (t < lexbuf.ptr && iident(static_cast<unsigned char>(*t)))
                        t++;
                    if (t < lexbuf.ptr && t > tokstr)
                        skipparens(char(TK_LBRACK), char(TK_RBRACK), &t);
                }
                if (t < lexbuf.ptr && *t == '+')
                    t++;
                if (t == lexbuf.ptr && t > tokstr) {
                    e = lexgetc();
                    if (e == '(') {
                        *lexbuf.ptr = '\0';
                        return LX_ARRAYASSIGN;
                    }
                    lexungetc(e);
                    lexstop = 0;
                    if (incmdpos) {
                        peek = LX_ASSIGN;
                        intpos = 2;
                    } else {
                        // An argument of typeset: name=value stays a word.
                        c = TK_EQUALS;
                    }
                } else {
                    c = TK_EQUALS;
                }
            } else {
                c = TK_EQUALS;
            }
            break;
        case LX2_BKSLASH:
            c = lexgetc();
            if (c == '\n') {
                c = lexgetc();
                if (!lexstop)
                    continue;
            } else {
                add(TK_BSLASH);
            }
            if (lexstop)
                goto brk;
            break;
        case LX2_QUOTE: {
            bool strquote = lexbuf.len && static_cast<unsigned char>(lexbuf.ptr[-1]) == TK_DOLLAR;
            add(TK_SQUOTE);
            cmdpush(CS_QUOTE);
            for (;;) {
                {
                    StopHistGuard sh;
                    while ((c = lexgetc()) != '\'' && !lexstop) {
                        if (strquote && c == '\\') {
                            add(c);
                            c = lexgetc();
                            if (lexstop)
                                break;
                        } else if (!sub && isset(CSHJUNKIEQUOTES) && c == '\n') {
                            if (lexbuf.len && lexbuf.ptr[-1] == '\\') {
                                lexbuf.ptr--;
                                lexbuf.len--;
                            } else {
                                break;
                            }
                        }
                        add(c);
                    }
                }
                if (c != '\'') {
                    unmatched = '\'';
                    peek = LX_ERROR;
                    cmdpop();
                    goto brk;
                }
                e = lexgetc();
                if (e != '\'' || unset(RCQUOTES) || strquote)
                    break;
                add(c);
            }
            cmdpop();
            lexungetc(e);
            lexstop = 0;
            c = TK_SQUOTE;
            break;
        }
        case LX2_DQUOTE:
            add(TK_DQUOTE);
            cmdpush(CS_DQUOTE);
            c = dquote_parse('"', sub);
            cmdpop();
            if (c) {
                unmatched = '"';
                peek = LX_ERROR;
                goto brk;
            }
            c = TK_DQUOTE;
            break;
        case LX2_BQUOTE: {
            add(TK_BACKTICK);
            cmdpush(CS_BQUOTE);
            bool inquote = false;
            while ((c = lexgetc()) != '`' && !lexstop) {
                if (c == '\\') {
                    c = lexgetc();
                    if (lexstop)
                        break;
                    if (c != '\n') {
                        add(c == '`' || c == '\\' || c == '$' ? int(TK_BSLASH) : int('\\'));
                        add(c);
                    } else if (!sub && isset(CSHJUNKIEQUOTES)) {
                        add(c);
                    }
                } else {
                    if (!sub && isset(CSHJUNKIEQUOTES) && c == '\n')
                        break;
                    add(c);
                    if (c == '\'') {
                        inquote = !inquote;
                        stophist += inquote ? 4 : -4;
                    }
                }
            }
            if (inquote)
                stophist -= 4;
            cmdpop();
            if (c != '`') {
                unmatched = '`';
                peek = LX_ERROR;
                goto brk;
            }
            c = TK_BACKTICK;
            break;
        }
        default:
            break;
        }
        add(c);
        if (act == LX2_OTHER && hgetc == ingetc) {
            // A run of ordinary characters is copied straight from the
            // current segment.
            int k = 0;
            while (k < insegleft) {
                unsigned char d = static_cast<unsigned char>(insegpos[k]);
                if (!lexplain[d])
                    break;
                k++;
            }
            if (k) {
                if (lexbuf.len + k + 1 >= lexbuf.siz)
                    addgrow(size_t(k) + 1);
                memcpy(lexbuf.ptr, insegpos, size_t(k));
                lexbuf.ptr += k;
                lexbuf.len += k;
                insegpos += k;
                insegleft -= k;
                inbufct -= k;
            }
            intpos = intpos > k ? intpos - k : 0;
        }
        c = lexgetc();
        if (intpos)
            intpos--;
        if (lexstop)
            break;
    }
brk:
    lexungetc(c);
    if (unmatched)
        qerr("unmatched %c", nullptr, unmatched);
    if (in_brace_param) {
        while (bct-- >= in_brace_param)
            cmdpop();
        qerr("closing brace expected", nullptr, 0);
        peek = LX_ERROR;
    } else if (unset(IGNOREBRACES) && !sub && lexbuf.len > 1 && peek == LX_WORD && lexbuf.ptr[-1] == '}' &&
               static_cast<unsigned char>(lexbuf.ptr[-2]) != TK_BSLASH) {
        // "{cmd}" without blanks: the closing brace is a token of its own.
        lexbuf.ptr--;
        lexbuf.len--;
        lexstop = 0;
        lexungetc('}');
    }
    *lexbuf.ptr = '\0';
    while (cmdsp > ocmdsp)
        cmdpop();
    return peek;
}

}  // namespace

void skipparens(char open, char close, char **s)
{
    int level;
    if (**s != open)
        return;
    for (level = 1; *++*s && level;) {
        if (**s == open)
            level++;
        else if (**s == close)
            level--;
    }
}

void cmdpush(int cmdtok)
{
    if (!cmdstack)
        cmdstack = static_cast<char *>(qalloc(CMDSTACKSZ));
    if (cmdsp >= 0 && cmdsp < CMDSTACKSZ && !cmdoverflow)
        cmdstack[cmdsp++] = char(cmdtok);
    else
        cmdoverflow++;
}

void cmdpop()
{
    if (cmdoverflow)
        cmdoverflow--;
    else if (cmdsp > 0)
        cmdsp--;
}

// Double-quoted text, and the arithmetic bodies that are read the same
// way; returns 0, or non-zero when the text is unfinished or malformed.
int dquote_parse(char endchar, int sub)
{
    int pct = 0, brct = 0, bct = 0, intick = 0, err = 0;
    int c;
    bool math = endchar == ')' || endchar == ']';
    DepthGuard dg;
    if (!dg.ok)
        return 1;

    while (((c = lexgetc()) != endchar || bct || (math && (pct > 0 || brct > 0)) || intick) && !lexstop) {
    cont:
        switch (c) {
        case '\\':
            c = lexgetc();
            if (c != '\n') {
                if (c == '$' || c == '\\' || (c == '}' && !intick && bct) || c == endchar || c == '`' ||
                    (endchar == ']' &&
                     (c == '[' || c == ']' || c == '(' || c == ')' || c == '{' || c == '}' || (c == '"' && sub)))) {
                    add(TK_BSLASH);
                } else {
                    add('\\');
                    if (lexstop)
                        goto done;
                    goto cont;
                }
            } else if (sub || unset(CSHJUNKIEQUOTES) || endchar != '"') {
                continue;
            }
            break;
        case '\n':
            err = !sub && isset(CSHJUNKIEQUOTES) && endchar == '"';
            break;
        case '$':
            if (intick)
                break;
            c = lexgetc();
            if (c == '(') {
                add(TK_QDOLLAR);
                err = cmd_or_math_sub();
                c = TK_RPAREN;
            } else if (c == '[') {
                add(TK_DOLLAR);
                add(TK_LBRACK);
                cmdpush(CS_MATHSUBST);
                err = dquote_parse(']', sub);
                cmdpop();
                c = TK_RBRACK;
            } else if (c == '{') {
                add(TK_QDOLLAR);
                c = TK_LBRACE;
                cmdpush(CS_BRACEPAR);
                bct++;
            } else if (c == '$') {
                add(TK_QDOLLAR);
            } else {
                lexungetc(c);
                lexstop = 0;
                c = TK_QDOLLAR;
            }
            break;
        case '}':
            if (intick || !bct)
                break;
            c = TK_RBRACE;
            bct--;
            cmdpop();
            break;
        case '`':
            c = TK_QBACKTICK;
            if (intick == 2)
                stophist -= 4;
            if ((intick = !intick))
                cmdpush(CS_BQUOTE);
            else
                cmdpop();
            break;
        case '\'':
            if (!intick)
                break;
            if (intick == 1) {
                intick = 2;
                stophist += 4;
            } else {
                intick = 1;
                stophist -= 4;
            }
            break;
        case '(':
            if (!math || !bct)
                pct++;
            break;
        case ')':
            if (!math || !bct)
                err = (!pct-- && math);
            break;
        case '[':
            if (!math || !bct)
                brct++;
            break;
        case ']':
            if (!math || !bct)
                err = (!brct-- && math);
            break;
        case '"':
            if (intick || ((endchar == ']' || !endchar) && !bct))
                break;
            if (bct) {
                add(TK_DQUOTE);
                cmdpush(CS_DQUOTE);
                err = dquote_parse('"', sub);
                cmdpop();
                c = TK_DQUOTE;
            } else {
                err = 1;
            }
            break;
        default:
            break;
        }
        if (err || lexstop)
            break;
        add(c);
    }
done:
    if (intick == 2)
        stophist -= 4;
    if (intick)
        cmdpop();
    while (bct--)
        cmdpop();
    if (lexstop)
        err = intick || endchar || err;
    else if (err == 1)
        err = c;
    return err;
}

void initlextabs()
{
    static const char lx1[] = "\\q\n;!&|(){}[]<>";
    static const char lx2[] = ";)|$[]~({}><=\\'\"`,";
    for (int t0 = 0; t0 != 256; t0++) {
        lexact1[t0] = LX1_OTHER;
        lexact2[t0] = LX2_OTHER;
        lextok2[t0] = static_cast<unsigned char>(t0);
    }
    for (int t0 = 0; lx1[t0]; t0++)
        lexact1[static_cast<unsigned char>(lx1[t0])] = static_cast<unsigned char>(t0);
    for (int t0 = 0; lx2[t0]; t0++)
        lexact2[static_cast<unsigned char>(lx2[t0])] = static_cast<unsigned char>(t0);
    lexact2['&'] = LX2_BREAK;
    lexact2[METACHAR] = LX2_META;
    lextok2['*'] = TK_STAR;
    lextok2['?'] = TK_QUEST;
    lextok2['{'] = TK_LBRACE;
    lextok2['['] = TK_LBRACK;
    lextok2['$'] = TK_DOLLAR;
    lextok2['~'] = TK_TILDE;
    lextok2['#'] = TK_HASH;
    lextok2['^'] = TK_CARET;
    for (int t0 = 0; t0 != 256; t0++) {
        auto d = static_cast<unsigned char>(t0);
        lexplain[t0] = lexact2[t0] == LX2_OTHER && lextok2[t0] == t0 && !inblank(d) && !itok(d);
    }
    lextabsdone = true;
}

void init_lexer_tables() { initlextabs(); }

void lexinit()
{
    if (!lextabsdone)
        initlextabs();
    lexstop = in_dparens = infor = nocorrect = incasepat = incond = inregex = 0;
    incmdpos = 1;
    tok = LX_EOF;
}

// Read a here-document body up to its terminator.
static char *gethere(char *str, int typ)
{
    bool qt = false, strip = false;
    for (char *s = str; *s; s++)
        if (inull(static_cast<unsigned char>(*s))) {
            qt = true;
            break;
        }
    {
        // The terminator is compared without its quoting.
        char *t = str;
        for (char *s = str; *s; s++)
            if (!inull(static_cast<unsigned char>(*s)))
                *t++ = *s;
        *t = '\0';
    }
    untokenize(str);
    if (typ == RT_HEREDOC_TABS) {
        strip = true;
        while (*str == '\t')
            str++;
    }
    size_t bsiz = 256, used = 0;
    char *buf = static_cast<char *>(qalloc(bsiz));
    size_t linestart;
    for (;;) {
        linestart = used;
        int c;
        while ((c = lexgetc()) == '\t' && strip) {
        }
        for (;;) {
            if (used + 2 >= bsiz) {
                bsiz *= 2;
                buf = static_cast<char *>(qrealloc(buf, bsiz));
            }
            if (lexstop || c == '\n')
                break;
            buf[used++] = char(c);
            c = lexgetc();
        }
        buf[used] = '\0';
        if (!strcmp(buf + linestart, str))
            break;
        if (lexstop) {
            linestart = used;
            break;
        }
        buf[used++] = '\n';
    }
    if (linestart > 0 && buf[linestart - 1] == '\n')
        linestart--;
    buf[linestart] = '\0';
    char *s = dupstring(buf);
    qfree(buf);
    if (!qt) {
        int ef = errflag;
        parsestr(&s);
        if (!errflag)
            errflag = ef;
    }
    return s;
}

void yylex()
{
    if (tok == LX_ERROR)
        return;
    do
        tok = gettok();
    while (tok != LX_EOF && exalias());
    if (tok == LX_NEWLINE || tok == LX_EOF) {
        while (hdocs) {
            HereDoc *next = hdocs->next;
            hwbegin(0);
            cmdpush(hdocs->type == RT_HEREDOC ? CS_HEREDOC : CS_HEREDOCD);
            char *name;
            {
                StopHistGuard sh;
                name = gethere(hdocs->str, hdocs->type);
            }
            cmdpop();
            hwend();
            if (hdocs->nfunc != ec.ecnfunc)
                ec.relayout = 1;
            setheredoc(hdocs->pc, RT_HERESTRING, name);
            qfree(hdocs);
            hdocs = next;
        }
    }
    if (tok != LX_NEWLINE)
        isnewlin = 0;
    else
        isnewlin = inbufct ? -1 : 1;
    if (tok == LX_SEMI || tok == LX_NEWLINE)
        tok = LX_SEPER;
}

void ctxtlex()
{
    static int oldpos;
    yylex();
    switch (tok) {
    case LX_SEPER:
    case LX_NEWLINE:
    case LX_SEMI:
    case LX_DSEMI:
    case LX_SEMIAMP:
    case LX_AMP:
    case LX_AMPBAR:
    case LX_LPAREN:
    case LX_LBRACE:
    case LX_OROR:
    case LX_ANDAND:
    case LX_BAR:
    case LX_BARAMP:
    case LX_EMPTYPARENS:
    case LX_DO:
    case LX_THEN:
    case LX_ELIF:
    case LX_ELSE:
    case LX_DRBRACK:
        incmdpos = 1;
        break;
    case LX_WORD:
    case LX_ARRAYASSIGN:
    case LX_RPAREN:
    case LX_CASE:
    case LX_DLBRACK:
        incmdpos = 0;
        break;
    default:
        break;
    }
    if (tok != LX_DLPAREN)
        infor = tok == LX_FOR ? 2 : 0;
    if ((tok >= LX_GT && tok <= LX_TLT) || tok == LX_FOR || tok == LX_FOREACH || tok == LX_SELECT) {
        inredir = 1;
        oldpos = incmdpos;
        incmdpos = 0;
    } else if (inredir) {
        incmdpos = oldpos;
        inredir = 0;
    }
}

int exalias()
{
    hwend();
    // Words typed at the prompt, not those of strings, alias text or a
    // case pattern, and never while completion splits the line.
    if ((isset(CORRECT) || isset(CORRECTALL)) && tok == LX_WORD && tokstr && isset(INTERACTIVE) &&
        isset(SHINSTDIN) && !strin && !incasepat && !nocorrect && !kedparse &&
        !(inbufflags & SEG_EXPANSION) && (isset(CORRECTALL) || incmdpos))
        spckword(&tokstr, 1, incmdpos, 1);
    if (!tokstr) {
        yytext = const_cast<char *>(tok >= 0 && tok <= LX_WHILE && tokstrings[tok] ? tokstrings[tok] : "");
        return 0;
    }
    // The printable text of a word with tokens goes into a buffer reused
    // for every word (lexsave keeps a copy across nested parses).  Most
    // words have no tokens and are used as they stand.
    size_t wordlen;
    {
        static char *ytbuf;
        static size_t ytsz;
        const char *p = skipplain(tokstr);
        if (!*p) {
            yytext = tokstr;
            wordlen = size_t(p - tokstr);
        } else {
            size_t l = strlen(p) + size_t(p - tokstr) + 1;
            if (l > ytsz) {
                ytsz = l * 2;
                ytbuf = static_cast<char *>(qrealloc(ytbuf, ytsz));
            }
            memcpy(ytbuf, tokstr, size_t(p - tokstr));
            char *out = ytbuf + (p - tokstr);
            for (; *p; p++) {
                unsigned char c = static_cast<unsigned char>(*p);
                if (itok(c)) {
                    if (c == TK_EMPTY)
                        continue;
                    c = static_cast<unsigned char>(tokchar(c));
                }
                *out++ = char(c);
            }
            *out = '\0';
            yytext = ytbuf;
            wordlen = size_t(out - ytbuf);
        }
    }
    // The table hash of the word, taken once for both look-ups.
    unsigned h = 0;
    bool hashed = false;
    auto wordhash = [&] {
        if (!hashed) {
            h = hasher(yytext);
            hashed = true;
        }
        return h;
    };
    if (kedparse && !(inbufflags & SEG_EXPANSION)) {
        // Splitting words for the editor: the word that reaches the
        // cursor is the one being worked on.
        if (inbufct <= lexcursor) {
            kedparse = 0;
            return 0;
        }
    }
    if (tok == LX_WORD) {
        if (!noaliases && isset(ALIASES) && aliastab && mayalias(yytext)) {
            AliasEntry *an = static_cast<AliasEntry *>(lookupname(aliastab, yytext, wordhash()));
            // An alias whose text ends the input is popped before its
            // word is looked up again, so its in-use mark cannot stop a
            // self-reference there; a bound on expansions between two
            // tokens does.
            if (an && !an->inuse && ((an->flags & ALIASF_GLOBAL) || incmdpos || inalmore) &&
                ++aliasrun <= MAX_ALIAS_RUN) {
                inpush(an->text, SEG_EXPANSION, an);
                if (an->text[0] == ' ')
                    aliasspaceflag = 1;
                lexstop = 0;
                return 1;
            }
        }
        ReservedWord *rw = nullptr;
        if ((incmdpos || (unset(IGNOREBRACES) && yytext[0] == '}' && !yytext[1])) && reswdtab)
            rw = findreswd(yytext, wordlen);
        if (rw) {
            tok = rw->token;
            if (tok == LX_DLBRACK)
                incond++;
        } else if (incond && !strcmp(yytext, "]]")) {
            tok = LX_DRBRACK;
            incond = 0;
        } else if (incond == 1 && yytext[0] == '!' && !yytext[1]) {
            tok = LX_BANG;
        }
    }
    inalmore = 0;
    aliasrun = 0;
    return 0;
}

// ---- saving the lexer around nested parses ----

namespace {

struct LexStack {
    LexStack *next;
    int incmdpos, incond, incasepat, infor, inredir, in_dparens, intypeset, inregex;
    int nocorrect, isnewlin, noaliases, inalmore, aliasspaceflag, nocomments;
    int tok, tokfd, lexstop, isfirstln, isfirstch;
    char *tokstr, *yytext;
    HereDoc *hdocs;
    LexBuf lexbuf;
    int (*hgetc)();
    void (*hungetc)(int);
    void (*hwaddc)(int);
    void (*hwbegin)(int);
    void (*hwend)();
    void (*addtoline)(int);
    int stophist, histactive, histdone, hwgetword;
    HistLineState hls;
    char *cmdstack;
    int cmdsp, cmdoverflow;
    EcState ec;
    int parsedepth;
};
TARN_HOT LexStack *lstack;

}  // namespace

void lexsave()
{
    LexStack *ls = qnew<LexStack>();
    ls->incmdpos = incmdpos;
    ls->intypeset = intypeset;
    intypeset = 0;
    ls->incond = incond;
    ls->inregex = inregex;
    inregex = 0;
    ls->incasepat = incasepat;
    ls->infor = infor;
    ls->inredir = inredir;
    ls->in_dparens = in_dparens;
    ls->nocorrect = nocorrect;
    ls->isnewlin = isnewlin;
    ls->noaliases = noaliases;
    ls->inalmore = inalmore;
    ls->aliasspaceflag = aliasspaceflag;
    ls->nocomments = nocomments;
    ls->tok = tok;
    ls->tokfd = tokfd;
    ls->lexstop = lexstop;
    ls->isfirstln = isfirstln;
    ls->isfirstch = isfirstch;
    ls->tokstr = tokstr;
    // Kept as a pointer, not copied: between commands it still points at
    // the last token of a program whose memory may be gone, and only the
    // parse being suspended can need it again, while its text is alive.
    ls->yytext = yytext;
    yytext = nullptr;
    ls->hdocs = hdocs;
    ls->lexbuf = lexbuf;
    ls->hgetc = hgetc;
    ls->hungetc = hungetc;
    ls->hwaddc = hwaddc;
    ls->hwbegin = hwbegin;
    ls->hwend = hwend;
    ls->addtoline = addtoline;
    ls->stophist = stophist;
    ls->histactive = histactive;
    ls->histdone = histdone;
    ls->hwgetword = hwgetword;
    histsaveline(&ls->hls);
    ls->cmdstack = cmdstack;
    ls->cmdsp = cmdsp;
    ls->cmdoverflow = cmdoverflow;
    ls->ec = ec;
    ls->parsedepth = parsedepth;
    ls->next = lstack;
    lstack = ls;

    cmdstack = static_cast<char *>(qalloc(CMDSTACKSZ));
    cmdsp = 0;
    cmdoverflow = 0;
    inredir = 0;
    hdocs = nullptr;
    nocomments = 0;
    ec = EcState{};
}

void lexrestore()
{
    LexStack *ls = lstack;
    if (!ls)
        return;
    lstack = ls->next;
    incmdpos = ls->incmdpos;
    intypeset = ls->intypeset;
    incond = ls->incond;
    inregex = ls->inregex;
    incasepat = ls->incasepat;
    infor = ls->infor;
    inredir = ls->inredir;
    in_dparens = ls->in_dparens;
    nocorrect = ls->nocorrect;
    isnewlin = ls->isnewlin;
    noaliases = ls->noaliases;
    inalmore = ls->inalmore;
    aliasspaceflag = ls->aliasspaceflag;
    nocomments = ls->nocomments;
    tok = ls->tok;
    tokfd = ls->tokfd;
    lexstop = ls->lexstop;
    isfirstln = ls->isfirstln;
    isfirstch = ls->isfirstch;
    tokstr = ls->tokstr;
    yytext = ls->yytext;
    // Here-documents still pending in the nested parse are abandoned.
    while (hdocs) {
        HereDoc *n = hdocs->next;
        qfree(hdocs);
        hdocs = n;
    }
    hdocs = ls->hdocs;
    lexbuf = ls->lexbuf;
    hgetc = ls->hgetc;
    hungetc = ls->hungetc;
    hwaddc = ls->hwaddc;
    hwbegin = ls->hwbegin;
    hwend = ls->hwend;
    addtoline = ls->addtoline;
    stophist = ls->stophist;
    histactive = ls->histactive;
    histdone = ls->histdone;
    hwgetword = ls->hwgetword;
    histrestoreline(&ls->hls);
    qfree(cmdstack);
    cmdstack = ls->cmdstack;
    cmdsp = ls->cmdsp;
    cmdoverflow = ls->cmdoverflow;
    if (ec.ecbuf)
        qfree(ec.ecbuf);
    if (ec.ecnodes)
        qfree(ec.ecnodes);
    ec = ls->ec;
    parsedepth = ls->parsedepth;
    qfree(ls);
}

// ---- re-lexing strings ----

namespace {

// Lex s as double-quoted text up to endchar; the result replaces *s.
int relex(char **s, char endchar, int sub, char **endp)
{
    LexGuard lg;
    char *copy = dupstring(*s);
    untokenize(copy);
    inpush(copy, 0, nullptr);
    strinbeg(0);
    lexbufinit();
    int err = dquote_parse(endchar, sub);
    *lexbuf.ptr = '\0';
    if (endp)
        *endp = lexbuf.ptr;
    *s = tokstr;
    strinend();
    inpop();
    return err;
}

}  // namespace

int parsestrnoerr(char **s) { return relex(s, '\0', 1, nullptr); }

int parsestr(char **s)
{
    char *orig = *s;
    int err = parsestrnoerr(s);
    if (err) {
        *s = orig;
        untokenize(orig);
        if (err > 32 && err < 127)
            qerr("parse error near `%c'", nullptr, err);
        else
            qerr("parse error", nullptr, 0);
    }
    return err;
}

char *parse_subscript(char *s, int sub)
{
    if (!*s || *s == ']')
        return nullptr;
    char *res = s, *end = nullptr;
    int err = relex(&res, ']', sub, &end);
    if (err) {
        untokenize(s);
        return nullptr;
    }
    // The tokenized text is never longer than the original: write it back.
    size_t n = size_t(end - res);
    memmove(s, res, n);
    size_t olen = strlen(s);
    if (n < olen) {
        // Removed line continuations: keep the rest after the bracket.
        memmove(s + n, s + olen - (olen - n) + (olen - n), 0);
    }
    return s + n;
}

int parse_subst_string(char *s)
{
    if (!*s || (static_cast<unsigned char>(s[0]) == TK_EMPTY && !s[1]))
        return 0;
    int c, err;
    {
        LexGuard lg;
        untokenize(s);
        inpush(dupstring(s), 0, nullptr);
        strinbeg(0);
        lexbufinit();
        c = lexgetc();
        c = gettokstr(c, 1);
        err = errflag;
        size_t n = size_t(lexbuf.len);
        size_t olen = strlen(s);
        if (c != LX_ERROR && n <= olen) {
            memcpy(s, tokstr, n);
            s[n] = '\0';
        }
        strinend();
        inpop();
    }
    errflag = err;
    if (c == LX_ERROR) {
        untokenize(s);
        return 1;
    }
    return 0;
}

LinkList *bufferwords(LinkList *list, char *text, int *index)
{
    int num = 0, cur = -1, got = 0, ne = noerrs, ocs = lexcursor, oll = kedparse;
    int ona = noaliases;
    char *p = nullptr;
    if (!list)
        list = newlinklist();
    if (!text)
        return list;  // the editor's line arrives once the editor does
    LexGuard lg;
    kedparse = 1;
    noaliases = 1;
    noerrs = 1;
    p = static_cast<char *>(qhalloc(strlen(text) + 2));
    strcpy(p, text);
    strcat(p, " ");
    inpush(p, 0, nullptr);
    // The cursor sits at the end of the text, before the added space.
    lexcursor = 1;
    nocomments = 1;
    strinbeg(0);
    do {
        if (incond)
            incond = 1 + (tok != LX_DLBRACK && tok != LX_LPAREN && tok != LX_OROR && tok != LX_ANDAND &&
                          tok != LX_BANG);
        ctxtlex();
        if (tok == LX_EOF || tok == LX_ERROR)
            break;
        if (tokstr && *tokstr) {
            char *w = dupstring(tokstr);
            untokenize(w);
            addlinknode(list, w);
            num++;
        } else if (tok >= LX_GT && tok <= LX_TLT && tokfd >= 0) {
            char b[64];
            snprintf(b, sizeof b, "%d%s", tokfd, tokstrings[tok]);
            addlinknode(list, dupstring(b));
            num++;
        } else if (tok > LX_NULL && tok <= LX_WHILE && tokstrings[tok]) {
            addlinknode(list, dupstring(tokstrings[tok]));
            num++;
        }
        if (!got && !kedparse) {
            got = 1;
            cur = num - 1;
        }
    } while (tok != LX_EOF && tok != LX_ERROR);
    if (tok == LX_ERROR && tokstr && *tokstr) {
        char *w = dupstring(tokstr);
        untokenize(w);
        size_t l = strlen(w);
        if (l && w[l - 1] == ' ' && (l < 2 || static_cast<unsigned char>(w[l - 2]) != METACHAR))
            w[l - 1] = '\0';
        addlinknode(list, w);
        num++;
    }
    strinend();
    inpop();
    errflag = 0;
    noerrs = ne;
    kedparse = oll;
    lexcursor = ocs;
    noaliases = ona;
    if (index)
        *index = got ? cur : (num ? num - 1 : -1);
    return list;
}
