// Shell functions: defining them from wordcode, calling them with their
// own positional parameters, options and scopes, and autoloading.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "jobs/jobs.h"
#include "modules/module.h"
#include "params/params.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

FuncStack *funcstack;
int sfcontext;
static int funcdepth;

// Build a permanent program for a function body from the definition
// words at pc (which point past the names).
static Eprog *bodyprog(ExecState *state, wordcode *end)
{
    wordcode *pc = state->pc;
    int sbeg = int(*pc++), nstrs = int(*pc++), npats = int(*pc++);
    int codelen = int(end - pc);
    size_t len = size_t(npats) * sizeof(Patprog *) + size_t(codelen) * sizeof(wordcode) + size_t(nstrs);
    Eprog *p = qcnew<Eprog>();
    p->flags = EF_REAL;
    p->len = int(len);
    p->pattern_count = npats;
    p->ref_count = 1;
    char *block = static_cast<char *>(qalloc(len));
    p->pattern_slots = reinterpret_cast<Patprog **>(block);
    p->prog = reinterpret_cast<wordcode *>(block + size_t(npats) * sizeof(Patprog *));
    p->string_table = reinterpret_cast<char *>(p->prog + codelen);
    for (int i = 0; i < npats; i++)
        p->pattern_slots[i] = dummy_patprog1;
    memcpy(p->prog, pc, size_t(codelen) * sizeof(wordcode));
    memcpy(p->string_table, state->string_table + sbeg, size_t(nstrs));
    return p;
}

int execfuncdef(ExecState *state, int)
{
    wordcode *end = state->pc + funcdef_skip(state->pc[-1]);
    int num = int(*state->pc++);
    LinkList *names = ecgetlist(state, num, EC_DUPTOK, nullptr);
    int ret = 0;
    if (names && nonempty(names)) {
        bool tok = false;
        for (LinkNode *n = firstnode(names); n; n = nextnode(n))
            if (has_token(static_cast<char *>(getdata(n))))
                tok = true;
        if (tok) {
            prefork(names, 0);
            globlist(names, 0);
        }
        // The body's words end with its CODE_END, one word before end.
        for (LinkNode *n = firstnode(names); n && !errflag; n = nextnode(n)) {
            char *name = static_cast<char *>(getdata(n));
            untokenize(name);
            ExecState s = *state;
            Eprog *prog = bodyprog(&s, end);
            ShellFunc *shf = newshfunc();
            shf->funcdef = prog;
            shf->flags = 0;
            int sig;
            if (!strncmp(name, "TRAP", 4) && (sig = getsignum(name + 4)) != -1) {
                if (settrapfunc(sig, shf)) {
                    freeeprog(prog);
                    qfree(shf);
                    ret = 1;
                    continue;
                }
            }
            shfunctab->addnode(shfunctab, qtrdup(name), shf);
        }
    }
    state->pc = end;
    return ret;
}

void runshfunc(Eprog *prog, FuncWrap *wrap, const char *name)
{
    // A module's wrapper that runs the body itself ends the walk.
    if (wrap && !runwrappers(prog, wrap, const_cast<char *>(name)))
        return;
    // The arena copy outlives the body: only loops and the top level free
    // arena memory at their own levels.
    char *ou = dupstring(qunderscore ? qunderscore : "");
    startparamscope();
    execode(prog, 1, 0, "shfunc");
    setunderscore(ou);
    endparamscope();
}

int doshfunc(const char *name, Eprog *prog, LinkList *args, int flags, int noreturnval)
{
    if (funcdepth >= MAX_FUNCTION_DEPTH) {
        qerr("maximum nested function level reached", nullptr, 0);
        lastval = 1;
        return 1;
    }
    HeapGuard hg;
    int obreaks = breaks;
    int ret = 0;
    if (trapreturn < 0)
        trapreturn--;
    int64_t oldlastval = lastval;
    starttrapscope();
    char **pptab = pparams;
    bool pparena = pparamsarena;
    char *oldscriptname = scriptname;
    // One arena copy of the name serves the script name and the stack.
    char *namecopy = dupstring(name);
    if (!(flags & PM_UNDEFINED))
        scriptname = namecopy;
    int64_t oldoptind = qoptind;
    qoptind = 1;
    signed char saveopts[OPT_SIZE];
    memcpy(saveopts, opts, sizeof saveopts);
    if (flags & PM_TAGGED)
        opts[XTRACE] = 1;
    opts[PRINTEXITVALUE] = 0;
    // The call's parameters are arena copies, made at this call's arena
    // level and gone with it; whatever replaces them inside the call
    // leaves them alone (setpparams, setargzero).
    bool newzero = isset(FUNCTIONARGZERO);
    char *oargv0 = argzero;
    bool ozeroarena = argzeroarena;
    if (args) {
        int n = countlinknodes(args);
        pparams = qhnew<char *>(size_t(n));
        int i = 0;
        LinkNode *node = firstnode(args);
        if (node)
            node = nextnode(node);
        for (; node; node = nextnode(node))
            pparams[i++] = dupstring(static_cast<char *>(getdata(node)));
        pparams[i] = nullptr;
        if (newzero)
            argzero = dupstring(static_cast<char *>(getdata(firstnode(args))));
    } else {
        pparams = qhnew<char *>(1);
        pparams[0] = nullptr;
        if (newzero)
            argzero = namecopy;
    }
    pparamsarena = true;
    if (newzero)
        argzeroarena = true;
    FuncStack fs;
    fs.name = namecopy;
    fs.prev = funcstack;
    funcstack = &fs;
    funcdepth++;

    if (prog->flags & EF_RUN) {
        // A file that defines the function: run it, then the function.
        prog->flags &= ~EF_RUN;
        runshfunc(prog, nullptr, name);
        ShellFunc *shf = static_cast<ShellFunc *>(shfunctab->getnode(shfunctab, name));
        if (!shf || (shf->flags & PM_UNDEFINED)) {
            qwarn("%s: function not defined by file", name, 0);
            if (noreturnval)
                errflag = 1;
            else
                lastval = 1;
        } else {
            runshfunc(shf->funcdef, wrappers, name);
        }
    } else {
        runshfunc(prog, wrappers, name);
    }

    funcdepth--;
    funcstack = fs.prev;
    if (retflag) {
        retflag = 0;
        breaks = obreaks;
        ret = 1;
    }
    setpparams(pptab, pparena);
    if (newzero)
        setargzero(oargv0, ozeroarena);
    qoptind = oldoptind;
    scriptname = oldscriptname;
    if (isset(LOCALOPTIONS)) {
        saveopts[PRIVILEGED] = opts[PRIVILEGED];
        saveopts[RESTRICTED] = opts[RESTRICTED];
        memcpy(opts, saveopts, sizeof saveopts);
        inittyptab();
    } else {
        opts[XTRACE] = saveopts[XTRACE];
        opts[PRINTEXITVALUE] = saveopts[PRINTEXITVALUE];
        opts[LOCALOPTIONS] = saveopts[LOCALOPTIONS];
    }
    endtrapscope();
    if (trapreturn < -1)
        trapreturn++;
    if (noreturnval)
        lastval = oldlastval;
    if (exit_pending) {
        if (locallevel > forklevel) {
            retflag = 1;
            breaks = loops;
        } else {
            stopmsg = 1;
            qexit(exit_pending >> 1, 0);
        }
    }
    return ret;
}

void runshellfunc(ShellFunc *shf, LinkList *args)
{
    if (errflag)
        return;
    LinkList *keepfiles = nullptr;
    if (!list_pipe && thisjob != -1 && !hasprocs(thisjob)) {
        keepfiles = jobtab[thisjob].filelist;
        jobtab[thisjob].filelist = nullptr;
        deletejob(jobtab + thisjob);
        thisjob = -1;
    }
    if (isset(XTRACE))
        tracewords(args);
    // The call's own context stack lives as long as the call.
    char callstack[CMDSTACKSZ];
    char *ocs = cmdstack;
    int ocsp = cmdsp;
    cmdstack = callstack;
    cmdsp = 0;
    int osfc = sfcontext;
    if (!sfcontext)
        sfcontext = SFC_DIRECT;
    // Keep /dev/fd names of process substitutions valid for the call.
    for (int i = 10; i <= max_tarn_fd && i < fdtable_size; i++)
        if (fdtable[i] >= FDT_PROC_SUBST)
            fdtable[i]++;
    doshfunc(shf->nam, shf->funcdef, args, shf->flags, 0);
    for (int i = 10; i <= max_tarn_fd && i < fdtable_size; i++)
        if (fdtable[i] >= FDT_PROC_SUBST + 1) {
            if (--fdtable[i] <= FDT_PROC_SUBST)
                qclose(i);
        }
    sfcontext = osfc;
    cmdstack = ocs;
    cmdsp = ocsp;
    deletefilelist(keepfiles);
}

// The functions a hook runs besides its own: those named in the array
// NAME_functions, in order.
static char **hookfunctions(const char *name)
{
    char buf[64];
    if (snprintf(buf, sizeof buf, "%s_functions", name) >= int(sizeof buf))
        return nullptr;
    char **fns = getaparam(buf);
    return fns && *fns ? fns : nullptr;
}

bool hookwanted(const char *name)
{
    return shfunctab->getnode(shfunctab, name) || hookfunctions(name);
}

int callhookfunc(const char *name, LinkList *lnklst, int arrayp, int *retval)
{
    ShellFunc *shf = static_cast<ShellFunc *>(shfunctab->getnode(shfunctab, name));
    char **fns = arrayp ? hookfunctions(name) : nullptr;
    if (!shf && !fns)
        return 1;
    int osc = sfcontext, ostopmsg = stopmsg;
    sfcontext = SFC_HOOK;
    int64_t olv = lastval;
    LinkList *args = lnklst;
    HeapGuard hg;
    if (!args) {
        args = newlinklist();
        addlinknode(args, dupstring(name));
    }
    bool ran = false;
    if (shf) {
        doshfunc(name, shf->funcdef, args, shf->flags, 1);
        ran = true;
    }
    if (fns) {
        // What the functions run may change the array.
        fns = arrdup(fns);
        void *hookname = getdata(firstnode(args));
        for (char **f = fns; *f && !errflag; f++) {
            ShellFunc *af = static_cast<ShellFunc *>(shfunctab->getnode(shfunctab, *f));
            if (!af)
                continue;
            setdata(firstnode(args), *f);
            doshfunc(*f, af->funcdef, args, af->flags, 1);
            ran = true;
        }
        setdata(firstnode(args), hookname);
    }
    if (retval)
        *retval = int(lastval);
    lastval = olv;
    sfcontext = osc;
    // A hook's own commands do not count against the stopped-jobs warning.
    stopmsg = ostopmsg;
    return ran ? 0 : 1;
}

// ---- autoloading ----

// The definition of name along fpath, from a compiled file or parsed from
// its text; null when not found.  ksh gets the load style a compiled file
// records (2 ksh, 0 native), else 1.
static Eprog *getfpfunc(const char *name, int *ksh)
{
    char **pp = fpath;
    *ksh = 1;
    for (; pp && *pp; pp++) {
        if (strlen(*pp) + strlen(name) + 1 >= 1024)
            continue;
        char *fn = **pp ? qhtricat(*pp, "/", name) : dupstring(name);
        if (Eprog *dp = try_dump_file(*pp, name, fn, ksh))
            return dp;
        char *ufn = unmeta(fn);
        if (!ufn || access(ufn, R_OK))
            continue;
        int fd = open(ufn, O_RDONLY | O_NOCTTY);
        if (fd < 0)
            continue;
        off_t len = lseek(fd, 0, SEEK_END);
        if (len < 0 || lseek(fd, 0, SEEK_SET) < 0) {
            close(fd);
            continue;
        }
        char *d = static_cast<char *>(qalloc(size_t(len) + 1));
        ssize_t got = read(fd, d, size_t(len));
        close(fd);
        if (got != len) {
            qfree(d);
            continue;
        }
        d[len] = '\0';
        char *md = metafy(d, int(len), META_REALLOC);
        char *osn = scriptname;
        scriptname = dupstring(name);
        Eprog *prog = parse_string(md, 0);
        scriptname = osn;
        qfree(md);
        return prog ? prog : &dummy_eprog;
    }
    return nullptr;
}

// A program of one definition of name alone is replaced by its body.
static Eprog *stripkshdef(Eprog *prog, const char *name)
{
    if (!prog || prog == &dummy_eprog)
        return prog;
    wordcode *pc = prog->prog;
    wordcode code = *pc++;
    if (code_type(code) != CODE_LIST || !(list_type(code) & Z_SYNC) || !(list_type(code) & Z_END) ||
        !(list_type(code) & Z_SIMPLE))
        return prog;
    pc++;  // line number
    code = *pc++;
    if (code_type(code) != CODE_FUNCDEF || *pc != 1)
        return prog;
    wordcode *end = pc - 1 + funcdef_skip(code) + 1;
    if (code_type(*end) != CODE_END)
        return prog;
    pc++;
    int tok;
    char *fname = ecrawstr(prog, pc, &tok);
    if (strcmp(fname, name))
        return prog;
    pc++;
    ExecState s;
    s.prog = prog;
    s.pc = pc;
    s.string_table = prog->string_table;
    Eprog *body = bodyprog(&s, end);
    return body;
}

// A program to keep as a function body: parsed text is copied out of the
// arena; one from a compiled file is permanent already and is taken over.
static Eprog *keepprog(Eprog *prog)
{
    return (prog->flags & EF_HEAP) ? dupeprog(prog, 0) : prog;
}

ShellFunc *loadautofn(ShellFunc *shf, int kshstyle, int autol)
{
    HeapGuard hg;
    int onoaliases = noaliases;
    noaliases = (shf->flags & PM_UNALIASED) != 0;
    int ksh;
    Eprog *prog = getfpfunc(shf->nam, &ksh);
    noaliases = onoaliases;
    if (!prog) {
        locallevel--;
        qwarn("%s: function definition file not found", shf->nam, 0);
        locallevel++;
        return nullptr;
    }
    if (ksh == 1)
        ksh = kshstyle;
    if (ksh == 2 || (ksh == 1 && isset(KSHAUTOLOAD))) {
        if (autol) {
            Eprog *p = keepprog(prog);
            if (p != &dummy_eprog)
                p->flags |= EF_RUN;
            if (shf->funcdef)
                freeeprog(shf->funcdef);
            shf->funcdef = p;
        } else {
            // The file runs once to define the function; what it defines
            // holds its own copies.
            // Defining the function replaces (frees) this entry.
            char *fname = dupstring(shf->nam);
            execode(prog, 1, 0, "evalautofunc");
            if (!(prog->flags & EF_HEAP))
                freeeprog(prog);
            ShellFunc *n = static_cast<ShellFunc *>(shfunctab->getnode(shfunctab, fname));
            if (!n || (n->flags & PM_UNDEFINED)) {
                qwarn("%s: function not defined by file", fname, 0);
                return nullptr;
            }
            return n;
        }
    } else {
        Eprog *body = stripkshdef(prog, shf->nam);
        Eprog *p = body;
        if (body == prog)
            p = keepprog(prog);
        else if (!(prog->flags & EF_HEAP))
            freeeprog(prog);
        if (shf->funcdef)
            freeeprog(shf->funcdef);
        shf->funcdef = p;
    }
    shf->flags &= ~PM_UNDEFINED;
    return shf;
}

int execautofn(ExecState *state, int)
{
    ShellFunc *shf = state->prog->function_link;
    // A file run to define the function replaces its entry: go on with
    // the entry it made.
    if (!shf || !(shf = loadautofn(shf, 1, 0)))
        return 1;
    char *osn = scriptname;
    scriptname = dupstring(shf->nam);
    execode(shf->funcdef, 1, 0, "loadautofunc");
    scriptname = osn;
    return int(lastval);
}

Eprog *mkautofn(ShellFunc *shf)
{
    Eprog *p = qcnew<Eprog>();
    p->len = 5 * int(sizeof(wordcode));
    wordcode *code = static_cast<wordcode *>(qalloc(size_t(p->len)));
    p->prog = code;
    p->pattern_slots = reinterpret_cast<Patprog **>(code);
    p->string_table = nullptr;
    p->flags = EF_REAL;
    p->pattern_count = 0;
    p->ref_count = 1;
    code[0] = build_list(Z_SYNC | Z_END, 0);
    code[1] = build_sublist(SUBLIST_END, SUBLIST_SIMPLE, 3);
    code[2] = 0;  // the line-number word of the simple sublist
    code[3] = code_build(CODE_AUTOFN, 0);
    code[4] = code_build(CODE_END, 0);
    p->function_link = shf;
    return p;
}
