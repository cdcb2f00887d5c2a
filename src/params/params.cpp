// The parameter table: creation and removal, the standard accessors,
// scopes, the environment, number output and parameter listings.
#include "params/params.h"

#include "exec/exec.h"
#include "expand/expand.h"
#include "modules/module.h"

#include <unistd.h>

#include <cinttypes>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <malloc.h>

HashTable *paramtab, *realparamtab;
Param *argvparam_pm;

static char *nularr[1];  // the empty array getters hand out; never written

// ---- table level ----

// Looking up an autoload stub loads its module and looks again.
static HashNode *getparamnode(HashTable *ht, const char *nam)
{
    HashNode *hn = gethashnode2(ht, nam);
    Param *pm = static_cast<Param *>(hn);
    if (pm && (pm->flags & PF_AUTOLOAD) && pm->value.str) {
        char *mn = dupstring(pm->value.str);
        int loaded = load_module(mn, nullptr, 0);
        hn = gethashnode2(ht, nam);
        if (hn == pm && (pm->flags & PF_AUTOLOAD)) {
            // The module did not define it: the stub's text is no value.
            pm->flags = (pm->flags & ~PF_AUTOLOAD) | PF_UNSET;
            qsfree(pm->value.str);
            pm->value.str = nullptr;
            qwarnnam(nam, "autoload failed", nullptr, 0);
        }
        if (!loaded)
            return nullptr;
    }
    return hn;
}

static int delunset;  // deleteparamtable: free nodes as if unset explicitly

HashTable *newparamtable(int size, const char *name)
{
    HashTable *ht = newhashtable(size ? size : 17, name, nullptr);
    ht->hash = hasher;
    ht->emptytable = emptyhashtable;
    ht->filltable = nullptr;
    ht->cmpnodes = strcmp;
    ht->addnode = addhashnode;
    ht->getnode = getparamnode;
    ht->getnode2 = getparamnode;
    ht->removenode = removehashnode;
    ht->disablenode = nullptr;
    ht->enablenode = nullptr;
    ht->freenode = freeparamnode;
    ht->printnode = printparamnode;
    return ht;
}

static HashTable *copytarget;
static void scancopyparams(HashNode *hn, int)
{
    Param *pm = static_cast<Param *>(hn);
    Param *tpm = qcnew<Param>();
    copyparam(tpm, pm, 1);
    copytarget->addnode(copytarget, qtrdup(pm->nam), tpm);
}

HashTable *copyparamtable(HashTable *t, const char *name)
{
    if (!t)
        return nullptr;
    HashTable *nt = newparamtable(t->hsize, name);
    HashTable *saved = copytarget;
    copytarget = nt;
    scanhashtable(t, 0, 0, 0, scancopyparams, 0);
    copytarget = saved;
    return nt;
}

void deleteparamtable(HashTable *t)
{
    if (!t)
        return;
    int saved = delunset;
    delunset = 1;
    deletehashtable(t);
    delunset = saved;
}

void freeparamnode(HashNode *hn)
{
    Param *pm = static_cast<Param *>(hn);
    if (delunset && pm->unsetter)
        pm->unsetter(pm, 1);
    qsfree(pm->nam);
    qfree(pm);
}

// ---- creation ----

static Param *lookupparam(const char *name)
{
    return static_cast<Param *>(paramtab == realparamtab ? gethashnode2(paramtab, name)
                                                         : paramtab->getnode(paramtab, name));
}

Param *createparam(const char *name, int flags)
{
    if (paramtab != realparamtab)
        flags = (flags & ~PF_EXPORTED) | PF_HASHELEM;
    if (!*name && paramtab == realparamtab) {
        Param *pm = hcnew<Param>();
        pm->nam = const_cast<char *>(name);
        pm->flags = flags & ~PF_LOCAL;
        setaccessors(pm);
        return pm;
    }
    Param *oldpm = lookupparam(name), *pm;
    if (oldpm && (oldpm->level == locallevel || !(flags & PF_LOCAL))) {
        if (!(oldpm->flags & PF_UNSET) || (oldpm->flags & PF_SPECIAL)) {
            oldpm->flags &= ~PF_UNSET;
            if ((oldpm->flags & PF_SPECIAL) && oldpm->tiedname) {
                Param *tp = static_cast<Param *>(gethashnode2(paramtab, oldpm->tiedname));
                if (tp && (tp->flags & PF_SPECIAL))
                    tp->flags &= ~PF_UNSET;
            }
            return nullptr;
        }
        if ((oldpm->flags & PF_RESTRICTED) && isset(RESTRICTED)) {
            qerr("%s: restricted", name, 0);
            return nullptr;
        }
        pm = oldpm;
        pm->aux = 0;
        // A name exported or made read-only while unset (sh emulation)
        // keeps the attribute when it is given a value.
        flags |= pm->flags & (PF_EXPORTED | PF_READONLY);
    } else {
        pm = qcnew<Param>();
        if ((pm->shadowed = oldpm)) {
            if (oldpm->envstr) {
                delenv(oldpm->envstr);
                oldpm->envstr = nullptr;
            }
            paramtab->removenode(paramtab, name);
        }
        pm->level = (flags & PF_LOCAL) ? locallevel : 0;
        noteparamlevel(pm->level);
        paramtab->addnode(paramtab, qtrdup(name), pm);
    }
    if (isset(ALLEXPORT) && !(flags & PF_HASHELEM))
        flags |= PF_EXPORTED;
    pm->flags = flags & ~PF_LOCAL;
    if (!(pm->flags & PF_SPECIAL))
        setaccessors(pm);
    return pm;
}

Param *createspecialhash(const char *name, HashNode *(*getn)(HashTable *, const char *),
                         void (*scan)(HashTable *, ScanFunc, int), int flags)
{
    Param *pm = createparam(name, PF_SPECIAL | PF_HASHED | flags);
    if (!pm)
        return nullptr;
    pm->level = locallevel;
    noteparamlevel(pm->level);
    pm->setter.hfn = hashsetfn;
    pm->getter.hfn = hashgetfn;
    pm->unsetter = stdunsetfn;
    HashTable *ht = newhashtable(17, name, nullptr);
    ht->hash = hasher;
    ht->emptytable = emptyhashtable;
    ht->cmpnodes = strcmp;
    ht->addnode = addhashnode;
    ht->getnode = getn;
    ht->getnode2 = getn;
    ht->removenode = removehashnode;
    ht->freenode = freeparamnode;
    ht->printnode = printparamnode;
    ht->scantab = scan;
    pm->value.hash = ht;
    return pm;
}

void setaccessors(Param *pm)
{
    switch (PF_TYPE(pm->flags)) {
    case PF_ARRAY:
        pm->getter.afn = arrgetfn;
        pm->setter.afn = arrsetfn;
        break;
    case PF_INTEGER:
        pm->getter.ifn = intgetfn;
        pm->setter.ifn = integersetfn;
        break;
    case PF_EFLOAT:
    case PF_FFLOAT:
        pm->getter.ffn = doublegetfn;
        pm->setter.ffn = doublesetfn;
        break;
    case PF_HASHED:
        pm->getter.hfn = hashgetfn;
        pm->setter.hfn = hashsetfn;
        break;
    default:
        pm->getter.cfn = strgetfn;
        pm->setter.cfn = scalarsetfn;
        break;
    }
    pm->unsetter = stdunsetfn;
}

void copyparam(Param *to, Param *from, int toplevel)
{
    to->flags = from->flags;
    to->aux = from->aux;
    to->level = from->level;
    noteparamlevel(to->level);
    if (toplevel) {
        to->getter = from->getter;
        to->setter = from->setter;
        to->unsetter = from->unsetter;
        to->tiedname = from->tiedname;
    } else {
        to->flags &= ~PF_SPECIAL;
    }
    switch (PF_TYPE(from->flags)) {
    case PF_SCALAR:
        to->value.str = qtrdup(from->getter.cfn(from));
        to->slenof = nullptr;
        break;
    case PF_INTEGER:
        to->value.val = from->getter.ifn(from);
        break;
    case PF_EFLOAT:
    case PF_FFLOAT:
        to->value.dval = from->getter.ffn(from);
        break;
    case PF_ARRAY:
        to->value.arr = qarrdup(from->getter.afn(from));
        to->alen = to->acap = arrlen(to->value.arr);
        to->acap++;
        break;
    case PF_HASHED:
        to->value.hash = copyparamtable(from->getter.hfn(from), to->nam ? to->nam : "");
        break;
    }
    if (!(to->flags & PF_SPECIAL))
        setaccessors(to);
}

void localspecial(Param *pm)
{
    if (pm->level == locallevel && pm->shadowed)
        return;
    Param *tpm = qcnew<Param>();
    copyparam(tpm, pm, 1);
    tpm->shadowed = pm->shadowed;
    tpm->level = pm->level;
    // SECONDS is restored from its raw start time, not from a value.
    if (!strcmp(pm->nam, "SECONDS"))
        tpm->value.dval = getrawseconds();
    pm->shadowed = tpm;
    pm->level = locallevel;
    noteparamlevel(pm->level);
}

// Skip a bracketed subscript: s at the "["; the matching "]" or null.
static const char *skipbrackets(const char *s)
{
    int depth = 0;
    for (; *s; s++) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c == '\\' && s[1])
            s++;
        else if (c == '[' || c == TK_LBRACK)
            depth++;
        else if ((c == ']' || c == TK_RBRACK) && !--depth)
            return s;
    }
    return nullptr;
}

int isident(const char *s)
{
    if (!*s)
        return 0;
    const char *ss = s;
    if (idigit(*ss)) {
        while (*ss && idigit(*ss))
            ss++;
    } else {
        while (*ss && iident(*ss))
            ss++;
        if (ss == s)
            return 0;
    }
    if (!*ss)
        return 1;
    if (*ss != '[' && static_cast<unsigned char>(*ss) != TK_LBRACK)
        return 0;
    const char *e = skipbrackets(ss);
    return e && !e[1];
}

// ---- standard accessors ----

bool scalarappend(Param *pm, const char *lit, size_t ll)
{
    if (isset(ALLEXPORT) || isset(AUTONAMEDIRS))
        return false;
    constexpr int attrs = PF_TYPEMASK | PF_LEFT | PF_RIGHT_B | PF_RIGHT_Z | PF_LOWER | PF_UPPER |
                          PF_READONLY | PF_EXPORTED | PF_UNIQUE | PF_TIED | PF_SPECIAL | PF_UNSET |
                          PF_HASHELEM | PF_NAMEDDIR | PF_AUTOLOAD | PF_RESTRICTED;
    if (!pm || (pm->flags & attrs) || pm->getter.cfn != strgetfn || pm->setter.cfn != scalarsetfn ||
        !pm->value.str || pm->envstr || pm->tiedname)
        return false;
    char *old = pm->value.str;
    size_t ol = pm->slenof == old && !old[pm->slen] ? pm->slen : strlen(old);
    size_t need = ol + ll + 1;
    if (malloc_usable_size(old) < need) {
        // Grown geometrically, so a long run of appends copies little.
        old = static_cast<char *>(qrealloc(old, need < 64 ? 64 : need * 2));
        pm->value.str = old;
    }
    memcpy(old + ol, lit, ll);
    old[ol + ll] = '\0';
    pm->slenof = old;
    pm->slen = ol + ll;
    return true;
}

char *strgetfn(Param *pm) { return pm->value.str ? pm->value.str : static_cast<char *>(hcalloc(1)); }

void scalarsetfn(Param *pm, char *s)
{
    if (pm->value.str && pm->value.str != s)
        qsfree(pm->value.str);
    pm->value.str = s;
    pm->slenof = nullptr;
    if (!(pm->flags & PF_HASHELEM) && ((pm->flags & PF_NAMEDDIR) || isset(AUTONAMEDIRS)) && s) {
        pm->flags |= PF_NAMEDDIR;
        if (nameddirtab)
            adduserdir(pm->nam, s, 0, 0);
    }
}

char **arrgetfn(Param *pm) { return pm->value.arr ? pm->value.arr : nularr; }

void arrsetfn(Param *pm, char **a)
{
    if (pm->value.arr && pm->value.arr != a)
        freearray(pm->value.arr);
    if (a && (pm->flags & PF_UNIQUE))
        uniqarray(a);
    pm->value.arr = a;
    pm->alen = a ? arrlen(a) : 0;
    pm->acap = a ? pm->alen + 1 : 0;
    if (pm->tiedname && !(pm->flags & PF_HASHELEM))
        arrfixenv(pm->tiedname, a);
}

int64_t intgetfn(Param *pm) { return pm->value.val; }
void integersetfn(Param *pm, int64_t v) { pm->value.val = v; }
double doublegetfn(Param *pm) { return pm->value.dval; }
void doublesetfn(Param *pm, double v) { pm->value.dval = v; }
HashTable *hashgetfn(Param *pm) { return pm->value.hash; }

void hashsetfn(Param *pm, HashTable *h)
{
    if (pm->value.hash && pm->value.hash != h)
        deleteparamtable(pm->value.hash);
    pm->value.hash = h;
}

int64_t intvargetfn(Param *pm) { return *static_cast<int64_t *>(pm->value.data); }
void intvarsetfn(Param *pm, int64_t v) { *static_cast<int64_t *>(pm->value.data) = v; }

char *strvargetfn(Param *pm)
{
    char *s = *static_cast<char **>(pm->value.data);
    return s ? s : static_cast<char *>(hcalloc(1));
}

void strvarsetfn(Param *pm, char *s)
{
    char **q = static_cast<char **>(pm->value.data);
    if (*q != s)
        qsfree(*q);
    *q = s;
}

char **arrvargetfn(Param *pm)
{
    char **a = *static_cast<char ***>(pm->value.data);
    return a ? a : nularr;
}

void arrvarsetfn(Param *pm, char **a)
{
    char ***dptr = static_cast<char ***>(pm->value.data);
    if (*dptr != a)
        freearray(*dptr);
    if (a && (pm->flags & PF_UNIQUE))
        uniqarray(a);
    *dptr = a ? a : qcnew<char *>(1);
    if (pm->tiedname && a)
        arrfixenv(pm->tiedname, a);
}

char *colonarrgetfn(Param *pm)
{
    char **a = *static_cast<char ***>(pm->value.data);
    return a ? qjoin(a, ':', 1) : dupstring("");
}

void colonarrsetfn(Param *pm, char *s)
{
    char ***dptr = static_cast<char ***>(pm->value.data);
    freearray(*dptr);
    if (s) {
        *dptr = colonsplit(s, pm->flags & PF_UNIQUE);
        qsfree(s);
    } else {
        *dptr = (pm->flags & PF_TIED) ? nullptr : qcnew<char *>(1);
    }
    if (pm->tiedname) {
        // A user's array tied to this scalar keeps its length beside it.
        for (Param *a = static_cast<Param *>(gethashnode2(realparamtab, pm->tiedname)); a; a = a->shadowed)
            if (&a->value.arr == dptr) {
                a->alen = *dptr ? arrlen(*dptr) : 0;
                a->acap = *dptr ? a->alen + 1 : 0;
                break;
            }
        arrfixenv(pm->nam, *dptr);
    }
}

void nullstrsetfn(Param *, char *s) { qsfree(s); }
void nullintsetfn(Param *, int64_t) {}

void uniqarray(char **a)
{
    if (!a)
        return;
    char **out = a;
    for (char **p = a; *p; p++) {
        bool dup = false;
        for (char **q = a; q < out; q++)
            if (!strcmp(*q, *p)) {
                dup = true;
                break;
            }
        if (dup)
            qsfree(*p);
        else
            *out++ = *p;
    }
    *out = nullptr;
}

void qhuniqarray(char **a)
{
    if (!a)
        return;
    char **out = a;
    for (char **p = a; *p; p++) {
        bool dup = false;
        for (char **q = a; q < out; q++)
            if (!strcmp(*q, *p)) {
                dup = true;
                break;
            }
        if (!dup)
            *out++ = *p;
    }
    *out = nullptr;
}

char *qjoin(char **arr, int delim, int heap)
{
    size_t len = 0;
    for (char **p = arr; *p; p++)
        len += strlen(*p) + 1;
    char *r = heap ? static_cast<char *>(qhalloc(len + 1)) : static_cast<char *>(qalloc(len + 1));
    char *t = r;
    for (char **p = arr; *p; p++) {
        size_t l = strlen(*p);
        memcpy(t, *p, l);
        t += l;
        if (p[1])
            *t++ = static_cast<char>(delim);
    }
    *t = '\0';
    return r;
}

char **colonsplit(char *s, int uniq)
{
    // An empty value is the empty array, so that a=() and A="" agree.
    int ct = *s ? 1 : 0;
    for (char *t = s; *t; t++)
        if (*t == ':')
            ct++;
    char **r = qnew<char *>(size_t(ct) + 1), **p = r;
    if (*s) {
        for (char *t = s;;) {
            char *e = strchr(t, ':');
            size_t l = e ? size_t(e - t) : strlen(t);
            char *w = qtrduppfx(t, l);
            bool dup = false;
            if (uniq)
                for (char **q = r; q < p; q++)
                    if (!strcmp(*q, w))
                        dup = true;
            if (dup)
                qsfree(w);
            else
                *p++ = w;
            if (!e)
                break;
            t = e + 1;
        }
    }
    *p = nullptr;
    return r;
}

// ---- removal ----

void stdunsetfn(Param *pm, int)
{
    switch (PF_TYPE(pm->flags)) {
    case PF_SCALAR:
        if (pm->setter.cfn)
            pm->setter.cfn(pm, nullptr);
        break;
    case PF_ARRAY:
        if (pm->setter.afn)
            pm->setter.afn(pm, nullptr);
        break;
    case PF_HASHED:
        if (pm->setter.hfn)
            pm->setter.hfn(pm, nullptr);
        break;
    default:
        if (!(pm->flags & PF_SPECIAL))
            pm->value.str = nullptr;
        break;
    }
    pm->flags |= PF_UNSET;
}

void unsetparam(const char *name)
{
    SignalGuard sg;
    Param *pm = static_cast<Param *>(paramtab->getnode(paramtab, name));
    if (pm)
        unsetparam_pm(pm, 0, 1);
}

int unsetparam_pm(Param *pm, int altflag, int explicit_)
{
    if ((pm->flags & PF_READONLY) && pm->level <= locallevel) {
        qerr("read-only variable: %s", pm->nam, 0);
        return 1;
    }
    if ((pm->flags & PF_RESTRICTED) && isset(RESTRICTED)) {
        qerr("%s: restricted", pm->nam, 0);
        return 1;
    }
    pm->unsetter(pm, explicit_);
    if (pm->envstr) {
        delenv(pm->envstr);
        pm->envstr = nullptr;
    }
    // A tied special takes its partner with it; an ordinary parameter
    // that merely shares the partner's name (sh emulation) is left alone.
    if (pm->tiedname && !altflag && (pm->flags & PF_SPECIAL)) {
        Param *tp = static_cast<Param *>(gethashnode2(paramtab, pm->tiedname));
        if (tp && (tp->flags & PF_SPECIAL) && tp->tiedname && !(tp->flags & PF_UNSET)) {
            // The partner shares the variable, so only its flags change.
            tp->flags |= PF_UNSET;
            if (tp->envstr) {
                delenv(tp->envstr);
                tp->envstr = nullptr;
            }
        }
    }
    if ((pm->level && locallevel >= pm->level) ||
        ((pm->flags & (PF_SPECIAL | PF_REMOVABLE)) == PF_SPECIAL))
        return 0;
    HashTable *tab = (pm->flags & PF_HASHELEM) ? paramtab : realparamtab;
    if (tab->getnode2(tab, pm->nam) == pm)
        tab->removenode(tab, pm->nam);
    if (Param *old = pm->shadowed) {
        tab->addnode(tab, old->nam, old);
        if (PF_TYPE(old->flags) == PF_SCALAR && (old->flags & PF_NAMEDDIR) && old->setter.cfn == scalarsetfn &&
            nameddirtab)
            adduserdir(old->nam, old->value.str, 0, 0);
        if ((old->flags & PF_EXPORTED) && !(old->flags & PF_UNSET))
            export_param(old);
    }
    if (pm->nam && *pm->nam)
        freeparamnode(pm);
    return 0;
}

void forceunsetparam(const char *name)
{
    Param *pm = static_cast<Param *>(gethashnode2(realparamtab, name));
    if (!pm)
        return;
    pm->flags &= ~(PF_READONLY | PF_RESTRICTED);
    unsetparam_pm(pm, 0, 1);
}

// ---- scopes ----

// The deepest level any parameter was made local at: a function whose
// scope holds no locals ends without scanning the table.
int paramdeepest;

void noteparamlevel(int level)
{
    if (level > paramdeepest)
        paramdeepest = level;
}

void startparamscope() { locallevel++; }

static void scanendscope(HashNode *hn, int)
{
    Param *pm = static_cast<Param *>(hn);
    if (pm->level <= locallevel)
        return;
    if ((pm->flags & (PF_SPECIAL | PF_REMOVABLE)) == PF_SPECIAL) {
        Param *tpm = pm->shadowed;
        if (!tpm) {
            pm->level = locallevel;
            return;
        }
        if (pm->envstr) {
            delenv(pm->envstr);
            pm->envstr = nullptr;
        }
        if (!strcmp(pm->nam, "SECONDS")) {
            setsecondstype(pm, PF_TYPE(tpm->flags), PF_TYPE(pm->flags));
            setrawseconds(tpm->value.dval);
            tpm->flags |= PF_NORESTORE;
        }
        pm->flags = tpm->flags & ~PF_NORESTORE;
        pm->level = tpm->level;
        pm->aux = tpm->aux;
        pm->shadowed = tpm->shadowed;
        if (!(tpm->flags & PF_NORESTORE)) {
            switch (PF_TYPE(pm->flags)) {
            case PF_SCALAR:
                pm->setter.cfn(pm, tpm->value.str);
                break;
            case PF_INTEGER:
                pm->setter.ifn(pm, tpm->value.val);
                break;
            case PF_EFLOAT:
            case PF_FFLOAT:
                pm->setter.ffn(pm, tpm->value.dval);
                break;
            case PF_ARRAY:
                pm->setter.afn(pm, tpm->value.arr);
                break;
            case PF_HASHED:
                pm->setter.hfn(pm, tpm->value.hash);
                break;
            }
        } else if (strcmp(pm->nam, "SECONDS")) {
            switch (PF_TYPE(tpm->flags)) {
            case PF_SCALAR:
                qsfree(tpm->value.str);
                break;
            case PF_ARRAY:
                freearray(tpm->value.arr);
                break;
            case PF_HASHED:
                deleteparamtable(tpm->value.hash);
                break;
            }
        }
        qfree(tpm);
        if (pm->flags & PF_EXPORTED)
            export_param(pm);
    } else {
        // Scope end is not an error path: a read-only local goes anyway.
        pm->flags &= ~(PF_READONLY | PF_RESTRICTED);
        unsetparam_pm(pm, 0, 0);
    }
}

void endparamscope()
{
    SignalGuard sg;
    locallevel--;
    if (paramdeepest > locallevel) {
        // Every function return with locals comes here: the table is walked
        // by hand, gathering the few parameters of the levels being left,
        // which are then dealt with (that may remove them from the table).
        constexpr int GATHER = 64;
        HashNode *found[GATHER];
        int n = 0;
        bool overflow = paramtab->scantab != nullptr;
        for (int i = 0; i < paramtab->hsize && !overflow; i++)
            for (HashNode *hn = paramtab->nodes[i]; hn; hn = hn->next)
                if (static_cast<Param *>(hn)->level > locallevel) {
                    if (n == GATHER) {
                        overflow = true;
                        break;
                    }
                    found[n++] = hn;
                }
        if (overflow) {
            scanhashtable(paramtab, 0, 0, 0, scanendscope, 0);
        } else {
            for (int i = 0; i < n; i++)
                scanendscope(found[i], 0);
        }
        paramdeepest = locallevel;
    }
}

// ---- environment ----

// The shell keeps the environment vector itself so that every string in
// it is its own and can be freed when replaced.
static char **envarr;
static int envlen, envcap;

static void envensure(int n)
{
    if (n + 1 <= envcap)
        return;
    int ncap = envcap ? envcap * 2 : 64;
    while (ncap < n + 1)
        ncap *= 2;
    envarr = static_cast<char **>(qrealloc(envarr, sizeof(char *) * size_t(ncap)));
    envcap = ncap;
}

// Start the shell's vector from the process environment: copies of the
// entries keep (returns true) and nothing else.
void initenvarr(bool (*keep)(char *entry))
{
    int n = 0;
    for (char **e = environ; e && *e; e++)
        n++;
    envensure(n);
    envlen = 0;
    for (char **e = environ; e && *e; e++)
        if (!keep || keep(*e))
            envarr[envlen++] = qtrdup(*e);
    envarr[envlen] = nullptr;
    environ = envarr;
}

static int envfind(const char *name)
{
    size_t l = strlen(name);
    for (int i = 0; i < envlen; i++)
        if (!strncmp(envarr[i], name, l) && envarr[i][l] == '=')
            return i;
    return -1;
}

char *makeenvstring(const char *name, const char *value, int flags)
{
    // Whole characters change case before the bytes are taken.
    if (mbchars && (flags & (PF_LOWER | PF_UPPER))) {
        value = casemodify(value, (flags & PF_LOWER) ? CASMOD_LOWER : CASMOD_UPPER);
        flags &= ~(PF_LOWER | PF_UPPER);
    }
    char *v = dupstring(value);
    int len;
    unmetafy(v, &len);  // an embedded NUL ends the value
    size_t nl = strlen(name), vl = strlen(v);
    char *s = static_cast<char *>(qalloc(nl + vl + 2));
    memcpy(s, name, nl);
    s[nl] = '=';
    for (size_t i = 0; i <= vl; i++) {
        unsigned char c = static_cast<unsigned char>(v[i]);
        if (flags & PF_LOWER)
            c = static_cast<unsigned char>(tulower(c));
        else if (flags & PF_UPPER)
            c = static_cast<unsigned char>(tuupper(c));
        s[nl + 1 + i] = static_cast<char>(c);
    }
    return s;
}

char *addenv(const char *name, const char *value, int flags)
{
    if (!envarr)
        initenvarr(nullptr);
    SignalGuard sg;
    char *s = makeenvstring(name, value, flags);
    int i = envfind(name);
    if (i >= 0) {
        qsfree(envarr[i]);
        envarr[i] = s;
    } else {
        envensure(envlen + 1);
        envarr[envlen++] = s;
        envarr[envlen] = nullptr;
    }
    environ = envarr;
    return s;
}

Param *importparam(const char *entry, size_t namelen)
{
    Param *pm = qcnew<Param>();
    pm->flags = PF_SCALAR | PF_EXPORTED;
    setaccessors(pm);
    realparamtab->addnode(realparamtab, qtrduppfx(entry, namelen), pm);
    pm->setter.cfn(pm, qtrdup(entry + namelen + 1));
    // The entry as it came is the one a child gets: no other entry has the
    // name, or a parameter would have it.
    envensure(envlen + 1);
    pm->envstr = envarr[envlen++] = qtrdup(entry);
    envarr[envlen] = nullptr;
    environ = envarr;
    return pm;
}

void delenv(char *str)
{
    if (!envarr || !str)
        return;
    SignalGuard sg;
    for (int i = 0; i < envlen; i++)
        if (envarr[i] == str) {
            memmove(envarr + i, envarr + i + 1, sizeof(char *) * size_t(envlen - i));
            envlen--;
            qsfree(str);
            break;
        }
    environ = envarr;
}

char *qgetenv(const char *name)
{
    size_t l = strlen(name);
    for (char **e = environ; e && *e; e++)
        if (!strncmp(*e, name, l) && (*e)[l] == '=')
            return *e + l + 1;
    return nullptr;
}

void export_param(Param *pm)
{
    int t = PF_TYPE(pm->flags);
    if (t & (PF_ARRAY | PF_HASHED))
        return;
    char buf[80];
    const char *val;
    if (t == PF_INTEGER)
        val = convbase(buf, pm->getter.ifn(pm), pm->aux);
    else if (t & (PF_EFLOAT | PF_FFLOAT))
        val = convfloat(pm->getter.ffn(pm), pm->aux, pm->flags, nullptr);
    else
        val = pm->getter.cfn(pm);
    pm->flags |= PF_EXPORTED;
    pm->envstr = addenv(pm->nam, val ? val : "", pm->flags);
}

void arrfixenv(const char *name, char **arr)
{
    if (arr && arr == path && cmdnamtab)
        cmdnamtab->emptytable(cmdnamtab);
    if (!realparamtab)
        return;
    Param *pm = static_cast<Param *>(gethashnode2(realparamtab, name));
    if (!pm || (pm->flags & PF_HASHELEM))
        return;
    if (isset(ALLEXPORT))
        pm->flags |= PF_EXPORTED;
    if (pm->flags & PF_EXPORTED)
        pm->envstr = addenv(name, arr ? qjoin(arr, ':', 1) : "", pm->flags);
}

// ---- numbers ----

char *convbase(char *buf, int64_t v, int base)
{
    char *s = buf;
    uint64_t x = uint64_t(v);
    if (v < 0) {
        *s++ = '-';
        x = uint64_t(0) - x;
    }
    if (base >= -1 && base <= 1)
        base = 10;
    if (base != 10) {
        if (base == 16 && isset(CBASES)) {
            *s++ = '0';
            *s++ = 'x';
        } else if (base == 8 && isset(CBASES) && isset(OCTALZEROES)) {
            *s++ = '0';
        } else if (base > 0) {
            s += sprintf(s, "%d#", base);
        } else {
            base = -base;
        }
    }
    if (base < 2 || base > 36)
        base = 10;
    char digits[72];
    int n = 0;
    do {
        int d = int(x % unsigned(base));
        digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
        x /= unsigned(base);
    } while (x);
    while (n)
        *s++ = digits[--n];
    *s = '\0';
    return buf;
}

char *convfloat(double d, int digits, int flags, FILE *fout)
{
    char fmt[] = "%.*e";
    int prec;
    if (flags & PF_EFLOAT) {
        if (digits <= 0)
            digits = 10;
        prec = digits - 1;
    } else if (flags & PF_FFLOAT) {
        fmt[3] = 'f';
        prec = digits <= 0 ? 10 : digits;
    } else {
        fmt[3] = 'g';
        prec = digits <= 0 ? 17 : digits;
    }
    char buf[512];
    if (std::isinf(d))
        strcpy(buf, d > 0 ? "Inf" : "-Inf");
    else if (std::isnan(d))
        strcpy(buf, "NaN");
    else {
        char *old = setlocale(LC_NUMERIC, nullptr);
        char *saved = old ? dupstring(old) : nullptr;
        setlocale(LC_NUMERIC, "POSIX");
        snprintf(buf, sizeof buf - 2, fmt, prec, d);
        if (saved)
            setlocale(LC_NUMERIC, saved);
        if (!fout && !strchr(buf, 'e') && !strchr(buf, '.'))
            strcat(buf, ".");
    }
    if (fout) {
        fputs(buf, fout);
        return nullptr;
    }
    return dupstring(buf);
}

// ---- listings ----

struct TypeWord {
    int flag;
    const char *word;
    char letter;
    bool printaux;
};
static constexpr TypeWord typewords[] = {
    {PF_AUTOLOAD, "undefined", 0, false}, {PF_INTEGER, "integer", 'i', true},
    {PF_EFLOAT, "float", 'E', false},     {PF_FFLOAT, "float", 'F', false},
    {PF_ARRAY, "array", 'a', false},      {PF_HASHED, "association", 'A', false},
    {0, "local", 0, false},               {PF_LEFT, "left justified", 'L', true},
    {PF_RIGHT_B, "right justified", 'R', true}, {PF_RIGHT_Z, "zero filled", 'Z', true},
    {PF_LOWER, "lowercase", 'l', false},  {PF_UPPER, "uppercase", 'u', false},
    {PF_READONLY, "readonly", 'r', false}, {PF_TAGGED, "tagged", 't', false},
    {PF_EXPORTED, "exported", 'x', false},
};

constexpr int PRINT_TYPESET = 0x20;

void printparamnode(HashNode *hn, int printflags)
{
    Param *pm = static_cast<Param *>(hn);
    if (printflags & (PRINT_POSIXEXPORT | PRINT_POSIXREADONLY)) {
        // Only names a shell can assign; a name without a value as it is.
        if (!isident(pm->nam) || (pm->flags & PF_AUTOLOAD) ||
            ((printflags & PRINT_POSIXEXPORT) && (pm->flags & PF_SPECIAL) && (pm->flags & PF_READONLY)))
            return;
        fputs((printflags & PRINT_POSIXEXPORT) ? "export " : "readonly ", stdout);
        quotedqputs(pm->nam, stdout);
        if (!(pm->flags & PF_UNSET) && PF_TYPE(pm->flags) != PF_HASHED) {
            putchar('=');
            char *v = PF_TYPE(pm->flags) == PF_ARRAY ? sepjoin(pm->getter.afn(pm), " ", 1) : getsparam(pm->nam);
            quotedqputs(v ? v : "", stdout);
        }
        putchar('\n');
        return;
    }
    if (pm->flags & PF_UNSET)
        return;
    if (printflags & PRINT_TYPESET)
        fputs("typeset ", stdout);
    if (printflags & (SHOW_TYPE | PRINT_TYPESET)) {
        bool ingroup = false;
        for (const TypeWord &tw : typewords) {
            bool applies = tw.flag ? (pm->flags & tw.flag) != 0 : pm->level != 0;
            if (!applies)
                continue;
            if (printflags & PRINT_TYPESET) {
                if (!tw.letter)
                    continue;
                if (!ingroup) {
                    putchar('-');
                    ingroup = true;
                }
                putchar(tw.letter);
                if (tw.printaux && pm->aux) {
                    printf(" %d ", pm->aux);
                    ingroup = false;
                }
            } else {
                fputs(tw.word, stdout);
                putchar(' ');
                if (tw.printaux && pm->aux)
                    printf("%d ", pm->aux);
            }
        }
        if (ingroup)
            putchar(' ');
    }
    if ((printflags & SHOW_NAMEONLY) || ((pm->flags & PF_HIDEVAL) && !(printflags & SHOW_INCLUDEVALUE))) {
        qputs(pm->nam, stdout);
        putchar('\n');
        return;
    }
    quotedqputs(pm->nam, stdout);
    if (pm->flags & PF_AUTOLOAD) {
        putchar('\n');
        return;
    }
    int t = PF_TYPE(pm->flags);
    if (printflags & SHOW_KV_PAIR)
        putchar(' ');
    else if ((printflags & PRINT_TYPESET) && (t == PF_ARRAY || t == PF_HASHED)) {
        putchar('\n');
        quotedqputs(pm->nam, stdout);
        putchar('=');
    } else
        putchar('=');
    switch (t) {
    case PF_SCALAR:
        quotedqputs(pm->getter.cfn(pm), stdout);
        break;
    case PF_ARRAY: {
        putchar('(');
        char **a = pm->getter.afn(pm);
        for (char **p = a; *p; p++) {
            if (p != a)
                putchar(' ');
            quotedqputs(*p, stdout);
        }
        putchar(')');
        break;
    }
    case PF_INTEGER:
        printf("%" PRId64, pm->getter.ifn(pm));
        break;
    case PF_EFLOAT:
    case PF_FFLOAT:
        convfloat(pm->getter.ffn(pm), pm->aux, pm->flags, stdout);
        break;
    case PF_HASHED: {
        putchar('(');
        if (HashTable *ht = pm->getter.hfn(pm))
            scanhashtable(ht, 0, 0, PF_UNSET, printparamnode, SHOW_KV_PAIR);
        putchar(')');
        break;
    }
    }
    putchar(printflags & SHOW_KV_PAIR ? ' ' : '\n');
}
