// The editor's shared machinery: characters of the buffer, opening and
// closing space in it, the cut buffer and the kill ring, undo, the
// removable suffix, the single-key query and the named-command reader.
#include "ked/ked.h"
#include "exec/exec.h"

#include <cwchar>
#include <cwctype>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int kedmultibyte;

void kedsetlocale() { kedmultibyte = MB_CUR_MAX > 1; }

// ---- characters ----

namespace {

constexpr uint32_t INVALID_BYTE = 0x80000000u;

uint32_t decodeat(const unsigned char *s, int len, int *lenp)
{
    if (!kedmultibyte || *s < 0x80 || len <= 0) {
        *lenp = 1;
        return len > 0 ? *s : 0;
    }
    mbstate_t st{};
    wchar_t wc;
    size_t n = mbrtowc(&wc, reinterpret_cast<const char *>(s), size_t(len), &st);
    if (n == size_t(-1) || n == size_t(-2) || n == 0) {
        *lenp = 1;
        return INVALID_BYTE | *s;
    }
    *lenp = int(n);
    return uint32_t(wc);
}

bool iscombining(uint32_t ch) { return !(ch & INVALID_BYTE) && ch >= 0x300 && wcwidth(wchar_t(ch)) == 0; }

}  // namespace

uint32_t charat(int pos, int *lenp)
{
    if (pos >= tarnll) {
        *lenp = 0;
        return 0;
    }
    return decodeat(line + pos, tarnll - pos, lenp);
}

int charwidth(uint32_t ch, bool valid)
{
    if (!valid || (ch & INVALID_BYTE))
        return 4;  // shown as <XX>
    if (ch < 0x20 || ch == 0x7f)
        return 2;  // ^X
    if (ch < 0x80 || !kedmultibyte)
        return 1;
    int w = wcwidth(wchar_t(ch));
    return w < 0 ? 4 : w;
}

int nextcharpos(int pos)
{
    if (pos >= tarnll)
        return tarnll;
    int len;
    decodeat(line + pos, tarnll - pos, &len);
    pos += len;
    // A combining mark belongs to the character before it.
    while (kedmultibyte && pos < tarnll && line[pos] >= 0x80) {
        uint32_t ch = decodeat(line + pos, tarnll - pos, &len);
        if (!iscombining(ch))
            break;
        pos += len;
    }
    return pos;
}

int prevcharpos(int pos)
{
    if (pos <= 0)
        return 0;
    if (!kedmultibyte)
        return pos - 1;
    for (;;) {
        int start = pos - 1;
        // Continuation bytes of UTF-8 lead back to the first byte.
        while (start > 0 && pos - start < 4 && (line[start] & 0xc0) == 0x80)
            start--;
        int len;
        uint32_t ch = decodeat(line + start, tarnll - start, &len);
        if (start + len != pos) {
            start = pos - 1;
            ch = INVALID_BYTE | line[start];
        }
        if (!iscombining(ch) || start == 0)
            return start;
        pos = start;
    }
}

bool iswordat(int pos)
{
    int len;
    uint32_t ch = charat(pos, &len);
    if (!len)
        return false;
    if (ch < 0x80 || (ch & INVALID_BYTE) || !kedmultibyte)
        return iword(static_cast<unsigned char>(ch & 0xff));
    if (iswalnum(wint_t(ch)))
        return true;
    // A letter beyond ASCII listed in WORDCHARS counts too.
    const char *w = wordchars ? unmeta(wordchars) : nullptr;
    std::string ch8(reinterpret_cast<char *>(line + pos), size_t(len));
    return w && strstr(w, ch8.c_str());
}

// ---- space in the buffer ----

namespace {

// Changes since the undo checkpoint: nothing before undo_lo changed, so
// the difference is looked for only from there (-1: nothing changed).
int undo_lo = -1;

void notechange(int start, int)
{
    if (undo_lo < 0 || start < undo_lo)
        undo_lo = start;
}

}  // namespace

void sizeline(int sz)
{
    if (sz <= linesz)
        return;
    int n = linesz ? linesz : 256;
    while (n < sz)
        n *= 2;
    line = static_cast<unsigned char *>(qrealloc(line, size_t(n) + 2));
    linesz = n;
}

void spaceinline(int ct)
{
    if (ct <= 0)
        return;
    sizeline(tarnll + ct);
    memmove(line + tarncs + ct, line + tarncs, size_t(tarnll - tarncs));
    tarnll += ct;
    if (mark > tarncs)
        mark += ct;
    notechange(tarncs, tarncs + ct);
}

void shiftchars(int to, int cnt)
{
    if (cnt <= 0 || to < 0 || to + cnt > tarnll)
        return;
    memmove(line + to, line + to + cnt, size_t(tarnll - to - cnt));
    tarnll -= cnt;
    if (mark > to + cnt)
        mark -= cnt;
    else if (mark > to)
        mark = to;
    notechange(to, to);
}

void markchanged(int start, int end) { notechange(start, end); }

void foredel(int ct)
{
    if (ct > tarnll - tarncs)
        ct = tarnll - tarncs;
    shiftchars(tarncs, ct);
}

void backdel(int ct)
{
    if (ct > tarncs)
        ct = tarncs;
    shiftchars(tarncs - ct, ct);
    tarncs -= ct;
}

void forekill(int ct, int dir)
{
    if (ct > tarnll - tarncs)
        ct = tarnll - tarncs;
    cut(tarncs, ct, dir);
    foredel(ct);
}

void backkill(int ct, int dir)
{
    if (ct > tarncs)
        ct = tarncs;
    cut(tarncs - ct, ct, dir);
    backdel(ct);
}

void setlinebytes(const unsigned char *s, int len)
{
    sizeline(len);
    memcpy(line, s, size_t(len));
    tarnll = tarncs = len;
    if (mark > tarnll)
        mark = tarnll;
    notechange(0, tarnll);
}

void setline(const char *s)
{
    char *u = dupstring(s);
    int len;
    unmetafy(u, &len);
    setlinebytes(reinterpret_cast<unsigned char *>(u), len);
}

char *metafiedline()
{
    return metafy(reinterpret_cast<char *>(line), tarnll, META_HEAPDUP);
}

int findbol()
{
    int x = tarncs;
    while (x > 0 && line[x - 1] != '\n')
        x--;
    return x;
}

int findeol()
{
    int x = tarncs;
    while (x < tarnll && line[x] != '\n')
        x++;
    return x;
}

int findline(int *a, int *b)
{
    *a = findbol();
    *b = findeol();
    return *a != *b;
}

// ---- the cut buffer and the kill ring ----

Cutbuffer cutbuf;
Cutbuffer *kring;
int kringsize = 8, kringnum;
Cutbuffer vibuf[36];

namespace {

void setcut(Cutbuffer *b, const unsigned char *s, int len, int flags)
{
    qfree(b->buf);
    b->buf = static_cast<char *>(qalloc(size_t(len) + 1));
    memcpy(b->buf, s, size_t(len));
    b->buf[len] = '\0';
    b->len = len;
    b->flags = flags;
}

void addcut(Cutbuffer *b, const unsigned char *s, int len, bool prepend)
{
    char *n = static_cast<char *>(qalloc(size_t(b->len + len) + 1));
    if (prepend) {
        memcpy(n, s, size_t(len));
        if (b->len)
            memcpy(n + len, b->buf, size_t(b->len));
    } else {
        if (b->len)
            memcpy(n, b->buf, size_t(b->len));
        memcpy(n + b->len, s, size_t(len));
    }
    n[b->len + len] = '\0';
    qfree(b->buf);
    b->buf = n;
    b->len += len;
}

}  // namespace

extern int vilinerange;

void cuttext(const unsigned char *s, int len, int dir)
{
    int lineflag = vilinerange ? CUTBUFFER_LINE : 0;
    if (qmod.flags & MOD_VIBUF) {
        Cutbuffer *b = &vibuf[qmod.cut_buffer_index];
        if ((qmod.flags & MOD_VIAPP) && b->buf && b->len) {
            if (b->flags & CUTBUFFER_LINE)
                addcut(b, reinterpret_cast<const unsigned char *>("\n"), 1, false);
            addcut(b, s, len, false);
        } else {
            setcut(b, s, len, lineflag);
        }
        return;
    }
    // The numbered buffers shift down and buffer 1 gets the text.
    qfree(vibuf[34].buf);
    memmove(&vibuf[27], &vibuf[26], sizeof(Cutbuffer) * 8);
    vibuf[26] = Cutbuffer{};
    setcut(&vibuf[26], s, len, lineflag);
    if (!(lastcmd & W_KILL)) {
        if (!kring) {
            kring = qcnew<Cutbuffer>(size_t(kringsize));
            kringnum = 0;
        }
        if (cutbuf.buf) {
            kringnum = (kringnum + 1) % kringsize;
            qfree(kring[kringnum].buf);
            kring[kringnum] = cutbuf;
        } else {
            qfree(cutbuf.buf);
        }
        cutbuf = Cutbuffer{};
    }
    addcut(&cutbuf, s, len, dir != 0);
    cutbuf.flags = lineflag;
}

void cut(int i, int ct, int dir)
{
    if (ct < 0 || i < 0 || i + ct > tarnll)
        return;
    cuttext(line + i, ct, dir);
}

void freecutbuffers()
{
    qfree(cutbuf.buf);
    cutbuf = Cutbuffer{};
    if (kring) {
        for (int i = 0; i < kringsize; i++)
            qfree(kring[i].buf);
        qfree(kring);
        kring = nullptr;
    }
    for (Cutbuffer &b : vibuf) {
        qfree(b.buf);
        b = Cutbuffer{};
    }
}

char **killringarray()
{
    if (!kring) {
        kring = qcnew<Cutbuffer>(size_t(kringsize));
        kringnum = 0;
    }
    char **a = qhnew<char *>(size_t(kringsize) + 1);
    for (int i = 0; i < kringsize; i++) {
        Cutbuffer *b = &kring[(kringnum - i + kringsize) % kringsize];
        a[i] = b->buf ? metafy(b->buf, b->len, META_HEAPDUP) : dupstring("");
    }
    a[kringsize] = nullptr;
    return a;
}

void setkillring(char **a)
{
    if (kring) {
        for (int i = 0; i < kringsize; i++)
            qfree(kring[i].buf);
        qfree(kring);
        kring = nullptr;
    }
    if (!a)
        return;
    // The ring takes as many entries as it is given (at least one).
    int n = arrlen(a);
    kringsize = n ? n : 1;
    kring = qcnew<Cutbuffer>(size_t(kringsize));
    for (int i = 0; i < n; i++) {
        char *u = dupstring(a[i]);
        int len;
        unmetafy(u, &len);
        // Newest first: element 0 is the current position.
        Cutbuffer *b = &kring[(kringsize - i) % kringsize];
        setcut(b, reinterpret_cast<unsigned char *>(u), len, 0);
    }
    kringnum = 0;
}

// ---- undo ----

namespace {

struct Change {
    Change *prev, *next;
    int flags;  // CH_NEXT: the next record is the same step
    long hist;
    int off;
    std::string del, ins;
    int old_cs, new_cs;
};
enum : int { CH_NEXT = 1, CH_PREV = 2 };

Change *changes, *curchange;  // the list, and where undo stands
constinit std::string lastline;
int lastcs;
bool stepopen;

void freechanges(Change *from)
{
    while (from) {
        Change *n = from->next;
        delete from;
        from = n;
    }
}

}  // namespace

void initundo()
{
    freechanges(changes);
    changes = curchange = nullptr;
    stepopen = false;
    setlastline();
}

void freeundo()
{
    freechanges(changes);
    changes = curchange = nullptr;
    lastline.clear();
    lastline.shrink_to_fit();
}

void setlastline()
{
    lastline.assign(reinterpret_cast<char *>(line), size_t(tarnll));
    lastcs = tarncs;
    undo_lo = -1;
}

void mkundoent()
{
    // A change of length that was not noted is looked for from the start.
    if (undo_lo < 0 && size_t(tarnll) != lastline.size())
        undo_lo = 0;
    if (undo_lo < 0)
        return;
    int ll = int(lastline.size());
    int pre = undo_lo < ll && undo_lo < tarnll ? undo_lo : (ll < tarnll ? ll : tarnll);
    // The tracked window is a bound; the exact difference is inside it.
    int pmax = ll < tarnll ? ll : tarnll;
    while (pre < pmax && lastline[size_t(pre)] == char(line[pre]))
        pre++;
    int suf = 0;
    while (suf < ll - pre && suf < tarnll - pre && lastline[size_t(ll - 1 - suf)] == char(line[tarnll - 1 - suf]))
        suf++;
    if (pre == ll && pre == tarnll) {
        undo_lo = -1;
        return;
    }
    if (pre + suf == ll && pre + suf == tarnll) {
        undo_lo = -1;
        return;
    }
    Change *ch = new Change;
    ch->prev = curchange;
    ch->next = nullptr;
    ch->flags = 0;
    ch->hist = histline;
    ch->off = pre;
    ch->del.assign(lastline, size_t(pre), size_t(ll - pre - suf));
    ch->ins.assign(reinterpret_cast<char *>(line) + pre, size_t(tarnll - pre - suf));
    ch->old_cs = lastcs;
    ch->new_cs = tarncs;
    // A change after an undo loses what could have been redone.
    if (curchange) {
        freechanges(curchange->next);
        curchange->next = ch;
        if (stepopen)
            curchange->flags |= CH_NEXT;
    } else {
        freechanges(changes);
        changes = ch;
    }
    curchange = ch;
    stepopen = true;
    lastline.replace(size_t(pre), size_t(ll - pre - suf), ch->ins);
    lastcs = tarncs;
    undo_lo = -1;
}

void handleundo()
{
    mkundoent();
    stepopen = false;
    lastcs = tarncs;
}

namespace {

void applychange(Change *ch, bool undo)
{
    const std::string &from = undo ? ch->ins : ch->del;
    const std::string &to = undo ? ch->del : ch->ins;
    int off = ch->off;
    if (off + int(from.size()) > tarnll)
        return;
    int diff = int(to.size()) - int(from.size());
    sizeline(tarnll + (diff > 0 ? diff : 0));
    memmove(line + off + to.size(), line + off + from.size(), size_t(tarnll - off - int(from.size())));
    memcpy(line + off, to.data(), to.size());
    tarnll += diff;
    tarncs = undo ? ch->old_cs : ch->new_cs;
    if (tarncs > tarnll)
        tarncs = tarnll;
    if (mark > tarnll)
        mark = tarnll;
}

}  // namespace

int undo(char **)
{
    handleundo();
    if (!curchange)
        return 1;
    do {
        if (curchange->hist != histline) {
            ked_goto_hist(curchange->hist, 0, 0);
            setlastline();
            return 0;
        }
        applychange(curchange, true);
        curchange = curchange->prev;
    } while (curchange && (curchange->flags & CH_NEXT));
    setlastline();
    return 0;
}

int redo(char **)
{
    handleundo();
    Change *n = curchange ? curchange->next : changes;
    if (!n)
        return 1;
    do {
        if (n->hist != histline) {
            ked_goto_hist(n->hist, 0, 0);
            setlastline();
            return 0;
        }
        applychange(n, false);
        curchange = n;
        n = n->next;
    } while (curchange->flags & CH_NEXT && n);
    setlastline();
    return 0;
}

// ---- the removable suffix ----

int suffixlen[257];
namespace {
char *suffixfunc;
int suffixfunclen;
}  // namespace

void fixsuffix()
{
    memset(suffixlen, 0, sizeof suffixlen);
    qsfree(suffixfunc);
    suffixfunc = nullptr;
}

void makesuffix(int n)
{
    suffixlen[256] = suffixlen[int(' ')] = suffixlen[int('\t')] = suffixlen[int('\n')] = suffixlen[int(';')] =
        suffixlen[int('&')] = suffixlen[int('|')] = n;
}

void makeparamsuffix(int br, int n)
{
    if (br || unset(KSHARRAYS))
        suffixlen[int(':')] = suffixlen[int('[')] = n;
    if (br) {
        for (const char *p = "?%#=+-/}"; *p; p++)
            suffixlen[static_cast<unsigned char>(*p)] = n;
    }
}

void makesuffixstr(char *f, char *s, int n)
{
    if (f) {
        qsfree(suffixfunc);
        suffixfunc = qtrdup(f);
        suffixfunclen = n;
        return;
    }
    if (!s) {
        makesuffix(n);
        return;
    }
    int inv = *s == '^' || *s == '!';
    if (inv)
        s++;
    int len, misc = 0;
    char *k = getkeystring(dupstring(s), &len, GETKEY_SUFFIX, &misc);
    unsigned char set[256] = {};
    for (int i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(k[i]);
        if (i + 2 < len && k[i + 1] == '-') {
            unsigned char e = static_cast<unsigned char>(k[i + 2]);
            for (int x = c; x <= e; x++)
                set[x] = 1;
            i += 2;
        } else {
            set[c] = 1;
        }
    }
    for (int i = 0; i < 256; i++)
        if (set[i] != inv)
            suffixlen[i] = n;
    if (misc)
        suffixlen[256] = n;
}

void iremovesuffix(int c, int keep)
{
    if (suffixfunc) {
        char *fn = suffixfunc;
        suffixfunc = nullptr;
        if (ShellFunc *shf = static_cast<ShellFunc *>(shfunctab->getnode(shfunctab, fn))) {
            LinkList *args = newlinklist();
            addlinknode(args, fn);
            char num[24];
            snprintf(num, sizeof num, "%d", suffixfunclen);
            addlinknode(args, dupstring(num));
            int osc = sfcontext;
            sfcontext = SFC_COMPLETE;
            startparamscope();
            makekedparams(0);
            doshfunc(fn, shf->funcdef, args, shf->flags, 1);
            endparamscope();
            sfcontext = osc;
        }
        qsfree(fn);
    } else {
        int sl = (c >= 0 && c <= 256) ? suffixlen[c] : 0;
        if (sl) {
            backdel(sl);
            if (!keep)
                runkedhook(INVALIDATELISTHOOK, nullptr);
        }
    }
    fixsuffix();
}

// ---- the single-key query ----

int kedgetquery(const char *valid, int yesno)
{
    int c;
    if (yesno) {
        if (pendingbytes() > 0) {
            c = 'n';
            showmsg("n");
            return c;
        }
    }
    c = getfullchar(0);
    if (c < 0)
        return 'n';
    if (yesno) {
        if (c == '\t')
            c = 'y';
        else if (icntrl(static_cast<unsigned char>(c)))
            c = 'n';
        else
            c = tulower(c);
    } else if (valid && !strchr(valid, c)) {
        c = 'n';
    }
    if (c != '\n') {
        char b[2] = {char(c), 0};
        showmsg(b);
    }
    return c;
}

// ---- reading a widget name ----

Thingy *executenamedcommand(const char *prompt)
{
    std::string name;
    char *okeymap = qtrdup(curkeymapname);
    int olistshown = listshown, olastlistlen = lastlistlen;
    clearlist = 1;
    selectkeymap("main", 1);
    auto setstatus = [&](const char *cursor) {
        std::string st = std::string(prompt) + name + cursor;
        qsfree(statusline);
        statusline = qtrdup(st.c_str());
        statusll = int(st.size());
    };
    Thingy *result = nullptr;
    bool failed = false;
    for (;;) {
        setstatus("_");
        if (failed)
            handlefeep();
        failed = false;
        qrefresh();
        Thingy *cmd = getkeycmd();
        if (!cmd || cmd == builtinthingy(T_SENDBREAK))
            break;
        Widget *w = cmd->widget;
        KedFunc f = w && (w->flags & W_INTERNAL) ? w->fn : nullptr;
        if (f == clearscreen || f == redisplay) {
            f(nullptr);
            continue;
        }
        if (f == quotedinsert || (w && builtinthingy(T_VIQUOTEDINSERT)->widget == w)) {
            setstatus("^");
            qrefresh();
            int k = getfullchar(0);
            if (k <= 0 || name.size() >= 60)
                failed = true;
            else
                name += char(k);
            continue;
        }
        if (f == backwarddeletechar || (w && builtinthingy(T_VIBACKWARDDELETECHAR)->widget == w)) {
            if (!name.empty())
                name.pop_back();
            continue;
        }
        if (f == killregion || f == backwardkillword || (w && builtinthingy(T_VIBACKWARDKILLWORD)->widget == w)) {
            // forward-wo becomes forward; forward- loses only the "-".
            if (!name.empty()) {
                if (name.back() == '-') {
                    name.pop_back();
                } else {
                    size_t dash = name.rfind('-');
                    name.erase(dash == std::string::npos ? 0 : dash);
                }
            }
            continue;
        }
        if (f == killwholeline || f == backwardkillline || (w && builtinthingy(T_VIKILLLINE)->widget == w)) {
            name.clear();
            continue;
        }
        bool accept = f == acceptline || (w && builtinthingy(T_VICMDMODE)->widget == w);
        if (accept) {
            Thingy *t = rthingy(name.c_str());
            if (!(t->flags & TH_DISABLED)) {
                result = t;
                break;
            }
            unrefthingy(t);
        }
        int key = lastchar;
        if (f == selfinsertunmeta) {
            key &= 0x7f;
            if (key == '\r')
                key = '\n';
            f = selfinsert;
        }
        bool complete = accept || f == deletecharorlist || (w && (w->flags & W_COMPLETION_MODEL)) ||
                        (f != selfinsert && (key == ' ' || key == '\t')) ||
                        (f == selfinsert && (key == ' ' || key == '\t'));
        if (complete) {
            // Complete the name from the enabled thingies.
            std::vector<std::string> cands;
            for (int i = 0; i < thingytab->hsize; i++)
                for (HashNode *hn = thingytab->nodes[i]; hn; hn = hn->next)
                    if (!(hn->flags & TH_DISABLED) && !strncmp(hn->nam, name.c_str(), name.size()))
                        cands.emplace_back(hn->nam);
            if (cands.empty()) {
                failed = true;
                continue;
            }
            std::string pfx = cands[0];
            for (const std::string &cnd : cands) {
                size_t k = 0;
                while (k < pfx.size() && k < cnd.size() && pfx[k] == cnd[k])
                    k++;
                pfx.resize(k);
            }
            if (cands.size() == 1) {
                name = cands[0];
                if (accept) {
                    result = rthingy(name.c_str());
                    break;
                }
            } else if (pfx.size() > name.size()) {
                name = pfx;
            } else {
                failed = isset(LISTBEEP) != 0;
            }
            continue;
        }
        if (f == selfinsert && !icntrl(static_cast<unsigned char>(key)) && name.size() < 60) {
            name += char(key);
            continue;
        }
        failed = true;
    }
    qsfree(statusline);
    statusline = nullptr;
    statusll = 0;
    selectkeymap(okeymap, 1);
    qsfree(okeymap);
    if (olistshown) {
        showinglist = -2;
        lastlistlen = olastlistlen;
    }
    return result;
}
