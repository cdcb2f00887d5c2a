// Compound commands: for, select, while/until, repeat, if and case, and
// the builtins that steer them.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "jobs/jobs.h"
#include "params/params.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

// After a body: whether the loop goes on (break and continue levels).
static bool loopgoeson()
{
    if (breaks) {
        breaks--;
        if (breaks || !contflag)
            return false;
        contflag = 0;
    }
    return !retflag;
}

// A loop's arena level, pushed on entry and popped on every way out.
struct LoopFrame {
    explicit LoopFrame(int cs)
    {
        pushheap();
        cmdpush(cs);
        loops++;
    }
    ~LoopFrame()
    {
        loops--;
        cmdpop();
        popheap();
    }
    LoopFrame(const LoopFrame &) = delete;
    LoopFrame &operator=(const LoopFrame &) = delete;
};

static void tracemath(const char *s)
{
    if (isset(XTRACE)) {
        printprompt4();
        fprintf(xtrerr, "%s\n", s);
        fflush(xtrerr);
    }
}

// The words of a for or select: expanded and globbed.
static LinkList *loopwords(ExecState *state, int n)
{
    LinkList *vars = ecgetlist(state, n, EC_DUPTOK, nullptr);
    if (!vars)
        return newlinklist();
    prefork(vars, 0);
    if (!errflag)
        globlist(vars, 0);
    return vars;
}

int execfor(ExecState *state, int do_exec)
{
    wordcode code = state->pc[-1];
    wordcode *end = state->pc + for_skip(code);
    int type = int(for_type(code));
    LinkList *names = nullptr, *words = nullptr;
    char *cond = nullptr, *step = nullptr;
    if (type == FOR_COND) {
        char *init = ecgetstr(state, EC_DUPTOK, nullptr);
        cond = ecgetstr(state, EC_DUPTOK, nullptr);
        step = ecgetstr(state, EC_DUPTOK, nullptr);
        singsub(&init);
        tracemath(init);
        if (*init)
            mathevali(init);
        if (errflag) {
            state->pc = end;
            return 1;
        }
    } else {
        int n = int(*state->pc++);
        names = ecgetlist(state, n, EC_DUP, nullptr);
        if (type == FOR_LIST) {
            int m = int(*state->pc++);
            words = loopwords(state, m);
            if (errflag) {
                state->pc = end;
                return 1;
            }
            if (empty(words)) {
                state->pc = end;
                return 0;
            }
        } else {
            words = newlinklist();
            for (char **p = pparams; *p; p++)
                addlinknode(words, dupstring(*p));
        }
    }
    wordcode *body = state->pc;
    lastval = 0;
    LoopFrame lf(CS_FOR);
    LinkNode *wn = words ? firstnode(words) : nullptr;
    for (;;) {
        bool last = false;
        if (type == FOR_COND) {
            char *c = dupstring(cond);
            if (has_token(c))
                singsub(&c);
            while (iblank(static_cast<unsigned char>(*c)))
                c++;
            if (*c) {
                tracemath(c);
                int64_t v = mathevali(c);
                if (errflag) {
                    lastval = 1;
                    break;
                }
                if (!v)
                    break;
            }
        } else {
            if (!wn)
                break;
            for (LinkNode *nn = firstnode(names); nn; nn = nextnode(nn)) {
                char *val;
                if (wn) {
                    val = static_cast<char *>(getdata(wn));
                    wn = nextnode(wn);
                } else {
                    val = dupstring("");
                }
                untokenize(val);
                char *name = static_cast<char *>(getdata(nn));
                if (isset(XTRACE)) {
                    printprompt4();
                    fprintf(xtrerr, "%s=%s\n", name, val);
                    fflush(xtrerr);
                }
                setsparam(name, qtrdup(val));
            }
            last = !wn;
        }
        state->pc = body;
        execlist(state, 1, do_exec && last);
        if (!loopgoeson())
            break;
        if (type == FOR_COND && !errflag) {
            char *s = dupstring(step);
            if (has_token(s))
                singsub(&s);
            if (*s) {
                tracemath(s);
                mathevali(s);
            }
            if (errflag) {
                lastval = 1;
                break;
            }
        }
        if (errflag) {
            lastval = 1;
            break;
        }
        // The word list was made before the loop's arena level.
        freeheap();
    }
    state->pc = end;
    return int(lastval);
}

// Print the select menu on standard error; returns the next row to show
// when the terminal was too short, else 0.
static int selectlist(LinkList *words, int start)
{
    if (trashkedptr)
        trashkedptr();
    int ct = countlinknodes(words);
    size_t longest = 0;
    for (LinkNode *n = firstnode(words); n; n = nextnode(n)) {
        size_t l = size_t(qtrlen(static_cast<char *>(getdata(n))));
        if (l > longest)
            longest = l;
    }
    longest++;
    for (int t = ct; t; t /= 10)
        longest++;
    int cols = tccolumns > 0 ? tccolumns : 80, rows = tclines > 0 ? tclines : 24;
    int fct = (cols - 1) / int(longest + 3), fw;
    if (fct == 0) {
        fct = 1;
        fw = 0;
    } else {
        fw = (cols - 1) / fct;
    }
    int colsz = (ct + fct - 1) / fct;
    char **arr = static_cast<char **>(qhalloc(sizeof(char *) * size_t(ct + 1)));
    int i = 0;
    for (LinkNode *n = firstnode(words); n; n = nextnode(n))
        arr[i++] = static_cast<char *>(getdata(n));
    int t1;
    for (t1 = start; t1 != colsz && t1 - start < rows - 2; t1++) {
        for (int k = t1; k < ct; k += colsz) {
            int w = fprintf(stderr, "%d) ", k + 1);
            niceqputs(arr[k], stderr);
            w += qtrlen(arr[k]);
            if (k + colsz < ct)
                for (; w < fw; w++)
                    fputc(' ', stderr);
        }
        fputc('\n', stderr);
    }
    fflush(stderr);
    return t1 < colsz ? t1 : 0;
}

int execselect(ExecState *state, int do_exec)
{
    wordcode code = state->pc[-1];
    wordcode *end = state->pc + select_skip(code);
    char *name = ecgetstr(state, EC_DUP, nullptr);
    LinkList *words;
    if (select_type(code) == SELECT_LIST) {
        words = loopwords(state, int(*state->pc++));
    } else {
        words = newlinklist();
        for (char **p = pparams; *p; p++)
            addlinknode(words, dupstring(*p));
    }
    if (errflag || empty(words)) {
        state->pc = end;
        return 1;
    }
    wordcode *body = state->pc;
    lastval = 0;
    LoopFrame lf(CS_SELECT);
    int more = selectlist(words, 0);
    for (;;) {
        char *line = getbufferline();
        if (!line) {
            char *p3 = getsparam("PS3");
            if (p3) {
                char *pr = promptexpand(p3, 0, nullptr, nullptr);
                qputs(pr, stderr);
                qsfree(pr);
                fflush(stderr);
            }
            char buf[256];
            size_t n = 0;
            bool got = false;
            syncreadahead();
            for (;;) {
                char c;
                ssize_t r = read(0, &c, 1);
                if (r <= 0)
                    break;
                got = true;
                if (c == '\n')
                    break;
                if (n < sizeof buf - 1)
                    buf[n++] = c;
            }
            if (!got) {
                if (breaks)
                    breaks--;
                fputc('\n', stderr);
                fflush(stderr);
                break;
            }
            buf[n] = '\0';
            line = metafy(buf, int(n), META_HEAPDUP);
        }
        if (!*line) {
            more = selectlist(words, more);
            continue;
        }
        setsparam("REPLY", qtrdup(line));
        int i = atoi(line);
        char *val = dupstring("");
        if (i > 0) {
            LinkNode *n = firstnode(words);
            for (int k = 1; n && k < i; k++)
                n = nextnode(n);
            if (n)
                val = static_cast<char *>(getdata(n));
        }
        setsparam(name, qtrdup(val));
        state->pc = body;
        execlist(state, 1, 0);
        (void)do_exec;
        if (!loopgoeson() || errflag)
            break;
    }
    state->pc = end;
    return int(lastval);
}

int execwhile(ExecState *state, int)
{
    wordcode code = state->pc[-1];
    wordcode *end = state->pc + while_skip(code);
    bool isuntil = while_type(code) == WHILE_UNTIL;
    int oldnoerrexit = noerrexit;
    wordcode *cond = state->pc;
    LoopFrame lf(isuntil ? CS_UNTIL : CS_WHILE);
    // An empty condition and body: spin until interrupted.
    if (code_type(*cond) == CODE_END && code_type(cond[1]) == CODE_END) {
        int os = simple_pline;
        simple_pline = 1;
        while (!breaks && !errflag)
            ;
        if (breaks)
            breaks--;
        simple_pline = os;
        state->pc = end;
        return int(lastval);
    }
    int64_t oldval = 0;
    lastval = 0;
    for (;;) {
        state->pc = cond;
        noerrexit = 1;
        execlist(state, 1, 0);
        noerrexit = oldnoerrexit;
        // A return in the condition returns its own status.
        if (retflag)
            break;
        if (isuntil ? !lastval : lastval) {
            if (breaks)
                breaks--;
            lastval = oldval;
            break;
        }
        execlist(state, 1, 0);
        if (!loopgoeson())
            break;
        if (errflag) {
            lastval = 1;
            break;
        }
        freeheap();
        oldval = lastval;
    }
    state->pc = end;
    return int(lastval);
}

int execrepeat(ExecState *state, int)
{
    wordcode *end = state->pc + repeat_skip(state->pc[-1]);
    lastval = 0;
    char *tmp = ecgetstr(state, EC_DUPTOK, nullptr);
    if (has_token(tmp))
        singsub(&tmp);
    long count = atol(tmp);
    wordcode *body = state->pc;
    LoopFrame lf(CS_REPEAT);
    while (count-- > 0) {
        state->pc = body;
        execlist(state, 1, 0);
        freeheap();
        if (!loopgoeson())
            break;
        if (errflag) {
            lastval = 1;
            break;
        }
    }
    state->pc = end;
    return int(lastval);
}

int execif(ExecState *state, int do_exec)
{
    wordcode *end = state->pc + if_skip(state->pc[-1]);
    int olderrexit = noerrexit;
    if (!noerrexit)
        noerrexit = 1;
    int s = 0, run = 0;
    wordcode code;
    while (state->pc < end) {
        code = *state->pc++;
        if (code_type(code) != CODE_IF || if_type(code) == IF_HEAD)
            break;
        wordcode *next = state->pc + if_skip(code);
        if (if_type(code) == IF_ELSE) {
            run = 2;
            break;
        }
        cmdpush(s ? CS_ELIF : CS_IF);
        execlist(state, 1, 0);
        cmdpop();
        if (retflag)
            break;
        if (!lastval) {
            run = 1;
            break;
        }
        s = 1;
        state->pc = next;
    }
    noerrexit = olderrexit;
    if (run) {
        cmdpush(run == 2 ? CS_ELSE : (s ? CS_ELIFTHEN : CS_IFTHEN));
        execlist(state, 1, do_exec);
        cmdpop();
    } else if (!retflag) {
        lastval = 0;
    }
    state->pc = end;
    return int(lastval);
}

int execcase(ExecState *state, int do_exec)
{
    wordcode *end = state->pc + case_skip(state->pc[-1]);
    char *word = ecgetstr(state, EC_DUP, nullptr);
    singsub(&word);
    untokenize(word);
    // In sh emulation $? in a body starts as the status before the case.
    bool keepstatus = emulating(EMULATE_SH);
    int64_t before = lastval;
    bool matched = false;
    if (!keepstatus)
        lastval = 0;
    cmdpush(CS_CASE);
    while (state->pc < end) {
        wordcode code = *state->pc++;
        if (code_type(code) != CODE_CASE)
            break;
        wordcode *next = state->pc + case_skip(code);
        char *pat = ecgetstr(state, EC_NODUP, nullptr);
        int slot = int(*state->pc++);
        if (isset(XTRACE)) {
            char *opat = dupstring(pat);
            singsub(&opat);
            untokenize(opat);
            printprompt4();
            fprintf(xtrerr, "case %s (%s)\n", word, opat);
            fflush(xtrerr);
        }
        Patprog *pprog = slotpatprog(state->prog, slot, pat, 0);
        if (!pprog) {
            char *shown = dupstring(pat);
            untokenize(shown);
            qwarn("bad pattern: %s", shown, 0);
        }
        if (pprog && pattry(pprog, word)) {
            matched = true;
            lastval = keepstatus && code_type(*state->pc) != CODE_END ? before : 0;
            execlist(state, 1, do_exec && case_type(code) == CASE_OR);
            while (!retflag && case_type(code) == CASE_AND && next < end) {
                state->pc = next;
                code = *state->pc++;
                next = state->pc + case_skip(code);
                state->pc++;  // pattern
                state->pc++;  // slot
                execlist(state, 1, do_exec && case_type(code) == CASE_OR);
            }
            break;
        }
        state->pc = next;
    }
    if (!matched)
        lastval = 0;
    cmdpop();
    state->pc = end;
    return int(lastval);
}

int bin_break(char *name, char **argv, BuiltinOptions *, int func)
{
    int64_t num = lastval;
    bool nump = false;
    if (*argv) {
        num = mathevali(*argv);
        nump = true;
    }
    switch (func) {
    case BIN_CONTINUE:
    case BIN_BREAK:
        if (!loops) {
            qerrnam(name, "not in while, until, select, or repeat loop", nullptr, 0);
            return 1;
        }
        // A count that is not a positive number would leave the loop
        // running, perhaps for ever.
        if (errflag)
            return 1;
        if (nump && num < 1) {
            qerrnam(name, "argument must be positive: %s", *argv, 0);
            return 1;
        }
        if (func == BIN_CONTINUE)
            contflag = 1;
        breaks = nump ? int(num < loops ? num : loops) : 1;
        return 0;
    case BIN_RETURN:
        if (isset(INTERACTIVE) || locallevel || sourcelevel) {
            retflag = 1;
            breaks = loops;
            lastval = num;
            if (trapreturn == -2)
                trapreturn = int(lastval);
            return int(lastval);
        }
        break;
    case BIN_LOGOUT:
        if (unset(LOGIN)) {
            qerrnam(name, "not login shell", nullptr, 0);
            return 1;
        }
        break;
    default:
        break;
    }
    // exit, bye, logout, and return outside a function.
    if (locallevel > forklevel) {
        if (!stopmsg) {
            qexit(0, 2);
            if (stopmsg)
                return 0;
        }
        retflag = 1;
        breaks = loops;
        exit_pending = int((num << 1) + 1);
        return 0;
    }
    qexit(num, 0);
    return 0;
}
