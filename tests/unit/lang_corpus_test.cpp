// The corpus of lang_corpus.txt: each input is parsed as eval would and
// its program turned back into text, natively and, where lexing differs,
// under sh emulation; the text must also parse back to itself.
#include "lang_util.h"

#include <fstream>
#include <sstream>

namespace {

struct Case {
    std::string name;
    int line = 0;
    bool roundtrip = true;
    std::string input;
    std::map<std::string, std::string> expect;  // "text", "job", "sh"
};

std::vector<Case> loadcorpus()
{
    std::ifstream in(std::string(CORPUS_DIR) + "/lang_corpus.txt");
    EXPECT_TRUE(in.good()) << "cannot read the corpus";
    std::vector<Case> cases;
    std::string line, *cur = nullptr;
    int n = 0;
    while (std::getline(in, line)) {
        n++;
        if (line.rfind("=== ", 0) == 0) {
            cases.emplace_back();
            Case &c = cases.back();
            std::istringstream f(line.substr(4));
            f >> c.name;
            std::string flag;
            while (f >> flag)
                if (flag == "noroundtrip")
                    c.roundtrip = false;
            c.line = n;
            cur = &c.input;
        } else if (line.rfind("--- ", 0) == 0 && !cases.empty()) {
            cur = &cases.back().expect[line.substr(4)];
        } else if (cur) {
            if (!cur->empty() || line.size())
                *cur += (cur->empty() ? "" : "\n") + line;
            else if (cur->empty())
                *cur += "\n";  // a leading empty line is kept as such
        }
    }
    for (Case &c : cases)
        for (auto &e : c.expect)
            if (e.second == "\n")
                e.second.clear();
    return cases;
}

std::string result(const std::string &input, bool job)
{
    Eprog *p;
    std::string err = stderrof([&] { p = parsestring(input); });
    if (!p) {
        while (!err.empty() && err.back() == '\n')
            err.pop_back();
        return "error: " + err;
    }
    return job ? jobtext(p) : permtext(p);
}

class Corpus : public testing::Test {
protected:
    void SetUp() override
    {
        langsetup();
        pushheap();
    }
    void TearDown() override
    {
        popheap();
        emulate("tarn", 1);
    }
};

TEST_F(Corpus, TextJobTextAndRoundTrip)
{
    std::vector<Case> cases = loadcorpus();
    ASSERT_GT(cases.size(), 100u);
    for (Case &c : cases) {
        SCOPED_TRACE("corpus case " + c.name + " at line " + std::to_string(c.line));
        std::string text = result(c.input, false);
        if (c.expect.count("text")) {
            EXPECT_EQ(text, c.expect["text"]);
        }
        if (c.expect.count("job")) {
            EXPECT_EQ(result(c.input, true), c.expect["job"]);
        }
        if (c.roundtrip && text.rfind("error: ", 0) != 0) {
            std::string again = result(text, false);
            EXPECT_EQ(again, text) << "text does not read back as itself";
        }
    }
}

// TARN_CORPUS_REGEN=file writes the corpus back with the present results,
// for reviewing a change of output.
TEST_F(Corpus, Regenerate)
{
    const char *out = getenv("TARN_CORPUS_REGEN");
    if (!out)
        GTEST_SKIP();
    std::vector<Case> cases = loadcorpus();
    std::ofstream o(out);
    for (Case &c : cases) {
        o << "=== " << c.name << (c.roundtrip ? "" : " noroundtrip") << "\n" << c.input << "\n";
        o << "--- text\n" << result(c.input, false) << "\n";
        if (c.expect.count("job"))
            o << "--- job\n" << result(c.input, true) << "\n";
        if (c.expect.count("sh")) {
            emulate("sh", 1);
            o << "--- sh\n" << result(c.input, false) << "\n";
            emulate("tarn", 1);
        }
    }
}

TEST_F(Corpus, ShEmulation)
{
    std::vector<Case> cases = loadcorpus();
    int checked = 0;
    emulate("sh", 1);
    for (Case &c : cases) {
        if (!c.expect.count("sh"))
            continue;
        SCOPED_TRACE("corpus case " + c.name + " at line " + std::to_string(c.line));
        EXPECT_EQ(result(c.input, false), c.expect["sh"]);
        checked++;
    }
    EXPECT_GE(checked, 5);
}

}  // namespace
