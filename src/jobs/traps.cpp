// Traps: inline programs and TRAP functions per signal, traps local to a
// function, running a trap, and the trap builtin.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "jobs/jobs.h"
#include "modules/module.h"

#include <cstring>

int sigtrapped[SIGCOUNT];
Eprog *sigfuncs[SIGCOUNT];
TARN_HOT int nsigtrapped;
static int no_trap_saving;

// A trap saved by a function scope, restored when it returns.
struct SavedTrap {
    SavedTrap *next;
    int sig;
    int bits;
    int level;
    Eprog *prog;     // an inline trap's program
    ShellFunc *fn;   // a TRAP function taken out of the table
};
static SavedTrap *saved_traps;

static int traplevel(int bits) { return bits >> 3; }

static bool issystemsig(int sig) { return sig >= 1 && sig <= SIGNAL_COUNT; }

static char *trapfuncname(int sig)
{
    return qhtricat("TRAP", signame(sig), "");
}

bool sigtrapset(int sig)
{
    return sig >= 0 && sig < SIGCOUNT && (sigtrapped[sig] & (TRAP_SET | TRAP_FUNC)) && sigfuncs[sig];
}

bool sigignored(int sig)
{
    return sig >= 0 && sig < SIGCOUNT && (sigtrapped[sig] & TRAP_IGNORED) && !(sigtrapped[sig] & TRAP_SET);
}

// Take out the trap of sig, saving it for the function scope when needed;
// returns the TRAP function it had, if any.
static ShellFunc *removetrap(int sig)
{
    if (sig < 0 || sig >= SIGCOUNT)
        return nullptr;
    if (isset(MONITOR) && (sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU))
        return nullptr;
    SignalGuard sg;
    int bits = sigtrapped[sig];
    if (!no_trap_saving && (isset(LOCALTRAPS) || sig == 0) && locallevel &&
        (!bits || traplevel(bits) < locallevel)) {
        SavedTrap *st = qcnew<SavedTrap>();
        st->sig = sig;
        st->bits = bits;
        st->level = locallevel;
        if (bits & TRAP_FUNC) {
            HashNode *hn = shfunctab->getnode2(shfunctab, trapfuncname(sig));
            if (hn) {
                ShellFunc *copy = newshfunc();
                copy->nam = qtrdup(hn->nam);
                copy->flags = hn->flags;
                copy->funcdef = dupeprog(static_cast<ShellFunc *>(hn)->funcdef, 0);
                st->fn = copy;
            }
        } else if (sigfuncs[sig]) {
            st->prog = dupeprog(sigfuncs[sig], 0);
        }
        st->next = saved_traps;
        saved_traps = st;
    }
    ShellFunc *ret = nullptr;
    if (bits) {
        if (bits & TRAP_SET)
            nsigtrapped--;
        sigtrapped[sig] = 0;
        if (sig == SIGINT && isset(INTERACTIVE)) {
            intr();
            noholdintr();
        } else if (sig == SIGHUP) {
            install_handler(sig);
        } else if (issystemsig(sig) && sig != SIGWINCH && sig != SIGCHLD) {
            remove_handler(sig, SIG_DFL);
        }
        if (bits & TRAP_FUNC) {
            ret = static_cast<ShellFunc *>(removehashnode(shfunctab, trapfuncname(sig)));
            sigfuncs[sig] = nullptr;
        } else if (sigfuncs[sig]) {
            freeeprog(sigfuncs[sig]);
            sigfuncs[sig] = nullptr;
        }
    }
    return ret;
}

void unsettrap(int sig)
{
    if (ShellFunc *f = removetrap(sig))
        shfunctab->freenode(f);
}

// Counts the EXIT traps set, so that a subshell can tell its own from the
// one it started with.
TARN_HOT static unsigned exittrapsets, forkexittrap;

int settrap(int sig, Eprog *prog, int flags)
{
    if (sig < 0 || sig >= SIGCOUNT)
        return 1;
    if (isset(MONITOR) && (sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU)) {
        qerr("can't trap SIG%s in interactive shells", signame(sig), 0);
        return 1;
    }
    SignalGuard sg;
    unsettrap(sig);
    if (!sig)
        exittrapsets++;
    sigfuncs[sig] = prog;
    if (!prog || empty_eprog(prog)) {
        sigtrapped[sig] = TRAP_IGNORED;
        if (issystemsig(sig) && sig != SIGWINCH && sig != SIGCHLD)
            remove_handler(sig, SIG_IGN);
    } else {
        sigtrapped[sig] = TRAP_SET | flags;
        nsigtrapped++;
        if (issystemsig(sig) && sig != SIGWINCH && sig != SIGCHLD)
            install_handler(sig);
    }
    sigtrapped[sig] |= locallevel << 3;
    return 0;
}

// A function named TRAP+signal sets the trap too.
int settrapfunc(int sig, ShellFunc *shf)
{
    // The function is about to be added under its name; the trap refers
    // to its body.
    if (settrap(sig, shf->funcdef, TRAP_FUNC))
        return 1;
    sigtrapped[sig] &= ~TRAP_SET;
    nsigtrapped--;
    sigtrapped[sig] |= TRAP_FUNC;
    return 0;
}

void starttrapscope()
{
    // The caller's EXIT trap is saved one level deeper, so the function
    // starts without it and gets it back on return.
    if (sigtrapped[0]) {
        locallevel++;
        unsettrap(0);
        locallevel--;
    }
}

void endtrapscope()
{
    Eprog *exitprog = nullptr;
    ShellFunc *exitfn = nullptr;
    int exitbits = 0;
    // An EXIT trap the function set runs when it returns.
    if (sigtrapped[0] && traplevel(sigtrapped[0]) > locallevel) {
        exitbits = sigtrapped[0];
        if (exitbits & TRAP_FUNC) {
            exitfn = static_cast<ShellFunc *>(removehashnode(shfunctab, "TRAPEXIT"));
        } else {
            exitprog = sigfuncs[0];
        }
        sigfuncs[0] = nullptr;
        if (exitbits & TRAP_SET)
            nsigtrapped--;
        sigtrapped[0] = 0;
    }
    while (saved_traps && saved_traps->level > locallevel) {
        SavedTrap *st = saved_traps;
        saved_traps = st->next;
        no_trap_saving++;
        if (st->bits) {
            if (st->fn) {
                settrap(st->sig, st->fn->funcdef, TRAP_FUNC);
                sigtrapped[st->sig] = st->bits;
                shfunctab->addnode(shfunctab, st->fn->nam, st->fn);
            } else {
                settrap(st->sig, st->prog, 0);
                sigtrapped[st->sig] = st->bits;
            }
        } else {
            unsettrap(st->sig);
            if (st->prog)
                freeeprog(st->prog);
            if (st->fn)
                shfunctab->freenode(st->fn);
        }
        no_trap_saving--;
        qfree(st);
    }
    if (exitprog || exitfn) {
        int bits = exitbits;
        dotrapargs(0, &bits, exitfn ? exitfn->funcdef : exitprog);
        if (exitfn)
            shfunctab->freenode(exitfn);
        else
            freeeprog(exitprog);
    }
}

int dotrapargs(int sig, int *bits, Eprog *prog)
{
    if ((*bits & TRAP_IGNORED) || !prog || errflag)
        return 0;
    *bits |= TRAP_IGNORED;
    int obreaks = breaks;
    int trapret = 0;
    {
        LexGuard lg;
        bool saveexec = sig != 0 && sig != SIGDEBUG;
        if (saveexec)
            execsave();
        breaks = 0;
        runhookdef(BEFORETRAPHOOK, nullptr);
        if (*bits & TRAP_FUNC) {
            HeapGuard hg;
            LinkList *args = newlinklist();
            char *fname = trapfuncname(sig);
            addlinknode(args, fname);
            char num[16];
            snprintf(num, sizeof num, "%d", sig);
            addlinknode(args, dupstring(num));
            int otr = trapreturn, osfc = sfcontext;
            trapreturn = -1;
            sfcontext = SFC_SIGNAL;
            doshfunc(fname, prog, args, 0, 1);
            trapret = trapreturn > 0 ? trapreturn : (errflag ? 1 : 0);
            trapreturn = otr;
            sfcontext = osfc;
        } else {
            int otr = trapreturn;
            trapreturn = -2;
            execode(prog, 1, 0, "trap");
            trapret = trapreturn > 0 ? trapreturn : (errflag ? 1 : 0);
            trapreturn = otr;
        }
        runhookdef(AFTERTRAPHOOK, nullptr);
        if (saveexec)
            execrestore();
    }
    // Output of the trap took the editor's line away: draw it again.
    if (refreshptr)
        refreshptr();
    if (trapret > 0) {
        breaks = loops;
        errflag = ERRFLAG_INT;
    } else {
        breaks += obreaks;
        if (breaks > loops)
            breaks = loops;
    }
    // Unless the trap made the signal ignored itself.
    if ((*bits & 7) != TRAP_IGNORED)
        *bits &= ~TRAP_IGNORED;
    return trapret;
}

void dotrap(int sig)
{
    if (sig < 0 || sig >= SIGCOUNT)
        return;
    Eprog *prog = sigfuncs[sig];
    if (!prog || (sigtrapped[sig] & TRAP_IGNORED) || errflag)
        return;
    dotrapargs(sig, &sigtrapped[sig], prog);
}

// Filled by the handler (all signals blocked there), emptied by the main
// line: the handler only moves ptrear, the main line only ptfront.
static int pendingsigs[MAX_QUEUE_SIZE];
TARN_HOT static volatile sig_atomic_t ptfront, ptrear;
TARN_HOT volatile sig_atomic_t ntrapspending;

void defertrap(int sig)
{
    int rear = (ptrear + 1) % MAX_QUEUE_SIZE;
    if (rear == ptfront)
        return;  // as full as the signal queue: this one is dropped
    pendingsigs[rear] = sig;
    ptrear = rear;
    ntrapspending = 1;
}

void runpendingtraps()
{
    // Cleared before the walk: a signal arriving during a trap sets it
    // again and is seen at the next point.
    ntrapspending = 0;
    while (ptfront != ptrear) {
        int front = (ptfront + 1) % MAX_QUEUE_SIZE;
        int sig = pendingsigs[front];
        // Its trap is running (this is a list inside it): the signal stays
        // owed, and is run when that trap returns to the walk below it.
        if ((sigtrapped[sig] & (TRAP_SET | TRAP_FUNC)) && (sigtrapped[sig] & TRAP_IGNORED)) {
            ntrapspending = 1;
            return;
        }
        ptfront = front;
        dotrap(sig);
    }
}

void droppendingtraps()
{
    ptfront = ptrear;
    ntrapspending = 0;
}

void dotrap_exit()
{
    if (!sigtrapped[0] || !sigfuncs[0])
        return;
    // Run once: leaving through exit again from inside must not repeat it.
    Eprog *prog = sigfuncs[0];
    int bits = sigtrapped[0];
    sigfuncs[0] = nullptr;
    sigtrapped[0] = 0;
    int64_t status = lastval;
    int oerr = errflag, oret = retflag;
    // A return that ends a subshell must not cut the trap short.
    errflag = retflag = 0;
    dotrapargs(0, &bits, prog);
    errflag = oerr;
    retflag = oret;
    // The trap's own status does not replace the one the shell leaves with.
    lastval = status;
}

void subshellexittrap()
{
    if (exittrapsets != forkexittrap) {
        // What the subshell wrote comes out before the trap's own output.
        fflush(stdout);
        dotrap_exit();
    }
    syncreadahead();  // the subshell ends: its parent reads on from here
}

void cleartraps_subshell()
{
    for (int sig = 0; sig < SIGCOUNT; sig++)
        if (sigtrapped[sig] && !(sigtrapped[sig] & TRAP_FUNC) && !(sigtrapped[sig] & TRAP_IGNORED))
            unsettrap(sig);
}

void notesubshelltraps() { forkexittrap = exittrapsets; }

// ---- hooks for the function table ----

static HashNode *trapremove(int sig)
{
    return removetrap(sig);
}

static void trapdisable(int sig)
{
    sigtrapped[sig] &= ~TRAP_FUNC;
    sigfuncs[sig] = nullptr;
    unsettrap(sig);
}

static void trapenable(int sig, ShellFunc *fn)
{
    settrap(sig, fn->funcdef, TRAP_FUNC);
    sigtrapped[sig] &= ~TRAP_SET;
    if (nsigtrapped > 0)
        nsigtrapped--;
    sigtrapped[sig] |= TRAP_FUNC;
}

void init_traps()
{
    traphooks.getsignum = getsignum;
    traphooks.removetrapfn = trapremove;
    traphooks.disabletrapfn = trapdisable;
    traphooks.enabletrapfn = trapenable;
}

// ---- the trap builtin ----

int bin_trap(char *name, char **argv, BuiltinOptions *, int)
{
    if (*argv && !strcmp(*argv, "--"))
        argv++;
    if (!*argv) {
        SignalGuard sg;
        for (int sig = 0; sig < SIGCOUNT; sig++) {
            if (sigtrapped[sig] & TRAP_FUNC) {
                HashNode *hn = shfunctab->getnode2(shfunctab, trapfuncname(sig));
                if (hn)
                    shfunctab->printnode(hn, 0);
            } else if (sigtrapped[sig] & TRAP_SET) {
                char *t = getpermtext(sigfuncs[sig], nullptr, 0);
                fputs("trap -- ", stdout);
                quotedqputs(t, stdout);
                printf(" %s\n", signame(sig));
                qsfree(t);
            } else if (sigtrapped[sig] & TRAP_IGNORED) {
                printf("trap -- '' %s\n", signame(sig));
            }
        }
        return 0;
    }
    if (getsignum(*argv) != -1 || (!strcmp(*argv, "-") && !argv[1])) {
        if (!strcmp(*argv, "-")) {
            for (int sig = 0; sig < SIGCOUNT; sig++)
                unsettrap(sig);
            return 0;
        }
    }
    if (getsignum(*argv) != -1 || !strcmp(*argv, "-")) {
        if (!strcmp(*argv, "-"))
            argv++;
        for (; *argv; argv++) {
            int sig = getsignum(*argv);
            if (sig == -1) {
                qwarnnam(name, "undefined signal: %s", *argv, 0);
                return 1;
            }
            unsettrap(sig);
        }
        return 0;
    }
    char *cmd = *argv++;
    Eprog *prog = nullptr;
    {
        // The parser's own message would name no trap.
        {
            NoErrsGuard quiet(1);
            prog = parse_string(dupstring(cmd), 0);
        }
        if (!prog || errflag) {
            errflag = 0;
            qwarnnam(name, "couldn't parse trap command", nullptr, 0);
            return 1;
        }
    }
    for (; *argv; argv++) {
        int sig = getsignum(*argv);
        if (sig == -1) {
            qwarnnam(name, "undefined signal: %s", *argv, 0);
            return 1;
        }
        Eprog *p = *cmd ? dupeprog(prog, 0) : nullptr;
        if (settrap(sig, p, 0))
            return 1;
    }
    return 0;
}
