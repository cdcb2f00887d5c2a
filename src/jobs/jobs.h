// Jobs and signals: the job table, job control, the signal table, the
// signal handler's actions and traps.
#pragma once

#include <csignal>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>

#include "core/core.h"

// ---- the terminal ----
// The shell's own terminal settings, saved at start-up.
struct ttyinfo {
    struct termios tio;
};
extern ttyinfo shttyinfo;
extern int ttyfrozen;
void gettyinfo(ttyinfo *ti);
void settyinfo(ttyinfo *ti);
// Give the terminal to a process group (job control only).
void attachtty(pid_t pgrp);
pid_t gettygrp();
// Print a directory with its home or named-directory abbreviation.
void fprintdir(const char *s, FILE *f);

// ---- the job table ----
struct Process {
    Process *next;
    pid_t pid;
    char text[80];
    int status;  // -1 while running, else the wait status
    long ut, st;  // clock ticks used, from times() deltas at reaping
    struct timeval bgtime, endtime;
};

struct Job {
    pid_t gleader;
    pid_t other;  // super-job: sub-job index; sub-job: pid of the forked shell
    int stat;
    char *pwd;
    Process *procs;
    Process *auxprocs;
    LinkList *filelist;  // temporary files deleted with the job
    int stty_in_env;
    ttyinfo *ty;
};

enum : int {
    JOB_CHANGED = 0x1,
    JOB_STOPPED = 0x2,
    JOB_TIMED = 0x4,
    JOB_DONE = 0x8,
    JOB_LOCKED = 0x10,
    JOB_NOPRINT = 0x20,
    JOB_INUSE = 0x40,
    JOB_SUPERJOB = 0x80,
    JOB_SUBJOB = 0x100,
    JOB_WASSUPER = 0x200,
    JOB_CURSH = 0x400,
    JOB_NOSTTY = 0x800,
    JOB_ATTACH = 0x1000,
    JOB_SUBLEADER = 0x2000,
};

constexpr int MAX_PIPESTATS = 256;

// The job table grows by blocks that never move, so a Job * stays good
// while later jobs are made; maxjob is the number of slots there are.
constexpr int JOBBLOCK = 64;
// Jobs that run nothing but the shell, nested (a function calling itself,
// eval within eval): past this many it is a runaway, stopped before the
// stack runs out.  Room for the deepest function nesting allowed, each
// level perhaps inside an eval.
constexpr int MAX_SHELL_NESTING = 2 * 1000 + JOBBLOCK;
struct JobTable {
    Job **blocks;
    int nblocks;
    Job &operator[](int i) const { return blocks[i / JOBBLOCK][i % JOBBLOCK]; }
};
inline Job *operator+(const JobTable &t, int i) { return &t[i]; }
// The index of a job of the table.
int operator-(const Job *jn, const JobTable &t);
extern JobTable jobtab;
extern int maxjob;
extern int thisjob, curjob, prevjob;
extern pid_t mypgrp;
extern int64_t lastpid;
extern int lastval2;
extern int pipestats[MAX_PIPESTATS];
extern int numpipestats;
extern int coprocin, coprocout;
// Set by the executor while a pipeline's tail runs in the shell, and for
// a simple pipeline; read by update_job and the interrupt handler.
extern int list_pipe, simple_pline;
// Saved by update_job when an interrupted job stops a loop.
extern int errbrk_saved, prev_breaks, prev_errflag;

inline bool isrunning(const Process *p) { return p->status == -1; }

void init_jobvals();
int initjob();
void addproc(pid_t pid, const char *text, int aux, struct timeval *bgtime);
void spawnjob();
void waitjobs();
void waitjob(int job, int sig);
int waitanyjob(int sig);
// The status of a child that ended and was reported, kept for wait.
bool donestatus(pid_t pid, int *status);
// Background jobs not yet waited for, by their last process: noted when
// started, forgotten when waited for; takeendedasync gives the status of
// one that ended and is gone from the table.
void noteasyncjob(pid_t pid);
void forgetasyncjob(pid_t pid);
bool takeendedasync(int *status);
void waitforpid(pid_t pid, int wait_cmd);
void update_process(Process *pn, int status);
void update_job(Job *jn);
int printjob(Job *jn, int lng, int synch);
void deletejob(Job *jn);
void freejob(Job *jn, int deep);
void deletefilelist(LinkList *file_list);
int hasprocs(int job);
int havefiles();
int findproc(pid_t pid, Job **jptr, Process **pptr, int aux);
void makerunning(Job *jn);
int killjb(Job *jn, int sig);
void clearjobtab(int monitor);
void setjobpwd();
void scanjobs();
int findjobnam(const char *s);
int getjob(const char *s, const char *prog);
void shelltime();
void acquire_pgrp();
void release_pgrp();
void checkjobs();
void killrunjobs(int from_signal);
int countjobs();
void reporttimes(const char *desc, Process *pn, long ut, long st, double elapsed);
void record_shtimes();
void record_argv_space(char **argv);
// Overwrite the process's argument area (as seen by ps) with text.
void setprocname(const char *text);
// Reap children without blocking; called for SIGCHLD.
void reapchildren();
// Keep the statuses of a job's finished processes for a later wait.
void recorddoneprocs(Job *jn);

// Connect the shell's signal handler to its per-signal actions.
void install_signal_actions();

// ---- traps ----
enum : int { TRAP_SET = 1, TRAP_IGNORED = 2, TRAP_FUNC = 4 };
// Per signal: the trap bits (the level it was set at from bit 3 up) and
// the program; nsigtrapped counts signals with TRAP_SET.
extern int sigtrapped[];
extern Eprog *sigfuncs[];
extern int nsigtrapped;
// Run the EXIT trap if one is set (once; the exit status is kept).
void dotrap_exit();
// Whether a trap with commands is set for sig, and run it.
bool sigtrapset(int sig);
bool sigignored(int sig);
void dotrap(int sig);
// A trap a signal asks for from the handler is not run there, where the
// main line may be half-way through changing a parameter or a table: it
// waits until the main line reaches a point that holds no such state (the
// end of a list, a wait for a child, an interrupted read).
extern volatile sig_atomic_t ntrapspending;
void defertrap(int sig);
void runpendingtraps();
inline void runtrapsnow()
{
    // A SIGCHLD that arrived outside a wait is handled here too.
    if (sigq.front != sigq.rear && !sigq.enabled)
        run_queued_signals();
    if (ntrapspending)
        runpendingtraps();
}
// A new subshell does not run traps its parent still owed.
void droppendingtraps();
int dotrapargs(int sig, int *bits, Eprog *prog);
int settrap(int sig, Eprog *prog, int flags);
int settrapfunc(int sig, ShellFunc *shf);
void unsettrap(int sig);
void starttrapscope();
void endtrapscope();
// In a new subshell: inline traps are not inherited.
void cleartraps_subshell();
// On becoming a subshell: the EXIT trap in force belongs to the parent.
void notesubshelltraps();
// At a subshell's natural end: run the EXIT trap if the subshell set one,
// after flushing standard output; the caller flushes again before _exit.
void subshellexittrap();
// Connect the function table's TRAP-aware entries to the traps.
void init_traps();

// ---- the signal table ----
// signame(0) is EXIT, 1..SIGNAL_COUNT the system's signals, then QERR and
// DEBUG.
constexpr int SIGNAL_COUNT = NSIG - 1;
constexpr int SIGQERR = SIGNAL_COUNT + 1;
constexpr int SIGDEBUG = SIGNAL_COUNT + 2;
constexpr int SIGCOUNT = SIGNAL_COUNT + 3;  // entries before the null
// The name of signal sig (without SIG), 0 <= sig < SIGCOUNT.
const char *signame(int sig);
// The job-report message of a signal ("unknown signal" beyond the table).
const char *signalmsg(int sig);
// A signal number from a name (without SIG) or a number; -1 if none.
int getsignum(const char *name);

// Status of a process in the shell's terms: 0x80 + signal for a signal
// death or a stop, else the exit status.  A stopped job's status must not
// read as an exit status (the stop signal's number), and the 0x80 bit is
// what tells a pipeline's tail running in the shell that its job stopped.
inline int statval(int status)
{
    if (WIFSIGNALED(status))
        return 0x80 | WTERMSIG(status);
    if (WIFSTOPPED(status))
        return 0x80 | WSTOPSIG(status);
    return WEXITSTATUS(status);
}
