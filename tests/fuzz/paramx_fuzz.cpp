// Fuzz target for parameter-expansion flags and subscripts: the input is
// "flags NUL name NUL subscript" and becomes ${(flags)name[subscript]},
// expanded on the fixed parameters of the fuzz shell (s, n, a, h).
#include <cstdint>
#include <cstring>
#include <string>

#include "shell_init.h"

FUZZ_SHELL_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 2048)
        return 0;
    if (fuzz_forks(data, size))
        return 0;
    std::string in(reinterpret_cast<const char *>(data), size), part[3];
    for (int i = 0, p = 0; i < 3; i++) {
        size_t e = in.find('\0', size_t(p));
        part[i] = in.substr(size_t(p), e == std::string::npos ? std::string::npos : e - size_t(p));
        if (e == std::string::npos)
            break;
        p = int(e) + 1;
    }
    static const char *names[] = {"s", "n", "a", "h", "nosuch"};
    std::string name = part[1].empty() ? names[size % 5] : part[1];
    std::string w = "${(" + part[0] + ")" + name;
    if (!part[2].empty())
        w += "[" + part[2] + "]";
    w += "}";
    FuzzRun run;
    char *s = metafy(w.data(), int(w.size()), META_HEAPDUP);
    tokenize(s);
    LinkList *l = newlinklist();
    addlinknode(l, s);
    prefork(l, 0);
    if (!errflag)
        globlist(l, 0);
    return 0;
}
