// Fuzz target for whole scripts, run in the fuzzer's own process so that
// coverage guides it, in the sandbox of shell_init.h; standard input and
// output are /dev/null.  A CPU timer
// (libFuzzer's own -timeout has the real-time one) interrupts a script
// that runs too long, and every forked child
// (subshells, pipelines, background jobs) dies by its own alarm, so none
// outlives the input.  Options are restored after each input.
#include <csignal>
#include <cstdint>
#include <cstring>
#include <pthread.h>
#include <sys/time.h>

#include "shell_init.h"

static void onalarm(int) { errflag = 1; }

static void inchild()
{
    signal(SIGALRM, SIG_DFL);
    signal(SIGVTALRM, SIG_DFL);
    alarm(2);
}

static char savedopts[OPT_SIZE];

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    fuzz_shell_init();
    memcpy(savedopts, opts, sizeof savedopts);
    pthread_atfork(nullptr, nullptr, inchild);
    signal(SIGVTALRM, onalarm);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    char *s;
    {
        FuzzRun run;
        s = metafy(const_cast<char *>(reinterpret_cast<const char *>(data)), int(size), META_DUP);
        struct itimerval it = {{0, 0}, {0, 200000}};
        setitimer(ITIMER_VIRTUAL, &it, nullptr);
        execstring(s, 0, 0, "fuzz");
        struct itimerval off = {{0, 0}, {0, 0}};
        setitimer(ITIMER_VIRTUAL, &off, nullptr);
        qfree(s);
    }
    memcpy(opts, savedopts, sizeof savedopts);
    lastval = 0;
    return 0;
}
