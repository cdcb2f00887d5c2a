// The executor: lists, pipelines, simple commands and redirections,
// functions, control structures, conditions and arithmetic.
#pragma once

#include "lang/lang.h"

#include <sys/resource.h>



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
// A float as an integer, saturated at the ends of the range (NaN is 0):
// a plain conversion of an out-of-range value is undefined.
inline int64_t float2int(double d)
{
    if (d != d)
        return 0;
    if (d >= 9223372036854775807.0)
        return INT64_MAX;
    if (d <= -9223372036854775808.0)
        return INT64_MIN;
    return int64_t(d);
}
// Whether an arithmetic evaluation is in progress (outputradix applies).
bool inmatheval();
int64_t mathevali(const char *s);
mnumber mathevalarg(char *s, char **endp);
// The let builtin's handler.
struct BuiltinOptions;
int bin_let(char *nam, char **argv, BuiltinOptions *ops, int func);

// Run a program; dont_change_job keeps the current job.
void execode(Eprog *p, int dont_change_job, int exiting, const char *source);
// Parse and run a string as one program (eval, -c, traps).
void execstring(char *s, int dont_change_job, int exiting, const char *context);
void execlist(ExecState *state, int dont_change_job, int exiting);
// Call the preexec hook for the program about to run, when a function
// preexec or preexec_functions is there.
void runpreexec(Eprog *prog);
// Called by a builtin whose wait for input was interrupted: when that was
// because the pipeline feeding the shell-run tail stopped, fork the copy of
// the shell that carries on with the tail.  1 in the copy once it is
// continued (retry the wait), 0 otherwise (in the shell, give up).
int suspendpipetail();

// One element of a pipeline: input/output are pipe descriptors (0 none),
// how the list kind bits, last1 1 when this process is not needed after,
// 2 when it is, 0 in a pipeline's middle.
void runcmd(ExecState *state, int input, int output, int how, int last1);
// The exec functions of the complex commands, indexed by code type.
using ExecFunc = int (*)(ExecState *, int);
int execfuncdef(ExecState *state, int do_exec);
int execautofn(ExecState *state, int do_exec);
int execfor(ExecState *state, int do_exec);
int execselect(ExecState *state, int do_exec);
int execwhile(ExecState *state, int do_exec);
int execrepeat(ExecState *state, int do_exec);
int execcase(ExecState *state, int do_exec);
int execif(ExecState *state, int do_exec);
int execcond(ExecState *state, int do_exec);
int execarith(ExecState *state, int do_exec);

// Perform the assignments at pc (export: 0 plain, 1 exported, -1 exported
// and checked against restricted parameters).
void doassigns(ExecState *state, wordcode *pc, int export_);
void execute(LinkList *args, int dash);
// Start a simple external command of a script with posix_spawn, which
// shares the shell's memory until the program runs instead of copying
// it: the pid, or 0 when the command needs the fork path (nothing has
// changed then).  input and output are the pipeline's descriptors.
pid_t spawnexternal(LinkList *args, CmdEntry *cn, const char *text, LinkList *redir, int input, int output);
// Start the program of a command substitution's body (ARGS, expanded)
// the same way, its standard output the descriptor OUT, with the signal
// mask CHILDMASK: the pid, or 0 for the fork path.  No job is made.
pid_t spawncapture(LinkList *args, int out, const sigset_t *childmask);
// Before any new process (fork, spawn or exec): input read ahead is
// given back and the environment settled, since the process shares both.
void beforechild();
// Enter the state of a forked subshell; kind 1 job, 2 part of a job.
void becomesubshell(int how, int kind, int fake);
// fork() with SIGCHLD blocked, so the child is in the job table before
// its death is reaped; the pipeline that made it unblocks SIGCHLD again
// with releasechld.  chldheld says whether a job being built may hold it
// blocked, so that a pipeline that forked nothing changes no mask (a
// mask change is a system call, and a costly one on some machines).
extern bool chldheld;
pid_t blockedfork();
void holdchld();
void releasechld();
// Fork for the executor: -1 on failure (reported), 0 in the child.
pid_t forkchild(bool *ischild);

// ---- functions ----
struct FuncStack {
    FuncStack *prev;
    const char *name;
};
extern FuncStack *funcstack;
extern int sfcontext;
enum : int { SFC_NONE = 0, SFC_DIRECT = 1, SFC_SIGNAL = 2, SFC_HOOK = 3, SFC_WIDGET = 4, SFC_COMPLETE = 5 };
// Call a function; args has the name first (or null).  Non-zero when it
// ended with return.
int doshfunc(const char *name, Eprog *prog, LinkList *args, int flags, int noreturnval);
struct FuncWrap;
// Run a function body in its own parameter scope, through the wrappers
// modules added (null for none).
void runshfunc(Eprog *prog, FuncWrap *wrap, const char *name);
// Run the hook function name and, with arrayp, those named in the array
// name_functions after it: 0 when any ran, 1 when none is defined.
int callhookfunc(const char *name, LinkList *args, int arrayp, int *retval);
// Whether calling the hook would run anything.
bool hookwanted(const char *name);
// The deepest function nesting; beyond it a call is an error, so runaway
// recursion never exhausts the process stack.
constexpr int MAX_FUNCTION_DEPTH = 1000;

int evalcond(ExecState *state, const char *fromtest);
void skipcond(ExecState *state);
int evalmodcond(ExecState *state, wordcode code, const char *fromtest);
int execcomplex(ExecState *state, wordcode code, int do_exec);
void runshellfunc(ShellFunc *shf, LinkList *args);
ShellFunc *loadautofn(ShellFunc *shf, int kshstyle, int autol);
Eprog *mkautofn(ShellFunc *shf);
// The STTY value given in a command's assignments, applied in the child.
extern char *STTYval;
// Print the PS4 prompt on the trace stream; the trace line of a command.
void printprompt4();
void tracewords(LinkList *args);
// $_ of the next command.
void setunderscore(const char *s);

// ---- descriptors ----
// Marks in fdtable: internal to the shell, a /dev/fd process substitution,
// the trace copy of standard error.
enum : unsigned char { FDT_UNUSED = 0, FDT_INTERNAL = 1, FDT_PROC_SUBST = 2, FDT_XTRACE = 3 };
void qclose(int fd);
void closem(int kind);
int makepipe(int *p);
// Redirection targets of one descriptor while a command is set up: more
// than one makes a tee (output) or cat (input) process.
constexpr int MULTIO_STEP = 8;
struct Multio {
    int ct;
    int rflag;  // 1 output, 0 input
    int pipe;
    int *fds;
    int alloc;
};
// Descriptors 10 and above named by a redirection (`exec 12>file`): no
// multios; the previous state is saved here to be put back afterwards.
struct HighFdSave {
    HighFdSave *next;
    int fd;
    int saved;  // copy of the old descriptor, or -1 when it was not open
};
void attachfd(int forked, int *save, Multio **mfds, int fd1, int fd2, int rflag);
void flushmultio(Multio **mfds, int fd);
void fixfds(int *save, HighFdSave *high);
// Forget the saved copies of a command whose redirections stay (`exec`).
void dropfdsaves(int *save, HighFdSave *high);
enum class RedirExp { OK, BAD, EXPERR };
[[nodiscard]] RedirExp expandredirs(LinkList *redir);
bool applyredirs(LinkList *redir, int forked, int *save, Multio **mfds, HighFdSave **high);
// bgignore: this process is (in) a background job without job control,
//   which keeps SIGINT and SIGQUIT ignored for itself and all it runs.
extern bool bgignore;
// The auto-cd target of a command word, or null.
char *autocdtarget(char *word);

// ---- saved executor state around traps and widgets ----
struct ExecSave {
    int list_pipe, simple_pline, pipenest, nowaitpipe, lastwaited, tailforked, tailjob;
    pid_t tailpid, cmdoutpid;
    int cmdoutval;
    int64_t lastval;
    int noeval, badcshglob, trapreturn, noerrs, closeinchild;
    char *underscore;
    ExecSave *prev;
};
void execsave();
void execrestore();
struct [[nodiscard]] ExecGuard {
    ExecGuard() { execsave(); }
    ~ExecGuard() { execrestore(); }
    ExecGuard(const ExecGuard &) = delete;
    ExecGuard &operator=(const ExecGuard &) = delete;
};

// The command substitution being read: its pid and, once reaped, status.
// cmdoutreaped stores the status of a matching pid (here or in a saved
// executor state) and says whether it matched.
extern pid_t cmdoutpid;
extern int cmdoutval;
int cmdoutreaped(pid_t pid, int status);

// Resource limits: limits, given to every command the shell starts, and
// current_limits, the shell's own; both read at start-up.  limitres holds
// the system's number of each resource the shell knows.
constexpr int RLIM_NLIMITS_SHELL = 7;
extern const int limitres[RLIM_NLIMITS_SHELL];
extern struct rlimit limits[RLIM_NLIMITS_SHELL], current_limits[RLIM_NLIMITS_SHELL];
void init_limits();
void setlimits();
// Whether the limits for commands differ from the shell's own, so that a
// command must be started in a child that applies them.
bool limitspending();

// The stdout of the shell has been written by a builtin: flush and report.
extern int pipenest;
extern int closeinchild;
// Set while the stages of a coprocess are being started.
extern int forkingcoproc;
