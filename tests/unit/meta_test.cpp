// Metafication, tokens and the character class table.
#include <gtest/gtest.h>

#include <string>

#include "core/core.h"

namespace {

std::string bytes(const char *s, size_t n) { return std::string(s, n); }

TEST(Metafy, EscapesNulMetaAndTokenBytes)
{
    HeapGuard hg;
    char buf[] = {'a', 0, 'b', 0};
    char *m = metafy(buf, 3, META_HEAPDUP);
    EXPECT_EQ(std::string(m), bytes("a\x83\x20" "b", 4));
    char t[] = "\x85";
    char *m2 = metafy(t, -1, META_HEAPDUP);
    EXPECT_EQ(std::string(m2), "\x83\xa5");
    EXPECT_EQ(has_token(m2), 0) << "an escaped token byte is data";
    char all[] = {char(0x83), char(0x84), char(0x9b), char(0x9c), char(0x9d), 0};
    char *m3 = metafy(all, 5, META_USEHEAP);
    EXPECT_EQ(std::string(m3), "\x83\xa3\x83\xa4\x83\xbb\x83\xbc\x9d");
    int len;
    unmetafy(m3, &len);
    EXPECT_EQ(bytes(m3, size_t(len)), bytes(all, 5));
}

TEST(Metafy, ModesWithoutEscapesReturnTheBuffer)
{
    HeapGuard hg;
    char plain[] = "plain";
    EXPECT_EQ(metafy(plain, -1, META_USEHEAP), plain);
    EXPECT_EQ(metafy(plain, -1, META_STATIC), plain);
    EXPECT_NE(metafy(plain, -1, META_HEAPDUP), plain) << "duplicating modes always copy";
    char *d = metafy(plain, -1, META_DUP);
    EXPECT_NE(d, plain);
    qsfree(d);
    char room[16] = {'x', 0, 'y'};
    EXPECT_EQ(metafy(room, 3, META_NOALLOC), room);
    EXPECT_EQ(std::string(room), "x\x83 y");
    char *r = static_cast<char *>(qalloc(3));
    memcpy(r, "\x83z", 3);
    r = metafy(r, 2, META_REALLOC);
    EXPECT_EQ(std::string(r), "\x83\xa3z");
    qsfree(r);
}

TEST(Metafy, LengthsAndComparison)
{
    const char *s = "a\x83\x20" "bc";  // a NUL b c
    EXPECT_EQ(qtrlen(s), 4);
    EXPECT_EQ(metalen(s, 2), 3);
    EXPECT_EQ(qtrsub(s + 3, s), 2);
    EXPECT_LT(qtrcmp("a\x83\x20", "a\x01"), 0) << "NUL sorts before 0x01";
    EXPECT_GT(qtrcmp("ab", "a"), 0);
    EXPECT_EQ(qtrcmp("x\x83\xa3", "x\x83\xa3"), 0);
}

TEST(Unmeta, StaticBufferAndLimit)
{
    const char *plain = "/tmp/x";
    EXPECT_EQ(unmeta(plain), plain);
    EXPECT_EQ(std::string(unmeta("a\x83\xa3")), "a\x83");
    // 4095 decoded bytes fit; 4096 do not.
    std::string ok(4094, 'p');
    ok += "\x83\xa3";
    ASSERT_NE(unmeta(ok.c_str()), nullptr);
    EXPECT_EQ(strlen(unmeta(ok.c_str())), 4095u);
    std::string tooLong = "x" + ok;
    EXPECT_EQ(unmeta(tooLong.c_str()), nullptr);
    std::string path(4096, 'q');  // no escapes: returned as it is
    EXPECT_EQ(unmeta(path.c_str()), path.c_str());
}

// A marker with nothing after it (a string cut in the middle of a pair)
// stands for itself; nothing reads past the terminator.
TEST(Unmeta, DanglingMarkerStopsAtTheEnd)
{
    char buf[4] = {'a', '\x83', '\0', 'z'};
    const char *p = buf + 1;
    EXPECT_EQ(metachar(p), 0x83);
    EXPECT_EQ(p, buf + 2);
    EXPECT_EQ(std::string(unmeta(buf)), "a\x83");
    int len;
    unmetafy(buf, &len);
    EXPECT_EQ(len, 2);
    EXPECT_EQ(buf[3], 'z');
}

std::string tok(const char *in)
{
    std::string s(in);
    tokenize(s.data());
    return s;
}

TEST(Tokenize, BackslashesAndRanges)
{
    EXPECT_EQ(tok("\\*"), "\x9a*") << "escaped star stays literal";
    EXPECT_EQ(tok("*?"), "\x87\x94");
    EXPECT_EQ(tok("<1-5>"), "\x92" "1-5\x93");
    EXPECT_EQ(tok("<->"), "\x92-\x93");
    EXPECT_EQ(tok("<a>"), "<a\x93");
    EXPECT_EQ(tok("\\<1-2>"), "\x9a<1-2\x93");
    EXPECT_EQ(tok("\\\\*"), "\x9a\\\x87") << "a doubled backslash does not escape";
    EXPECT_EQ(tok("a(b|c)~d^e#"), "a\x88" "b\x8c" "c\x89\x95" "d\x86" "e\x84");
    EXPECT_EQ(tok("x=[y]"), "x\x8b\x8fy\x90");
}

TEST(Tokenize, ShglobLeavesGroupsAlone)
{
    std::string s = "(a|b)<1-2>*";
    opts[SHGLOB] = 1;
    shtokenize(s.data());
    opts[SHGLOB] = 0;
    EXPECT_EQ(s, "(a|b)<1-2\x93\x87");
}

TEST(Tokens, UntokenizeAndRemnulargs)
{
    std::string s = "\x87" "a\x9b\x98" "b";
    untokenize(s.data());
    EXPECT_EQ(std::string(s.c_str()), "*a'b") << "TK_EMPTY vanishes, markers become quotes";
    std::string q = "\x99\x99";
    remnulargs(q.data());
    EXPECT_EQ(std::string(q.c_str()), "\x9b");
    std::string r = "a\x98" "b\x9a";
    remnulargs(r.data());
    EXPECT_EQ(std::string(r.c_str()), "ab");
    std::string e;
    e.resize(1);
    remnulargs(e.data());
    EXPECT_EQ(std::string(e.c_str()), "") << "no marker: stays empty";
    EXPECT_EQ(qtokens[TK_QBACKTICK - TK_HASH], '`');
    EXPECT_TRUE(inull(TK_EMPTY));
    EXPECT_FALSE(inull(TK_COMMA));
}

TEST(Nice, PrintableForms)
{
    EXPECT_STREQ(nicechar(0x8a), "\\M-\\n");
    EXPECT_STREQ(nicechar(1), "^A");
    EXPECT_STREQ(nicechar(0x7f), "^?");
    EXPECT_STREQ(nicechar('\t'), "\\t");
    EXPECT_STREQ(nicechar(0xe1), "\\M-a");
    opts[PRINTEIGHTBIT] = 1;
    EXPECT_STREQ(nicechar(0xe1), "\xe1");
    opts[PRINTEIGHTBIT] = 0;
    HeapGuard hg;
    EXPECT_STREQ(nicedupstring("a\x87\x98\x83\x20"), "a*^@");
    EXPECT_EQ(niceqtrlen("\x01x"), 3);
}

TEST(Typtab, ClassesAndIfs)
{
    inittyptab();
    EXPECT_TRUE(idigit('7'));
    EXPECT_TRUE(iident('_'));
    EXPECT_FALSE(ialnum('_'));
    EXPECT_TRUE(iuser('-'));
    EXPECT_FALSE(iident('-'));
    EXPECT_TRUE(ialpha(0xe9));
    EXPECT_TRUE(icntrl(0x85));
    EXPECT_TRUE(itok(0x85) && imeta(0x85) && imeta(0x9c) && imeta(0));
    EXPECT_TRUE(isep(' ') && iwsep(' ') && iwsep('\n') && isep(0));
    EXPECT_TRUE(iword('/') && !iword(','));
    EXPECT_TRUE(ispecial('$') && ispecial('\n') && !ispecial('!'));
    // Two spaces then a colon: space separates but is not white space.
    char custom[] = "  :";
    ifs = custom;
    inittyptab();
    EXPECT_TRUE(isep(' '));
    EXPECT_FALSE(iwsep(' '));
    EXPECT_TRUE(isep(':') && !iwsep(':'));
    EXPECT_FALSE(isep('\t'));
    ifs = nullptr;
    inittyptab();
}

}  // namespace
