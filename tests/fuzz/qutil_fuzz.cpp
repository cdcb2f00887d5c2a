// Fuzz target for option descriptions and styles: the input is
// "words NUL positional NUL positional..." where the words (split at
// 0x01) are the arguments of qparseopts, then of qstyle, then of a
// qstyle query on a context made from the first positional.  Every word
// reaches the builtins as an array element, never as code.
#include <cstdint>
#include <cstring>

#include "shell_init.h"

FUZZ_SHELL_INITIALIZE

static char **splitwords(const char *p, const char *end, char sep)
{
    int n = 1;
    for (const char *q = p; q < end; q++)
        n += *q == sep;
    char **w = static_cast<char **>(qalloc(sizeof(char *) * size_t(n + 1)));
    for (int i = 0; i < n; i++) {
        const char *e = static_cast<const char *>(memchr(p, sep, size_t(end - p)));
        if (!e)
            e = end;
        w[i] = metafy(const_cast<char *>(p), int(e - p), META_DUP);
        p = e < end ? e + 1 : end;
    }
    w[n] = nullptr;
    return w;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 2048)
        return 0;
    // A style evaluated with -e runs code: only printing words go in.
    for (size_t i = 0; i < size; i++)
        if (data[i] == '`' || data[i] == '$' || data[i] == '<' || data[i] == '>' || data[i] == '(')
            return 0;
    FuzzRun run;
    const char *p = reinterpret_cast<const char *>(data), *end = p + size;
    const char *nul = static_cast<const char *>(memchr(p, 0, size));
    const char *wend = nul ? nul : end;
    setaparam("fw", splitwords(p, wend, '\x01'));
    setaparam("fp", nul ? splitwords(nul + 1, end, '\0') : qarrdup(nullptr));
    execstring(qtrdup("set -- \"${fp[@]}\"; qparseopts -a fo -A fa \"${fw[@]}\" 2>/dev/null; "
                      "qparseopts -D -E -K -a fo \"${fw[@]}\" 2>/dev/null; "
                      "qstyle \"${fw[@]}\" 2>/dev/null; qstyle -s \":${fp[1]}\" \"${fw[2]}\" r 2>/dev/null; "
                      "qstyle -a \"${fw[1]}\" \"${fw[2]}\" r 2>/dev/null; qstyle -L >/dev/null; qstyle -d"),
               0, 0, "fuzz");
    return 0;
}
