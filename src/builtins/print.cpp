// print, echo, printf and pushln, and the buffer stack that print -z,
// pushln, getln and read -z share with the editor.
#include "builtins/builtins.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "history/history.h"
#include "jobs/jobs.h"
#include "params/params.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// ---- the buffer stack ----
LinkList *bufstack;

void pushbufferline(const char *s)
{
    if (!bufstack)
        bufstack = qnewlinklist();
    qpushnode(bufstack, qtrdup(s));
}

char *getbufferline()
{
    if (!bufstack || empty(bufstack))
        return nullptr;
    char *s = static_cast<char *>(getlinknode(bufstack));
    char *r = dupstring(s);
    qsfree(s);
    return r;
}

// ---- printf directives ----

namespace {

struct PrintfState {
    char **args;
    int nargs;
    int next;      // next argument in order (0-based)
    int maxpos;    // highest argument used (1-based)
    int base;      // where the pass began: positions count from there
    bool failed;
};

// The argument for a directive: positional or in order; null when none.
const char *takearg(PrintfState &st, int pos)
{
    int i = pos ? st.base + pos - 1 : st.next++;
    if (pos && st.base + pos > st.maxpos)
        st.maxpos = st.base + pos;
    if (!pos && st.next > st.maxpos)
        st.maxpos = st.next;
    return i < st.nargs ? st.args[i] : nullptr;
}

bool numarg(PrintfState &st, const char *a, int64_t *iv, double *dv, bool isfloat)
{
    if (!a || !*a) {
        *iv = 0;
        *dv = 0;
        return true;
    }
    if (*a == '\'' || *a == '"') {
        const char *p = a + 1;
        unsigned char c = *p ? metachar(p) : 0;
        *iv = c;
        *dv = c;
        return true;
    }
    mnumber m = matheval(dupstring(a));
    if (errflag) {
        errflag = 0;
        st.failed = true;
        *iv = 0;
        *dv = 0;
        return false;
    }
    if (m.type & MN_FLOAT) {
        *dv = m.u.d;
        *iv = float2int(m.u.d);
    } else {
        *iv = m.u.l;
        *dv = double(m.u.l);
    }
    (void)isfloat;
    return true;
}

}  // namespace

// Apply a printf format (raw bytes, fmtlen long) to the arguments; the
// result is appended to out.  Returns 1 on an error that stops printing.
static int doprintf(const char *nam, const char *fmt, int fmtlen, char **args, bool once, bool bflag,
                    std::string &out, int *status)
{
    PrintfState st{args, arrlen(args), 0, 0, 0, false};
    bool stop = false;
    // The decimal point and the character widths are the locale's.
    ensurelocale();
    do {
        int passstart = st.base = st.next;
        std::string pass;
        for (int i = 0; i < fmtlen && !stop; i++) {
            char c = fmt[i];
            if (c != '%') {
                pass += c;
                continue;
            }
            int dstart = i;
            i++;
            if (i >= fmtlen) {
                pass += '%';
                break;
            }
            if (fmt[i] == '%') {
                pass += '%';
                continue;
            }
            int pos = 0;
            {
                int j = i, v = 0;
                while (j < fmtlen && fmt[j] >= '0' && fmt[j] <= '9')
                    v = v * 10 + (fmt[j++] - '0');
                if (j < fmtlen && fmt[j] == '$' && j > i) {
                    pos = v;
                    i = j + 1;
                    // Beyond the arguments of a later pass, a position is
                    // a missing argument.
                    if ((pos > st.nargs && !st.base) || pos < 1) {
                        qwarnnam(nam, "%d: argument specifier out of range", nullptr, pos);
                        *status = 1;
                        return 1;
                    }
                }
            }
            std::string dflags = "%";
            while (i < fmtlen && strchr("0+- #", fmt[i])) {
                if (dflags.find(fmt[i]) == std::string::npos)
                    dflags += fmt[i];
                i++;
            }
            auto starnum = [&](int &idx) -> int64_t {
                idx++;
                int p2 = 0, j = idx, v = 0;
                while (j < fmtlen && fmt[j] >= '0' && fmt[j] <= '9')
                    v = v * 10 + (fmt[j++] - '0');
                if (j < fmtlen && fmt[j] == '$' && j > idx) {
                    p2 = v;
                    idx = j + 1;
                }
                int64_t iv;
                double dv;
                numarg(st, takearg(st, p2), &iv, &dv, false);
                return iv;
            };
            int width = -1, prec = -1;
            if (i < fmtlen && fmt[i] == '*') {
                width = int(starnum(i));
            } else {
                int v = 0;
                bool any = false;
                while (i < fmtlen && fmt[i] >= '0' && fmt[i] <= '9') {
                    v = v * 10 + (fmt[i++] - '0');
                    any = true;
                }
                if (any)
                    width = v;
            }
            if (i < fmtlen && fmt[i] == '.') {
                i++;
                if (i < fmtlen && fmt[i] == '*') {
                    prec = int(starnum(i));
                } else {
                    int v = 0;
                    while (i < fmtlen && fmt[i] >= '0' && fmt[i] <= '9')
                        v = v * 10 + (fmt[i++] - '0');
                    prec = v;
                }
            }
            // Length modifiers of C formats are accepted and ignored.
            while (i < fmtlen && strchr("hlLjzt", fmt[i]))
                i++;
            if (i >= fmtlen) {
                qwarnnam(nam, "%s: invalid directive", dupstrpfx(fmt + dstart, size_t(i - dstart)), 0);
                *status = 1;
                return 1;
            }
            char conv = fmt[i];
            if (width < 0 && dflags.find('-') == std::string::npos && width != -1)
                width = -width;
            char wbuf[64];
            std::string f = dflags;
            if (width >= 0) {
                snprintf(wbuf, sizeof wbuf, "%d", width);
                f += wbuf;
            }
            if (prec >= 0) {
                snprintf(wbuf, sizeof wbuf, ".%d", prec);
                f += wbuf;
            }
            // A number formatted whatever its width: the size is asked first.
            auto number = [&](auto v) {
                int n = snprintf(nullptr, 0, f.c_str(), v);
                if (n <= 0)
                    return;
                size_t at = pass.size();
                pass.resize(at + size_t(n) + 1);
                snprintf(pass.data() + at, size_t(n) + 1, f.c_str(), v);
                pass.resize(at + size_t(n));
            };
            switch (conv) {
            case 'c': {
                const char *a = takearg(st, pos);
                char ch[2] = {0, 0};
                if (a && *a) {
                    const char *p = a;
                    ch[0] = char(metachar(p));
                }
                f += 's';
                std::string cs(ch, ch[0] ? 1 : 0);
                int n = snprintf(nullptr, 0, f.c_str(), cs.c_str());
                std::vector<char> b(size_t(n) + 1);
                snprintf(b.data(), b.size(), f.c_str(), cs.c_str());
                pass.append(b.data(), size_t(n));
                break;
            }
            case 's':
            case 'q':
            case 'b': {
                const char *a = takearg(st, pos);
                std::string val;
                if (a) {
                    if (conv == 'q') {
                        char *q = bslashquote(a, nullptr, QT_BACKSLASH);
                        char *u = dupstring(q);
                        int l;
                        unmetafy(u, &l);
                        val.assign(u, size_t(l));
                    } else if (conv == 'b') {
                        int l, misc = 0;
                        char *d = getkeystring(dupstring(a), &l, bflag ? GETKEY_BINDKEY : GETKEY_PRINT, &misc);
                        // %b takes \0NNN as octal and \c as the end of output.
                        val.assign(d, size_t(l));
                        if (misc)
                            stop = true;
                    } else {
                        char *u = dupstring(a);
                        int l;
                        unmetafy(u, &l);
                        val.assign(u, size_t(l));
                    }
                }
                if (prec >= 0 && size_t(prec) < val.size())
                    val.resize(size_t(prec));
                size_t w = width > 0 ? size_t(width) : 0;
                bool left = dflags.find('-') != std::string::npos;
                if (val.size() < w && !left)
                    pass.append(w - val.size(), ' ');
                pass += val;
                if (val.size() < w && left)
                    pass.append(w - val.size(), ' ');
                break;
            }
            case 'd':
            case 'i': {
                int64_t iv;
                double dv;
                numarg(st, takearg(st, pos), &iv, &dv, false);
                f += "lld";
                number(static_cast<long long>(iv));
                break;
            }
            case 'o':
            case 'u':
            case 'x':
            case 'X': {
                int64_t iv;
                double dv;
                numarg(st, takearg(st, pos), &iv, &dv, false);
                f += "ll";
                f += conv;
                number(static_cast<unsigned long long>(iv));
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A': {
                int64_t iv;
                double dv;
                numarg(st, takearg(st, pos), &iv, &dv, true);
                f += conv;
                number(dv);
                break;
            }
            case 'n': {
                const char *a = takearg(st, pos);
                if (a)
                    setiparam(a, int64_t(pass.size()));
                break;
            }
            default:
                qwarnnam(nam, "%s: invalid directive", dupstrpfx(fmt + dstart, size_t(i - dstart + 1)), 0);
                *status = 1;
                out += pass;
                return 1;
            }
        }
        out += pass;
        if (st.maxpos > st.next)
            st.next = st.maxpos;
        if (once || stop || st.next >= st.nargs || st.next == passstart)
            break;
    } while (true);
    if (st.failed)
        *status = 1;
    return stop ? 2 : 0;
}

int bin_print(char *name, char **args, BuiltinOptions *ops, int func)
{
    int status = 0;
    bool isecho = func == BIN_ECHO, isprintf = func == BIN_PRINTF;
    char *fmt = nullptr;
    int fmtlen = 0;
    bool nonl = opt_isset(ops, 'n'), sawc = false;

    // printf -v name: the output is the value of name.
    char *outvar = nullptr;
    if (isprintf) {
        if (*args && !strcmp(*args, "-v") && args[1]) {
            outvar = args[1];
            args += 2;
            if (!isident(outvar)) {
                qwarnnam(name, "not an identifier: %s", outvar, 0);
                return 1;
            }
        }
        if (*args && !strcmp(*args, "--"))
            args++;
        if (!*args) {
            qwarnnam(name, "not enough arguments", nullptr, 0);
            return 1;
        }
        fmt = *args++;
    } else if (opt_hasarg(ops, 'f')) {
        fmt = opt_arg(ops, 'f');
    }
    bool noescapes = (!opt_isset(ops, 'e') && (opt_isset(ops, 'R') || opt_isset(ops, 'r') || opt_isset(ops, 'E'))) ||
                     (isecho && isset(BSDECHO) && !opt_isset(ops, 'e'));
    bool bflag = opt_isset(ops, 'b');
    if (fmt) {
        char *f = dupstring(fmt);
        int misc = 0;
        // A format takes every backslash escape, octal ones without the
        // leading 0 included, as printf formats are written; an unknown one
        // stays as it is written.
        char *d = getkeystring(f, &fmtlen, bflag ? GETKEY_BINDKEY : GETKEY_PRINTF, &misc);
        fmt = d;
        if (misc)
            sawc = true;
    }

    int nargs = arrlen(args);
    std::vector<std::string> words;
    if (opt_isset(ops, 'm')) {
        if (!*args) {
            qwarnnam(name, "no pattern specified", nullptr, 0);
            return 1;
        }
        Patprog *pp = patternarg(name, *args++);
        if (!pp)
            return 1;
        char **kept = qhnew<char *>(size_t(nargs) + 1);
        int k = 0;
        for (; *args; args++)
            if (pattry(pp, *args))
                kept[k++] = *args;
        kept[k] = nullptr;
        args = kept;
        nargs = k;
        if (fmt && !k)
            return 0;
    }

    // Decode each word.
    words.reserve(size_t(nargs));
    for (char **a = args; *a; a++) {
        // Copied only where it is decoded in place.
        char *w = *a;
        if (opt_isset(ops, 'P')) {
            char *pe = promptexpand(w, 0, nullptr, nullptr);
            w = dupstring(pe);
            qsfree(pe);
        }
        if (opt_isset(ops, 'D')) {
            SignalGuard sg;
            if (NamedDir *nd = finddir(w)) {
                w = qhtricat("~", nd->nam, w + strlen(nd->dir));
            } else if (const char *home = getsparam("HOME")) {
                size_t hl = strlen(home);
                if (hl > 1 && !strncmp(w, home, hl) && (w[hl] == '/' || !w[hl]))
                    w = dyncat("~", w + hl);
            }
        }
        // A word of plain bytes without a backslash is printed as it stands.
        const char *plainend = skipplain(w);
        if (!*plainend && (fmt || noescapes || (!bflag && !memchr(w, '\\', size_t(plainend - w))))) {
            words.emplace_back(w, size_t(plainend - w));
        } else if (fmt || noescapes) {
            int len;
            char *u = dupstring(w);
            unmetafy(u, &len);
            words.emplace_back(u, size_t(len));
        } else {
            int len, misc = 0;
            char *d = getkeystring(dupstring(w), &len, bflag ? GETKEY_BINDKEY : GETKEY_PRINT, &misc);
            words.emplace_back(d, size_t(len));
            if (misc) {
                nonl = true;
                sawc = true;
                // Later words are still printed.
            }
        }
    }
    if (opt_isset(ops, 'o') || opt_isset(ops, 'O')) {
        bool ic = opt_isset(ops, 'i');
        auto less = [ic](const std::string &a, const std::string &b) {
            if (!ic)
                return a < b;
            return strcasecmp(a.c_str(), b.c_str()) < 0;
        };
        std::sort(words.begin(), words.end(), less);
        if (opt_isset(ops, 'O'))
            std::reverse(words.begin(), words.end());
    }

    // Where the output goes.
    int fd = 1;
    bool ownfd = false;
    if (opt_isset(ops, 'u') || opt_isset(ops, 'p')) {
        syncreadahead();  // the descriptor may share the offset of input read ahead
        int ufd;
        if (opt_isset(ops, 'p')) {
            ufd = coprocout;
        } else {
            char *arg = opt_arg(ops, 'u');
            if (!strcmp(arg, "p")) {
                ufd = coprocout;
            } else {
                char *end;
                ufd = int(strtol(arg, &end, 10));
                if (*end || !*arg) {
                    qwarnnam(name, "number expected after -%c: %s", arg, 'u');
                    return 1;
                }
            }
        }
        if (ufd < 0 || fcntl(ufd, F_GETFL) == -1) {
            qwarnnam(name, "bad file number: %d", nullptr, ufd);
            return 1;
        }
        int fl = fcntl(ufd, F_GETFL);
        if ((fl & O_ACCMODE) == O_RDONLY) {
            qwarnnam(name, "bad mode on fd %d", nullptr, ufd);
            return 1;
        }
        fd = ufd;
        ownfd = true;
    }

    std::string out;
    char sepc = opt_isset(ops, 'N') ? '\0' : opt_isset(ops, 'l') ? '\n' : ' ';
    char endc = opt_isset(ops, 'N') ? '\0' : '\n';
    if (fmt) {
        char **fargs = qhnew<char *>(words.size() + 1);
        for (size_t i = 0; i < words.size(); i++)
            fargs[i] = metafy(dupstrpfx(words[i].data(), words[i].size()), int(words[i].size()), META_USEHEAP);
        fargs[words.size()] = nullptr;
        if (!sawc)
            doprintf(name, fmt, fmtlen, fargs, opt_isset(ops, 'r'), bflag, out, &status);
        else
            doprintf(name, fmt, fmtlen, fargs, true, bflag, out, &status);
    } else if (opt_isset(ops, 'c') || opt_hasarg(ops, 'C')) {
        int n = int(words.size());
        int ncols, nrows;
        size_t width = 0;
        // Columns on the screen: a multibyte character may take one, two
        // or none.
        std::vector<size_t> cw(words.size());
        for (size_t i = 0; i < words.size(); i++)
            cw[i] = size_t(mbrawwidth(words[i].data(), words[i].size()));
        bool across = opt_isset(ops, 'a');
        if (opt_hasarg(ops, 'C')) {
            char *arg = opt_arg(ops, 'C'), *end;
            long v = strtol(arg, &end, 10);
            if (*end || !*arg) {
                qwarnnam(name, "number expected after -%c: %s", arg, 'C');
                return 1;
            }
            if (v < 1) {
                qwarnnam(name, "invalid number of columns: %s", arg, 0);
                return 1;
            }
            ncols = int(v);
            nrows = (n + ncols - 1) / ncols;
            for (int i = 0; i < n; i++) {
                bool counted = across ? (i % ncols) != ncols - 1 : i < nrows * (ncols - 1);
                if (counted && cw[size_t(i)] + 2 > width)
                    width = cw[size_t(i)] + 2;
            }
        } else {
            for (size_t w : cw)
                if (w + 2 > width)
                    width = w + 2;
            int cols = tccolumns > 0 ? tccolumns : 80;
            ncols = width ? int((size_t(cols) + 1) / width) : 1;
            if (ncols < 1)
                ncols = 1;
            nrows = (n + ncols - 1) / ncols;
        }
        for (int r = 0; r < nrows; r++) {
            if (across) {
                for (int c = 0; c < ncols; c++) {
                    int idx = r * ncols + c;
                    if (idx >= n)
                        break;
                    // Across, every word of a row is padded, the last too;
                    // one in the last column may be wider than the field.
                    out += words[size_t(idx)];
                    if (cw[size_t(idx)] < width)
                        out.append(width - cw[size_t(idx)], ' ');
                }
            } else {
                for (int c = 0; c < ncols; c++) {
                    int idx = r + c * nrows;
                    if (idx >= n)
                        break;
                    out += words[size_t(idx)];
                    if (r + (c + 1) * nrows < n)
                        out.append(width - cw[size_t(idx)], ' ');
                }
            }
            out += endc;
        }
    } else {
        size_t total = words.size() + 1;
        for (auto &w : words)
            total += w.size();
        out.reserve(total);
        for (size_t i = 0; i < words.size(); i++) {
            if (i)
                out += sepc;
            out += words[i];
        }
        if (!nonl)
            out += endc;
    }

    if (outvar) {
        char *m = metafy(dupstrpfx(out.data(), out.size()), int(out.size()), META_USEHEAP);
        if (!assignsparam(outvar, qtrdup(m), 0) || errflag)
            return 1;
        return status;
    }
    if (opt_isset(ops, 'z') || opt_isset(ops, 's')) {
        std::string line = out;
        if (!fmt && !nonl && !line.empty() && line.back() == endc)
            line.pop_back();
        char *m = metafy(dupstrpfx(line.data(), line.size()), int(line.size()), META_USEHEAP);
        if (opt_isset(ops, 'z')) {
            pushbufferline(m);
            return status;
        }
        if (!fmt && !opt_isset(ops, 'c') && !opt_hasarg(ops, 'C')) {
            // Each word is a word of the event.
            char **w = qhnew<char *>(words.size() + 1);
            for (size_t i = 0; i < words.size(); i++)
                w[i] = metafy(dupstrpfx(words[i].data(), words[i].size()), int(words[i].size()), META_USEHEAP);
            w[words.size()] = nullptr;
            addwordshist(w);
        } else {
            addhisttext(m);
        }
        return status;
    }
    if (fd == 1) {
        fflush(stdout);
    }
    if (!writefull(fd, out.data(), out.size())) {
        qwarnnam(name, "write error: %e", nullptr, errno);
        return 1;
    }
    (void)ownfd;
    return status;
}
