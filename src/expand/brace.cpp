// Brace expansion: {a,b,c} lists, {1..5} ranges and, with braceccl,
// {a-z} character classes in words.
#include "expand/expand.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The bounds of a {from..to} or {from..to..step} group.
struct BraceRange {
    long from, to, step;  // step: its magnitude, at least 1
    int width;            // for "%0*ld"
    bool letters;         // single characters, not numbers
};

// A decimal bound with an optional sign; len 0 counts as 0.  Its width
// when it was written with a leading zero (the sign included), else 0.
bool rangenumber(const char *p, size_t len, long *v, int *zwidth)
{
    *v = 0;
    *zwidth = 0;
    size_t i = 0;
    bool neg = false;
    if (len && (*p == '-' || *p == '+')) {
        neg = *p == '-';
        i = 1;
        if (len == 1)
            return false;
    }
    // Eighteen digits keep the values inside a long.
    if (len - i > 18)
        return false;
    for (size_t k = i; k < len; k++) {
        if (!idigit(static_cast<unsigned char>(p[k])))
            return false;
        *v = *v * 10 + (p[k] - '0');
    }
    if (len - i > 1 && p[i] == '0')
        *zwidth = int(len);
    if (neg)
        *v = -*v;
    return true;
}

bool asciialpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Whether s[0..n) is "from..to" or "from..to..step": decimal bounds (at
// least one written, a missing one counting as 0) or two single letters,
// and a non-zero decimal step.
bool parserange(const char *s, size_t n, BraceRange *r)
{
    const char *end = s + n, *dots = nullptr, *dots2 = nullptr;
    for (const char *p = s; p + 1 < end; p++)
        if (p[0] == '.' && p[1] == '.') {
            if (!dots) {
                dots = p++;
            } else {
                dots2 = p;
                break;
            }
        }
    if (!dots)
        return false;
    const char *b = dots + 2, *bend = dots2 ? dots2 : end;
    size_t la = size_t(dots - s), lb = size_t(bend - b);
    if (!la && !lb)
        return false;
    r->step = 1;
    if (dots2) {
        long st;
        int zw;
        if (!rangenumber(dots2 + 2, size_t(end - dots2 - 2), &st, &zw) || dots2 + 2 == end || !st)
            return false;
        r->step = st < 0 ? -st : st;
    }
    r->letters = la == 1 && lb == 1 && asciialpha(*s) && asciialpha(*b);
    if (r->letters) {
        r->from = static_cast<unsigned char>(*s);
        r->to = static_cast<unsigned char>(*b);
        r->width = 0;
        return true;
    }
    int za, zb;
    if (!rangenumber(s, la, &r->from, &za) || !rangenumber(b, lb, &r->to, &zb))
        return false;
    // The width is that of a bound written with a leading zero, the first
    // one's if both are; otherwise nothing is padded.
    r->width = za ? za : zb;
    return true;
}

// Find the first unquoted {...} that expands; set *open/*close.
bool findbraces(char *s, char **open, char **close)
{
    for (char *p = s; *p; p++) {
        if (static_cast<unsigned char>(*p) != TK_LBRACE)
            continue;
        int depth = 0;
        bool comma = false;
        char *q = p;
        for (; *q; q++) {
            unsigned char c = static_cast<unsigned char>(*q);
            if (c == TK_LBRACE)
                depth++;
            else if (c == TK_RBRACE && !--depth)
                break;
            else if (c == TK_COMMA && depth == 1)
                comma = true;
        }
        if (!*q)
            continue;
        BraceRange r;
        if (comma || parserange(p + 1, size_t(q - p - 1), &r) || (isset(BRACECCL) && q > p + 1)) {
            *open = p;
            *close = q;
            return true;
        }
    }
    return false;
}

// The characters a braceccl group lists, each once, in ascending order;
// a token keeps its token form so that it still acts as a pattern.
template <class Emit> void charclass(const std::string &in, Emit emit)
{
    bool on[256] = {};
    unsigned char form[256];
    std::vector<int> chars;            // the characters listed, decoded, in order
    std::vector<unsigned char> forms;  // the token each was written as, or 0
    for (size_t i = 0; i < in.size(); i++) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        unsigned char f = c;
        if (c == METACHAR && i + 1 < in.size()) {
            c = static_cast<unsigned char>(in[++i]) ^ 32;
            f = 0;
        } else if (itok(c)) {
            if (inull(c) || c == TK_EMPTY)
                continue;
            c = static_cast<unsigned char>(tokchar(c));
        } else {
            f = 0;
        }
        chars.push_back(c);
        forms.push_back(f);
    }
    for (size_t i = 0; i < chars.size(); i++) {
        int c = chars[i];
        if (c == '-' && !forms[i] && i > 0 && i + 1 < chars.size()) {
            // a-z: every character between; the ends are set on their own.
            for (int k = chars[i - 1]; k <= chars[i + 1]; k++)
                if (!on[k]) {
                    on[k] = true;
                    form[k] = 0;
                }
            continue;
        }
        if (!on[c] || forms[i]) {
            on[c] = true;
            form[c] = forms[i];
        }
    }
    for (int k = 1; k < 256; k++) {
        if (!on[k])
            continue;
        std::string w;
        if (form[k]) {
            w += char(form[k]);
        } else if (imeta(static_cast<unsigned char>(k))) {
            w += char(METACHAR);
            w += char(k ^ 32);
        } else {
            w += char(k);
        }
        emit(w);
    }
}

}  // namespace

int hasbraces(char *str)
{
    char *o, *c;
    return findbraces(str, &o, &c);
}

void xpandbraces(LinkList *list, LinkNode **np)
{
    LinkNode *node = *np;
    char *str = static_cast<char *>(getdata(node));
    char *open, *close;
    if (!findbraces(str, &open, &close))
        return;
    std::string pre(str, size_t(open - str)), post(close + 1);
    std::string in(open + 1, size_t(close - open - 1));
    LinkNode *last = node;
    bool first = true;
    auto emit = [&](const std::string &mid) {
        std::string w = pre + mid + post;
        char *d = dupstrpfx(w.data(), w.size());
        if (first) {
            setdata(node, d);
            first = false;
        } else {
            // An empty alternative is a word too: the marker keeps it past
            // the removal of empty words that follows.
            last = insertlinknode(list, last, *d ? d : dupstring(nulstring));
        }
    };
    bool comma = false;
    int depth = 0;
    for (char c : in) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u == TK_LBRACE)
            depth++;
        else if (u == TK_RBRACE)
            depth--;
        else if (u == TK_COMMA && !depth)
            comma = true;
    }
    BraceRange r;
    if (!comma && parserange(in.data(), in.size(), &r)) {
        char buf[48];
        for (long v = r.from;;) {
            if (r.letters) {
                buf[0] = char(v);
                buf[1] = '\0';
            } else {
                snprintf(buf, sizeof buf, "%0*ld", r.width, v);
            }
            emit(buf);
            // The last value is the last one not past the far bound.
            if ((r.from <= r.to ? r.to - v : v - r.to) < r.step)
                break;
            v += r.from <= r.to ? r.step : -r.step;
        }
    } else if (!comma) {
        charclass(in, emit);
    } else {
        std::string cur;
        depth = 0;
        for (char c : in) {
            unsigned char u = static_cast<unsigned char>(c);
            if (u == TK_LBRACE)
                depth++;
            else if (u == TK_RBRACE)
                depth--;
            if (u == TK_COMMA && !depth) {
                emit(cur);
                cur.clear();
            } else {
                cur += c;
            }
        }
        emit(cur);
    }
    *np = node;
}
