// Until expansion and the pattern matcher land: words are taken
// literally with their quote markers removed.
#include "expand/expand.h"

#include <fnmatch.h>

#include <cstring>

void singsub(char **s)
{
    remnulargs(*s);
    untokenize(*s);
}


// The pattern stands in as its untokenized text, matched by fnmatch.
Patprog *patcompile(char *exp, int, char **)
{
    char *s = dupstring(exp);
    remnulargs(s);
    untokenize(s);
    return reinterpret_cast<Patprog *>(s);
}
int pattry(Patprog *prog, const char *string)
{
    return prog && !fnmatch(reinterpret_cast<const char *>(prog), string, 0);
}

void printprompt4() {}
void freepatprog(Patprog *) {}
