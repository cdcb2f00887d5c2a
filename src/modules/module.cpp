// The module registry: module entries, loading and unloading with
// dependencies and aliases, and the registries of the features modules add.
#include "modules/module.h"
#include "modules/extra/extra.h"

#include <cstring>

LinkList *linkedmodules, *modules;
Conddef *condtab;
Hookdef *hooktab;
MathFunc *mathfuncs;
FuncWrap *wrappers;

Hookdef basehooks[] = {
    {nullptr, "exit", nullptr, HOOKF_ALL, nullptr},
    {nullptr, "before_trap", nullptr, HOOKF_ALL, nullptr},
    {nullptr, "after_trap", nullptr, HOOKF_ALL, nullptr},
};
const int basehookcount = sizeof(basehooks) / sizeof(basehooks[0]);

namespace {

void ensurelists()
{
    if (!modules) {
        modules = qnewlinklist();
        linkedmodules = qnewlinklist();
    }
}

bool namechar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

LinkNode *modulenode(Module *m)
{
    for (LinkNode *n = firstnode(modules); n; incnode(n))
        if (getdata(n) == m)
            return n;
    return nullptr;
}

Module *newmodule(const char *name)
{
    Module *m = qcnew<Module>();
    m->nam = qtrdup(name);
    qaddlinknode(modules, m);
    return m;
}

void freestring(void *s) { qsfree(static_cast<char *>(s)); }

// "failed to load module" leaves errflag as it was: the caller decides
// whether a missing module is an error.
void notlinked(const char *name, int silent)
{
    if (silent)
        return;
    int ef = errflag;
    qerr("failed to load module: %s", name, 0);
    errflag = ef;
}

bool setupmodule(Module *m) { return m->u.linked->setup(m) == 0; }
bool bootmodule(Module *m) { return m->u.linked->boot(m) == 0; }

// Whether a loaded module other than m names dep (resolved) among its
// dependencies.
bool dependedon(Module *m, const char *resolved)
{
    for (LinkNode *n = firstnode(modules); n; incnode(n)) {
        Module *e = static_cast<Module *>(getdata(n));
        if (e == m || (e->flags & MOD_ALIAS) || !e->u.linked || !e->deps)
            continue;
        for (LinkNode *d = firstnode(e->deps); d; incnode(d)) {
            const char *dn;
            find_module(static_cast<char *>(getdata(d)), 1, &dn);
            if (!strcmp(dn, resolved))
                return true;
        }
    }
    return false;
}

}  // namespace

// ---- modules ----

bool modname_ok(const char *p)
{
    for (;;) {
        const char *start = p;
        while (namechar(*p))
            p++;
        if (p == start)
            return false;
        if (!*p)
            return true;
        if (*p++ != '/')
            return false;
    }
}

void register_module(const char *name, ModuleFunc setup, ModuleFunc boot, ModuleFunc cleanup, ModuleFunc finish)
{
    ensurelists();
    Linkedmod *lm = qcnew<Linkedmod>();
    lm->name = qtrdup(name);
    lm->setup = setup;
    lm->boot = boot;
    lm->cleanup = cleanup;
    lm->finish = finish;
    qaddlinknode(linkedmodules, lm);
}

// The modules of this build, in a table the compiler lays out (below);
// modules registered later, by name, after them.
static Linkedmod *buildmodule(const char *name);

Linkedmod *module_linked(const char *name)
{
    if (Linkedmod *lm = buildmodule(name))
        return lm;
    ensurelists();
    for (LinkNode *n = firstnode(linkedmodules); n; incnode(n)) {
        Linkedmod *lm = static_cast<Linkedmod *>(getdata(n));
        if (!strcmp(lm->name, name))
            return lm;
    }
    return nullptr;
}

Module *find_module(const char *name, int aliasp, const char **namep)
{
    ensurelists();
    // Alias chains cannot loop: defining one that would is refused.
    for (;;) {
        Module *m = nullptr;
        for (LinkNode *n = firstnode(modules); n; incnode(n)) {
            Module *e = static_cast<Module *>(getdata(n));
            if (!strcmp(e->nam, name)) {
                m = e;
                break;
            }
        }
        if (m && aliasp && (m->flags & MOD_ALIAS)) {
            name = m->u.alias;
            continue;
        }
        if (namep)
            *namep = name;
        return m;
    }
}

void delete_module(LinkNode *node)
{
    Module *m = static_cast<Module *>(remnode(modules, node));
    if (m->flags & MOD_ALIAS)
        qsfree(m->u.alias);
    freelinklist(m->deps, freestring);
    qsfree(m->nam);
    qfree(m, sizeof(*m));
}

int module_loaded(const char *name)
{
    Module *m = find_module(name, 1, nullptr);
    return m && m->u.linked && !(m->flags & MOD_UNLOAD);
}

int load_module(const char *name, char **, int silent)
{
    if (!modname_ok(name)) {
        qerr("invalid module name `%s'", name, 0);
        return 0;
    }
    SignalGuard sg;
    const char *rname;
    Module *m = find_module(name, 1, &rname);
    if (!m) {
        Linkedmod *lm = module_linked(rname);
        if (!lm) {
            notlinked(rname, silent);
            return 0;
        }
        m = newmodule(rname);
        m->u.linked = lm;
        m->flags = MOD_INIT | MOD_LINKED;
        if (!setupmodule(m)) {
            delete_module(modulenode(m));
            return 0;
        }
        if (!bootmodule(m)) {
            lm->finish(m);
            delete_module(modulenode(m));
            return 0;
        }
        m->flags = (m->flags | MOD_SETUP | MOD_BOOTED) & ~MOD_INIT;
        return 1;
    }
    // A module being set up counts as loaded for the modules it pulls in.
    if (m->flags & MOD_INIT)
        return 1;
    if (m->flags & MOD_UNLOAD)
        m->flags &= ~MOD_UNLOAD;  // still set up: only boot runs again
    else if (m->u.linked)
        return 1;
    if (m->flags & MOD_BUSY) {
        qerr("circular dependencies for module %s", rname, 0);
        return 0;
    }
    if (m->deps) {
        m->flags |= MOD_BUSY;
        for (LinkNode *n = firstnode(m->deps); n; incnode(n)) {
            if (!load_module(static_cast<char *>(getdata(n)), nullptr, silent)) {
                m->flags &= ~MOD_BUSY;
                return 0;
            }
        }
        m->flags &= ~MOD_BUSY;
    }
    if (!m->u.linked) {
        Linkedmod *lm = module_linked(m->nam);
        if (!lm) {
            notlinked(m->nam, silent);
            return 0;
        }
        m->u.linked = lm;
        m->flags |= MOD_INIT | MOD_LINKED;
        if (!setupmodule(m)) {
            m->u.linked = nullptr;
            m->flags &= ~MOD_INIT;
            return 0;
        }
        m->flags |= MOD_SETUP;
    }
    m->flags |= MOD_INIT;
    if (!bootmodule(m)) {
        m->u.linked->finish(m);
        m->u.linked = nullptr;
        m->flags &= ~(MOD_INIT | MOD_SETUP | MOD_BOOTED);
        return 0;
    }
    m->flags = (m->flags | MOD_BOOTED) & ~MOD_INIT;
    return 1;
}

int require_module(const char *caller, const char *name, int, int test)
{
    SignalGuard sg;
    if (module_loaded(name)) {
        if (test) {
            qwarnnam(caller, "module %s already loaded.", name, 0);
            return 0;
        }
        return 1;
    }
    return load_module(name);
}

int unload_module(Module *m, LinkNode *node)
{
    if (m->flags & MOD_ALIAS) {
        m = find_module(m->u.alias, 1, nullptr);
        node = nullptr;
        if (!m)
            return 1;
    }
    if ((m->flags & MOD_SETUP) && !(m->flags & MOD_UNLOAD) && m->u.linked && m->u.linked->cleanup(m))
        return 1;
    if (m->wrapper) {
        m->flags |= MOD_UNLOAD;
        return 0;
    }
    bool waspending = m->flags & MOD_UNLOAD;
    m->flags &= ~MOD_UNLOAD;
    if (m->flags & MOD_BOOTED) {
        if (m->u.linked)
            m->u.linked->finish(m);
        m->u.linked = nullptr;
        m->flags &= ~(MOD_SETUP | MOD_BOOTED);
    }
    if (waspending && m->deps) {
        // Dependencies whose unload waited for this one go with it.
        for (LinkNode *n = firstnode(m->deps); n; incnode(n)) {
            const char *dn;
            Module *dm = find_module(static_cast<char *>(getdata(n)), 1, &dn);
            if (dm && (dm->flags & MOD_UNLOAD) && !dependedon(dm, dn))
                unload_module(dm, nullptr);
        }
    }
    if (m->deps)
        return 0;
    if (!node && !(node = modulenode(m)))
        return 1;
    delete_module(node);
    return 0;
}

void add_dep(const char *name, const char *dep)
{
    Module *m = find_module(name, 0, nullptr);
    if (!m)
        m = newmodule(name);
    if (!m->deps)
        m->deps = qnewlinklist();
    for (LinkNode *n = firstnode(m->deps); n; incnode(n))
        if (!strcmp(static_cast<char *>(getdata(n)), dep))
            return;
    qaddlinknode(m->deps, qtrdup(dep));
}

// ---- builtins ----

int addbuiltin(Builtin *b)
{
    Builtin *bn = static_cast<Builtin *>(builtintab->getnode2(builtintab, b->nam));
    if (bn && (bn->flags & BI_ADDED))
        return 1;
    if (bn)
        builtintab->freenode(builtintab->removenode(builtintab, b->nam));
    builtintab->addnode(builtintab, b->nam, b);
    return 0;
}

int addbuiltins(const char *nam, Builtin *binl, int size)
{
    int hads = 0, hadf = 0;
    for (int i = 0; i < size; i++) {
        Builtin *b = &binl[i];
        if (b->flags & BI_ADDED)
            continue;
        if (addbuiltin(b)) {
            qwarnnam(nam, "name clash when adding builtin `%s'", b->nam, 0);
            hadf = 1;
        } else {
            b->flags |= BI_ADDED;
            hads = 2;
        }
    }
    return hadf ? hads : 1;
}

int deletebuiltin(const char *nam)
{
    HashNode *hn = builtintab->removenode(builtintab, nam);
    if (!hn)
        return -1;
    builtintab->freenode(hn);
    return 0;
}

int deletebuiltins(const char *nam, Builtin *binl, int size)
{
    int hads = 0, hadf = 0;
    for (int i = 0; i < size; i++) {
        Builtin *b = &binl[i];
        if (!(b->flags & BI_ADDED))
            continue;
        if (deletebuiltin(b->nam)) {
            qwarnnam(nam, "builtin `%s' already deleted", b->nam, 0);
            hadf = 1;
        } else {
            hads = 2;
        }
        b->flags &= ~BI_ADDED;
    }
    return hadf ? hads : 1;
}

int add_autobin(const char *name, const char *module)
{
    Builtin *bn = qcnew<Builtin>();
    bn->nam = qtrdup(name);
    bn->option_letters = qtrdup(module);
    if (addbuiltin(bn)) {
        builtintab->freenode(bn);
        return 1;
    }
    return 0;
}

// ---- conditions ----

namespace {

void freecondstub(Conddef *c)
{
    qsfree(c->name);
    qsfree(c->module);
    qfree(c, sizeof(*c));
}

Conddef *findcond(int inf, const char *name)
{
    for (Conddef *p = condtab; p; p = p->next)
        if (!(p->flags & CONDF_INFIX) == !inf && !strcmp(name, p->name))
            return p;
    return nullptr;
}

}  // namespace

Conddef *getconddef(int inf, const char *name, int autoload)
{
    Conddef *p = findcond(inf, name);
    if (p && p->module && autoload) {
        // Loading frees the stub when the module brings the real one.
        char *mod = dupstring(p->module);
        load_module(mod);
        p = findcond(inf, name);
        if (p && p->module) {
            deleteconddef(p);
            return nullptr;
        }
    }
    return p;
}

int addconddef(Conddef *c)
{
    if (Conddef *p = findcond(c->flags & CONDF_INFIX, c->name)) {
        if (!p->module || (p->flags & CONDF_ADDED))
            return 1;
        deleteconddef(p);
    }
    c->next = condtab;
    condtab = c;
    return 0;
}

int addconddefs(const char *nam, Conddef *c, int size)
{
    int hads = 0, hadf = 0;
    for (int i = 0; i < size; i++) {
        if (c[i].flags & CONDF_ADDED)
            continue;
        if (addconddef(&c[i])) {
            qwarnnam(nam, "name clash when adding condition `%s'", c[i].name, 0);
            hadf = 1;
        } else {
            c[i].flags |= CONDF_ADDED;
            hads = 2;
        }
    }
    return hadf ? hads : 1;
}

int deleteconddef(Conddef *c)
{
    Conddef **pp = &condtab;
    while (*pp && *pp != c)
        pp = &(*pp)->next;
    if (!*pp)
        return -1;
    *pp = c->next;
    if (c->module)
        freecondstub(c);
    return 0;
}

int deleteconddefs(const char *nam, Conddef *c, int size)
{
    int hads = 0, hadf = 0;
    for (int i = 0; i < size; i++) {
        if (!(c[i].flags & CONDF_ADDED))
            continue;
        if (deleteconddef(&c[i])) {
            qwarnnam(nam, "condition `%s' already deleted", c[i].name, 0);
            hadf = 1;
        } else {
            hads = 2;
        }
        c[i].flags &= ~CONDF_ADDED;
    }
    return hadf ? hads : 1;
}

int add_autocond(const char *name, int inf, const char *module)
{
    Conddef *c = qcnew<Conddef>();
    c->name = qtrdup(name);
    c->flags = inf ? CONDF_INFIX : 0;
    c->module = qtrdup(module);
    if (addconddef(c)) {
        freecondstub(c);
        return 1;
    }
    return 0;
}

// ---- hooks ----

Hookdef *gethookdef(const char *name)
{
    for (Hookdef *h = hooktab; h; h = h->next)
        if (!strcmp(name, h->name))
            return h;
    return nullptr;
}

int addhookdef(Hookdef *h)
{
    if (gethookdef(h->name))
        return 1;
    h->next = hooktab;
    hooktab = h;
    h->funcs = qnewlinklist();
    return 0;
}

int addhookdefs(const char *nam, Hookdef *h, int size)
{
    int hads = 0, hadf = 0;
    for (int i = 0; i < size; i++) {
        if (addhookdef(&h[i])) {
            qwarnnam(nam, "name clash when adding hook `%s'", h[i].name, 0);
            hadf = 1;
        } else {
            hads = 2;
        }
    }
    return hadf ? hads : 1;
}

int deletehookdef(Hookdef *h)
{
    Hookdef **pp = &hooktab;
    while (*pp && *pp != h)
        pp = &(*pp)->next;
    if (!*pp)
        return 1;
    *pp = h->next;
    freelinklist(h->funcs, nullptr);
    h->funcs = nullptr;
    return 0;
}

int deletehookdefs(const char *, Hookdef *h, int size)
{
    for (int i = 0; i < size; i++)
        deletehookdef(&h[i]);
    return 1;
}

int addhookdeffunc(Hookdef *h, Hookfn f)
{
    if (!h->funcs)  // a hook not yet added still collects its functions
        h->funcs = qnewlinklist();
    qaddlinknode(h->funcs, reinterpret_cast<void *>(f));
    return 0;
}

int addhookfunc(const char *name, Hookfn f)
{
    Hookdef *h = gethookdef(name);
    return h ? addhookdeffunc(h, f) : 1;
}

int deletehookdeffunc(Hookdef *h, Hookfn f)
{
    if (h->funcs)
        for (LinkNode *n = firstnode(h->funcs); n; incnode(n))
            if (getdata(n) == reinterpret_cast<void *>(f)) {
                remnode(h->funcs, n);
                return 0;
            }
    return 1;
}

int deletehookfunc(const char *name, Hookfn f)
{
    Hookdef *h = gethookdef(name);
    return h ? deletehookdeffunc(h, f) : 1;
}

int runhookdef(Hookdef *h, void *data)
{
    if (h->funcs && nonempty(h->funcs)) {
        if (!(h->flags & HOOKF_ALL))
            return reinterpret_cast<Hookfn>(getdata(lastnode(h->funcs)))(h, data);
        for (LinkNode *n = firstnode(h->funcs), *next; n; n = next) {
            next = nextnode(n);  // a function may remove itself
            if (int r = reinterpret_cast<Hookfn>(getdata(n))(h, data))
                return r;
        }
    }
    return h->def ? h->def(h, data) : 0;
}

int runhookdef(int hook, void *data) { return runhookdef(&basehooks[hook], data); }

int runhook(const char *name, void *data)
{
    Hookdef *h = gethookdef(name);
    return h ? runhookdef(h, data) : 0;
}

// ---- parameters ----

namespace {

// Stand-in for the parameter table: names registered by modules, with
// the module for an autoload stub and null for a real parameter.
struct ParamName {
    char *name;
    char *module;
};
LinkList *paramnames;

LinkList *paramnamelist()
{
    if (!paramnames)
        paramnames = qnewlinklist();
    return paramnames;
}

LinkNode *paramnamenode(const char *name)
{
    for (LinkNode *n = firstnode(paramnamelist()); n; incnode(n))
        if (!strcmp(static_cast<ParamName *>(getdata(n))->name, name))
            return n;
    return nullptr;
}

void listremove(const char *name)
{
    if (LinkNode *n = paramnamenode(name)) {
        ParamName *p = static_cast<ParamName *>(remnode(paramnames, n));
        qsfree(p->name);
        qsfree(p->module);
        qfree(p, sizeof(*p));
    }
}

void listadd(const char *name, const char *module)
{
    listremove(name);
    ParamName *p = qnew<ParamName>();
    p->name = qtrdup(name);
    p->module = module ? qtrdup(module) : nullptr;
    qaddlinknode(paramnames, p);
}

int listaddparam(Paramdef *d)
{
    listadd(d->name, nullptr);
    return 0;
}

void listaddauto(const char *name, const char *module) { listadd(name, module); }

int liststate(const char *name, const char **module)
{
    LinkNode *n = paramnamenode(name);
    if (!n)
        return 0;
    ParamName *p = static_cast<ParamName *>(getdata(n));
    if (!p->module)
        return 2;
    if (module)
        *module = p->module;
    return 1;
}

void listscanauto(void (*fn)(const char *, const char *, void *), void *data)
{
    for (LinkNode *n = firstnode(paramnamelist()); n; incnode(n)) {
        ParamName *p = static_cast<ParamName *>(getdata(n));
        if (p->module)
            fn(p->name, p->module, data);
    }
}

}  // namespace

ParamRegistry paramreg = {listaddparam, listremove, listaddauto, liststate, listscanauto};

int addparamdef(Paramdef *d) { return paramreg.add(d); }

int addparamdefs(const char *nam, Paramdef *d, int size)
{
    int hads = 0, hadf = 0;
    for (int i = 0; i < size; i++) {
        if (addparamdef(&d[i])) {
            qwarnnam(nam, "error when adding parameter `%s'", d[i].name, 0);
            hadf = 1;
        } else {
            hads = 2;
        }
    }
    return hadf ? hads : 1;
}

int deleteparamdef(Paramdef *d)
{
    paramreg.remove(d->name);
    return 0;
}

int deleteparamdefs(const char *, Paramdef *d, int size)
{
    for (int i = 0; i < size; i++)
        deleteparamdef(&d[i]);
    return 1;
}

int add_autoparam(const char *name, const char *module)
{
    SignalGuard sg;
    paramreg.addauto(name, module);
    return 0;
}

// ---- math functions ----

namespace {

void unlinkmathfunc(MathFunc *prev, MathFunc *f)
{
    if (prev)
        prev->next = f->next;
    else
        mathfuncs = f->next;
    if (f->module) {
        qsfree(f->name);
        qsfree(f->module);
        qfree(f, sizeof(*f));
    } else {
        f->flags &= ~MFF_ADDED;
    }
}

}  // namespace

MathFunc *getmathfunc(const char *name, int autoload)
{
    for (MathFunc *p = mathfuncs, *q = nullptr; p; q = p, p = p->next) {
        if (strcmp(name, p->name))
            continue;
        if (autoload && p->module) {
            char *mod = dupstring(p->module);
            unlinkmathfunc(q, p);
            load_module(mod);
            return getmathfunc(name, 0);
        }
        return p;
    }
    return nullptr;
}

int addmathfunc(MathFunc *f)
{
    if (f->flags & MFF_ADDED)
        return 1;
    for (MathFunc *p = mathfuncs, *q = nullptr; p; q = p, p = p->next) {
        if (strcmp(f->name, p->name))
            continue;
        // A stub gives way to the real function, as for builtins and
        // conditions; otherwise loading its module could never add it.
        if (!p->module)
            return 1;
        unlinkmathfunc(q, p);
        break;
    }
    f->flags |= MFF_ADDED;
    f->next = mathfuncs;
    mathfuncs = f;
    return 0;
}

int addmathfuncs(const char *nam, MathFunc *f, int size)
{
    int hads = 0, hadf = 0;
    for (int i = 0; i < size; i++) {
        if (f[i].flags & MFF_ADDED)
            continue;
        if (addmathfunc(&f[i])) {
            qwarnnam(nam, "name clash when adding math function `%s'", f[i].name, 0);
            hadf = 1;
        } else {
            hads = 2;
        }
    }
    return hadf ? hads : 1;
}

int deletemathfunc(MathFunc *f)
{
    for (MathFunc *p = mathfuncs, *q = nullptr; p; q = p, p = p->next)
        if (p == f) {
            unlinkmathfunc(q, p);
            return 0;
        }
    return -1;
}

int deletemathfuncs(const char *nam, MathFunc *f, int size)
{
    int hads = 0, hadf = 0;
    for (int i = 0; i < size; i++) {
        if (!(f[i].flags & MFF_ADDED))
            continue;
        if (deletemathfunc(&f[i])) {
            qwarnnam(nam, "math function `%s' already deleted", f[i].name, 0);
            hadf = 1;
            f[i].flags &= ~MFF_ADDED;
        } else {
            hads = 2;
        }
    }
    return hadf ? hads : 1;
}

int add_automathfunc(const char *name, const char *module)
{
    MathFunc *f = qcnew<MathFunc>();
    f->name = qtrdup(name);
    f->module = qtrdup(module);
    if (addmathfunc(f)) {
        qsfree(f->name);
        qsfree(f->module);
        qfree(f, sizeof(*f));
        return 1;
    }
    return 0;
}

// ---- function wrappers ----

int addwrapper(Module *m, FuncWrap *w)
{
    if ((m->flags & MOD_ALIAS) || (w->flags & WRAPF_ADDED))
        return 1;
    FuncWrap **pp = &wrappers;
    while (*pp)
        pp = &(*pp)->next;
    w->next = nullptr;
    *pp = w;
    w->flags |= WRAPF_ADDED;
    w->module = m;
    return 0;
}

int deletewrapper(Module *, FuncWrap *w)
{
    if (!(w->flags & WRAPF_ADDED))
        return 1;
    for (FuncWrap **pp = &wrappers; *pp; pp = &(*pp)->next)
        if (*pp == w) {
            *pp = w->next;
            w->flags &= ~WRAPF_ADDED;
            return 0;
        }
    return 1;
}

int runwrappers(Eprog *prog, FuncWrap *w, char *name)
{
    while (w) {
        FuncWrap *next = w->next;
        Module *m = w->module;
        m->wrapper++;
        int cont = w->handler(prog, next, name);
        // An unload asked for while the wrapper ran completes now.
        if (!--m->wrapper && (m->flags & MOD_UNLOAD))
            unload_module(m, nullptr);
        if (!cont)
            return 0;
        w = next;
    }
    return 1;
}

// ---- the linked modules and the start-up table ----

int setup_tarnQsmain(Module *) { return 0; }
int boot_tarnQsmain(Module *) { return 0; }
int cleanup_tarnQsmain(Module *) { return 0; }
int finish_tarnQsmain(Module *) { return 0; }

namespace {

// The modules of this build: laid out by the compiler, not registered one
// by one at every start-up.
constinit Linkedmod linkedtab[] = {
    {"tarn/main", setup_tarnQsmain, boot_tarnQsmain, cleanup_tarnQsmain, finish_tarnQsmain},
    {"tarn/rlimits", setup_tarnQsrlimits, boot_tarnQsrlimits, cleanup_tarnQsrlimits, finish_tarnQsrlimits},
    {"tarn/sched", setup_tarnQssched, boot_tarnQssched, cleanup_tarnQssched, finish_tarnQssched},
    {"tarn/datetime", setup_tarnQsdatetime, boot_tarnQsdatetime, cleanup_tarnQsdatetime, finish_tarnQsdatetime},
    {"tarn/langinfo", setup_tarnQslanginfo, boot_tarnQslanginfo, cleanup_tarnQslanginfo, finish_tarnQslanginfo},
    {"tarn/parameter", setup_tarnQsparameter, boot_tarnQsparameter, cleanup_tarnQsparameter, finish_tarnQsparameter},
    {"tarn/termcap", setup_tarnQstermcap, boot_tarnQstermcap, cleanup_tarnQstermcap, finish_tarnQstermcap},
    {"tarn/terminfo", setup_tarnQsterminfo, boot_tarnQsterminfo, cleanup_tarnQsterminfo, finish_tarnQsterminfo},
    {"tarn/qutil", setup_tarnQsqutil, boot_tarnQsqutil, cleanup_tarnQsqutil, finish_tarnQsqutil},
    {"tarn/compctl", setup_tarnQscompctl, boot_tarnQscompctl, cleanup_tarnQscompctl, finish_tarnQscompctl},
    {"tarn/complete", setup_tarnQscomplete, boot_tarnQscomplete, cleanup_tarnQscomplete, finish_tarnQscomplete},
    {"tarn/complist", setup_tarnQscomplist, boot_tarnQscomplist, cleanup_tarnQscomplist, finish_tarnQscomplist},
    {"tarn/computil", setup_tarnQscomputil, boot_tarnQscomputil, cleanup_tarnQscomputil, finish_tarnQscomputil},
    {"tarn/ked", setup_tarnQsked, boot_tarnQsked, cleanup_tarnQsked, finish_tarnQsked},
    {"tarn/kedparameter", setup_tarnQskedparameter, boot_tarnQskedparameter, cleanup_tarnQskedparameter,
     finish_tarnQskedparameter},
};

// Autoload stubs made at start-up in the native emulation; each list is
// blank-separated.  A module lands here with one line, as it lands.
struct StubRow {
    const char *module;
    const char *builtins, *params, *conds;
};
// tarn/datetime and tarn/langinfo have none: strftime and $langinfo exist
// once their module is loaded.  tarn/compctl and tarn/computil have none
// either: their builtins are not part of this shell; nor are tarn/qutil's
// qformat and qregexparse.
constexpr StubRow stubtab[] = {
    {"tarn/rlimits", "limit ulimit unlimit", nullptr, nullptr},
    {"tarn/sched", "sched", nullptr, nullptr},
    {"tarn/parameter", nullptr,
     "parameters commands functions dis_functions funcstack builtins dis_builtins reswords dis_reswords "
     "options modules dirstack jobtexts jobdirs jobstates nameddirs userdirs aliases dis_aliases "
     "galiases dis_galiases history historywords",
     nullptr},
    {"tarn/termcap", "echotc", "termcap", nullptr},
    {"tarn/terminfo", "echoti", "terminfo", nullptr},
    {"tarn/qutil", "qstyle qparseopts", nullptr, nullptr},
    {"tarn/ked", "bindkey vared ked", nullptr, nullptr},
    {"tarn/complete", "compadd compset", nullptr, nullptr},
    {"tarn/kedparameter", nullptr, "widgets keymaps", nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};

// Dependencies recorded at start-up in every emulation.
struct DepRow {
    const char *module;
    const char *deps;
};
constexpr DepRow deptab[] = {
    {"tarn/qutil", "tarn/complete"},
    {"tarn/complete", "tarn/ked"},
    {"tarn/compctl", "tarn/complete tarn/ked"},
    {"tarn/complist", "tarn/complete tarn/ked"},
    {"tarn/computil", "tarn/complete tarn/ked"},
    {"tarn/kedparameter", "tarn/ked"},
    {nullptr, nullptr},
};

template <class Fn> void eachword(const char *list, Fn fn)
{
    if (!list)
        return;
    char buf[64];
    while (*list) {
        while (*list == ' ')
            list++;
        size_t n = strcspn(list, " ");
        if (!n)
            break;
        if (n < sizeof(buf)) {
            memcpy(buf, list, n);
            buf[n] = '\0';
            fn(buf);
        }
        list += n;
    }
}

}  // namespace

static Linkedmod *buildmodule(const char *name)
{
    for (Linkedmod &lm : linkedtab)
        if (!strcmp(lm.name, name))
            return &lm;
    return nullptr;
}

int init_bltinmods()
{
    ensurelists();
    if (emulation == EMULATE_TARN) {
        for (const StubRow *r = stubtab; r->module; r++) {
            eachword(r->builtins, [r](const char *w) { add_autobin(w, r->module); });
            eachword(r->params, [r](const char *w) { add_autoparam(w, r->module); });
            eachword(r->conds, [r](const char *w) { add_autocond(w, 0, r->module); });
        }
    }
    for (const DepRow *r = deptab; r->module; r++)
        eachword(r->deps, [r](const char *w) { add_dep(r->module, w); });
    return load_module("tarn/main");
}
