// Executing an external command in the child: the PATH search, #! lines
// the kernel refuses, and the fall-back to /bin/sh.
#include "exec/exec.h"
#include "expand/expand.h"
#include "jobs/jobs.h"
#include "params/params.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char **environ;

// Errors worth reporting from one try of the search: not the ones that
// only say the command is not in that directory.
static bool counts(int err, const char *dir)
{
    if (err == ENOENT || err == ENOTDIR)
        return false;
    if (err == EACCES && dir) {
        struct stat st;
        const char *ud = unmeta(dir);
        if (ud && (stat(ud, &st) || !S_ISDIR(st.st_mode) || access(ud, X_OK)))
            return false;
    }
    return true;
}

// Set the environment's _ to the absolute form of path.
static void setenvunderscore(const char *path)
{
    char cwd[4096];
    const char *abs = path;
    char buf[8192];
    if (*path != '/' && getcwd(cwd, sizeof cwd)) {
        snprintf(buf, sizeof buf, "%s/%s", cwd, path);
        abs = buf;
    }
    size_t n = strlen(abs) + 3;
    char *e = static_cast<char *>(malloc(n));
    if (!e)
        return;
    snprintf(e, n, "_=%s", abs);
    char **ep;
    for (ep = environ; *ep; ep++)
        if (!strncmp(*ep, "_=", 2))
            break;
    if (*ep) {
        *ep = e;
    } else {
        size_t cnt = size_t(ep - environ);
        char **ne = static_cast<char **>(malloc((cnt + 2) * sizeof(char *)));
        if (!ne)
            return;
        memcpy(ne, environ, cnt * sizeof(char *));
        ne[cnt] = e;
        ne[cnt + 1] = nullptr;
        environ = ne;
    }
}

// Try to execute path; returns errno (the error of the file) on failure.
static int execvepath(const char *mpath, char **argv)
{
    char *path = unmeta(mpath);
    if (!path)
        return ENAMETOOLONG;
    char pathbuf[4096];
    strncpy(pathbuf, path, sizeof pathbuf - 1);
    pathbuf[sizeof pathbuf - 1] = '\0';
    setenvunderscore(pathbuf);
    execve(pathbuf, argv, environ);
    int err = errno;
    if (err != ENOEXEC)
        return err;
    int fd = open(pathbuf, O_RDONLY | O_NOCTTY);
    if (fd < 0)
        return errno;
    char buf[65];
    ssize_t n = read(fd, buf, 64);
    close(fd);
    if (n < 0)
        return errno;
    buf[n] = '\0';
    int argc = 0;
    while (argv[argc])
        argc++;
    char **nargv = static_cast<char **>(malloc(sizeof(char *) * size_t(argc + 4)));
    if (!nargv)
        return ENOMEM;
    if (n >= 2 && buf[0] == '#' && buf[1] == '!') {
        char *nl = static_cast<char *>(memchr(buf, '\n', size_t(n)));
        if (nl) {
            *nl = '\0';
            char *e = nl;
            while (e > buf + 2 && (e[-1] == ' ' || e[-1] == '\t'))
                *--e = '\0';
            char *interp = buf + 2;
            while (*interp == ' ' || *interp == '\t')
                interp++;
            char *sp = interp;
            while (*sp && *sp != ' ' && *sp != '\t')
                sp++;
            char *arg = nullptr;
            if (*sp) {
                *sp++ = '\0';
                while (*sp == ' ' || *sp == '\t')
                    sp++;
                if (*sp)
                    arg = sp;
            }
            int k = 0;
            nargv[k++] = interp;
            if (arg)
                nargv[k++] = arg;
            nargv[k++] = pathbuf;
            for (int i = 1; i <= argc; i++)
                nargv[k++] = argv[i];
            execve(interp, nargv, environ);
            err = errno;
            free(nargv);
            return err;
        }
        free(nargv);
        return ENOEXEC;
    }
    if ((n >= 1 && buf[0] == '#') || !memchr(buf, '\0', size_t(n))) {
        int k = 0;
        nargv[k++] = const_cast<char *>("sh");
        nargv[k++] = pathbuf;
        for (int i = 1; i <= argc; i++)
            nargv[k++] = argv[i];
        execve("/bin/sh", nargv, environ);
        err = errno;
    } else {
        err = ENOEXEC;
    }
    free(nargv);
    return err;
}

[[noreturn]] static void execfailed(int err, const char *name)
{
    if (err)
        qerr("%e: %s", name, err);
    else
        qerr("command not found: %s", name, 0);
    fflush(stderr);
    _exit(err == EACCES || err == ENOEXEC ? 126 : 127);
}

void execute(LinkList *args, int dash)
{
    beforechild();
    char *arg0 = static_cast<char *>(getdata(firstnode(args)));
    if (isset(RESTRICTED) && strchr(arg0, '/')) {
        qerr("%s: restricted", arg0, 0);
        _exit(1);
    }
    if (STTYval) {
        // stty settings given as an assignment apply to the terminal of a
        // group leader only.
        char *sv = STTYval;
        STTYval = nullptr;
        if (isatty(0) && getpgrp() == getpid()) {
            HeapGuard hg;
            char *cmd = dyncat("stty ", sv);
            execstring(cmd, 1, 0, "stty");
        }
        qsfree(sv);
    }
    CmdEntry *cn = static_cast<CmdEntry *>(cmdnamtab->getnode(cmdnamtab, arg0));
    char *argzeroval = arg0;
    if (unset(RESTRICTED)) {
        if (const char *a0 = getenv("ARGV0")) {
            argzeroval = metafy(const_cast<char *>(a0), -1, META_HEAPDUP);
            unsetenv("ARGV0");
        } else if (dash) {
            argzeroval = dyncat("-", arg0);
        }
    } else if (dash) {
        argzeroval = dyncat("-", arg0);
    }

    int argc = countlinknodes(args);
    char **argv = static_cast<char **>(qhalloc(sizeof(char *) * size_t(argc + 1)));
    int i = 0;
    for (LinkNode *n = firstnode(args); n; n = nextnode(n), i++) {
        char *w = dupstring(i ? static_cast<char *>(getdata(n)) : argzeroval);
        unmetafy(w, nullptr);
        argv[i] = w;
    }
    argv[i] = nullptr;
    if (isset(XTRACE))
        tracewords(args);
    closem(FDT_XTRACE);
    closedumps();
    signal_unblock(signal_mask(SIGCHLD));

    if (strlen(arg0) >= 1024) {
        qerr("command too long: %s", arg0, 0);
        _exit(1);
    }
    int eno = 0;
    if (strchr(arg0, '/')) {
        int err = execvepath(arg0, argv);
        if (*arg0 == '/' || unset(PATHDIRS) || !strncmp(arg0, "./", 2) || !strncmp(arg0, "../", 3))
            execfailed(err, arg0);
        eno = counts(err, nullptr) ? err : 0;
    }
    if (cn) {
        if (cn->flags & CMD_HASHED) {
            int err = execvepath(cn->fullpath, argv);
            if (counts(err, nullptr))
                eno = err;
        } else {
            for (char **pp = path; pp && *pp && pp != cn->name; pp++) {
                // Relative elements are never hashed, so they come first.
                bool rel = !**pp || !strcmp(*pp, ".") || **pp != '/';
                if (!rel)
                    continue;
                HeapGuard hg;
                char *p = **pp && strcmp(*pp, ".") ? qhtricat(*pp, "/", arg0) : dupstring(arg0);
                int err = execvepath(p, argv);
                if (counts(err, *pp))
                    eno = err;
            }
            if (cn->name) {
                HeapGuard hg;
                int err = execvepath(qhtricat(*cn->name, "/", arg0), argv);
                if (counts(err, *cn->name))
                    eno = err;
            }
        }
    }
    for (char **pp = path; pp && *pp; pp++) {
        HeapGuard hg;
        char *p = (!**pp || !strcmp(*pp, ".")) ? dupstring(arg0) : qhtricat(*pp, "/", arg0);
        int err = execvepath(p, argv);
        if (counts(err, *pp))
            eno = err;
    }
    execfailed(eno, arg0);
}

// ---- starting a program without copying the shell ----

// The file a command word runs, found the way execute's search would
// find it first; null when only that search can decide (relative path
// elements, pathdirs, nothing found), and the caller forks instead.
static char *spawnfile(char *arg0, CmdEntry *cn)
{
    if (strchr(arg0, '/')) {
        bool direct = *arg0 == '/' || unset(PATHDIRS) || !strncmp(arg0, "./", 2) || !strncmp(arg0, "../", 3);
        return direct ? arg0 : nullptr;
    }
    if (cn && (cn->flags & CMD_HASHED))
        return cn->fullpath;
    for (char **pp = path; pp && *pp; pp++) {
        if (**pp != '/')
            return nullptr;
        char *p = qhtricat(*pp, "/", arg0);
        if (cn && cn->name == pp)
            return p;
        struct stat st;
        const char *u = unmeta(p);
        if (u && !stat(u, &st) && S_ISREG(st.st_mode) && !access(u, X_OK))
            return p;
    }
    return nullptr;
}

// The environment with _ naming the program, as the child of a fork
// would set it for itself.
static char **spawnenv(const char *file)
{
    char cwd[4096];
    const char *under = file;
    if (*file != '/') {
        if (!getcwd(cwd, sizeof cwd))
            return nullptr;
        under = qhtricat(cwd, "/", file);
    }
    int n = 0;
    while (environ[n])
        n++;
    char **env = qhnew<char *>(size_t(n) + 2);
    int k = 0;
    for (int i = 0; i < n; i++)
        if (strncmp(environ[i], "_=", 2))
            env[k++] = environ[i];
    env[k++] = qhtricat("_", "=", under);
    env[k] = nullptr;
    return env;
}

// What a spawned child does to its descriptors before it runs the
// program: a descriptor copied onto another, or a file opened onto one.
struct SpawnAction {
    int fd;         // the descriptor made
    int from;       // copy: the descriptor copied; open: -1
    const char *file;
    int flags;
};

// The redirections a spawned program can be given: plain words (nothing
// to expand), to or from files or other low descriptors, each descriptor
// once and none a pipe's (so no multios), without noclobber's checks.
// Anything else forks.
static bool spawnredirs(LinkList *redir, int input, int output, std::vector<SpawnAction> &acts)
{
    unsigned seen = (input ? 1u : 0u) | (output ? 2u : 0u);
    for (LinkNode *n = redir ? firstnode(redir) : nullptr; n; n = nextnode(n)) {
        Redir *r = static_cast<Redir *>(getdata(n));
        if (r->fd1 < 0 || r->fd1 >= 10 || (seen & (1u << r->fd1)) || has_token(r->name))
            return false;
        seen |= 1u << r->fd1;
        switch (r->type) {
        case RT_WRITE:
        case RT_APPEND:
            if (unset(CLOBBER))
                return false;
            break;
        case RT_WRITE_FORCE:
        case RT_APPEND_FORCE:
        case RT_READ:
            break;
        case RT_DUP_IN:
        case RT_DUP_OUT:
            if (!idigit(static_cast<unsigned char>(r->name[0])) || r->name[1])
                return false;
            break;
        default:
            return false;
        }
    }
    if (input)
        acts.push_back({0, input, nullptr, 0});
    if (output)
        acts.push_back({1, output, nullptr, 0});
    for (LinkNode *n = redir ? firstnode(redir) : nullptr; n; n = nextnode(n)) {
        Redir *r = static_cast<Redir *>(getdata(n));
        const char *file = unmeta(r->name);
        if (!file)
            return false;
        file = dupstring(file);
        switch (r->type) {
        case RT_READ:
            acts.push_back({r->fd1, -1, file, O_RDONLY | O_NOCTTY});
            break;
        case RT_DUP_IN:
        case RT_DUP_OUT:
            acts.push_back({r->fd1, r->name[0] - '0', nullptr, 0});
            break;
        default:
            acts.push_back({r->fd1, -1, file, O_WRONLY | O_CREAT | O_NOCTTY | ((r->type & 2) ? O_APPEND : O_TRUNC)});
            break;
        }
    }
    return true;
}

// Whether a spawned program gets SIGQUIT at its default action: the
// shell may ignore it for itself alone, as a forked child resets it.
static bool quitdefault() { return !sigignored(SIGQUIT) && !bgignore; }

// Set by a spawned child that could not run its program (it shares the
// shell's memory until then).
static volatile int spawnerrno;

// The child's side of a spawn, in a function of its own that it leaves
// only through the program or _exit: until then it runs on the shell's
// memory, so it makes only system calls.
[[gnu::noinline]] static pid_t vforkexec(const char *file, char **argv, char **env, const SpawnAction *act,
                                         size_t nact, const sigset_t *childmask)
{
    const sigset_t *caught = caughtsignals();
    bool dflquit = quitdefault();
    pid_t pid = vfork();
    if (pid != 0)
        return pid;
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; s++)
        if (sigismember(caught, s) == 1 || (s == SIGQUIT && dflquit))
            sigaction(s, &dfl, nullptr);
    for (size_t k = 0; k < nact; k++) {
        const SpawnAction &a = act[k];
        int fd = a.from;
        if (a.file) {
            fd = open(a.file, a.flags, 0666);
            if (fd < 0) {
                spawnerrno = errno;
                _exit(127);
            }
        }
        if (fd != a.fd) {
            if (dup2(fd, a.fd) < 0) {
                spawnerrno = errno;
                _exit(127);
            }
            if (a.file)
                close(fd);
        }
    }
    sigprocmask(SIG_SETMASK, childmask, nullptr);
    execve(file, argv, env);
    spawnerrno = errno ? errno : ENOEXEC;
    _exit(127);
}

// Start the program ARGS name with the descriptor actions ACTS and the
// signal mask CHILDMASK: its pid, or 0 when the fork path must decide
// (nothing has changed then).
static pid_t spawnwith(LinkList *args, CmdEntry *cn, const std::vector<SpawnAction> &acts, const sigset_t *childmask)
{
    char *arg0 = static_cast<char *>(getdata(firstnode(args)));
    if (strlen(arg0) >= 1024 || getenv("ARGV0"))
        return 0;
    for (LinkNode *n = firstnode(args); n; n = nextnode(n))
        if (has_token(static_cast<char *>(getdata(n))))
            return 0;  // still to be globbed: its errors belong to a child
    char *mfile = spawnfile(arg0, cn);
    if (!mfile)
        return 0;
    char *file = unmeta(mfile);
    if (!file)
        return 0;
    file = dupstring(file);
    beforechild();
    char **env = spawnenv(file);
    if (!env)
        return 0;
    int argc = countlinknodes(args);
    char **argv = qhnew<char *>(size_t(argc) + 1);
    int i = 0;
    for (LinkNode *n = firstnode(args); n; n = nextnode(n), i++) {
        char *w = dupstring(static_cast<char *>(getdata(n)));
        unmetafy(w, nullptr);
        argv[i] = w;
    }
    argv[i] = nullptr;
    fflush(stdout);
    fflush(stderr);
    // The child shares the shell's memory until it runs the program: no
    // handler may run in it, so every signal is held across the vfork and
    // the child puts the caught ones back to their default first.
    sigset_t all, held;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &held);
    spawnerrno = 0;
    pid_t pid = vforkexec(file, argv, env, acts.data(), acts.size(), childmask);
    int err = pid < 0 ? errno : spawnerrno;
    sigprocmask(SIG_SETMASK, &held, nullptr);
    if (pid > 0 && err) {
        // Scripts without #!, refusals, failed opens: the fork path
        // decides, with its messages.
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
            ;
        return 0;
    }
    return err ? 0 : pid;
}

pid_t spawnexternal(LinkList *args, CmdEntry *cn, const char *text, LinkList *redir, int input, int output)
{
    std::vector<SpawnAction> acts;
    if (!spawnredirs(redir, input, output, acts))
        return 0;
    struct timeval bgtime;
    gettimeofday(&bgtime, nullptr);
    // SIGCHLD is held as for a fork, so the program is in the job table
    // before its end is reaped; the program itself starts with it open.
    sigset_t childmask = signal_block(signal_mask(SIGCHLD));
    chldheld = true;
    sigdelset(&childmask, SIGCHLD);
    pid_t pid = spawnwith(args, cn, acts, &childmask);
    if (!pid)
        return 0;
    closem(FDT_PROC_SUBST);
    if (thisjob != -1)
        addproc(pid, text, 0, &bgtime);
    return pid;
}

pid_t spawncapture(LinkList *args, int out, const sigset_t *childmask)
{
    if (isset(RESTRICTED) || limitspending())
        return 0;
    char *arg0 = static_cast<char *>(getdata(firstnode(args)));
    HashNode *cn = cmdnamtab->getnode(cmdnamtab, arg0);
    std::vector<SpawnAction> acts;
    acts.push_back({1, out, nullptr, 0});
    return spawnwith(args, static_cast<CmdEntry *>(cn), acts, childmask);
}

// A command word that names a directory, for auto-cd; null when not.
char *autocdtarget(char *word)
{
    struct stat st;
    auto isdir = [&](const char *d) {
        const char *u = unmeta(d);
        return u && !stat(u, &st) && S_ISDIR(st.st_mode);
    };
    if (*word == '/')
        return isdir(word) ? word : nullptr;
    if (isdir(word)) {
        const char *u = unmeta(word);
        if (u && !stat(u, &st) && S_ISREG(st.st_mode) && !access(u, X_OK))
            return nullptr;
        return word;
    }
    bool dotted = !strcmp(word, ".") || !strcmp(word, "..") || !strncmp(word, "./", 2) || !strncmp(word, "../", 3);
    if (!dotted) {
        for (char **cp = getaparam("cdpath"); cp && *cp; cp++) {
            if (strlen(*cp) + strlen(word) + 1 >= 1024)
                continue;
            char *t = qhtricat(*cp, "/", word);
            if (isdir(t))
                return word;
        }
    }
    if (isset(CDABLEVARS)) {
        char *v = getsparam(word);
        if (v && isdir(v))
            return word;
    }
    return nullptr;
}
