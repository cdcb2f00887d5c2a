// Work done before each interactive prompt: job reports, the precmd and
// periodic hooks, login watching, mail checking and the modules' functions.
#include "core/core.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "jobs/jobs.h"
#include "lang/lang.h"
#include "modules/extra/extra.h"
#include "params/params.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

time_t lastmailcheck;

// When periodic last ran; 0 until it first does.
static time_t lastperiodic;

// Announce new mail in one file (or what a reader did with it since the
// last check).
static void checkmailfile(const char *path, const char *msg, const struct stat &st)
{
    FILE *out = shout ? shout : stderr;
    if (st.st_size && st.st_atime <= st.st_mtime && st.st_mtime > lastmailcheck) {
        if (msg) {
            // The message sees the mailbox as $_.
            char *usav = dupstring(qunderscore ? qunderscore : "");
            setunderscore(path);
            char *m = dupstring(msg);
            if (!parsestr(&m)) {
                singsub(&m);
                if (!errflag) {
                    qputs(m, out);
                    putc('\n', out);
                }
            }
            setunderscore(usav);
        } else {
            fputs("You have new mail.\n", out);
        }
        fflush(out);
    } else if (isset(MAILWARNING) && st.st_size && st.st_atime > st.st_mtime &&
               st.st_atime > lastmailcheck) {
        fputs("The mail in ", out);
        qputs(path, out);
        fputs(" has been read.\n", out);
        fflush(out);
    }
}

// Check each entry, a path with an optional ?message.  An error is
// reported and the other entries are still checked.
static void checkmailpath(char **entries)
{
    for (; *entries && !errflag; entries++) {
        char *ent = *entries, *q = strchr(ent, '?');
        char *path = q ? dupstrpfx(ent, size_t(q - ent)) : ent;
        const char *msg = q ? q + 1 : nullptr;
        if (!*path) {
            qerr("empty MAILPATH component: %s", ent, 0);
            errflag = 0;
            continue;
        }
        struct stat st;
        if (stat(unmeta(path), &st) == -1) {
            if (errno != ENOENT) {
                qerr("%e: %s", path, errno);
                errflag = 0;
            }
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            checkmailfile(path, msg, st);
            continue;
        }
        // A mail directory: the files directly inside it.  Directories
        // in it (and links to them) are passed over, so a link loop or a
        // deep tree cannot recurse without end.
        HeapGuard hg;
        DIR *dd = opendir(unmeta(path));
        if (!dd)
            continue;
        LinkList *files = newlinklist();
        while (char *fn = qreaddir(dd, 1))
            addlinknode(files, qhtricat(path, "/", fn));
        closedir(dd);
        for (LinkNode *n = firstnode(files); n && !errflag; n = nextnode(n)) {
            char *fp = static_cast<char *>(getdata(n));
            struct stat fst;
            if (stat(unmeta(fp), &fst) == -1 || S_ISDIR(fst.st_mode))
                continue;
            checkmailfile(fp, msg, fst);
        }
    }
}

void preprompt()
{
    int64_t period = getiparam("PERIOD");
    int64_t mailcheck = getiparam("MAILCHECK");
    // Jobs that changed while the last command ran are reported before
    // the prompt, not in the middle of its output.
    if (unset(NOTIFY))
        scanjobs();
    if (errflag)
        return;
    callhookfunc("precmd", nullptr, 1, nullptr);
    if (errflag)
        return;
    if (period && time(nullptr) > lastperiodic + period && !callhookfunc("periodic", nullptr, 1, nullptr))
        lastperiodic = time(nullptr);
    if (errflag)
        return;
    if (watch && *watch && time(nullptr) - lastwatch > getiparam("LOGCHECK")) {
        dowatch();
        lastwatch = time(nullptr);
    }
    if (errflag)
        return;
    if (mailcheck && time(nullptr) - lastmailcheck > mailcheck) {
        // A message may assign the list it came from: check a copy.
        if (mailpath && *mailpath && **mailpath) {
            checkmailpath(arrdup(mailpath));
        } else {
            char *mail;
            {
                SignalGuard sg;
                mail = getsparam("MAIL");
                mail = mail && *mail ? dupstring(mail) : nullptr;
            }
            if (mail) {
                char *one[2] = {mail, nullptr};
                checkmailpath(one);
            }
        }
        lastmailcheck = time(nullptr);
    }
    // A function may remove itself (its module unloaded by what it ran).
    for (LinkNode *n = firstnode(prepromptfns), *next; n; n = next) {
        next = nextnode(n);
        reinterpret_cast<void (*)()>(getdata(n))();
    }
}
