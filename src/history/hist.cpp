// The history list: recording the line being read word by word, the ring
// of events with its duplicate table, and the string-input bracket.
#include "history/history.h"
#include "builtins/builtins.h"
#include "jobs/jobs.h"
#include "params/params.h"

#include <unistd.h>

#include <cstring>

int stophist, histactive, histdone;
int hwgetword = -1;

HistEntry *hist_ring;
HistEntry curline;
int histlinect;
long curhist;
HistIndex *histtab;
int hist_ignore_all_dups, hist_skip_flags;

char *chline, *hptr;
size_t chlinesz;
uint32_t *chwords;
int chwordpos, chwordlen;

namespace {

// A history expansion failed on this line: the line is not kept.
int histexperr;

void nowaddc(int) {}
void nowbegin(int) {}
void nowend() {}

// Characters of an alias expansion are not recorded (the alias name was);
// those of a history expansion are, since they are the line as entered.
inline bool recordable() { return !(inbufflags & SEG_EXPANSION) || (inbufflags & SEG_HISTORY); }

void growline(size_t extra)
{
    size_t used = size_t(hptr - chline);
    if (used + extra + 1 <= chlinesz)
        return;
    size_t nsz = chlinesz * 2;
    while (nsz < used + extra + 1)
        nsz *= 2;
    chline = static_cast<char *>(qrealloc(chline, nsz));
    chlinesz = nsz;
    hptr = chline + used;
}

void ihwaddc(int c)
{
    if (!chline || errflag || lexstop || !recordable())
        return;
    growline(2);
    // A bang quoted by a backslash keeps the backslash in the line, so
    // that reading the line again gives the same command.
    if (qbang && c == bangchar && stophist < 2)
        *hptr++ = '\\';
    *hptr++ = char(c);
}

int ihgetc()
{
    int c = ingetc();
    if (lexstop)
        return c;
    qbang = 0;
    // Text pushed by an expansion (alias or history) is never expanded
    // again: an event holding "!!" must not expand without end.
    if (!stophist && !(inbufflags & SEG_EXPANSION)) {
        c = histexpandchar(c);
        if (c < 0) {
            histexperr = 1;
            lexstop = 1;
            errflag = errflag | 1;
            return ' ';
        }
    }
    ihwaddc(c);
    addtoline(c);
    return c;
}

void ihungetc(int c)
{
    if (lexstop)
        return;
    bool rec = chline && !errflag && recordable();
    bool qb = qbang && c == bangchar;
    if (qb) {
        // Give back the backslash too, so the bang is read quoted again.
        inungetc(c);
        inungetc('\\');
    } else {
        inungetc(c);
    }
    if (rec) {
        ptrdiff_t n = qb ? 2 : 1;
        hptr = hptr - chline >= n ? hptr - n : chline;
    }
    qbang = 0;
}

void growwords()
{
    if (chwordpos + 2 <= chwordlen)
        return;
    chwordlen += 32 + chwordlen / 2;
    chwords = static_cast<uint32_t *>(qrealloc(chwords, sizeof(uint32_t) * size_t(chwordlen)));
}

void freechline()
{
    qfree(chline);
    qfree(chwords);
    chline = hptr = nullptr;
    chwords = nullptr;
    chlinesz = 0;
    chwordpos = chwordlen = 0;
}

void setplainreader()
{
    hgetc = ingetc;
    hungetc = inungetc;
    hwaddc = nowaddc;
    hwbegin = nowbegin;
    hwend = nowend;
    addtoline = nowaddc;
}

// Hash and comparison of event texts: blanks at either end are ignored
// and every inner run of blanks counts as one space.
inline bool hblank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n'; }

unsigned histhasher(const char *s)
{
    unsigned h = 0;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    while (hblank(*p))
        p++;
    while (*p) {
        if (hblank(*p)) {
            while (hblank(*p))
                p++;
            if (!*p)
                break;
            h = h * 33 + ' ';
        } else {
            h = h * 33 + *p++;
        }
    }
    return h;
}

int histstrcmp(const char *a, const char *b)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *q = reinterpret_cast<const unsigned char *>(b);
    while (hblank(*p))
        p++;
    while (hblank(*q))
        q++;
    for (;;) {
        bool bp = hblank(*p), bq = hblank(*q);
        if (bp || bq) {
            while (hblank(*p))
                p++;
            while (hblank(*q))
                q++;
            // A run of blanks before the end counts as nothing.
            if (!*p || !*q)
                return int(*p) - int(*q);
            if (!(bp && bq))
                return bp ? ' ' - int(*q) : int(*p) - ' ';
            continue;
        }
        if (*p != *q || !*p)
            return int(*p) - int(*q);
        p++;
        q++;
    }
}

// The duplicate index: open addressing over (hash, entry) pairs, so that
// a look-up reads no entry whose hash differs.  Removal shifts the run
// after the slot back, so no probe sequence is ever broken.
void idxgrow(HistIndex *x)
{
    HistSlot *old = x->slots;
    size_t ocap = x->cap;
    x->cap = ocap ? ocap * 2 : 16;  // a -c shell records nothing: start small
    x->slots = qcnew<HistSlot>(x->cap);
    size_t mask = x->cap - 1;
    for (size_t i = 0; i < ocap; i++)
        if (old[i].e) {
            size_t k = old[i].hash & mask;
            while (x->slots[k].e)
                k = (k + 1) & mask;
            x->slots[k] = old[i];
        }
    qfree(old);
}

HistEntry *tabfind(const char *text, unsigned h)
{
    HistIndex *x = histtab;
    size_t mask = x->cap - 1;
    for (size_t k = h & mask; x->slots[k].e; k = (k + 1) & mask)
        if (x->slots[k].hash == h && !histstrcmp(x->slots[k].e->nam, text))
            return x->slots[k].e;
    return nullptr;
}

void tabinsert(HistEntry *he)
{
    HistIndex *x = histtab;
    if ((x->ct + 1) * 4 > x->cap * 3)
        idxgrow(x);
    size_t mask = x->cap - 1, k = he->hashval & mask;
    while (x->slots[k].e)
        k = (k + 1) & mask;
    x->slots[k] = {he->hashval, he};
    x->ct++;
}

// Take he itself out of the index; false if it was not there.
bool tabremove(HistEntry *he)
{
    HistIndex *x = histtab;
    size_t mask = x->cap - 1, i = he->hashval & mask;
    while (x->slots[i].e && x->slots[i].e != he)
        i = (i + 1) & mask;
    if (!x->slots[i].e)
        return false;
    for (size_t j = i;;) {
        j = (j + 1) & mask;
        if (!x->slots[j].e)
            break;
        size_t home = x->slots[j].hash & mask;
        // Move the entry at j into the hole unless its home lies
        // cyclically in (i, j].
        bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (!stays) {
            x->slots[i] = x->slots[j];
            i = j;
        }
    }
    x->slots[i] = {0, nullptr};
    x->ct--;
    return true;
}

// Entries come from blocks of many, and go back to a free list.
HistEntry *freeents;

HistEntry *newent()
{
    if (!freeents) {
        constexpr int chunk = 256;
        HistEntry *blk = qnew<HistEntry>(chunk);
        for (int i = 0; i < chunk; i++) {
            blk[i].next = freeents;
            freeents = &blk[i];
        }
    }
    HistEntry *he = freeents;
    freeents = static_cast<HistEntry *>(he->next);
    *he = HistEntry{};
    return he;
}

void freeent(HistEntry *he)
{
    he->next = freeents;
    freeents = he;
}

// Word offsets and text share one block; words points at its start.
void sethistdata(HistEntry *he, const char *text, size_t len, const uint32_t *words, int nwords)
{
    size_t wb = sizeof(uint32_t) * size_t(nwords) * 2;
    char *blk = static_cast<char *>(qalloc(wb + len + 1));
    if (wb)
        memcpy(blk, words, wb);
    memcpy(blk + wb, text, len);
    blk[wb + len] = '\0';
    he->words = reinterpret_cast<uint32_t *>(blk);
    he->nwords = nwords;
    he->nam = blk + wb;
}
bool intable(HistEntry *he) { return !(he->flags & (HE_DUP | HE_TEMP)); }

// Take he out of the table if it is the entry the table holds for its text.
void untable(HistEntry *he)
{
    if (!he->nam || !intable(he))
        return;
    tabremove(he);
}

void freehistdata(HistEntry *he)
{
    untable(he);
    qsfree(he->edittext);
    qfree(he->words);
    he->nam = nullptr;
    he->edittext = nullptr;
    he->words = nullptr;
    he->nwords = 0;
}

// Unlink he from the ring (it is not curline).
void ringunlink(HistEntry *he)
{
    if (he->older == he) {
        hist_ring = nullptr;
    } else {
        he->older->newer = he->newer;
        he->newer->older = he->older;
        if (hist_ring == he)
            hist_ring = he->older;
    }
    he->older = he->newer = nullptr;
}

// Insert he as the newest entry.
void ringinsert(HistEntry *he)
{
    if (!hist_ring) {
        he->older = he->newer = he;
    } else {
        HistEntry *oldest = hist_ring->newer;
        he->older = hist_ring;
        he->newer = oldest;
        hist_ring->newer = he;
        oldest->older = he;
    }
    hist_ring = he;
}

// The entry to reuse or free when the ring is full: the oldest, or with
// histexpiredupsfirst an older duplicate within the saved range.
HistEntry *recyclechoice(long *budget)
{
    HistEntry *oldest = hist_ring->newer;
    if (!isset(HISTEXPIREDUPSFIRST) || (oldest->flags & HE_DUP))
        return oldest;
    for (HistEntry *he = oldest; *budget > 0 && he != hist_ring; he = he->newer, (*budget)--)
        if (he->flags & HE_DUP)
            return he;
    return oldest;
}

// Should the line just read be kept only until the next one (-1)?
bool ignoredline(Eprog *prog)
{
    if (isset(HISTIGNORESPACE) && (*chline == ' ' || aliasspaceflag))
        return true;
    if (!prog)
        return false;
    wordcode *pc = prog->prog;
    if (isset(HISTNOFUNCTIONS) && code_type(pc[0]) == CODE_LIST && (list_type(pc[0]) & Z_SIMPLE) &&
        code_type(pc[2]) == CODE_FUNCDEF)
        return true;
    if (isset(HISTNOSTORE)) {
        char *t = getjobtext(prog, nullptr);
        if (!t)
            return false;
        bool viabuiltin = !strncmp(t, "builtin ", 8);
        if (viabuiltin)
            t += 8;
        const char *name = nullptr;
        if (!strncmp(t, "history", 7) && (!t[7] || t[7] == ' ')) {
            name = "history";
        } else if (t[0] == 'r' && (!t[1] || t[1] == ' ')) {
            name = "r";
        } else if (!strncmp(t, "fc -", 4)) {
            const char *p = t + 4;
            while (*p && *p != 'l' && ialpha(static_cast<unsigned char>(*p)))
                p++;
            if (*p == 'l')
                name = "fc";
        }
        if (name && (viabuiltin || !shfunctab->getnode(shfunctab, name)))
            return true;
    }
    return false;
}

}  // namespace

int (*hgetc)() = ingetc;
void (*hungetc)(int c) = inungetc;
void (*hwaddc)(int c) = nowaddc;
void (*hwbegin)(int offset) = nowbegin;
void (*hwend)() = nowend;
void (*addtoline)(int c) = nowaddc;

void histtabreserve(long n)
{
    while ((histtab->ct + size_t(n)) * 4 > histtab->cap * 3)
        idxgrow(histtab);
}

HistIndex *newhisttable()
{
    HistIndex *x = qcnew<HistIndex>();
    idxgrow(x);
    return x;
}

void deletehisttable(HistIndex *x)
{
    qfree(x->slots);
    qfree(x);
}

void init_history()
{
    histtab = newhisttable();
    curhist = 0;
    histsiz = 30;
}

// ---- walking the ring ----

HistEntry *olderhistent(HistEntry *he)
{
    return he && hist_ring && he->older != hist_ring ? he->older : nullptr;
}

HistEntry *newerhistent(HistEntry *he) { return he && he != hist_ring ? he->newer : nullptr; }

HistEntry *gethistent(long n, int dir)
{
    if (!hist_ring)
        return nullptr;
    HistEntry *oldest = hist_ring->newer;
    if (n > hist_ring->number)
        return dir == -1 ? hist_ring : nullptr;
    if (n < oldest->number)
        return dir == 1 ? oldest : nullptr;
    // Numbers grow towards the newest: walk from whichever end is nearer.
    HistEntry *he;
    if (n - oldest->number < hist_ring->number - n) {
        for (he = oldest; he->number < n; he = he->newer) {
        }
        if (he->number == n)
            return he;
        return dir == 1 ? he : dir == -1 ? olderhistent(he) : nullptr;
    }
    for (he = hist_ring; he->number > n; he = he->older) {
    }
    if (he->number == n)
        return he;
    return dir == -1 ? he : dir == 1 ? newerhistent(he) : nullptr;
}

HistEntry *movehistent(HistEntry *he, long n, int skip)
{
    while (n < 0) {
        if (!(he = olderhistent(he)))
            return nullptr;
        if (!(he->flags & skip))
            n++;
    }
    while (n > 0) {
        if (!(he = newerhistent(he)))
            return nullptr;
        if (!(he->flags & skip))
            n--;
    }
    // Never stop on an entry to skip: go on the way we came.
    while (he && (he->flags & skip))
        he = olderhistent(he);
    return he;
}

long addhistnum(long n, long delta, int skip)
{
    HistEntry *he = gethistent(n, delta > 0 ? 1 : -1);
    if (!he)
        return delta < 0 ? 0 : curhist + 1;
    if (he->number != n)
        delta += delta > 0 ? -1 : delta < 0 ? 1 : 0;
    HistEntry *to = movehistent(he, delta, skip);
    if (!to)
        return delta < 0 ? (hist_ring ? hist_ring->newer->number - 1 : 0) : curhist + 1;
    return to->number;
}

bool curlinelinked() { return curline.older != nullptr; }

void linkcurline()
{
    if (curlinelinked())
        return;
    curline.number = curhist + 1;
    curline.flags = HE_TEMP;
    if (!curline.nam)
        curline.nam = qtrdup("");
    ringinsert(&curline);
}

void unlinkcurline()
{
    if (curlinelinked())
        ringunlink(&curline);
}

void freehistnode(HistEntry *he)
{
    if (he == &curline)
        return;
    bool linked = curlinelinked();
    if (linked)
        unlinkcurline();
    freehistdata(he);
    ringunlink(he);
    histlinect--;
    freeent(he);
    if (linked)
        linkcurline();
}

void addhistnode(HistEntry *he)
{
    he->hashval = histhasher(he->nam);
    HistEntry *old = tabfind(he->nam, he->hashval);
    if (old == he)
        return;
    if (old && ((he->flags & HE_UNIQUE) || ((he->flags & HE_FOREIGN) && he->older == old))) {
        he->flags = (he->flags | HE_DUP) & ~HE_UNIQUE;
        return;
    }
    if (old)
        tabremove(old);
    tabinsert(he);
    if (old) {
        old->flags |= HE_DUP;
        if (hist_ignore_all_dups)
            freehistnode(old);
    }
}

HistEntry *prepnexthistent()
{
    bool linked = curlinelinked();
    if (linked)
        unlinkcurline();
    if (hist_ring && (hist_ring->flags & HE_TEMP)) {
        freehistnode(hist_ring);
        curhist--;
    }
    HistEntry *he;
    if (histlinect < histsiz || !hist_ring) {
        he = newent();
        ringinsert(he);
        histlinect++;
    } else {
        long budget = savehistsiz;
        he = recyclechoice(&budget);
        freehistdata(he);
        if (he != hist_ring) {
            ringunlink(he);
            ringinsert(he);
        }
        he->flags = 0;
        he->start = he->finish = 0;
        he->next = nullptr;
    }
    he->number = ++curhist;
    if (linked)
        linkcurline();
    return he;
}

void resizehistents()
{
    if (!histtab)
        return;
    bool linked = curlinelinked();
    if (linked)
        unlinkcurline();
    long budget = savehistsiz;
    while (histlinect > histsiz && hist_ring)
        freehistnode(recyclechoice(&budget));
    if (linked)
        linkcurline();
}

void histremovedups()
{
    if (!hist_ring)
        return;
    bool linked = curlinelinked();
    if (linked)
        unlinkcurline();
    HistEntry *he = hist_ring->newer;
    while (hist_ring) {
        HistEntry *next = he == hist_ring ? nullptr : he->newer;
        if (he->flags & HE_DUP)
            freehistnode(he);
        if (!next)
            break;
        he = next;
    }
    if (linked)
        linkcurline();
}

int splitwords(const char *text, uint32_t **wordsp)
{
    static uint32_t *buf;
    static size_t cap;
    int n = 0;
    const char *p = text;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\n')
            p++;
        if (!*p)
            break;
        const char *s = p;
        while (*p && *p != ' ' && *p != '\t' && *p != '\n')
            p++;
        if (size_t(n) * 2 + 2 > cap) {
            cap = cap ? cap * 2 : 64;
            buf = static_cast<uint32_t *>(qrealloc(buf, sizeof(uint32_t) * cap));
        }
        buf[n * 2] = uint32_t(s - text);
        buf[n * 2 + 1] = uint32_t(p - text);
        n++;
    }
    *wordsp = buf;
    return n;
}

HistEntry *addhistentry(const char *text, const uint32_t *words, int nwords, time_t start, time_t finish,
                        int flags)
{
    HistEntry *he = prepnexthistent();
    // Words not given are found when first asked for (histnwords).
    sethistdata(he, text, strlen(text), words, words ? nwords : 0);
    if (!words)
        he->nwords = -1;
    he->flags = flags;
    he->start = start;
    he->finish = finish;
    if (!(flags & HE_TEMP))
        addhistnode(he);
    return he;
}

void addwordshist(char **words)
{
    SignalGuard sg;
    size_t len = 0;
    int n = 0;
    for (char **w = words; *w; w++, n++)
        len += strlen(*w) + 1;
    char *text = static_cast<char *>(qhalloc(len + 1));
    uint32_t *offs = static_cast<uint32_t *>(qhalloc(sizeof(uint32_t) * (size_t(n) * 2 + 1)));
    char *t = text;
    int i = 0;
    for (char **w = words; *w; w++, i++) {
        if (i)
            *t++ = ' ';
        offs[i * 2] = uint32_t(t - text);
        size_t l = strlen(*w);
        memcpy(t, *w, l);
        t += l;
        offs[i * 2 + 1] = uint32_t(t - text);
    }
    *t = '\0';
    time_t now = time(nullptr);
    bool linked = curlinelinked();
    if (linked)
        unlinkcurline();
    addhistentry(text, offs, n, now, now, 0);
    if (linked)
        linkcurline();
}

void addhisttext(const char *text)
{
    SignalGuard sg;
    time_t now = time(nullptr);
    bool linked = curlinelinked();
    if (linked)
        unlinkcurline();
    addhistentry(text, nullptr, 0, now, now, 0);
    if (linked)
        linkcurline();
}

int histnwords(HistEntry *he)
{
    if (he->nwords < 0) {
        // Read from the file: split at blanks when first asked.
        uint32_t *w;
        int n = splitwords(he->nam, &w);
        size_t len = strlen(he->nam);
        char *text = dupstrpfx(he->nam, len);
        qfree(he->words);
        sethistdata(he, text, len, w, n);
    }
    return he->nwords;
}

char *getargs(HistEntry *he, int from, int to)
{
    if (!he || from < 0 || to < from || to >= histnwords(he))
        return nullptr;
    size_t len = strlen(he->nam);
    uint32_t s = he->words[from * 2], e = he->words[to * 2 + 1];
    if (s > len || e > len || s > e)
        return nullptr;
    return dupstrpfx(he->nam + s, e - s);
}

// ---- recording ----

void ihwbegin(int offset)
{
    if (stophist == 2 || !chline || !recordable())
        return;
    if (chwordpos % 2)
        chwordpos--;
    growwords();
    ptrdiff_t pos = hptr - chline + offset;
    chwords[chwordpos++] = uint32_t(pos < 0 ? 0 : pos);
}

void ihwend()
{
    if (stophist == 2 || !chline)
        return;
    if (chwordpos % 2) {
        uint32_t end = uint32_t(hptr - chline);
        if (end > chwords[chwordpos - 1]) {
            growwords();
            chwords[chwordpos++] = end;
        } else {
            chwordpos--;
        }
    }
}

void histbackword()
{
    if (chline && !(chwordpos % 2) && chwordpos) {
        uint32_t end = chwords[chwordpos - 1];
        if (end <= uint32_t(hptr - chline))
            hptr = chline + end;
    }
}

void hwrep(char *rep)
{
    if (!chline || chwordpos < 2 || (chwordpos % 2))
        return;
    uint32_t s = chwords[chwordpos - 2], e = chwords[chwordpos - 1];
    size_t used = size_t(hptr - chline);
    if (s > e || e > used)
        return;
    size_t rl = strlen(rep), tail = used - e;
    if (rl > e - s)
        growline(rl - (e - s));
    memmove(chline + s + rl, chline + e, tail);
    memcpy(chline + s, rep, rl);
    hptr = chline + s + rl + tail;
    chwords[chwordpos - 1] = uint32_t(s + rl);
}

void histsaveline(HistLineState *st)
{
    st->chline = chline;
    st->hptr = hptr;
    st->chlinesz = chlinesz;
    st->chwords = chwords;
    st->chwordpos = chwordpos;
    st->chwordlen = chwordlen;
    st->qbang = qbang;
    chline = hptr = nullptr;
    chwords = nullptr;
    chlinesz = 0;
    chwordpos = chwordlen = 0;
}

void histrestoreline(const HistLineState *st)
{
    if (chline != st->chline)
        freechline();
    chline = st->chline;
    hptr = st->hptr;
    chlinesz = st->chlinesz;
    chwords = st->chwords;
    chwordpos = st->chwordpos;
    chwordlen = st->chwordlen;
    qbang = st->qbang;
}

void hbegin(int dohist)
{
    isfirstch = isfirstln = 1;
    histdone = 0;
    errflag = 0;
    histexperr = 0;
    bool interact = isset(INTERACTIVE) && isset(SHINSTDIN);
    stophist = (dohist == 2 || (dohist && interact)) ? 0 : 2;
    if (stophist == 2 || ((inbufflags & SEG_EXPANSION) && !(inbufflags & SEG_HISTORY))) {
        setplainreader();
    } else {
        freechline();
        chlinesz = 64;
        chline = hptr = static_cast<char *>(qalloc(chlinesz));
        chwordlen = 64;
        chwords = qnew<uint32_t>(size_t(chwordlen));
        chwordpos = 0;
        hgetc = ihgetc;
        hungetc = ihungetc;
        hwaddc = ihwaddc;
        hwbegin = ihwbegin;
        hwend = ihwend;
        if (!isset(BANGHIST))
            stophist = 4;
    }
    // The previous command has ended by the time the next one is read.
    if (!strin && hist_ring && !hist_ring->finish && !curlinelinked())
        hist_ring->finish = time(nullptr);
    if ((dohist == 2 || interact) && !strin) {
        histactive = HA_ACTIVE;
        attachtty(mypgrp);
        linkcurline();
        defev = addhistnum(curline.number, -1, HE_FOREIGN);
    } else {
        histactive = HA_ACTIVE | HA_NOINC;
    }
}

int hend(Eprog *prog)
{
    SignalGuard sg;
    if ((histdone & HISTDONE_RESTORE_TTY) && SHTTY != -1)
        settyinfo(&shttyinfo);
    if (!(histactive & HA_NOINC))
        unlinkcurline();
    if (histactive & (HA_NOSTORE | HA_NOINC)) {
        freechline();
        histactive = 0;
        setplainreader();
        return 1;
    }
    if (hist_ignore_all_dups != isset(HISTIGNOREALLDUPS)) {
        hist_ignore_all_dups = isset(HISTIGNOREALLDUPS);
        if (hist_ignore_all_dups)
            histremovedups();
    }
    bool locked = false;
    if (isset(SHAREHISTORY) && lockhistfile(nullptr, 0)) {
        locked = true;
        readhistfile(nullptr, 0, HFILE_USE_OPTIONS | HFILE_FAST);
        curline.number = curhist + 1;
    }
    int flag = histdone;
    histdone = 0;
    int save = 1;
    if (!chline || hptr < chline + 1 || histexperr) {
        save = 0;
    } else {
        *hptr = '\0';
        if (hptr[-1] == '\n') {
            if (chline[1]) {
                *--hptr = '\0';
            } else {
                save = 0;
            }
        }
        if (save) {
            // Words that hold something besides the final newline.
            int real = 0;
            size_t used = size_t(hptr - chline);
            for (int i = 0; i + 1 < chwordpos; i += 2)
                if (chwords[i] < used && chwords[i + 1] > chwords[i])
                    real++;
            if (!real)
                save = 0;
            else if (ignoredline(prog))
                save = -1;
        }
    }
    if (chline && !histexperr && (flag & (HISTDONE_ECHO | HISTDONE_PUSH))) {
        if ((flag & HISTDONE_PUSH) && (flag & HISTDONE_NOEXEC)) {
            pushbufferline(chline);
            save = 0;
        } else {
            FILE *out = shout ? shout : stderr;
            int len;
            char *u = unmetafy(dupstring(chline), &len);
            fwrite(u, 1, size_t(len), out);
            fputc('\n', out);
            fflush(out);
        }
    }
    if (save || (chline && *chline == ' ')) {
        HistEntry *he = hist_ring;
        while (he && (he->flags & HE_FOREIGN))
            he = olderhistent(he);
        if (he && (he->flags & HE_TEMP)) {
            if (he == hist_ring)
                curhist--;
            freehistnode(he);
        }
    }
    if (save) {
        size_t used = size_t(hptr - chline);
        if (chwordpos > 1 && chwords[chwordpos - 2] >= used) {
            chwordpos -= 2;
            *hptr = '\0';
        }
        // Word ends past the text (the stripped newline) are pulled in.
        for (int i = 0; i < chwordpos; i++)
            if (chwords[i] > used)
                chwords[i] = uint32_t(used);
        if (isset(HISTREDUCEBLANKS))
            histreduceblanks();
        HistEntry *he;
        if ((isset(HISTIGNOREDUPS) || isset(HISTIGNOREALLDUPS)) && save > 0 && hist_ring &&
            hist_ring->nam && !histstrcmp(chline, hist_ring->nam)) {
            he = hist_ring;
            untable(he);
            qfree(he->words);
            he->words = nullptr;
            he->flags &= HE_SAVED;
        } else {
            he = prepnexthistent();
            he->flags = 0;
        }
        sethistdata(he, chline, size_t(hptr - chline), chwords, chwordpos / 2);
        he->start = time(nullptr);
        he->finish = 0;
        if (save < 0)
            he->flags |= HE_TEMP;
        if (!(he->flags & HE_TEMP))
            addhistnode(he);
    }
    freechline();
    setplainreader();
    histactive = 0;
    if (isset(SHAREHISTORY) ? histfileIsLocked() : isset(INCAPPENDHISTORY))
        savehistfile(nullptr, 1, HFILE_USE_OPTIONS | HFILE_FAST);
    if (locked)
        unlockhistfile(nullptr);
    return !(flag & HISTDONE_NOEXEC) && !errflag;
}

void histreduceblanks()
{
    size_t used = size_t(hptr - chline);
    int i;
    size_t pos = 0;
    if (isset(HISTIGNORESPACE))
        while (pos < used && chline[pos] == ' ')
            pos++;
    // Already single-spaced?
    for (i = 0; i + 1 < chwordpos; i += 2) {
        if (chwords[i] != pos)
            break;
        pos = chwords[i + 1];
        if (i + 2 < chwordpos && chwords[i + 2] > pos)
            pos++;
    }
    if (i + 1 >= chwordpos && pos == used)
        return;
    pos = 0;
    for (i = 0; i + 1 < chwordpos; i += 2) {
        uint32_t s = chwords[i], e = chwords[i + 1];
        if (e > used || s > e)
            break;
        bool blank = i + 2 < chwordpos && chwords[i + 2] > e;
        size_t len = e - s;
        memmove(chline + pos, chline + s, len);
        chwords[i] = uint32_t(pos);
        chwords[i + 1] = uint32_t(pos + len);
        pos += len;
        if (blank)
            chline[pos++] = ' ';
    }
    chwordpos = i;
    // A blank before a word that was dropped as out of range.
    while (pos > 0 && chline[pos - 1] == ' ' && (!chwordpos || pos > chwords[chwordpos - 1]))
        pos--;
    chline[pos] = '\0';
    hptr = chline + pos;
}

// ---- nested string input ----

void strinbeg(int dohist)
{
    strin++;
    hbegin(dohist);
    lexinit();
}

void strinend()
{
    hend(nullptr);
    strin--;
    isfirstch = 1;
    histdone = 0;
}

void herrflush()
{
    while (!lexstop && inbufct && !strin)
        hwaddc(ingetc());
}
