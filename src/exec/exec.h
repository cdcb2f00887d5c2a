// The executor: lists, pipelines, simple commands and redirections,
// functions, control structures, conditions and arithmetic.
#pragma once

#include "lang/lang.h"

// Run a program; dont_change_job keeps the current job, source names the
// caller for the wordcode module.
void execode(Eprog *p, int dont_change_job, int exiting, const char *source);
// Parse and run a string as one program (eval, -c, traps).
void execstring(char *s, int dont_change_job, int exiting, const char *context);
// Call the preexec hook function for the program about to run.
void runpreexec(ShellFunc *shf, Eprog *prog);

// Resource limits as read at start-up: current and the shell's own.
void init_limits();

// The command substitution being read: its pid and, once reaped, status.
// cmdoutreaped stores the status of a matching pid (here or in a saved
// executor state) and says whether it matched.
extern pid_t cmdoutpid;
extern int cmdoutval;
int cmdoutreaped(pid_t pid, int status);
