// Pattern matcher timings: stars against long strings that do not match,
// and a case-like scan over many glob-free patterns.
// Build with -DTARN_BENCH=ON and run build/bench/pattern_bench.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/core.h"
#include "expand/expand.h"

static double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static Patprog *comp(const char *text, int flags = 0)
{
    char *p = dupstring(text);
    tokenize(p);
    return patcompile(p, flags, nullptr);
}

static void stars(const char *pat, const std::string &s, const char *what)
{
    Patprog *p = comp(pat);
    double t0 = now();
    int r = pattry(p, s.c_str());
    double t = now() - t0;
    printf("%-14s vs %-26s %8.3f ms  (%s)\n", pat, what, t * 1e3, r ? "match" : "no match");
}

int main(int argc, char **argv)
{
    createoptiontable();
    emulate("tarn", 1);
    inittyptab();
    pushheap();
    size_t kb = argc > 1 ? size_t(atol(argv[1])) : 1024;  // string size in KB

    std::string as(kb << 10, 'a');
    std::string abc(kb << 10, 'a');
    for (size_t i = 0; i < abc.size(); i++)
        abc[i] = "abc"[i % 3];
    std::string ab(kb << 10, 'a');
    for (size_t i = 0; i < ab.size(); i += 2)
        ab[i] = 'b';
    stars("*a*b*c*d*", as, "string of a");
    stars("*a*b*c*d*", abc, "string of abcabc...");
    stars("*a*b*c*d*", ab, "string of baba...");
    stars("*a*b*c*d", abc, "string of abcabc...");
    stars("*a*b*c*d*x", abc + "d", "abc... then d");
    stars("*a*b*", abc, "string of abcabc...");

    // case word in pat1|...|pat1000: compiled once per slot, as the
    // executor's wordcode slots do, then tried in order.
    const int npat = 1000, rounds = 2000;
    std::vector<Patprog *> pats;
    double t0 = now();
    for (int i = 0; i < npat; i++) {
        std::string t = "word-" + std::to_string(i) + "-suffix";
        pats.push_back(comp(t.c_str(), PC_PERMANENT));
    }
    double tc = now() - t0;
    const char *word = "word-999-suffix";
    int hits = 0;
    t0 = now();
    for (int r = 0; r < rounds; r++)
        for (Patprog *p : pats)
            if (pattry(p, word)) {
                hits++;
                break;
            }
    double tm = now() - t0;
    printf("case over %d literal patterns: compile %.3f ms, %.2f us per full scan (%d hits)\n", npat, tc * 1e3,
           tm / rounds * 1e6, hits);
    std::vector<Patprog *> gl;
    for (int i = 0; i < npat; i++) {
        std::string t = "word-" + std::to_string(i) + "-*";
        gl.push_back(comp(t.c_str(), PC_PERMANENT));
    }
    hits = 0;
    t0 = now();
    for (int r = 0; r < rounds; r++)
        for (Patprog *p : gl)
            if (pattry(p, word)) {
                hits++;
                break;
            }
    tm = now() - t0;
    printf("case over %d patterns ending in *: %.2f us per full scan (%d hits)\n", npat, tm / rounds * 1e6, hits);
    for (Patprog *p : pats)
        freepatprog(p);
    for (Patprog *p : gl)
        freepatprog(p);
    popheap();
    return 0;
}
