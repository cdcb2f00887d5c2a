// Running programs: lists, sublists with && || ! & coproc and time, one
// job per pipeline, which element runs in the shell, and the errexit and
// trap points of the list walk.
#include "exec/exec.h"
#include "expand/expand.h"
#include "history/history.h"
#include "jobs/jobs.h"
#include "params/params.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

TARN_HOT int pipenest;
int closeinchild = -1;
TARN_HOT int forkingcoproc;
TARN_HOT static int tailjob = -1, lastwaited = -1, tailforked, nowaitpipe;
TARN_HOT static pid_t tailpid;
static char tailtext[80];
TARN_HOT static int tailchild;

static int runpipeline(ExecState *state, wordcode slcode, int how, int last1);
static void runpipestage(ExecState *state, wordcode pcode, int how, int input, int output, int last1);
static int rungroup(ExecState *state, int do_exec);
static int runtimed(ExecState *state, int do_exec);

// Complex commands by code type; simple commands and subshells go to runcmd.
static constexpr ExecFunc execfuncs[] = {
    rungroup,    // CODE_CURSH
    runtimed,    // CODE_TIMED
    execfuncdef, // CODE_FUNCDEF
    execfor,     // CODE_FOR
    execselect,  // CODE_SELECT
    execwhile,   // CODE_WHILE
    execrepeat,  // CODE_REPEAT
    execcase,    // CODE_CASE
    execif,      // CODE_IF
    execcond,    // CODE_COND
    execarith,   // CODE_ARITH
    execautofn,  // CODE_AUTOFN
};
static_assert(sizeof(execfuncs) / sizeof(execfuncs[0]) == CODE_AUTOFN - CODE_CURSH + 1);

int execcomplex(ExecState *state, wordcode code, int do_exec)
{
    return execfuncs[code_type(code) - CODE_CURSH](state, do_exec);
}

void execode(Eprog *p, int dont_change_job, int exiting, const char *)
{
    ExecState s;
    s.prog = p;
    s.pc = p->prog;
    s.string_table = p->string_table;
    useeprog(p);
    execlist(&s, dont_change_job, exiting);
    freeeprog(p);
}

void execstring(char *s, int dont_change_job, int exiting, const char *context)
{
    HeapGuard hg;
    Eprog *prog = parse_string(dupstring(s), 0);
    if (prog && !errflag)
        execode(prog, dont_change_job, exiting, context);
}

// The DEBUG trap runs after every list and leaves $? alone.
static void debugtrap()
{
    if (!sigtrapset(SIGDEBUG))
        return;
    int64_t saved = lastval;
    dotrap(SIGDEBUG);
    lastval = saved;
}

static int runsimplecmd(ExecState *state);

// A simple list: one command with no pipes, run without making a job.
static int runsimple(ExecState *state)
{
    wordcode lv = *state->pc++;
    if (errflag)
        return int(lastval = 1);
    if (lv)
        lineno = long(lv) - 1;
    return int(lastval = runsimplecmd(state));
}

// The command of a simple list or sublist: assignments alone, or a shell
// construct that needs no job.
static int runsimplecmd(ExecState *state)
{
    wordcode code = *state->pc;
    int lv2;
    if (code_type(code) == CODE_ASSIGN) {
        cmdoutval = 0;
        doassigns(state, state->pc, 0);
        // Skip to the CODE_SIMPLE(0) that ends the assignments.
        while (code_type(*state->pc) != CODE_SIMPLE)
            state->pc++;
        state->pc++;
        if (isset(XTRACE)) {
            fputc('\n', xtrerr);
            fflush(xtrerr);
        }
        lv2 = errflag ? 1 : cmdoutval;
    } else {
        state->pc++;
        lv2 = execcomplex(state, code, 0);
    }
    return lv2;
}

void execlist(ExecState *state, int dont_change_job, int exiting)
{
    int cj = thisjob;
    int oldnoerrexit = noerrexit;
    int oldpipenest = pipenest, oldlist_pipe = list_pipe;
    long oldlineno = lineno;
    bool done = false;

    if (sourcelevel && unset(SHINSTDIN))
        pipenest = list_pipe = 0;

    wordcode code;
    while (code_type(code = *state->pc++) == CODE_LIST && !breaks && !retflag) {
        int csp = cmdsp;
        done = false;
        wordcode ltype = list_type(code);
        wordcode *next = state->pc + list_skip(code);
        if (unset(EXEC)) {
            // Parsing only: step over the list without running it.
            if (ltype & Z_SIMPLE) {
                state->pc = next;
            } else {
                for (;;) {
                    wordcode slcode = *state->pc++;
                    state->pc += sublist_skip(slcode);
                    if (sublist_type(slcode) == SUBLIST_END)
                        break;
                }
            }
            if (ltype & Z_END)
                break;
            continue;
        }
        if (ltype & Z_SIMPLE) {
            runsimple(state);
            state->pc = next;
        } else {
            while (!breaks && !retflag) {
                wordcode slcode = *state->pc++;
                wordcode *slnext = state->pc + sublist_skip(slcode);
                int sltype = int(sublist_type(slcode));
                if (!oldnoerrexit)
                    noerrexit = sltype != SUBLIST_END;
                int how = sltype == SUBLIST_END ? int(ltype) : int(Z_SYNC);
                int last1 = sltype == SUBLIST_END && exiting && (ltype & Z_END);
                if (sublist_flags(slcode) & SUBLIST_SIMPLE) {
                    // The pipe word is replaced by a line-number word.
                    wordcode lw = *state->pc++;
                    if (lw)
                        lineno = long(lw) - 1;
                    if (errflag)
                        lastval = 1;
                    else
                        lastval = runsimplecmd(state);
                    if ((sublist_flags(slcode) & SUBLIST_NOT) && !retflag)
                        lastval = !lastval;
                } else {
                    runpipeline(state, slcode, how, last1);
                }
                // A negated pipeline is a test, not a failure errexit sees.
                if (sublist_flags(slcode) & SUBLIST_NOT)
                    done = true;
                if (sltype == SUBLIST_END) {
                    state->pc = slnext;
                    break;
                }
                done = false;
                state->pc = slnext;
                bool skipping = sltype == SUBLIST_AND ? lastval != 0 : lastval == 0;
                if (!skipping) {
                    cmdpush(sltype == SUBLIST_AND ? CS_CMDAND : CS_CMDOR);
                    continue;
                }
                // Step over the sublists the result decides, up to one
                // joined by the other operator.
                for (;;) {
                    wordcode c = *state->pc;
                    int t = int(sublist_type(c));
                    state->pc += sublist_skip(c) + 1;
                    if (t == SUBLIST_END) {
                        done = true;
                        break;
                    }
                    if (t != sltype)
                        break;
                }
                if (done)
                    break;
            }
        }
        noerrexit = oldnoerrexit;
        if (sigtrapset(SIGDEBUG)) {
            bool d = done;
            debugtrap();
            done = d;
        }
        cmdsp = csp;
        runtrapsnow();
        if (!noerrexit && !done && lastval) {
            if (sigtrapset(SIGQERR)) {
                dotrap(SIGQERR);
                done = true;
            }
            bool errreturn = isset(ERRRETURN) && (isset(INTERACTIVE) || locallevel || sourcelevel);
            bool errexit = isset(ERREXIT) || (isset(ERRRETURN) && !errreturn);
            if (errexit) {
                int64_t status = lastval;
                dotrap_exit();
                syncreadahead();
                if (mypid != getpid())
                    _exit(int(status));
                shellexit(int(status));
            }
            if (errreturn) {
                retflag = 1;
                breaks = loops;
            }
        }
        if (ltype & Z_END)
            break;
    }
    pipenest = oldpipenest;
    list_pipe = oldlist_pipe;
    lineno = oldlineno;
    if (dont_change_job)
        thisjob = cj;
}

// Fork a copy of the shell to go on with the part of a suspended pipeline
// that runs in the shell itself; the copy joins the pipeline's group and
// stops until the job is continued.  -1 when the fork failed (the job has
// been resumed); 0 in the shell, which abandons that part; 1 in the copy,
// once continued.
static int forktail(Job *jn, int newjob, int last1)
{
    int synch[2];
    if (pipe(synch) < 0)
        return 0;
    pid_t pid = blockedfork();
    if (pid == -1) {
        close(synch[0]);
        close(synch[1]);
        fputs("\ntarn: job can't be suspended\n", stderr);
        fflush(stderr);
        makerunning(jn);
        killjb(jn, SIGCONT);
        return -1;
    }
    if (pid) {
        tailforked = (tailjob > 0 && jobtab[tailjob].gleader && kill(-jobtab[tailjob].gleader, 0) == -1) ? 2 : 1;
        tailpid = pid;
        nowaitpipe = 1;
        errflag = 1;
        breaks = loops;
        close(synch[1]);
        char c;
        if (read(synch[0], &c, 1) < 0) {
        }
        close(synch[0]);
        // The copy stops itself after signalling: until it has, a quick
        // fg or bg would continue it too early and it would stay stopped
        // for good.  SIGCHLD is blocked and the copy is in no job yet, so
        // this stop is ours to collect.
        int st;
        while (waitpid(pid, &st, WUNTRACED) == -1 && errno == EINTR) {
        }
        if (!(jn->stat & JOB_DONE) && tailjob > 0) {
            jobtab[tailjob].other = newjob;
            jobtab[tailjob].stat |= JOB_SUPERJOB;
            jn->stat |= JOB_SUBJOB | JOB_NOPRINT;
            jn->other = pid;
        }
        if ((list_pipe || last1) && tailjob > 0 && jobtab[tailjob].procs)
            killpg(jobtab[tailjob].gleader, SIGSTOP);
        return 0;
    }
    close(synch[0]);
    becomesubshell(Z_ASYNC, 0, 0);
    if (tailjob > 0 && jobtab[tailjob].gleader)
        setpgid(0, jobtab[tailjob].gleader);
    else
        setpgid(0, 0);
    close(synch[1]);
    kill(getpid(), SIGSTOP);
    list_pipe = 0;
    tailchild = 1;
    opts[INTERACTIVE] = 0;
    if (errbrk_saved) {
        errflag = prev_errflag;
        breaks = prev_breaks;
        errbrk_saved = 0;
    }
    return 1;
}

int suspendpipetail()
{
    // Only for a command of the tail with a job of its own: the tail's
    // job is the pipeline's, which the copy's process stands in for.
    if (tailforked || subsh || unset(MONITOR) || tailchild || !list_pipe || tailjob <= 0 ||
        !(jobtab[tailjob].stat & JOB_STOPPED) || thisjob <= 0 || thisjob == tailjob ||
        !(jobtab[thisjob].stat & JOB_INUSE))
        return 0;
    sigset_t old = signal_block(signal_mask(SIGCHLD));
    int r = forktail(jobtab + thisjob, thisjob, 0);
    signal_setmask(old);
    return r == 1;
}

static int runpipeline(ExecState *state, wordcode slcode, int how, int last1)
{
    int slflags = int(sublist_flags(slcode));
    if (code_type(*state->pc) != CODE_PIPE)
        return int(lastval = (slflags & SUBLIST_NOT) != 0);
    if (slflags & SUBLIST_NOT)
        last1 = 0;

    // SIGCHLD is blocked from the first fork of the job (blockedfork) until
    // the job is built; afterwards it is unblocked outright, so children
    // are reaped inside long-running constructs of the shell too.  A job
    // that forks nothing changes no signal mask.
    int oldjob = thisjob;
    int newjob = initjob();
    if (newjob == -1) {
        releasechld();
        return int(lastval = 1);
    }
    thisjob = newjob;
    if (how & Z_TIMED)
        jobtab[newjob].stat |= JOB_TIMED;

    int ipipe[2] = {0, 0}, opipe[2] = {0, 0};
    if (slflags & SUBLIST_COPROC) {
        how = Z_ASYNC;
        if (coprocin >= 0) {
            qclose(coprocin);
            qclose(coprocout);
        }
        if (makepipe(ipipe) < 0 || makepipe(opipe) < 0) {
            releasechld();
            return int(lastval = 1);
        }
        coprocin = ipipe[0];
        coprocout = opipe[1];
        fdtable[coprocin] = fdtable[coprocout] = FDT_UNUSED;
    }
    int oldsimple = simple_pline;
    if (!pipenest) {
        tailpid = 0;
        nowaitpipe = 0;
        simple_pline = pipe_type(*state->pc) == PIPE_END;
        tailjob = newjob;
    }
    lastwaited = -1;
    tailforked = 0;
    pipenest++;
    int ofork = forkingcoproc;
    forkingcoproc = (slflags & SUBLIST_COPROC) != 0;
    runpipestage(state, *state->pc++, how, ipipe[1] ? opipe[0] : 0, ipipe[1] ? ipipe[1] : 0, last1);
    forkingcoproc = ofork;
    pipenest--;

    if (how & Z_ASYNC) {
        lastwaited = newjob;
        if (newjob == tailjob)
            tailjob = -1;
        jobtab[newjob].stat |= JOB_NOSTTY;
        if (slflags & SUBLIST_COPROC) {
            qclose(ipipe[1]);
            qclose(opipe[0]);
        }
        if (how & Z_DISOWN) {
            deletejob(jobtab + newjob);
            thisjob = -1;
        } else {
            spawnjob();
        }
        releasechld();
        thisjob = oldjob;
        // Starting a job succeeds: `false; cmd & echo $?` prints 0.
        return int(lastval = 0);
    }

    if (newjob != lastwaited) {
        Job *jn = jobtab + newjob;
        if (newjob == tailjob && tailchild) {
            syncreadahead();
            _exit(0);
        }
        lastwaited = thisjob = newjob;
        if (list_pipe || (pipenest && !(jn->stat & JOB_TIMED)))
            jn->stat |= JOB_NOPRINT;
        if (nowaitpipe) {
            if (!pipenest) {
                // The tail of a suspended pipeline: the forked shell runs it.
                curjob = newjob;
                addproc(tailpid, tailtext, 0, nullptr);
                if (jn->procs && (!jn->procs->next || tailforked == 2)) {
                    jn->gleader = tailpid;
                    jn->stat |= JOB_SUBLEADER;
                }
                // The forked shell has stopped itself: it shows the stop
                // of the job's other processes, so the job reports as one
                // suspended pipeline.
                Process *stopped = nullptr;
                if (jn->stat & JOB_SUPERJOB)
                    for (Process *p = jobtab[jn->other].procs; p && !stopped; p = p->next)
                        if (WIFSTOPPED(p->status))
                            stopped = p;
                for (Process *p = jn->procs; p && !stopped; p = p->next)
                    if (p->pid != tailpid && WIFSTOPPED(p->status))
                        stopped = p;
                if (stopped) {
                    Process *last = jn->procs;
                    while (last->next)
                        last = last->next;
                    last->status = stopped->status;
                }
                jn->stat &= ~(JOB_DONE | JOB_NOPRINT);
                jn->stat |= JOB_STOPPED | JOB_CHANGED | JOB_LOCKED;
                // Reported as a stop seen while waiting: after the newline
                // that follows the echoed suspend character.
                printjob(jn, !!isset(LONGLISTJOBS), 0);
            } else if (newjob != tailjob) {
                deletejob(jn);
            } else {
                lastwaited = -1;
            }
        } else {
            for (;;) {
                if (tailchild) {
                    jn->stat |= JOB_NOPRINT;
                    makerunning(jn);
                }
                if (!(jn->stat & JOB_LOCKED)) {
                    // What follows only concerns jobs with processes.
                    bool forked = jn->procs || jn->auxprocs;
                    waitjobs();
                    thisjob = newjob;
                    if (forked)
                        holdchld();
                }
                if (!tailforked && !subsh && isset(MONITOR) && !tailchild &&
                    (list_pipe || last1 || pipenest) &&
                    ((jn->stat & JOB_STOPPED) ||
                     (pipenest && tailjob > 0 && (jobtab[tailjob].stat & JOB_STOPPED)))) {
                    // The part of the pipeline that ran in the shell was
                    // suspended: a copy of the shell goes on with it.
                    if (forktail(jn, newjob, last1) == -1)
                        continue;
                    break;
                }
                if (subsh && (jn->stat & JOB_STOPPED)) {
                    thisjob = newjob;
                    continue;
                }
                break;
            }
        }
        releasechld();
        if (list_pipe && (lastval & 0x80) && oldjob > 0 &&
            (!(jn->stat & JOB_INUSE) || (jn->stat & JOB_DONE))) {
            deletejob(jn);
            killjb(jobtab + oldjob, int(lastval & ~0x80));
        } else if (tailchild || ((jn->stat & JOB_DONE) && (list_pipe || (pipenest && !(jn->stat & JOB_SUBJOB))))) {
            deletejob(jn);
        }
        thisjob = oldjob;
        // With pipefail the pipeline fails when any element failed: its
        // status is that of the last one that did.
        if (isset(PIPEFAIL) && !lastval && !(jn->stat & JOB_STOPPED))
            for (int i = numpipestats - 1; i >= 0; i--)
                if (pipestats[i]) {
                    lastval = pipestats[i];
                    break;
                }
    } else {
        releasechld();
    }
    // The status of a return is kept, negated or not.
    if ((slflags & SUBLIST_NOT) && !retflag)
        lastval = !lastval;
    if (!pipenest)
        simple_pline = oldsimple;
    return int(lastval);
}

static void runpipestage(ExecState *state, wordcode pcode, int how, int input, int output, int last1)
{
    if (breaks || retflag)
        return;
    if (pipe_lineno(pcode))
        lineno = long(pipe_lineno(pcode)) - 1;
    if (pipenest == 1) {
        // The text names the job only if job control suspends the part
        // of the pipeline the shell runs itself; scripts skip the work.
        if (isset(MONITOR) && ((how & Z_ASYNC) || (!sfcontext && !sourcelevel))) {
            // From the pipe code: the text of the whole pipeline.
            char *t = getjobtext(state->prog, state->pc - 1);
            strncpy(tailtext, t ? t : "", sizeof tailtext - 1);
            tailtext[sizeof tailtext - 1] = '\0';
        } else {
            tailtext[0] = '\0';
        }
    }
    if (pipe_type(pcode) == PIPE_END) {
        runcmd(state, input, output, how, last1 ? 1 : 2);
        return;
    }
    // Middle element: the next element starts at pc + offset.
    wordcode *nextpc = state->pc + *state->pc;
    state->pc++;
    wordcode *cmdpc = state->pc;
    while (code_type(*cmdpc) == CODE_REDIR)
        cmdpc += 3;
    int pipes[2];
    if (makepipe(pipes) < 0)
        return;
    if (code_type(*cmdpc) >= CODE_CURSH && (how & Z_SYNC)) {
        // A construct that runs in the shell must not block the pipeline.
        int synch[2];
        if (pipe(synch) < 0) {
            qerr("fork failed: %e", nullptr, errno);
            return;
        }
        struct timeval bgtime;
        gettimeofday(&bgtime, nullptr);
        pid_t pid = blockedfork();
        if (pid == -1) {
            close(synch[0]);
            close(synch[1]);
            qerr("fork failed: %e", nullptr, errno);
        } else if (pid) {
            char c;
            close(synch[1]);
            if (read(synch[0], &c, 1) < 0) {
            }
            close(synch[0]);
            char *t = getjobtext(state->prog, state->pc);
            addproc(pid, t, 0, &bgtime);
        } else {
            close(pipes[0]);
            close(synch[0]);
            becomesubshell(how, 2, 0);
            close(synch[1]);
            runcmd(state, input, pipes[1], how, 0);
            syncreadahead();
            _exit(int(lastval));
        }
    } else {
        closeinchild = pipes[0];
        runcmd(state, input, pipes[1], how, 0);
    }
    qclose(pipes[1]);
    state->pc = nextpc;
    wordcode next = *state->pc++;
    cmdpush(CS_PIPE);
    int old_list_pipe = list_pipe;
    list_pipe = 1;
    runpipestage(state, next, how, pipes[0], output, last1);
    list_pipe = old_list_pipe;
    cmdpop();
    qclose(pipes[0]);
    closeinchild = -1;
}

static int rungroup(ExecState *state, int do_exec)
{
    wordcode *end = state->pc + cursh_skip(state->pc[-1]);
    if (!list_pipe && thisjob != -1 && thisjob != tailjob && !hasprocs(thisjob))
        deletejob(jobtab + thisjob);
    cmdpush(CS_CURSH);
    execlist(state, 1, do_exec);
    cmdpop();
    state->pc = end;
    return int(lastval);
}

static int runtimed(ExecState *state, int)
{
    int oldjob = thisjob;
    if (timed_type(state->pc[-1]) == TIMED_EMPTY) {
        shelltime();
        return 0;
    }
    wordcode slcode = *state->pc++;
    runpipeline(state, slcode, Z_TIMED | Z_SYNC, 0);
    thisjob = oldjob;
    return int(lastval);
}

void runpreexec(Eprog *prog)
{
    if (!hookwanted("preexec"))
        return;
    HeapGuard hg;
    LinkList *args = newlinklist();
    addlinknode(args, dupstring("preexec"));
    // The line as the history holds it, while it is still there.
    bool inlist = hist_ring && hist_ring != &curline && hist_ring->number == curline.number;
    addlinknode(args, dupstring(inlist ? hist_ring->nam : ""));
    char *jt = getjobtext(prog, nullptr);
    addlinknode(args, dupstring(jt ? jt : ""));
    char *ft = getpermtext(prog, nullptr, 0);
    addlinknode(args, dupstring(ft));
    qsfree(ft);
    callhookfunc("preexec", args, 1, nullptr);
    errflag = 0;
}
