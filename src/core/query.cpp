// Single-key questions on the terminal: the yes/no query that correction
// and the rm * check ask, read from SHTTY whatever the shell's input is.
#include "core/core.h"
#include "builtins/builtins.h"
#include "jobs/jobs.h"
#include "params/params.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

void qryout(const char *s)
{
    if (shout) {
        fputs(s, shout);
        fflush(shout);
    }
}

void qrybeep()
{
    if (isset(BEEP))
        qryout("\a");
}

// The terminal a key at a time while a question is open; its own modes
// come back on every way out.
struct [[nodiscard]] CbreakGuard {
    ttyinfo saved;
    bool on = false;
    explicit CbreakGuard(bool want)
    {
        if (!want || SHTTY == -1 || tcgetattr(SHTTY, &saved.tio) == -1)
            return;
        ttyinfo ti = saved;
        // The answer is echoed by the terminal and rubbed out when wrong,
        // so echo stays on whatever the editor left.
        ti.tio.c_lflag &= ~tcflag_t(ICANON);
        ti.tio.c_lflag |= ECHO;
        ti.tio.c_cc[VMIN] = 1;
        ti.tio.c_cc[VTIME] = 0;
        settyinfo(&ti);
        on = true;
    }
    void restore()
    {
        if (on)
            settyinfo(&saved);
        on = false;
    }
    ~CbreakGuard() { restore(); }
    CbreakGuard(const CbreakGuard &) = delete;
    CbreakGuard &operator=(const CbreakGuard &) = delete;
};

}  // namespace

int read1char()
{
    if (SHTTY == -1)
        return -1;
    for (;;) {
        unsigned char c;
        ssize_t n = read(SHTTY, &c, 1);
        if (n == 1)
            return c;
        if (n < 0 && errno == EINTR) {
            runtrapsnow();
            if (!errflag && !retflag && !breaks && !contflag)
                continue;
        }
        return -1;
    }
}

int noquery(int purge)
{
    int val = 0;
    if (SHTTY == -1 || ioctl(SHTTY, FIONREAD, &val) == -1 || val < 0)
        return 0;
    if (purge)
        for (int i = 0; i < val; i++)
            if (read1char() < 0)
                break;
    return val;
}

int getquery(const char *valid, int purge)
{
    const char *term = getsparam("TERM");
    bool isem = term && !strcmp(term, "emacs");
    attachtty(mypgrp);
    CbreakGuard cb(!isem);
    if (noquery(purge)) {
        cb.restore();
        qryout("n\n");
        return 'n';
    }
    int c;
    while ((c = read1char()) >= 0) {
        if (c == 'Y')
            c = 'y';
        else if (c == 'N')
            c = 'n';
        if (!valid)
            break;
        if (c == '\n') {
            c = *valid;
            break;
        }
        // A NUL is no answer (strchr would find the terminator).
        if (c && strchr(valid, c)) {
            qryout("\n");
            break;
        }
        qrybeep();
        if (icntrl(static_cast<unsigned char>(c)))
            qryout("\b \b");
        qryout("\b \b");
    }
    // A read that fails (end of file, hang-up, an interrupt) answers no
    // rather than asking again for ever.
    bool failed = c < 0;
    if (failed)
        c = 'n';
    if (!isem) {
        cb.restore();
        if (!valid && c != '\n')
            qryout("\n");
    } else if (c != '\n' && !failed) {
        int d;
        while ((d = read1char()) >= 0 && d != '\n') {
        }
    }
    return c;
}

int checkrmall(const char *dir)
{
    if (!shout)
        return 1;
    fputs("tarn: sure you want to delete all the files in ", shout);
    if (*dir != '/') {
        initdirs();
        if (pwd && strcmp(pwd, "/"))
            niceqputs(pwd, shout);
        putc('/', shout);
    }
    niceqputs(dir, shout);
    if (isset(RMSTARWAIT)) {
        fputs("? (waiting ten seconds)", shout);
        fflush(shout);
        qrybeep();
        // The whole wait, though a job ending cuts a sleep short; an
        // interrupt ends it and the question.
        struct timespec left = {10, 0};
        while (nanosleep(&left, &left) == -1 && errno == EINTR) {
            runtrapsnow();
            if (errflag)
                break;
        }
        qryout("\n");
        if (errflag)
            return 0;
    }
    fputs(" [yn]? ", shout);
    fflush(shout);
    qrybeep();
    return getquery("ny", 1) == 'y';
}
