// Brace expansion: {a,b,c} lists and {1..5} ranges in words.
#include "expand/expand.h"

#include <cstdlib>
#include <cstring>
#include <string>

// Find an unquoted {...} holding a top-level comma or a range; set
// *open/*close.
static bool findbraces(char *s, char **open, char **close)
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
        bool range = false;
        if (!comma) {
            // {a..b} with integers.
            std::string in(p + 1, size_t(q - p - 1));
            size_t dots = in.find("..");
            if (dots != std::string::npos && dots > 0) {
                char *e1, *e2;
                strtol(in.c_str(), &e1, 10);
                std::string second = in.substr(dots + 2);
                strtol(second.c_str(), &e2, 10);
                range = *e1 == '.' && !*e2 && !second.empty();
            }
        }
        if (comma || range) {
            *open = p;
            *close = q;
            return true;
        }
    }
    return false;
}

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
            last = insertlinknode(list, last, d);
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
    if (comma) {
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
    } else {
        size_t dots = in.find("..");
        long a = strtol(in.c_str(), nullptr, 10), b = strtol(in.c_str() + dots + 2, nullptr, 10);
        long step = a <= b ? 1 : -1;
        for (long v = a;; v += step) {
            emit(std::to_string(v));
            if (v == b)
                break;
        }
    }
    *np = node;
}
