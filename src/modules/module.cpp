// The module registry's hooks.
#include "modules/module.h"

#include <cstring>

Hookdef basehooks[] = {
    {nullptr, "exit", nullptr, 0, nullptr},
    {nullptr, "before_trap", nullptr, 0, nullptr},
    {nullptr, "after_trap", nullptr, 0, nullptr},
};
const int basehookcount = sizeof(basehooks) / sizeof(basehooks[0]);

static Hookdef *hooktab;

int addhookdefs(const char *, Hookdef *h, int size)
{
    for (int i = 0; i < size; i++) {
        h[i].next = hooktab;
        hooktab = &h[i];
        if (!h[i].funcs)
            h[i].funcs = qnewlinklist();
    }
    return 1;
}

int runhookdef(int hook, void *data)
{
    Hookdef *h = &basehooks[hook];
    if (!h->funcs)
        return 0;
    int r = 0;
    for (LinkNode *n = firstnode(h->funcs); n; n = nextnode(n))
        if ((r = reinterpret_cast<Hookfn>(getdata(n))(h, data)))
            break;
    if (!r && h->def)
        r = h->def(h, data);
    return r;
}

// Until the registry lands no module exists to be loaded.
int load_module(const char *name, char **, int silent)
{
    if (!silent)
        qerr("failed to load module: %s", name, 0);
    return 1;
}

void init_bltinmods() {}
