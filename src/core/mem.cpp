// Arena (bump) and permanent allocation, string copies, linked lists.
#include "core/core.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

TARN_HOT Heap *heap_list;
TARN_HOT Heap *heap_with_room;

static size_t pagesize;

static size_t roundunit(size_t n) { return (n + HEAP_UNIT - 1) & ~(HEAP_UNIT - 1); }

static size_t roundpage(size_t n)
{
    if (!pagesize) {
        long ps = sysconf(_SC_PAGESIZE);
        pagesize = ps > 0 ? size_t(ps) : 4096;
    }
    return (n + pagesize - 1) / pagesize * pagesize;
}

static Heap *lastheap()
{
    Heap *h = heap_list;
    while (h && h->next)
        h = h->next;
    return h;
}

// Standard arenas are carved from slabs mapped many at a time, and those
// given back are kept for reuse: every command frees and takes arenas, and
// mapping fresh ones each time costs system calls and page faults.  A
// slab is one mapping however many of its arenas are in use: a subshell
// nested in a subshell, each holding arenas, would otherwise add mappings
// at every level, and the kernel's cost of a fork grows with the mappings
// times the depth.  Beyond SPARE_ARENAS kept ones, the pages of an arena
// given back (all but its header's) go back to the system.
constexpr int SPARE_ARENAS = 64;
constexpr size_t SLAB_ARENAS = 64;
static Heap *spare_arenas;  // linked through next
static int nspare;
static char *slab_cur;
static size_t slab_left;

static size_t stdarenasize() { return roundpage(HEAP_HDR + HEAP_AREA); }

static void *slabarena()
{
    size_t one = stdarenasize();
    if (!slab_left) {
        void *p = mmap(nullptr, one * SLAB_ARENAS, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            qerr("fatal error: out of heap memory", nullptr, 0);
            _exit(1);
        }
        slab_cur = static_cast<char *>(p);
        slab_left = SLAB_ARENAS;
    }
    void *r = slab_cur;
    slab_cur += one;
    slab_left--;
    return r;
}

// A value longer than an arena (a string built up in a loop) takes an
// arena of its own each time it is copied; a few of those are kept too, so
// that such a loop does not map and unmap memory on every pass.
constexpr int SPARE_BIG = 4;
constexpr size_t SPARE_BIG_MAX = size_t(1) << 20;
static Heap *spare_big[SPARE_BIG];

static void unmaparena(Heap *h)
{
    if (h->size == stdarenasize()) {
        if (nspare >= SPARE_ARENAS && h->size > pagesize)
            madvise(reinterpret_cast<char *>(h) + pagesize, h->size - pagesize, MADV_DONTNEED);
        h->next = spare_arenas;
        spare_arenas = h;
        nspare++;
        return;
    }
    if (h->size <= SPARE_BIG_MAX) {
        // A free slot, else the smallest kept one makes way for a larger.
        Heap **victim = &spare_big[0];
        for (Heap *&slot : spare_big) {
            if (!slot) {
                victim = &slot;
                break;
            }
            if (slot->size < (*victim)->size)
                victim = &slot;
        }
        if (!*victim || (*victim)->size < h->size) {
            std::swap(*victim, h);
            if (!h)
                return;
        }
    }
    munmap(h, h->size);
}

// A kept big arena of at least sz bytes (and not wastefully larger).
static Heap *takebigarena(size_t sz)
{
    for (Heap *&slot : spare_big)
        if (slot && slot->size >= sz && slot->size <= 2 * sz) {
            Heap *h = slot;
            slot = nullptr;
            return h;
        }
    return nullptr;
}

// Save entries come and go with every pushheap/popheap; spent ones are
// kept on a list instead of going back to malloc.
static HeapStack *spare_stacks;

static HeapStack *newheapstack()
{
    if (HeapStack *s = spare_stacks) {
        spare_stacks = s->next;
        return s;
    }
    HeapStack *s = static_cast<HeapStack *>(malloc(sizeof(HeapStack)));
    if (!s) {
        qerr("fatal error: out of memory", nullptr, 0);
        _exit(1);
    }
    return s;
}

static void freeheapstack(HeapStack *s)
{
    s->next = spare_stacks;
    spare_stacks = s;
}

// tail: the last arena of the list when the caller knows it.
static Heap *newarena(size_t request, Heap *tail = nullptr)
{
    size_t sz = request <= HEAP_AREA - 1 ? HEAP_HDR + HEAP_AREA : request + HEAP_HDR;
    sz = roundpage(sz);
    void *p;
    if (sz == stdarenasize()) {
        if (Heap *h = spare_arenas) {
            spare_arenas = h->next;
            nspare--;
            p = h;
        } else {
            p = slabarena();
        }
    } else if (Heap *big = sz > roundpage(HEAP_HDR + HEAP_AREA) ? takebigarena(sz) : nullptr) {
        p = big;
        sz = big->size;
    } else {
        p = mmap(nullptr, sz, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            qerr("fatal error: out of heap memory", nullptr, 0);
            _exit(1);
        }
    }
    Heap *h = static_cast<Heap *>(p);
    h->next = nullptr;
    h->size = uint32_t(sz);
    h->used = 0;
    h->save_top = nullptr;
    if (Heap *last = tail ? tail : lastheap())
        last->next = h;
    else
        heap_list = h;
    return h;
}

void *qhalloc_more(size_t size)
{
    SignalGuard sg;
    Heap *h = nullptr, *tail = nullptr;
    if (size <= HEAP_AREA) {
        // Onwards from the arena being filled only: going back over every
        // older arena would make each allocation cost as much as the
        // arenas held (a long word list held through a loop).
        for (h = heap_with_room ? heap_with_room : heap_list; h; h = h->next) {
            if (h->used + size <= HEAP_AREA)
                break;
            tail = h;
        }
    }
    if (!h)
        h = newarena(size, tail);
    // Where the next allocations start looking.
    if (size <= HEAP_AREA)
        heap_with_room = h;
    void *ret = heaparea(h) + h->used;
    h->used += uint32_t(size);
    return ret;
}

void *hcalloc(size_t size)
{
    void *p = qhalloc(size);
    memset(p, 0, size);
    return p;
}

void *hrealloc(void *p, size_t old, size_t nsize)
{
    old = roundunit(old);
    nsize = roundunit(nsize);
    if (old == nsize)
        return p;
    if (!old && !p)
        return qhalloc(nsize);
    SignalGuard sg;
    char *cp = static_cast<char *>(p);
    Heap *h, *prev = nullptr;
    for (h = heap_list; h; prev = h, h = h->next)
        if (cp >= heaparea(h) && cp < heaparea(h) + HEAP_AREA)
            break;
    if (!h || cp + old != heaparea(h) + h->used) {
        // Not the newest block of its arena: it cannot move in place.
        if (nsize > old) {
            void *np = qhalloc(nsize);
            memcpy(np, p, old);
            return np;
        }
        return nsize ? p : nullptr;
    }
    if (cp == heaparea(h) && !nsize) {
        if (prev)
            prev->next = h->next;
        else
            heap_list = h->next;
        // A block with open save entries must not vanish under them.
        for (HeapStack *s = h->save_top; s;) {
            HeapStack *n = s->next;
            freeheapstack(s);
            s = n;
        }
        unmaparena(h);
        heap_with_room = nullptr;
        return nullptr;
    }
    if (h->used + nsize - old <= HEAP_AREA) {
        h->used = uint32_t(h->used + nsize - old);
        return p;
    }
    void *np = qhalloc(nsize);
    memcpy(np, p, old < nsize ? old : nsize);
    h->used -= uint32_t(old);
    return np;
}

void pushheap()
{
    SignalGuard sg;
    for (Heap *h = heap_list; h; h = h->next) {
        HeapStack *s = newheapstack();
        s->next = h->save_top;
        s->used = h->used;
        h->save_top = s;
    }
}

// Shared by freeheap and popheap: arenas without a save entry are unmapped,
// the others go back to the recorded fill level.
static void releaseheaps(bool pop)
{
    SignalGuard sg;
    Heap *last = nullptr, *next;
    heap_with_room = nullptr;
    for (Heap *h = heap_list; h; h = next) {
        next = h->next;
        if (h->save_top) {
            h->used = h->save_top->used;
            if (pop) {
                HeapStack *s = h->save_top;
                h->save_top = s->next;
                freeheapstack(s);
            }
            if (last)
                last->next = h;
            else
                heap_list = h;
            last = h;
            // Not an arena with a few bytes left, which every allocation
            // would pass over again.
            if (!heap_with_room && h->used + 256 <= HEAP_AREA)
                heap_with_room = h;
        } else {
            unmaparena(h);
        }
    }
    if (last)
        last->next = nullptr;
    else
        heap_list = nullptr;
}

void freeheap() { releaseheaps(false); }
void popheap() { releaseheaps(true); }

Heap *new_heaps()
{
    SignalGuard sg;
    Heap *h = heap_list;
    heap_list = nullptr;
    heap_with_room = nullptr;
    return h;
}

void old_heaps(Heap *chain)
{
    SignalGuard sg;
    for (Heap *h = heap_list, *n; h; h = n) {
        n = h->next;
        for (HeapStack *s = h->save_top; s;) {
            HeapStack *sn = s->next;
            freeheapstack(s);
            s = sn;
        }
        unmaparena(h);
    }
    heap_list = chain;
    heap_with_room = nullptr;
}

Heap *switch_heaps(Heap *chain)
{
    SignalGuard sg;
    Heap *h = heap_list;
    heap_list = chain;
    heap_with_room = nullptr;
    return h;
}

// ---- permanent memory ----

void *qalloc(size_t size)
{
    SignalGuard sg;
    void *p = malloc(size ? size : 1);
    if (!p) {
        qerr("fatal error: out of memory", nullptr, 0);
        _exit(1);
    }
    return p;
}

void *qcalloc(size_t size)
{
    void *p = qalloc(size);
    memset(p, 0, size);
    return p;
}

void *qrealloc(void *p, size_t size)
{
    SignalGuard sg;
    if (!p)
        return qalloc(size);
    if (!size) {
        free(p);
        return nullptr;
    }
    void *np = realloc(p, size);
    if (!np) {
        qerr("fatal error: out of memory", nullptr, 0);
        _exit(1);
    }
    return np;
}

void qfree(void *p, size_t)
{
    if (p) {
        SignalGuard sg;
        free(p);
    }
}

void qsfree(char *s) { qfree(s); }

// ---- string copies ----

char *dupstring(const char *s)
{
    if (!s)
        return nullptr;
    size_t n = strlen(s) + 1;
    return static_cast<char *>(memcpy(qhalloc(n), s, n));
}

char *qtrdup(const char *s)
{
    if (!s)
        return nullptr;
    size_t n = strlen(s) + 1;
    return static_cast<char *>(memcpy(qalloc(n), s, n));
}

char *dupstrpfx(const char *s, size_t n)
{
    char *r = static_cast<char *>(qhalloc(n + 1));
    memcpy(r, s, n);
    r[n] = '\0';
    return r;
}

char *qtrduppfx(const char *s, size_t n)
{
    char *r = static_cast<char *>(qalloc(n + 1));
    memcpy(r, s, n);
    r[n] = '\0';
    return r;
}

char *dyncat(const char *a, const char *b)
{
    size_t la = strlen(a), lb = strlen(b);
    char *r = static_cast<char *>(qhalloc(la + lb + 1));
    memcpy(r, a, la);
    memcpy(r + la, b, lb + 1);
    return r;
}

static char *cat3(char *r, const char *a, size_t la, const char *b, size_t lb, const char *c, size_t lc)
{
    memcpy(r, a, la);
    memcpy(r + la, b, lb);
    memcpy(r + la + lb, c, lc + 1);
    return r;
}

char *qhtricat(const char *a, const char *b, const char *c)
{
    size_t la = strlen(a), lb = strlen(b), lc = strlen(c);
    return cat3(static_cast<char *>(qhalloc(la + lb + lc + 1)), a, la, b, lb, c, lc);
}

char *tricat(const char *a, const char *b, const char *c)
{
    size_t la = strlen(a), lb = strlen(b), lc = strlen(c);
    return cat3(static_cast<char *>(qalloc(la + lb + lc + 1)), a, la, b, lb, c, lc);
}

char *appstr(char *a, const char *b)
{
    size_t la = strlen(a), lb = strlen(b);
    a = static_cast<char *>(qrealloc(a, la + lb + 1));
    memcpy(a + la, b, lb + 1);
    return a;
}

char *strend(char *s)
{
    return *s ? s + strlen(s) - 1 : s;
}

char **arrdup(char **a)
{
    if (!a)
        return nullptr;
    int n = arrlen(a);
    char **r = qhnew<char *>(n + 1);
    for (int i = 0; i < n; i++)
        r[i] = dupstring(a[i]);
    r[n] = nullptr;
    return r;
}

char **qarrdup(char **a)
{
    if (!a)
        return nullptr;
    int n = arrlen(a);
    char **r = qnew<char *>(n + 1);
    for (int i = 0; i < n; i++)
        r[i] = qtrdup(a[i]);
    r[n] = nullptr;
    return r;
}

char **mkarray(char *s)
{
    char **r = qnew<char *>(s ? 2 : 1);
    r[0] = s;
    if (s)
        r[1] = nullptr;
    return r;
}

void freearray(char **a)
{
    if (!a)
        return;
    for (char **p = a; *p; p++)
        qsfree(*p);
    qfree(a);
}

int arrlen(char **a)
{
    int n = 0;
    if (a)
        while (a[n])
            n++;
    return n;
}

// ---- linked lists ----

void initlinklist(LinkList *l)
{
    l->hdr.next = nullptr;
    l->hdr.prev = &l->hdr;
    l->hdr.dat = nullptr;
}

LinkList *newlinklist()
{
    LinkList *l = qhnew<LinkList>();
    initlinklist(l);
    return l;
}

LinkList *qnewlinklist()
{
    LinkList *l = qnew<LinkList>();
    initlinklist(l);
    return l;
}

LinkNode *uinsertlinknode(LinkList *list, LinkNode *node, LinkNode *nnew)
{
    LinkNode *after = node->next;
    nnew->next = after;
    nnew->prev = node;
    node->next = nnew;
    if (after)
        after->prev = nnew;
    else
        list->hdr.prev = nnew;
    return nnew;
}

LinkNode *insertlinknode(LinkList *list, LinkNode *node, void *dat)
{
    LinkNode *n = qhnew<LinkNode>();
    n->dat = dat;
    return uinsertlinknode(list, node, n);
}

LinkNode *qinsertlinknode(LinkList *list, LinkNode *node, void *dat)
{
    LinkNode *n = qnew<LinkNode>();
    n->dat = dat;
    return uinsertlinknode(list, node, n);
}

void insertlinklist(LinkList *src, LinkNode *where, LinkList *dst)
{
    if (empty(src))
        return;
    LinkNode *after = where->next;
    LinkNode *first = firstnode(src), *last = lastnode(src);
    where->next = first;
    first->prev = where;
    last->next = after;
    if (after)
        after->prev = last;
    else
        dst->hdr.prev = last;
}

void *uremnode(LinkList *list, LinkNode *nd)
{
    nd->prev->next = nd->next;
    if (nd->next)
        nd->next->prev = nd->prev;
    else
        list->hdr.prev = nd->prev;
    return nd->dat;
}

void *remnode(LinkList *list, LinkNode *nd)
{
    void *d = uremnode(list, nd);
    qfree(nd);
    return d;
}

void *ugetnode(LinkList *list)
{
    LinkNode *n = firstnode(list);
    return n ? uremnode(list, n) : nullptr;
}

void *getlinknode(LinkList *list)
{
    LinkNode *n = firstnode(list);
    return n ? remnode(list, n) : nullptr;
}

void freelinklist(LinkList *list, void (*fn)(void *))
{
    if (!list)
        return;
    for (LinkNode *n = firstnode(list), *next; n; n = next) {
        next = n->next;
        if (fn)
            fn(n->dat);
        qfree(n);
    }
    qfree(list);
}

int countlinknodes(LinkList *list)
{
    int c = 0;
    for (LinkNode *n = firstnode(list); n; n = n->next)
        c++;
    return c;
}

void rolllist(LinkList *list, LinkNode *nd)
{
    if (nd == firstnode(list))
        return;
    // Join the old tail to the old head, then cut before nd.
    LinkNode *oldfirst = firstnode(list), *oldlast = lastnode(list);
    oldlast->next = oldfirst;
    oldfirst->prev = oldlast;
    LinkNode *newlast = nd->prev;
    newlast->next = nullptr;
    nd->prev = listhead(list);
    list->hdr.next = nd;
    list->hdr.prev = newlast;
}

LinkList *newsizedlist(int n)
{
    char *block = static_cast<char *>(qhalloc(sizeof(LinkList) + size_t(n) * sizeof(LinkNode)));
    LinkList *l = reinterpret_cast<LinkList *>(block);
    LinkNode *nodes = reinterpret_cast<LinkNode *>(block + sizeof(LinkList));
    initlinklist(l);
    LinkNode *prev = listhead(l);
    for (int i = 0; i < n; i++) {
        nodes[i].prev = prev;
        nodes[i].dat = nullptr;
        prev->next = &nodes[i];
        prev = &nodes[i];
    }
    prev->next = nullptr;
    l->hdr.prev = prev;
    return l;
}

int listcontains(LinkList *list, void *dat)
{
    return linknodebydatum(list, dat) != nullptr;
}

LinkNode *linknodebydatum(LinkList *list, void *dat)
{
    for (LinkNode *n = firstnode(list); n; n = n->next)
        if (n->dat == dat)
            return n;
    return nullptr;
}
