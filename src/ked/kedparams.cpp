// The editor's special parameters: BUFFER, CURSOR, the cut buffer and the
// rest, made in the scope of a widget function, a completion function or
// a trap run while editing, and gone when it ends.
#include "ked/ked.h"

#include <cstring>

extern char *previous_search;

namespace {

char *bytesparam(const unsigned char *s, int len) { return metafy(reinterpret_cast<char *>(const_cast<unsigned char *>(s)), len, META_HEAPDUP); }

// The buffer setters take a metafied value and own it.
struct Plain {
    char *u;
    int len;
};
Plain plain(char *v)
{
    Plain p{dupstring(v ? v : ""), 0};
    unmetafy(p.u, &p.len);
    qsfree(v);
    return p;
}

void endmenu()
{
    fixsuffix();
    runkedhook(INVALIDATELISTHOOK, nullptr);
}

// A cursor set inside a character goes to that character's start.
int charstart(int pos)
{
    if (!kedmultibyte || pos <= 0 || pos >= tarnll)
        return pos;
    int q = pos;
    while (q > 0 && line[q - 1] != '\n')
        q--;
    while (q < pos) {
        int n = nextcharpos(q);
        if (n > pos)
            return q;
        q = n;
    }
    return q;
}

char *buffergetfn(Param *) { return bytesparam(line, tarnll); }
void buffersetfn(Param *, char *v)
{
    Plain p = plain(v);
    setlinebytes(reinterpret_cast<unsigned char *>(p.u), p.len);
    endmenu();
}

int64_t cursorgetfn(Param *) { return tarncs; }
void cursorsetfn(Param *, int64_t v)
{
    tarncs = v < 0 ? 0 : v > tarnll ? tarnll : int(v);
    tarncs = charstart(tarncs);
}

int64_t markgetfn(Param *) { return mark; }
void marksetfn(Param *, int64_t v)
{
    mark = v < 0 ? 0 : v > tarnll ? tarnll : int(v);
    mark = charstart(mark);
}

char *lbuffergetfn(Param *) { return bytesparam(line, tarncs); }
void lbuffersetfn(Param *, char *v)
{
    Plain p = plain(v);
    int old = tarncs;
    tarncs = 0;
    shiftchars(0, old);
    spaceinline(p.len);
    memcpy(line, p.u, size_t(p.len));
    markchanged(0, p.len);
    tarncs = p.len;
    endmenu();
}

char *rbuffergetfn(Param *) { return bytesparam(line + tarncs, tarnll - tarncs); }
void rbuffersetfn(Param *, char *v)
{
    Plain p = plain(v);
    int ocs = tarncs;
    shiftchars(tarncs, tarnll - tarncs);
    spaceinline(p.len);
    memcpy(line + tarncs, p.u, size_t(p.len));
    markchanged(tarncs, tarncs + p.len);
    tarncs = ocs;
    endmenu();
}

char *prebuffergetfn(Param *)
{
    if (!chline)
        return dupstring("");
    return dupstrpfx(chline, size_t(hptr - chline));
}

char *widgetgetfn(Param *) { return dupstring(bindk ? bindk->nam : ""); }
char *lastwidgetgetfn(Param *) { return dupstring(lbindk ? lbindk->nam : ""); }
char *keymapgetfn(Param *) { return dupstring(curkeymapname ? curkeymapname : ""); }
char *keysgetfn(Param *) { return dupstring(keybuf ? keybuf : ""); }

int64_t numericgetfn(Param *) { return qmod.count; }
void numericsetfn(Param *, int64_t v)
{
    qmod.count = v > MAX_COUNT ? MAX_COUNT : v < -MAX_COUNT ? -MAX_COUNT : int(v);
    qmod.flags |= MOD_MULT;
}
// Unsetting marks the parameter unset; only these three also change the
// editor, and only when the user asked for it (not at the scope's end).
void kedunsetfn(Param *pm, int) { pm->flags |= PF_UNSET; }

void numericunsetfn(Param *pm, int exp)
{
    if (exp)
        resetmodifier();
    kedunsetfn(pm, exp);
}

int64_t histnogetfn(Param *) { return histline; }
int64_t bufferlinesgetfn(Param *) { return nlnct; }
int64_t pendinggetfn(Param *) { return pendingbytes() + kungetct; }

char *cutbuffergetfn(Param *) { return cutbuf.buf ? metafy(cutbuf.buf, cutbuf.len, META_HEAPDUP) : dupstring(""); }
void cutbuffersetfn(Param *, char *v)
{
    Plain p = plain(v);
    qfree(cutbuf.buf);
    cutbuf.buf = static_cast<char *>(qalloc(size_t(p.len) + 1));
    memcpy(cutbuf.buf, p.u, size_t(p.len));
    cutbuf.buf[p.len] = '\0';
    cutbuf.len = p.len;
    cutbuf.flags = 0;
}
void cutbufferunsetfn(Param *pm, int exp)
{
    if (exp) {
        qfree(cutbuf.buf);
        cutbuf = Cutbuffer{};
    }
    kedunsetfn(pm, exp);
}

char **killringgetfn(Param *) { return killringarray(); }
void killringsetfn(Param *, char **a)
{
    setkillring(a);
    freearray(a);
}
void killringunsetfn(Param *pm, int exp)
{
    if (exp)
        setkillring(nullptr);
    kedunsetfn(pm, exp);
}

char *predisplaygetfn(Param *) { return predisplay ? metafy(predisplay, predisplaylen, META_HEAPDUP) : dupstring(""); }
void predisplaysetfn(Param *, char *v)
{
    Plain p = plain(v);
    qfree(predisplay);
    predisplay = static_cast<char *>(qalloc(size_t(p.len) + 1));
    memcpy(predisplay, p.u, size_t(p.len) + 1);
    predisplaylen = p.len;
}
char *postdisplaygetfn(Param *)
{
    return postdisplay ? metafy(postdisplay, postdisplaylen, META_HEAPDUP) : dupstring("");
}
void postdisplaysetfn(Param *, char *v)
{
    Plain p = plain(v);
    qfree(postdisplay);
    postdisplay = static_cast<char *>(qalloc(size_t(p.len) + 1));
    memcpy(postdisplay, p.u, size_t(p.len) + 1);
    postdisplaylen = p.len;
}

char *lastsearchgetfn(Param *) { return dupstring(previous_search ? previous_search : ""); }

struct KedParam {
    const char *name;
    int type;  // PF_SCALAR, PF_INTEGER, PF_ARRAY
    bool ro;
    char *(*sget)(Param *);
    void (*sset)(Param *, char *);
    int64_t (*iget)(Param *);
    void (*iset)(Param *, int64_t);
    char **(*aget)(Param *);
    void (*aset)(Param *, char **);
    void (*unset)(Param *, int);
};

constexpr KedParam kedparamtab[] = {
    {"BUFFER", PF_SCALAR, false, buffergetfn, buffersetfn, nullptr, nullptr, nullptr, nullptr, nullptr},
    {"CURSOR", PF_INTEGER, false, nullptr, nullptr, cursorgetfn, cursorsetfn, nullptr, nullptr, nullptr},
    {"MARK", PF_INTEGER, false, nullptr, nullptr, markgetfn, marksetfn, nullptr, nullptr, nullptr},
    {"LBUFFER", PF_SCALAR, false, lbuffergetfn, lbuffersetfn, nullptr, nullptr, nullptr, nullptr, nullptr},
    {"RBUFFER", PF_SCALAR, false, rbuffergetfn, rbuffersetfn, nullptr, nullptr, nullptr, nullptr, nullptr},
    {"PREBUFFER", PF_SCALAR, true, prebuffergetfn, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    {"WIDGET", PF_SCALAR, true, widgetgetfn, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    {"LASTWIDGET", PF_SCALAR, true, lastwidgetgetfn, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    {"KEYMAP", PF_SCALAR, true, keymapgetfn, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    {"KEYS", PF_SCALAR, true, keysgetfn, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    {"NUMERIC", PF_INTEGER, false, nullptr, nullptr, numericgetfn, numericsetfn, nullptr, nullptr, numericunsetfn},
    {"HISTNO", PF_INTEGER, true, nullptr, nullptr, histnogetfn, nullptr, nullptr, nullptr, nullptr},
    {"BUFFERLINES", PF_INTEGER, true, nullptr, nullptr, bufferlinesgetfn, nullptr, nullptr, nullptr, nullptr},
    {"PENDING", PF_INTEGER, true, nullptr, nullptr, pendinggetfn, nullptr, nullptr, nullptr, nullptr},
    {"CUTBUFFER", PF_SCALAR, false, cutbuffergetfn, cutbuffersetfn, nullptr, nullptr, nullptr, nullptr,
     cutbufferunsetfn},
    {"killring", PF_ARRAY, false, nullptr, nullptr, nullptr, nullptr, killringgetfn, killringsetfn,
     killringunsetfn},
    {"PREDISPLAY", PF_SCALAR, false, predisplaygetfn, predisplaysetfn, nullptr, nullptr, nullptr, nullptr,
     nullptr},
    {"POSTDISPLAY", PF_SCALAR, false, postdisplaygetfn, postdisplaysetfn, nullptr, nullptr, nullptr, nullptr,
     nullptr},
    {"LASTSEARCH", PF_SCALAR, true, lastsearchgetfn, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Assignments to a read-only special never reach a setter; these keep the
// accessor tables whole.
void nostrset(Param *, char *v) { qsfree(v); }
void nointset(Param *, int64_t) {}
void noarrset(Param *, char **a) { freearray(a); }

}  // namespace

void makekedparams(int ro)
{
    for (const KedParam &k : kedparamtab) {
        int flags = k.type | PF_SPECIAL | PF_REMOVABLE | PF_LOCAL;
        if (ro || k.ro)
            flags |= PF_READONLY;
        Param *pm = createparam(k.name, flags);
        if (!pm) {
            pm = static_cast<Param *>(paramtab->getnode(paramtab, k.name));
            if (!pm)
                continue;
        }
        pm->level = locallevel;
        noteparamlevel(locallevel);
        switch (k.type) {
        case PF_SCALAR:
            pm->getter.cfn = k.sget;
            pm->setter.cfn = k.sset ? k.sset : nostrset;
            break;
        case PF_INTEGER:
            pm->getter.ifn = k.iget;
            pm->setter.ifn = k.iset ? k.iset : nointset;
            break;
        case PF_ARRAY:
            pm->getter.afn = k.aget;
            pm->setter.afn = k.aset ? k.aset : noarrset;
            break;
        }
        pm->unsetter = k.unset ? k.unset : kedunsetfn;
        // NUMERIC exists only while a numeric argument is in effect.
        if (!strcmp(k.name, "NUMERIC") && !(qmod.flags & MOD_MULT))
            pm->flags |= PF_UNSET;
    }
}
