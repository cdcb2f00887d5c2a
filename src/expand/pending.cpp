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


void printprompt4() {}
