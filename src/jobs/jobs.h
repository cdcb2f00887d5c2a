// Jobs and signals: the job table, job control, the signal table, the
// signal handler's actions and traps.
#pragma once

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
