// Signal deferral: while a bracket is open an arriving signal is only
// recorded with its mask, and replayed when the outermost bracket closes.
#pragma once

#include <csignal>

constexpr int MAX_QUEUE_SIZE = 128;

// Everything the signal handler touches while deferring, in one record.
struct SignalQueue {
    volatile int enabled;                  // open brackets (queueing_enabled)
    // Open waits for a child, whose suspends take SIGCHLD at once.
    // Anywhere else its handling (reaping, then freeing and reporting
    // jobs) is deferred like a bracket's, since the main line may be in
    // the middle of the allocator or of stdio's output.
    volatile int chldwaits;
    volatile int front, rear;              // entries live after front up to rear
    int sigs[MAX_QUEUE_SIZE];              // signal_queue
    sigset_t masks[MAX_QUEUE_SIZE];        // signal_mask_queue
};
extern SignalQueue sigq;

// What processing a signal means belongs to the trap layer; it installs
// itself here.  Null until then, which drops nothing: the handler only
// records and replays.
extern void (*handlesigptr)(int sig);

void run_queued_signals();

inline void queue_signals() { sigq.enabled = sigq.enabled + 1; }
inline void unqueue_signals() {
    sigq.enabled = sigq.enabled - 1;
    if (sigq.enabled == 0 && sigq.front != sigq.rear)
        run_queued_signals();
}

// Forget the deferred instances of sig (a wait that collects every child
// itself needs no deferred SIGCHLD).
void drop_queued(int sig);

// In a new child: the signals the parent deferred and its waits are the
// parent's (a SIGCHLD there is about the parent's children).
inline void forgetparentsignals()
{
    sigq.front = sigq.rear;
    sigq.chldwaits = 0;
}

struct [[nodiscard]] SignalGuard {
    SignalGuard() { queue_signals(); }
    ~SignalGuard() { unqueue_signals(); }
    SignalGuard(const SignalGuard &) = delete;
    SignalGuard &operator=(const SignalGuard &) = delete;
};

sigset_t signal_mask(int sig);
sigset_t signal_setmask(sigset_t mask);
sigset_t signal_block(sigset_t set);
sigset_t signal_unblock(sigset_t set);
int signal_suspend(int sig, int sig2);
void holdintr();
void noholdintr();
void install_handler(int sig);
// The signals the shell's handler is installed for.
const sigset_t *caughtsignals();
// Give sig a disposition other than the handler (SIG_DFL or SIG_IGN).
void remove_handler(int sig, void (*disp)(int));
void intr();

// The shell's single handler for every caught signal.
extern "C" void qhandler(int sig);
