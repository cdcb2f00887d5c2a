// Parser and wordcode: the layout of programs, syntax error messages,
// and input that must be refused without crashing.
#include "lang_util.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

namespace {

class Parse : public testing::Test {
protected:
    void SetUp() override
    {
        langsetup();
        pushheap();
        emulate("tarn", 1);
    }
    void TearDown() override
    {
        popheap();
        emulate("tarn", 1);
        errflag = 0;
    }
};

wordcode inl(const char *s, bool tokens = false)
{
    wordcode c = tokens ? 3 : 2;
    for (int i = 0; s[i]; i++)
        c |= wordcode(static_cast<unsigned char>(s[i])) << (3 + 8 * i);
    return c;
}

std::string errorof(const std::string &text)
{
    Eprog *p = reinterpret_cast<Eprog *>(1);
    std::string e = stderrof([&] { p = parsestring(text); });
    EXPECT_EQ(p, nullptr) << text;
    return e;
}

// ---- layout ----

TEST_F(Parse, SimpleCommandLayout)
{
    Eprog *p = parsestring("true");
    ASSERT_TRUE(p);
    std::vector<wordcode> want = {build_list(Z_SYNC | Z_END, 0), build_sublist(SUBLIST_END, 0, 3),
                                  build_pipe(PIPE_END, 2), code_build(CODE_SIMPLE, 1), 0, CODE_END};
    std::vector<wordcode> got = code(p);
    ASSERT_EQ(got.size(), want.size());
    // "true" has four bytes: a string-table offset, not inline.
    EXPECT_EQ(got[4] & 3, 0u);
    EXPECT_STREQ(p->string_table + (got[4] >> 2), "true");
    got[4] = 0;
    EXPECT_EQ(got, want);
    EXPECT_EQ(p->ref_count, -1);
    EXPECT_EQ(p->flags, EF_HEAP);
}

TEST_F(Parse, InlineStringsAndAssignmentSimpleForm)
{
    EXPECT_EQ(inl("ab"), 2u | (0x61u << 3) | (0x62u << 11));
    Eprog *p = parsestring("a=1");
    ASSERT_TRUE(p);
    std::vector<wordcode> want = {build_list(Z_SYNC | Z_END | Z_SIMPLE, 5), 2, build_assign(ASSIGN_SCALAR, 0, 0),
                                  inl("a"), inl("1"), code_build(CODE_SIMPLE, 0), CODE_END};
    EXPECT_EQ(code(p), want);

    p = parsestring("x+=(ab c)");
    ASSERT_TRUE(p);
    want = {build_list(Z_SYNC | Z_END | Z_SIMPLE, 6), 2, build_assign(ASSIGN_ARRAY, 1, 2), inl("x"), inl("ab"),
            inl("c"), code_build(CODE_SIMPLE, 0), CODE_END};
    EXPECT_EQ(code(p), want);

    // Empty and tokenized strings.
    p = parsestring("e= ~");
    ASSERT_TRUE(p);
    std::vector<wordcode> c = code(p);
    EXPECT_EQ(c[3], build_assign(ASSIGN_SCALAR, 0, 0));
    EXPECT_EQ(c[5], 6u);
    EXPECT_EQ(c[6], code_build(CODE_SIMPLE, 1));
    EXPECT_EQ(c[7], 3u | (wordcode(TK_TILDE) << 3));
}

TEST_F(Parse, ListsOfOneEvent)
{
    Eprog *p = parsestring("a; b &");
    ASSERT_TRUE(p);
    std::vector<wordcode> c = code(p);
    EXPECT_EQ(c[0], build_list(Z_SYNC, 0));
    ASSERT_EQ(code_type(c[5]), CODE_LIST);
    EXPECT_EQ(list_type(c[5]), wordcode(Z_ASYNC | Z_END));
}

TEST_F(Parse, ControlStructureLayout)
{
    Eprog *p = parsestring("if true; then :; fi");
    ASSERT_TRUE(p);
    std::vector<wordcode> c = code(p);
    // List (simple form: no command words would be... ) or general form.
    size_t i = list_type(c[0]) & Z_SIMPLE ? 2 : 3;
    ASSERT_EQ(code_type(c[i]), CODE_IF);
    EXPECT_EQ(if_type(c[i]), IF_HEAD);
    EXPECT_EQ(if_type(c[i + 1]), IF_IF);
    EXPECT_EQ(i + 1 + if_skip(c[i]), c.size() - 1);
    EXPECT_EQ(code_type(c[i + 2 + if_skip(c[i + 1])]), CODE_END);

    p = parsestring("for i in a b; do echo $i; done");
    ASSERT_TRUE(p);
    c = code(p);
    i = 3;
    ASSERT_EQ(code_type(c[i]), CODE_FOR);
    EXPECT_EQ(for_type(c[i]), FOR_LIST);
    EXPECT_EQ(c[i + 1], 1u);
    EXPECT_EQ(c[i + 2], inl("i"));
    EXPECT_EQ(c[i + 3], 2u);
    EXPECT_EQ(c[i + 4], inl("a"));
    EXPECT_EQ(c[i + 5], inl("b"));
    EXPECT_EQ(i + 1 + for_skip(c[i]), c.size() - 1);

    p = parsestring("case x in (a|b) echo;; esac");
    ASSERT_TRUE(p);
    c = code(p);
    i = 3;
    ASSERT_EQ(code_type(c[i]), CODE_CASE);
    EXPECT_EQ(case_type(c[i]), CASE_HEAD);
    EXPECT_EQ(c[i + 1], inl("x"));
    EXPECT_EQ(case_type(c[i + 2]), CASE_OR);
    char pat[] = {'a', char(TK_BAR), 'b', 0};
    EXPECT_EQ(c[i + 3], inl(pat, true));
    EXPECT_EQ(c[i + 4], 0u);  // pattern slot
    EXPECT_EQ(p->pattern_count, 1);
    EXPECT_EQ(p->pattern_slots[0], dummy_patprog1);
}

TEST_F(Parse, FunctionDefinitionsShareOneLayout)
{
    Eprog *a = parsestring("f() { echo; }");
    Eprog *b = parsestring("function f { echo; }");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(code(a), code(b));
    // A definition alone is a simple list: list word, line, definition.
    std::vector<wordcode> c = code(a);
    EXPECT_EQ(c[0], build_list(Z_SYNC | Z_END | Z_SIMPLE, wordcode(c.size() - 2)));
    ASSERT_EQ(code_type(c[2]), CODE_FUNCDEF);
    EXPECT_EQ(c[3], 1u);
    EXPECT_EQ(c[4], inl("f"));
    EXPECT_EQ(c[5], 0u);  // region offset
    EXPECT_EQ(c[6], 5u);  // "echo" and its NUL
    EXPECT_EQ(c[7], 0u);  // patterns
    EXPECT_EQ(code_type(c[8]), CODE_LIST);
    EXPECT_EQ(c[c.size() - 2], CODE_END);  // end of the body
    EXPECT_EQ(3 + funcdef_skip(c[2]), c.size() - 1);
}

TEST_F(Parse, FunctionBodyStringsAreNotShared)
{
    Eprog *p = parsestring("echo longword; f() { echo longword longword; }; echo longword");
    ASSERT_TRUE(p);
    // Shared inside the body, and not with the outside: the function-body
    // number also changes when the body ends, so the outer string after it
    // is stored anew.
    int n = 0;
    for (char *s = p->string_table; s < reinterpret_cast<char *>(p->pattern_slots) + p->len; s += strlen(s) + 1)
        n += !strcmp(s, "longword");
    EXPECT_EQ(n, 3);
    std::vector<wordcode> c = code(p);
    size_t fd = 8;  // after "echo longword" and the simple list's two words
    ASSERT_EQ(code_type(c[fd]), CODE_FUNCDEF);
    EXPECT_EQ(c[fd + 3], 14u);  // the body's region follows "echo" and "longword"
    EXPECT_EQ(c[fd + 4], 14u);  // its own "echo" and "longword"
    EXPECT_EQ(permtext(p), "echo longword\nf () {\n\techo longword longword\n}\necho longword");
}

// A function's program as the executor makes it: its code and its string
// region alone, copied away from the rest (followed by junk, so a string
// outside the region shows).
std::string functext(Eprog *p, size_t fd)
{
    wordcode *w = p->prog + fd;
    EXPECT_EQ(code_type(*w), CODE_FUNCDEF);
    wordcode *q = w + 2 + w[1];
    size_t ncode = size_t(w + 1 + funcdef_skip(*w) - (q + 3));
    char *block = static_cast<char *>(qhalloc(ncode * 4 + q[1] + 64));
    memcpy(block, q + 3, ncode * 4);
    memcpy(block + ncode * 4, p->string_table + q[0], q[1]);
    memset(block + ncode * 4 + q[1], 'X', 63);
    block[ncode * 4 + q[1] + 63] = '\0';
    Eprog f{EF_HEAP, int(ncode * 4 + q[1]), int(q[2]), -1, nullptr, reinterpret_cast<wordcode *>(block),
            block + ncode * 4, nullptr, nullptr};
    return permtext(&f);
}

TEST_F(Parse, HereDocumentBodiesStayInTheirFunction)
{
    // The body is read after the function was closed on the same line.
    Eprog *p = parsestring("echo outerword; f() { cat <<EOF; echo innerword; }; echo lastword\nbody $x here\nEOF");
    ASSERT_TRUE(p);
    EXPECT_EQ(functext(p, 8), "cat <<< \"body $x here\"\necho innerword");
    EXPECT_EQ(permtext(p), "echo outerword\nf () {\n\tcat <<< \"body $x here\"\n\techo innerword\n}\necho lastword");
    p = parsestring("f() cat <<EOF\nonly line\nEOF");
    ASSERT_TRUE(p);
    EXPECT_EQ(functext(p, 2), "cat <<< 'only line'");
    p = parsestring("f() { g() { cat <<A; }; }\nnested body\nA");
    ASSERT_TRUE(p);
    EXPECT_EQ(permtext(p), "f () {\n\tg () {\n\t\tcat <<< 'nested body'\n\t}\n}");
}

TEST_F(Parse, ErrorPipeInsertsRedirection)
{
    Eprog *p = parsestring("cmd |& cmd2");
    ASSERT_TRUE(p);
    std::vector<wordcode> c = code(p);
    ASSERT_EQ(pipe_type(c[2]), PIPE_MID);
    EXPECT_EQ(c[3], 6u);  // offset to the next element
    EXPECT_EQ(c[4], code_build(CODE_REDIR, RT_DUP_OUT));
    EXPECT_EQ(c[5], 2u);
    EXPECT_EQ(c[6], inl("1"));
    EXPECT_EQ(code_type(c[3 + c[3]]), CODE_PIPE);
}

TEST_F(Parse, HereDocumentsLandInTheirRedirections)
{
    Eprog *p = parsestring("<<A cat >out <<-B\nfirst $x\nA\n\tsecond\n\tB");
    ASSERT_TRUE(p);
    ExecState s{p, p->prog + 3, p->string_table};
    LinkList *r = ecgetredirs(&s);
    ASSERT_EQ(countlinknodes(r), 3);
    Redir *a = static_cast<Redir *>(getdata(firstnode(r)));
    Redir *o = static_cast<Redir *>(getdata(nextnode(firstnode(r))));
    Redir *b = static_cast<Redir *>(getdata(lastnode(r)));
    EXPECT_EQ(a->type, RT_HERESTRING);
    char *t = dupstring(a->name);
    untokenize(t);
    EXPECT_STREQ(t, "first $x");
    EXPECT_EQ(o->type, RT_WRITE);
    EXPECT_EQ(b->type, RT_HERESTRING);
    EXPECT_STREQ(b->name, "second");
}

TEST_F(Parse, EmptyHereDocumentIsTheEmptyWord)
{
    // The empty word is how an empty body reaches the executor: it feeds
    // empty input, while <<< '' (quote markers) is a line of its own.
    Eprog *p = parsestring("cat <<EOF\nEOF");
    ASSERT_TRUE(p);
    EXPECT_EQ(code(p)[3], code_build(CODE_REDIR, RT_HERESTRING));
    EXPECT_EQ(code(p)[5], 6u);
    EXPECT_EQ(permtext(p), "cat <<< ''");
    p = parsestring("cat <<< ''");
    ASSERT_TRUE(p);
    EXPECT_EQ(code(p)[5], 3u | (wordcode(TK_EMPTY) << 3));
}

TEST_F(Parse, ProgramsCopiesAndReferences)
{
    Eprog *p = parsestring("f() { [[ $a = b* ]]; }; echo $x");
    ASSERT_TRUE(p);
    freeeprog(p);  // arena programs are never freed singly
    freeeprog(&dummy_eprog);
    EXPECT_TRUE(empty_eprog(&dummy_eprog));
    EXPECT_FALSE(empty_eprog(p));
    EXPECT_TRUE(empty_eprog(nullptr));
    Eprog *k = dupeprog(p, 0);
    EXPECT_EQ(k->ref_count, 1);
    EXPECT_EQ(k->flags & EF_REAL, EF_REAL);
    EXPECT_EQ(code(k), code(p));
    EXPECT_EQ(permtext(k), permtext(p));
    useeprog(k);
    EXPECT_EQ(k->ref_count, 2);
    freeeprog(k);
    EXPECT_EQ(k->ref_count, 1);
    freeeprog(k);
    EXPECT_EQ(dupeprog(&dummy_eprog, 1), &dummy_eprog);
}

TEST_F(Parse, StringWordDecoding)
{
    Eprog *p = parsestring("echo ab longer$x");
    ASSERT_TRUE(p);
    ExecState s{p, p->prog + 4, p->string_table};
    int t = -1;
    char **arr = ecgetarr(&s, 3, EC_DUPTOK, &t);
    EXPECT_STREQ(arr[0], "echo");
    EXPECT_STREQ(arr[1], "ab");
    EXPECT_EQ(t, 1);
    untokenize(arr[2]);
    EXPECT_STREQ(arr[2], "longer$x");
    EXPECT_EQ(arr[3], nullptr);
    int tk;
    EXPECT_STREQ(ecrawstr(p, p->prog + 5, &tk), "ab");
    EXPECT_EQ(tk, 0);
}

TEST_F(Parse, LineNumbersOfStringInput)
{
    char *s = dupstring("a\nb\n\nc");
    long old = lineno;
    Eprog *p = parse_string(s, 10);
    ASSERT_TRUE(p);
    EXPECT_EQ(lineno, old);
    std::vector<wordcode> c = code(p);
    std::vector<wordcode> lines;
    for (size_t i = 0; i < c.size(); i++)
        if (code_type(c[i]) == CODE_PIPE)
            lines.push_back(pipe_lineno(c[i]));
    EXPECT_EQ(lines, (std::vector<wordcode>{11, 12, 14}));
    // Without a starting line the numbers are unknown.
    p = parse_string(dupstring("a"), 0);
    ASSERT_TRUE(p);
    EXPECT_EQ(pipe_lineno(code(p)[2]), 0u);
}

TEST_F(Parse, PrefixAloneHasAnEmptyPipeline)
{
    // Otherwise a pipeline word after it would be taken for its own.
    Eprog *p = parsestring("select x; a || ! | b");
    ASSERT_TRUE(p);
    EXPECT_EQ(permtext(p), "select x\ndo\n\ta || ! \ndone | b");
    p = parsestring("!");
    ASSERT_TRUE(p);
    std::vector<wordcode> c = code(p);
    EXPECT_EQ(sublist_flags(c[1]), wordcode(SUBLIST_NOT));
    EXPECT_EQ(c[2], build_pipe(PIPE_END, 2));
    EXPECT_EQ(c[3], code_build(CODE_SIMPLE, 0));
}

TEST_F(Parse, ConditionAlone)
{
    LexGuard lg;
    inpush(dupstring("-f x && a != b"), 0, nullptr);
    strinbeg(0);
    incond = 1;
    incmdpos = 0;
    condlex();
    Eprog *p = parse_cond();
    strinend();
    inpop();
    ASSERT_TRUE(p);
    std::vector<wordcode> c = code(p);
    EXPECT_EQ(c[0], build_cond(COND_AND, wordcode(c.size() - 2)));
    EXPECT_EQ(c[1], build_cond('f', 0));
    EXPECT_EQ(c[3], build_cond(COND_STRNEQ, 0));
    EXPECT_EQ(p->pattern_count, 1);
}

TEST_F(Parse, StuffReadsAFileAsInput)
{
    char path[64];
    snprintf(path, sizeof path, "/tmp/tarn-stuff-%d", int(getpid()));
    FILE *f = fopen(path, "w");
    fputs("echo stuffed\n", f);
    fclose(f);
    std::string err = stderrof([&] { EXPECT_EQ(stuff(path), 0); });
    EXPECT_EQ(err, "echo stuffed\n");
    strin++;
    std::string got;
    for (int ch; !lexstop && (ch = ingetc()) != '\n';)
        got += char(ch);
    EXPECT_EQ(got, "echo stuffed");
    ingetc();
    lexstop = 0;
    strin--;
    unlink(path);
    err = stderrof([&] { EXPECT_EQ(stuff("/nonexistent/x"), 1); });
    EXPECT_EQ(err, "tarn:1: can't open /nonexistent/x\n");
    errflag = 0;
}

// ---- messages ----

TEST_F(Parse, SyntaxErrorMessages)
{
    EXPECT_EQ(errorof("echo )"), "tarn:1: parse error near `)'\n");
    EXPECT_EQ(errorof("for aaaaaaaaaaaaaaaaaaaaaaa-b in x; do :; done"), "tarn:1: parse error near `aaaaaaaaaaaaaaaaaaaa...'\n");
    EXPECT_EQ(errorof("(("), "tarn:1: parse error\n");
    EXPECT_EQ(errorof("echo 'abc"), "tarn:1: unmatched '\n");
    EXPECT_EQ(errorof("echo \"abc"), "tarn:1: unmatched \"\n");
    EXPECT_EQ(errorof("echo `abc"), "tarn:1: unmatched `\n");
    EXPECT_EQ(errorof("echo ${abc"), "tarn:1: closing brace expected\n");
    EXPECT_EQ(errorof("echo $(abc"), "tarn:1: parse error near `$(abc'\n");
    EXPECT_EQ(errorof("[[ a b c ]]"), "tarn:1: condition expected: b\n");
    EXPECT_EQ(errorof("[[ a = ]]"), "tarn:1: parse error: condition expected: a\n");
    EXPECT_EQ(errorof("if a; then b"), "tarn:1: parse error near `b'\n");
    EXPECT_EQ(errorof("a=(b"), "tarn:1: parse error near `b'\n");
    EXPECT_EQ(errorof("fi"), "tarn:1: parse error near `fi'\n");
    EXPECT_EQ(errorof("if a; then echo ); fi"), "tarn:1: parse error near `)'\n");
    EXPECT_EQ(errorof("echo a\nfi"), "tarn:2: parse error near `fi'\n");
    EXPECT_EQ(errorof("cat > <(z)"), "tarn:1: parse error near `<(z)'\n");
    EXPECT_EQ(errorof("cat < >(z)"), "tarn:1: parse error near `>(z)'\n");
    // Nothing after the operator at the end of the input.
    EXPECT_EQ(errorof("a |"), "tarn:1: parse error near `|'\n");
    EXPECT_EQ(errorof("a &&"), "tarn:1: parse error near `&&'\n");
    EXPECT_EQ(errorof("a ||\n"), "tarn:2: parse error near `\\n'\n");
    EXPECT_EQ(errorof("a | b |"), "tarn:1: parse error near `|'\n");
}

TEST_F(Parse, ShortFormsNeedShortLoops)
{
    ASSERT_TRUE(parsestring("for i in a; echo"));
    ASSERT_TRUE(parsestring("repeat 2 echo"));
    opts[SHORTLOOPS] = 0;
    EXPECT_EQ(errorof("for i in a; echo"), "tarn:1: parse error near `echo'\n");
    EXPECT_NE(errorof("repeat 2 echo"), "");
    EXPECT_NE(errorof("function f echo"), "");
    EXPECT_TRUE(parsestring("f() echo"));
    opts[CSHJUNKIELOOPS] = 1;
    Eprog *p = parsestring("for i in a; b; end");
    ASSERT_TRUE(p);
    EXPECT_EQ(permtext(p), "for i in a\ndo\n\tb\ndone");
}

// ---- hostile input ----

void survives(const std::string &text)
{
    errflag = 0;
    std::string err = stderrof([&] {
        Eprog *p = parsestring(text);
        if (p)
            qfree(getpermtext(p, nullptr, 0));
    });
    errflag = 0;
}

TEST_F(Parse, UnterminatedInputAtTheEnd)
{
    for (const char *s : {"'", "\"", "`", "$(", "${", "$((", "$[", "<(", "((", "[[", "case x in", "if a; then",
                          "cat <<EOF", "cat <<EOF\nbody", "f() {", "a=(", "\"$(", "`$(", "${a:-'", "for ((a;b"})
        survives(s);
}

TEST_F(Parse, DeepNestingIsRefused)
{
    const int n = 100000;
    struct {
        std::string open, close;
    } forms[] = {{"(", ")"}, {"{ ", " }"}, {"$(", ")"}, {"${", "}"}, {"((", "))"}, {"$((", "))"},
                 {"\"$(", ")\""}, {"if a; then ", "; fi"}, {"f() { ", "; }"}};
    for (auto &f : forms) {
        std::string s;
        for (int i = 0; i < n; i++)
            s += f.open;
        s += "x";
        for (int i = 0; i < n; i++)
            s += f.close;
        survives(s);
    }
    std::string c = "[[ ";
    for (int i = 0; i < n; i++)
        c += "! ";
    survives(c + "a ]]");
    std::string d = "[[ ";
    for (int i = 0; i < n; i++)
        d += "( ";
    std::string msg = errorof(d + "a ]]");
    EXPECT_NE(msg.find("nesting too deep"), std::string::npos);
    // Moderate depth still parses.
    std::string m;
    for (int i = 0; i < 200; i++)
        m += "( ";
    m += "a";
    for (int i = 0; i < 200; i++)
        m += " )";
    EXPECT_TRUE(parsestring(m));
}

TEST_F(Parse, HugeLinesAndOddBytes)
{
    auto t0 = std::chrono::steady_clock::now();
    std::string big = "echo " + std::string(10 << 20, 'x');
    Eprog *p = parsestring(big);
    ASSERT_TRUE(p);
    std::string many;
    for (int i = 0; i < 500000; i++)
        many += "a| ";
    many += "b";
    EXPECT_TRUE(parsestring(many));
    // Linear work: well under a second in a release build; the bound only
    // catches quadratic growth, with room for sanitizer builds.
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 120.0);
    std::string odd;
    for (int c = 0; c < 256; c++)
        odd += char(c);
    survives(odd);
    survives(std::string("echo a\0b\x83\x84\x9b\xff", 11));
    p = parsestring(std::string("echo \xe4\x83\x9b\0x", 9));
    ASSERT_TRUE(p);
    char *t = getpermtext(p, nullptr, 0);
    std::string want("echo \xe4\x83\x9b\0x", 9);
    EXPECT_STREQ(t, metafy(want.data(), int(want.size()), META_HEAPDUP));
    qfree(t);
}

// Inputs the fuzzer once crashed on, run the way the fuzz target runs
// them: the first byte selects lexing options.
TEST_F(Parse, FuzzRegressions)
{
    static const int fuzzopts[] = {SHGLOB, IGNOREBRACES, RCQUOTES, CSHJUNKIEQUOTES, SHORTLOOPS, INTERACTIVECOMMENTS,
                                   CSHJUNKIELOOPS, HISTALLOWCLOBBER};
    // The fuzz target's aliases.
    const char *const al[][2] = {{"ll", "ls -l "}, {"G", "| grep"}, {"loop", "loop loop"}};
    for (auto &a : al)
        aliastab->addnode(aliastab, qtrdup(a[0]), createaliasnode(qtrdup(a[1]), a[0][0] == 'G' ? ALIASF_GLOBAL : 0));
    DIR *d = opendir(FUZZ_REGRESS_DIR);
    ASSERT_TRUE(d);
    int n = 0;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream f(std::string(FUZZ_REGRESS_DIR) + "/" + e->d_name, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        std::string data = ss.str();
        if (data.empty())
            continue;
        SCOPED_TRACE(e->d_name);
        for (size_t i = 0; i < sizeof fuzzopts / sizeof fuzzopts[0]; i++)
            opts[fuzzopts[i]] = (static_cast<unsigned char>(data[0]) >> i) & 1;
        std::string err = stderrof([&] {
            NoErrsGuard ne(1);
            Eprog *p = parsestring(data.substr(1));
            if (p) {
                char *t = getpermtext(p, nullptr, 0);
                getjobtext(p, nullptr);
                errflag = 0;
                Eprog *q = parse_string(dupstring(t), 1);
                if (q)
                    qfree(getpermtext(q, nullptr, 0));
                qfree(t);
            }
        });
        n++;
        emulate("tarn", 1);
    }
    closedir(d);
    for (auto &a : al)
        aliastab->freenode(aliastab->removenode(aliastab, a[0]));
    EXPECT_GT(n, 0);
}

}  // namespace
