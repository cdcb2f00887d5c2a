// Signal deferral and the mask helpers.
#include "core/core.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <unistd.h>

SignalQueue sigq;
void (*handlesigptr)(int sig);

sigset_t signal_mask(int sig)
{
    sigset_t set;
    sigemptyset(&set);
    if (sig)
        sigaddset(&set, sig);
    return set;
}

// The mask as the helpers last left it, so that a change that changes
// nothing (blocking SIGCHLD where it is blocked already, as the brackets
// around every wait and fork do) costs no system call.  The handler keeps
// it across its own changes, which the kernel undoes when it returns;
// sigsuspend restores the mask itself; a vfork child's mask is its own.
// Signals 1 to 64, all this system has, are the first word of a set.
static_assert(NSIG <= 65, "a signal set's first word holds every signal");
static uint64_t curmask;
static bool curknown;

static uint64_t maskbits(const sigset_t &set)
{
    uint64_t b;
    memcpy(&b, &set, sizeof b);
    return b;
}

static uint64_t applymask(int how, uint64_t cur, uint64_t set)
{
    return how == SIG_SETMASK ? set : how == SIG_BLOCK ? cur | set : cur & ~set;
}

static sigset_t changemask(int how, const sigset_t &set)
{
    uint64_t bits = maskbits(set);
    if (curknown && applymask(how, curmask, bits) == curmask) {
        sigset_t old;
        sigemptyset(&old);
        memcpy(&old, &curmask, sizeof curmask);
        return old;
    }
    sigset_t old;
    sigprocmask(how, &set, &old);
    curmask = applymask(how, maskbits(old), bits);
    curknown = true;
    return old;
}

sigset_t signal_setmask(sigset_t mask) { return changemask(SIG_SETMASK, mask); }

sigset_t signal_block(sigset_t set) { return changemask(SIG_BLOCK, set); }

sigset_t signal_unblock(sigset_t set) { return changemask(SIG_UNBLOCK, set); }

// The signals the handler is installed for.
static sigset_t caught;

int signal_suspend(int sig, int sig2)
{
    // A caught signal waits for the end of the wait; one at its default
    // action acts at once, as it would on any other process.
    sigset_t set = caught;
    sigdelset(&set, sig);
    sigdelset(&set, SIGHUP);
    if (sig2)
        sigdelset(&set, sig2);
    return sigsuspend(&set);
}

void holdintr()
{
    if (isset(INTERACTIVE))
        signal_block(signal_mask(SIGINT));
}

void noholdintr()
{
    if (isset(INTERACTIVE))
        signal_unblock(signal_mask(SIGINT));
}

void install_handler(int sig)
{
    struct sigaction act;
    act.sa_handler = qhandler;
    sigemptyset(&act.sa_mask);
    act.sa_flags = 0;
    sigaction(sig, &act, nullptr);
    sigaddset(&caught, sig);
}

const sigset_t *caughtsignals() { return &caught; }

void remove_handler(int sig, void (*disp)(int))
{
    signal(sig, disp);
    sigdelset(&caught, sig);
}

void intr()
{
    if (isset(INTERACTIVE))
        install_handler(SIGINT);
}

static void processsig(int sig)
{
    if (handlesigptr)
        handlesigptr(sig);
}

extern "C" void qhandler(int sig)
{
    int saved_errno = errno;
    // What the handler does to the mask the kernel undoes as it returns.
    uint64_t savedcur = curmask;
    bool savedknown = curknown;
    sigset_t all, oldmask;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &oldmask);
    if (sigq.enabled || (sig == SIGCHLD && !sigq.chldwaits)) {
        int rear = (sigq.rear + 1) % MAX_QUEUE_SIZE;
        if (rear != sigq.front) {
            sigq.sigs[rear] = sig;
            sigq.masks[rear] = oldmask;
            sigq.rear = rear;
        }
        // The kernel restores oldmask when we return.
        errno = saved_errno;
        return;
    }
    sigprocmask(SIG_SETMASK, &oldmask, nullptr);
    processsig(sig);
    curmask = savedcur;
    curknown = savedknown;
    errno = saved_errno;
}

void run_queued_signals()
{
    while (sigq.front != sigq.rear) {
        int front = (sigq.front + 1) % MAX_QUEUE_SIZE;
        sigq.front = front;
        int sig = sigq.sigs[front];
        if (!sig)
            continue;  // taken back by drop_queued
        sigset_t old = signal_setmask(sigq.masks[front]);
        if (sigismember(&old, sig)) {
            // The main line has blocked this signal since it was deferred
            // (SIGCHLD while a job is being built: reaping now could take
            // a child not yet in the job table, whose end would then be
            // lost).  It goes back to the kernel, to arrive once unblocked.
            signal_setmask(old);
            kill(getpid(), sig);
            continue;
        }
        processsig(sig);
        signal_setmask(old);
    }
}

void drop_queued(int sig)
{
    // Entries are blanked, not removed: the handler may be appending.
    for (int i = sigq.front; i != sigq.rear;) {
        i = (i + 1) % MAX_QUEUE_SIZE;
        if (sigq.sigs[i] == sig)
            sigq.sigs[i] = 0;
    }
}
