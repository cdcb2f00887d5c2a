// The signal table follows the platform's numbering.
#include <gtest/gtest.h>

#include "jobs/jobs.h"

namespace {

TEST(Signames, PlatformNumbersAndPseudoSignals)
{
    EXPECT_STREQ(signame(0), "EXIT");
    EXPECT_STREQ(signame(10), "USR1");
    EXPECT_STREQ(signame(SIGCHLD), "CHLD");
    EXPECT_STREQ(signame(SIGRTMIN), "RTMIN");
    EXPECT_STREQ(signame(SIGRTMAX), "RTMAX");
    EXPECT_STREQ(signame(SIGQERR), "QERR");
    EXPECT_STREQ(signame(SIGDEBUG), "DEBUG");
    EXPECT_STREQ(signame(SIGRTMIN + 1), "35");
    EXPECT_EQ(getsignum("USR1"), 10);
    EXPECT_EQ(getsignum("CLD"), SIGCHLD);
    EXPECT_EQ(getsignum("15"), 15);
    EXPECT_EQ(getsignum("DEBUG"), SIGDEBUG);
    EXPECT_EQ(getsignum("SIGINT"), -1) << "names are given without SIG";
    EXPECT_EQ(getsignum("999"), -1);
    EXPECT_EQ(getsignum("NOPE"), -1);
    EXPECT_STREQ(signalmsg(SIGSEGV), "segmentation fault");
    EXPECT_STREQ(signalmsg(0), "done");
    EXPECT_STREQ(signalmsg(SIGNAL_COUNT + 1), "unknown signal");
}

}  // namespace
