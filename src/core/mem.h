// Arena and permanent memory, string copies and the doubly linked list.
// Owns the arena chain (heap_list); every allocation says which pool it uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "core/sigqueue.h"

// For globals that nearly every command writes: they join the initialised
// data, whose page the control globals share.  After a fork the parent and
// the child each take a fault for every page they write, so the state a
// command touches is kept to as few pages as possible.
#define TARN_HOT [[gnu::section(".data")]]

// A static table made on first use and never destroyed.  A library
// container whose constructor runs at start-up costs every shell, scripts
// included, a fault for the page it sits on.
template <class T>
class Deferred {
    alignas(T) unsigned char buf[sizeof(T)]{};
    bool made = false;

public:
    constexpr Deferred() = default;
    Deferred(const Deferred &) = delete;
    Deferred &operator=(const Deferred &) = delete;
    T &get()
    {
        if (!made) {
            new (buf) T();
            made = true;
        }
        return *std::launder(reinterpret_cast<T *>(buf));
    }
    T *operator->() { return &get(); }
    T &operator*() { return get(); }
    bool exists() const { return made; }
};

// One arena block. The arena area follows this header directly.
struct Heap {
    Heap *next;
    uint32_t size;  // mapped bytes, header included
    uint32_t used;  // bytes of the arena area handed out
    struct HeapStack *save_top;  // one entry per pushheap still open
};

struct HeapStack {
    HeapStack *next;
    uint32_t used;
};

constexpr size_t HEAP_UNIT = 8;
constexpr size_t HEAP_AREA = 16360;   // usable bytes of a standard arena
constexpr size_t HEAP_HDR = sizeof(Heap);
static_assert(HEAP_HDR % HEAP_UNIT == 0, "arena area must stay aligned");

inline char *heaparea(Heap *h) { return reinterpret_cast<char *>(h) + HEAP_HDR; }

extern Heap *heap_list;
extern Heap *heap_with_room;

// Arena memory: lives until freeheap/popheap or the end of the command.
// The common case, room in the arena last allocated from, is a bump done
// here; the rest (another arena, a new one) is qhalloc_more's.
void *qhalloc_more(size_t size);
inline void *qhalloc(size_t size)
{
    size = (size + HEAP_UNIT - 1) & ~(HEAP_UNIT - 1);
    SignalGuard sg;
    Heap *h = heap_with_room;
    if (h && h->used + size <= HEAP_AREA) {
        void *ret = heaparea(h) + h->used;
        h->used += uint32_t(size);
        return ret;
    }
    return qhalloc_more(size);
}
void *hcalloc(size_t size);
void *hrealloc(void *p, size_t old, size_t nsize);
void pushheap();
void freeheap();
void popheap();
Heap *new_heaps();
void old_heaps(Heap *chain);
Heap *switch_heaps(Heap *chain);

template <class T> inline T *qhnew(size_t n = 1) { return static_cast<T *>(qhalloc(sizeof(T) * n)); }
template <class T> inline T *hcnew(size_t n = 1) { return static_cast<T *>(hcalloc(sizeof(T) * n)); }

// Permanent memory: lives until its owner frees it.
void *qalloc(size_t size);
void *qcalloc(size_t size);
void *qrealloc(void *p, size_t size);
void qfree(void *p, size_t size = 0);
void qsfree(char *s);

template <class T> inline T *qnew(size_t n = 1) { return static_cast<T *>(qalloc(sizeof(T) * n)); }
template <class T> inline T *qcnew(size_t n = 1) { return static_cast<T *>(qcalloc(sizeof(T) * n)); }

// Brackets a stretch of arena work: everything allocated inside is released.
struct [[nodiscard]] HeapGuard {
    HeapGuard() { pushheap(); }
    ~HeapGuard() { popheap(); }
    HeapGuard(const HeapGuard &) = delete;
    HeapGuard &operator=(const HeapGuard &) = delete;
};

// String copies.
char *dupstring(const char *s);
char *qtrdup(const char *s);
char *dupstrpfx(const char *s, size_t n);
char *qtrduppfx(const char *s, size_t n);
char *dyncat(const char *a, const char *b);
char *qhtricat(const char *a, const char *b, const char *c);
char *tricat(const char *a, const char *b, const char *c);
char *appstr(char *a, const char *b);
char *strend(char *s);
char **arrdup(char **a);
char **qarrdup(char **a);
char **mkarray(char *s);
void freearray(char **a);
int arrlen(char **a);

// Doubly linked list. The header is itself a node: its next is the first
// node and its prev the last, so inserting after the header inserts at the
// front and an empty list has last pointing at the header.
struct LinkNode {
    LinkNode *next;
    LinkNode *prev;
    void *dat;
};

struct LinkList {
    LinkNode hdr;
};

inline LinkNode *listhead(LinkList *l) { return &l->hdr; }
inline LinkNode *firstnode(LinkList *l) { return l->hdr.next; }
inline LinkNode *lastnode(LinkList *l) { return l->hdr.prev; }
inline LinkNode *nextnode(LinkNode *n) { return n->next; }
inline LinkNode *prevnode(LinkNode *n) { return n->prev; }
inline void *getdata(LinkNode *n) { return n->dat; }
inline void setdata(LinkNode *n, void *d) { n->dat = d; }
inline bool empty(LinkList *l) { return l->hdr.next == nullptr; }
inline bool nonempty(LinkList *l) { return l->hdr.next != nullptr; }
inline void incnode(LinkNode *&n) { n = n->next; }

LinkList *newlinklist();
LinkList *qnewlinklist();
void initlinklist(LinkList *l);
LinkNode *insertlinknode(LinkList *list, LinkNode *node, void *dat);
LinkNode *qinsertlinknode(LinkList *list, LinkNode *node, void *dat);
LinkNode *uinsertlinknode(LinkList *list, LinkNode *node, LinkNode *nnew);
void insertlinklist(LinkList *src, LinkNode *where, LinkList *dst);
void *getlinknode(LinkList *list);
void *ugetnode(LinkList *list);
void *remnode(LinkList *list, LinkNode *nd);
void *uremnode(LinkList *list, LinkNode *nd);
void freelinklist(LinkList *list, void (*fn)(void *));
int countlinknodes(LinkList *list);
void rolllist(LinkList *list, LinkNode *nd);
LinkList *newsizedlist(int n);
int listcontains(LinkList *list, void *dat);
LinkNode *linknodebydatum(LinkList *list, void *dat);

inline LinkNode *addlinknode(LinkList *l, void *d) { return insertlinknode(l, lastnode(l), d); }
inline LinkNode *qaddlinknode(LinkList *l, void *d) { return qinsertlinknode(l, lastnode(l), d); }
inline LinkNode *pushnode(LinkList *l, void *d) { return insertlinknode(l, listhead(l), d); }
inline LinkNode *qpushnode(LinkList *l, void *d) { return qinsertlinknode(l, listhead(l), d); }
