// Jobs and signals: the job table, job control, the signal table, the
// signal handler's actions and traps.
#pragma once

#include <csignal>
#include <termios.h>

#include "core/core.h"

extern int thisjob, curjob, prevjob;
extern int coprocin, coprocout;

// The shell's own terminal settings, saved at start-up.
struct ttyinfo {
    struct termios tio;
};
extern ttyinfo shttyinfo;
void gettyinfo(ttyinfo *ti);

void init_jobvals();
void acquire_pgrp();
void record_shtimes();
void record_argv_space(char **argv);
void scanjobs();
void checkjobs();
void killrunjobs(int from_signal);
// Run the EXIT trap if one is set.
void dotrap_exit();
// Jobs in use and listed (for %j in prompts).
int countjobs();

// ---- the signal table ----
// sigs[0] is EXIT, 1..SIGNAL_COUNT the system's signals, then QERR and
// DEBUG; the table ends with a null entry.
constexpr int SIGNAL_COUNT = NSIG - 1;
constexpr int SIGQERR = SIGNAL_COUNT + 1;
constexpr int SIGDEBUG = SIGNAL_COUNT + 2;
constexpr int SIGCOUNT = SIGNAL_COUNT + 3;  // entries before the null
extern const char *const *sigs;
// The job-report message of a signal ("unknown signal" beyond the table).
const char *signalmsg(int sig);
// A signal number from a name (without SIG) or a number; -1 if none.
int getsignum(const char *name);
