// The job-control builtins: fg, bg, jobs, wait, disown, kill, suspend and
// times.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "jobs/jobs.h"
#include "params/params.h"

#include <sys/times.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>

// Statuses of background processes whose jobs are gone, so that a later
// `wait PID` still gets them.
namespace {
struct DoneProc {
    pid_t pid;
    int status;
};
constexpr int DONE_KEEP = 1024;
DoneProc doneprocs[DONE_KEEP];
int donenext, donecount;
}  // namespace

void recorddoneprocs(Job *jn)
{
    for (Process *pn = jn->procs; pn; pn = pn->next) {
        if (isrunning(pn))
            continue;
        doneprocs[donenext] = {pn->pid, statval(pn->status)};
        donenext = (donenext + 1) % DONE_KEEP;
        if (donecount < DONE_KEEP)
            donecount++;
    }
}

// The last processes of background jobs not yet waited for, oldest
// first: wait -n answers for one that ended before it was called.
// Each with the first process of its job: a later element of the same
// pipeline takes its place.
struct Unwaited {
    pid_t pid, first;
};
static constinit Deferred<std::deque<Unwaited>> unwaited;

void noteasyncjob(pid_t pid)
{
    Job *jn = thisjob != -1 ? jobtab + thisjob : nullptr;
    pid_t first = jn && jn->procs ? jn->procs->pid : pid;
    if (!unwaited->empty() && unwaited->back().first == first) {
        unwaited->back().pid = pid;
        return;
    }
    unwaited->push_back({pid, first});
    if (unwaited->size() > size_t(DONE_KEEP))
        unwaited->pop_front();
}

void forgetasyncjob(pid_t pid)
{
    for (auto it = unwaited->begin(); it != unwaited->end(); ++it)
        if (it->pid == pid) {
            unwaited->erase(it);
            return;
        }
}

bool takeendedasync(int *status)
{
    for (auto it = unwaited->begin(); it != unwaited->end(); ++it) {
        Job *jn;
        Process *pn;
        if (!findproc(it->pid, &jn, &pn, 0) && donestatus(it->pid, status)) {
            unwaited->erase(it);
            return true;
        }
    }
    return false;
}

bool donestatus(pid_t pid, int *status)
{
    for (int i = 0; i < donecount; i++) {
        int k = (donenext - 1 - i + DONE_KEEP) % DONE_KEEP;
        if (doneprocs[k].pid == pid) {
            *status = doneprocs[k].status;
            return true;
        }
    }
    return false;
}

static void fixcurjob()
{
    auto unusable = [](int j) { return j == -1 || (!(jobtab[j].stat & JOB_INUSE) && j != thisjob); };
    for (int tries = 0; tries < 2 && unusable(curjob); tries++) {
        curjob = prevjob;
        prevjob = -1;
        for (int i = maxjob - 1; i; i--)
            if ((jobtab[i].stat & JOB_INUSE) && !(jobtab[i].stat & JOB_SUBJOB) && i != curjob && i != thisjob) {
                prevjob = i;
                break;
            }
    }
}

int bin_fg(char *name, char **argv, BuiltinOptions *ops, int func)
{
    if (opt_isset(ops, 'Z')) {
        if (isset(RESTRICTED)) {
            qwarnnam(name, "-Z is restricted", nullptr, 0);
            return 1;
        }
        if (!argv[0] || argv[1]) {
            qwarnnam(name, "-Z requires one argument", nullptr, 0);
            return 1;
        }
        setprocname(*argv);
        return 0;
    }
    int lng = opt_isset(ops, 'l') ? 1 : opt_isset(ops, 'p') ? 2 : 0;
    if (opt_isset(ops, 'd'))
        lng |= 4;
    if ((func == BIN_FG || func == BIN_BG) && unset(MONITOR)) {
        qwarnnam(name, "no job control in this shell.", nullptr, 0);
        return 1;
    }
    SignalGuard sg;
    if (unset(NOTIFY))
        scanjobs();
    fixcurjob();
    if (func == BIN_JOBS)
        stopmsg = 2;
    int retval = 0;
    if (func == BIN_WAIT && *argv && !strcmp(*argv, "-n")) {
        if (argv[1]) {
            qwarnnam(name, "-n takes no job", nullptr, 0);
            return 1;
        }
        unqueue_signals();
        retval = waitanyjob(SIGINT);
        queue_signals();
        return retval;
    }
    if (!*argv) {
        if (func == BIN_FG || func == BIN_BG || func == BIN_DISOWN) {
            if (curjob == -1 || (jobtab[curjob].stat & JOB_NOPRINT)) {
                qwarnnam(name, "no current job", nullptr, 0);
                return 1;
            }
        } else if (func == BIN_JOBS) {
            bool r = opt_isset(ops, 'r'), s = opt_isset(ops, 's');
            for (int i = 1; i < maxjob; i++) {
                if (!(jobtab[i].stat & JOB_INUSE) || i == thisjob || (jobtab[i].stat & JOB_NOPRINT))
                    continue;
                bool stopped = jobtab[i].stat & JOB_STOPPED;
                if (r != s && ((r && stopped) || (s && !stopped)))
                    continue;
                printjob(jobtab + i, lng, 2);
            }
            return 0;
        } else {
            // wait for everything
            unwaited->clear();
            for (int i = 1; i < maxjob; i++)
                if ((jobtab[i].stat & JOB_INUSE) && i != thisjob) {
                    unqueue_signals();
                    waitjob(i, SIGINT);
                    queue_signals();
                }
            return 0;
        }
    }
    const char *defarg = nullptr;
    char numbuf[16];
    if (!*argv) {
        snprintf(numbuf, sizeof numbuf, "%%%d", curjob);
        defarg = numbuf;
    }
    for (const char *arg = defarg ? defarg : *argv; arg; arg = defarg ? nullptr : *++argv) {
        if (func == BIN_WAIT && idigit(static_cast<unsigned char>(*arg))) {
            pid_t pid = pid_t(atol(arg));
            forgetasyncjob(pid);
            Job *jn;
            Process *pn;
            if (findproc(pid, &jn, &pn, 0)) {
                unqueue_signals();
                waitforpid(pid, 1);
                queue_signals();
                // The job may be gone once its last process ended.
                int st = 0;
                if (findproc(pid, &jn, &pn, 0) && !isrunning(pn))
                    retval = statval(pn->status);
                else if (donestatus(pid, &st))
                    retval = st;
                lastval2 = retval;
            } else {
                int st;
                // A child that finished and was reported already still
                // has its status.
                if (donestatus(pid, &st)) {
                    retval = st;
                } else {
                    qwarnnam(name, "pid %d is not a child of this shell", nullptr, long(pid));
                    retval = 127;
                }
            }
            continue;
        }
        int job = getjob(arg, name);
        if (job == -1) {
            retval = 1;
            break;
        }
        Job *jn = jobtab + job;
        if (!(jn->stat & JOB_INUSE) || (jn->stat & JOB_NOPRINT)) {
            qwarnnam(name, "no such job: %d", nullptr, job);
            retval = 1;
            continue;
        }
        switch (func) {
        case BIN_JOBS:
            printjob(jn, lng, 2);
            break;
        case BIN_DISOWN:
            if (jn->stat & JOB_STOPPED) {
                if (isset(AUTOCONTINUE)) {
                    makerunning(jn);
                    killjb(jn, SIGCONT);
                } else {
                    char buf[64];
                    snprintf(buf, sizeof buf, " -%ld", long(jn->gleader));
                    qwarnnam(name, "warning: job is suspended, use `kill -CONT%s' to resume", buf, 0);
                }
            }
            deletejob(jn);
            break;
        case BIN_FG:
        case BIN_BG:
        case BIN_WAIT: {
            bool stopped = jn->stat & JOB_STOPPED;
            if (func == BIN_BG) {
                jn->stat |= JOB_NOSTTY;
                if (!stopped) {
                    qwarnnam(name, "job already in background", nullptr, 0);
                    retval = 1;
                    break;
                }
            }
            if (stopped)
                makerunning(jn);
            if (job == curjob) {
                curjob = func == BIN_FG ? job : prevjob;
                prevjob = func == BIN_BG ? -1 : prevjob;
            }
            if (func != BIN_WAIT)
                printjob(jn, stopped ? -1 : 0, 1);
            if (func == BIN_FG) {
                thisjob = job;
                attachtty(jn->gleader);
            }
            if (stopped) {
                if (func != BIN_BG && jn->ty)
                    settyinfo(jn->ty);
                killjb(jn, SIGCONT);
            }
            if (func != BIN_BG) {
                unqueue_signals();
                if (func == BIN_WAIT) {
                    for (Process *pn = jn->procs; pn; pn = pn->next)
                        forgetasyncjob(pn->pid);
                    waitjob(job, SIGINT);
                }
                else
                    waitjobs();
                queue_signals();
                retval = lastval2;
            }
            break;
        }
        default:
            break;
        }
    }
    return retval;
}

// A signal named as kill takes it: either case, with or without SIG, or
// "0".  up receives the name as shown in messages; -1 when unknown.
static int killsignal(const char *name, char *up, size_t upsize)
{
    if (!strncasecmp(name, "SIG", 3))
        name += 3;
    size_t k = 0;
    for (; name[k] && k < upsize - 1; k++)
        up[k] = char(toupper(static_cast<unsigned char>(name[k])));
    up[k] = '\0';
    return !strcmp(up, "0") ? 0 : getsignum(up);
}

int bin_kill(char *nam, char **argv, BuiltinOptions *, int)
{
    int sig = SIGTERM, returnval = 0;
    if (*argv && **argv == '-') {
        char *a = *argv + 1;
        if (idigit(static_cast<unsigned char>(*a))) {
            sig = atoi(a);
            if (sig < 0 || sig > SIGNAL_COUNT) {
                qwarnnam(nam, "invalid signal number", nullptr, 0);
                return 1;
            }
            argv++;
        } else if (!strcmp(a, "l")) {
            argv++;
            if (!*argv) {
                for (int i = 1; i <= SIGNAL_COUNT; i++)
                    printf(i < SIGNAL_COUNT ? "%s " : "%s\n", signame(i));
                return 0;
            }
            for (; *argv; argv++) {
                if (idigit(static_cast<unsigned char>(**argv))) {
                    int n = atoi(*argv);
                    if (n > 128)
                        n -= 128;
                    if (n >= 1 && n <= SIGNAL_COUNT)
                        printf("%s\n", signame(n));
                    else
                        printf("%d\n", n);
                } else {
                    char up[32];
                    int s = killsignal(*argv, up, sizeof up);
                    if (s < 1 || s > SIGNAL_COUNT) {
                        qwarnnam(nam, "unknown signal: SIG%s", up, 0);
                        returnval = 1;
                    } else {
                        printf("%d\n", s);
                    }
                }
            }
            return returnval;
        } else {
            char *name = a;
            if (!strcmp(a, "n") || !strcmp(a, "s")) {
                bool isn = *a == 'n';
                argv++;
                if (!*argv) {
                    qwarnnam(nam, isn ? "-n: argument expected" : "-s: argument expected", nullptr, 0);
                    return 1;
                }
                name = *argv;
                if (isn) {
                    sig = atoi(name);
                    goto gotsig;
                }
            }
            {
                char up[32];
                sig = killsignal(name, up, sizeof up);
                if (sig < 0 || sig > SIGNAL_COUNT) {
                    qwarnnam(nam, "unknown signal: SIG%s", up, 0);
                    qwarnnam(nam, "type kill -l for a List of signals", nullptr, 0);
                    return 1;
                }
            }
        gotsig:
            argv++;
        }
    }
    if (!*argv) {
        qwarnnam(nam, "not enough arguments", nullptr, 0);
        return 1;
    }
    SignalGuard sg;
    for (; *argv; argv++) {
        if (**argv == '%') {
            int job = getjob(*argv, "kill");
            if (job == -1) {
                returnval++;
                continue;
            }
            Job *jn = jobtab + job;
            if (killjb(jn, sig) == -1) {
                qwarnnam("kill", "kill %s failed: %e", *argv, errno);
                returnval++;
                continue;
            }
            if (jn->stat & JOB_STOPPED) {
                if (sig == SIGCONT)
                    jn->stat &= ~JOB_STOPPED;
                else if (sig != SIGKILL && sig != SIGSTOP && sig != SIGTSTP && sig != SIGTTIN && sig != SIGTTOU)
                    killjb(jn, SIGCONT);
            }
            continue;
        }
        char *end;
        long pid = strtol(*argv, &end, 10);
        if (*end || end == *argv) {
            qwarnnam(nam, "illegal pid: %s", *argv, 0);
            returnval++;
        } else if (kill(pid_t(pid), sig) == -1) {
            qwarnnam("kill", "kill %s failed: %e", *argv, errno);
            returnval++;
        }
    }
    return returnval < 126 ? returnval : 1;
}

int bin_suspend(char *name, char **, BuiltinOptions *ops, int)
{
    if (isset(LOGIN) && !opt_isset(ops, 'f')) {
        qwarnnam(name, "can't suspend login shell", nullptr, 0);
        return 1;
    }
    if (isset(MONITOR)) {
        signal(SIGTTIN, SIG_DFL);
        signal(SIGTSTP, SIG_DFL);
        signal(SIGTTOU, SIG_DFL);
        release_pgrp();
    }
    killpg(origpgrp, SIGTSTP);
    if (isset(MONITOR)) {
        acquire_pgrp();
        signal(SIGTTOU, SIG_IGN);
        signal(SIGTSTP, SIG_IGN);
        signal(SIGTTIN, SIG_IGN);
    }
    return 0;
}

int bin_times(char *, char **, BuiltinOptions *, int)
{
    struct tms buf;
    if (times(&buf) == clock_t(-1))
        return 1;
    // Ticks are converted at this system's rate, so the times are real
    // minutes and seconds.
    long hz = sysconf(_SC_CLK_TCK);
    if (hz <= 0)
        hz = 100;
    auto pr = [hz](clock_t t, char end) {
        long ticks = long(t);
        printf("%ldm%ld.%02lds%c", ticks / (60 * hz), (ticks / hz) % 60, (ticks * 100 / hz) % 100, end);
    };
    pr(buf.tms_utime, ' ');
    pr(buf.tms_stime, '\n');
    pr(buf.tms_cutime, ' ');
    pr(buf.tms_cstime, '\n');
    return 0;
}

int bin_ttyctl(char *, char **, BuiltinOptions *ops, int)
{
    if (opt_isset(ops, 'f'))
        ttyfrozen = 1;
    else if (opt_isset(ops, 'u'))
        ttyfrozen = 0;
    else
        printf("tty is %sfrozen\n", ttyfrozen ? "" : "not ");
    return 0;
}
