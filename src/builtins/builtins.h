// The builtin table, option parsing and dispatch, and the core builtins.
// Owns builtintab and the BuiltinEntry record modules add builtins with.
#pragma once

#include "core/core.h"

// Builtin flags; NODE_DISABLED (1) shares the word.
enum : int {
    BI_PLUSOPTS = 0x2,
    BI_PRINTOPTS = 0x4,
    BI_ADDED = 0x8,
    BI_MAGICEQUALS = 0x10,
    BI_PRECMD = 0x20,
    BI_DASH = 0x40,
    BI_BUILTIN = 0x80,
    BI_COMMAND = 0x100,
    BI_EXEC = 0x200,
    BI_NOGLOB = 0x400,
    BI_PSPECIAL = 0x800,
    BI_SKIPINVALID = 0x1000,
    BI_KEEPNUM = 0x2000,
    BI_SKIPDASH = 0x4000,
    BI_DASHDASHVALID = 0x8000,
};

constexpr int MAX_OPS = 128;      // ind is indexed by 7-bit characters
constexpr int MAX_OPARGS = 63;    // the argument index must fit in ind's upper 6 bits

// What the dispatcher parsed.  ind[c]: bit 1 given with "-", bit 2 with
// "+", and the value >> 2 the 1-based index of c's argument in args.
struct BuiltinOptions {
    unsigned char ind[MAX_OPS];
    char **args;  // arena
    int argscount, argsalloc;
};

inline bool opt_isset(const BuiltinOptions *ops, int c) { return ops->ind[c] != 0; }
inline bool opt_minus(const BuiltinOptions *ops, int c) { return ops->ind[c] & 1; }
inline bool opt_plus(const BuiltinOptions *ops, int c) { return ops->ind[c] & 2; }
inline bool opt_hasarg(const BuiltinOptions *ops, int c) { return ops->ind[c] > 3; }
inline char *opt_arg(const BuiltinOptions *ops, int c) { return ops->args[(ops->ind[c] >> 2) - 1]; }

using HandlerFunc = int (*)(char *nam, char **argv, BuiltinOptions *ops, int func);

struct BuiltinEntry : HashNode {
    HandlerFunc handler;
    int minargs;
    int maxargs;  // -1: no limit
    int function_code;
    char *option_letters;  // for an autoload stub: the module's name
    char *default_options;
};
using Builtin = BuiltinEntry;

// A record for a module's static table of builtins.
constexpr BuiltinEntry mkbuiltin(const char *name, int flags, HandlerFunc handler, int minargs, int maxargs,
                                 int funcid, const char *optstr, const char *defopts)
{
    BuiltinEntry b{};
    b.next = nullptr;
    b.nam = const_cast<char *>(name);
    b.flags = flags;
    b.handler = handler;
    b.minargs = minargs;
    b.maxargs = maxargs;
    b.function_code = funcid;
    b.option_letters = const_cast<char *>(optstr);
    b.default_options = const_cast<char *>(defopts);
    return b;
}

extern HashTable *builtintab;
// Create builtintab and add the core builtins under module "tarn".
void createbuiltintable();
// The number of core builtins.
extern const int corebuiltincount;

// Run a builtin: args is the command's word list, name first (the list is
// consumed).  Parses the options, checks the counts, traces, calls the
// handler and returns its status.
int execbuiltin(LinkList *args, Builtin *bn);
#ifdef TARN_CHECK_META
// Called, in builds that check words, before aborting on a word that
// ends in a lone metafication marker (the fuzzer saves its input).
extern void (*metafaulthook)();
#endif
// The builtin of that name with an autoload stub's module loaded first;
// null when there is none.  A stub left after a failed load is returned
// as it is: execbuiltin reports it.
Builtin *getbuiltin(const char *name);
// The trace of a builtin's command line, which execbuiltin writes when
// xtrace was on as the command began: the PS4 prompt (printprompt4), the
// name and each word quoted, on xtrerr.  words: null-terminated, as typed.
void tracebuiltin(const char *name, char **words);

// For builtins this system lacks; for those whose issue has not landed.
int bin_notavail(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_notyet(char *nam, char **argv, BuiltinOptions *ops, int func);

// ---- the core handlers ----
int bin_true(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_false(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_enable(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_setopt(char *nam, char **argv, BuiltinOptions *ops, int isunset);
int bin_emulate(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_qmodload(char *nam, char **argv, BuiltinOptions *ops, int func);
// Handlers of later issues (temporary definitions in builtins/pending.cpp).
int bin_test(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_dot(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_alias(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_functions(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_fg(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_break(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_cd(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_typeset(char *nam, char **argv, BuiltinOptions *ops, int func);
void untypesetmarks(LinkList *args);
int bin_dirs(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_print(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_eval(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_fc(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_read(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_getopts(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_hash(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_kill(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_let(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_log(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_pwd(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_set(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_shift(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_suspend(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_ttyctl(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_times(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_trap(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_umask(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_unhash(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_unset(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_whence(char *nam, char **argv, BuiltinOptions *ops, int func);
int bin_qcompile(char *nam, char **argv, BuiltinOptions *ops, int func);

// Function codes that select what a shared handler does.
enum : int {
    BIN_BG = 1, BIN_FG = 2, BIN_JOBS = 3, BIN_WAIT = 4, BIN_DISOWN = 5,
    BIN_BREAK = 6, BIN_CONTINUE = 7, BIN_EXIT = 8, BIN_RETURN = 9,
    BIN_CD = 10, BIN_POPD = 11, BIN_PUSHD = 12, BIN_PRINT = 13, BIN_EVAL = 14,
    BIN_FC = 16, BIN_R = 17, BIN_LOGOUT = 19, BIN_TEST = 20, BIN_BRACKET = 21,
    BIN_EXPORT = 22, BIN_ECHO = 23, BIN_DISABLE = 24, BIN_ENABLE = 25, BIN_PRINTF = 26,
    BIN_COMMAND = 27,  // bin_whence as command -v, -V and -pv
};

// The system's default command directories (command -p), permanent.
char **defaultsyspath();

// ---- the buffer stack (print -z, pushln, getln, read -z, select) ----
extern LinkList *bufstack;
void pushbufferline(const char *s);
// The top line, removed (arena copy), or null when the stack is empty.
char *getbufferline();

// ---- the current directory and the directory stack ----
extern char *pwd, *oldpwd;   // logical, metafied, permanent
extern LinkList *dirstack;   // permanent strings; first: the latest pushed
// Non-zero: print the new directory after a change; -1 asks for that
// from auto-cd.
extern int doprintdir;
// Take pwd and oldpwd from PWD and OLDPWD if not set yet.
void initdirs();
// Assign PWD and OLDPWD from pwd and oldpwd, exported.
void set_pwd_env();
// Clean a path in place of repeated "/", "." and "..";
// 1 when a ".." had to be kept, 0 otherwise.
int fixdir(char *path);
// A path whose first component, a named directory or a parameter
// holding a directory, is replaced by that directory; null if none.
char *cd_able_vars(const char *name);
// pwd and the stack entries, abbreviated, on one line.
void showdirstack();

// A builtin's pattern argument compiled ("bad pattern : %s" when it is
// not one); null on failure.
struct Patprog;
Patprog *patternarg(const char *nam, const char *arg);
