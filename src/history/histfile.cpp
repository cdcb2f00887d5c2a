// The history file: reading and writing its line format, incremental
// appending and sharing between shells, and the lock that keeps writers
// apart.
#include "history/history.h"
#include "params/params.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// What is known of the file since this shell last read or wrote it.
struct FileState {
    std::string name;        // the file all this is about
    off_t size = -1;
    struct timespec mtime = {};
    ino_t ino = 0;
    off_t lastoff = -1;      // where the last line read or written begins
    time_t laststart = 0;    // its start time
    char *lasttext = nullptr;
    long nextwrite = 1;      // the first event not yet written
    long linect = 0;         // lines known to be in the file
};
constinit FileState hf;

// What is remembered holds for one file: another name starts afresh.
void forfile(const std::string &file)
{
    if (hf.name == file)
        return;
    qsfree(hf.lasttext);
    hf = FileState{};
    hf.name = file;
}

bool samefile(const struct stat &st)
{
    return st.st_size == hf.size && st.st_ino == hf.ino && st.st_mtim.tv_sec == hf.mtime.tv_sec &&
           st.st_mtim.tv_nsec == hf.mtime.tv_nsec;
}

void notefile(const struct stat &st)
{
    hf.size = st.st_size;
    hf.mtime = st.st_mtim;
    hf.ino = st.st_ino;
}

const char *hostname()
{
    static char host[256];
    if (!*host) {
        if (gethostname(host, sizeof host - 1) || !*host)
            strcpy(host, "localhost");
        host[sizeof host - 1] = '\0';
        // The name becomes part of file names.
        for (char *p = host; *p; p++)
            if (*p == '/' || *p == ' ')
                *p = '_';
    }
    return host;
}

// The file name (unmetafied) to use: fn or HISTFILE, or empty.
std::string histfilename(const char *fn)
{
    if (!fn)
        fn = getsparam("HISTFILE");
    if (!fn || !*fn)
        return std::string();
    const char *u = unmeta(fn);
    return u ? std::string(u) : std::string();
}

// ---- the lock ----

int lockcount;
bool locknofile;  // held without a lock file (none could be made)
dev_t lockdev;
ino_t lockino;
constinit std::string lockpath;

// A lock whose holder has ended is stale at once; one held elsewhere, or
// by a process id that may have been reused, only when far older than any
// save could take.
constexpr time_t LOCK_STALE_AGE = 600;
// How long a shell that must write waits for a live holder.
constexpr long LOCK_WAIT_MS = 30000;

bool readholder(const std::string &path, long *pid, std::string *host)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0)
        return false;
    char buf[320];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    char *end;
    *pid = strtol(buf, &end, 10);
    while (*end == ' ')
        end++;
    size_t hl = strcspn(end, "\n");
    host->assign(end, hl);
    return *pid > 0;
}

// Is the lock file (as stat'ed into st) left by a holder that is gone?
bool lockisstale(const std::string &lock, const struct stat &st)
{
    long pid;
    std::string host;
    if (!readholder(lock, &pid, &host))
        // Not yet written by its maker, or not ours to judge: only age tells.
        return time(nullptr) - st.st_mtime > LOCK_STALE_AGE;
    bool here = host.empty() || host == hostname();
    if (here && (pid == long(getpid()) || (kill(pid_t(pid), 0) == -1 && errno == ESRCH)))
        return true;
    return time(nullptr) - st.st_mtime > LOCK_STALE_AGE;
}

// Remove a stale lock without ever removing a fresh one made meanwhile:
// move it aside under a name of our own, and check it is the one judged.
void breaklock(const std::string &lock, const struct stat &judged)
{
    std::string aside = lock + ".stale." + hostname() + "." + std::to_string(long(getpid()));
    if (rename(lock.c_str(), aside.c_str()))
        return;
    struct stat st;
    if (lstat(aside.c_str(), &st) == 0 && (st.st_ino != judged.st_ino || st.st_dev != judged.st_dev)) {
        // A new holder's lock was taken: give it back.
        if (link(aside.c_str(), lock.c_str())) {
            // Someone locked in the meantime too; theirs stands.
        }
    }
    unlink(aside.c_str());
}

bool takelock(const std::string &file, int keep_trying)
{
    std::string lock = file + ".LOCK";
    std::string mine = file + "." + hostname() + "." + std::to_string(long(getpid()));
    unlink(mine.c_str());
    int fd = open(mine.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, 0644);
    if (fd < 0) {
        locknofile = true;
        return true;
    }
    std::string id = std::to_string(long(getpid())) + " " + hostname() + "\n";
    bool wrote = write(fd, id.data(), id.size()) == ssize_t(id.size());
    close(fd);
    if (!wrote) {
        unlink(mine.c_str());
        locknofile = true;
        return true;
    }
    bool got = false;
    long waited = 0, nap = 5;
    int vanished = 0;
    for (;;) {
        if (link(mine.c_str(), lock.c_str()) == 0) {
            got = true;
            break;
        }
        int e = errno;
        if (e == EPERM || e == ENOTSUP || e == EXDEV || e == EMLINK) {
            // No hard links here: exclusive creation serves as well.
            int lfd = open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, 0644);
            if (lfd >= 0) {
                bool ok = write(lfd, id.data(), id.size()) == ssize_t(id.size());
                close(lfd);
                if (ok) {
                    got = true;
                    break;
                }
                unlink(lock.c_str());
                break;
            }
            e = errno;
            if (e != EEXIST)
                break;
        }
        struct stat st;
        if (lstat(lock.c_str(), &st)) {
            // Gone between our attempt and the look: try again at once.
            if (errno == ENOENT && ++vanished < 100)
                continue;
            break;
        }
        if (!keep_trying)
            break;
        if (lockisstale(lock, st)) {
            breaklock(lock, st);
            continue;
        }
        if (waited >= LOCK_WAIT_MS)
            break;
        struct timespec ts = {nap / 1000, (nap % 1000) * 1000000};
        nanosleep(&ts, nullptr);
        waited += nap;
        if (nap < 200)
            nap *= 2;
    }
    unlink(mine.c_str());
    if (got) {
        struct stat st;
        if (lstat(lock.c_str(), &st) == 0) {
            lockdev = st.st_dev;
            lockino = st.st_ino;
        }
        lockpath = lock;
    }
    return got;
}

// ---- reading ----

// Lines of the file, read in large blocks; a line ending in backslash-
// newline continues on the next.  Bytes that cannot stand in a metafied
// string (NUL, a lone marker) are mended, so that no line is lost.
struct LineReader {
    int fd;
    char *buf = nullptr;
    size_t cap = 0, start = 0, end = 0;
    off_t base = 0;  // file offset of buf[0]
    bool eof = false;
    bool failed = false;  // a read error, not the end of the file
    std::string line;

    explicit LineReader(int f, off_t at) : fd(f), base(at) {}
    ~LineReader() { qfree(buf); }

    bool fill()
    {
        if (eof)
            return false;
        if (start > 0) {
            memmove(buf, buf + start, end - start);
            base += off_t(start);
            end -= start;
            start = 0;
        }
        if (cap - end < 65536) {
            cap = cap ? cap * 2 : 262144;
            buf = static_cast<char *>(qrealloc(buf, cap));
        }
        for (;;) {
            ssize_t n = read(fd, buf + end, cap - end);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                failed = n < 0;
                eof = true;
                return false;
            }
            end += size_t(n);
            return true;
        }
    }

    // The next logical line (continuations joined) in line; its offset.
    bool next(off_t *offp)
    {
        line.clear();
        bool any = false;
        *offp = base + off_t(start);
        for (;;) {
            char *nl = start < end ? static_cast<char *>(memchr(buf + start, '\n', end - start)) : nullptr;
            if (!nl) {
                if (fill())
                    continue;
                if (start < end) {
                    line.append(buf + start, end - start);
                    start = end;
                    any = true;
                    // Cut off after a continuation: the backslash is spare.
                    if (line.back() == '\\')
                        line.pop_back();
                }
                break;
            }
            size_t len = size_t(nl - (buf + start));
            any = true;
            if (len && nl[-1] == '\\') {
                line.append(buf + start, len - 1);
                line += '\n';
                start += len + 1;
                continue;
            }
            line.append(buf + start, len);
            start += len + 1;
            break;
        }
        if (!any)
            return false;
        // A file cut after a continuation leaves a newline at the end.
        while (!line.empty() && line.back() == '\n')
            line.pop_back();
        mend();
        return true;
    }

    void mend()
    {
        // A marker pairs with the byte after it, unless that is a NUL or
        // there is none: then the marker itself is a stray byte.
        auto stray = [this](size_t i) { return i + 1 == line.size() || !line[i + 1]; };
        bool bad = false;
        for (size_t i = 0; i < line.size(); i++) {
            unsigned char c = static_cast<unsigned char>(line[i]);
            if (!c || (c == METACHAR && stray(i))) {
                bad = true;
                break;
            }
            if (c == METACHAR)
                i++;
        }
        if (!bad)
            return;
        std::string out;
        for (size_t i = 0; i < line.size(); i++) {
            unsigned char c = static_cast<unsigned char>(line[i]);
            if (c == METACHAR && !stray(i)) {
                out += line[i];
                out += line[++i];
            } else if (!c || c == METACHAR) {
                out += char(METACHAR);
                out += char(c ^ 32);
            } else {
                out += char(c);
            }
        }
        line.swap(out);
    }
};

time_t parsenum(const char **pp, bool *ok)
{
    const char *p = *pp;
    if (!idigit(static_cast<unsigned char>(*p))) {
        *ok = false;
        return 0;
    }
    time_t v = 0;
    while (idigit(static_cast<unsigned char>(*p))) {
        if (v < time_t(LLONG_MAX / 10 - 10))
            v = v * 10 + (*p - '0');
        p++;
    }
    *pp = p;
    *ok = true;
    return v;
}

void rememberlast(off_t off, time_t start, const char *text)
{
    hf.lastoff = off;
    hf.laststart = start;
    qsfree(hf.lasttext);
    hf.lasttext = qtrdup(text);
}

// Does the line at the reader's position match the remembered last line?
bool atlastline(LineReader &r)
{
    off_t off;
    if (!r.next(&off))
        return false;
    time_t start, elapsed;
    const char *t = parsehistline(r.line.c_str(), &start, &elapsed);
    return start == hf.laststart && hf.lasttext && !strcmp(t, hf.lasttext);
}

// ---- writing ----

// An entry as a line of the file.
void entryline(std::string &out, HistEntry *he, bool extended)
{
    out.clear();
    if (extended) {
        long elapsed = he->finish && he->finish >= he->start ? long(he->finish - he->start) : 0;
        char pre[64];
        snprintf(pre, sizeof pre, ": %ld:%ld;", long(he->start), elapsed);
        out += pre;
    } else if (he->nam[0] == ':') {
        out += '\\';
    }
    for (const char *p = he->nam; *p; p++) {
        if (*p == '\n')
            out += '\\';
        out += *p;
    }
    out += '\n';
}

bool writable(HistEntry *he, int flags)
{
    if (he == &curline || (he->flags & HE_TEMP))
        return false;
    if ((flags & HFILE_SKIPDUPS) && (he->flags & HE_DUP))
        return false;
    if ((flags & HFILE_SKIPFOREIGN) && (he->flags & HE_FOREIGN))
        return false;
    if ((flags & HFILE_SKIPOLD) && (he->flags & HE_SAVED))
        return false;
    return true;
}

// Where a rewrite must start so that at most SAVEHIST entries are written.
HistEntry *rewritestart(int flags)
{
    long count = 0;
    HistEntry *he = hist_ring, *start = hist_ring;
    for (; he; he = olderhistent(he)) {
        if (!writable(he, flags))
            continue;
        if (++count > savehistsiz)
            break;
        start = he;
    }
    return start;
}

// Open the file for rewriting: a new file beside it, renamed over it when
// complete, wherever the old one can be replaced so; else the file itself.
struct Rewrite {
    std::string target, temp;
    int fd = -1;
    bool atomic = false;
};

bool openrewrite(const std::string &file, Rewrite *rw)
{
    rw->target = file;
    struct stat lst, st;
    bool exists = stat(file.c_str(), &st) == 0;
    if (lstat(file.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) && exists) {
        if (char *real = realpath(file.c_str(), nullptr)) {
            rw->target = real;
            free(real);
        }
    }
    mode_t mode = 0600;
    bool replaceable = !exists || (S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1);
    if (exists)
        mode = st.st_mode & 07777;
    if (replaceable) {
        rw->temp = rw->target + ".new." + hostname() + "." + std::to_string(long(getpid()));
        unlink(rw->temp.c_str());
        rw->fd = open(rw->temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, 0600);
        if (rw->fd >= 0) {
            if (exists && fchmod(rw->fd, mode)) {
                // The new file keeps the safe mode it was made with.
            }
            rw->atomic = true;
            return true;
        }
    }
    rw->fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0600);
    return rw->fd >= 0;
}

// Write entries from start to the newest; the last line written is
// remembered for the next incremental read.
bool writeentries(FILE *out, HistEntry *start, int flags, bool extended, off_t base, long *written)
{
    off_t off = base, lastoff = -1;
    HistEntry *lastw = nullptr;
    std::string line;
    *written = 0;
    for (HistEntry *he = start; he; he = newerhistent(he)) {
        if (!writable(he, flags))
            continue;
        entryline(line, he, extended);
        if (fwrite(line.data(), 1, line.size(), out) != line.size())
            return false;
        if (flags & HFILE_SKIPOLD)
            he->flags |= HE_SAVED;
        lastw = he;
        lastoff = off;
        off += off_t(line.size());
        (*written)++;
    }
    if (lastw && (flags & HFILE_USE_OPTIONS))
        rememberlast(lastoff, lastw->start, lastw->nam);
    return true;
}

}  // namespace

const char *parsehistline(const char *line, time_t *start, time_t *elapsed)
{
    *start = *elapsed = 0;
    const char *p = line;
    if (p[0] == ':' && p[1] == ' ') {
        const char *q = p + 2;
        bool ok;
        time_t s = parsenum(&q, &ok);
        if (ok && *q == ':') {
            q++;
            time_t e = parsenum(&q, &ok);
            if (ok && *q == ';') {
                *start = s;
                *elapsed = e;
                return q + 1;
            }
        }
        return line;
    }
    if (p[0] == '\\' && p[1] == ':')
        return p + 1;
    return line;
}

int lockhistfile(const char *fn, int keep_trying)
{
    std::string file = histfilename(fn);
    if (file.empty())
        return 0;
    if (lockcount++)
        return 1;
    if (!takelock(file, keep_trying)) {
        lockcount--;
        return 0;
    }
    return 1;
}

void unlockhistfile(const char *)
{
    if (lockcount <= 0 || --lockcount)
        return;
    if (locknofile) {
        locknofile = false;
        return;
    }
    // Remove the lock only while it is still the one this shell made.
    struct stat st;
    if (!lockpath.empty() && lstat(lockpath.c_str(), &st) == 0 && st.st_ino == lockino &&
        st.st_dev == lockdev) {
        long pid;
        std::string host;
        if (readholder(lockpath, &pid, &host) && pid == long(getpid()) && (host.empty() || host == hostname()))
            unlink(lockpath.c_str());
    }
    lockpath.clear();
}

bool histfileIsLocked() { return lockcount > 0; }

void readhistfile(const char *fn, int err, int readflags)
{
    std::string file = histfilename(fn);
    if (file.empty())
        return;
    forfile(file);
    struct stat st;
    bool fast = readflags & HFILE_FAST;
    if (fast) {
        if (stat(file.c_str(), &st) || samefile(st))
            return;
        if (!lockhistfile(fn, 0))
            return;
    } else if (!lockhistfile(fn, 1)) {
        if (err)
            qerr("can't read history file %s", fn ? fn : getsparam("HISTFILE"), 0);
        return;
    }
    SignalGuard sg;
    int fd = open(file.c_str(), O_RDONLY | O_NOCTTY);
    if (fd < 0) {
        if (err)
            qerr("can't read history file %s", fn ? fn : getsparam("HISTFILE"), 0);
        unlockhistfile(fn);
        return;
    }
    // Only a file holds history: a device such as /dev/zero never ends.
    if (fstat(fd, &st) || !S_ISREG(st.st_mode)) {
        if (err)
            qerr("can't read history file %s", fn ? fn : getsparam("HISTFILE"), 0);
        close(fd);
        unlockhistfile(fn);
        return;
    }
    notefile(st);
    bool useopts = readflags & HFILE_USE_OPTIONS;
    off_t startoff = 0;
    time_t skipbefore = 0;
    bool counting = true;
    if (fast && hf.lastoff >= 0 && hf.lasttext) {
        // Go on after the line read or written last; if the file was
        // rewritten, find that line again, or failing that, skip what is
        // older than it.
        bool found = false;
        if (hf.lastoff < st.st_size && lseek(fd, hf.lastoff, SEEK_SET) == hf.lastoff) {
            LineReader r(fd, hf.lastoff);
            if (atlastline(r)) {
                found = true;
                startoff = r.base + off_t(r.start);
                counting = false;
            }
        }
        if (!found) {
            lseek(fd, 0, SEEK_SET);
            LineReader r(fd, 0);
            off_t off;
            long n = 0;
            while (r.next(&off)) {
                n++;
                time_t s, e;
                const char *t = parsehistline(r.line.c_str(), &s, &e);
                if (s == hf.laststart && !strcmp(t, hf.lasttext)) {
                    found = true;
                    startoff = off_t(r.base) + off_t(r.start);
                    hf.linect = n;
                    counting = false;
                }
            }
            if (!found) {
                startoff = 0;
                skipbefore = hf.laststart;
            }
        }
    }
    if (lseek(fd, startoff, SEEK_SET) != startoff) {
        close(fd);
        unlockhistfile(fn);
        return;
    }
    if (counting && startoff == 0)
        hf.linect = 0;

    int newflags = HE_SAVED | HE_READ;
    if (fast)
        newflags |= HE_FOREIGN;
    if ((readflags & HFILE_SKIPOLD) || hist_ignore_all_dups)
        newflags |= HE_UNIQUE;
    bool linked = curlinelinked();
    if (linked)
        unlinkcurline();
    // Room in the table for what the file will bring, so that it is not
    // grown again and again while the lines come in.
    long expect = long((st.st_size - startoff) / 32);
    histtabreserve(expect < histsiz ? expect : long(histsiz));
    LineReader r(fd, startoff);
    off_t off;
    off_t lastoff = -1;
    time_t laststart = 0;
    HistEntry *last = nullptr;
    time_t now = time(nullptr);
    while (r.next(&off)) {
        hf.linect++;
        time_t start, elapsed;
        const char *text = parsehistline(r.line.c_str(), &start, &elapsed);
        if (skipbefore && start < skipbefore)
            continue;
        if (!*text)
            continue;
        if (!start)
            start = now;
        time_t finish = elapsed < start ? start + elapsed : elapsed;
        HistEntry *he = addhistentry(text, nullptr, 0, start, finish, newflags);
        if (he->flags & HE_DUP) {
            freehistnode(he);
            curhist--;
            continue;
        }
        last = he;
        lastoff = off;
        laststart = start;
    }
    close(fd);
    if (r.failed && err)
        qerr("corrupt history file %s", fn ? fn : getsparam("HISTFILE"), 0);
    if ((useopts || fast) && last)
        rememberlast(lastoff, laststart, last->nam);
    if (linked)
        linkcurline();
    unlockhistfile(fn);
}

void savehistfile(const char *fn, int err, int writeflags)
{
    if (!isset(INTERACTIVE) || savehistsiz <= 0 || !hist_ring)
        return;
    std::string file = histfilename(fn);
    if (file.empty())
        return;
    forfile(file);
    const char *shown = fn ? fn : getsparam("HISTFILE");
    bool extended = isset(EXTENDEDHISTORY);
    if (writeflags & HFILE_USE_OPTIONS) {
        if (isset(APPENDHISTORY) || isset(INCAPPENDHISTORY) || isset(SHAREHISTORY))
            writeflags |= HFILE_APPEND | HFILE_SKIPOLD;
        if (isset(HISTSAVENODUPS))
            writeflags |= HFILE_SKIPDUPS;
        if (isset(SHAREHISTORY))
            extended = true;
    }
    if (isset(SHAREHISTORY))
        extended = true;
    bool linked = curlinelinked();
    if (linked)
        unlinkcurline();
    struct LinkBack {
        bool linked;
        ~LinkBack()
        {
            if (linked)
                linkcurline();
        }
    } lb{linked};
    if (!hist_ring)
        return;

    HistEntry *start;
    if (writeflags & HFILE_FAST) {
        start = gethistent(hf.nextwrite, 1);
        while (start && (start->flags & HE_SAVED))
            start = newerhistent(start);
        if (!start || !lockhistfile(fn, 0))
            return;
        if (hf.linect > savehistsiz + savehistsiz / 5)
            writeflags &= ~HFILE_FAST;
    } else {
        if (!lockhistfile(fn, 1)) {
            if (err)
                qerr("can't write history file %s", shown, 0);
            return;
        }
        start = (writeflags & HFILE_APPEND) ? hist_ring->newer : rewritestart(writeflags);
    }
    SignalGuard sg;
    bool ok;
    long written = 0;
    if (writeflags & HFILE_APPEND) {
        int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY, 0600);
        FILE *out = fd >= 0 ? fdopen(fd, "a") : nullptr;
        if (!out) {
            if (fd >= 0)
                close(fd);
            if (err)
                qerr("can't write history file %s", shown, 0);
            unlockhistfile(fn);
            return;
        }
        static char obuf[65536];
        setvbuf(out, obuf, _IOFBF, sizeof obuf);
        struct stat st;
        off_t base = fstat(fd, &st) == 0 ? st.st_size : 0;
        // Known to hold what this shell read or wrote, and no more.
        bool known = samefile(st) || (hf.size < 0 && base == 0);
        ok = writeentries(out, start, writeflags, extended, base, &written);
        ok = fflush(out) == 0 && ok;
        if (ok && fstat(fd, &st) == 0) {
            if (known)
                notefile(st);
        }
        ok = fclose(out) == 0 && ok;
        hf.linect += written;
    } else {
        Rewrite rw;
        FILE *out = nullptr;
        if (openrewrite(file, &rw))
            out = fdopen(rw.fd, "w");
        if (!out) {
            if (rw.fd >= 0)
                close(rw.fd);
            if (!rw.temp.empty() && rw.atomic)
                unlink(rw.temp.c_str());
            if (err)
                qerr("can't write history file %s", shown, 0);
            unlockhistfile(fn);
            return;
        }
        static char obuf[65536];
        setvbuf(out, obuf, _IOFBF, sizeof obuf);
        ok = writeentries(out, start, writeflags, extended, 0, &written);
        ok = fflush(out) == 0 && ok;
        if (rw.atomic)
            ok = fdatasync(rw.fd) == 0 && ok;
        struct stat st;
        bool gotst = fstat(rw.fd, &st) == 0;
        ok = fclose(out) == 0 && ok;
        if (rw.atomic) {
            if (ok && rename(rw.temp.c_str(), rw.target.c_str()) == 0) {
                // The rename carries the new file's identity over.
            } else {
                ok = false;
                unlink(rw.temp.c_str());
            }
        }
        if (ok && gotst)
            notefile(st);
        hf.linect = written;
    }
    if (!ok && err)
        qerr("can't write history file %s", shown, 0);
    if (ok)
        hf.nextwrite = curhist + 1;

    // An append in full mode trims the file to SAVEHIST lines, unless it is
    // known to hold no more than that.
    struct stat now;
    if (ok && (writeflags & HFILE_APPEND) && !(writeflags & (HFILE_FAST | HFILE_NO_REWRITE)) &&
        ((writeflags & HFILE_SKIPDUPS) || hf.linect > savehistsiz || stat(file.c_str(), &now) ||
         !samefile(now))) {
        HistEntry *oring = hist_ring;
        int olinect = histlinect;
        long ocurhist = curhist;
        int64_t osiz = histsiz;
        HistIndex *otab = histtab;
        int oiad = hist_ignore_all_dups;
        FileState ohf = hf;
        hf.lasttext = nullptr;
        hist_ring = nullptr;
        histlinect = 0;
        curhist = 0;
        histsiz = savehistsiz;
        histtab = newhisttable();
        hist_ignore_all_dups = (writeflags & HFILE_SKIPDUPS) != 0;
        readhistfile(fn, err, 0);
        if (hist_ring) {
            savehistfile(fn, err, HFILE_NO_REWRITE);
            ohf.linect = hf.linect;
            ohf.size = hf.size;
            ohf.mtime = hf.mtime;
            ohf.ino = hf.ino;
        }
        while (hist_ring)
            freehistnode(hist_ring);
        deletehisttable(histtab);
        qsfree(hf.lasttext);
        hist_ring = oring;
        histlinect = olinect;
        curhist = ocurhist;
        histsiz = osiz;
        histtab = otab;
        hist_ignore_all_dups = oiad;
        // The last line keeps its text and time; where it now lies is found
        // again by the next incremental read.
        hf = ohf;
    }
    unlockhistfile(fn);
}

void histfileforget()
{
    qsfree(hf.lasttext);
    hf = FileState{};
}
