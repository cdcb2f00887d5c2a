// The editor's heart: reading a line (kedread) through the command loop
// (kedcore) that reads key sequences and runs their widgets, the key
// reader with its push-back buffer, time-out and watched descriptors, the
// terminal mode, numeric arguments, vared, and the module's entry points.
#include "ked/ked.h"
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "jobs/jobs.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

unsigned char *line;
int linesz, tarnll, tarncs, mark, done, insmode, eofchar;
int lastchar;
Thingy *bindk, *lbindk;
int lastcmd, kedreadflags, kedactive, resetneeded, prefixflag;
int histline, undoing, lastcol, stackcs = -1, stackhist = -1;
char *varedarg;
char *statusline;
int statusll;
int eof_seen;
int kedhasterm;
Modifier qmod = {0, 1, 1, 0};
int key_timeout;
int kungetct;

namespace {

unsigned char *pushback;
int pushbacksz;
int line_baud, refresh_cost_factor;
int delay_tty_setup;
int eioseen;
// A message shown under the line until the next command has run.
constinit std::string kedmsg;
bool msgfresh;

// Watched descriptors and the functions that handle them.
struct Watch {
    int fd;
    std::string func;
};
std::vector<Watch> watches;

}  // namespace

// ---- watched descriptors ----

void watchfd_add(int fd, const char *func)
{
    for (Watch &w : watches)
        if (w.fd == fd) {
            w.func = func;
            return;
        }
    watches.push_back({fd, func});
}

int watchfd_remove(int fd)
{
    for (size_t i = 0; i < watches.size(); i++)
        if (watches[i].fd == fd) {
            watches.erase(watches.begin() + long(i));
            return 0;
        }
    return 1;
}

bool watchfd_has(int fd)
{
    for (Watch &w : watches)
        if (w.fd == fd)
            return true;
    return false;
}

int watchfd_count() { return int(watches.size()); }

void watchfd_list(const char *cmd, int fd)
{
    for (Watch &w : watches)
        if (fd < 0 || w.fd == fd)
            printf("%s -F %d %s\n", cmd, w.fd, w.func.c_str());
    fflush(stdout);
}

// ---- the terminal ----

int pendingbytes()
{
    int n = 0;
    if (SHTTY == -1 || ioctl(SHTTY, FIONREAD, &n) < 0)
        return 0;
    return n;
}

void qsetterm()
{
    if (SHTTY == -1)
        return;
    if (pendingbytes() > 0) {
        delay_tty_setup = 1;
        return;
    }
    delay_tty_setup = 0;
    // Commands run later get a sane terminal from the saved state.
    shttyinfo.tio.c_lflag |= ICANON | ECHO;
#ifdef FLUSHO
    shttyinfo.tio.c_lflag &= ~FLUSHO;
#endif
    attachtty(mypgrp);
    struct termios ti = shttyinfo.tio;
    if (unset(FLOWCONTROL))
        ti.c_iflag &= ~IXON;
    ti.c_lflag &= ~(ICANON | ECHO);
#ifdef FLUSHO
    ti.c_lflag &= ~FLUSHO;
#endif
#ifdef TABDLY
    ti.c_oflag &= ~TABDLY;
#endif
    ti.c_oflag |= ONLCR | OPOST;
    ti.c_cc[VQUIT] = _POSIX_VDISABLE;
    ti.c_cc[VSUSP] = _POSIX_VDISABLE;
#ifdef VDSUSP
    ti.c_cc[VDSUSP] = _POSIX_VDISABLE;
#endif
#ifdef VDISCARD
    ti.c_cc[VDISCARD] = _POSIX_VDISABLE;
#endif
#ifdef VLNEXT
    ti.c_cc[VLNEXT] = _POSIX_VDISABLE;
#endif
#ifdef VSWTC
    ti.c_cc[VSWTC] = _POSIX_VDISABLE;
#endif
    if (unset(FLOWCONTROL)) {
        ti.c_cc[VSTART] = _POSIX_VDISABLE;
        ti.c_cc[VSTOP] = _POSIX_VDISABLE;
    }
    eofchar = ti.c_cc[VEOF];
    ti.c_cc[VMIN] = 1;
    ti.c_cc[VTIME] = 0;
    ti.c_iflag |= INLCR | ICRNL;
    tcsetattr(SHTTY, TCSADRAIN, &ti);
}

// ---- keys ----

void ungetkey(int c)
{
    if (kungetct == pushbacksz) {
        pushbacksz = pushbacksz ? pushbacksz * 2 : 32;
        pushback = static_cast<unsigned char *>(qrealloc(pushback, size_t(pushbacksz)));
    }
    pushback[kungetct++] = static_cast<unsigned char>(c);
}

void ungetkeys(const char *s, int len)
{
    for (int i = len - 1; i >= 0; i--)
        ungetkey(static_cast<unsigned char>(s[i]));
}

extern int vichgflag;
void vichgadd(int c);
void vichgreread(int c);
// Vi mode's state at the start of each line, and its release.
void vinewline();
void vifreechange();

namespace {

// Call the handler of a watched descriptor; false when it should be
// dropped (its descriptor is closed or gone and the handler left it).
void callwatch(Watch w, short revents)
{
    LinkList *args = newlinklist();
    addlinknode(args, dupstring(w.func.c_str()));
    char num[16];
    snprintf(num, sizeof num, "%d", w.fd);
    addlinknode(args, dupstring(num));
    if (revents & POLLERR)
        addlinknode(args, dupstring("err"));
    if (revents & POLLHUP)
        addlinknode(args, dupstring("hup"));
    if (revents & POLLNVAL)
        addlinknode(args, dupstring("nval"));
    int ret;
    callhookfunc(w.func.c_str(), args, 0, &ret);
    errflag = 0;
    // A descriptor that has closed would be ready for ever: drop it.
    if ((revents & (POLLHUP | POLLNVAL | POLLERR)) && watchfd_has(w.fd)) {
        watchfd_remove(w.fd);
        trashked();
        qwarnnam("ked", "descriptor %d closed: its handler is removed", nullptr, w.fd);
    }
    if (resetneeded)
        qrefresh();
}

// One byte from the terminal: 1, 0 at end of file, -1 error (errno),
// -2 time-out.
int readbyte(unsigned char *cp, int dotimeout)
{
    int wait = dotimeout ? (key_timeout > 500 ? 500 : key_timeout) : 0;
    if ((!dotimeout || wait <= 0) && watches.empty()) {
        ssize_t n = read(SHTTY, cp, 1);
        return n > 0 ? 1 : n == 0 ? 0 : -1;
    }
    if (delay_tty_setup) {
        ssize_t n = read(SHTTY, cp, 1);
        return n > 0 ? 1 : n == 0 ? 0 : -1;
    }
    bool usewatch = !dotimeout && !watches.empty();
    for (;;) {
        std::vector<struct pollfd> fds;
        fds.push_back({SHTTY, POLLIN, 0});
        if (usewatch)
            for (Watch &w : watches)
                fds.push_back({w.fd, POLLIN, 0});
        int r = poll(fds.data(), nfds_t(fds.size()), wait > 0 ? wait * 10 : -1);
        if (r < 0) {
            if (errno == EINTR && !errflag)
                return -1;
            if (errflag)
                return -1;
            if (usewatch) {
                usewatch = false;
                continue;
            }
            return -1;
        }
        if (r == 0)
            return -2;
        if (usewatch) {
            std::vector<Watch> ready;
            std::vector<short> ev;
            for (size_t i = 1; i < fds.size(); i++)
                if (fds[i].revents) {
                    ready.push_back(watches[i - 1]);
                    ev.push_back(fds[i].revents);
                }
            for (size_t i = 0; i < ready.size(); i++)
                callwatch(ready[i], ev[i]);
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = read(SHTTY, cp, 1);
            return n > 0 ? 1 : n == 0 ? 0 : -1;
        }
    }
}

}  // namespace

int getkey(int dotimeout)
{
    if (kungetct) {
        int c = pushback[--kungetct];
        if (vichgflag)
            vichgreread(c);
        return c;
    }
    if (delay_tty_setup && !pendingbytes())
        qsetterm();
    unsigned char c;
    int zeros = 0;
    for (;;) {
        int oc = tccolumns, ol = tclines;
        // Signals are taken while waiting for a key, also inside a widget
        // (which runs with them queued): an interrupt or a hang-up must
        // reach a widget that reads keys itself.
        int oqueue = sigq.enabled;
        sigq.enabled = 0;
        if (sigq.front != sigq.rear)
            run_queued_signals();
        int r = readbyte(&c, dotimeout);
        int rerrno = errno;
        sigq.enabled = oqueue;
        errno = rerrno;
        if (r == 1)
            break;
        if (r == -2)
            return -1;
        if (r == 0) {
            if ((kedreadflags & 4) && ++zeros < 20)
                continue;
            stopmsg = 1;
            qexit(1, 0);
            return -1;
        }
        int e = errno;
        if (e == EINTR || (r == -1 && errflag)) {
            if (errflag || retflag || breaks) {
                errflag = 0;
                errno = e;
                return -1;
            }
            // A window change or output from a job: redraw at once.
            if (oc != tccolumns || ol != tclines)
                winchanged = 1;
            if (winchanged || trashedked || resetneeded)
                qrefresh();
            continue;
        }
        if (e == EWOULDBLOCK || e == EAGAIN) {
            fcntl(SHTTY, F_SETFL, 0);
            continue;
        }
        if (e == EIO && !eioseen) {
            eioseen = 1;
            int omon = opts[MONITOR];
            opts[MONITOR] = 1;
            attachtty(mypgrp);
            opts[MONITOR] = char(omon);
            qrefresh();
            continue;
        }
        qerr("error on TTY read: %e", nullptr, e);
        stopmsg = 1;
        qexit(1, 0);
        return -1;
    }
    // The terminal exchanges carriage return and newline; undo it.
    if (c == '\r')
        c = '\n';
    else if (c == '\n')
        c = '\r';
    if (vichgflag)
        vichgadd(c);
    return c;
}

int getfullchar(int dotimeout) { return getkey(dotimeout); }

// ---- messages ----

char *printablestr(const char *s, int len)
{
    std::string out;
    for (int i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 32 && c != '\n') {
            out += '^';
            out += char(c | 64);
        } else if (c == 127) {
            out += "^?";
        } else {
            out += char(c);
        }
    }
    return dupstring(out.c_str());
}

void showmsg(const char *msg)
{
    if (!kedactive || !kedhasterm) {
        fprintf(stderr, "%s\n", msg);
        fflush(stderr);
        return;
    }
    kedmsg = msg;
    msgfresh = true;
}

void handlefeep()
{
    if (isset(BEEP) && kedhasterm) {
        FILE *f = shout ? shout : stderr;
        putc('\a', f);
        fflush(f);
    }
}

// ---- taking the display away ----

void trashked()
{
    if (kedactive && !trashedked) {
        clearlist = 1;
        qrefresh();
        trashedked = 1;
        movetobelow();
        if (const char *pe = getsparam("POSTEDIT")) {
            char *u = unmeta(pe);
            kedputs(u, int(strlen(u)));
        }
        kedflush();
        resetneeded = 1;
        if (!(kedreadflags & 2) && SHTTY != -1)
            settyinfo(&shttyinfo);
    }
    if (errflag)
        kungetct = 0;
}

// ---- running widgets ----

int execkedfunc(Thingy *func, char **args)
{
    static char *noargs[] = {nullptr};
    if (!args)
        args = noargs;
    if (func->flags & TH_DISABLED) {
        std::string m = std::string("No such widget `") + printablestr(func->nam, int(strlen(func->nam))) + "'";
        showmsg(m.c_str());
        return 1;
    }
    Widget *w = func->widget;
    int ret = 0;
    if (w->flags & (W_INTERNAL | W_COMPLETION)) {
        if (keybuf && (unsigned char)keybuf[0] == unsigned(eofchar) && !keybuf[1] && !tarnll && isfirstln &&
            (kedreadflags & 4)) {
            showmsg(isset(LOGIN) ? "tarn: use 'logout' to logout." : "tarn: use 'exit' to exit.");
            ret = 1;
        } else {
            if (!(w->flags & W_KEEP_SUFFIX))
                iremovesuffix(256, 0);
            if (!(w->flags & W_MENU_KEEP)) {
                fixsuffix();
                runkedhook(INVALIDATELISTHOOK, nullptr);
            }
            extern int vilinerange;
            if (w->flags & W_LINE_MOTION)
                vilinerange = 1;
            if (!(w->flags & W_KEEP_COLUMN))
                lastcol = -1;
            if (w->flags & W_COMPLETION) {
                // Its shell function runs through the widget it is modelled on.
                ret = completecall(args);
            } else {
                SignalGuard sg;
                ret = w->fn(args);
            }
            if (!(w->flags & W_NOT_COMMAND))
                lastcmd = w->flags;
        }
    } else {
        ShellFunc *shf = static_cast<ShellFunc *>(shfunctab->getnode(shfunctab, w->fnnam));
        if (!shf) {
            std::string m = std::string("No such shell function `") + w->fnnam + "'";
            showmsg(m.c_str());
            return 1;
        }
        int osc = sfcontext;
        int64_t olastval = lastval;
        char oxt = opts[XTRACE];
        int ofd = dup(0);
        if (ofd >= 0) {
            ofd = movefd(ofd);
            close(0);
        }
        LinkList *largs = newlinklist();
        addlinknode(largs, dupstring(w->fnnam));
        for (char **a = args; *a; a++)
            addlinknode(largs, dupstring(*a));
        startparamscope();
        makekedparams(0);
        sfcontext = SFC_WIDGET;
        opts[XTRACE] = 0;
        Thingy *ob = bindk;
        bindk = func;
        doshfunc(w->fnnam, shf->funcdef, largs, shf->flags, 1);
        bindk = ob;
        opts[XTRACE] = oxt;
        sfcontext = osc;
        ret = int(lastval);
        lastval = olastval;
        endparamscope();
        lastcmd = 0;
        if (ofd >= 0) {
            dup2(ofd, 0);
            close(ofd);
            if (ofd < fdtable_size)
                fdtable[ofd] = 0;
        }
        // A widget function must not end the line editing by accident.
        retflag = 0;
    }
    unrefthingy(lbindk);
    lbindk = refthingy(func);
    return ret;
}

extern int vilinerange;

namespace {

void handleprefixes()
{
    if (prefixflag) {
        prefixflag = 0;
        if (qmod.flags & MOD_TMULT) {
            qmod.flags |= MOD_MULT;
            qmod.count = qmod.pending_count;
        }
    } else {
        resetmodifier();
    }
}

// Postpone a refresh while input comes within the time the last one took
// on a slow line.
bool shouldrefresh()
{
    // Keys already waiting are taken first: a paste is drawn once it is
    // in, not once per character.
    if (kungetct || pendingbytes() > 0)
        return false;
    if (line_baud && !(lastcmd & W_MENU_KEEP) && SHTTY != -1) {
        long ms = long(cost) * refresh_cost_factor / 1000;
        if (ms > 500)
            ms = 500;
        struct pollfd p = {SHTTY, POLLIN, 0};
        if (ms > 0 && poll(&p, 1, int(ms)) > 0)
            return false;
    }
    return true;
}

}  // namespace

void kedcore()
{
    qrefresh();
    while (!done && !errflag) {
        qsfree(statusline);
        statusline = nullptr;
        statusll = 0;
        vilinerange = 0;
        reselectkeymap();
        selectlocalmap(nullptr);
        bindk = getkeycmd();
        if (!tarnll && isfirstln && !(kedreadflags & 4) && lastchar == eofchar && keybuf &&
            static_cast<unsigned char>(keybuf[0]) == unsigned(eofchar) && !keybuf[1]) {
            eof_seen = 1;
            break;
        }
        if (!bindk) {
            errflag = 1;
            break;
        }
        if (!msgfresh)
            kedmsg.clear();
        msgfresh = false;
        if (execkedfunc(bindk, nullptr))
            handlefeep();
        handleprefixes();
        if (curkeymapname && !strcmp(curkeymapname, "vicmd") && tarncs > findbol() &&
            (tarncs == tarnll || line[tarncs] == '\n'))
            tarncs = prevcharpos(tarncs);
        if (undoing)
            handleundo();
        if (!kedmsg.empty() && !statusline) {
            statusline = qtrdup(kedmsg.c_str());
            statusll = int(kedmsg.size());
        }
        if (shouldrefresh())
            qrefresh();
    }
}

// ---- reading a line ----

char *kedread(char **lp, char **rp, int flags)
{
    int oerrno = errno;
    const char *t = getsparam("TMOUT");
    long tmout = t ? atol(t) : 0;
    line_baud = int(getiparam("BAUD"));
    refresh_cost_factor = line_baud ? 3840000 / line_baud : 0;
    if (kedactive) {
        // Never recursively: a read from inside a widget gets a plain line.
        char *pr = promptexpand(lp && *lp ? *lp : const_cast<char *>(""), 0, nullptr, nullptr);
        int len;
        unmetafy(pr, &len);
        writefull(2, pr, size_t(len));
        qsfree(pr);
        return shingetline();
    }
    key_timeout = int(getiparam("KEYTIMEOUT"));
    if (!shout) {
        if (SHTTY != -1)
            init_shout();
        if (!shout)
            return nullptr;
    }
    if (termflags & TERM_UNKNOWN)
        init_term();
    kedhasterm = 1;
    fflush(shout);
    fflush(stderr);
    intr();
    kedsetlocale();
    insmode = unset(OVERSTRIKE);
    eof_seen = 0;
    resetneeded = 0;
    lpromptbuf = promptexpand(lp && *lp ? *lp : const_cast<char *>(""), 1, nullptr, nullptr);
    rpromptbuf = promptexpand(rp && *rp ? *rp : const_cast<char *>(""), 1, nullptr, nullptr);
    qfree(predisplay);
    qfree(postdisplay);
    predisplay = postdisplay = nullptr;
    predisplaylen = postdisplaylen = 0;
    kedreadflags = flags;
    histline = curhist + 1;
    undoing = 1;
    linesz = 256;
    line = static_cast<unsigned char *>(qalloc(size_t(linesz) + 2));
    mark = tarnll = tarncs = done = lastcmd = 0;
    vinewline();
    qsfree(statusline);
    statusline = nullptr;
    statusll = 0;
    kedmsg.clear();
    selectkeymap("main", 1);
    selectlocalmap(nullptr);
    fixsuffix();
    if (char *s = getbufferline()) {
        setline(s);
        if (stackcs != -1)
            tarncs = stackcs > tarnll ? tarnll : stackcs;
        if (stackhist != -1)
            histline = stackhist;
        stackcs = stackhist = -1;
    }
    initundo();
    if (isset(PROMPTCR)) {
        putc('\r', shout);
        fflush(shout);
    }
    if (tmout > 0)
        alarm(unsigned(tmout));
    kedactive = 1;
    resetneeded = 1;
    errflag = retflag = 0;
    lastcol = -1;
    resetmodifier();
    prefixflag = 0;
    getkeyptr = getkey;
    kedcore();
    getkeyptr = nullptr;
    qsfree(statusline);
    statusline = nullptr;
    statusll = 0;
    kedmsg.clear();
    runkedhook(INVALIDATELISTHOOK, nullptr);
    trashked();
    trashedked = 0;
    qsfree(lpromptbuf);
    qsfree(rpromptbuf);
    lpromptbuf = rpromptbuf = nullptr;
    lastlistlen = 0;
    kedreadflags = 0;
    kedactive = 0;
    if (tmout > 0)
        alarm(0);
    freeundo();
    if (eof_seen) {
        qfree(line);
        line = nullptr;
        linesz = tarnll = tarncs = 0;
        errno = oerrno;
        return nullptr;
    }
    line[tarnll] = '\n';
    char *r = metafy(reinterpret_cast<char *>(line), tarnll + 1, META_REALLOC);
    line = nullptr;
    linesz = tarnll = tarncs = 0;
    forget_edits();
    errno = oerrno;
    return r;
}

// ---- numeric arguments ----

namespace {

int clampcount(long v)
{
    if (v > MAX_COUNT || v < -MAX_COUNT) {
        handlefeep();
        return v > 0 ? MAX_COUNT : -MAX_COUNT;
    }
    return int(v);
}

}  // namespace

int digitargument(char **)
{
    int d = (lastchar & 0x7f) - '0';
    if (d < 0 || d > 9)
        return 1;
    int sign = qmod.count < 0 ? -1 : 1;
    if (!(qmod.flags & MOD_TMULT))
        qmod.pending_count = 0;
    if (qmod.flags & MOD_NEG) {
        qmod.pending_count = sign * d;
        qmod.flags &= ~MOD_NEG;
    } else {
        qmod.pending_count = clampcount(long(qmod.pending_count) * 10 + sign * d);
    }
    qmod.flags |= MOD_TMULT;
    prefixflag = 1;
    return 0;
}

int negargument(char **)
{
    if (qmod.flags & MOD_TMULT)
        return 1;
    qmod.pending_count = -1;
    qmod.flags |= MOD_TMULT | MOD_NEG;
    prefixflag = 1;
    return 0;
}

int universalargument(char **args)
{
    if (args && *args) {
        qmod.count = clampcount(atol(*args));
        qmod.flags |= MOD_MULT;
        return 0;
    }
    int sign = 1, got = 0, digits = 0;
    long value = 0;
    for (;;) {
        int k = getkey(0);
        if (k < 0)
            break;
        if (k == '-' && !got) {
            sign = -1;
            got = 1;
            continue;
        }
        if (k >= '0' && k <= '9') {
            value = value * 10 + (k - '0');
            if (value > MAX_COUNT)
                value = MAX_COUNT + 1L;
            got = 1;
            digits = 1;
            continue;
        }
        ungetkey(k);
        break;
    }
    if (got)
        qmod.pending_count = clampcount(sign * (digits ? value : 1));
    else
        qmod.pending_count = clampcount(long(qmod.pending_count) * 4);
    qmod.flags |= MOD_TMULT;
    prefixflag = 1;
    return 0;
}

// ---- describing keys ----

int describekeybriefly(char **)
{
    if (statusline)
        return 1;
    statusline = qtrdup("Describe key briefly: _");
    statusll = int(strlen(statusline));
    qrefresh();
    Thingy *func;
    char *str;
    char *seq = getkeymapcmd(curkeymap, &func, &str);
    qsfree(statusline);
    statusline = nullptr;
    statusll = 0;
    if (!seq || !*seq)
        return 1;
    std::string m = keyprintable(seq);
    m += " is ";
    if (func)
        m += printablestr(func->nam, int(strlen(func->nam)));
    else
        m += std::string("\"") + keyprintable(str) + "\"";
    showmsg(m.c_str());
    return 0;
}

int whereis(char **)
{
    Thingy *t = executenamedcommand("Where is: ");
    if (!t)
        return 1;
    struct Found {
        Thingy *t;
        std::vector<std::string> seqs;
    } f{t, {}};
    scankeymap(
        curkeymap, 1,
        [](const char *seq, Thingy *b, const char *, void *d) {
            Found *fd = static_cast<Found *>(d);
            if (b && b->widget && b->widget == fd->t->widget)
                fd->seqs.emplace_back(keyprintable(seq));
        },
        &f);
    std::string m = t->nam;
    if (f.seqs.empty()) {
        m += " is not bound to any key";
    } else {
        m += " is on";
        for (size_t i = 0; i < f.seqs.size() && i < 4; i++)
            m += " " + f.seqs[i];
        if (f.seqs.size() > 4)
            m += " et al";
    }
    unrefthingy(t);
    showmsg(m.c_str());
    return 0;
}

// Run by name (a key reaches these through the key reader instead).
int executenamedcmd(char **)
{
    Thingy *t = executenamedcommand("execute: ");
    if (!t)
        return 1;
    unrefthingy(last_named_command);
    last_named_command = refthingy(t);
    int r = execkedfunc(t, nullptr);
    unrefthingy(t);
    return r;
}

int executelastnamedcmd(char **) { return execkedfunc(last_named_command, nullptr); }

int recursiveedit(char **)
{
    int olddone = done;
    kedcore();
    int ret = errflag;
    done = olddone;
    errflag = 0;
    return ret;
}

// ---- vared ----

int bin_vared(char *nam, char **args, BuiltinOptions *, int)
{
    if ((isset(INTERACTIVE) && unset(KED)) || (getsparam("TERM") && !strcmp(getsparam("TERM"), "emacs"))) {
        qwarnnam(nam, "KED not enabled", nullptr, 0);
        return 1;
    }
    if (kedactive) {
        qwarnnam(nam, "KED cannot be used recursively (yet)", nullptr, 0);
        return 1;
    }
    char type = 0;
    bool create = false, eofends = false, usehist = false;
    char *prompt = nullptr, *rprompt = nullptr;
    for (; *args && **args == '-'; args++) {
        for (char *p = *args + 1; *p; p++) {
            switch (*p) {
            case 'A':
            case 'a':
                type = *p;
                break;
            case 'c': create = true; break;
            case 'e': eofends = true; break;
            case 'h': usehist = true; break;
            case 'p':
            case 'r': {
                char which = *p;
                char *v = p[1] ? p + 1 : args[1];
                if (!v) {
                    qwarnnam(nam, "prompt string expected after -%c", nullptr, which);
                    return 1;
                }
                (which == 'p' ? prompt : rprompt) = v;
                if (!p[1])
                    args++;
                p = v + strlen(v) - 1;
                break;
            }
            default: {
                char o[2] = {*p, 0};
                qwarnnam(nam, "unknown option: %s", o, 0);
                return 1;
            }
            }
        }
    }
    if (type && !create) {
        char o[2] = {type, 0};
        qwarnnam(nam, "-%s ignored", o, 0);
    }
    char *name = *args;
    if (!name) {
        qwarnnam(nam, "missing variable", nullptr, 0);
        return 1;
    }
    if (!isident(name)) {
        qwarnnam(nam, "invalid parameter name: %s", name, 0);
        return 1;
    }
    Param *pm = static_cast<Param *>(paramtab->getnode(paramtab, name));
    if ((!pm || (pm->flags & PF_UNSET)) && !create) {
        qwarnnam(nam, "no such variable: %s", name, 0);
        return 1;
    }
    std::string text;
    int ptype = pm && !(pm->flags & PF_UNSET) ? PF_TYPE(pm->flags) : 0;
    if (ptype == PF_ARRAY || ptype == PF_HASHED) {
        char **arr = ptype == PF_ARRAY ? getaparam(name) : gethparam(name);
        for (char **a = arr; a && *a; a++) {
            if (a != arr)
                text += ' ';
            for (const char *c = *a; *c; c++) {
                if (*c == '\\' || inblank(static_cast<unsigned char>(*c)))
                    text += '\\';
                text += *c;
            }
        }
    } else if (pm && !(pm->flags & PF_UNSET)) {
        if (char *v = getsparam(name))
            text = v;
    }
    FILE *oshout = shout;
    int osh = SHTTY;
    bool opened = false;
    if (SHTTY == -1) {
        int fd = open("/dev/tty", O_RDWR | O_NOCTTY);
        if (fd < 0) {
            qwarnnam(nam, "can't access terminal", nullptr, 0);
            return 1;
        }
        SHTTY = movefd(fd);
        shout = fdopen(SHTTY, "w");
        gettyinfo(&shttyinfo);
        opened = true;
    }
    pushbufferline(text.c_str());
    varedarg = name;
    int oisfirstln = isfirstln;
    if (usehist)
        hbegin(2);
    isfirstln = eofends;
    char *p = prompt ? prompt : const_cast<char *>("");
    char *rp = rprompt ? rprompt : const_cast<char *>("");
    char *res = kedread(&p, &rp, usehist ? 1 : 0);
    if (usehist)
        hend(nullptr);
    isfirstln = oisfirstln;
    varedarg = nullptr;
    if (opened) {
        fclose(shout);
        SHTTY = osh;
        shout = oshout;
    }
    if (!res || errflag) {
        qsfree(res);
        errflag = 0;
        return 1;
    }
    size_t rl = strlen(res);
    if (rl && res[rl - 1] == '\n')
        res[rl - 1] = '\0';
    if (create && type) {
        unsetparam(name);
        createparam(name, type == 'a' ? PF_ARRAY : PF_HASHED);
        ptype = type == 'a' ? PF_ARRAY : PF_HASHED;
    }
    if (ptype == PF_ARRAY || ptype == PF_HASHED) {
        // Words split at unquoted blanks, backslashes removed.
        std::vector<std::string> words;
        std::string cur;
        bool any = false;
        for (const char *c = res; *c; c++) {
            if (*c == '\\' && c[1]) {
                cur += *++c;
                any = true;
            } else if (inblank(static_cast<unsigned char>(*c))) {
                if (any)
                    words.push_back(cur);
                cur.clear();
                any = false;
            } else {
                cur += *c;
                any = true;
            }
        }
        if (any)
            words.push_back(cur);
        char **arr = static_cast<char **>(qalloc(sizeof(char *) * (words.size() + 1)));
        for (size_t i = 0; i < words.size(); i++)
            arr[i] = qtrdup(words[i].c_str());
        arr[words.size()] = nullptr;
        if (ptype == PF_HASHED)
            sethparam(name, arr);
        else
            setaparam(name, arr);
    } else {
        setsparam(name, qtrdup(res));
    }
    qsfree(res);
    return errflag ? 1 : 0;
}

// ---- the module ----

Hookdef kedhooks[] = {
    {nullptr, "list_matches", nullptr, 0, nullptr},    {nullptr, "complete", nullptr, 0, nullptr},
    {nullptr, "before_complete", nullptr, 0, nullptr}, {nullptr, "after_complete", nullptr, 0, nullptr},
    {nullptr, "accept_completion", nullptr, 0, nullptr}, {nullptr, "reverse_menu", nullptr, 0, nullptr},
    {nullptr, "invalidate_list", nullptr, 0, nullptr},
};

namespace {

BuiltinEntry kedbuiltins[] = {
    mkbuiltin("bindkey", 0, bin_bindkey, 0, -1, 0, "evaM:ldDANmrsLRp", nullptr),
    mkbuiltin("ked", 0, bin_ked, 0, -1, 0, "aAcCDFgGIKlLmMNRU", nullptr),
    mkbuiltin("vared", 0, bin_vared, 1, 7, 0, nullptr, nullptr),
};

int traplevel;

int kedbeforetrap(Hookdef *, void *)
{
    if (kedactive) {
        startparamscope();
        makekedparams(1);
        traplevel++;
    }
    return 0;
}

int kedaftertrap(Hookdef *, void *)
{
    if (traplevel) {
        traplevel--;
        endparamscope();
    }
    return 0;
}

// Leaving the shell while the editor has the terminal gives it back.
int kedexit(Hookdef *, void *)
{
    if (kedactive && SHTTY != -1)
        settyinfo(&shttyinfo);
    return 0;
}

void kedspaceinline(int ct) { spaceinline(ct); }

void kedrefresh()
{
    if (kedactive && (trashedked || resetneeded))
        qrefresh();
}

void kedwinsizechanged()
{
    winchanged = 1;
    if (kedactive)
        qrefresh();
}

}  // namespace

int setup_tarnQsked(Module *)
{
    init_thingies();
    unrefthingy(lbindk);
    lbindk = nullptr;
    stackcs = stackhist = -1;
    pushbacksz = 32;
    pushback = static_cast<unsigned char *>(qalloc(size_t(pushbacksz)));
    kungetct = 0;
    init_keymaps();
    varedarg = nullptr;
    return 0;
}

int boot_tarnQsked(Module *)
{
    // Character widths and classes on the line are the locale's.
    ensurelocale();
    kedreadptr = kedread;
    trashkedptr = trashked;
    refreshptr = kedrefresh;
    spaceinlineptr = kedspaceinline;
    kedsetkeymapptr = kedsetkeymap;
    winsizechangedptr = kedwinsizechanged;
    addhookfunc("before_trap", kedbeforetrap);
    addhookfunc("after_trap", kedaftertrap);
    addhookfunc("exit", kedexit);
    addhookdefs("tarn/ked", kedhooks, int(sizeof kedhooks / sizeof *kedhooks));
    return addbuiltins("tarn/ked", kedbuiltins, int(sizeof kedbuiltins / sizeof *kedbuiltins)) == 1 ? 0 : 1;
}

int cleanup_tarnQsked(Module *)
{
    if (kedactive) {
        qwarnnam("qmodload", "can't unload the ked module while ked is active", nullptr, 0);
        return 1;
    }
    kedreadptr = fallback_kedread;
    trashkedptr = nullptr;
    refreshptr = nullptr;
    spaceinlineptr = nullptr;
    getkeyptr = nullptr;
    winsizechangedptr = nullptr;
    deletehookfunc("before_trap", kedbeforetrap);
    deletehookfunc("after_trap", kedaftertrap);
    deletehookfunc("exit", kedexit);
    deletehookdefs("tarn/ked", kedhooks, int(sizeof kedhooks / sizeof *kedhooks));
    deletebuiltins("tarn/ked", kedbuiltins, int(sizeof kedbuiltins / sizeof *kedbuiltins));
    return 0;
}

int finish_tarnQsked(Module *)
{
    unrefthingy(lbindk);
    lbindk = nullptr;
    free_keymaps();
    freecutbuffers();
    vifreechange();
    free_thingies();
    qfree(pushback);
    pushback = nullptr;
    pushbacksz = kungetct = 0;
    freevideo();
    return 0;
}
