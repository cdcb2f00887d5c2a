// The job table: processes of each pipeline, their status, reports,
// waiting in the foreground and handing the terminal between groups.
#include "jobs/jobs.h"
#include "exec/exec.h"
#include "params/params.h"

#include <sys/ioctl.h>
#include <sys/times.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

static Job firstjobs[JOBBLOCK];
static Job *firstblocks[] = {firstjobs};
JobTable jobtab{firstblocks, 1};
int maxjob = JOBBLOCK;
// Every slot from 1 up to this one is in use: a new job is looked for from
// here, so that commands nested a thousand deep (each holding a slot) do
// not each walk all the slots below them.
static int jobfree = 1;

int operator-(const Job *jn, const JobTable &t)
{
    for (int b = 0; b < t.nblocks; b++)
        if (jn >= t.blocks[b] && jn < t.blocks[b] + JOBBLOCK)
            return b * JOBBLOCK + int(jn - t.blocks[b]);
    return -1;
}

// One more block of slots, as many jobs as the process limit allows.
static void growjobtab()
{
    SignalGuard sg;
    Job **nb = qnew<Job *>(size_t(jobtab.nblocks) + 1);
    memcpy(nb, jobtab.blocks, sizeof(Job *) * size_t(jobtab.nblocks));
    nb[jobtab.nblocks] = qcnew<Job>(JOBBLOCK);
    if (jobtab.blocks != firstblocks)
        qfree(jobtab.blocks);
    jobtab.blocks = nb;
    jobtab.nblocks++;
    maxjob = jobtab.nblocks * JOBBLOCK;
}
int thisjob = -1, curjob = -1, prevjob = -1;
pid_t mypgrp;
TARN_HOT int64_t lastpid;
TARN_HOT int lastval2;
int pipestats[MAX_PIPESTATS];
TARN_HOT int numpipestats;
int coprocin = -1, coprocout = -1;
TARN_HOT int list_pipe, simple_pline;
TARN_HOT int errbrk_saved, prev_breaks, prev_errflag;
ttyinfo shttyinfo;
// ttyctl -f: the settings a command leaves are not taken as the shell's.
int ttyfrozen;

TARN_HOT static struct tms shtms;           // process times at the last reaping
static struct timeval shell_start;  // for `time` without a command
static char *argvspace_start;
static size_t argvspace_len;

// ---- terminal ----

void gettyinfo(ttyinfo *ti)
{
    if (SHTTY != -1)
        tcgetattr(SHTTY, &ti->tio);
}

void settyinfo(ttyinfo *ti)
{
    if (SHTTY != -1)
        while (tcsetattr(SHTTY, TCSADRAIN, &ti->tio) == -1 && errno == EINTR) {
        }
}

pid_t gettygrp()
{
    return SHTTY == -1 ? -1 : tcgetpgrp(SHTTY);
}

void attachtty(pid_t pgrp)
{
    static int ep;
    if (!isset(MONITOR) || SHTTY == -1 || pgrp <= 0)
        return;
    sigset_t old = signal_block(signal_mask(SIGTTOU));
    if (tcsetpgrp(SHTTY, pgrp) == -1 && !ep) {
        if (pgrp != mypgrp && kill(-pgrp, 0) == -1) {
            attachtty(mypgrp);
        } else if (errno != ENOTTY) {
            qwarn("can't set tty pgrp: %e", nullptr, errno);
            fflush(stderr);
        }
        opts[MONITOR] = 0;
        ep = 1;
    }
    signal_setmask(old);
}

void fprintdir(const char *s, FILE *f)
{
    const char *home = getsparam("HOME");
    size_t hl = home ? strlen(home) : 0;
    if (home && hl > 1 && !strncmp(s, home, hl) && (s[hl] == '/' || !s[hl])) {
        putc('~', f);
        s += hl;
    } else if (NamedDir *nd = nameddirtab ? finddir(s) : nullptr) {
        putc('~', f);
        niceqputs(nd->nam, f);
        s += strlen(nd->dir);
    }
    niceqputs(s, f);
}

// ---- start-up ----

void init_jobvals()
{
    thisjob = curjob = prevjob = -1;
    coprocin = coprocout = -1;
    // The first time the table is as the program was loaded, all zeros;
    // writing them again would only fault its pages in.
    static bool made;
    if (made)
        for (int b = 0; b < jobtab.nblocks; b++)
            memset(static_cast<void *>(jobtab.blocks[b]), 0, sizeof(Job) * JOBBLOCK);
    made = true;
    jobfree = 1;
    // Stored by the shell, not by the system call: the start-up layout
    // list is made from the stores a start-up is seen to make.
    struct timeval now;
    gettimeofday(&now, nullptr);
    shell_start = now;
}

void record_shtimes()
{
    times(&shtms);
}

void record_argv_space(char **argv)
{
    if (!argv || !*argv)
        return;
    argvspace_start = argv[0];
    char *end = argv[0] + strlen(argv[0]);
    for (char **p = argv + 1; *p; p++)
        if (*p == end + 1)
            end = *p + strlen(*p);
    argvspace_len = size_t(end - argvspace_start);
}

void setprocname(const char *text)
{
    if (!argvspace_start || !argvspace_len)
        return;
    HeapGuard hg;
    char *t = unmeta(text);
    if (!t)
        t = const_cast<char *>("");
    size_t n = strlen(t);
    if (n > argvspace_len)
        n = argvspace_len;
    memcpy(argvspace_start, t, n);
    memset(argvspace_start + n, 0, argvspace_len - n + 1);
}

void acquire_pgrp()
{
    mypgrp = getpgrp();
    if (mypgrp <= 0) {
        opts[MONITOR] = 0;
        return;
    }
    sigset_t blockset = signal_mask(SIGTTIN);
    sigaddset(&blockset, SIGTTOU);
    sigaddset(&blockset, SIGTSTP);
    sigset_t old = signal_block(blockset);
    pid_t ttpgrp;
    while ((ttpgrp = gettygrp()) != -1 && ttpgrp != mypgrp) {
        mypgrp = getpgrp();
        if (mypgrp == mypid) {
            signal_setmask(old);
            attachtty(mypgrp);
            signal_block(blockset);
            if (gettygrp() == mypgrp)
                break;
        }
        signal_setmask(old);
        // A read of nothing stops us until we are in the foreground.
        char c;
        if (read(0, &c, 0) < 0) {
        }
        signal_block(blockset);
        mypgrp = getpgrp();
    }
    if (mypgrp != mypid) {
        if (setpgid(0, 0) == 0) {
            mypgrp = mypid;
            attachtty(mypgrp);
        } else {
            opts[MONITOR] = 0;
        }
    }
    signal_setmask(old);
}

void release_pgrp()
{
    if (origpgrp != mypgrp) {
        attachtty(origpgrp);
        setpgid(0, origpgrp);
        mypgrp = origpgrp;
    }
}

// ---- building jobs ----

int initjob()
{
    for (;;) {
        for (int i = jobfree; i < maxjob; i++)
            if (!jobtab[i].stat) {
                jobtab[i].stat = JOB_INUSE;
                qsfree(jobtab[i].pwd);
                jobtab[i].pwd = nullptr;
                jobtab[i].gleader = 0;
                jobfree = i + 1;
                return i;
            }
        jobfree = maxjob;
        // The table grows for jobs that run processes, as many as the
        // process limit allows; a table full of jobs without any is
        // commands nested in the shell (eval within eval): a runaway
        // recursion, stopped before the stack runs out.
        int inshell = 0;
        for (int i = 1; i < maxjob; i++)
            if (!jobtab[i].procs && !jobtab[i].auxprocs)
                inshell++;
        if (inshell >= MAX_SHELL_NESTING)
            break;
        growjobtab();
    }
    qerr("job table full or recursion limit exceeded", nullptr, 0);
    return -1;
}

void setjobpwd()
{
    for (int i = 1; i < maxjob; i++)
        if (jobtab[i].stat && !jobtab[i].pwd) {
            const char *pwd = getsparam("PWD");
            jobtab[i].pwd = qtrdup(pwd ? pwd : "");
        }
}

void addproc(pid_t pid, const char *text, int aux, struct timeval *bgtime)
{
    Job *jn = jobtab + thisjob;
    Process *pn = qcnew<Process>();
    pn->pid = pid;
    if (text) {
        strncpy(pn->text, text, sizeof pn->text - 1);
        pn->text[sizeof pn->text - 1] = '\0';
    }
    pn->status = -1;
    Process **tail;
    if (aux) {
        tail = &jn->auxprocs;
    } else {
        if (bgtime)
            pn->bgtime = *bgtime;
        else
            gettimeofday(&pn->bgtime, nullptr);
        if (!jn->gleader)
            jn->gleader = pid;
        tail = &jn->procs;
    }
    while (*tail)
        tail = &(*tail)->next;
    *tail = pn;
    jn->stat &= ~JOB_DONE;
}

int hasprocs(int job)
{
    Job *jn = jobtab + job;
    return jn->procs || jn->auxprocs;
}

int havefiles()
{
    for (int i = 1; i < maxjob; i++)
        if (jobtab[i].stat && jobtab[i].filelist && nonempty(jobtab[i].filelist))
            return 1;
    return 0;
}

static void pickprevjob()
{
    int i;
    for (i = maxjob - 1; i; i--)
        if ((jobtab[i].stat & JOB_INUSE) && (jobtab[i].stat & JOB_STOPPED) && !(jobtab[i].stat & JOB_SUBJOB) &&
            i != curjob && i != thisjob) {
            prevjob = i;
            return;
        }
    for (i = maxjob - 1; i; i--)
        if ((jobtab[i].stat & JOB_INUSE) && !(jobtab[i].stat & JOB_SUBJOB) && i != curjob && i != thisjob) {
            prevjob = i;
            return;
        }
    prevjob = -1;
}

static void setcurjob()
{
    if (curjob == thisjob || (curjob != -1 && !(jobtab[curjob].stat & JOB_INUSE))) {
        curjob = prevjob;
        pickprevjob();
        if (curjob == thisjob || (curjob != -1 && !(jobtab[curjob].stat & JOB_INUSE))) {
            curjob = -1;
            pickprevjob();
        }
    }
}

void spawnjob()
{
    Job *jn = jobtab + thisjob;
    if (!subsh) {
        if (curjob == -1 || !(jobtab[curjob].stat & JOB_STOPPED)) {
            curjob = thisjob;
            pickprevjob();
        } else if (prevjob == -1 || !(jobtab[prevjob].stat & JOB_STOPPED)) {
            prevjob = thisjob;
        }
        if (isset(INTERACTIVE) && isset(MONITOR) && jn->procs) {
            fprintf(stderr, "[%d]", thisjob);
            for (Process *pn = jn->procs; pn; pn = pn->next)
                fprintf(stderr, " %ld", long(pn->pid));
            fputc('\n', stderr);
            fflush(stderr);
        }
    }
    if (!hasprocs(thisjob))
        deletejob(jn);
    else
        jn->stat |= JOB_LOCKED;
    thisjob = -1;
}

// ---- status changes ----

void update_process(Process *pn, int status)
{
    struct tms now;
    times(&now);
    pn->ut = long(now.tms_cutime - shtms.tms_cutime);
    pn->st = long(now.tms_cstime - shtms.tms_cstime);
    shtms = now;
    pn->status = status;
    gettimeofday(&pn->endtime, nullptr);
}

static int settlesuperjob(Job *jn, int fg);

void update_job(Job *jn)
{
    for (Process *pn = jn->auxprocs; pn; pn = pn->next)
        if (isrunning(pn))
            return;
    bool somestopped = false;
    int val = 0, status = 0;
    for (Process *pn = jn->procs; pn; pn = pn->next) {
        if (isrunning(pn))
            return;
        if (WIFSTOPPED(pn->status))
            somestopped = true;
        if (!pn->next)
            val = statval(pn->status);
        if (pn->pid == jn->gleader)
            status = pn->status;
    }
    int job = int(jn - jobtab);
    if (somestopped) {
        if (jn->stty_in_env && !jn->ty) {
            jn->ty = qnew<ttyinfo>();
            gettyinfo(jn->ty);
        }
        if (jn->stat & JOB_STOPPED) {
            if (jn->stat & JOB_SUBJOB) {
                for (int i = 1; i < maxjob; i++)
                    if ((jobtab[i].stat & JOB_SUPERJOB) && jobtab[i].other == job && jobtab[i].gleader)
                        killpg(jobtab[i].gleader, SIGTSTP);
            }
            return;
        }
    }
    lastval2 = val;
    int inforeground = 0;
    if (jn->stat & JOB_CURSH)
        inforeground = 1;
    else if (job == thisjob) {
        lastval = val;
        inforeground = 2;
    }
    if (shout && !ttyfrozen && job == thisjob && !somestopped && !(jn->stat & JOB_NOSTTY) && !jn->stty_in_env)
        gettyinfo(&shttyinfo);

    if (isset(MONITOR)) {
        pid_t pgrp = gettygrp();
        if (mypgrp != pgrp && inforeground && (jn->gleader == pgrp || (pgrp > 1 && kill(-pgrp, 0) == -1))) {
            if (list_pipe) {
                if (somestopped || (pgrp > 1 && kill(-pgrp, 0) == -1)) {
                    attachtty(mypgrp);
                    init_winsize();
                } else {
                    jn->stat |= JOB_ATTACH;
                }
                if ((val & 0x80) && inforeground == 1) {
                    if (!errbrk_saved) {
                        errbrk_saved = 1;
                        prev_breaks = breaks;
                        prev_errflag = errflag;
                    }
                    breaks = loops;
                    errflag = 1;
                }
            } else {
                attachtty(mypgrp);
                init_winsize();
            }
        }
    } else if (list_pipe && (val & 0x80) && inforeground == 1) {
        if (!errbrk_saved) {
            errbrk_saved = 1;
            prev_breaks = breaks;
            prev_errflag = errflag;
        }
        breaks = loops;
        errflag = 1;
    }
    if (somestopped && (jn->stat & JOB_SUPERJOB))
        return;
    jn->stat |= somestopped ? JOB_CHANGED | JOB_STOPPED : JOB_CHANGED | JOB_DONE;
    if (job == thisjob && (!somestopped || (jn->stat & JOB_DONE))) {
        int i = 0;
        for (Process *pn = jn->procs; pn && i < MAX_PIPESTATS; pn = pn->next)
            pipestats[i++] = statval(pn->status);
        if ((jn->stat & JOB_CURSH) && i < MAX_PIPESTATS)
            pipestats[i++] = int(lastval);
        numpipestats = i;
    }
    if ((jn->stat & JOB_DONE) && (jn->stat & JOB_SUBJOB) && !inforeground) {
        for (int i = 1; i < maxjob; i++)
            if ((jobtab[i].stat & JOB_SUPERJOB) && jobtab[i].other == job) {
                settlesuperjob(jobtab + i, 0);
                break;
            }
    }
    if (somestopped && !(jn->stat & JOB_DONE)) {
        if (curjob != job) {
            prevjob = curjob;
            curjob = job;
        }
    }
    if ((isset(NOTIFY) || job == thisjob) && (jn->stat & JOB_LOCKED))
        printjob(jn, !!isset(LONGLISTJOBS), 0);
    if (job != thisjob && sigtrapset(SIGCHLD))
        defertrap(SIGCHLD);
    // A shell with nobody to report to forgets a finished background job
    // at once; wait still finds its statuses.
    if (!isset(INTERACTIVE) && job != thisjob && (jn->stat & JOB_DONE) && (jn->stat & JOB_LOCKED) &&
        !(jn->stat & (JOB_SUBJOB | JOB_SUPERJOB)) && !inforeground) {
        deletejob(jn);
        return;
    }
    if (inforeground == 2 && isset(MONITOR) && WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        if (sig == SIGINT || sig == SIGQUIT) {
            if (sigtrapset(sig)) {
                defertrap(sig);
            } else {
                breaks = loops;
                errflag = 1;
            }
        }
    }
}

void makerunning(Job *jn)
{
    jn->stat &= ~JOB_STOPPED;
    for (Process *pn = jn->procs; pn; pn = pn->next)
        if (WIFSTOPPED(pn->status))
            pn->status = -1;
    if (jn->stat & JOB_SUPERJOB)
        makerunning(jobtab + jn->other);
}

static int settlesuperjob(Job *jn, int fg)
{
    Job *sj = jobtab + jn->other;
    if ((sj->stat & JOB_DONE) || !sj->procs) {
        int sig = 0;
        for (Process *p = sj->procs; p; p = p->next)
            if (WIFSIGNALED(p->status)) {
                sig = WTERMSIG(p->status);
                break;
            }
        if (sig) {
            if (jn->gleader && jn->procs && jn->procs->next)
                killpg(jn->gleader, sig);
            else if (jn->procs)
                kill(jn->procs->pid, sig);
            kill(sj->other, SIGCONT);
            kill(sj->other, sig);
        } else {
            jn->stat &= ~JOB_SUPERJOB;
            jn->stat |= JOB_WASSUPER;
            pid_t oldleader = jn->gleader;
            if (jn->procs && !isrunning(jn->procs) && kill(-jn->gleader, 0) == -1) {
                Process *last = jn->procs;
                while (last->next)
                    last = last->next;
                jn->gleader = last->pid;
            }
            if ((fg || thisjob == int(jn - jobtab)) &&
                (!jn->procs || !jn->procs->next || oldleader != jn->gleader || jn->procs->pid != jn->gleader))
                attachtty(jn->gleader);
            kill(sj->other, SIGCONT);
        }
        curjob = int(jn - jobtab);
    } else if (sj->stat & JOB_STOPPED) {
        jn->stat |= JOB_STOPPED;
        int first = sj->procs ? sj->procs->status : 0;
        for (Process *p = jn->procs; p; p = p->next)
            if (isrunning(p) || WIFSTOPPED(p->status))
                p->status = first;
        curjob = int(jn - jobtab);
        printjob(jn, !!isset(LONGLISTJOBS), 1);
        return 1;
    }
    return 0;
}

// ---- reaping ----

int findproc(pid_t pid, Job **jptr, Process **pptr, int aux)
{
    for (int i = 1; i < maxjob; i++) {
        Job *jn = jobtab + i;
        for (Process *pn = aux ? jn->auxprocs : jn->procs; pn; pn = pn->next)
            if (pn->pid == pid) {
                *pptr = pn;
                *jptr = jn;
                return 1;
            }
    }
    return 0;
}

void reapchildren()
{
    // Signals that come meanwhile wait until the table is settled.
    SignalGuard sg;
    for (;;) {
        int status;
        pid_t pid = waitpid(-1, &status, WNOHANG | WUNTRACED);
        if (!pid)
            break;
        if (pid == -1) {
            if (errno != ECHILD)
                qerr("wait failed: %e", nullptr, errno);
            break;
        }
        if (cmdoutreaped(pid, status)) {
            record_shtimes();
            continue;
        }
        Job *jn;
        Process *pn;
        if (findproc(pid, &jn, &pn, 0)) {
            update_process(pn, status);
            update_job(jn);
        } else if (findproc(pid, &jn, &pn, 1)) {
            pn->status = status;
            update_job(jn);
        } else {
            record_shtimes();
        }
    }
}

// ---- waiting ----

// The bracket of a wait for a child.  The handler must run inside the
// suspend, even within a bracket, and SIGCHLD is taken at once there;
// outside the suspends it is blocked.  Whatever became of the children
// before the wait is collected on entry, so the suspend waits only for
// what is still to come, and a deferred SIGCHLD has nothing to add.
struct [[nodiscard]] ChildWait {
    int savedq = sigq.enabled;
    sigset_t chld = signal_mask(SIGCHLD);
    sigset_t old;
    ChildWait()
    {
        sigq.enabled = 0;
        sigq.chldwaits = sigq.chldwaits + 1;
        old = signal_block(chld);
        drop_queued(SIGCHLD);
        run_queued_signals();
        reapchildren();
    }
    ~ChildWait()
    {
        signal_setmask(old);
        sigq.chldwaits = sigq.chldwaits - 1;
        sigq.enabled = savedq;
    }
    ChildWait(const ChildWait &) = delete;
    ChildWait &operator=(const ChildWait &) = delete;
};

void waitjob(int job, int sig)
{
    Job *jn = jobtab + job;
    ChildWait cw;
    if (jn->procs || jn->auxprocs) {
        if (job == thisjob || !(jn->stat & JOB_LOCKED)) {
            jn->stat |= JOB_LOCKED;
        }
        if (jn->stat & JOB_CHANGED)
            printjob(jn, !!isset(LONGLISTJOBS), 1);
        while (!errflag && (jn->stat & JOB_INUSE) && !(jn->stat & JOB_DONE) &&
               !(isset(INTERACTIVE) && (jn->stat & JOB_STOPPED))) {
            signal_suspend(SIGCHLD, sig);
            // The handler ran inside the suspend; the traps it asked for
            // run now, still waiting.
            runtrapsnow();
            if (subsh) {
                killjb(jn, SIGCONT);
                jn->stat &= ~JOB_STOPPED;
            }
            if ((jn->stat & JOB_SUPERJOB) && settlesuperjob(jn, 1))
                break;
            signal_block(cw.chld);
        }
    } else {
        deletejob(jn);
        pipestats[0] = int(lastval);
        numpipestats = 1;
    }
}

// wait -n: the status of the next background job to end, or of one that
// ended and was not yet waited for; 127 when none is left.  A job that
// ends while we wait may be gone from the table at once: its last
// process's status is then found among those of the children that ended.
int waitanyjob(int sig)
{
    ChildWait cw;
    std::vector<std::pair<Job *, pid_t>> watched;
    for (;;) {
        for (auto [jn, pid] : watched) {
            int st;
            if (!(jn->stat & JOB_INUSE) && donestatus(pid, &st)) {
                forgetasyncjob(pid);
                return st;
            }
        }
        watched.clear();
        // One that ended before, whose job is gone already.
        if (int st; takeendedasync(&st))
            return st;
        for (int i = 1; i < maxjob; i++) {
            Job *jn = jobtab + i;
            if (!(jn->stat & JOB_INUSE) || i == thisjob || !jn->procs)
                continue;
            Process *pn = jn->procs;
            while (pn->next)
                pn = pn->next;
            if (jn->stat & JOB_DONE) {
                int st = statval(pn->status);
                forgetasyncjob(pn->pid);
                deletejob(jn);
                return st;
            }
            if (!(jn->stat & JOB_STOPPED))
                watched.emplace_back(jn, pn->pid);
        }
        if (watched.empty() || errflag)
            return 127;
        signal_suspend(SIGCHLD, sig);
        runtrapsnow();
        signal_block(cw.chld);
    }
}

void waitjobs()
{
    Job *jn = jobtab + thisjob;
    if (jn->procs || jn->auxprocs) {
        waitjob(thisjob, 0);
    } else {
        deletejob(jn);
        pipestats[0] = int(lastval);
        numpipestats = 1;
    }
    thisjob = -1;
}

void waitforpid(pid_t pid, int wait_cmd)
{
    ChildWait cw;
    int first = 1;
    while (!errflag && (kill(pid, 0) >= 0 || errno != ESRCH)) {
        if (first)
            first = 0;
        else if (!wait_cmd)
            kill(pid, SIGCONT);
        if (wait_cmd)
            signal_suspend(SIGCHLD, SIGINT);
        else
            signal_suspend(SIGCHLD, 0);
        runtrapsnow();
        signal_block(cw.chld);
        // A reaped child no longer exists for kill(0) only once waited;
        // stop when the job table says it ended.
        Job *jn;
        Process *pn;
        if (findproc(pid, &jn, &pn, 0) && !isrunning(pn) && !WIFSTOPPED(pn->status))
            break;
    }
}

// ---- reports ----

static int sigmsglen(int sig) { return int(strlen(signalmsg(sig))); }

int printjob(Job *jn, int lng, int synch)
{
    int job = int(jn - jobtab);
    // A negative form only says "continued"; it asks for no pids.
    bool continued = lng < 0;
    if (continued)
        lng = 0;
    if (jn->stat & JOB_NOPRINT) {
        if (jn->stat & JOB_DONE) {
            deletejob(jn);
            if (job == curjob) {
                curjob = prevjob;
                prevjob = job;
            }
            if (job == prevjob)
                setcurjob();
        }
        return 0;
    }
    int len = 9, doputnl = 0, sflag = 0;
    bool superrunning = (jn->stat & JOB_SUPERJOB) && jn->procs && isrunning(jn->procs);
    for (Process *pn = jn->procs; pn; pn = pn->next) {
        bool running = isrunning(pn) || (superrunning && !pn->next);
        if (running)
            continue;
        int l = 0;
        if (WIFSIGNALED(pn->status)) {
            int sig = WTERMSIG(pn->status);
            l = sigmsglen(sig);
            if (WCOREDUMP(pn->status))
                l += 14;
            if (sig != SIGINT && sig != SIGPIPE)
                sflag = 1;
            if (job == thisjob && sig == SIGINT)
                doputnl = 1;
        } else if (WIFSTOPPED(pn->status)) {
            int sig = WSTOPSIG(pn->status);
            l = sigmsglen(sig);
            if (job == thisjob && sig == SIGTSTP)
                doputnl = 1;
        } else if (isset(PRINTEXITVALUE) && isset(SHINSTDIN) && WEXITSTATUS(pn->status)) {
            sflag = 1;
        }
        if (l > len)
            len = l;
    }
    FILE *fout = synch == 2 ? stdout : (shout ? shout : stderr);
    if (isset(INTERACTIVE) && isset(MONITOR) && ((jn->stat & JOB_STOPPED) || sflag || job != thisjob)) {
        if (!synch && trashkedptr)
            trashkedptr();
        if (doputnl && !synch)
            putc('\n', fout);
        int cols = tccolumns > 0 ? tccolumns : 80;
        for (Process *pn = jn->procs; pn;) {
            // Group processes with the same status that fit on one line.
            int width = job == thisjob ? 5 + len : 10 + len;
            Process *qn = pn, *last = pn;
            int count = 0;
            for (; qn; qn = qn->next) {
                if (qn->status != pn->status && !(superrunning && !qn->next))
                    break;
                int w = int(strlen(qn->text)) + 2 + (qn->next ? 3 : 0);
                if (count && (width + w > cols || (lng & 3)))
                    break;
                width += w;
                last = qn;
                count++;
            }
            if (job != thisjob) {
                if (pn == jn->procs)
                    fprintf(fout, "[%d]  %c ", job, job == curjob ? '+' : job == prevjob ? '-' : ' ');
                else
                    fprintf(fout, job > 9 ? "        " : "       ");
            } else {
                fprintf(fout, "tarn: ");
            }
            if (lng & 1)
                fprintf(fout, "%ld ", long(pn->pid));
            else if (lng & 2) {
                if (pn == jn->procs)
                    fprintf(fout, "%ld ", long(jn->gleader));
                else
                    fprintf(fout, "%*s", int(snprintf(nullptr, 0, "%ld ", long(jn->gleader))), "");
            }
            int st = pn->status;
            bool running = isrunning(pn) || (superrunning && !pn->next);
            if (running) {
                if (continued)
                    fprintf(fout, "continued%*s", len - 9 + 2, "");
                else
                    fprintf(fout, "running%*s", len - 7 + 2, "");
            } else if (WIFEXITED(st)) {
                if (WEXITSTATUS(st))
                    fprintf(fout, "exit %-4d%*s", WEXITSTATUS(st), len - 9 + 2, "");
                else
                    fprintf(fout, "done%*s", len - 4 + 2, "");
            } else if (WIFSTOPPED(st)) {
                fprintf(fout, "%-*s", len + 2, signalmsg(WSTOPSIG(st)));
            } else if (WCOREDUMP(st)) {
                fprintf(fout, "%s (core dumped)%*s", signalmsg(WTERMSIG(st)),
                        len - sigmsglen(WTERMSIG(st)) - 14 + 2, "");
            } else {
                fprintf(fout, "%-*s", len + 2, signalmsg(WTERMSIG(st)));
            }
            for (Process *r = pn;; r = r->next) {
                fputs(r->text, fout);
                if (r == last)
                    break;
                fputs(" | ", fout);
            }
            putc('\n', fout);
            pn = last->next;
        }
        fflush(fout);
    } else if (doputnl && isset(INTERACTIVE) && !synch) {
        putc('\n', fout);
        fflush(fout);
    }
    const char *pwd = getsparam("PWD");
    if ((lng & 4) || (isset(INTERACTIVE) && job == thisjob && jn->pwd && pwd && strcmp(jn->pwd, pwd))) {
        FILE *t = shout ? shout : stderr;
        fprintf(t, "(pwd %s: ", (lng & 4) ? "" : "now");
        fprintdir(((lng & 4) && jn->pwd) ? jn->pwd : (pwd ? pwd : ""), t);
        fprintf(t, ")\n");
        fflush(t);
    }
    if (jn->stat & JOB_DONE) {
        if (jn->procs) {
            Process *pn = jn->procs;
            double reporttime = -1;
            if (const char *rt = getsparam("REPORTTIME"))
                reporttime = atof(rt);
            long ticks = sysconf(_SC_CLK_TCK);
            if ((jn->stat & JOB_TIMED) ||
                (reporttime >= 0 && ticks > 0 && double(pn->ut + pn->st) / double(ticks) >= reporttime)) {
                for (Process *p = jn->procs; p; p = p->next) {
                    double el = double(p->endtime.tv_sec - p->bgtime.tv_sec) +
                                double(p->endtime.tv_usec - p->bgtime.tv_usec) / 1e6;
                    reporttimes(p->text, p, p->ut, p->st, el);
                }
            }
        }
        deletejob(jn);
        if (job == curjob) {
            curjob = prevjob;
            prevjob = job;
        }
        if (job == prevjob)
            setcurjob();
    } else {
        jn->stat &= ~JOB_CHANGED;
    }
    return 0;
}

void deletefilelist(LinkList *file_list)
{
    if (!file_list)
        return;
    while (char *s = static_cast<char *>(getlinknode(file_list))) {
        char *u = unmeta(s);
        if (u)
            unlink(u);
        qsfree(s);
    }
    qfree(file_list);
}

// The slot free again, once whatever the job owned is gone.
static void clearjob(Job *jn)
{
    jn->gleader = 0;
    jn->other = 0;
    jn->stty_in_env = 0;
    jn->stat = 0;
    jn->filelist = nullptr;
    int i = int(jn - jobtab);
    if (i > 0 && i < jobfree)
        jobfree = i;
}

void freejob(Job *jn, int deep)
{
    // A SIGCHLD deferred until a bracket ends must not reap into the job
    // while its processes are being freed.
    SignalGuard sg;
    for (Process *pn = jn->procs, *nx; pn; pn = nx) {
        nx = pn->next;
        qfree(pn);
    }
    for (Process *pn = jn->auxprocs, *nx; pn; pn = nx) {
        nx = pn->next;
        qfree(pn);
    }
    jn->procs = jn->auxprocs = nullptr;
    qfree(jn->ty);
    jn->ty = nullptr;
    qsfree(jn->pwd);
    jn->pwd = nullptr;
    if (jn->stat & JOB_WASSUPER) {
        Job *sj = jobtab + jn->other;
        if (deep)
            deletejob(sj);
        else
            freejob(sj, 0);
    }
    clearjob(jn);
}

void deletejob(Job *jn)
{
    // The job of commands the shell ran itself owns nothing: no process
    // to record, file to remove or terminal to take back.
    if (!jn->procs && !jn->auxprocs && !jn->filelist && !jn->ty && !jn->pwd &&
        !(jn->stat & (JOB_ATTACH | JOB_WASSUPER))) {
        clearjob(jn);
        return;
    }
    SignalGuard sg;
    recorddoneprocs(jn);
    deletefilelist(jn->filelist);
    jn->filelist = nullptr;
    if (jn->stat & JOB_ATTACH) {
        attachtty(mypgrp);
        init_winsize();
    }
    freejob(jn, 1);
}

int killjb(Job *jn, int sig)
{
    if (jn->stat & JOB_SUPERJOB) {
        Job *sj = jobtab + jn->other;
        if (sig == SIGCONT) {
            for (Process *pn = sj->procs; pn; pn = pn->next)
                if (killpg(pn->pid, sig) == -1)
                    kill(pn->pid, sig);
            // The forked shell (the last process) waits for the sub-job,
            // unless there is none to wait for: then the whole group goes
            // on, children of the job's processes included.
            if (!sj->procs && jn->gleader > 0 && jn->gleader != mypgrp && killpg(jn->gleader, sig) == 0)
                return 0;
            for (Process *pn = jn->procs; pn && (pn->next || !sj->procs); pn = pn->next)
                kill(pn->pid, sig);
            return 0;
        }
        // A group of 0 would be the shell's own: only real groups.
        if (sj->procs && sj->gleader > 0 && killpg(sj->gleader, sig) == -1 && errno != ESRCH)
            return -1;
        if (jn->gleader > 0 && jn->gleader != mypgrp && killpg(jn->gleader, sig) == -1 && errno != ESRCH)
            return -1;
        return 0;
    }
    if (jn->gleader && isset(MONITOR) && jn->gleader != mypgrp) {
        int r = killpg(jn->gleader, sig);
        if (r == 0 || errno != ESRCH)
            return r;
    }
    int err = 0;
    for (Process *pn = jn->procs; pn; pn = pn->next)
        if (kill(pn->pid, sig) == -1 && errno != ESRCH)
            err = -1;
    return err;
}

void clearjobtab(int monitor)
{
    (void)monitor;
    // Only the slots in use are written: in a forked child every page
    // written is a page copied.  The parent's jobs are not ours to wait for.
    SignalGuard sg;
    static const Job unused{};
    for (int i = 0; i < maxjob; i++)
        if (memcmp(jobtab + i, &unused, sizeof unused)) {
            if (i)
                freejob(jobtab + i, 0);
            memset(static_cast<void *>(jobtab + i), 0, sizeof(Job));
        }
    jobfree = 1;
    thisjob = curjob = prevjob = -1;
}

void scanjobs()
{
    for (int i = 1; i < maxjob; i++)
        if (jobtab[i].stat & JOB_CHANGED)
            printjob(jobtab + i, 0, 1);
}

int countjobs()
{
    int n = 0;
    for (int i = 1; i < maxjob; i++)
        if ((jobtab[i].stat & JOB_INUSE) && !(jobtab[i].stat & JOB_NOPRINT))
            n++;
    return n;
}

int findjobnam(const char *s)
{
    size_t l = strlen(s);
    for (int i = maxjob - 1; i; i--)
        if ((jobtab[i].stat & JOB_INUSE) && !(jobtab[i].stat & (JOB_SUBJOB | JOB_NOPRINT)) && jobtab[i].procs &&
            i != thisjob && !strncmp(jobtab[i].procs->text, s, l))
            return i;
    return -1;
}

int getjob(const char *s, const char *prog)
{
    int job;
    if (*s != '%') {
        job = findjobnam(s);
        if (job == -1)
            qwarnnam(prog, "job not found: %s", s, 0);
        return job;
    }
    s++;
    if (!*s || *s == '%' || *s == '+') {
        if (curjob == -1 || (jobtab[curjob].stat & JOB_NOPRINT)) {
            qwarnnam(prog, "no current job", nullptr, 0);
            return -1;
        }
        return curjob;
    }
    if (*s == '-') {
        if (prevjob == -1) {
            qwarnnam(prog, "no previous job", nullptr, 0);
            return -1;
        }
        return prevjob;
    }
    if (idigit(static_cast<unsigned char>(*s))) {
        job = atoi(s);
        if (job > 0 && job < maxjob && jobtab[job].stat && !(jobtab[job].stat & JOB_SUBJOB) && job != thisjob)
            return job;
        qwarnnam(prog, "%%%s: no such job", s, 0);
        return -1;
    }
    if (*s == '?') {
        for (job = maxjob - 1; job; job--)
            if ((jobtab[job].stat & JOB_INUSE) && !(jobtab[job].stat & JOB_SUBJOB) && job != thisjob)
                for (Process *pn = jobtab[job].procs; pn; pn = pn->next)
                    if (strstr(pn->text, s + 1))
                        return job;
        qwarnnam(prog, "job not found: %s", s, 0);
        return -1;
    }
    job = findjobnam(s);
    if (job == -1)
        qwarnnam(prog, "job not found: %s", s, 0);
    return job;
}

// ---- leaving ----

void checkjobs()
{
    int i;
    for (i = 1; i < maxjob; i++)
        if (i != thisjob && (jobtab[i].stat & JOB_LOCKED) && !(jobtab[i].stat & JOB_NOPRINT) &&
            (isset(CHECKJOBS) || (jobtab[i].stat & JOB_STOPPED)))
            break;
    if (i < maxjob) {
        if (jobtab[i].stat & JOB_STOPPED)
            qerr("you have suspended jobs.", nullptr, 0);
        else
            qerr("you have running jobs.", nullptr, 0);
        stopmsg = 1;
    }
}

void killrunjobs(int from_signal)
{
    if (unset(HUP))
        return;
    int killed = 0;
    for (int i = 1; i < maxjob; i++)
        if ((from_signal || i != thisjob) && (jobtab[i].stat & JOB_LOCKED) &&
            !(jobtab[i].stat & JOB_NOPRINT) && !(jobtab[i].stat & JOB_STOPPED)) {
            if (jobtab[i].gleader != getpid() && killpg(jobtab[i].gleader, SIGHUP) != -1)
                killed++;
        }
    if (killed)
        qwarn("warning: %d jobs SIGHUPed", nullptr, killed);
}

// ---- times ----

static void printtime(FILE *f, double secs, bool star)
{
    if (!star) {
        fprintf(f, "%4.2fs", secs);
        return;
    }
    if (secs >= 3600) {
        int h = int(secs / 3600);
        secs -= h * 3600;
        int m = int(secs / 60);
        fprintf(f, "%d:%02d:%05.2f", h, m, secs - m * 60);
    } else if (secs >= 60) {
        int m = int(secs / 60);
        fprintf(f, "%d:%05.2f", m, secs - m * 60);
    } else {
        fprintf(f, "%.3f", secs);
    }
}

void reporttimes(const char *desc, Process *, long ut, long st, double elapsed)
{
    long ticks = sysconf(_SC_CLK_TCK);
    if (ticks <= 0)
        ticks = 100;
    double u = double(ut) / double(ticks), s = double(st) / double(ticks);
    const char *fmt = getsparam("TIMEFMT");
    if (!fmt)
        fmt = "%J  %U user %S system %P cpu %*E total";
    FILE *f = stderr;
    for (const char *p = fmt; *p; p++) {
        if (*p != '%') {
            putc(*p, f);
            continue;
        }
        p++;
        bool star = false;
        if (*p == '*') {
            star = true;
            p++;
        }
        switch (*p) {
        case 'E': printtime(f, elapsed, star); break;
        case 'U': printtime(f, u, star); break;
        case 'S': printtime(f, s, star); break;
        case 'P':
            if (star)
                fputs("%*", f), p--;
            else
                fprintf(f, "%d%%", elapsed > 0 ? int(100.0 * double(ut + st) / (double(ticks) * elapsed)) : 0);
            break;
        case 'J':
            if (star)
                fputs("%*", f), p--;
            else
                fputs(desc ? desc : "", f);
            break;
        case '%':
            if (star)
                fputs("%*", f), p--;
            else
                putc('%', f);
            break;
        case '\0':
            putc('%', f);
            if (star)
                putc('*', f);
            p--;
            break;
        default:
            if (star)
                fputs("%*", f), p--;
            else
                fprintf(f, "%%%c", *p);
            break;
        }
    }
    putc('\n', f);
    fflush(f);
}

void shelltime()
{
    struct tms buf;
    times(&buf);
    struct timeval now;
    gettimeofday(&now, nullptr);
    double el = double(now.tv_sec - shell_start.tv_sec) + double(now.tv_usec - shell_start.tv_usec) / 1e6;
    reporttimes("shell", nullptr, long(buf.tms_utime), long(buf.tms_stime), el);
    reporttimes("children", nullptr, long(buf.tms_cutime), long(buf.tms_cstime), el);
}
