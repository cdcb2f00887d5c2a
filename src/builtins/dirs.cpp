// cd, chdir, pushd, popd, dirs and pwd: the shell's logical current
// directory, OLDPWD and the directory stack, with cdpath and named dirs.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "jobs/jobs.h"
#include "params/params.h"

#include <cerrno>
#include <climits>
#include <initializer_list>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

char *pwd, *oldpwd;
LinkList *dirstack;
int doprintdir;

// Whether the directory being entered is to be recorded physically.
static int chase_links;

static char *syscwd();

// The directory state starts from what start-up put in PWD and OLDPWD.
void initdirs()
{
    if (!dirstack)
        dirstack = qnewlinklist();
    if (!pwd) {
        // PWD as start-up left it, unless it was since given a value
        // that is not the current directory.
        const char *p = getsparam("PWD");
        struct stat st1, st2;
        const char *u = p && *p == '/' ? unmeta(p) : nullptr;
        if (u && stat(u, &st1) == 0 && stat(".", &st2) == 0 && st1.st_dev == st2.st_dev &&
            st1.st_ino == st2.st_ino)
            pwd = qtrdup(p);
        else if (!(pwd = syscwd()))
            pwd = qtrdup(p && *p == '/' ? p : ".");
    }
    if (!oldpwd) {
        const char *o = getsparam("OLDPWD");
        oldpwd = qtrdup(o && *o == '/' ? o : pwd);
    }
}

// The system's name for the current directory, metafied and permanent;
// null when it cannot be found.
static char *syscwd()
{
    char buf[PATH_MAX + 1];
    if (!getcwd(buf, sizeof buf))
        return nullptr;
    return metafy(buf, -1, META_DUP);
}

// The physical form of a metafied path (permanent), or null.
static char *physpath(const char *path)
{
    char buf[PATH_MAX + 1];
    const char *u = unmeta(path);
    if (!u || !realpath(u, buf))
        return nullptr;
    return metafy(buf, -1, META_DUP);
}

static bool isdirpath(const char *path)
{
    struct stat st;
    const char *u = unmeta(path);
    return u && stat(*u ? u : "/", &st) == 0 && S_ISDIR(st.st_mode);
}

int fixdir(char *src)
{
    char *d0 = src, *dest = src;
    bool abs = *src == '/';
    if (abs)
        *dest++ = '/';
    char *const root = dest;
    int ret = 0;
    for (;;) {
        while (*src == '/')
            src++;
        if (!*src)
            break;
        if (src[0] == '.' && (!src[1] || src[1] == '/')) {
            src++;
            continue;
        }
        if (src[0] == '.' && src[1] == '.' && (!src[2] || src[2] == '/')) {
            // The component before: from the last '/' written, or all.
            char *prev = dest;
            while (prev > root && prev[-1] != '/')
                prev--;
            bool prevdots = dest - prev == 2 && prev[0] == '.' && prev[1] == '.';
            if ((dest == root && !abs) || prevdots || (isset(CHASEDOTS) && dest != root)) {
                // Kept: a leading ".." of a relative path, or on request,
                // which makes the new directory be taken physically.
                if (dest > root && dest[-1] != '/')
                    *dest++ = '/';
                *dest++ = '.';
                *dest++ = '.';
                src += 2;
                if (isset(CHASEDOTS) && !prevdots && !(dest - 2 == root))
                    ret = 1;
                continue;
            }
            if (dest == root) {
                // The parent of the root is the root.
                src += 2;
                continue;
            }
            // Going back over a component is only sound when it is a
            // directory; otherwise keep the rest as it is.
            char save = *dest;
            *dest = '\0';
            bool ok = isdirpath(d0);
            *dest = save;
            if (!ok) {
                if (dest[-1] != '/')
                    *dest++ = '/';
                memmove(dest, src, strlen(src) + 1);
                return 1;
            }
            dest = prev > root ? prev - 1 : root;
            src += 2;
            continue;
        }
        if (dest > root && dest[-1] != '/')
            *dest++ = '/';
        while (*src && *src != '/')
            *dest++ = *src++;
    }
    if (dest == d0)
        *dest++ = '.';
    *dest = '\0';
    return ret;
}

// chdir that, when hard, refuses a path through a symbolic link.
static int lchdir(const char *path, int hard)
{
    const char *u = unmeta(path);
    if (!u) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (hard) {
        char *buf = dupstring(u);
        for (char *p = buf + 1;; p++) {
            if (*p == '/' || !*p) {
                char c = *p;
                *p = '\0';
                struct stat st;
                if (lstat(buf, &st) == 0 && S_ISLNK(st.st_mode)) {
                    errno = ENOTDIR;
                    return -1;
                }
                *p = c;
                if (!c)
                    break;
            }
        }
    }
    return chdir(u);
}

// Try one way into dest: after prefix pfix (none: dest alone), relative
// parts put after pwd.  The path entered (permanent), or null with errno.
static char *cdtrydir(const char *pfix, const char *dest, int hard)
{
    char *buf;
    auto afterpwd = [](const char *rel) {
        return strcmp(pwd, "/") ? qhtricat(pwd, "/", rel) : dyncat("/", rel);
    };
    if (pfix && *pfix) {
        char *p = qhtricat(pfix, "/", dest);
        buf = *pfix == '/' ? p : afterpwd(p);
    } else {
        buf = *dest == '/' ? dupstring(dest) : afterpwd(dest);
    }
    if (!chase_links && fixdir(buf))
        chase_links = 1;
    if (lchdir(buf, hard) == 0)
        return qtrdup(buf);
    int eno = errno;
    // When the logical path fails, the name as given may still lead
    // somewhere from the real current directory; take that physically.
    if (!(pfix && *pfix) && *dest != '/' && lchdir(dest, hard) == 0) {
        chase_links = 1;
        if (char *r = syscwd())
            return r;
        return qtrdup(buf);
    }
    errno = eno;
    return nullptr;
}

char *cd_able_vars(const char *name)
{
    const char *slash = strchr(name, '/');
    char *first = slash ? dupstrpfx(name, size_t(slash - name)) : dupstring(name);
    if (!*first)
        return nullptr;
    char *dir = nullptr;
    {
        NoErrsGuard quiet(1);
        dir = getnameddir(first);
    }
    if (!dir) {
        char *v = isident(first) ? getsparam(first) : nullptr;
        if (v && *v == '/')
            dir = v;
    }
    if (!dir)
        return nullptr;
    return slash ? dyncat(dir, slash) : dupstring(dir);
}

static char *cdtry(const char *nam, const char *dest, int hard)
{
    int eno = ENOENT;
    bool nocdpath = !strcmp(dest, ".") || !strcmp(dest, "..") || !strncmp(dest, "./", 2) ||
                    !strncmp(dest, "../", 3);
    if (*dest == '/') {
        if (char *r = cdtrydir(nullptr, dest, hard))
            return r;
        qwarnnam(nam, "%e: %s", dest, errno);
        return nullptr;
    }
    bool hasdot = false;
    if (!nocdpath)
        for (char **cp = cdpath; cp && *cp; cp++)
            if (!**cp || !strcmp(*cp, "."))
                hasdot = true;
    if (nocdpath || !hasdot) {
        if (char *r = cdtrydir(nullptr, dest, hard))
            return r;
        if (errno != ENOENT)
            eno = errno;
    }
    if (!nocdpath) {
        for (char **cp = cdpath; cp && *cp; cp++) {
            if (char *r = cdtrydir(*cp, dest, hard)) {
                if (**cp && strcmp(*cp, "."))
                    doprintdir++;
                return r;
            }
            if (errno != ENOENT)
                eno = errno;
        }
    }
    if (isset(CDABLEVARS)) {
        if (char *v = cd_able_vars(dest)) {
            if (char *r = cdtrydir(nullptr, v, hard)) {
                doprintdir++;
                return r;
            }
            if (errno != ENOENT)
                eno = errno;
        }
    }
    qwarnnam(nam, "%e: %s", dest, eno);
    return nullptr;
}

// A "+n"/"-n" stack reference: the node, or null with *isref telling
// whether the word was a reference at all.
static LinkNode *stackref(const char *nam, const char *arg, bool *isref)
{
    *isref = false;
    if ((*arg != '+' && *arg != '-') || !arg[1] || strspn(arg + 1, "0123456789") != strlen(arg + 1))
        return nullptr;
    *isref = true;
    errno = 0;
    char *end;
    long long n = strtoll(arg + 1, &end, 10);
    LinkNode *dir = nullptr;
    if (errno == 0) {
        if ((*arg == '+') != bool(isset(PUSHDMINUS)))
            for (dir = firstnode(dirstack); dir && n; n--)
                incnode(dir);
        else
            for (dir = lastnode(dirstack); dir != listhead(dirstack) && n; n--)
                dir = prevnode(dir);
    }
    // The pushed copy of the current directory is not an entry.
    if (!dir || dir == listhead(dirstack) || dir == firstnode(dirstack)) {
        qwarnnam(nam, "no such entry in dir stack", nullptr, 0);
        return nullptr;
    }
    return dir;
}

// The node of the stack to change into, its text replaced by the path
// entered; null after a message, with the stack as it was apart from the
// pushed copy (and a popd entry that could not be entered).
static LinkNode *cdtarget(const char *nam, char **argv, int hard, int func, bool *moved)
{
    LinkNode *dir = nullptr;
    bool pushed = false, swapped = false;
    *moved = true;
    if (!argv[0]) {
        if (func == BIN_POPD) {
            if (!nextnode(firstnode(dirstack))) {
                qwarnnam(nam, "directory stack empty", nullptr, 0);
                return nullptr;
            }
            dir = nextnode(firstnode(dirstack));
        } else if (func == BIN_PUSHD && !isset(PUSHDTOHOME) && nextnode(firstnode(dirstack))) {
            dir = nextnode(firstnode(dirstack));
            qinsertlinknode(dirstack, dir, getlinknode(dirstack));
            swapped = true;
        } else {
            const char *h = getsparam("HOME");
            dir = qpushnode(dirstack, qtrdup(h ? h : ""));
            pushed = true;
        }
    } else if (argv[1]) {
        const char *at = strstr(pwd, argv[0]);
        if (!at) {
            qwarnnam(nam, "string not in pwd: %s", argv[0], 0);
            return nullptr;
        }
        size_t pre = size_t(at - pwd);
        char *t = static_cast<char *>(qalloc(strlen(pwd) - strlen(argv[0]) + strlen(argv[1]) + 1));
        memcpy(t, pwd, pre);
        strcpy(t + pre, argv[1]);
        strcat(t, at + strlen(argv[0]));
        dir = qpushnode(dirstack, t);
        pushed = true;
        doprintdir++;
    } else {
        doprintdir++;
        bool isref;
        dir = stackref(nam, argv[0], &isref);
        if (isref && !dir)
            return nullptr;
        if (dir && func == BIN_POPD && dir != nextnode(firstnode(dirstack))) {
            // A deeper entry is only dropped; the directory stays.
            qsfree(static_cast<char *>(remnode(dirstack, dir)));
            *moved = false;
            return firstnode(dirstack);
        }
        if (!dir) {
            const char *target = argv[0];
            if (!strcmp(target, "-"))
                target = oldpwd;
            else
                doprintdir--;
            dir = qpushnode(dirstack, qtrdup(target));
            pushed = true;
        }
    }
    char *got = cdtry(nam, static_cast<char *>(getdata(dir)), hard);
    if (!got) {
        if (pushed)
            qsfree(static_cast<char *>(getlinknode(dirstack)));
        else if (swapped)
            qinsertlinknode(dirstack, listhead(dirstack), remnode(dirstack, nextnode(firstnode(dirstack))));
        else if (func == BIN_POPD)
            qsfree(static_cast<char *>(remnode(dirstack, dir)));
        return nullptr;
    }
    qsfree(static_cast<char *>(getdata(dir)));
    setdata(dir, got);
    return dir;
}

void set_pwd_env()
{
    for (const char *name : {"PWD", "OLDPWD"}) {
        Param *pm = static_cast<Param *>(gethashnode2(paramtab, name));
        if (pm && PF_TYPE(pm->flags) != PF_SCALAR) {
            pm->flags &= ~PF_READONLY;
            unsetparam_pm(pm, 0, 1);
        }
    }
    setsparam("PWD", qtrdup(pwd));
    setsparam("OLDPWD", qtrdup(oldpwd));
    for (const char *name : {"PWD", "OLDPWD"}) {
        Param *pm = static_cast<Param *>(gethashnode2(paramtab, name));
        if (pm && !(pm->flags & PF_EXPORTED))
            export_param(pm);
    }
}

void showdirstack()
{
    fprintdir(pwd, stdout);
    for (LinkNode *n = firstnode(dirstack); n; incnode(n)) {
        putchar(' ');
        fprintdir(static_cast<char *>(getdata(n)), stdout);
    }
    putchar('\n');
}

// Trim the stack from the bottom to what DIRSTACKSIZE allows.
static void limitdirstack()
{
    int64_t ds = getiparam("DIRSTACKSIZE");
    if (ds <= 0)
        return;
    int64_t max = ds < 2 ? 2 : ds;
    while (countlinknodes(dirstack) >= max)
        qsfree(static_cast<char *>(remnode(dirstack, lastnode(dirstack))));
}

static void cdnewpwd(int func, LinkNode *dir, bool moved)
{
    char *newpwd;
    if (func == BIN_POPD) {
        if (moved) {
            // The pushed copy goes; the entry entered becomes the pwd.
            newpwd = static_cast<char *>(remnode(dirstack, dir));
            qsfree(static_cast<char *>(getlinknode(dirstack)));
        } else {
            newpwd = static_cast<char *>(getlinknode(dirstack));
        }
    } else {
        if (func == BIN_PUSHD)
            rolllist(dirstack, dir);
        newpwd = static_cast<char *>(remnode(dirstack, dir));
        if (func == BIN_CD && !isset(AUTOPUSHD))
            qsfree(static_cast<char *>(getlinknode(dirstack)));
    }
    if (chase_links) {
        if (char *p = physpath(newpwd)) {
            qsfree(newpwd);
            newpwd = p;
        }
    }
    if (isset(PUSHDIGNOREDUPS)) {
        for (LinkNode *n = firstnode(dirstack); n; incnode(n))
            if (!strcmp(static_cast<char *>(getdata(n)), newpwd)) {
                qsfree(static_cast<char *>(remnode(dirstack, n)));
                break;
            }
    }
    qsfree(oldpwd);
    oldpwd = pwd;
    setjobpwd();
    pwd = newpwd;
    set_pwd_env();
    if (isset(INTERACTIVE)) {
        if (func != BIN_CD && !isset(PUSHDSILENT))
            showdirstack();
        else if (doprintdir) {
            fprintdir(pwd, stdout);
            putchar('\n');
        }
    }
    if (hookwanted("chpwd")) {
        fflush(stdout);
        fflush(stderr);
        callhookfunc("chpwd", nullptr, 1, nullptr);
    }
    limitdirstack();
}

int bin_cd(char *nam, char **argv, BuiltinOptions *ops, int func)
{
    if (isset(RESTRICTED)) {
        qwarnnam(nam, "restricted", nullptr, 0);
        return 1;
    }
    initdirs();
    doprintdir = doprintdir == -1;
    chase_links = opt_isset(ops, 'P') || (isset(CHASELINKS) && !opt_isset(ops, 'L'));
    SignalGuard sg;
    qpushnode(dirstack, qtrdup(pwd));
    bool moved;
    LinkNode *dir = cdtarget(nam, argv, opt_isset(ops, 's'), func, &moved);
    if (!dir) {
        qsfree(static_cast<char *>(getlinknode(dirstack)));
        return 1;
    }
    cdnewpwd(func, dir, moved);

    // Keep the recorded directory and the real one in step.
    struct stat st1, st2;
    const char *u = unmeta(pwd);
    if (!u || stat(u, &st1) < 0) {
        setjobpwd();
        if (char *p = syscwd()) {
            qsfree(pwd);
            pwd = p;
            set_pwd_env();
        }
    } else if (stat(".", &st2) < 0) {
        if (chdir(u) < 0) {
            // Nowhere to go back to; the recorded name stays.
        }
    } else if (st1.st_dev != st2.st_dev || st1.st_ino != st2.st_ino) {
        if (chase_links) {
            if (char *p = syscwd()) {
                qsfree(pwd);
                pwd = p;
                set_pwd_env();
            }
        } else if (chdir(u) < 0) {
            // As above.
        }
    }
    return 0;
}

int bin_pwd(char *, char **, BuiltinOptions *ops, int)
{
    initdirs();
    std::string line;
    if (opt_isset(ops, 'r') || opt_isset(ops, 'P') || (isset(CHASELINKS) && !opt_isset(ops, 'L'))) {
        char buf[PATH_MAX + 1];
        if (!getcwd(buf, sizeof buf)) {
            qwarnnam("pwd", "%e", nullptr, errno);
            return 1;
        }
        line = buf;
    } else {
        line = unmeta(pwd);
    }
    line += '\n';
    // Kept in memory for a substitution run in the shell itself.
    if (outcapture)
        *outcapture += line;
    else
        fputs(line.c_str(), stdout);
    return 0;
}

int bin_dirs(char *, char **argv, BuiltinOptions *ops, int)
{
    initdirs();
    SignalGuard sg;
    bool v = opt_isset(ops, 'v'), p = opt_isset(ops, 'p');
    if ((!*argv && !opt_isset(ops, 'c')) || v || p) {
        auto show = [&](const char *d) {
            if (opt_isset(ops, 'l'))
                qputs(d, stdout);
            else
                fprintdir(d, stdout);
        };
        if (v)
            fputs("0\t", stdout);
        show(pwd);
        int i = 1;
        for (LinkNode *n = firstnode(dirstack); n; incnode(n), i++) {
            if (v)
                printf("\n%d\t", i);
            else
                putchar(p ? '\n' : ' ');
            show(static_cast<char *>(getdata(n)));
        }
        putchar('\n');
        return 0;
    }
    while (char *s = static_cast<char *>(getlinknode(dirstack)))
        qsfree(s);
    for (char **a = argv; *a; a++)
        qaddlinknode(dirstack, qtrdup(*a));
    return 0;
}
