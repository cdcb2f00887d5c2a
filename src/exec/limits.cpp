// Resource limits: the shell's own table and the current one.
#include "exec/exec.h"

const int limitres[RLIM_NLIMITS_SHELL] = {RLIMIT_CPU, RLIMIT_FSIZE, RLIMIT_DATA, RLIMIT_STACK,
                                          RLIMIT_CORE, RLIMIT_NOFILE, RLIMIT_AS};
struct rlimit limits[RLIM_NLIMITS_SHELL], current_limits[RLIM_NLIMITS_SHELL];

// Read when the limit builtins first load: until then both tables are
// empty, so they agree and nothing is applied in children.
static bool limitsread;

void init_limits()
{
    if (limitsread)
        return;
    limitsread = true;
    for (int i = 0; i < RLIM_NLIMITS_SHELL; i++) {
        if (getrlimit(limitres[i], &current_limits[i]) < 0)
            current_limits[i].rlim_cur = current_limits[i].rlim_max = RLIM_INFINITY;
        limits[i] = current_limits[i];
    }
}

static bool limitdiffers(int i)
{
    return limits[i].rlim_cur != current_limits[i].rlim_cur || limits[i].rlim_max != current_limits[i].rlim_max;
}

bool limitspending()
{
    for (int i = 0; i < RLIM_NLIMITS_SHELL; i++)
        if (limitdiffers(i))
            return true;
    return false;
}

// Apply the shell's limit table (set by ulimit/limit) to this process.
void setlimits()
{
    for (int i = 0; i < RLIM_NLIMITS_SHELL; i++)
        if (limitdiffers(i))
            setrlimit(limitres[i], &limits[i]);
}
