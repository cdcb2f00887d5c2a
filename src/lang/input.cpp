// The input stack: the line being read at the bottom, and above it the
// alias and history expansions, strings and given-back characters spliced
// into the input while it is read.
#include "lang/lang.h"
#include "expand/expand.h"
#include "history/history.h"
#include "jobs/jobs.h"
#include "params/params.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

TARN_HOT char *inseg, *insegpos, *insegrepush;
TARN_HOT int insegleft, inbufct, inbufflags;
TARN_HOT int strin, lexstop, isfirstln, isfirstch;

namespace {

struct InStack {
    char *text;
    char *pos;
    AliasEntry *alias;
    int left;
    int total;
    int flags;
};

TARN_HOT InStack *instack, *instacktop;
TARN_HOT int instacksz;

// Make text the current segment with the given flags.
void inputsetline(char *text, int flags, size_t len = size_t(-1))
{
    if ((inbufflags & SEG_FREE) && inseg)
        qfree(inseg);
    inseg = insegpos = text;
    insegleft = int(len == size_t(-1) ? strlen(text) : len);
    if (flags & SEG_CONTINUE)
        inbufct += insegleft;
    else
        inbufct = insegleft;
    inbufflags = flags;
}

bool countslines() { return (inbufflags & SEG_COUNTLINES) || !strin; }

void inpoptop()
{
    if ((inbufflags & SEG_FREE) && inseg)
        qfree(inseg);
    instacktop--;
    inseg = instacktop->text;
    insegpos = insegrepush = instacktop->pos;
    insegleft = instacktop->left;
    inbufct = instacktop->total;
    inbufflags = instacktop->flags;
    if ((inbufflags & SEG_EXPANDED_ABOVE) && instacktop->alias) {
        AliasEntry *a = instacktop->alias;
        if (a->inuse > 0)
            a->inuse--;
        size_t len = strlen(a->text);
        if (len && inblank(static_cast<unsigned char>(a->text[len - 1])))
            inalmore = 1;
        histbackword();
    }
}

void echoverbose(const char *line)
{
    for (const char *p = line; *p;) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (itok(c)) {
            p++;
            continue;
        }
        fputc(metachar(p), stderr);
    }
    fflush(stderr);
}

// Read the next line of the shell's input into the bottom segment.
bool inputline()
{
    char *line;
    size_t len = size_t(-1);
    int segflags = SEG_FREE;
    bool interact = isset(INTERACTIVE) && isset(SHINSTDIN);
    if (interact && SHTTY != -1 && isset(KED)) {
        char *lp = getsparam(isfirstln ? "PS1" : "PS2");
        char *rp = getsparam(isfirstln ? "RPS1" : "RPS2");
        line = kedreadptr(&lp, &rp, 1 | 2 | (isset(IGNOREEOF) ? 4 : 0));
        histdone |= HISTDONE_RESTORE_TTY;
    } else {
        if (interact) {
            char *ps = getsparam(isfirstln ? "PS1" : "PS2");
            if (ps) {
                char *pr = promptexpand(ps, 0, nullptr, nullptr);
                int len;
                unmetafy(pr, &len);
                // A signal (a job continued by bg) may arrive mid-write:
                // the prompt must not be lost to it.
                if (!writefull(2, pr, size_t(len))) {
                    // The prompt is lost; the line is read all the same.
                }
                qsfree(pr);
            }
        }
        line = shinline(&len);
        segflags = 0;
    }
    if (!line) {
        lexstop = 1;
        return false;
    }
    if (errflag) {
        if (segflags & SEG_FREE)
            qsfree(line);
        lexstop = 1;
        errflag = 1;
        return false;
    }
    if (isset(VERBOSE))
        echoverbose(line);
    if (len == size_t(-1))
        len = strlen(line);
    if (len >= 2 && line[len - 1] == '\n' && line[len - 2] == '`' && interact && isset(SUNKEYBOARDHACK) &&
        SHTTY != -1) {
        int ct = 0;
        for (char *p = line; *p; p++)
            if (*p == '`')
                ct++;
        if (ct & 1) {
            line[len - 2] = '\n';
            line[len - 1] = '\0';
            len--;
        }
    }
    isfirstch = 1;
    inputsetline(line, segflags, len);
    return true;
}

}  // namespace

int ingetc()
{
    if (lexstop)
        return ' ';
    for (;;) {
        if (insegleft > 0) {
            unsigned char c = static_cast<unsigned char>(*insegpos++);
            insegleft--;
            inbufct--;
            if (itok(c))
                continue;
            if (c == '\n' && countslines())
                lineno++;
            return c;
        }
        if (inbufflags & SEG_CONTINUE) {
            inpoptop();
            continue;
        }
        if (strin || errflag) {
            lexstop = 1;
            return ' ';
        }
        if (!inputline())
            return ' ';
    }
}

void inungetc(int c)
{
    if (lexstop)
        return;
    if (insegpos && insegpos > inseg) {
        insegpos--;
        insegleft++;
        inbufct++;
        if (c == '\n' && countslines())
            lineno--;
    } else {
        char *t = static_cast<char *>(qalloc(2));
        t[0] = char(c);
        t[1] = '\0';
        inpush(t, SEG_FREE | SEG_CONTINUE, nullptr);
        return;
    }
    if (insegpos == insegrepush && (inbufflags & SEG_EXPANDED_ABOVE)) {
        // Characters were given back up to where an alias expansion ended:
        // re-enter the expansion levels so that reading continues inside.
        InStack *ent = instacktop;
        ent->text = inseg;
        ent->pos = insegpos;
        ent->left = insegleft;
        ent->total = inbufct;
        ent->flags = inbufflags;
        for (;;) {
            if (ent->alias)
                ent->alias->inuse++;
            InStack *up = ent + 1;
            if (up >= instack + instacksz - 1 || !(up->flags & SEG_EXPANDED_ABOVE) || up->left)
                break;
            ent = up;
        }
        instacktop = ent + 1;
        instacktop->flags = 0;
        inbufflags = 0;
        inseg = insegpos = const_cast<char *>("");
        insegleft = 0;
        inbufflags = SEG_CONTINUE | SEG_EXPANSION;
    }
}

void inpush(char *text, int flags, AliasEntry *alias)
{
    if (!instack) {
        instacksz = 4;
        instack = qcnew<InStack>(size_t(instacksz));
        instacktop = instack;
    }
    instacktop->text = inseg;
    instacktop->pos = insegpos;
    instacktop->left = insegleft;
    instacktop->total = inbufct;
    inbufflags &= ~SEG_EXPANDED_ABOVE;
    if (flags & (SEG_EXPANSION | SEG_HISTORY)) {
        flags |= SEG_CONTINUE | SEG_EXPANSION;
        instacktop->flags = inbufflags | SEG_EXPANDED_ABOVE;
        instacktop->alias = alias;
        if (alias)
            alias->inuse++;
    } else {
        instacktop->flags = inbufflags;
        instacktop->alias = nullptr;
        // A continuation of an expansion stays one, of the same kind.
        if ((inbufflags & SEG_EXPANSION) && (flags & SEG_CONTINUE))
            flags |= inbufflags & (SEG_EXPANSION | SEG_HISTORY);
    }
    instacktop++;
    if (instacktop == instack + instacksz) {
        int used = instacksz;
        instacksz += 4;
        instack = static_cast<InStack *>(qrealloc(instack, sizeof(InStack) * size_t(instacksz)));
        memset(instack + used, 0, sizeof(InStack) * 4);
        instacktop = instack + used;
    }
    instacktop->flags = 0;
    insegrepush = nullptr;
    // The old segment is saved in the stack: the new one must not free it.
    inbufflags &= ~SEG_FREE;
    inputsetline(text, flags);
}

void inpop()
{
    int remcont;
    do {
        remcont = inbufflags & SEG_CONTINUE;
        if (instacktop == instack || !instack) {
            // Nothing below: leave an empty segment.
            if ((inbufflags & SEG_FREE) && inseg)
                qfree(inseg);
            inseg = insegpos = nullptr;
            insegleft = inbufct = 0;
            inbufflags = 0;
            return;
        }
        inpoptop();
    } while (remcont);
}

void inerrflush()
{
    while (!lexstop && inbufct)
        ingetc();
}

// The next line of bshin, metafied, in a buffer reused for every line: a
// script is read without an allocation per line.  The text stays valid
// until the next call, which is all the bottom segment needs: it is used
// up before another line is read.  Null at end of file.
char *shinline(size_t *lenp)
{
    static char *buf, *mbuf;
    static size_t bufsz, mbufsz;
    ssize_t n;
    for (;;) {
        errno = 0;
        syncreadahead();  // the shell's input may be the file read ahead
        n = getline(&buf, &bufsz, bshin);
        if (n >= 0)
            break;
        if (errno == EINTR) {
            runtrapsnow();
            if (!errflag) {
                clearerr(bshin);
                continue;
            }
        }
        // End of file on a terminal is one keystroke, not the end of the
        // device: with ignoreeof the next read must wait for the next line
        // instead of seeing the stream's remembered end of file.
        clearerr(bshin);
        return nullptr;
    }
    // Most lines are plain ASCII without NUL: nothing to metafy.  getline
    // ends the line with a NUL, so the first NUL or high byte is the end
    // exactly when there is none inside.
    bool plain = skipplain(buf) == buf + n;
    size_t meta = 0;
    for (ssize_t i = 0; !plain && i < n; i++)
        if (imeta(static_cast<unsigned char>(buf[i])))
            meta++;
    if (!meta) {
        *lenp = size_t(n);
        return buf;
    }
    if (size_t(n) + meta + 1 > mbufsz) {
        mbufsz = (size_t(n) + meta + 1) * 2;
        mbuf = static_cast<char *>(qrealloc(mbuf, mbufsz));
    }
    char *t = mbuf;
    for (ssize_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(buf[i]);
        if (imeta(c)) {
            *t++ = char(METACHAR);
            *t++ = char(c ^ 32);
        } else {
            *t++ = char(c);
        }
    }
    *t = '\0';
    *lenp = size_t(t - mbuf);
    return mbuf;
}

char *shingetline()
{
    size_t len;
    char *line = shinline(&len);
    if (!line)
        return nullptr;
    char *copy = static_cast<char *>(qalloc(len + 1));
    memcpy(copy, line, len + 1);
    return copy;
}

int stuff(const char *fn)
{
    const char *up = unmeta(fn);
    FILE *in = up ? fopen(up, "r") : nullptr;
    if (!in) {
        qerr("can't open %s", fn, 0);
        return 1;
    }
    fseek(in, 0, SEEK_END);
    long len = ftell(in);
    fseek(in, 0, SEEK_SET);
    if (len < 0)
        len = 0;
    char *buf = static_cast<char *>(qalloc(size_t(len) + 1));
    if (fread(buf, 1, size_t(len), in) != size_t(len)) {
        qerr("read error on %s", fn, 0);
        fclose(in);
        qfree(buf);
        return 1;
    }
    fclose(in);
    buf[len] = '\0';
    fwrite(buf, 1, size_t(len), stderr);
    fflush(stderr);
    char *text = metafy(buf, int(len), META_REALLOC);
    inputsetline(text, SEG_FREE);
    return 0;
}
