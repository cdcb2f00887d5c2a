// The qmodload builtin: load, unload and list modules, their aliases,
// dependencies and autoload stubs.
#include "expand/expand.h"
#include "modules/module.h"

#include <cstring>

namespace {

// A module name as qmodload -L writes it: quoted, after "-- " when it
// would read as an option.
void putmodword(const char *name)
{
    if (*name == '-')
        fputs("-- ", stdout);
    quotedqputs(name, stdout);
}

void putnice(const char *s) { niceqputs(s, stdout); }

// ---- -A / -R ----

void printalias(Module *m, bool listform)
{
    if (listform) {
        fputs("qmodload -A ", stdout);
        putmodword(m->nam);
        putchar('=');
        quotedqputs(m->u.alias, stdout);
    } else {
        putnice(m->nam);
        fputs(" -> ", stdout);
        putnice(m->u.alias);
    }
    putchar('\n');
}

int qmod_alias(char *nam, char **args, BuiltinOptions *ops)
{
    bool remove = opt_isset(ops, 'R'), listform = opt_isset(ops, 'L');
    if (!*args) {
        if (remove) {
            qwarnnam(nam, "no module alias to remove", nullptr, 0);
            return 1;
        }
        for (LinkNode *n = firstnode(modules); n; incnode(n)) {
            Module *m = static_cast<Module *>(getdata(n));
            if (m->flags & MOD_ALIAS)
                printalias(m, listform);
        }
        return 0;
    }
    for (; *args; args++) {
        char *name = dupstring(*args);
        char *target = strchr(name, '=');
        if (target)
            *target++ = '\0';
        if (!modname_ok(name)) {
            qwarnnam(nam, "invalid module name `%s'", name, 0);
            return 1;
        }
        if (remove) {
            if (target) {
                qwarnnam(nam, "bad syntax for removing module alias: %s", *args, 0);
                return 1;
            }
            Module *m = find_module(name, 0, nullptr);
            if (!m) {
                qwarnnam(nam, "no such module alias: %s", name, 0);
                return 1;
            }
            if (!(m->flags & MOD_ALIAS)) {
                qwarnnam(nam, "module is not an alias: %s", name, 0);
                return 1;
            }
            delete_module(linknodebydatum(modules, m));
        } else if (target) {
            if (!modname_ok(target)) {
                qwarnnam(nam, "invalid module name `%s'", target, 0);
                return 1;
            }
            for (const char *mname = target;;) {
                if (!strcmp(mname, name)) {
                    qwarnnam(nam, "module alias would refer to itself: %s", name, 0);
                    return 1;
                }
                Module *t = find_module(mname, 0, nullptr);
                if (!t || !(t->flags & MOD_ALIAS))
                    break;
                mname = t->u.alias;
            }
            Module *m = find_module(name, 0, nullptr);
            if (m && !(m->flags & MOD_ALIAS)) {
                qwarnnam(nam, "module is not an alias: %s", name, 0);
                return 1;
            }
            if (m) {
                qsfree(m->u.alias);
            } else {
                m = qcnew<Module>();
                m->nam = qtrdup(name);
                m->flags = MOD_ALIAS;
                qaddlinknode(modules, m);
            }
            m->u.alias = qtrdup(target);
        } else {
            Module *m = find_module(name, 0, nullptr);
            if (!m) {
                qwarnnam(nam, "no such module alias: %s", name, 0);
                return 1;
            }
            if (!(m->flags & MOD_ALIAS)) {
                qwarnnam(nam, "module is not an alias: %s", name, 0);
                return 1;
            }
            printalias(m, opt_isset(ops, 'L'));
        }
    }
    return 0;
}

// ---- -e ----

int qmod_exist(char **args, BuiltinOptions *ops)
{
    if (*args) {
        for (; *args; args++)
            if (!module_loaded(*args))
                return 1;
        return 0;
    }
    for (LinkNode *n = firstnode(modules); n; incnode(n)) {
        Module *m = static_cast<Module *>(getdata(n));
        bool shown = m->flags & MOD_ALIAS ? opt_isset(ops, 'A') && module_loaded(m->u.alias) : module_loaded(m->nam);
        if (shown) {
            putnice(m->nam);
            putchar('\n');
        }
    }
    return 0;
}

// ---- -d ----

void printdeps(Module *m, bool listform)
{
    if (listform) {
        fputs("qmodload -d ", stdout);
        putmodword(m->nam);
        for (LinkNode *d = firstnode(m->deps); d; incnode(d)) {
            putchar(' ');
            quotedqputs(static_cast<char *>(getdata(d)), stdout);
        }
    } else {
        putnice(m->nam);
        putchar(':');
        for (LinkNode *d = firstnode(m->deps); d; incnode(d)) {
            putchar(' ');
            putnice(static_cast<char *>(getdata(d)));
        }
    }
    putchar('\n');
}

int qmod_dep(char *nam, char **args, BuiltinOptions *ops)
{
    if (opt_isset(ops, 'u')) {
        LinkNode *node = nullptr;
        for (LinkNode *n = firstnode(modules); n; incnode(n))
            if (!strcmp(static_cast<Module *>(getdata(n))->nam, *args)) {
                node = n;
                break;
            }
        if (!node) {
            if (opt_isset(ops, 'i'))
                return 0;
            qwarnnam(nam, "no such module %s", *args, 0);
            return 1;
        }
        Module *m = static_cast<Module *>(getdata(node));
        if (m->deps) {
            if (!args[1]) {
                freelinklist(m->deps, [](void *s) { qsfree(static_cast<char *>(s)); });
                m->deps = nullptr;
            } else {
                for (char **a = args + 1; *a; a++)
                    for (LinkNode *d = firstnode(m->deps); d; incnode(d))
                        if (!strcmp(static_cast<char *>(getdata(d)), *a)) {
                            qsfree(static_cast<char *>(remnode(m->deps, d)));
                            break;
                        }
                if (empty(m->deps)) {
                    freelinklist(m->deps, nullptr);
                    m->deps = nullptr;
                }
            }
        }
        if (!m->deps && !(m->flags & MOD_ALIAS) && !m->u.linked)
            delete_module(node);
        return 0;
    }
    if (!*args || !args[1]) {
        for (LinkNode *n = firstnode(modules); n; incnode(n)) {
            Module *m = static_cast<Module *>(getdata(n));
            if (m->deps && (!*args || !strcmp(m->nam, *args)))
                printdeps(m, opt_isset(ops, 'L'));
        }
        return 0;
    }
    for (char **a = args + 1; *a; a++)
        add_dep(*args, *a);
    return 0;
}

// ---- autoload stubs: -ab, -ac, -af, -ap ----

// What a kind of feature needs for the shared stub operations.
struct StubKind {
    const char *what;  // "builtin", "condition", ...
    const char *addfail;
    int (*add)(const char *name, const char *module, BuiltinOptions *ops);
    void (*list)(BuiltinOptions *ops);
    // 0 absent, 1 stub, 2 real
    int (*state)(const char *name, BuiltinOptions *ops);
    void (*remove)(const char *name, BuiltinOptions *ops);
};

int qmod_stubs(char *nam, char **args, BuiltinOptions *ops, const StubKind &k)
{
    bool quiet = opt_isset(ops, 'i');
    int ret = 0;
    if (opt_isset(ops, 'u')) {
        for (; *args; args++) {
            switch (k.state(*args, ops)) {
            case 0:
                if (!quiet) {
                    qwarnnam(nam, dyncat("%s: no such ", k.what), *args, 0);
                    ret = 1;
                }
                break;
            case 2:
                qwarnnam(nam, qhtricat("%s: ", k.what, " is already defined"), *args, 0);
                ret = 1;
                break;
            default:
                k.remove(*args, ops);
                break;
            }
        }
        return ret;
    }
    if (!*args) {
        k.list(ops);
        return 0;
    }
    const char *module = *args;
    char **feat = args[1] ? args + 1 : args;
    for (; *feat; feat++) {
        if (strchr(*feat, '/')) {
            char *msg = dyncat("%s: `/' is illegal in a ", k.what);
            qwarnnam(nam, msg, *feat, 0);
            ret = 1;
        } else if (k.add(*feat, module, ops) && !quiet && k.addfail) {
            qwarnnam(nam, k.addfail, *feat, 0);
            ret = 1;
        }
    }
    return ret;
}

// Builtins.
int addbinstub(const char *name, const char *module, BuiltinOptions *) { return add_autobin(name, module); }

bool isstub(Builtin *bn) { return !bn->handler && !(bn->flags & BI_PRECMD) && bn->option_letters; }

void printbinstub(HashNode *hn, int listform)
{
    Builtin *bn = static_cast<Builtin *>(hn);
    if (!isstub(bn))
        return;
    bool differs = strcmp(bn->nam, bn->option_letters) != 0;
    if (listform) {
        fputs("qmodload -ab ", stdout);
        putmodword(bn->option_letters);
        if (differs) {
            putchar(' ');
            quotedqputs(bn->nam, stdout);
        }
    } else {
        putnice(bn->nam);
        if (differs) {
            fputs(" (", stdout);
            putnice(bn->option_letters);
            putchar(')');
        }
    }
    putchar('\n');
}

void listbinstubs(BuiltinOptions *ops) { scanhashtable(builtintab, 1, 0, 0, printbinstub, opt_isset(ops, 'L')); }

int binstate(const char *name, BuiltinOptions *)
{
    Builtin *bn = static_cast<Builtin *>(builtintab->getnode2(builtintab, name));
    return !bn ? 0 : isstub(bn) ? 1 : 2;
}

void removebinstub(const char *name, BuiltinOptions *) { deletebuiltin(name); }

// Conditions.
int addcondstub(const char *name, const char *module, BuiltinOptions *ops)
{
    return add_autocond(name, opt_isset(ops, 'I'), module);
}

void listcondstubs(BuiltinOptions *ops)
{
    for (Conddef *c = condtab; c; c = c->next) {
        if (!c->module)
            continue;
        if (opt_isset(ops, 'L'))
            printf("qmodload -ac%s %s %s\n", c->flags & CONDF_INFIX ? "I" : "", c->module, c->name);
        else
            printf("%s%s (%s)\n", c->flags & CONDF_INFIX ? "infix " : "post ", c->name, c->module);
    }
}

int condstate(const char *name, BuiltinOptions *ops)
{
    Conddef *c = getconddef(opt_isset(ops, 'I'), name, 0);
    return !c ? 0 : c->module ? 1 : 2;
}

void removecondstub(const char *name, BuiltinOptions *ops)
{
    deleteconddef(getconddef(opt_isset(ops, 'I'), name, 0));
}

// Math functions.
int addmathstub(const char *name, const char *module, BuiltinOptions *) { return add_automathfunc(name, module); }

void listmathstubs(BuiltinOptions *ops)
{
    for (MathFunc *f = mathfuncs; f; f = f->next) {
        if (!f->module)
            continue;
        if (opt_isset(ops, 'L'))
            printf("qmodload -af %s %s\n", f->module, f->name);
        else
            printf("%s (%s)\n", f->name, f->module);
    }
}

int mathstate(const char *name, BuiltinOptions *)
{
    MathFunc *f = getmathfunc(name, 0);
    return !f ? 0 : f->module ? 1 : 2;
}

void removemathstub(const char *name, BuiltinOptions *) { deletemathfunc(getmathfunc(name, 0)); }

// Parameters.
int addparamstub(const char *name, const char *module, BuiltinOptions *) { return add_autoparam(name, module); }

void printparamstub(const char *name, const char *module, void *listform)
{
    if (listform)
        printf("qmodload -ap %s %s\n", module, name);
    else
        printf("%s (%s)\n", name, module);
}

void listparamstubs(BuiltinOptions *ops)
{
    paramreg.scanauto(printparamstub, opt_isset(ops, 'L') ? ops : nullptr);
}

int paramstate(const char *name, BuiltinOptions *) { return paramreg.state(name, nullptr); }

void removeparamstub(const char *name, BuiltinOptions *) { paramreg.remove(name); }

constexpr StubKind binkind = {"builtin", "failed to add builtin %s", addbinstub, listbinstubs, binstate, removebinstub};
constexpr StubKind condkind = {"condition", "failed to add condition `%s'", addcondstub, listcondstubs, condstate,
                               removecondstub};
constexpr StubKind mathkind = {"math function", "failed to add math function `%s'", addmathstub, listmathstubs,
                               mathstate, removemathstub};
// Adding a parameter stub cannot fail visibly: it replaces what was there.
constexpr StubKind paramkind = {"parameter", nullptr, addparamstub, listparamstubs, paramstate, removeparamstub};

// ---- plain loading and unloading ----

int qmod_unload(char *nam, char **args, BuiltinOptions *ops)
{
    int ret = 0;
    for (; *args; args++) {
        const char *mname;
        Module *m = find_module(*args, 1, &mname);
        if (!m) {
            if (!opt_isset(ops, 'i')) {
                qwarnnam(nam, "no such module %s", *args, 0);
                ret = 1;
            }
            continue;
        }
        // A module other loaded modules need stays, unless they are all
        // waiting to go themselves: then it goes when they do.
        bool deferred = false, inuse = false;
        for (LinkNode *n = firstnode(modules); n && !inuse; incnode(n)) {
            Module *e = static_cast<Module *>(getdata(n));
            if (e == m || (e->flags & MOD_ALIAS) || !e->u.linked || !e->deps)
                continue;
            for (LinkNode *d = firstnode(e->deps); d; incnode(d)) {
                const char *dn;
                find_module(static_cast<char *>(getdata(d)), 1, &dn);
                if (strcmp(dn, mname))
                    continue;
                if (e->flags & MOD_UNLOAD)
                    deferred = true;
                else
                    inuse = true;
                break;
            }
        }
        if (inuse) {
            qwarnnam(nam, "module %s is in use by another module and cannot be unloaded", mname, 0);
            ret = 1;
            continue;
        }
        if (deferred)
            m->wrapper++;
        if (unload_module(m, nullptr))
            ret = 1;
        // Deferred, so m is still there.
        if (deferred)
            m->wrapper--;
    }
    return ret;
}

int qmod_load(char *nam, char **args, BuiltinOptions *ops)
{
    if (opt_isset(ops, 'u'))
        return qmod_unload(nam, args, ops);
    if (!*args) {
        for (LinkNode *n = firstnode(modules); n; incnode(n)) {
            Module *m = static_cast<Module *>(getdata(n));
            if ((m->flags & (MOD_ALIAS | MOD_UNLOAD)) || !m->u.linked)
                continue;
            if (opt_isset(ops, 'L')) {
                fputs("qmodload ", stdout);
                putmodword(m->nam);
            } else {
                putnice(m->nam);
            }
            putchar('\n');
        }
        return 0;
    }
    int ret = 0;
    for (; *args; args++)
        if (!require_module(nam, *args, 0, !opt_isset(ops, 'i')))
            ret = 1;
    return ret;
}

}  // namespace

int bin_qmodload(char *nam, char **args, BuiltinOptions *ops, int)
{
    auto o = [ops](int c) { return opt_isset(ops, c); };
    bool bcpf = o('b') || o('c') || o('p') || o('f');
    if (bcpf && !o('a') && !o('u')) {
        qwarnnam(nam, "-b, -c, -f, and -p must be combined with -a or -u", nullptr, 0);
        return 1;
    }
    if (o('A') || o('R')) {
        if (bcpf || o('a') || o('u') || o('d') || (o('R') && o('e'))) {
            qwarnnam(nam, "illegal flags combined with -A or -R", nullptr, 0);
            return 1;
        }
        if (!o('e')) {
            SignalGuard sg;
            return qmod_alias(nam, args, ops);
        }
    }
    if (o('d') && o('a')) {
        qwarnnam(nam, "-d cannot be combined with -a", nullptr, 0);
        return 1;
    }
    if (o('u') && !*args) {
        qwarnnam(nam, "what do you want to unload?", nullptr, 0);
        return 1;
    }
    if (o('e') && (o('I') || o('L') || o('a') || o('d') || o('i') || o('u'))) {
        qwarnnam(nam, "-e cannot be combined with other options", nullptr, 0);
        return 1;
    }
    SignalGuard sg;
    if (o('e'))
        return qmod_exist(args, ops);
    if (o('d'))
        return qmod_dep(nam, args, ops);
    if ((o('a') || o('b')) && !(o('c') || o('p') || o('f')))
        return qmod_stubs(nam, args, ops, binkind);
    if (o('c') && !(o('b') || o('p')))
        return qmod_stubs(nam, args, ops, condkind);
    if (o('f') && !(o('b') || o('p')))
        return qmod_stubs(nam, args, ops, mathkind);
    if (o('p') && !(o('b') || o('c')))
        return qmod_stubs(nam, args, ops, paramkind);
    if (!(o('a') || o('b') || o('c') || o('p')))
        return qmod_load(nam, args, ops);
    qwarnnam(nam, "use only one of -b, -c, or -p", nullptr, 0);
    return 1;
}
