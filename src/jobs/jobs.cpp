// The job table's start-up state and the shell's terminal and times.
#include "jobs/jobs.h"

#include <sys/times.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

int thisjob = -1, curjob = -1, prevjob = -1;
int coprocin = -1, coprocout = -1;
ttyinfo shttyinfo;
struct tms shtms;

// Where argv and the environment lie, for rewriting the process name.
static char *argvspace_start;
static size_t argvspace_len;

void gettyinfo(ttyinfo *ti)
{
    if (SHTTY != -1)
        tcgetattr(SHTTY, &ti->tio);
}

void init_jobvals()
{
    thisjob = curjob = prevjob = -1;
    coprocin = coprocout = -1;
}

// Take over the terminal's process group for job control; without it,
// job control is off.
void acquire_pgrp()
{
    pid_t mypgrp = getpgrp();
    sigset_t blockset = signal_mask(SIGTTIN);
    sigaddset(&blockset, SIGTTOU);
    sigaddset(&blockset, SIGTSTP);
    sigset_t old = signal_block(blockset);
    pid_t ttpgrp;
    int loopcount = 0;
    while ((ttpgrp = tcgetpgrp(SHTTY)) != -1 && ttpgrp != mypgrp) {
        mypgrp = getpgrp();
        if (mypgrp == mypid) {
            signal_setmask(old);
            if (tcsetpgrp(SHTTY, mypgrp) == -1)
                break;
            signal_block(blockset);
            continue;
        }
        if (++loopcount > 100) {
            opts[MONITOR] = 0;
            break;
        }
        signal_setmask(old);
        kill(0, SIGTTIN);
        signal_block(blockset);
    }
    if (ttpgrp == -1) {
        opts[MONITOR] = 0;
    } else if (isset(MONITOR) && mypgrp != mypid) {
        if (setpgid(0, 0) == 0) {
            mypgrp = mypid;
            tcsetpgrp(SHTTY, mypgrp);
        } else {
            opts[MONITOR] = 0;
        }
    }
    signal_setmask(old);
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
    char *end = argv[0];
    for (char **p = argv; *p; p++)
        if (*p == end || *p == end + 1)
            end = *p + strlen(*p);
    argvspace_len = size_t(end - argvspace_start);
}

// No jobs exist until the job table lands.
void scanjobs() {}
void checkjobs() {}
void killrunjobs(int) {}
void dotrap_exit() {}
int countjobs() { return 0; }
