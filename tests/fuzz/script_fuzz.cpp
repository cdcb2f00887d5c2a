// Fuzz target for whole scripts, run in the fuzzer's own process so that
// coverage guides it, in the sandbox of shell_init.h; standard input and
// output are /dev/null.  A CPU timer
// (libFuzzer's own -timeout has the real-time one) interrupts a script
// that runs too long, and every forked child
// (subshells, pipelines, background jobs) dies by its own timers, so none
// outlives the input.  Options are restored after each input.
//
// The shell expects to be the only thread, so that its signals reach the
// thread that blocks them around a wait.  The fuzzer's own threads (its
// memory watcher) and the watchdog below are started with every signal
// blocked: a SIGCHLD handled on another thread between the wait's check
// and its suspend would be a lost wake-up the real shell cannot have.
// The watchdog stands in for the fuzzer's -timeout, which needs SIGALRM,
// a signal the shell takes for itself: an input that waits longer than
// 30 s of real time is saved and the process aborts.
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/time.h>

#include "shell_init.h"

static void onalarm(int) { errflag = 1; }

// A fork of the fuzzer's process, grown big under the sanitizer, takes
// tens of milliseconds, so an input that recurses through background jobs
// would spend the whole timeout forking: past this many forks in one
// input, the input is ended.  The count is shared by every process the
// input forks, so that a recursion inside subshells, each of which would
// otherwise count afresh, is bounded as a whole.
// Shared with every process an input forks, too, the children of one input
// form a process group, killed when the next input starts: background
// jobs left behind would otherwise pile up by the hundred and starve the
// fuzzer, each living out its own timers.
struct Shared {
    std::atomic<int> forks;
    std::atomic<pid_t> group;
};
static Shared *shared;
constexpr int MAXFORKS = 50;

static void beforefork()
{
    if (shared->forks.fetch_add(1) + 1 > MAXFORKS)
        errflag = 1;
}

static void joininputgroup()
{
    pid_t g = shared->group.load();
    if (g && setpgid(0, g) == 0)
        return;
    // The first child of the input, or one whose group has emptied.
    if (setpgid(0, 0) == 0)
        shared->group.compare_exchange_strong(g, getpid());
}

static void endinputchildren()
{
    if (pid_t g = shared->group.exchange(0))
        kill(-g, SIGKILL);
}

static void inchild()
{
    joininputgroup();
    signal(SIGALRM, SIG_DFL);
    signal(SIGVTALRM, SIG_DFL);
    alarm(2);
    // The input may trap or ignore SIGALRM in the child; a timer that
    // sends SIGKILL cannot be, so no child outlives its input for long.
    struct sigevent ev {};
    ev.sigev_notify = SIGEV_SIGNAL;
    ev.sigev_signo = SIGKILL;
    timer_t t;
    if (timer_create(CLOCK_MONOTONIC, &ev, &t) == 0) {
        struct itimerspec its {};
        its.it_value.tv_sec = 3;
        timer_settime(t, 0, &its, nullptr);
    }
}

static char savedopts[OPT_SIZE];
static sigset_t shellmask;
static std::atomic<time_t> inputstart, lastseen;
static const uint8_t *volatile curdata;
static volatile size_t cursize;
// Inputs may redirect or close the shell's descriptors and change its
// directory: the watchdog reports through its own copy of standard error
// into the directory the fuzzer started in.
static int reportfd = 2;
static char startdir[4096];

// Save the input being run as name-PID in the directory the fuzzer
// started in; an input may have reset the fuzzer's own abort handler.
static void saveinput(const char *kind)
{
    char name[4200];
    snprintf(name, sizeof name, "%s/%s-%ld", startdir, kind, long(getpid()));
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, curdata, cursize) < 0)
            dprintf(reportfd, "script fuzz: cannot write %s\n", name);
        close(fd);
    }
    dprintf(reportfd, "script fuzz: input saved as %s\n", name);
}

static void onmetafault() { saveinput("metafault"); }

static void *watchdog(void *)
{
    for (;;) {
        sleep(1);
        // Between inputs the fuzzer itself runs; stuck there, it is stuck
        // in something the shell's signal handling did to it.
        time_t seen = lastseen.load();
        if (seen && time(nullptr) - seen > 90) {
            dprintf(reportfd, "script fuzz: no input started for 90 s\n");
            abort();
        }
        time_t t = inputstart.load();
        if (t && time(nullptr) - t > 30) {
            dprintf(reportfd, "script fuzz: input hung for 30 s\n");
            saveinput("hang");
            abort();
        }
    }
    return nullptr;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    reportfd = fcntl(2, F_DUPFD_CLOEXEC, 100);
    if (!getcwd(startdir, sizeof startdir))
        strcpy(startdir, "/tmp");
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    void *mem = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) {
        perror("script fuzz: mmap");
        abort();
    }
    shared = new (mem) Shared{};
    fuzz_shell_init();
    metafaulthook = onmetafault;
    memcpy(savedopts, opts, sizeof savedopts);
    pthread_atfork(beforefork, nullptr, inchild);
    signal(SIGVTALRM, onalarm);
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &shellmask);
    pthread_t tid;
    pthread_create(&tid, nullptr, watchdog, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    static bool unblocked;
    if (!unblocked) {
        // The fuzzer has started its threads by now, with the mask above.
        pthread_sigmask(SIG_SETMASK, &shellmask, nullptr);
        unblocked = true;
    }
    endinputchildren();
    shared->forks.store(0);
    curdata = data;
    cursize = size;
    inputstart = time(nullptr);
    lastseen = inputstart.load();
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
    inputstart = 0;
    lastseen = time(nullptr);
    memcpy(opts, savedopts, sizeof savedopts);
    lastval = 0;
    return 0;
}
