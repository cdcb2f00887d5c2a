// Vi mode: the state the rest of the editor shares with the vi widgets
// (the change being recorded for repeating, the motion an operator is
// reading, the insertion's start).
#include "ked/ked.h"

int vichgflag, vilinerange, virangeflag, wordflag, viinsbegin;
namespace {
char *vichgbuf;
int vichgbufsz, vichgbufptr;
}  // namespace

// Every key read while a change is recorded goes into the change buffer.
void vichgadd(int c)
{
    if (vichgbufptr + 1 >= vichgbufsz) {
        vichgbufsz = vichgbufsz ? vichgbufsz * 2 : 16;
        vichgbuf = static_cast<char *>(qrealloc(vichgbuf, size_t(vichgbufsz)));
    }
    vichgbuf[vichgbufptr++] = char(c);
}

// Keys read past a binding are read again: they leave the change buffer.
void vichgdrop(int n)
{
    if (vichgflag)
        vichgbufptr = vichgbufptr > n ? vichgbufptr - n : 0;
}
