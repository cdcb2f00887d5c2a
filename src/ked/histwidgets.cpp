// Moving the buffer through the history: up and down by entries or by
// lines, to either end, pushing the line aside and getting it back.
// Edits made to an entry while it is visited stay with it until the line
// is accepted.
#include "ked/ked.h"
#include "expand/expand.h"

#include <cstring>
#include <string>
#include <vector>

// The last incremental search string.
char *previous_search;

namespace {

// The entries that hold an edited copy of their text.
std::vector<HistEntry *> edited;

// Is the buffer the entry's text as it stands?
bool bufferis(HistEntry *he)
{
    const char *t = he->edittext ? he->edittext : he->nam;
    char *u = dupstring(t ? t : "");
    int len;
    unmetafy(u, &len);
    return len == tarnll && !memcmp(u, line, size_t(len));
}

}  // namespace

HistEntry *histent_for(long num)
{
    HistEntry *he = gethistent(num, 0);
    if (!he && num == curline.number && curlinelinked())
        he = &curline;
    return he;
}

void remember_edits()
{
    HistEntry *he = histent_for(histline);
    if (!he)
        return;
    char *m = metafiedline();
    const char *orig = he->nam ? he->nam : "";
    if (he->edittext ? strcmp(he->edittext, m) : strcmp(orig, m)) {
        if (!he->edittext)
            edited.push_back(he);
        qsfree(he->edittext);
        he->edittext = qtrdup(m);
    }
}

void forget_edits()
{
    for (HistEntry *he : edited) {
        // An entry freed since keeps no slot here: look it up by pointer
        // among those still in the ring or the line being entered.
        if (he == &curline || gethistent(he->number, 0) == he) {
            qsfree(he->edittext);
            he->edittext = nullptr;
        }
    }
    edited.clear();
}

void ked_setline(const char *s)
{
    setline(s);
    tarncs = tarnll;
    clearlist = 1;
}

int ked_goto_hist(long num, long offset, int skipdups)
{
    HistEntry *he = histent_for(num);
    if (!he)
        return 0;
    HistEntry *to = movehistent(he, offset, hist_skip_flags);
    if (skipdups && offset) {
        long step = offset < 0 ? -1 : 1;
        while (to && to != he && bufferis(to))
            to = movehistent(to, step, hist_skip_flags);
    }
    if (!to)
        return 0;
    remember_edits();
    mkundoent();
    histline = to->number;
    ked_setline(to->edittext ? to->edittext : to->nam ? to->nam : "");
    setlastline();
    return 1;
}

int uphistory(char **)
{
    int n = qmod.count;
    if (!ked_goto_hist(histline, -n, isset(HISTIGNOREDUPS)) && isset(HISTBEEP))
        return 1;
    return 0;
}

int downhistory(char **)
{
    int n = qmod.count;
    if (!ked_goto_hist(histline, n, isset(HISTIGNOREDUPS)) && isset(HISTBEEP))
        return 1;
    return 0;
}

namespace {

// Move n lines up (negative: down) in the buffer keeping the column;
// the count left over when the buffer ends first.
int movelines(int n)
{
    if (lastcol == -1)
        lastcol = tarncs - findbol();
    while (n > 0) {
        int bol = findbol();
        if (bol == 0)
            break;
        tarncs = bol - 1;
        n--;
    }
    while (n < 0) {
        int eol = findeol();
        if (eol >= tarnll)
            break;
        tarncs = eol + 1;
        n++;
    }
    int bol = findbol(), eol = findeol();
    tarncs = bol + lastcol < eol ? bol + lastcol : eol;
    if (curkeymapname && !strcmp(curkeymapname, "vicmd") && tarncs == eol && tarncs > bol)
        tarncs = prevcharpos(tarncs);
    return n;
}

}  // namespace

extern int virangeflag;

int uplineorhistory(char **)
{
    int ocs = tarncs;
    int n = movelines(qmod.count);
    if (n) {
        tarncs = ocs;
        // Without history for this read (vared), or inside a vi range,
        // the buffer is all there is.
        if (virangeflag || !(kedreadflags & 1))
            return 1;
        int r = ked_goto_hist(histline, -n, isset(HISTIGNOREDUPS));
        if (!r)
            return isset(HISTBEEP) ? 1 : 0;
    }
    return 0;
}

int downlineorhistory(char **)
{
    int ocs = tarncs;
    int n = movelines(-qmod.count);
    if (n) {
        tarncs = ocs;
        if (virangeflag || !(kedreadflags & 1))
            return 1;
        int r = ked_goto_hist(histline, -n, isset(HISTIGNOREDUPS));
        if (!r)
            return isset(HISTBEEP) ? 1 : 0;
    }
    return 0;
}

int beginningofhistory(char **)
{
    if (!hist_ring)
        return 1;
    HistEntry *oldest = hist_ring->newer;
    while (oldest && (oldest->flags & hist_skip_flags))
        oldest = newerhistent(oldest);
    if (!oldest)
        return 1;
    return ked_goto_hist(oldest->number, 0, 0) ? 0 : 1;
}

int endofhistory(char **) { return ked_goto_hist(curline.number, 0, 0) ? 0 : 1; }

int beginningofbufferorhistory(char **args)
{
    if (findbol())
        tarncs = 0;
    else
        return beginningofhistory(args);
    return 0;
}

int endofbufferorhistory(char **args)
{
    if (findeol() != tarnll)
        tarncs = tarnll;
    else
        return endofhistory(args);
    return 0;
}

int acceptlineanddownhistory(char **)
{
    HistEntry *he = histent_for(histline);
    if (he && (he = movehistent(he, 1, hist_skip_flags)) && he != &curline) {
        pushbufferline(he->edittext ? he->edittext : he->nam);
        stackhist = int(he->number);
    }
    done = 1;
    return 0;
}

// ---- pushing lines aside ----

int pushline(char **)
{
    int n = qmod.count;
    if (n < 0)
        return 1;
    pushbufferline(metafiedline());
    for (int i = 1; i < n && i < 100; i++)
        pushbufferline("");
    stackcs = tarncs;
    tarnll = tarncs = 0;
    setlinebytes(reinterpret_cast<const unsigned char *>(""), 0);
    return 0;
}

int pushlineoredit(char **args)
{
    if (isfirstln)
        return pushline(args);
    // The lines entered so far join the buffer for editing.
    int plen = chline ? int(hptr - chline) : 0;
    if (plen) {
        char *u = dupstring(chline);
        u[plen] = '\0';
        int len;
        unmetafy(u, &len);
        int ocs = tarncs;
        tarncs = 0;
        spaceinline(len);
        memcpy(line, u, size_t(len));
        markchanged(0, len);
        tarncs = ocs + len;
    }
    pushline(args);
    // The whole command is read again, for editing.
    errflag = 1;
    return 0;
}

int pushinput(char **args)
{
    if (!isfirstln)
        qmod.count++;
    return pushlineoredit(args);
}

int getline(char **)
{
    char *s = getbufferline();
    if (!s)
        return 1;
    int len;
    char *u = unmetafy(s, &len);
    spaceinline(len);
    memcpy(line + tarncs, u, size_t(len));
    markchanged(tarncs, tarncs + len);
    tarncs += len;
    return 0;
}

int setlocalhistory(char **)
{
    if (qmod.flags & MOD_MULT)
        hist_skip_flags = qmod.count ? HE_FOREIGN : 0;
    else
        hist_skip_flags ^= HE_FOREIGN;
    return 0;
}

// ---- searching by prefix ----

namespace {

constinit std::string search_prefix;
long search_prefix_hist = -1;
int search_prefix_cursor = -1;

std::string entrytext(HistEntry *he)
{
    const char *t = he->edittext ? he->edittext : he->nam ? he->nam : "";
    char *u = dupstring(t);
    int len;
    unmetafy(u, &len);
    return std::string(u, size_t(len));
}

bool skipentry(HistEntry *he)
{
    return he == &curline || (he->flags & hist_skip_flags) || (isset(HISTFINDNODUPS) && (he->flags & HE_DUP));
}

// The count-th entry from histline in direction dir satisfying ok.
HistEntry *findentry(int dir, int count, bool (*ok)(HistEntry *, void *), void *data)
{
    HistEntry *he = histent_for(histline);
    while (he && count > 0) {
        he = dir < 0 ? olderhistent(he) : newerhistent(he);
        if (!he)
            break;
        if (he == &curline && dir > 0)
            return nullptr;
        if (skipentry(he))
            continue;
        if (ok(he, data))
            count--;
    }
    return count ? nullptr : he;
}

void gotoentry(HistEntry *he)
{
    remember_edits();
    mkundoent();
    histline = he->number;
    ked_setline(he->edittext ? he->edittext : he->nam);
    setlastline();
}

struct PrefixSearch {
    std::string prefix;
    std::string buffer;
    bool frombuffer;
};

bool prefixok(HistEntry *he, void *d)
{
    PrefixSearch *ps = static_cast<PrefixSearch *>(d);
    std::string t = entrytext(he);
    if (t.compare(0, ps->prefix.size(), ps->prefix) || t.size() <= ps->prefix.size())
        return false;
    return !ps->frombuffer || t != ps->buffer;
}

int historysearch(int dir, char **args)
{
    std::string buf(reinterpret_cast<char *>(line), size_t(tarnll));
    PrefixSearch ps;
    ps.buffer = buf;
    if (args && *args) {
        char *u = dupstring(*args);
        int len;
        unmetafy(u, &len);
        ps.prefix.assign(u, size_t(len));
        ps.frombuffer = false;
    } else {
        // The first word of the buffer, with its blank when more follows;
        // kept while the buffer is still what the last search found.
        bool same = search_prefix_hist == histline && search_prefix_cursor == tarncs &&
                    !buf.compare(0, search_prefix.size(), search_prefix);
        if (!same) {
            size_t b = 0;
            while (b < buf.size() && buf[b] != ' ' && buf[b] != '\t')
                b++;
            if (b < buf.size())
                b++;
            search_prefix = buf.substr(0, b);
        }
        ps.prefix = search_prefix;
        ps.frombuffer = true;
    }
    int n = qmod.count;
    if (n < 0) {
        dir = -dir;
        n = -n;
    }
    HistEntry *he = findentry(dir, n, prefixok, &ps);
    if (!he)
        return 1;
    gotoentry(he);
    search_prefix_hist = histline;
    search_prefix_cursor = tarncs;
    return 0;
}

bool beginok(HistEntry *he, void *d)
{
    PrefixSearch *ps = static_cast<PrefixSearch *>(d);
    std::string t = entrytext(he);
    return !t.compare(0, ps->prefix.size(), ps->prefix) && t != ps->buffer;
}

int beginningsearch(int dir)
{
    PrefixSearch ps;
    ps.prefix.assign(reinterpret_cast<char *>(line), size_t(tarncs));
    ps.buffer.assign(reinterpret_cast<char *>(line), size_t(tarnll));
    int n = qmod.count;
    if (n < 0) {
        dir = -dir;
        n = -n;
    }
    HistEntry *he = findentry(dir, n, beginok, &ps);
    if (!he)
        return 1;
    int cs = tarncs;
    gotoentry(he);
    tarncs = cs > tarnll ? tarnll : cs;
    return 0;
}

}  // namespace

int historysearchbackward(char **args) { return historysearch(-1, args); }
int historysearchforward(char **args) { return historysearch(1, args); }
int historybeginningsearchbackward(char **) { return beginningsearch(-1); }
int historybeginningsearchforward(char **) { return beginningsearch(1); }

int uplineorsearch(char **args)
{
    int ocs = tarncs;
    int n = movelines(qmod.count);
    if (n) {
        tarncs = ocs;
        if (virangeflag || !(kedreadflags & 1))
            return 1;
        int oc = qmod.count;
        qmod.count = n;
        int r = historysearchbackward(args);
        qmod.count = oc;
        return r;
    }
    return 0;
}

int downlineorsearch(char **args)
{
    int ocs = tarncs;
    int n = movelines(-qmod.count);
    if (n) {
        tarncs = ocs;
        if (virangeflag || !(kedreadflags & 1))
            return 1;
        int oc = qmod.count;
        qmod.count = -n;
        int r = historysearchforward(args);
        qmod.count = oc;
        return r;
    }
    return 0;
}

// ---- inferring the next line ----

namespace {

// The entry after the most recent earlier one whose text is the buffer.
HistEntry *infernext()
{
    std::string buf(reinterpret_cast<char *>(line), size_t(tarnll));
    for (HistEntry *he = olderhistent(histent_for(histline)); he; he = olderhistent(he)) {
        if (skipentry(he))
            continue;
        if (entrytext(he) == buf) {
            HistEntry *next = movehistent(he, 1, hist_skip_flags);
            return next && next != &curline ? next : nullptr;
        }
    }
    return nullptr;
}

}  // namespace

int infernexthistory(char **)
{
    HistEntry *he = infernext();
    if (!he)
        return 1;
    gotoentry(he);
    return 0;
}

int acceptandinfernexthistory(char **)
{
    HistEntry *he = infernext();
    if (he) {
        pushbufferline(he->nam);
        stackhist = int(he->number);
    }
    done = 1;
    return 0;
}

// ---- insert-last-word ----

namespace {

long ilw_hist = -1;
int ilw_start = -1, ilw_end = -1;
constinit std::string ilw_text;

}  // namespace

int insertlastword(char **args)
{
    int wordnum = qmod.count;  // from the end; negative counts from the start
    long offset = 1;
    bool reset = false;
    if (args && *args) {
        wordnum = atoi(args[0]);
        if (args[1])
            offset = atol(args[1]);
        reset = args[1] && args[2];
    }
    long from;
    // Going on from the word inserted last, if it is still there.
    bool again = !reset && ilw_hist >= 0 && ilw_start >= 0 && ilw_end == tarncs && ilw_end <= tarnll &&
                 std::string(reinterpret_cast<char *>(line + ilw_start), size_t(ilw_end - ilw_start)) == ilw_text;
    if (again) {
        from = ilw_hist;
    } else {
        from = histline;
        ilw_start = -1;
    }
    HistEntry *he = histent_for(from);
    for (long i = 0; he && i < offset; i++) {
        he = olderhistent(he);
        while (he && skipentry(he))
            he = olderhistent(he);
    }
    if (!he)
        return 1;
    int n = histnwords(he);
    int idx = wordnum > 0 ? n - wordnum : -wordnum;
    if (wordnum == 0)
        idx = n - 1;
    if (idx < 0 || idx >= n)
        return 1;
    char *w = getargs(he, idx, idx);
    if (!w)
        return 1;
    int len;
    char *u = unmetafy(w, &len);
    if (again) {
        tarncs = ilw_start;
        foredel(ilw_end - ilw_start);
    }
    int start = tarncs;
    spaceinline(len);
    memcpy(line + tarncs, u, size_t(len));
    markchanged(tarncs, tarncs + len);
    tarncs += len;
    ilw_hist = he->number;
    ilw_start = start;
    ilw_end = tarncs;
    ilw_text.assign(u, size_t(len));
    return 0;
}

// ---- history expansion of the line ----

int expandhistory(char **)
{
    char *m = metafiedline();
    int ocs = tarncs;
    std::string result;
    bool failed;
    {
        LexGuard lg;
        NoErrsGuard ng(1);
        int oerr = errflag;
        errflag = 0;
        inpush(dupstring(m), 0, nullptr);
        strinbeg(2);
        isfirstch = 1;
        defev = addhistnum(curline.number, -1, HE_FOREIGN);
        noaliases = 1;
        while (!lexstop)
            hgetc();
        failed = errflag != 0;
        if (chline)
            result.assign(chline, size_t(hptr - chline));
        strinend();
        inpop();
        errflag = oerr;
    }
    if (failed || result == m)
        return 1;
    setline(result.c_str());
    tarncs = ocs > tarnll ? tarnll : ocs;
    if (ocs == int(strlen(m)) || tarncs > tarnll)
        tarncs = tarnll;
    return 0;
}

int magicspace(char **args)
{
    lastchar = ' ';
    unsigned char sp = ' ';
    spaceinline(1);
    line[tarncs] = sp;
    markchanged(tarncs, tarncs + 1);
    tarncs++;
    expandhistory(args);
    return 0;
}

// ---- which-command and run-help ----

namespace {

// Push the line, put the widget's name and the command word in its
// place, and accept: the alias of the widget's name does the work.
int runaboutcommand(const char *name)
{
    int b = 0;
    while (b < tarnll && (line[b] == ' ' || line[b] == '\t'))
        b++;
    int e = b;
    while (e < tarnll && line[e] != ' ' && line[e] != '\t' && line[e] != '\n' && line[e] != ';' && line[e] != '|')
        e++;
    std::string word(reinterpret_cast<char *>(line + b), size_t(e - b));
    int oc = qmod.count;
    qmod.count = 1;
    pushline(nullptr);
    qmod.count = oc;
    std::string cmd = std::string(name) + " ";
    char *q = bslashquote(metafy(const_cast<char *>(word.c_str()), -1, META_HEAPDUP), nullptr, QT_BACKSLASH);
    cmd += unmeta(q);
    setlinebytes(reinterpret_cast<const unsigned char *>(cmd.data()), int(cmd.size()));
    done = 1;
    return 0;
}

}  // namespace

int whichcommand(char **) { return runaboutcommand("which-command"); }
int runhelp(char **) { return runaboutcommand("run-help"); }
