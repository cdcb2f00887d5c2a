// Fuzz target for printf formats: the input is "format NUL arg NUL arg...",
// run through the printf builtin with its output going to /dev/null.
#include <cstdint>
#include <cstring>

#include "shell_init.h"

FUZZ_SHELL_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 2048)
        return 0;
    if (fuzz_forks(data, size))
        return 0;
    FuzzRun run;
    // The words reach printf as the elements of an array, never as code.
    int n = 1;
    for (size_t i = 0; i < size; i++)
        n += !data[i];
    char **words = static_cast<char **>(qalloc(sizeof(char *) * size_t(n + 1)));
    const char *p = reinterpret_cast<const char *>(data), *end = p + size;
    for (int i = 0; i < n; i++) {
        const char *e = static_cast<const char *>(memchr(p, 0, size_t(end - p)));
        if (!e)
            e = end;
        words[i] = metafy(const_cast<char *>(p), int(e - p), META_DUP);
        p = e + 1;
    }
    words[n] = nullptr;
    setaparam("fz", words);
    execstring(qtrdup("printf -- \"${fz[@]}\" >/dev/null"), 0, 0, "fuzz");
    return 0;
}
