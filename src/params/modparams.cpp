// How the module registry reaches the parameter table: autoload stubs and
// the parameters of module tables become real entries of paramtab.
#include "modules/module.h"
#include "params/params.h"

#include <algorithm>
#include <cstring>

namespace {

Param *realparam(const char *name) { return static_cast<Param *>(gethashnode2(realparamtab, name)); }

// The stubs and definitions always go into the global table, whatever
// associative array an assignment has swapped in.
struct [[nodiscard]] RealTableGuard {
    HashTable *saved = paramtab;
    RealTableGuard() { paramtab = realparamtab; }
    ~RealTableGuard() { paramtab = saved; }
    RealTableGuard(const RealTableGuard &) = delete;
    RealTableGuard &operator=(const RealTableGuard &) = delete;
};

int addparam(Paramdef *d)
{
    RealTableGuard rt;
    if (realparam(d->name))
        forceunsetparam(d->name);
    Param *pm = createparam(d->name, d->flags);
    if (!pm)
        return 1;
    pm->level = 0;
    if (d->var)
        pm->value.data = d->var;
    switch (PF_TYPE(d->flags)) {
    case PF_ARRAY:
        if (d->getfn)
            pm->getter.afn = reinterpret_cast<char **(*)(Param *)>(d->getfn);
        if (d->setfn)
            pm->setter.afn = reinterpret_cast<void (*)(Param *, char **)>(d->setfn);
        break;
    case PF_INTEGER:
        if (d->getfn)
            pm->getter.ifn = reinterpret_cast<int64_t (*)(Param *)>(d->getfn);
        if (d->setfn)
            pm->setter.ifn = reinterpret_cast<void (*)(Param *, int64_t)>(d->setfn);
        break;
    case PF_HASHED:
        if (d->getfn)
            pm->getter.hfn = reinterpret_cast<HashTable *(*)(Param *)>(d->getfn);
        if (d->setfn)
            pm->setter.hfn = reinterpret_cast<void (*)(Param *, HashTable *)>(d->setfn);
        break;
    default:
        if (d->getfn)
            pm->getter.cfn = reinterpret_cast<char *(*)(Param *)>(d->getfn);
        if (d->setfn)
            pm->setter.cfn = reinterpret_cast<void (*)(Param *, char *)>(d->setfn);
        break;
    }
    if (d->unsetfn)
        pm->unsetter = reinterpret_cast<void (*)(Param *, int)>(d->unsetfn);
    return 0;
}

void removeparam(const char *name)
{
    if (realparam(name))
        forceunsetparam(name);
}

void addautoparam(const char *name, const char *module)
{
    RealTableGuard rt;
    if (Param *old = realparam(name)) {
        // A special parameter is the shell's own: a stub cannot take it.
        if ((old->flags & PF_SPECIAL) && !(old->flags & PF_AUTOLOAD))
            return;
        if (unsetparam_pm(old, 0, 1))
            return;
    }
    Param *pm = createparam(name, PF_SCALAR);
    if (!pm)
        return;
    pm->level = 0;
    pm->flags = (pm->flags & ~PF_EXPORTED) | PF_AUTOLOAD;
    pm->value.str = qtrdup(module);
}

int paramstate(const char *name, const char **module)
{
    Param *pm = realparam(name);
    if (!pm)
        return 0;
    if (pm->flags & PF_AUTOLOAD) {
        if (module)
            *module = pm->value.str;
        return 1;
    }
    return (pm->flags & PF_UNSET) && !(pm->flags & PF_SPECIAL) ? 0 : 2;
}

void scanautoparams(void (*fn)(const char *, const char *, void *), void *data)
{
    HeapGuard hg;
    int n = 0;
    Param **found = qhnew<Param *>(size_t(realparamtab->ct) + 1);
    for (int i = 0; i < realparamtab->hsize; i++)
        for (HashNode *hn = realparamtab->nodes[i]; hn; hn = hn->next)
            if (hn->flags & PF_AUTOLOAD)
                found[n++] = static_cast<Param *>(hn);
    std::sort(found, found + n, [](Param *a, Param *b) { return strcmp(a->nam, b->nam) < 0; });
    for (int i = 0; i < n; i++)
        fn(found[i]->nam, found[i]->value.str, data);
}

}  // namespace

void installparamreg() { paramreg = {addparam, removeparam, addautoparam, paramstate, scanautoparams}; }
