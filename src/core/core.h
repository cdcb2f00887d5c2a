// The core runtime: start-up, the main loop, the control globals and the
// message channel.  Includes the rest of the core so one include suffices.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <ctime>
#include <dirent.h>
#include <sys/time.h>

#include "core/hashtable.h"
#include "core/mem.h"
#include "core/meta.h"
#include "core/sigqueue.h"
#include "params/options.h"

constexpr const char TARN_VERSION[] = "4.1.1";
constexpr const char MACHTYPE_STR[] = "x86_64";
constexpr const char VENDOR_STR[] = "pc";
constexpr const char OSTYPE_STR[] = "linux-gnu";

// ---- control globals ----
// errflag: an error occurred and everything unwinds.  Set by qerr and by
//   SIGINT; tested at every level of the executor, parser and expansion;
//   cleared by the main loop, source and the handlers of nested execution.
extern volatile int errflag;
// The kinds of errflag: an error proper, or a list cut short by a trap that
// failed, which ends the list but not a script.
enum : int { ERRFLAG_ERROR = 1, ERRFLAG_INT = 2 };
// retflag: a return is in progress.  Set by return; cleared by the function
//   call or source that it returns from.
extern int retflag;
// breaks/contflag/loops: break and continue levels and the loop depth.
//   break/continue set them; loops clear them as they unwind.
extern int breaks, contflag, loops;
// exit_pending: exit was called inside a function; the outermost function
//   return performs it.
extern int exit_pending;
// noerrs: message suppression: 1 silent, 2 silent and errflag not set.
extern int noerrs;
// The locale the parameters name is loaded when something first depends
// on it (collation, character classes, messages, dates, the editor): a
// script that never asks pays nothing for it.  Owned by the locale
// parameters (params/specials.cpp).
extern bool localepending;
void loadlocale();
inline void ensurelocale()
{
    if (localepending) [[unlikely]]
        loadlocale();
}
// noerrexit: errexit suppressed (-1 during start-up files, 1 in conditions).
extern int noerrexit;
// stopmsg: stopped-jobs warning state, decremented before each command.
extern int stopmsg;
// locallevel: function nesting; sourcelevel: source nesting.
extern int locallevel, sourcelevel;
// forklevel: locallevel when this process forked off as a subshell; the
//   functions below it belong to the parent, so exit leaves at once.
extern int forklevel;
// lineno: the line being executed (for messages and LINENO).
extern long lineno;
// subsh: this process is a forked subshell.
extern int subsh;
// lastval: the status of the last command.
extern int64_t lastval;
// trapreturn: the status a trap's return asked for.
extern int trapreturn;
// nohistsave: leaving the shell does not save the history (start-up).
extern int nohistsave;

// ---- start-up state ----
extern char *tarn_name;
extern char *argzero;
extern char **pparams;
// True while argzero and pparams are the arena copies a function call made
// for itself (cheaper than heap copies on every call): not to be freed.
// What replaces them uses setargzero() or setpparams() (arena: the new
// value is such a copy, as the caller's put back after a call may be);
// what changes pparams in place calls ownpparams() first.
extern bool argzeroarena, pparamsarena;
void setargzero(char *s, bool arena = false);
void setpparams(char **a, bool arena = false);
void ownpparams();
extern char *scriptname;
extern int SHIN;
extern FILE *bshin;
extern int SHTTY;
extern FILE *shout;
extern char *ttystrname;
extern FILE *xtrerr;
extern unsigned char *fdtable;
extern int fdtable_size, max_tarn_fd;
extern char *cmdstack;
extern int cmdsp;
extern int noexitct;
extern pid_t mypid;
extern pid_t origpgrp;
extern LinkList *prepromptfns;
extern char *cmdstring;  // the string given with -c, metafied

constexpr int CMDSTACKSZ = 256;

// Entry points into the editor and completion; modules replace them.
extern char *(*kedreadptr)(char **lp, char **rp, int flags);
extern int (*compctlreadptr)(const char *name, char **args, void *ops, char *reply);
extern void (*trashkedptr)();
// Redraw the editor's line after output that took it away (a trap, a job
// report); insert space at the editor's cursor; read a key through the
// editor (set only while it reads a line).
extern void (*refreshptr)();
extern void (*spaceinlineptr)(int ct);
extern int (*getkeyptr)(int timeout);
char *autoload_kedread(char **lp, char **rp, int flags);
char *fallback_kedread(char **lp, char **rp, int flags);
int fallback_compctlread(const char *name, char **args, void *ops, char *reply);

[[noreturn]] void tarn_main(int argc, char **argv);
// End the shell process: flush output and leave without running the
// destructors of static tables.
[[noreturn]] void shellexit(int status);
void loop(int toplevel, int justonce);
int source(const char *path);
void sourcehome(const char *name);
void run_init_scripts();
void init_misc();
void init_io();
void init_shout();
void setupvals();
void init_signals();
void parseargs(char **argv);
// Terminal capabilities (init_term loads them); termflags: TERM_ bits.
enum TermCap : int {
    TCCLEARSCREEN, TCLEFT, TCMULTLEFT, TCRIGHT, TCMULTRIGHT, TCUP, TCMULTUP, TCDOWN, TCMULTDOWN,
    TCDEL, TCMULTDEL, TCINS, TCMULTINS, TCCLEAREOD, TCCLEAREOL, TCINSLINE, TCDELLINE, TCNEXTTAB,
    TCBOLDFACEBEG, TCSTANDOUTBEG, TCUNDERLINEBEG, TCALLATTRSOFF, TCSTANDOUTEND, TCUNDERLINEEND,
    TCHORIZPOS, TCUPCURSOR, TCDOWNCURSOR, TCLEFTCURSOR, TCRIGHTCURSOR, TCCOUNT
};
static_assert(TCCOUNT == 29);
struct TermCaps {
    char *str[TCCOUNT];
    int len[TCCOUNT];
    bool am;
    int li, co;
};
extern TermCaps termcaps;
enum : int { TERM_BAD = 1, TERM_UNKNOWN = 2, TERM_NOUP = 4 };
extern int termflags;
int init_term();
void qexit(int64_t status, int how);
int movefd(int fd);
// Write all of buf, going on after signals; false (errno set) on failure.
// While set, what writefull sends to descriptor 1 is kept here instead: a
// command substitution run without a process (expand/subst.cpp).
extern std::string *outcapture;
bool writefull(int fd, const char *buf, size_t len);
void redup(int x, int y);
void closefd(int fd);

// Lines the read builtin took in one block from a regular file beyond the
// line it returned, so that a loop reading a file makes no system call per
// line.  The file's offset is then past what the shell has used:
// syncreadahead() gives the bytes back before anything else could see the
// offset (another process, a change of descriptors, the shell's own input,
// a command that may read or seek, the shell's exit).  gen counts the
// syncs, so that read can tell a loop in which nothing else happens
// between its lines, the only kind it reads ahead for.
struct ReadAhead {
    int fd = -1;  // the descriptor read ahead, -1 when nothing is held
    char *buf = nullptr;
    size_t cap = 0, pos = 0, len = 0;
    unsigned gen = 0;
};
extern ReadAhead heldinput;
void givebackreadahead();
inline void syncreadahead()
{
    heldinput.gen++;
    if (heldinput.fd >= 0)
        givebackreadahead();
}
// Before the descriptor fd is closed or replaced.
inline void syncreadaheadfd(int fd)
{
    if (fd == heldinput.fd)
        syncreadahead();
}
void setblock_stdin();
// Terminal size as last read; the editor parameters expose them.
extern int tclines, tccolumns;
void init_winsize();
// Work done before each interactive prompt.
void preprompt();
// When mail was last checked (start-up counts as a check).
extern time_t lastmailcheck;

// ---- questions on the terminal and spelling correction ----
// One byte read from SHTTY, or -1 at end of file, on an error or after an
// interrupt.
int read1char();
// Characters waiting on the terminal, discarded when purge is set.
int noquery(int purge);
// Ask for one key: with valid, one of its characters (a newline answers
// its first); without, any key.  Keys typed ahead, or a failed read,
// answer 'n'.
int getquery(const char *valid, int purge);
// Confirm deleting every file in dir: 1 to go ahead.
int checkrmall(const char *dir);
// The distance from the typed word t to the candidate s: 0 equal, 1 case
// only or a transposition, 2 a letter missing, extra or a neighbouring
// key, summed along the word; 200 too far.
int typodist(const char *s, const char *t, int limit);
// Offer the nearest spelling of *word (arena, token form): hist puts the
// correction into the history line too, cmd treats it as a command word,
// ask asks on the terminal (else the correction is taken).
void spckword(char **word, int hist, int cmd, int ask);

// Read the next directory entry's name, metafied; dot entries skipped when
// ignoredots is set.  Null at the end.
char *qreaddir(DIR *dir, int ignoredots);

// ---- time ----
// strftime with %K (hour 0-23), %l (hour 1-12) and %f (day of month)
// without padding; returns the length of the whole result, which is cut
// to fit when that is bufsize or more.
size_t qtrftime(char *buf, size_t bufsize, const char *fmt, const struct tm *tm);
// When the shell started (the SECONDS clock), and seconds since then.
extern struct timeval shtimer;
double shellseconds();

// ---- escape sequences ----
enum GetKeyMode : int {
    GETKEY_PRINT = 0,         // print and echo: unknown escapes keep the backslash
    GETKEY_PFLAG = 1,         // the p expansion flag
    GETKEY_BINDKEY = 2,       // print -b, key strings: caret notation too
    GETKEY_SUBSCRIPT = 3,     // subscript flag arguments
    GETKEY_DOLLAR_QUOTE = 4,  // $'...', decoded in place and metafied
    GETKEY_SUFFIX = 5,        // removable suffixes: \- reported in misc
    GETKEY_SINGLE_CHAR = 6,   // one character into misc
    GETKEY_PRINTF = 7,        // printf formats: as p, but unknown escapes keep the backslash
};
// Decode escapes in s; the bytes (arena, unmetafied except in mode 4)
// and their count in *len.  misc: \c seen, \- seen, or the character.
char *getkeystring(char *s, int *len, int how, int *misc);

// ---- messages ----
// qerr/qerrnam report an error and set errflag; qwarn/qwarnnam only print.
// Format: %s readable string, %l first num chars of str, %d num, %c num as
// a character, %e the system error text for num, %% a percent sign.
void qerr(const char *fmt, const char *str, long num);
void qerrnam(const char *cmd, const char *fmt, const char *str, long num);
void qwarn(const char *fmt, const char *str, long num);
void qwarnnam(const char *cmd, const char *fmt, const char *str, long num);
void qerrmsg(const char *fmt, const char *str, long num);

// An option changed for a while; its value is restored on every path.
struct [[nodiscard]] OptionGuard {
    int optno;
    signed char saved;
    explicit OptionGuard(int o) : optno(o), saved(opts[o]) {}
    ~OptionGuard() { opts[optno] = saved; }
    OptionGuard(const OptionGuard &) = delete;
    OptionGuard &operator=(const OptionGuard &) = delete;
};

// Temporarily silence messages; restored on every path.
struct [[nodiscard]] NoErrsGuard {
    int saved;
    explicit NoErrsGuard(int level) : saved(noerrs) { noerrs = level; }
    ~NoErrsGuard() { noerrs = saved; }
    NoErrsGuard(const NoErrsGuard &) = delete;
    NoErrsGuard &operator=(const NoErrsGuard &) = delete;
};
