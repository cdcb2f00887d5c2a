// The generic hash table: replacement, growth, scans, disabling.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/core.h"

namespace {

int freed;
void countfree(HashNode *hn)
{
    freed++;
    qsfree(hn->nam);
    qfree(hn);
}

HashTable *maketab(int size)
{
    HashTable *ht = newhashtable(size, "test", nullptr);
    ht->hash = hasher;
    ht->emptytable = emptyhashtable;
    ht->cmpnodes = strcmp;
    ht->addnode = addhashnode;
    ht->getnode = gethashnode;
    ht->getnode2 = gethashnode2;
    ht->removenode = removehashnode;
    ht->disablenode = disablehashnode;
    ht->enablenode = enablehashnode;
    ht->freenode = countfree;
    return ht;
}

std::string numbered(const char *prefix, int i)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%s%d", prefix, i);
    return buf;
}

HashNode *node() { return qcnew<HashNode>(); }

void add(HashTable *ht, const std::string &name) { ht->addnode(ht, qtrdup(name.c_str()), node()); }

TEST(Hasher, TimesThirtyThreePlusByte)
{
    EXPECT_EQ(hasher(""), 0u);
    EXPECT_EQ(hasher("a"), 97u);
    EXPECT_EQ(hasher("ab"), 97u * 33 + 98);
}

TEST(HashTable, ReplaceKeepsPositionAndCount)
{
    HashTable *ht = maketab(100);
    ht->hash = [](const char *) { return 0u; };  // one chain
    add(ht, "x");
    add(ht, "y");
    add(ht, "z");
    // Chain is z y x.  Replacing y keeps it in the middle.
    freed = 0;
    HashNode *ny = node();
    ht->addnode(ht, qtrdup("y"), ny);
    EXPECT_EQ(freed, 1);
    EXPECT_EQ(ht->ct, 3);
    EXPECT_EQ(ht->nodes[0]->next, ny);
    deletehashtable(ht);
}

TEST(HashTable, GrowsFourfoldAtTwicePerBucket)
{
    HashTable *ht = maketab(201);
    for (int i = 0; i < 401; i++)
        add(ht, numbered("cmd", i));
    EXPECT_EQ(ht->hsize, 201);
    add(ht, "cmd401");
    EXPECT_EQ(ht->hsize, 804);
    EXPECT_EQ(ht->ct, 402);
    for (int i = 0; i < 402; i++)
        EXPECT_NE(ht->getnode(ht, (numbered("cmd", i)).c_str()), nullptr);
    deletehashtable(ht);
}

HashTable *scantab;
std::vector<std::string> seen;
std::string victim;

void removeself(HashNode *hn, int)
{
    seen.push_back(hn->nam);
    if (HashNode *r = scantab->removenode(scantab, hn->nam))
        scantab->freenode(r);
}

void removeother(HashNode *hn, int)
{
    seen.push_back(hn->nam);
    if (seen.size() == 1) {
        // Remove some other entry that has not been visited yet.
        for (int i = 0; i < scantab->hsize; i++)
            for (HashNode *p = scantab->nodes[i]; p; p = p->next)
                if (p != hn && victim.empty())
                    victim = p->nam;
        scantab->freenode(scantab->removenode(scantab, victim.c_str()));
    }
}

void addmany(HashNode *hn, int)
{
    seen.push_back(hn->nam);
    for (int i = 0; i < 50; i++)
        add(scantab, std::string(hn->nam) + "+" + std::to_string(i));
}

TEST(HashTable, ScansSurviveRemovalOfCurrentAndNext)
{
    for (int sorted = 0; sorted < 2; sorted++) {
        scantab = maketab(3);
        for (int i = 0; i < 5; i++)
            add(scantab, numbered("n", i));
        seen.clear();
        scanhashtable(scantab, sorted, 0, 0, removeself, 0);
        EXPECT_EQ(seen.size(), 5u);
        EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 5u);
        EXPECT_EQ(scantab->ct, 0);
        if (sorted) {
            EXPECT_EQ(seen, (std::vector<std::string>{"n0", "n1", "n2", "n3", "n4"}));
        }

        for (int i = 0; i < 5; i++)
            add(scantab, numbered("m", i));
        seen.clear();
        victim.clear();
        scanhashtable(scantab, sorted, 0, 0, removeother, 0);
        EXPECT_EQ(seen.size(), 4u) << "the removed entry is never visited";
        EXPECT_EQ(std::count(seen.begin(), seen.end(), victim), 0);
        deletehashtable(scantab);
    }
}

TEST(HashTable, NoGrowthDuringScan)
{
    scantab = maketab(2);
    add(scantab, "a");
    seen.clear();
    scanhashtable(scantab, 0, 0, 0, addmany, 0);
    EXPECT_EQ(scantab->hsize, 2) << "growth waits until the scan is over";
    EXPECT_EQ(scantab->ct, 51);
    add(scantab, "trigger");
    EXPECT_GT(scantab->hsize, 2);
    EXPECT_NE(scantab->getnode(scantab, "a+49"), nullptr);
    deletehashtable(scantab);
}

TEST(HashTable, DisabledEntriesAndFlagFilters)
{
    HashTable *ht = maketab(7);
    add(ht, "on");
    add(ht, "off");
    ht->disablenode(ht->getnode(ht, "off"));
    EXPECT_EQ(gethashnode(ht, "off"), nullptr);
    EXPECT_NE(gethashnode2(ht, "off"), nullptr);
    seen.clear();
    scanhashtable(ht, 1, 0, NODE_DISABLED, [](HashNode *hn, int) { seen.push_back(hn->nam); }, 0);
    EXPECT_EQ(seen, std::vector<std::string>{"on"});
    seen.clear();
    scanhashtable(ht, 1, NODE_DISABLED, 0, [](HashNode *hn, int) { seen.push_back(hn->nam); }, 0);
    EXPECT_EQ(seen, std::vector<std::string>{"off"});
    freed = 0;
    emptyhashtable(ht);
    EXPECT_EQ(freed, 2);
    EXPECT_EQ(ht->hsize, 7);
    deletehashtable(ht);
}

TEST(NameTables, ReservedWordsAliasesAndRelativePaths)
{
    createreswdtable();
    auto *rw = static_cast<ReservedWord *>(reswdtab->getnode(reswdtab, "!"));
    ASSERT_NE(rw, nullptr);
    EXPECT_EQ(rw->token, 38);
    EXPECT_EQ(static_cast<ReservedWord *>(reswdtab->getnode(reswdtab, "while"))->token, 61);
    EXPECT_EQ(reswdtab->ct, 24);
    createaliastable();
    auto *a = static_cast<AliasEntry *>(aliastab->getnode(aliastab, "run-help"));
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->text, "man");
    aliastab->disablenode(a);
    EXPECT_EQ(aliastab->getnode(aliastab, "run-help"), nullptr);
    EXPECT_NE(aliastab->getnode2(aliastab, "run-help"), nullptr);

    EXPECT_TRUE(isrelative("."));
    EXPECT_TRUE(isrelative("bin"));
    EXPECT_TRUE(isrelative("/usr/./bin"));
    EXPECT_TRUE(isrelative("/usr/.."));
    EXPECT_TRUE(isrelative("/a/../b"));
    EXPECT_FALSE(isrelative("/usr/.hidden"));
    EXPECT_FALSE(isrelative("/usr/..x/bin"));
    EXPECT_FALSE(isrelative("/usr/bin"));
}

TEST(NameTables, CommandHashingSkipsRelativeDirs)
{
    createcmdnamtable();
    static char dot[] = ".", bin[] = "/bin", usrbin[] = "/usr/bin";
    static char *p[] = {dot, bin, usrbin, nullptr};
    char **savedpath = path;
    path = p;
    pathchecked = path;
    hashdir(&p[0]);
    EXPECT_EQ(cmdnamtab->ct, 0) << "a relative path element is never hashed whole";
    char sh[] = "sh";
    CmdEntry *cn = hashcmd(sh, path);
    ASSERT_NE(cn, nullptr);
    EXPECT_EQ(cn->name, &p[1]);
    EXPECT_TRUE(isreallycom(cn));
    cmdnamtab->emptytable(cmdnamtab);
    EXPECT_EQ(pathchecked, path);
    cmdnamtab->filltable(cmdnamtab);
    EXPECT_GT(cmdnamtab->ct, 10);
    EXPECT_EQ(*pathchecked, nullptr);
    path = savedpath;
}

}  // namespace
