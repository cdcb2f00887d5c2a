// Moving the buffer through the history: up and down by entries or by
// lines, to either end, pushing the line aside and getting it back.
// Edits made to an entry while it is visited stay with it until the line
// is accepted.
#include "ked/ked.h"

#include <cstring>
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
