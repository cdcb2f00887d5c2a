// Compiled wordcode files: the byte layout qcompile writes, the wordcode
// check against everything the parser produces, and the saved inputs that
// once broke the loader.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "../fuzz/qwc_input.h"
#include "lang_util.h"

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

uint32_t word(const std::string &d, size_t at)
{
    uint32_t w;
    memcpy(&w, d.data() + at, 4);
    return w;
}

uint32_t swapped(uint32_t w) { return __builtin_bswap32(w); }

bool checks(Eprog *p)
{
    size_t slots = size_t(p->pattern_count) * sizeof(Patprog *);
    size_t code = size_t(p->string_table - reinterpret_cast<char *>(p->prog));
    return checkwordcode(p->prog, code / 4, p->string_table, size_t(p->len) - slots - code, size_t(p->pattern_count));
}

std::string tmpdir()
{
    char d[] = "/tmp/qwctestXXXXXX";
    EXPECT_TRUE(mkdtemp(d));
    return d;
}

}  // namespace

// Every program of the front end's corpus passes the check the loader
// applies, so no valid compiled file is refused.
TEST(Compiled, CorpusPassesCheck)
{
    langsetup();
    std::ifstream in(std::string(CORPUS_DIR) + "/lang_corpus.txt");
    ASSERT_TRUE(in.good());
    std::string line, input;
    int checked = 0;
    auto flush = [&] {
        if (input.empty())
            return;
        HeapGuard hg;
        NoErrsGuard ne(1);
        if (Eprog *p = parsestring(input)) {
            EXPECT_TRUE(checks(p)) << input;
            checked++;
        }
        errflag = 0;
        input.clear();
    };
    bool ininput = false;
    while (std::getline(in, line)) {
        if (line.rfind("=== ", 0) == 0) {
            flush();
            ininput = true;
        } else if (line.rfind("--- ", 0) == 0) {
            flush();
            ininput = false;
        } else if (ininput) {
            input += line + "\n";
        }
    }
    flush();
    EXPECT_GT(checked, 100);
}

// Corrupting a valid program in ways the executor would trust is caught.
TEST(Compiled, CheckRefusesDamage)
{
    langsetup();
    HeapGuard hg;
    Eprog *p = parsestring("case $x in (a*) f() { echo long-string-here; };; esac; [[ $y == b* ]]\n");
    ASSERT_TRUE(p);
    ASSERT_TRUE(checks(p));
    size_t n = size_t(p->string_table - reinterpret_cast<char *>(p->prog)) / 4;
    size_t slots = size_t(p->pattern_count) * sizeof(Patprog *);
    size_t nstrs = size_t(p->len) - slots - n * 4;
    std::vector<wordcode> orig(p->prog, p->prog + n);
    // Truncated code, a missing end word, and no strings at all.
    EXPECT_FALSE(checkwordcode(p->prog, n - 1, p->string_table, nstrs, size_t(p->pattern_count)));
    EXPECT_FALSE(checkwordcode(p->prog, n, p->string_table, 0, size_t(p->pattern_count)));
    EXPECT_FALSE(checkwordcode(p->prog, n, p->string_table, nstrs, 0));
    // Every skip, count and string word pushed one further.
    int refused = 0;
    for (size_t i = 0; i < n; i++) {
        p->prog[i] = orig[i] + (1u << CODE_BITS);
        refused += !checks(p);
        p->prog[i] = orig[i] ^ 0x80000000u;
        refused += !checks(p);
        p->prog[i] = orig[i];
    }
    EXPECT_GE(refused, int(n));
    // A string that loses its terminator runs into the next region.
    std::vector<char> s(p->string_table, p->string_table + nstrs);
    for (char &c : s)
        if (!c)
            c = 'x';
    EXPECT_FALSE(checkwordcode(p->prog, n, s.data(), s.size(), size_t(p->pattern_count)));
}

// The image: prefix, headers and code in this machine's order, then the
// same again swapped, with the strings and names as they were.
TEST(Compiled, WriteLayout)
{
    langsetup();
    HeapGuard hg;
    std::string dir = tmpdir(), file = dir + "/t.qwc";
    Eprog *p = parsestring("echo some-long-word\n");
    ASSERT_TRUE(p);
    LinkList *l = newlinklist();
    DumpProg d{"dir/abc", p, FDHF_KSHLOAD};
    addlinknode(l, &d);
    ASSERT_EQ(qwc_write("t", file.c_str(), l, 2), 0);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    std::string f = slurp(file);
    size_t copy = f.size() / 2;
    ASSERT_EQ(f.size(), 2 * copy);
    EXPECT_EQ(word(f, 0), 0x04050607u);
    EXPECT_EQ(word(f, copy), 0x07060504u);
    EXPECT_EQ(static_cast<unsigned char>(f[4]), 0);  // small: read, not mapped
    EXPECT_EQ(static_cast<unsigned char>(f[copy + 4]), 2);
    EXPECT_EQ(size_t(static_cast<unsigned char>(f[5])) | size_t(static_cast<unsigned char>(f[6])) << 8, copy);
    EXPECT_EQ(f.substr(8, 6), std::string("4.1.1\0", 6));
    EXPECT_EQ(f.substr(copy + 8, 40), f.substr(8, 40));
    // One header: 6 words and "dir/abc" padded to two words.
    uint32_t hlen = 12 + 6 + 2;
    EXPECT_EQ(word(f, 48), hlen);
    EXPECT_EQ(word(f, 64), 8u);
    EXPECT_EQ(word(f, 68), uint32_t(FDHF_KSHLOAD) | 4u << 2);
    EXPECT_EQ(f.substr(72, 8), std::string("dir/abc\0", 8));
    for (size_t i = 48; i < 72; i += 4)
        EXPECT_EQ(word(f, copy + i), swapped(word(f, i)));
    EXPECT_EQ(f.substr(copy + 72, 8), f.substr(72, 8));
    uint32_t codelen = word(f, 60);
    for (size_t i = hlen * 4; i < hlen * 4 + codelen; i += 4)
        EXPECT_EQ(word(f, copy + i), swapped(word(f, i)));
    EXPECT_NE(f.find("some-long-word"), std::string::npos);
    EXPECT_EQ(f.substr(hlen * 4 + codelen, copy - hlen * 4 - codelen),
              f.substr(copy + hlen * 4 + codelen, copy - hlen * 4 - codelen));

    // The program reads back by its last path component only.
    int ksh = -1;
    Eprog *r = try_dump_file(file.c_str(), "abc", file.c_str(), &ksh);
    ASSERT_TRUE(r);
    EXPECT_EQ(ksh, 2);
    EXPECT_EQ(permtext(r), "echo some-long-word");
    freeeprog(r);
    EXPECT_FALSE(try_dump_file(file.c_str(), "dir/abc", file.c_str(), &ksh));

    // At the mapping threshold the file is marked for mapping.
    std::string big = "echo ";
    while (big.size() < 5000)
        big += "word" + std::to_string(big.size()) + " ";
    Eprog *b = parsestring(big + "\n");
    ASSERT_TRUE(b);
    d.prog = b;
    ASSERT_EQ(qwc_write("t", file.c_str(), l, 2), 0);
    EXPECT_EQ(static_cast<unsigned char>(slurp(file)[4]), 1);
    r = try_dump_file(file.c_str(), "abc", file.c_str(), &ksh);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->flags & EF_MAP);
    EXPECT_EQ(permtext(r), permtext(b));
    freeeprog(r);
    unlink(file.c_str());
    rmdir(dir.c_str());
}

// Inputs the loader fuzz target once crashed on.
TEST(Compiled, FuzzRegressions)
{
    langsetup();
    DIR *d = opendir(QWC_REGRESS_DIR);
    ASSERT_TRUE(d);
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string data = slurp(std::string(QWC_REGRESS_DIR) + "/" + e->d_name);
        SCOPED_TRACE(e->d_name);
        qwcfuzz_one(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
    closedir(d);
}
