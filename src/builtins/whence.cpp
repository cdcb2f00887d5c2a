// whence and its variants type, which and where, command -v/-V, and hash
// and rehash: asking what a name means and changing the command and
// named-directory tables.
#include "builtins/builtins.h"
#include "expand/expand.h"
#include "params/params.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

char **defaultsyspath()
{
    static char **dirs;
    if (dirs)
        return dirs;
    char buf[PATH_MAX];
    size_t n = confstr(_CS_PATH, buf, sizeof buf);
    if (!n || n > sizeof buf)
        strcpy(buf, "/bin:/usr/bin");
    int count = 1;
    for (char *s = buf; *s; s++)
        count += *s == ':';
    dirs = qnew<char *>(size_t(count + 1));
    int i = 0;
    for (char *s = buf;;) {
        char *colon = strchr(s, ':');
        dirs[i++] = colon ? qtrduppfx(s, size_t(colon - s)) : qtrdup(s);
        if (!colon)
            break;
        s = colon + 1;
    }
    dirs[i] = nullptr;
    return dirs;
}

namespace {

// Follow a chain of symbolic links, printing " -> " and each target.
void print_if_link(const char *path)
{
    HeapGuard hg;
    char *cur = unmeta(path);
    for (int hops = 0; hops < 32; hops++) {
        char buf[PATH_MAX];
        ssize_t len = readlink(cur, buf, sizeof buf - 1);
        if (len < 0)
            return;
        buf[len] = '\0';
        char *next;
        if (buf[0] == '/') {
            next = dupstring(buf);
        } else {
            // A relative target is relative to the link's own directory.
            char *dir = dupstring(cur);
            char *slash = strrchr(dir, '/');
            if (slash)
                slash[1] = '\0';
            next = slash ? qhtricat(dir, "", buf) : dupstring(buf);
        }
        fputs(" -> ", stdout);
        niceqputs(metafy(next, -1, META_HEAPDUP), stdout);
        cur = next;
    }
}

struct WhenceHow {
    int printflags;
    bool word, verbose, links, cmdv;
};

void printpath(const char *name, const char *path, const WhenceHow &how)
{
    if (how.word) {
        niceqputs(name, stdout);
        fputs(": command\n", stdout);
        return;
    }
    if (how.verbose) {
        niceqputs(name, stdout);
        fputs(" is ", stdout);
        niceqputs(path, stdout);
    } else {
        qputs(path, stdout);
    }
    if (how.links)
        print_if_link(path);
    putchar('\n');
}

// The executable files that name stands for in dirs, printed; with all,
// every one, else the first.  Returns how many were printed.
int searchdirs(const char *name, char **dirs, bool all, const WhenceHow &how)
{
    int found = 0;
    if (strchr(name, '/')) {
        if (iscom(name)) {
            printpath(name, name, how);
            found++;
        }
        return found;
    }
    for (char **pp = dirs; pp && *pp; pp++) {
        HeapGuard hg;
        char *s = **pp ? qhtricat(*pp, "/", name) : dupstring(name);
        if (iscom(s)) {
            printpath(name, s, how);
            found++;
            if (!all)
                break;
        }
    }
    return found;
}

}  // namespace

int bin_whence(char *nam, char **argv, BuiltinOptions *ops, int func)
{
    bool cmdq = func == BIN_COMMAND;
    bool all = opt_isset(ops, 'a');
    bool pathonly = opt_isset(ops, 'p') && !cmdq;
    bool defpath = cmdq && opt_isset(ops, 'p');
    WhenceHow how{};
    how.word = opt_isset(ops, 'w');
    bool csh = opt_isset(ops, 'c');
    how.verbose = cmdq ? opt_isset(ops, 'V') : opt_isset(ops, 'v') && !csh;
    how.links = opt_isset(ops, 's');
    how.cmdv = cmdq && !opt_isset(ops, 'V');
    if (how.word)
        how.printflags = SHOW_WHENCE_WORD;
    else if (csh)
        how.printflags = SHOW_WHENCE_CSH;
    else if (how.verbose)
        how.printflags = SHOW_WHENCE_VERBOSE;
    else
        how.printflags = SHOW_WHENCE_SIMPLE;
    if (opt_isset(ops, 'f'))
        how.printflags |= SHOW_WHENCE_FUNCDEF;
    bool reportmiss = how.word || how.verbose || csh;

    int ret = 0;
    SignalGuard sg;
    if (opt_isset(ops, 'm') && !cmdq) {
        for (; *argv; argv++) {
            Patprog *pp = patternarg(nam, *argv);
            if (!pp) {
                ret = 1;
                continue;
            }
            if (!pathonly) {
                HashTable *tabs[] = {aliastab, reswdtab, shfunctab, builtintab};
                for (HashTable *ht : tabs)
                    scanmatchtable(ht, pp, 0, NODE_DISABLED, ht->printnode, how.printflags);
            }
            cmdnamtab->filltable(cmdnamtab);
            scanmatchtable(cmdnamtab, pp, 0, 0, cmdnamtab->printnode, how.printflags);
        }
        return ret;
    }

    for (; *argv; argv++) {
        char *name = *argv;
        int found = 0;
        if (!pathonly) {
            HashNode *hn;
            if ((hn = aliastab->getnode(aliastab, name))) {
                // command -v gives the name, which says what to type.
                if (how.cmdv) {
                    qputs(name, stdout);
                    putchar('\n');
                } else {
                    aliastab->printnode(hn, how.printflags);
                }
                found++;
            }
            HashTable *tabs[] = {reswdtab, shfunctab, builtintab};
            for (HashTable *ht : tabs) {
                if (found && !all)
                    break;
                if ((hn = ht->getnode(ht, name))) {
                    ht->printnode(hn, how.printflags);
                    found++;
                }
            }
            // Hashed from the user's PATH: not what -p asks for.
            if ((!found || all) && !defpath && (hn = cmdnamtab->getnode(cmdnamtab, name)) &&
                (hn->flags & CMD_HASHED)) {
                cmdnamtab->printnode(hn, how.printflags);
                found++;
            }
        }
        if (found && !all)
            continue;
        if (all || defpath) {
            found += searchdirs(name, defpath ? defaultsyspath() : path, all, how);
        } else {
            HeapGuard hg;
            char *s = findcmd(name, 1);
            // A name with a slash is found only when it is a command.
            if (s && (!strchr(name, '/') || iscom(name))) {
                printpath(name, s, how);
                found++;
            }
        }
        if (!found) {
            if (reportmiss) {
                niceqputs(name, stdout);
                fputs(how.word ? ": none\n" : " not found\n", stdout);
            }
            ret = 1;
        }
    }
    return ret;
}

int bin_hash(char *nam, char **argv, BuiltinOptions *ops, int)
{
    bool dirs = opt_isset(ops, 'd');
    HashTable *ht = dirs ? nameddirtab : cmdnamtab;
    int ret = 0;
    SignalGuard sg;
    if (opt_isset(ops, 'r') || opt_isset(ops, 'f')) {
        if (*argv) {
            qwarnnam("hash", "too many arguments", nullptr, 0);
            return 1;
        }
        if (opt_isset(ops, 'r'))
            ht->emptytable(ht);
        if (opt_isset(ops, 'f'))
            ht->filltable(ht);
        return 0;
    }
    int printflags = opt_isset(ops, 'L') ? SHOW_LIST : 0;
    if (!*argv) {
        if (dirs)
            ht->filltable(ht);
        scanhashtable(ht, 1, 0, 0, ht->printnode, printflags);
        return 0;
    }
    for (; *argv; argv++) {
        char *arg = *argv;
        if (opt_isset(ops, 'm')) {
            Patprog *pp = patternarg(nam, arg);
            if (!pp) {
                ret = 1;
                continue;
            }
            if (dirs)
                ht->filltable(ht);
            scanmatchtable(ht, pp, 0, 0, ht->printnode, printflags);
            continue;
        }
        char *eq = strchr(arg, '=');
        HashNode *hn = nullptr;
        if (eq && eq != arg) {
            if (isset(RESTRICTED)) {
                qwarnnam(nam, "restricted: %s", arg, 0);
                ret = 1;
                continue;
            }
            char *key = qtrduppfx(arg, size_t(eq - arg));
            if (dirs) {
                NamedDir *nd = qcnew<NamedDir>();
                nd->dir = qtrdup(eq + 1);
                ht->addnode(ht, key, nd);
                hn = nd;
            } else {
                CmdEntry *cn = qcnew<CmdEntry>();
                cn->flags = CMD_HASHED;
                cn->fullpath = qtrdup(eq + 1);
                ht->addnode(ht, key, cn);
                hn = cn;
            }
        } else if (!(hn = ht->getnode2(ht, arg))) {
            if (dirs) {
                qwarnnam(nam, "no such directory name: %s", arg, 0);
                ret = 1;
                continue;
            }
            if (!(hn = hashcmd(arg, path))) {
                qwarnnam(nam, "no such command: %s", arg, 0);
                ret = 1;
                continue;
            }
        }
        if (opt_isset(ops, 'v'))
            ht->printnode(hn, printflags);
    }
    return ret;
}
