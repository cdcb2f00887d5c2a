// Conditional expressions: [[ ... ]], and the evaluator test and [ share.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "modules/module.h"
#include "params/params.h"

#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

static int tracingcond;
// Set when a bad regular expression ends the condition: [[ ]] then gives 2.
static int condbadregex;
static constexpr const char *condnames[] = {
    "!", "&&", "||", "==", "!=", "<", ">", "-nt", "-ot", "-ef", "-eq", "-ne", "-lt", "-gt", "-le", "-ge",
};

static void condtrace(const char *fmt, const char *s)
{
    if (tracingcond) {
        fprintf(xtrerr, fmt, s);
    }
}

// stat of a test operand; /dev/fd/N tests descriptor N.
static int condstat(const char *name, struct stat *st, bool link)
{
    if (!strncmp(name, "/dev/fd/", 8)) {
        const char *p = name + 8;
        if (idigit(static_cast<unsigned char>(*p))) {
            char *end;
            long fd = strtol(p, &end, 10);
            if (!*end)
                return fstat(int(fd), st);
        }
    }
    const char *u = unmeta(name);
    if (!u)
        return -1;
    return link ? lstat(u, st) : stat(u, st);
}

template <class T> static int numcompare(int ctype, T a, T b)
{
    switch (ctype) {
    case COND_EQ: return a == b;
    case COND_NE: return a != b;
    case COND_LT: return a < b;
    case COND_GT: return a > b;
    case COND_LE: return a <= b;
    default: return a >= b;
    }
}

static char *condoperand(ExecState *state)
{
    int tok;
    char *s = ecgetstr(state, EC_DUPTOK, &tok);
    if (tok) {
        singsub(&s);
        untokenize(s);
    }
    return s;
}

// string =~ regex, setting the match parameters on a match.
static int evalregex(ExecState *state);
// A leaf of the condition tree: a unary or binary test.
static int evalleaf(ExecState *state, int ctype, const char *fromtest);
// The operators on strings, numbers and files, once the operands are known.
static int binarytest(int ctype, char *left, char *right);
static int unarytest(int ctype, char *left, const char *fromtest);

// Chains of ! and the right operands of && and || are walked in a loop,
// so a long condition never deepens the stack.
int evalcond(ExecState *state, const char *fromtest)
{
    int neg = 0;
    for (;;) {
        wordcode code = *state->pc++;
        int ctype = int(cond_type(code));
        if (ctype == COND_NOT) {
            condtrace(" %s", "!");
            neg ^= 1;
            continue;
        }
        if (ctype == COND_AND || ctype == COND_OR) {
            // The skip leads past both operands; the right one follows.
            wordcode *end = state->pc + cond_skip(code);
            int l = evalcond(state, fromtest);
            if (condbadregex) {
                state->pc = end;
                return 0;
            }
            if (ctype == COND_AND ? !l : l) {
                state->pc = end;
                return neg ^ (ctype == COND_OR);
            }
            condtrace(" %s", ctype == COND_AND ? "&&" : "||");
            continue;
        }
        if (ctype == COND_MOD || ctype == COND_MODI)
            return neg ^ !!evalmodcond(state, code, fromtest);
        if (ctype == COND_REGEX)
            return neg ^ !!evalregex(state);
        return neg ^ !!evalleaf(state, ctype, fromtest);
    }
}

static int evalleaf(ExecState *state, int ctype, const char *fromtest)
{
    char *left = condoperand(state);
    // Binary operators have the low codes; unary ones are their letter,
    // upper case ones (-L, -S, -O, -G, -N) included.
    bool binary = ctype >= int(COND_STRLT) && ctype <= int(COND_GE);
    char *right = binary ? condoperand(state) : nullptr;
    if (tracingcond) {
        if (ctype > int(COND_MODI)) {
            fprintf(xtrerr, " -%c ", ctype);
            quotedqputs(left, xtrerr);
        } else if (right) {
            fputc(' ', xtrerr);
            quotedqputs(left, xtrerr);
            fprintf(xtrerr, " %s ", condnames[ctype]);
            quotedqputs(right, xtrerr);
        }
    }
    switch (ctype) {
    case COND_STREQ:
    case COND_STRNEQ: {
        char *pat = ecgetstr(state, EC_NODUP, nullptr);
        int slot = int(*state->pc++);
        if (tracingcond) {
            char *op = dupstring(pat);
            singsub(&op);
            untokenize(op);
            fputc(' ', xtrerr);
            quotedqputs(left, xtrerr);
            fprintf(xtrerr, " %s ", condnames[ctype]);
            quotedqputs(op, xtrerr);
        }
        Patprog *pp = slotpatprog(state->prog, slot, pat, 0);
        if (!pp) {
            char *shown = dupstring(pat);
            untokenize(shown);
            qwarn("bad pattern: %s", shown, 0);
            return ctype == COND_STRNEQ;
        }
        int m = pattry(pp, left);
        return ctype == COND_STREQ ? m : !m;
    }
    default:
        if (binary)
            return binarytest(ctype, left, right);
        return unarytest(ctype, left, fromtest);
    }
}

// ---- string =~ regex ----

// A bad regular expression: the message, and the condition ends with 2.
static int badregex(int rc, regex_t *rx, const char *re)
{
    char buf[256];
    if (rx)
        regerror(rc, rx, buf, sizeof buf);
    else
        snprintf(buf, sizeof buf, "null character");
    buf[0] = char(tulower(static_cast<unsigned char>(buf[0])));
    char *shown = dupstring(re);
    untokenize(shown);
    qwarn("bad regex: %s", qhtricat("`", shown, dyncat("': ", buf)), 0);
    condbadregex = 1;
    return 0;
}

// Metafied copy of bytes from..to of the unmetafied subject.
static char *resubject(const char *subj, regoff_t from, regoff_t to)
{
    return metafy(const_cast<char *>(subj + from), int(to - from), META_HEAPDUP);
}

// The parameters a match sets: MATCH, MBEGIN, MEND and the arrays match,
// mbegin, mend as for a pattern with (#m) and (#b), or with bashrematch
// only BASH_REMATCH.  Offsets count the bytes of the unmetafied subject,
// which is how patterns count a metafied pair: as one character.
static void setregexrefs(const char *subj, regmatch_t *m, size_t ngroups)
{
    if (isset(BASHREMATCH)) {
        char **a = qhnew<char *>(ngroups + 2);
        for (size_t i = 0; i <= ngroups; i++)
            a[i] = m[i].rm_so < 0 ? dupstring("") : resubject(subj, m[i].rm_so, m[i].rm_eo);
        a[ngroups + 1] = nullptr;
        setaparam("BASH_REMATCH", qarrdup(a));
        return;
    }
    int ksh = isset(KSHARRAYS) ? 1 : 0;
    if (patsetmatchptr)
        patsetmatchptr(resubject(subj, m[0].rm_so, m[0].rm_eo), long(m[0].rm_so) + 1 - ksh, long(m[0].rm_eo) - ksh);
    if (!patsetcapturesptr)
        return;
    char **mt = qhnew<char *>(ngroups + 1);
    char **mb = qhnew<char *>(ngroups + 1);
    char **me = qhnew<char *>(ngroups + 1);
    char num[32];
    for (size_t i = 1; i <= ngroups; i++) {
        // A group that took no part in the match, as (#b) shows one.
        if (m[i].rm_so < 0) {
            mt[i - 1] = dupstring("");
            mb[i - 1] = dupstring("-1");
            me[i - 1] = dupstring("-1");
            continue;
        }
        mt[i - 1] = resubject(subj, m[i].rm_so, m[i].rm_eo);
        snprintf(num, sizeof num, "%ld", long(m[i].rm_so) + 1 - ksh);
        mb[i - 1] = dupstring(num);
        snprintf(num, sizeof num, "%ld", long(m[i].rm_eo) - ksh);
        me[i - 1] = dupstring(num);
    }
    mt[ngroups] = mb[ngroups] = me[ngroups] = nullptr;
    patsetcapturesptr(mt, mb, me);
}

static int evalregex(ExecState *state)
{
    char *left = condoperand(state);
    char *word = ecgetstr(state, EC_DUPTOK, nullptr);
    if (errflag)
        return 0;
    char *re = regexsubst(word);
    if (!re)
        return 0;
    if (tracingcond) {
        fputc(' ', xtrerr);
        quotedqputs(left, xtrerr);
        fputs(" =~ ", xtrerr);
        quotedqputs(re, xtrerr);
    }
    // The library sees plain bytes; a NUL would silently cut the
    // expression short, so it is refused.
    int relen;
    char *ure = unmetafy(dupstring(re), &relen);
    if (memchr(ure, '\0', size_t(relen)))
        return badregex(0, nullptr, re);
    // Classes, ranges and what one character is come from the locale.
    ensurelocale();
    regex_t rx;
    int rc = regcomp(&rx, ure, REG_EXTENDED);
    if (rc) {
        badregex(rc, &rx, re);
        regfree(&rx);
        return 0;
    }
    int slen;
    char *subj = unmetafy(dupstring(left), &slen);
    size_t ngroups = rx.re_nsub;
    regmatch_t *m = qhnew<regmatch_t>(ngroups + 1);
    int eflags = 0;
#ifdef REG_STARTEND
    // The whole subject is matched, NUL bytes included.
    m[0].rm_so = 0;
    m[0].rm_eo = slen;
    eflags |= REG_STARTEND;
#endif
    rc = regexec(&rx, subj, ngroups + 1, m, eflags);
    if (rc && rc != REG_NOMATCH)
        badregex(rc, &rx, re);
    regfree(&rx);
    if (rc) {
        // A failed match leaves the pattern parameters alone, as a pattern
        // does; BASH_REMATCH is emptied, so no stale match is read.
        if (rc == REG_NOMATCH && isset(BASHREMATCH)) {
            char *none[] = {nullptr};
            setaparam("BASH_REMATCH", qarrdup(none));
        }
        return 0;
    }
    setregexrefs(subj, m, ngroups);
    return 1;
}

static int binarytest(int ctype, char *left, char *right)
{
    switch (ctype) {
    case COND_STRLT:
        return strcmp(left, right) < 0;
    case COND_STRGTR:
        return strcmp(left, right) > 0;
    case COND_NT:
    case COND_OT: {
        struct stat a, b;
        if (condstat(left, &a, false) || condstat(right, &b, false))
            return 0;
        return ctype == COND_NT ? a.st_mtime > b.st_mtime : a.st_mtime < b.st_mtime;
    }
    case COND_EF: {
        struct stat a, b;
        if (condstat(left, &a, false) || condstat(right, &b, false))
            return 0;
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    }
    case COND_EQ:
    case COND_NE:
    case COND_LT:
    case COND_GT:
    case COND_LE:
    case COND_GE: {
        mnumber l = matheval(left);
        if (errflag)
            return 0;
        mnumber r = matheval(right);
        if (errflag)
            return 0;
        // Mixed integer and float operands compare as floats.
        if ((l.type | r.type) & MN_FLOAT)
            return numcompare(ctype, l.type & MN_FLOAT ? l.u.d : double(l.u.l),
                              r.type & MN_FLOAT ? r.u.d : double(r.u.l));
        return numcompare(ctype, l.u.l, r.u.l);
    }
    default:
        return 0;
    }
}

static int unarytest(int ctype, char *left, const char *fromtest)
{
    struct stat st;
    const char *u = unmeta(left);
    switch (ctype) {
    case 'a':
    case 'e':
        if (!strncmp(left, "/dev/fd/", 8))
            return !condstat(left, &st, false);
        return u && !access(u, F_OK);
    case 'b': return !condstat(left, &st, false) && S_ISBLK(st.st_mode);
    case 'c': return !condstat(left, &st, false) && S_ISCHR(st.st_mode);
    case 'd': return !condstat(left, &st, false) && S_ISDIR(st.st_mode);
    case 'f': return !condstat(left, &st, false) && S_ISREG(st.st_mode);
    case 'g': return !condstat(left, &st, false) && (st.st_mode & S_ISGID);
    case 'k': return !condstat(left, &st, false) && (st.st_mode & S_ISVTX);
    case 'n': return *left != 0;
    case 'o': {
        int o;
        if (left[0] && !left[1])
            o = optlookupc(left[0]);
        else
            o = optlookup(left);
        if (!o) {
            qwarnnam(fromtest, "no such option: %s", left, 0);
            return 0;
        }
        return o > 0 ? isset(o) : unset(-o);
    }
    case 'p': return !condstat(left, &st, false) && S_ISFIFO(st.st_mode);
    case 'r': return u && !access(u, R_OK);
    case 'w': return u && !access(u, W_OK);
    case 's': return !condstat(left, &st, false) && st.st_size > 0;
    case 'S': return !condstat(left, &st, false) && S_ISSOCK(st.st_mode);
    case 'u': return !condstat(left, &st, false) && (st.st_mode & S_ISUID);
    case 'x':
        if (geteuid() == 0 && !condstat(left, &st, false))
            return (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) || S_ISDIR(st.st_mode);
        return u && !access(u, X_OK);
    case 'z': return *left == 0;
    case 'h':
    case 'L': return !condstat(left, &st, true) && S_ISLNK(st.st_mode);
    case 'O': return !condstat(left, &st, false) && st.st_uid == geteuid();
    case 'G': return !condstat(left, &st, false) && st.st_gid == getegid();
    case 'N': return !condstat(left, &st, false) && st.st_atime <= st.st_mtime;
    case 't': return isatty(int(mathevali(left)));
    default:
        qwarnnam(fromtest, "bad cond code", nullptr, 0);
        return 0;
    }
}

// Step over one condition without evaluating it.
void skipcond(ExecState *state)
{
    while (cond_type(*state->pc) == COND_NOT)
        state->pc++;
    wordcode code = *state->pc++;
    int ctype = int(cond_type(code));
    switch (ctype) {
    case COND_NOT:
        return;
    case COND_AND:
    case COND_OR:
        state->pc += cond_skip(code);
        return;
    case COND_MOD:
        state->pc += cond_skip(code) + 1;
        return;
    case COND_MODI:
        state->pc += 3;
        return;
    case COND_STREQ:
    case COND_STRNEQ:
        state->pc += 3;
        return;
    case COND_REGEX:
        state->pc += 2;
        return;
    default:
        state->pc += ctype >= 'a' ? 1 : 2;
        return;
    }
}

int execcond(ExecState *state, int)
{
    if (isset(XTRACE)) {
        printprompt4();
        fputs("[[", xtrerr);
        tracingcond++;
    }
    cmdpush(CS_COND);
    // The command's code word is the first node of the condition.
    state->pc--;
    int obad = condbadregex;
    condbadregex = 0;
    int r = !evalcond(state, nullptr);
    if (condbadregex)
        r = 2;
    condbadregex = obad;
    cmdpop();
    if (isset(XTRACE)) {
        fputs(" ]]\n", xtrerr);
        fflush(xtrerr);
        tracingcond--;
    }
    return r;
}

int execarith(ExecState *state, int)
{
    int tok;
    char *e = ecgetstr(state, EC_DUPTOK, &tok);
    // Text without a token has nothing to substitute.
    if (tok)
        singsub(&e);
    if (isset(XTRACE)) {
        printprompt4();
        fprintf(xtrerr, "((%s))\n", e);
        fflush(xtrerr);
    }
    cmdpush(CS_MATH);
    mnumber v = matheval(e);
    cmdpop();
    // An error counts as a false result, as for let.
    if (errflag) {
        errflag = 0;
        return 1;
    }
    bool zero = (v.type & MN_FLOAT) ? v.u.d == 0.0 : v.u.l == 0;
    return zero ? 1 : 0;
}

// ---- module conditions ----

int evalmodcond(ExecState *state, wordcode code, const char *fromtest)
{
    bool infix = cond_type(code) == COND_MODI;
    char *name = ecgetstr(state, EC_DUP, nullptr);
    int nargs = infix ? 2 : int(cond_skip(code));
    char **args = ecgetarr(state, nargs, EC_DUP, nullptr);
    Conddef *cd = getconddef(infix, name + 1, 1);
    if (!cd && !infix && args && args[0] && args[0][0] == '-') {
        // The first argument may name a prefix condition.
        Conddef *cd2 = getconddef(0, args[0] + 1, 1);
        if (cd2) {
            char **nargs2 = qhnew<char *>(size_t(nargs) + 1);
            nargs2[0] = name;
            for (int i = 1; i < nargs; i++)
                nargs2[i] = args[i];
            nargs2[nargs] = nullptr;
            name = args[0];
            args = nargs2;
            cd = cd2;
        }
    }
    if (!cd) {
        qwarnnam(fromtest, "unrecognized condition: `%s'", name, 0);
        return 0;
    }
    if (!infix && (nargs < cd->min || (cd->max >= 0 && nargs > cd->max))) {
        qwarnnam(fromtest, "unrecognized condition: `%s'", name, 0);
        return 0;
    }
    if (tracingcond) {
        if (infix)
            fprintf(xtrerr, " %s %s %s", args[0], name, args[1]);
        else {
            fprintf(xtrerr, " %s", name);
            for (int i = 0; i < nargs; i++)
                fprintf(xtrerr, " %s", args[i]);
        }
    }
    return cd->handler(args, cd->condid);
}

// ---- test and [ ----

static char **testargv;
static char *testcur;

static void testlex()
{
    if (tok == LX_ERROR)
        return;
    testcur = *testargv;
    tokstr = testcur;
    if (!testcur) {
        tok = tok == LX_NULL ? LX_ERROR : LX_NULL;
        // Once past the end, further reads give the error token.
        static int ended;
        (void)ended;
        return;
    }
    testargv++;
    testargs = testargv;
    if (!strcmp(testcur, "-o"))
        tok = LX_OROR;
    else if (!strcmp(testcur, "-a"))
        tok = LX_ANDAND;
    else if (!strcmp(testcur, "!"))
        tok = LX_BANG;
    else if (!strcmp(testcur, "("))
        tok = LX_LPAREN;
    else if (!strcmp(testcur, ")"))
        tok = LX_RPAREN;
    else
        tok = LX_WORD;
}

// The binary operators `test` knows, by name.
static int testbinaryop(const char *s)
{
    for (int t = COND_STRLT; t <= int(COND_GE); t++)
        if (!strcmp(s, condnames[t]))
            return t;
    return -1;
}

// The one- to three-argument forms that scripts use most, decided without
// the condition parser: a status, or -1 to take the general way (which
// also reports every error).
static int quicktest(char **argv, const char *name)
{
    int n = arrlen(argv);
    if (n == 1)
        return !*argv[0];
    if (n == 2) {
        const char *op = argv[0];
        if (!strcmp(op, "!"))
            return !!*argv[1];
        if (op[0] != '-' || !op[1] || op[2] || !strchr("abcdefghknprswxzLSOGN", op[1]))
            return -1;
        return !unarytest(op[1], argv[1], name);
    }
    if (n == 3) {
        const char *op = argv[1];
        if (!strcmp(op, "=") || !strcmp(op, "=="))
            return strcmp(argv[0], argv[2]) != 0;
        if (!strcmp(op, "!="))
            return !strcmp(argv[0], argv[2]);
        int t = testbinaryop(op);
        if (t == COND_STRLT || t == COND_STRGTR || t < 0)
            return -1;
        return !binarytest(t, argv[0], argv[2]);
    }
    return -1;
}

int bin_test(char *name, char **argv, BuiltinOptions *, int func)
{
    if (func == BIN_BRACKET) {
        int n = arrlen(argv);
        if (!n || strcmp(argv[n - 1], "]")) {
            qwarnnam(name, "']' expected", nullptr, 0);
            return 1;
        }
        argv = arrdup(argv);
        argv[n - 1] = nullptr;
    }
    if (!*argv)
        return 1;
    int quick = quicktest(argv, name);
    if (quick >= 0)
        return quick;
    LexGuard lg;
    testargv = argv;
    testargs = argv;
    tok = LX_WORD;
    condtesting = 1;
    void (*olex)() = condlex;
    condlex = testlex;
    testlex();
    Eprog *prog = parse_cond();
    condlex = olex;
    condtesting = 0;
    if (errflag) {
        errflag = 0;
        return 1;
    }
    if (!prog || tok == LX_ERROR) {
        qwarnnam(name, testcur ? "parse error" : "argument expected", nullptr, 0);
        return 1;
    }
    ExecState s;
    s.prog = prog;
    s.pc = prog->prog;
    s.string_table = prog->string_table;
    return !evalcond(&s, name);
}
