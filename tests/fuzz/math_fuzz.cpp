// Fuzz target for the arithmetic evaluator: the input is one expression,
// evaluated with parameters (scalars, an array, a hash) to refer to.
#include <cstdint>

#include "shell_init.h"

FUZZ_SHELL_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    if (fuzz_forks(data, size))
        return 0;
    FuzzRun run;
    char *s = metafy(const_cast<char *>(reinterpret_cast<const char *>(data)), int(size), META_HEAPDUP);
    (void)matheval(s);
    return 0;
}
