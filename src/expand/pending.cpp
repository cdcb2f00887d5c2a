// Until expansion and the pattern matcher land: words are taken
// literally with their quote markers removed.
#include "expand/expand.h"

#include <cstring>

void singsub(char **s)
{
    remnulargs(*s);
    untokenize(*s);
}

char *promptexpand(char *s, int, char *, char *) { return qtrdup(s ? s : ""); }

// A stand-in matcher: star and question mark (token or plain) over
// metafied bytes, everything else literal.
struct Patprog {
    char *text;
};

Patprog *patcompile(char *exp, int, char **endexp)
{
    Patprog *p = static_cast<Patprog *>(qhalloc(sizeof(Patprog)));
    p->text = dupstring(exp);
    if (endexp)
        *endexp = exp + strlen(exp);
    return p;
}

static bool stubmatch(const char *p, const char *s)
{
    for (; *p; p++, s++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == TK_STAR || c == '*') {
            for (const char *t = s;; t++) {
                if (stubmatch(p + 1, t))
                    return true;
                if (!*t)
                    return false;
            }
        }
        if (!*s)
            return false;
        if (c == TK_QUEST || c == '?') {
            if (*s == static_cast<char>(METACHAR))
                s++;
            continue;
        }
        if (c != static_cast<unsigned char>(*s))
            return false;
    }
    return !*s;
}

int pattry(Patprog *prog, const char *string) { return prog && stubmatch(prog->text, string); }
void freepatprog(Patprog *) {}
