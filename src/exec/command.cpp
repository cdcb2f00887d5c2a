// One element of a pipeline: precommand modifiers, what the command is,
// whether to fork, redirections, assignments and running it.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "history/history.h"
#include "jobs/jobs.h"
#include "params/params.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>


TARN_HOT pid_t cmdoutpid;
TARN_HOT int cmdoutval;
TARN_HOT char *STTYval;
static ExecSave *execstack;

// ---- saved executor state ----

extern int execcomplex(ExecState *state, wordcode code, int do_exec);

void execsave()
{
    ExecSave *es = qcnew<ExecSave>();
    es->list_pipe = list_pipe;
    es->simple_pline = simple_pline;
    es->pipenest = pipenest;
    es->cmdoutpid = cmdoutpid;
    es->cmdoutval = cmdoutval;
    es->lastval = lastval;
    es->trapreturn = trapreturn;
    es->noerrs = noerrs;
    es->closeinchild = closeinchild;
    es->underscore = qtrdup(qunderscore ? qunderscore : "");
    es->prev = execstack;
    execstack = es;
    cmdoutpid = 0;
    noerrs = 0;
}

void execrestore()
{
    ExecSave *es = execstack;
    if (!es)
        return;
    SignalGuard sg;
    list_pipe = es->list_pipe;
    simple_pline = es->simple_pline;
    pipenest = es->pipenest;
    cmdoutpid = es->cmdoutpid;
    cmdoutval = es->cmdoutval;
    lastval = es->lastval;
    trapreturn = es->trapreturn;
    noerrs = es->noerrs;
    closeinchild = es->closeinchild;
    setunderscore(es->underscore);
    qsfree(es->underscore);
    execstack = es->prev;
    qfree(es);
}

int cmdoutreaped(pid_t pid, int status)
{
    if (cmdoutpid && pid == cmdoutpid) {
        cmdoutval = statval(status);
        cmdoutpid = 0;
        return 1;
    }
    for (ExecSave *es = execstack; es; es = es->prev)
        if (es->cmdoutpid && pid == es->cmdoutpid) {
            es->cmdoutval = statval(status);
            es->cmdoutpid = 0;
            return 1;
        }
    return 0;
}

// ---- subshells ----

bool bgignore;

void becomesubshell(int how, int kind, int fake)
{
    droppendingtraps();
    if (kind != 2)
        cleartraps_subshell();
    notesubshelltraps();
    bgignore = bgignore || (!isset(MONITOR) && (how & Z_ASYNC));
    if (!isset(MONITOR)) {
        if (how & Z_ASYNC) {
            signal(SIGINT, SIG_IGN);
            signal(SIGQUIT, SIG_IGN);
            if (isatty(0)) {
                close(0);
                if (open("/dev/null", O_RDWR | O_NOCTTY)) {
                    qerr("can't open /dev/null: %e", nullptr, errno);
                    _exit(1);
                }
            }
        }
    } else if (thisjob != -1 && kind) {
        Job *jn = jobtab + thisjob;
        if (!jn->gleader) {
            jn->gleader = getpid();
        }
        if (setpgid(0, jn->gleader) == -1 || kill(jn->gleader, 0) == -1) {
            jn->gleader = getpid();
            setpgid(0, jn->gleader);
        }
        if (how & Z_SYNC)
            attachtty(jn->gleader);
    }
    if (!fake)
        subsh = 1;
    if (SHTTY != -1) {
        if (shout) {
            fclose(shout);
            shout = nullptr;
        } else {
            close(SHTTY);
        }
        SHTTY = -1;
    }
    // The line being edited stays with the parent: a subshell's messages
    // must not redraw it.
    opts[KED] = 0;
    trashkedptr = nullptr;
    refreshptr = nullptr;
    if (isset(MONITOR)) {
        signal(SIGTTOU, SIG_DFL);
        signal(SIGTTIN, SIG_DFL);
        signal(SIGTSTP, SIG_DFL);
    }
    if (isset(INTERACTIVE)) {
        signal(SIGTERM, SIG_DFL);
        if (!sigignored(SIGINT) && !bgignore)
            signal(SIGINT, SIG_DFL);
    }
    if (!sigignored(SIGQUIT) && !bgignore)
        signal(SIGQUIT, SIG_DFL);
    opts[MONITOR] = opts[KED] = 0;
    if (kind)
        clearjobtab(0);
    record_shtimes();
    forklevel = locallevel;
}

bool chldheld;

void holdchld()
{
    signal_block(signal_mask(SIGCHLD));
    chldheld = true;
}

void releasechld()
{
    if (chldheld) {
        chldheld = false;
        signal_unblock(signal_mask(SIGCHLD));
    }
}

// Builtins that read and write only what they are given, descriptor 1
// and 2, and parameters (print looks after its -u itself, read after its
// own descriptor): the lines read ahead stay held over them.
static bool keepsreadahead(HandlerFunc h)
{
    return h == bin_read || h == bin_print || h == bin_true || h == bin_false || h == bin_test || h == bin_let ||
           h == bin_break || h == bin_shift || h == bin_typeset || h == bin_unset;
}

void beforechild()
{
    syncreadahead();
    settleenviron();
}

pid_t blockedfork()
{
    beforechild();
    holdchld();
    pid_t pid = fork();
    if (!pid) {
        forgetparentsignals();
        outcapture = nullptr;  // output captured in memory is the parent's
    }
    return pid;
}

pid_t forkchild(bool *ischild)
{
    *ischild = false;
    fflush(stdout);
    fflush(stderr);
    pid_t pid = blockedfork();
    if (pid == -1) {
        qerr("fork failed: %e", nullptr, errno);
        return -1;
    }
    if (!pid) {
        *ischild = true;
        setlimits();
    }
    return pid;
}

// ---- assignments ----

static char *assigntrace(const char *name, bool append)
{
    if (isset(XTRACE)) {
        fputs(name, xtrerr);
        fputs(append ? "+=" : "=", xtrerr);
    }
    return nullptr;
}

// `name=$name...`, `name="${name}..."` and the like, with a plain literal
// after the reference, on an ordinary set scalar: the literal is appended
// where the value lies, so building a string up in a loop is not
// quadratic.  Any other form, or a parameter with attributes, takes the
// general way.
static bool appendinplace(const char *name, const char *code)
{
    if (isset(XTRACE) || isset(ALLEXPORT) || (isset(GLOBSUBST) && isset(GLOBASSIGN)) || isset(AUTONAMEDIRS))
        return false;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(code);
    bool dq = *p == TK_DQUOTE;
    if (dq)
        p++;
    if (*p != (dq ? TK_QDOLLAR : TK_DOLLAR))
        return false;
    p++;
    bool braced = *p == TK_LBRACE || *p == '{';
    if (braced)
        p++;
    size_t nl = strlen(name);
    if (strncmp(reinterpret_cast<const char *>(p), name, nl))
        return false;
    p += nl;
    if (braced) {
        // Only the bare name inside the braces: no flags, subscripts or
        // operators.
        if (*p != TK_RBRACE && *p != '}')
            return false;
        p++;
    } else if (iident(*p) || *p == '[' || *p == ':') {
        // What follows the name must not extend it, subscript it or
        // modify it.
        return false;
    }
    const char *lit = reinterpret_cast<const char *>(p);
    for (; *p; p++)
        if (*p >= 0x80 || *p == '~' || *p == '\\')
            break;
    size_t ll = size_t(reinterpret_cast<const char *>(p) - lit);
    if (*p && !(dq && *p == TK_DQUOTE && !p[1]))
        return false;
    if (!ll)
        return false;
    return scalarappend(static_cast<Param *>(paramtab->getnode(paramtab, name)), lit, ll);
}

// The name of an assignment, its subscript expanded with its quotes as a
// subscript read in an expansion is, and passed on as literal text.
static char *assignname(char *name)
{
    char *b = name;
    while (*b && *b != '[' && static_cast<unsigned char>(*b) != TK_LBRACK)
        b++;
    size_t len = strlen(name);
    char *end = name + len - 1;
    if (!*b || end <= b || !has_token(b + 1) || (*end != ']' && static_cast<unsigned char>(*end) != TK_RBRACK)) {
        untokenize(name);
        return name;
    }
    char *sub = dupstrpfx(b + 1, size_t(end - b - 1));
    singsub(&sub);
    if (errflag)
        return nullptr;
    untokenize(sub);
    // Text that the subscript reader would expand again is escaped.
    bool reexpand = strchr(sub, '$') || strchr(sub, '`');
    char *out = static_cast<char *>(qhalloc(size_t(b - name) + 2 * strlen(sub) + 3));
    char *o = out;
    for (char *p = name; p < b; p++)
        *o++ = *p;
    *o++ = '[';
    for (char *p = sub; *p; p++) {
        if (reexpand && (*p == '$' || *p == '`' || *p == '\\' || *p == '"'))
            *o++ = '\\';
        *o++ = *p;
    }
    *o++ = ']';
    *o = '\0';
    untokenize(out);
    return out;
}

void doassigns(ExecState *state, wordcode *pc, int export_)
{
    ExecState s = *state;
    s.pc = pc;
    if (isset(XTRACE))
        printprompt4();
    wordcode ac;
    while (code_type(ac = *s.pc) == CODE_ASSIGN && !errflag) {
        s.pc++;
        bool append = assign_add(ac);
        char *name = assignname(ecgetstr(&s, EC_DUPTOK, nullptr));
        if (!name)
            break;
        assigntrace(name, append);
        if (assign_type(ac) == ASSIGN_ARRAY) {
            int n = int(assign_num(ac));
            LinkList *vl = ecgetlist(&s, n, EC_DUPTOK, nullptr);
            if (!vl)
                vl = newlinklist();
            prefork(vl, EXP_ASSIGN);
            if (errflag)
                break;
            globlist(vl, 0);
            if (errflag)
                break;
            int cnt = countlinknodes(vl), i = 0;
            char **arr = qnew<char *>(size_t(cnt) + 1);
            if (isset(XTRACE))
                fputs("( ", xtrerr);
            for (LinkNode *n2 = firstnode(vl); n2; n2 = nextnode(n2)) {
                char *w = static_cast<char *>(getdata(n2));
                untokenize(w);
                if (isset(XTRACE)) {
                    quotedqputs(w, xtrerr);
                    fputc(' ', xtrerr);
                }
                arr[i++] = qtrdup(w);
            }
            arr[i] = nullptr;
            if (isset(XTRACE))
                fputs(") ", xtrerr);
            assignaparam(name, arr, append);
            continue;
        }
        if (!export_ && !append) {
            ExecState peek = s;
            if (appendinplace(name, ecgetstr(&peek, EC_NODUP, nullptr))) {
                s = peek;
                continue;
            }
        }
        LinkList *vl = newlinklist();
        addlinknode(vl, ecgetstr(&s, EC_DUPTOK, nullptr));
        prefork(vl, EXP_SINGLE | EXP_ASSIGN);
        if (errflag)
            break;
        if (isset(GLOBASSIGN))
            globlist(vl, 0);
        if (errflag)
            break;
        if (countlinknodes(vl) > 1) {
            int cnt = countlinknodes(vl), i = 0;
            char **arr = qnew<char *>(size_t(cnt) + 1);
            for (LinkNode *n2 = firstnode(vl); n2; n2 = nextnode(n2)) {
                char *w = static_cast<char *>(getdata(n2));
                untokenize(w);
                arr[i++] = qtrdup(w);
            }
            arr[i] = nullptr;
            assignaparam(name, arr, append);
            continue;
        }
        char *val = empty(vl) ? dupstring("") : static_cast<char *>(getdata(firstnode(vl)));
        untokenize(val);
        if (isset(XTRACE)) {
            quotedqputs(val, xtrerr);
            fputc(' ', xtrerr);
        }
        if (!export_ || strchr(name, '[')) {
            assignsparam(name, qtrdup(val), append);
            continue;
        }
        if (export_ < 0 && isset(RESTRICTED)) {
            Param *pm = static_cast<Param *>(paramtab->getnode(paramtab, name));
            if (pm && (pm->flags & PF_RESTRICTED)) {
                qerr("%s: restricted", name, 0);
                break;
            }
        }
        if (!strcmp(name, "STTY")) {
            qsfree(STTYval);
            STTYval = qtrdup(val);
        }
        OptionGuard ae(ALLEXPORT);
        opts[ALLEXPORT] = 1;
        assignsparam(name, qtrdup(val), append);
    }
}

// Parameters an assignment before a command replaces, kept to put back.
struct SavedParam {
    char *name;
    Param *pm;  // the removed parameter, or null: unset afterwards
};

static LinkList *saveassigned(ExecState *state, wordcode *pc)
{
    LinkList *saved = newlinklist();
    ExecState s = *state;
    s.pc = pc;
    wordcode ac;
    while (code_type(ac = *s.pc) == CODE_ASSIGN) {
        s.pc++;
        char *name = ecgetstr(&s, EC_DUP, nullptr);
        untokenize(name);
        if (assign_type(ac) == ASSIGN_ARRAY)
            s.pc += assign_num(ac);
        else
            s.pc++;
        SavedParam *sp = qhnew<SavedParam>();
        sp->name = name;
        sp->pm = nullptr;
        Param *pm = static_cast<Param *>(paramtab->getnode(paramtab, name));
        // Set aside, a read-only parameter would seem to take the value.
        if (pm && (pm->flags & PF_READONLY)) {
            qerr("read-only variable: %s", name, 0);
            break;
        }
        if (pm && !(pm->flags & PF_SPECIAL)) {
            paramtab->removenode(paramtab, name);
            sp->pm = pm;
        } else if (pm) {
            // A special keeps its own storage: remember its value.
            Param *copy = qcnew<Param>();
            copyparam(copy, pm, 1);
            copy->flags |= PF_SPECIAL;
            copy->nam = qtrdup(name);
            sp->pm = copy;
        }
        addlinknode(saved, sp);
    }
    return saved;
}

// Put a special's saved value back through its own setter.
static void restorespecial(Param *cur, Param *saved)
{
    switch (PF_TYPE(saved->flags)) {
    case PF_SCALAR:
        cur->setter.cfn(cur, saved->value.str);
        break;
    case PF_INTEGER:
        cur->setter.ifn(cur, saved->value.val);
        break;
    case PF_EFLOAT:
    case PF_FFLOAT:
        cur->setter.ffn(cur, saved->value.dval);
        break;
    case PF_ARRAY:
        cur->setter.afn(cur, saved->value.arr);
        break;
    case PF_HASHED:
        cur->setter.hfn(cur, saved->value.hash);
        break;
    }
    qsfree(saved->nam);
    qfree(saved);
}

static void restoreassigned(LinkList *saved)
{
    if (!saved)
        return;
    SignalGuard sg;
    for (LinkNode *n = firstnode(saved); n; n = nextnode(n)) {
        SavedParam *sp = static_cast<SavedParam *>(getdata(n));
        Param *cur = static_cast<Param *>(paramtab->getnode2(paramtab, sp->name));
        if (sp->pm && (sp->pm->flags & PF_SPECIAL) && cur) {
            restorespecial(cur, sp->pm);
            continue;
        }
        if (cur) {
            cur->flags &= ~PF_READONLY;
            unsetparam(sp->name);
        }
        if (sp->pm) {
            paramtab->addnode(paramtab, sp->pm->nam, sp->pm);
            if (sp->pm->flags & PF_EXPORTED)
                export_param(sp->pm);
        }
    }
}

// ---- rm * ----

// Confirm each argument of rm that names every file of a directory (a
// lone star, or a directory and a star); a refused one is dropped.  False
// when no argument is left.
static bool rmstarcheck(LinkList *args)
{
    for (LinkNode *n = nextnode(firstnode(args)), *next; n; n = next) {
        next = nextnode(n);
        char *s = static_cast<char *>(getdata(n));
        size_t l = strlen(s);
        if (!l || static_cast<unsigned char>(s[l - 1]) != TK_STAR)
            continue;
        char *dir;
        if (l == 1) {
            initdirs();
            dir = pwd;
        } else if (s[l - 2] != '/') {
            continue;
        } else if (l == 2) {
            // The root's files are no less worth asking about.
            dir = dupstring("/");
        } else {
            dir = dupstrpfx(s, l - 2);
            untokenize(dir);
        }
        if (!checkrmall(dir))
            uremnode(args, n);
    }
    // An interrupt at a question ends the command as well.
    return !errflag && nextnode(firstnode(args)) != nullptr;
}

// ---- $_ ----

void setunderscore(const char *str)
{
    // A trap replayed when the allocator's bracket closes saves $_: it
    // must not find the old buffer freed and not yet replaced.
    SignalGuard sg;
    size_t l = strlen(str) + 1;
    if (l <= sizeof underscorebuf) {
        if (qunderscore != underscorebuf) {
            qfree(qunderscore);
            qunderscore = underscorebuf;
            underscorelen = sizeof underscorebuf;
        }
    } else if (l > underscorelen || (underscorelen > 256 && l * 4 < underscorelen)) {
        // Grow in 32-byte steps; shrink only a big buffer that is far too big.
        size_t nl = (l + 31) & ~size_t(31);
        if (qunderscore != underscorebuf)
            qfree(qunderscore);
        qunderscore = static_cast<char *>(qalloc(nl));
        underscorelen = nl;
    }
    memcpy(qunderscore, str, l);
    underscoreused = l;
}

// ---- the trace ----

void printprompt4()
{
    if (!xtrerr)
        xtrerr = stderr;
    char *p4 = getsparam("PS4");
    if (p4) {
        char *s = promptexpand(p4, 0, nullptr, nullptr);
        qputs(s, xtrerr);
        qsfree(s);
    }
}

// The trace line of a command: PS4 and the words quoted.
void tracewords(LinkList *args)
{
    printprompt4();
    bool first = true;
    for (LinkNode *n = firstnode(args); n; n = nextnode(n)) {
        if (!first)
            fputc(' ', xtrerr);
        first = false;
        quotedqputs(static_cast<char *>(getdata(n)), xtrerr);
    }
    fputc('\n', xtrerr);
    fflush(xtrerr);
}

// ---- runcmd ----

// command -v and -V ask what a name is instead of running it; the query
// runs bin_whence under command's own name and options.
static BuiltinEntry commandquery = mkbuiltin("command", 0, bin_whence, 0, -1, BIN_COMMAND, "pvV", nullptr);

// Options after the command modifier: with -v or -V the words stay for
// the query and the result is CMDOPT_QUERY; else -p gives CMDOPT_PATH and
// the option words are removed.
enum { CMDOPT_QUERY = 1, CMDOPT_PATH = 2 };
static int commandopts(LinkList *args)
{
    int got = 0, nopts = 0;
    for (LinkNode *n = firstnode(args); n; n = nextnode(n)) {
        char *w = static_cast<char *>(getdata(n));
        if (*w != '-' || !w[1])
            break;
        if (!strcmp(w, "--")) {
            nopts++;
            break;
        }
        if (strspn(w + 1, "pvV") != strlen(w + 1))
            break;
        nopts++;
        if (strpbrk(w + 1, "vV"))
            got |= CMDOPT_QUERY;
        if (strchr(w + 1, 'p'))
            got |= CMDOPT_PATH;
    }
    if (got & CMDOPT_QUERY) {
        pushnode(args, dupstring("command"));
        return CMDOPT_QUERY;
    }
    while (nopts--)
        uremnode(args, firstnode(args));
    return got;
}

// A redirection error of a special builtin ends a POSIX script.
static bool keepredirerr(Builtin *bn)
{
    return bn && (bn->flags & BI_PSPECIAL) && emulating(EMULATE_SH);
}

void runcmd(ExecState *state, int input, int output, int how, int last1)
{
    FILE *oxtrerr = xtrerr;
    // autocontinue may be set for this command alone (a %job disowned).
    OptionGuard autocontguard(AUTOCONTINUE);
    wordcode code = *state->pc;
    int type = int(code_type(code));
    bool is_builtin = false, is_shfunc = false, is_exec = false, do_exec = false;
    int nullexec = 0, cflags = 0, forked = 0;
    bool magic_assign = false;
    Builtin *bn = nullptr;
    ShellFunc *shf = nullptr;
    LinkList *args = nullptr, *redir = nullptr;
    wordcode *varspc = nullptr;
    int save[10];
    Multio *mfds[10];
    HighFdSave *highsave = nullptr;
    for (int i = 0; i < 10; i++) {
        save[i] = -2;
        mfds[i] = nullptr;
    }

    wordcode *cmdstart = state->pc;
    redir = ecgetredirs(state);
    code = *state->pc++;
    type = int(code_type(code));
    if (type == CODE_ASSIGN) {
        varspc = state->pc - 1;
        while (code_type(code) == CODE_ASSIGN) {
            state->pc += assign_type(code) == ASSIGN_ARRAY ? assign_num(code) + 1 : 2;
            code = *state->pc++;
        }
        type = int(code_type(code));
    }
    bool hastok = false;
    if (type == CODE_SIMPLE) {
        int tokflag = 0;
        args = ecgetlist(state, int(simple_argc(code)), EC_DUPTOK, &tokflag);
        if (!args)
            args = newlinklist();
        hastok = tokflag;
        // Redirections written after the words.
        LinkList *r2 = ecgetredirs(state);
        if (r2 && nonempty(r2)) {
            if (!redir)
                redir = r2;
            else
                insertlinklist(r2, lastnode(redir), redir);
        }
    }
    if (!redir)
        redir = newlinklist();

    // A job reference (%n, %name) as the command name means fg, bg or disown.
    if (type == CODE_SIMPLE && nonempty(args)) {
        char *first = static_cast<char *>(getdata(firstnode(args)));
        if (*first == '%') {
            if (how & Z_DISOWN)
                opts[AUTOCONTINUE] = 1;
            pushnode(args, dupstring((how & Z_DISOWN) ? "disown" : (how & Z_ASYNC) ? "bg" : "fg"));
            how = Z_SYNC;
        }
    }
    if (type == CODE_SIMPLE && isset(AUTORESUME) && (how & Z_SYNC) && countlinknodes(args) == 1 && empty(redir) &&
        !input) {
        if (unset(NOTIFY))
            scanjobs();
        if (findjobnam(static_cast<char *>(getdata(firstnode(args)))) != -1)
            pushnode(args, dupstring("fg"));
    }

    // First pass over precommand modifiers.
    bool settled = false, defpath = false;
    // The options of the command modifier: true when they make it a query.
    auto commandmodifier = [&]() {
        int co = commandopts(args);
        if (co & CMDOPT_QUERY) {
            bn = &commandquery;
            is_builtin = true;
            return true;
        }
        defpath = defpath || (co & CMDOPT_PATH);
        return false;
    };
    // What the first word is: a function, a builtin, a precommand
    // modifier (removed, its flags collected), or none of them.
    enum FirstWord { FW_NONE, FW_FUNC, FW_BUILTIN, FW_MODIFIER, FW_QUERY, FW_ERROR };
    auto firstword = [&]() {
        char *cmdarg = static_cast<char *>(getdata(firstnode(args)));
        if (!(cflags & (BI_BUILTIN | BI_COMMAND)) &&
            (shf = static_cast<ShellFunc *>(shfunctab->getnode(shfunctab, cmdarg)))) {
            is_shfunc = true;
            return FW_FUNC;
        }
        Builtin *b = static_cast<Builtin *>(builtintab->getnode(builtintab, cmdarg));
        if (!b) {
            if (cflags & BI_BUILTIN) {
                qwarnnam(nullptr, "no such builtin: %s", cmdarg, 0);
                lastval = 1;
                return FW_ERROR;
            }
            return FW_NONE;
        }
        if (!(b->flags & BI_PRECMD)) {
            // Only an autoload stub needs the second look-up that loads it.
            bn = b->handler ? b : getbuiltin(cmdarg);
            if (!bn)
                bn = b;
            is_builtin = true;
            return FW_BUILTIN;
        }
        cflags &= ~(BI_BUILTIN | BI_COMMAND);
        cflags |= b->flags;
        uremnode(args, firstnode(args));
        return (b->flags & BI_COMMAND) && commandmodifier() ? FW_QUERY : FW_MODIFIER;
    };
    if (type == CODE_SIMPLE) {
        while (nonempty(args) && (!hastok || !has_token(static_cast<char *>(getdata(firstnode(args)))))) {
            FirstWord fw = firstword();
            if (fw == FW_ERROR)
                return;
            if (fw == FW_NONE)
                break;
            if (fw != FW_MODIFIER) {
                settled = true;
                if (fw == FW_BUILTIN)
                    magic_assign = bn->flags & BI_MAGICEQUALS;
                break;
            }
            if ((cflags & BI_COMMAND) && unset(POSIXBUILTINS))
                break;
        }
    }

    if (type == CODE_SIMPLE && hastok) {
        prefork(args, (magic_assign || isset(MAGICEQUALSUBST)) ? EXP_TYPESET : 0);
        if (errflag) {
            lastval = 1;
            return;
        }
    }

    // Second pass: settle the command.
    if (type == CODE_SIMPLE && !errflag) {
        for (;;) {
            if (!(cflags & BI_NOGLOB)) {
                // The command name must be final before it is looked up.
                if (hastok && nonempty(args) && has_token(static_cast<char *>(getdata(firstnode(args))))) {
                    LinkList *one = newlinklist();
                    addlinknode(one, ugetnode(args));
                    globlist(one, 0);
                    insertlinklist(one, listhead(args), args);
                }
            } else {
                for (LinkNode *n = firstnode(args); n; n = nextnode(n))
                    untokenize(static_cast<char *>(getdata(n)));
            }
            if ((cflags & BI_EXEC) && last1)
                do_exec = true;
            if (empty(args)) {
                if (nonempty(redir)) {
                    if (cflags & BI_EXEC) {
                        nullexec = 1;
                        break;
                    }
                    if (varspc) {
                        nullexec = 2;
                        break;
                    }
                    const char *nc = getsparam("NULLCMD");
                    if (!nc || !*nc || isset(CSHNULLCMD) || cflags) {
                        qerr("redirection with no command", nullptr, 0);
                        lastval = 1;
                        return;
                    }
                    if (isset(SHNULLCMD)) {
                        addlinknode(args, dupstring(":"));
                    } else {
                        const char *rnc = getsparam("READNULLCMD");
                        Redir *r0 = static_cast<Redir *>(getdata(firstnode(redir)));
                        if (rnc && *rnc && countlinknodes(redir) == 1 && r0->type == RT_READ)
                            addlinknode(args, dupstring(rnc));
                        else
                            addlinknode(args, dupstring(nc));
                    }
                    // Look up the null command afresh.
                    char *nm = static_cast<char *>(getdata(firstnode(args)));
                    if ((shf = static_cast<ShellFunc *>(shfunctab->getnode(shfunctab, nm))))
                        is_shfunc = true;
                    else if ((bn = getbuiltin(nm)))
                        is_builtin = true;
                    break;
                }
                if (cflags & BI_COMMAND) {
                    lastval = 0;
                    return;
                }
                cmdoutval = 0;
                if (varspc)
                    doassigns(state, varspc, 0);
                lastval = errflag ? 1 : cmdoutval;
                if (isset(XTRACE)) {
                    fputc('\n', xtrerr);
                    fflush(xtrerr);
                }
                return;
            }
            if ((cflags & BI_EXEC) && isset(RESTRICTED)) {
                qerrnam("exec", "%s: restricted", static_cast<char *>(getdata(firstnode(args))), 0);
                lastval = 1;
                return;
            }
            if (errflag || settled || is_builtin || ((cflags & BI_COMMAND) && unset(POSIXBUILTINS)))
                break;
            FirstWord fw = firstword();
            if (fw == FW_ERROR)
                return;
            if (fw != FW_MODIFIER)
                break;
            settled = false;
        }
    }
    if (errflag) {
        lastval = 1;
        return;
    }

    // The default path would reach commands a restricted PATH keeps out.
    if (defpath && isset(RESTRICTED)) {
        qwarnnam("command", "%s: restricted", "-p", 0);
        lastval = 1;
        return;
    }

    // $_ becomes the last word.
    if (type == CODE_SIMPLE && args && nonempty(args))
        setunderscore(static_cast<char *>(getdata(lastnode(args))));
    else if (type == CODE_SIMPLE)
        setunderscore("");

    if (type == CODE_SIMPLE && args && nonempty(args) && isset(INTERACTIVE) && isset(SHINSTDIN) &&
        unset(RMSTARSILENT) && !strcmp(static_cast<char *>(getdata(firstnode(args))), "rm") &&
        nextnode(firstnode(args)) && !rmstarcheck(args)) {
        errflag = errflag | ERRFLAG_ERROR;
        lastval = 1;
        return;
    }

    // Resolve an external command through the hash table.
    CmdEntry *hn = nullptr;
    if (type == CODE_SIMPLE && !is_shfunc && !is_builtin && !nullexec && args && nonempty(args)) {
        char *cmdarg = static_cast<char *>(getdata(firstnode(args)));
        bool trycd = isset(AUTOCD) && isset(SHINSTDIN) && empty(redir) && countlinknodes(args) == 1 && *cmdarg;
        hn = static_cast<CmdEntry *>(cmdnamtab->getnode(cmdnamtab, cmdarg));
        bool force = false;
        if (hn && trycd && !isreallycom(hn)) {
            if (!(hn->flags & CMD_HASHED))
                force = true;
            cmdnamtab->freenode(cmdnamtab->removenode(cmdnamtab, cmdarg));
            hn = nullptr;
        }
        if (!hn && (isset(HASHCMDS) || force) && strcmp(cmdarg, "..") && !strchr(cmdarg, '/'))
            hn = hashcmd(cmdarg, force ? path : pathchecked);
        if (!hn && trycd) {
            if (char *dir = autocdtarget(cmdarg)) {
                setdata(firstnode(args), dir);
                pushnode(args, dupstring("cd"));
                bn = getbuiltin("cd");
                is_builtin = bn != nullptr;
                doprintdir = -1;
            }
        }
    }

    // The words of a command waited for are expanded here, before any fork,
    // so that an expansion error ends the list whatever the command is; a
    // background job or an early pipeline element expands in its child.
    auto expandwords = [&]() {
        // Words compiled without tokens have nothing to glob or untokenize.
        if (hastok && args && nonempty(args) && !(cflags & BI_NOGLOB))
            globlist(args, 0);
        if (errflag)
            return RedirExp::EXPERR;
        if (args && !(is_builtin && bn->handler == bin_typeset))
            untypesetmarks(args);
        if (empty(redir))
            return errflag ? RedirExp::EXPERR : RedirExp::OK;
        return expandredirs(redir);
    };
    RedirExp rexp = RedirExp::OK;
    bool expanded = last1 && !(how & Z_ASYNC);
    if (expanded && (rexp = expandwords()) != RedirExp::OK) {
        lastval = 1;
        if (rexp == RedirExp::BAD && !keepredirerr(is_builtin ? bn : nullptr))
            errflag = 0;
        return;
    }

    // Input read ahead is held only over commands that cannot see where
    // the file stands: calls of functions and the builtins below, whose
    // commands come here in their turn, and commands that only assign.
    if (args && nonempty(args) && !is_shfunc && !(is_builtin && keepsreadahead(bn->handler)))
        syncreadahead();

    bool is_cursh = is_builtin || is_shfunc || nullexec || type >= int(CODE_CURSH);
    bool mustfork = (how & Z_ASYNC) ||
                    (!do_exec && (((is_builtin || is_shfunc || nullexec) && output) ||
                                  (!is_cursh && (last1 != 1 || nsigtrapped || havefiles()))));
    char *text = nullptr;
    if ((how & Z_ASYNC) || (!sfcontext && !sourcelevel && (isset(MONITOR) || (how & Z_TIMED))))
        text = getjobtext(state->prog, cmdstart);

    // An external command of a script without prefix assignments, job
    // control, trace or limits of its own needs no copy of the shell.
    if (mustfork && type == CODE_SIMPLE && !is_cursh && args && nonempty(args) && !(how & Z_ASYNC) &&
        !varspc && !forkingcoproc && !(cflags & BI_DASH) && unset(MONITOR) &&
        unset(INTERACTIVE) && unset(XTRACE) && unset(RESTRICTED) && isset(EXEC) && !limitspending() &&
        spawnexternal(args, hn, text, redir, input, output))
        return;
    if (mustfork) {
        // The parent waits until the child is in its process group, so
        // that the job can be waited for or signalled.  Without job
        // control a command waited for at once keeps the shell's group and
        // nothing needs waiting for; a background one still paces the
        // shell, so that a loop starting jobs lets them settle.
        int synch[2] = {-1, -1};
        if ((isset(MONITOR) || (how & Z_ASYNC)) && pipe(synch) < 0) {
            qerr("fork failed: %e", nullptr, errno);
            lastval = 1;
            return;
        }
        auto closesynch = [&](int end) {
            if (synch[end] >= 0)
                close(synch[end]);
        };
        struct timeval bgtime;
        gettimeofday(&bgtime, nullptr);
        bool child;
        pid_t pid = forkchild(&child);
        if (pid == -1) {
            closesynch(0);
            closesynch(1);
            lastval = 1;
            return;
        }
        if (!child) {
            closesynch(1);
            char c;
            if (synch[0] >= 0 && read(synch[0], &c, 1) < 0) {
            }
            closesynch(0);
            closem(FDT_PROC_SUBST);
            if (how & Z_ASYNC) {
                lastpid = pid;
                noteasyncjob(pid);
            } else if (thisjob != -1 && varspc) {
                ExecState s2 = *state;
                s2.pc = varspc;
                wordcode ac;
                while (code_type(ac = *s2.pc) == CODE_ASSIGN) {
                    s2.pc++;
                    char *nm = ecgetstr(&s2, EC_NODUP, nullptr);
                    if (!strcmp(nm, "STTY"))
                        jobtab[thisjob].stty_in_env = 1;
                    s2.pc += assign_type(ac) == ASSIGN_ARRAY ? assign_num(ac) : 1;
                }
            }
            if (thisjob != -1)
                addproc(pid, text, 0, &bgtime);
            return;
        }
        forked = 1;
        closesynch(0);
        becomesubshell(how, (type == CODE_SUBSH || (how & Z_ASYNC)) ? 1 : 2, 0);
        if (forkingcoproc) {
            // The coprocess must not hold the shell's ends of its own pipes:
            // with the write end of its input open it never sees end-of-file.
            forkingcoproc = 0;
            if (coprocin != -1)
                close(coprocin);
            if (coprocout != -1)
                close(coprocout);
            coprocin = coprocout = -1;
        }
        closesynch(1);
        if (sigignored(SIGINT))
            holdintr();
        if ((how & Z_ASYNC) && isset(BGNICE)) {
            if (nice(5) < 0) {
            }
        }
    } else if (is_cursh) {
        if (thisjob != -1)
            jobtab[thisjob].stat |= JOB_CURSH;
    } else {
        is_exec = true;
    }

    if (!expanded && (rexp = expandwords()) != RedirExp::OK) {
        lastval = 1;
        if (rexp == RedirExp::BAD && !keepredirerr(is_builtin ? bn : nullptr))
            errflag = 0;
        goto err;
    }

    // Keep the trace off redirected descriptor 2.
    if (isset(XTRACE) && xtrerr == stderr && (type < int(CODE_SUBSH) || type == int(CODE_TIMED))) {
        int fd = fcntl(2, F_DUPFD_CLOEXEC, 10);
        if (fd >= 0) {
            movefd(fd);
            fdtable[fd] = FDT_XTRACE;
            xtrerr = fdopen(fd, "w");
            if (!xtrerr)
                xtrerr = stderr;
        }
    }

    if (input)
        attachfd(forked, save, mfds, 0, input, 0);
    if (output)
        attachfd(forked, save, mfds, 1, output, 1);
    {
        int olderr = errflag;
        if (nonempty(redir) ? !applyredirs(redir, forked, save, mfds, &highsave) : errflag) {
            if (forked)
                _exit(1);
            lastval = 1;
            // A failed redirection fails this command only; the list
            // goes on.
            if (!olderr && !keepredirerr(is_builtin ? bn : nullptr))
                errflag = 0;
            goto err;
        }
    }
    // Only redirections make multios.
    if (input || output || (redir && nonempty(redir)))
        for (int i = 0; i < 10; i++)
            if (mfds[i] && mfds[i]->ct >= 2)
                flushmultio(mfds, i);

    if (nullexec) {
        if (nullexec == 1) {
            dropfdsaves(save, highsave);
            highsave = nullptr;
            lastval = 0;
        } else {
            cmdoutval = 0;
            doassigns(state, varspc, 0);
            lastval = errflag ? 1 : cmdoutval;
            if (isset(XTRACE)) {
                fputc('\n', xtrerr);
                fflush(xtrerr);
            }
        }
    } else if (isset(EXEC) && !errflag) {
        if (is_exec)
            becomesubshell(how, type == CODE_SUBSH ? 1 : 2, 1);
        if (type >= int(CODE_CURSH)) {
            if (last1 == 1)
                do_exec = true;
            lastval = execcomplex(state, code, do_exec);
        } else if (is_builtin || is_shfunc) {
            LinkList *saved = nullptr;
            if (!forked && varspc &&
                ((cflags & BI_COMMAND) || (unset(POSIXBUILTINS) && !(is_builtin && (bn->flags & BI_MAGICEQUALS))) ||
                 (isset(POSIXBUILTINS) && !is_shfunc && !(is_builtin && (bn->flags & BI_PSPECIAL)))))
                saved = saveassigned(state, varspc);
            if (varspc) {
                doassigns(state, varspc, is_shfunc ? 1 : 0);
                if (isset(XTRACE) && is_shfunc) {
                    fputc('\n', xtrerr);
                    fflush(xtrerr);
                }
            }
            if (errflag) {
                restoreassigned(saved);
                lastval = 1;
                goto err;
            }
            if (is_shfunc) {
                if (closeinchild >= 0)
                    qclose(closeinchild);
                runshellfunc(shf, args);
            } else {
                if (forked)
                    closem(FDT_INTERNAL);
                lastval = execbuiltin(args, bn);
            }
            closem(FDT_PROC_SUBST);
            // A builtin whose output could not be written fails, whether
            // or not its output was redirected.
            if (__fpending(stdout) || ferror(stdout)) {
                if ((fflush(stdout) || ferror(stdout)) && !is_shfunc) {
                    qwarn("write error: %e", nullptr, errno);
                    if (!lastval)
                        lastval = 1;
                }
                clearerr(stdout);
            }
            if (isset(PRINTEXITVALUE) && isset(SHINSTDIN) && lastval && !subsh) {
                fprintf(stderr, "tarn: exit %ld\n", long(lastval));
                fflush(stderr);
            }
            if (do_exec) {
                syncreadahead();
                if (subsh)
                    _exit(int(lastval));
                if (isset(RCS) && isset(INTERACTIVE) && !nohistsave)
                    savehistfile(nullptr, 1, HFILE_USE_OPTIONS);
                shellexit(int(lastval));
            }
            restoreassigned(saved);
        } else {
            if (!forked)
                setiparam("SHLVL", getiparam("SHLVL") - 1);
            if (do_exec && !subsh && isset(RCS) && isset(INTERACTIVE) && !nohistsave)
                savehistfile(nullptr, 1, HFILE_USE_OPTIONS);
            if (type == CODE_SIMPLE) {
                if (varspc) {
                    doassigns(state, varspc, -1);
                    if (errflag)
                        _exit(1);
                }
                closem(FDT_INTERNAL);
                if (coprocin != -1) {
                    close(coprocin);
                    coprocin = -1;
                }
                if (coprocout != -1) {
                    close(coprocout);
                    coprocout = -1;
                }
                if (!forked)
                    setlimits();
                if (how & Z_ASYNC) {
                    qsfree(STTYval);
                    STTYval = nullptr;
                }
                if (defpath) {
                    // command -p: only the system's default directories;
                    // this process execs or exits, so path is not restored.
                    char *arg0 = static_cast<char *>(getdata(firstnode(args)));
                    if (HashNode *h = cmdnamtab->removenode(cmdnamtab, arg0))
                        cmdnamtab->freenode(h);
                    path = defaultsyspath();
                }
                execute(args, cflags & BI_DASH);
            } else {
                list_pipe = 0;
                if (closeinchild >= 0)
                    close(closeinchild);
                execlist(state, 0, 1);
            }
        }
    }

err:
    if (forked) {
        // An EXIT trap the subshell set itself runs as it ends.
        subshellexittrap();
        fflush(stdout);
        _exit(int(lastval));
    }
    fixfds(save, highsave);
    if (xtrerr != oxtrerr && xtrerr != stderr) {
        fclose(xtrerr);
        for (int i = 10; i <= max_tarn_fd; i++)
            if (fdtable[i] == FDT_XTRACE)
                fdtable[i] = FDT_UNUSED;
    }
    xtrerr = oxtrerr;
    qsfree(STTYval);
    STTYval = nullptr;
}
