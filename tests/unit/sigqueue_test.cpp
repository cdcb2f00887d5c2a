// Deferred signals are replayed in order when the outermost bracket closes.
#include <gtest/gtest.h>

#include <csignal>
#include <vector>

#include "core/core.h"

namespace {

std::vector<int> handled;
void record(int sig) { handled.push_back(sig); }

struct SigTest : testing::Test {
    void SetUp() override
    {
        handled.clear();
        handlesigptr = record;
        install_handler(SIGUSR1);
        install_handler(SIGUSR2);
    }
    void TearDown() override
    {
        signal(SIGUSR1, SIG_DFL);
        signal(SIGUSR2, SIG_DFL);
        handlesigptr = nullptr;
    }
};

TEST_F(SigTest, ImmediateWithoutBracket)
{
    raise(SIGUSR1);
    EXPECT_EQ(handled, std::vector<int>{SIGUSR1});
}

TEST_F(SigTest, ReplayedInOrderWhenOutermostCloses)
{
    {
        SignalGuard outer;
        raise(SIGUSR1);
        {
            SignalGuard inner;
            raise(SIGUSR2);
            raise(SIGUSR1);
        }
        EXPECT_TRUE(handled.empty()) << "inner bracket must not replay";
    }
    EXPECT_EQ(handled, (std::vector<int>{SIGUSR1, SIGUSR2, SIGUSR1}));
}

TEST_F(SigTest, FullQueueDropsButStaysConsistent)
{
    {
        SignalGuard g;
        for (int i = 0; i < MAX_QUEUE_SIZE + 10; i++)
            raise(i % 2 ? SIGUSR2 : SIGUSR1);
    }
    EXPECT_EQ(handled.size(), size_t(MAX_QUEUE_SIZE - 1));
    EXPECT_EQ(handled[0], SIGUSR1);
    EXPECT_EQ(sigq.front, sigq.rear);
    handled.clear();
    {
        SignalGuard g;
        raise(SIGUSR2);
    }
    EXPECT_EQ(handled, std::vector<int>{SIGUSR2});
}

TEST_F(SigTest, DeferredSignalBlockedSinceWaitsForTheUnblock)
{
    sigset_t usr1 = signal_mask(SIGUSR1);
    {
        SignalGuard g;
        raise(SIGUSR1);
        // Blocked by the main line before the bracket closes: the replay
        // must not run it under the old mask.
        signal_block(usr1);
    }
    EXPECT_TRUE(handled.empty());
    signal_unblock(usr1);
    EXPECT_EQ(handled, std::vector<int>{SIGUSR1});
}

// SIGCHLD frees and reports jobs, so it is handled at once only inside a
// wait for a child; anywhere else it waits for a point the main line
// holds nothing half-done: the end of a bracket or an explicit replay.
TEST_F(SigTest, ChildSignalOutsideAWaitIsDeferred)
{
    install_handler(SIGCHLD);
    raise(SIGCHLD);
    EXPECT_TRUE(handled.empty());
    run_queued_signals();
    EXPECT_EQ(handled, std::vector<int>{SIGCHLD});
    handled.clear();
    sigq.chldwaits = 1;
    raise(SIGCHLD);
    sigq.chldwaits = 0;
    EXPECT_EQ(handled, std::vector<int>{SIGCHLD});
    handled.clear();
    {
        SignalGuard g;
        raise(SIGCHLD);
    }
    EXPECT_EQ(handled, std::vector<int>{SIGCHLD});
    signal(SIGCHLD, SIG_DFL);
}

TEST_F(SigTest, DroppedSignalsAreNotReplayed)
{
    {
        SignalGuard g;
        raise(SIGUSR1);
        raise(SIGUSR2);
        raise(SIGUSR1);
        drop_queued(SIGUSR1);
        raise(SIGUSR1);
    }
    EXPECT_EQ(handled, (std::vector<int>{SIGUSR2, SIGUSR1}));
    EXPECT_EQ(sigq.front, sigq.rear);
}

TEST(SigMask, HelpersRoundTrip)
{
    sigset_t m = signal_mask(SIGUSR1);
    EXPECT_TRUE(sigismember(&m, SIGUSR1));
    sigset_t empty = signal_mask(0);
    EXPECT_FALSE(sigismember(&empty, SIGUSR1));
    sigset_t old = signal_block(m);
    sigset_t now = signal_setmask(old);
    EXPECT_TRUE(sigismember(&now, SIGUSR1));
}

}  // namespace
