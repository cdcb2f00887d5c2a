// Lexer and input stack: tokens and their words, the options that change
// lexing, aliases, string re-lexing, word splitting, and reading lines
// from the shell's input.
#include "lang_util.h"

#include <unistd.h>

namespace {

struct Tok {
    int tok;
    std::string raw;  // the word as the lexer left it, tokens included
    int fd;
};

std::vector<Tok> lexall(const std::string &text)
{
    std::vector<Tok> v;
    LexGuard lg;
    char *s = metafy(const_cast<char *>(text.c_str()), int(text.size()), META_HEAPDUP);
    inpush(s, 0, nullptr);
    strinbeg(0);
    for (;;) {
        ctxtlex();
        if (tok == LX_EOF)
            break;
        v.push_back({tok, tokstr ? tokstr : "", tokfd});
        if (tok == LX_ERROR)
            break;
    }
    strinend();
    inpop();
    errflag = 0;
    return v;
}

std::string tk(std::initializer_list<int> bytes)
{
    std::string s;
    for (int b : bytes)
        s += char(b);
    return s;
}

class Lex : public testing::Test {
protected:
    void SetUp() override
    {
        langsetup();
        pushheap();
        emulate("tarn", 1);
        errflag = 0;
    }
    void TearDown() override
    {
        popheap();
        emulate("tarn", 1);
        errflag = 0;
    }
};

TEST_F(Lex, RedirectionsWithDescriptors)
{
    auto v = lexall("2>&1 2&>x 3<<<y <&- 9>>|z");
    ASSERT_EQ(v.size(), 10u);
    EXPECT_EQ(v[0].tok, LX_GTAMP);
    EXPECT_EQ(v[0].fd, 2);
    EXPECT_EQ(v[1].raw, "1");
    EXPECT_EQ(v[2].tok, LX_AMPGT);
    EXPECT_EQ(v[2].fd, 2);
    EXPECT_EQ(v[4].tok, LX_TLT);
    EXPECT_EQ(v[4].fd, 3);
    EXPECT_EQ(v[6].tok, LX_LTAMP);
    EXPECT_EQ(v[6].fd, -1);
    EXPECT_EQ(v[8].tok, LX_DGTBAR);
    EXPECT_EQ(v[8].fd, 9);
    // A digit not before a redirection is a word.
    v = lexall("echo 2 x2>y");
    EXPECT_EQ(v[1].tok, LX_WORD);
    EXPECT_EQ(v[2].raw, "x2");
    EXPECT_EQ(v[3].tok, LX_GT);
}

TEST_F(Lex, OperatorSpellings)
{
    struct {
        const char *text;
        int tok;
    } ops[] = {{";;", LX_DSEMI}, {";&", LX_SEMIAMP}, {"&&", LX_ANDAND}, {"&!", LX_AMPBAR}, {"&|", LX_AMPBAR},
               {"||", LX_OROR}, {"|&", LX_BARAMP}, {">|", LX_GTBAR}, {">!", LX_GTBAR}, {">>!", LX_DGTBAR},
               {"&>|", LX_GTAMPBAR}, {">&!", LX_GTAMPBAR}, {">>&", LX_DGTAMP}, {"&>>", LX_DGTAMP},
               {"&>>!", LX_DGTAMPBAR}, {">>&|", LX_DGTAMPBAR}, {"<>", LX_LTGT}, {"<<-", LX_DLTDASH}};
    for (auto &o : ops) {
        auto v = lexall(std::string("a ") + o.text + " b");
        ASSERT_GE(v.size(), 2u) << o.text;
        EXPECT_EQ(v[1].tok, o.tok) << o.text;
    }
}

TEST_F(Lex, WordsInTokenForm)
{
    auto v = lexall("echo {a,b} *.c ~x $y \"q $z\" 'l' \\e");
    ASSERT_EQ(v.size(), 8u);
    EXPECT_EQ(v[1].raw, tk({TK_LBRACE, 'a', TK_COMMA, 'b', TK_RBRACE}));
    EXPECT_EQ(v[2].raw, tk({TK_STAR, '.', 'c'}));
    EXPECT_EQ(v[3].raw, tk({TK_TILDE, 'x'}));
    EXPECT_EQ(v[4].raw, tk({TK_DOLLAR, 'y'}));
    EXPECT_EQ(v[5].raw, tk({TK_DQUOTE, 'q', ' ', TK_QDOLLAR, 'z', TK_DQUOTE}));
    EXPECT_EQ(v[6].raw, tk({TK_SQUOTE, 'l', TK_SQUOTE}));
    EXPECT_EQ(v[7].raw, tk({TK_BSLASH, 'e'}));
    v = lexall("{echo}");
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].tok, LX_LBRACE);
    EXPECT_EQ(v[1].raw, "echo");
    EXPECT_EQ(v[2].tok, LX_RBRACE);
    // Substitutions stay whole inside their word.
    v = lexall("x$(a (b) ')') `c` $((1+(2))) ${d:-}e");
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0].raw, tk({'x', TK_DOLLAR, TK_LPAREN, 'a', ' ', '(', 'b', ')', ' ', '\'', ')', '\'', TK_RPAREN}));
    EXPECT_EQ(v[2].raw, tk({TK_DOLLAR, TK_LPAREN, '(', '1', '+', '(', '2', ')', ')', TK_RPAREN}));
    EXPECT_EQ(v[3].raw, tk({TK_DOLLAR, TK_LBRACE, 'd', ':', '-', TK_RBRACE, 'e'}));
}

TEST_F(Lex, AssignmentsInCommandPosition)
{
    auto v = lexall("a=(x y)");
    EXPECT_EQ(v[0].tok, LX_ARRAYASSIGN);
    EXPECT_EQ(v[0].raw, "a");
    EXPECT_EQ(lexall("a[1]=x")[0].tok, LX_ASSIGN);
    EXPECT_EQ(lexall("1=x")[0].tok, LX_ASSIGN);
    EXPECT_EQ(lexall("a+=x")[0].tok, LX_ASSIGN);
    EXPECT_EQ(lexall("b+=(1)")[0].raw, "b+");
    v = lexall("=x a-b=c echo d=e");
    EXPECT_EQ(v[0].raw, tk({TK_EQUALS, 'x'}));
    EXPECT_EQ(v[1].tok, LX_WORD);
    EXPECT_EQ(v[2].tok, LX_WORD);
    EXPECT_EQ(v[3].raw, tk({'d', TK_EQUALS, 'e'}));
}

TEST_F(Lex, ArithmeticAndReservedWords)
{
    auto v = lexall("((x=1))");
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].tok, LX_DLPAREN);
    EXPECT_EQ(v[0].raw, "x=1");
    v = lexall("if echo if; then");
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(v[0].tok, LX_IF);
    EXPECT_EQ(v[2].tok, LX_WORD);
    EXPECT_EQ(v[4].tok, LX_THEN);
    v = lexall("[[ ! a ]] !");
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(v[0].tok, LX_DLBRACK);
    EXPECT_EQ(v[1].tok, LX_BANG);
    EXPECT_EQ(v[3].tok, LX_DRBRACK);
    EXPECT_EQ(v[4].tok, LX_BANG);
    v = lexall("<1-5> <1-x");
    EXPECT_EQ(v[0].raw, tk({TK_LANGLE, '1', '-', '5', TK_RANGLE}));
    EXPECT_EQ(v[1].tok, LX_LT);
    v = lexall("echo a # comment )\nb");
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[2].tok, LX_SEPER);
}

TEST_F(Lex, OptionsThatChangeLexing)
{
    opts[RCQUOTES] = 1;
    EXPECT_EQ(lexall("'it''s'")[0].raw, tk({TK_SQUOTE, 'i', 't', '\'', 's', TK_SQUOTE}));
    opts[RCQUOTES] = 0;
    EXPECT_EQ(lexall("'it''s'")[0].raw, tk({TK_SQUOTE, 'i', 't', TK_SQUOTE, TK_SQUOTE, 's', TK_SQUOTE}));

    opts[IGNOREBRACES] = 1;
    auto v = lexall("echo {a,b} {x}");
    EXPECT_EQ(v[1].raw, "{a,b}");
    EXPECT_EQ(v[2].raw, "{x}");
    v = lexall("{echo}");
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].raw, "{echo}");
    opts[IGNOREBRACES] = 0;

    opts[CSHJUNKIEQUOTES] = 1;
    EXPECT_EQ(lexall("echo 'a\nb'").back().tok, LX_ERROR);
    EXPECT_EQ(lexall("echo \"a\nb\"").back().tok, LX_ERROR);
    v = lexall("echo 'a\\\nb'");
    EXPECT_EQ(v[1].raw, tk({TK_SQUOTE, 'a', '\n', 'b', TK_SQUOTE}));
    opts[CSHJUNKIEQUOTES] = 0;
    v = lexall("echo 'a\nb'");
    EXPECT_EQ(v[1].raw, tk({TK_SQUOTE, 'a', '\n', 'b', TK_SQUOTE}));

    opts[SHGLOB] = 1;
    v = lexall("f ( ) x");
    ASSERT_GE(v.size(), 2u);
    EXPECT_EQ(v[1].tok, LX_EMPTYPARENS);
    opts[SHGLOB] = 0;
}

// ---- aliases ----

class Alias : public Lex {
protected:
    void add(const char *name, const char *text, int flags = 0)
    {
        aliastab->addnode(aliastab, qtrdup(name), createaliasnode(qtrdup(text), flags));
        added.push_back(name);
    }
    void TearDown() override
    {
        for (auto &n : added)
            aliastab->freenode(aliastab->removenode(aliastab, n.c_str()));
        Lex::TearDown();
    }
    std::string text(const char *s)
    {
        Eprog *p = parsestring(s);
        return p ? permtext(p) : "error";
    }
    std::vector<std::string> added;
};

TEST_F(Alias, ExpansionByContext)
{
    add("ll", "ls -l");
    add("G", "| wc", ALIASF_GLOBAL);
    add("sudo", "sudo ");
    add("ls", "ls -F");
    EXPECT_EQ(text("ll x"), "ls -F -l x");
    EXPECT_EQ(text("echo ll"), "echo ll");
    EXPECT_EQ(text("echo x G"), "echo x | wc");
    EXPECT_EQ(text("sudo ll"), "sudo ls -F -l");
    EXPECT_EQ(text("echo a; ll"), "echo a\nls -F -l");
    EXPECT_EQ(text("\\ll"), "\\ll");
    for (HashNode *n : {aliastab->getnode(aliastab, "ll"), aliastab->getnode(aliastab, "ls")})
        EXPECT_EQ(static_cast<AliasEntry *>(n)->inuse, 0);
    opts[ALIASES] = 0;
    EXPECT_EQ(text("ll x"), "ll x");
}

TEST_F(Alias, RecursionStopsAtAnAliasInUse)
{
    add("a1", "b1 x");
    add("b1", "a1 y");
    EXPECT_EQ(text("a1"), "a1 y x");
    add("sp", " echo");
    EXPECT_EQ(text("sp z"), "echo z");
    // Seen by the history after the event: the main loop's parse is not
    // bracketed by lexsave.
    inpush(dupstring("sp z"), 0, nullptr);
    strinbeg(0);
    Eprog *p = parse_list();
    strinend();
    inpop();
    ASSERT_TRUE(p);
    EXPECT_EQ(aliasspaceflag, 1);
    aliasspaceflag = 0;
}

TEST_F(Alias, ReservedWordFromAnAlias)
{
    add("when", "if");
    EXPECT_EQ(text("when true; then :; fi"), "if true\nthen\n\t:\nfi");
}

// ---- re-lexing strings ----

TEST_F(Lex, ParseStrFamily)
{
    char *s = dupstring("a $b \"c\" \\$d `e`");
    EXPECT_EQ(parsestr(&s), 0);
    EXPECT_EQ(std::string(s), tk({'a', ' ', TK_QDOLLAR, 'b', ' ', '"', 'c', '"', ' ', TK_BSLASH, '$', 'd', ' ',
                                  TK_QBACKTICK, 'e', TK_QBACKTICK}));
    char *bad = dupstring("x $(y");
    std::string err = stderrof([&] { EXPECT_NE(parsestr(&bad), 0); });
    EXPECT_EQ(err, "tarn:1: parse error\n");
    EXPECT_STREQ(bad, "x $(y");
    errflag = 0;
    char *q = dupstring("$((1+2)");
    EXPECT_NE(parsestrnoerr(&q), 0);

    char sub[] = "i+1]rest";
    char *end = parse_subscript(sub, 0);
    ASSERT_TRUE(end);
    EXPECT_EQ(end - sub, 3);
    EXPECT_EQ(*end, ']');
    EXPECT_EQ(parse_subscript(dupstring("]"), 0), nullptr);
    EXPECT_EQ(parse_subscript(dupstring("abc"), 0), nullptr);

    char word[] = "a b'c d'$x";
    EXPECT_EQ(parse_subst_string(word), 0);
    EXPECT_EQ(std::string(word), tk({'a', ' ', 'b', TK_SQUOTE, 'c', ' ', 'd', TK_SQUOTE, TK_DOLLAR, 'x'}));
    char badw[] = "a'b";
    EXPECT_EQ(parse_subst_string(badw), 1);
    EXPECT_STREQ(badw, "a'b");
    errflag = 0;
}

TEST_F(Lex, BufferWords)
{
    LinkList *l = bufferwords(nullptr, dupstring("echo 2>&1 'a b';x\n# not a comment \"c"), nullptr);
    std::vector<std::string> w;
    for (LinkNode *n = firstnode(l); n; incnode(n))
        w.push_back(static_cast<char *>(getdata(n)));
    EXPECT_EQ(w, (std::vector<std::string>{"echo", "2>&", "1", "'a b'", ";", "x", ";", "#", "not", "a", "comment",
                                           "\"c"}));
    int idx = -2;
    bufferwords(nullptr, dupstring("a b c"), &idx);
    EXPECT_EQ(idx, 2);
    bufferwords(nullptr, dupstring(""), &idx);
    EXPECT_EQ(idx, -1);
    EXPECT_EQ(errflag, 0);
}

TEST_F(Lex, LexSaveRestoresEverything)
{
    tok = LX_WORD;
    tokstr = dupstring("outer");
    incmdpos = 0;
    incond = 2;
    cmdpush(CS_IF);
    int sp = cmdsp;
    {
        LexGuard lg;
        EXPECT_EQ(cmdsp, 0);
        Eprog *p = parsestring("if a; then b; fi");
        EXPECT_TRUE(p);
    }
    EXPECT_EQ(tok, LX_WORD);
    EXPECT_STREQ(tokstr, "outer");
    EXPECT_EQ(incmdpos, 0);
    EXPECT_EQ(incond, 2);
    EXPECT_EQ(cmdsp, sp);
    EXPECT_EQ(cmdstack[cmdsp - 1], CS_IF);
    cmdpop();
    incond = 0;
    incmdpos = 1;
}

TEST_F(Lex, ContextStackOverflowIsBalanced)
{
    int sp = cmdsp;
    for (int i = 0; i < CMDSTACKSZ + 50; i++)
        cmdpush(CS_BRACE);
    EXPECT_EQ(cmdsp, CMDSTACKSZ);
    for (int i = 0; i < CMDSTACKSZ + 50; i++)
        cmdpop();
    EXPECT_EQ(cmdsp, sp);
    EXPECT_STREQ(cmdnames[CS_BRACEPAR], "braceparam");
    EXPECT_STREQ(tokstrings[LX_DGTAMPBAR], ">>&|");
}

// ---- the input stack ----

TEST_F(Lex, GivingBackAtTheStartOfASegment)
{
    strin++;
    inpush(dupstring("bc"), 0, nullptr);
    EXPECT_EQ(ingetc(), 'b');
    inungetc('b');
    inungetc('a');  // before the start: a one-character segment
    std::string got;
    for (int i = 0; i < 3; i++)
        got += char(ingetc());
    EXPECT_EQ(got, "abc");
    EXPECT_EQ(ingetc(), ' ');
    EXPECT_EQ(lexstop, 1);
    lexstop = 0;
    inpop();
    strin--;
}

TEST_F(Lex, AliasEndingInBlankAllowsTheNextWord)
{
    AliasEntry *a = createaliasnode(qtrdup("x "), 0);
    strin++;
    inpush(dupstring("rest"), 0, nullptr);
    inpush(a->text, SEG_EXPANSION, a);
    EXPECT_EQ(a->inuse, 1);
    inalmore = 0;
    EXPECT_EQ(ingetc(), 'x');
    EXPECT_EQ(ingetc(), ' ');
    EXPECT_EQ(ingetc(), 'r');
    EXPECT_EQ(a->inuse, 0);
    EXPECT_EQ(inalmore, 1);
    // Giving back up to the end of the expansion re-enters it.
    inungetc('r');
    EXPECT_EQ(a->inuse, 1);
    EXPECT_EQ(ingetc(), 'r');
    EXPECT_EQ(a->inuse, 0);
    inalmore = 0;
    inpop();
    strin--;
    lexstop = 0;
    qfree(a->text);
    qfree(a);
}

class ShellInput : public Lex {
protected:
    void use(const std::string &content)
    {
        snprintf(path, sizeof path, "/tmp/tarn-lex-%d", int(getpid()));
        FILE *f = fopen(path, "w");
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
        old = bshin;
        bshin = fopen(path, "r");
        opts[INTERACTIVE] = 0;
        opts[SHINSTDIN] = 0;
        dropline();
    }
    // Start from an exhausted bottom segment.
    void dropline()
    {
        if ((inbufflags & SEG_FREE) && inseg)
            qfree(inseg);
        inseg = insegpos = nullptr;
        insegleft = inbufct = 0;
        inbufflags = 0;
        lexstop = 0;
    }
    void TearDown() override
    {
        dropline();
        fclose(bshin);
        bshin = old;
        unlink(path);
        opts[VERBOSE] = 0;
        Lex::TearDown();
    }
    Eprog *event()
    {
        hbegin(1);
        lexinit();
        Eprog *p = parse_event();
        hend(p);
        return p;
    }
    char path[64];
    FILE *old = nullptr;
};

TEST_F(ShellInput, LongLinesAndMetafiedBytes)
{
    std::string line(5000, 'y');
    line[1500] = '\x83';
    line[3000] = '\0';
    use(line + "\nz");
    char *l = shingetline();
    ASSERT_TRUE(l);
    int len;
    unmetafy(l, &len);
    EXPECT_EQ(std::string(l, size_t(len)), line + "\n");
    qfree(l);
    l = shingetline();
    EXPECT_STREQ(l, "z");
    qfree(l);
    EXPECT_EQ(shingetline(), nullptr);
}

TEST_F(ShellInput, EventsLineByLine)
{
    use("a; b\nc |\n d\necho ) x\necho ok\nif x\nthen y\nfi\n");
    Eprog *p = event();
    ASSERT_TRUE(p);
    EXPECT_EQ(permtext(p), "a\nb");
    p = event();
    ASSERT_TRUE(p);
    EXPECT_EQ(permtext(p), "c | d");
    std::string err = stderrof([&] { p = event(); });
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(err, "tarn:4: parse error near `)'\n");
    errflag = 0;
    p = event();  // the rest of the bad line was dropped
    ASSERT_TRUE(p);
    EXPECT_EQ(permtext(p), "echo ok");
    p = event();
    ASSERT_TRUE(p);
    EXPECT_EQ(permtext(p), "if x\nthen\n\ty\nfi");
    p = event();
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(tok, LX_EOF);
}

TEST_F(ShellInput, VerboseEchoesEachLineOnce)
{
    use("echo a\necho b\n");
    opts[VERBOSE] = 1;
    std::string err = stderrof([&] {
        EXPECT_TRUE(event());
        EXPECT_TRUE(event());
        EXPECT_FALSE(event());
    });
    EXPECT_EQ(err, "echo a\necho b\n");
}

TEST_F(ShellInput, PipeAtEndOfInputIsAnError)
{
    use("a |\n");
    Eprog *p;
    std::string err = stderrof([&] { p = event(); });
    EXPECT_EQ(p, nullptr);
    EXPECT_NE(err.find("parse error"), std::string::npos);
}

}  // namespace
