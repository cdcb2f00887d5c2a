// Work done before each interactive prompt.
#include "core/core.h"

// Hook functions, watching and mail checking arrive with their Parts;
// the functions registered in prepromptfns run already.
void preprompt()
{
    for (LinkNode *n = firstnode(prepromptfns); n; n = nextnode(n))
        reinterpret_cast<void (*)()>(getdata(n))();
}
