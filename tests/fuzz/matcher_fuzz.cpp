// Fuzz target for matchers (the -M rules) and matching under them.  Input:
// one byte selecting the quoting, then lines: the matcher text, the prefix
// typed, the suffix typed, and the candidates.  Each candidate is matched;
// the pieces of a match must cover the line and the quoted candidate
// exactly; the pieces of all matches are joined, and the unambiguous
// string built from them must still be matched by every match.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "complete/complete.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    emulate("tarn", 1);
    inittyptab();
    return 0;
}

namespace {

char *meta(const std::string &s) { return metafy(const_cast<char *>(s.data()), int(s.size()), META_HEAPDUP); }

std::string text(const char *p, int n) { return std::string(p, size_t(n)); }

// A list's line and match texts, in order; the middle piece counted.
void cover(Cline *cl, std::string &line, std::string &word, int &mids)
{
    for (Cline *c = cl; c; c = c->next) {
        if (c->llen < 0 || c->wlen < 0)
            abort();
        line += text(c->line, c->llen);
        word += text(c->word, c->wlen);
        if (c->flags & CLF_MID) {
            mids++;
            if (c->llen)
                abort();
        }
    }
}

// A "1:4:9" list: increasing numbers from 1 up to limit.
void checkpositions(const char *s, int limit)
{
    int last = 0;
    while (*s) {
        char *end;
        long n = strtol(s, &end, 10);
        if (end == s || n <= last || n > limit)
            abort();
        last = int(n);
        s = end;
        if (*s == ':')
            s++;
        else if (*s)
            abort();
    }
}

int chars(const char *s)
{
    int n = 0;
    for (const char *p = s; *p; n++)
        metachar(p);
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 2048)
        return 0;
    uint8_t sel = data[0];
    std::string in(reinterpret_cast<const char *>(data + 1), size - 1);
    std::vector<std::string> lines;
    for (size_t pos = 0; pos <= in.size() && lines.size() < 24;) {
        size_t nl = in.find('\n', pos);
        if (nl == std::string::npos)
            nl = in.size();
        lines.push_back(in.substr(pos, nl - pos));
        pos = nl + 1;
    }
    while (lines.size() < 3)
        lines.emplace_back();

    noerrs = 2;
    errflag = 0;
    HeapGuard hg;
    static char qs[2];
    qs[0] = "\\'\"\\"[sel & 3];
    compqstack = qs;
    int qu = (sel >> 2) % 3;

    Cmatcher *m = parse_cmatcher("compadd", meta(lines[0]));
    Cmatcher *kept = nullptr;
    Cmlist top{};
    if (m && m != pcm_err) {
        // Match with the permanent copy the kept data would use.
        kept = cpcmatcher(m);
        if (cpcmatcher(kept) != kept || kept->refc != 2)
            abort();
        freecmatcher(kept);
        top.matcher = (sel & 0x20) ? kept : m;
        mstack = &top;
    } else {
        mstack = nullptr;
    }
    char *pfx = meta(lines[1]), *sfx = meta(lines[2]);
    std::string wholeline = std::string(pfx) + sfx;

    std::vector<char *> matched;
    Cline *all = nullptr;
    int nmatch = 0;
    for (size_t i = 3; i < lines.size(); i++) {
        char *w = meta(lines[i]);
        Cline *cl = nullptr;
        int exact = -1;
        char *r = comp_match(pfx, sfx, w, nullptr, &cl, qu, &exact);
        if (!r) {
            if (cl)
                abort();
            continue;
        }
        if (exact && wholeline != r)
            abort();
        std::string line, word;
        int mids = 0;
        cover(cl, line, word, mids);
        if (line != wholeline || word != r || mids != 1)
            abort();
        // The prefix alone, from either end, with pieces of its own.
        Cline *pl = nullptr;
        int used = -1;
        int n = match_str(pfx, r, 0, 0, 0, &pl, &used);
        if (n != int(strlen(pfx)) || used < 0 || used > int(strlen(r)))
            abort();
        free_cline(pl);
        n = match_str(sfx, r, 1, (sel & 0x40) != 0, 1, &pl, &used);
        if (n < 0 || n > int(strlen(sfx)))
            abort();
        free_cline(pl);
        matched.push_back(w);
        all = join_clines(all, cl);
        nmatch++;
    }
    int cur = 0;
    char *pp = nullptr, *ip = nullptr;
    char *u = unambig_data(all, &cur, &pp, &ip);
    int ulen = chars(u);
    if (cur < 1 || cur > ulen + 1)
        abort();
    checkpositions(pp, ulen + 1);
    checkpositions(ip, ulen + 1);
    if (!nmatch && (*u || cur != 1 || *pp || *ip))
        abort();
    // Typed as the whole word, the unambiguous string matches every match
    // again.  Only for small inputs: a large one may run out of steps.
    if (nmatch && !*sfx && strlen(u) < 48) {
        bool small = strlen(pfx) < 48;
        for (char *w : matched)
            small = small && strlen(w) < 48;
        if (small)
            for (char *w : matched)
                if (!comp_match(u, "", w, nullptr, nullptr, qu, nullptr))
                    abort();
    }
    free_cline(all);
    mstack = nullptr;
    compqstack = nullptr;
    if (kept)
        freecmatcher(kept);
    errflag = 0;
    noerrs = 0;
    return 0;
}
