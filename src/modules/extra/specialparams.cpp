// The special parameters of the further modules: associative arrays whose
// elements are computed when read and written through to the shell's
// tables, and arrays with their own accessors.  Nothing is stored in them.
#include "modules/extra/extra.h"

#include <cstring>

namespace {

// An element is looked up while an assignment or a subscript has put the
// array's own table in place of paramtab; what computes it must see the
// shell's parameters (getsparam("TERM") would come back here).
struct [[nodiscard]] RealParamsGuard {
    HashTable *saved = paramtab;
    RealParamsGuard() { paramtab = realparamtab; }
    ~RealParamsGuard() { paramtab = saved; }
    RealParamsGuard(const RealParamsGuard &) = delete;
    RealParamsGuard &operator=(const RealParamsGuard &) = delete;
};

// Every row of every loaded module, so that a table or an element can
// find its row: an element keeps the row's index in aux.
constexpr int MAXROWS = 64;
SpecialParam *rows[MAXROWS];

int rowindex(SpecialParam *r)
{
    for (int i = 0; i < MAXROWS; i++)
        if (rows[i] == r)
            return i;
    return -1;
}

SpecialParam *rowoftable(HashTable *ht)
{
    for (SpecialParam *r : rows)
        if (r && r->pm && r->pm->value.hash == ht)
            return r;
    return nullptr;
}

SpecialParam *rowofelem(Param *e) { return e->aux >= 0 && e->aux < MAXROWS ? rows[e->aux] : nullptr; }

void elemset(Param *e, char *val)
{
    SpecialParam *r = rowofelem(e);
    RealParamsGuard rp;
    if (r && r->set)
        r->set(e->nam, val);
    else
        qsfree(val);
}

void elemunset(Param *e, int)
{
    SpecialParam *r = rowofelem(e);
    RealParamsGuard rp;
    if (r && r->unset)
        r->unset(e->nam);
    e->flags |= PF_UNSET;
}

// An element as a temporary parameter: the read-only flag when the array
// cannot be written, unset (and empty) when there is no such key.
Param *elemparam(SpecialParam *r, const char *key, char *val)
{
    Param *e = hcnew<Param>();
    e->nam = dupstring(key);
    e->flags = PF_SCALAR | PF_SPECIAL | (r->set ? 0 : PF_READONLY);
    if (!val) {
        e->flags |= PF_UNSET;
        val = dupstring("");
    }
    e->value.str = val;
    e->getter.cfn = strgetfn;
    e->setter.cfn = elemset;
    e->unsetter = elemunset;
    e->aux = rowindex(r);
    return e;
}

HashNode *getelem(HashTable *ht, const char *key)
{
    SpecialParam *r = rowoftable(ht);
    if (!r)
        return nullptr;
    RealParamsGuard rp;
    return elemparam(r, key, r->get(key));
}

struct ScanCtx {
    SpecialParam *r;
    ScanFunc fn;
    int flags;
};

void scanone(const char *key, char *val, void *data)
{
    ScanCtx *c = static_cast<ScanCtx *>(data);
    c->fn(elemparam(c->r, key, val), c->flags);
}

void scanelems(HashTable *ht, ScanFunc fn, int flags)
{
    if (SpecialParam *r = rowoftable(ht)) {
        RealParamsGuard rp;
        ScanCtx c = {r, fn, flags};
        r->scan(scanone, &c);
    }
}

// unset 'name[key]' removes through the element; nothing is freed.
HashNode *removeelem(HashTable *ht, const char *key)
{
    Param *e = static_cast<Param *>(getelem(ht, key));
    if (!e || (e->flags & PF_UNSET))
        return nullptr;
    if (e->flags & PF_READONLY)
        qerr("read-only variable: %s", key, 0);
    else
        e->unsetter(e, 1);
    return nullptr;
}

void setwhole(Param *pm, HashTable *elems)
{
    if (!elems || elems == pm->value.hash)
        return;
    for (SpecialParam *r : rows)
        if (r && r->pm == pm && r->setall)
            r->setall(elems);
    deleteparamtable(elems);
}

void unsetspecial(Param *pm, int)
{
    for (SpecialParam *&r : rows)
        if (r && r->pm == pm)
            r->pm = nullptr;
    if (PF_TYPE(pm->flags) == PF_HASHED && pm->value.hash) {
        deletehashtable(pm->value.hash);
        pm->value.hash = nullptr;
    }
    pm->flags |= PF_UNSET;
}

void refusearr(Param *, char **a) { freearray(a); }

}  // namespace

int addspecialparams(SpecialParam *defs, int n)
{
    HashTable *saved = paramtab;
    paramtab = realparamtab;
    int ret = 0;
    for (int i = 0; i < n && !ret; i++) {
        SpecialParam *d = &defs[i];
        if (gethashnode2(realparamtab, d->name))
            forceunsetparam(d->name);
        int slot = rowindex(nullptr);
        Param *pm = nullptr;
        // Removable, so that unset and the module's cleanup take it away.
        int flags = PF_SPECIAL | PF_REMOVABLE | (d->flags & PF_READONLY);
        if (slot < 0) {
            ret = 1;
        } else if (d->flags & PF_HASHED) {
            pm = createspecialhash(d->name, getelem, scanelems, PF_HIDEVAL | flags);
            if (pm) {
                pm->value.hash->removenode = removeelem;
                pm->setter.hfn = setwhole;
            }
        } else if ((pm = createparam(d->name, PF_ARRAY | flags))) {
            pm->getter.afn = d->getarr;
            pm->setter.afn = d->setarr ? d->setarr : refusearr;
        }
        if (!pm) {
            ret = 1;
            break;
        }
        // Made at the top level even when a function's use loaded them:
        // they must outlive its scope.
        pm->level = 0;
        pm->unsetter = unsetspecial;
        d->pm = pm;
        rows[slot] = d;
    }
    paramtab = saved;
    if (ret)
        removespecialparams(defs, n);
    return ret;
}

void removespecialparams(SpecialParam *defs, int n)
{
    for (int i = 0; i < n; i++) {
        SpecialParam *d = &defs[i];
        if (d->pm && gethashnode2(realparamtab, d->name) == d->pm)
            forceunsetparam(d->name);
        d->pm = nullptr;
        int slot = rowindex(d);
        if (slot >= 0)
            rows[slot] = nullptr;
    }
}
