// The word expansion pipeline: substitutions in order, field splitting,
// quote removal, tilde expansion; globbing is called separately.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "jobs/jobs.h"
#include "modules/module.h"
#include "params/params.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string>

char nulstring[] = {char(TK_EMPTY), 0};
int substmadearray;

// ---- field splitting ----

LinkList *spacesplit(const char *s, int allownull, int heap, int quote)
{
    (void)heap;
    LinkList *l = newlinklist();
    const char *p = s;
    auto isws = [](const char *q) {
        const char *t = q;
        return iwsep(metachar(t));
    };
    auto issep = [](const char *q) {
        const char *t = q;
        return isep(metachar(t));
    };
    auto step = [](const char *&q) { metachar(q); };
    bool skipped = false;
    while (*p && isws(p)) {
        step(p);
        skipped = true;
    }
    if (skipped && !allownull)
        addlinknode(l, dupstring(""));
    if (*p && issep(p) && !isws(p)) {
        addlinknode(l, allownull ? dupstring("") : dupstring(nulstring));
    }
    // In sh emulation white space next to one other IFS character is part
    // of that one separator, as POSIX has it.
    bool posix = emulating(EMULATE_SH);
    while (*p) {
        if (issep(p)) {
            bool ws = isws(p);
            step(p);
            while (*p && isws(p))
                step(p);
            if (posix && ws && *p && issep(p)) {
                step(p);
                while (*p && isws(p))
                    step(p);
            }
            if (!*p)
                break;
        }
        const char *start = p;
        std::string field;
        while (*p && !issep(p)) {
            if (quote && *p == '\\' && p[1]) {
                p++;
            }
            const char *b = p;
            step(p);
            field.append(b, size_t(p - b));
        }
        (void)start;
        if (field.empty())
            addlinknode(l, allownull ? dupstring("") : dupstring(nulstring));
        else
            addlinknode(l, dupstrpfx(field.data(), field.size()));
    }
    if (!allownull && p > s) {
        const char *q = s + strlen(s);
        // Trailing white space yields a final empty field, dropped later.
        if (q > s && iwsep(static_cast<unsigned char>(q[-1])))
            addlinknode(l, dupstring(""));
    }
    return l;
}

char *sepjoin(char **arr, const char *sep, int heap)
{
    (void)heap;
    char sepbuf[3];
    if (!sep) {
        const char *i = ifs ? ifs : DEFAULT_IFS;
        size_t n = (*i == char(METACHAR)) ? 2 : (*i ? 1 : 0);
        memcpy(sepbuf, i, n);
        sepbuf[n] = '\0';
        sep = sepbuf;
    }
    if (!arr || !*arr)
        return dupstring("");
    size_t len = 0, sl = strlen(sep);
    for (char **a = arr; *a; a++)
        len += strlen(*a) + sl;
    char *r = static_cast<char *>(qhalloc(len + 1)), *t = r;
    for (char **a = arr; *a; a++) {
        if (a != arr) {
            memcpy(t, sep, sl);
            t += sl;
        }
        size_t l = strlen(*a);
        memcpy(t, *a, l);
        t += l;
    }
    *t = '\0';
    return r;
}

// ---- command substitution ----

LinkList *splitoutput(char *buf, size_t n, int quoted);

LinkList *readoutput(int in, int quoted)
{
    size_t cap = 64, n = 0;
    char *buf = static_cast<char *>(qalloc(cap));
    for (;;) {
        // The bytes are read into the top of the buffer and metafied down
        // into place: at most half the free room is read, so the growing
        // text never overtakes the bytes still to be copied.  The buffer
        // doubles while it is more than half full, so reads stay large.
        if (cap - n < cap / 2) {
            cap *= 2;
            buf = static_cast<char *>(qrealloc(buf, cap));
        }
        size_t room = (cap - n - 1) / 2;
        char *raw = buf + cap - room;
        ssize_t r = read(in, raw, room);
        if (r < 0) {
            if (errno == EINTR && !errflag)
                continue;
            break;
        }
        if (!r)
            break;
        for (ssize_t i = 0; i < r; i++) {
            unsigned char c = static_cast<unsigned char>(raw[i]);
            if (imeta(c)) {
                buf[n++] = char(METACHAR);
                buf[n++] = char(c ^ 32);
            } else {
                buf[n++] = char(c);
            }
        }
    }
    close(in);
    return splitoutput(buf, n, quoted);
}

// The words of a substitution's output (metafied, n bytes in buf, which
// is freed): trailing newlines dropped, split unless quoted.
LinkList *splitoutput(char *buf, size_t n, int quoted)
{
    while (n && buf[n - 1] == '\n')
        n--;
    buf[n] = '\0';
    LinkList *l;
    if (quoted) {
        l = newlinklist();
        addlinknode(l, n ? dupstring(buf) : dupstring(nulstring));
    } else {
        l = spacesplit(buf, 0, 1, 0);
        if (isset(GLOBSUBST))
            for (LinkNode *nd = firstnode(l); nd; nd = nextnode(nd))
                shtokenize(static_cast<char *>(getdata(nd)));
    }
    qfree(buf);
    return l;
}

// ---- substitutions run without a process ----
//
// A body that is one builtin printing its arguments ($(echo $i),
// $(printf %s "$x"), $(pwd)) runs in the shell itself, its output kept in
// memory, when nothing it does could reach the shell: no assignments or
// redirections, arguments that expand only plain parameters (no
// operators, arithmetic, substitutions, patterns or tildes), no options
// that store anything, and no state that a subshell would see differently
// (traces, DEBUG and ERR traps).  Whatever else comes forks as before.

// A plain parameter reference at p ($name, $1, $?, ${name}, ${#name}),
// read without side effects; the byte after it, or null.
static const char *plainref(const char *p)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(p);
    bool braced = *s == TK_LBRACE || *s == '{';
    if (braced) {
        s++;
        if (*s == '#' || *s == TK_HASH)
            s++;
    }
    const unsigned char *name = s;
    if (iident(*s) && !idigit(*s)) {
        while (iident(*s))
            s++;
    } else if (idigit(*s)) {
        s++;
        if (braced)
            while (idigit(*s))
                s++;
    } else if (*s && strchr("?$#!@*-_", *s)) {
        s++;
    } else if (*s == TK_HASH || *s == TK_STAR) {
        s++;
    } else {
        return nullptr;
    }
    // A parameter whose reading changes the shell: the generator behind
    // RANDOM advances, a stub loads its module.
    std::string nm(reinterpret_cast<const char *>(name), size_t(s - name));
    if (nm == "RANDOM")
        return nullptr;
    if (iident(nm[0])) {
        HashNode *hn = realparamtab->getnode(realparamtab, nm.c_str());
        if (hn && (static_cast<Param *>(hn)->flags & PF_AUTOLOAD))
            return nullptr;
    }
    if (braced) {
        if (*s != TK_RBRACE && *s != '}')
            return nullptr;
        s++;
    }
    return reinterpret_cast<const char *>(s);
}

static char *groupend(char *p, unsigned char open, unsigned char close);

static bool plainword(const char *w)
{
    for (const char *p = w; *p;) {
        unsigned char c = static_cast<unsigned char>(*p);
        if ((c == TK_DOLLAR || c == TK_QDOLLAR) && static_cast<unsigned char>(p[1]) == TK_LPAREN &&
            static_cast<unsigned char>(p[2]) != TK_LPAREN && p[2] != '(') {
            // A command substitution inside is a subshell of its own, or
            // one of these bodies: either way nothing it does reaches here.
            const char *end = groupend(const_cast<char *>(p + 1), TK_LPAREN, TK_RPAREN);
            if (!end)
                return false;
            p = end + 1;
        } else if (c == TK_DOLLAR || c == TK_QDOLLAR) {
            if (!(p = plainref(p + 1)))
                return false;
        } else if (c == TK_DQUOTE || c == TK_SQUOTE || c == TK_BSLASH || c == TK_EMPTY) {
            p++;
        } else if (c == METACHAR && p[1]) {
            p += 2;
        } else if (itok(c) || c == TK_MARKER) {
            return false;
        } else {
            p++;
        }
    }
    return true;
}

static bool literalword(const char *w)
{
    for (const char *p = w; *p; p++)
        if (itok(static_cast<unsigned char>(*p)) || *p == char(METACHAR))
            return false;
    return true;
}

// Whether w expands to fixed text (quotes allowed, nothing expanded) that
// does not begin with a `-'.
static bool fixedword(const char *w)
{
    bool first = true;
    for (const char *p = w; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == TK_DQUOTE || c == TK_SQUOTE || c == TK_BSLASH || c == TK_EMPTY)
            continue;
        if (c == METACHAR && p[1])
            p++;
        else if (itok(c) || c == TK_MARKER || (first && c == '-'))
            return false;
        first = false;
    }
    return true;
}

// Whether print's options (the words of the command at pc) end before
// any word from a parameter, which could otherwise become an option that
// stores (-s, -z) or writes elsewhere (-u, -p).
static bool printopts(Eprog *prog, wordcode *pc, int argc)
{
    auto word = [&](int i) { return ecrawstr(prog, pc + 1 + i, nullptr); };
    int i = 1;
    for (; i < argc; i++) {
        char *w = word(i);
        if (!literalword(w))
            return false;
        if (!strcmp(w, "--") || !strcmp(w, "-"))
            return true;
        if (w[0] != '-' && w[0] != '+')
            return true;
        if (strspn(w + 1, "rRnlNaoOic") != strlen(w + 1))
            return false;
    }
    return true;
}

// How deep the functions a body calls are followed.
constexpr int PURE_DEPTH = 8;

static bool purelist(Eprog *prog, wordcode *pc, int depth, bool strict, bool bodystrict);

// Whether the simple command at pc (its CODE_SIMPLE word) only prints or
// sets its status.  Under STRICT (errexit, which a subshell would obey
// after a failing command) it must also always succeed; BODYSTRICT is
// that rule for the bodies of the functions it calls.
static bool purecmd(Eprog *prog, wordcode *pc, int depth, bool strict, bool bodystrict)
{
    if (code_type(pc[0]) != CODE_SIMPLE)
        return false;
    int argc = int(simple_argc(pc[0]));
    if (argc < 1)
        return false;
    auto word = [&](int i) { return ecrawstr(prog, pc + 1 + i, nullptr); };
    // The words may share one buffer: the name is copied.
    char *name = dupstring(word(0));
    if (!literalword(name))
        return false;
    for (int i = 1; i < argc; i++)
        if (!plainword(word(i)))
            return false;
    HashNode *fn = shfunctab->getnode(shfunctab, name);
    HashNode *hn = builtintab->getnode(builtintab, name);
    if (fn) {
        // A function whose body is itself such a body, called without
        // tracing, a module's wrapper or a file still to load.
        ShellFunc *shf = static_cast<ShellFunc *>(fn);
        if (hn || depth >= PURE_DEPTH || wrappers || (shf->flags & (PM_UNDEFINED | PM_TAGGED)) || !shf->funcdef ||
            (shf->funcdef->flags & EF_RUN))
            return false;
        return purelist(shf->funcdef, shf->funcdef->prog, depth + 1, bodystrict, bodystrict);
    }
    if (!hn)
        return false;
    HandlerFunc h = static_cast<Builtin *>(hn)->handler;
    if (!strcmp(name, "echo"))
        return h == bin_print;
    if (!strcmp(name, "print"))
        return h == bin_print && printopts(prog, pc, argc);
    if (!strcmp(name, ":") || !strcmp(name, "true"))
        return h == bin_true;
    if (strict)
        return false;
    if (!strcmp(name, "false"))
        return h == bin_false;
    if (!strcmp(name, "return")) {
        // Only with a literal status, and inside a function.
        if (h != bin_break || depth == 0 || argc != 2)
            return false;
        char *w = word(1);
        return literalword(w) && *w && strspn(w, "0123456789") == strlen(w) && strlen(w) < 4;
    }
    if (!strcmp(name, "pwd")) {
        // Only its own options, which read the directory.
        if (h != bin_pwd)
            return false;
        for (int i = 1; i < argc; i++) {
            char *w = word(i);
            if (!literalword(w) || w[0] != '-' || strspn(w + 1, "rLP") != strlen(w + 1))
                return false;
        }
        return true;
    }
    if (!strcmp(name, "printf")) {
        // The format must not become an option (-v stores), whatever the
        // parameters hold.
        if (h != bin_print || argc < 2)
            return false;
        return fixedword(word(1));
    }
    return false;
}

// Whether every list from pc to the end of the program is made of such
// commands, joined by `;`, `&&`, `||` or `!`, with no pipes, background
// or timing.
static bool purelist(Eprog *prog, wordcode *pc, int depth, bool strict, bool bodystrict)
{
    for (;;) {
        wordcode code = *pc++;
        if (code_type(code) != CODE_LIST)
            return code_type(code) == CODE_END;
        wordcode ltype = list_type(code);
        if (ltype & (Z_ASYNC | Z_TIMED | Z_DISOWN))
            return false;
        if (ltype & Z_SIMPLE) {
            if (!purecmd(prog, pc + 1, depth, strict, bodystrict))
                return false;
            pc += list_skip(code);
        } else {
            // The list's own skip is not kept: its sublists lead to the
            // next one.
            for (;;) {
                wordcode sl = *pc++;
                if (code_type(sl) != CODE_SUBLIST || (sublist_flags(sl) & SUBLIST_COPROC))
                    return false;
                wordcode *slnext = pc + sublist_skip(sl);
                if (!(sublist_flags(sl) & SUBLIST_SIMPLE) &&
                    (code_type(pc[0]) != CODE_PIPE || pipe_type(pc[0]) != PIPE_END))
                    return false;
                // A `!` turns a success into a failure errexit ignores.
                if (!purecmd(prog, pc + 1, depth, strict && !(sublist_flags(sl) & SUBLIST_NOT), bodystrict))
                    return false;
                pc = slnext;
                if (sublist_type(sl) == SUBLIST_END)
                    break;
            }
        }
        if (ltype & Z_END)
            return true;
    }
}

// Whether prog (just parsed) is such a body.
static bool inprocessbody(Eprog *prog)
{
    if (isset(XTRACE) || sigtrapset(SIGDEBUG) || sigtrapset(SIGQERR) || errflag)
        return false;
    wordcode *pc = prog->prog;
    if (code_type(pc[0]) != CODE_LIST)
        return false;
    // One command alone gives its status as the substitution's, errexit
    // or not; anything longer obeys errexit between its commands.
    bool one = (list_type(pc[0]) & Z_END) && (((list_type(pc[0]) & Z_SIMPLE)) ||
                                              sublist_type(pc[1]) == SUBLIST_END);
    bool errexit = isset(ERREXIT) || isset(ERRRETURN);
    return purelist(prog, pc, 0, errexit && !one, errexit);
}

// A body that is one external command whose words expand only plain
// parameters: its words expanded (nullptr when it is not such a body, an
// empty list after an expansion error, reported, which a subshell would
// have ended with status 1).  Its program is then started without a copy
// of the shell, the way a script's command is.
static LinkList *spawnbody(Eprog *prog, bool *failed)
{
    *failed = false;
    if (isset(XTRACE) || isset(MONITOR) || isset(INTERACTIVE) || isset(RESTRICTED) || unset(EXEC) ||
        sigtrapset(SIGDEBUG) || errflag)
        return nullptr;
    wordcode *pc = prog->prog;
    if (code_type(pc[0]) != CODE_LIST || !(list_type(pc[0]) & Z_END) || (list_type(pc[0]) & (Z_ASYNC | Z_TIMED)))
        return nullptr;
    if (list_type(pc[0]) & Z_SIMPLE)
        pc += 2;
    else if (code_type(pc[1]) == CODE_SUBLIST && sublist_type(pc[1]) == SUBLIST_END && !sublist_flags(pc[1]) &&
             code_type(pc[2]) == CODE_PIPE && pipe_type(pc[2]) == PIPE_END)
        pc += 3;
    else if (code_type(pc[1]) == CODE_SUBLIST && sublist_type(pc[1]) == SUBLIST_END &&
             sublist_flags(pc[1]) == SUBLIST_SIMPLE)
        pc += 3;
    else
        return nullptr;
    if (code_type(pc[0]) != CODE_SIMPLE)
        return nullptr;
    int argc = int(simple_argc(pc[0]));
    if (argc < 1 || code_type(pc[1 + argc]) != CODE_END)
        return nullptr;
    auto word = [&](int i) { return ecrawstr(prog, pc + 1 + i, nullptr); };
    char *name = dupstring(word(0));
    if (!literalword(name) || shfunctab->getnode(shfunctab, name) || builtintab->getnode(builtintab, name))
        return nullptr;
    LinkList *args = newlinklist();
    addlinknode(args, name);
    for (int i = 1; i < argc; i++) {
        char *w = word(i);
        if (!plainword(w))
            return nullptr;
        addlinknode(args, dupstring(w));
    }
    prefork(args, isset(MAGICEQUALSUBST) ? EXP_TYPESET : 0);
    if (!errflag)
        globlist(args, 0);
    if (errflag & ERRFLAG_ERROR) {
        errflag = errflag & ~ERRFLAG_ERROR;
        *failed = true;
        return newlinklist();
    }
    return errflag ? nullptr : args;
}

// Run such a body here: the words of its output.
static LinkList *runinprocess(Eprog *prog, int quoted)
{
    std::string captured;
    int status;
    {
        SignalGuard sg;  // no trap may run while output is captured
        int savedpipestats[MAX_PIPESTATS];
        int savednum = numpipestats;
        memcpy(savedpipestats, pipestats, sizeof(int) * size_t(savednum));
        int savednoerrexit = noerrexit;
        char savedeexit = opts[ERREXIT];
        execsave();
        noerrexit = 1;
        opts[ERREXIT] = 0;
        std::string *outer = outcapture;  // a substitution inside one
        outcapture = &captured;
        cmdpush(CS_CMDSUBST);
        execode(prog, 1, 0, "cmdsubst");
        cmdpop();
        outcapture = outer;
        status = int(lastval);
        // An error ends a subshell with status 1; here it only fails the
        // substitution.
        if (errflag & ERRFLAG_ERROR) {
            errflag = errflag & ~ERRFLAG_ERROR;
            status = 1;
        }
        execrestore();
        opts[ERREXIT] = savedeexit;
        noerrexit = savednoerrexit;
        numpipestats = savednum;
        memcpy(pipestats, savedpipestats, sizeof(int) * size_t(savednum));
    }
    cmdoutval = status;
    lastval = status;
    char *buf = metafy(captured.data(), int(captured.size()), META_DUP);
    return splitoutput(buf, strlen(buf), quoted);
}

LinkList *getoutput(char *cmd, int quoted)
{
    Eprog *prog = parse_string(cmd, 0);
    if (!prog)
        return nullptr;
    // $(<file) reads the file without a process.
    wordcode *pc = prog->prog;
    if (code_type(pc[0]) == CODE_LIST && (list_type(pc[0]) & Z_SIMPLE) && (list_type(pc[0]) & Z_END) &&
        code_type(pc[2]) == CODE_REDIR && redir_type(pc[2]) == RT_READ && code_type(pc[5]) == CODE_SIMPLE &&
        simple_argc(pc[5]) == 0 && code_type(pc[6]) == CODE_END) {
        char *name = ecrawstr(prog, pc + 4, nullptr);
        name = dupstring(name);
        singsub(&name);
        untokenize(name);
        const char *u = unmeta(name);
        int fd = u ? open(u, O_RDONLY | O_NOCTTY) : -1;
        if (fd < 0) {
            qerr("%e: %s", name, errno);
            return nullptr;
        }
        return readoutput(fd, quoted);
    }
    if (inprocessbody(prog))
        return runinprocess(prog, quoted);
    bool failed;
    LinkList *args = spawnbody(prog, &failed);
    if (failed) {
        cmdoutval = lastval = 1;
        return splitoutput(qtrdup(""), 0, quoted);
    }
    int pipes[2];
    if (makepipe(pipes) < 0)
        return nullptr;
    sigset_t old = signal_block(signal_mask(SIGCHLD));
    cmdoutval = 0;
    pid_t pid = 0;
    if (args && nonempty(args)) {
        sigset_t childmask = old;
        sigdelset(&childmask, SIGCHLD);
        pid = spawncapture(args, pipes[1], &childmask);
    }
    if (!pid) {
        fflush(stdout);
        fflush(stderr);
        beforechild();
        pid = fork();
        if (pid == -1) {
            int err = errno;
            qclose(pipes[0]);
            qclose(pipes[1]);
            signal_setmask(old);
            qerr("fork failed: %e", nullptr, err);
            lastval = 1;
            return nullptr;
        }
        if (!pid) {
            forgetparentsignals();
            outcapture = nullptr;  // forked inside a substitution run here
            redup(pipes[1], 1);
            opts[MONITOR] = 0;
            becomesubshell(Z_SYNC, 1, 0);
            close(pipes[0]);
            signal_setmask(old);
            cmdpush(CS_CMDSUBST);
            execode(prog, 0, 1, "cmdsubst");
            cmdpop();
            subshellexittrap();
            fflush(stdout);
            _exit(int(lastval));
        }
    }
    cmdoutpid = pid;
    qclose(pipes[1]);
    signal_setmask(old);
    LinkList *l = readoutput(pipes[0], quoted);
    if (pipes[0] < fdtable_size)
        fdtable[pipes[0]] = FDT_UNUSED;
    waitforpid(pid, 0);
    lastval = cmdoutval;
    return l;
}

// ---- the scanner ----

// Find the end of a balanced group opened by the token at p.
static char *groupend(char *p, unsigned char open, unsigned char close)
{
    int depth = 0;
    for (; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == open)
            depth++;
        else if (c == close && !--depth)
            return p;
    }
    return nullptr;
}

// Put the words of a command substitution's output in place of it: the
// first joins the text before it, the last the text after it, the others
// become words of their own.  *cursor is left after the output; returns
// the node's new word.
static char *spliceoutput(LinkList *l, LinkNode *&n, const char *prefix, LinkList *out, const char *after,
                          char **cursor)
{
    char *rest = dupstring(after);
    if (empty(out)) {
        char *nw = dyncat(prefix, rest);
        setdata(n, nw);
        *cursor = nw + strlen(prefix);
        return nw;
    }
    char *first = static_cast<char *>(ugetnode(out));
    if (empty(out)) {
        char *nw = qhtricat(prefix, first, rest);
        setdata(n, nw);
        *cursor = nw + strlen(prefix) + strlen(first);
        return nw;
    }
    setdata(n, dyncat(prefix, first));
    while (char *w = static_cast<char *>(ugetnode(out)))
        n = insertlinknode(l, n, w);
    char *last = static_cast<char *>(getdata(n));
    char *nw = dyncat(last, rest);
    setdata(n, nw);
    *cursor = nw + strlen(last);
    return nw;
}

// typesetassign: a typeset argument under kshtypeset, whose value after
// its first "=" is one word, as in an assignment.
static bool wordsubst(LinkList *l, LinkNode *&n, int single, bool typesetassign)
{
    char *word = static_cast<char *>(getdata(n));
    char *p = word;
    bool qt = false;
    while (*p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (typesetassign && (c == TK_EQUALS || c == '=') && p > word) {
            single = 1;
            typesetassign = false;
        }
        if (c == TK_DQUOTE) {
            qt = !qt;
            p++;
            continue;
        }
        if (c == TK_DOLLAR || c == TK_QDOLLAR) {
            bool quoted = c == TK_QDOLLAR || qt;
            unsigned char nx = static_cast<unsigned char>(p[1]);
            if (nx == TK_LPAREN || nx == TK_LBRACK) {
                bool math = nx == TK_LBRACK || static_cast<unsigned char>(p[2]) == TK_LPAREN || p[2] == '(';
                char *end;
                char *body;
                char *after;
                if (nx == TK_LBRACK) {
                    end = groupend(p + 1, TK_LBRACK, TK_RBRACK);
                    if (!end) {
                        qerr("closing bracket missing", nullptr, 0);
                        return false;
                    }
                    body = dupstrpfx(p + 2, size_t(end - p - 2));
                    after = end + 1;
                } else {
                    end = groupend(p + 1, TK_LPAREN, TK_RPAREN);
                    if (!end) {
                        qerr("closing parenthesis missing", nullptr, 0);
                        return false;
                    }
                    if (math && (static_cast<unsigned char>(end[-1]) == TK_RPAREN || end[-1] == ')')) {
                        body = dupstrpfx(p + 3, size_t(end - p - 4));
                    } else {
                        math = false;
                        body = dupstrpfx(p + 2, size_t(end - p - 2));
                    }
                    after = end + 1;
                }
                char *prefix = dupstrpfx(word, size_t(p - word));
                if (math) {
                    char *val = mathsubst_value(body);
                    if (errflag)
                        return false;
                    char *nw = qhtricat(prefix, val, after);
                    setdata(n, nw);
                    word = nw;
                    p = nw + strlen(prefix) + strlen(val);
                    continue;
                }
                untokenize(body);
                LinkList *out = getoutput(body, quoted || single);
                if (!out) {
                    if (!errflag)
                        qerr("parse error in command substitution", nullptr, 0);
                    return false;
                }
                if (!quoted && !single)
                    substmadearray = 1;
                word = spliceoutput(l, n, prefix, out, after, &p);
                continue;
            }
            if (nx == TK_SQUOTE) {
                // $'...' was decoded by the lexer's word form already when
                // it arrives here as a marker pair.
                int len;
                char *nw = dupstring(word);
                char *q = nw + (p - word);
                getkeystring(q, &len, GETKEY_DOLLAR_QUOTE, nullptr);
                setdata(n, nw);
                word = nw;
                p = q + len;
                continue;
            }
            char *cur = p;
            if (!paramsubst(l, n, cur, quoted, single))
                return false;
            word = static_cast<char *>(getdata(n));
            p = cur;
            continue;
        }
        if (c == TK_BACKTICK || c == TK_QBACKTICK) {
            char *end = strchr(p + 1, char(c));
            if (!end) {
                qerr("unmatched `", nullptr, 0);
                return false;
            }
            char *body = dupstrpfx(p + 1, size_t(end - p - 1));
            // Backslashes before $ ` \ (and " when quoted) were escapes.
            char *t = body;
            for (char *s = body; *s; s++) {
                if (static_cast<unsigned char>(*s) == TK_BSLASH &&
                    (s[1] == '$' || s[1] == '`' || s[1] == '\\' || static_cast<unsigned char>(s[1]) == TK_DOLLAR ||
                     static_cast<unsigned char>(s[1]) == TK_QDOLLAR || static_cast<unsigned char>(s[1]) == TK_BSLASH ||
                     (c == TK_QBACKTICK && s[1] == '"')))
                    continue;
                *t++ = *s;
            }
            *t = '\0';
            untokenize(body);
            bool quoted = c == TK_QBACKTICK || qt;
            LinkList *out = getoutput(body, quoted || single);
            if (!out) {
                if (!errflag)
                    qerr("parse error in command substitution", nullptr, 0);
                return false;
            }
            if (c == TK_BACKTICK && !single)
                substmadearray = 1;
            word = spliceoutput(l, n, dupstrpfx(word, size_t(p - word)), out, end + 1, &p);
            continue;
        }
        if (c == METACHAR && p[1]) {
            p += 2;
            continue;
        }
        p++;
    }
    return true;
}

// ---- tilde expansion ----

static char *filesubstr(char *s, bool assign)
{
    unsigned char c = static_cast<unsigned char>(*s);
    char *p = s + 1;
    auto wordend = [&](char *q) {
        unsigned char k = static_cast<unsigned char>(*q);
        return !k || k == '/' || k == TK_LPAREN || (assign && k == ':');
    };
    if (c == TK_EQUALS) {
        // =cmd: the command's full path.
        if (!isset(EQUALS))
            return nullptr;
        char *q = p;
        while (!wordend(q))
            q++;
        if (q == p)
            return nullptr;
        char *name = dupstrpfx(p, size_t(q - p));
        untokenize(name);
        char *path = findcmd(name, 1);
        if (!path) {
            if (isset(NOMATCH))
                qerr("%s not found", name, 0);
            return nullptr;
        }
        return dyncat(path, q);
    }
    if (c != TK_TILDE)
        return nullptr;
    if (wordend(p)) {
        const char *h = getsparam("HOME");
        return dyncat(h ? h : "", p);
    }
    if ((*p == '+' || *p == '-') && wordend(p + 1)) {
        const char *v = *p == '+' ? getsparam("PWD") : getsparam("OLDPWD");
        if (!v)
            v = getsparam("PWD");
        return dyncat(v ? v : "", p + 1);
    }
    if (static_cast<unsigned char>(*p) == TK_EQUALS || *p == '=')
        return nullptr;
    // ~N, ~+N, ~-N: an entry of the directory stack, 0 from the top being
    // the current directory.
    {
        char *d = p + (*p == '+' || *p == '-');
        if (idigit(static_cast<unsigned char>(*d)) && (d - p) + (idigit(static_cast<unsigned char>(d[1])) ? 2 : 1) <= 2) {
            char *e = d + 1;
            if (idigit(static_cast<unsigned char>(*e)))
                e++;
            if (wordend(e)) {
                int n = atoi(d);
                bool fromtop = (*p != '-') != bool(isset(PUSHDMINUS));
                const char *cur = getsparam("PWD");
                const char *found = nullptr;
                int len = dirstack ? countlinknodes(dirstack) : 0;
                // Counted over pwd followed by the stack.
                int idx = fromtop ? n : len - n;
                if (idx == 0)
                    found = cur ? cur : "";
                else if (idx > 0 && idx <= len) {
                    LinkNode *nd = firstnode(dirstack);
                    for (int i = 1; i < idx; i++)
                        incnode(nd);
                    found = static_cast<char *>(getdata(nd));
                }
                if (!found) {
                    if (isset(NOMATCH))
                        qerr("not enough directory stack entries.", nullptr, 0);
                    return nullptr;
                }
                return dyncat(found, e);
            }
        }
    }
    char *q = p;
    while (iuser(static_cast<unsigned char>(*q)))
        q++;
    if (q == p || !wordend(q))
        return nullptr;
    char *name = dupstrpfx(p, size_t(q - p));
    char *dir = getnameddir(name);
    if (!dir) {
        if (isset(NOMATCH))
            qerr("no such user or named directory: %s", name, 0);
        return nullptr;
    }
    return dyncat(dir, q);
}

void filesub(char **namptr, int assign)
{
    char *r = filesubstr(*namptr, assign & EXP_ASSIGN);
    if (r)
        *namptr = r;
    if (!(assign & (EXP_ASSIGN | EXP_TYPESET)))
        return;
    // After each : (assignment values), and after = for typeset words:
    // only a tilde or an equals token can start one, so the scan goes from
    // one to the next.
    static const char tildeorequals[] = {char(TK_TILDE), char(TK_EQUALS), 0};
    if (!**namptr)
        return;
    for (char *p = *namptr; *p && (p = strpbrk(p + 1, tildeorequals));) {
        unsigned char c = static_cast<unsigned char>(p[-1]);
        if (c != ':' && !((assign & EXP_TYPESET) && (c == TK_EQUALS || c == '=')))
            continue;
        if (char *sub = filesubstr(p, true)) {
            size_t off = size_t(p - *namptr);
            *namptr = qhtricat(dupstrpfx(*namptr, off), sub, "");
            p = *namptr + off;
        }
    }
}

// ---- entry points ----

void prefork(LinkList *list, int flags)
{
    SignalGuard sg;
    for (LinkNode *n = firstnode(list); n; n = nextnode(n)) {
        char *w = static_cast<char *>(getdata(n));
        unsigned char c0 = static_cast<unsigned char>(*w);
        if ((c0 == TK_LANGLE || c0 == TK_RANGLE || c0 == TK_EQUALS) &&
            static_cast<unsigned char>(w[1]) == TK_LPAREN) {
            char *r = c0 == TK_EQUALS ? getoutputfile(w) : getproc(w);
            if (!r) {
                errflag = errflag ? errflag : 1;
                return;
            }
            setdata(n, r);
            continue;
        }
        if (isset(SHFILEEXPANSION)) {
            char *s = static_cast<char *>(getdata(n));
            filesub(&s, flags & 3);
            setdata(n, s);
        }
        if (!wordsubst(list, n, flags & EXP_SINGLE, (flags & EXP_TYPESET) && isset(KSHTYPESET))) {
            return;
        }
        if (errflag)
            break;
    }
    for (LinkNode *n = firstnode(list), *next; n; n = next) {
        next = nextnode(n);
        char *w = static_cast<char *>(getdata(n));
        if (*w) {
            remnulargs(w);
            if (unset(IGNOREBRACES) && !(flags & EXP_SINGLE)) {
                while (hasbraces(static_cast<char *>(getdata(n)))) {
                    xpandbraces(list, &n);
                    if (errflag)
                        break;
                }
                next = nextnode(n);
            }
            if (unset(SHFILEEXPANSION)) {
                char *s = static_cast<char *>(getdata(n));
                filesub(&s, flags & 3);
                setdata(n, s);
            }
        } else if (!(flags & EXP_SINGLE)) {
            uremnode(list, n);
        }
        if (errflag)
            break;
    }
}

void singsub(char **s)
{
    LinkList *l = newlinklist();
    addlinknode(l, *s);
    prefork(l, EXP_SINGLE);
    if (errflag)
        return;
    *s = empty(l) ? dupstring("") : static_cast<char *>(getdata(firstnode(l)));
}

// ---- the word after =~ ----

// s with a backslash before every character an extended regular
// expression gives a meaning to.
static char *reliteral(const char *s)
{
    static constexpr char respecial[] = "\\.[]()*+?{}|^$";
    size_t n = 0;
    for (const char *p = s; *p; p++)
        n += strchr(respecial, *p) ? 2 : 1;
    char *r = static_cast<char *>(qhalloc(n + 1)), *q = r;
    for (const char *p = s; *p; p++) {
        if (*p == char(METACHAR) && p[1]) {
            // Both bytes of a metafied pair are copied as they are.
            *q++ = *p++;
        } else if (strchr(respecial, *p)) {
            *q++ = '\\';
        }
        *q++ = *p;
    }
    *q = '\0';
    return r;
}

// One piece of the word, expanded; quoted pieces are made literal.
static char *resubstpiece(const char *from, const char *to, bool quoted, bool first)
{
    char *s = dupstrpfx(from, size_t(to - from));
    // Only the start of the whole word takes ~ and = expansion.
    if (!first && (static_cast<unsigned char>(*s) == TK_TILDE || static_cast<unsigned char>(*s) == TK_EQUALS))
        *s = tokchar(static_cast<unsigned char>(*s));
    singsub(&s);
    if (errflag)
        return nullptr;
    untokenize(s);
    return quoted ? reliteral(s) : s;
}

// The word is cut into quoted and unquoted pieces at its top level: the
// quotes inside ${...}, $(...) and backquotes belong to those expansions.
// Each piece is expanded on its own, so a quoted $re is literal too.
char *regexsubst(const char *word)
{
    LinkList *pieces = newlinklist();
    size_t total = 0;
    const char *start = word, *q = word;
    int braces = 0, parens = 0;
    bool intick = false;
    auto add = [&](const char *from, const char *to, bool quoted) {
        if (from == to)
            return true;
        char *s = resubstpiece(from, to, quoted, from == word);
        if (!s)
            return false;
        addlinknode(pieces, s);
        total += strlen(s);
        return true;
    };
    while (*q) {
        auto c = static_cast<unsigned char>(*q);
        if (c == METACHAR && q[1]) {
            q += 2;
            continue;
        }
        bool top = !braces && !parens && !intick;
        if (c == TK_LBRACE) {
            braces++;
        } else if (c == TK_RBRACE) {
            if (braces)
                braces--;
        } else if (c == TK_LPAREN) {
            // Only a command or arithmetic substitution nests; a bare
            // parenthesis is a group of the expression.
            auto b = q > word ? static_cast<unsigned char>(q[-1]) : 0;
            if (parens || b == TK_DOLLAR || b == TK_QDOLLAR)
                parens++;
        } else if (c == TK_RPAREN) {
            if (parens)
                parens--;
        } else if (c == TK_BACKTICK && !braces && !parens) {
            intick = !intick;
        } else if (top && (c == TK_SQUOTE || c == TK_DQUOTE || c == TK_BSLASH)) {
            const char *b = q, *e = q + 1;
            if (c == TK_BSLASH) {
                if (*e == char(METACHAR) && e[1])
                    e += 2;
                else if (*e)
                    e++;
            } else {
                // $'...' is quoted from its dollar on.
                if (c == TK_SQUOTE && b > start && static_cast<unsigned char>(b[-1]) == TK_DOLLAR)
                    b--;
                int depth = 0;
                for (; *e; e++) {
                    auto d = static_cast<unsigned char>(*e);
                    if (d == METACHAR && e[1])
                        e++;
                    else if (d == TK_LBRACE)
                        depth++;
                    else if (d == TK_RBRACE && depth)
                        depth--;
                    else if (d == c && !depth)
                        break;
                }
                if (*e)
                    e++;
            }
            if (!add(start, b, false) || !add(b, e, true))
                return nullptr;
            start = q = e;
            continue;
        }
        q++;
    }
    if (!add(start, q, false))
        return nullptr;
    char *r = static_cast<char *>(qhalloc(total + 1)), *p = r;
    for (LinkNode *n = firstnode(pieces); n; incnode(n)) {
        auto *s = static_cast<char *>(getdata(n));
        size_t len = strlen(s);
        memcpy(p, s, len);
        p += len;
    }
    *p = '\0';
    return r;
}
