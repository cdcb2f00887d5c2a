// Feeds arbitrary bytes to the lexer and parser, then converts what parsed
// back to text and parses that again.  The first byte selects the options
// that change lexing.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/core.h"
#include "history/history.h"
#include "lang/lang.h"

static void setup()
{
    emulate("tarn", 1);
    inittyptab();
    init_eprog();
    initlextabs();
    createreswdtable();
    createaliastable();
    aliastab->addnode(aliastab, qtrdup("ll"), createaliasnode(qtrdup("ls -l "), 0));
    aliastab->addnode(aliastab, qtrdup("G"), createaliasnode(qtrdup("| grep"), ALIASF_GLOBAL));
    aliastab->addnode(aliastab, qtrdup("loop"), createaliasnode(qtrdup("loop loop"), 0));
    lineno = 1;
}

static const int fuzzopts[] = {SHGLOB, IGNOREBRACES, RCQUOTES, CSHJUNKIEQUOTES, SHORTLOOPS, INTERACTIVECOMMENTS,
                               CSHJUNKIELOOPS, HISTALLOWCLOBBER};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool done;
    if (!done) {
        setup();
        done = true;
    }
    if (!size)
        return 0;
    unsigned sel = data[0];
    data++;
    size--;
    for (size_t i = 0; i < sizeof fuzzopts / sizeof fuzzopts[0]; i++)
        opts[fuzzopts[i]] = (sel >> i) & 1;
    NoErrsGuard ne(1);
    HeapGuard hg;
    errflag = 0;
    char *s = metafy(const_cast<char *>(reinterpret_cast<const char *>(data)), int(size), META_HEAPDUP);
    Eprog *p = parse_string(s, 1);
    if (p && !errflag) {
        char *t = getpermtext(p, nullptr, 0);
        (void)getjobtext(p, nullptr);
        errflag = 0;
        Eprog *q = parse_string(dupstring(t), 1);
        if (q && !errflag) {
            char *t2 = getpermtext(q, nullptr, 0);
            qfree(t2);
        }
        qfree(t);
        Eprog *r = dupeprog(p, 0);
        freeeprog(r);
    }
    {
        LinkList *l = bufferwords(nullptr, dupstring(s), nullptr);
        (void)l;
    }
    errflag = 0;
    return 0;
}
