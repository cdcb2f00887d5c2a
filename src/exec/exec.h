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
// ---- arithmetic ----
enum : int { MN_INTEGER = 1, MN_FLOAT = 2 };
struct mnumber {
    union {
        int64_t l;
        double d;
    } u;
    int type;
};
inline mnumber mnint(int64_t l) { mnumber m; m.u.l = l; m.type = MN_INTEGER; return m; }
inline mnumber mnfloat(double d) { mnumber m; m.u.d = d; m.type = MN_FLOAT; return m; }



// The base of the last number read with an explicit base (-1 none), the
// output radix asked for with [#n] (0 none), and the untaken-side counter.
extern int lastbase, outputradix, noeval;
mnumber matheval(const char *s);
// Whether an arithmetic evaluation is in progress (outputradix applies).
bool inmatheval();
int64_t mathevali(const char *s);
mnumber mathevalarg(char *s, char **endp);
// The let builtin's handler.
struct BuiltinOptions;
int bin_let(char *nam, char **argv, BuiltinOptions *ops, int func);
