// read and getln: a line, some characters or a yes/no answer from input,
// the terminal, the coprocess or the buffer stack, split into parameters.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "jobs/jobs.h"
#include "params/params.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int READ_EOF = -1;

// Terminal modes changed for the duration of one read, restored (and a
// terminal opened for it closed) on every way out.
struct [[nodiscard]] TtyGuard {
    int fd = -1;
    bool opened = false;
    bool saved = false;
    struct termios orig {};

    TtyGuard() = default;
    TtyGuard(const TtyGuard &) = delete;
    TtyGuard &operator=(const TtyGuard &) = delete;
    ~TtyGuard()
    {
        restore();
        if (opened)
            close(fd);
    }
    void save()
    {
        if (!saved && fd >= 0 && tcgetattr(fd, &orig) == 0)
            saved = true;
    }
    // Clear lflag bits; character-at-a-time input when ICANON goes.
    void change(tcflag_t clear)
    {
        save();
        if (!saved)
            return;
        struct termios t;
        if (tcgetattr(fd, &t) != 0)
            return;
        t.c_lflag &= ~clear;
        if (clear & ICANON) {
            t.c_cc[VMIN] = 1;
            t.c_cc[VTIME] = 0;
        }
        tcsetattr(fd, TCSANOW, &t);
    }
    void restore()
    {
        if (saved) {
            tcsetattr(fd, TCSANOW, &orig);
            saved = false;
        }
    }
};

// SIGCHLD is let through while the shell waits for input, so that jobs
// finishing meanwhile are reaped.  Only a job being built holds it
// (a pipeline whose tail is this read); otherwise nothing needs changing.
struct [[nodiscard]] ChildUnblock {
    bool held = chldheld;
    sigset_t old;
    ChildUnblock()
    {
        if (held)
            old = signal_unblock(signal_mask(SIGCHLD));
    }
    ~ChildUnblock()
    {
        if (held)
            signal_setmask(old);
    }
    ChildUnblock(const ChildUnblock &) = delete;
    ChildUnblock &operator=(const ChildUnblock &) = delete;
};

// Where the characters come from.  Pipes and terminals are read one byte
// at a time so nothing meant for later commands is taken; a regular file
// is read in blocks and the offset put back after the last byte used.  In
// a loop that reads one file and does nothing between its lines that could
// see the file's offset, the block is kept instead (the shell's read-ahead,
// given back by syncreadahead) and grows, so lines cost no system calls.
constexpr size_t HELD_MIN = 4096, HELD_MAX = 65536;
// The descriptor of the last read and the sync count then: the same two
// at the next read mean nothing happened in between.
int lastreadfd = -1;
unsigned lastreadgen;

struct Source {
    int fd = -1;
    bool fromstack = false;
    std::string stack;  // the buffer-stack line, unmetafied
    size_t stackpos = 0;
    int peek = -1;      // the character the poll read ahead
    bool buffered = false;
    bool held = false;  // buf is the shell's read-ahead
    char own[512];
    char *buf = own;
    size_t cap = sizeof own;
    ssize_t pos = 0, len = 0;
    bool eagainfixed = false;

    ~Source() { giveback(); }
    Source() = default;
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;

    void setfd(int d)
    {
        fd = d;
        if (heldinput.fd >= 0 && heldinput.fd != d)
            syncreadahead();  // d may share that file's offset
        if (heldinput.fd == d) {
            take();
            return;
        }
        bool loop = lastreadfd == d && lastreadgen == heldinput.gen;
        // Input that can seek can be read ahead and given back; pipes and
        // terminals cannot, and are read a byte at a time.
        buffered = lseek(fd, 0, SEEK_CUR) != -1;
        if (buffered && loop && canhold()) {
            heldinput.fd = d;
            heldinput.pos = heldinput.len = 0;
            take();
        }
    }
    // Whether the file can be held: a regular file that neither standard
    // output nor standard error writes to, whose writes read would miss.
    bool canhold() const
    {
        struct stat in, out;
        if (fstat(fd, &in) || !S_ISREG(in.st_mode))
            return false;
        for (int o = 1; o <= 2; o++)
            if (o != fd && !fstat(o, &out) && out.st_dev == in.st_dev && out.st_ino == in.st_ino)
                return false;
        return true;
    }
    void take()
    {
        held = buffered = true;
        if (!heldinput.buf) {
            heldinput.cap = HELD_MIN;
            heldinput.buf = static_cast<char *>(qalloc(heldinput.cap));
        }
        buf = heldinput.buf;
        cap = heldinput.cap;
        pos = ssize_t(heldinput.pos);
        len = ssize_t(heldinput.len);
    }
    void giveback()
    {
        if (held) {
            // Kept for the next read, unless something meanwhile gave it
            // back already.
            if (heldinput.fd == fd) {
                heldinput.pos = size_t(pos);
                heldinput.len = size_t(len);
            }
            held = false;
        } else if (buffered && pos < len) {
            lseek(fd, off_t(pos - len), SEEK_CUR);
        }
        pos = len = 0;
        if (!fromstack) {
            lastreadfd = fd;
            lastreadgen = heldinput.gen;
        }
    }
    // Whether the held block is still the shell's: a trap run while
    // waiting may have given it back, and the file stands again where the
    // block began, so what is left of it is not used; reading goes on
    // without holding.
    void checkheld()
    {
        if (held && heldinput.fd != fd) {
            held = false;
            buf = own;
            cap = sizeof own;
            pos = len = 0;
        }
    }
    // The next block into buf, everything before it used.
    bool refill()
    {
        pos = len = 0;
        checkheld();
        if (held) {
            if (heldinput.cap < HELD_MAX && heldinput.len == heldinput.cap) {
                // A full block used up: the loop goes on, read more at once.
                heldinput.cap *= 2;
                heldinput.buf = static_cast<char *>(qrealloc(heldinput.buf, heldinput.cap));
                buf = heldinput.buf;
                cap = heldinput.cap;
            }
            heldinput.pos = heldinput.len = 0;
        }
        bool got = rawread(buf, cap, &len);
        if (held && heldinput.fd != fd)
            held = false;  // given back by a trap meanwhile: what was read is given back at the end
        else if (held)
            heldinput.len = size_t(len);
        return got;
    }
    // One raw read; false at end of input or on an error.
    bool rawread(char *into, size_t n, ssize_t *got)
    {
        for (;;) {
            ssize_t r = read(fd, into, n);
            if (r > 0) {
                *got = r;
                return true;
            }
            if (r < 0 && errno == EINTR)
                runtrapsnow();
            if (r < 0 && errno == EINTR && !errflag && !retflag && !breaks && !contflag)
                continue;
            // A stopped pipeline: the copy of the shell that goes on with
            // this part of it reads on once continued.
            if (r < 0 && errno == EINTR && suspendpipetail())
                continue;
            if (r < 0 && errno == EAGAIN && fd == 0 && !eagainfixed) {
                eagainfixed = true;
                setblock_stdin();
                continue;
            }
            return false;
        }
    }
    // How many of the bytes already read ahead are ordinary: neither the
    // end character nor, unless raw, a backslash.  They are taken in one
    // piece instead of one getc() each.
    size_t plainrun(int delim, bool raw) const
    {
        if (!buffered || fromstack || peek >= 0 || pos >= len)
            return 0;
        const char *p = buf + pos, *e = buf + len;
        if (raw) {
            const void *d = memchr(p, delim, size_t(e - p));
            return size_t((d ? static_cast<const char *>(d) : e) - p);
        }
        const char *q = p;
        while (q < e && *q != char(delim) && *q != '\\')
            q++;
        return size_t(q - p);
    }
    int getc()
    {
        if (peek >= 0) {
            int c = peek;
            peek = -1;
            return c;
        }
        if (fromstack)
            return stackpos < stack.size() ? static_cast<unsigned char>(stack[stackpos++]) : READ_EOF;
        if (buffered) {
            if (pos >= len && !refill())
                return READ_EOF;
            return static_cast<unsigned char>(buf[pos++]);
        }
        char c;
        ssize_t got;
        if (!rawread(&c, 1, &got))
            return READ_EOF;
        return static_cast<unsigned char>(c);
    }
};

bool shouldstop() { return errflag || retflag || breaks || contflag; }

// Wait up to the given seconds for input on src's descriptor.  On a
// terminal the character that arrives is read ahead into src.peek, since a
// line in the making is not yet readable there.
bool readpoll(Source &src, double seconds)
{
    int fd = src.fd;
    bool tty = isatty(fd);
    struct termios saved {};
    bool restoretty = false;
    if (tty && tcgetattr(fd, &saved) == 0) {
        struct termios t = saved;
        t.c_lflag &= ~ICANON;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        restoretty = tcsetattr(fd, TCSANOW, &t) == 0;
    }
    double limit = shellseconds() + (seconds > 0 ? seconds : 0);
    bool ready = false;
    for (;;) {
        double left = limit - shellseconds();
        int ms = left <= 0 ? 0 : left > INT_MAX / 1000.0 ? INT_MAX : int(left * 1000 + 0.999);
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, ms);
        if (r < 0 && errno == EINTR)
            runtrapsnow();
        if (r < 0 && errno == EINTR && !shouldstop())
            continue;
        ready = r > 0;
        break;
    }
    if (ready && tty) {
        char c;
        ssize_t got;
        if (src.rawread(&c, 1, &got))
            src.peek = static_cast<unsigned char>(c);
    }
    if (restoretty)
        tcsetattr(fd, TCSANOW, &saved);
    return ready;
}

void printbytes(const std::string &s, bool newline)
{
    fwrite(s.data(), 1, s.size(), stdout);
    if (newline)
        fputc('\n', stdout);
}

// A permanent metafied copy (metafy leaves the bytes it copies alone).
char *metacopy(const std::string &s) { return metafy(const_cast<char *>(s.data()), int(s.size()), META_DUP); }

// Take the coprocess away once its output has ended.
void dropcoproc()
{
    if (coprocin >= 0)
        closefd(coprocin);
    if (coprocout >= 0)
        closefd(coprocout);
    coprocin = coprocout = -1;
}

// The line as read: its bytes, and which of them a backslash made
// literal (kept only once there is one).
struct Line {
    std::string text;
    std::vector<bool> quoted;
    size_t size() const { return text.size(); }
    bool isquoted(size_t i) const { return !quoted.empty() && quoted[i]; }
    bool sep(size_t i) const { return !isquoted(i) && isep(static_cast<unsigned char>(text[i])); }
    bool wsep(size_t i) const { return !isquoted(i) && iwsep(static_cast<unsigned char>(text[i])); }
    void add(char c, bool q)
    {
        if (q && quoted.empty())
            quoted.assign(text.size(), false);
        text += c;
        if (!quoted.empty())
            quoted.push_back(q);
    }
    void add(const char *s, size_t n)
    {
        text.append(s, n);
        if (!quoted.empty())
            quoted.resize(text.size(), false);
    }
};

void skipws(const Line &l, size_t &i)
{
    while (i < l.size() && l.wsep(i))
        i++;
}

// One field from i, then past the separator that ends it: white space,
// at most one other separator character, white space.
std::string nextword(const Line &l, size_t &i)
{
    size_t start = i;
    while (i < l.size() && !l.sep(i))
        i++;
    std::string w = l.text.substr(start, i - start);
    skipws(l, i);
    if (i < l.size() && l.sep(i)) {
        i++;
        skipws(l, i);
    }
    return w;
}

std::string restofline(const Line &l, size_t i)
{
    size_t end = l.size();
    while (end > i && l.wsep(end - 1))
        end--;
    return l.text.substr(i, end - i);
}

}  // namespace

int bin_read(char *name, char **args, BuiltinOptions *ops, int)
{
    int nchars = 1;
    if (opt_hasarg(ops, 'k')) {
        char *arg = opt_arg(ops, 'k');
        char *end;
        long n = strtol(arg, &end, 10);
        if (*end || end == arg || n < 0 || n > INT_MAX) {
            qwarnnam(name, "number expected after -%c: %s", arg, 'k');
            return 1;
        }
        nchars = int(n);
    }

    const char *defname = opt_isset(ops, 'A') ? "reply" : "REPLY";
    const char *firstname = defname;
    std::string prompt;
    bool haveprompt = false;
    if (*args) {
        char *q = strchr(*args, '?');
        if (q) {
            haveprompt = true;
            prompt = unmeta(q + 1);
            if (q != *args)
                firstname = dupstrpfx(*args, size_t(q - *args));
        } else {
            firstname = *args;
        }
        args++;
    }
    if (opt_isset(ops, 'A') && *args) {
        qwarnnam(name, "only one array argument allowed", nullptr, 0);
        return 1;
    }

    if (opt_isset(ops, 'l') || opt_isset(ops, 'c'))
        return compctlreadptr(name, args, ops, const_cast<char *>(firstname));

    bool printit = opt_isset(ops, 'e') || opt_isset(ops, 'E');
    bool assign = !opt_isset(ops, 'e');
    bool keys = opt_isset(ops, 'k') && !opt_isset(ops, 'q');

    TtyGuard tty;
    Source src;
    bool fromcoproc = false;
    int readfd = 0;
    if ((opt_isset(ops, 'k') && !opt_isset(ops, 'u') && !opt_isset(ops, 'p')) || opt_isset(ops, 'q')) {
        if (SHTTY != -1) {
            tty.fd = SHTTY;
        } else if ((tty.fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) != -1) {
            tty.opened = true;
        } else {
            static const char msg[] = "not interactive and can't open terminal\n";
            if (write(2, msg, sizeof msg - 1) < 0) {
                // Nothing more can be said.
            }
            return 1;
        }
        tty.save();
        attachtty(mypgrp);
        readfd = tty.fd;
    } else if (opt_isset(ops, 'p')) {
        readfd = coprocin;
        fromcoproc = true;
    } else if (opt_hasarg(ops, 'u')) {
        char *arg = opt_arg(ops, 'u');
        if (arg[0] == 'p' && !arg[1]) {
            readfd = coprocin;
            fromcoproc = true;
        } else {
            char *end;
            long n = strtol(arg, &end, 10);
            if (*end || end == arg || n < 0 || n > INT_MAX) {
                qwarnnam(name, "number expected after -%c: %s", arg, 'u');
                return 1;
            }
            readfd = int(n);
        }
    }
    bool fromterm = tty.fd >= 0;
    bool fromstack = opt_isset(ops, 'z') && !keys && !opt_isset(ops, 'q');

    if (fromstack) {
        char *line = getbufferline();
        src.fromstack = true;
        if (line) {
            int len;
            unmetafy(line, &len);
            src.stack.assign(line, size_t(len));
        }
    } else {
        src.setfd(readfd);
    }

    if (opt_isset(ops, 't') && !fromstack) {
        double seconds = 0;
        if (opt_hasarg(ops, 't')) {
            mnumber m = matheval(opt_arg(ops, 't'));
            if (errflag)
                return 1;
            seconds = m.type == MN_FLOAT ? m.u.d : double(m.u.l);
        }
        if (!readpoll(src, seconds))
            return 1;
        src.checkheld();
    }

    int delim = '\n';
    if (opt_hasarg(ops, 'd')) {
        const char *d = opt_arg(ops, 'd');
        delim = *d ? metachar(d) : 0;
    }
    // Only -d and -s change the terminal's mode, so only they ask whether
    // the input is one.
    bool rawmode = (opt_isset(ops, 'd') || opt_isset(ops, 's')) && !fromstack && !fromterm &&
                   isatty(readfd);
    if (rawmode && (opt_isset(ops, 'd') || opt_isset(ops, 's'))) {
        tty.fd = readfd;
        tty.save();
    }
    // Inside the line editor (a widget reading keys) the keys come through
    // its reader, which has the terminal in its mode and keys pushed back.
    bool viaeditor = getkeyptr && fromterm && readfd == SHTTY && (keys || opt_isset(ops, 'q'));
    auto nextkey = [&]() {
        if (viaeditor) {
            int k = getkeyptr(0);
            return k < 0 ? READ_EOF : k;
        }
        return src.getc();
    };
    if ((keys || opt_isset(ops, 'q')) && !viaeditor)
        tty.change(ICANON | (opt_isset(ops, 's') ? ECHO : 0));
    else if ((fromterm || rawmode) && (opt_isset(ops, 'd') || opt_isset(ops, 's')))
        tty.change((opt_isset(ops, 'd') ? ICANON : 0) | (opt_isset(ops, 's') ? ECHO : 0));

    if (haveprompt && (fromterm || isatty(0))) {
        FILE *out = shout ? shout : stderr;
        fwrite(prompt.data(), 1, prompt.size(), out);
        fflush(out);
    }

    if (keys) {
        // Whole characters under multibyte, never more bytes than they
        // need; otherwise bytes.  Bytes that form no character count one
        // each, as in expansion.
        std::string got;
        bool more = true;
        {
            ChildUnblock chld;
            size_t start = 0;  // where a character still wanting bytes began
            int want = 0;
            for (int n = 0; n < nchars;) {
                int c = nextkey();
                if (c == READ_EOF) {
                    more = false;
                    break;
                }
                unsigned char b = static_cast<unsigned char>(c);
                got += char(b);
                if (!mbchars) {
                    n++;
                    continue;
                }
                if (want && (b & 0xc0) == 0x80) {
                    if (--want)
                        continue;
                    std::string seq = got.substr(start);
                    char *m = metafy(seq.data(), int(seq.size()), META_HEAPDUP);
                    n += mbdecode(m, m + strlen(m), nullptr) == int(strlen(m)) ? 1 : int(seq.size());
                    continue;
                }
                if (want) {
                    n += int(got.size() - 1 - start);
                    want = 0;
                }
                if (b >= 0xc2 && b <= 0xf4) {
                    want = b < 0xe0 ? 1 : b < 0xf0 ? 2 : 3;
                    start = got.size() - 1;
                } else {
                    n++;
                }
            }
        }
        tty.restore();
        if (printit) {
            printbytes(got, false);
            fflush(stdout);
        }
        if (assign)
            setsparam(firstname, metacopy(got));
        if (!more && fromcoproc)
            dropcoproc();
        return more ? 0 : 1;
    }

    if (opt_isset(ops, 'q')) {
        int c;
        {
            ChildUnblock chld;
            c = nextkey();
        }
        tty.restore();
        if (c != READ_EOF && c != '\n') {
            if (write(tty.fd, "\n", 1) < 0) {
                // The answer stands all the same.
            }
        }
        std::string answer = (c == 'y' || c == 'Y') ? "y" : "n";
        if (printit) {
            printbytes(answer, true);
            fflush(stdout);
        }
        if (assign)
            setsparam(firstname, metacopy(answer));
        return answer == "y" ? 0 : 1;
    }

    // Read up to the end character; a backslash quotes the next character
    // and, before the end character, continues the line.
    Line line;
    bool ended = false;
    {
        ChildUnblock chld;
        bool bslash = false;
        bool raw = opt_isset(ops, 'r');
        for (;;) {
            if (!bslash) {
                if (size_t n = src.plainrun(delim, raw)) {
                    line.add(src.buf + src.pos, n);
                    src.pos += ssize_t(n);
                }
            }
            int c = src.getc();
            if (c == READ_EOF) {
                ended = fromstack;
                break;
            }
            if (c == delim && !bslash) {
                ended = true;
                break;
            }
            if (bslash) {
                bslash = false;
                if (c == delim)
                    continue;
                line.add(char(c), true);
                continue;
            }
            if (c == '\\' && !opt_isset(ops, 'r')) {
                bslash = true;
                continue;
            }
            line.add(char(c), false);
        }
    }
    src.giveback();
    tty.restore();

    size_t i = 0;
    skipws(line, i);
    if (opt_isset(ops, 'A')) {
        std::vector<std::string> words;
        while (i < line.size())
            words.push_back(nextword(line, i));
        if (printit) {
            for (auto &w : words)
                printbytes(w, true);
            fflush(stdout);
        }
        if (assign) {
            char **arr = qhnew<char *>(words.size() + 1);
            for (size_t k = 0; k < words.size(); k++) {
                std::string tmp(words[k]);
                arr[k] = metafy(tmp.data(), int(tmp.size()), META_HEAPDUP);
            }
            arr[words.size()] = nullptr;
            setaparam(firstname, qarrdup(arr));
        }
    } else {
        std::vector<const char *> names;
        names.push_back(firstname);
        for (char **a = args; *a; a++)
            names.push_back(*a);
        for (size_t k = 0; k < names.size() && !errflag; k++) {
            std::string w = k + 1 < names.size() ? nextword(line, i) : restofline(line, i);
            if (printit)
                printbytes(w, true);
            if (assign)
                setsparam(names[k], metacopy(w));
        }
        if (printit)
            fflush(stdout);
    }

    if (fromstack)
        return src.stack.empty() ? 1 : 0;
    if (!ended) {
        if (fromcoproc)
            dropcoproc();
        return 1;
    }
    return 0;
}
