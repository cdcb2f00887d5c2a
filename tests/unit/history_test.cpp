// The history list's internals: the ring and its numbering, duplicates
// under the blank-squeezing comparison, recycling, and the file line
// format's prefix.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/core.h"
#include "history/history.h"
#include "params/params.h"

namespace {

class History : public testing::Test {
protected:
    void SetUp() override
    {
        if (!histtab)
            init_history();
        clear();
        histsiz = 100;
        savehistsiz = 100;
        hist_ignore_all_dups = 0;
        opts[HISTEXPIREDUPSFIRST] = 0;
    }
    void TearDown() override { clear(); }
    static void clear()
    {
        while (hist_ring)
            freehistnode(hist_ring);
        curhist = 0;
    }
    static HistEntry *add(const char *text, int flags = 0)
    {
        return addhistentry(text, nullptr, 0, 1, 1, flags);
    }
    static std::vector<std::string> all()
    {
        std::vector<std::string> v;
        if (hist_ring)
            for (HistEntry *he = hist_ring->newer;; he = he->newer) {
                v.emplace_back(he->nam);
                if (he == hist_ring)
                    break;
            }
        return v;
    }
};

TEST_F(History, WalkingStopsAtBothEndsAndNumbersAreFound)
{
    for (int i = 1; i <= 5; i++)
        add(("cmd " + std::to_string(i)).c_str());
    HistEntry *oldest = hist_ring->newer;
    EXPECT_EQ(oldest->number, 1);
    EXPECT_EQ(olderhistent(oldest), nullptr);
    EXPECT_EQ(newerhistent(hist_ring), nullptr);
    EXPECT_STREQ(gethistent(3, 0)->nam, "cmd 3");
    EXPECT_EQ(gethistent(9, 0), nullptr);
    EXPECT_EQ(gethistent(9, -1), hist_ring);
    EXPECT_EQ(gethistent(0, 1), oldest);
    EXPECT_EQ(movehistent(hist_ring, -2, 0)->number, 3);
    EXPECT_EQ(movehistent(hist_ring, -9, 0), nullptr);
    EXPECT_EQ(addhistnum(5, -1, 0), 4);
}

TEST_F(History, MissingNumbersAreSteppedOver)
{
    for (int i = 1; i <= 5; i++)
        add(("cmd " + std::to_string(i)).c_str());
    freehistnode(gethistent(3, 0));
    EXPECT_EQ(gethistent(3, 0), nullptr);
    EXPECT_EQ(gethistent(3, 1)->number, 4);
    EXPECT_EQ(gethistent(3, -1)->number, 2);
    EXPECT_EQ(addhistnum(4, -1, 0), 2);
}

TEST_F(History, SkippedFlagsAreNotCounted)
{
    add("a");
    add("b", HE_FOREIGN);
    add("c", HE_FOREIGN);
    add("d");
    EXPECT_EQ(movehistent(hist_ring, -1, HE_FOREIGN)->number, 1);
    EXPECT_EQ(addhistnum(4, -1, HE_FOREIGN), 1);
}

TEST_F(History, EqualTextsIgnoreBlankRunsAndEnds)
{
    HistEntry *a = add("echo  a\tb ");
    HistEntry *b = add(" echo a b");
    EXPECT_TRUE(a->flags & HE_DUP);
    EXPECT_FALSE(b->flags & HE_DUP);
    HistEntry *c = add("echo ab");
    EXPECT_FALSE(c->flags & HE_DUP);
    EXPECT_FALSE(b->flags & HE_DUP);
}

TEST_F(History, AUniqueNewEntryLosesToTheOldOne)
{
    HistEntry *a = add("same");
    HistEntry *b = add("same", HE_UNIQUE);
    EXPECT_FALSE(a->flags & HE_DUP);
    EXPECT_TRUE(b->flags & HE_DUP);
    EXPECT_FALSE(b->flags & HE_UNIQUE);
}

TEST_F(History, IgnoreAllDupsRemovesTheOlderCopy)
{
    hist_ignore_all_dups = 1;
    add("x");
    add("y");
    add("x");
    EXPECT_EQ(all(), (std::vector<std::string>{"y", "x"}));
}

TEST_F(History, AFullRingRecyclesTheOldestOrAnOlderDuplicate)
{
    histsiz = 3;
    add("a");
    add("b");
    add("c");
    add("d");
    EXPECT_EQ(all(), (std::vector<std::string>{"b", "c", "d"}));
    opts[HISTEXPIREDUPSFIRST] = 1;
    add("c");
    add("e");
    EXPECT_EQ(all(), (std::vector<std::string>{"d", "c", "e"}));
    EXPECT_EQ(hist_ring->number, 6);
}

TEST_F(History, ManyEntriesStayFindableThroughGrowthAndRemoval)
{
    histsiz = 5000;
    for (int i = 0; i < 20000; i++)
        add(("line " + std::to_string(i % 7000)).c_str());
    int dups = 0;
    for (HistEntry *he = hist_ring; he; he = olderhistent(he))
        dups += (he->flags & HE_DUP) != 0;
    // The last 5000 lines are lines 1000..5999 of the cycle: none repeats
    // another within the ring.
    EXPECT_EQ(histlinect, 5000);
    EXPECT_EQ(dups, 0);
    HistEntry *again = add("line 19999");
    EXPECT_FALSE(again->flags & HE_DUP);
    HistEntry *old = add("line 3999");
    EXPECT_FALSE(old->flags & HE_DUP);
    int marked = 0;
    for (HistEntry *he = hist_ring; he; he = olderhistent(he))
        marked += (he->flags & HE_DUP) != 0;
    EXPECT_EQ(marked, 1);
}

TEST_F(History, WordsOfReadLinesAreSplitWhenAskedFor)
{
    HistEntry *he = add("  ls   -l\tfoo ");
    EXPECT_EQ(histnwords(he), 3);
    EXPECT_STREQ(getargs(he, 1, 2), "-l\tfoo");
    EXPECT_EQ(getargs(he, 2, 3), nullptr);
    EXPECT_STREQ(he->nam, "  ls   -l\tfoo ");
}

TEST(HistoryLine, ExtendedPrefixIsParsedOnlyWhenWhole)
{
    time_t s, e;
    EXPECT_STREQ(parsehistline(": 1000:5;echo hi", &s, &e), "echo hi");
    EXPECT_EQ(s, 1000);
    EXPECT_EQ(e, 5);
    EXPECT_STREQ(parsehistline(": 1000:5echo", &s, &e), ": 1000:5echo");
    EXPECT_EQ(s, 0);
    EXPECT_STREQ(parsehistline(": x:5;y", &s, &e), ": x:5;y");
    EXPECT_STREQ(parsehistline("\\: colon", &s, &e), ": colon");
    EXPECT_STREQ(parsehistline(": 1:0;", &s, &e), "");
    EXPECT_STREQ(parsehistline(": 99999999999999999999999:1;big", &s, &e), "big");
    EXPECT_GT(s, 0);
}

}  // namespace
