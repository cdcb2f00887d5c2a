// Fuzz target for prompt expansion: the input is a prompt template, with
// its first byte choosing the prompt options.
#include <cstdint>

#include "shell_init.h"

FUZZ_SHELL_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 2048)
        return 0;
    if (fuzz_forks(data, size))
        return 0;
    FuzzRun run;
    opts[PROMPTPERCENT] = (data[0] & 1) != 0;
    opts[PROMPTBANG] = (data[0] & 2) != 0;
    // Command substitution in a prompt runs code: parameter expansion only.
    opts[PROMPTSUBST] = 0;
    char *s = metafy(const_cast<char *>(reinterpret_cast<const char *>(data + 1)), int(size - 1), META_HEAPDUP);
    char *r = promptexpand(s, data[0] & 4, nullptr, nullptr);
    qsfree(r);
    return 0;
}
