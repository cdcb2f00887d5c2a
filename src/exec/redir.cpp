// Redirections with the multios rules, the shell's own descriptors, and
// the tee and cat processes that join several targets.
#include "exec/exec.h"
#include "expand/expand.h"
#include "jobs/jobs.h"
#include "params/params.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>


void qclose(int fd)
{
    if (fd < 0)
        return;
    syncreadaheadfd(fd);
    if (fd < fdtable_size) {
        fdtable[fd] = FDT_UNUSED;
        while (max_tarn_fd > 0 && (max_tarn_fd >= fdtable_size || !fdtable[max_tarn_fd]))
            max_tarn_fd--;
    }
    if (fd == coprocin)
        coprocin = -1;
    if (fd == coprocout)
        coprocout = -1;
    close(fd);
}

void closem(int kind)
{
    for (int i = 10; i <= max_tarn_fd && i < fdtable_size; i++)
        if (fdtable[i] && (!kind || fdtable[i] == kind))
            qclose(i);
}

int makepipe(int *p)
{
    int pp[2];
    if (pipe(pp) < 0) {
        qerr("pipe failed: %e", nullptr, errno);
        return -1;
    }
    p[0] = movefd(pp[0]);
    p[1] = movefd(pp[1]);
    if (p[0] < 0 || p[1] < 0) {
        // No descriptor above 9 is free: refuse rather than hand out -1.
        int e = errno;
        if (p[0] >= 0)
            qclose(p[0]);
        if (p[1] >= 0)
            qclose(p[1]);
        qerr("pipe failed: %e", nullptr, e);
        return -1;
    }
    return 0;
}

// Keep a copy of descriptor fd above 9 so it can be restored: -1 when fd
// is not open; when no descriptor is free, fd stays as it is, the error
// is raised and -2 (nothing saved) is returned.
static int savefd(int fd)
{
    int fe = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    if (fe >= 0)
        return movefd(fe);
    if (errno == EBADF)
        return -1;
    char num[16];
    snprintf(num, sizeof num, "%d", fd);
    qerr("can't save descriptor %s: %e", num, errno);
    return -2;
}

// Move fd above 9 and record it as the shell's own.
static int movefdabove(int fd) { return movefd(fd); }

// ---- multios ----

void attachfd(int forked, int *save, Multio **mfds, int fd1, int fd2, int rflag)
{
    if (!mfds[fd1] || unset(MULTIOS)) {
        if (!mfds[fd1]) {
            mfds[fd1] = qhnew<Multio>();
            mfds[fd1]->fds = qhnew<int>(MULTIO_STEP);
            mfds[fd1]->alloc = MULTIO_STEP;
        }
        // The saved copy of a descriptor that was not open is -1, so
        // restoring it closes the descriptor again.
        if (!forked && save[fd1] == -2) {
            save[fd1] = fd1 == fd2 ? -1 : savefd(fd1);
            if (save[fd1] == -2) {
                if (fd2 != fd1)
                    qclose(fd2);
                return;
            }
        }
        redup(fd2, fd1);
        mfds[fd1]->ct = 1;
        mfds[fd1]->fds[0] = fd1;
        mfds[fd1]->rflag = rflag;
    } else {
        Multio *mn = mfds[fd1];
        if (mn->rflag != rflag) {
            qerr("file mode mismatch on fd %d", nullptr, fd1);
            return;
        }
        if (mn->ct == 1) {
            // Second target: both go above 9 and a pipe feeds fd1.
            mn->fds[0] = movefd(fd1);
            mn->fds[1] = movefd(fd2);
            int pipes[2];
            if (makepipe(pipes) < 0)
                return;
            mn->pipe = pipes[1 - rflag];
            redup(pipes[rflag], fd1);
            mn->ct = 2;
        } else {
            if (mn->ct == mn->alloc) {
                int *nf = qhnew<int>(size_t(mn->alloc + MULTIO_STEP));
                memcpy(nf, mn->fds, sizeof(int) * size_t(mn->alloc));
                mn->fds = nf;
                mn->alloc += MULTIO_STEP;
            }
            mn->fds[mn->ct++] = movefd(fd2);
        }
    }
    if (closeinchild >= 0 && (closeinchild >= fdtable_size || !fdtable[closeinchild]))
        closeinchild = -1;
}

void flushmultio(Multio **mfds, int fd)
{
    Multio *mn = mfds[fd];
    if (!mn || mn->ct < 2)
        return;
    bool child;
    pid_t pid = forkchild(&child);
    if (pid == -1)
        return;
    if (!child) {
        for (int i = 0; i < mn->ct; i++)
            qclose(mn->fds[i]);
        qclose(mn->pipe);
        mn->ct = 1;
        mn->fds[0] = fd;
        if (thisjob != -1)
            addproc(pid, nullptr, 1, nullptr);
        return;
    }
    long maxfd = sysconf(_SC_OPEN_MAX);
    if (maxfd < 0 || maxfd > 65536)
        maxfd = 65536;
    for (int i = 0; i < maxfd; i++) {
        bool keep = i == mn->pipe;
        for (int j = 0; j < mn->ct && !keep; j++)
            keep = mn->fds[j] == i;
        if (!keep)
            close(i);
    }
    char buf[4092];
    if (mn->rflag) {
        // tee: copy the pipe to every target.
        for (;;) {
            ssize_t n = read(mn->pipe, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            for (int j = 0; j < mn->ct; j++) {
                ssize_t off = 0;
                while (off < n) {
                    ssize_t w = write(mn->fds[j], buf + off, size_t(n - off));
                    if (w < 0 && errno == EINTR)
                        continue;
                    if (w <= 0)
                        break;
                    off += w;
                }
            }
        }
    } else {
        // cat: each target in turn into the pipe.
        for (int j = 0; j < mn->ct; j++) {
            for (;;) {
                ssize_t n = read(mn->fds[j], buf, sizeof buf);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                ssize_t off = 0;
                while (off < n) {
                    ssize_t w = write(mn->pipe, buf + off, size_t(n - off));
                    if (w < 0 && errno == EINTR)
                        continue;
                    if (w <= 0)
                        _exit(0);
                    off += w;
                }
            }
        }
    }
    _exit(0);
}

void fixfds(int *save, HighFdSave *high)
{
    // Most commands redirect nothing.
    int first = 0;
    while (first < 10 && save[first] == -2)
        first++;
    if (first == 10 && !high)
        return;
    int old_errno = errno;
    for (int i = first; i < 10; i++)
        if (save[i] != -2)
            redup(save[i], i);
    // One entry per descriptor, holding its state from before the command.
    for (; high; high = high->next) {
        redup(high->saved, high->fd);
        if (high->fd < fdtable_size)
            fdtable[high->fd] = FDT_UNUSED;
    }
    errno = old_errno;
}

void dropfdsaves(int *save, HighFdSave *high)
{
    for (int i = 0; i < 10; i++) {
        if (save[i] != -2 && save[i] != -1)
            qclose(save[i]);
        save[i] = -2;
    }
    for (; high; high = high->next)
        if (high->saved >= 0)
            qclose(high->saved);
}

// A descriptor the shell holds for itself (script input, the trace copy,
// a coprocess) cannot be the target of a user's redirection.
static bool highfdfree(int fd)
{
    if (fd < fdtable_size && fdtable[fd] != FDT_UNUSED) {
        qerr("file descriptor %d used by shell", nullptr, fd);
        return false;
    }
    return true;
}

// Remember the state of a descriptor >= 10 before a command changes it.
static void savehighfd(int forked, HighFdSave **high, int fd)
{
    if (forked)
        return;
    for (HighFdSave *h = *high; h; h = h->next)
        if (h->fd == fd)
            return;
    HighFdSave *h = qhnew<HighFdSave>();
    h->fd = fd;
    h->saved = fcntl(fd, F_GETFD) == -1 ? -1 : movefd(fcntl(fd, F_DUPFD_CLOEXEC, 10));
    h->next = *high;
    *high = h;
}

// Put `src` (a descriptor of the shell's own) on a descriptor >= 10 that
// then belongs to the user: not marked, so children inherit it.  The
// target was checked and saved before `src` was opened.
static bool attachhighfd(int fd, int src)
{
    if (src == fd) {
        // Opened straight onto the free descriptor the user named.
        fdtable[fd] = FDT_UNUSED;
        return true;
    }
    if (dup2(src, fd) == -1) {
        char num[16];
        snprintf(num, sizeof num, "%d", fd);
        qwarn("%s: %e", num, errno);
        qclose(src);
        errflag = 1;
        return false;
    }
    qclose(src);
    return true;
}

// ---- opening ----

static int noclobberopen(const char *name, bool force)
{
    const char *un = unmeta(name);
    if (!un) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (isset(CLOBBER) || force)
        return open(un, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0666);
    int fd = open(un, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, 0666);
    if (fd != -1)
        return fd;
    int err = errno;
    fd = open(un, O_WRONLY | O_NOCTTY);
    if (fd != -1) {
        struct stat st;
        if (!fstat(fd, &st) && !S_ISREG(st.st_mode))
            return fd;
        close(fd);
    }
    errno = err;
    return -1;
}

// Where temporary files go: TMPPREFIX, or its initial value when unset.
static const char *tmpprefix()
{
    const char *tp = getsparam("TMPPREFIX");
    return tp ? tp : "/tmp/tarn";
}

char *gettempname(const char *prefix, int use_heap)
{
    const char *tp = prefix ? prefix : tmpprefix();
    static unsigned counter;
    char buf[64];
    snprintf(buf, sizeof buf, "%ld%u", long(getpid()), counter++);
    char *r = use_heap ? qhtricat(tp, "", buf) : tricat(tp, "", buf);
    return r;
}

// Write a here-string (already expanded) to a temporary file and return a
// descriptor for reading it; the file is unlinked at once.
static int getherestr(Redir *fn)
{
    char *t = dupstring(fn->name);
    // A word left entirely empty is the body of an empty here-document:
    // it feeds nothing, not a lone newline.
    bool emptydoc = !*t;
    singsub(&t);
    untokenize(t);
    int len;
    unmetafy(t, &len);
    struct iovec iov[2] = {{t, size_t(len)}, {const_cast<char *>("\n"), emptydoc ? 0u : 1u}};
    ssize_t want = len + (emptydoc ? 0 : 1);
    // Written from offset 0 without moving the offset, the file is read
    // from its start.
    auto fill = [&](int fd) {
        errno = 0;
        if (pwritev(fd, iov, 2, 0) != want) {
            int err = errno ? errno : ENOSPC;
            close(fd);
            errno = err;
            return -1;
        }
        return fd;
    };
    // A small document goes to a file in memory: nothing to create in a
    // file system at all.  A larger one goes to a file without a name in
    // the directory TMPPREFIX names: nothing to create in the directory or
    // to unlink.  Where the file system cannot make one, a named file is
    // made and unlinked.
    if (want <= (1 << 20)) {
        int fd = memfd_create("tarn-heredoc", MFD_CLOEXEC);
        if (fd >= 0)
            return fill(fd);
    }
    static bool notmpfile;
    if (!notmpfile) {
        const char *tp = tmpprefix();
        const char *slash = strrchr(tp, '/');
        char *dir = slash ? dupstrpfx(tp, int(slash - tp)) : dupstring(".");
        char *un = unmeta(*dir ? dir : "/");
        int fd = un ? open(un, O_TMPFILE | O_RDWR | O_NOCTTY, 0600) : -1;
        if (fd >= 0)
            return fill(fd);
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)
            notmpfile = true;
    }
    for (int tries = 0; tries < 16; tries++) {
        char *name = gettempname(nullptr, 1);
        char *un = unmeta(name);
        if (!un)
            return -1;
        // Created exclusively and unlinked at once, the file can neither be
        // swapped by another process nor outlive the shell.
        int fd = open(un, O_CREAT | O_EXCL | O_RDWR | O_NOCTTY, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return -1;
        }
        unlink(un);
        return fill(fd);
    }
    errno = EEXIST;
    return -1;
}

// Expand the redirection words to their final names, one redirection per
// word of a multio.  An expansion error, unlike a word that names no file
// or descriptor, ends the list.
RedirExp expandredirs(LinkList *redir)
{
    for (LinkNode *n = firstnode(redir); n && !errflag; n = nextnode(n)) {
        Redir *fn = static_cast<Redir *>(getdata(n));
        if (fn->type == RT_HERESTRING)
            continue;
        // The process starts now, in the shell that expands the words;
        // a forked command inherits the shell's end of its pipe.
        if (fn->type == RT_PROC_IN || fn->type == RT_PROC_OUT) {
            fn->fd2 = getprocfd(fn->name, fn->type == RT_PROC_OUT);
            if (fn->fd2 < 0)
                return RedirExp::EXPERR;
            continue;
        }
        LinkList *words = newlinklist();
        addlinknode(words, dupstring(fn->name));
        prefork(words, isset(MULTIOS) ? 0 : EXP_SINGLE);
        if (!errflag && isset(MULTIOS))
            globlist(words, 0);
        if (errflag)
            return RedirExp::EXPERR;
        if (empty(words)) {
            qerr("ambiguous redirect", nullptr, 0);
            return RedirExp::BAD;
        }
        for (LinkNode *w = firstnode(words); w; w = nextnode(w))
            untokenize(static_cast<char *>(getdata(w)));
        if (countlinknodes(words) > 1) {
            if (fn->type == RT_DUP_IN) {
                qerr("file number expected", nullptr, 0);
                return RedirExp::BAD;
            }
            // One redirection per word, after this one.
            int type = fn->type == RT_DUP_OUT ? RT_ERRWRITE : fn->type;
            LinkNode *after = n;
            fn->name = static_cast<char *>(ugetnode(words));
            fn->type = type;
            while (char *w = static_cast<char *>(ugetnode(words))) {
                Redir *r2 = qhnew<Redir>();
                *r2 = *fn;
                r2->name = w;
                after = insertlinknode(redir, after, r2);
            }
        } else {
            fn->name = static_cast<char *>(getdata(firstnode(words)));
        }
        if (fn->type == RT_DUP_IN || fn->type == RT_DUP_OUT) {
            const char *w = fn->name;
            if (!strcmp(w, "-")) {
                fn->type = RT_CLOSE;
            } else if (!strcmp(w, "p")) {
                fn->fd2 = -2;
            } else {
                bool digits = *w;
                for (const char *p = w; *p; p++)
                    if (!idigit(static_cast<unsigned char>(*p)))
                        digits = false;
                if (digits) {
                    fn->fd2 = atoi(w);
                } else if (fn->type == RT_DUP_OUT) {
                    fn->type = RT_ERRWRITE;
                } else {
                    qerr("file number expected", nullptr, 0);
                    return RedirExp::BAD;
                }
            }
        }
    }
    return errflag ? RedirExp::EXPERR : RedirExp::OK;
}

// Apply the redirections, expanded by expandredirs, in order.  false on
// error (reported); descriptors saved so far are restored by the caller.
bool applyredirs(LinkList *redir, int forked, int *save, Multio **mfds, HighFdSave **high)
{
    // A redirection may replace or copy the descriptor read ahead.
    if (redir && nonempty(redir))
        syncreadahead();
    auto attach = [&](int fd1, int fd2, int rflag) {
        if (fd1 >= 10)
            return attachhighfd(fd1, fd2);
        attachfd(forked, save, mfds, fd1, fd2, rflag);
        return true;
    };
    // A descriptor just opened goes straight to fd1 when fd1 takes it
    // alone: it is closed again as it is copied, so it need not first move
    // above 9 (two system calls for every redirection).  Opened as fd1
    // itself (fd1 was closed), it must not be closed on exec.
    auto place = [&](int fd1, int fil, int rflag) {
        if (fd1 >= 10 || fil >= 10 || (mfds[fd1] && isset(MULTIOS)))
            return attach(fd1, movefdabove(fil), rflag);
        if (fil == fd1)
            fcntl(fil, F_SETFD, 0);
        attachfd(forked, save, mfds, fd1, fil, rflag);
        return true;
    };
    for (LinkNode *n = firstnode(redir); n && !errflag; n = nextnode(n)) {
        Redir *fn = static_cast<Redir *>(getdata(n));
        if (fn->fd1 >= 10) {
            if (!highfdfree(fn->fd1))
                return false;
            savehighfd(forked, high, fn->fd1);
        }
        if (fn->type == RT_PROC_IN || fn->type == RT_PROC_OUT) {
            if (!attach(fn->fd1, fn->fd2, fn->type == RT_PROC_OUT))
                return false;
            continue;
        }
        if (errflag)
            return false;
        if (isset(RESTRICTED) && fn->type <= RT_READWRITE) {
            qerr("writing redirection not allowed in restricted mode", nullptr, 0);
            return false;
        }
        if (unset(EXEC))
            continue;
        int fil;
        switch (fn->type) {
        case RT_HERESTRING:
            fil = getherestr(fn);
            if (fil == -1) {
                if (errno != EINTR)
                    qwarn("%e", nullptr, errno);
                return false;
            }
            if (!place(fn->fd1, fil, 0))
                return false;
            break;
        case RT_READ:
        case RT_READWRITE: {
            const char *un = unmeta(fn->name);
            if (!un) {
                errno = ENAMETOOLONG;
                fil = -1;
            } else if (fn->type == RT_READ) {
                fil = open(un, O_RDONLY | O_NOCTTY);
            } else {
                fil = open(un, O_RDWR | O_CREAT | O_NOCTTY, 0666);
            }
            if (fil == -1) {
                if (errno != EINTR)
                    qwarn("%e: %s", fn->name, errno);
                errflag = 1;
                return false;
            }
            if (!place(fn->fd1, fil, 0))
                return false;
            break;
        }
        case RT_CLOSE:
            if (fn->fd1 >= 10) {
                close(fn->fd1);
                break;
            }
            if (!forked && save[fn->fd1] == -2 && (save[fn->fd1] = savefd(fn->fd1)) == -2)
                return false;
            if (mfds[fn->fd1])
                mfds[fn->fd1] = nullptr;
            close(fn->fd1);
            break;
        case RT_DUP_IN:
        case RT_DUP_OUT: {
            if (fn->fd2 < 10 && fn->fd2 >= 0 && mfds[fn->fd2])
                mfds[fn->fd2] = nullptr;
            int src = fn->fd2;
            if (src == -2)
                src = fn->type == RT_DUP_IN ? coprocin : coprocout;
            else if (src >= 10 && src < fdtable_size && fdtable[src] && src != coprocin && src != coprocout) {
                errno = EBADF;
                src = -1;
            }
            fil = src >= 0 ? dup(src) : -1;
            if (src < 0)
                errno = EBADF;
            if (fil == -1) {
                if (fn->fd2 == -2)
                    qwarn("coprocess: %e", nullptr, errno);
                else {
                    char num[16];
                    snprintf(num, sizeof num, "%d", fn->fd2);
                    qwarn("%s: %e", num, errno);
                }
                errflag = 1;
                return false;
            }
            if (!place(fn->fd1, fil, fn->type == RT_DUP_OUT))
                return false;
            break;
        }
        default: {
            const char *un = unmeta(fn->name);
            bool force = fn->type & 1;
            if (fn->type & 2) {
                fil = un ? open(un, O_WRONLY | O_APPEND | O_NOCTTY |
                                        ((isset(CLOBBER) || force) ? O_CREAT : 0), 0666)
                         : -1;
                if (!un)
                    errno = ENAMETOOLONG;
            } else {
                fil = noclobberopen(fn->name, force);
            }
            if (fil == -1) {
                if (errno != EINTR)
                    qwarn("%e: %s", fn->name, errno);
                errflag = 1;
                return false;
            }
            int dfil = -1;
            if (fn->type & 4)
                dfil = movefdabove(dup(fil));
            if (!place(fn->fd1, fil, 1))
                return false;
            if (dfil >= 0)
                attachfd(forked, save, mfds, 2, dfil, 1);
            break;
        }
        }
        if (errflag)
            return false;
    }
    return !errflag;
}
