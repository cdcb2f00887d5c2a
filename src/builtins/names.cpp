// alias, unalias, unhash, unfunction and unset: defining and removing
// entries of the name tables and parameters.
#include "builtins/builtins.h"
#include "expand/expand.h"
#include "params/params.h"

#include <cstring>

// Callbacks of the pattern scans: the scan stays right when they remove
// the entry they are given.
static HashTable *removetab;

static void removematched(HashNode *hn, int)
{
    if (HashNode *r = removetab->removenode(removetab, hn->nam))
        removetab->freenode(r);
}

static void unsetmatched(HashNode *hn, int) { unsetparam_pm(static_cast<Param *>(hn), 0, 1); }

// Applies fn to the entries of ht each pattern argument matches; a bad
// pattern, or one that matches nothing, makes the status 1.
static int scanpatternargs(char *nam, char **argv, HashTable *ht, int skip, ScanFunc fn)
{
    int ret = 0;
    for (; *argv; argv++) {
        Patprog *pp = patternarg(nam, *argv);
        if (!pp || !scanmatchtable(ht, pp, 0, skip, fn, 0))
            ret = 1;
    }
    return ret;
}

int bin_unhash(char *nam, char **argv, BuiltinOptions *ops, int)
{
    HashTable *ht;
    if (opt_isset(ops, 'd'))
        ht = nameddirtab;
    else if (opt_isset(ops, 'f'))
        ht = shfunctab;
    else if (opt_isset(ops, 'a'))
        ht = aliastab;
    else
        ht = cmdnamtab;
    int ret = 0;
    SignalGuard sg;
    if (opt_isset(ops, 'm')) {
        removetab = ht;
        return scanpatternargs(nam, argv, ht, 0, removematched);
    }
    for (; *argv; argv++) {
        HashNode *hn = ht->removenode ? ht->removenode(ht, *argv) : nullptr;
        if (hn) {
            ht->freenode(hn);
        } else {
            qwarnnam(nam, "no such hash table element: %s", *argv, 0);
            ret = 1;
        }
    }
    return ret;
}

int bin_alias(char *nam, char **argv, BuiltinOptions *ops, int)
{
    if (opt_isset(ops, 'r') && opt_isset(ops, 'g')) {
        qwarnnam(nam, "illegal combination of options", nullptr, 0);
        return 1;
    }
    int flags1 = 0, flags2 = 0;
    if (opt_isset(ops, 'g'))
        flags1 |= ALIASF_GLOBAL;
    if (opt_isset(ops, 'r'))
        flags2 |= ALIASF_GLOBAL;
    int printflags = opt_isset(ops, 'L') ? SHOW_LIST : 0;
    if (opt_plus(ops, 'g') || opt_plus(ops, 'r') || opt_plus(ops, 'm') ||
        (!opt_isset(ops, 'g') && !opt_isset(ops, 'r') && !opt_isset(ops, 'm') && !opt_isset(ops, 'L') &&
         [&] {
             for (int c = 0; c < MAX_OPS; c++)
                 if (opt_plus(ops, c))
                     return true;
             return false;
         }()))
        printflags = SHOW_NAMEONLY;
    if (!*argv) {
        SignalGuard sg;
        scanhashtable(aliastab, 1, flags1, flags2 | NODE_DISABLED, aliastab->printnode, printflags);
        return 0;
    }
    int ret = 0;
    if (opt_isset(ops, 'm')) {
        for (; *argv; argv++) {
            Patprog *pp = patternarg(nam, *argv);
            if (!pp) {
                ret = 1;
                continue;
            }
            SignalGuard sg;
            scanmatchtable(aliastab, pp, flags1, flags2 | NODE_DISABLED, aliastab->printnode, printflags);
        }
        return ret;
    }
    for (; *argv; argv++) {
        char *eq = strchr(*argv, '=');
        if (eq && eq != *argv && !opt_isset(ops, 'L')) {
            SignalGuard sg;
            char *name = qtrduppfx(*argv, size_t(eq - *argv));
            aliastab->addnode(aliastab, name,
                              createaliasnode(qtrdup(eq + 1), opt_isset(ops, 'g') ? ALIASF_GLOBAL : 0));
            continue;
        }
        AliasEntry *a = static_cast<AliasEntry *>(aliastab->getnode(aliastab, *argv));
        if (a && (!flags1 || (a->flags & flags1)) && !(a->flags & flags2))
            aliastab->printnode(a, printflags);
        else
            ret = 1;
    }
    return ret;
}

int bin_unset(char *nam, char **argv, BuiltinOptions *ops, int)
{
    if (opt_isset(ops, 'f')) {
        BuiltinOptions fops = *ops;
        fops.ind[static_cast<int>('f')] = 1;
        return bin_unhash(nam, argv, &fops, 0);
    }
    int ret = 0;
    // In sh and ksh emulation unsetting what is not set succeeds, as
    // scripts written for those shells expect under set -e.
    bool lenient = emulating(EMULATE_SH | EMULATE_KSH);
    SignalGuard sg;
    if (opt_isset(ops, 'm')) {
        // Parameters that are unset, or protected in restricted mode,
        // are not matched.
        int skip = PF_UNSET | (isset(RESTRICTED) ? PF_RESTRICTED : 0);
        return scanpatternargs(nam, argv, paramtab, skip, unsetmatched);
    }
    for (; *argv; argv++) {
        char *name = *argv;
        char *br = strchr(name, '[');
        if (br) {
            size_t l = strlen(name);
            if (name[l - 1] != ']') {
                qwarnnam(nam, "%s: invalid parameter name", name, 0);
                ret = 1;
                continue;
            }
            char *base = dupstrpfx(name, size_t(br - name));
            Param *pm = static_cast<Param *>(paramtab->getnode(paramtab, base));
            if (!pm || (pm->flags & PF_UNSET)) {
                if (!lenient)
                    ret = 1;
                continue;
            }
            if (isset(RESTRICTED) && (pm->flags & PF_RESTRICTED)) {
                qwarnnam(nam, "%s: restricted", base, 0);
                ret = 1;
                continue;
            }
            if (PF_TYPE(pm->flags) != PF_HASHED) {
                qwarnnam(nam, "%s: invalid element for unset", name, 0);
                ret = 1;
                continue;
            }
            char *key = dupstrpfx(br + 1, l - size_t(br - name) - 2);
            HashTable *ht = pm->getter.hfn(pm);
            if (ht)
                if (HashNode *hn = ht->removenode(ht, key))
                    ht->freenode(hn);
            continue;
        }
        Param *pm = static_cast<Param *>(paramtab->getnode(paramtab, name));
        if (!pm || (pm->flags & PF_UNSET)) {
            if (!lenient)
                ret = 1;
            continue;
        }
        if (isset(RESTRICTED) && (pm->flags & PF_RESTRICTED)) {
            qwarnnam(nam, "%s: restricted", name, 0);
            ret = 1;
            continue;
        }
        if (unsetparam_pm(pm, 0, 1))
            ret = 1;
    }
    return ret;
}
