// Start-up, the command line, the shell's input and terminal, the startup
// files, the main read-compile-run loop and the exit sequence.
#include "core/core.h"
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "history/history.h"
#include "jobs/jobs.h"
#include "lang/lang.h"
#include "modules/module.h"
#include "params/params.h"
#include "core/paths.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <termios.h>
#include <malloc.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>

TARN_HOT volatile int errflag;
TARN_HOT int retflag, breaks, contflag, loops, exit_pending, noerrs, noerrexit, stopmsg;
TARN_HOT int locallevel, sourcelevel, forklevel, subsh, trapreturn, nohistsave;
TARN_HOT long lineno;
TARN_HOT int64_t lastval;

char *tarn_name, *argzero, **pparams, *scriptname;
bool argzeroarena, pparamsarena;

// The same value again keeps what it is, arena copy or not.
void setargzero(char *s, bool arena)
{
    if (s == argzero)
        return;
    if (!argzeroarena)
        qsfree(argzero);
    argzero = s;
    argzeroarena = arena;
}

void setpparams(char **a, bool arena)
{
    if (a == pparams)
        return;
    if (!pparamsarena)
        freearray(pparams);
    pparams = a;
    pparamsarena = arena;
}

void ownpparams()
{
    if (pparamsarena) {
        pparams = qarrdup(pparams);
        pparamsarena = false;
    }
}
int SHIN, SHTTY = -1;
FILE *bshin, *shout, *xtrerr;

// A script or sourced file is the shell's own descriptor, which no command
// shares, so it is read in large blocks: on a long script the reads, not
// the parsing, would otherwise set the pace.
// The buffer is the caller's to free once the stream is closed.
constexpr size_t SCRIPTBUFSZ = 64 * 1024;
static FILE *scriptstream(int fd, char **bufp)
{
    FILE *f = fdopen(fd, "r");
    *bufp = nullptr;
    if (f) {
        *bufp = static_cast<char *>(qalloc(SCRIPTBUFSZ));
        setvbuf(f, *bufp, _IOFBF, SCRIPTBUFSZ);
    }
    return f;
}
char *ttystrname;
unsigned char *fdtable;
TARN_HOT int fdtable_size, max_tarn_fd;
TARN_HOT char *cmdstack;
TARN_HOT int cmdsp;
TARN_HOT int noexitct;
pid_t mypid, origpgrp;
LinkList *prepromptfns;
char *cmdstring;

char *(*kedreadptr)(char **lp, char **rp, int flags) = autoload_kedread;
int (*compctlreadptr)(const char *name, char **args, void *ops, char *reply) = fallback_compctlread;
void (*trashkedptr)();
void (*refreshptr)();
void (*spaceinlineptr)(int);
int (*getkeyptr)(int);

static void noop_setkeymap(const char *) {}
// Selecting a keymap first loads the editor, whose boot replaces this.
static void autoload_setkeymap(const char *name)
{
    kedsetkeymapptr = noop_setkeymap;
    load_module("tarn/ked", nullptr, 1);
    kedsetkeymapptr(name);
}
void (*kedsetkeymapptr)(const char *name) = autoload_setkeymap;

static char stdoutbuf[1024], stderrbuf[1024];
static char *pendingcmd;  // the -c argument, recorded by parseargs

// ---- descriptors ----

std::string *outcapture;

bool writefull(int fd, const char *buf, size_t len)
{
    if (fd == 1 && outcapture) {
        outcapture->append(buf, len);
        return true;
    }
    while (len) {
        ssize_t w = write(fd, buf, len);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        buf += w;
        len -= size_t(w);
    }
    return true;
}

ReadAhead heldinput;

void givebackreadahead()
{
    int fd = heldinput.fd, err = errno;
    heldinput.fd = -1;
    if (heldinput.pos < heldinput.len)
        lseek(fd, -off_t(heldinput.len - heldinput.pos), SEEK_CUR);
    heldinput.pos = heldinput.len = 0;
    errno = err;
}

// The descriptor table starts small and doubles to cover the highest
// descriptor the shell holds: sized to the open-files limit it would be
// cleared page by page at every start-up for descriptors never used.
static void fdtablehold(int fd)
{
    if (fd < fdtable_size)
        return;
    int nsize = fdtable_size ? fdtable_size : 64;
    while (nsize <= fd)
        nsize *= 2;
    fdtable = static_cast<unsigned char *>(qrealloc(fdtable, size_t(nsize)));
    memset(fdtable + fdtable_size, 0, size_t(nsize - fdtable_size));
    fdtable_size = nsize;
}

int movefd(int fd)
{
    syncreadaheadfd(fd);
    if (fd != -1 && fd < 10) {
        int fe = fcntl(fd, F_DUPFD_CLOEXEC, 10);
        close(fd);
        fd = fe;
    }
    if (fd >= 0) {
        fdtablehold(fd);
        fdtable[fd] = 1;
        if (fd > max_tarn_fd)
            max_tarn_fd = fd;
    }
    return fd;
}

void redup(int x, int y)
{
    syncreadaheadfd(x);
    syncreadaheadfd(y);
    if (x < 0) {
        close(y);
    } else if (x != y) {
        dup2(x, y);
        if (x < fdtable_size && fdtable[x]) {
            fdtablehold(y);
            fdtable[y] = fdtable[x];
        } else if (y < fdtable_size) {
            fdtable[y] = 0;
        }
        closefd(x);
    }
}

void closefd(int fd)
{
    if (fd < 0)
        return;
    syncreadaheadfd(fd);
    if (fd < fdtable_size)
        fdtable[fd] = 0;
    close(fd);
}

char *qreaddir(DIR *dir, int ignoredots)
{
    while (struct dirent *de = readdir(dir)) {
        const char *n = de->d_name;
        if (ignoredots && n[0] == '.' && (!n[1] || (n[1] == '.' && !n[2])))
            continue;
        return metafy(const_cast<char *>(n), -1, META_STATIC);
    }
    return nullptr;
}

// ---- the command line ----

// Command-line errors come before any script is open, so they carry the
// prefix of commands read from standard input.
[[noreturn]] static void argerror(const char *fmt, const char *str, long num)
{
    fputs("tarn: ", stderr);
    qerrmsg(fmt, str, num);
    exit(1);
}

static void setoptarg(int optno, int action)
{
    int o = optno < 0 ? -optno : optno;
    int value = optno < 0 ? !action : action;
    if (o == RESTRICTED)
        restricted_pending = value;
    else
        dosetopt(o, value, 1);
}

static void printhelp()
{
    printf("Usage: %s [<options>] [<argument> ...]\n", argzero);
    fputs("\nSpecial options:\n", stdout);
    fputs("  --help     show this message, then exit\n", stdout);
    fputs("  --version  show tarn version number, then exit\n", stdout);
    if (unset(SHOPTIONLETTERS))
        fputs("  -b         end option processing, like --\n", stdout);
    fputs("  -c         take first argument as a command to execute\n", stdout);
    fputs("  -o OPTION  set an option by name (see below)\n", stdout);
    fputs("\nNormal options are named.  An option may be turned on by\n", stdout);
    fputs("`-o OPTION', `--OPTION', `+o no_OPTION' or `+-no-OPTION'.  An\n", stdout);
    fputs("option may be turned off by `-o no_OPTION', `--no-OPTION',\n", stdout);
    fputs("`+o OPTION' or `+-OPTION'.  Options are listed below only in\n", stdout);
    fputs("`--OPTION' or `--no-OPTION' form.\n", stdout);
    printoptionlist();
}

void parseargs(char **argv)
{
    argzero = *argv++;
    SHIN = 0;
    opts[INTERACTIVE] = isatty(0) ? 2 : 0;
    opts[SHINSTDIN] = 0;
    opts[SINGLECOMMAND] = 0;
    bool cflag = false, optionsdone = false;
    char *cletters = nullptr;

    while (!optionsdone && *argv && (**argv == '-' || **argv == '+')) {
        char *args = *argv;
        int action = (**argv == '-');
        if (!argv[0][1])
            *argv = const_cast<char *>("--");  // a lone sign ends the options
        bool endthisarg = false;
        for (char *p = *argv + 1; *p && !endthisarg; p++) {
            if (*p == '-') {
                if (p == *argv + 1) {
                    if (!p[1]) {
                        argv++;
                        goto doneoptions;
                    }
                    char *name = p + 1;
                    if (!strcmp(name, "version")) {
                        printf("tarn %s (%s-%s-%s)\n", TARN_VERSION, MACHTYPE_STR, VENDOR_STR, OSTYPE_STR);
                        exit(0);
                    }
                    if (!strcmp(name, "help")) {
                        printhelp();
                        exit(0);
                    }
                    for (char *q = name; *q; q++)
                        if (*q == '-')
                            *q = '_';
                    int optno = optlookup(name);
                    if (!optno)
                        argerror("no such option: %s", name, 0);
                    setoptarg(optno, action);
                    break;
                }
                argerror("bad option string: `%s'", args, 0);
            }
            if (*p == 'b' && unset(SHOPTIONLETTERS)) {
                optionsdone = true;
                continue;
            }
            if (*p == 'c') {
                cflag = true;
                if (!cletters)
                    cletters = p;
                opts[INTERACTIVE] &= 1;
                scriptname = const_cast<char *>("tarn");
                continue;
            }
            if (*p == 'o') {
                char *name = p + 1;
                if (!*name) {
                    name = *++argv;
                    if (!name)
                        argerror("string expected after -o", nullptr, 0);
                }
                int optno = optlookup(name);
                if (!optno)
                    argerror("no such option: %s", name, 0);
                setoptarg(optno, action);
                endthisarg = true;
                continue;
            }
            if (isspace(static_cast<unsigned char>(*p))) {
                for (char *q = p; *q; q++)
                    if (!isspace(static_cast<unsigned char>(*q)))
                        argerror("bad option string: `%s'", args, 0);
                endthisarg = true;
                continue;
            }
            int optno = optlookupc(*p);
            if (!optno)
                argerror("bad option: -%c", nullptr, static_cast<unsigned char>(*p));
            setoptarg(optno, action);
        }
        if (*argv)
            argv++;
    }
doneoptions:
    if (cflag) {
        if (!*argv) {
            // Name the letters of the argument from c onwards.
            argerror("string expected after -%s", cletters, 0);
        }
        pendingcmd = *argv++;
    }
    if (*argv) {
        if (unset(SHINSTDIN)) {
            argzero = *argv;
            if (!cflag) {
                char *up = unmeta(argzero);
                int fd = up ? open(up, O_RDONLY | O_NOCTTY) : -1;
                if (fd < 0)
                    argerror("can't open input file: %s", argzero, 0);
                SHIN = movefd(fd);
                scriptname = argzero;
            }
            opts[INTERACTIVE] &= 1;
            argv++;
        }
        int n = 0;
        while (argv[n])
            n++;
        pparams = qnew<char *>(size_t(n) + 1);
        for (int i = 0; i < n; i++)
            pparams[i] = qtrdup(argv[i]);
        pparams[n] = nullptr;
    } else {
        opts[SHINSTDIN] = 1;
        pparams = qcnew<char *>(1);
    }
    if (isset(SINGLECOMMAND))
        opts[INTERACTIVE] &= 1;
    opts[INTERACTIVE] = opts[INTERACTIVE] != 0;
    argzero = qtrdup(argzero);
    if (pendingcmd)
        cmdstring = pendingcmd;
}

// ---- input and terminal ----

void init_shout()
{
    if (SHTTY == -1) {
        opts[KED] = 0;
        return;
    }
    shout = fdopen(SHTTY, "w");
    if (shout) {
        static char shoutbuf[1024];
        setvbuf(shout, shoutbuf, _IOFBF, sizeof(shoutbuf));
        gettyinfo(&shttyinfo);
    } else {
        opts[KED] = 0;
    }
}

void init_io()
{
    setvbuf(stdout, stdoutbuf, _IOFBF, sizeof(stdoutbuf));
    setvbuf(stderr, stderrbuf, _IOFBF, sizeof(stderrbuf));
    if (shout) {
        // The stream owns the descriptor: closing it closes SHTTY too.
        if (fileno(shout) == SHTTY)
            SHTTY = -1;
        fclose(shout);
        shout = nullptr;
    }
    if (SHTTY != -1) {
        closefd(SHTTY);
        SHTTY = -1;
    }
    xtrerr = stderr;
    qsfree(ttystrname);
    ttystrname = nullptr;

    if (isatty(0)) {
        const char *name = ttyname(0);
        if (name) {
            int fd = open(name, O_RDWR | O_NOCTTY);
            if (fd == -1 && errno == EBUSY) {
                ioctl(0, TIOCNXCL, 0);
                fd = open(name, O_RDWR | O_NOCTTY);
            }
            if (fd != -1) {
                SHTTY = movefd(fd);
                ttystrname = qtrdup(name);
            }
        }
        if (SHTTY == -1 && (fcntl(0, F_GETFL) & O_ACCMODE) == O_RDWR) {
            SHTTY = movefd(dup(0));
            ttystrname = qtrdup(name ? name : "/dev/tty");
        }
    } else if (isatty(1) && (fcntl(1, F_GETFL) & O_ACCMODE) == O_RDWR) {
        const char *name = ttyname(1);
        SHTTY = movefd(dup(1));
        ttystrname = qtrdup(name ? name : "/dev/tty");
    } else {
        int fd = open("/dev/tty", O_RDWR | O_NOCTTY);
        if (fd != -1) {
            SHTTY = movefd(fd);
            ttystrname = qtrdup("/dev/tty");
        }
    }
    if (!ttystrname)
        ttystrname = qtrdup("");

    if (isset(INTERACTIVE) && SHTTY != -1)
        init_shout();
    else
        opts[KED] = 0;

    mypid = getpid();
    if (isset(MONITOR) && isset(INTERACTIVE) && SHTTY != -1) {
        origpgrp = getpgrp();
        acquire_pgrp();
    } else {
        opts[MONITOR] = 0;
    }
}

// ---- default state ----

void setupvals()
{
    // Hold descriptors 0-9 so that nothing opened while setting up lands
    // on a descriptor a user redirection may want.
    int placeholders[10], nplace = 0;
    {
        // The pipe is what is left when descriptor 0 is closed and cannot
        // be duplicated; otherwise duplicates of 0 fill the same places
        // (each takes the lowest free one) without making a pipe.
        int p[2];
        if (fcntl(0, F_GETFD) < 0 && pipe(p) == 0) {
            for (int fd : p) {
                if (fd < 10)
                    placeholders[nplace++] = fd;
                else
                    close(fd);
            }
        }
        for (;;) {
            int fd = dup(0);
            if (fd < 0)
                break;
            if (fd >= 10) {
                close(fd);
                break;
            }
            placeholders[nplace++] = fd;
        }
    }

    addhookdefs(nullptr, basehooks, basehookcount);
    init_eprog();
    lineno = 1;
    init_history();
    cmdstack = static_cast<char *>(qalloc(CMDSTACKSZ));
    cmdsp = 0;

    bangchar = '!';
    hashchar = '#';
    hatchar = '^';
    init_jobvals();
    gettimeofday(&shtimer, nullptr);
    seedrandom(unsigned(shtimer.tv_sec + shtimer.tv_usec));

    inittyptab();
    init_lexer_tables();
    createreswdtable();
    createaliastable();
    createcmdnamtable();
    createshfunctable();
    createbuiltintable();
    createnameddirtable();
    createparamtable();
    init_matchrefs();
    init_winsize();

    // The limit tables are read when the limit builtins load.
    loops = breaks = 0;
    // Mail that came before the shell started is not news at its first prompt.
    lastmailcheck = time(nullptr);
    sourcelevel = locallevel = 0;
    trapreturn = 0;
    noerrexit = -1;
    nohistsave = 1;
    prepromptfns = qnewlinklist();

    if (SHIN == 0) {
        bshin = stdin;
        if (isset(SHINSTDIN) && !isset(INTERACTIVE))
            setvbuf(stdin, nullptr, _IONBF, 0);
    } else {
        char *buf;  // kept for the life of the shell
        bshin = scriptstream(SHIN, &buf);
    }
    record_shtimes();
    for (int i = 0; i < nplace; i++)
        close(placeholders[i]);
}

void init_signals()
{
    install_signal_actions();
    init_traps();
    if (isset(INTERACTIVE)) {
        sigset_t none;
        sigemptyset(&none);
        signal_setmask(none);
        for (int i = 1; i < NSIG; i++)
            if (i != SIGKILL && i != SIGSTOP)
                signal(i, SIG_DFL);
    }
    intr();
    signal(SIGQUIT, SIG_IGN);
    struct sigaction old;
    if (sigaction(SIGHUP, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
        opts[HUP] = 0;
    else
        install_handler(SIGHUP);
    install_handler(SIGCHLD);
    install_handler(SIGWINCH);
    if (isset(INTERACTIVE)) {
        install_handler(SIGALRM);
        signal(SIGTERM, SIG_IGN);
    }
    if (isset(MONITOR)) {
        signal(SIGTTOU, SIG_IGN);
        signal(SIGTSTP, SIG_IGN);
        signal(SIGTTIN, SIG_IGN);
    }
}

// ---- startup files ----

// The per-user startup directory, as an arena copy.
static char *startupdir()
{
    SignalGuard sg;
    const char *dir = emulating(EMULATE_SH | EMULATE_KSH) ? nullptr : getsparam("QDOTDIR");
    if (!dir)
        dir = getsparam("HOME");
    return dupstring(dir ? dir : "");
}

void sourcehome(const char *name)
{
    HeapGuard hg;
    source(qhtricat(startupdir(), "/", name));
}

// A new user's first interactive shell says, once, where a sensible set-up
// is to be had.  Any per-user startup file, even an empty one, means the
// user has made their choice.  Scripts, -c, input that is not typed at a
// terminal, sh and ksh emulation (which read other files) and shells told
// to skip the startup files stay quiet.
static void firstrunhint()
{
    if (unset(INTERACTIVE) || unset(SHINSTDIN) || !isatty(SHIN) || unset(RCS) || isset(PRIVILEGED) ||
        emulating(EMULATE_SH | EMULATE_KSH))
        return;
    HeapGuard hg;
    char *dir = startupdir();
    static constexpr const char *files[] = {".tarnenv", ".qprofile", ".tarnrc", ".qlogin", ".qlogout"};
    for (const char *f : files) {
        char *p = unmeta(qhtricat(dir, "/", f));
        if (access(p, F_OK) == 0 || errno != ENOENT)
            return;
    }
    const char *home = getsparam("HOME");
    const char *shown = home && *home && !strcmp(dir, home) ? "~" : dir;
    qwarn("%s", qhtricat(qhtricat("no ", shown, "/.tarnrc yet; try: cp "),
                         qhtricat(tarnexamplerc, " ", shown), "/.tarnrc"), 0);
}

void run_init_scripts()
{
    noerrexit = -1;
    if (emulating(EMULATE_KSH | EMULATE_SH)) {
        if (isset(LOGIN))
            source("/etc/profile");
        if (isset(PRIVILEGED)) {
            source("/etc/suid_profile");
        } else {
            char *s = getsparam("ENV");
            s = s ? qtrdup(s) : nullptr;
            if (isset(LOGIN))
                sourcehome(".profile");
            if (s) {
                HeapGuard hg;
                noerrs = 2;
                char *word = dupstring(s);
                bool ok = !parsestr(&word);
                if (ok) {
                    singsub(&word);
                    noerrs = 0;
                    source(word);
                }
                qsfree(s);
            }
            noerrs = 0;
        }
    } else {
        source(globaltarnenv);
        if (isset(RCS) && unset(PRIVILEGED))
            sourcehome(".tarnenv");
        if (isset(LOGIN)) {
            if (isset(RCS) && isset(GLOBALRCS))
                source(globalqprofile);
            if (isset(RCS) && unset(PRIVILEGED))
                sourcehome(".qprofile");
        }
        if (isset(INTERACTIVE)) {
            if (isset(RCS) && isset(GLOBALRCS))
                source(globaltarnrc);
            if (isset(RCS) && unset(PRIVILEGED))
                sourcehome(".tarnrc");
        }
        if (isset(LOGIN)) {
            if (isset(RCS) && isset(GLOBALRCS))
                source(globalqlogin);
            if (isset(RCS) && unset(PRIVILEGED))
                sourcehome(".qlogin");
        }
    }
    noerrexit = 0;
    nohistsave = 0;
}

void init_misc()
{
    if (*tarn_name == 'r' || restricted_pending)
        dosetopt(RESTRICTED, 1, 0);
    if (cmdstring) {
        if (SHIN >= 10)
            fclose(bshin);
        SHIN = movefd(open("/dev/null", O_RDONLY | O_NOCTTY));
        bshin = fdopen(SHIN, "r");
        execstring(cmdstring, 0, 0, "cmdarg");
        stopmsg = 1;
        qexit(lastval, 0);
    }
    firstrunhint();
    if (isset(INTERACTIVE) && isset(RCS))
        readhistfile(nullptr, 0, HFILE_USE_OPTIONS);
}

int source(const char *spath)
{
    if (!spath)
        return 1;
    Eprog *prog = try_source_file(spath);
    int fd = -1;
    size_t sl = strlen(spath);
    if (!prog && sl >= 4 && !strcmp(spath + sl - 4, ".qwc")) {
        // A compiled file that was refused is never read as text.
        const char *up = unmeta(spath);
        if (up && !access(up, F_OK))
            errno = ENOEXEC;
        return 1;
    }
    if (!prog) {
        const char *up = unmeta(spath);
        fd = up ? open(up, O_RDONLY | O_NOCTTY) : -1;
        if (fd == -1)
            return 1;
        fd = movefd(fd);
    }

    int oldshin = SHIN;
    FILE *obshin = bshin;
    int osubsh = subsh;
    int ojob = thisjob;
    long oldlineno = lineno;
    int oloops = loops;
    int oldshst = opts[SHINSTDIN];
    char *ocs = cmdstack;
    int ocsp = cmdsp;
    char *oscriptname = scriptname;
    cmdstack = static_cast<char *>(qalloc(CMDSTACKSZ));
    cmdsp = 0;

    char *sbuf = nullptr;
    if (!prog) {
        SHIN = fd;
        bshin = scriptstream(SHIN, &sbuf);
    }
    subsh = 0;
    lineno = 1;
    loops = 0;
    dosetopt(SHINSTDIN, 0, 1);
    scriptname = qtrdup(spath);
    sourcelevel++;

    if (prog) {
        HeapGuard hg;
        errflag = 0;
        execode(prog, 1, 0, "source");
    } else {
        loop(0, 0);
    }
    sourcelevel--;

    if (prog) {
        freeeprog(prog);
    } else {
        fclose(bshin);
        qfree(sbuf);
        if (SHIN < fdtable_size)
            fdtable[SHIN] = 0;
        SHIN = oldshin;
        bshin = obshin;
    }
    subsh = osubsh;
    thisjob = ojob;
    lineno = oldlineno;
    loops = oloops;
    dosetopt(SHINSTDIN, oldshst, 1);
    qfree(cmdstack);
    cmdstack = ocs;
    cmdsp = ocsp;
    errflag = 0;
    retflag = 0;
    qsfree(scriptname);
    scriptname = oscriptname;
    return 0;
}

// ---- the main loop ----

void loop(int toplevel, int justonce)
{
    pushheap();
    for (;;) {
        freeheap();
        if (stophist == 3)
            hend(nullptr);
        hbegin(1);
        if (isset(SHINSTDIN)) {
            setblock_stdin();
            if (isset(INTERACTIVE)) {
                int hstop = stophist;
                stophist = 3;
                preprompt();
                if (stophist != 3)
                    hbegin(1);
                else
                    stophist = hstop;
                errflag = 0;
            }
        }
        intr();
        lexinit();
        Eprog *prog = parse_event();
        if (!prog) {
            // A syntax error is a failure, whatever ran before it.
            if (tok == LX_ERROR)
                lastval = 1;
            hend(nullptr);
            if ((tok == LX_EOF && !errflag) || (tok == LX_ERROR && (unset(SHINSTDIN) || !toplevel)) || justonce ||
                (tok == LX_ERROR && unset(INTERACTIVE)))
                break;
            continue;
        }
        if (hend(prog)) {
            int toksav = tok;
            if (toplevel)
                runpreexec(prog);
            if (stopmsg)
                stopmsg--;
            execode(prog, 0, 0, toplevel ? "toplevel" : "file");
            tok = toksav;
            if (toplevel)
                noexitct = 0;
        }
        if (ferror(stderr)) {
            qerr("write error", nullptr, 0);
            clearerr(stderr);
        }
        if (subsh)
            shellexit(int(lastval));
        if ((errflag && (!isset(INTERACTIVE) || sourcelevel)) || retflag)
            break;
        if (trapreturn) {
            lastval = trapreturn;
            trapreturn = 0;
        }
        if (isset(SINGLECOMMAND) && toplevel) {
            dotrap_exit();
            shellexit(int(lastval));
        }
        if (justonce)
            break;
    }
    popheap();
}

// ---- leaving ----

void qexit(int64_t status, int how)
{
    static int in_exit;
    if (isset(MONITOR) && !stopmsg && how != 1) {
        scanjobs();
        if (isset(CHECKJOBS))
            checkjobs();
        if (stopmsg) {
            stopmsg = 2;
            return;
        }
    }
    if (how == 2)
        return;
    if (in_exit++ && how)
        return;
    if (isset(MONITOR))
        killrunjobs(how == 1);
    if (isset(RCS) && isset(INTERACTIVE)) {
        if (!nohistsave)
            savehistfile(nullptr, 1, HFILE_USE_OPTIONS);
        if (isset(LOGIN) && !subsh) {
            sourcehome(".qlogout");
            if (isset(RCS) && isset(GLOBALRCS))
                source(globalqlogout);
        }
    }
    lastval = status;
    dotrap_exit();
    runhookdef(EXITHOOK, nullptr);
    syncreadahead();
    if (mypid != getpid())
        _exit(int(status));
    shellexit(int(status));
}

// Present only in a build instrumented for its profile, which would
// otherwise lose the counts an exit handler writes.
extern "C" void __gcov_dump() __attribute__((weak));

void shellexit(int status)
{
#ifdef __SANITIZE_ADDRESS__
    exit(status);  // the sanitizers report at exit
#else
    // Whatever must outlive the process (output, the history file) is
    // written by now; the destructors of the static tables would only page
    // in code and data to free memory the exit gives back anyway.
    fflush(nullptr);
    if (__gcov_dump)
        __gcov_dump();
    _exit(status);
#endif
}

// ---- terminal capabilities ----


// ---- editor and completion fallbacks ----

char *autoload_kedread(char **lp, char **rp, int flags)
{
    kedreadptr = fallback_kedread;
    // Completion comes with its own module; until it is there, its
    // absence is no news to the user.
    if (load_module("tarn/ked", nullptr, 0))
        load_module("tarn/compctl", nullptr, 1);
    return kedreadptr(lp, rp, flags);
}

char *fallback_kedread(char **lp, char **, int)
{
    if (lp && *lp) {
        char *pr = promptexpand(*lp, 0, nullptr, nullptr);
        int len;
        unmetafy(pr, &len);
        if (!writefull(2, pr, size_t(len))) {
            // Nothing to do: the line is read all the same.
        }
        qsfree(pr);
    }
    return shingetline();
}

int fallback_compctlread(const char *name, char **, void *, char *)
{
    qwarnnam(name, "option valid only in functions called from completion", nullptr, 0);
    return 1;
}

// ---- the process entry ----

[[noreturn]] void tarn_main(int, char **argv)
{
    // Memory the shell frees (a glob's names, a long word list) is soon
    // wanted again: kept in the process it costs no system calls and no
    // fresh pages the next time.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
    // The locale waits until something depends on it (ensurelocale).
    localepending = true;
    record_argv_space(argv);
    initmetabytes();
    for (char **p = argv; *p; p++)
        *p = metafy(*p, -1, META_DUP);

    {
        char *base = strrchr(argv[0], '/');
        base = base ? base + 1 : argv[0];
        if (*base == '-')
            base++;
        if (!strcmp(base, "su")) {
            const char *sh = getenv("SHELL");
            if (sh && *sh && strcmp(sh, base)) {
                const char *b2 = strrchr(sh, '/');
                b2 = b2 ? b2 + 1 : sh;
                if (*b2 == '-')
                    b2++;
                base = const_cast<char *>(b2);
            }
        }
        tarn_name = qtrdup(base);
    }

    fdtablehold(63);

    emulate(tarn_name, 1);
    opts[LOGIN] = argv[0][0] == '-';
    opts[MONITOR] = 1;
    opts[KED] = 1;
    opts[PRIVILEGED] = getuid() != geteuid() || getgid() != getegid();

    parseargs(argv);

    SHTTY = -1;
    init_io();
    setupvals();
    init_signals();
    init_bltinmods();
    run_init_scripts();
    init_misc();

    for (;;) {
        do
            loop(1, 0);
        while (tok != LX_EOF && !(tok == LX_ERROR && unset(SHINSTDIN)) &&
               !((errflag & ERRFLAG_ERROR) && unset(INTERACTIVE)));
        // A script, from a file or standard input, ends at an error left
        // set at the top level.
        if ((errflag & ERRFLAG_ERROR) && unset(INTERACTIVE)) {
            stopmsg = 1;
            qexit(lastval ? lastval : 1, 0);
        }
        if (tok == LX_ERROR) {
            stopmsg = 1;
            qexit(lastval, 0);
        }
        if (!(isset(IGNOREEOF) && isset(INTERACTIVE))) {
            qexit(lastval, 0);
            continue;
        }
        if (++noexitct >= 10) {
            stopmsg = 1;
            qexit(lastval, 0);
        }
        qwarn(isset(LOGIN) ? "use 'logout' to logout." : "use 'exit' to exit.", nullptr, 0);
    }
}

// ---- small helpers of the loop ----

int tclines = 24, tccolumns = 80;

void init_winsize()
{
    struct winsize ws;
    int fd = SHTTY != -1 ? SHTTY : 2;
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0) {
        if (ws.ws_row)
            tclines = ws.ws_row;
        if (ws.ws_col)
            tccolumns = ws.ws_col;
    }
}

void setblock_stdin()
{
    int fl = fcntl(0, F_GETFL, 0);
    if (fl != -1 && (fl & O_NONBLOCK))
        fcntl(0, F_SETFL, fl & ~O_NONBLOCK);
}
