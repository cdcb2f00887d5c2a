// Process substitution: <(...), >(...) and =(...), and the small helpers
// of tilde expansion and arithmetic substitution.
#include "exec/exec.h"
#include "expand/expand.h"
#include "jobs/jobs.h"
#include "params/params.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// The command text of a substitution word: after the opening token and
// up to its closing parenthesis, which must end the word.
static Eprog *procprog(char *word, const char **errmsg)
{
    char *s = word + 2;
    int depth = 1;
    char *p = s;
    for (; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == TK_LPAREN)
            depth++;
        else if (c == TK_RPAREN && !--depth)
            break;
    }
    if (!*p) {
        *errmsg = "oops.";
        return nullptr;
    }
    if (p[1]) {
        *errmsg = "parse error in process substitution";
        return nullptr;
    }
    char *body = dupstrpfx(s, size_t(p - s));
    untokenize(body);
    Eprog *prog = parse_string(body, 0);
    if (!prog)
        *errmsg = "parse error in process substitution";
    return prog;
}

static void runinchild(Eprog *prog)
{
    becomesubshell(Z_ASYNC, 1, 0);
    execode(prog, 0, 1, "procsubst");
    subshellexittrap();
    fflush(stdout);
    _exit(int(lastval));
}

// Start the command of <(...) or >(...) and return the shell's end of
// its pipe, kept open for a /dev/fd name; -1 on failure.
int getprocfd(char *word, int out)
{
    const char *err = nullptr;
    Eprog *prog = procprog(word, &err);
    if (!prog) {
        qerr(err, nullptr, 0);
        return -1;
    }
    int pipes[2];
    if (pipe(pipes) < 0) {
        qerr("pipe failed: %e", nullptr, errno);
        return -1;
    }
    fflush(stdout);
    pid_t pid = blockedfork();
    if (pid == -1) {
        close(pipes[0]);
        close(pipes[1]);
        qerr("fork failed: %e", nullptr, errno);
        return -1;
    }
    if (pid) {
        // The shell keeps its end open and inheritable.
        int keep = out ? pipes[1] : pipes[0];
        close(out ? pipes[0] : pipes[1]);
        int fd = fcntl(keep, F_DUPFD, 10);
        close(keep);
        if (fd < 0)
            return -1;
        movefd(fd);
        fdtable[fd] = FDT_PROC_SUBST;
        // A background job's child has no job: nothing waits for it there.
        if (out && thisjob != -1)
            addproc(pid, nullptr, 1, nullptr);
        return fd;
    }
    redup(out ? pipes[0] : pipes[1], out ? 0 : 1);
    close(out ? pipes[1] : pipes[0]);
    closem(FDT_UNUSED);
    runinchild(prog);
    return -1;
}

char *getproc(char *word)
{
    int fd = getprocfd(word, static_cast<unsigned char>(*word) == TK_RANGLE);
    if (fd < 0)
        return nullptr;
    char buf[32];
    snprintf(buf, sizeof buf, "%s/%d", "/dev/fd", fd);
    return dupstring(buf);
}

char *getoutputfile(char *word)
{
    const char *err = nullptr;
    if (thisjob == -1)
        return nullptr;
    Eprog *prog = procprog(word, &err);
    if (!prog) {
        qerr(err, nullptr, 0);
        return nullptr;
    }
    char *name = gettempname(nullptr, 0);
    const char *un = unmeta(name);
    int fd = un ? open(un, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, 0600) : -1;
    if (fd < 0) {
        qsfree(name);
        qerr("process substitution failed: %e", nullptr, errno);
        return nullptr;
    }
    Job *jn = jobtab + thisjob;
    if (!jn->filelist)
        jn->filelist = qnewlinklist();
    qaddlinknode(jn->filelist, name);
    fflush(stdout);
    pid_t pid = blockedfork();
    if (pid == -1) {
        close(fd);
        qerr("fork failed: %e", nullptr, errno);
        return nullptr;
    }
    if (pid) {
        close(fd);
        waitforpid(pid, 0);
        return dupstring(name);
    }
    redup(fd, 1);
    runinchild(prog);
    return nullptr;
}

char *getnameddir(const char *name)
{
    if (NamedDir *nd = static_cast<NamedDir *>(nameddirtab->getnode(nameddirtab, name)))
        return dupstring(nd->dir);
    char *un = unmeta(name);
    struct passwd *pw = un ? getpwnam(un) : nullptr;
    if (pw) {
        char *d = metafy(pw->pw_dir, -1, META_HEAPDUP);
        adduserdir(name, d, NDF_FROM_USERDB, 0);
        return d;
    }
    return nullptr;
}

char *mathsubst_value(char *expr)
{
    // Most expressions hold nothing to substitute (`i + 1`).
    if (has_token(expr)) {
        singsub(&expr);
        if (errflag)
            return dupstring("");
    }
    mnumber v = matheval(expr);
    if (errflag)
        return dupstring("");
    char buf[128];
    if ((v.type & MN_FLOAT) && !outputradix)
        return dupstring(convfloat(v.u.d, 0, 0, nullptr));
    int64_t iv = (v.type & MN_FLOAT) ? int64_t(v.u.d) : v.u.l;
    return dupstring(convbase(buf, iv, outputradix));
}
