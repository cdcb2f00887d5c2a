// Generic hash tables and the name tables built on them.
#include "core/core.h"
#include "expand/expand.h"
#include "lang/lang.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

HashTable *cmdnamtab, *shfunctab, *reswdtab, *aliastab, *nameddirtab;
char **pathchecked;
char **path;
TrapHooks traphooks;

// A scan in progress: sorted scans hold their array, unsorted ones the
// entry they will visit next, so callbacks may remove entries.
struct ScanStatus {
    int sorted;
    HashNode **tab;
    int tabsize;
    HashNode *next;
};

unsigned hasher(const char *str)
{
    unsigned h = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(str); *p; p++)
        h += (h << 5) + *p;
    return h;
}

HashTable *newhashtable(int size, const char *, void *)
{
    HashTable *ht = qcnew<HashTable>();
    ht->hsize = size;
    ht->nodes = qcnew<HashNode *>(size_t(size));
    return ht;
}

void deletehashtable(HashTable *ht)
{
    ht->emptytable(ht);
    qfree(ht->nodes);
    qfree(ht);
}

static void expandhashtable(HashTable *ht)
{
    int osize = ht->hsize;
    HashNode **onodes = ht->nodes;
    ht->hsize = osize * 4;
    ht->nodes = qcnew<HashNode *>(size_t(ht->hsize));
    ht->ct = 0;
    for (int i = 0; i < osize; i++)
        for (HashNode *hn = onodes[i], *next; hn; hn = next) {
            next = hn->next;
            ht->addnode(ht, hn->nam, hn);
        }
    qfree(onodes);
}

HashNode *addhashnode2(HashTable *ht, char *nam, void *nodeptr)
{
    HashNode *hn = static_cast<HashNode *>(nodeptr);
    hn->nam = nam;
    unsigned b = ht->hash(nam) % unsigned(ht->hsize);
    HashNode **pp = &ht->nodes[b];
    for (HashNode *hp = *pp; hp; pp = &hp->next, hp = hp->next) {
        if (!ht->cmpnodes(hp->nam, nam)) {
            hn->next = hp->next;
            *pp = hn;
            if (ScanStatus *s = ht->scan) {
                if (s->sorted) {
                    for (int i = 0; i < s->tabsize; i++)
                        if (s->tab[i] == hp)
                            s->tab[i] = hn;
                } else if (s->next == hp) {
                    s->next = hn;
                }
            }
            return hp;
        }
    }
    hn->next = ht->nodes[b];
    ht->nodes[b] = hn;
    if (++ht->ct >= ht->hsize * 2 && !ht->scan)
        expandhashtable(ht);
    return nullptr;
}

void addhashnode(HashTable *ht, char *nam, void *nodeptr)
{
    if (HashNode *old = addhashnode2(ht, nam, nodeptr))
        ht->freenode(old);
}

HashNode *gethashnode2(HashTable *ht, const char *nam)
{
    unsigned b = ht->hash(nam) % unsigned(ht->hsize);
    for (HashNode *hp = ht->nodes[b]; hp; hp = hp->next)
        if (!ht->cmpnodes(hp->nam, nam))
            return hp;
    return nullptr;
}

HashNode *gethashnode(HashTable *ht, const char *nam)
{
    HashNode *hn = gethashnode2(ht, nam);
    return hn && !(hn->flags & NODE_DISABLED) ? hn : nullptr;
}

HashNode *removehashnode(HashTable *ht, const char *nam)
{
    unsigned b = ht->hash(nam) % unsigned(ht->hsize);
    HashNode **pp = &ht->nodes[b];
    for (HashNode *hp = *pp; hp; pp = &hp->next, hp = hp->next) {
        if (!ht->cmpnodes(hp->nam, nam)) {
            *pp = hp->next;
            ht->ct--;
            if (ScanStatus *s = ht->scan) {
                if (s->sorted) {
                    for (int i = 0; i < s->tabsize; i++)
                        if (s->tab[i] == hp)
                            s->tab[i] = nullptr;
                } else if (s->next == hp) {
                    s->next = hp->next;
                }
            }
            return hp;
        }
    }
    return nullptr;
}

void disablehashnode(HashNode *hn) { hn->flags |= NODE_DISABLED; }
void enablehashnode(HashNode *hn) { hn->flags &= ~NODE_DISABLED; }

void emptyhashtable(HashTable *ht)
{
    for (int i = 0; i < ht->hsize; i++) {
        for (HashNode *hn = ht->nodes[i], *next; hn; hn = next) {
            next = hn->next;
            ht->freenode(hn);
        }
        ht->nodes[i] = nullptr;
    }
    ht->ct = 0;
}

static bool wanted(HashNode *hn, int flags1, int flags2)
{
    return (!flags1 || (hn->flags & flags1)) && !(hn->flags & flags2);
}

void scanhashtable(HashTable *ht, int sorted, int flags1, int flags2, ScanFunc fn, int fnflags)
{
    if (ht->scantab) {
        ht->scantab(ht, fn, fnflags);
        return;
    }
    ScanStatus st{};
    ScanStatus *saved = ht->scan;
    ht->scan = &st;
    if (sorted) {
        // Permanent, not arena: callbacks may keep arena data of their own.
        st.sorted = 1;
        st.tabsize = ht->ct;
        st.tab = qnew<HashNode *>(size_t(ht->ct) + 1);
        int n = 0;
        for (int i = 0; i < ht->hsize; i++)
            for (HashNode *hn = ht->nodes[i]; hn; hn = hn->next)
                st.tab[n++] = hn;
        std::sort(st.tab, st.tab + n, [](HashNode *a, HashNode *b) { return qtrcmp(a->nam, b->nam) < 0; });
        for (int i = 0; i < n; i++)
            if (st.tab[i] && wanted(st.tab[i], flags1, flags2))
                fn(st.tab[i], fnflags);
        qfree(st.tab);
    } else {
        // Bucket by bucket; the record holds the next entry of the chain,
        // which removal and replacement keep right.
        for (int i = 0; i < ht->hsize; i++)
            for (HashNode *hn = ht->nodes[i]; hn; hn = st.next) {
                st.next = hn->next;
                if (wanted(hn, flags1, flags2))
                    fn(hn, fnflags);
            }
    }
    ht->scan = saved;
}

int scanmatchtable(HashTable *ht, Patprog *pprog, int flags1, int flags2, ScanFunc fn, int fnflags)
{
    int matched = 0;
    ScanStatus st{};
    ScanStatus *saved = ht->scan;
    ht->scan = &st;
    for (int i = 0; i < ht->hsize; i++)
        for (HashNode *hn = ht->nodes[i]; hn; hn = st.next) {
            st.next = hn->next;
            if (wanted(hn, flags1, flags2) && pattry(pprog, hn->nam)) {
                fn(hn, fnflags);
                matched++;
            }
        }
    ht->scan = saved;
    return matched;
}

static HashTable *maketable(int size)
{
    HashTable *ht = newhashtable(size, nullptr, nullptr);
    ht->hash = hasher;
    ht->emptytable = emptyhashtable;
    ht->cmpnodes = strcmp;
    ht->addnode = addhashnode;
    ht->getnode = gethashnode;
    ht->getnode2 = gethashnode2;
    ht->removenode = removehashnode;
    return ht;
}

// ---- command names ----

static void freecmdnamnode(HashNode *hn)
{
    CmdEntry *cn = static_cast<CmdEntry *>(hn);
    qsfree(cn->nam);
    if (cn->flags & CMD_HASHED)
        qsfree(cn->fullpath);
    qfree(cn);
}

static void printcmdnamnode(HashNode *hn, int printflags)
{
    CmdEntry *cn = static_cast<CmdEntry *>(hn);
    auto putpath = [&](FILE *f, int (*put)(const char *, FILE *)) {
        if (cn->flags & CMD_HASHED) {
            put(cn->fullpath, f);
        } else {
            put(*cn->name, f);
            putc('/', f);
            put(cn->nam, f);
        }
    };
    if (printflags & SHOW_WHENCE_WORD) {
        niceqputs(cn->nam, stdout);
        printf(": %s\n", cn->flags & CMD_HASHED ? "hashed" : "command");
        return;
    }
    if (printflags & (SHOW_WHENCE_CSH | SHOW_WHENCE_SIMPLE)) {
        putpath(stdout, niceqputs);
        putchar('\n');
        return;
    }
    if (printflags & SHOW_WHENCE_VERBOSE) {
        niceqputs(cn->nam, stdout);
        if (cn->flags & CMD_HASHED) {
            fputs(" is hashed to ", stdout);
            niceqputs(cn->fullpath, stdout);
        } else {
            fputs(" is ", stdout);
            niceqputs(*cn->name, stdout);
            putchar('/');
            niceqputs(cn->nam, stdout);
        }
        putchar('\n');
        return;
    }
    if (printflags & SHOW_LIST) {
        fputs("hash ", stdout);
        if (cn->nam[0] == '-')
            fputs("-- ", stdout);
    }
    quotedqputs(cn->nam, stdout);
    putchar('=');
    if (cn->flags & CMD_HASHED) {
        quotedqputs(cn->fullpath, stdout);
    } else {
        HeapGuard hg;
        quotedqputs(qhtricat(*cn->name, "/", cn->nam), stdout);
    }
    putchar('\n');
}

void createcmdnamtable()
{
    cmdnamtab = maketable(201);
    cmdnamtab->getnode = gethashnode2;
    cmdnamtab->emptytable = emptycmdnamtable;
    cmdnamtab->filltable = fillcmdnamtable;
    cmdnamtab->freenode = freecmdnamnode;
    cmdnamtab->printnode = printcmdnamnode;
    pathchecked = path;
}

void emptycmdnamtable(HashTable *ht)
{
    emptyhashtable(ht);
    pathchecked = path;
}

void fillcmdnamtable(HashTable *)
{
    if (!pathchecked)
        return;
    for (; *pathchecked; pathchecked++)
        hashdir(pathchecked);
}

int isrelative(const char *s)
{
    if (*s != '/')
        return 1;
    for (; *s; s++)
        if (s[0] == '/' && s[1] == '.') {
            const char *t = s + 2;
            if (*t == '.')
                t++;
            if (*t == '/' || !*t)
                return 1;
        }
    return 0;
}

int iscom(const char *s)
{
    struct stat st;
    const char *us = unmeta(s);
    return us && !access(us, X_OK) && !stat(us, &st) && S_ISREG(st.st_mode);
}

int isreallycom(CmdEntry *cn)
{
    if (cn->flags & CMD_HASHED)
        return iscom(cn->fullpath);
    if (!cn->name)
        return 0;
    HeapGuard hg;
    return iscom(qhtricat(*cn->name, "/", cn->nam));
}

static CmdEntry *newcmdentry(char **slot)
{
    CmdEntry *cn = qcnew<CmdEntry>();
    cn->name = slot;
    return cn;
}

CmdEntry *hashcmd(char *arg0, char **pp)
{
    if (!pp)
        return nullptr;
    char buf[1024];
    for (; *pp; pp++) {
        if (**pp != '/')
            continue;
        size_t ld = strlen(*pp), ln = strlen(arg0);
        if (ld + 1 + ln >= sizeof(buf))
            continue;
        memcpy(buf, *pp, ld);
        buf[ld] = '/';
        memcpy(buf + ld + 1, arg0, ln + 1);
        if (!iscom(buf))
            continue;
        CmdEntry *cn = newcmdentry(pp);
        cmdnamtab->addnode(cmdnamtab, qtrdup(arg0), cn);
        if (isset(HASHDIRS) && pathchecked) {
            for (; pathchecked <= pp && *pathchecked; pathchecked++)
                hashdir(pathchecked);
        }
        return cn;
    }
    return nullptr;
}

void hashdir(char **dirp)
{
    if (isrelative(*dirp))
        return;
    const char *ud = unmeta(*dirp);
    DIR *dir = ud ? opendir(ud) : nullptr;
    if (!dir)
        return;
    while (const char *fn = qreaddir(dir, 1)) {
        if (!cmdnamtab->getnode(cmdnamtab, fn))
            cmdnamtab->addnode(cmdnamtab, qtrdup(fn), newcmdentry(dirp));
    }
    closedir(dir);
}

// The full path of a command found by searching path, or null.
char *findcmd(char *arg0, int docopy)
{
    if (strchr(arg0, '/'))
        return docopy ? dupstring(arg0) : arg0;
    CmdEntry *cn = static_cast<CmdEntry *>(cmdnamtab->getnode(cmdnamtab, arg0));
    if (!cn && isset(HASHCMDS))
        cn = hashcmd(arg0, path);
    if (cn && !(cn->flags & CMD_HASHED)) {
        // Relative elements are never hashed: one before the directory
        // found comes first, as when the command runs.
        for (char **pp = path; pp && *pp && pp != cn->name; pp++) {
            if (**pp == '/')
                continue;
            char *s = **pp ? qhtricat(*pp, "/", arg0) : dupstring(arg0);
            if (iscom(s))
                return s;
        }
    }
    if (cn) {
        char *s = cn->flags & CMD_HASHED ? dupstring(cn->fullpath) : qhtricat(*cn->name, "/", arg0);
        if (iscom(s))
            return s;
        cmdnamtab->freenode(cmdnamtab->removenode(cmdnamtab, arg0));
    }
    for (char **pp = path; pp && *pp; pp++) {
        char *s = **pp ? qhtricat(*pp, "/", arg0) : dupstring(arg0);
        if (iscom(s))
            return s;
    }
    return nullptr;
}

// ---- shell functions ----

static bool trapname(const char *nam, int *sig)
{
    if (strncmp(nam, "TRAP", 4) || !traphooks.getsignum)
        return false;
    *sig = traphooks.getsignum(nam + 4);
    return *sig != -1;
}

static HashNode *removeshfuncnode(HashTable *ht, const char *nam)
{
    int sig;
    if (trapname(nam, &sig) && traphooks.removetrapfn)
        return traphooks.removetrapfn(sig);
    return removehashnode(ht, nam);
}

static void disableshfuncnode(HashNode *hn)
{
    hn->flags |= NODE_DISABLED;
    int sig;
    if (trapname(hn->nam, &sig) && traphooks.disabletrapfn)
        traphooks.disabletrapfn(sig);
}

static void enableshfuncnode(HashNode *hn)
{
    hn->flags &= ~NODE_DISABLED;
    int sig;
    if (trapname(hn->nam, &sig) && traphooks.enabletrapfn)
        traphooks.enabletrapfn(sig, static_cast<ShellFunc *>(hn));
}

static void freeshfuncnode(HashNode *hn)
{
    ShellFunc *sf = static_cast<ShellFunc *>(hn);
    qsfree(sf->nam);
    if (sf->funcdef)
        freeeprog(sf->funcdef);
    qfree(sf);
}

ShellFunc *newshfunc()
{
    return qcnew<ShellFunc>();
}

void printshfuncnode(HashNode *hn, int printflags)
{
    ShellFunc *f = static_cast<ShellFunc *>(hn);
    if ((printflags & SHOW_NAMEONLY) ||
        ((printflags & SHOW_WHENCE_SIMPLE) && !(printflags & SHOW_WHENCE_FUNCDEF))) {
        niceqputs(f->nam, stdout);
        putchar('\n');
        return;
    }
    if (printflags & SHOW_WHENCE_WORD) {
        niceqputs(f->nam, stdout);
        fputs(": function\n", stdout);
        return;
    }
    if ((printflags & SHOW_WHENCE_VERBOSE) && !(printflags & SHOW_WHENCE_FUNCDEF)) {
        niceqputs(f->nam, stdout);
        fputs(" is a shell function\n", stdout);
        return;
    }
    quotedqputs(f->nam, stdout);
    bool undefined = f->flags & PM_UNDEFINED;
    if (!f->funcdef && !undefined) {
        fputs(" () { }\n", stdout);
        return;
    }
    fputs(" () {\n\t", stdout);
    if (undefined)
        printf("%c undefined\n\t", hashchar);
    if (f->flags & PM_TAGGED)
        printf("%c traced\n\t", hashchar);
    if (undefined) {
        fputs("builtin autoload -X", stdout);
        if (f->flags & PM_UNALIASED)
            putchar('U');
        if (f->flags & PM_TAGGED)
            putchar('t');
    } else {
        HeapGuard hg;
        char *t = getpermtext(f->funcdef, nullptr, 1);
        qputs(t, stdout);
        qsfree(t);
        if (f->funcdef->flags & EF_RUN) {
            fputs("\n\t", stdout);
            quotedqputs(f->nam, stdout);
            fputs(" \"$@\"", stdout);
        }
    }
    fputs("\n}\n", stdout);
}

void createshfunctable()
{
    shfunctab = maketable(7);
    shfunctab->removenode = removeshfuncnode;
    shfunctab->disablenode = disableshfuncnode;
    shfunctab->enablenode = enableshfuncnode;
    shfunctab->freenode = freeshfuncnode;
    shfunctab->printnode = printshfuncnode;
}

// ---- reserved words ----

static ReservedWord reswds[] = {
    {{nullptr, const_cast<char *>("!"), 0}, LX_BANG},
    {{nullptr, const_cast<char *>("[["), 0}, LX_DLBRACK},
    {{nullptr, const_cast<char *>("{"), 0}, LX_LBRACE},
    {{nullptr, const_cast<char *>("}"), 0}, LX_RBRACE},
    {{nullptr, const_cast<char *>("case"), 0}, LX_CASE},
    {{nullptr, const_cast<char *>("coproc"), 0}, LX_COPROC},
    {{nullptr, const_cast<char *>("do"), 0}, LX_DO},
    {{nullptr, const_cast<char *>("done"), 0}, LX_DONE},
    {{nullptr, const_cast<char *>("elif"), 0}, LX_ELIF},
    {{nullptr, const_cast<char *>("else"), 0}, LX_ELSE},
    {{nullptr, const_cast<char *>("end"), 0}, LX_END},
    {{nullptr, const_cast<char *>("esac"), 0}, LX_ESAC},
    {{nullptr, const_cast<char *>("fi"), 0}, LX_FI},
    {{nullptr, const_cast<char *>("for"), 0}, LX_FOR},
    {{nullptr, const_cast<char *>("foreach"), 0}, LX_FOREACH},
    {{nullptr, const_cast<char *>("function"), 0}, LX_FUNCTION},
    {{nullptr, const_cast<char *>("if"), 0}, LX_IF},
    {{nullptr, const_cast<char *>("nocorrect"), 0}, LX_NOCORRECT},
    {{nullptr, const_cast<char *>("repeat"), 0}, LX_REPEAT},
    {{nullptr, const_cast<char *>("select"), 0}, LX_SELECT},
    {{nullptr, const_cast<char *>("then"), 0}, LX_THEN},
    {{nullptr, const_cast<char *>("time"), 0}, LX_TIME},
    {{nullptr, const_cast<char *>("until"), 0}, LX_UNTIL},
    {{nullptr, const_cast<char *>("while"), 0}, LX_WHILE},
};
static_assert(sizeof(reswds) / sizeof(reswds[0]) == 24);

static void printreswdnode(HashNode *hn, int printflags)
{
    if (printflags & SHOW_WHENCE_WORD)
        printf("%s: reserved\n", hn->nam);
    else if (printflags & SHOW_WHENCE_CSH)
        printf("%s: shell reserved word\n", hn->nam);
    else if (printflags & SHOW_WHENCE_VERBOSE)
        printf("%s is a reserved word\n", hn->nam);
    else
        printf("%s\n", hn->nam);
}

static void freenothing(HashNode *) {}

// reswds indices by first byte: those starting with byte c are
// reswdbyfirst[reswdfirst[c]] up to reswdbyfirst[reswdfirst[c + 1]].
static constexpr size_t NRESWDS = sizeof reswds / sizeof reswds[0];
static unsigned char reswdfirst[257];
static ReservedWord *reswdbyfirst[NRESWDS];
static unsigned char reswdlen[NRESWDS];

ReservedWord *findreswd(const char *word, size_t len)
{
    unsigned char c = static_cast<unsigned char>(*word);
    for (unsigned i = reswdfirst[c], e = reswdfirst[c + 1]; i < e; i++)
        if (reswdlen[i] == len && !memcmp(reswdbyfirst[i]->nam, word, len))
            return reswdbyfirst[i]->flags & NODE_DISABLED ? nullptr : reswdbyfirst[i];
    return nullptr;
}

void createreswdtable()
{
    static_assert(NRESWDS < 256);
    unsigned counts[256] = {};
    for (auto &rw : reswds)
        counts[static_cast<unsigned char>(rw.nam[0])]++;
    for (unsigned c = 0, at = 0; c < 256; c++) {
        reswdfirst[c] = static_cast<unsigned char>(at);
        at += counts[c];
        reswdfirst[c + 1] = static_cast<unsigned char>(at);
    }
    unsigned fill[256] = {};
    for (auto &rw : reswds) {
        unsigned char c = static_cast<unsigned char>(rw.nam[0]);
        unsigned i = reswdfirst[c] + fill[c]++;
        reswdbyfirst[i] = &rw;
        reswdlen[i] = static_cast<unsigned char>(strlen(rw.nam));
    }
    reswdtab = maketable(23);
    reswdtab->removenode = nullptr;
    reswdtab->disablenode = disablehashnode;
    reswdtab->enablenode = enablehashnode;
    reswdtab->freenode = freenothing;
    reswdtab->printnode = printreswdnode;
    for (auto &rw : reswds)
        reswdtab->addnode(reswdtab, rw.nam, &rw);
}

// ---- aliases ----

static void freealiasnode(HashNode *hn)
{
    AliasEntry *a = static_cast<AliasEntry *>(hn);
    qsfree(a->nam);
    qsfree(a->text);
    qfree(a);
}

static void printaliasnode(HashNode *hn, int printflags)
{
    AliasEntry *a = static_cast<AliasEntry *>(hn);
    bool global = a->flags & ALIASF_GLOBAL;
    if (printflags & SHOW_NAMEONLY) {
        niceqputs(a->nam, stdout);
        putchar('\n');
    } else if (printflags & SHOW_WHENCE_WORD) {
        niceqputs(a->nam, stdout);
        fputs(": alias\n", stdout);
    } else if (printflags & SHOW_WHENCE_SIMPLE) {
        qputs(a->text, stdout);
        putchar('\n');
    } else if (printflags & SHOW_WHENCE_CSH) {
        niceqputs(a->nam, stdout);
        fputs(global ? ": globally aliased to " : ": aliased to ", stdout);
        niceqputs(a->text, stdout);
        putchar('\n');
    } else if (printflags & SHOW_WHENCE_VERBOSE) {
        niceqputs(a->nam, stdout);
        fputs(global ? " is a global alias for " : " is an alias for ", stdout);
        niceqputs(a->text, stdout);
        putchar('\n');
    } else {
        if (printflags & SHOW_LIST) {
            fputs("alias ", stdout);
            if (global)
                fputs("-g ", stdout);
            if (a->nam[0] == '-')
                fputs("-- ", stdout);
        }
        quotedqputs(a->nam, stdout);
        putchar('=');
        quotedqputs(a->text, stdout);
        putchar('\n');
    }
}

AliasEntry *createaliasnode(char *txt, int flags)
{
    AliasEntry *a = qcnew<AliasEntry>();
    a->flags = flags;
    a->text = txt;
    a->inuse = 0;
    return a;
}

uint64_t aliasinitials[4];

// Every alias passes through here, so the lexer can pass over words whose
// first byte no alias name has without a table look-up.  A removed alias
// leaves its bit set: the look-up then merely finds nothing.
static void addaliasnode(HashTable *ht, char *nam, void *node)
{
    unsigned char c = static_cast<unsigned char>(*nam);
    aliasinitials[c >> 6] |= uint64_t(1) << (c & 63);
    addhashnode(ht, nam, node);
}

void createaliastable()
{
    aliastab = maketable(23);
    aliastab->addnode = addaliasnode;
    aliastab->disablenode = disablehashnode;
    aliastab->enablenode = enablehashnode;
    aliastab->freenode = freealiasnode;
    aliastab->printnode = printaliasnode;
    aliastab->addnode(aliastab, qtrdup("run-help"), createaliasnode(qtrdup("man"), 0));
    aliastab->addnode(aliastab, qtrdup("which-command"), createaliasnode(qtrdup("whence"), 0));
}

// ---- named directories ----

static bool allusersadded;
// finddir's cache: the last path abbreviated and its best directory.
static char *finddir_last;
static NamedDir *finddir_best;

static void resetfinddir()
{
    qsfree(finddir_last);
    finddir_last = nullptr;
    finddir_best = nullptr;
}

static void addnameddirnode(HashTable *ht, char *nam, void *nodeptr)
{
    NamedDir *nd = static_cast<NamedDir *>(nodeptr);
    nd->diff = int(strlen(nd->dir)) - int(strlen(nam));
    resetfinddir();
    addhashnode(ht, nam, nodeptr);
}

static HashNode *removenameddirnode(HashTable *ht, const char *nam)
{
    HashNode *hn = removehashnode(ht, nam);
    if (hn)
        resetfinddir();
    return hn;
}

static void freenameddirnode(HashNode *hn)
{
    NamedDir *nd = static_cast<NamedDir *>(hn);
    qsfree(nd->nam);
    qsfree(nd->dir);
    qfree(nd);
}

static void printnameddirnode(HashNode *hn, int printflags)
{
    NamedDir *nd = static_cast<NamedDir *>(hn);
    if (printflags & SHOW_NAMEONLY) {
        niceqputs(nd->nam, stdout);
        putchar('\n');
        return;
    }
    if (printflags & SHOW_LIST) {
        fputs("hash -d ", stdout);
        if (nd->nam[0] == '-')
            fputs("-- ", stdout);
    }
    quotedqputs(nd->nam, stdout);
    putchar('=');
    quotedqputs(nd->dir, stdout);
    putchar('\n');
}

static void emptynameddirtable(HashTable *ht)
{
    emptyhashtable(ht);
    allusersadded = false;
    resetfinddir();
}

static void fillnameddirtable(HashTable *)
{
    if (allusersadded)
        return;
    HeapGuard hg;
    // This platform has no NIS client in its C library by default, so the
    // password database is the whole source of users.
    setpwent();
    while (struct passwd *pw = getpwent()) {
        if (errflag)
            break;
        if (pw->pw_name && *pw->pw_name && pw->pw_dir && *pw->pw_dir)
            adduserdir(metafy(pw->pw_name, -1, META_HEAPDUP), metafy(pw->pw_dir, -1, META_HEAPDUP),
                       NDF_FROM_USERDB, 1);
    }
    endpwent();
    allusersadded = true;
}

void createnameddirtable()
{
    nameddirtab = maketable(201);
    nameddirtab->addnode = addnameddirnode;
    nameddirtab->removenode = removenameddirnode;
    nameddirtab->emptytable = emptynameddirtable;
    nameddirtab->filltable = fillnameddirtable;
    nameddirtab->freenode = freenameddirnode;
    nameddirtab->printnode = printnameddirnode;
    allusersadded = false;
}

void adduserdir(const char *s, const char *t, int flags, int always)
{
    if (!isset(INTERACTIVE))
        return;
    if ((flags & NDF_FROM_USERDB) && nameddirtab->getnode2(nameddirtab, s))
        return;
    if (!always && !isset(AUTONAMEDIRS) && !nameddirtab->getnode2(nameddirtab, s))
        return;
    if (t && *t == '/' && strlen(t) < 1024) {
        NamedDir *nd = qcnew<NamedDir>();
        nd->flags = flags;
        if (!strcmp(s, "PWD") || !strcmp(s, "OLDPWD"))
            nd->flags |= NDF_NO_ABBREV;
        nd->dir = qtrdup(t);
        nameddirtab->addnode(nameddirtab, qtrdup(s), nd);
    } else if (HashNode *hn = nameddirtab->removenode(nameddirtab, s)) {
        nameddirtab->freenode(hn);
    }
}

// The named directory that abbreviates s best (the longest dir that is a
// path prefix of s), remembered for the next call with the same path.
NamedDir *finddir(const char *s)
{
    if (finddir_last && !strcmp(finddir_last, s))
        return finddir_best;
    NamedDir *best = nullptr;
    for (int i = 0; i < nameddirtab->hsize; i++)
        for (HashNode *hn = nameddirtab->nodes[i]; hn; hn = hn->next) {
            NamedDir *nd = static_cast<NamedDir *>(hn);
            if (nd->flags & (NDF_NO_ABBREV | NODE_DISABLED))
                continue;
            size_t l = strlen(nd->dir);
            if (!strncmp(nd->dir, s, l) && (s[l] == '/' || !s[l]) &&
                (!best || nd->diff > best->diff))
                best = nd;
        }
    resetfinddir();
    finddir_last = qtrdup(s);
    finddir_best = best;
    return best;
}
