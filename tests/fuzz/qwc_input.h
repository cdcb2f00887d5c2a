// One input of the compiled-file loader fuzz target, shared with the unit
// test that replays the saved crashes.  The first byte picks the form:
//   0: the rest is a compiled file; every program it names is loaded
//      (read or mapped, as the file asks) and turned back into text;
//   1: the rest is a bare program: program slots (4 bytes), code words
//      (4 bytes), the code, then the strings; it is checked and, when it
//      passes, turned back into text.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <cstring>

#include "core/core.h"
#include "lang/lang.h"

inline void qwcfuzz_setup()
{
    emulate("tarn", 1);
    inittyptab();
    init_eprog();
    initlextabs();
    createreswdtable();
    createaliastable();
    createshfunctable();
    lineno = 1;
}

// Where form 0 writes its file: a directory of this process.
inline const char *qwcfuzz_file()
{
    static char path[64];
    if (!*path) {
        char dir[] = "/tmp/qwcfuzzXXXXXX";
        if (!mkdtemp(dir))
            return nullptr;
        snprintf(path, sizeof path, "%s/f.qwc", dir);
    }
    return path;
}

inline void qwcfuzz_totext(Eprog *p)
{
    char *t = getpermtext(p, nullptr, 0);
    qfree(t);
    (void)getjobtext(p, nullptr);
    Eprog *d = dupeprog(p, 0);
    freeeprog(d);
}

inline void qwcfuzz_one(const uint8_t *data, size_t size)
{
    if (!size)
        return;
    NoErrsGuard ne(1);
    HeapGuard hg;
    errflag = 0;
    if (data[0] == 1) {
        if (size < 9)
            return;
        uint32_t np, nw;
        memcpy(&np, data + 1, 4);
        memcpy(&nw, data + 5, 4);
        size_t rest = size - 9;
        if (nw > rest / 4 || np > 4096)
            return;
        size_t ns = rest - size_t(nw) * 4;
        Eprog *p = qhnew<Eprog>();
        p->flags = EF_HEAP;
        p->pattern_count = int(np);
        p->len = int(np * sizeof(Patprog *) + rest);
        p->ref_count = -1;
        char *block = static_cast<char *>(qhalloc(np * sizeof(Patprog *) + rest + 1));
        p->pattern_slots = reinterpret_cast<Patprog **>(block);
        for (uint32_t i = 0; i < np; i++)
            p->pattern_slots[i] = dummy_patprog1;
        p->prog = reinterpret_cast<wordcode *>(block + np * sizeof(Patprog *));
        memcpy(p->prog, data + 9, rest);
        p->string_table = reinterpret_cast<char *>(p->prog + nw);
        p->function_link = nullptr;
        p->dump_link = nullptr;
        if (checkwordcode(p->prog, nw, p->string_table, ns, np))
            qwcfuzz_totext(p);
        return;
    }
    const char *file = qwcfuzz_file();
    if (!file)
        return;
    int fd = open(file, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return;
    ssize_t w = write(fd, data + 1, size - 1);
    close(fd);
    if (w != ssize_t(size - 1))
        return;
    LinkList *names = qwc_names(nullptr, file, nullptr);
    if (!names)
        return;
    for (LinkNode *n = firstnode(names); n; n = nextnode(n)) {
        const char *s = static_cast<char *>(getdata(n)), *t = strrchr(s, '/');
        int ksh;
        Eprog *p = try_dump_file(file, t ? t + 1 : s, file, &ksh);
        if (p) {
            qwcfuzz_totext(p);
            freeeprog(p);
        }
    }
    errflag = 0;
}
