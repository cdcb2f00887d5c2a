// Wordcode back to shell text: the full form for function listings and
// the one-line job form for the job table and the history.
#include "lang/lang.h"

#include <cstring>

namespace {

constexpr int JOBTEXTSIZE = 80;

// An open construct whose closing text is still to be written.
struct TStack {
    TStack *prev;
    wordcode code;
    int pop;
    LinkList *redirs;
    char *strs;
    wordcode *end;
    int cond;
    int par;
};

struct TextState {
    char *tptr, *tbuf, *tlim;
    size_t tsiz;
    int tindent;
    bool tnewlins, tjob;
    TStack *tstack, *tfree;
};

TextState ts;

void dec_tindent()
{
    if (ts.tindent > 0)
        ts.tindent--;
}

void taddchr(int c)
{
    *ts.tptr++ = char(c);
    if (ts.tptr == ts.tlim) {
        if (!ts.tbuf) {
            ts.tptr--;
            return;
        }
        size_t used = ts.tsiz;
        ts.tsiz *= 2;
        ts.tbuf = static_cast<char *>(qrealloc(ts.tbuf, ts.tsiz));
        ts.tlim = ts.tbuf + ts.tsiz;
        ts.tptr = ts.tbuf + used;
    }
}

void taddstr(const char *s)
{
    size_t sl = strlen(s);
    while (ts.tptr + sl >= ts.tlim) {
        if (!ts.tbuf)
            return;
        size_t x = size_t(ts.tptr - ts.tbuf);
        ts.tsiz *= 2;
        ts.tbuf = static_cast<char *>(qrealloc(ts.tbuf, ts.tsiz));
        ts.tlim = ts.tbuf + ts.tsiz;
        ts.tptr = ts.tbuf + x;
    }
    if (ts.tnewlins) {
        memcpy(ts.tptr, s, sl);
        ts.tptr += sl;
    } else {
        for (; *s; s++)
            *ts.tptr++ = *s == '\n' ? ' ' : *s;
    }
}

// Words separated by blanks; in a full job text a word that does not fit
// is left out whole.
void taddlist(ExecState *state, int num)
{
    for (int i = 0; i < num; i++) {
        if (i)
            taddchr(' ');
        taddstr(ecgetstr(state, EC_NODUP, nullptr));
    }
}

// A command's words, typeset's array literals written as they were.
void taddwords(ExecState *state, int num)
{
    bool open = false;
    for (int i = 0; i < num; i++) {
        char *w = ecgetstr(state, EC_NODUP, nullptr);
        int mark = typesetmark(w);
        if (i && !open && mark != TSM_CLOSE)
            taddchr(' ');
        open = mark == TSM_OPEN;
        if (mark == TSM_OPEN) {
            taddstr(w + 2);
            taddstr("=(");
        } else if (mark == TSM_CLOSE) {
            taddchr(')');
        } else {
            taddstr(mark ? w + 2 : w);
        }
    }
}

void taddnl()
{
    if (ts.tnewlins) {
        taddchr('\n');
        for (int t0 = 0; t0 != ts.tindent; t0++)
            taddchr('\t');
    } else {
        taddstr("; ");
    }
}

TStack *tpush(wordcode code, int pop)
{
    TStack *s = ts.tfree;
    if (s)
        ts.tfree = s->prev;
    else
        s = qnew<TStack>();
    memset(s, 0, sizeof *s);
    s->prev = ts.tstack;
    ts.tstack = s;
    s->code = code;
    s->pop = pop;
    return s;
}

void freetstacks()
{
    while (ts.tstack) {
        TStack *p = ts.tstack->prev;
        qfree(ts.tstack);
        ts.tstack = p;
    }
    while (ts.tfree) {
        TStack *p = ts.tfree->prev;
        qfree(ts.tfree);
        ts.tfree = p;
    }
}

// A here-string target written so that it reads back as the same word:
// in double quotes when it holds tokens, else in single quotes.
void taddherestr(const char *name)
{
    if (has_token(name)) {
        taddchr('"');
        for (const char *p = name; *p; p++) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c == METACHAR && p[1]) {
                taddchr(c);
                taddchr(*++p);
            } else if (c == TK_BSLASH && p[1]) {
                taddchr('\\');
                taddchr(*++p);
            } else if (itok(c)) {
                if (c != TK_EMPTY && c != TK_DQUOTE && c != TK_SQUOTE)
                    taddchr(tokchar(c));
            } else {
                if (c == '"' || c == '\\' || c == '$' || c == '`')
                    taddchr('\\');
                taddchr(c);
            }
        }
        taddchr('"');
    } else {
        taddchr('\'');
        for (const char *p = name; *p; p++) {
            if (*p == '\'')
                taddstr("'\\''");
            else
                taddchr(*p);
        }
        taddchr('\'');
    }
}

void gettext2(ExecState *state)
{
    TStack *s, *n;
    int stack = 0;
    wordcode code;
    static const char *const c1[] = {"=", "!=", "<", ">", "-nt", "-ot", "-ef", "-eq", "-ne", "-lt", "-gt", "-le", "-ge"};

    for (;;) {
        if (stack) {
            if (!(s = ts.tstack))
                return;
            if (s->pop) {
                ts.tstack = s->prev;
                s->prev = ts.tfree;
                ts.tfree = s;
            }
            code = s->code;
            stack = 0;
        } else {
            s = nullptr;
            code = *state->pc++;
        }
        switch (code_type(code)) {
        case CODE_LIST:
            if (!s) {
                s = tpush(code, list_type(code) & Z_END);
                stack = 0;
            } else {
                if (list_type(code) & Z_ASYNC) {
                    taddstr(" &");
                    if (list_type(code) & Z_DISOWN)
                        taddstr("|");
                }
                if (!(stack = (list_type(code) & Z_END))) {
                    if (ts.tnewlins)
                        taddnl();
                    else
                        taddstr((list_type(code) & Z_ASYNC) ? " " : "; ");
                    s->code = *state->pc++;
                    s->pop = list_type(s->code) & Z_END;
                }
            }
            if (!stack && (list_type(s->code) & Z_SIMPLE))
                state->pc++;
            break;
        case CODE_SUBLIST:
            if (!s) {
                if (!(sublist_flags(code) & SUBLIST_SIMPLE) && code_type(*state->pc) != CODE_PIPE)
                    stack = -1;
                if (sublist_flags(code) & SUBLIST_NOT)
                    taddstr(stack ? "!" : "! ");
                if (sublist_flags(code) & SUBLIST_COPROC)
                    taddstr(stack ? "coproc" : "coproc ");
                s = tpush(code, sublist_type(code) == SUBLIST_END);
            } else {
                if (!(stack = (sublist_type(code) == SUBLIST_END))) {
                    taddstr(sublist_type(code) == SUBLIST_OR ? " || " : " && ");
                    s->code = *state->pc++;
                    s->pop = sublist_type(s->code) == SUBLIST_END;
                    // A prefix without a pipeline ends its sublist at once.
                    bool nopipe =
                        !(sublist_flags(s->code) & SUBLIST_SIMPLE) && code_type(*state->pc) != CODE_PIPE;
                    if (sublist_flags(s->code) & SUBLIST_NOT)
                        taddstr(nopipe ? "!" : "! ");
                    if (sublist_flags(s->code) & SUBLIST_COPROC)
                        taddstr(nopipe ? "coproc" : "coproc ");
                    if (nopipe)
                        stack = -1;
                }
            }
            if (stack < 1 && (sublist_flags(s->code) & SUBLIST_SIMPLE))
                state->pc++;
            break;
        case CODE_PIPE:
            if (!s) {
                tpush(code, pipe_type(code) == PIPE_END);
                if (pipe_type(code) == PIPE_MID)
                    state->pc++;
            } else {
                if (!(stack = (pipe_type(code) == PIPE_END))) {
                    taddstr(" | ");
                    s->code = *state->pc++;
                    if (!(s->pop = (pipe_type(s->code) == PIPE_END)))
                        state->pc++;
                }
            }
            break;
        case CODE_REDIR:
            if (!s) {
                state->pc--;
                n = tpush(code, 1);
                n->redirs = ecgetredirs(state);
            } else {
                getredirs(s->redirs);
                stack = 1;
            }
            break;
        case CODE_ASSIGN:
            taddstr(ecgetstr(state, EC_NODUP, nullptr));
            if (assign_add(code))
                taddchr('+');
            taddchr('=');
            if (assign_type(code) == ASSIGN_ARRAY) {
                taddchr('(');
                taddlist(state, int(assign_num(code)));
                taddstr(") ");
            } else {
                taddstr(ecgetstr(state, EC_NODUP, nullptr));
                taddchr(' ');
            }
            break;
        case CODE_SIMPLE:
            taddwords(state, int(simple_argc(code)));
            stack = 1;
            break;
        case CODE_SUBSH:
        case CODE_CURSH:
            if (!s) {
                taddstr(code_type(code) == CODE_SUBSH ? "(" : "{");
                ts.tindent++;
                taddnl();
                n = tpush(code, 1);
                n->end = state->pc + code_data(code);
            } else {
                state->pc = s->end;
                dec_tindent();
                taddnl();
                taddstr(code_type(code) == CODE_SUBSH ? ")" : "}");
                stack = 1;
            }
            break;
        case CODE_TIMED:
            if (!s) {
                taddstr("time");
                if (timed_type(code) == TIMED_PIPE) {
                    taddchr(' ');
                    ts.tindent++;
                    tpush(code, 1);
                } else {
                    stack = 1;
                }
            } else {
                dec_tindent();
                stack = 1;
            }
            break;
        case CODE_FUNCDEF:
            if (!s) {
                wordcode *end = state->pc + funcdef_skip(code);
                taddlist(state, int(*state->pc++));
                if (ts.tjob) {
                    taddstr(" () { ... }");
                    state->pc = end;
                    stack = 1;
                } else {
                    taddstr(" () {");
                    ts.tindent++;
                    taddnl();
                    n = tpush(code, 1);
                    n->strs = state->string_table;
                    n->end = end;
                    state->string_table += *state->pc;
                    state->pc += 3;
                    // The parser makes redirections after the braces a
                    // { } around the body; they are shown after the braces.
                    wordcode *b = state->pc;
                    if (code_type(b[0]) == CODE_LIST && (list_type(b[0]) & Z_END) && !(list_type(b[0]) & Z_SIMPLE) &&
                        code_type(b[1]) == CODE_SUBLIST && sublist_type(b[1]) == SUBLIST_END && !sublist_flags(b[1]) &&
                        code_type(b[2]) == CODE_PIPE && pipe_type(b[2]) == PIPE_END && code_type(b[3]) == CODE_REDIR) {
                        ExecState rs = *state;
                        rs.pc = b + 3;
                        LinkList *r = ecgetredirs(&rs);
                        if (code_type(*rs.pc) == CODE_CURSH && rs.pc + code_data(*rs.pc) == end - 2) {
                            n->redirs = r;
                            state->pc = rs.pc + 1;
                        }
                    }
                }
            } else {
                state->string_table = s->strs;
                state->pc = s->end;
                dec_tindent();
                taddnl();
                taddstr("}");
                if (s->redirs)
                    getredirs(s->redirs);
                stack = 1;
            }
            break;
        case CODE_FOR:
            if (!s) {
                taddstr("for ");
                if (for_type(code) == FOR_COND) {
                    taddstr("((");
                    taddstr(ecgetstr(state, EC_NODUP, nullptr));
                    taddstr("; ");
                    taddstr(ecgetstr(state, EC_NODUP, nullptr));
                    taddstr("; ");
                    taddstr(ecgetstr(state, EC_NODUP, nullptr));
                    taddstr(")) do");
                } else {
                    taddlist(state, int(*state->pc++));
                    if (for_type(code) == FOR_LIST) {
                        taddstr(" in ");
                        taddlist(state, int(*state->pc++));
                    }
                    taddnl();
                    taddstr("do");
                }
                ts.tindent++;
                taddnl();
                tpush(code, 1);
            } else {
                dec_tindent();
                taddnl();
                taddstr("done");
                stack = 1;
            }
            break;
        case CODE_SELECT:
            if (!s) {
                taddstr("select ");
                taddstr(ecgetstr(state, EC_NODUP, nullptr));
                if (select_type(code) == SELECT_LIST) {
                    taddstr(" in ");
                    taddlist(state, int(*state->pc++));
                }
                taddnl();
                taddstr("do");
                ts.tindent++;
                taddnl();
                tpush(code, 1);
            } else {
                dec_tindent();
                taddnl();
                taddstr("done");
                stack = 1;
            }
            break;
        case CODE_WHILE:
            if (!s) {
                taddstr(while_type(code) == WHILE_UNTIL ? "until " : "while ");
                ts.tindent++;
                tpush(code, 0);
            } else if (!s->pop) {
                dec_tindent();
                taddnl();
                taddstr("do");
                ts.tindent++;
                taddnl();
                s->pop = 1;
            } else {
                dec_tindent();
                taddnl();
                taddstr("done");
                stack = 1;
            }
            break;
        case CODE_REPEAT:
            if (!s) {
                taddstr("repeat ");
                taddstr(ecgetstr(state, EC_NODUP, nullptr));
                taddnl();
                taddstr("do");
                ts.tindent++;
                taddnl();
                tpush(code, 1);
            } else {
                dec_tindent();
                taddnl();
                taddstr("done");
                stack = 1;
            }
            break;
        case CODE_CASE:
            if (!s) {
                wordcode *end = state->pc + case_skip(code);
                taddstr("case ");
                taddstr(ecgetstr(state, EC_NODUP, nullptr));
                taddstr(" in");
                if (state->pc >= end) {
                    if (ts.tnewlins)
                        taddnl();
                    else
                        taddchr(' ');
                    taddstr("esac");
                    stack = 1;
                } else {
                    ts.tindent++;
                    if (ts.tnewlins)
                        taddnl();
                    else
                        taddchr(' ');
                    taddstr("(");
                    code = *state->pc++;
                    taddstr(ecgetstr(state, EC_NODUP, nullptr));
                    state->pc++;
                    taddstr(") ");
                    ts.tindent++;
                    n = tpush(code, 0);
                    n->end = end;
                    n->pop = state->pc - 2 + case_skip(code) >= end;
                }
            } else if (state->pc < s->end) {
                dec_tindent();
                taddstr(case_type(code) == CASE_OR ? " ;;" : ";&");
                if (ts.tnewlins)
                    taddnl();
                else
                    taddchr(' ');
                taddstr("(");
                code = *state->pc++;
                taddstr(ecgetstr(state, EC_NODUP, nullptr));
                state->pc++;
                taddstr(") ");
                ts.tindent++;
                s->code = code;
                s->pop = state->pc - 2 + case_skip(code) >= s->end;
            } else {
                dec_tindent();
                taddstr(case_type(code) == CASE_OR ? " ;;" : ";&");
                dec_tindent();
                if (ts.tnewlins)
                    taddnl();
                else
                    taddchr(' ');
                taddstr("esac");
                stack = 1;
            }
            break;
        case CODE_IF:
            if (!s) {
                wordcode *end = state->pc + if_skip(code);
                taddstr("if ");
                ts.tindent++;
                state->pc++;
                n = tpush(code, 0);
                n->end = end;
                n->cond = 1;
            } else if (s->pop) {
                stack = 1;
            } else if (s->cond) {
                dec_tindent();
                taddnl();
                taddstr("then");
                ts.tindent++;
                taddnl();
                s->cond = 0;
            } else if (state->pc < s->end) {
                dec_tindent();
                taddnl();
                code = *state->pc++;
                if (if_type(code) == IF_ELIF) {
                    taddstr("elif ");
                    ts.tindent++;
                    s->cond = 1;
                } else {
                    taddstr("else");
                    ts.tindent++;
                    taddnl();
                }
            } else {
                s->pop = 1;
                dec_tindent();
                taddnl();
                taddstr("fi");
                stack = 1;
            }
            break;
        case CODE_COND: {
            wordcode ctype;
            if (!s) {
                taddstr("[[ ");
                n = tpush(code, 1);
                n->par = 2;
            } else if (s->par == 2) {
                taddstr(" ]]");
                stack = 1;
                break;
            } else if (s->par == 1) {
                taddstr(" )");
                stack = 1;
                break;
            } else if (cond_type(s->code) == COND_AND) {
                taddstr(" && ");
                code = *state->pc++;
                if (cond_type(code) == COND_OR) {
                    taddstr("( ");
                    n = tpush(code, 1);
                    n->par = 1;
                }
            } else if (cond_type(s->code) == COND_OR) {
                taddstr(" || ");
                code = *state->pc++;
                if (cond_type(code) == COND_AND) {
                    taddstr("( ");
                    n = tpush(code, 1);
                    n->par = 1;
                }
            }
            while (!stack) {
                switch ((ctype = cond_type(code))) {
                case COND_NOT:
                    taddstr("! ");
                    code = *state->pc++;
                    if (cond_type(code) <= COND_OR) {
                        taddstr("( ");
                        n = tpush(code, 1);
                        n->par = 1;
                    }
                    break;
                case COND_AND:
                case COND_OR:
                    n = tpush(code, 1);
                    n->par = 0;
                    code = *state->pc++;
                    if (cond_type(code) == (ctype == COND_AND ? COND_OR : COND_AND)) {
                        taddstr("( ");
                        n = tpush(code, 1);
                        n->par = 1;
                    }
                    break;
                case COND_MOD:
                    taddstr(ecgetstr(state, EC_NODUP, nullptr));
                    taddchr(' ');
                    taddlist(state, int(cond_skip(code)));
                    stack = 1;
                    break;
                case COND_MODI: {
                    char *name = ecgetstr(state, EC_NODUP, nullptr);
                    taddstr(ecgetstr(state, EC_NODUP, nullptr));
                    taddchr(' ');
                    taddstr(name);
                    taddchr(' ');
                    taddstr(ecgetstr(state, EC_NODUP, nullptr));
                    stack = 1;
                    break;
                }
                case COND_REGEX:
                    taddstr(ecgetstr(state, EC_NODUP, nullptr));
                    taddstr(" =~ ");
                    taddstr(ecgetstr(state, EC_NODUP, nullptr));
                    stack = 1;
                    break;
                default:
                    if (ctype <= COND_GE) {
                        taddstr(ecgetstr(state, EC_NODUP, nullptr));
                        taddstr(" ");
                        taddstr(c1[ctype - COND_STREQ]);
                        taddstr(" ");
                        taddstr(ecgetstr(state, EC_NODUP, nullptr));
                        if (ctype == COND_STREQ || ctype == COND_STRNEQ)
                            state->pc++;
                    } else {
                        char c2[4] = {'-', char(ctype), ' ', '\0'};
                        taddstr(c2);
                        taddstr(ecgetstr(state, EC_NODUP, nullptr));
                    }
                    stack = 1;
                    break;
                }
            }
            break;
        }
        case CODE_ARITH:
            taddstr("((");
            taddstr(ecgetstr(state, EC_NODUP, nullptr));
            taddstr("))");
            stack = 1;
            break;
        case CODE_END:
            // An empty body: the construct around it goes on.
            if (!ts.tstack)
                return;
            stack = 1;
            break;
        default:
            return;
        }
    }
}

void runtext(Eprog *prog, wordcode *c)
{
    ExecState s;
    s.prog = prog;
    s.pc = c ? c : prog->prog;
    s.string_table = prog->string_table;
    ts.tstack = ts.tfree = nullptr;
    HeapGuard hg;
    gettext2(&s);
    freetstacks();
}

}  // namespace

char *getpermtext(Eprog *prog, wordcode *c, int start_indent)
{
    TextState saved = ts;
    useeprog(prog);
    ts.tnewlins = true;
    ts.tsiz = 32;
    ts.tbuf = static_cast<char *>(qalloc(ts.tsiz));
    ts.tptr = ts.tbuf;
    ts.tlim = ts.tbuf + ts.tsiz;
    ts.tindent = start_indent;
    ts.tjob = false;
    if (prog->len)
        runtext(prog, c);
    *ts.tptr = '\0';
    freeeprog(prog);
    char *ret = ts.tbuf;
    untokenize(ret);
    ts = saved;
    return ret;
}

char *getjobtext(Eprog *prog, wordcode *c)
{
    static char jbuf[JOBTEXTSIZE];
    TextState saved = ts;
    useeprog(prog);
    ts.tnewlins = false;
    ts.tbuf = nullptr;
    ts.tptr = jbuf;
    ts.tlim = ts.tptr + JOBTEXTSIZE - 1;
    ts.tindent = 1;
    ts.tjob = true;
    if (prog->len)
        runtext(prog, c);
    *ts.tptr = '\0';
    freeeprog(prog);
    untokenize(jbuf);
    ts = saved;
    return jbuf;
}

void getredirs(LinkList *redirs)
{
    static const char *const fstr[] = {">", ">|", ">>", ">>|", "&>", "&>|", "&>>", "&>>|", "<>", "<",
                                       "<<", "<<-", "<<<", "<&", ">&", nullptr, "<", ">"};
    taddchr(' ');
    for (LinkNode *n = firstnode(redirs); n; incnode(n)) {
        Redir *f = static_cast<Redir *>(getdata(n));
        switch (f->type) {
        case RT_HEREDOC:
        case RT_HEREDOC_TABS:
        case RT_CLOSE:
            break;
        default:
            if (f->type < 0 || f->type > RT_PROC_OUT)
                break;
            if (f->fd1 != (rt_isread(f->type) ? 0 : 1)) {
                char num[16];
                snprintf(num, sizeof num, "%d", f->fd1);
                taddstr(num);
            }
            taddstr(fstr[f->type]);
            taddchr(' ');
            if (f->type == RT_HERESTRING)
                taddherestr(f->name);
            else
                taddstr(f->name);
            taddchr(' ');
            break;
        }
    }
    ts.tptr--;
}
