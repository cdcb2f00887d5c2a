// The message channel: error and warning reports on standard error.
#include "core/core.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <unistd.h>

// Where messages come from: "tarn" for commands read from standard input
// outside functions, else the script name or $0; the nam variants add the
// command name.
static void msgprefix(const char *cmd)
{
    bool fromstdin = isset(SHINSTDIN) && !locallevel;
    if (!fromstdin || !cmd)
        niceqputs(fromstdin ? "tarn" : (scriptname ? scriptname : argzero ? argzero : "tarn"), stderr);
    if (!fromstdin || !cmd)
        fputc(':', stderr);
    if (cmd) {
        niceqputs(cmd, stderr);
        fputc(':', stderr);
    }
    if (!fromstdin && lineno)
        fprintf(stderr, "%ld: ", lineno);
    else
        fputc(' ', stderr);
}

static void msgbody(const char *fmt, const char *str, long num)
{
    for (const char *f = fmt; *f; f++) {
        if (*f != '%' || !f[1]) {
            fputc(*f, stderr);
            continue;
        }
        switch (*++f) {
        case 's':
            niceqputs(str ? str : "", stderr);
            break;
        case 'l': {
            HeapGuard hg;
            int n = str ? metalen(str, int(num)) : 0;
            niceqputs(dupstrpfx(str ? str : "", size_t(n)), stderr);
            break;
        }
        case 'd':
            fprintf(stderr, "%ld", num);
            break;
        case 'c':
            fputs(nicechar(int(num)), stderr);
            break;
        case 'e':
            if (num == EINTR) {
                fputs("interrupt", stderr);
                errflag = 1;
            } else {
                ensurelocale();
                const char *e = strerror(int(num));
                fputc(tolower(static_cast<unsigned char>(*e)), stderr);
                fputs(e + 1, stderr);
            }
            break;
        case '%':
            fputc('%', stderr);
            break;
        default:
            fputc('%', stderr);
            fputc(*f, stderr);
            break;
        }
    }
    fputc('\n', stderr);
    fflush(stderr);
}

static void report(const char *cmd, const char *fmt, const char *str, long num)
{
    if (trashkedptr)
        trashkedptr();
    msgprefix(cmd);
    msgbody(fmt, str, num);
}

void qerr(const char *fmt, const char *str, long num)
{
    if (errflag || noerrs) {
        if (noerrs < 2)
            errflag = 1;
        return;
    }
    report(nullptr, fmt, str, num);
    errflag = 1;
}

void qerrnam(const char *cmd, const char *fmt, const char *str, long num)
{
    if (errflag || noerrs) {
        if (noerrs < 2)
            errflag = 1;
        return;
    }
    report(cmd, fmt, str, num);
    errflag = 1;
}

void qwarn(const char *fmt, const char *str, long num)
{
    if (errflag || noerrs)
        return;
    report(nullptr, fmt, str, num);
}

void qwarnnam(const char *cmd, const char *fmt, const char *str, long num)
{
    if (errflag || noerrs)
        return;
    report(cmd, fmt, str, num);
}

// The message text alone, without prefix (for callers that word their own).
void qerrmsg(const char *fmt, const char *str, long num)
{
    msgbody(fmt, str, num);
}

#ifdef __GLIBCXX__
// The C++ runtime's own last-resort handler would bring its symbol
// demangler into the shell (and the demangler's tables into the relocations
// of every start-up) only to name what went wrong.  The shell is built
// without exceptions, so only an internal fault reaches here: say so and
// abort, as a failed assertion does.
namespace __gnu_cxx {
void __verbose_terminate_handler()
{
    static const char msg[] = "tarn: internal error: the C++ runtime gave up\n";
    if (write(2, msg, sizeof msg - 1) < 0) {
        // Nothing more can be said.
    }
    abort();
}
}  // namespace __gnu_cxx
#endif
