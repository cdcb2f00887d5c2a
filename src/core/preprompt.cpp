// Work done before each interactive prompt.
#include "core/core.h"
#include "exec/exec.h"
#include "jobs/jobs.h"
#include "modules/extra/extra.h"
#include "params/params.h"

#include <ctime>

// When periodic last ran; 0 until it first does.
static time_t lastperiodic;

// Mail checking arrives with its issue; the functions registered in
// prepromptfns run already.
void preprompt()
{
    int64_t period = getiparam("PERIOD");
    // Jobs that changed while the last command ran are reported before
    // the prompt, not in the middle of its output.
    if (unset(NOTIFY))
        scanjobs();
    if (errflag)
        return;
    callhookfunc("precmd", nullptr, 1, nullptr);
    if (errflag)
        return;
    if (period && time(nullptr) > lastperiodic + period && !callhookfunc("periodic", nullptr, 1, nullptr))
        lastperiodic = time(nullptr);
    if (errflag)
        return;
    if (watch && *watch && time(nullptr) - lastwatch > getiparam("LOGCHECK")) {
        dowatch();
        lastwatch = time(nullptr);
    }
    if (errflag)
        return;
    // A function may remove itself (its module unloaded by what it ran).
    for (LinkNode *n = firstnode(prepromptfns), *next; n; n = next) {
        next = nextnode(n);
        reinterpret_cast<void (*)()>(getdata(n))();
    }
}
