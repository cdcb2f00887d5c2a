// What the shell does with each signal it catches, once deferral has
// decided to process it now.
#include "jobs/jobs.h"
#include "params/params.h"

#include <unistd.h>

#include <cstdlib>

static void handlesig(int sig)
{
    switch (sig) {
    case SIGCHLD:
        reapchildren();
        break;
    case SIGHUP:
        if (sigtrapset(SIGHUP)) {
            defertrap(SIGHUP);
            break;
        }
        stopmsg = 1;
        qexit(SIGHUP, 1);
        break;
    case SIGINT:
        if (sigtrapset(SIGINT)) {
            defertrap(SIGINT);
            break;
        }
        if ((isset(PRIVILEGED) || isset(RESTRICTED)) && isset(INTERACTIVE) && noerrexit < 0)
            qexit(SIGINT, 1);
        // Interrupt the command list being run or the line being read.
        breaks = loops;
        errflag = 1;
        if (SHTTY != -1)
            tcflush(SHTTY, TCIFLUSH);
        break;
    case SIGWINCH:
        init_winsize();
        if (sigtrapset(SIGWINCH))
            defertrap(SIGWINCH);
        break;
    case SIGALRM: {
        const char *t = getsparam("TMOUT");
        long tmout = t ? atol(t) : 0;
        if (sigtrapset(SIGALRM)) {
            defertrap(SIGALRM);
            if (tmout)
                alarm(unsigned(tmout));
            break;
        }
        if (tmout <= 0)
            break;
        errflag = 0;
        noerrs = 0;
        qwarn("timeout", nullptr, 0);
        stopmsg = 1;
        qexit(SIGALRM, 1);
        break;
    }
    default:
        defertrap(sig);
        break;
    }
}

void install_signal_actions()
{
    handlesigptr = handlesig;
}
