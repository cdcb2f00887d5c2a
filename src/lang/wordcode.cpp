// Wordcode programs: the shared empty program, copies, references and
// decoding of the string words.
#include "lang/lang.h"
#include "expand/expand.h"

#include <cstring>

static wordcode dummy_code = CODE_END;
Eprog dummy_eprog;

void init_eprog()
{
    dummy_eprog.flags = EF_REAL;
    dummy_eprog.len = sizeof(wordcode);
    dummy_eprog.pattern_count = 0;
    dummy_eprog.ref_count = -1;
    dummy_eprog.pattern_slots = nullptr;
    dummy_eprog.prog = &dummy_code;
    dummy_eprog.string_table = reinterpret_cast<char *>(&dummy_code + 1);
    dummy_eprog.function_link = nullptr;
    dummy_eprog.dump_link = nullptr;
}

Eprog *dupeprog(Eprog *p, int heap)
{
    if (p == &dummy_eprog)
        return p;
    Eprog *r = heap ? qhnew<Eprog>() : qnew<Eprog>();
    r->flags = (heap ? EF_HEAP : EF_REAL) | (p->flags & EF_RUN);
    r->dump_link = nullptr;
    r->len = p->len;
    r->pattern_count = p->pattern_count;
    r->ref_count = heap ? -1 : 1;
    char *block = static_cast<char *>(heap ? qhalloc(size_t(r->len)) : qalloc(size_t(r->len)));
    // The code and strings may live apart from the slots (a mapped file):
    // copy each part to its place in the new block.
    size_t slots = size_t(p->pattern_count) * sizeof(Patprog *);
    size_t code = size_t(p->string_table - reinterpret_cast<char *>(p->prog));
    memcpy(block + slots, p->prog, size_t(r->len) - slots);
    r->pattern_slots = reinterpret_cast<Patprog **>(block);
    r->prog = reinterpret_cast<wordcode *>(block + slots);
    r->string_table = block + slots + code;
    for (int i = 0; i < r->pattern_count; i++)
        r->pattern_slots[i] = dummy_patprog1;
    r->function_link = nullptr;
    return r;
}

void useeprog(Eprog *p)
{
    if (p && p != &dummy_eprog && p->ref_count >= 0)
        p->ref_count++;
}

void freeeprog(Eprog *p)
{
    if (!p || p == &dummy_eprog || p->ref_count < 0)
        return;
    if (--p->ref_count > 0)
        return;
    for (int i = 0; i < p->pattern_count; i++)
        if (p->pattern_slots[i] != dummy_patprog1)
            freepatprog(p->pattern_slots[i]);
    // A program inside a mapped file owns only its slots and its record.
    qfree(p->pattern_slots);
    if (p->dump_link)
        decrdumpcount(p->dump_link);
    qfree(p);
}

int empty_eprog(Eprog *p)
{
    return !p || !p->prog || code_type(*p->prog) == CODE_END;
}

// ---- string words ----

static char *decodestr(wordcode c, const char *strs, char *buf, int *tokflag, bool *isinline)
{
    if (tokflag)
        *tokflag = int(c & 1);
    *isinline = true;
    if (c == 6 || c == 7) {
        buf[0] = '\0';
        return buf;
    }
    if (c & 2) {
        buf[0] = char((c >> 3) & 0xff);
        buf[1] = char((c >> 11) & 0xff);
        buf[2] = char((c >> 19) & 0xff);
        buf[3] = '\0';
        return buf;
    }
    *isinline = false;
    return const_cast<char *>(strs) + (c >> 2);
}

char *ecgetstr(ExecState *state, int dup, int *tokflag)
{
    char buf[4] = {};
    bool isinline;
    wordcode c = *state->pc++;
    char *r = decodestr(c, state->string_table, buf, tokflag, &isinline);
    if (isinline) {
        // Always four bytes: copied whole, without measuring.
        char *d = static_cast<char *>(qhalloc(sizeof buf));
        memcpy(d, buf, sizeof buf);
        return d;
    }
    return (dup == EC_DUP || (dup && (c & 1))) ? dupstring(r) : r;
}

char *ecrawstr(Eprog *prog, wordcode *pc, int *tokflag)
{
    static char buf[4];
    bool isinline;
    return decodestr(*pc, prog->string_table, buf, tokflag, &isinline);
}

char **ecgetarr(ExecState *state, int num, int dup, int *tokflag)
{
    char **ret = qhnew<char *>(size_t(num) + 1), **rp = ret;
    int tf = 0, tmp = 0;
    while (num--) {
        *rp++ = ecgetstr(state, dup, &tmp);
        tf |= tmp;
    }
    *rp = nullptr;
    if (tokflag)
        *tokflag = tf;
    return ret;
}

LinkList *ecgetlist(ExecState *state, int num, int dup, int *tokflag)
{
    int tf = 0, tmp = 0;
    if (num <= 0) {
        if (tokflag)
            *tokflag = 0;
        return nullptr;
    }
    // The list and its nodes in one allocation: a command's words are
    // fetched for every command run.
    LinkList *ret = static_cast<LinkList *>(qhalloc(sizeof(LinkList) + size_t(num) * sizeof(LinkNode)));
    LinkNode *node = reinterpret_cast<LinkNode *>(ret + 1), *prev = &ret->hdr;
    ret->hdr.dat = nullptr;
    for (; num--; node++) {
        node->dat = ecgetstr(state, dup, &tmp);
        node->prev = prev;
        prev->next = node;
        prev = node;
        tf |= tmp;
    }
    prev->next = nullptr;
    ret->hdr.prev = prev;
    if (tokflag)
        *tokflag = tf;
    return ret;
}

LinkList *ecgetredirlist(ExecState *state)
{
    LinkList *ret = newlinklist();
    wordcode code = *state->pc++;
    while (code_type(code) == CODE_REDIR) {
        Redir *r = qhnew<Redir>();
        r->type = int(redir_type(code));
        r->fd1 = int(*state->pc++);
        r->fd2 = 0;
        r->name = ecgetstr(state, EC_DUP, nullptr);
        addlinknode(ret, r);
        code = *state->pc++;
    }
    state->pc--;
    return ret;
}
