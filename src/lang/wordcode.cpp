// Wordcode programs: the shared empty program, copies and references.
#include "lang/lang.h"
#include "expand/expand.h"

#include <cstring>

static wordcode dummy_code = 0;  // CODE_END
Eprog dummy_eprog;

void init_eprog()
{
    dummy_eprog.flags = EF_REAL;
    dummy_eprog.len = sizeof(wordcode);
    dummy_eprog.npats = 0;
    dummy_eprog.nref = -1;
    dummy_eprog.pats = nullptr;
    dummy_eprog.prog = &dummy_code;
    dummy_eprog.strs = nullptr;
    dummy_eprog.shf = nullptr;
    dummy_eprog.dump = nullptr;
}

Eprog *dupeprog(Eprog *p, int heap)
{
    if (p == &dummy_eprog)
        return p;
    Eprog *r = heap ? qhnew<Eprog>() : qnew<Eprog>();
    r->flags = (heap ? EF_HEAP : EF_REAL) | (p->flags & EF_RUN);
    r->dump = nullptr;
    r->len = p->len;
    r->npats = p->npats;
    r->nref = heap ? -1 : 1;
    char *block = static_cast<char *>(heap ? qhalloc(size_t(r->len)) : qalloc(size_t(r->len)));
    memcpy(block, p->pats, size_t(r->len));
    r->pats = reinterpret_cast<Patprog **>(block);
    r->prog = reinterpret_cast<wordcode *>(block + (p->npats * sizeof(Patprog *)));
    r->strs = block + (p->strs - reinterpret_cast<char *>(p->pats));
    for (int i = 0; i < r->npats; i++)
        r->pats[i] = reinterpret_cast<Patprog *>(1);
    r->shf = nullptr;
    return r;
}

void useeprog(Eprog *p)
{
    if (p && p != &dummy_eprog && p->nref >= 0)
        p->nref++;
}

void freeeprog(Eprog *p)
{
    if (!p || p == &dummy_eprog || p->nref < 0)
        return;
    if (--p->nref > 0)
        return;
    for (int i = 0; i < p->npats; i++)
        if (p->pats[i] != reinterpret_cast<Patprog *>(1))
            freepatprog(p->pats[i]);
    if (!(p->flags & EF_MAP))
        qfree(p->pats);
    qfree(p);
}

int empty_eprog(Eprog *p)
{
    return !p || !p->prog || *p->prog == 0;
}
