// tarn/parameter: the shell's own tables as parameters: $commands,
// $functions, $options, $aliases and the others, computed when read and
// written through to the tables where that makes sense.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "history/history.h"
#include "jobs/jobs.h"
#include "modules/extra/extra.h"

#include <pwd.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>

namespace {

using ScanFn = void (*)(const char *key, char *val, void *data);

char *metacopy(const char *s) { return metafy(const_cast<char *>(s), -1, META_HEAPDUP); }

// The elements of a whole assignment, in the table's order.
template <class Fn> void eachelem(HashTable *elems, Fn fn)
{
    for (int i = 0; i < elems->hsize; i++)
        for (HashNode *hn = elems->nodes[i]; hn; hn = hn->next) {
            Param *e = static_cast<Param *>(hn);
            fn(e->nam, e->value.str ? e->value.str : const_cast<char *>(""));
        }
}

// ---- parameters ----

struct FlagWord {
    int flag;
    const char *word;
};
constexpr FlagWord paramflagwords[] = {
    {PF_LEFT, "-left"},     {PF_RIGHT_B, "-right_blanks"}, {PF_RIGHT_Z, "-right_zeros"},
    {PF_LOWER, "-lower"},   {PF_UPPER, "-upper"},          {PF_READONLY, "-readonly"},
    {PF_TAGGED, "-tag"},    {PF_EXPORTED, "-export"},      {PF_UNIQUE, "-unique"},
    {PF_HIDE, "-hide"},     {PF_HIDEVAL, "-hideval"},      {PF_SPECIAL, "-special"},
};

char *paramtype(Param *pm)
{
    if (pm->flags & PF_AUTOLOAD)
        return dupstring("undefined");
    const char *t;
    switch (PF_TYPE(pm->flags)) {
    case PF_ARRAY: t = "array"; break;
    case PF_INTEGER: t = "integer"; break;
    case PF_EFLOAT:
    case PF_FFLOAT: t = "float"; break;
    case PF_HASHED: t = "association"; break;
    default: t = "scalar"; break;
    }
    char *s = dupstring(t);
    if (pm->level)
        s = dyncat(s, "-local");
    for (const FlagWord &f : paramflagwords)
        if (pm->flags & f.flag)
            s = dyncat(s, f.word);
    return s;
}

bool paramshown(Param *pm) { return pm && (!(pm->flags & PF_UNSET) || (pm->flags & PF_AUTOLOAD)); }

char *paramsget(const char *key)
{
    Param *pm = static_cast<Param *>(gethashnode2(realparamtab, key));
    return paramshown(pm) ? paramtype(pm) : nullptr;
}

void paramsscan(ScanFn fn, void *data)
{
    for (int i = 0; i < realparamtab->hsize; i++)
        for (HashNode *hn = realparamtab->nodes[i]; hn; hn = hn->next)
            if (paramshown(static_cast<Param *>(hn)))
                fn(hn->nam, paramtype(static_cast<Param *>(hn)), data);
}

// ---- commands ----

char *cmdpath(CmdEntry *cn)
{
    if (cn->flags & CMD_HASHED)
        return dupstring(cn->fullpath);
    return qhtricat(cn->name && *cn->name ? *cn->name : "", "/", cn->nam);
}

char *commandsget(const char *key)
{
    CmdEntry *cn = static_cast<CmdEntry *>(cmdnamtab->getnode(cmdnamtab, key));
    if (!cn && isset(HASHLISTALL)) {
        cmdnamtab->filltable(cmdnamtab);
        cn = static_cast<CmdEntry *>(cmdnamtab->getnode(cmdnamtab, key));
    }
    return cn ? cmdpath(cn) : nullptr;
}

void commandsscan(ScanFn fn, void *data)
{
    if (isset(HASHLISTALL))
        cmdnamtab->filltable(cmdnamtab);
    for (int i = 0; i < cmdnamtab->hsize; i++)
        for (HashNode *hn = cmdnamtab->nodes[i]; hn; hn = hn->next)
            if (!(hn->flags & NODE_DISABLED))
                fn(hn->nam, cmdpath(static_cast<CmdEntry *>(hn)), data);
}

bool commandsrestricted(const char *val)
{
    if (!isset(RESTRICTED))
        return false;
    qerr("restricted: %s", val, 0);
    return true;
}

void hashcommand(const char *key, char *val)
{
    CmdEntry *cn = qcnew<CmdEntry>();
    cn->flags = CMD_HASHED;
    cn->fullpath = val;
    cmdnamtab->addnode(cmdnamtab, qtrdup(key), cn);
}

void commandsset(const char *key, char *val)
{
    if (commandsrestricted(val)) {
        qsfree(val);
        return;
    }
    hashcommand(key, val);
}

void removefrom(HashTable *ht, const char *key)
{
    if (HashNode *hn = ht->removenode(ht, key))
        ht->freenode(hn);
}

void commandsunset(const char *key) { removefrom(cmdnamtab, key); }

void commandssetall(HashTable *elems)
{
    bool refused = false;
    eachelem(elems, [&](const char *, char *val) { refused = refused || commandsrestricted(val); });
    if (refused)
        return;
    eachelem(elems, [](const char *key, char *val) { hashcommand(key, qtrdup(val)); });
}

// ---- functions, dis_functions ----

char *functext(ShellFunc *shf)
{
    if (shf->flags & PM_UNDEFINED) {
        char *s = dupstring("builtin autoload -X");
        if (shf->flags & PM_UNALIASED)
            s = dyncat(s, "U");
        if (shf->flags & PM_TAGGED)
            s = dyncat(s, "t");
        return s;
    }
    if (!shf->funcdef)
        return dupstring("");
    char *t = getpermtext(shf->funcdef, nullptr, 1);
    char *s = dyncat("\t", t);
    qsfree(t);
    if (shf->funcdef->flags & EF_RUN)
        s = qhtricat(s, "\n\t", dyncat(shf->nam, " \"$@\""));
    return s;
}

template <bool Disabled> char *funcsget(const char *key)
{
    ShellFunc *shf = static_cast<ShellFunc *>(gethashnode2(shfunctab, key));
    if (!shf || !(shf->flags & NODE_DISABLED) != !Disabled)
        return nullptr;
    return functext(shf);
}

template <bool Disabled> void funcsscan(ScanFn fn, void *data)
{
    for (int i = 0; i < shfunctab->hsize; i++)
        for (HashNode *hn = shfunctab->nodes[i]; hn; hn = hn->next)
            if (!(hn->flags & NODE_DISABLED) == !Disabled)
                fn(hn->nam, functext(static_cast<ShellFunc *>(hn)), data);
}

// A function body parsed into a permanent program; null after the message.
Eprog *funcbody(const char *key, const char *val)
{
    int olderr = errflag;
    Eprog *prog;
    {
        NoErrsGuard quiet(1);
        prog = parse_string(dupstring(val), 0);
    }
    if (!prog || errflag) {
        errflag = olderr;
        qerr("invalid function definition", key, 0);
        return nullptr;
    }
    return dupeprog(prog, 0);
}

void definefunc(const char *key, Eprog *prog, bool disabled)
{
    ShellFunc *shf = newshfunc();
    shf->funcdef = prog;
    shf->flags = disabled ? NODE_DISABLED : 0;
    int sig;
    if (!strncmp(key, "TRAP", 4) && (sig = getsignum(key + 4)) != -1 && settrapfunc(sig, shf)) {
        freeeprog(prog);
        qfree(shf);
        return;
    }
    shfunctab->addnode(shfunctab, qtrdup(key), shf);
}

template <bool Disabled> void funcsset(const char *key, char *val)
{
    Eprog *prog = funcbody(key, val);
    qsfree(val);
    if (prog)
        definefunc(key, prog, Disabled);
}

void funcsunset(const char *key) { removefrom(shfunctab, key); }

template <bool Disabled> void funcssetall(HashTable *elems)
{
    HeapGuard hg;
    LinkList *progs = newlinklist();
    bool bad = false;
    eachelem(elems, [&](const char *key, char *val) {
        if (bad)
            return;
        if (Eprog *p = funcbody(key, val))
            addlinknode(progs, p);
        else
            bad = true;
    });
    LinkNode *n = firstnode(progs);
    eachelem(elems, [&](const char *key, char *) {
        if (!n)
            return;
        Eprog *p = static_cast<Eprog *>(getdata(n));
        incnode(n);
        if (bad)
            freeeprog(p);
        else
            definefunc(key, p, Disabled);
    });
}

// ---- funcstack ----

char **funcstackget(Param *)
{
    int n = 0;
    for (FuncStack *f = funcstack; f; f = f->prev)
        n++;
    char **a = qhnew<char *>(size_t(n) + 1), **p = a;
    for (FuncStack *f = funcstack; f; f = f->prev)
        *p++ = dupstring(f->name);
    *p = nullptr;
    return a;
}

// ---- history, historywords ----

char *historyget(const char *key)
{
    // A decimal number without leading zeros names an event.
    if (!idigit(static_cast<unsigned char>(*key)) || (key[0] == '0' && key[1]))
        return nullptr;
    char *end;
    long n = strtol(key, &end, 10);
    if (*end)
        return nullptr;
    HistEntry *he = gethistent(n, 0);
    return he && he != &curline ? dupstring(he->nam) : nullptr;
}

void historyscan(ScanFn fn, void *data)
{
    HistEntry *he = hist_ring;
    if (he == &curline)
        he = olderhistent(he);
    // Lines another shell wrote come first only when they are the newest.
    while (he && (he->flags & HE_FOREIGN))
        he = olderhistent(he);
    char num[24];
    for (; he; he = olderhistent(he)) {
        snprintf(num, sizeof num, "%ld", he->number);
        fn(num, dupstring(he->nam), data);
    }
}

char **historywordsget(Param *)
{
    LinkList *l = bufferwords(nullptr, nullptr, nullptr);
    for (HistEntry *he = hist_ring; he; he = olderhistent(he)) {
        if (he == &curline)
            continue;
        for (int i = histnwords(he) - 1; i >= 0; i--) {
            uint32_t s = he->words[i * 2], e = he->words[i * 2 + 1];
            addlinknode(l, dupstrpfx(he->nam + s, e - s));
        }
    }
    int n = countlinknodes(l);
    char **a = qhnew<char *>(size_t(n) + 1), **p = a;
    for (LinkNode *nd = firstnode(l); nd; incnode(nd))
        *p++ = static_cast<char *>(getdata(nd));
    *p = nullptr;
    return a;
}

// ---- builtins, dis_builtins ----

char *builtinstate(Builtin *bn)
{
    bool defined = bn->handler || (bn->flags & BI_PRECMD) ||
                   (bn->option_letters && module_loaded(bn->option_letters));
    return dupstring(defined ? "defined" : "undefined");
}

template <bool Disabled> char *builtinsget(const char *key)
{
    Builtin *bn = static_cast<Builtin *>(gethashnode2(builtintab, key));
    if (!bn || !(bn->flags & NODE_DISABLED) != !Disabled)
        return nullptr;
    return builtinstate(bn);
}

template <bool Disabled> void builtinsscan(ScanFn fn, void *data)
{
    for (int i = 0; i < builtintab->hsize; i++)
        for (HashNode *hn = builtintab->nodes[i]; hn; hn = hn->next)
            if (!(hn->flags & NODE_DISABLED) == !Disabled)
                fn(hn->nam, builtinstate(static_cast<Builtin *>(hn)), data);
}

// ---- reswords, dis_reswords ----

template <bool Disabled> char **reswordsget(Param *)
{
    char **a = qhnew<char *>(size_t(reswdtab->ct) + 1), **p = a;
    for (int i = 0; i < reswdtab->hsize; i++)
        for (HashNode *hn = reswdtab->nodes[i]; hn; hn = hn->next)
            if (!(hn->flags & NODE_DISABLED) == !Disabled)
                *p++ = dupstring(hn->nam);
    *p = nullptr;
    return a;
}

// ---- options ----

char *optstate(int optno)
{
    bool on = optno < 0 ? !isset(-optno) : isset(optno);
    return dupstring(on ? "on" : "off");
}

char *optionsget(const char *key)
{
    int optno = optlookup(key);
    return optno ? optstate(optno) : nullptr;
}

void optionsscan(ScanFn fn, void *data)
{
    HashTable *ht = optiontable();
    for (int i = 0; i < ht->hsize; i++)
        for (HashNode *hn = ht->nodes[i]; hn; hn = hn->next)
            fn(hn->nam, optstate(static_cast<OptName *>(hn)->optno), data);
}

// The option an element names and the value it asks for; false after a
// message.
bool optionelem(const char *key, const char *val, int *optno, int *value)
{
    if (!strcmp(val, "on"))
        *value = 1;
    else if (!strcmp(val, "off"))
        *value = 0;
    else {
        qerr("invalid value: %s", val, 0);
        return false;
    }
    if (!(*optno = optlookup(key))) {
        qerr("no such option: %s", key, 0);
        return false;
    }
    return true;
}

bool setoption(const char *key, int optno, int value)
{
    if (dosetopt(optno, value, 0)) {
        qerr("can't change option: %s", key, 0);
        return false;
    }
    return true;
}

void optionsset(const char *key, char *val)
{
    int optno, value;
    if (optionelem(key, val, &optno, &value))
        setoption(key, optno, value);
    qsfree(val);
}

void optionsunset(const char *key)
{
    if (int optno = optlookup(key))
        setoption(key, optno, 0);
}

// Every element is checked first; one the shell then refuses puts back
// those already set.  Turning restricted on cannot be undone, so it
// comes last.
void optionssetall(HashTable *elems)
{
    bool bad = false;
    eachelem(elems, [&](const char *key, char *val) {
        int optno, value;
        bad = bad || !optionelem(key, val, &optno, &value);
    });
    if (bad)
        return;
    OptionSet saved = saveoptions();
    for (int pass = 0; pass < 2 && !bad; pass++)
        eachelem(elems, [&](const char *key, char *val) {
            int optno, value;
            if (bad || !optionelem(key, val, &optno, &value))
                return;
            bool last = (optno < 0 ? -optno : optno) == RESTRICTED;
            if (last == (pass == 1) && !setoption(key, optno, value))
                bad = true;
        });
    if (bad)
        for (int i = 1; i < OPT_SIZE; i++)
            if (opts[i] != saved.o[i] && i != RESTRICTED)
                dosetopt(i, saved.o[i], 1);
}

// ---- modules ----

bool stubnames(const char *key)
{
    Builtin *bn;
    for (int i = 0; i < builtintab->hsize; i++)
        for (HashNode *hn = builtintab->nodes[i]; hn; hn = hn->next)
            if (!(bn = static_cast<Builtin *>(hn))->handler && !(bn->flags & BI_PRECMD) && bn->option_letters &&
                !strcmp(bn->option_letters, key))
                return true;
    for (Conddef *c = condtab; c; c = c->next)
        if (c->module && !strcmp(c->module, key))
            return true;
    struct Find {
        const char *key;
        bool found;
    } f = {key, false};
    paramreg.scanauto(
        [](const char *, const char *module, void *data) {
            Find *fp = static_cast<Find *>(data);
            fp->found = fp->found || !strcmp(module, fp->key);
        },
        &f);
    return f.found;
}

char *modulesget(const char *key)
{
    Module *m = find_module(key, 0, nullptr);
    if (m && (m->flags & MOD_ALIAS))
        return dyncat("alias:", m->u.alias);
    if (m && m->u.linked && !(m->flags & MOD_UNLOAD))
        return dupstring("loaded");
    return stubnames(key) ? dupstring("autoloaded") : nullptr;
}

void modulesscan(ScanFn fn, void *data)
{
    LinkList *names = newlinklist();
    auto add = [&](const char *name) {
        for (LinkNode *n = firstnode(names); n; incnode(n))
            if (!strcmp(static_cast<char *>(getdata(n)), name))
                return;
        addlinknode(names, dupstring(name));
    };
    for (LinkNode *n = firstnode(modules); n; incnode(n))
        add(static_cast<Module *>(getdata(n))->nam);
    for (int i = 0; i < builtintab->hsize; i++)
        for (HashNode *hn = builtintab->nodes[i]; hn; hn = hn->next) {
            Builtin *bn = static_cast<Builtin *>(hn);
            if (!bn->handler && !(bn->flags & BI_PRECMD) && bn->option_letters)
                add(bn->option_letters);
        }
    for (Conddef *c = condtab; c; c = c->next)
        if (c->module)
            add(c->module);
    paramreg.scanauto([](const char *, const char *module, void *d) { (*static_cast<decltype(add) *>(d))(module); },
                      &add);
    for (LinkNode *n = firstnode(names); n; incnode(n)) {
        char *key = static_cast<char *>(getdata(n));
        if (char *v = modulesget(key))
            fn(key, v, data);
    }
}

// ---- dirstack ----

char **dirstackget(Param *)
{
    int n = dirstack ? countlinknodes(dirstack) : 0;
    char **a = qhnew<char *>(size_t(n) + 1), **p = a;
    if (dirstack)
        for (LinkNode *d = firstnode(dirstack); d; incnode(d))
            *p++ = dupstring(static_cast<char *>(getdata(d)));
    *p = nullptr;
    return a;
}

void dirstackset(Param *, char **a)
{
    if (!dirstack)
        dirstack = qnewlinklist();
    while (nonempty(dirstack))
        qsfree(static_cast<char *>(getlinknode(dirstack)));
    if (a)
        for (char **p = a; *p; p++)
            qaddlinknode(dirstack, *p);
    qfree(a);
}

// ---- jobtexts, jobstates, jobdirs ----

Job *shownjob(const char *key)
{
    if (!idigit(static_cast<unsigned char>(*key)))
        return nullptr;
    char *end;
    long j = strtol(key, &end, 10);
    if (*end || j < 1 || j >= maxjob || (key[0] == '0'))
        return nullptr;
    Job *jn = &jobtab[j];
    if (!(jn->stat & JOB_INUSE) || !jn->procs || (jn->stat & JOB_NOPRINT) || int(j) == thisjob)
        return nullptr;
    return jn;
}

char *jobtext(Job *jn)
{
    char *s = dupstring("");
    for (Process *pn = jn->procs; pn; pn = pn->next)
        s = pn == jn->procs ? dupstring(pn->text) : qhtricat(s, " | ", pn->text);
    return s;
}

char *procstate(Process *pn)
{
    char buf[128];
    int st = pn->status;
    if (isrunning(pn))
        return dupstring("running");
    if (WIFEXITED(st)) {
        if (!WEXITSTATUS(st))
            return dupstring("done");
        snprintf(buf, sizeof buf, "exit %d", WEXITSTATUS(st));
    } else if (WIFSTOPPED(st)) {
        return dupstring(signalmsg(WSTOPSIG(st)));
    } else if (WCOREDUMP(st)) {
        snprintf(buf, sizeof buf, "%s (core dumped)", signalmsg(WTERMSIG(st)));
    } else {
        return dupstring(signalmsg(WTERMSIG(st)));
    }
    return dupstring(buf);
}

char *jobstate(Job *jn)
{
    int j = int(jn - jobtab);
    const char *state = (jn->stat & JOB_STOPPED) ? "suspended" : (jn->stat & JOB_DONE) ? "done" : "running";
    char *s = dyncat(state, j == curjob ? ":+" : j == prevjob ? ":-" : ":");
    for (Process *pn = jn->procs; pn; pn = pn->next) {
        char buf[32];
        snprintf(buf, sizeof buf, ":%ld=", long(pn->pid));
        s = qhtricat(s, buf, procstate(pn));
    }
    return s;
}

char *jobdir(Job *jn)
{
    const char *d = jn->pwd && *jn->pwd ? jn->pwd : getsparam("PWD");
    return dupstring(d ? d : "");
}

template <char *(*Value)(Job *)> char *jobsget(const char *key)
{
    Job *jn = shownjob(key);
    return jn ? Value(jn) : nullptr;
}

template <char *(*Value)(Job *)> void jobsscan(ScanFn fn, void *data)
{
    for (int j = 1; j < maxjob; j++) {
        char key[16];
        snprintf(key, sizeof key, "%d", j);
        if (Job *jn = shownjob(key))
            fn(key, Value(jn), data);
    }
}

// ---- nameddirs, userdirs ----

char *nameddirsget(const char *key)
{
    NamedDir *nd = static_cast<NamedDir *>(nameddirtab->getnode2(nameddirtab, key));
    return nd && !(nd->flags & NDF_FROM_USERDB) ? dupstring(nd->dir) : nullptr;
}

void nameddirsscan(ScanFn fn, void *data)
{
    for (int i = 0; i < nameddirtab->hsize; i++)
        for (HashNode *hn = nameddirtab->nodes[i]; hn; hn = hn->next)
            if (!(hn->flags & NDF_FROM_USERDB))
                fn(hn->nam, dupstring(static_cast<NamedDir *>(hn)->dir), data);
}

bool nameddirvalue(const char *val)
{
    if (*val)
        return true;
    qerr("invalid value: ''", nullptr, 0);
    return false;
}

void addnameddir(const char *key, char *val)
{
    NamedDir *nd = qcnew<NamedDir>();
    nd->dir = val;
    nameddirtab->addnode(nameddirtab, qtrdup(key), nd);
}

void nameddirsset(const char *key, char *val)
{
    if (nameddirvalue(val))
        addnameddir(key, val);
    else
        qsfree(val);
}

void nameddirsunset(const char *key)
{
    NamedDir *nd = static_cast<NamedDir *>(nameddirtab->getnode2(nameddirtab, key));
    if (nd && !(nd->flags & NDF_FROM_USERDB))
        removefrom(nameddirtab, key);
}

void nameddirssetall(HashTable *elems)
{
    bool bad = false;
    eachelem(elems, [&](const char *, char *val) { bad = bad || !nameddirvalue(val); });
    if (bad)
        return;
    HeapGuard hg;
    LinkList *old = newlinklist();
    for (int i = 0; i < nameddirtab->hsize; i++)
        for (HashNode *hn = nameddirtab->nodes[i]; hn; hn = hn->next)
            if (!(hn->flags & NDF_FROM_USERDB))
                addlinknode(old, dupstring(hn->nam));
    for (LinkNode *n = firstnode(old); n; incnode(n))
        removefrom(nameddirtab, static_cast<char *>(getdata(n)));
    eachelem(elems, [](const char *key, char *val) { addnameddir(key, qtrdup(val)); });
}

// The user database itself: the named-directory cache is filled only in
// interactive shells, and a script asks the same question.
char *userdirsget(const char *key)
{
    char *name = unmeta(key);
    struct passwd *pw = name ? getpwnam(name) : nullptr;
    return pw && pw->pw_dir ? metacopy(pw->pw_dir) : nullptr;
}

void userdirsscan(ScanFn fn, void *data)
{
    setpwent();
    while (struct passwd *pw = getpwent())
        if (pw->pw_name && *pw->pw_name && pw->pw_dir)
            fn(metacopy(pw->pw_name), metacopy(pw->pw_dir), data);
    endpwent();
}

// ---- aliases, dis_aliases, galiases, dis_galiases ----

// Which aliases an array shows: global or regular, disabled or enabled.
template <int Kind> bool aliaskind(HashNode *hn)
{
    return (hn->flags & (ALIASF_GLOBAL | NODE_DISABLED)) == Kind;
}

template <int Kind> char *aliasesget(const char *key)
{
    HashNode *hn = aliastab->getnode2(aliastab, key);
    return hn && aliaskind<Kind>(hn) ? dupstring(static_cast<AliasEntry *>(hn)->text) : nullptr;
}

template <int Kind> void aliasesscan(ScanFn fn, void *data)
{
    for (int i = 0; i < aliastab->hsize; i++)
        for (HashNode *hn = aliastab->nodes[i]; hn; hn = hn->next)
            if (aliaskind<Kind>(hn))
                fn(hn->nam, dupstring(static_cast<AliasEntry *>(hn)->text), data);
}

template <int Kind> void aliasesset(const char *key, char *val)
{
    aliastab->addnode(aliastab, qtrdup(key), createaliasnode(val, Kind));
}

template <int Kind> void aliasesunset(const char *key)
{
    HashNode *hn = aliastab->getnode2(aliastab, key);
    if (hn && aliaskind<Kind>(hn))
        removefrom(aliastab, key);
}

// Replaces the aliases this array shows, and only those.
template <int Kind> void aliasessetall(HashTable *elems)
{
    HeapGuard hg;
    LinkList *old = newlinklist();
    for (int i = 0; i < aliastab->hsize; i++)
        for (HashNode *hn = aliastab->nodes[i]; hn; hn = hn->next)
            if (aliaskind<Kind>(hn))
                addlinknode(old, dupstring(hn->nam));
    for (LinkNode *n = firstnode(old); n; incnode(n))
        removefrom(aliastab, static_cast<char *>(getdata(n)));
    eachelem(elems, [](const char *key, char *val) { aliasesset<Kind>(key, qtrdup(val)); });
}

constexpr int AL_REG = 0, AL_DISREG = NODE_DISABLED, AL_GLOB = ALIASF_GLOBAL, AL_DISGLOB = ALIASF_GLOBAL | NODE_DISABLED;

// One row each.
SpecialParam params[] = {
    {"parameters", PF_HASHED | PF_READONLY, paramsget, paramsscan, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr},
    {"commands", PF_HASHED, commandsget, commandsscan, commandsset, commandsunset, commandssetall, nullptr, nullptr,
     nullptr},
    {"functions", PF_HASHED, funcsget<false>, funcsscan<false>, funcsset<false>, funcsunset, funcssetall<false>,
     nullptr, nullptr, nullptr},
    {"dis_functions", PF_HASHED, funcsget<true>, funcsscan<true>, funcsset<true>, funcsunset, funcssetall<true>,
     nullptr, nullptr, nullptr},
    {"funcstack", PF_ARRAY | PF_READONLY, nullptr, nullptr, nullptr, nullptr, nullptr, funcstackget, nullptr,
     nullptr},
    {"builtins", PF_HASHED | PF_READONLY, builtinsget<false>, builtinsscan<false>, nullptr, nullptr, nullptr,
     nullptr, nullptr, nullptr},
    {"dis_builtins", PF_HASHED | PF_READONLY, builtinsget<true>, builtinsscan<true>, nullptr, nullptr, nullptr,
     nullptr, nullptr, nullptr},
    {"reswords", PF_ARRAY | PF_READONLY, nullptr, nullptr, nullptr, nullptr, nullptr, reswordsget<false>, nullptr,
     nullptr},
    {"dis_reswords", PF_ARRAY | PF_READONLY, nullptr, nullptr, nullptr, nullptr, nullptr, reswordsget<true>,
     nullptr, nullptr},
    {"options", PF_HASHED, optionsget, optionsscan, optionsset, optionsunset, optionssetall, nullptr, nullptr,
     nullptr},
    {"modules", PF_HASHED | PF_READONLY, modulesget, modulesscan, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr},
    {"dirstack", PF_ARRAY, nullptr, nullptr, nullptr, nullptr, nullptr, dirstackget, dirstackset, nullptr},
    {"jobtexts", PF_HASHED | PF_READONLY, jobsget<jobtext>, jobsscan<jobtext>, nullptr, nullptr, nullptr, nullptr,
     nullptr, nullptr},
    {"jobdirs", PF_HASHED | PF_READONLY, jobsget<jobdir>, jobsscan<jobdir>, nullptr, nullptr, nullptr, nullptr,
     nullptr, nullptr},
    {"jobstates", PF_HASHED | PF_READONLY, jobsget<jobstate>, jobsscan<jobstate>, nullptr, nullptr, nullptr,
     nullptr, nullptr, nullptr},
    {"nameddirs", PF_HASHED, nameddirsget, nameddirsscan, nameddirsset, nameddirsunset, nameddirssetall, nullptr,
     nullptr, nullptr},
    {"userdirs", PF_HASHED | PF_READONLY, userdirsget, userdirsscan, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr},
    {"aliases", PF_HASHED, aliasesget<AL_REG>, aliasesscan<AL_REG>, aliasesset<AL_REG>, aliasesunset<AL_REG>,
     aliasessetall<AL_REG>, nullptr, nullptr, nullptr},
    {"dis_aliases", PF_HASHED, aliasesget<AL_DISREG>, aliasesscan<AL_DISREG>, aliasesset<AL_DISREG>,
     aliasesunset<AL_DISREG>, aliasessetall<AL_DISREG>, nullptr, nullptr, nullptr},
    {"galiases", PF_HASHED, aliasesget<AL_GLOB>, aliasesscan<AL_GLOB>, aliasesset<AL_GLOB>, aliasesunset<AL_GLOB>,
     aliasessetall<AL_GLOB>, nullptr, nullptr, nullptr},
    {"dis_galiases", PF_HASHED, aliasesget<AL_DISGLOB>, aliasesscan<AL_DISGLOB>, aliasesset<AL_DISGLOB>,
     aliasesunset<AL_DISGLOB>, aliasessetall<AL_DISGLOB>, nullptr, nullptr, nullptr},
    {"history", PF_HASHED | PF_READONLY, historyget, historyscan, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr},
    {"historywords", PF_ARRAY | PF_READONLY, nullptr, nullptr, nullptr, nullptr, nullptr, historywordsget, nullptr,
     nullptr},
};
constexpr int NPARAMS = sizeof(params) / sizeof(params[0]);

}  // namespace

int setup_tarnQsparameter(Module *) { return 0; }
int boot_tarnQsparameter(Module *) { return addspecialparams(params, NPARAMS); }
int cleanup_tarnQsparameter(Module *)
{
    removespecialparams(params, NPARAMS);
    return 0;
}
int finish_tarnQsparameter(Module *) { return 0; }
