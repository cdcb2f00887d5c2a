#include "lang_util.h"
#include <iostream>
TEST(S, dump) {
    langsetup();
    char line[100000];
    std::string buf;
    while (fgets(line, sizeof line, stdin)) buf += line;
    size_t pos = 0;
    while (pos < buf.size()) {
        size_t e = buf.find("\n%%\n", pos);
        std::string in = buf.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
        pos = e == std::string::npos ? buf.size() : e + 4;
        pushheap();
        std::string err;
        Eprog *p = nullptr;
        err = stderrof([&] { p = parsestring(in); });
        printf("IN: %s\n", in.c_str());
        if (!p) printf("ERR: %s", err.c_str());
        else { std::string t = permtext(p); printf("OUT: %s\n", t.c_str()); printf("JOB: %s\n", jobtext(p).c_str());
          Eprog *q = parsestring(t); if (!q) printf("REPARSE FAIL\n"); else if (permtext(q) != t) printf("RT DIFF: %s\n", permtext(q).c_str()); }
        popheap();
        printf("----\n");
    }
}
