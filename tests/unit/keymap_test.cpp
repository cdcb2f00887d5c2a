// Keymaps: binding and unbinding sequences keeps the single-byte table,
// the table of longer sequences and its prefix counts consistent with
// what was bound; the printable key notation reads back as the same keys.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "ked/ked.h"

namespace {

class Keymaps : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static bool done;
        if (done)
            return;
        done = true;
        createparamtable();
        init_thingies();
        init_keymaps();
    }
    void SetUp() override
    {
        km = openkeymap(".safe");
        // A fresh copy of nothing: every byte undefined.
        ASSERT_EQ(bindkeyargs({"-N", "test"}), 0);
        km = openkeymap("test");
        ASSERT_TRUE(km);
    }
    void TearDown() override { unlinkkeymap("test", 1); }

    static int bindkeyargs(std::initializer_list<const char *> words)
    {
        BuiltinOptions ops{};
        std::vector<char *> argv;
        for (const char *w : words) {
            if (w[0] == '-' && w[1] && !w[2] && argv.empty()) {
                ops.ind[static_cast<unsigned char>(w[1])] = 1;
                continue;
            }
            argv.push_back(dupstring(w));
        }
        argv.push_back(nullptr);
        return bin_bindkey(dupstring("bindkey"), argv.data(), &ops, 0);
    }

    Thingy *undef() { return builtinthingy(T_UNDEFINEDKEY); }

    // Every invariant of the two tables.
    void consistent()
    {
        for (int c = 0; c < 256; c++) {
            std::string one(1, char(c));
            if (imeta(static_cast<unsigned char>(c)))
                one = std::string(1, char(METACHAR)) + char(c ^ 32);
            bool inmulti = false;
            for (int i = 0; i < km->multi->hsize; i++)
                for (HashNode *hn = km->multi->nodes[i]; hn; hn = hn->next)
                    if (!strncmp(hn->nam, one.c_str(), one.size()))
                        inmulti = true;
            if (km->first[c])
                EXPECT_FALSE(inmulti) << "byte " << c << " is in both tables";
            else
                EXPECT_TRUE(inmulti) << "byte " << c << " is in neither table";
        }
        for (int i = 0; i < km->multi->hsize; i++)
            for (HashNode *hn = km->multi->nodes[i]; hn; hn = hn->next) {
                KeyEntry *k = static_cast<KeyEntry *>(hn);
                size_t len = strlen(k->nam);
                int longer = 0;
                for (int j = 0; j < km->multi->hsize; j++)
                    for (HashNode *o = km->multi->nodes[j]; o; o = o->next) {
                        size_t ol = strlen(o->nam);
                        // One character longer: a byte, or an escape pair.
                        bool onemore = ol == len + 1 ||
                                       (ol == len + 2 && static_cast<unsigned char>(o->nam[len]) == METACHAR);
                        if (onemore && !strncmp(o->nam, k->nam, len))
                            longer++;
                    }
                EXPECT_EQ(k->prefixct, longer) << "prefix count of " << keyprintable(k->nam);
                // An entry that is neither bound nor a prefix has no reason to be.
                EXPECT_TRUE(k->prefixct || k->str || (k->bind && k->bind != undef()))
                    << "stale entry " << keyprintable(k->nam);
            }
    }

    Keymap *km = nullptr;
};

TEST_F(Keymaps, LongerBindingMovesTheShorterAsideAndBack)
{
    bindkey(km, "a", refthingy(builtinthingy(T_BEEP)), nullptr);
    EXPECT_EQ(km->first[int('a')], builtinthingy(T_BEEP));
    bindkey(km, "abc", refthingy(builtinthingy(T_YANK)), nullptr);
    EXPECT_EQ(km->first[int('a')], nullptr);
    char *str;
    EXPECT_EQ(keybind(km, "a", &str), builtinthingy(T_BEEP));
    EXPECT_EQ(keybind(km, "ab", &str), undef());
    EXPECT_EQ(keybind(km, "abc", &str), builtinthingy(T_YANK));
    consistent();
    bindkey(km, "abc", refthingy(undef()), nullptr);
    EXPECT_EQ(km->first[int('a')], builtinthingy(T_BEEP));
    EXPECT_EQ(km->multi->ct, 0);
    consistent();
}

TEST_F(Keymaps, StringBindingsAndMetafiedKeys)
{
    const char seq[] = {char(METACHAR), char(0x83 ^ 32), 'x', 0};
    bindkey(km, seq, refthingy(undef()), "sent");
    char *str;
    EXPECT_EQ(keybind(km, seq, &str), nullptr);
    EXPECT_STREQ(str, "sent");
    consistent();
    bindkey(km, seq, refthingy(undef()), nullptr);
    EXPECT_EQ(keybind(km, seq, &str), undef());
    consistent();
}

TEST_F(Keymaps, RandomBindingsAgreeWithAModel)
{
    std::mt19937 rnd(7);
    const char alphabet[] = {'a', 'b', char(METACHAR)};
    auto randseq = [&]() {
        std::string s;
        int n = 1 + int(rnd() % 3);
        for (int i = 0; i < n; i++) {
            char c = alphabet[rnd() % 3];
            if (c == char(METACHAR))
                s += std::string(1, char(METACHAR)) + char(0x9b ^ 32);
            else
                s += c;
        }
        return s;
    };
    Thingy *targets[] = {builtinthingy(T_BEEP), builtinthingy(T_YANK), builtinthingy(T_UNDO)};
    std::map<std::string, std::pair<Thingy *, std::string>> model;
    for (int step = 0; step < 3000; step++) {
        std::string s = randseq();
        int op = int(rnd() % 3);
        if (op == 0) {
            bindkey(km, s.c_str(), refthingy(undef()), nullptr);
            model.erase(s);
        } else if (op == 1) {
            Thingy *t = targets[rnd() % 3];
            bindkey(km, s.c_str(), refthingy(t), nullptr);
            model[s] = {t, ""};
        } else {
            bindkey(km, s.c_str(), refthingy(undef()), "str");
            model[s] = {nullptr, "str"};
        }
        for (auto &m : model) {
            char *str;
            Thingy *t = keybind(km, m.first.c_str(), &str);
            ASSERT_EQ(t, m.second.first) << "step " << step << " " << keyprintable(m.first.c_str());
            if (!t) {
                ASSERT_STREQ(str, "str");
            }
        }
        if (step % 100 == 0)
            consistent();
    }
    consistent();
}

TEST_F(Keymaps, PrintableNotationReadsBackAsTheSameKey)
{
    for (int c = 0; c < 256; c++) {
        char raw = char(c);
        char *m = metafy(&raw, 1, META_HEAPDUP);
        char *shown = keyprintable(m);
        int len;
        char *back = getkeystring(dupstring(shown), &len, GETKEY_BINDKEY, nullptr);
        ASSERT_EQ(len, 1) << "byte " << c << " shown as " << shown;
        EXPECT_EQ(static_cast<unsigned char>(back[0]), c) << "shown as " << shown;
    }
}

TEST_F(Keymaps, ImmutableAndProtectedKeymapsRefuse)
{
    Keymap *safe = openkeymap(".safe");
    ASSERT_TRUE(safe);
    EXPECT_EQ(bindkey(safe, "a", refthingy(builtinthingy(T_BEEP)), nullptr), 1);
    EXPECT_EQ(bindkey(km, "", refthingy(builtinthingy(T_BEEP)), nullptr), 2);
    EXPECT_EQ(unlinkkeymap(".safe", 0), 1);
    EXPECT_EQ(unlinkkeymap("nosuch", 0), 2);
}

}  // namespace
