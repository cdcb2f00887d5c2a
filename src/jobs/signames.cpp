// The signal table of this platform: names and job-report messages,
// with EXIT at 0 and the pseudo-signals QERR and DEBUG after the last one.
#include "jobs/jobs.h"

#include <csignal>
#include <cstdlib>
#include <cstring>

static_assert(SIGNAL_COUNT == NSIG - 1, "the table follows the platform's signal count");

namespace {

struct SigDef {
    int num;
    const char *name;
    const char *msg;
};

constexpr SigDef sigdefs[] = {
    {SIGHUP, "HUP", "hangup"},
    {SIGINT, "INT", "interrupt"},
    {SIGQUIT, "QUIT", "quit"},
    {SIGILL, "ILL", "illegal hardware instruction"},
    {SIGTRAP, "TRAP", "trace trap"},
    {SIGABRT, "ABRT", "abort"},
    {SIGBUS, "BUS", "bus error"},
    {SIGFPE, "FPE", "floating point exception"},
    {SIGKILL, "KILL", "killed"},
    {SIGUSR1, "USR1", "user-defined signal 1"},
    {SIGSEGV, "SEGV", "segmentation fault"},
    {SIGUSR2, "USR2", "user-defined signal 2"},
    {SIGPIPE, "PIPE", "broken pipe"},
    {SIGALRM, "ALRM", "alarm"},
    {SIGTERM, "TERM", "terminated"},
    {SIGSTKFLT, "STKFLT", "stack fault"},
    {SIGCHLD, "CHLD", "death of child"},
    {SIGCONT, "CONT", "continued"},
    {SIGSTOP, "STOP", "suspended (signal)"},
    {SIGTSTP, "TSTP", "suspended"},
    {SIGTTIN, "TTIN", "suspended (tty input)"},
    {SIGTTOU, "TTOU", "suspended (tty output)"},
    {SIGURG, "URG", "urgent condition"},
    {SIGXCPU, "XCPU", "cpu limit exceeded"},
    {SIGXFSZ, "XFSZ", "file size limit exceeded"},
    {SIGVTALRM, "VTALRM", "virtual time alarm"},
    {SIGPROF, "PROF", "profile signal"},
    {SIGWINCH, "WINCH", "window size changed"},
    {SIGIO, "IO", "pollable event occurred"},
    {SIGPWR, "PWR", "power fail"},
    {SIGSYS, "SYS", "invalid system call"},
};

// Other names scripts use for the same signals.
constexpr SigDef sigaliases[] = {
    {SIGCHLD, "CLD", nullptr},
    {SIGIO, "POLL", nullptr},
    {SIGABRT, "IOT", nullptr},
};

struct SigTables {
    const char *names[SIGCOUNT + 1];
    const char *msgs[SIGNAL_COUNT + 1];
    char numbuf[SIGNAL_COUNT + 1][4];
};

SigTables &tables()
{
    static SigTables t = [] {
        SigTables s{};
        s.names[0] = "EXIT";
        s.msgs[0] = "done";
        for (int i = 1; i <= SIGNAL_COUNT; i++) {
            char *b = s.numbuf[i];
            if (i >= 10)
                *b++ = char('0' + i / 10);
            *b++ = char('0' + i % 10);
            *b = '\0';
            s.names[i] = s.numbuf[i];
            s.msgs[i] = "";
        }
        for (const SigDef &d : sigdefs) {
            s.names[d.num] = d.name;
            s.msgs[d.num] = d.msg;
        }
        // The real-time range: the library reserves the first few numbers
        // for itself, so RTMIN is asked of it, not assumed.
        s.names[SIGRTMIN] = "RTMIN";
        s.msgs[SIGRTMIN] = "SIGRTMIN";
        s.names[SIGRTMAX] = "RTMAX";
        s.msgs[SIGRTMAX] = "SIGRTMAX";
        s.names[SIGQERR] = "QERR";
        s.names[SIGDEBUG] = "DEBUG";
        s.names[SIGCOUNT] = nullptr;
        return s;
    }();
    return t;
}

}  // namespace

// The table is made when a name or message is first wanted: the real-time
// numbers are the library's to say, so it cannot be a constant, and a
// script that never names a signal should not pay for it at start-up.
const char *signame(int sig) { return tables().names[sig]; }

const char *signalmsg(int sig)
{
    if (sig < 0 || sig > SIGNAL_COUNT)
        return "unknown signal";
    return tables().msgs[sig];
}

int getsignum(const char *s)
{
    if (idigit(static_cast<unsigned char>(*s))) {
        char *end;
        long n = strtol(s, &end, 10);
        return !*end && n >= 0 && n < SIGCOUNT ? int(n) : -1;
    }
    const char *const *names = tables().names;
    for (int i = 0; i < SIGCOUNT; i++)
        if (!strcmp(s, names[i]))
            return i;
    for (const SigDef &a : sigaliases)
        if (!strcmp(s, a.name))
            return a.num;
    return -1;
}
