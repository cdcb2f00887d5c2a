// Filename generation entry point.  Until the directory matcher lands a
// word keeps its pattern characters literally.
#include "expand/expand.h"

void globlist(LinkList *list, int nountok)
{
    for (LinkNode *n = firstnode(list); n && !errflag; n = nextnode(n)) {
        char *w = static_cast<char *>(getdata(n));
        if (!nountok)
            untokenize(w);
    }
}
