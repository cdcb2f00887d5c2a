// The bottom of the input stack: reading lines of the shell's input.
#include "lang/lang.h"

#include <cerrno>
#include <cstring>

int tok;

char *shingetline()
{
    char buf[1024];
    size_t n = 0;
    char *line = nullptr;
    size_t linelen = 0;
    bool any = false;
    for (;;) {
        int c = getc(bshin);
        if (c == EOF) {
            if (ferror(bshin) && errno == EINTR && !errflag) {
                clearerr(bshin);
                continue;
            }
            break;
        }
        any = true;
        if (imeta(static_cast<unsigned char>(c))) {
            buf[n++] = char(METACHAR);
            buf[n++] = char(c ^ 32);
        } else {
            buf[n++] = char(c);
        }
        if (n >= 1023 || c == '\n') {
            line = static_cast<char *>(qrealloc(line, linelen + n + 1));
            memcpy(line + linelen, buf, n);
            linelen += n;
            line[linelen] = '\0';
            n = 0;
            if (c == '\n')
                break;
        }
    }
    if (!any)
        return nullptr;
    if (n) {
        line = static_cast<char *>(qrealloc(line, linelen + n + 1));
        memcpy(line + linelen, buf, n);
        linelen += n;
        line[linelen] = '\0';
    }
    return line;
}
