// Quoting for re-input.
#include "expand/expand.h"

#include <cstring>

// Single-quote a word when it holds anything the lexer would treat
// specially; a quote inside becomes '\''.
int quotedqputs(const char *s, FILE *stream)
{
    if (!*s)
        return fputs("''", stream) == EOF ? -1 : 0;
    bool plain = true;
    for (const char *p = s; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == METACHAR || ispecial(c) || c < 0x20 || c == 0x7f || itok(c)) {
            plain = false;
            break;
        }
    }
    if (plain)
        return qputs(s, stream);
    putc('\'', stream);
    for (const char *p = s; *p;) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c != METACHAR && itok(c)) {
            if (c != TK_EMPTY && !inull(c))
                putc(tokchar(c), stream);
            p++;
            continue;
        }
        c = metachar(p);
        if (c == '\'')
            fputs("'\\''", stream);
        else
            putc(c, stream);
    }
    return putc('\'', stream) == EOF ? -1 : 0;
}
