// Fuzz target for the pattern compiler, the matcher and the pattern
// operators.  Input: one byte of options and flags, then the pattern,
// a NUL byte, and the string to match.
#include <cstdint>
#include <cstring>

#include "core/core.h"
#include "expand/expand.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    emulate("tarn", 1);
    inittyptab();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 4096)
        return 0;
    uint8_t sel = data[0];
    data++;
    size--;
    const uint8_t *nul = static_cast<const uint8_t *>(memchr(data, 0, size));
    size_t plen = nul ? size_t(nul - data) : size;
    size_t slen = nul ? size - plen - 1 : 0;

    opts[EXTENDEDGLOB] = (sel & 1) != 0;
    opts[KSHGLOB] = (sel & 2) != 0;
    opts[SHGLOB] = (sel & 4) != 0;
    noerrs = 2;
    errflag = 0;
    pushheap();
    char *pat = metafy(const_cast<char *>(reinterpret_cast<const char *>(data)), int(plen), META_HEAPDUP);
    if (sel & 8)
        shtokenize(pat);
    else
        tokenize(pat);
    char *str = metafy(const_cast<char *>(reinterpret_cast<const char *>(nul ? nul + 1 : data)), int(slen),
                       META_HEAPDUP);
    static const int pcflags[] = {0, PC_FLOATING, PC_FILENAME | PC_NO_DOTS, PC_FILENAME | PC_TOPLEVEL_FILE,
                                  PC_SCANNING};
    int pf = pcflags[(sel >> 4) % 5];
    char *endp = nullptr;
    patcompstart();
    Patprog *p = patcompile(pat, pf, &endp);
    if (p) {
        pattrystart();
        pattry(p, str);
        int n, b[NSUBEXP], e[NSUBEXP];
        int l = int(strlen(str));
        pattryrefs(p, str, l / 2, &n, b, e);
        patglobpath = "dir/";
        pattrylen(p, str, l, 3);
        patglobpath = nullptr;
    }
    if (sel & 0x80) {
        static const int mf[] = {MF_GIVE_REST,
                                 MF_GIVE_REST | MF_LONGEST,
                                 MF_GIVE_REST | MF_AT_END,
                                 MF_GIVE_REST | MF_AT_END | MF_LONGEST,
                                 MF_GIVE_MATCH | MF_ANYWHERE | MF_GIVE_BEGIN | MF_GIVE_END | MF_GIVE_LENGTH,
                                 MF_GIVE_REST | MF_ANYWHERE | MF_EVERY | MF_LONGEST,
                                 MF_GIVE_REST | MF_WHOLE,
                                 MF_GIVE_REST | MF_ANYWHERE | MF_AT_END};
        if (strlen(str) <= 64) {
            char *v = str;
            char repl[] = "R";
            getmatch(&v, pat, mf[(sel >> 4) & 7], 1 + (sel & 1), repl);
            char *arr[] = {str, dupstring("x"), nullptr};
            char **a = arr;
            getmatcharr(&a, pat, mf[(sel >> 3) & 7], 1, nullptr);
        }
    }
    popheap();
    errflag = 0;
    noerrs = 0;
    return 0;
}
